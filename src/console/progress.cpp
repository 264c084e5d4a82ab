#include "console/progress.h"

#include "console/console.h"
#include "console/format.h"
#include "platform/platform.h"

#include <algorithm>
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

int32_t steadyTimeLeft(SteadyEstimate& estimate, uint64_t total, uint64_t done, float g, uint32_t nowMs)
{
    estimate.secondsPerChunk = estimate.started ? 0.75f * estimate.secondsPerChunk + 0.25f * g : g;
    const float raw = static_cast<float>(total - done) * estimate.secondsPerChunk * (1.0f / 16777216.0f);
    if (!estimate.started) {
        estimate.shown = raw;
    } else {
        const float elapsed = static_cast<float>(nowMs - estimate.shownAtMs) * 0.001f;
        estimate.shown = std::clamp(raw, std::max(estimate.shown - elapsed, 0.0f), estimate.shown + elapsed);
    }
    estimate.started = true;
    estimate.shownAtMs = nowMs;
    return static_cast<int32_t>(estimate.shown);
}

void chunkProgressText(char* out, uint64_t done, uint64_t m, uint64_t total, float g, SteadyEstimate* estimate)
{
    if (done == 0 || done + m >= total) {
        std::snprintf(out, progressTextSize, "Processing %s/%s KB", FormatNumber((done + m) / 1024, false),
                      FormatNumber(total / 1024, false));
        return;
    }
    const int32_t left = estimate ? steadyTimeLeft(*estimate, total, done, g, clockMs()) : chunkTimeLeft(total, done, g);
    std::snprintf(out, progressTextSize, "%s/%s KB, %s left, %s KB/sec", FormatNumber((done + m) / 1024, false),
                  FormatNumber(total / 1024, false), FormatDuration(left), FormatNumber(chunkRate(g), false));
}

} // namespace qv5
