// Writing an archive: the header and the file table, then the stored stream chunk by chunk,
// on this thread or on several (parallel_chunks), with the same bytes either way.
#include "archive/archive_format.h"
#include "archive/chunk_buffer.h"
#include "archive/chunk_timing.h"
#include "archive/concat_reader.h"
#include "archive/extension_format.h"
#include "archive/parallel_chunks.h"
#include "archive/stored_names.h"
#include "archive/table_correction.h"
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "codec/byte_order.h"
#include "codec/crc32.h"
#include "codec/huffman.h"
#include "codec/match_finder.h"
#include "platform/platform.h"
#include "qv5/qv5.h"
#include "seal/sealed_format.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace qv5 {

namespace {

// The BitWriter's sink: the caller's output, counting what it took, and why it refused.
struct CountingOutput {
    const ByteWriter* output = nullptr;
    uint64_t taken = 0;
    bool failed = false;
    std::string refusal; // the system's reason, when a system call failed
    static bool put(void* context, const uint8_t* bytes, size_t count)
    {
        CountingOutput& self = *static_cast<CountingOutput*>(context);
        clearFailure(); // an output of the caller's own may fail without a system call
        if (!(*self.output)(bytes, count)) {
            if (!self.failed) self.refusal = lastFailureReason(); // the first refusal is the cause
            self.failed = true;
            return false;
        }
        self.taken += count;
        return true;
    }
};

// Working storage of the sequential chunk loop, allocated once.
struct ChunkStorage {
    std::unique_ptr<uint8_t[]> chunk = newChunkBuffer();
    std::unique_ptr<uint16_t[]> tokens{new uint16_t[blockWordCapacity]};
    std::unique_ptr<ContextChains> chains = newContextChains();
    std::unique_ptr<BlockCodes> codes{new BlockCodes};
    ChunkStorage() { std::memset(tokens.get(), 0xFF, blockWordCapacity * sizeof(uint16_t)); }
};

// The chunk loop on this thread alone; false when reading or writing failed.
bool compressChunksInSequence(ConcatReader& reader, BitWriter& writer, const LevelParameters& level,
                              AdaptiveState& adaptive, const ChunkStarted& started, uint64_t& done)
{
    ChunkStorage storage;
    float d = 1.0f;
    for (;;) {
        int32_t n = fill(reader, storage.chunk.get(), chunkSize);
        if (reader.failure) return false;
        if (n == 0) return true;
        started(done, storage.chunk.get(), static_cast<uint64_t>(n), d);
        uint32_t t0 = clockMs();
        resetChains(*storage.chains);
        int32_t g = 0;
        do {
            BlockResult block =
                parseBlock(g, storage.chunk.get(), n, storage.tokens.get(), *storage.chains, level, adaptive);
            prepareBlock(*storage.codes, storage.tokens.get(), block.words);
            writeBlock(writer, *storage.codes, storage.tokens.get(), block.words);
            g += block.consumed;
        } while (g < n);
        if (writer.writeFailed) return false;
        d = chunkSeconds(t0, clockMs());
        done += static_cast<uint64_t>(n);
    }
}

// Checks every file entry against its recorded size, just before writing.
Error checkSources(const std::vector<NewEntry>& entries, uint64_t& storedTotal, uint64_t& inputTotal)
{
    for (const NewEntry& entry : entries) {
        if (!entry.path.empty()) {
            int64_t size = 0;
            switch (sizeOfReadable(entry.path, size)) {
            case ReadableSize::unopened:
                return systemError(ErrorCode::openInput, entry.path);
            case ReadableSize::unmeasured:
                return systemError(ErrorCode::readInput, entry.path);
            case ReadableSize::measured:
                break;
            }
            if (size != entry.size) return Error{ErrorCode::inputChanged, entry.path};
        }
        inputTotal += static_cast<uint64_t>(entry.size);
        if (!entry.duplicate) storedTotal += static_cast<uint64_t>(entry.size);
    }
    return Error();
}

Error writeFailure(bool midLine, const std::string& reason)
{
    Error failure{ErrorCode::writeArchive, std::string(), std::string(), midLine};
    failure.reason = reason;
    return failure;
}

} // namespace

NewEntry memoryEntry(std::string name, const uint8_t* data, size_t size)
{
    NewEntry entry;
    entry.name = std::move(name);
    entry.data = data;
    entry.size = static_cast<int64_t>(size);
    entry.crc = crc32Update(0, data, size);
    return entry;
}

