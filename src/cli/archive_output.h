#pragma once
#include <cstdio>
#include <string>

namespace qv5 {

// Where an archive is written. A regular file (or nothing) at its path is replaced only once
// the new archive is complete: it is written to a new file beside it and renamed onto it, so
// that a failed run leaves what stood there.
struct ArchiveOutput {
    FILE* file = nullptr;
    std::string finalPath;     // the regular file replaced when done
    std::string temporaryPath; // empty when written directly
    ArchiveOutput() = default;
    ArchiveOutput(const ArchiveOutput&) = delete;
    ArchiveOutput& operator=(const ArchiveOutput&) = delete;
    // Also runs when an exception (out of memory) leaves the command: the temporary file goes.
    ~ArchiveOutput();
};

// The archive path as c writes it: a link's target is what gets replaced (never a link that
// another user planted in a shared folder: see linkTarget); a device or FIFO is written
// directly, as there is nothing to keep.
bool openArchiveOutput(const std::string& archivePath, ArchiveOutput& out);
// Always a new file beside path, renamed onto it when done.
bool openOutputBeside(const std::string& path, ArchiveOutput& out);
// Closes the file and puts the temporary file in place; false, with the failed call's reason
// noted, when either fails (the temporary file then goes with out).
bool finishArchiveOutput(ArchiveOutput& out);

} // namespace qv5
