#include "codec/erasure_code.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace qv5 {
namespace {

// Parity of random data, then every erasure pattern tried rebuilt to the same bytes.
struct Coded {
    uint32_t dataCount, parityCount;
    size_t width;
    std::vector<std::vector<uint8_t>> slices; // parity, then data
};

Coded encodeRandom(uint32_t dataCount, uint32_t parityCount, size_t width, uint32_t seed)
{
    std::mt19937 random(seed);
    Coded coded{dataCount, parityCount, width, {}};
    std::vector<std::vector<uint8_t>> data(dataCount, std::vector<uint8_t>(width));
    for (auto& slice : data) {
        for (uint8_t& byte : slice) byte = static_cast<uint8_t>(random());
    }
    ParityEncoder encoder;
    startParity(encoder, parityCount, width);
    for (const auto& slice : data) std::copy(slice.begin(), slice.end(), nextDataSlice(encoder));
    finishParity(encoder);
    for (uint32_t j = 0; j < parityCount; ++j) {
        coded.slices.emplace_back(encoder.sum.begin() + j * width, encoder.sum.begin() + (j + 1) * width);
    }
    for (auto& slice : data) coded.slices.push_back(std::move(slice));
    return coded;
}

// Erases the chosen slices (overwriting them with junk), rebuilds, and compares.
bool rebuildsAfterErasing(const Coded& coded, const std::vector<uint32_t>& chosen)
{
    std::vector<std::vector<uint8_t>> slices = coded.slices;
    std::vector<bool> erased(slices.size(), false);
    for (uint32_t i : chosen) {
        erased[i] = true;
        std::fill(slices[i].begin(), slices[i].end(), 0xA5);
    }
    std::vector<uint8_t*> pointers;
    for (auto& slice : slices) pointers.push_back(slice.data());
    if (!rebuildSlices(coded.dataCount, coded.parityCount, coded.width, pointers.data(), erased)) return false;
    return slices == coded.slices;
}

TEST(ErasureCode, RebuildsAnyPatternUpToTheParityCount)
{
    // Partial last blocks, a parity count that is not a power of two, several data blocks,
    // a single parity slice, wider slices.
    const struct {
        uint32_t data, parity;
        size_t width;
    } shapes[] = {{1, 1, 64}, {5, 3, 64}, {37, 5, 128}, {100, 8, 64}, {9, 9, 192}, {300, 17, 64}, {64, 1, 64}};
    std::mt19937 random(7);
    for (const auto& shape : shapes) {
        const Coded coded = encodeRandom(shape.data, shape.parity, shape.width, shape.data * 31 + shape.parity);
        const uint32_t total = shape.data + shape.parity;
        std::vector<uint32_t> all(total);
        for (uint32_t i = 0; i < total; ++i) all[i] = i;
        for (int trial = 0; trial < 6; ++trial) {
            std::shuffle(all.begin(), all.end(), random);
            const uint32_t count = trial == 0 ? shape.parity : 1 + random() % shape.parity;
            std::vector<uint32_t> chosen(all.begin(), all.begin() + count);
            EXPECT_TRUE(rebuildsAfterErasing(coded, chosen)) << shape.data << "+" << shape.parity << " trial " << trial;
        }
        // The worst places: every parity slice, or the last data slices.
        std::vector<uint32_t> parity, lastData;
        for (uint32_t i = 0; i < shape.parity; ++i) parity.push_back(i);
        for (uint32_t i = 0; i < std::min(shape.parity, shape.data); ++i) lastData.push_back(total - 1 - i);
        EXPECT_TRUE(rebuildsAfterErasing(coded, parity));
        EXPECT_TRUE(rebuildsAfterErasing(coded, lastData));
    }
}

TEST(ErasureCode, RefusesMoreErasuresThanParityAndChangesNothing)
{
    const Coded coded = encodeRandom(20, 4, 64, 3);
    std::vector<std::vector<uint8_t>> slices = coded.slices;
    std::vector<bool> erased(slices.size(), false);
    for (uint32_t i : {0u, 6u, 9u, 12u, 23u}) erased[i] = true;
    std::vector<uint8_t*> pointers;
    for (auto& slice : slices) pointers.push_back(slice.data());
    EXPECT_FALSE(rebuildSlices(20, 4, 64, pointers.data(), erased));
    EXPECT_EQ(slices, coded.slices);
}

TEST(ErasureCode, LimitsOfTheField)
{
    EXPECT_TRUE(erasureCodeFits(65536 - 1024, 1000));
    EXPECT_FALSE(erasureCodeFits(65536 - 1023, 1000));
    EXPECT_FALSE(erasureCodeFits(10, 0));
    EXPECT_FALSE(erasureCodeFits(0, 1));
    EXPECT_EQ(parityBlockSize(1), 1u);
    EXPECT_EQ(parityBlockSize(5), 8u);
    EXPECT_EQ(parityBlockSize(1024), 1024u);
}

TEST(ErasureCode, FastKernelsMatchThePortableOnes)
{
    const ErasureKernels& fast = erasureKernels();
    const ErasureKernels& slow = portableKernels();
    if (&fast == &slow) GTEST_SKIP() << "this CPU has only the portable kernels";
    std::mt19937 random(11);
    const size_t bytes = 4 * erasureGroupBytes;
    for (int trial = 0; trial < 50; ++trial) {
        std::vector<uint8_t> x(bytes), y(bytes);
        for (uint8_t& b : x) b = static_cast<uint8_t>(random());
        for (uint8_t& b : y) b = static_cast<uint8_t>(random());
        FactorTables tables;
        makeFactorTables(static_cast<uint16_t>(trial == 0 ? 1 : random()), tables);
        auto x1 = x, y1 = y, x2 = x, y2 = y;
        fast.mulAdd(x1.data(), y1.data(), tables, bytes);
        slow.mulAdd(x2.data(), y2.data(), tables, bytes);
        EXPECT_EQ(x1, x2);
        fast.forward(x1.data(), y1.data(), tables, bytes);
        slow.forward(x2.data(), y2.data(), tables, bytes);
        EXPECT_EQ(x1, x2);
        EXPECT_EQ(y1, y2);
        fast.inverse(x1.data(), y1.data(), tables, bytes);
        slow.inverse(x2.data(), y2.data(), tables, bytes);
        EXPECT_EQ(x1, x2);
        EXPECT_EQ(y1, y2);
    }
}

} // namespace
} // namespace qv5
