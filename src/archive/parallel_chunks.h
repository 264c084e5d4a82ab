#pragma once
#include "archive/concat_reader.h"
#include "codec/bit_stream.h"
#include "codec/match_finder.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace qv5 {

// Called on the writing thread right before a chunk's blocks are written (the writer stands at
// the chunk's first bit), with the bytes of the chunks before it, the chunk's bytes and size and
// the seconds the previous chunk took.
using ChunkStarted = std::function<void(uint64_t done, const uint8_t* bytes, uint64_t size, float previousSeconds)>;

// Compresses the stream of reader with threads workers and writes exactly the bits the
// sequential loop would write: where a guess can hold, chunks are parsed at once from a
// guessed adaptive search state, each parse accepted only when a replay of its search
// outcomes proves the true state gives the same tokens (otherwise the chunk is parsed again
// from the true state); elsewhere a chunk is parsed from the true state while the chunk
// before is written. The blocks go through writer in chunk order. adaptive comes in with the state the first
// chunk starts from and leaves with the state the sequential loop would leave. done counts the
// bytes written; false when reading failed (reader.failure) or a write failed
// (writer.writeFailed).
// How the guesses went: chunks written, chunks parsed again from the true state after their
// guess was rejected, and chunks not guessed at all (parsed from the true state, once known).
struct GuessCounts {
    uint32_t chunks = 0;
    uint32_t parsedAgain = 0;
    uint32_t waited = 0;
};

bool compressChunksInParallel(ConcatReader& reader, BitWriter& writer, const LevelParameters& level,
                              AdaptiveState& adaptive, int32_t threads, const ChunkStarted& progress, uint64_t& done,
                              GuessCounts& counts);

// Context chains for one parsing thread, on large pages where the system has them.
std::unique_ptr<ContextChains> newContextChains();

// Worker threads to use by default: one per core.
int32_t defaultThreadCount();

// Threads that chunks are compressed or decoded on when asked is asked for (0: the default):
// never more than one per core. Each holds a chunk's working storage (some 60 MiB to
// compress, a window to decode); beyond the cores they bring no speed, only memory.
int32_t chunkThreadCount(int32_t asked);

} // namespace qv5