namespace {

// Names no reader would accept are never written: a NUL, a ".." component, an entry of a
// larger archive without a leading separator, records that break the extension's rules.
Error namesReadable(const std::vector<NewEntry>& entries, const Extension* extension)
{
    for (const NewEntry& entry : entries) {
        bool anchored = entries.size() == 1 || (!entry.name.empty() && isPathSeparator(entry.name[0]));
        if (faultOf(entry.name, false) != NameFault::none || !anchored) {
            return Error(ErrorCode::nameInvalid, entry.name);
        }
    }
    if (!extension) return Error();
    Error refused = checkRecords(
        entries.size(), [&](size_t i) -> const std::string& { return entries[i].name; },
        [&](size_t i) { return entries[i].duplicate; }, *extension, false);
    if (refused) return Error(ErrorCode::nameInvalid, std::string(), refused.detail);
    // An attribute no reader would take back.
    forEachItem(*extension, [&](uint8_t, size_t, const Metadata& metadata) {
        for (const Attribute& attribute : metadata.attributes) {
            if (!refused && !namespacedAttribute(attribute.name)) refused = Error(ErrorCode::nameInvalid, attribute.name);
        }
    });
    return refused;
}

// The sources' findings up to the chunk about to be shown (all: past the last), in order.
void reportSources(ConcatReader& reader, const WriteCallbacks& callbacks, uint64_t upTo)
{
    size_t k = 0;
    for (; k < reader.events.size() && reader.events[k].first <= upTo; ++k) {
        if (callbacks.source) callbacks.source(reader.events[k].second);
    }
    reader.events.erase(reader.events.begin(), reader.events.begin() + static_cast<std::ptrdiff_t>(k));
}

} // namespace

