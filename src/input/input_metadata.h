#pragma once
// The metadata of an input set, as the archive's extension keeps it: every file's time and
// mode, and on Linux its owner, extended attributes, whether it is sparse and which files
// share an inode (hard links); every folder, symbolic link, FIFO and device node met.
#include "input/input_records.h"
#include "qv5/qv5.h"

#include <vector>

namespace qv5 {

// entries are in list order (the archive holds them in reverse), measured and marked as
// duplicates; extras in the order met.
InputError collectMetadata(const std::vector<FileEntry>& entries, const ExtraList& extras, Extension& extension);

} // namespace qv5
