#pragma once
#include <cstdint>
#include <memory>

namespace qv5 {

// A buffer for one chunk: chunkSize bytes and chunkSlack more, on large pages where the
// system has them, every byte 0xFF. The slack is set too: the match finder reads a few bytes
// past a chunk's end, and what it finds there must be the same on every run.
std::unique_ptr<uint8_t[]> newChunkBuffer();

} // namespace qv5
