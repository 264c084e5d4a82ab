#include "qv5/qv5.h"

#include "archive/repaired_view.h"
#include "codec/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace qv5 {
namespace {

std::vector<uint8_t> randomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

// The bytes followed by their recovery block.
std::vector<uint8_t> protectedFile(const std::vector<uint8_t>& bytes, int percent)
{
    std::vector<uint8_t> file = bytes;
    const RecoveryLayout layout = planRecovery(bytes.size(), percent);
    EXPECT_FALSE(writeRecovery(memoryReader(bytes.data(), bytes.size()), layout, memoryOutput(file)));
    EXPECT_EQ(file.size(), bytes.size() + layout.blockBytes);
    return file;
}

RecoveryCheck checked(const std::vector<uint8_t>& file, bool fullScan = true)
{
    RecoveryCheck check;
    EXPECT_FALSE(checkRecovery(memoryReader(file.data(), file.size()), file.size(), fullScan, check));
    return check;
}

void zero(std::vector<uint8_t>& file, size_t at, size_t count)
{
    std::fill(file.begin() + at, file.begin() + at + count, 0);
}

TEST(Recovery, LayoutKeepsManySlicesAndTheCostSmall)
{
    // Small inputs: slices of the minimum size. Large ones: about 16384 data slices of a
    // multiple of 64 bytes, and the parity rounded up.
    RecoveryLayout small = planRecovery(5000, 10);
    EXPECT_EQ(small.sliceSize, 1024u);
    EXPECT_EQ(small.dataSlices, 5u);
    EXPECT_EQ(small.paritySlices, 1u);
    EXPECT_EQ(small.blockBytes, 3 * 64 + 2 * 4 * 6 + 1024u);
    for (uint64_t size : {52'773'477ull, 1ull << 30, 100ull << 30}) {
        const RecoveryLayout layout = planRecovery(size, 5);
        EXPECT_EQ(layout.sliceSize % 64, 0u);
        EXPECT_LE(layout.dataSlices, 16384u);
        EXPECT_GE(layout.dataSlices, 16000u);
        EXPECT_EQ(layout.paritySlices, (layout.dataSlices * 5 + 99) / 100);
        // The block stays below 5.5 % of what it protects.
        EXPECT_LT(double(layout.blockBytes), 0.055 * double(size)) << size;
        // Damage in 50 places making 2 % of the whole file touches at most 2 % of its slices
        // plus two more per place; that stays below the parity count with room to spare.
        const double fileSlices = double(size + layout.blockBytes) / layout.sliceSize;
        EXPECT_LT(0.02 * fileSlices + 2 * 50, 0.6 * layout.paritySlices) << size;
    }
}

TEST(Recovery, RepairsDamageAnywhereByteForByte)
{
    const std::vector<uint8_t> bytes = randomBytes(200'000, 1);
    const std::vector<uint8_t> file = protectedFile(bytes, 10);
    const RecoveryCheck intact = checked(file, false);
    ASSERT_EQ(intact.state, RecoveryState::intact);
    EXPECT_FALSE(intact.copyDamaged);
    const uint64_t p = bytes.size();
    const size_t table = 4 * (intact.layout.dataSlices + intact.layout.paritySlices);
    // Data and parity slices, every description copy but one, and one table copy; then both
    // table copies at different entries.
    const struct {
        std::vector<std::pair<size_t, size_t>> places;
        bool copies;
    } cases[] = {
        {{{0, 40}, {5000, 4096}, {150'000, 1}}, false},
        {{{10, 1}, {p, 64}, {file.size() - 64, 64}, {p + 64 + table + 3000, 2048}}, true},
        {{{p + 64 + 8, 4}, {file.size() - 64 - table + 40, 4}, {70'000, 10}}, true},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> damaged = file;
        for (auto [at, count] : c.places) zero(damaged, at, count);
        const RecoveryCheck check = checked(damaged);
        ASSERT_EQ(check.state, RecoveryState::repairable);
        EXPECT_EQ(check.copyDamaged, c.copies);
        std::vector<uint8_t> repaired;
        ASSERT_FALSE(repairArchive(memoryReader(damaged.data(), damaged.size()), check, memoryOutput(repaired)));
        EXPECT_EQ(repaired, file);
    }
}

TEST(Recovery, ReportsWhatCannotBeRepaired)
{
    const std::vector<uint8_t> bytes = randomBytes(100'000, 2);
    const std::vector<uint8_t> file = protectedFile(bytes, 3);
    // More damaged slices than parity slices.
    std::vector<uint8_t> damaged = file;
    for (size_t at = 0; at < 10 * 1024; at += 1024) damaged[at] ^= 1;
    RecoveryCheck check = checked(damaged);
    EXPECT_EQ(check.state, RecoveryState::beyondRepair);
    EXPECT_EQ(check.damagedData, 10u);
    // Lengthened: the block no longer ends the file (a file cut short is damaged like any
    // other, see CutEndIsRepairedLikeOtherDamage).
    std::vector<uint8_t> longer = file;
    longer.push_back(0);
    EXPECT_EQ(checked(longer).state, RecoveryState::lengthMismatch);
    // Without one, and with every copy of the description gone.
    EXPECT_EQ(checked(bytes).state, RecoveryState::none);
    damaged = file;
    const RecoveryLayout layout = checked(file).layout;
    zero(damaged, bytes.size(), 64);
    zero(damaged, bytes.size() + 64 + 4 * (layout.dataSlices + layout.paritySlices) + layout.paritySlices * 1024ull,
         64);
    zero(damaged, damaged.size() - 64, 64);
    EXPECT_EQ(checked(damaged).state, RecoveryState::none);
    // The trailer and part of table B: a search near the end finds copy B; copy B gone too,
    // a full scan finds copy A.
    damaged = file;
    zero(damaged, damaged.size() - 64 - 100, 164);
    EXPECT_EQ(checked(damaged, false).state, RecoveryState::intact);
    zero(damaged, damaged.size() - 64 - 4 * (layout.dataSlices + layout.paritySlices) - 64, 64);
    EXPECT_EQ(checked(damaged, true).state, RecoveryState::intact);
}

// Every single damaged byte of small files, whose slices are few and whose last slice is
// short, full or the only one: each is found and repaired back to the file as written.
TEST(Recovery, AnyOneDamagedByteOfASmallFileIsRepaired)
{
    for (size_t size : {size_t(1), size_t(63), size_t(64), size_t(1023), size_t(1024), size_t(1025), size_t(2048),
                        size_t(3 * 1024 + 7)}) {
        for (int percent : {1, 50}) {
            const std::vector<uint8_t> bytes = randomBytes(size, uint32_t(size) + percent);
            const std::vector<uint8_t> file = protectedFile(bytes, percent);
            ASSERT_EQ(checked(file, false).state, RecoveryState::intact) << size;
            for (size_t at = 0; at < file.size(); ++at) {
                std::vector<uint8_t> damaged = file;
                damaged[at] ^= 0x41;
                for (bool fullScan : {false, true}) {
                    const RecoveryCheck check = checked(damaged, fullScan);
                    ASSERT_TRUE(check.state == RecoveryState::intact || check.state == RecoveryState::repairable)
                        << size << " " << percent << " at " << at << " state " << int(check.state);
                    ASSERT_TRUE(check.state == RecoveryState::repairable || check.copyDamaged) << at;
                    std::vector<uint8_t> repaired;
                    ASSERT_FALSE(
                        repairArchive(memoryReader(damaged.data(), damaged.size()), check, memoryOutput(repaired)))
                        << size << " " << percent << " at " << at;
                    ASSERT_EQ(repaired, file) << size << " " << percent << " at " << at;
                }
            }
        }
    }
}

// As many damaged slices as there are parity slices, spread over data and parity, with a
// table copy and the trailer hit as well.
TEST(Recovery, DamageUpToTheParityCountIsRepaired)
{
    std::mt19937 random(7);
    for (size_t size : {size_t(40 * 1024), size_t(40 * 1024 - 1), size_t(333'333)}) {
        for (int percent : {1, 7, 50}) {
            const std::vector<uint8_t> bytes = randomBytes(size, uint32_t(size) ^ percent);
            const std::vector<uint8_t> file = protectedFile(bytes, percent);
            const RecoveryLayout layout = checked(file).layout;
            const uint32_t k = layout.dataSlices, m = layout.paritySlices;
            const uint64_t parityAt = size + 64 + 4ull * (k + m);
            for (int trial = 0; trial < 4; ++trial) {
                std::vector<uint32_t> order(k + m);
                for (uint32_t i = 0; i < k + m; ++i) order[i] = i;
                std::shuffle(order.begin(), order.end(), random);
                std::vector<uint8_t> damaged = file;
                for (uint32_t n = 0; n < m; ++n) {
                    const uint32_t i = order[n];
                    const uint64_t at = i < k ? uint64_t(i) * layout.sliceSize : parityAt + uint64_t(i - k) * layout.sliceSize;
                    const uint64_t length = i < k ? std::min<uint64_t>(layout.sliceSize, size - at) : layout.sliceSize;
                    damaged[at + random() % length] ^= 0x80;
                }
                damaged[size + 64 + random() % (4 * (k + m))] ^= 1; // table A
                damaged[damaged.size() - 1 - random() % 64] ^= 1;   // the trailer
                const RecoveryCheck check = checked(damaged, false);
                ASSERT_EQ(check.state, RecoveryState::repairable) << size << " " << percent;
                EXPECT_EQ(check.damagedData + check.damagedParity, m);
                std::vector<uint8_t> repaired;
                ASSERT_FALSE(
                    repairArchive(memoryReader(damaged.data(), damaged.size()), check, memoryOutput(repaired)));
                ASSERT_EQ(repaired, file) << size << " " << percent;
                // One slice more is beyond repair.
                const uint32_t i = order[m];
                const uint64_t at = i < k ? uint64_t(i) * layout.sliceSize : parityAt + uint64_t(i - k) * layout.sliceSize;
                damaged[at] ^= 0x80;
                EXPECT_EQ(checked(damaged, false).state, RecoveryState::beyondRepair);
            }
        }
    }
}

// A description may claim slices of up to 4 GiB (one data slice of one byte and one parity
// slice, in a sparse file of zeros): the check reads and holds the file in bounded pieces
// rather than a whole slice at once.
TEST(Recovery, HugeSlicesAreCheckedInBoundedPieces)
{
    const uint64_t slice = 256ull << 20;
    // The description as c would write it for such a layout, at the end of a file of zeros.
    std::vector<uint8_t> real = protectedFile(randomBytes(1, 9), 50);
    RecoveryLayout layout = checked(real).layout;
    ASSERT_EQ(layout.dataSlices, 1u);
    ASSERT_EQ(layout.paritySlices, 1u);
    std::vector<uint8_t> trailer(real.end() - 64, real.end());
    const uint64_t blockBytes = 3 * 64 + 2 * 8 + slice;
    for (int b = 0; b < 4; ++b) trailer[16 + b] = static_cast<uint8_t>(slice >> (8 * b));
    for (int b = 0; b < 8; ++b) trailer[32 + b] = static_cast<uint8_t>(blockBytes >> (8 * b));
    const uint32_t crc = crc32Update(0, trailer.data(), 60);
    for (int b = 0; b < 4; ++b) trailer[60 + b] = static_cast<uint8_t>(crc >> (8 * b));
    const uint64_t fileSize = 1 + blockBytes;
    size_t largest = 0;
    const RandomReader sparse = [&](uint64_t at, uint8_t* bytes, size_t count) {
        if (at > fileSize || count > fileSize - at) return false;
        largest = std::max(largest, count);
        std::memset(bytes, 0, count);
        for (size_t i = 0; i < count; ++i) {
            if (at + i >= fileSize - 64) bytes[i] = trailer[at + i - (fileSize - 64)];
        }
        return true;
    };
    RecoveryCheck check;
    ASSERT_FALSE(checkRecovery(sparse, fileSize, false, check));
    EXPECT_EQ(check.layout.sliceSize, slice);
    EXPECT_NE(check.state, RecoveryState::none);
    EXPECT_LE(largest, size_t(16) << 20);
}

// Both table copies damaged over the same entries: the description's CRC-32 of the table
// still tells whether the slices' own checksums make it up, so slices that are intact are
// not counted as damaged, and a repair writes the tables back.
TEST(Recovery, BothTableCopiesDamagedOverTheSameEntries)
{
    const std::vector<uint8_t> bytes = randomBytes(200'000, 4);
    const std::vector<uint8_t> file = protectedFile(bytes, 5);
    const RecoveryLayout layout = checked(file).layout;
    const size_t table = 4 * (layout.dataSlices + layout.paritySlices);
    const size_t tableA = bytes.size() + 64, tableB = file.size() - 64 - table;
    for (size_t entries : {size_t(2), size_t(layout.paritySlices + 1), table / 4}) {
        std::vector<uint8_t> damaged = file;
        zero(damaged, tableA, 4 * entries);
        zero(damaged, tableB, 4 * entries);
        const RecoveryCheck check = checked(damaged);
        EXPECT_TRUE(check.state == RecoveryState::intact || check.state == RecoveryState::repairable)
            << entries << " entries: state " << int(check.state) << ", " << check.damagedData << " data slices";
        EXPECT_TRUE(check.copyDamaged);
        if (check.state != RecoveryState::intact && check.state != RecoveryState::repairable) continue;
        std::vector<uint8_t> repaired;
        ASSERT_FALSE(repairArchive(memoryReader(damaged.data(), damaged.size()), check, memoryOutput(repaired)));
        EXPECT_EQ(repaired, file);
    }
}

// The file as it is on disk, for reading through a repaired view.
struct TemporaryFile {
    FILE* file = std::tmpfile();
    explicit TemporaryFile(const std::vector<uint8_t>& bytes)
    {
        EXPECT_TRUE(file);
        if (file) {
            EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
            std::fflush(file);
        }
    }
    ~TemporaryFile()
    {
        if (file) std::fclose(file);
    }
};

// A cut end loses slices (and copies) as damage elsewhere does: within the parity's capacity
// it is repaired to the file as written, also together with damage elsewhere; past it the
// check says how many bytes are missing. Reading through the repaired view gives the file as
// written, up to its full length.
TEST(Recovery, CutEndIsRepairedLikeOtherDamage)
{
    const std::vector<uint8_t> bytes = randomBytes(200'000, 11);
    const std::vector<uint8_t> file = protectedFile(bytes, 10);
    const RecoveryLayout layout = checked(file).layout;
    const uint64_t table = 4ull * (layout.dataSlices + layout.paritySlices);
    const uint64_t afterParity = 2 * 64 + table; // copy B, table B and the trailer
    const struct {
        uint64_t cut;
        size_t middle; // data slices damaged besides
        RecoveryState state;
        uint32_t damagedParity;
    } cases[] = {
        {1, 0, RecoveryState::intact, 0},
        {64, 0, RecoveryState::intact, 0},
        {afterParity, 0, RecoveryState::intact, 0},
        {afterParity + 1, 0, RecoveryState::repairable, 1},
        {afterParity + 5 * 1024, 3, RecoveryState::repairable, 5},
        {afterParity + uint64_t(layout.paritySlices) * 1024, 0, RecoveryState::repairable, layout.paritySlices},
        {afterParity + 10 * 1024, layout.paritySlices - 9, RecoveryState::beyondRepair, 10},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> damaged(file.begin(), file.end() - static_cast<std::ptrdiff_t>(c.cut));
        for (size_t n = 0; n < c.middle; ++n) damaged[3000 + n * 5 * 1024] ^= 0x10;
        for (bool fullScan : {false, true}) {
            const RecoveryCheck check = checked(damaged, fullScan);
            ASSERT_EQ(check.state, c.state) << c.cut;
            EXPECT_EQ(check.missingBytes, c.cut);
            EXPECT_TRUE(check.copyDamaged);
            EXPECT_EQ(check.damagedData, c.middle);
            EXPECT_EQ(check.damagedParity, c.damagedParity) << c.cut;
            if (c.state == RecoveryState::beyondRepair) continue;
            std::vector<uint8_t> repaired;
            ASSERT_FALSE(repairArchive(memoryReader(damaged.data(), damaged.size()), check, memoryOutput(repaired)));
            EXPECT_EQ(repaired, file) << c.cut;
        }
        const RecoveryCheck check = checked(damaged, false);
        if (check.state != RecoveryState::repairable) continue;
        RepairedViewPtr view;
        ASSERT_FALSE(repairedView(memoryReader(damaged.data(), damaged.size()), check, view));
        TemporaryFile onDisk(damaged);
        ASSERT_TRUE(onDisk.file);
        // The protected bytes as written; the block as the file holds it, zeros where it was cut.
        std::vector<uint8_t> expected(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(bytes.size()));
        expected.insert(expected.end(), damaged.begin() + static_cast<std::ptrdiff_t>(bytes.size()), damaged.end());
        expected.resize(file.size());
        // Pieces of every size at every kind of place, within and across rebuilt slices.
        std::mt19937 random(c.cut);
        std::vector<uint8_t> read(70'000);
        for (int n = 0; n < 300; ++n) {
            const uint64_t at = n == 0 ? 0 : random() % file.size();
            const size_t count = static_cast<size_t>(std::min<uint64_t>(random() % read.size(), file.size() - at));
            bool failed = false;
            ASSERT_EQ(readRepaired(*view, onDisk.file, at, read.data(), count, failed), count);
            ASSERT_FALSE(failed);
            ASSERT_TRUE(std::equal(read.begin(), read.begin() + count, expected.begin() + at)) << at << " " << count;
        }
        bool failed = false;
        EXPECT_EQ(readRepaired(*view, onDisk.file, file.size() - 10, read.data(), 100, failed), 10u);
    }
    // A layout this program never plans is not trusted to say how much was cut: copy B as the
    // only description left, claiming another percentage.
    std::vector<uint8_t> odd(file.begin(), file.end() - 1);
    const uint64_t copyB = bytes.size() + 64 + table + uint64_t(layout.paritySlices) * 1024;
    zero(odd, bytes.size(), 64);
    uint8_t* description = odd.data() + copyB;
    description[40] = 11;
    const uint32_t crc = crc32Update(0, description, 60);
    for (int b = 0; b < 4; ++b) description[60 + b] = static_cast<uint8_t>(crc >> (8 * b));
    EXPECT_EQ(checked(odd, true).state, RecoveryState::lengthMismatch);
}

// A file whose end (the trailer, copy B and its table) is lost and whose copy A is out of the
// search near the end: found where a reader says the archive ends, or within the closing bytes
// after it, and nowhere else.
TEST(Recovery, CopyAIsFoundWhereTheArchiveEnds)
{
    const std::vector<uint8_t> bytes = randomBytes(1'200'000, 12);
    const std::vector<uint8_t> file = protectedFile(bytes, 20);
    std::vector<uint8_t> damaged(file.begin(), file.end() - 120'000);
    ASSERT_EQ(checked(damaged, false).state, RecoveryState::none);
    const RandomReader reader = memoryReader(damaged.data(), damaged.size());
    const uint64_t p = bytes.size();
    for (uint64_t end : {p, p - 1, p - 24}) {
        RecoveryCheck check;
        ASSERT_FALSE(checkRecoveryAfter(reader, damaged.size(), end, check));
        EXPECT_EQ(check.state, RecoveryState::repairable) << end;
        EXPECT_EQ(check.missingBytes, 120'000u);
        std::vector<uint8_t> repaired;
        ASSERT_FALSE(repairArchive(reader, check, memoryOutput(repaired)));
        EXPECT_EQ(repaired, file);
    }
    for (uint64_t end : {p + 1, p - 25, uint64_t(0), uint64_t(damaged.size())}) {
        RecoveryCheck check;
        ASSERT_FALSE(checkRecoveryAfter(reader, damaged.size(), end, check));
        EXPECT_EQ(check.state, RecoveryState::none) << end;
    }
}

// An archive read through the repaired view of its damaged file: every entry's bytes come back,
// on one thread and on several, with and without a chunk index, also when the end was cut.
TEST(Recovery, ArchivesAreReadThroughTheRepairedView)
{
    std::mt19937 random(13);
    std::string text;
    while (text.size() < 400'000) text += "line " + std::to_string(random() % 9000) + " of the text\n";
    const std::vector<uint8_t> noise = randomBytes(300'000, 14);
    std::vector<NewEntry> entries = {
        memoryEntry("/a.txt", reinterpret_cast<const uint8_t*>(text.data()), text.size()),
        memoryEntry("/noise.bin", noise.data(), noise.size()),
    };
    for (bool indexed : {false, true}) {
        std::vector<uint8_t> archive;
        Extension extension;
        extension.entries.resize(entries.size());
        WriteOptions options;
        if (indexed) options.extension = &extension;
        if (indexed)
            options.rewrite = [&](uint64_t at, const uint8_t* b, size_t count) {
                std::memcpy(archive.data() + at, b, count);
                return true;
            };
        WriteResult result;
        ASSERT_FALSE(writeArchive(entries, memoryOutput(archive), options, WriteCallbacks(), result));
        const std::vector<uint8_t> file = protectedFile(archive, 10);
        for (uint64_t cut : {uint64_t(0), uint64_t(3000)}) {
            std::vector<uint8_t> damaged(file.begin(), file.end() - static_cast<std::ptrdiff_t>(cut));
            for (size_t at : {size_t(20), size_t(90'000), size_t(250'000), archive.size() - 30}) damaged[at] ^= 0x04;
            const RecoveryCheck check = checked(damaged, false);
            ASSERT_EQ(check.state, RecoveryState::repairable);
            RepairedViewPtr view;
            ASSERT_FALSE(repairedView(memoryReader(damaged.data(), damaged.size()), check, view));
            TemporaryFile onDisk(damaged);
            for (int threads : {1, 3}) {
                std::rewind(onDisk.file);
                ArchivePtr reading = openArchive(onDisk.file, view.get());
                std::vector<Entry> read;
                ASSERT_FALSE(readTable(*reading, TableCallbacks(), read));
                Extension stored;
                if (indexed) {
                    ASSERT_FALSE(readExtension(*reading, stored));
                    ASSERT_FALSE(stored.chunks.empty());
                }
                std::vector<std::string> contents(read.size());
                ContentCallbacks callbacks;
                callbacks.bytes = [&](size_t index, const uint8_t* b, size_t count) {
                    contents[index].append(reinterpret_cast<const char*>(b), count);
                    return true;
                };
                ASSERT_FALSE(readContents(*reading, read, threads, callbacks)) << indexed << " " << threads;
                EXPECT_EQ(contents[0], text);
                EXPECT_EQ(contents[1], std::string(noise.begin(), noise.end()));
                // The reading knows where the archive ends: where the recovery block begins.
                EXPECT_EQ(archiveEnd(*reading) <= archive.size() && archiveEnd(*reading) + 24 >= archive.size(), true)
                    << archiveEnd(*reading) << " " << archive.size();
            }
        }
    }
}

} // namespace
} // namespace qv5
