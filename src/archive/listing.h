#pragma once
#include <cstdio>

namespace qv5 {

// Prints one line per file-table entry of the archive at the file's current position and
// the number of files. False after a message when the archive is damaged.
bool listArchive(FILE* archiveFile);

} // namespace qv5
