#include "archive/archive_format.h"
#include "archive/archive_writer.h"
#include "archive/concat_reader.h"
#include "archive/extractor.h"
#include "archive/listing.h"
#include "codec/crc32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace qv5;
namespace fs = std::filesystem;

namespace {

struct TempFolder {
    fs::path root;
    explicit TempFolder(const char* name) : root(fs::temp_directory_path() / name)
    {
        fs::remove_all(root);
        fs::create_directories(root);
    }
    ~TempFolder() { fs::remove_all(root); }
    std::string write(const std::string& name, const std::string& content) const
    {
        std::ofstream(root / name, std::ios::binary) << content;
        return (root / name).string();
    }
};

// An entry as the hashing pass leaves it: the CRC-32 of what the file holds now.
FileEntry entryFor(const std::string& path, const std::string& name, int64_t size)
{
    FileEntry entry;
    entry.sourcePath = path;
    entry.storedName = name;
    entry.size = size;
    entry.crcPresent = 1;
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    entry.crc = crc32Update(0, bytes.data(), bytes.size());
    return entry;
}

std::string readAll(ConcatReader& reader, int32_t capacity)
{
    std::string out;
    std::vector<uint8_t> buffer(capacity);
    int32_t n;
    while ((n = fill(reader, buffer.data(), capacity)) > 0) out.append(buffer.begin(), buffer.begin() + n);
    return out;
}

} // namespace

TEST(ConcatReader, DeliversNonDuplicateContentsBackToBack)
{
    TempFolder folder("qv5-unit-concat");
    std::vector<FileEntry> entries = {
        entryFor(folder.write("a", "first"), "/a", 5),
        entryFor(folder.write("b", "first"), "/b", 5),
        entryFor(folder.write("e", ""), "/e", 0),
        entryFor(folder.write("c", "second file"), "/c", 11),
    };
    entries[0].duplicate = 1; // same content as b, which holds the stored copy
    for (size_t k = 0; k + 1 < entries.size(); ++k) entries[k].next = &entries[k + 1];
    for (int32_t capacity : {1, 3, 7, 64}) {
        ConcatReader reader;
        reader.current = &entries[0];
        EXPECT_EQ(readAll(reader, capacity), "firstsecond file") << capacity;
        EXPECT_FALSE(reader.failed);
        EXPECT_EQ(reader.file, nullptr);
    }
}

TEST(ConcatReader, FilesThatChangedOrVanishedCutTheStream)
{
    TempFolder folder("qv5-unit-concat-changed");
    struct Case {
        std::string content;
        int64_t recorded;
        const char* message;
        const char* rewrite = nullptr;
    } cases[] = {
        {"short", 9, "\nError: input file %s changed while being archived\n"},
        {"longer than recorded", 6, "\nError: input file %s changed while being archived\n"},
        {"rewritten", 9, "\nError: input file %s changed while being archived\n", "REWRITTEN"},
    };
    for (const Case& c : cases) {
        std::string path = folder.write("f", c.content);
        FileEntry entry = entryFor(path, "/f", c.recorded);
        if (c.rewrite) folder.write("f", c.rewrite); // same size, other bytes
        ConcatReader reader;
        reader.current = &entry;
        testing::internal::CaptureStdout();
        std::string delivered = readAll(reader, 64);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(reader.failed);
        EXPECT_LE(delivered.size(), static_cast<size_t>(c.recorded)); // never more than recorded
        char expected[512];
        std::snprintf(expected, sizeof expected, c.message, path.c_str());
        EXPECT_EQ(out, expected);
        EXPECT_EQ(reader.file, nullptr);
    }
    FileEntry gone = entryFor((folder.root / "missing").string(), "/missing", 3);
    ConcatReader reader;
    reader.current = &gone;
    testing::internal::CaptureStdout();
    EXPECT_EQ(readAll(reader, 64), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nError opening input file " + gone.sourcePath + "\n");
    EXPECT_TRUE(reader.failed);
}

TEST(ArchiveWriter, RefusesAnInputWhoseSizeChangedSinceHashing)
{
    TempFolder folder("qv5-unit-writer");
    FileEntry entry = entryFor(folder.write("a", "four"), "/a", 3);
    FILE* archive = std::tmpfile();
    ASSERT_NE(archive, nullptr);
    LevelSettings settings;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(writeArchive(&entry, archive, "x.qv5", settings));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: input file " + entry.sourcePath + " changed while being archived\n");
    std::fclose(archive);
}

TEST(ArchiveFormat, HeaderLengthsAndEntryCountsAreChecked)
{
    struct Case {
        std::vector<uint8_t> bytes;
        const char* expected;
    };
    auto header = [](uint32_t length, uint64_t count, size_t tail) {
        std::vector<uint8_t> b = {'Q', 'V', '5', 'x'};
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(length >> (8 * i)));
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(count >> (8 * i)));
        b.resize(b.size() + 24 + tail, 0);
        return b;
    };
    Case cases[] = {
        {header(33, 1, 100), "Error: damaged archive (header length above 32)\n"},
        {header(32, 0x80000000ull, 100), "Error: damaged archive (negative entry count)\n"},
        {header(32, 100, 10 * 77 / 8), "Error: damaged archive (more entries than the file holds)\n"},
        {header(32, 5, 8 * 77 / 8), ""},
    };
    for (const Case& c : cases) {
        FILE* file = std::tmpfile();
        std::fwrite(c.bytes.data(), 1, c.bytes.size(), file);
        std::rewind(file);
        ArchiveHeader h;
        int32_t count = -1;
        testing::internal::CaptureStdout();
        bool ok = readHeader(file, h, count);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
        EXPECT_EQ(ok, c.expected[0] == '\0');
        std::fclose(file);
    }
}
