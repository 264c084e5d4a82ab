#include "archive/archive_reader.h"

#include "archive/chunk_decoder.h"
#include "archive/chunk_timing.h"
#include "archive/extension_format.h"
#include "archive/indexed_chunks.h"
#include "archive/output_tree.h"
#include "archive/parallel_chunks.h"
#include "archive/repaired_view.h"
#include "archive/stored_names.h"
#include "codec/crc32.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string_view>

namespace qv5 {

void ArchiveDeleter::operator()(Archive* archive) const
{
    delete archive;
}

namespace {

// Reads from the archive's file, counting the bytes: a pipe has no position to ask for.
// A read of the archive's file failed just now: its reason is kept, the first one only.
void noteReadFailure(Archive& archive)
{
    if (!archive.readRefusal.empty()) return;
    noteStreamFailure();
    archive.readRefusal = lastFailureReason();
}

std::string sourceRefusal(const PositionedBytes& source)
{
    std::string reason = source.refusal ? source.refusal() : std::string();
    return reason.empty() ? lastFailureReason() : reason;
}

size_t readArchiveFile(Archive& archive, uint8_t* buffer, size_t count, bool* failed)
{
    if (archive.source) {
        bool readFailed = false;
        const uint64_t at = static_cast<uint64_t>(archive.start) + archive.consumed;
        const size_t got = archive.source->read(at, buffer, count, readFailed);
        if (readFailed) {
            if (archive.readRefusal.empty()) archive.readRefusal = sourceRefusal(*archive.source);
            if (failed) *failed = true;
        }
        archive.consumed += got;
        return got;
    }
    size_t got = std::fread(buffer, 1, count, archive.file);
    if (std::ferror(archive.file)) {
        noteReadFailure(archive);
        if (failed) *failed = true;
    }
    archive.consumed += got;
    return got;
}

size_t readArchiveSource(void* context, uint8_t* buffer, size_t capacity, bool* failed)
{
    return readArchiveFile(*static_cast<Archive*>(context), buffer, capacity, failed);
}

} // namespace

ArchivePtr openArchive(FILE* file)
{
    ArchivePtr archive(new Archive);
    archive->file = file;
    archive->identity = identityOfFile(file);
    archive->start = tellFile(file);
    archive->seekable = archive->start >= 0 && seekFile(file, archive->start, SEEK_SET) == 0;
    if (!archive->seekable) archive->start = 0;
    archive->reader.source = ByteSource{archive.get(), readArchiveSource};
    archive->reader.inBuffer = archive->inBuffer.get();
    return archive;
}

ArchivePtr openArchive(FILE* file, const RepairedView* repaired)
{
    ArchivePtr archive = openArchive(file);
    // Read by position only: a view is made for a file, which can be.
    if (archive->seekable && repaired) {
        archive->ownSource.reset(new PositionedBytes);
        PositionedBytes& source = *archive->ownSource;
        source.size = repaired->size;
        source.dataEnd = repaired->protectedBytes;
        source.read = [repaired, file](uint64_t offset, uint8_t* bytes, size_t count, bool& failed) {
            return readRepaired(*repaired, file, offset, bytes, count, failed);
        };
        archive->source = &source;
    }
    return archive;
}

ArchivePtr openArchive(FILE* file, const PositionedBytes* source)
{
    ArchivePtr archive(new Archive);
    archive->file = file;
    archive->identity = identityOfFile(file);
    archive->seekable = !source->inOrder;
    archive->source = source;
    archive->reader.source = ByteSource{archive.get(), readArchiveSource};
    archive->reader.inBuffer = archive->inBuffer.get();
    return archive;
}

ArchivePtr openArchive(const uint8_t* data, size_t size)
{
    ArchivePtr archive(new Archive);
    archive->memory = MemoryInput{data, size};
    archive->reader.source = memorySource(archive->memory);
    archive->reader.inBuffer = archive->inBuffer.get();
    return archive;
}

Error explainedByRead(const Archive& archive, Error failure)
{
    if (failure && failure.code == ErrorCode::damagedArchive && failure.reason.empty()) {
        failure.reason = archive.readRefusal;
    }
    return failure;
}

uint64_t archiveEnd(const Archive& archive)
{
    const uint64_t end = archive.extensionEnd > 0 ? archive.extensionEnd : archive.streamEnd;
    return end == 0 ? 0 : (archive.file ? static_cast<uint64_t>(archive.start) : 0) + end;
}

uint64_t bytesRead(const Archive& archive)
{
    if (archive.indexedEnd > 0) return (archive.file ? static_cast<uint64_t>(archive.start) : 0) + archive.indexedEnd;
    return archive.file ? static_cast<uint64_t>(archive.start) + archive.consumed : archive.memory.position;
}

namespace {

HeaderInput headerInput(Archive& archive)
{
    HeaderInput input;
    if (archive.file) {
        Archive* self = &archive;
        input.read = [self](uint8_t* buffer, size_t count) { return readArchiveFile(*self, buffer, count, nullptr); };
        input.remaining = [self]() -> int64_t {
            if (!self->seekable) return -1; // a pipe: the entries are read as they come
            int64_t size = 0;
            if (self->source) {
                size = static_cast<int64_t>(self->source->size);
            } else if (!sizeOfFile(self->file, size)) {
                return -1;
            }
            int64_t here = self->start + static_cast<int64_t>(self->consumed);
            return size > here ? size - here : 0;
        };
        return input;
    }
    MemoryInput& memory = archive.memory;
    input.read = [&memory](uint8_t* buffer, size_t count) {
        size_t got = std::min(count, memory.size - memory.position);
        std::memcpy(buffer, memory.data + memory.position, got);
        memory.position += got;
        return got;
    };
    input.remaining = [&memory] { return static_cast<int64_t>(memory.size - memory.position); };
    return input;
}

} // namespace

namespace {

uint64_t streamBytesTaken(const Archive& archive);

// The bits of the archive's input the bit stream has taken so far, from its first byte.
uint64_t streamBitsTaken(const Archive& archive)
{
    const BitReader& reader = archive.reader;
    const uint64_t fetched = bytesRead(archive) - (archive.file ? static_cast<uint64_t>(archive.start) : 0);
    const uint64_t unread =
        uint64_t(reader.bufferEnd - static_cast<uint32_t>(reader.bufferPos)) * 8 + uint64_t(reader.accBits);
    return fetched * 8 > unread ? fetched * 8 - unread : 0;
}

// An archive of no entries holds its name table and closing bytes, nothing else (but an
// extension or a recovery block after it): more is a damaged header, such as a zeroed one read
// as the older form, which would otherwise pass as an empty archive.
Error emptyArchiveEnds(Archive& archive)
{
    constexpr uint64_t closingBytes = 16 + 8; // the closing bytes, and the last bits' byte
    if (hasExtension(archive) || archive.header.storedTotal != 0) return Error();
    int64_t size = 0;
    if (archive.file && (!archive.seekable || !sizeOfFile(archive.file, size))) return Error(); // a pipe
    const uint64_t end = archive.file ? static_cast<uint64_t>(size) : archive.memory.size;
    const uint64_t start = archive.file ? static_cast<uint64_t>(archive.start) : 0;
    const uint64_t used = start + streamBytesTaken(archive) + closingBytes;
    if (end <= used) return Error();
    // Read through its source, where the archive may end is known (a repaired view: the block
    // was found, and begins where it says).
    if (archive.source) {
        return archive.source->dataEnd <= used ? Error() : damaged("data after an empty archive");
    }
    // The surplus is a recovery block only if one is found there and ends the file.
    RandomReader reader = archive.file ? fileReader(archive.file) : memoryReader(archive.memory.data, end);
    RecoveryCheck check;
    const int64_t here = archive.file ? tellFile(archive.file) : 0;
    Error failure = checkRecovery(reader, end, false, check);
    if (archive.file) seekFile(archive.file, here, SEEK_SET);
    if (!failure && check.state != RecoveryState::none && end - check.layout.blockBytes <= used) return Error();
    return damaged("data after an empty archive");
}

} // namespace

Error archiveEndFromHeader(FILE* file, uint64_t& end)
{
    end = 0;
    ArchivePtr archive = openArchive(file);
    ArchiveHeader header;
    int32_t entryCount = 0;
    const bool read = archive->seekable && !readHeader(headerInput(*archive), header, entryCount, nullptr);
    Error unreadable(ErrorCode::damagedArchive, "", "read error");
    if (!archive->readRefusal.empty()) {
        unreadable.reason = archive->readRefusal;
        return unreadable;
    }
    if (!read || (header.flags & extensionFlag) == 0 || (header.flags & extensionFollowsFlag) != 0) return Error();
    const uint64_t at = static_cast<uint64_t>(archive->start) + header.reserved;
    uint8_t head[extensionHeadSize];
    uint64_t length = 0;
    bool failed = false;
    const size_t got = readFileAt(file, at, head, sizeof head, failed);
    if (failed) {
        unreadable.reason = lastFailureReason();
        return unreadable;
    }
    if (got == sizeof head && !extensionLength(head, length)) end = at + length;
    return Error();
}

namespace {

Error readTableOf(Archive& archive, const TableCallbacks& callbacks, std::vector<Entry>& entries)
{
    entries.clear();
    int32_t entryCount = 0;
    if (Error failure = readHeader(headerInput(archive), archive.header, entryCount, callbacks.oldHeader)) {
        return failure;
    }
    const bool withCrc = (archive.header.flags & 0xFF) != 0;
    HuffmanCode nameCode{nameAlphabet};
    if (Error failure = readNameTable(archive.reader, nameCode)) return failure;
    // Entries are kept as they are read: the header's count alone does not size the table,
    // since a sparse file of zeros can back any count without holding the entries.
    for (int32_t i = 0; i < entryCount; ++i) {
        Entry& entry = entries.emplace_back();
        if (Error failure = readEntry(archive.reader, nameCode, withCrc, entry)) return failure;
        entry.name = nameFromArchive(std::move(entry.name));
        if (callbacks.entry) {
            if (Error failure = callbacks.entry(entry, i + 1, entryCount)) return failure;
        }
    }
    releaseTables(nameCode);
    archive.tableRead = true;
    archive.tableEndBit = streamBitsTaken(archive);
    if (entryCount == 0) return emptyArchiveEnds(archive);
    return Error();
}

} // namespace

Error readTable(Archive& archive, const TableCallbacks& callbacks, std::vector<Entry>& entries)
{
    return explainedByRead(archive, readTableOf(archive, callbacks, entries));
}

Error checkName(const Entry& entry, bool oneEntry)
{
    switch (refusalOf(entry.name, windowsNames)) {
    case NameRefusal::none:
        break;
    case NameRefusal::parentReference:
        return Error{ErrorCode::nameParentReference, entry.name};
    case NameRefusal::notRelative:
        return Error{ErrorCode::nameNotRelative, entry.name};
    case NameRefusal::deviceName:
        return Error{ErrorCode::nameDevice, entry.name};
    }
    // Appended to the output prefix, a name without a leading separator would name a file
    // beside the output folder (prefix out, name x: outx) instead of inside it.
    if (!oneEntry && (entry.name.empty() || !isPathSeparator(entry.name[0]))) {
        return damaged("stored name without a leading separator");
    }
    return Error();
}

Error tableMatchesStream(const std::vector<Entry>& entries, uint64_t storedTotal)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        if (entry.duplicate) {
            if (i + 1 == entries.size() || entries[i + 1].size != entry.size) {
                return damaged("duplicate without a matching file");
            }
            continue;
        }
        if (entry.size > storedTotal - sum) return damaged("files larger than the stored stream");
        sum += entry.size;
    }
    if (sum != storedTotal) return damaged("stored stream larger than its files");
    return Error();
}

