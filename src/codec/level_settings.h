#pragma once
#include <cstdint>

namespace qv5 {

// The options record of one run. Created zero-filled by the command line, read by the
// archive writer (level picks the match finder's parameters) and by extraction
// (forceOverwrite).
struct LevelSettings {
    int32_t level = 0;         // 0-5 for c1-c6
    int32_t orderMethod = 0;   // 0-2 for -r0..-r2
    uint8_t forceOverwrite = 0;
    uint8_t createSfx = 0;
    int32_t threadCount = 0;   // compression worker threads (-tN); 0: one per core
};

} // namespace qv5
