#pragma once
// A sealed archive in a file: its header read and opened with a key, then its plain bytes read
// by position through the payload's authenticated segments.
#include "archive/positioned_bytes.h"
#include "archive/repaired_view.h"
#include "seal/sealed_format.h"

#include <cstdio>
#include <vector>

namespace qv5 {

// A sealed payload read in order from a pipe: each segment authenticated as it comes, the
// next one read ahead to know whether this one is the last.
struct SealedPipe {
    FILE* file = nullptr;
    const PayloadKey* key = nullptr;
    uint64_t segment = 0;           // the number of the segment in plain
    uint64_t plainStart = 0;        // where it begins in the plain bytes
    std::vector<uint8_t> plain;     // its bytes, once authenticated
    bool loaded = false;
    bool last = false;
    std::vector<uint8_t> sealed;    // the sealed bytes of this segment
    std::vector<uint8_t> ahead;     // ... and of the next
    bool aheadRead = false;
    bool broken = false;            // a segment did not authenticate: nothing after it is read
};

struct SealedReading {
    FILE* file = nullptr;
    int64_t start = 0;           // where the sealed archive begins in the file
    std::vector<uint8_t> header; // as read
    // With recovery data: where the sealed bytes end (the block follows; 0: at the file's
    // end), and the damaged file's repaired view to read them through (null: as they are).
    uint64_t end = 0;
    const RepairedView* repaired = nullptr;
    SealedPayload payload;
    PositionedBytes source; // the plain archive, from offset 0
    SealedPipe pipe;        // when read from a pipe
};

// Whether the file holds a sealed archive from its position (which is kept), read through the
// repaired view when given.
bool startsSealed(FILE* file, const RepairedView* repaired = nullptr);

// Reads the header at the file's position (through reading.repaired when set): ok, or notSealed, damaged or tooCostly (its cost,
// bounded, and its kind are then known).
SealStatus readSealedHeader(SealedReading& reading, FILE* file, SealCost& cost, StanzaKind& kind);

// Opens the header read with a passphrase or a secret key, and readies the plain bytes.
SealStatus openSealedPayload(SealedReading& reading, const OpenWith& with);

// The same for a sealed archive on a pipe: the header read from it, and the plain bytes then
// given in order only (source.inOrder).
SealStatus readSealedHeaderFromPipe(SealedReading& reading, FILE* file, SealCost& cost, StanzaKind& kind);
SealStatus openSealedPipe(SealedReading& reading, const OpenWith& with);

} // namespace qv5
