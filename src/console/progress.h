#pragma once
#include <cstdint>

namespace qv5 {

// The one status line that is rewritten in place. Every operation is one write to standard
// output, flushed.
namespace ProgressLine {
void show(const char* text); // "\r%-79s"
void blank();                // 79 spaces, cursor at the line's end
void clear();                // 79 spaces, cursor back at the line's start
} // namespace ProgressLine

constexpr int progressTextSize = 256;

// Estimated seconds left when total - done bytes remain at g seconds per 16 MiB.
int32_t chunkTimeLeft(uint64_t total, uint64_t done, float g);

// KB per second when the previous 16 MiB chunk took g seconds.
uint64_t chunkRate(float g);

// The time left as shown over a run: the seconds per chunk averaged over the recent chunks,
// and each estimate kept within the time elapsed since the one before (a correct estimate
// falls by just that), so that it never jumps when one chunk went faster or slower.
struct SteadyEstimate {
    bool started = false;
    float secondsPerChunk = 0; // the recent chunks' average
    float shown = 0;           // the estimate shown last, in seconds ...
    uint32_t shownAtMs = 0;    // ... and when
};

// The seconds left to show at nowMs (clockMs) when total - done bytes remain and the previous
// 16 MiB chunk took g seconds.
int32_t steadyTimeLeft(SteadyEstimate& estimate, uint64_t total, uint64_t done, float g, uint32_t nowMs);

// The per-chunk text of extraction: "Processing %s/%s KB" for the first and the last chunk,
// otherwise "%s/%s KB, %s left, %s KB/sec"; the time left from estimate when given.
void chunkProgressText(char* out, uint64_t done, uint64_t m, uint64_t total, float g,
                       SteadyEstimate* estimate = nullptr);

} // namespace qv5
