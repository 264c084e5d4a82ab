#pragma once
#include <cstdint>

namespace qv5 {

// Decimal digits with ',' between groups of three (plain form), or the value in B, KB, MB
// or GB with two decimals (unit form). Results live in 8 rotating static buffers: the
// results of the 8 most recent calls stay valid.
const char* FormatNumber(uint64_t value, bool unitForm);

// "m:ss" with unbounded minutes; below one second shows as 0:01. The result is
// overwritten by the next call.
const char* FormatDuration(int32_t seconds);

} // namespace qv5
