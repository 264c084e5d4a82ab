#pragma once
#include "qv5/qv5.h"

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

namespace qv5 {

// What reading an entry's source gave, when sources are stored as read.
enum class SourceState : uint8_t { pending, asRecorded, changed, leftOut, mismatched };

struct SourceOutcome {
    SourceState state = SourceState::pending;
    int64_t size = 0; // what the table is to say of the entry (changed, mismatched)
    uint32_t crc = 0;
};

// Reads the contents of the non-duplicate entries back to back as one stream.
struct ConcatReader {
    const std::vector<NewEntry>* entries = nullptr;
    size_t current = 0;    // index of the entry being read
    int64_t remaining = 0; // bytes of the current entry still to deliver
    bool started = false;  // the current entry is open (its file, or its bytes)
    FILE* file = nullptr;
    uint32_t crc = 0; // CRC-32 of the current entry's bytes delivered so far
    Error failure;    // set when the stream was cut

    // Sources stored as read (WriteOptions::storeAsRead) instead of stopping at the first that
    // differs from its entry. correctable: the table is corrected at the end, so an entry may
    // be stored with another size or left out; otherwise every entry gets exactly its recorded
    // size, cut or padded with zeros.
    bool storeAsRead = false;
    bool correctable = false;
    // Per entry, the group of files it shares an inode with (hard links: the index of the
    // group's first entry), or its own index.
    std::vector<size_t> inode;
    std::vector<SourceOutcome> outcomes;
    // Found and not yet reported, each with the chunk it was found in (the fills before it),
    // so that every thread count reports them at the same place.
    std::vector<std::pair<uint64_t, SourceEvent>> events;
    uint64_t fills = 0;
    size_t walk = 0; // the next entry in table order not yet looked at
    // The archive's order once every source is read: each run of equal entries as it is to be
    // stored (copies before the entry whose bytes the stream holds), a left-out entry not at all.
    std::vector<size_t> order;
    std::vector<bool> duplicate; // per entry: what its flag is to be
    // The run being read: the entries equal to the current one, stored as its copies, in
    // table order.
    std::vector<size_t> copies;
    // Copies of a changed entry that need bytes of their own: read next, the last of them as
    // the run's stored entry.
    std::vector<size_t> orphans;
    int64_t delivered = 0;      // bytes of the current entry delivered so far
    int32_t startedAt = -1;     // where in this fill's buffer the current entry began (-1: before it)
    bool zeroFill = false;      // the rest of the current entry is zeros: its source failed
    std::string zeroReason;     // the system's words for that failure
};

// Fills buffer with up to capacity bytes of the stream and returns how many; 0 at its end
// or after a failure. Never waits for missing bytes and never delivers more than an entry's
// recorded size: an entry whose file ends early, grows, or cannot be opened or read sets
// failure, and so does one whose bytes no longer have the recorded CRC-32 (a file rewritten
// in place): the archive would hold a checksum its data cannot match. With storeAsRead none
// of these is a failure: the outcome of each entry is recorded instead (see SourceChange).
int32_t fill(ConcatReader& reader, uint8_t* buffer, int32_t capacity);

// Prepares reader for storeAsRead over its entries; hardLinks (may be null) says which
// entries share an inode.
void storeSourcesAsRead(ConcatReader& reader, bool correctable, const std::vector<HardLink>* hardLinks);

// Closes the file still open after a failure.
void closeReader(ConcatReader& reader);

} // namespace qv5