Error split(EntrySplitter& splitter, const uint8_t* data, uint64_t n, const SplitCallbacks& callbacks)
{
    const std::vector<Entry>& entries = *splitter.entries;
    for (;;) {
        if (splitter.current == entries.size()) {
            return n == 0 ? Error() : damaged("stream longer than its files");
        }
        if (!splitter.begun) {
            if (Error failure = callbacks.begin(splitter.current)) return failure;
            splitter.begun = true;
            splitter.owed = entries[splitter.current].size;
        }
        uint64_t take = std::min(splitter.owed, n);
        const bool handed = !splitter.skipping;
        if (take > 0 && handed) {
            if (Error failure = callbacks.bytes(splitter.current, data, static_cast<size_t>(take))) return failure;
        }
        data += take;
        n -= take;
        splitter.owed -= take;
        if (splitter.owed == 0) {
            splitter.begun = false;
            splitter.skipping = false;
            if (handed) {
                if (Error failure = callbacks.end(splitter.current)) return failure;
            }
            while (entries[splitter.current].duplicate && splitter.current + 1 < entries.size()) {
                ++splitter.current;
                if (!handed) continue;
                if (Error failure = callbacks.copy(splitter.current, splitter.current - 1)) return failure;
            }
            ++splitter.current;
            continue;
        }
        if (n == 0) return Error();
    }
}

