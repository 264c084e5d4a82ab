#pragma once
#include <cstddef>
#include <cstdint>

namespace qv5 {

// Sixteen tables of the reflected polynomial 0xEDB88320: T0 is the byte table, T_k the
// effect of a byte followed by k zero bytes. Filled once by buildCrcTables at start-up.
extern uint32_t crcTables[16][256];

void buildCrcTables();

// Continues a standard CRC-32 (initial value 0 for no data) over size more bytes.
uint32_t crc32Update(uint32_t crc, const void* data, size_t size);

} // namespace qv5
