#include "codec/crc32.h"
#include "codec/crc32_clmul.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace qv5;

namespace {

uint32_t bytewiseCrc(const uint8_t* p, size_t n)
{
    uint32_t r = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        r ^= p[i];
        for (int b = 0; b < 8; ++b) r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1)));
    }
    return ~r;
}

// x^n mod P, P = x^32 + 0x04C11DB7, worked out most significant bit first (unreflected), apart
// from anything the folding code does.
uint64_t powerOfXModP(int n)
{
    uint64_t r = 1;
    for (int i = 0; i < n; ++i) {
        r <<= 1;
        if (r >> 32) r ^= 0x104C11DB7u;
    }
    return r;
}

// floor(x^64 / P) by long division, one dividend bit (x^64 down to x^0) at a time.
uint64_t quotientOfX64()
{
    uint64_t rest = 0;
    uint64_t quotient = 0;
    for (int power = 64; power >= 0; --power) {
        rest = (rest << 1) | (power == 64 ? 1 : 0);
        if (rest >> 32) {
            rest ^= 0x104C11DB7u;
            quotient |= uint64_t(1) << power;
        }
    }
    return quotient;
}

// Bit i of the result is bit 32 - i of v.
uint64_t reflect33(uint64_t v)
{
    uint64_t r = 0;
    for (int i = 0; i <= 32; ++i) r |= ((v >> (32 - i)) & 1) << i;
    return r;
}

} // namespace

TEST(Crc32, KnownValues)
{
    EXPECT_EQ(crc32Update(0, "", 0), 0u);
    EXPECT_EQ(crc32Update(0, "abc", 3), 0x352441C2u);
    EXPECT_EQ(crc32Update(0, "123456789", 9), 0xCBF43926u);
    // Continuing a running value equals hashing the concatenation.
    EXPECT_EQ(crc32Update(crc32Update(0, "1234", 4), "56789", 5), 0xCBF43926u);
}

TEST(Crc32, FoldingConstantsFollowFromThePolynomial)
{
    EXPECT_EQ(clmulX544, reflect33(powerOfXModP(544)));
    EXPECT_EQ(clmulX480, reflect33(powerOfXModP(480)));
    EXPECT_EQ(clmulX160, reflect33(powerOfXModP(160)));
    EXPECT_EQ(clmulX96, reflect33(powerOfXModP(96)));
    EXPECT_EQ(clmulX64, reflect33(powerOfXModP(64)));
    EXPECT_EQ(clmulQuotient, reflect33(quotientOfX64()));
    EXPECT_EQ(clmulPolynomial, reflect33(0x104C11DB7u));
}

TEST(Crc32, SlicedUpdateMatchesBytewiseAtEveryAlignmentAndLength)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> data(4096 + 64);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t offset = 0; offset < 17; ++offset) {
        for (size_t length : {0, 1, 15, 16, 17, 31, 32, 33, 100, 1000, 4096}) {
            ASSERT_EQ(crc32Update(0, data.data() + offset, length), bytewiseCrc(data.data() + offset, length))
                << offset << " " << length;
        }
    }
}

TEST(Crc32, FoldedRunsMatchBytewiseAroundTheirBoundaries)
{
    // Runs of 64 bytes and more are folded 64 and then 16 bytes at a time, the rest bytewise:
    // every length from 48 to 272 crosses each of those steps, continued from running values.
    std::mt19937 rng(9);
    std::vector<uint8_t> data(1 << 20);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t length = 48; length <= 272; ++length) {
        ASSERT_EQ(crc32Update(0, data.data() + 3, length), bytewiseCrc(data.data() + 3, length)) << length;
        uint32_t head = crc32Update(0, data.data(), 5);
        ASSERT_EQ(crc32Update(head, data.data() + 5, length), bytewiseCrc(data.data(), length + 5)) << length;
    }
    EXPECT_EQ(crc32Update(0, data.data(), data.size()), bytewiseCrc(data.data(), data.size()));
    std::vector<uint8_t> ones(100000, 0xFF);
    EXPECT_EQ(crc32Update(0, ones.data(), ones.size()), bytewiseCrc(ones.data(), ones.size()));
}

TEST(Crc32, CombinedValuesEqualTheCrcOfTheJoinedBytes)
{
    std::mt19937 rng(11);
    std::vector<uint8_t> data(3 << 20);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const size_t whole = data.size();
    for (size_t cut : {size_t(0), size_t(1), size_t(15), size_t(4096), whole / 2, whole - 1, whole}) {
        const uint32_t a = crc32Update(0, data.data(), cut);
        const uint32_t b = crc32Update(0, data.data() + cut, whole - cut);
        EXPECT_EQ(crc32Combine(a, b, whole - cut), crc32Update(0, data.data(), whole)) << cut;
    }
    // A long B of zeros, hashed in pieces after A, against one combination.
    std::vector<uint8_t> zeros(5 << 20, 0);
    uint32_t a = crc32Update(0, "abc", 3);
    uint32_t joined = a;
    for (int i = 0; i < 5; ++i) joined = crc32Update(joined, zeros.data(), 1 << 20);
    EXPECT_EQ(crc32Combine(a, crc32Update(0, zeros.data(), zeros.size()), zeros.size()), joined);
}
