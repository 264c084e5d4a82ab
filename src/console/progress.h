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

// The per-chunk text of extraction: "Processing %s/%s KB" for the first and the last chunk,
// otherwise "%s/%s KB, %s left, %s KB/sec".
void chunkProgressText(char* out, uint64_t done, uint64_t m, uint64_t total, float g);

} // namespace qv5
