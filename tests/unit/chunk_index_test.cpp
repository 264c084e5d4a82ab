// The chunk index of -meta archives: written where every chunk begins, used to decode chunks
// apart, in parallel, only where a selection needs them, and past a damaged chunk; an index
// that does not fit the stream or contradicts it is never believed.
#include "archive/extension_format.h"
#include "codec/byte_order.h"
#include "codec/crc32.h"
#include "qv5/qv5.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

using namespace qv5;

namespace {

constexpr size_t mib = 1 << 20;

// Files of text-like bytes spanning four chunks (the last one short), a copy of one of them,
// and empty files between: an archive with its extension (and index) at its end.
struct Fixture {
    std::vector<std::string> contents;
    std::vector<NewEntry> entries;
    std::vector<uint8_t> archive;
    Extension extension;

    Fixture()
    {
        std::mt19937 random(3);
        const char* words[] = {"chunk ", "index ", "stream ", "context ", "ring ", "block "};
        for (size_t size : {9 * mib, 0ul, 14 * mib, 5 * mib, 5 * mib, 0ul, 20 * mib + 12345}) {
            std::string text;
            while (text.size() < size) text += words[random() % 6] + std::to_string(random() % 1000) + "\n";
            text.resize(size);
            contents.push_back(text);
        }
        contents[4] = contents[3]; // a copy: stored once
        for (size_t i = 0; i < contents.size(); ++i) {
            const std::string& text = contents[i];
            entries.push_back(memoryEntry("/f" + std::to_string(i), reinterpret_cast<const uint8_t*>(text.data()),
                                          text.size()));
        }
        entries[3].duplicate = true;
        extension.entries.resize(entries.size());
        WriteOptions options;
        options.level = 1;
        options.extension = &extension;
        options.rewrite = [&](uint64_t at, const uint8_t* bytes, size_t count) {
            std::copy(bytes, bytes + count, archive.begin() + static_cast<std::ptrdiff_t>(at));
            return true;
        };
        WriteResult result;
        if (writeArchive(entries, memoryOutput(archive), options, WriteCallbacks(), result)) std::abort();
    }
};

const Fixture& fixture()
{
    static const Fixture built;
    return built;
}

struct Read {
    Error failure;
    std::map<size_t, std::string> bytes;
    std::vector<std::pair<uint32_t, std::vector<size_t>>> damage;
};

Read readWith(const std::vector<uint8_t>& archive, int threads, std::vector<bool> selected = {})
{
    Read read;
    ArchivePtr reading = openArchive(archive.data(), archive.size());
    std::vector<Entry> table;
    Extension extension;
    if ((read.failure = readTable(*reading, TableCallbacks(), table))) return read;
    if ((read.failure = readExtension(*reading, extension))) return read;
    ContentCallbacks callbacks;
    callbacks.selected = std::move(selected);
    callbacks.bytes = [&](size_t index, const uint8_t* data, size_t count) {
        read.bytes[index].append(reinterpret_cast<const char*>(data), count);
        return true;
    };
    callbacks.copy = [&](size_t index, size_t source) {
        read.bytes[index] = read.bytes[source];
        return true;
    };
    callbacks.damaged = [&](uint32_t chunk, const std::string&, const std::vector<size_t>& entries) {
        read.damage.emplace_back(chunk, entries);
    };
    read.failure = readContents(*reading, table, threads, callbacks);
    return read;
}

// The block of the archive's extension, its chunk index replaced, sealed again.
std::vector<uint8_t> withIndex(const std::vector<ChunkMark>& index)
{
    const Fixture& f = fixture();
    const uint64_t offset = loadU64(f.archive.data() + 32);
    Extension extension;
    if (parseExtension(f.archive.data() + offset, f.archive.size() - offset, extension)) std::abort();
    std::vector<uint8_t> archive(f.archive.begin(), f.archive.begin() + static_cast<std::ptrdiff_t>(offset));
    const std::vector<uint8_t> block = extensionBytes(extension, &index);
    archive.insert(archive.end(), block.begin(), block.end());
    return archive;
}

std::vector<ChunkMark> indexOf(const std::vector<uint8_t>& archive)
{
    const uint64_t offset = loadU64(archive.data() + 32);
    Extension extension;
    if (parseExtension(archive.data() + offset, archive.size() - offset, extension)) std::abort();
    return extension.chunks;
}

} // namespace

