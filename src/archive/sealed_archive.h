#pragma once
// A sealed archive in a file: its header read and opened with a key, then its plain bytes read
// by position through the payload's authenticated segments.
#include "archive/positioned_bytes.h"
#include "archive/repaired_view.h"
#include "seal/sealed_format.h"

#include <cstdio>
#include <vector>

namespace qv5 {

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
};

// Whether the file holds a sealed archive from its position (which is kept), read through the
// repaired view when given.
bool startsSealed(FILE* file, const RepairedView* repaired = nullptr);

// Reads the header at the file's position (through reading.repaired when set): ok, or notSealed, damaged or tooCostly (its cost,
// bounded, and its kind are then known).
SealStatus readSealedHeader(SealedReading& reading, FILE* file, SealCost& cost, StanzaKind& kind);

// Opens the header read with a passphrase or a secret key, and readies the plain bytes.
SealStatus openSealedPayload(SealedReading& reading, const OpenWith& with);

} // namespace qv5
