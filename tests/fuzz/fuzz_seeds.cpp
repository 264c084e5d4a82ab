// Writes the seeds of the codec-level fuzz targets into the corpus folders given as
// arguments: fuzz_seeds READ_TABLE_DIR DECODE_BLOCK_DIR ROUND_TRIP_DIR
// Tables and blocks come from the program's own writer, so every seed is valid.
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "codec/huffman.h"
#include "codec/match_finder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace qv5;

namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<uint8_t[]> outBuffer(new uint8_t[bitBufferSize]);

// Runs body on a BitWriter and returns the bytes with finish's closing bytes.
template <typename Body>
Bytes written(Body body)
{
    std::vector<uint8_t> out;
    BitWriter writer{vectorSink(out), outBuffer.get()};
    body(writer);
    finish(writer);
    return Bytes(out.begin(), out.end());
}

void save(const std::string& folder, const std::string& name, const Bytes& prefix, const Bytes& body)
{
    std::string path = folder + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(prefix.data(), 1, prefix.size(), file) != prefix.size() ||
        std::fwrite(body.data(), 1, body.size(), file) != body.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

Bytes text(size_t size, uint32_t seed)
{
    static const char* const words[] = {"alpha ", "beta ", "gamma\n", "delta, ", "the ", "ring ", "of ", "context "};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        if (rng() % 9 == 0) out.push_back(uint8_t(rng()));
        for (const char* w = words[rng() % 8]; *w; ++w) out.push_back(uint8_t(*w));
    }
    out.resize(size);
    return out;
}

Bytes runs(size_t size)
{
    Bytes out;
    for (uint8_t value = 0; out.size() < size; value += 37) out.insert(out.end(), 1 + value % 200, value);
    out.resize(size);
    return out;
}

// One chunk compressed at a level: its blocks as the archive holds them.
Bytes compressed(const Bytes& data, int level)
{
    auto chains = std::make_unique<ContextChains>();
    std::vector<uint16_t> tokens(blockWordCapacity);
    Bytes chunk = data;
    chunk.resize(data.size() + chunkSlack, 0xFF);
    AdaptiveState adaptive;
    BlockCodes codes;
    resetChains(*chains);
    return written([&](BitWriter& writer) {
        for (int32_t start = 0; start < int32_t(data.size());) {
            BlockResult r = parseBlock(start, chunk.data(), int32_t(data.size()), tokens.data(), *chains,
                                       levelTable[level], adaptive);
            prepareBlock(codes, tokens.data(), r.words);
            writeBlock(writer, codes, tokens.data(), r.words);
            start += r.consumed;
        }
    });
}

// Blocks of hand-picked tokens (literals 0-255; a match is length + 252, then distance).
Bytes handBlocks(const std::vector<std::vector<uint16_t>>& blocks)
{
    BlockCodes codes;
    return written([&](BitWriter& writer) {
        for (const auto& tokens : blocks) {
            prepareBlock(codes, tokens.data(), int32_t(tokens.size()));
            writeBlock(writer, codes, tokens.data(), int32_t(tokens.size()));
        }
    });
}

Bytes lengthPrefix(size_t chunkLength)
{
    size_t stored = chunkLength - 1;
    return {uint8_t(stored), uint8_t(stored >> 8), uint8_t(stored >> 16)};
}

Bytes tableOf(const HuffmanAlphabet& alphabet, const Bytes& symbols)
{
    HuffmanCode code{alphabet};
    resetModel(code);
    for (uint8_t s : symbols) countSymbol(code, s % uint32_t(alphabet.symbolCount));
    return written([&](BitWriter& writer) { writeTable(code, writer); });
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: fuzz_seeds READ_TABLE_DIR DECODE_BLOCK_DIR ROUND_TRIP_DIR\n");
        return 2;
    }
    const std::string tables = argv[1], blocks = argv[2], trips = argv[3];

    // Code tables: empty, one symbol, skewed and flat, for each alphabet (first byte).
    const Bytes names = {'/', 'a', '.', 't', 'x', 't', '/', 'd', 'o', 'c', 's', '/', 'b', '\\', 'q', 'v', '5'};
    const Bytes sample = text(3000, 1);
    Bytes all;
    for (int s = 0; s < 287; ++s) all.push_back(uint8_t(s));
    const HuffmanAlphabet alphabets[] = {nameAlphabet, literalLengthAlphabet, distanceAlphabet};
    for (uint8_t a = 0; a < 3; ++a) {
        save(tables, "empty-" + std::to_string(a), {a}, tableOf(alphabets[a], {}));
        save(tables, "single-" + std::to_string(a), {a}, tableOf(alphabets[a], {7}));
        save(tables, "names-" + std::to_string(a), {a}, tableOf(alphabets[a], names));
        save(tables, "text-" + std::to_string(a), {a}, tableOf(alphabets[a], sample));
    }
    {
        // The literal/length alphabet's second group (length symbols) and the longest codes.
        HuffmanCode code{literalLengthAlphabet};
        resetModel(code);
        for (int s = 0; s < 287; ++s) code.counts[s] = uint16_t(s < 256 ? 1 + (s % 3) : 1);
        for (int s = 0; s < 20; ++s) code.counts[s * 13] = uint16_t(1u << (s % 16));
        save(tables, "lengths-1", {1}, written([&](BitWriter& writer) { writeTable(code, writer); }));
    }

    // Block streams: compressed chunks at every level, and hand-made blocks whose matches
    // use distance 0 on a full ring, overlap their source and reach across blocks.
    const Bytes mixed = [] {
        Bytes out = text(6000, 2);
        Bytes r = runs(4000);
        out.insert(out.end(), r.begin(), r.end());
        std::mt19937 rng(3);
        for (int i = 0; i < 500; ++i) out.push_back(uint8_t(rng()));
        return out;
    }();
    for (int level = 0; level < 6; ++level) {
        save(blocks, "level-" + std::to_string(level + 1), lengthPrefix(mixed.size()), compressed(mixed, level));
        Bytes trip = {uint8_t(level)};
        trip.insert(trip.end(), mixed.begin(), mixed.begin() + 1500 + 500 * level);
        save(trips, "level-" + std::to_string(level + 1), {}, trip);
    }
    save(blocks, "one-byte", lengthPrefix(1), compressed({0x7A}, 1));
    save(blocks, "long-run", lengthPrefix(100000), compressed(Bytes(100000, 0), 1));
    save(trips, "long-run", {}, [] {
        Bytes b(5000, 'x');
        b[0] = 2;
        return b;
    }());
    save(trips, "runs", {}, [] {
        Bytes b = runs(3000);
        b[0] = 4;
        return b;
    }());
    {
        // 4096 token starts in context 'a' fill its ring; distance 0 names the oldest.
        std::vector<uint16_t> fullRing(4097, 'a');
        fullRing.push_back(uint16_t(4 + 252));
        fullRing.push_back(0);
        save(blocks, "distance-zero", lengthPrefix(4097 + 4), handBlocks({fullRing}));
    }
    save(blocks, "overlap", lengthPrefix(2 + 2040), handBlocks({{0x61, 0x61, uint16_t(2040 + 252), 1}}));
    save(blocks, "across-blocks", lengthPrefix(4 + 9 + 5),
         handBlocks({{'a', 'b', 'a', 'b'}, {uint16_t(9 + 252), 1}, {uint16_t(5 + 252), 1}}));
    return 0;
}
