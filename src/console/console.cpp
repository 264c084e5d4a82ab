#include "console/console.h"

#include "console/format.h"
#include "platform/platform.h"

#include <cstdarg>
#include <string>

namespace qv5 {

namespace {
FILE* stream = stdout;
bool quiet = false;

// Formatted first, so that the platform writes the whole text at once (on a Windows console
// window as UTF-16).
void write(const char* format, va_list arguments)
{
    va_list again;
    va_copy(again, arguments);
    char small[512];
    int length = std::vsnprintf(small, sizeof small, format, arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    std::string text;
    if (static_cast<size_t>(length) < sizeof small) {
        text.assign(small, static_cast<size_t>(length));
    } else {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    writeText(stream, text);
}

} // namespace

void setConsole(FILE* to, bool quietly)
{
    stream = to;
    quiet = quietly;
}

FILE* consoleStream()
{
    return stream;
}

bool consoleQuiet()
{
    return quiet;
}

void say(const char* format, ...)
{
    if (quiet) return;
    va_list arguments;
    va_start(arguments, format);
    write(format, arguments);
    va_end(arguments);
}

void tell(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write(format, arguments);
    va_end(arguments);
}

void tellReason(const std::string& path, const std::string& reason)
{
    if (reason.empty()) return;
    std::fflush(stream); // the message first, where both streams end up in one place
    writeText(stderr, "qv5: " + printable(path) + ": " + printable(reason) + "\n");
    std::fflush(stderr);
}

} // namespace qv5
