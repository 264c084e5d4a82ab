// readTable alone. The first byte picks the alphabet, the rest is the bit stream. A table
// that is accepted must decode only symbols of its alphabet and must be exactly the bits the
// writer produces for the same code lengths.
#include "codec/bit_stream.h"
#include "codec/huffman.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

std::unique_ptr<uint8_t[]> readBuffer(new uint8_t[qv5::bitBufferSize]);
std::unique_ptr<uint8_t[]> writeBuffer(new uint8_t[qv5::bitBufferSize]);

constexpr qv5::HuffmanAlphabet alphabets[] = {qv5::nameAlphabet, qv5::literalLengthAlphabet, qv5::distanceAlphabet};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "readTable: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size - 1 >= size_t(qv5::bitBufferSize)) return 0;
    const qv5::HuffmanAlphabet& alphabet = alphabets[data[0] % 3];
    qv5::MemoryInput stream{data + 1, size - 1};
    qv5::BitReader reader;
    reader.source = qv5::memorySource(stream);
    reader.inBuffer = readBuffer.get();
    qv5::HuffmanCode code{alphabet};
    if (!qv5::readTable(code, reader)) return 0;

    // Bits taken by the table: all bytes fetched (the input is read in one piece, then
    // made-up zero bytes) minus the bits still in the accumulator.
    const size_t inSize = size - 1;
    const uint64_t fetchedBytes =
        reader.zeroBytesFetched > 0 ? inSize + reader.zeroBytesFetched : uint64_t(reader.bufferPos);
    const uint64_t tableBits = fetchedBytes * 8 - uint64_t(reader.accBits);

    // Written again from its lengths, the table must give the very same bits.
    std::vector<uint8_t> written;
    qv5::BitWriter writer;
    writer.sink = qv5::vectorSink(written);
    writer.outBuffer = writeBuffer.get();
    qv5::writeLengthTable(code, writer);
    const uint64_t writtenBits = uint64_t(writer.bufferUsed) * 8 + writer.accBits;
    qv5::finish(writer); // the pending bits, then the closing bytes
    if (writtenBits != tableBits) fail("table length differs from the written form");
    const uint8_t* in = data + 1;
    auto bitOf = [](const uint8_t* bytes, size_t n, uint64_t bit) {
        return bit / 8 < n ? (bytes[bit / 8] >> (bit % 8)) & 1 : 0;
    };
    for (uint64_t bit = 0; bit < writtenBits; ++bit) {
        if (bitOf(written.data(), written.size(), bit) != bitOf(in, inSize, bit)) {
            fail("table bits differ from the written form");
        }
    }

    // Decoding what follows yields symbols of the alphabet only, each with its code length.
    for (int i = 0; i < 64; ++i) {
        uint32_t symbol = qv5::decodeSymbol(code, reader);
        if (symbol == qv5::noSymbol) break;
        if (symbol >= uint32_t(alphabet.symbolCount) || code.lengths[symbol] == 0)
            fail("decoded a symbol without a code");
        if (consumedPastEnd(reader)) break;
    }
    qv5::releaseTables(code);
    return 0;
}
