#include "input/patterns.h"

#include "input/input_records.h"
#include "platform/utf8.h"

#include <cstddef>
#include <string>

namespace qv5 {

namespace {

char folded(char c, bool ignoreCase)
{
    if (c == '\\') return '/';
    if (ignoreCase && c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    return c;
}

std::string_view withoutLeadingSeparators(std::string_view text)
{
    size_t start = 0;
    while (start < text.size() && isPathSeparator(text[start])) ++start;
    return text.substr(start);
}

} // namespace

bool matchesPattern(std::string_view pattern, std::string_view text, bool ignoreCase)
{
    // Only the latest '*' is ever retried: whatever an earlier one would take instead, the
    // latest can take as well, so one retry point is enough and no search tree grows.
    constexpr size_t none = std::string_view::npos;
    size_t p = 0;
    size_t t = 0;
    size_t starPattern = none;
    size_t starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starPattern = ++p;
            starText = t;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            t += characterLength(text, t);
        } else if (p < pattern.size() && folded(pattern[p], ignoreCase) == folded(text[t], ignoreCase)) {
            ++p;
            ++t;
        } else if (starPattern != none) {
            // Whole characters, so that a '?' after it never starts inside one.
            p = starPattern;
            starText += characterLength(text, starText);
            t = starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool selectsStoredName(std::string_view pattern, std::string_view storedName, bool ignoreCase)
{
    pattern = withoutLeadingSeparators(pattern);
    while (!pattern.empty() && isPathSeparator(pattern.back())) pattern.remove_suffix(1);
    if (pattern.empty()) return true;
    std::string_view name = withoutLeadingSeparators(storedName);
    if (matchesPattern(pattern, name, ignoreCase)) return true;
    // A leading run of whole components matches exactly when the name matches the pattern
    // followed by "/*": one more pass instead of one per separator.
    std::string below(pattern);
    below += "/*";
    return matchesPattern(below, name, ignoreCase);
}

} // namespace qv5
