#pragma once
#include <cstdint>

// Sizes and limits of the codec. Most of them are part of the archive format: changing one
// changes what an archive means.
namespace qv5 {

// Bit stream
// The staging buffer of BitWriter / BitReader. Not part of the format: the bytes are the same
// whatever its size. Small enough that what the kernel copies out of it (or into it) is still
// in the cache: with 4 MiB, writing a 200 MB archive of incompressible data cost the kernel
// twice the time, copying every byte from memory.
constexpr int32_t bitBufferSize = 256 * 1024;
constexpr uint32_t bitFlushLimit = 64;  // a write flushes when accBits + n reaches this
constexpr int32_t finishByteCount = 16; // bytes emitted by finish
constexpr uint32_t refillTarget = 56;   // the reader tops its accumulator up to this

// Chunks and blocks
constexpr int32_t chunkSize = 16 * 1024 * 1024;
constexpr int32_t chunkSlack = 8;              // readable bytes past a chunk's end
constexpr int32_t blockWordCapacity = 262144;  // words of one TokenStream
constexpr int32_t blockMainLoopLimit = 262140; // the main loop takes no token past this
constexpr uint32_t wordCountBits = 19;

// Huffman coding
constexpr int32_t maxCodeLength = 16;
constexpr int32_t maxTableBits = 11; // widest first-level decode table
constexpr int32_t fullTableCapacity = 1 << maxCodeLength;
constexpr uint16_t noSymbol = 0xFFFF;          // decode-table entry without a symbol
constexpr uint16_t countHalvingPoint = 0xFFFF; // a count reaching this halves the alphabet
constexpr int32_t maxAlphabetSize = 287;
constexpr int32_t nameSymbolCount = 256;
constexpr int32_t literalLengthSymbolCount = 287;
constexpr int32_t distanceAlphabetSize = 60;
constexpr int32_t maskSubgroupSize = 32; // symbols covered by one bit of a table mask

// Tokens
constexpr int32_t literalCount = 256; // symbols 0-255 are literal bytes
constexpr int32_t minMatch = 4;
constexpr int32_t maxMatch = 2040;
constexpr int32_t matchWordBias = 252; // first word of a match = length + this
constexpr int32_t lengthSymbolCount = 31;
constexpr int32_t distanceSymbolCount = 60;
constexpr int32_t lengthValueCount = 2040;   // entries of lengthSymbol (V = 0..2039)
constexpr int32_t distanceValueCount = 4096; // entries of distanceSymbol (D = 0..4095)

// Context history and match finder
constexpr int32_t contextCount = 256;
constexpr int32_t ringSize = 4096;
constexpr uint32_t ringMask = ringSize - 1;
constexpr int32_t bucketCount = 4096;
constexpr uint16_t emptyLink = 0xFFFF; // head / link entry without a slot
constexpr uint32_t hashMultiplier = 0x9E3779B1u;
constexpr uint32_t hashShift = 20;
constexpr int32_t maxSkipInterval = 1024;
constexpr int32_t missesPerStep = 256;         // misses that double the skip interval
constexpr int32_t lookAheadLimit = 127;        // longer matches are taken without evaluation
constexpr int32_t lengthScore = 4096;          // a byte of length outweighs any distance
constexpr int32_t noMatchScore = 3 * 4096 - 7; // 12281: score of a position without a match

} // namespace qv5
