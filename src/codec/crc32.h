#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace qv5 {

namespace detail {

constexpr std::array<std::array<uint32_t, 256>, 16> makeCrcTables()
{
    std::array<std::array<uint32_t, 256>, 16> tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1)));
        tables[0][i] = r;
    }
    for (size_t k = 1; k < 16; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t previous = tables[k - 1][i];
            tables[k][i] = tables[0][previous & 0xFF] ^ (previous >> 8);
        }
    }
    return tables;
}

} // namespace detail

// Sixteen tables of the reflected polynomial 0xEDB88320: T0 is the byte table, T_k the
// effect of a byte followed by k zero bytes. Computed at compile time.
inline constexpr std::array<std::array<uint32_t, 256>, 16> crcTables = detail::makeCrcTables();

// Continues a standard CRC-32 (initial value 0 for no data) over size more bytes.
uint32_t crc32Update(uint32_t crc, const void* data, size_t size);

// The CRC-32 of bytes A followed by bytes B, from the CRC-32 of each and B's length, without
// reading either: a few hundred multiplications of polynomials modulo the generator.
uint32_t crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB);

} // namespace qv5