namespace {

Error writePlainArchive(const std::vector<NewEntry>& entries, const ByteWriter& output, const WriteOptions& options,
                        const WriteCallbacks& callbacks, WriteResult& result)
{
    result = WriteResult();
    if (Error refused = namesReadable(entries, options.extension)) return refused;
    uint64_t storedTotal = 0;
    if (options.storeAsRead) {
        // What each source gives is found while it is read.
        for (const NewEntry& entry : entries) {
            result.inputTotal += static_cast<uint64_t>(entry.size);
            if (!entry.duplicate) storedTotal += static_cast<uint64_t>(entry.size);
        }
    } else if (Error failure = checkSources(entries, storedTotal, result.inputTotal)) {
        return failure;
    }

    std::unique_ptr<uint8_t[]> outBuffer(new uint8_t[bitBufferSize]);
    CountingOutput counted;
    counted.output = &output;
    BitWriter writer;
    writer.sink = ByteSink{&counted, CountingOutput::put};
    writer.outBuffer = outBuffer.get();
    if (callbacks.started) callbacks.started();

    ArchiveHeader header;
    header.entryCount = entries.size();
    header.storedTotal = storedTotal;
    header.flags = crcFlag;
    if (options.extension) {
        if (options.extension->entries.size() != entries.size()) return damaged("metadata does not match the entries");
        header.flags |= extensionFlag | extensionFollowsFlag; // the place is put in at the end
    }
    const std::vector<uint8_t> headerData = headerBytes(header);
    if (!CountingOutput::put(&counted, headerData.data(), headerData.size()))
        return writeFailure(true, counted.refusal);
    {
        HuffmanCode nameCode{nameAlphabet};
        writeFileTable(writer, entries, nameCode);
    }
    const uint64_t tableEnd = (counted.taken + static_cast<uint64_t>(writer.bufferUsed)) * 8 + writer.accBits;

    uint32_t startMs = clockMs();
    ConcatReader reader;
    reader.entries = &entries;
    const bool correctable = options.rewrite && options.reread && options.cut;
    if (options.storeAsRead) {
        storeSourcesAsRead(reader, correctable, options.extension ? &options.extension->hardLinks : nullptr);
    }
    // Also when the chunk loop throws (out of memory): no input file is left open.
    struct CloseReader {
        ConcatReader& reader;
        ~CloseReader() { closeReader(reader); }
    } closeAtExit{reader};
    uint64_t done = 0;
    int32_t threads = chunkThreadCount(options.threads);
    // No more workers than chunks: each holds a match history, each slot a chunk.
    uint64_t chunkCount = (storedTotal + chunkSize - 1) / chunkSize;
    if (static_cast<uint64_t>(threads) > chunkCount) threads = static_cast<int32_t>(std::max<uint64_t>(chunkCount, 1));
    const LevelParameters& level = levelTable[std::clamp(options.level, 1, 6) - 1];
    AdaptiveState adaptive; // runs on across all chunks of the archive
    // With an extension, the chunk index: where each chunk's bits begin, and its bytes' CRC-32.
    std::vector<ChunkMark> index;
    uint64_t chunksStarted = 0;
    auto started = [&](uint64_t before, const uint8_t* bytes, uint64_t size, float seconds) {
        reportSources(reader, callbacks, chunksStarted++);
        if (options.extension) {
            const uint64_t at = counted.taken + static_cast<uint64_t>(writer.bufferUsed);
            index.push_back(ChunkMark{at * 8 + writer.accBits, crc32Update(0, bytes, static_cast<size_t>(size))});
        }
        if (!callbacks.chunk) return;
        ChunkProgress progress;
        progress.done = before;
        progress.size = size;
        progress.total = std::max(storedTotal, before + size); // a source may give more than it recorded
        progress.previousSeconds = seconds;
        progress.archiveBytes = counted.taken + static_cast<uint64_t>(writer.bufferUsed);
        callbacks.chunk(progress);
    };
    GuessCounts guesses;
    bool ok = threads > 1 ? compressChunksInParallel(reader, writer, level, adaptive, threads, started, done, guesses)
                          : compressChunksInSequence(reader, writer, level, adaptive, started, done);
    result.chunks = guesses.chunks;
    result.chunksParsedAgain = guesses.parsedAgain;
    result.chunksWaited = guesses.waited;
    closeReader(reader);
    // Several threads read ahead: a write that failed came first in the stream.
    if (writer.writeFailed) return writeFailure(true, counted.refusal);
    if (reader.failure) return reader.failure;
    if (!ok) return writeFailure(true, counted.refusal);
    if (!options.storeAsRead && done != storedTotal) {
        return Error{ErrorCode::inputChanged, std::string(), std::string(), true};
    }
    reportSources(reader, callbacks, UINT64_MAX);

    if (callbacks.packed) callbacks.packed();
    const uint64_t streamEnd = (counted.taken + static_cast<uint64_t>(writer.bufferUsed)) * 8 + writer.accBits;
    finish(writer);
    if (writer.writeFailed) return writeFailure(true, counted.refusal);

    // Sources stored as read: the table made to say what the stream holds.
    CorrectedTable corrected;
    if (options.storeAsRead && correctable) corrected = correctedTable(entries, reader);
    const WrittenArchive written{&options, tableEnd, streamEnd};
    if (corrected.shorter) {
        uint64_t length = 0;
        uint64_t moved = 0;
        clearFailure();
        if (!moveStream(written, corrected.entries, entries, length, moved)) {
            return writeFailure(true, lastFailureReason());
        }
        counted.taken = length;
        for (ChunkMark& mark : index) mark.bit -= moved;
    }
    Extension correctedMetadata;
    const Extension* extension = options.extension;
    if (extension && corrected.differs) {
        correctedMetadata = correctedExtension(*extension, corrected.from);
        extension = &correctedMetadata;
    }
    if (corrected.differs) {
        header.entryCount = corrected.entries.size();
        header.storedTotal = corrected.storedTotal;
        result.inputTotal = corrected.inputTotal;
        result.stored = corrected.from;
    }
    if (extension) {
        const uint64_t offset = counted.taken;
        const std::vector<uint8_t> block = extensionBytes(*extension, index.empty() ? nullptr : &index);
        clearFailure();
        const bool put = corrected.shorter ? options.rewrite(offset, block.data(), block.size())
                                           : CountingOutput::put(&counted, block.data(), block.size());
        if (!put) return writeFailure(true, corrected.shorter ? lastFailureReason() : counted.refusal);
        if (corrected.shorter) counted.taken += block.size();
        if (options.rewrite) {
            header.flags &= ~extensionFollowsFlag;
            header.reserved = offset; // where the extension starts
        }
    }
    if (corrected.differs) {
        clearFailure();
        if (!corrected.shorter && !rewriteTable(written, corrected.entries, entries)) {
            return writeFailure(true, lastFailureReason());
        }
        const std::vector<uint8_t> fixed = headerBytes(header);
        if (!options.rewrite(0, fixed.data(), fixed.size()) || (corrected.shorter && !options.cut(counted.taken))) {
            return writeFailure(true, lastFailureReason());
        }
    } else if (extension && options.rewrite) {
        uint8_t field[16];
        storeU64(field, header.flags);
        storeU64(field + 8, header.reserved);
        clearFailure();
        if (!options.rewrite(24, field, sizeof field)) return writeFailure(true, lastFailureReason());
    }
    result.archiveBytes = counted.taken;
    result.milliseconds = clockMs() - startMs;
    return Error();
}

} // namespace

