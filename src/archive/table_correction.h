#pragma once
// When sources are stored as read, the file table written before the stream may no longer say
// what the stream holds: an entry changed size or bytes, one was left out, a run of copies lost
// the entry that held their bytes. Once the stream is written, the table is made to say what
// it stores, and the archive is corrected in place: the table rewritten where its length stays
// (sizes, checksums, an order within a run), the stream moved behind it where entries were
// left out.
#include "archive/concat_reader.h"
#include "qv5/qv5.h"

#include <cstdint>
#include <vector>

namespace qv5 {

struct CorrectedTable {
    std::vector<NewEntry> entries; // in the archive's order, as stored
    std::vector<size_t> from;      // per entry: its index among the entries given
    bool differs = false;          // from the table written
    bool shorter = false;          // entries were left out: the stream has to move
    uint64_t storedTotal = 0;
    uint64_t inputTotal = 0;
};

CorrectedTable correctedTable(const std::vector<NewEntry>& written, const ConcatReader& reader);

// The extension's records of the entries (metadata, hard links, sparse files) in the corrected
// order; a hard link whose two names no longer share a run is dropped (both are then stored).
Extension correctedExtension(const Extension& extension, const std::vector<size_t>& from);

// Where the first archive was and what corrects it: the output's random access (rewrite,
// reread, cut of WriteOptions) and bit positions counted from the archive's first byte.
struct WrittenArchive {
    const WriteOptions* options = nullptr;
    uint64_t tableEnd = 0;  // the first bit after the file table
    uint64_t streamEnd = 0; // the first bit after the last block
};

// Rewrites the file table in place, for a corrected table of the same length as the one
// written (names unchanged).
bool rewriteTable(const WrittenArchive& archive, const std::vector<NewEntry>& corrected,
                  const std::vector<NewEntry>& written);

// Writes the corrected table (coded with the name code of the table written, so it is never
// longer) and moves the stream right behind it, then the closing bytes; length: the archive's
// bytes after them; moved: how many bits the stream moved towards the start.
bool moveStream(const WrittenArchive& archive, const std::vector<NewEntry>& corrected,
                const std::vector<NewEntry>& written, uint64_t& length, uint64_t& moved);

} // namespace qv5
