#pragma once
// Decoding by the chunk index: every chunk read from where the index says its bits begin, on
// several threads at once, handed on in order; only the chunks asked for; on past a chunk that
// is damaged. The index is a hint, checked at every step: where the chunk before was decoded
// here, the next one begins where that one ended, whatever the index says.
#include "archive/positioned_bytes.h"
#include "codec/bit_stream.h"
#include "qv5/qv5.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace qv5 {

// The archive's bytes, read at any offset from any thread: a file (offsets counted from start,
// the archive's first byte in it) or memory.
struct RandomInput {
    FILE* file = nullptr;
    int64_t start = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
    const PositionedBytes* source = nullptr; // the archive read through it, when given
};

// Before each chunk is taken (its number, its first stream byte, its length).
using IndexedStart = std::function<void(uint32_t chunk, uint64_t done, int32_t length)>;
// A chunk decoded whole and matching its CRC-32, with the CRC-32 of its bytes from its tail
// start on (see IndexedDecoding); a failure stops the decoding.
using IndexedTake = std::function<Error(uint32_t chunk, const uint8_t* data, int32_t length, uint32_t tailCrc)>;
// A chunk that could not be decoded or whose bytes do not match the index's CRC-32 (chunk
// number and what is wrong), with the bytes decoded before the damage was found (all of the
// chunk's when only the CRC-32 differs), unchecked; or, with chunk noChunk (no bytes), an
// index that does not match the stream (the chunks were decoded from where the stream itself
// said). A failure stops the decoding.
using IndexedDamage = std::function<Error(uint32_t chunk, const char* what, const uint8_t* data, int32_t decoded)>;

struct IndexedDecoding {
    RandomInput input;
    uint64_t storedTotal = 0;
    uint64_t firstBit = 0; // where the stream's first block begins (after the file table)
    const std::vector<ChunkMark>* index = nullptr;
    std::vector<bool> needed; // per chunk; empty: all
    int threads = 1;
    // Per chunk (empty: none), where in it the bytes of the last entry that has bytes there
    // begin (0 when it began before): the CRC-32 of the chunk is taken in two parts, from 0 and
    // from there, so that a reader may follow that entry's CRC-32 across chunks for nothing.
    std::vector<int32_t> tailStarts;
    // Where the stream's last bit may end, as the archive records it (the extension's offset
    // less the closing bytes): the last chunk decoded from its position must end there
    // (0: not recorded, not checked).
    uint64_t streamEndLow = 0, streamEndHigh = 0;
    uint64_t endByte = 0; // out: the archive's bytes up to the end of the last chunk decoded
};

// The window where the stream's last bit ends in an archive whose extension stands at
// extensionOffset: the closing bytes hold up to 64 bits still pending, then zero bytes.
void recordedStreamEnd(uint64_t extensionOffset, uint64_t& low, uint64_t& high);

// Decodes the chunks needed, in order, handing each to take (start before it) or, when it is
// damaged, to damaged. A chunk decoded from its position must end at the next one's (the
// last where the stream's end is recorded): otherwise, where the stream goes on to the next
// chunk in this decoding, the index does not match the stream; where it does not (a
// selection), the chunk is damage, none of its bytes kept; threads decode ahead with a window each, never more. Fails only with
// the failure of take or damaged.
Error decodeIndexed(IndexedDecoding& decoding, const IndexedStart& start, const IndexedTake& take,
                    const IndexedDamage& damaged);

// Whether an index can be used for an archive of storedTotal stream bytes whose stream begins
// at firstBit and ends before endBit: a mark per chunk, in order, the first where the stream
// begins, every one inside the stream.
bool indexFits(const std::vector<ChunkMark>& index, uint64_t storedTotal, uint64_t firstBit, uint64_t endBit);

} // namespace qv5
