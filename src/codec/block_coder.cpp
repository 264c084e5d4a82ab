#include "codec/block_coder.h"
#include "codec/byte_order.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "codec/symbol_tables.h"

namespace qv5 {

namespace {

// The token loop's writer. Each token's bits are stored as soon as it is written, without
// waiting for the accumulator to fill, and `pending` follows the bit count the writer's flush
// rule would hold instead (the rule's branch, taken every few writes, is the costly part).
// sync leaves the BitWriter exactly as the same writeBits calls would have left it: the
// stream's bits are the same either way, only the bytes already in the buffer differ.
struct EagerWriter {
    BitWriter& writer;
    uint8_t* out;  // next byte to store
    uint64_t bits; // not yet whole bytes: 0..7 after flush
    uint32_t bitCount;
    uint32_t pending; // what writer.accBits would be

    // Needs 8 free bytes in the buffer.
    explicit EagerWriter(BitWriter& w)
        : writer(w), out(w.outBuffer + w.bufferUsed), bits(w.acc), bitCount(w.accBits), pending(w.accBits)
    {
        flush();
    }

    inline void put(uint64_t value, uint32_t n)
    {
        const uint32_t grown = pending + n;
        pending = grown >= bitFlushLimit ? (pending & 7) + n : grown;
        bits |= value << bitCount;
        bitCount += n;
    }

    // Literals from tokens[i] on, up to stop or the first match word, right after a flush and
    // at most 56 bits in all (i advanced past them). The flush rule's count takes a chain of
    // three operations a write; here it is worked out once for the run. It can be reached at
    // most once in it (after that the count holds at most 7 + 56 bits), at the first write
    // that takes the eager count to threshold; the count then keeps what came after the
    // last whole byte before that write.
    // allLiterals: every word up to stop is known to be a literal.
    template <bool allLiterals>
    inline void putLiterals(const uint32_t* literalCodes, const uint16_t* tokens, int32_t& i, int32_t stop)
    {
        const uint32_t threshold = bitFlushLimit - (pending - bitCount); // pending - bitCount: whole bytes
        const uint32_t start = bitCount;
        uint32_t lastBelow = bitCount;
        do {
            const uint32_t code = literalCodes[tokens[i++]];
            bits |= uint64_t(code & 0xFFFF) << bitCount;
            bitCount += code >> 16;
            lastBelow = bitCount < threshold ? bitCount : lastBelow;
        } while (i < stop && (allLiterals || tokens[i] < uint32_t(literalCount)));
        pending = bitCount >= threshold ? bitCount - (lastBelow & ~7u) : pending - start + bitCount;
    }

    // Eight literals whose codes are all 8 bits (bytes, eight codes from the table in order),
    // right after a flush: stored at once, needs 8 free bytes at out. The flush rule's count
    // p steps by 8 a write and, at 64, falls back to its odd bits plus 8: in whole bytes
    // beyond them, m = (p - bitCount) / 8 runs 1, 2, ... 7, 1, ..., so eight writes take it
    // from m to m mod 7 + 1.
    inline void putEightBytes(uint64_t bytes)
    {
        storeU64(out, bits | bytes << bitCount);
        out += 8;
        bits = (bytes >> 1) >> (63 - bitCount); // the bytes' top bitCount bits
        const uint32_t wholeBytes = (pending - bitCount) >> 3;
        pending = bitCount + 8 * (wholeBytes % 7 + 1);
    }

    // Stores the whole bytes; needs 8 free bytes at out.
    inline void flush()
    {
        storeU64(out, bits);
        out += bitCount >> 3;
        bits >>= bitCount & 56;
        bitCount &= 7;
    }

