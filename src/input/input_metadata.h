#pragma once
// The metadata of an input set, as the archive's extension keeps it: every file's time and
// mode, and on Linux its owner, extended attributes, whether it is sparse and which files
// share an inode (hard links); every folder, symbolic link, FIFO and device node met.
#include "input/discovery.h"
#include "input/input_records.h"
#include "qv5/qv5.h"

#include <vector>

namespace qv5 {

// entries are in list order (the archive holds them in reverse), measured and marked as
// duplicates; extras in the order met. Fails when something cannot be read; with leftOut,
// nothing fails: a folder, link or special file that is gone or cannot be read is left out
// and listed there, a file or folder whose extended attributes cannot be read is kept without
// them and listed (a file that is gone is left to the compression, which tells).
InputError collectMetadata(const std::vector<FileEntry>& entries, const ExtraList& extras, Extension& extension,
                           std::vector<LeftOut>* leftOut = nullptr);

} // namespace qv5
