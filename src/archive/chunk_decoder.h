#pragma once
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "qv5/qv5.h"

#include <cstdint>
#include <functional>

namespace qv5 {

// Called before a chunk is taken, with the bytes taken so far and the chunk's length.
using ChunkStart = std::function<void(uint64_t done, int32_t length)>;
// Takes one decoded chunk; a failure stops the stream.
using ChunkTake = std::function<Error(const uint8_t* data, int32_t length)>;

// Decodes one chunk of length bytes from reader into window (its history reset first); the
// damage found, or nullptr. decoded, when given, is set to the bytes window holds from the
// decoding: all of them, or those made before the damage was found (which a check must vouch
// for: damage may be found only some way after it).
const char* decodeChunk(BitReader& reader, BlockCodes& codes, ContextHistory& history, uint8_t* window, int32_t length,
                        int32_t* decoded = nullptr);

// Decodes the storedTotal bytes of the stream in reader chunk by chunk and hands each one to
// take, calling start before each. With ahead, a thread of its own decodes the next chunk
// into a second window while take works on the current one; the calls, their order and the
// damage reported are those of the plain loop. Fails with the damage found (midLine) or
// with take's failure.
Error decodeChunks(BitReader& reader, uint64_t storedTotal, bool ahead, const ChunkStart& start, const ChunkTake& take);

} // namespace qv5
