#include <gtest/gtest.h>

#include <cstdlib>

#include "codec/bit_stream.h"
#include "codec_test_support.h"

namespace qv5 {
namespace {

using test::ReaderFixture;
using test::WriterFixture;

TEST(BitStream, FinishEmitsPendingBitsThenZerosToSixteenBytes)
{
    WriterFixture a;
    writeBits(a.writer, 1, 1);
    writeBits(a.writer, 0, 1);
    writeBits(a.writer, 5, 3);
    finish(a.writer);
    std::vector<uint8_t> expected(16, 0);
    expected[0] = 0x15;
    EXPECT_EQ(a.bytes, expected);
    EXPECT_EQ(a.writer.accBits, 0u);

    WriterFixture empty;
    finish(empty.writer);
    EXPECT_EQ(empty.bytes, std::vector<uint8_t>(16, 0));
}

TEST(BitStream, BytesLeaveOnlyWhenTheNextValueDoesNotFit)
{
    WriterFixture f;
    writeBits(f.writer, 0x7FFFFFFF, 31);
    writeBits(f.writer, 0xFFFFFFFF, 32);
    EXPECT_EQ(f.writer.bufferUsed, 0);
    EXPECT_EQ(f.writer.accBits, 63u);
    writeBits(f.writer, 1, 1); // 63 + 1 reaches 64: seven bytes go, seven bits stay
    EXPECT_EQ(f.writer.bufferUsed, 7);
    EXPECT_EQ(f.writer.accBits, 8u);
    EXPECT_EQ(f.writer.acc, 0xFFu);
    finish(f.writer);
    EXPECT_EQ(f.bytes.size(), 7u + 16u);

    // The same 64 bits written as 32 + 32 leave after 4 bytes: the split sets the length.
    WriterFixture g;
    writeBits(g.writer, 0xFFFFFFFF, 32);
    writeBits(g.writer, 0xFFFFFFFF, 32);
    EXPECT_EQ(g.writer.bufferUsed, 4);
    finish(g.writer);
    EXPECT_EQ(g.bytes.size(), 4u + 16u);
}

TEST(BitStream, FileWritesAreWholeBuffers)
{
    WriterFixture f;
    for (int32_t i = 0; i < bitBufferSize; ++i) emitByte(f.writer, uint8_t(i));
    EXPECT_TRUE(f.bytes.empty());
    emitByte(f.writer, 0xAB); // the 4,194,305th byte
    EXPECT_EQ(f.bytes.size(), size_t(bitBufferSize));
    EXPECT_EQ(f.writer.bufferUsed, 1);

    // The 8-byte drain of writeBits keeps the rule at the buffer's end.
    for (;;) {
        int32_t usedBefore = f.writer.bufferUsed;
        uint32_t pendingBefore = f.writer.accBits;
        writeBits(f.writer, 0x5A, 8);
        if (f.writer.bufferUsed >= usedBefore) continue;
        EXPECT_EQ(usedBefore + int32_t(pendingBefore >> 3), bitBufferSize + f.writer.bufferUsed);
        break;
    }
    EXPECT_EQ(f.bytes.size(), size_t(2 * bitBufferSize));
    EXPECT_FALSE(f.writer.writeFailed);
}

TEST(BitStream, RandomWritesReadBackAcrossBufferBoundaries)
{
    std::mt19937 rng(7);
    std::vector<std::pair<uint64_t, uint32_t>> items;
    WriterFixture f;
    uint64_t bits = 0;
    while (bits < 3ull * 8 * bitBufferSize) {
        uint32_t kind = rng() % 40;
        uint32_t n = kind < 33 ? kind : 64; // 64 stands for a writeU64
        uint64_t value = (uint64_t(rng()) << 32) | rng();
        if (n < 64) value &= (uint64_t(1) << n) - 1;
        if (n == 64)
            writeU64(f.writer, value);
        else
            writeBits(f.writer, value, n);
        items.emplace_back(value, n);
        bits += n;
    }
    finish(f.writer);
    ReaderFixture r(f.bytes);
    for (size_t i = 0; i < items.size(); ++i) {
        auto [value, n] = items[i];
        uint64_t got = n == 64 ? readU64(r.reader) : readBits(r.reader, n);
        ASSERT_EQ(got, value) << "item " << i << " of " << n << " bits";
    }
    EXPECT_FALSE(consumedPastEnd(r.reader));
    EXPECT_EQ(readU32(r.reader), 0u); // into finish's zero bytes, still inside the file
    EXPECT_FALSE(consumedPastEnd(r.reader));
}

TEST(BitStream, ReadingPastTheEndGivesZerosAndIsDetectedExactly)
{
    ReaderFixture r({0xFF, 0xFF, 0xFF});
    EXPECT_EQ(peekBits(r.reader, 32), 0xFFFFFFull); // fetched zeros are not yet consumed
    EXPECT_FALSE(consumedPastEnd(r.reader));
    EXPECT_EQ(readBits(r.reader, 20), 0xFFFFFull);
    EXPECT_EQ(readBits(r.reader, 4), 0xFull);
    EXPECT_FALSE(consumedPastEnd(r.reader));
    EXPECT_EQ(readBits(r.reader, 1), 0u);
    EXPECT_TRUE(consumedPastEnd(r.reader));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(readBits(r.reader, 32), 0u);
    EXPECT_FALSE(r.reader.readFailed);

    ReaderFixture empty({});
    EXPECT_EQ(readBits(empty.reader, 0), 0u);
    EXPECT_FALSE(consumedPastEnd(empty.reader));
    EXPECT_EQ(readBits(empty.reader, 1), 0u);
    EXPECT_TRUE(consumedPastEnd(empty.reader));
}

TEST(BitStream, RefusedBytesAndReadErrorsAreReported)
{
    // A sink that takes the first full buffer and refuses the rest.
    struct Refusing {
        int calls = 0;
        static bool put(void* context, const uint8_t*, size_t) { return ++static_cast<Refusing*>(context)->calls == 1; }
    } refusing;
    std::vector<uint8_t> buffer(static_cast<size_t>(bitBufferSize));
    BitWriter writer{ByteSink{&refusing, Refusing::put}, buffer.data()};
    for (int32_t i = 0; i < bitBufferSize / 2 + 1; ++i) writeBits(writer, 0xABCD, 16);
    EXPECT_FALSE(writer.writeFailed); // one full buffer taken
    finish(writer);
    EXPECT_TRUE(writer.writeFailed);
    EXPECT_EQ(refusing.calls, 2);

    // A source that fails after three bytes: the bytes count, the failure is kept.
    struct Failing {
        static size_t get(void*, uint8_t* out, size_t, bool* failed)
        {
            out[0] = 1, out[1] = 2, out[2] = 3;
            *failed = true;
            return 3;
        }
    };
    BitReader reader{ByteSource{nullptr, Failing::get}, buffer.data()};
    EXPECT_EQ(readBits(reader, 24), 0x030201u);
    EXPECT_TRUE(reader.readFailed);
}

} // namespace
} // namespace qv5
