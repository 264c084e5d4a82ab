#include "codec/crc32.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QV5_CRC_CLMUL 1
#endif

namespace qv5 {

namespace {

#ifdef QV5_CRC_CLMUL
// Carry-less multiplication folding (the reflected form of the method for generic
// polynomials): four 128-bit lanes are folded across 64 bytes per step, then into one lane,
// then reduced to 32 bits with a Barrett step. The constants are powers of x modulo the
// CRC-32 polynomial, bit-reflected. size is a multiple of 16 and at least 64. Takes and
// returns the running value in its pre-conditioned form.
#define QV5_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

QV5_CLMUL_TARGET inline __m128i load16(const uint8_t* at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x times the two halves of k, added to next: 128 bits of remainder moved forward.
QV5_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

QV5_CLMUL_TARGET uint32_t foldCrc(uint32_t r, const uint8_t* p, size_t size)
{
    const __m128i fold512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i fold128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i fold64 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x0 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(int(r)));
    __m128i x1 = load16(p + 16);
    __m128i x2 = load16(p + 32);
    __m128i x3 = load16(p + 48);
    p += 64;
    size -= 64;
    while (size >= 64) {
        x0 = fold(x0, fold512, load16(p));
        x1 = fold(x1, fold512, load16(p + 16));
        x2 = fold(x2, fold512, load16(p + 32));
        x3 = fold(x3, fold512, load16(p + 48));
        p += 64;
        size -= 64;
    }
    x0 = fold(x0, fold128, x1);
    x0 = fold(x0, fold128, x2);
    x0 = fold(x0, fold128, x3);
    while (size >= 16) {
        x0 = fold(x0, fold128, load16(p));
        p += 16;
        size -= 16;
    }
    // 128 bits to 64 (appending 32 zero bits), 64 to 32, then the Barrett reduction.
    x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(fold128, x0, 0x01));
    x0 = _mm_xor_si128(_mm_srli_si128(x0, 4), _mm_clmulepi64_si128(_mm_and_si128(x0, low32), fold64, 0x00));
    __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10), low32);
    x0 = _mm_xor_si128(x0, _mm_clmulepi64_si128(t, barrett, 0x00));
    return uint32_t(_mm_extract_epi32(x0, 1));
}

const bool haveClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

} // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t r = ~crc;
#ifdef QV5_CRC_CLMUL
    if (haveClmul && size >= 64) {
        const size_t folded = size & ~size_t(15);
        r = foldCrc(r, p, folded);
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

} // namespace qv5