TEST(ChunkIndex, MarksEveryChunkAndDecodesAlikeOnEveryThreadCount)
{
    const Fixture& f = fixture();
    const std::vector<ChunkMark> index = indexOf(f.archive);
    ASSERT_EQ(index.size(), 4u); // 48 MiB and a little stored, the copy once
    for (size_t k = 1; k < index.size(); ++k) EXPECT_GT(index[k].bit, index[k - 1].bit);
    for (int threads : {1, 2, 3}) {
        Read read = readWith(f.archive, threads);
        ASSERT_FALSE(read.failure) << threads;
        EXPECT_TRUE(read.damage.empty());
        for (size_t i = 0; i < f.contents.size(); ++i) EXPECT_TRUE(read.bytes[i] == f.contents[i]) << i;
    }
    // One entry, decoding only the chunks it needs: the copy of a stored entry, and an empty one.
    for (size_t i : {4ul, 5ul, 6ul}) {
        ArchivePtr reading = openArchive(f.archive.data(), f.archive.size());
        std::vector<Entry> table;
        Extension extension;
        ASSERT_FALSE(readTable(*reading, TableCallbacks(), table));
        ASSERT_FALSE(readExtension(*reading, extension));
        std::string bytes;
        ASSERT_FALSE(readEntry(*reading, table, i, [&](const uint8_t* data, size_t count) {
            bytes.append(reinterpret_cast<const char*>(data), count);
            return true;
        }));
        EXPECT_TRUE(bytes == f.contents[i]) << i;
    }
}

TEST(ChunkIndex, ADamagedChunkCostsOnlyTheEntriesTheDamageReaches)
{
    const Fixture& f = fixture();
    const std::vector<ChunkMark> index = indexOf(f.archive);
    // A byte in the middle of the second chunk (stream bytes 16-32 MiB: the end of f2 (from 9),
    // f3 (23-28) and its copy f4, the empty f5 at 28 and the start of f6 (from 28 on)). f2 ends
    // before the damage: its bytes before the chunk and in it match its CRC-32, and it is kept.
    std::vector<uint8_t> damaged = f.archive;
    damaged[(index[1].bit + index[2].bit) / 16] ^= 0x5A;
    for (int threads : {1, 2}) {
        Read read = readWith(damaged, threads);
        ASSERT_FALSE(read.failure) << threads;
        ASSERT_EQ(read.damage.size(), 1u);
        EXPECT_EQ(read.damage[0].first, 1u);
        EXPECT_EQ(read.damage[0].second, (std::vector<size_t>{3, 4, 5, 6}));
        EXPECT_TRUE(read.bytes[0] == f.contents[0] && read.bytes[1].empty() && read.bytes[2] == f.contents[2]);
        EXPECT_EQ(read.bytes.count(3) + read.bytes.count(4), 0u);
    }
    // Near the chunk's end: f3 and its copy f4 (a run goes with its stored entry) and the empty
    // f5 come through; f6, which goes on into the next chunk, does not.
    damaged = f.archive;
    damaged[(index[1].bit + 15 * index[2].bit) / 128] ^= 0x5A;
    for (int threads : {1, 2}) {
        Read read = readWith(damaged, threads);
        ASSERT_EQ(read.damage.size(), 1u) << threads;
        EXPECT_EQ(read.damage[0].second, (std::vector<size_t>{6}));
        EXPECT_TRUE(read.bytes[3] == f.contents[3] && read.bytes[4] == f.contents[4] && read.bytes.count(6) == 0);
    }
    // Damage at the chunk's first block reaches f2 too.
    damaged = f.archive;
    damaged[index[1].bit / 8 + 40] ^= 0x5A;
    Read read = readWith(damaged, 2);
    ASSERT_EQ(read.damage.size(), 1u);
    EXPECT_EQ(read.damage[0].second, (std::vector<size_t>{2, 3, 4, 5, 6}));
    // A stored CRC that does not match is damage of that chunk too; all of it was decoded, so
    // each entry of it is checked against its own CRC-32, and only the one that goes on past it
    // (whose bytes after the chunk have nothing to be checked with) is lost.
    std::vector<ChunkMark> wrongCrc = index;
    wrongCrc[0].crc ^= 1;
    read = readWith(withIndex(wrongCrc), 2);
    ASSERT_EQ(read.damage.size(), 1u);
    EXPECT_EQ(read.damage[0].first, 0u);
    EXPECT_EQ(read.damage[0].second, (std::vector<size_t>{2}));
    EXPECT_TRUE(read.bytes[0] == f.contents[0] && read.bytes[2].empty());
    EXPECT_TRUE(read.bytes[3] == f.contents[3] && read.bytes[6] == f.contents[6]); // the chunks after it are read
}

