#pragma once
#include "codec/level_settings.h"
#include "input/input_records.h"

#include <cstdio>
#include <string>

namespace qv5 {

// Writes one whole archive of the chain starting at first into the open archive file, at
// its current position. Returns false after printing what went wrong: an input that cannot
// be opened or read, an input whose size changed since it was measured, or a failed write.
// The caller then removes the incomplete archive.
bool writeArchive(FileEntry* first, FILE* archiveFile, const std::string& archivePath, const LevelSettings& settings);

} // namespace qv5
