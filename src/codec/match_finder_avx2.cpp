// The match finder's quiet-run preparation with AVX2: eight positions at a time, each one's
// four bytes gathered from one 16-byte load by a byte shuffle, hashed and tagged with 32-bit
// multiplies. The same results as prepareQuietPortable.
#include "codec/match_finder.h"

#ifdef QV5_X86_KERNELS
#include <immintrin.h>

namespace qv5 {

__attribute__((target("avx2"))) void prepareQuietAvx2(const uint8_t* row, int32_t first, int32_t size,
                                                      uint64_t* entries, uint16_t* tokens)
{
    // Lane k of each half takes the four bytes from k on: bytes 0-6 for the low four
    // positions, 4-10 for the high four.
    const __m256i windows = _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6, //
                                             4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10);
    const __m256i hashFactor = _mm256_set1_epi32(int32_t(hashMultiplier));
    const __m256i tagFactor = _mm256_set1_epi32(int32_t(0x2545F491u));
    const __m256i lowByte = _mm256_set1_epi32(0xFF);
    __m256i positions = _mm256_add_epi32(_mm256_set1_epi32(first), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i eight = _mm256_set1_epi32(8);
    int32_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        const __m256i four = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(bytes), windows);
        const __m256i bucket = _mm256_xor_si256(_mm256_srli_epi32(_mm256_mullo_epi32(four, hashFactor), hashShift),
                                                _mm256_and_si256(four, lowByte));
        // The tag 0xFF becomes 0xFE: adding the comparison's all-ones subtracts one.
        const __m256i tag = _mm256_srli_epi32(_mm256_mullo_epi32(four, tagFactor), entryTagShift);
        const __m256i entry = _mm256_or_si256(
            _mm256_slli_epi32(_mm256_add_epi32(tag, _mm256_cmpeq_epi32(tag, lowByte)), entryTagShift), positions);
        const __m256i low = _mm256_unpacklo_epi32(entry, bucket);  // positions 0, 1 | 4, 5
        const __m256i high = _mm256_unpackhi_epi32(entry, bucket); // positions 2, 3 | 6, 7
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(entries + i), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(entries + i + 4), _mm256_permute2x128_si256(low, high, 0x31));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(tokens + i), _mm_cvtepu8_epi16(bytes));
        positions = _mm256_add_epi32(positions, eight);
    }
    if (i < size) prepareQuietPortable(row + i, first + i, size - i, entries + i, tokens + i);
}

} // namespace qv5
#endif
