#pragma once
#include "input/input_records.h"

#include <cstdint>
#include <cstdio>

namespace qv5 {

// Reads the contents of the chain's non-duplicate entries back to back as one stream.
struct ConcatReader {
    FileEntry* current = nullptr;
    int64_t remaining = 0; // bytes of the current file still to deliver
    FILE* file = nullptr;
    uint32_t crc = 0;      // CRC-32 of the current file's bytes delivered so far
    bool failed = false;   // a message has been printed; the stream is cut
};

// Fills buffer with up to capacity bytes of the stream and returns how many; 0 at its end
// or after a failure. Never waits for missing bytes and never delivers more than an entry's
// recorded size: a file that ends early, grows, or cannot be opened or read sets failed, and
// so does one whose bytes no longer have the CRC-32 the hashing pass recorded (it was
// rewritten in place): the archive would hold a checksum its data cannot match.
int32_t fill(ConcatReader& reader, uint8_t* buffer, int32_t capacity);

// Closes the file still open after a failure.
void closeReader(ConcatReader& reader);

} // namespace qv5
