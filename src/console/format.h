#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace qv5 {

// Decimal digits with ',' between groups of three (plain form), or the value in B, KB, MB
// or GB with two decimals (unit form). Results live in 8 rotating static buffers: the
// results of the 8 most recent calls stay valid.
const char* FormatNumber(uint64_t value, bool unitForm);

// "m:ss" with unbounded minutes; below one second shows as 0:01. The result is
// overwritten by the next call.
const char* FormatDuration(int32_t seconds);

// A name or path as it is printed: bytes below 0x20 and 0x7F become "\x" and two upper-case
// hex digits, so that a stored name cannot move the cursor, clear the screen or retitle the
// terminal; every other byte is kept.
std::string printable(std::string_view text);

} // namespace qv5
