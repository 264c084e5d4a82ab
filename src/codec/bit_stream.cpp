#include "codec/bit_stream.h"

#include <algorithm>
#include <cstring>

namespace qv5 {

namespace {

bool appendToVector(void* context, const uint8_t* bytes, size_t count)
{
    static_cast<std::vector<uint8_t>*>(context)->insert(static_cast<std::vector<uint8_t>*>(context)->end(), bytes,
                                                        bytes + count);
    return true;
}

size_t readFromMemory(void* context, uint8_t* buffer, size_t capacity, bool*)
{
    MemoryInput& input = *static_cast<MemoryInput*>(context);
    size_t count = std::min(capacity, input.size - input.position);
    if (count > 0) std::memcpy(buffer, input.data + input.position, count);
    input.position += count;
    return count;
}

} // namespace

ByteSink vectorSink(std::vector<uint8_t>& bytes)
{
    return ByteSink{&bytes, appendToVector};
}

ByteSource memorySource(MemoryInput& input)
{
    return ByteSource{&input, readFromMemory};
}

static void writeBuffer(BitWriter& writer, int32_t count)
{
    if (!writer.sink.put(writer.sink.context, writer.outBuffer, size_t(count))) writer.writeFailed = true;
}

void flushFullBuffer(BitWriter& writer)
{
    writeBuffer(writer, writer.bufferUsed);
    writer.bufferUsed = 0;
}

void writeU32(BitWriter& writer, uint32_t value)
{
    writeBits(writer, value & 0xFFFF, 16);
    writeBits(writer, value >> 16, 16);
}

void writeU64(BitWriter& writer, uint64_t value)
{
    writeBits(writer, value & 0xFFFF, 16);
    writeBits(writer, (value >> 16) & 0xFFFF, 16);
    writeBits(writer, (value >> 32) & 0xFFFF, 16);
    writeBits(writer, value >> 48, 16);
}

void writeOut(BitWriter& writer)
{
    if (writer.bufferUsed > 0) {
        writeBuffer(writer, writer.bufferUsed);
        writer.bufferUsed = 0;
    }
}

void finish(BitWriter& writer)
{
    for (int32_t i = 0; i < finishByteCount; ++i) {
        emitByte(writer, uint8_t(writer.acc));
        writer.acc >>= 8;
    }
    writeOut(writer);
    writer.acc = 0;
    writer.accBits = 0;
}

uint8_t fetchByte(BitReader& reader)
{
    if (uint32_t(reader.bufferPos) == reader.bufferEnd) {
        bool failed = false;
        size_t got = reader.source.get(reader.source.context, reader.inBuffer, size_t(bitBufferSize), &failed);
        if (failed) reader.readFailed = true;
        reader.bufferPos = 0;
        reader.bufferEnd = uint32_t(got);
        if (got == 0) {
            // Past the end the stream reads as zeros; the count lets the owner tell a
            // truncated archive from a whole one.
            ++reader.zeroBytesFetched;
            return 0;
        }
    }
    return reader.inBuffer[reader.bufferPos++];
}

void refillAccumulator(BitReader& reader)
{
    if (uint32_t(reader.bufferPos) + 8 <= reader.bufferEnd) {
        // Same bytes as the byte loop below, taken with one load.
        uint64_t word;
        std::memcpy(&word, reader.inBuffer + reader.bufferPos, 8);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        uint32_t bytes = uint32_t(63 - reader.accBits) >> 3;
        reader.acc |= word << reader.accBits;
        reader.accBits += int32_t(bytes * 8);
        reader.acc &= (uint64_t(1) << reader.accBits) - 1;
        reader.bufferPos += int32_t(bytes);
        return;
    }
    while (reader.accBits < int32_t(refillTarget)) {
        reader.acc += uint64_t(fetchByte(reader)) << reader.accBits;
        reader.accBits += 8;
    }
}

uint32_t readU32(BitReader& reader)
{
    uint32_t r0 = uint32_t(readBits(reader, 16));
    uint32_t r1 = uint32_t(readBits(reader, 16));
    return r0 | (r1 << 16);
}

uint64_t readU64(BitReader& reader)
{
    uint64_t r0 = readBits(reader, 16);
    uint64_t r1 = readBits(reader, 16);
    uint64_t r2 = readBits(reader, 16);
    uint64_t r3 = readBits(reader, 16);
    return r0 | (r1 << 16) | (r2 << 32) | (r3 << 48);
}

} // namespace qv5