    // After a flush: the writer keeps `pending` bits, the rest of the stored bytes count as
    // written. The bytes past out are zero from the last store.
    void sync()
    {
        const uint32_t back = (pending - bitCount) >> 3;
        writer.bufferUsed = int32_t(out - writer.outBuffer) - int32_t(back);
        writer.acc =
            pending == 0 ? 0 : loadU64(writer.outBuffer + writer.bufferUsed) & (~uint64_t(0) >> (64 - pending));
        writer.accBits = pending;
    }
};

struct PlainWriter {
    BitWriter& writer;
    void put(uint64_t value, uint32_t n) { writeBits(writer, value, n); }
};

// One token from tokens[i], advancing i past it. Code, then extra bits as their own write:
// the call split is part of the format. A write of 0 bits changes nothing.
template <typename Writer>
inline void putToken(Writer& out, const BlockCodes& codes, const uint16_t* tokens, int32_t& i)
{
    const uint32_t word = tokens[i++];
    if (word < uint32_t(literalCount)) {
        out.put(codes.literalLength.codes[word], codes.literalLength.lengths[word]);
        return;
    }
    const uint32_t value = word - literalCount;
    const uint32_t s = lengthSymbol[value];
    out.put(codes.literalLength.codes[literalCount + s], codes.literalLength.lengths[literalCount + s]);
    out.put(value - uint32_t(lengthBase[s]), uint32_t(lengthExtra[s]));
    const uint32_t d = tokens[i++];
    const uint32_t t = distanceSymbol[d];
    out.put(codes.distance.codes[t], codes.distance.lengths[t]);
    out.put(d - uint32_t(distanceBase[t]), uint32_t(distanceExtra[t]));
}

// Forward copy of a match with byte-by-byte meaning, in 4- or 8-byte units. Writes up to 15
// bytes past the match's end, but never past writableEnd.
inline void copyMatch(uint8_t* window, int32_t source, int32_t destination, int32_t length, const uint8_t* writableEnd)
{
    uint8_t* to = window + destination;
    const uint8_t* from = window + source;
    uint8_t* const end = to + length;
    int32_t gap = destination - source;
    if (gap >= 8) {
        // Most matches are short: two unconditional units cover up to 16 bytes without a loop.
        if (to + 16 <= writableEnd) {
            std::memcpy(to, from, 8);
            std::memcpy(to + 8, from + 8, 8);
            if (length <= 16) return;
            to += 16;
            from += 16;
        }
        do {
            std::memcpy(to, from, 8);
            to += 8;
            from += 8;
        } while (to < end);
        return;
    }
    // Closer than 4 bytes: each 4-byte copy leaves gap bytes right, and the pattern repeats
    // with twice the gap, until the gap allows whole 4-byte units.
    while (gap < 4) {
        uint32_t unit;
        std::memcpy(&unit, from, 4);
        std::memcpy(to, &unit, 4);
        to += gap;
        gap *= 2;
    }
    while (to < end) {
        uint32_t unit;
        std::memcpy(&unit, from, 4);
        std::memcpy(to, &unit, 4);
        to += 4;
        from += 4;
    }
}

} // namespace

// Counts the block's symbols without the halving rule, in 32-bit counts; false when some
// count reaches the halving point, where the rule would have changed the counts on the way.
// Literals go to four tables by position, so that a repeated byte does not wait for its own
// previous increment.
static bool countWithoutHalving(BlockCodes& codes, const uint16_t* tokens, int32_t words)
{
    uint32_t literals[4][literalCount] = {};
    uint32_t lengths[lengthSymbolCount] = {};
    uint32_t distances[distanceSymbolCount] = {};
    int32_t i = 0;
    while (i < words) {
        // Four literals in a row (no word of 256 or more): counted without a test each.
        if (i + 4 <= words) {
            const uint64_t four = loadU64(reinterpret_cast<const uint8_t*>(tokens + i));
            if ((four & 0xFF00FF00FF00FF00u) == 0) {
                ++literals[0][four & 0xFF];
                ++literals[1][(four >> 16) & 0xFF];
                ++literals[2][(four >> 32) & 0xFF];
                ++literals[3][four >> 48];
                i += 4;
                continue;
            }
        }
        const uint32_t word = tokens[i];
        if (word < uint32_t(literalCount)) {
            ++literals[i & 3][word];
        } else {
            ++lengths[lengthSymbol[word - literalCount]];
            ++distances[distanceSymbol[tokens[++i]]];
        }
        ++i;
    }
    uint32_t largest = 0;
    for (int32_t s = 0; s < literalCount; ++s) {
        const uint32_t count = literals[0][s] + literals[1][s] + literals[2][s] + literals[3][s];
        largest = std::max(largest, count);
        codes.literalLength.counts[s] = uint16_t(count);
    }
    for (int32_t s = 0; s < lengthSymbolCount; ++s) {
        largest = std::max(largest, lengths[s]);
        codes.literalLength.counts[literalCount + s] = uint16_t(lengths[s]);
    }
    for (int32_t s = 0; s < distanceSymbolCount; ++s) {
        largest = std::max(largest, distances[s]);
        codes.distance.counts[s] = uint16_t(distances[s]);
    }
    return largest < countHalvingPoint;
}

void prepareBlock(BlockCodes& codes, const uint16_t* tokens, int32_t words)
{
    HuffmanCode& literalLength = codes.literalLength;
    HuffmanCode& distance = codes.distance;
    resetModel(literalLength);
    resetModel(distance);
    // Counts stay below the halving point in all but a few blocks; those are counted again,
    // in order, with the rule.
    if (!countWithoutHalving(codes, tokens, words)) {
        resetModel(literalLength);
        resetModel(distance);
        for (int32_t i = 0; i < words; ++i) {
            const uint32_t word = tokens[i];
            if (word < uint32_t(literalCount)) {
                countSymbol(literalLength, word);
            } else {
                countSymbol(literalLength, literalCount + lengthSymbol[word - literalCount]);
                countSymbol(distance, distanceSymbol[tokens[++i]]);
            }
        }
    }
    buildCode(literalLength);
    buildCode(distance);
}

namespace {

uint8_t reversedByte(uint8_t b)
{
    b = uint8_t((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = uint8_t((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return uint8_t((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

using ReverseLiterals = bool (*)(const uint16_t*, uint8_t*);

ReverseLiterals chooseReverseLiterals()
{
#ifdef QV5_X86_KERNELS
    if (avx2Supported()) return reverseLiteralsAvx2;
#endif
    return nullptr; // the eight-at-a-time table path serves
}

// Chosen once, at start-up.
const ReverseLiterals reverseLiteralsKernel = chooseReverseLiterals();

} // namespace

void writeBlock(BitWriter& writer, const BlockCodes& codes, const uint16_t* tokens, int32_t words)
{
    writeBits(writer, uint32_t(words), wordCountBits);
    writeLengthTable(codes.literalLength, writer);
    writeLengthTable(codes.distance, writer);

    // A token takes at most 16 + 10 + 16 + 10 bits, so a flush after each one keeps the stored
    // bits within 64 and the buffer position within 7 bytes of the last. Literals in a row
    // share a flush, as many as fit in 63 bits beside the 7 a flush leaves: on incompressible
    // input, where every code is about 8 bits, seven of them. Their codes sit in one table,
    // code and length in one word.
    uint32_t literalCodes[literalCount];
    uint32_t longestLiteral = 1;
    for (int32_t s = 0; s < literalCount; ++s) {
        literalCodes[s] = codes.literalLength.codes[s] | uint32_t(codes.literalLength.lengths[s]) << 16;
        longestLiteral = std::max<uint32_t>(longestLiteral, codes.literalLength.lengths[s]);
    }
    const int32_t literalsPerFlush = int32_t((bitFlushLimit - 8) / longestLiteral); // at most 63 bits
    // Every literal code 8 bits long (as on incompressible input): eight literals in a row are
    // eight bytes.
    // Then the codes are the canonical ones, each byte's bits reversed (sent first bit first),
    // and 32 literals in a row can be turned into bytes at once where the CPU has a kernel.
    bool byteCodes = true;
    bool reversed = true;
    uint8_t literalBytes[literalCount];
    for (int32_t s = 0; s < literalCount; ++s) {
        byteCodes = byteCodes && codes.literalLength.lengths[s] == 8;
        literalBytes[s] = uint8_t(codes.literalLength.codes[s]);
        reversed = reversed && literalBytes[s] == reversedByte(uint8_t(s));
    }
    const ReverseLiterals reverseLiterals = byteCodes && reversed ? reverseLiteralsKernel : nullptr;
    // The high bytes of the next group of words (up to eight): all zero when they are all
    // literals.
    const int32_t group = std::min(literalsPerFlush, 8);
    const uint64_t highBytes = 0xFF00FF00FF00FF00u;
    const uint64_t firstFour = group >= 4 ? highBytes : highBytes >> (16 * (4 - group));
    const uint64_t nextFour = group <= 4 ? 0 : highBytes >> (16 * (8 - group));
    const uint8_t* const eagerLimit = writer.outBuffer + bitBufferSize - 16;
    int32_t i = 0;
    while (i < words) {
        if (writer.bufferUsed + 24 <= bitBufferSize) { // out starts at most 7 bytes on: below the limit
            EagerWriter out(writer);
            while (i < words && out.out <= eagerLimit) {
                uint8_t reversedBytes[32];
                if (reverseLiterals && i + 32 <= words && out.out + 32 <= eagerLimit &&
                    reverseLiterals(tokens + i, reversedBytes)) {
                    for (int32_t k = 0; k < 32; k += 8) out.putEightBytes(loadU64(reversedBytes + k));
                    i += 32;
                } else if (byteCodes && i + 8 <= words &&
                           ((loadU64(reinterpret_cast<const uint8_t*>(tokens + i)) |
                             loadU64(reinterpret_cast<const uint8_t*>(tokens + i + 4))) &
                            highBytes) == 0) {
                    uint64_t bytes = 0;
                    for (int32_t k = 7; k >= 0; --k) bytes = bytes << 8 | literalBytes[tokens[i + k]];
                    out.putEightBytes(bytes);
                    i += 8;
                } else if (i + 8 <= words &&
                           ((loadU64(reinterpret_cast<const uint8_t*>(tokens + i)) & firstFour) |
                            (loadU64(reinterpret_cast<const uint8_t*>(tokens + i + 4)) & nextFour)) == 0) {
                    out.putLiterals<true>(literalCodes, tokens, i, i + group); // all literals
                } else if (tokens[i] < uint32_t(literalCount)) {
                    out.putLiterals<false>(literalCodes, tokens, i, std::min(words, i + literalsPerFlush));
                } else {
                    putToken(out, codes, tokens, i);
                }
                out.flush();
            }
            out.sync();
        } else {
            // The buffer's last bytes: the plain writer, until it writes the buffer out.
            PlainWriter out{writer};
            putToken(out, codes, tokens, i);
        }
    }
}

void resetHistory(ContextHistory& history)
{
    std::memset(history.positions, 0xFF, sizeof history.positions);
    std::memset(history.ringIndex, 0, sizeof history.ringIndex);
}

namespace {

// The decode entries of a block's codes: a literal is marked with literalEntry and holds its
// byte; a length or distance symbol holds its base value and counts its extra bits.
constexpr uint32_t literalEntry = 0x80000000u;
constexpr uint32_t literalTableMask = (1u << literalLengthAlphabet.tableBits) - 1;
constexpr uint32_t distanceTableMask = (1u << distanceAlphabet.tableBits) - 1;

uint32_t literalLengthEntry(uint32_t s, uint32_t length)
{
    if (s < uint32_t(literalCount)) return literalEntry | makeEntry(s, length, 0);
    const uint32_t l = s - uint32_t(literalCount);
    return makeEntry(uint32_t(lengthBase[l]), length, uint32_t(lengthExtra[l]));
}

uint32_t distanceEntry(uint32_t t, uint32_t length)
{
    // Distances past the ring are never written; their extra bits are not read, the value
    // alone makes the match out of range.
    if (distanceBase[t] >= ringSize) return makeEntry(uint32_t(ringSize), length, 0);
    return makeEntry(uint32_t(distanceBase[t]), length, uint32_t(distanceExtra[t]));
}

// The value of an entry whose code is at the bottom of acc, extra bits included.
inline uint32_t entryValue(uint32_t entry, uint64_t acc)
{
    const uint32_t codeLength = (entry >> 8) & 0xFF;
    const uint32_t extra = (entry & 0xFF) - codeLength;
    return ((entry >> entryValueShift) & entryValueMask) + (uint32_t(acc >> codeLength) & ((1u << extra) - 1));
}

} // namespace

const char* decodeBlock(BitReader& reader, BlockCodes& codes, ContextHistory& history, uint8_t* window,
                        int32_t chunkLength, int32_t& position)
{
    const uint32_t wordCount = uint32_t(readBits(reader, wordCountBits));
    if (!readTable(codes.literalLength, reader, literalLengthEntry)) return "invalid literal/length code table";
    if (!readTable(codes.distance, reader, distanceEntry)) return "invalid distance code table";

    // Both first levels are reached from codes itself: one base register for four tables,
    // which leaves the token loop enough registers for the rest of its state.
    const DecodeTables& ll = codes.literalLength.tables;
    const uint16_t* const llFull = ll.full.get();
    const uint64_t llFullMask = (uint64_t(1) << codes.literalLength.maxLength) - 1;
    const DecodeTables& dt = codes.distance.tables;
    const uint16_t* const dFull = dt.full.get();
    const uint64_t dFullMask = (uint64_t(1) << codes.distance.maxLength) - 1;
    int32_t(*const positions)[ringSize] = history.positions;
    uint32_t* const ringIndex = history.ringIndex;

    // The reader's state in locals. A refill tops acc up to at least 56 valid bits, enough
    // for any token (a match takes at most 16 + 10 + 16 + 10 bits). The bits above the valid
    // ones are the stream's next bits or zero, so loading them again changes nothing.
    uint64_t acc = reader.acc;
    int32_t accBits = reader.accBits;
    const uint8_t* const in = reader.inBuffer;
    uint32_t pos = uint32_t(reader.bufferPos);
    uint32_t end = reader.bufferEnd;
    auto slowRefill = [&]() -> bool {
        reader.acc = acc & ((uint64_t(1) << accBits) - 1);
        reader.accBits = accBits;
        reader.bufferPos = int32_t(pos);
        refillAccumulator(reader);
        acc = reader.acc;
        accBits = reader.accBits;
        pos = uint32_t(reader.bufferPos);
        end = reader.bufferEnd;
        // More than 8 made-up bytes means bits past the end are being consumed.
        return reader.zeroBytesFetched <= 8;
    };

    const uint8_t* const writableEnd = window + chunkLength + chunkSlack;
    const char* failure = nullptr;
    int32_t p = position;
    uint32_t context = p == 0 ? 0u : window[p - 1];
    uint32_t decoded = 0;
    while (decoded < wordCount) {
        if (pos + 8 <= end) {
            acc |= loadU64(in + pos) << accBits;
            pos += uint32_t(63 - accBits) >> 3;
            accBits |= 56;
        } else if (!slowRefill()) {
            failure = "archive ends inside a block";
            break;
        }

        uint32_t entry = ll.entries[acc & literalTableMask];
        if (entry & longEntry) [[unlikely]] {
            const uint32_t symbol = llFull[acc & llFullMask];
            if (symbol == noSymbol) {
                failure = "bit pattern without a literal/length code";
                break;
            }
            entry = ll.bySymbol[symbol];
        }

        if (entry & literalEntry) {
            if (p >= chunkLength) {
                failure = "block runs past the end of the chunk";
                break;
            }
            acc >>= entry & 0xFF;
            accBits -= int32_t(entry & 0xFF);
            const uint32_t literal = (entry >> entryValueShift) & 0xFF;
            const uint32_t slot = ringIndex[context];
            positions[context][slot] = p;
            ringIndex[context] = (slot + 1) & ringMask;
            window[p++] = uint8_t(literal);
            context = literal;
            decoded += 1;
            continue;
        }

        if (decoded + 2 > wordCount) {
            failure = "match crosses the end of the block";
            break;
        }
        const int32_t length = int32_t(entryValue(entry, acc)) + minMatch;
        acc >>= entry & 0xFF;
        accBits -= int32_t(entry & 0xFF);

        uint32_t dEntry = dt.entries[acc & distanceTableMask];
        if (dEntry & longEntry) [[unlikely]] {
            const uint32_t symbol = dFull[acc & dFullMask];
            if (symbol == noSymbol) {
                failure = "bit pattern without a distance code";
                break;
            }
            dEntry = dt.bySymbol[symbol];
        }
        const uint32_t distance = entryValue(dEntry, acc);
        acc >>= dEntry & 0xFF;
        accBits -= int32_t(dEntry & 0xFF);

        if (length > maxMatch || distance >= uint32_t(ringSize)) {
            failure = "match out of range";
            break;
        }
        if (length > chunkLength - p) {
            failure = "block runs past the end of the chunk";
            break;
        }
        const uint32_t slot = ringIndex[context];
        const int32_t source = positions[context][(slot - distance) & ringMask];
        if (source < 0) {
            failure = "match refers to an empty history slot";
            break;
        }
        positions[context][slot] = p;
        ringIndex[context] = (slot + 1) & ringMask;
        copyMatch(window, source, p, length, writableEnd);
        p += length;
        context = window[p - 1];
        decoded += 2;
    }

    reader.acc = acc & ((uint64_t(1) << accBits) - 1);
    reader.accBits = accBits;
    reader.bufferPos = int32_t(pos);
    position = p;
    if (!failure && consumedPastEnd(reader)) failure = "archive ends inside a block";
    return failure;
}

void releaseBlockCodes(BlockCodes& codes)
{
    releaseTables(codes.literalLength);
    releaseTables(codes.distance);
}

} // namespace qv5
