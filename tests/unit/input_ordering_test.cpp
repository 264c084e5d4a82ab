#include "input/ordering.h"
#include "input_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qv5;
using Texts = std::vector<std::string>;

namespace {

// What a scan reports, in order: "2/5" for item 2 of 5, "end" when it is done.
Texts events;
ScanReport recording()
{
    events.clear();
    ScanReport report;
    report.scanning = [](size_t item, size_t total) {
        events.push_back(std::to_string(item) + "/" + std::to_string(total));
    };
    report.scanned = [] { events.push_back("end"); };
    return report;
}

// Items named #0, #1, ... in the given order, so that stability can be seen.
InputList itemsWithPaths(const Texts& paths)
{
    InputList list;
    for (size_t k = 0; k < paths.size(); ++k) {
        std::string name = "#";
        name += std::to_string(k);
        list.push_back({paths[k], name, 0});
    }
    return list;
}

Texts pathsOf(const InputList& list)
{
    Texts paths;
    for (const SourceItem& item : list) paths.push_back(item.sourcePath);
    return paths;
}

// A clock replaying a list of readings, the last one repeating.
std::vector<uint32_t> clockReadings;
size_t clockCalls = 0;
uint32_t scriptedClock()
{
    return clockReadings[std::min(clockCalls++, clockReadings.size() - 1)];
}
uint32_t startClock()
{
    return 0;
}

class Ordering : public testing_support::TempFolder {
protected:
    int classOf(const std::string& name, const std::string& bytes, const std::string& storedName)
    {
        FILE* file = std::fopen(write(name, bytes).c_str(), "rb");
        int result = contentClass(file, storedName);
        std::fclose(file);
        return result;
    }
};

} // namespace

TEST(OrderByPath, ByteOrderPrefixFirstStableAndSilent)
{
    InputList list = itemsWithPaths({"C:\\w\\a.txt", "C:\\w\\B.txt", "C:\\w\\a", "C:\\w\\\xe4.txt", "C:\\w\\a"});
    orderInputs(list, 0, recording());
    EXPECT_EQ(events, Texts{});
    // Upper case before lower case, a prefix before its extensions, bytes above 127 last.
    EXPECT_EQ(pathsOf(list), (Texts{"C:\\w\\B.txt", "C:\\w\\a", "C:\\w\\a", "C:\\w\\a.txt", "C:\\w\\\xe4.txt"}));
    EXPECT_EQ(list[1].storedName, "#2");
    EXPECT_EQ(list[2].storedName, "#4");
}

TEST(OrderByExtension, CaseInsensitiveExtensionThenPathNoneLast)
{
    // No file exists: the size query fails silently.
    InputList list = itemsWithPaths({"/w/README", "/w/b.TXT", "/w/Makefile", "/w/my.dir/README", "/w/a.txt", "/w/B.txt",
                                     "/w/z.doc", "/w/m.c", "/w/q.D", "/w/b.TXT"});
    detail::orderInputs(list, 1, startClock, recording());
    EXPECT_EQ(events, Texts{"end"});
    // The extension of my.dir/README is ".dir/README", which sorts between .D and .doc.
    EXPECT_EQ(pathsOf(list), (Texts{"/w/m.c", "/w/q.D", "/w/my.dir/README", "/w/z.doc", "/w/B.txt", "/w/a.txt",
                                    "/w/b.TXT", "/w/b.TXT", "/w/Makefile", "/w/README"}));
    EXPECT_EQ(list[6].storedName, "#1");
    EXPECT_EQ(list[7].storedName, "#9");
}

TEST_F(Ordering, ByExtensionRecordsTheSizeBinWithoutUsingIt)
{
    std::string big = write("a.bin", std::string(3 * 16384 + 5, 'x'));
    std::string small = write("b.bin", "x");
    InputList list = itemsWithPaths({small, big});
    detail::orderInputs(list, 1, startClock, recording());
    EXPECT_EQ(pathsOf(list), (Texts{big, small}));
    EXPECT_EQ(list[0].sortKey, 3u);
    EXPECT_EQ(list[1].sortKey, 0u);
}

