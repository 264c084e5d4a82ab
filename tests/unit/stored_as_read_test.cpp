// Live files: sources that change, vanish or fail while an archive is written are stored as
// read, and the archive never holds a size or CRC-32 that differs from the bytes it stores.
#include "qv5/qv5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace qv5;
namespace fs = std::filesystem;

namespace {

struct Folder {
    fs::path root;
    explicit Folder(const char* name) : root(fs::temp_directory_path() / name)
    {
        fs::remove_all(root);
        fs::create_directories(root);
    }
    ~Folder() { fs::remove_all(root); }
    std::string path(const std::string& name) const { return (root / name).string(); }
    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(root / name, std::ios::binary) << bytes;
        return path(name);
    }
};

// An entry as the hashing pass found it: what the file held then.
NewEntry found(const std::string& path, const std::string& name, const std::string& bytes)
{
    NewEntry entry;
    entry.path = path;
    entry.name = name;
    entry.size = static_cast<int64_t>(bytes.size());
    entry.crc = crc32(0, bytes.data(), bytes.size());
    return entry;
}

// An archive in memory that can be read back, patched and cut, as a temporary file can.
struct RandomAccessOutput {
    std::vector<uint8_t> bytes;
    void attach(WriteOptions& options)
    {
        options.rewrite = [this](uint64_t at, const uint8_t* data, size_t count) {
            if (at + count > bytes.size()) bytes.resize(at + count);
            std::memcpy(bytes.data() + at, data, count);
            return true;
        };
        options.reread = [this](uint64_t at, uint8_t* data, size_t count) {
            if (at + count > bytes.size()) return false;
            std::memcpy(data, bytes.data() + at, count);
            return true;
        };
        options.cut = [this](uint64_t length) {
            bytes.resize(length);
            return true;
        };
    }
};

struct Written {
    std::vector<uint8_t> bytes;
    std::vector<SourceEvent> events;
    WriteResult result;
};

// Writes entries with sources stored as read; correctable: into a RandomAccessOutput.
Written writeAsRead(const std::vector<NewEntry>& entries, bool correctable, int threads = 1,
                    const Extension* extension = nullptr)
{
    Written out;
    RandomAccessOutput output;
    WriteOptions options;
    options.level = 1;
    options.threads = threads;
    options.storeAsRead = true;
    options.extension = extension;
    if (correctable) output.attach(options);
    WriteCallbacks callbacks;
    callbacks.source = [&](const SourceEvent& event) { out.events.push_back(event); };
    Error failure = writeArchive(entries, correctable ? ByteWriter([&](const uint8_t* data, size_t count) {
        output.bytes.insert(output.bytes.end(), data, data + count);
        return true;
    })
                                                      : memoryOutput(out.bytes),
                                 options, callbacks, out.result);
    EXPECT_FALSE(failure) << failure.detail;
    if (correctable) out.bytes = output.bytes;
    return out;
}

struct ReadBack {
    std::vector<Entry> entries;
    std::vector<std::string> contents; // per entry, copies given
    Extension extension;
};

ReadBack readBack(const std::vector<uint8_t>& bytes, int threads = 1)
{
    ReadBack back;
    ArchivePtr archive = openArchive(bytes.data(), bytes.size());
    EXPECT_FALSE(readTable(*archive, TableCallbacks(), back.entries));
    if (hasExtension(*archive)) {
        EXPECT_FALSE(readExtension(*archive, back.extension));
        EXPECT_FALSE(checkExtension(back.entries, back.extension));
    }
    back.contents.assign(back.entries.size(), std::string());
    ContentCallbacks callbacks;
    callbacks.bytes = [&](size_t index, const uint8_t* data, size_t count) {
        back.contents[index].append(reinterpret_cast<const char*>(data), count);
        return true;
    };
    callbacks.copy = [&](size_t index, size_t source) {
        back.contents[index] = back.contents[source];
        return true;
    };
    EXPECT_FALSE(readContents(*archive, back.entries, threads, callbacks));
    return back;
}

// Name -> bytes of what was read back, each checked against its entry's size and CRC-32.
std::map<std::string, std::string> checkedContents(const ReadBack& back)
{
    std::map<std::string, std::string> byName;
    for (size_t i = 0; i < back.entries.size(); ++i) {
        const std::string& bytes = back.contents[i];
        EXPECT_EQ(back.entries[i].size, bytes.size()) << back.entries[i].name;
        EXPECT_EQ(back.entries[i].crc, crc32(0, bytes.data(), bytes.size())) << back.entries[i].name;
        byName[back.entries[i].name] = bytes;
    }
    return byName;
}

