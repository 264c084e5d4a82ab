#pragma once
// The archive's bytes read only by position, from any thread: the one door through which a
// damaged file is read as repaired, and a sealed archive as its authenticated plain bytes.
#include <cstdint>
#include <functional>
#include <string>

namespace qv5 {

struct PositionedBytes {
    uint64_t size = 0;    // the bytes there are (offsets count from the file's first byte)
    uint64_t dataEnd = 0; // where the archive's own bytes may end at most (a recovery block follows)
    // Reads count bytes at offset; fewer only past size. failed is set when they cannot be had
    // (a read of the file failed, or a sealed segment did not authenticate): nothing of what
    // could not be had is handed on.
    std::function<size_t(uint64_t offset, uint8_t* bytes, size_t count, bool& failed)> read;
    // Bytes that can be read only in order, each once (a sealed archive on a pipe): the
    // archive is then read as from a pipe.
    bool inOrder = false;
    // What a damage report calls a chunk whose read failed (null: a read error).
    const char* failedRead = nullptr;
    // Why the last read failed, in the reader's words (empty: the system's reason).
    std::function<std::string()> refusal;
};

} // namespace qv5
