#pragma once
#include <array>
#include <cstdint>

#include "codec/codec_constants.h"

// The length and distance symbols of the archive format: base value and extra-bit count per
// symbol, and the value-to-symbol look-ups. Computed at compile time, so nothing has to fill
// them before use.
namespace qv5 {

namespace detail {

// How many symbols have 0, 1, 2, ... extra bits. Symbols follow in that order; each base is
// the previous base plus 2^(previous symbol's extra bits).
inline constexpr int32_t lengthExtraCounts[] = {8, 4, 4, 4, 4, 4, 0, 0, 1, 1, 1};
inline constexpr int32_t distanceExtraCounts[] = {4, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 14, 0, 12};

template <int32_t SymbolCount, int32_t CountsSize>
constexpr std::array<int32_t, SymbolCount> symbolExtras(const int32_t (&extraCounts)[CountsSize])
{
    std::array<int32_t, SymbolCount> extra{};
    int32_t symbol = 0;
    for (int32_t e = 0; e < CountsSize; ++e) {
        for (int32_t i = 0; i < extraCounts[e]; ++i) extra[size_t(symbol++)] = e;
    }
    return extra;
}

template <size_t SymbolCount>
constexpr std::array<int32_t, SymbolCount> symbolBases(const std::array<int32_t, SymbolCount>& extra)
{
    std::array<int32_t, SymbolCount> base{};
    for (size_t symbol = 1; symbol < SymbolCount; ++symbol) {
        base[symbol] = base[symbol - 1] + (int32_t(1) << extra[symbol - 1]);
    }
    return base;
}

// The symbol of a value is the last one whose base does not exceed it.
template <int32_t ValueCount, size_t SymbolCount>
constexpr std::array<uint8_t, ValueCount> symbolLookup(const std::array<int32_t, SymbolCount>& base)
{
    std::array<uint8_t, ValueCount> lookup{};
    size_t symbol = 0;
    for (int32_t value = 0; value < ValueCount; ++value) {
        while (symbol + 1 < SymbolCount && base[symbol + 1] <= value) ++symbol;
        lookup[size_t(value)] = uint8_t(symbol);
    }
    return lookup;
}

template <int32_t CountsSize>
constexpr int32_t countSum(const int32_t (&counts)[CountsSize])
{
    int32_t sum = 0;
    for (int32_t count : counts) sum += count;
    return sum;
}
static_assert(countSum(lengthExtraCounts) == lengthSymbolCount);
static_assert(countSum(distanceExtraCounts) == distanceSymbolCount);

} // namespace detail

inline constexpr std::array<int32_t, lengthSymbolCount> lengthExtra =
    detail::symbolExtras<lengthSymbolCount>(detail::lengthExtraCounts);
inline constexpr std::array<int32_t, lengthSymbolCount> lengthBase = detail::symbolBases(lengthExtra);
inline constexpr std::array<int32_t, distanceSymbolCount> distanceExtra =
    detail::symbolExtras<distanceSymbolCount>(detail::distanceExtraCounts);
inline constexpr std::array<int32_t, distanceSymbolCount> distanceBase = detail::symbolBases(distanceExtra);
// by V = match length - 4
inline constexpr std::array<uint8_t, lengthValueCount> lengthSymbol =
    detail::symbolLookup<lengthValueCount>(lengthBase);
// by distance value D
inline constexpr std::array<uint8_t, distanceValueCount> distanceSymbol =
    detail::symbolLookup<distanceValueCount>(distanceBase);

} // namespace qv5
