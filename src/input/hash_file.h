#pragma once
#include "input/input_records.h"
#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qv5 {

// Called while a large file is hashed, as crc32OfFile (qv5.h) calls its progress: every
// 128 MiB, with the bytes hashed so far.
using HashProgress = std::function<void(uint64_t hashed)>;

// CRC-32 of a whole file; with size and metadata, also its size, time and mode as it was
// opened, from the same handle.
// Fails with openInput or readInput.
InputError hashFile(const std::string& path, uint32_t& crc, int64_t* size = nullptr,
                    const HashProgress& progress = nullptr, FileMetadata* metadata = nullptr);

// Called while entry k is hashed, as HashProgress is; never from two threads at once.
using EntryHashProgress = std::function<void(size_t k, uint64_t hashed)>;

// Hashes every entry as hashFile does, with its size (and with metadata, its time and mode),
// marking its CRC-32 present, on up to threads threads (0: one per core). Fails as hashing the
// entries one by one in list order would: with the first failing entry's error. With
// unreadable, no entry fails the whole: each that cannot be opened or read is listed there
// instead (in list order, with its error), and a file made when read (isVirtualFile) is read
// into its contents, its size being what was read.
InputError hashEntries(std::vector<FileEntry>& entries, bool withMetadata, int32_t threads,
                       const EntryHashProgress& progress = nullptr,
                       std::vector<std::pair<size_t, InputError>>* unreadable = nullptr);

// Largest file made when read that is kept: beyond, it is taken for unreadable.
constexpr size_t virtualFileLimit = 64u << 20;

} // namespace qv5
