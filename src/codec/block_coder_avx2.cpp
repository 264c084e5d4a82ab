// The block writer's literal kernel with AVX2: 32 literal words packed to bytes and the bits
// of each byte reversed with two nibble look-ups.
#include "codec/block_coder.h"

#ifdef QV5_X86_KERNELS
#include <immintrin.h>

namespace qv5 {

__attribute__((target("avx2"))) bool reverseLiteralsAvx2(const uint16_t* tokens, uint8_t* bytes)
{
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tokens));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tokens + 16));
    if (!_mm256_testz_si256(_mm256_or_si256(a, b), _mm256_set1_epi16(int16_t(0xFF00)))) return false;
    // The packing works per 128-bit half: the quarters come out as a0 b0 a1 b1.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
    // Reversed nibbles: placed high for the low nibble, low for the high one.
    const __m256i toHigh = _mm256_setr_epi8(0x00, 0x80, 0x40, 0xC0, 0x20, 0xA0, 0x60, 0xE0, 0x10, 0x90, 0x50, 0xD0,
                                            0x30, 0xB0, 0x70, 0xF0, 0x00, 0x80, 0x40, 0xC0, 0x20, 0xA0, 0x60, 0xE0,
                                            0x10, 0x90, 0x50, 0xD0, 0x30, 0xB0, 0x70, 0xF0);
    const __m256i toLow = _mm256_srli_epi16(toHigh, 4); // per byte: no bit crosses, the table bytes have no low nibble
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i low = _mm256_and_si256(packed, nibble);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(packed, 4), nibble);
    const __m256i reversed = _mm256_or_si256(_mm256_shuffle_epi8(toHigh, low), _mm256_shuffle_epi8(toLow, high));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes), reversed);
    return true;
}

} // namespace qv5
#endif
