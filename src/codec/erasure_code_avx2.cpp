// The erasure code's kernels with AVX2 byte shuffles: a product of a slice's elements by one
// factor is eight table look-ups per 32 elements, one per nibble position and product byte.
#include "codec/erasure_code.h"

#ifdef QV5_ERASURE_AVX2
#include <immintrin.h>

namespace qv5 {

namespace {

// Per function rather than for the whole file, so that the CPU check cannot end up using
// these instructions itself.
#define QV5_AVX2_TARGET __attribute__((target("avx2")))

struct Shuffles {
    __m256i low[4];
    __m256i high[4];
};

QV5_AVX2_TARGET inline void loadTables(const FactorTables& f, Shuffles& s)
{
    for (int q = 0; q < 4; ++q) {
        s.low[q] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f.low[q])));
        s.high[q] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f.high[q])));
    }
}

// The products of the 32 elements of the 64-byte group at y: low bytes, high bytes.
QV5_AVX2_TARGET inline void product(const Shuffles& s, const uint8_t* y, __m256i& low, __m256i& high)
{
    const __m256i mask = _mm256_set1_epi8(0x0F);
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 32));
    const __m256i n0 = _mm256_and_si256(a, mask);
    const __m256i n1 = _mm256_and_si256(_mm256_srli_epi16(a, 4), mask);
    const __m256i n2 = _mm256_and_si256(b, mask);
    const __m256i n3 = _mm256_and_si256(_mm256_srli_epi16(b, 4), mask);
    low = _mm256_xor_si256(_mm256_xor_si256(_mm256_shuffle_epi8(s.low[0], n0), _mm256_shuffle_epi8(s.low[1], n1)),
                           _mm256_xor_si256(_mm256_shuffle_epi8(s.low[2], n2), _mm256_shuffle_epi8(s.low[3], n3)));
    high = _mm256_xor_si256(_mm256_xor_si256(_mm256_shuffle_epi8(s.high[0], n0), _mm256_shuffle_epi8(s.high[1], n1)),
                            _mm256_xor_si256(_mm256_shuffle_epi8(s.high[2], n2), _mm256_shuffle_epi8(s.high[3], n3)));
}

QV5_AVX2_TARGET inline __m256i load(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

QV5_AVX2_TARGET inline void store(uint8_t* p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

QV5_AVX2_TARGET void avx2MulAdd(uint8_t* x, const uint8_t* y, const FactorTables& f, size_t bytes)
{
    Shuffles s;
    loadTables(f, s);
    for (size_t g = 0; g < bytes; g += erasureGroupBytes) {
        __m256i low, high;
        product(s, y + g, low, high);
        store(x + g, _mm256_xor_si256(load(x + g), low));
        store(x + g + 32, _mm256_xor_si256(load(x + g + 32), high));
    }
}

QV5_AVX2_TARGET void avx2Forward(uint8_t* x, uint8_t* y, const FactorTables& f, size_t bytes)
{
    Shuffles s;
    loadTables(f, s);
    for (size_t g = 0; g < bytes; g += erasureGroupBytes) {
        __m256i low, high;
        product(s, y + g, low, high);
        const __m256i x0 = _mm256_xor_si256(load(x + g), low);
        const __m256i x1 = _mm256_xor_si256(load(x + g + 32), high);
        store(x + g, x0);
        store(x + g + 32, x1);
        store(y + g, _mm256_xor_si256(load(y + g), x0));
        store(y + g + 32, _mm256_xor_si256(load(y + g + 32), x1));
    }
}

QV5_AVX2_TARGET void avx2Inverse(uint8_t* x, uint8_t* y, const FactorTables& f, size_t bytes)
{
    Shuffles s;
    loadTables(f, s);
    for (size_t g = 0; g < bytes; g += erasureGroupBytes) {
        const __m256i y0 = _mm256_xor_si256(load(y + g), load(x + g));
        const __m256i y1 = _mm256_xor_si256(load(y + g + 32), load(x + g + 32));
        store(y + g, y0);
        store(y + g + 32, y1);
        __m256i low, high;
        product(s, y + g, low, high);
        store(x + g, _mm256_xor_si256(load(x + g), low));
        store(x + g + 32, _mm256_xor_si256(load(x + g + 32), high));
    }
}

const ErasureKernels avx2{avx2MulAdd, avx2Forward, avx2Inverse};

} // namespace

const ErasureKernels& avx2Kernels()
{
    return avx2;
}

} // namespace qv5
#endif
