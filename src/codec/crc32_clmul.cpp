// CRC-32 folded 64 and 16 bytes at a time with carry-less multiplication.
//
// The CRC of a message M is M(x) * x^32 mod P(x) over GF(2), P = x^32 + 0x04C11DB7, with the
// inverted register added to the first 32 bits of M. Reducing mod P respects addition and
// multiplication, so a long stretch of message may be replaced by anything congruent to it
// mod P once both are shifted to where the stretch ends; folding keeps that stand-in at 128
// bits per lane.
//
// Bit order. This CRC is the reflected kind: bit 0 of the first byte is the highest power of
// x. A 16-byte load thus holds bit j of the block at lane bit j, worth x^(127 - j) if the block
// ends at x^0; the constants are kept in the same order. For carry-less multiplication that
// only moves where the product lands: bit j of an n-bit reflected value (x^(n-1-j)) times bit
// i of an m-bit one (x^(m-1-i)) goes to bit i + j and is worth x^(n+m-2-(i+j)), so the product
// is an (n + m - 1)-bit reflected value at the low end. Each constant is therefore stored as
// 33 bits, bit i the coefficient of x^(32 - i) (bit 0, the x^32 term of a remainder, is
// zero): a 64-bit half times a constant is a 96-bit value, and a 32-bit value times a
// constant a 64-bit value, with no shift to correct.
//
// Folding. A lane X is H * x^64 + L, H its first 8 bytes (low quadword), L its last 8. To
// carry X onto the data D bits further on, multiply by x^D:
//     X * x^D = H * x^(64 + D) + L * x^D, congruent to H * (x^(64+D) mod P) + L * (x^D mod P).
// Each product is a 96-bit value at the low end of the lane, where the lane's frame weighs
// bit m as x^(127 - m) against the product's x^(95 - m): x^32 too much. So the constants
// are x^(D + 32) mod P for H and x^(D - 32) mod P for L; four lanes go 64 bytes on
// (D = 512: x^544, x^480), one lane 16 bytes (D = 128: x^160, x^96).
//
// Reduction of the last lane X to the new register, X * x^32 mod P:
//   128 to 96 bits: X * x^32 = H * x^96 + L * x^32. L moved to the low end is read in a
//     96-bit frame (bit m worth x^(95 - m)) as L * x^32, and H times (x^96 mod P) is a 96-bit
//     product in that frame.
//   96 to 64 bits: the first 32 bits T are worth T * x^64; the other 64 move to the low end
//     and T times (x^64 mod P), a 64-bit product, is added.
//   64 to 32 bits (Barrett): Z = A * x^32 + B, A its first 32 bits. With u = floor(x^64 / P)
//     (33 bits), the quotient Z / P is exactly floor(A * u / x^32), the first 32 bits of the
//     64-bit product A * u: polynomials have no carries to spoil the estimate. Adding
//     quotient * P clears the first 32 bits of Z and leaves Z mod P in the other 32.
#include "codec/crc32_clmul.h"

#ifdef QV5_CRC_CLMUL
#include <immintrin.h>

namespace qv5 {

namespace {

// Per function rather than for the whole file, so that the CPU check cannot end up using
// these instructions itself.
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

} // namespace

bool crcFoldSupported()
{
    // Detection may not have run yet when this is asked from a static initialiser.
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

QV5_CLMUL_TARGET uint32_t crcFold(uint32_t r, const uint8_t* p, size_t size)
{
    // Low quadword: the constant for a lane's first 8 bytes; high: for its last 8.
    const __m128i fold512 = _mm_set_epi64x(clmulX480, clmulX544);
    const __m128i fold128 = _mm_set_epi64x(clmulX96, clmulX160);
    const __m128i fold64 = _mm_set_epi64x(0, clmulX64);
    const __m128i barrett = _mm_set_epi64x(clmulQuotient, clmulPolynomial);
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
    // 128 to 96 bits (appending the 32 zero bits), 96 to 64, then the Barrett reduction.
    x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(fold128, x0, 0x01));
    x0 = _mm_xor_si128(_mm_srli_si128(x0, 4), _mm_clmulepi64_si128(_mm_and_si128(x0, low32), fold64, 0x00));
    __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10), low32);
    x0 = _mm_xor_si128(x0, _mm_clmulepi64_si128(t, barrett, 0x00));
    return uint32_t(_mm_extract_epi32(x0, 1));
}

} // namespace qv5
#endif
