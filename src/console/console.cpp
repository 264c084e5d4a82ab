#include "console/console.h"

#include <cstdarg>

namespace qv5 {

namespace {
FILE* stream = stdout;
bool quiet = false;
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
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
}

void tell(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
}

} // namespace qv5
