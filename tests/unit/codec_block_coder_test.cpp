#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>

#include "codec/block_coder.h"
#include "codec/match_finder.h"
#include "codec/symbol_tables.h"
#include "codec_test_support.h"

namespace qv5 {
namespace {

using test::ReaderFixture;
using test::WriterFixture;

class BlockCoder : public testing::Test {
protected:
    void SetUp() override { resetHistory(*history); }
    std::unique_ptr<ContextHistory> history = std::make_unique<ContextHistory>();
    std::vector<uint8_t> window = std::vector<uint8_t>(size_t(chunkSize + chunkSlack), 0xFF);
    BlockCodes decodeCodes;
};

void encodeBlock(BitWriter& writer, const std::vector<uint16_t>& tokens)
{
    BlockCodes codes;
    prepareBlock(codes, tokens.data(), int32_t(tokens.size()));
    writeBlock(writer, codes, tokens.data(), int32_t(tokens.size()));
}

std::vector<uint8_t> encodedBlock(const std::vector<uint16_t>& tokens)
{
    WriterFixture f;
    encodeBlock(f.writer, tokens);
    finish(f.writer);
    return f.bytes;
}

TEST_F(BlockCoder, ArchiveWorkedExampleBitStream)
{
    // Name table, one file-table entry (\a, 3 bytes, CRC-32 0x352441C2) and one block of
    // the literals "abc": the bit stream of the 91-byte example archive.
    WriterFixture f;
    HuffmanCode names{nameAlphabet};
    countSymbol(names, 0x5C);
    countSymbol(names, 0x61);
    writeTable(names, f.writer);
    writeU64(f.writer, 3);
    writeBits(f.writer, 0, 1);
    writeBits(f.writer, 2, 12);
    encodeSymbol(names, f.writer, 0x5C);
    encodeSymbol(names, f.writer, 0x61);
    writeU32(f.writer, 0x352441C2u);

    std::vector<uint8_t> chunk = test::withSlack({0x61, 0x62, 0x63});
    auto chains = std::make_unique<ContextChains>();
    resetChains(*chains);
    AdaptiveState adaptive;
    uint16_t tokens[8];
    BlockResult r = parseBlock(0, chunk.data(), 3, tokens, *chains, levelTable[1], adaptive);
    ASSERT_EQ(r.words, 3);
    encodeBlock(f.writer, std::vector<uint16_t>(tokens, tokens + 3));
    finish(f.writer);

    const std::vector<uint8_t> expected = {0x01, 0x0c, 0x00, 0x00, 0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x40, 0xe1, 0x20, 0x92, 0x9a, 0x01, 0x00,
                                           0x08, 0x20, 0xa0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(f.bytes, expected);
}

// The block writer stores ahead of the flush rule; from any writer state, and across the
// buffer's end, it must leave the stream, the buffer and the writer exactly as one writeBits
// call per code and per nonzero extra-bits field would.
// Writes tokens with writeBlock and with one writeBits call per code and per extra bits, from
// writers in many states, and expects the same bytes and the same writer.
void checkWriterAgainstSingleWrites(const std::vector<uint16_t>& tokens)
{
    BlockCodes codes;
    prepareBlock(codes, tokens.data(), int32_t(tokens.size()));

    auto writeSingly = [&](BitWriter& writer) {
        writeBits(writer, uint32_t(tokens.size()), wordCountBits);
        writeLengthTable(codes.literalLength, writer);
        writeLengthTable(codes.distance, writer);
        for (size_t i = 0; i < tokens.size(); ++i) {
            const uint32_t word = tokens[i];
            if (word < uint32_t(literalCount)) {
                writeBits(writer, codes.literalLength.codes[word], codes.literalLength.lengths[word]);
                continue;
            }
            const uint32_t s = lengthSymbol[word - literalCount];
            writeBits(writer, codes.literalLength.codes[literalCount + s],
                      codes.literalLength.lengths[literalCount + s]);
            if (lengthExtra[s] > 0)
                writeBits(writer, word - literalCount - uint32_t(lengthBase[s]), uint32_t(lengthExtra[s]));
            const uint32_t d = tokens[++i];
            const uint32_t t = distanceSymbol[d];
            writeBits(writer, codes.distance.codes[t], codes.distance.lengths[t]);
            if (distanceExtra[t] > 0) writeBits(writer, d - uint32_t(distanceBase[t]), uint32_t(distanceExtra[t]));
        }
    };

    // Buffer positions far from and right at the buffer's end, and accumulators from empty
    // to one bit short of full.
    for (int32_t used : {0, 5, bitBufferSize - 200000, bitBufferSize - 40, bitBufferSize - 24, bitBufferSize - 23,
                         bitBufferSize - 9, bitBufferSize - 1}) {
        for (uint32_t accBits : {0u, 3u, 8u, 40u, 57u, 63u}) {
            WriterFixture expected, actual;
            for (WriterFixture* f : {&expected, &actual}) {
                std::fill(f->buffer.begin(), f->buffer.begin() + used, uint8_t(0xA5));
                f->writer.bufferUsed = used;
                f->writer.acc = accBits == 0 ? 0 : 0x123456789ABCDEFull & (~0ull >> (64 - accBits));
                f->writer.accBits = accBits;
            }
            writeSingly(expected.writer);
            writeBlock(actual.writer, codes, tokens.data(), int32_t(tokens.size()));
            SCOPED_TRACE(testing::Message() << "used " << used << " accBits " << accBits);
            ASSERT_EQ(actual.writer.accBits, expected.writer.accBits);
            ASSERT_EQ(actual.writer.acc, expected.writer.acc);
            ASSERT_EQ(actual.writer.bufferUsed, expected.writer.bufferUsed);
            ASSERT_EQ(0, std::memcmp(actual.buffer.data(), expected.buffer.data(), size_t(expected.writer.bufferUsed)));
            ASSERT_EQ(actual.bytes, expected.bytes);
        }
    }
}

// The token streams the writer has paths of its own for: literals and matches of every
// extra-bits width mixed; every byte equally often (8-bit codes: eight literals are eight
// bytes), in whole groups of eight or not; four distinct bytes (codes of 2 bits: many literals
// share a flush), with matches between runs of them.
std::vector<std::vector<uint16_t>> writerTestStreams()
{
    std::mt19937 rng(41);
    std::vector<uint16_t> mixed;
    while (mixed.size() < 60000) {
        if (rng() % 3 != 0) {
            mixed.push_back(uint16_t(rng() % 256));
        } else {
            // Short and long lengths and distances, so that every extra-bits width occurs.
            mixed.push_back(uint16_t(literalCount + (rng() % 2 ? rng() % 16 : rng() % lengthValueCount)));
            mixed.push_back(uint16_t(rng() % 2 ? rng() % 8 : rng() % distanceValueCount));
        }
    }
    // No match: its code would lengthen some literal's past 8 bits.
    std::vector<uint16_t> bytes;
    for (int k = 0; k < 200; ++k)
        for (uint16_t v = 0; v < 256; ++v) bytes.push_back(v);
    std::shuffle(bytes.begin(), bytes.end(), rng);
    std::vector<uint16_t> bytesAndOne = bytes; // not ending in a whole group
    bytesAndOne.push_back(7);
    std::vector<uint16_t> few;
    while (few.size() < 40000) {
        for (uint32_t n = rng() % 40; n > 0; --n) few.push_back(uint16_t('a' + rng() % 4));
        few.push_back(uint16_t(literalCount + rng() % 30));
        few.push_back(uint16_t(rng() % 64));
    }
    return {mixed, bytes, bytesAndOne, few};
}

TEST_F(BlockCoder, TokenWritesLeaveTheWriterAsSingleWritesWould)
{
    for (const std::vector<uint16_t>& tokens : writerTestStreams()) {
        SCOPED_TRACE(testing::Message() << "stream of " << tokens.size() << " words");
        checkWriterAgainstSingleWrites(tokens);
    }
}

TEST_F(BlockCoder, ParsedChunksRoundTripAtEveryLevel)
{
    const std::vector<std::vector<uint8_t>> chunks = {
        test::mixedData(300000, 21), test::noisyText(420000, 22, 35), {0x7A}, test::textData(50000, 23)};
    auto chains = std::make_unique<ContextChains>();
    std::vector<uint16_t> tokens(static_cast<size_t>(blockWordCapacity));
    for (int level = 0; level <= 5; ++level) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        AdaptiveState adaptive;
        WriterFixture f;
        BlockCodes codes;
        size_t blockCount = 0;
        for (const auto& data : chunks) {
            std::vector<uint8_t> chunk = test::withSlack(data);
            resetChains(*chains);
            for (int32_t start = 0; start < int32_t(data.size()); ++blockCount) {
                BlockResult r = parseBlock(start, chunk.data(), int32_t(data.size()), tokens.data(), *chains,
                                           levelTable[level], adaptive);
                prepareBlock(codes, tokens.data(), r.words);
                writeBlock(f.writer, codes, tokens.data(), r.words);
                start += r.consumed;
            }
        }
        finish(f.writer);
        EXPECT_GT(blockCount, chunks.size());

        ReaderFixture in(f.bytes);
        for (const auto& data : chunks) {
            resetHistory(*history);
            int32_t p = 0;
            while (p < int32_t(data.size())) {
                const char* error =
                    decodeBlock(in.reader, decodeCodes, *history, window.data(), int32_t(data.size()), p);
                ASSERT_EQ(error, nullptr) << error;
                ASSERT_FALSE(consumedPastEnd(in.reader));
            }
            ASSERT_EQ(p, int32_t(data.size()));
            ASSERT_EQ(std::memcmp(window.data(), data.data(), data.size()), 0);
        }
        // The decoder's rings are the match finder's, slot for slot (last chunk).
        fileAllPending(*chains);
        for (int x = 0; x < contextCount; ++x) {
            ASSERT_EQ(history->ringIndex[x], chains->ringIndex[x]);
            for (int s = 0; s < ringSize; ++s)
                ASSERT_EQ(history->positions[x][s], slotPosition(*chains, x, uint32_t(s)));
        }
    }
}

// Decodes one block of the given bytes into the window from offset 0.
struct DecodeResult {
    const char* error;
    int32_t position;
};

class BlockDecoding : public BlockCoder {
protected:
    DecodeResult decode(const std::vector<uint8_t>& bytes, int32_t chunkLength)
    {
        ReaderFixture in(bytes);
        int32_t p = 0;
        const char* error = decodeBlock(in.reader, decodeCodes, *history, window.data(), chunkLength, p);
        return {error, p};
    }
};

TEST_F(BlockDecoding, OverlappingCopiesRepeatTheirSource)
{
    DecodeResult r = decode(encodedBlock({0x61, 0x61, 4 + 252, 1}), 100);
    ASSERT_EQ(r.error, nullptr);
    EXPECT_EQ(r.position, 6);
    EXPECT_EQ(std::string(window.begin(), window.begin() + 6), "aaaaaa");

    // Sources 1 to 9 bytes back, with lengths around the copy unit sizes. The tokens are
    // c, b1 .. b(gap-1), c, match(D = 1): the match's context c holds one entry, offset 1.
    for (int gap = 1; gap <= 9; ++gap) {
        for (int length : {4, 5, 7, 8, 9, 15, 16, 17, 40}) {
            std::vector<uint16_t> tokens = {'c'};
            for (int i = 1; i < gap; ++i) tokens.push_back(uint16_t('A' + i));
            tokens.push_back('c');
            std::vector<uint8_t> expected(tokens.begin(), tokens.end());
            for (int i = 0; i < length; ++i) expected.push_back(expected[size_t(1 + i)]);
            tokens.push_back(uint16_t(length + 252));
            tokens.push_back(1);
            resetHistory(*history);
            DecodeResult d = decode(encodedBlock(tokens), 1000);
            ASSERT_EQ(d.error, nullptr) << gap << "/" << length;
            ASSERT_EQ(d.position, int32_t(expected.size()));
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), window.begin())) << gap << "/" << length;
        }
    }
}

