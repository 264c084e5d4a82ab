#pragma once
#include "input/input_records.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv5 {

// Bytes read from each file per step of the content comparison.
constexpr size_t compareReadSize = 262144;

enum class ContentMatch { same, different, failed };

// Marks every copy of an earlier entry as duplicate and moves it directly behind the entry
// it equals, so that each group of identical files becomes one run: its earliest member,
// unmarked, then the others, marked. Needs size and crc of every entry. Files that share size
// and CRC-32 with another are read once more for a keyed digest, and only files of equal
// digest are compared byte by byte; the result and the output are those of comparing every
// pair of equal size and CRC-32 in order (see detail::regroupDuplicates). count is the
// number of entries marked. Fails with openInput or readInput when a file cannot be opened
// or read; with unreadable, such a file is listed there instead (once, with its error) and
// is a copy of no other. A file kept as it was read (contents) is never a copy either.
// Fewer than two entries: nothing happens.
InputError findDuplicates(std::vector<FileEntry>& entries, int64_t& count,
                          std::vector<InputError>* unreadable = nullptr);

// Removes the entries whose source paths are listed, keeping every run of copies whole: where
// a run's first entry goes, the next one left holds its bytes.
void removeEntries(std::vector<FileEntry>& entries, const std::vector<std::string>& paths);

// Whether the two source files have the same size and the same bytes, read in lockstep in
// steps of compareReadSize into the two buffers (each at least that large). Returns failed,
// with the reason in *failure when given, when a file cannot be opened or read.
ContentMatch sameContent(const FileEntry& a, const FileEntry& b, uint8_t* bufferA, uint8_t* bufferB,
                         InputError* failure = nullptr);

} // namespace qv5
