#include "archive/archive_reader.h"

#include "archive/chunk_decoder.h"
#include "archive/chunk_timing.h"
#include "archive/file_streams.h"
#include "archive/parallel_chunks.h"
#include "archive/stored_names.h"

#include <algorithm>
#include <cstring>

namespace qv5 {

void ArchiveDeleter::operator()(Archive* archive) const
{
    delete archive;
}

ArchivePtr openArchive(FILE* file)
{
    ArchivePtr archive(new Archive);
    archive->file = file;
    archive->identity = identityOfFile(file);
    archive->reader.source = fileSource(file);
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

uint64_t bytesRead(const Archive& archive)
{
    return archive.file ? static_cast<uint64_t>(tellFile(archive.file)) : archive.memory.position;
}

namespace {

HeaderInput headerInput(Archive& archive)
{
    HeaderInput input;
    if (archive.file) {
        FILE* file = archive.file;
        input.read = [file](uint8_t* buffer, size_t count) { return std::fread(buffer, 1, count, file); };
        input.unread = [file](size_t count) { seekFile(file, -static_cast<int64_t>(count), SEEK_CUR); };
        input.remaining = [file] {
            int64_t here = tellFile(file);
            seekFile(file, 0, SEEK_END);
            int64_t end = tellFile(file);
            seekFile(file, here, SEEK_SET);
            return end > here ? end - here : 0;
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
    input.unread = [&memory](size_t count) { memory.position -= count; };
    input.remaining = [&memory] { return static_cast<int64_t>(memory.size - memory.position); };
    return input;
}

} // namespace

Error readTable(Archive& archive, const TableCallbacks& callbacks, std::vector<Entry>& entries)
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
        if (callbacks.entry) {
            if (Error failure = callbacks.entry(entry, i + 1, entryCount)) return failure;
        }
    }
    releaseTables(nameCode);
    archive.tableRead = true;
    return Error();
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
        if (take > 0) {
            if (Error failure = callbacks.bytes(splitter.current, data, static_cast<size_t>(take))) return failure;
        }
        data += take;
        n -= take;
        splitter.owed -= take;
        if (splitter.owed == 0) {
            splitter.begun = false;
            if (Error failure = callbacks.end(splitter.current)) return failure;
            while (entries[splitter.current].duplicate && splitter.current + 1 < entries.size()) {
                ++splitter.current;
                if (Error failure = callbacks.copy(splitter.current, splitter.current - 1)) return failure;
            }
            ++splitter.current;
            continue;
        }
        if (n == 0) return Error();
    }
}

Error decodeEntries(Archive& archive, const std::vector<Entry>& entries, int threads,
                    const std::function<void(const ChunkProgress&)>& progress, const SplitCallbacks& callbacks)
{
    const uint64_t storedTotal = archive.header.storedTotal;
    EntrySplitter splitter;
    splitter.entries = &entries;
    Error result;
    if (storedTotal == 0) {
        result = split(splitter, nullptr, 0, callbacks); // every entry is empty: each is created
    } else {
        if (threads <= 0) threads = defaultThreadCount();
        float g = 1.0f;
        uint32_t t1 = 0;
        auto start = [&](uint64_t done, int32_t length) {
            if (done > 0) g = chunkSeconds(t1, clockMs());
            if (progress) {
                ChunkProgress chunk;
                chunk.done = done;
                chunk.size = static_cast<uint64_t>(length);
                chunk.total = storedTotal;
                chunk.previousSeconds = g;
                progress(chunk);
            }
            t1 = clockMs();
        };
        auto take = [&](const uint8_t* data, int32_t length) {
            return split(splitter, data, static_cast<uint64_t>(length), callbacks);
        };
        result = decodeChunks(archive.reader, storedTotal, threads > 1, start, take);
    }
    if (!result && splitter.current != entries.size()) result = damaged("stream ends before its files");
    return result;
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
    return decodeEntries(archive, entries, threads, callbacks.chunk, split);
}

} // namespace qv5