namespace {

// The progress before each chunk taken, with the seconds the chunk before took (1 for the
// first).
struct ChunkClock {
    const std::function<void(const ChunkProgress&)>* progress;
    uint64_t total;
    bool first = true;
    float previousSeconds = 1.0f;
    uint32_t startMs = 0;

    void starting(uint64_t done, int32_t length)
    {
        if (!first) previousSeconds = chunkSeconds(startMs, clockMs());
        first = false;
        if (*progress) {
            ChunkProgress chunk;
            chunk.done = done;
            chunk.size = static_cast<uint64_t>(length);
            chunk.total = total;
            chunk.previousSeconds = previousSeconds;
            (*progress)(chunk);
        }
        startMs = clockMs();
    }
};

// Where each entry's bytes lie in the stored stream; a copy's are its run's stored entry's.
std::vector<uint64_t> streamStarts(const std::vector<Entry>& entries)
{
    std::vector<uint64_t> starts(entries.size());
    uint64_t offset = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const bool copy = i > 0 && entries[i - 1].duplicate;
        starts[i] = copy ? starts[i - 1] : offset;
        if (!copy) offset += entries[i].size;
    }
    return starts;
}

// The chunks whose bytes the selected entries need: those of each one's run; an empty entry
// is created when the chunk ending at its place is taken.
std::vector<bool> neededChunks(const std::vector<Entry>& entries, const std::vector<uint64_t>& starts,
                               const std::vector<bool>& selected, size_t chunks)
{
    std::vector<bool> needed(chunks, false);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!selected[i]) continue;
        const uint64_t from = starts[i];
        const uint64_t size = entries[i].size;
        const uint64_t first = size > 0 ? from / chunkSize : (from == 0 ? 0 : (from - 1) / chunkSize);
        const uint64_t last = size > 0 ? (from + size - 1) / chunkSize : first;
        for (uint64_t k = first; k <= last && k < chunks; ++k) needed[k] = true;
    }
    return needed;
}

// Puts the splitter where it stands after the stream's first offset bytes, without calling
// anything for what lies before: an entry that began before it is taken as begun (nothing of
// it is written), one that begins there is begun by the next bytes.
void seekSplitter(EntrySplitter& splitter, const std::vector<uint64_t>& starts, uint64_t offset)
{
    const std::vector<Entry>& entries = *splitter.entries;
    size_t i = splitter.current;
    for (; i < entries.size(); ++i) {
        const bool copy = i > 0 && entries[i - 1].duplicate;
        if (!copy && entries[i].size > 0 && starts[i] + entries[i].size > offset) break;
    }
    splitter.current = i;
    splitter.begun = i < entries.size() && starts[i] < offset;
    splitter.skipping = splitter.begun;
    splitter.owed = splitter.begun ? starts[i] + entries[i].size - offset : 0;
}

