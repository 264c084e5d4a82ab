#pragma once
#include <cstdint>

#include "codec/codec_constants.h"

// The length and distance symbols of the archive format: base value and extra-bit count per
// symbol, and the value-to-symbol look-ups. Process-wide, filled once, read-only afterwards.
namespace qv5 {

extern int32_t lengthBase[lengthSymbolCount];
extern int32_t lengthExtra[lengthSymbolCount];
extern int32_t distanceBase[distanceSymbolCount];
extern int32_t distanceExtra[distanceSymbolCount];
extern uint8_t lengthSymbol[lengthValueCount];     // by V = match length - 4
extern uint8_t distanceSymbol[distanceValueCount]; // by distance value D

void buildLengthTables();
void buildDistanceTables();

} // namespace qv5
