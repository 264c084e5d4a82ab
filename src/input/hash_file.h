#pragma once
#include <cstdint>
#include <string>

namespace qv5 {

// CRC-32 of a whole file. index is the file's 1-based position among total files and drives
// the progress line; -1 switches all output off. Returns false after printing
// "Error opening input file %s\n" or "Error reading input file %s\n". With size, also
// stores the file's size as it was opened, from the same handle.
bool hashFile(const std::string& path, int32_t index, int32_t total, uint32_t& crc, int64_t* size = nullptr);

} // namespace qv5
