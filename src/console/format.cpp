#include "console/format.h"

#include <cstdio>
#include <cstring>

namespace qv5 {

namespace {

constexpr int numberBufferCount = 8;
constexpr int numberBufferSize = 129;
char numberBuffers[numberBufferCount][numberBufferSize];
unsigned numberBufferTurn = 0;
char durationBuffer[128];

// Writes the digits of value with thousands separators at out; returns the length.
int groupedDigits(uint64_t value, char* out)
{
    char digits[32];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    int length = 0;
    for (int i = n - 1; i >= 0; --i) {
        out[length++] = digits[i];
        if (i > 0 && i % 3 == 0) out[length++] = ',';
    }
    out[length] = '\0';
    return length;
}

} // namespace

const char* FormatNumber(uint64_t value, bool unitForm)
{
    numberBufferTurn = (numberBufferTurn + 1) % numberBufferCount;
    char* out = numberBuffers[numberBufferTurn];
    if (!unitForm) {
        groupedDigits(value, out);
        return out;
    }
    uint64_t integer;
    uint32_t fraction;
    const char* unit;
    if (value > (1ull << 30)) {
        integer = value >> 30;
        fraction = static_cast<uint32_t>((value >> 20) & 1023);
        unit = "GB";
    } else if (value > (1ull << 20)) {
        integer = value >> 20;
        fraction = static_cast<uint32_t>((value >> 10) & 1023);
        unit = "MB";
    } else if (value > 1024) {
        integer = value >> 10;
        fraction = static_cast<uint32_t>(value & 1023);
        unit = "KB";
    } else {
        int length = groupedDigits(value, out);
        std::strcpy(out + length, " B");
        return out;
    }
    char decimals[5];
    std::snprintf(decimals, sizeof decimals, "%0.02f",
                  static_cast<double>(static_cast<float>(fraction) * (1.0f / 1024.0f)));
    // A fraction that rounds up to 1.00 carries into the integer part.
    if (decimals[0] == '1') ++integer;
    int length = groupedDigits(integer, out);
    out[length++] = '.';
    out[length++] = decimals[2];
    out[length++] = decimals[3];
    out[length++] = ' ';
    std::strcpy(out + length, unit);
    return out;
}

const char* FormatDuration(int32_t seconds)
{
    if (seconds >= 60) {
        std::snprintf(durationBuffer, sizeof durationBuffer, "%d:%02d", seconds / 60, seconds % 60);
    } else {
        std::snprintf(durationBuffer, sizeof durationBuffer, "0:%02d", seconds < 1 ? 1 : seconds);
    }
    return durationBuffer;
}

std::string utcTimeText(int64_t nanoseconds)
{
    // Floor division: a time before 1970 belongs to the second that began before it.
    int64_t seconds = nanoseconds / 1000000000 - (nanoseconds % 1000000000 < 0 ? 1 : 0);
    int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    const int64_t secondOfDay = seconds - days * 86400;
    // Civil date of a day count since 1970-01-01 (the proleptic Gregorian calendar).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60));
    return text;
}

namespace {

// The code point of the valid UTF-8 character at text[i] and its length; 0 when none
// starts there (a stray byte, a cut, overlong or surrogate sequence).
size_t utf8Character(std::string_view text, size_t i, uint32_t& point)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    point = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        point = (point << 6) | (byte(i + k) & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    return length;
}

bool shownEscaped(uint32_t point)
{
    // C1 controls; the marks and embeddings that make text read the other way (left-to-right
    // and right-to-left marks, the Arabic letter mark among them).
    return (point >= 0x80 && point <= 0x9F) || (point >= 0x202A && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069) || point == 0x200E || point == 0x200F || point == 0x061C;
}

} // namespace

std::string printable(std::string_view text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            shown += text[i++];
            continue;
        }
        uint32_t point = 0;
        const size_t length = byte >= 0x80 ? utf8Character(text, i, point) : 0;
        if (length > 0) {
            if (shownEscaped(point)) {
                shown += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4) shown += hex[(point >> shift) & 15];
            } else {
                shown.append(text.substr(i, length));
            }
            i += length;
            continue;
        }
        if (byte > 0x9F) {
            shown += text[i++]; // a byte of a name that is not UTF-8, as it is
            continue;
        }
        shown += "\\x";
        shown += hex[byte >> 4];
        shown += hex[byte & 15];
        ++i;
    }
    return shown;
}

} // namespace qv5