// The entries with bytes in the stream's range [from, to), the copies of their runs and the
// empty entries whose place ends the range; the first at or after current.
std::vector<size_t> entriesWithin(const EntrySplitter& splitter, const std::vector<uint64_t>& starts, uint64_t from,
                                  uint64_t to)
{
    const std::vector<Entry>& entries = *splitter.entries;
    std::vector<size_t> within;
    for (size_t i = splitter.current; i < entries.size() && starts[i] <= to; ++i) {
        const uint64_t end = starts[i] + entries[i].size;
        const bool empty = entries[i].size == 0;
        // An empty entry belongs to the chunk that ends at its place; at the stream's start,
        // to the first chunk.
        if ((empty && (starts[i] > from || from == 0)) || (!empty && end > from && starts[i] < to) ||
            (i > 0 && entries[i - 1].duplicate && !within.empty() && within.back() == i - 1)) {
            within.push_back(i);
        }
    }
    return within;
}

// Per chunk, where in it the bytes of the last stored entry with bytes there begin (0 when it
// began before the chunk): that entry's CRC-32 is followed across chunks from the chunk's own.
std::vector<int32_t> tailStartsOf(const std::vector<Entry>& entries, const std::vector<uint64_t>& starts,
                                  uint64_t storedTotal, size_t chunks)
{
    std::vector<int32_t> tails(chunks, 0);
    size_t i = 0;
    for (size_t k = 0; k < chunks; ++k) {
        const uint64_t from = static_cast<uint64_t>(k) * chunkSize;
        const uint64_t last = std::min<uint64_t>(from + chunkSize, storedTotal) - 1;
        while (i < entries.size() && ((i > 0 && entries[i - 1].duplicate) || starts[i] + entries[i].size <= last)) ++i;
        if (i < entries.size() && starts[i] > from) tails[k] = static_cast<int32_t>(starts[i] - from);
    }
    return tails;
}

// The stored entry whose bytes go on past the last chunk taken, and the CRC-32 of its bytes so
// far: a damaged chunk after it in which it ends checks it with that.
struct OpenEntry {
    size_t index = SIZE_MAX;
    uint32_t crc = 0;
};