TEST_F(BlockDecoding, DistanceZeroNeedsAFullRing)
{
    // 4096 zero literals fill ring 0 (offset 0 has context 0 as well); D = 0 is then offset 0.
    std::vector<uint16_t> tokens(4096, 0);
    tokens.push_back(5 + 252);
    tokens.push_back(0);
    DecodeResult full = decode(encodedBlock(tokens), 10000);
    ASSERT_EQ(full.error, nullptr);
    EXPECT_EQ(full.position, 4096 + 5);

    resetHistory(*history);
    tokens.erase(tokens.begin());
    DecodeResult partial = decode(encodedBlock(tokens), 10000);
    EXPECT_STREQ(partial.error, "match refers to an empty history slot");
}

TEST_F(BlockDecoding, TokensThatLeaveTheChunkOrTheBlockAreRejected)
{
    EXPECT_STREQ(decode(encodedBlock({1, 2, 3, 4}), 3).error, "block runs past the end of the chunk");
    EXPECT_EQ(decode(encodedBlock({1, 2, 3, 4}), 4).error, nullptr);
    resetHistory(*history);
    EXPECT_STREQ(decode(encodedBlock({7, 7, 4 + 252, 1}), 5).error, "block runs past the end of the chunk");
    resetHistory(*history);
    EXPECT_STREQ(decode(encodedBlock({7, 9, 4 + 252, 1}), 100).error, "match refers to an empty history slot");

    // A word count that ends between a match's two words.
    WriterFixture f;
    const std::vector<uint16_t> tokens = {7, 7, 4 + 252, 1};
    BlockCodes codes;
    prepareBlock(codes, tokens.data(), 4);
    writeBlock(f.writer, codes, tokens.data(), 3);
    finish(f.writer);
    resetHistory(*history);
    EXPECT_STREQ(decode(f.bytes, 100).error, "match crosses the end of the block");
}

