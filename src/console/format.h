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

// A time as "YYYY-MM-DD HH:MM:SS" in UTC, from nanoseconds since 1970-01-01 (earlier times
// too).
std::string utcTimeText(int64_t nanoseconds);

// A name or path as it is printed: bytes below 0x20 and 0x7F, and C1 control bytes
// (0x80-0x9F) that are not part of a UTF-8 character, become "\x" and two upper-case hex
// digits; the C1 control characters (U+0080-U+009F) and the bidirectional controls
// (U+202A-U+202E, U+2066-U+2069) become "\u" and four. So a stored name can neither move the
// cursor, clear the screen or retitle the terminal nor make itself read backwards; every
// other byte is kept.
std::string printable(std::string_view text);

} // namespace qv5
