#include "qv5/qv5.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace qv5
