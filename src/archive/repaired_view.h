#pragma once
// A repaired view of a damaged file: the data slices the recovery data rebuilt, read over the
// file's own bytes by position, so that an archive reader sees the file as it was written.
#include "qv5/qv5.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace qv5 {

struct RepairedView {
    uint64_t size = 0;           // the file as written: its protected bytes and the block
    uint64_t protectedBytes = 0; // where the block begins
    uint32_t sliceSize = 0;
    std::vector<uint32_t> slices;              // the rebuilt data slices' numbers, in order
    std::vector<std::vector<uint8_t>> rebuilt; // their bytes, sliceSize each
};

// Reads count bytes at offset (from the file's first byte) of the file as the view shows it:
// the file's own bytes, the rebuilt slices over them, and zeros where the file ends before
// size. Fewer only past size; failed is set when a read of the file fails.
size_t readRepaired(const RepairedView& view, FILE* file, uint64_t offset, uint8_t* bytes, size_t count, bool& failed);

} // namespace qv5
