#include "qv5/qv5.h"

#include "codec/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
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
    // Cut short, lengthened: the block no longer ends the file.
    std::vector<uint8_t> cut(file.begin(), file.end() - 100);
    EXPECT_EQ(checked(cut).state, RecoveryState::lengthMismatch);
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

} // namespace
} // namespace qv5