Error decodeByIndex(Archive& archive, const std::vector<Entry>& entries, int threads,
                    const std::function<void(const ChunkProgress&)>& progress, const SplitCallbacks& callbacks,
                    const std::vector<bool>* selected, const ChunkDamage& damage)
{
    const uint64_t storedTotal = archive.header.storedTotal;
    const std::vector<uint64_t> starts = streamStarts(entries);
    IndexedDecoding decoding;
    decoding.input =
        RandomInput{archive.file, archive.start, archive.memory.data, archive.memory.size, archive.source};
    decoding.storedTotal = storedTotal;
    decoding.firstBit = archive.tableEndBit;
    decoding.index = &archive.index;
    if (archive.header.reserved > 0) {
        recordedStreamEnd(archive.header.reserved, decoding.streamEndLow, decoding.streamEndHigh);
    }
    decoding.threads = threads;
    decoding.tailStarts = tailStartsOf(entries, starts, storedTotal, archive.index.size());
    const bool partial = selected && !selected->empty();
    if (partial) decoding.needed = neededChunks(entries, starts, *selected, archive.index.size());
    EntrySplitter splitter;
    splitter.entries = &entries;
    int64_t previous = -1; // the chunk the splitter stands after
    OpenEntry open;
    bool anyDamage = false;
    ChunkClock clock{&progress, storedTotal};
    auto start = [&](uint32_t, uint64_t done, int32_t length) { clock.starting(done, length); };
    auto take = [&](uint32_t chunk, const uint8_t* data, int32_t length, uint32_t tailCrc) {
        const uint64_t from = static_cast<uint64_t>(chunk) * chunkSize;
        const bool follows = previous + 1 == static_cast<int64_t>(chunk);
        if (!follows) seekSplitter(splitter, starts, from);
        previous = chunk;
        Error failure = split(splitter, data, static_cast<uint64_t>(length), callbacks);
        const size_t i = splitter.current;
        if (failure || !splitter.begun || splitter.skipping || i >= entries.size()) {
            open = OpenEntry();
        } else if (starts[i] >= from + static_cast<uint64_t>(length)) {
            open = OpenEntry{i, 0}; // begun, no bytes yet
        } else if (starts[i] >= from) {
            open = OpenEntry{i, tailCrc}; // begun in this chunk: its bytes are the tail
        } else if (follows && open.index == i) {
            open.crc = crc32Combine(open.crc, tailCrc, static_cast<uint64_t>(length)); // the whole chunk is its
        } else {
            open = OpenEntry();
        }
        return failure;
    };
    auto isCopy = [&](size_t i) { return i > 0 && entries[i - 1].duplicate; };
    const char* firstDamage = nullptr;
    auto damaged = [&](uint32_t chunk, const char* what, const uint8_t* data, int32_t decoded) -> Error {
        if (chunk == noChunk) {
            // The stream was read as it says: the bytes are right, the index is what is wrong.
            if (damage) damage(chunk, what, {});
            return Error();
        }
        if (!anyDamage) firstDamage = what;
        anyDamage = true;
        const uint64_t from = static_cast<uint64_t>(chunk) * chunkSize;
        const uint64_t to = std::min<uint64_t>(from + chunkSize, storedTotal);
        const uint64_t limit = from + static_cast<uint64_t>(std::max(decoded, 0));
        const bool follows = previous + 1 == static_cast<int64_t>(chunk);
        if (!follows) seekSplitter(splitter, starts, from);
        const std::vector<size_t> within = entriesWithin(splitter, starts, from, to);
        // An entry all of whose bytes were decoded before the damage was found, and whose
        // CRC-32 matches, is handed on as usual (damage may be found some way after it
        // happened: the CRC-32 decides); a run of copies goes with its stored entry.
        std::vector<bool> kept(within.size(), false);
        for (size_t k = 0; k < within.size(); ++k) {
            const size_t i = within[k];
            const Entry& entry = entries[i];
            const uint64_t end = starts[i] + entry.size;
            if (isCopy(i)) {
                kept[k] = k > 0 && kept[k - 1];
            } else if (entry.size == 0) {
                kept[k] = starts[i] <= limit && (!entry.hasCrc || entry.crc == 0);
            } else if (end <= limit && entry.hasCrc && starts[i] >= from) {
                kept[k] = crc32Update(0, data + (starts[i] - from), static_cast<size_t>(entry.size)) == entry.crc;
            } else if (end <= limit && entry.hasCrc && follows && splitter.current == i && splitter.begun &&
                       !splitter.skipping && open.index == i) {
                const uint64_t part = end - from;
                kept[k] = crc32Combine(open.crc, crc32Update(0, data, static_cast<size_t>(part)), part) == entry.crc;
            }
        }
        std::vector<size_t> lost;
        for (size_t k = 0; k < within.size(); ++k) {
            if (!kept[k]) lost.push_back(within[k]);
        }
        if (damage) damage(chunk, what, lost);
        previous = -2;
        open = OpenEntry();
        Error failure;
        uint64_t at = from; // the splitter has been handed the chunk's bytes up to here
        for (size_t k = 0; k < within.size() && !failure; ++k) {
            const size_t i = within[k];
            if (isCopy(i)) continue; // split copies them after their stored entry
            const uint64_t end = starts[i] + entries[i].size;
            if (kept[k]) {
                // Lost entries before it were passed over: its bytes (or its place) follow.
                if (end > at || splitter.current <= i) failure = split(splitter, data + (at - from), end - at, callbacks);
                at = std::max(at, end);
                continue;
            }
            // What was begun of a lost entry goes; one that ends in the chunk is passed over with
            // its run, one that goes on past it is left to the splitter's seek below.
            if (splitter.current == i && splitter.begun && callbacks.abandon) callbacks.abandon(i);
            splitter.begun = false;
            if (end > to) break;
            size_t last = i;
            while (entries[last].duplicate && last + 1 < entries.size()) ++last;
            splitter.current = last + 1;
            splitter.skipping = false;
            splitter.owed = 0;
            at = std::max(at, end);
        }
        if (failure) return failure;
        // What was begun and will not be finished here goes; the chunk after begins it again.
        if (splitter.begun && splitter.current < entries.size() && callbacks.abandon) {
            callbacks.abandon(splitter.current);
        }
        splitter.begun = false;
        seekSplitter(splitter, starts, to);
        return Error();
    };
    Error result = decodeIndexed(decoding, start, take, damaged);
    archive.indexedEnd = decoding.endByte;
    if (!result && anyDamage && !damage) result = qv5::damaged(firstDamage, true);
    if (!result && !partial && !anyDamage && splitter.current != entries.size()) {
        result = qv5::damaged("stream ends before its files");
    }
    return result;
}

} // namespace

Error decodeEntries(Archive& archive, const std::vector<Entry>& entries, int threads,
                    const std::function<void(const ChunkProgress&)>& progress, const SplitCallbacks& callbacks,
                    const std::vector<bool>* selected, const ChunkDamage& damage)
{
    const uint64_t storedTotal = archive.header.storedTotal;
    threads = chunkThreadCount(threads);
    if (storedTotal > 0 && !archive.index.empty()) {
        return explainedByRead(archive,
                               decodeByIndex(archive, entries, threads, progress, callbacks, selected, damage));
    }
    EntrySplitter splitter;
    splitter.entries = &entries;
    Error result;
    if (storedTotal == 0) {
        result = split(splitter, nullptr, 0, callbacks); // every entry is empty: each is created
    } else {
        ChunkClock clock{&progress, storedTotal};
        auto start = [&](uint64_t done, int32_t length) { clock.starting(done, length); };
        auto take = [&](const uint8_t* data, int32_t length) {
            return split(splitter, data, static_cast<uint64_t>(length), callbacks);
        };
        // A selection stops the stream after its last file, and an archive read from a pipe
        // then reads on to its extension from where the stream stopped: no chunk may have
        // been decoded past it.
        const bool readOn = selected && !selected->empty() && extensionAfterContents(archive) &&
                            !extensionFollowsStream(archive);
        result = decodeChunks(archive.reader, storedTotal, threads > 1 && !readOn, start, take);
    }
    if (!result && splitter.current != entries.size()) result = damaged("stream ends before its files");
    if (!result) archive.streamEnd = streamBytesTaken(archive);
    // The file the damage cut short (or one just begun where a damaged chunk begins) goes.
    if (result.code == ErrorCode::damagedArchive && splitter.begun && splitter.current < entries.size() &&
        callbacks.abandon) {
        callbacks.abandon(splitter.current);
    }
    return explainedByRead(archive, result);
}

