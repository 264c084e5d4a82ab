#include "archive/archive_format.h"
#include "archive/concat_reader.h"
#include "codec/codec_constants.h"
#include "qv5/qv5.h"

#include <gtest/gtest.h>

#include <cstdio>
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

// An entry as the hashing pass leaves it: the size and CRC-32 of what the file holds now.
NewEntry entryFor(const std::string& path, const std::string& name, int64_t size)
{
    NewEntry entry;
    entry.path = path;
    entry.name = name;
    entry.size = size;
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    entry.crc = crc32(0, bytes.data(), bytes.size());
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

const uint8_t* bytesOf(const std::string& text)
{
    return reinterpret_cast<const uint8_t*>(text.data());
}

} // namespace

TEST(ConcatReader, DeliversNonDuplicateContentsBackToBack)
{
    TempFolder folder("qv5-unit-concat");
    const std::string inMemory = "in memory";
    std::vector<NewEntry> entries = {
        entryFor(folder.write("a", "first"), "/a", 5),
        entryFor(folder.write("b", "first"), "/b", 5),
        entryFor(folder.write("e", ""), "/e", 0),
        memoryEntry("/m", bytesOf(inMemory), inMemory.size()),
        entryFor(folder.write("c", "second file"), "/c", 11),
    };
    entries[0].duplicate = true; // same content as b, which holds the stored copy
    for (int32_t capacity : {1, 3, 7, 64}) {
        ConcatReader reader;
        reader.entries = &entries;
        EXPECT_EQ(readAll(reader, capacity), "firstin memorysecond file") << capacity;
        EXPECT_FALSE(reader.failure);
        EXPECT_EQ(reader.file, nullptr);
    }
}

TEST(ConcatReader, FilesThatChangedOrVanishedCutTheStream)
{
    TempFolder folder("qv5-unit-concat-changed");
    struct Case {
        std::string content;
        int64_t recorded;
        const char* rewrite = nullptr;
    } cases[] = {
        {"short", 9},
        {"longer than recorded", 6},
        {"rewritten", 9, "REWRITTEN"}, // same size, other bytes: only the CRC-32 tells
    };
    for (const Case& c : cases) {
        std::string path = folder.write("f", c.content);
        std::vector<NewEntry> entries = {entryFor(path, "/f", c.recorded)};
        if (c.rewrite) folder.write("f", c.rewrite);
        ConcatReader reader;
        reader.entries = &entries;
        std::string delivered = readAll(reader, 64);
        EXPECT_LE(delivered.size(), static_cast<size_t>(c.recorded)); // never more than recorded
        EXPECT_EQ(reader.failure.code, ErrorCode::inputChanged) << c.content;
        EXPECT_EQ(reader.failure.subject, path);
        EXPECT_TRUE(reader.failure.midLine);
        EXPECT_EQ(reader.file, nullptr);
    }
    std::vector<NewEntry> gone = {entryFor((folder.root / "missing").string(), "/missing", 3)};
    ConcatReader reader;
    reader.entries = &gone;
    EXPECT_EQ(readAll(reader, 64), "");
    EXPECT_EQ(reader.failure.code, ErrorCode::openInput);
}

TEST(ArchiveWriter, RefusesAnInputWhoseSizeChangedSinceHashing)
{
    TempFolder folder("qv5-unit-writer");
    std::vector<NewEntry> entries = {entryFor(folder.write("a", "four"), "/a", 3)};
    std::vector<uint8_t> archive;
    bool started = false;
    WriteCallbacks callbacks;
    callbacks.started = [&] { started = true; };
    WriteResult result;
    Error failure = writeArchive(entries, memoryOutput(archive), WriteOptions(), callbacks, result);
    EXPECT_EQ(failure.code, ErrorCode::inputChanged);
    EXPECT_EQ(failure.subject, entries[0].path);
    EXPECT_FALSE(failure.midLine);
    EXPECT_FALSE(started);
    EXPECT_TRUE(archive.empty());
}