std::string noise(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string text;
    const char* words[] = {"live ", "file ", "log ", "backup ", "chunk ", "stream "};
    while (text.size() < size) text += random() % 4 == 0 ? std::string(1, char(random())) : words[random() % 6];
    text.resize(size);
    return text;
}

} // namespace

TEST(StoredAsRead, ChangedFilesAreStoredAsReadAsAFreshArchiveWouldStoreThem)
{
    Folder folder("qv5-unit-as-read-changed");
    std::vector<NewEntry> entries = {
        found(folder.write("grew", "log 1\n"), "/grew", "log 1\n"),
        found(folder.write("same", "unchanged"), "/same", "unchanged"),
        found(folder.write("shrank", "a longer text"), "/shrank", "a longer text"),
        found(folder.write("rewritten", "0123456789"), "/rewritten", "0123456789"),
    };
    folder.write("grew", "log 1\nlog 2\n");
    folder.write("shrank", "short");
    folder.write("rewritten", "9876543210");
    std::vector<NewEntry> fresh = {
        found(folder.path("grew"), "/grew", "log 1\nlog 2\n"),
        found(folder.path("same"), "/same", "unchanged"),
        found(folder.path("shrank"), "/shrank", "short"),
        found(folder.path("rewritten"), "/rewritten", "9876543210"),
    };
    Written written = writeAsRead(entries, true);
    ASSERT_EQ(written.events.size(), 3u);
    for (const SourceEvent& event : written.events) EXPECT_EQ(event.change, SourceChange::changed);
    EXPECT_EQ(written.events[0].entry, 0u);
    EXPECT_EQ(written.events[2].entry, 3u);
    // Sizes and checksums differ, the names do not: the table keeps its length, and the
    // archive is the one written from the files as they are now.
    EXPECT_EQ(written.bytes, writeAsRead(fresh, true).bytes);
    EXPECT_EQ(written.bytes, writeAsRead(entries, true, 2).bytes);
    EXPECT_EQ(checkedContents(readBack(written.bytes))["/shrank"], "short");
}

TEST(StoredAsRead, LeftOutFilesMoveTheStreamAndItsIndexBehindAShorterTable)
{
    Folder folder("qv5-unit-as-read-left-out");
    // Two chunks of compressible bytes, and files that go before and after them.
    const std::string big = noise((16 << 20) + 3000, 7);
    std::vector<NewEntry> entries = {
        found(folder.write("gone-first", "first"), "/gone-first", "first"),
        found(folder.write("big", big), "/big", big),
        found(folder.write("kept", "kept bytes"), "/kept", "kept bytes"),
        found(folder.write("gone-last", "last"), "/gone-last", "last"),
    };
    Extension extension;
    for (size_t i = 0; i < entries.size(); ++i) extension.entries.emplace_back(1000 + int64_t(i), 0644);
    extension.folders.push_back(FolderRecord{"/empty", Metadata(5, 0755)});
    fs::remove(folder.path("gone-first"));
    fs::remove(folder.path("gone-last"));
    for (int threads : {1, 2}) {
        Written written = writeAsRead(entries, true, threads, &extension);
        ASSERT_EQ(written.events.size(), 2u);
        EXPECT_EQ(written.events[0].change, SourceChange::leftOut);
        EXPECT_EQ(written.events[0].entry, 0u);
        EXPECT_FALSE(written.events[0].reason.empty());
        EXPECT_EQ(written.events[1].entry, 3u);
        EXPECT_EQ(written.result.stored, (std::vector<size_t>{1, 2}));
        EXPECT_EQ(written.result.archiveBytes, written.bytes.size());
        // Two threads decode by the chunk index: it was moved with the stream.
        ReadBack back = readBack(written.bytes, 2);
        std::map<std::string, std::string> contents = checkedContents(back);
        EXPECT_EQ(contents.size(), 2u);
        EXPECT_EQ(contents["/big"], big);
        EXPECT_EQ(contents["/kept"], "kept bytes");
        ASSERT_EQ(back.extension.entries.size(), 2u);
        EXPECT_EQ(back.extension.entries[0].modifiedNs, 1001);
        EXPECT_EQ(back.extension.entries[1].modifiedNs, 1002);
        EXPECT_EQ(back.extension.chunks.size(), 2u);
        EXPECT_EQ(back.extension.folders.size(), 1u);
    }
}

