#include "input/ordering.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace qv5;
namespace fs = std::filesystem;

namespace {

const std::string blankLine = std::string("\r") + std::string(79, ' ');

std::string progressLine(const std::string& text)
{
    std::string line = std::string("\r") + text;
    line.resize(80, ' ');
    return line;
}

InputList itemsWithPaths(const std::vector<std::string>& paths)
{
    InputList list;
    for (size_t k = 0; k < paths.size(); ++k) list.push_back({paths[k], std::string("#") + std::to_string(k), 0});
    return list;
}

std::vector<std::string> pathsOf(const InputList& list)
{
    std::vector<std::string> paths;
    for (const SourceItem& item : list) paths.push_back(item.sourcePath);
    return paths;
}

std::vector<std::string> storedNamesOf(const InputList& list)
{
    std::vector<std::string> names;
    for (const SourceItem& item : list) names.push_back(item.storedName);
    return names;
}

// The clock of a scan pass, replaying a list of readings (the last one repeats).
std::vector<uint32_t> clockReadings;
size_t clockCalls = 0;
uint32_t scriptedClock()
{
    uint32_t now = clockReadings[std::min(clockCalls, clockReadings.size() - 1)];
    ++clockCalls;
    return now;
}
uint32_t startClock() { return 0; }

void runClock(std::vector<uint32_t> readings)
{
    clockReadings = std::move(readings);
    clockCalls = 0;
}

std::string capturedOutput()
{
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class TempFolder : public testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() /
                ("qv5-unit-ordering-" + std::to_string(std::random_device{}()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string write(const std::string& name, const std::string& bytes)
    {
        fs::path path = root_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    int classOf(const std::string& name, const std::string& bytes, const std::string& storedName)
    {
        FILE* file = std::fopen(write(name, bytes).c_str(), "rb");
        int result = contentClass(file, storedName);
        std::fclose(file);
        return result;
    }

    fs::path root_;
};

} // namespace

TEST(ExtensionOf, FromTheLastDotOrNone)
{
    EXPECT_EQ(extensionOf("C:\\w\\a.tar.GZ"), ".GZ");
    EXPECT_EQ(extensionOf("/w/README"), "NONE");
    EXPECT_EQ(extensionOf("/w/my.dir/README"), ".dir/README");
    EXPECT_EQ(extensionOf("/w/trailing."), ".");
}

TEST(OrderByPath, ByteOrderPrefixFirstStableAndSilent)
{
    InputList list = itemsWithPaths({"C:\\w\\a.txt", "C:\\w\\B.txt", "C:\\w\\a", "C:\\w\\\xe4.txt", "C:\\w\\a"});
    testing::internal::CaptureStdout();
    EXPECT_TRUE(orderInputs(list, 0));
    EXPECT_EQ(capturedOutput(), "");
    // Upper case before lower case, a prefix before its extensions, bytes above 127 last.
    EXPECT_EQ(pathsOf(list), (std::vector<std::string>{"C:\\w\\B.txt", "C:\\w\\a", "C:\\w\\a", "C:\\w\\a.txt",
                                                       "C:\\w\\\xe4.txt"}));
    EXPECT_EQ(storedNamesOf(list), (std::vector<std::string>{"#1", "#2", "#4", "#0", "#3"}));
}

TEST(OrderByExtension, CaseInsensitiveExtensionThenPathNoneLast)
{
    // No file exists: the size query fails silently.
    InputList list = itemsWithPaths({"/w/README", "/w/b.TXT", "/w/Makefile", "/w/my.dir/README", "/w/a.txt",
                                     "/w/B.txt", "/w/z.doc", "/w/m.c", "/w/q.D", "/w/b.TXT"});
    testing::internal::CaptureStdout();
    EXPECT_TRUE(detail::orderInputs(list, 1, startClock));
    EXPECT_EQ(capturedOutput(), blankLine);
    EXPECT_EQ(pathsOf(list),
              (std::vector<std::string>{"/w/m.c", "/w/q.D", "/w/my.dir/README", "/w/z.doc", "/w/B.txt", "/w/a.txt",
                                        "/w/b.TXT", "/w/b.TXT", "/w/Makefile", "/w/README"}));
    EXPECT_EQ(list[6].storedName, "#1");
    EXPECT_EQ(list[7].storedName, "#9");
}

TEST_F(TempFolder, OrderByExtensionRecordsTheSizeBinWithoutUsingIt)
{
    std::string big = write("a.bin", std::string(3 * 16384 + 5, 'x'));
    std::string small = write("b.bin", "x");
    InputList list = itemsWithPaths({small, big});
    testing::internal::CaptureStdout();
    EXPECT_TRUE(detail::orderInputs(list, 1, startClock));
    capturedOutput();
    EXPECT_EQ(pathsOf(list), (std::vector<std::string>{big, small}));
    EXPECT_EQ(list[0].sortKey, 3u);
    EXPECT_EQ(list[1].sortKey, 0u);
}

TEST(ScanProgress, AtMostOncePerSecondRestartingWithEveryScan)
{
    InputList list = itemsWithPaths({"/w/1", "/w/2", "/w/3", "/w/4", "/w/5"});
    runClock({500, 1000, 1500, 1999, 2000});
    testing::internal::CaptureStdout();
    detail::orderInputs(list, 1, scriptedClock);
    EXPECT_EQ(capturedOutput(), progressLine("Scanning 2/5") + progressLine("Scanning 5/5") + blankLine);
    EXPECT_EQ(clockCalls, 5u);

    // A new scan reports again as soon as the clock is a second past zero.
    runClock({1500});
    testing::internal::CaptureStdout();
    detail::orderInputs(list, 1, scriptedClock);
    EXPECT_EQ(capturedOutput(), progressLine("Scanning 1/5") + blankLine);
}

TEST(TextScore, PrintableBytesCountOthersHalve)
{
    const uint8_t sample[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 0, '\t', '\r', '\n', 127, 200, ' '};
    EXPECT_EQ(textScore(sample, 11), 11);
    EXPECT_EQ(textScore(sample, 12), 5);  // 11 / 2, rounded down
    EXPECT_EQ(textScore(sample, 15), 8);  // tab, CR and LF are printable
    EXPECT_EQ(textScore(sample, 17), 2);  // 127 and 200 are not
    EXPECT_EQ(textScore(sample, 18), 3);
    EXPECT_EQ(textScore(sample, 0), 0);
}

TEST_F(TempFolder, ContentClassOfExecutablesByStoredName)
{
    const std::string image = std::string("MZ\x90\x00\x03\x00\x00\x00", 8);
    EXPECT_EQ(classOf("tool.exe", image, "/tool.exe"), 16);
    EXPECT_EQ(classOf("TOOL.DLL", image, "/TOOL.DLL"), 16);
    EXPECT_EQ(classOf("x.pdb", image, "/x.pdb"), 16);
    EXPECT_EQ(classOf("x.PdB", image, "/x.PdB"), 16);
    EXPECT_EQ(classOf("tool.bin", image, "/tool.bin"), 0);
    // The extension is taken from the stored name, not from the path of the file.
    EXPECT_EQ(classOf("real.exe", image, "/stored.bin"), 0);
    EXPECT_EQ(classOf("m.exe", "M", "/m.exe"), 0);
    // Without the signature an .exe is classed by its text like any file.
    EXPECT_EQ(classOf("text.exe", "just some plain text", "/text.exe"), 8);
    EXPECT_EQ(classOf("mz.bin", "MZ followed by text", "/mz.bin"), 8);
}

TEST_F(TempFolder, ContentClassOfTextLooksAtTheFirst128KiB)
{
    EXPECT_EQ(classOf("empty.txt", "", "/empty.txt"), 0);
    EXPECT_EQ(classOf("eight.txt", "12345678", "/eight.txt"), 0);
    EXPECT_EQ(classOf("nine.txt", "123456789", "/nine.txt"), 8);
    EXPECT_EQ(classOf("tail.txt", std::string(1000, '\0') + "123456789", "/tail.txt"), 8);
    EXPECT_EQ(classOf("binary.txt", "a long stretch of text, then" + std::string(4, '\x01'), "/binary.txt"), 0);
    // Only the first 131072 bytes count: what follows changes nothing.
    EXPECT_EQ(classOf("late-text", std::string(contentSampleSize, '\x01') + std::string(100, 'a'), "/late-text"), 0);
    EXPECT_EQ(classOf("late-bin", std::string(contentSampleSize, 'a') + std::string(100, '\x01'), "/late-bin"), 8);
}

TEST_F(TempFolder, OrderByContentClassThenPath)
{
    const std::string image = std::string("MZ\x00\x00", 4);
    std::vector<std::string> paths = {write("b.txt", "plain text file"), write("z.exe", image),
                                      write("c.dat", std::string(20, '\0')), write("a.txt", "another text file"),
                                      write("A.dll", image), write("empty", "")};
    InputList list;
    for (const std::string& path : paths) list.push_back({path, path.substr(root_.string().size()), 0});
    testing::internal::CaptureStdout();
    EXPECT_TRUE(detail::orderInputs(list, 2, startClock));
    EXPECT_EQ(capturedOutput(), blankLine);
    EXPECT_EQ(pathsOf(list), (std::vector<std::string>{paths[4], paths[1], paths[3], paths[0], paths[2], paths[5]}));
    std::vector<uint64_t> keys;
    for (const SourceItem& item : list) keys.push_back(item.sortKey);
    EXPECT_EQ(keys, (std::vector<uint64_t>{16, 16, 8, 8, 0, 0}));
}

TEST_F(TempFolder, OrderByContentStopsAtAnUnreadableFile)
{
    std::string present = write("present.txt", "some text here");
    std::string missing = (root_ / "missing.txt").string();
    InputList list = itemsWithPaths({present, missing, present});
    testing::internal::CaptureStdout();
    EXPECT_FALSE(detail::orderInputs(list, 2, startClock));
    EXPECT_EQ(capturedOutput(), "\nError opening input file " + missing + "\n");
}
