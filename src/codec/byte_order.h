#pragma once
#include <bit>
#include <cstdint>
#include <cstring>

// Little-endian loads and stores of unaligned bytes: the match finder's comparisons, the
// bit streams, the block coder and the archive header all go through these.
namespace qv5 {

inline uint32_t loadU32(const uint8_t* bytes)
{
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline uint64_t loadU64(const uint8_t* bytes)
{
    uint64_t v;
    std::memcpy(&v, bytes, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

inline void storeU32(uint8_t* bytes, uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(bytes, &v, 4);
}

inline void storeU64(uint8_t* bytes, uint64_t v)
{
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(bytes, &v, 8);
}

} // namespace qv5
