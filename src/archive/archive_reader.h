#pragma once
// An archive open for reading, and the cutting of its decoded stream into entries, shared by
// extraction to files and by reading into memory.
#include "archive/archive_format.h"
#include "archive/positioned_bytes.h"
#include "archive/sealed_archive.h"
#include "codec/bit_stream.h"
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace qv5 {

struct Archive {
    FILE* file = nullptr;  // read at its position, or ...
    MemoryInput memory;    // ... bytes in memory
    bool seekable = false; // the file can be measured (a pipe cannot)
    int64_t start = 0;     // position of the file when opened
    uint64_t consumed = 0; // bytes read from the file since
    FileIdentity identity; // of the file, so that extraction never writes over it
    std::unique_ptr<uint8_t[]> inBuffer{new uint8_t[bitBufferSize]};
    BitReader reader;
    ArchiveHeader header;
    bool tableRead = false;
    // Why the first read of the file that failed did (the system's words): what a damage
    // found after it is explained by.
    std::string readRefusal;
    uint64_t tableEndBit = 0;     // where the stream's first block begins
    std::vector<ChunkMark> index; // the extension's chunk index, when it fits and can be used
    uint64_t indexedEnd = 0;      // decoded by the index: the archive's bytes up to its last chunk
    // The archive's bytes read by position only, never by the file's own position (null: the
    // file as it is): a damaged file as its recovery data repairs it, or a sealed archive's
    // plain bytes.
    const PositionedBytes* source = nullptr;
    std::unique_ptr<PositionedBytes> ownSource; // the repaired view's, made here
    std::unique_ptr<SealedReading> sealed;      // a sealed archive's, opened here
    // Where the archive's bytes were found to end, from its first byte (0: not yet known):
    // after its extension, or after the last bit of its stream.
    uint64_t extensionEnd = 0;
    uint64_t streamEnd = 0;
};

// A failure found after a read of the archive's file failed carries that read's reason.
Error explainedByRead(const Archive& archive, Error failure);

// The table must describe exactly the stored stream: every duplicate stands before an entry
// of the same size, and the unmarked sizes add up to the stored total.
Error tableMatchesStream(const std::vector<Entry>& entries, uint64_t storedTotal);

// Cuts the decoded stream into entries, in table order. begin(i) comes before the first
// byte of entry i, as soon as the entry before it is done (so an empty entry is begun and
// ended at once); end(i) when its last byte was given; then copy(j, j - 1) for each entry j
// that repeats the one before it (a run of duplicates), each copy being complete.
struct SplitCallbacks {
    std::function<Error(size_t index)> begin;
    std::function<Error(size_t index, const uint8_t* data, size_t count)> bytes;
    std::function<Error(size_t index)> end;
    std::function<Error(size_t index, size_t source)> copy;
    // Entry index was begun but its bytes will not all come (a damaged chunk): what was
    // written of it goes.
    std::function<void(size_t index)> abandon;
};

// A chunk of an indexed archive that could not be decoded (chunk, what is wrong, the entries
// with bytes in it, which are not written); chunk noChunk: the index itself was wrong.
using ChunkDamage = std::function<void(uint32_t chunk, const char* what, const std::vector<size_t>& entries)>;

struct EntrySplitter {
    const std::vector<Entry>* entries = nullptr;
    size_t current = 0; // entries.size() when all are done
    bool begun = false;
    uint64_t owed = 0;
    // The current entry began in a chunk that was not decoded: nothing of it (or of its
    // run's copies) is handed on.
    bool skipping = false;
};

// Hands n decoded bytes on; fails when the stream holds more than the entries or a callback
// fails.
Error split(EntrySplitter& splitter, const uint8_t* data, uint64_t n, const SplitCallbacks& callbacks);

// Decodes the stream of an archive whose table was read and splits it. With a chunk index
// (archive.index): in parallel on threads, only the chunks that the selected entries (all when
// selected is null or empty) need, and on past a damaged chunk, which damage is told of;
// without one, the whole stream in order, and damage stops it.
Error decodeEntries(Archive& archive, const std::vector<Entry>& entries, int threads,
                    const std::function<void(const ChunkProgress&)>& progress, const SplitCallbacks& callbacks,
                    const std::vector<bool>* selected = nullptr, const ChunkDamage& damage = nullptr);

} // namespace qv5