// Archives written into memory from memory, at every level, read back with their entries and
// bytes; duplicates are stored once and handed out as copies.
TEST(Library, Crc32OfFileHashesFromThePositionAndKeepsTheCrcOnAReadError)
{
    TempFolder folder("qv5-unit-crc-of-file");
    std::string data(700 * 1024, '\0'); // more than one read
    std::mt19937 rng(5);
    for (char& b : data) b = static_cast<char>(rng());
    std::string path = folder.write("data.bin", data);

    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_TRUE(file);
    ASSERT_EQ(std::fseek(file, 1000, SEEK_SET), 0);
    uint32_t crc = 0;
    EXPECT_TRUE(crc32OfFile(file, crc));
    EXPECT_EQ(crc, crc32(0, data.data() + 1000, data.size() - 1000));
    std::fclose(file);

    FILE* writeOnly = std::fopen(path.c_str(), "ab");
    ASSERT_TRUE(writeOnly);
    crc = 0x12345678;
    EXPECT_FALSE(crc32OfFile(writeOnly, crc));
    EXPECT_EQ(crc, 0x12345678u);
    std::fclose(writeOnly);
}

TEST(Library, MemoryRoundTrip)
{
    std::mt19937 random(7);
    std::string text;
    while (text.size() < 300000) text += "context " + std::to_string(random() % 5000) + " ring\n";
    std::string noise(70000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    const std::string copy = text;
    const std::string empty;
    std::vector<NewEntry> entries = {
        memoryEntry("/docs/a.txt", bytesOf(text), text.size()),
        memoryEntry("/docs/copy.txt", bytesOf(copy), copy.size()),
        memoryEntry("/empty", bytesOf(empty), 0),
        memoryEntry("/noise.bin", bytesOf(noise), noise.size()),
    };
    entries[0].duplicate = true; // the next entry holds the same bytes
    for (int level = 1; level <= 6; ++level) {
        std::vector<uint8_t> archive;
        WriteOptions options;
        options.level = level;
        options.threads = 1 + level % 2;
        std::vector<ChunkProgress> chunks;
        WriteCallbacks callbacks;
        callbacks.chunk = [&](const ChunkProgress& chunk) { chunks.push_back(chunk); };
        WriteResult result;
        ASSERT_FALSE(writeArchive(entries, memoryOutput(archive), options, callbacks, result)) << level;
        EXPECT_EQ(result.archiveBytes, archive.size());
        EXPECT_EQ(result.inputTotal, 2 * text.size() + noise.size());
        ASSERT_EQ(chunks.size(), 1u);
        EXPECT_EQ(chunks[0].total, text.size() + noise.size()); // the copy is stored once

        ArchivePtr reading = openArchive(archive.data(), archive.size());
        std::vector<Entry> table;
        ASSERT_FALSE(readTable(*reading, TableCallbacks(), table));
        ASSERT_EQ(table.size(), entries.size());
        std::map<size_t, std::string> contents;
        std::vector<std::pair<size_t, size_t>> copies;
        ContentCallbacks read;
        read.bytes = [&](size_t index, const uint8_t* data, size_t count) {
            contents[index].append(reinterpret_cast<const char*>(data), count);
            return true;
        };
        read.copy = [&](size_t index, size_t source) {
            copies.emplace_back(index, source);
            contents[index] = contents[source];
            return true;
        };
        ASSERT_FALSE(readContents(*reading, table, 2, read)) << level;
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(table[i].name, entries[i].name);
            EXPECT_EQ(table[i].crc, entries[i].crc);
            EXPECT_EQ(table[i].duplicate, entries[i].duplicate);
            EXPECT_EQ(contents[i].size(), static_cast<size_t>(entries[i].size)) << i;
            EXPECT_EQ(crc32(0, contents[i].data(), contents[i].size()), entries[i].crc) << i;
        }
        EXPECT_EQ(copies, (std::vector<std::pair<size_t, size_t>>{{1, 0}}));
        EXPECT_EQ(bytesRead(*reading), archive.size());
    }
}

