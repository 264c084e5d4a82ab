#pragma once
#include "codec/cpu_features.h"
#include <cstddef>
#include <cstdint>
#include <vector>

// A Reed-Solomon erasure code over GF(2^16) (polynomial x^16 + x^12 + x^3 + x + 1), computed
// with the additive FFT of the novel polynomial basis, so that its cost grows with the log of
// the parity count rather than with the count itself.
//
// The code. A slice is a byte array whose length is a multiple of 64; each 64-byte group holds
// 32 field elements, element t being byte t plus 256 times byte 32 + t, and the code works on
// each element position of the slices independently. Point j is the field element whose bits
// are the number j. With m parity slices, M the smallest power of two at least m, k data
// slices and N the smallest power of two at least M + k, the code word is the values at
// points 0..N-1 of the polynomial of degree below N - M that is 0 at points M + k..N-1 and
// takes data slice i at point M + i; parity slice j is its value at point j. Any k of the
// k + m slices determine it.
namespace qv5 {

constexpr size_t erasureGroupBytes = 64;     // a slice's length is a multiple of this
constexpr uint32_t erasurePoints = 1u << 16; // the field's size: M + k never exceeds it

// M: the smallest power of two at least parityCount (at least 1).
uint32_t parityBlockSize(uint32_t parityCount);

// Whether k data slices and m parity slices (m >= 1) fit in the field.
bool erasureCodeFits(uint64_t dataCount, uint64_t parityCount);

// Parity from data slices given in order: each block of M slices is transformed as it is
// complete, so only two blocks are held however many data slices there are.
struct ParityEncoder {
    uint32_t parityCount = 0;
    uint32_t blockSize = 0;     // M
    size_t width = 0;           // bytes per slice
    uint32_t blocksDone = 0;    // data blocks added to sum
    uint32_t filled = 0;        // data slices in block
    std::vector<uint8_t> sum;   // M slices: the blocks' transforms added up, in the end the parity
    std::vector<uint8_t> block; // the data block being filled
};

void startParity(ParityEncoder& encoder, uint32_t parityCount, size_t width);
// Where the next data slice's width bytes go (a short last slice is padded with zeros).
uint8_t* nextDataSlice(ParityEncoder& encoder);
// After the last data slice: parity slice j is at sum.data() + j * width.
void finishParity(ParityEncoder& encoder);

// Rebuilds the erased slices in place. slices: the parityCount parity slices, then the
// dataCount data slices, width bytes each; erased flags them in the same order. False (and
// nothing changed) when more slices are erased than there are parity slices.
bool rebuildSlices(uint32_t dataCount, uint32_t parityCount, size_t width, uint8_t* const* slices,
                   const std::vector<bool>& erased);

// Field arithmetic, for tests: the product of two elements.
uint16_t fieldMultiply(uint16_t a, uint16_t b);

// ---- Kernels: x and y are slices of a multiple of 64 bytes ----------------------------------

// A factor's products with each nibble of an element, by nibble position (0: bits 0-3, ...
// 3: bits 12-15), split into the product's low and high bytes: what a byte shuffle looks up.
struct FactorTables {
    uint8_t low[4][16];
    uint8_t high[4][16];
    uint16_t factor;
};
void makeFactorTables(uint16_t factor, FactorTables& tables);

struct ErasureKernels {
    void (*mulAdd)(uint8_t* x, const uint8_t* y, const FactorTables& f, size_t bytes); // x += f y
    void (*forward)(uint8_t* x, uint8_t* y, const FactorTables& f, size_t bytes);      // x += f y; y += x
    void (*inverse)(uint8_t* x, uint8_t* y, const FactorTables& f, size_t bytes);      // y += x; x += f y
};
// The kernels every CPU runs, and the fastest this CPU has (the same results).
const ErasureKernels& portableKernels();
const ErasureKernels& erasureKernels();

#ifdef QV5_X86_KERNELS
#define QV5_ERASURE_AVX2 1
const ErasureKernels& avx2Kernels();
#endif

} // namespace qv5