Error readContents(Archive& archive, const std::vector<Entry>& entries, int threads, const ContentCallbacks& callbacks)
{
    if (Error failure = tableMatchesStream(entries, archive.header.storedTotal)) return failure;
    auto stopped = [] { return Error(ErrorCode::stopped); };
    SplitCallbacks split;
    split.begin = [](size_t) { return Error(); };
    split.bytes = [&](size_t index, const uint8_t* data, size_t count) {
        return !callbacks.bytes || callbacks.bytes(index, data, count) ? Error() : stopped();
    };
    split.end = [&](size_t index) { return !callbacks.done || callbacks.done(index) ? Error() : stopped(); };
    split.copy = [&](size_t index, size_t source) {
        if (callbacks.copy && !callbacks.copy(index, source)) return stopped();
        return !callbacks.done || callbacks.done(index) ? Error() : stopped();
    };
    ChunkDamage damage;
    if (callbacks.damaged) {
        damage = [&](uint32_t chunk, const char* what, const std::vector<size_t>& within) {
            callbacks.damaged(chunk, what, within);
        };
    }
    return decodeEntries(archive, entries, threads, callbacks.chunk, split, &callbacks.selected, damage);
}

Error readEntry(Archive& archive, const std::vector<Entry>& entries, size_t index,
                const std::function<bool(const uint8_t* bytes, size_t count)>& bytes)
{
    if (index >= entries.size()) return Error(ErrorCode::stopped);
    // A copy's bytes are those of its run's stored entry.
    size_t stored = index;
    while (stored > 0 && entries[stored - 1].duplicate) --stored;
    ContentCallbacks callbacks;
    callbacks.selected.assign(entries.size(), false);
    callbacks.selected[stored] = true;
    callbacks.bytes = [&](size_t at, const uint8_t* data, size_t count) { return at != stored || bytes(data, count); };
    callbacks.done = [&](size_t at) { return at != stored; }; // nothing more is needed
    Error failure = readContents(archive, entries, 1, callbacks);
    return failure.code == ErrorCode::stopped ? Error() : failure;
}

} // namespace qv5

