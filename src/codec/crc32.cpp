#include "codec/crc32.h"

#include "codec/crc32_clmul.h"

#include <cstring>

namespace qv5 {

// Slicing-by-16 with the tables of crc32.h, which any CPU runs; where the CPU has carry-less
// multiplication, runs of 64 bytes and more go to crcFold instead.

#ifdef QV5_CRC_CLMUL
namespace {
// Asked once, at start-up. An update before then (from another static initialiser) is
// still right, only not folded.
const bool useFold = crcFoldSupported();
} // namespace
#endif

uint32_t crc32Update(uint32_t crc, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t r = ~crc;
#ifdef QV5_CRC_CLMUL
    if (useFold && size >= 64) {
        const size_t folded = size & ~size_t(15);
        r = crcFold(r, p, folded);
        p += folded;
        size -= folded;
    }
#endif
    while (size > 0 && (reinterpret_cast<uintptr_t>(p) & 15) != 0) {
        r = (r >> 8) ^ crcTables[0][(r ^ *p++) & 0xFF];
        --size;
    }
    // Sixteen bytes per step: byte j of the group (after the first four absorb r) is
    // looked up in table 15 - j.
    while (size >= 16) {
        uint64_t x;
        uint64_t y;
        std::memcpy(&x, p, 8);
        std::memcpy(&y, p + 8, 8);
        x ^= r;
        r = crcTables[15][x & 0xFF] ^ crcTables[14][(x >> 8) & 0xFF] ^ crcTables[13][(x >> 16) & 0xFF] ^
            crcTables[12][(x >> 24) & 0xFF] ^ crcTables[11][(x >> 32) & 0xFF] ^ crcTables[10][(x >> 40) & 0xFF] ^
            crcTables[9][(x >> 48) & 0xFF] ^ crcTables[8][x >> 56] ^ crcTables[7][y & 0xFF] ^
            crcTables[6][(y >> 8) & 0xFF] ^ crcTables[5][(y >> 16) & 0xFF] ^ crcTables[4][(y >> 24) & 0xFF] ^
            crcTables[3][(y >> 32) & 0xFF] ^ crcTables[2][(y >> 40) & 0xFF] ^ crcTables[1][(y >> 48) & 0xFF] ^
            crcTables[0][y >> 56];
        p += 16;
        size -= 16;
    }
    while (size > 0) {
        r = (r >> 8) ^ crcTables[0][(r ^ *p++) & 0xFF];
        --size;
    }
    return ~r;
}

namespace {

// a * b mod P, both in the reflected form of the register (bit 31 the coefficient of x^0).
uint32_t multiplyModP(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) product ^= b;
        b = (b >> 1) ^ (0xEDB88320u & (0u - (b & 1))); // b * x
    }
    return product;
}

// x^(8 * bytes) mod P, by squaring.
uint32_t shiftOfBytes(uint64_t bytes)
{
    uint32_t result = 1u << 31; // x^0
    uint32_t power = 1u << 23;  // x^8
    for (; bytes != 0; bytes >>= 1) {
        if (bytes & 1) result = multiplyModP(result, power);
        power = multiplyModP(power, power);
    }
    return result;
}

} // namespace

// The register after A, moved past B's length as zeros would move it, then B's own: the
// pre- and post-inversions of the two cancel where they meet.
uint32_t crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB)
{
    return multiplyModP(shiftOfBytes(lengthB), crcA) ^ crcB;
}

} // namespace qv5
