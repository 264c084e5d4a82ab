#pragma once
#include "codec/level_settings.h"

#include <cstdio>

namespace qv5 {

enum class ExtractResult {
    Done,             // every file written and valid
    InvalidChecksums, // every file written, some failed validation
    Failed,           // stopped after a message
};

// Restores the archive that starts at the archive file's current position. output is the
// output file (one-file archive) or folder prefix, or null for the current folder.
ExtractResult extractArchive(FILE* archiveFile, const char* output, const LevelSettings& settings);

} // namespace qv5