// A block written field by field: word count, the two tables from the given symbol sets,
// then whatever token bits the test writes.
std::vector<uint8_t> rawBlock(uint32_t wordCount, std::initializer_list<int> literalLengthSymbols,
                              std::initializer_list<int> distanceSymbols,
                              const std::function<void(BitWriter&, const BlockCodes&)>& tokenBits)
{
    WriterFixture f;
    BlockCodes codes;
    for (int s : literalLengthSymbols) countSymbol(codes.literalLength, uint32_t(s));
    for (int s : distanceSymbols) countSymbol(codes.distance, uint32_t(s));
    buildCode(codes.literalLength);
    buildCode(codes.distance);
    writeBits(f.writer, wordCount, 19);
    writeLengthTable(codes.literalLength, f.writer);
    writeLengthTable(codes.distance, f.writer);
    tokenBits(f.writer, codes);
    finish(f.writer);
    return f.bytes;
}

TEST_F(BlockDecoding, DamagedCodesAreRejected)
{
    // Literal/length table with three 1-bit lengths.
    WriterFixture f;
    writeBits(f.writer, 1, 19);
    writeBits(f.writer, 1, 8);
    writeBits(f.writer, 1, 8);
    for (int i = 0; i < 32; ++i) writeBits(f.writer, i < 3, 1);
    finish(f.writer);
    EXPECT_STREQ(decode(f.bytes, 100).error, "invalid literal/length code table");

    // One literal symbol: its code is the bit 0, the bit 1 has no symbol.
    auto oneLiteral = rawBlock(2, {'a'}, {}, [](BitWriter& w, const BlockCodes&) { writeBits(w, 2, 2); });
    EXPECT_STREQ(decode(oneLiteral, 100).error, "bit pattern without a literal/length code");
    // A match while the distance alphabet is empty.
    auto noDistances = rawBlock(3, {'a', 256}, {}, [](BitWriter& w, const BlockCodes& c) {
        encodeSymbol(c.literalLength, w, 'a');
        encodeSymbol(c.literalLength, w, 256);
    });
    EXPECT_STREQ(decode(noDistances, 100).error, "bit pattern without a distance code");
    // Values the writer never produces: length 2051, distance 4096.
    auto longMatch = rawBlock(4, {'a', 'a', 256 + 30}, {1}, [](BitWriter& w, const BlockCodes& c) {
        encodeSymbol(c.literalLength, w, 'a');
        encodeSymbol(c.literalLength, w, 'a');
        encodeSymbol(c.literalLength, w, 256 + 30);
        writeBits(w, 1023, 10);
        encodeSymbol(c.distance, w, 1);
    });
    EXPECT_STREQ(decode(longMatch, 10000).error, "match out of range");
    auto farMatch = rawBlock(4, {'a', 'a', 256}, {24}, [](BitWriter& w, const BlockCodes& c) {
        encodeSymbol(c.literalLength, w, 'a');
        encodeSymbol(c.literalLength, w, 'a');
        encodeSymbol(c.literalLength, w, 256);
        encodeSymbol(c.distance, w, 24);
        writeBits(w, 0, 11);
    });
    EXPECT_STREQ(decode(farMatch, 10000).error, "match out of range");
}

TEST_F(BlockDecoding, TruncatedArchivesAreDetected)
{
    const std::vector<uint8_t> text = test::textData(5000, 31);
    const std::vector<uint8_t> whole = encodedBlock(std::vector<uint16_t>(text.begin(), text.end()));
    {
        // Dropping trailing zero bytes of the final 16 changes nothing.
        ReaderFixture in(std::vector<uint8_t>(whole.begin(), whole.end() - 8));
        int32_t p = 0;
        EXPECT_EQ(decodeBlock(in.reader, decodeCodes, *history, window.data(), 5000, p), nullptr);
        EXPECT_FALSE(consumedPastEnd(in.reader));
    }
    resetHistory(*history);
    // One byte of token bits missing.
    EXPECT_STREQ(decode({whole.begin(), whole.end() - 17}, 5000).error, "archive ends inside a block");
    for (size_t keep : {whole.size() / 2, size_t(3), size_t(0)}) {
        resetHistory(*history);
        EXPECT_NE(decode({whole.begin(), whole.begin() + long(keep)}, 5000).error, nullptr) << keep;
    }
}

} // namespace
} // namespace qv5
