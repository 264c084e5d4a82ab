#include "codec/symbol_tables.h"

namespace qv5 {

int32_t lengthBase[lengthSymbolCount];
int32_t lengthExtra[lengthSymbolCount];
int32_t distanceBase[distanceSymbolCount];
int32_t distanceExtra[distanceSymbolCount];
uint8_t lengthSymbol[lengthValueCount];
uint8_t distanceSymbol[distanceValueCount];

// How many symbols have 0, 1, 2, ... extra bits. Symbols follow in that order; each base is
// the previous base plus 2^(previous symbol's extra bits).
static constexpr int32_t lengthExtraCounts[] = {8, 4, 4, 4, 4, 4, 0, 0, 1, 1, 1};
static constexpr int32_t distanceExtraCounts[] = {4, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                                                  2, 2, 2, 2, 2, 2, 14, 0, 12};

template <int32_t CountsSize>
static void buildBases(const int32_t (&extraCounts)[CountsSize], int32_t* base, int32_t* extra) {
    int32_t symbol = 0, nextBase = 0;
    for (int32_t e = 0; e < CountsSize; ++e) {
        for (int32_t i = 0; i < extraCounts[e]; ++i, ++symbol) {
            base[symbol] = nextBase;
            extra[symbol] = e;
            nextBase += int32_t(1) << e;
        }
    }
}

// The symbol of a value is the last one whose base does not exceed it.
static void buildLookup(const int32_t* base, int32_t symbolCount, uint8_t* lookup, int32_t valueCount) {
    int32_t symbol = 0;
    for (int32_t value = 0; value < valueCount; ++value) {
        while (symbol + 1 < symbolCount && base[symbol + 1] <= value) ++symbol;
        lookup[value] = uint8_t(symbol);
    }
}

void buildLengthTables() {
    buildBases(lengthExtraCounts, lengthBase, lengthExtra);
    buildLookup(lengthBase, lengthSymbolCount, lengthSymbol, lengthValueCount);
}

void buildDistanceTables() {
    buildBases(distanceExtraCounts, distanceBase, distanceExtra);
    buildLookup(distanceBase, distanceSymbolCount, distanceSymbol, distanceValueCount);
}

} // namespace qv5
