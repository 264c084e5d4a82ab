#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/byte_order.h"
#include "codec/codec_constants.h"

// Least-significant-bit-first bit stream through a 64-bit accumulator and a byte buffer of
// bitBufferSize, over bytes that go to a sink or come from a source the owner supplies (a
// file, a vector, a pipe): the codec itself never touches a file. The flush rule is part of the
// archive format: an archive's length depends on how its writes were split, so callers must
// keep the call sequence of the format.
namespace qv5 {

// Where a BitWriter's bytes go: put takes each full buffer and, at the end, the rest.
// False when the bytes could not be taken.
struct ByteSink {
    void* context = nullptr;
    bool (*put)(void* context, const uint8_t* bytes, size_t count) = nullptr;
};

// Where a BitReader's bytes come from: get delivers up to capacity bytes into buffer and
// returns how many, 0 at the end; it sets *failed on a read error.
struct ByteSource {
    void* context = nullptr;
    size_t (*get)(void* context, uint8_t* buffer, size_t capacity, bool* failed) = nullptr;
};

// A sink that appends to a vector (never fails).
ByteSink vectorSink(std::vector<uint8_t>& bytes);

// Bytes in memory read front to back; position counts what the source delivered.
struct MemoryInput {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
};
ByteSource memorySource(MemoryInput& input);

struct BitWriter {
    ByteSink sink;
    uint8_t* outBuffer = nullptr; // bitBufferSize bytes, owned by the owner
    int32_t bufferUsed = 0;
    uint64_t acc = 0;         // pending bits, bit 0 oldest; bits at and above accBits are 0
    uint32_t accBits = 0;     // 0..63
    bool writeFailed = false; // the sink refused some bytes
};

struct BitReader {
    ByteSource source;           // delivers the bit stream from its first byte
    uint8_t* inBuffer = nullptr; // bitBufferSize bytes, owned by the owner
    int32_t bufferPos = 0;
    uint32_t bufferEnd = 0;
    uint64_t acc = 0; // fetched, unconsumed bits; bit 0 is the next stream bit
    int32_t accBits = 0;
    uint64_t zeroBytesFetched = 0; // zero bytes made up because the source had ended
    bool readFailed = false;       // the source reported a read error
};

// Writes a full buffer out; kept out of line so that emitByte stays small.
void flushFullBuffer(BitWriter& writer);

inline void emitByte(BitWriter& writer, uint8_t byte)
{
    if (writer.bufferUsed == bitBufferSize) flushFullBuffer(writer);
    writer.outBuffer[writer.bufferUsed++] = byte;
}

// Emits the whole bytes of the accumulator, leaving 0-7 pending bits.
inline void drainAccumulator(BitWriter& writer)
{
    uint32_t bytes = writer.accBits >> 3;
    if (writer.bufferUsed + 8 <= bitBufferSize) {
        // One 8-byte store instead of a byte loop; the bytes past the drained ones are
        // overwritten later, and the buffer rule (write when exactly full) is unchanged.
        storeU64(writer.outBuffer + writer.bufferUsed, writer.acc);
        writer.bufferUsed += int32_t(bytes);
        writer.acc >>= bytes * 8; // bytes is 4..7: accBits was at least 32
        writer.accBits -= bytes * 8;
    } else {
        do {
            emitByte(writer, uint8_t(writer.acc));
            writer.acc >>= 8;
            writer.accBits -= 8;
        } while (writer.accBits >= 8);
    }
}

// Appends the low n bits of value (n 0..32; the caller guarantees value < 2^n).
inline void writeBits(BitWriter& writer, uint64_t value, uint32_t n)
{
    if (writer.accBits + n >= bitFlushLimit) drainAccumulator(writer);
    writer.acc += value << writer.accBits;
    writer.accBits += n;
}

void writeU32(BitWriter& writer, uint32_t value);
void writeU64(BitWriter& writer, uint64_t value);
// Hands the buffered bytes to the sink.
void writeOut(BitWriter& writer);
// Ends the stream: the 8 accumulator bytes then 8 zero bytes, then writeOut.
void finish(BitWriter& writer);

// The next byte of the source; past its end a zero byte (counted in zeroBytesFetched).
uint8_t fetchByte(BitReader& reader);

// Tops the accumulator up to at least refillTarget bits.
void refillAccumulator(BitReader& reader);

inline uint64_t peekBits(BitReader& reader, uint32_t n)
{
    if (uint32_t(reader.accBits) < n) refillAccumulator(reader);
    return reader.acc & ((uint64_t(1) << n) - 1);
}

inline uint64_t readBits(BitReader& reader, uint32_t n)
{
    uint64_t value = peekBits(reader, n);
    reader.acc >>= n;
    reader.accBits -= int32_t(n);
    return value;
}

uint32_t readU32(BitReader& reader);
uint64_t readU64(BitReader& reader);

// True exactly when a bit already consumed (not merely fetched) lay past the end of the source.
// Zero bytes are only made up at the end, so they are the newest bits of the accumulator.
inline bool consumedPastEnd(const BitReader& reader)
{
    return reader.zeroBytesFetched * 8 > uint64_t(reader.accBits);
}

} // namespace qv5
