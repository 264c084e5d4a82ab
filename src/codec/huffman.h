#pragma once
#include <cstdint>
#include <memory>

#include "codec/bit_stream.h"
#include "codec/codec_constants.h"

// Static per-use Huffman codes of at most 16 bits: counting, the length-limited two-queue
// construction, canonical codes sent most significant bit first, the compact length table,
// and two-level decode tables (9-bit first level, maxLength-bit second level).
namespace qv5 {

// Size of an alphabet and how its length table is grouped.
struct HuffmanAlphabet {
    int32_t symbolCount;
    int32_t groupCount;
    int32_t groupSizes[2];
};

inline constexpr HuffmanAlphabet nameAlphabet{nameSymbolCount, 1, {256, 0}};
inline constexpr HuffmanAlphabet literalLengthAlphabet{literalLengthSymbolCount, 2, {256, 31}};
inline constexpr HuffmanAlphabet distanceAlphabet{distanceAlphabetSize, 1, {60, 0}};

// One code over one alphabet; arrays are sized for the largest alphabet and only the first
// alphabet.symbolCount entries are used. Create with e.g. HuffmanCode code{distanceAlphabet};
struct HuffmanCode {
    HuffmanAlphabet alphabet;
    uint16_t counts[maxAlphabetSize] = {};
    uint32_t codes[maxAlphabetSize] = {};   // bit-reversed: bit 0 is sent first
    uint8_t lengths[maxAlphabetSize] = {};  // 0 = absent, else 1..16
    uint16_t fastTable[fastTableSize] = {}; // by the next 9 bits; noSymbol = not resolved here
    // By the next maxLength bits; noSymbol = no code. One allocation of 2^16 entries made by
    // the first decode-table build and reused, of which 2^maxLength are in use.
    std::unique_ptr<uint16_t[]> fullTable{};
    int32_t minLength = maxCodeLength;
    int32_t maxLength = 0;
};

// Zeroes counts, codes and lengths; the decode tables stay.
void resetModel(HuffmanCode& code);
void halveCounts(HuffmanCode& code);

inline void countSymbol(HuffmanCode& code, uint32_t symbol) {
    if (++code.counts[symbol] == countHalvingPoint) halveCounts(code);
}

// lengths and maxLength from counts, halving the counts until no code exceeds 16 bits.
void buildLengths(HuffmanCode& code);
// minLength, maxLength and the canonical codes from lengths; optionally the decode tables.
void assignCodes(HuffmanCode& code, bool withDecodeTables);
// buildLengths then assignCodes without decode tables: the code is ready for encodeSymbol.
void buildCode(HuffmanCode& code);
// Writes the length table of a built code.
void writeLengthTable(const HuffmanCode& code, BitWriter& writer);
// buildCode then writeLengthTable.
void writeTable(HuffmanCode& code, BitWriter& writer);
// Reads a length table and builds the codes and decode tables. False when the table is one
// this system never writes: a length above 16, a stored maxLength that disagrees with the
// lengths, a mask bit without a symbol, over-subscribed or (two or more symbols) incomplete
// lengths, or a single symbol whose length is not 1.
bool readTable(HuffmanCode& code, BitReader& reader);
void releaseTables(HuffmanCode& code);

inline void encodeSymbol(const HuffmanCode& code, BitWriter& writer, uint32_t symbol) {
    writeBits(writer, code.codes[symbol], code.lengths[symbol]);
}

// The next symbol, or noSymbol without consuming anything when the bits have no code (the
// unused half of a one-symbol code, or an empty alphabet).
inline uint32_t decodeSymbol(const HuffmanCode& code, BitReader& reader) {
    uint32_t symbol = code.fastTable[peekBits(reader, fastTableBits)];
    if (symbol == noSymbol) {
        symbol = code.fullTable[peekBits(reader, uint32_t(code.maxLength))];
        if (symbol == noSymbol) return noSymbol;
    }
    uint32_t length = code.lengths[symbol];
    reader.acc >>= length;
    reader.accBits -= int32_t(length);
    return symbol;
}

} // namespace qv5
