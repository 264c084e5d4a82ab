#pragma once
// Helpers shared by the codec tests: streams in memory, test data, and a decoder for token
// streams written only for the tests.
#include <cstdint>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "codec/bit_stream.h"
#include "codec/codec_constants.h"

namespace qv5::test {

// A BitWriter into memory, with its own buffer; bytes holds what it has written out.
struct WriterFixture {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(size_t(bitBufferSize));
    std::vector<uint8_t> bytes;
    BitWriter writer{vectorSink(bytes), buffer.data()};
    WriterFixture() = default;
    WriterFixture(const WriterFixture&) = delete; // the writer points at bytes
};

// A BitReader over a copy of the given bytes.
struct ReaderFixture {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(size_t(bitBufferSize));
    std::vector<uint8_t> bytes;
    MemoryInput input;
    BitReader reader;
    explicit ReaderFixture(const std::vector<uint8_t>& data) : bytes(data), input{bytes.data(), bytes.size()}
    {
        reader.source = memorySource(input);
        reader.inBuffer = buffer.data();
    }
    ReaderFixture(const ReaderFixture&) = delete; // the reader points at input
};

// A chunk with slack bytes past its length, as the match finder and the decoder need.
inline std::vector<uint8_t> withSlack(std::vector<uint8_t> bytes, uint8_t slackByte = 0xFF)
{
    bytes.resize(bytes.size() + size_t(chunkSlack), slackByte);
    return bytes;
}

// Varied data: words of a small vocabulary, runs (some longer than a match), short periodic
// patterns, structured binary words and random bytes, in random segments.
inline std::vector<uint8_t> mixedData(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    static const char* const words[] = {"the ", "match ",  "finder ", "context ", "ring ", "of ",
                                        "a ",   "block\n", "chunk, ", "token ",   "and ",  "bits. "};
    std::vector<uint8_t> out;
    out.reserve(size + 4096);
    while (out.size() < size) {
        size_t segment = 64 + rng() % 3000;
        switch (rng() % 5) {
        case 0:
            for (size_t i = 0; i < segment / 5; ++i)
                for (const char* w = words[rng() % 12]; *w; ++w) out.push_back(uint8_t(*w));
            break;
        case 1:
            out.insert(out.end(), rng() % 2 ? segment : 2500 + rng() % 3000, uint8_t(rng()));
            break;
        case 2: {
            uint32_t period = 1 + rng() % 20;
            std::vector<uint8_t> unit(period);
            for (auto& b : unit) b = uint8_t(rng());
            for (size_t i = 0; i < segment; ++i) out.push_back(unit[i % period]);
            break;
        }
        case 3:
            for (uint32_t i = 0, v = rng() % 1000; i < segment / 4; ++i, v += 1 + rng() % 3)
                for (int k = 0; k < 4; ++k) out.push_back(uint8_t(v >> (8 * k)));
            break;
        default:
            for (size_t i = 0; i < segment; ++i) out.push_back(uint8_t(rng()));
        }
    }
    out.resize(size);
    return out;
}

// Words of a larger vocabulary with random case changes: many short and medium matches.
inline std::vector<uint8_t> textData(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::string> vocabulary;
    for (int i = 0; i < 400; ++i) {
        std::string word;
        for (uint32_t n = 2 + rng() % 9; n > 0; --n) word += char('a' + rng() % 26);
        vocabulary.push_back(word);
    }
    std::vector<uint8_t> out;
    while (out.size() < size) {
        std::string word = vocabulary[std::min(rng() % 400, rng() % 400)];
        if (rng() % 10 == 0) word[0] = char(word[0] - 32);
        out.insert(out.end(), word.begin(), word.end());
        out.push_back(rng() % 12 ? ' ' : '\n');
    }
    out.resize(size);
    return out;
}

// Text with a fraction of its bytes replaced by noise: many literals between short matches,
// so that a chunk of it takes more than one block.
inline std::vector<uint8_t> noisyText(size_t size, uint32_t seed, uint32_t noisePercent)
{
    std::vector<uint8_t> out = textData(size, seed);
    std::mt19937 rng(seed + 1);
    for (auto& b : out)
        if (rng() % 100 < noisePercent) b = uint8_t(rng());
    return out;
}

inline std::vector<uint8_t> randomData(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(size);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

// Applies token words to a chunk the plain way: one ring entry per token start, under the
// byte before it, and byte-by-byte copies. Returns false on a token the format forbids.
struct TestDecoder {
    std::vector<int32_t> positions = std::vector<int32_t>(size_t(contextCount) * ringSize, -1);
    std::vector<uint32_t> ringIndex = std::vector<uint32_t>(size_t(contextCount), 0);
    std::vector<uint8_t> out;

    bool apply(const uint16_t* tokens, int32_t words)
    {
        for (int32_t i = 0; i < words; ++i) {
            size_t p = out.size();
            uint32_t context = p == 0 ? 0 : out[p - 1];
            int32_t* ring = &positions[size_t(context) * ringSize];
            uint32_t& index = ringIndex[context];
            if (tokens[i] < 256) {
                ring[index] = int32_t(p);
                index = (index + 1) % ringSize;
                out.push_back(uint8_t(tokens[i]));
                continue;
            }
            if (i + 1 >= words) return false;
            int32_t length = tokens[i] - 252;
            uint32_t distance = tokens[++i];
            int32_t source = ring[(index + ringSize - distance) % ringSize];
            if (distance >= ringSize || length > 2040 || source < 0 || size_t(source) >= p) return false;
            ring[index] = int32_t(p);
            index = (index + 1) % ringSize;
            for (int32_t k = 0; k < length; ++k) out.push_back(out[size_t(source) + size_t(k)]);
        }
        return true;
    }
};

} // namespace qv5::test
