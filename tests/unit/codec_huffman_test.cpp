#include <gtest/gtest.h>

#include "codec/huffman.h"
#include "codec/symbol_tables.h"
#include "codec_test_support.h"

namespace qv5 {
namespace {

using test::ReaderFixture;
using test::WriterFixture;

std::vector<int> lengthsOf(const HuffmanCode& code, int n)
{
    return std::vector<int>(code.lengths, code.lengths + n);
}

TEST(Huffman, WorkedExampleLengthsAndStoredCodes)
{
    HuffmanCode code{distanceAlphabet};
    const uint16_t counts[6] = {3, 3, 2, 2, 0, 1};
    std::copy(counts, counts + 6, code.counts);
    buildCode(code);
    EXPECT_EQ(lengthsOf(code, 6), (std::vector<int>{2, 2, 3, 2, 0, 3}));
    EXPECT_EQ(code.codes[0], 0u);
    EXPECT_EQ(code.codes[1], 2u);
    EXPECT_EQ(code.codes[2], 3u);
    EXPECT_EQ(code.codes[3], 1u);
    EXPECT_EQ(code.codes[5], 7u);
    EXPECT_EQ(code.minLength, 2);
    EXPECT_EQ(code.maxLength, 3);

    HuffmanCode even{nameAlphabet};
    for (int s : {10, 20, 30, 40}) even.counts[s] = 1;
    buildCode(even);
    for (int s : {10, 20, 30, 40}) EXPECT_EQ(even.lengths[s], 2);
}

TEST(Huffman, LongCodesAreFlattenedByHalving)
{
    HuffmanCode code{literalLengthAlphabet};
    uint16_t a = 1, b = 1;
    for (int s = 0; s < 20; ++s) {
        code.counts[s] = a;
        uint16_t next = uint16_t(a + b);
        a = b;
        b = next;
    }
    buildCode(code);
    // 19 bits, then 18 after one halving, then 15 after the second.
    EXPECT_EQ(code.maxLength, 15);
    const uint16_t halvedTwice[20] = {1, 1, 1, 1, 1, 2, 3, 5, 8, 13, 22, 36, 58, 94, 152, 246, 399, 646, 1045, 1691};
    EXPECT_TRUE(std::equal(halvedTwice, halvedTwice + 20, code.counts));
}

TEST(Huffman, CountReachingTheLimitHalvesTheWholeAlphabet)
{
    HuffmanCode code{distanceAlphabet};
    code.counts[1] = 1;
    code.counts[2] = 7;
    for (int i = 0; i < 0xFFFF; ++i) countSymbol(code, 0);
    EXPECT_EQ(code.counts[0], 0x7FFF);
    EXPECT_EQ(code.counts[1], 1);
    EXPECT_EQ(code.counts[2], 3);
}

// Writes one table, reads it back, and decodes every symbol through it.
void expectRoundTrip(HuffmanCode& code)
{
    const int n = code.alphabet.symbolCount;
    WriterFixture f;
    writeTable(code, f.writer);
    for (int s = 0; s < n; ++s)
        if (code.lengths[s]) encodeSymbol(code, f.writer, uint32_t(s));
    writeBits(f.writer, 0x2A5, 10);
    finish(f.writer);

    ReaderFixture r(f.bytes);
    HuffmanCode back{code.alphabet};
    ASSERT_TRUE(readTable(back, r.reader));
    EXPECT_EQ(lengthsOf(back, n), lengthsOf(code, n));
    for (int s = 0; s < n; ++s) {
        if (!code.lengths[s]) continue;
        EXPECT_EQ(back.codes[s], code.codes[s]);
        ASSERT_EQ(decodeSymbol(back, r.reader), uint32_t(s));
    }
    EXPECT_EQ(readBits(r.reader, 10), 0x2A5u);
    // The second level alone resolves every code too.
    for (int s = 0; s < n; ++s) {
        if (!code.lengths[s]) continue;
        for (uint32_t high = 0; high < (1u << (back.maxLength - back.lengths[s])); high += 3)
            ASSERT_EQ(back.tables.full[(high << back.lengths[s]) | back.codes[s]], s);
    }
}

TEST(Huffman, TablesRoundTripForAllAlphabets)
{
    std::mt19937 rng(3);
    for (const HuffmanAlphabet* alphabet : {&nameAlphabet, &literalLengthAlphabet, &distanceAlphabet}) {
        for (int trial = 0; trial < 20; ++trial) {
            HuffmanCode code{*alphabet};
            // Skewed counts over a random subset, so that lengths reach past the first level.
            for (int s = 0; s < alphabet->symbolCount; ++s)
                if (rng() % 3) code.counts[s] = uint16_t(1 + (rng() % 60000) / (1 + (rng() % 5000)));
            SCOPED_TRACE(testing::Message() << alphabet->symbolCount << " symbols, trial " << trial);
            expectRoundTrip(code);
        }
    }
    // Equal counts over 287 symbols: codes of 8 and of 9 bits.
    HuffmanCode flat{literalLengthAlphabet};
    std::fill_n(flat.counts, 287, uint16_t(1));
    expectRoundTrip(flat);
}

// The first level as the block decoder reads it: the caller's entries where the code starting
// at a slot fits the table, longEntry exactly where it is longer.
TEST(Huffman, FirstLevelHoldsTheCallersEntries)
{
    HuffmanCode code{distanceAlphabet};
    uint16_t a = 1, b = 1;
    for (int s = 0; s < 20; ++s) {
        code.counts[3 * s] = a;
        uint16_t next = uint16_t(a + b);
        a = b;
        b = next;
    }
    WriterFixture f;
    writeTable(code, f.writer);
    finish(f.writer);
    ASSERT_GT(code.maxLength, distanceAlphabet.tableBits);
    ASSERT_LE(code.minLength, distanceAlphabet.tableBits);

    ReaderFixture r(f.bytes);
    HuffmanCode back{distanceAlphabet};
    auto entryOf = [](uint32_t s, uint32_t length) { return makeEntry(s + 1000, length, 3); };
    ASSERT_TRUE(readTable(back, r.reader, entryOf));
    const DecodeTables& tables = back.tables;
    for (uint32_t slot = 0; slot < (1u << distanceAlphabet.tableBits); ++slot) {
        const uint32_t s = tables.full[slot]; // the code starting at the slot's bits
        ASSERT_NE(s, noSymbol);
        const uint32_t expected =
            back.lengths[s] <= distanceAlphabet.tableBits ? entryOf(s, back.lengths[s]) : longEntry;
        ASSERT_EQ(tables.entries[slot], expected) << slot;
    }
    for (int s = 0; s < 60; ++s) {
        if (back.lengths[s]) {
            EXPECT_EQ(tables.bySymbol[s], entryOf(uint32_t(s), back.lengths[s])) << s;
        }
    }
}

TEST(Huffman, OneSymbolAndNoSymbol)
{
    HuffmanCode one{nameAlphabet};
    one.counts[65] = 9;
    WriterFixture f;
    writeTable(one, f.writer);
    EXPECT_EQ(one.lengths[65], 1);
    EXPECT_EQ(one.codes[65], 0u);
    EXPECT_EQ(f.writer.accBits, 8u + 8u + 32u); // maxLength, mask, 32 one-bit lengths
    EXPECT_EQ(f.writer.acc & 0xFFFF, 0x0401u);  // maxLength 1, mask bit 2 (symbols 64-95)
    EXPECT_EQ((f.writer.acc >> 16) & 0xFFFFFFFFu, 0x2u);

    HuffmanCode none{literalLengthAlphabet};
    writeTable(none, f.writer);
    EXPECT_EQ(none.maxLength, 0);
    writeBits(f.writer, 0x2, 2); // symbol 65, then the unassigned 1-bit pattern
    finish(f.writer);

    ReaderFixture r(f.bytes);
    HuffmanCode oneBack{nameAlphabet}, noneBack{literalLengthAlphabet};
    ASSERT_TRUE(readTable(oneBack, r.reader));
    ASSERT_TRUE(readTable(noneBack, r.reader));
    EXPECT_EQ(decodeSymbol(noneBack, r.reader), noSymbol);
    EXPECT_EQ(decodeSymbol(oneBack, r.reader), 65u);
    int32_t before = r.reader.accBits;
    EXPECT_EQ(decodeSymbol(oneBack, r.reader), noSymbol);
    EXPECT_EQ(r.reader.accBits, before); // nothing consumed
}

// A length table written field by field: stored maxLength, then per group a mask and the
// lengths of the marked subgroups.
std::vector<uint8_t> rawTable(uint32_t storedMax, const std::vector<std::pair<uint32_t, std::vector<uint32_t>>>& groups)
{
    WriterFixture f;
    writeBits(f.writer, storedMax, 8);
    uint32_t width = uint32_t(std::bit_width(storedMax));
    for (auto& [mask, lengths] : groups) {
        writeBits(f.writer, mask, 8);
        for (uint32_t length : lengths) writeBits(f.writer, length, width);
    }
    finish(f.writer);
    return f.bytes;
}

std::vector<uint32_t> subgroup(std::initializer_list<uint32_t> first, size_t size = 32)
{
    std::vector<uint32_t> lengths(first);
    lengths.resize(size, 0);
    return lengths;
}

TEST(Huffman, TablesTheWriterNeverProducesAreRejected)
{
    struct Case {
        const char* what;
        uint32_t storedMax;
        std::vector<std::pair<uint32_t, std::vector<uint32_t>>> groups;
    };
    const std::vector<Case> cases = {
        {"length above 16", 17, {{1, subgroup({17, 1, 1})}}},
        {"length above 16 under a stored 16", 16, {{1, subgroup({1, 2, 17})}}},
        {"over-subscribed", 1, {{1, subgroup({1, 1, 1})}}},
        {"incomplete", 2, {{1, subgroup({1, 2})}}},
        {"stored maxLength disagrees", 3, {{1, subgroup({1, 1})}}},
        {"single symbol longer than 1", 2, {{1, subgroup({2})}}},
        {"marked subgroup without symbols", 1, {{3, subgroup({1, 1}, 64)}}},
        {"mask bit past the alphabet", 1, {{5, subgroup({1, 1})}}},
    };
    for (const Case& c : cases) {
        ReaderFixture r(rawTable(c.storedMax, c.groups));
        HuffmanCode code{distanceAlphabet};
        EXPECT_FALSE(readTable(code, r.reader)) << c.what;
    }
    // The same layout with valid lengths is accepted.
    ReaderFixture ok(rawTable(2, {{1, subgroup({1, 2, 2})}}));
    HuffmanCode code{distanceAlphabet};
    EXPECT_TRUE(readTable(code, ok.reader));
    // The second group of the literal/length alphabet has 31 symbols: only mask bit 0.
    ReaderFixture bad(rawTable(1, {{1, subgroup({1, 1})}, {2, subgroup({}, 0)}}));
    HuffmanCode ll{literalLengthAlphabet};
    EXPECT_FALSE(readTable(ll, bad.reader));
}

TEST(SymbolTables, EveryValueMapsIntoItsSymbolsRange)
{
    EXPECT_EQ(lengthBase[28], 256);
    EXPECT_EQ(lengthExtra[30], 10);
    EXPECT_EQ(distanceBase[33], 98304);
    EXPECT_EQ(distanceBase[34], 131072);
    EXPECT_EQ(distanceBase[59], 1048576 + 11 * 262144);
    EXPECT_EQ(distanceExtra[59], 18);
    for (int v = 0; v < lengthValueCount; ++v) {
        int s = lengthSymbol[v];
        ASSERT_TRUE(lengthBase[s] <= v && v < lengthBase[s] + (1 << lengthExtra[s])) << v;
    }
    for (int d = 0; d < distanceValueCount; ++d) {
        int t = distanceSymbol[d];
        ASSERT_TRUE(distanceBase[t] <= d && d < distanceBase[t] + (1 << distanceExtra[t])) << d;
    }
    EXPECT_EQ(distanceSymbol[4095], 23);
    EXPECT_EQ(lengthSymbol[2036], 30);
}

} // namespace
} // namespace qv5
