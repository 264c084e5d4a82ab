#pragma once
#include <cstdint>

#include "codec/bit_stream.h"
#include "codec/codec_constants.h"
#include "codec/cpu_features.h"
#include "codec/huffman.h"

// Coding of one block of tokens: a 19-bit word count, the literal/length and distance
// length tables, then the tokens. The writer side turns a TokenStream into bits; the reader
// side decodes a block into the chunk window while mirroring the match finder's context rings.
namespace qv5 {

// The two codes of a block. The writer fills counts, lengths and codes; the reader also the
// decode tables (their second levels allocated by the first block read, kept until
// releaseBlockCodes), whose entries resolve a literal, or a length or distance with its extra
// bits, in one look-up.
struct BlockCodes {
    HuffmanCode literalLength{literalLengthAlphabet};
    HuffmanCode distance{distanceAlphabet};
};

// Writer, first half: resets both models, counts the block's tokens and builds both codes.
// Touches no stream, so it may run apart from the writer.
void prepareBlock(BlockCodes& codes, const uint16_t* tokens, int32_t words);
// Writer, second half: the word count, both length tables and every token.
void writeBlock(BitWriter& writer, const BlockCodes& codes, const uint16_t* tokens, int32_t words);

#ifdef QV5_X86_KERNELS
// When the 32 words at tokens are all literals, their bytes with the bits of each reversed
// (their codes when every literal has an 8-bit code), into bytes; else false.
bool reverseLiteralsAvx2(const uint16_t* tokens, uint8_t* bytes);
#endif

// Each context's ring of token starts, as the extractor keeps it. The ring indices sit
// together, apart from the rings, so that the ones in use share a few cache lines.
struct ContextHistory {
    int32_t positions[contextCount][ringSize]; // -1 = empty
    uint32_t ringIndex[contextCount];          // next slot to write, 0..4095
};
static_assert(sizeof(ContextHistory) == 4195328);

// Empties all rings; done at the start of every chunk.
void resetHistory(ContextHistory& history);

// Decodes one block into window at position (advanced past the decoded bytes). window holds
// the current chunk from offset 0 and has chunkSlack writable bytes past chunkLength. Returns
// nullptr, or a short reason when the block is damaged: an invalid code table, a bit pattern
// without a code, a match out of range or whose history slot is empty, a token running past
// the chunk or the block's word count, or a block that reads past the end of the archive.
const char* decodeBlock(BitReader& reader, BlockCodes& codes, ContextHistory& history, uint8_t* window,
                        int32_t chunkLength, int32_t& position);

void releaseBlockCodes(BlockCodes& codes);

} // namespace qv5
