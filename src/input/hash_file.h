#pragma once
#include "input/input_records.h"
#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <string>

namespace qv5 {

// Called while a large file is hashed, as crc32OfFile (qv5.h) calls its progress: every
// 128 MiB, with the bytes hashed so far.
using HashProgress = std::function<void(uint64_t hashed)>;

// CRC-32 of a whole file; with size and metadata, also its size, time and mode as it was
// opened, from the same handle.
// Fails with openInput or readInput.
InputError hashFile(const std::string& path, uint32_t& crc, int64_t* size = nullptr,
                    const HashProgress& progress = nullptr, FileMetadata* metadata = nullptr);

} // namespace qv5