TEST(StoredAsRead, CopiesOfAChangedFileKeepBytesOfTheirOwnButItsHardLinks)
{
    Folder folder("qv5-unit-as-read-copies");
    const std::string before = "the same bytes in four files";
    // Archive order: three copies, then the entry holding the run's bytes; the first copy is
    // a hard link of that entry (the same file), the two others are files of their own.
    std::vector<NewEntry> entries = {
        found(folder.write("link", before), "/link", before),
        found(folder.write("copy1", before), "/copy1", before),
        found(folder.write("copy2", before), "/copy2", before),
        found(folder.write("source", before), "/source", before),
        found(folder.write("other", "other"), "/other", "other"),
    };
    for (size_t i = 0; i < 3; ++i) entries[i].duplicate = true;
    Extension extension;
    for (size_t i = 0; i < entries.size(); ++i) extension.entries.emplace_back(int64_t(i), 0600);
    extension.hardLinks.push_back(HardLink{3, 0});
    folder.write("source", "changed bytes"); // the hard link would show them too
    folder.write("link", "changed bytes");
    for (int threads : {1, 2}) {
        Written written = writeAsRead(entries, true, threads, &extension);
        ASSERT_EQ(written.events.size(), 1u);
        EXPECT_EQ(written.events[0].entry, 3u);
        // The changed entry's run: its hard link, itself; then the copies, as a run of their own.
        EXPECT_EQ(written.result.stored, (std::vector<size_t>{0, 3, 1, 2, 4}));
        ReadBack back = readBack(written.bytes);
        std::map<std::string, std::string> contents = checkedContents(back);
        EXPECT_EQ(contents["/source"], "changed bytes");
        EXPECT_EQ(contents["/link"], "changed bytes");
        EXPECT_EQ(contents["/copy1"], before);
        EXPECT_EQ(contents["/copy2"], before);
        ASSERT_EQ(back.extension.hardLinks.size(), 1u);
        EXPECT_EQ(back.extension.hardLinks[0].entry, 1u);
        EXPECT_EQ(back.extension.hardLinks[0].target, 0u);
        EXPECT_EQ(back.extension.entries[2].mode, 0600u);
        EXPECT_EQ(back.extension.entries[1].modifiedNs, 3);
    }
}

TEST(StoredAsRead, WithoutCorrectionEntriesKeepTheirRecordedSizeAndTheMismatchShows)
{
    Folder folder("qv5-unit-as-read-pipe");
    std::vector<NewEntry> entries = {
        found(folder.write("grew", "log 1\n"), "/grew", "log 1\n"),
        found(folder.write("shrank", "a longer text"), "/shrank", "a longer text"),
        found(folder.write("gone", "gone soon"), "/gone", "gone soon"),
        found(folder.write("same", "unchanged"), "/same", "unchanged"),
    };
    folder.write("grew", "log 1\nlog 2\n");
    folder.write("shrank", "short");
    fs::remove(folder.path("gone"));
    Written written = writeAsRead(entries, false);
    ASSERT_EQ(written.events.size(), 3u);
    EXPECT_EQ(written.events[0].change, SourceChange::changed); // what the table says is stored
    EXPECT_EQ(written.events[1].change, SourceChange::mismatched);
    EXPECT_TRUE(written.events[1].reason.empty());
    EXPECT_EQ(written.events[2].change, SourceChange::mismatched);
    EXPECT_FALSE(written.events[2].reason.empty());
    EXPECT_TRUE(written.result.stored.empty());
    ReadBack back = readBack(written.bytes);
    ASSERT_EQ(back.entries.size(), 4u);
    EXPECT_EQ(back.contents[0], "log 1\n");
    EXPECT_EQ(back.contents[1], std::string("short") + std::string(8, '\0'));
    EXPECT_EQ(back.contents[2], std::string(9, '\0'));
    EXPECT_EQ(back.contents[3], "unchanged");
    for (size_t i : {1, 2}) {
        EXPECT_NE(back.entries[i].crc, crc32(0, back.contents[i].data(), back.contents[i].size()));
    }
}
