#pragma once
#include "archive/positioned_bytes.h"
#include "cli/run_options.h"
#include "qv5/qv5.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qv5 {

// l: lists the archive that starts at the file's position; verbose: one line per item with its
// type, mode, owner, size and time (what the archive does not store shows as '-'), a '+' after
// the mode of an item with extended attributes, and with attributeNames their names below it.
// With patterns, only the items they select (as d selects them), numbered as in the whole
// table. Returns the exit status.
// source: a sealed archive's plain bytes, read instead of the file's.
int32_t listCommand(FILE* archiveFile, bool verbose = false, const std::vector<std::string>& patterns = {},
                    bool attributeNames = false, const PositionedBytes* source = nullptr);

// t and d of an archive file with recovery data: the file read through the data slices the
// recovery data rebuilt (null: as it is); and, once the command is over, where the reading found
// the archive to end (0: unknown), where a recovery block begins.
struct ThroughRecovery {
    const RepairedView* repaired = nullptr;
    const PositionedBytes* source = nullptr; // a sealed archive's plain bytes, read instead
    uint64_t archiveEnd = 0;
};

enum class ExtractOutcome {
    done,             // every file written (or tested) and valid
    invalidChecksums, // every file written (or tested), some failed validation
    incomplete,       // every file written and valid, some metadata not restored
    damaged,          // damaged chunks cost some files; every other one written (or tested)
    failed,           // stopped after a message
};

// d and the self-extracting copy: restores the archive that starts at the file's position.
// output is the output file (one-file archive) or folder prefix, or null for the current
// folder. With patterns, only the entries they select are written.
ExtractOutcome extractCommand(FILE* archiveFile, const char* output, const RunOptions& options,
                              const std::vector<std::string>& patterns = {}, ThroughRecovery* through = nullptr);

// t: decodes the archive and checks every entry's CRC-32 (or those the patterns select),
// writing nothing.
ExtractOutcome testCommand(FILE* archiveFile, const RunOptions& options, const std::vector<std::string>& patterns = {},
                           ThroughRecovery* through = nullptr);

// d archive -: the bytes of every entry the patterns select (all without), in archive order,
// to standard output; each checked against its CRC-32.
ExtractOutcome extractToStandardOutput(FILE* archiveFile, const RunOptions& options,
                                       const std::vector<std::string>& patterns, ThroughRecovery* through = nullptr);

} // namespace qv5
