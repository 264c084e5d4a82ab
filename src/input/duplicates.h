#pragma once
#include "input/input_records.h"

#include <cstddef>
#include <cstdint>
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
// pair of equal size and CRC-32 in order (see detail::regroupDuplicates). Prints
// "Checking duplicates... " and "%d/%d\n" with the number marked and the number of entries.
// Returns false after the message of sameContent when a file cannot be opened or read; the
// caller ends the command with exit status 1. Fewer than two entries: nothing happens and
// nothing is printed.
bool findDuplicates(std::vector<FileEntry>& entries);

// Whether the two source files have the same size and the same bytes, read in lockstep in
// steps of compareReadSize into the two buffers (each at least that large). Prints "Error
// opening input file %s\n" or "Error reading input file %s\n" and returns failed when a file
// cannot be opened or read.
ContentMatch sameContent(const FileEntry& a, const FileEntry& b, uint8_t* bufferA, uint8_t* bufferB);

} // namespace qv5
