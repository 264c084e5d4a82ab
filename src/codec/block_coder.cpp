#include "codec/block_coder.h"

#include <bit>
#include <cstring>

#include "codec/symbol_tables.h"

namespace qv5 {

namespace {

inline uint64_t loadU64(const uint8_t* bytes) {
    uint64_t v;
    std::memcpy(&v, bytes, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// The writer's accumulator and buffer position in registers for the token loop; the same
// flush rule as writeBits, synced back to the BitWriter for the rare full-buffer case.
struct LocalWriter {
    BitWriter& writer;
    uint8_t* buffer;
    uint64_t acc;
    uint32_t accBits;
    int32_t used;

    explicit LocalWriter(BitWriter& w)
        : writer(w), buffer(w.outBuffer), acc(w.acc), accBits(w.accBits), used(w.bufferUsed) {}

    void sync() {
        writer.acc = acc;
        writer.accBits = accBits;
        writer.bufferUsed = used;
    }

    void drain() {
        if (used + 8 <= bitBufferSize) {
            uint64_t le = acc;
            if constexpr (std::endian::native == std::endian::big) le = __builtin_bswap64(le);
            std::memcpy(buffer + used, &le, 8);
            uint32_t bytes = accBits >> 3;
            used += int32_t(bytes);
            acc >>= bytes * 8;
            accBits -= bytes * 8;
        } else {
            sync();
            drainAccumulator(writer);
            acc = writer.acc;
            accBits = writer.accBits;
            used = writer.bufferUsed;
        }
    }

    inline void put(uint64_t value, uint32_t n) {
        if (accBits + n >= bitFlushLimit) drain();
        acc += value << accBits;
        accBits += n;
    }
};

// Forward copy of a match with byte-by-byte meaning, in 4- or 8-byte units. Writes up to 15
// bytes past the match's end, but never past writableEnd.
inline void copyMatch(uint8_t* window, int32_t source, int32_t destination, int32_t length,
                      const uint8_t* writableEnd) {
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

void prepareBlock(BlockCodes& codes, const uint16_t* tokens, int32_t words) {
    HuffmanCode& literalLength = codes.literalLength;
    HuffmanCode& distance = codes.distance;
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
    buildCode(literalLength);
    buildCode(distance);
}

void writeBlock(BitWriter& writer, const BlockCodes& codes, const uint16_t* tokens, int32_t words) {
    writeBits(writer, uint32_t(words), wordCountBits);
    writeLengthTable(codes.literalLength, writer);
    writeLengthTable(codes.distance, writer);

    const uint32_t* llCodes = codes.literalLength.codes;
    const uint8_t* llLengths = codes.literalLength.lengths;
    const uint32_t* dCodes = codes.distance.codes;
    const uint8_t* dLengths = codes.distance.lengths;
    LocalWriter out(writer);
    for (int32_t i = 0; i < words; ++i) {
        const uint32_t word = tokens[i];
        if (word < uint32_t(literalCount)) {
            out.put(llCodes[word], llLengths[word]);
            continue;
        }
        // Code, then extra bits as their own write: the call split is part of the format.
        const uint32_t value = word - literalCount;
        const uint32_t s = lengthSymbol[value];
        out.put(llCodes[literalCount + s], llLengths[literalCount + s]);
        if (lengthExtra[s] > 0) out.put(value - uint32_t(lengthBase[s]), uint32_t(lengthExtra[s]));
        const uint32_t d = tokens[++i];
        const uint32_t t = distanceSymbol[d];
        out.put(dCodes[t], dLengths[t]);
        if (distanceExtra[t] > 0) out.put(d - uint32_t(distanceBase[t]), uint32_t(distanceExtra[t]));
    }
    out.sync();
}

void resetHistory(ContextHistory& history) {
    std::memset(&history, 0xFF, sizeof(ContextHistory));
    for (ContextRing& ring : history.rings) ring.ringIndex = 0;
}

const char* decodeBlock(BitReader& reader, BlockCodes& codes, ContextHistory& history,
                        uint8_t* window, int32_t chunkLength, int32_t& position) {
    const uint32_t wordCount = uint32_t(readBits(reader, wordCountBits));
    if (!readTable(codes.literalLength, reader)) return "invalid literal/length code table";
    if (!readTable(codes.distance, reader)) return "invalid distance code table";

    const HuffmanCode& ll = codes.literalLength;
    const HuffmanCode& dc = codes.distance;
    const uint16_t* llFast = ll.fastTable;
    const uint16_t* llFull = ll.fullTable.get();
    const uint8_t* llLengths = ll.lengths;
    const uint32_t llMax = uint32_t(ll.maxLength);
    const uint64_t llMask = (uint64_t(1) << llMax) - 1;
    const uint16_t* dFast = dc.fastTable;
    const uint16_t* dFull = dc.fullTable.get();
    const uint8_t* dLengths = dc.lengths;
    const uint32_t dMax = uint32_t(dc.maxLength);
    const uint64_t dMask = (uint64_t(1) << dMax) - 1;

    // The reader's state in locals; refills give exactly what peekBits would fetch.
    uint64_t acc = reader.acc;
    int32_t accBits = reader.accBits;
    const uint8_t* in = reader.inBuffer;
    uint32_t pos = uint32_t(reader.bufferPos);
    uint32_t end = reader.bufferEnd;
    auto refill = [&]() -> bool {
        if (pos + 8 <= end) {
            const uint32_t bytes = uint32_t(63 - accBits) >> 3;
            acc |= loadU64(in + pos) << accBits;
            accBits += int32_t(bytes * 8);
            acc &= (uint64_t(1) << accBits) - 1;
            pos += bytes;
            return true;
        }
        reader.acc = acc;
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
    auto take = [&](uint32_t n) -> uint32_t {
        uint32_t v = uint32_t(acc & ((uint64_t(1) << n) - 1));
        acc >>= n;
        accBits -= int32_t(n);
        return v;
    };

    const uint8_t* const writableEnd = window + chunkLength + chunkSlack;
    const char* failure = nullptr;
    int32_t p = position;
    uint32_t decoded = 0;
    while (decoded < wordCount) {
        if (accBits < fastTableBits && !refill()) { failure = "archive ends inside a block"; break; }
        uint32_t symbol = llFast[acc & (fastTableSize - 1)];
        if (symbol == noSymbol) {
            if (uint32_t(accBits) < llMax && !refill()) { failure = "archive ends inside a block"; break; }
            symbol = llFull[acc & llMask];
            if (symbol == noSymbol) { failure = "bit pattern without a literal/length code"; break; }
        }
        take(llLengths[symbol]);
        const uint32_t context = p == 0 ? 0u : window[p - 1];
        ContextRing& ring = history.rings[context];

        if (symbol < uint32_t(literalCount)) {
            if (p >= chunkLength) { failure = "block runs past the end of the chunk"; break; }
            ring.positions[ring.ringIndex] = p;
            ring.ringIndex = uint16_t((ring.ringIndex + 1) & ringMask);
            window[p++] = uint8_t(symbol);
            decoded += 1;
            continue;
        }

        if (decoded + 2 > wordCount) { failure = "match crosses the end of the block"; break; }
        const uint32_t s = symbol - literalCount;
        uint32_t value = uint32_t(lengthBase[s]);
        if (const uint32_t extra = uint32_t(lengthExtra[s])) {
            if (uint32_t(accBits) < extra && !refill()) { failure = "archive ends inside a block"; break; }
            value += take(extra);
        }
        if (accBits < fastTableBits && !refill()) { failure = "archive ends inside a block"; break; }
        uint32_t t = dFast[acc & (fastTableSize - 1)];
        if (t == noSymbol) {
            if (uint32_t(accBits) < dMax && !refill()) { failure = "archive ends inside a block"; break; }
            t = dFull[acc & dMask];
            if (t == noSymbol) { failure = "bit pattern without a distance code"; break; }
        }
        take(dLengths[t]);
        uint32_t distance = uint32_t(distanceBase[t]);
        if (const uint32_t extra = uint32_t(distanceExtra[t])) {
            if (uint32_t(accBits) < extra && !refill()) { failure = "archive ends inside a block"; break; }
            distance += take(extra);
        }

        const int32_t length = int32_t(value) + minMatch;
        if (length > maxMatch || distance >= uint32_t(ringSize)) { failure = "match out of range"; break; }
        if (length > chunkLength - p) { failure = "block runs past the end of the chunk"; break; }
        const uint32_t slot = ring.ringIndex;
        const int32_t source = ring.positions[(slot - distance) & ringMask];
        if (source < 0) { failure = "match refers to an empty history slot"; break; }
        ring.positions[slot] = p;
        ring.ringIndex = uint16_t((slot + 1) & ringMask);
        copyMatch(window, source, p, length, writableEnd);
        p += length;
        decoded += 2;
    }

    reader.acc = acc;
    reader.accBits = accBits;
    reader.bufferPos = int32_t(pos);
    position = p;
    if (!failure && consumedPastEnd(reader)) failure = "archive ends inside a block";
    return failure;
}

void releaseBlockCodes(BlockCodes& codes) {
    releaseTables(codes.literalLength);
    releaseTables(codes.distance);
}

} // namespace qv5