TEST(Library, DamagedHeadersAndTruncatedStreamsAreReported)
{
    auto header = [](uint32_t length, uint64_t count, size_t tail) {
        std::vector<uint8_t> b = {'Q', 'V', '5', 'x'};
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(length >> (8 * i)));
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(count >> (8 * i)));
        b.resize(b.size() + 24 + tail, 0);
        return b;
    };
    struct Case {
        std::vector<uint8_t> bytes;
        const char* damage;
    } cases[] = {
        {header(33, 1, 100), "header length above 32"},
        {header(32, 0x80000000ull, 100), "negative entry count"},
        {header(32, 100, 10 * 77 / 8), "more entries than the file holds"},
        {{'Q', 'V', '5', 'x', 32, 0}, "header cut short"},
    };
    for (const Case& c : cases) {
        ArchivePtr archive = openArchive(c.bytes.data(), c.bytes.size());
        std::vector<Entry> table;
        Error failure = readTable(*archive, TableCallbacks(), table);
        EXPECT_EQ(failure.code, ErrorCode::damagedArchive);
        EXPECT_EQ(failure.detail, c.damage);
    }
    // An archive cut inside its stream: the table reads, the contents do not.
    const std::string text(100000, 'q');
    std::vector<uint8_t> whole;
    WriteResult result;
    ASSERT_FALSE(writeArchive({memoryEntry("/q", bytesOf(text), text.size())}, memoryOutput(whole), WriteOptions(),
                              WriteCallbacks(), result));
    std::vector<uint8_t> cut(whole.begin(), whole.end() - 20);
    ArchivePtr archive = openArchive(cut.data(), cut.size());
    std::vector<Entry> table;
    ASSERT_FALSE(readTable(*archive, TableCallbacks(), table));
    Error failure = readContents(*archive, table, 1, ContentCallbacks());
    EXPECT_EQ(failure.code, ErrorCode::damagedArchive);
    EXPECT_TRUE(failure.midLine);
}

