#include "console/progress.h"

#include "console/console.h"
#include "console/format.h"

#include <cstdio>

namespace qv5 {

void ProgressLine::show(const char* text)
{
    if (consoleQuiet()) return;
    tell("\r%-79s", text);
    std::fflush(consoleStream());
}

void ProgressLine::blank()
{
    show("");
}

void ProgressLine::clear()
{
    if (consoleQuiet()) return;
    tell("\r%-79s\r", "");
    std::fflush(consoleStream());
}

int32_t chunkTimeLeft(uint64_t total, uint64_t done, float g)
{
    float left = static_cast<float>(total - done) * g * (1.0f / 16777216.0f);
    return static_cast<int32_t>(left);
}

uint64_t chunkRate(float g)
{
    return static_cast<uint64_t>(16384.0f / g);
}

void chunkProgressText(char* out, uint64_t done, uint64_t m, uint64_t total, float g)
{
    if (done == 0 || done + m >= total) {
        std::snprintf(out, progressTextSize, "Processing %s/%s KB", FormatNumber((done + m) / 1024, false),
                      FormatNumber(total / 1024, false));
        return;
    }
    std::snprintf(out, progressTextSize, "%s/%s KB, %s left, %s KB/sec", FormatNumber((done + m) / 1024, false),
                  FormatNumber(total / 1024, false), FormatDuration(chunkTimeLeft(total, done, g)),
                  FormatNumber(chunkRate(g), false));
}

} // namespace qv5
