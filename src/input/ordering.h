#pragma once
#include "input/input_records.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace qv5 {

// Reorders the input list in place (items move whole) before the entries are built:
//   0: by sourcePath in byte order;
//   1: by the extension of sourcePath (ASCII case-insensitive), then by sourcePath;
//   2: by content class (16, 8, 0, descending), then by sourcePath.
// All sorts are stable. Methods 1 and 2 scan the files, reporting the item about to be
// scanned at most once per second and the end of the scan. A file method 2 cannot open is of
// class 0: hashing finds out whether it can be read at all, and says so.
struct ScanReport {
    std::function<void(size_t item, size_t total)> scanning; // item counted from 1
    std::function<void()> scanned;
};
void orderInputs(InputList& list, int method, const ScanReport& report = ScanReport());

// The text from its last '.' to the end, the dot included, or "NONE" without a '.'. The dot
// may lie in a folder part: "/w/my.dir/README" gives ".dir/README".
std::string extensionOf(const std::string& text);

// Printable bytes (9, 10, 13, 32..126) add one to the score, any other byte halves it.
int32_t textScore(const uint8_t* data, size_t size);

// Bytes of the start of a file that contentClass examines.
constexpr size_t contentSampleSize = 131072;

// Coarse class of a file's contents from its first contentSampleSize bytes, read from the
// current position of file: 16 for an executable image ("MZ" and a stored name ending in
// .exe, .dll or .pdb, any case), 8 for text (textScore above 8), otherwise 0.
int contentClass(FILE* file, const std::string& storedName);

namespace detail {
// orderInputs with the clock of the progress rule supplied by the caller (milliseconds
// since the program started).
void orderInputs(InputList& list, int method, uint32_t (*clock)(), const ScanReport& report);
} // namespace detail

} // namespace qv5