SealKeys::~SealKeys()
{
    wipe(passphrase.data(), passphrase.size());
    wipe(identity.data(), identity.size());
}

Error writeArchive(const std::vector<NewEntry>& entries, const ByteWriter& output, const WriteOptions& options,
                   const WriteCallbacks& callbacks, WriteResult& result)
{
    if (!options.seal) return writePlainArchive(entries, output, options, callbacks, result);
    // Sealed: the header, then the plain archive's bytes through the sealing writer; the plain
    // archive's own header is patched in the first segment, held until the end.
    const SealKeys& keys = *options.seal;
    Passphrase passphrase;
    SealFor sealFor;
    if (!keys.passphrase.empty()) {
        passphrase.text = keys.passphrase;
        sealFor.passphrase = &passphrase;
    }
    sealFor.recipients.assign(keys.recipients.begin(), keys.recipients.end());
    if (keys.passes > 0) sealFor.cost.passes = keys.passes;
    if (keys.memoryKiB > 0) sealFor.cost.memoryKiB = keys.memoryKiB;
    sealFor.random = keys.random;
    std::vector<uint8_t> header;
    PayloadKey payloadKey;
    result = WriteResult();
    switch (makeSealedHeader(sealFor, header, payloadKey)) {
    case SealStatus::ok:
        break;
    case SealStatus::tooCostly:
        return Error(ErrorCode::sealCost);
    case SealStatus::damaged:
        return Error(ErrorCode::sealKeyMissing, "", sealFor.passphrase ? "passphrase" : "");
    default:
        return Error(ErrorCode::writeArchive);
    }
    if (!output(header.data(), header.size())) return Error(ErrorCode::writeArchive);
    SealingWriter sealing;
    sealing.key = payloadKey.key;
    sealing.out = output;
    sealing.holdFirst = static_cast<bool>(options.rewrite);
    const uint64_t headerSize = header.size();
    sealing.place = [&options, headerSize](uint64_t at, const uint8_t* bytes, size_t count) {
        return options.rewrite(headerSize + at, bytes, count);
    };
    WriteOptions plain = options;
    plain.seal = nullptr;
    // A table corrected after the stream would move sealed bytes: sources that change are
    // stored as on a pipe.
    plain.reread = nullptr;
    plain.cut = nullptr;
    if (options.rewrite) {
        plain.rewrite = [&sealing](uint64_t at, const uint8_t* bytes, size_t count) {
            return resealFirst(sealing, at, bytes, count);
        };
    }
    const ByteWriter sealed = [&sealing](const uint8_t* bytes, size_t count) { return sealBytes(sealing, bytes, count); };
    Error failure = writePlainArchive(entries, sealed, plain, callbacks, result);
    if (!failure && !finishSealing(sealing)) failure = Error(ErrorCode::writeArchive, "", "", false);
    if (!failure) result.archiveBytes = headerSize + sealedPayloadSize(result.archiveBytes);
    return failure;
}

ByteWriter fileOutput(FILE* file)
{
    return [file](const uint8_t* bytes, size_t count) {
        if (std::fwrite(bytes, 1, count, file) == count) return true;
        noteStreamFailure();
        return false;
    };
}

ByteWriter memoryOutput(std::vector<uint8_t>& bytes)
{
    return [&bytes](const uint8_t* data, size_t count) {
        bytes.insert(bytes.end(), data, data + count);
        return true;
    };
}

uint32_t crc32(uint32_t crc, const void* bytes, size_t count)
{
    return crc32Update(crc, bytes, count);
}

} // namespace qv5