TEST(ChunkIndex, AnIndexThatDoesNotFitOrContradictsTheStreamIsNotBelieved)
{
    const Fixture& f = fixture();
    const std::vector<ChunkMark> index = indexOf(f.archive);
    auto intact = [&](Read& read) {
        for (size_t i = 0; i < f.contents.size(); ++i) {
            if (read.bytes[i] != f.contents[i]) return false;
        }
        return true;
    };
    // Marks out of order make the block itself damaged.
    std::vector<ChunkMark> unordered = index;
    std::swap(unordered[1], unordered[2]);
    EXPECT_EQ(readWith(withIndex(unordered), 2).failure.detail, "extension chunk index");
    // Not fitting: a count that is not the chunks', a mark past the stream, a first mark not
    // where the stream begins. Read as if there were none.
    std::vector<std::vector<ChunkMark>> unfit(5, index);
    unfit[0].pop_back();
    unfit[1].push_back(ChunkMark{index.back().bit + 8, 0});
    unfit[2][3].bit = uint64_t(f.archive.size()) * 8 + 999;
    unfit[3][0].bit += 1;
    unfit[4][3].bit = ~uint64_t(0);
    for (size_t c = 0; c < unfit.size(); ++c) {
        std::vector<uint8_t> archive = withIndex(unfit[c]);
        Read read = readWith(archive, 2, std::vector<bool>{false, false, false, false, false, false, true});
        ASSERT_FALSE(read.failure) << c;
        EXPECT_TRUE(read.damage.empty()) << c;
        EXPECT_TRUE(read.bytes[6] == f.contents[6]) << c;
    }
    // Fitting but wrong: a chunk's mark elsewhere inside the stream. Where the chunk before was
    // decoded, the stream's own end of it is believed, and the index is reported.
    std::vector<ChunkMark> wrong = index;
    wrong[1].bit = (index[0].bit + index[1].bit) / 2;
    Read read = readWith(withIndex(wrong), 2);
    ASSERT_FALSE(read.failure);
    EXPECT_TRUE(intact(read));
    ASSERT_EQ(read.damage.size(), 1u);
    EXPECT_EQ(read.damage[0].first, noChunk);
    // Without the chunk before, the wrong mark is read from: that chunk is damage, no more.
    read = readWith(withIndex(wrong), 2, std::vector<bool>{false, false, false, false, true, false, false});
    ASSERT_FALSE(read.failure);
    ASSERT_EQ(read.damage.size(), 1u);
    EXPECT_EQ(read.damage[0].first, 1u);
}
