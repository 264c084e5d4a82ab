#include "codec/crc32.h"

#include <cstring>

namespace qv5 {

uint32_t crcTables[16][256];

void buildCrcTables()
{
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1)));
        crcTables[0][i] = r;
    }
    for (int k = 1; k < 16; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t previous = crcTables[k - 1][i];
            crcTables[k][i] = crcTables[0][previous & 0xFF] ^ (previous >> 8);
        }
    }
}

uint32_t crc32Update(uint32_t crc, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t r = ~crc;
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
