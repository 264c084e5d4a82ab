#pragma once
#include "cli/run_options.h"

#include <cstdint>
#include <cstdio>

namespace qv5 {

// l: lists the archive that starts at the file's position. Returns the exit status.
int32_t listCommand(FILE* archiveFile);

enum class ExtractOutcome {
    done,             // every file written and valid
    invalidChecksums, // every file written, some failed validation
    failed,           // stopped after a message
};

// d and the self-extracting copy: restores the archive that starts at the file's position.
// output is the output file (one-file archive) or folder prefix, or null for the current
// folder.
ExtractOutcome extractCommand(FILE* archiveFile, const char* output, const RunOptions& options);

} // namespace qv5