// A program built on the library gets every rule without adding one: names that climb out,
// records that break the extension's rules, links made by the archive itself, an empty
// output path. Nothing is written, not even the output folder.
TEST(Library, ExtractionIsSafeWithoutTheProgramsChecks)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / "qv5-unit-library-safe";
    fs::remove_all(root);
    fs::create_directories(root);
    const std::string out = (root / "out").string();
    // "/ok.txt" and "/../escaped.txt", made by hand: the library's own writer refuses the name.
    static const uint8_t climbing[] = {
        0x51, 0x56, 0x35, 0x78, 0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x04, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x6C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x20, 0x48, 0x02, 0x00, 0x08, 0x80, 0x04, 0x38, 0x00, 0x03, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x0E, 0x80, 0x3B, 0x90, 0x25, 0x49, 0x95, 0xEA, 0x3B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0xE0, 0x01, 0x08, 0xB0, 0x3F, 0xE3, 0xBA, 0x20, 0x6B, 0x3F, 0x67, 0x45, 0xF0, 0x00, 0x00, 0x03, 0x08, 0x3C,
        0x3F, 0x0C, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3B, 0xB5, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    auto extract = [&](const uint8_t* data, size_t size, const char* output, const Extension* extension) {
        ArchivePtr archive = openArchive(data, size);
        std::vector<Entry> table;
        EXPECT_FALSE(readTable(*archive, TableCallbacks(), table));
        ExtractOptions options;
        options.output = output;
        options.forceOverwrite = true;
        options.extension = extension;
        ExtractionPtr extraction;
        return extractFiles(*archive, table, options, ExtractCallbacks(), extraction);
    };
    Error refused = extract(climbing, sizeof climbing, out.c_str(), nullptr);
    EXPECT_EQ(refused.code, ErrorCode::nameParentReference);
    EXPECT_EQ(refused.subject, "/../escaped.txt");

    const std::string a = "alpha", b = "bravo";
    std::vector<NewEntry> entries = {memoryEntry("/src/a.txt", bytesOf(a), a.size()),
                                     memoryEntry("/src/b.txt", bytesOf(b), b.size())};
    std::vector<uint8_t> archive;
    WriteResult written;
    ASSERT_FALSE(writeArchive(entries, memoryOutput(archive), WriteOptions(), WriteCallbacks(), written));
    Extension extension;
    extension.entries.resize(2);
    const std::pair<std::vector<std::string>, std::vector<std::string>> bad[] = {
        {{"/src/esc/deeper"}, {"/src/esc"}}, // a link made first, then a folder below it
        {{std::string("/..\0", 4)}, {}},    // a NUL past a "..": the output folder's parent
        {{"/"}, {}},                         // the output folder itself
        {{}, {"/src/a.txt"}},                // a link in place of a file just written
    };
    for (const auto& [folders, links] : bad) {
        extension.folders.clear();
        extension.links.clear();
        for (const std::string& name : folders) extension.folders.push_back(FolderRecord{name, Metadata{0, 0777}});
        for (const std::string& name : links) extension.links.push_back(LinkRecord{name, root.string(), LinkKind::folder, {}});
        EXPECT_EQ(extract(archive.data(), archive.size(), out.c_str(), &extension).code, ErrorCode::damagedArchive);
        // The writer refuses to make such an archive in the first place.
        std::vector<uint8_t> ignored;
        WriteOptions options;
        options.extension = &extension;
        EXPECT_EQ(writeArchive(entries, memoryOutput(ignored), options, WriteCallbacks(), written).code,
                  ErrorCode::nameInvalid);
    }
    EXPECT_EQ(extract(archive.data(), archive.size(), "", nullptr).code, ErrorCode::emptyOutputPath);
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(root), fs::directory_iterator()), std::vector<fs::path>());
    std::vector<uint8_t> ignored;
    for (const char* name : {"/../x", "/a/../../x", "relative"}) {
        std::vector<NewEntry> named = {memoryEntry(name, bytesOf(a), a.size()), entries[1]};
        EXPECT_EQ(writeArchive(named, memoryOutput(ignored), WriteOptions(), WriteCallbacks(), written).code,
                  ErrorCode::nameInvalid)
            << name;
    }
    fs::remove_all(root);
}

TEST(Library, NoiseOnTwoThreadsIsGuessedFromItsLength)
{
    // Six chunks of noise, the fifth opening with text: searches miss everywhere but there.
    std::vector<uint8_t> input(size_t(6) * chunkSize);
    uint64_t x = 88172645463325252u;
    for (size_t i = 0; i < input.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&input[i], &x, 8);
    }
    const char* const words[] = {"solid ", "chunk ", "ring ", "block "};
    for (size_t i = size_t(4) * chunkSize, k = 0; i < size_t(4) * chunkSize + 400000; ++k)
        for (const char* w = words[(k * 7 + k / 3) % 4]; *w; ++w) input[i++] = uint8_t(*w);
    const std::vector<NewEntry> entries = {memoryEntry("/noise", input.data(), input.size())};
    std::vector<uint8_t> archives[2];
    WriteResult results[2];
    for (int t = 0; t < 2; ++t) {
        WriteOptions options;
        options.level = 1;
        options.threads = t + 1;
        ASSERT_FALSE(writeArchive(entries, memoryOutput(archives[t]), options, WriteCallbacks(), results[t]));
    }
    EXPECT_TRUE(archives[0] == archives[1]);
    // The first chunk starts from the known state, and so does the second, as the first ends
    // in bytes a guess would miss. The rest are guessed as noise once the first is known to
    // be noise; only the last, after the text, is parsed again.
    EXPECT_EQ(results[1].chunks, 6u);
    EXPECT_EQ(results[1].chunksWaited, 2u);
    EXPECT_EQ(results[1].chunksParsedAgain, 1u);
}
