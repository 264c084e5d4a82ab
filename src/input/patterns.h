#pragma once
#include <string_view>

namespace qv5 {

// Wildcard match of a whole text: '*' matches any run of bytes, separators included, '?'
// exactly one byte. '/' and '\' are the same wherever they stand, as they are in stored
// names; with ignoreCase, ASCII letters compare without case. Time grows with the product
// of the two lengths at worst, never exponentially, whatever the pattern.
bool matchesPattern(std::string_view pattern, std::string_view text, bool ignoreCase);

// Whether an extraction pattern selects a stored name: the name without its leading
// separators matches the pattern without its own leading and trailing ones, or a leading
// run of the name's whole components does, so that a folder's name selects everything
// below it. A pattern of separators alone selects every name.
bool selectsStoredName(std::string_view pattern, std::string_view storedName, bool ignoreCase);

} // namespace qv5
