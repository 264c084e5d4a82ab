// The block decoder alone. The first three bytes give the chunk length (1 to 16 MiB), the
// rest is the bit stream of the chunk's blocks. The window is allocated at exactly the
// chunk length plus its slack, so any write past it is a heap overflow.
//
// Each input is decoded twice: by decodeBlock, whose token loop keeps the reader in locals,
// and by a plain decoder written from the same format with readBits and decodeSymbol. Both
// must reject the same blocks, and accepted blocks must give the same bytes, rings and
// stream position.
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "codec/huffman.h"
#include "codec/symbol_tables.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <cstring>
#include <memory>

using namespace qv5;

namespace {

std::unique_ptr<uint8_t[]> fastBuffer(new uint8_t[bitBufferSize]);
std::unique_ptr<uint8_t[]> plainBuffer(new uint8_t[bitBufferSize]);
std::unique_ptr<ContextHistory> fastHistory(new ContextHistory);
std::unique_ptr<ContextHistory> plainHistory(new ContextHistory);
std::unique_ptr<BlockCodes> fastCodes(new BlockCodes);
std::unique_ptr<BlockCodes> plainCodes(new BlockCodes);

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "decodeBlock: %s\n", what);
    std::abort();
}

// One block, token by token with the reader's own operations and a byte-by-byte copy.
bool plainBlock(BitReader& reader, BlockCodes& codes, ContextHistory& history, uint8_t* window, int32_t chunkLength,
                int32_t& p)
{
    const uint32_t words = uint32_t(readBits(reader, wordCountBits));
    if (!readTable(codes.literalLength, reader) || !readTable(codes.distance, reader)) return false;
    uint32_t decoded = 0;
    while (decoded < words) {
        const uint32_t symbol = decodeSymbol(codes.literalLength, reader);
        if (symbol == noSymbol) return false;
        const uint32_t context = p == 0 ? 0 : window[p - 1];
        int32_t* positions = history.positions[context];
        uint32_t& ringIndex = history.ringIndex[context];
        if (symbol < uint32_t(literalCount)) {
            if (p >= chunkLength) return false;
            positions[ringIndex] = p;
            ringIndex = (ringIndex + 1) & ringMask;
            window[p++] = uint8_t(symbol);
            decoded += 1;
            continue;
        }
        if (decoded + 2 > words) return false;
        const uint32_t s = symbol - literalCount;
        const uint32_t value = uint32_t(lengthBase[s]) + uint32_t(readBits(reader, uint32_t(lengthExtra[s])));
        const uint32_t t = decodeSymbol(codes.distance, reader);
        if (t == noSymbol) return false;
        const uint32_t distance = uint32_t(distanceBase[t]) + uint32_t(readBits(reader, uint32_t(distanceExtra[t])));
        const int32_t length = int32_t(value) + minMatch;
        if (length > maxMatch || distance >= uint32_t(ringSize) || length > chunkLength - p) return false;
        const int32_t source = positions[(ringIndex - distance) & ringMask];
        if (source < 0) return false;
        positions[ringIndex] = p;
        ringIndex = (ringIndex + 1) & ringMask;
        for (int32_t i = 0; i < length; ++i) window[p + i] = window[source + i];
        p += length;
        decoded += 2;
    }
    return !consumedPastEnd(reader);
}

// Stream bits consumed so far; the input is fetched in one piece, then as made-up zeros.
uint64_t consumedBits(const BitReader& reader, size_t streamSize)
{
    uint64_t fetched = reader.zeroBytesFetched > 0 ? streamSize + reader.zeroBytesFetched : uint64_t(reader.bufferPos);
    return fetched * 8 - uint64_t(reader.accBits);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || size - 3 >= size_t(bitBufferSize)) return 0;
    const int32_t chunkLength = 1 + int32_t(data[0] | (data[1] << 8) | (data[2] << 16));
    const uint8_t* stream = data + 3;
    const size_t streamSize = size - 3;

    std::unique_ptr<uint8_t[]> fastWindow(new uint8_t[size_t(chunkLength) + chunkSlack]);
    std::unique_ptr<uint8_t[]> plainWindow(new uint8_t[size_t(chunkLength)]);
    MemoryInput fastInput{stream, streamSize};
    MemoryInput plainInput{stream, streamSize};
    BitReader fast{memorySource(fastInput), fastBuffer.get()};
    BitReader plain{memorySource(plainInput), plainBuffer.get()};
    resetHistory(*fastHistory);
    resetHistory(*plainHistory);

    int32_t fastP = 0;
    int32_t plainP = 0;
    bool whole = true;
    while (fastP < chunkLength) {
        const char* damage = decodeBlock(fast, *fastCodes, *fastHistory, fastWindow.get(), chunkLength, fastP);
        const bool plainOk = plainBlock(plain, *plainCodes, *plainHistory, plainWindow.get(), chunkLength, plainP);
        if ((damage == nullptr) != plainOk)
            fail(damage ? "rejected a block the plain decoder accepts" : "accepted a damaged block");
        if (damage) {
            whole = false;
            break;
        }
        if (fastP != plainP) fail("decoded length differs");
        if (fastP > chunkLength) fail("position past the chunk");
        if (consumedBits(fast, streamSize) != consumedBits(plain, streamSize)) fail("stream position differs");
        if (std::memcmp(fastWindow.get(), plainWindow.get(), size_t(fastP)) != 0) fail("decoded bytes differ");
    }
    if (whole && std::memcmp(fastHistory.get(), plainHistory.get(), sizeof(ContextHistory)) != 0) {
        fail("context rings differ");
    }
    return 0;
}
