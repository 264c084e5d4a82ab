#include "codec/erasure_code.h"

#include <cstring>

// The transform. With basis v_t = 2^t, V_i the span of v_0..v_(i-1) and W_i(x) the product of
// (x - a) over a in V_i (a linear map of degree 2^i), the novel basis is X_j = the product of
// W_i / W_i(v_i) over the bits i of j. A polynomial f of 2^r coefficients splits as
// f0 + (W_(r-1) / W_(r-1)(v_(r-1))) f1, and that factor is a constant lambda on the half of a
// coset that has bit r-1 clear and lambda + 1 on the other half: one butterfly
// (f0 += lambda f1; f1 += f0) leaves two polynomials of half the size, one per half. So the
// forward transform takes the coefficients to the values at points offset + u, u < 2^r, and
// the inverse takes them back; lambda of layer i for the part starting at point b is the sum
// of W_i(v_t) / W_i(v_i) over the bits t > i of b.
//
// Encoding: the inverse transform of a data block at its coset gives the polynomial of degree
// below M through it; added up over every block and taken forward at coset 0 they give the
// parity, the values at points 0..M-1 of the code word's polynomial: each block's weight in
// that polynomial is 1 on coset 0, whatever the number of blocks, so blocks can be added as
// they come.
//
// Decoding erasures: with L the product of (x - e) over the erased points (the unused parity
// points m..M-1 included), the known values times L are the values of g = f L, whose degree
// is below N; its inverse transform gives g, its formal derivative g' = f' L + f L' is f L'
// at an erased point, and the forward transform gives those values. L at every point comes
// from sums of logarithms, log L(a) = sum over erased e of log(a + e), a convolution over XOR
// done with the Walsh-Hadamard transform modulo 2^16 - 1; at an erased point the same sum
// (log 0 counted as 0) is log L'(e).
namespace qv5 {

namespace {

constexpr uint32_t fieldPolynomial = 0x1100B;
constexpr uint32_t logModulus = 65535;

struct Field {
    uint16_t exp[2 * logModulus + 1];
    uint16_t log[erasurePoints];
    uint16_t skewOf[16][16];     // W_i(v_t) / W_i(v_i)
    FactorTables derivative[16]; // W_i'(0) / W_i(v_i): the derivative of the i-th basis factor
};

uint16_t multiplyIn(const Field& field, uint16_t a, uint16_t b)
{
    return a && b ? field.exp[field.log[a] + field.log[b]] : 0;
}

uint16_t divideIn(const Field& field, uint16_t a, uint16_t b)
{
    return a ? field.exp[field.log[a] + logModulus - field.log[b]] : 0;
}

Field* buildField()
{
    Field* field = new Field();
    uint32_t x = 1;
    for (uint32_t i = 0; i < logModulus; ++i) {
        field->exp[i] = static_cast<uint16_t>(x);
        field->exp[i + logModulus] = static_cast<uint16_t>(x);
        field->log[x] = static_cast<uint16_t>(i);
        x <<= 1;
        if (x & erasurePoints) x ^= fieldPolynomial;
    }
    field->exp[2 * logModulus] = field->exp[0];
    // W_(i+1)(x) = W_i(x) (W_i(x) + W_i(v_i)), and W_(i+1)'(0) = W_i(v_i) W_i'(0).
    uint16_t w[17][16];
    uint16_t slope = 1;
    for (int t = 0; t < 16; ++t) w[0][t] = static_cast<uint16_t>(1u << t);
    for (int i = 0; i < 16; ++i) {
        for (int t = 0; t < 16; ++t) {
            field->skewOf[i][t] = divideIn(*field, w[i][t], w[i][i]);
            w[i + 1][t] = multiplyIn(*field, w[i][t], w[i][t] ^ w[i][i]);
        }
        makeFactorTables(divideIn(*field, slope, w[i][i]), field->derivative[i]);
        slope = multiplyIn(*field, slope, w[i][i]);
    }
    return field;
}

// Filled once, read-only after.
const Field& field()
{
    static const Field* const instance = buildField();
    return *instance;
}

uint16_t skewAt(const Field& field, int layer, uint32_t point)
{
    uint16_t lambda = 0;
    for (int t = layer + 1; t < 16; ++t) {
        if (point >> t & 1) lambda ^= field.skewOf[layer][t];
    }
    return lambda;
}

void xorInto(uint8_t* x, const uint8_t* y, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) x[i] ^= y[i];
}

// ---- Portable kernels: logarithms, one element at a time -----------------------------------

void portableMulAdd(uint8_t* x, const uint8_t* y, const FactorTables& f, size_t bytes)
{
    if (f.factor == 0) return;
    const Field& gf = field();
    const uint32_t logFactor = gf.log[f.factor];
    for (size_t g = 0; g < bytes; g += erasureGroupBytes) {
        for (size_t t = 0; t < 32; ++t) {
            const uint16_t v = static_cast<uint16_t>(y[g + t] | y[g + 32 + t] << 8);
            if (v == 0) continue;
            const uint16_t product = gf.exp[gf.log[v] + logFactor];
            x[g + t] ^= static_cast<uint8_t>(product);
            x[g + 32 + t] ^= static_cast<uint8_t>(product >> 8);
        }
    }
}

void portableForward(uint8_t* x, uint8_t* y, const FactorTables& f, size_t bytes)
{
    portableMulAdd(x, y, f, bytes);
    xorInto(y, x, bytes);
}

void portableInverse(uint8_t* x, uint8_t* y, const FactorTables& f, size_t bytes)
{
    xorInto(y, x, bytes);
    portableMulAdd(x, y, f, bytes);
}

const ErasureKernels portable{portableMulAdd, portableForward, portableInverse};

const ErasureKernels& chooseKernels()
{
#ifdef QV5_ERASURE_AVX2
    if (avx2Supported()) return avx2Kernels();
#endif
    return portable;
}

// ---- Transforms over slices held back to back ----------------------------------------------

struct SliceArray {
    uint8_t* base;
    size_t width;
    uint8_t* at(uint32_t j) const { return base + static_cast<size_t>(j) * width; }
};

using Butterfly = void (*)(uint8_t* x, uint8_t* y, const FactorTables& f, size_t bytes);

// One layer of a transform: slices half = 2^layer apart within each group of 2 half, by the
// group's skew factor (where it is 0 the butterfly is a plain sum, in either direction).
void transformLayer(const SliceArray& a, uint32_t size, uint32_t offset, int layer, Butterfly butterfly)
{
    const Field& gf = field();
    FactorTables tables;
    const uint32_t half = 1u << layer;
    for (uint32_t start = 0; start < size; start += 2 * half) {
        const uint16_t lambda = skewAt(gf, layer, start + offset);
        if (lambda != 0) makeFactorTables(lambda, tables);
        for (uint32_t j = start; j < start + half; ++j) {
            if (lambda == 0) {
                xorInto(a.at(j + half), a.at(j), a.width);
            } else {
                butterfly(a.at(j), a.at(j + half), tables, a.width);
            }
        }
    }
}

// Coefficients to values at points offset + u, u < size (a power of two dividing offset).
void forwardTransform(const SliceArray& a, uint32_t size, uint32_t offset)
{
    int layer = 0;
    while ((2u << layer) < size) ++layer;
    for (; layer >= 0 && size > 1; --layer) transformLayer(a, size, offset, layer, erasureKernels().forward);
}

// Values at points offset + u back to coefficients.
void inverseTransform(const SliceArray& a, uint32_t size, uint32_t offset)
{
    for (int layer = 0; (1u << layer) < size; ++layer) transformLayer(a, size, offset, layer, erasureKernels().inverse);
}

uint32_t powerOfTwoAtLeast(uint64_t count)
{
    uint32_t size = 1;
    while (size < count) size <<= 1;
    return size;
}

// The Walsh-Hadamard transform modulo 2^16 - 1.
void walsh(std::vector<uint32_t>& v)
{
    const size_t n = v.size();
    for (size_t half = 1; half < n; half <<= 1) {
        for (size_t start = 0; start < n; start += 2 * half) {
            for (size_t j = start; j < start + half; ++j) {
                const uint32_t x = v[j];
                const uint32_t y = v[j + half];
                v[j] = (x + y) % logModulus;
                v[j + half] = (x + logModulus - y) % logModulus;
            }
        }
    }
}

} // namespace

