#include "platform/utf8.h"

#include <cstdint>

namespace qv5 {

namespace {

constexpr char32_t notUtf8 = 0xFFFFFFFF;

// The code point at text[at], moving at past it; notUtf8 for an overlong form, a stray or
// missing continuation byte or a value above U+10FFFF.
char32_t nextCodePoint(std::string_view text, size_t& at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    size_t length;
    char32_t value;
    char32_t least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        least = 0x10000;
    } else {
        return notUtf8;
    }
    if (text.size() - at < length) return notUtf8;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return notUtf8;
        value = value << 6 | (next & 0x3F);
    }
    if (value < least || value > 0x10FFFF) return notUtf8;
    at += length;
    return value;
}

void appendUtf8(std::string& out, char32_t value)
{
    if (value < 0x80) {
        out += static_cast<char>(value);
    } else if (value < 0x800) {
        out += static_cast<char>(0xC0 | value >> 6);
        out += static_cast<char>(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        out += static_cast<char>(0xE0 | value >> 12);
        out += static_cast<char>(0x80 | (value >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (value & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | value >> 18);
        out += static_cast<char>(0x80 | (value >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (value >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (value & 0x3F));
    }
}

bool isHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

bool isUtf8(std::string_view text)
{
    for (size_t at = 0; at < text.size();) {
        if (nextCodePoint(text, at) == notUtf8) return false;
    }
    return true;
}

bool utf16OfUtf8(std::string_view text, std::u16string& out)
{
    std::u16string units;
    units.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const char32_t value = nextCodePoint(text, at);
        if (value == notUtf8) return false;
        if (value < 0x10000) {
            units += static_cast<char16_t>(value);
        } else {
            units += static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF));
        }
    }
    out = std::move(units);
    return true;
}

size_t characterLength(std::string_view text, size_t at)
{
    size_t next = at;
    return nextCodePoint(text, next) == notUtf8 ? 1 : next - at;
}

std::string utf8OfUtf16(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        const char16_t unit = text[at];
        if (isHighSurrogate(unit) && at + 1 < text.size() && isLowSurrogate(text[at + 1])) {
            appendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[at + 1] - 0xDC00));
            ++at;
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

} // namespace qv5
