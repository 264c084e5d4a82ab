#pragma once
#include "cli/run_options.h"
#include "qv5/qv5.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace qv5 {

// -protect=N as given: N, or 0 with valid false when it is no whole number from 1 to 50.
struct ProtectFlag {
    int percent = 0;
    bool valid = true;
};
ProtectFlag readProtectFlag(const std::string& value);

// c -protect: whether the archive path can take a recovery block (a file, not a stream or a
// device: the block is computed from the archive as written); false after a message.
bool canProtect(const std::string& archivePath);

// c -protect, once the archive is complete in file (written through temporaryPath, which can
// be read back): appends the recovery block and tells its size. False after a message.
bool appendRecoveryBlock(FILE* file, const std::string& temporaryPath, const std::string& archivePath, int32_t percent);

// t and d of a file: the recovery block's verdict before the archive is read. Nothing is
// printed for a file without one. go tells whether the command should read the archive on;
// repaired, when damaged data slices were rebuilt, is what to read it through; status is 1
// when anything is damaged beyond what the recovery data repairs.
struct RecoveryVerdict {
    bool go = true;
    int32_t status = 0;
    bool found = false; // the file has a recovery block
    uint64_t protectedBytes = 0; // ... after this many bytes it protects
    RepairedViewPtr repaired;
};
RecoveryVerdict checkBeforeReading(const std::string& archivePath);

// t and d of a file in which checkBeforeReading found no recovery block: the block's first
// copy of its description looked for where the reading found the archive to end (archiveEnd,
// 0: unknown), which finds a block whose end was lost, and its verdict told. Returns the
// status: 1 when it is damaged beyond repair or cannot be read.
int32_t checkAfterReading(const std::string& archivePath, uint64_t archiveEnd);

// r archive output: writes the repaired archive to a new file. Returns the exit status.
int32_t repairCommand(const std::string& archivePath, const std::string& outputPath, const RunOptions& options);

} // namespace qv5