uint16_t fieldMultiply(uint16_t a, uint16_t b)
{
    return multiplyIn(field(), a, b);
}

void makeFactorTables(uint16_t factor, FactorTables& tables)
{
    tables.factor = factor;
    // The factor times each basis element x^b, by doubling.
    uint16_t powers[16];
    uint32_t v = factor;
    for (int b = 0; b < 16; ++b) {
        powers[b] = static_cast<uint16_t>(v);
        v <<= 1;
        if (v & erasurePoints) v ^= fieldPolynomial;
    }
    for (int q = 0; q < 4; ++q) {
        uint16_t products[16];
        products[0] = 0;
        for (int n = 1; n < 16; ++n) {
            const int low = n & -n; // the lowest bit: the rest was done before
            const int bit = low == 1 ? 0 : (low == 2 ? 1 : (low == 4 ? 2 : 3));
            products[n] = static_cast<uint16_t>(products[n ^ low] ^ powers[4 * q + bit]);
        }
        for (int n = 0; n < 16; ++n) {
            tables.low[q][n] = static_cast<uint8_t>(products[n]);
            tables.high[q][n] = static_cast<uint8_t>(products[n] >> 8);
        }
    }
}

const ErasureKernels& portableKernels()
{
    return portable;
}

const ErasureKernels& erasureKernels()
{
    static const ErasureKernels& chosen = chooseKernels();
    return chosen;
}

uint32_t parityBlockSize(uint32_t parityCount)
{
    return powerOfTwoAtLeast(parityCount);
}

