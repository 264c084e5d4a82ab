#pragma once
#include "qv5/qv5.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace qv5 {

// Reads the contents of the non-duplicate entries back to back as one stream.
struct ConcatReader {
    const std::vector<NewEntry>* entries = nullptr;
    size_t current = 0;    // index of the entry being read
    int64_t remaining = 0; // bytes of the current entry still to deliver
    bool started = false;  // the current entry is open (its file, or its bytes)
    FILE* file = nullptr;
    uint32_t crc = 0; // CRC-32 of the current entry's bytes delivered so far
    Error failure;    // set when the stream was cut
};

// Fills buffer with up to capacity bytes of the stream and returns how many; 0 at its end
// or after a failure. Never waits for missing bytes and never delivers more than an entry's
// recorded size: an entry whose file ends early, grows, or cannot be opened or read sets
// failure, and so does one whose bytes no longer have the recorded CRC-32 (a file rewritten
// in place): the archive would hold a checksum its data cannot match.
int32_t fill(ConcatReader& reader, uint8_t* buffer, int32_t capacity);

// Closes the file still open after a failure.
void closeReader(ConcatReader& reader);

} // namespace qv5