namespace qv5 {

bool hasExtension(const Archive& archive)
{
    return (archive.header.flags & extensionFlag) != 0;
}

bool extensionFollowsStream(const Archive& archive)
{
    return hasExtension(archive) && (archive.header.flags & extensionFollowsFlag) != 0;
}

bool extensionAfterContents(const Archive& archive)
{
    return extensionFollowsStream(archive) || (hasExtension(archive) && archive.file && !archive.seekable);
}

namespace {

// readBlockAt through the archive's source.
Error readSourceBlockAt(Archive& archive, uint64_t offset, std::vector<uint8_t>& block)
{
    const PositionedBytes& view = *archive.source;
    const uint64_t at = static_cast<uint64_t>(archive.start) + offset;
    uint8_t head[extensionHeadSize];
    uint64_t length = 0;
    bool failed = false;
    if (view.read(at, head, sizeof head, failed) != sizeof head || failed) {
        if (failed && archive.readRefusal.empty()) archive.readRefusal = sourceRefusal(view);
        return damaged("extension cut short");
    }
    if (Error failure = extensionLength(head, length)) return failure;
    // Never more memory than the file could fill.
    if (at > view.size || view.size - at < length) return damaged("extension cut short");
    block.assign(head, head + sizeof head);
    block.resize(static_cast<size_t>(length));
    const size_t rest = static_cast<size_t>(length) - sizeof head;
    if (view.read(at + sizeof head, block.data() + sizeof head, rest, failed) != rest || failed) {
        if (failed && archive.readRefusal.empty()) archive.readRefusal = sourceRefusal(view);
        return damaged("extension cut short");
    }
    return Error();
}

// The block at the given offset from the archive's first byte, read without disturbing the
// reading of the stream.
Error readBlockAt(Archive& archive, uint64_t offset, std::vector<uint8_t>& block)
{
    uint8_t head[extensionHeadSize];
    uint64_t length = 0;
    if (!archive.file) {
        const MemoryInput& memory = archive.memory;
        if (offset > memory.size || memory.size - offset < extensionHeadSize) return damaged("extension cut short");
        if (Error failure = extensionLength(memory.data + offset, length)) return failure;
        if (memory.size - offset < length) return damaged("extension cut short");
        block.assign(memory.data + offset, memory.data + offset + length);
        return Error();
    }
    if (!archive.seekable) return damaged("extension out of reach");
    if (archive.source) return readSourceBlockAt(archive, offset, block);
    const int64_t here = archive.start + static_cast<int64_t>(archive.consumed);
    Error result;
    if (seekFile(archive.file, archive.start + static_cast<int64_t>(offset), SEEK_SET) != 0 ||
        std::fread(head, 1, sizeof head, archive.file) != sizeof head) {
        if (std::ferror(archive.file)) noteReadFailure(archive);
        result = damaged("extension cut short");
    } else if (!(result = extensionLength(head, length))) {
        int64_t size = 0;
        // Never more memory than the file could fill.
        if (!sizeOfFile(archive.file, size) || static_cast<uint64_t>(size) < archive.start + offset + length) {
            result = damaged("extension cut short");
            std::clearerr(archive.file);
            seekFile(archive.file, here, SEEK_SET);
            return result;
        }
        block.assign(head, head + sizeof head);
        block.resize(length);
        if (std::fread(block.data() + sizeof head, 1, length - sizeof head, archive.file) != length - sizeof head) {
            if (std::ferror(archive.file)) noteReadFailure(archive);
            result = damaged("extension cut short");
        }
    }
    std::clearerr(archive.file);
    if (seekFile(archive.file, here, SEEK_SET) != 0 && !result) result = damaged("read error");
    return result;
}

// The next count bytes after the bit stream's last consumed bit, taken from the reader's
// accumulator, then its buffer, then the source; fewer at the end.
size_t bytesAfterStream(BitReader& reader, uint8_t* out, size_t count)
{
    size_t got = 0;
    reader.acc >>= reader.accBits % 8; // to the next byte boundary
    reader.accBits -= reader.accBits % 8;
    while (got < count && reader.accBits >= 8) {
        out[got++] = static_cast<uint8_t>(reader.acc);
        reader.acc >>= 8;
        reader.accBits -= 8;
    }
    while (got < count) {
        uint64_t before = reader.zeroBytesFetched;
        uint8_t byte = fetchByte(reader);
        if (reader.zeroBytesFetched != before) break; // the source has ended
        out[got++] = byte;
    }
    return got;
}

Error checkedExtension(const Archive& archive, const std::vector<uint8_t>& block, Extension& extension)
{
    if (Error failure = parseExtension(block.data(), block.size(), extension)) return failure;
    if (extension.entries.size() != archive.header.entryCount) return damaged("extension does not match the table");
    // The records' names are read as the file table's are.
    for (FolderRecord& folder : extension.folders) folder.name = nameFromArchive(std::move(folder.name));
    for (LinkRecord& link : extension.links) link.name = nameFromArchive(std::move(link.name));
    return Error();
}

} // namespace

namespace {

// The last bit the stream may end at: a chunk position is inside the stream only before it.
uint64_t streamEndHigh(const Archive& archive)
{
    uint64_t low = 0, high = 0;
    recordedStreamEnd(archive.header.reserved, low, high);
    return high;
}

} // namespace

Error readExtension(Archive& archive, Extension& extension)
{
    std::vector<uint8_t> block;
    if (Error failure = readBlockAt(archive, archive.header.reserved, block)) return explainedByRead(archive, failure);
    if (Error failure = checkedExtension(archive, block, extension)) return failure;
    archive.extensionEnd = archive.header.reserved + block.size();
    // A chunk index that fits the stream (which begins after the table and ends before the
    // extension) is used to read the contents; one that does not is not, and the stream is
    // read as if there were none.
    const bool random = archive.file ? archive.seekable : true;
    if (random &&
        indexFits(extension.chunks, archive.header.storedTotal, archive.tableEndBit, streamEndHigh(archive))) {
        archive.index = extension.chunks;
    }
    return Error();
}

namespace {

// The bytes of the archive's input the bit stream has taken so far, counted from the
// archive's first byte (the reader's accumulator and buffer hold the rest of what was read).
uint64_t streamBytesTaken(const Archive& archive)
{
    const BitReader& reader = archive.reader;
    const uint64_t fetched = bytesRead(archive) - (archive.file ? static_cast<uint64_t>(archive.start) : 0);
    const uint64_t unread =
        (reader.bufferEnd - static_cast<uint32_t>(reader.bufferPos)) + static_cast<uint64_t>(reader.accBits / 8);
    return fetched > unread ? fetched - unread : 0;
}

// Reads the block whose first byte was found (first) from the reader, and checks it.
Error readBlockFromStream(Archive& archive, uint8_t first, Extension& extension)
{
    std::vector<uint8_t> block(extensionHeadSize);
    block[0] = first;
    if (bytesAfterStream(archive.reader, block.data() + 1, extensionHeadSize - 1) != extensionHeadSize - 1) {
        return damaged("extension cut short");
    }
    uint64_t length = 0;
    if (Error failure = extensionLength(block.data(), length)) return failure;
    // Grown as the bytes arrive: a length the pipe does not back costs no memory.
    while (block.size() < length) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(length - block.size(), 1 << 20));
        size_t at = block.size();
        block.resize(at + piece);
        if (bytesAfterStream(archive.reader, block.data() + at, piece) != piece) return damaged("extension cut short");
    }
    return checkedExtension(archive, block, extension);
}

} // namespace

