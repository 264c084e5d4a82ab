#pragma once
#include <cstdint>
#include <memory>

#include "codec/bit_stream.h"
#include "codec/codec_constants.h"

// Static per-use Huffman codes of at most 16 bits: counting, the length-limited two-queue
// construction, canonical codes sent most significant bit first, the compact length table,
// and two-level decode tables (a first level by the alphabet's tableBits, a second level by
// maxLength bits).
namespace qv5 {

// Size of an alphabet, how its length table is grouped, and how many stream bits the first
// level of its decode tables looks at.
struct HuffmanAlphabet {
    int32_t symbolCount;
    int32_t groupCount;
    int32_t groupSizes[2];
    int32_t tableBits;
};

inline constexpr HuffmanAlphabet nameAlphabet{nameSymbolCount, 1, {256, 0}, 10};
inline constexpr HuffmanAlphabet literalLengthAlphabet{literalLengthSymbolCount, 2, {256, 31}, 11};
inline constexpr HuffmanAlphabet distanceAlphabet{distanceAlphabetSize, 1, {60, 0}, 10};
static_assert(nameAlphabet.tableBits <= maxTableBits && literalLengthAlphabet.tableBits <= maxTableBits &&
              distanceAlphabet.tableBits <= maxTableBits);

// Decode entry: bits 0-7 the stream bits it consumes (the code, and the extra bits that
// follow it where the caller's entries have some), bits 8-15 the code's own length, bits
// 16-29 a value, bit 31 free for the caller's own mark. longEntry marks a first-level slot
// whose code is longer than the table, or that has no code: the second level names the
// symbol (or noSymbol), bySymbol gives its entry.
constexpr uint32_t longEntry = 0x40000000u;
constexpr uint32_t entryValueShift = 16;
constexpr uint32_t entryValueMask = 0x3FFF;

constexpr uint32_t makeEntry(uint32_t value, uint32_t codeLength, uint32_t extra)
{
    return (value << entryValueShift) | (codeLength << 8) | (codeLength + extra);
}

// The entry of a symbol whose code is length bits long. The caller picks what a value
// means: symbolEntry (the symbol itself) serves decodeSymbol; the block decoder puts the
// base value and the extra-bit count of its length and distance symbols there.
using EntryOf = uint32_t (*)(uint32_t symbol, uint32_t length);
inline uint32_t symbolEntry(uint32_t symbol, uint32_t length)
{
    return makeEntry(symbol, length, 0);
}

// The decode tables readTable builds, kept in the code itself so that a decoder reaches
// both codes' first levels from one base. The second level is one allocation of 2^16
// entries, made by the first table read and reused, of which 2^maxLength are in use.
struct DecodeTables {
    uint32_t entries[1 << maxTableBits]; // first level: by the next alphabet.tableBits bits
    uint32_t bySymbol[maxAlphabetSize];  // the entry of every present symbol
    std::unique_ptr<uint16_t[]> full{};  // by the next maxLength bits; noSymbol = no code
};

// One code over one alphabet; arrays are sized for the largest alphabet and only the first
// alphabet.symbolCount entries are used. Create with e.g. HuffmanCode code{distanceAlphabet};
struct HuffmanCode {
    HuffmanAlphabet alphabet;
    uint16_t counts[maxAlphabetSize] = {};
    uint32_t codes[maxAlphabetSize] = {};  // bit-reversed: bit 0 is sent first
    uint8_t lengths[maxAlphabetSize] = {}; // 0 = absent, else 1..16
    DecodeTables tables = {};              // filled by readTable only
    int32_t minLength = maxCodeLength;
    int32_t maxLength = 0;
};

// Zeroes counts, codes and lengths; the decode tables stay.
void resetModel(HuffmanCode& code);
void halveCounts(HuffmanCode& code);

inline void countSymbol(HuffmanCode& code, uint32_t symbol)
{
    if (++code.counts[symbol] == countHalvingPoint) halveCounts(code);
}

// lengths and maxLength from counts, halving the counts until no code exceeds 16 bits.
void buildLengths(HuffmanCode& code);
// minLength, maxLength and the canonical codes from lengths.
void assignCodes(HuffmanCode& code);
// buildLengths then assignCodes: the code is ready for encodeSymbol.
void buildCode(HuffmanCode& code);
// Writes the length table of a built code.
void writeLengthTable(const HuffmanCode& code, BitWriter& writer);
// buildCode then writeLengthTable.
void writeTable(HuffmanCode& code, BitWriter& writer);
// Reads a length table and builds the codes and the decode tables, with entryOf's entries.
// False when the table is one this system never writes: a length above 16, a stored
// maxLength that disagrees with the lengths, a mask bit without a symbol, over-subscribed or
// (two or more symbols) incomplete lengths, or a single symbol whose length is not 1.
bool readTable(HuffmanCode& code, BitReader& reader, EntryOf entryOf = symbolEntry);
void releaseTables(HuffmanCode& code);

inline void encodeSymbol(const HuffmanCode& code, BitWriter& writer, uint32_t symbol)
{
    writeBits(writer, code.codes[symbol], code.lengths[symbol]);
}

// The next symbol of a code read with symbolEntry, or noSymbol without consuming anything
// when the bits have no code (the unused half of a one-symbol code, or an empty alphabet).
inline uint32_t decodeSymbol(const HuffmanCode& code, BitReader& reader)
{
    const DecodeTables& tables = code.tables;
    uint32_t entry = tables.entries[peekBits(reader, uint32_t(code.alphabet.tableBits))];
    if (entry & longEntry) {
        const uint32_t symbol = tables.full[peekBits(reader, uint32_t(code.maxLength))];
        if (symbol == noSymbol) return noSymbol;
        entry = tables.bySymbol[symbol];
    }
    reader.acc >>= entry & 0xFF;
    reader.accBits -= int32_t(entry & 0xFF);
    return (entry >> entryValueShift) & entryValueMask;
}

} // namespace qv5
