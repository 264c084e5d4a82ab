#include "archive/stored_names.h"

#include <string_view>

namespace qv5 {

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

// Windows turns "..", ". .", "... " and the like into ".." when it drops a component's
// trailing dots and spaces.
bool climbsOnWindows(std::string_view component)
{
    int dots = 0;
    for (char c : component) {
        if (c == '.') {
            ++dots;
        } else if (c != ' ') {
            return false;
        }
    }
    return dots >= 2;
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The part before the first dot, without trailing spaces, names a device in every folder.
bool namesDevice(std::string_view component)
{
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    std::string key;
    for (char c : base) key += upper(c);
    if (key == "CON" || key == "PRN" || key == "AUX" || key == "NUL" || key == "CONIN$" || key == "CONOUT$") {
        return true;
    }
    if (key.compare(0, 3, "COM") != 0 && key.compare(0, 3, "LPT") != 0) return false;
    // COM1-9 and LPT1-9, and as Windows also takes them, with a superscript 1, 2 or 3 (UTF-8).
    const std::string_view number = std::string_view(key).substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

} // namespace

NameFault faultOf(const std::string& name, bool strict)
{
    if (name.find('\0') != std::string::npos) return NameFault::nul;
    if (strict && (name.empty() || !isSeparator(name[0]))) return NameFault::noLeadingSeparator;
    size_t components = 0;
    size_t start = strict ? 1 : 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !isSeparator(name[end])) ++end;
        std::string_view component(name.data() + start, end - start);
        if (component == "..") return NameFault::parentReference;
        if (strict && (component.empty() || component == ".")) {
            // "/" and "/." name the output folder itself.
            return components == 0 && end == name.size() ? NameFault::outputFolder : NameFault::dotOrEmpty;
        }
        ++components;
        start = end + 1;
    }
    return NameFault::none;
}

NameRefusal refusalOf(const std::string& name, bool windowsRules)
{
    NameRefusal found = NameRefusal::none;
    bool device = false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !isSeparator(name[end])) ++end;
        std::string_view component(name.data() + start, end - start);
        if (component == ".." || (windowsRules && climbsOnWindows(component))) return NameRefusal::parentReference;
        if (windowsRules && namesDevice(component)) device = true;
        start = end + 1;
    }
    if (windowsRules && name.find(':') != std::string::npos) found = NameRefusal::notRelative;
    if (found == NameRefusal::none && device) found = NameRefusal::deviceName;
    return found;
}

} // namespace qv5