namespace {

Error readExtensionAfterStream(Archive& archive, Extension& extension)
{
    BitReader& reader = archive.reader;
    uint8_t byte = 0;
    if (!extensionFollowsStream(archive)) {
        // The header gives the place (a file's archive read through a pipe): read on to it,
        // from wherever the reading of the contents stopped.
        if (reader.zeroBytesFetched > 0) return damaged("extension cut short");
        reader.acc >>= reader.accBits % 8;
        reader.accBits -= reader.accBits % 8;
        uint64_t at = streamBytesTaken(archive);
        if (at > archive.header.reserved) return damaged("extension misplaced");
        uint8_t skipped[4096];
        while (at < archive.header.reserved) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(archive.header.reserved - at, sizeof skipped));
            if (bytesAfterStream(reader, skipped, piece) != piece) return damaged("extension cut short");
            at += piece;
        }
        if (bytesAfterStream(reader, &byte, 1) != 1) return damaged("extension cut short");
        return readBlockFromStream(archive, byte, extension);
    }
    // The closing bytes are the last pending bits padded with zeros: after the stream's last
    // bit nothing but zero bytes stands before the extension's magic, at most 16 of them.
    size_t zeros = 0;
    for (;;) {
        if (bytesAfterStream(reader, &byte, 1) != 1) return damaged("extension cut short");
        if (byte != 0) break;
        if (++zeros > 16) return damaged("extension not found");
    }
    return readBlockFromStream(archive, byte, extension);
}

} // namespace

Error readTrailingExtension(Archive& archive, Extension& extension)
{
    Error failure = readExtensionAfterStream(archive, extension);
    if (!failure) archive.extensionEnd = streamBytesTaken(archive);
    return explainedByRead(archive, failure);
}

Error checkRecords(size_t entryCount, const std::function<const std::string&(size_t)>& entryName,
                   const std::function<bool(size_t)>& duplicateAt, const Extension& extension, bool systemRules)
{
    // A hard link names an earlier entry of its own run of equal files: written by then, and
    // holding the same bytes. Taken by target, each entry is looked at once however many
    // links share a run: the first entry at or after a target that is no copy ends its run.
    std::vector<const HardLink*> byTarget;
    byTarget.reserve(extension.hardLinks.size());
    for (const HardLink& link : extension.hardLinks) {
        if (link.entry >= entryCount || link.target >= link.entry) return damaged("extension hard link record");
        byTarget.push_back(&link);
    }
    std::sort(byTarget.begin(), byTarget.end(), [](const HardLink* a, const HardLink* b) { return a->target < b->target; });
    size_t runEnd = 0; // the first entry at or after the last target that is no copy
    bool known = false;
    for (const HardLink* link : byTarget) {
        if (!known || link->target > runEnd) {
            known = true;
            runEnd = link->target;
            while (runEnd < entryCount && duplicateAt(runEnd)) ++runEnd;
        }
        if (runEnd < link->entry) return damaged("hard link outside its run of equal files");
    }
    // The records' places (the entries' are looked up, not kept: a table may be large).
    std::set<std::string, std::less<>> records;
    std::set<std::string, std::less<>> links;
    OutputName split;
    auto record = [&](const std::string& name, bool link) {
        switch (faultOf(name, true)) {
        case NameFault::none:
            break;
        case NameFault::nul:
            return damaged("record name holds a NUL byte");
        case NameFault::parentReference:
            return damaged("record name with a .. component");
        case NameFault::dotOrEmpty:
            return damaged("record name with a . or empty component");
        case NameFault::outputFolder:
            return damaged("record for the output folder");
        case NameFault::noLeadingSeparator:
            return damaged("record name without a leading separator");
        }
        if (systemRules) {
            Entry asEntry;
            asEntry.name = name;
            if (Error refused = checkName(asEntry, false)) return refused;
        }
        splitOutputName(name, split);
        if (!records.insert(split.key()).second) return damaged("name stored twice");
        if (link) links.insert(split.key());
        return Error();
    };
    for (const FolderRecord& folder : extension.folders) {
        if (Error failure = record(folder.name, false)) return failure;
    }
    for (const LinkRecord& link : extension.links) {
        if (Error failure = record(link.name, true)) return failure;
    }
    for (const SpecialRecord& special : extension.specials) {
        if (Error failure = record(special.name, false)) return failure;
    }
    // Nothing may lie below a link this extraction makes: it would be reached through it.
    auto belowLink = [&](const std::string& place) {
        for (size_t cut = place.find('/'); cut != std::string::npos; cut = place.find('/', cut + 1)) {
            if (links.count(std::string_view(place).substr(0, cut))) return true;
        }
        return false;
    };
    for (size_t i = 0; i < entryCount; ++i) {
        if (!splitOutputName(entryName(i), split)) continue;
        const std::string place = split.key();
        if (records.count(place)) return damaged("name stored twice");
        if (!links.empty() && belowLink(place)) return damaged("name below a link record");
    }
    for (const std::string& place : records) {
        if (!links.empty() && belowLink(place)) return damaged("name below a link record");
    }
    return Error();
}

Error checkExtension(const std::vector<Entry>& entries, const Extension& extension)
{
    return checkRecords(
        entries.size(), [&](size_t i) -> const std::string& { return entries[i].name; },
        [&](size_t i) { return entries[i].duplicate; }, extension, true);
}

} // namespace qv5
