#pragma once
// UTF-8 <-> UTF-16. The program handles every name and path as UTF-8; the Windows build
// hands UTF-16 to the system. Free of system calls, so that both builds share them and the
// unit tests run them on Linux.
//
// A Windows name may hold a lone surrogate (UTF-16 that is not well-formed). It is kept as
// the three bytes UTF-8 would give its code point and read back the same way, so that every
// name found in a folder converts back to that name and its file can still be opened.
#include <string>
#include <string_view>

namespace qv5 {

// Whether text is UTF-8 as utf16OfUtf8 takes it: well-formed, plus encoded surrogates.
bool isUtf8(std::string_view text);

// The UTF-16 of text; false, with out untouched, when text is not UTF-8.
bool utf16OfUtf8(std::string_view text, std::u16string& out);

// The UTF-8 of text; a lone surrogate becomes its three-byte form.
std::string utf8OfUtf16(std::u16string_view text);

// Bytes of the character at text[at], for patterns whose '?' stands for one character: its
// UTF-8 sequence, or 1 for a byte that begins none (a name in raw bytes steps byte by byte).
size_t characterLength(std::string_view text, size_t at);

} // namespace qv5
