// Compression of arbitrary bytes, checked by decoding them again. The first byte picks the
// level, the rest is one chunk. The chunk lies in a buffer of exactly its length plus the
// slack the match finder may read, so a read past that is a heap overflow.
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "codec/match_finder.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace qv5;

namespace {

std::unique_ptr<uint8_t[]> writeBuffer(new uint8_t[bitBufferSize]);
std::unique_ptr<uint8_t[]> readBuffer(new uint8_t[bitBufferSize]);
std::unique_ptr<uint16_t[]> tokens(new uint16_t[blockWordCapacity]);
std::unique_ptr<ContextChains> chains(new ContextChains);
std::unique_ptr<ContextHistory> history(new ContextHistory);
std::unique_ptr<BlockCodes> writeCodes(new BlockCodes);
std::unique_ptr<BlockCodes> readCodes(new BlockCodes);

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "round trip: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size - 1 > size_t(chunkSize)) return 0;
    const LevelParameters& level = levelTable[data[0] % 6];
    AdaptiveState adaptive;
    const int32_t length = int32_t(size - 1);
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[size_t(length) + chunkSlack]);
    std::memcpy(chunk.get(), data + 1, size_t(length));
    std::memset(chunk.get() + length, 0xFF, chunkSlack);

    std::vector<uint8_t> archive;
    BitWriter writer{vectorSink(archive), writeBuffer.get()};
    resetChains(*chains);
    for (int32_t start = 0; start < length;) {
        BlockResult block = parseBlock(start, chunk.get(), length, tokens.get(), *chains, level, adaptive);
        if (block.consumed <= 0 || block.words <= 0 || block.words > blockWordCapacity)
            fail("empty or oversized block");
        // Every token stays inside the chunk and names a valid length and distance.
        int32_t covered = 0;
        for (int32_t i = 0; i < block.words; ++i) {
            uint32_t word = tokens[i];
            if (word < uint32_t(literalCount)) {
                covered += 1;
                continue;
            }
            if (i + 1 >= block.words) fail("match cut at the end of the block");
            int32_t matchLength = int32_t(word) - matchWordBias;
            if (matchLength < minMatch || matchLength > maxMatch || tokens[++i] >= ringSize) fail("token out of range");
            covered += matchLength;
        }
        if (covered != block.consumed || start + covered > length) fail("tokens do not cover the block");
        prepareBlock(*writeCodes, tokens.get(), block.words);
        writeBlock(writer, *writeCodes, tokens.get(), block.words);
        start += block.consumed;
    }
    finish(writer);
    if (writer.writeFailed) fail("write failed");

    MemoryInput in{archive.data(), archive.size()};
    BitReader reader{memorySource(in), readBuffer.get()};
    std::unique_ptr<uint8_t[]> window(new uint8_t[size_t(length) + chunkSlack]);
    resetHistory(*history);
    int32_t p = 0;
    while (p < length) {
        if (const char* damage = decodeBlock(reader, *readCodes, *history, window.get(), length, p)) fail(damage);
    }
    if (p != length || std::memcmp(window.get(), chunk.get(), size_t(length)) != 0) fail("decoded bytes differ");
    return 0;
}