bool erasureCodeFits(uint64_t dataCount, uint64_t parityCount)
{
    return dataCount >= 1 && parityCount >= 1 && parityCount < erasurePoints &&
           parityBlockSize(static_cast<uint32_t>(parityCount)) + dataCount <= erasurePoints;
}

void startParity(ParityEncoder& encoder, uint32_t parityCount, size_t width)
{
    encoder.parityCount = parityCount;
    encoder.blockSize = parityBlockSize(parityCount);
    encoder.width = width;
    encoder.blocksDone = 0;
    encoder.filled = 0;
    encoder.sum.assign(encoder.blockSize * width, 0);
    encoder.block.assign(encoder.blockSize * width, 0);
}

namespace {

void addBlock(ParityEncoder& encoder)
{
    const size_t used = encoder.filled * encoder.width;
    std::memset(encoder.block.data() + used, 0, encoder.block.size() - used);
    inverseTransform(SliceArray{encoder.block.data(), encoder.width}, encoder.blockSize,
                     (encoder.blocksDone + 1) * encoder.blockSize);
    xorInto(encoder.sum.data(), encoder.block.data(), encoder.sum.size());
    ++encoder.blocksDone;
    encoder.filled = 0;
}

} // namespace

uint8_t* nextDataSlice(ParityEncoder& encoder)
{
    if (encoder.filled == encoder.blockSize) addBlock(encoder);
    return encoder.block.data() + static_cast<size_t>(encoder.filled++) * encoder.width;
}

void finishParity(ParityEncoder& encoder)
{
    if (encoder.filled > 0) addBlock(encoder);
    forwardTransform(SliceArray{encoder.sum.data(), encoder.width}, encoder.blockSize, 0);
}

bool rebuildSlices(uint32_t dataCount, uint32_t parityCount, size_t width, uint8_t* const* slices,
                   const std::vector<bool>& erased)
{
    const uint32_t total = dataCount + parityCount;
    uint32_t erasedCount = 0;
    for (uint32_t i = 0; i < total; ++i) erasedCount += erased[i] ? 1 : 0;
    if (erasedCount > parityCount) return false;
    if (erasedCount == 0) return true;
    const Field& gf = field();
    const uint32_t blockSize = parityBlockSize(parityCount);
    const uint32_t size = powerOfTwoAtLeast(blockSize + dataCount);
    // Code word position of slice i (parity first, then data).
    auto pointOf = [&](uint32_t i) { return i < parityCount ? i : blockSize + (i - parityCount); };

    // Erased points: the erased slices and the unused parity points.
    std::vector<uint32_t> locator(size, 0);
    for (uint32_t i = 0; i < total; ++i) locator[pointOf(i)] = erased[i] ? 1 : 0;
    for (uint32_t p = parityCount; p < blockSize; ++p) locator[p] = 1;
    std::vector<bool> unknown(size, false);
    for (uint32_t p = 0; p < size; ++p) unknown[p] = locator[p] != 0;
    std::vector<uint32_t> logs(size, 0);
    for (uint32_t p = 1; p < size; ++p) logs[p] = gf.log[p];
    walsh(locator);
    walsh(logs);
    for (uint32_t p = 0; p < size; ++p) locator[p] = static_cast<uint32_t>(uint64_t(locator[p]) * logs[p] % logModulus);
    walsh(locator);
    // Divided by the size (2^s), that is multiplied by 2^(16 - s), as 2^16 is 1 modulo 2^16 - 1.
    uint32_t sizeBits = 0;
    while ((1u << sizeBits) < size) ++sizeBits;
    for (uint32_t p = 0; p < size; ++p) {
        locator[p] = static_cast<uint32_t>((uint64_t(locator[p]) << (16 - sizeBits)) % logModulus);
    }

    std::vector<uint8_t> work(static_cast<size_t>(size) * width, 0);
    const SliceArray g{work.data(), width};
    const ErasureKernels& kernels = erasureKernels();
    FactorTables tables;
    for (uint32_t i = 0; i < total; ++i) {
        const uint32_t p = pointOf(i);
        if (unknown[p]) continue;
        makeFactorTables(gf.exp[locator[p]], tables);
        kernels.mulAdd(g.at(p), slices[i], tables, width);
    }
    inverseTransform(g, size, 0);
    // The formal derivative: X_j' is the sum, over the bits i of j, of c_i X_(j - 2^i).
    for (uint32_t j = 0; j < size; ++j) {
        for (uint32_t bit = 0; (1u << bit) < size; ++bit) {
            if (j >> bit & 1) continue;
            kernels.mulAdd(g.at(j), g.at(j | 1u << bit), gf.derivative[bit], width);
        }
    }
    forwardTransform(g, size, 0);
    for (uint32_t i = 0; i < total; ++i) {
        if (!erased[i]) continue;
        const uint32_t p = pointOf(i);
        std::memset(slices[i], 0, width);
        makeFactorTables(gf.exp[logModulus - locator[p]], tables);
        kernels.mulAdd(slices[i], g.at(p), tables, width);
    }
    return true;
}

} // namespace qv5