TEST(ScanProgress, AtMostOncePerSecondRestartingWithEveryScan)
{
    InputList list = itemsWithPaths({"/w/1", "/w/2", "/w/3", "/w/4", "/w/5"});
    clockReadings = {500, 1000, 1500, 1999, 2000};
    clockCalls = 0;
    detail::orderInputs(list, 1, scriptedClock, recording());
    EXPECT_EQ(events, (Texts{"2/5", "5/5", "end"}));
    EXPECT_EQ(clockCalls, 5u);

    // A new scan reports as soon as the clock is a second past zero.
    clockReadings = {1500};
    detail::orderInputs(list, 1, scriptedClock, recording());
    EXPECT_EQ(events, (Texts{"1/5", "end"}));
}

TEST_F(Ordering, ContentClassOfExecutablesByStoredName)
{
    const std::string image = std::string("MZ\x90\x00\x03\x00\x00\x00", 8);
    EXPECT_EQ(classOf("tool.exe", image, "/tool.exe"), 16);
    EXPECT_EQ(classOf("TOOL.DLL", image, "/TOOL.DLL"), 16);
    EXPECT_EQ(classOf("x.PdB", image, "/x.PdB"), 16);
    EXPECT_EQ(classOf("tool.bin", image, "/tool.bin"), 0);
    // The extension is taken from the stored name, not from the path of the file.
    EXPECT_EQ(classOf("real.exe", image, "/stored.bin"), 0);
    EXPECT_EQ(classOf("m.exe", "M", "/m.exe"), 0);
    // Without the signature an .exe is classed by its text like any file.
    EXPECT_EQ(classOf("text.exe", "just some plain text", "/text.exe"), 8);
    EXPECT_EQ(classOf("mz.bin", "MZ followed by text", "/mz.bin"), 8);
}

TEST_F(Ordering, ContentClassOfTextLooksAtTheFirst128KiB)
{
    EXPECT_EQ(classOf("empty", "", "/empty"), 0);
    EXPECT_EQ(classOf("eight", "12345678", "/eight"), 0);
    EXPECT_EQ(classOf("nine", "123456789", "/nine"), 8);
    EXPECT_EQ(classOf("controls", "12345\t\r\n ", "/controls"), 8);                      // tab, CR, LF and space count
    EXPECT_EQ(classOf("delete", "123456789\x7f", "/delete"), 0);                         // 9, halved to 4
    EXPECT_EQ(classOf("halves", std::string("12345678901234567") + '\0', "/halves"), 0); // 17 halved down
    EXPECT_EQ(classOf("tail", std::string(1000, '\xff') + "123456789", "/tail"), 8);
    // Only the first 131072 bytes count: what follows changes nothing.
    EXPECT_EQ(classOf("late-text", std::string(contentSampleSize, '\x01') + std::string(100, 'a'), "/late-text"), 0);
    EXPECT_EQ(classOf("late-bin", std::string(contentSampleSize, 'a') + std::string(100, '\x01'), "/late-bin"), 8);
}

TEST_F(Ordering, ByContentClassThenPath)
{
    const std::string image = std::string("MZ\x00\x00", 4);
    Texts paths = {write("b.txt", "plain text file"),   write("z.exe", image), write("c.dat", std::string(20, '\0')),
                   write("a.txt", "another text file"), write("A.dll", image), write("empty", "")};
    InputList list;
    for (const std::string& path : paths) list.push_back({path, path.substr(root_.string().size()), 0});
    detail::orderInputs(list, 2, startClock, recording());
    EXPECT_EQ(events, Texts{"end"});
    EXPECT_EQ(pathsOf(list), (Texts{paths[4], paths[1], paths[3], paths[0], paths[2], paths[5]}));
    std::vector<uint64_t> keys;
    for (const SourceItem& item : list) keys.push_back(item.sortKey);
    EXPECT_EQ(keys, (std::vector<uint64_t>{16, 16, 8, 8, 0, 0}));
}

TEST_F(Ordering, ByContentTakesAnUnreadableFileAsOfNoClass)
{
    // Hashing, which comes next, says what cannot be read; ordering goes on.
    std::string text = write("b.txt", "some text here");
    std::string missing = (root_ / "a-missing.txt").string();
    InputList list = itemsWithPaths({missing, text});
    detail::orderInputs(list, 2, startClock, recording());
    EXPECT_EQ(pathsOf(list), (Texts{text, missing}));
}
