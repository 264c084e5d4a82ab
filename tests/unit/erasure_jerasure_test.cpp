// The erasure code's parity against an independent library's encoder: the generator matrix
// of the code as its definition states it (parity slice j is the value at point j of the
// polynomial through the data at points M + i and zero at the other message points, by
// Lagrange's formula), with that library's GF(2^16) arithmetic and matrix encoding.
#include "codec/erasure_code.h"

#include <gtest/gtest.h>

#include <jerasure.h>
#include <jerasure/galois.h>

#include <cstring>
#include <random>
#include <vector>

namespace qv5 {
namespace {

TEST(ErasureCodeAgainstJerasure, SameParityAsTheGeneratorMatrix)
{
    const struct {
        int data, parity;
    } shapes[] = {{1, 1}, {5, 3}, {20, 4}, {33, 7}, {60, 16}};
    std::mt19937 random(5);
    for (const auto& shape : shapes) {
        const int k = shape.data, m = shape.parity;
        const uint32_t blockSize = parityBlockSize(static_cast<uint32_t>(m));
        uint32_t size = 1;
        while (size < blockSize + k) size <<= 1;
        std::vector<int> matrix(static_cast<size_t>(m) * k);
        for (int j = 0; j < m; ++j) {
            for (int i = 0; i < k; ++i) {
                const int point = static_cast<int>(blockSize) + i;
                int value = 1;
                for (uint32_t other = blockSize; other < size; ++other) {
                    if (static_cast<int>(other) == point) continue;
                    value = galois_single_multiply(value, j ^ static_cast<int>(other), 16);
                    value = galois_single_divide(value, point ^ static_cast<int>(other), 16);
                }
                matrix[static_cast<size_t>(j) * k + i] = value;
            }
        }
        // One 64-byte group per slice: 32 elements, element t = byte t + 256 * byte 32 + t.
        const size_t width = erasureGroupBytes;
        std::vector<std::vector<uint8_t>> data(k, std::vector<uint8_t>(width));
        std::vector<std::vector<uint16_t>> words(k, std::vector<uint16_t>(32));
        std::vector<std::vector<uint16_t>> coding(m, std::vector<uint16_t>(32));
        std::vector<char*> dataPointers, codingPointers;
        ParityEncoder encoder;
        startParity(encoder, static_cast<uint32_t>(m), width);
        for (int i = 0; i < k; ++i) {
            for (uint8_t& byte : data[i]) byte = static_cast<uint8_t>(random());
            for (int t = 0; t < 32; ++t) words[i][t] = static_cast<uint16_t>(data[i][t] | data[i][32 + t] << 8);
            std::memcpy(nextDataSlice(encoder), data[i].data(), width);
            dataPointers.push_back(reinterpret_cast<char*>(words[i].data()));
        }
        finishParity(encoder);
        for (int j = 0; j < m; ++j) codingPointers.push_back(reinterpret_cast<char*>(coding[j].data()));
        jerasure_matrix_encode(k, m, 16, matrix.data(), dataPointers.data(), codingPointers.data(), 64);
        for (int j = 0; j < m; ++j) {
            const uint8_t* parity = encoder.sum.data() + static_cast<size_t>(j) * width;
            for (int t = 0; t < 32; ++t) {
                ASSERT_EQ(parity[t] | parity[32 + t] << 8, coding[j][t])
                    << k << "+" << m << ": parity slice " << j << ", element " << t;
            }
        }
    }
}

TEST(ErasureCodeAgainstJerasure, SameFieldProducts)
{
    std::mt19937 random(9);
    for (int trial = 0; trial < 2000; ++trial) {
        const uint16_t a = static_cast<uint16_t>(random()), b = static_cast<uint16_t>(random());
        ASSERT_EQ(fieldMultiply(a, b), galois_single_multiply(a, b, 16)) << a << " * " << b;
    }
}

} // namespace
} // namespace qv5
