#pragma once
#include <cstdint>

namespace qv5 {

// Seconds between two clock readings, as the chunk timing keeps them: never below a
// microsecond, so that rates computed from them stay finite.
inline float chunkSeconds(uint32_t startMs, uint32_t endMs)
{
    float seconds = static_cast<float>(endMs - startMs) * 0.001f;
    return seconds > 0.000001f ? seconds : 0.000001f;
}

} // namespace qv5
