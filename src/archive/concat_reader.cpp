#include "archive/concat_reader.h"

#include "codec/crc32.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace qv5 {

namespace {

// reason: the system's, when a call failed.
int32_t fail(ConcatReader& reader, ErrorCode code, const std::string& reason = std::string())
{
    reader.failure = Error{code, (*reader.entries)[reader.current].path, std::string(), true};
    reader.failure.reason = reason;
    closeReader(reader);
    return 0;
}

int32_t failedStream(ConcatReader& reader)
{
    noteStreamFailure();
    return fail(reader, ErrorCode::readInput, lastFailureReason());
}

// ---- Sources stored as read ----------------------------------------------------------------

void report(ConcatReader& reader, size_t index, SourceChange change, std::string reason = std::string())
{
    reader.events.emplace_back(reader.fills, SourceEvent{index, change, std::move(reason)});
}

// The entry just read is done, with what its table entry is to say: its run takes its place
// in the archive's order. Where the table can be corrected, the copies of an entry that was
// not stored as recorded need bytes of their own (but its hard links, which are the same
// file): they are read next, as a run of their own.
void settle(ConcatReader& reader, SourceState state, int64_t size, uint32_t crc)
{
    const size_t index = reader.current;
    reader.outcomes[index] = SourceOutcome{state, size, crc};
    std::vector<size_t> copies;
    copies.swap(reader.copies);
    const bool lost = state == SourceState::leftOut || (reader.correctable && state != SourceState::asRecorded);
    for (size_t copy : copies) {
        const bool sameFile = state != SourceState::leftOut && reader.inode[copy] == reader.inode[index];
        if (lost && !sameFile) {
            reader.orphans.push_back(copy);
            continue;
        }
        if (sameFile) reader.outcomes[copy] = SourceOutcome{state, size, crc};
        reader.order.push_back(copy);
        reader.duplicate[copy] = true;
    }
    if (state == SourceState::leftOut) return;
    reader.order.push_back(index);
    reader.duplicate[index] = false;
}

// The next entry whose bytes the stream holds, its copies gathered; false at the end.
bool nextSource(ConcatReader& reader)
{
    const std::vector<NewEntry>& entries = *reader.entries;
    if (!reader.orphans.empty()) {
        reader.current = reader.orphans.back();
        reader.orphans.pop_back();
        reader.copies.swap(reader.orphans);
        return true;
    }
    while (reader.walk < entries.size() && entries[reader.walk].duplicate) reader.copies.push_back(reader.walk++);
    if (reader.walk == entries.size()) {
        for (size_t copy : reader.copies) { // copies of nothing: kept as given
            reader.order.push_back(copy);
            reader.duplicate[copy] = true;
        }
        reader.copies.clear();
        return false;
    }
    reader.current = reader.walk++;
    return true;
}

// The current entry's source failed (reason: the system's words). When none of its bytes has
// left this fill and the table can be corrected, it is left out; otherwise the rest of its
// bytes are zeros, and its checksum tells a reader.
void sourceFailed(ConcatReader& reader, std::string reason, int32_t& sum)
{
    closeReader(reader);
    if (reader.correctable && reader.startedAt >= 0) {
        sum = reader.startedAt;
        reader.started = false;
        settle(reader, SourceState::leftOut, 0, 0);
        report(reader, reader.current, SourceChange::leftOut, std::move(reason));
        return;
    }
    reader.zeroFill = true;
    reader.zeroReason = std::move(reason);
}

// Every byte of the current entry delivered: what it is to be stored as.
void sourceRead(ConcatReader& reader)
{
    const NewEntry& entry = (*reader.entries)[reader.current];
    // With the table fixed, a byte more means the file grew.
    const bool grew = reader.file && !reader.correctable && !reader.zeroFill && std::fgetc(reader.file) != EOF;
    closeReader(reader);
    reader.started = false;
    if (reader.zeroFill) {
        settle(reader, SourceState::mismatched, reader.delivered, entry.crc);
        report(reader, reader.current, SourceChange::mismatched, reader.zeroReason);
        return;
    }
    const bool same = reader.delivered == entry.size && reader.crc == entry.crc;
    if (same && !grew) {
        settle(reader, SourceState::asRecorded, entry.size, entry.crc);
    } else if (reader.correctable) {
        settle(reader, SourceState::changed, reader.delivered, reader.crc);
        report(reader, reader.current, SourceChange::changed);
    } else if (same) { // it grew; what is stored is what the entry says
        settle(reader, SourceState::asRecorded, entry.size, entry.crc);
        report(reader, reader.current, SourceChange::changed);
    } else {
        settle(reader, SourceState::mismatched, reader.delivered, entry.crc);
        report(reader, reader.current, SourceChange::mismatched);
    }
}

int32_t fillAsRead(ConcatReader& reader, uint8_t* buffer, int32_t capacity)
{
    const std::vector<NewEntry>& entries = *reader.entries;
    int32_t sum = 0;
    reader.startedAt = -1; // an entry still open began in an earlier fill
    while (sum < capacity) {
        if (!reader.started) {
            if (!nextSource(reader)) break;
            const NewEntry& entry = entries[reader.current];
            reader.started = true;
            reader.startedAt = sum;
            reader.remaining = entry.size;
            reader.delivered = 0;
            reader.crc = 0;
            reader.zeroFill = false;
            reader.zeroReason.clear();
            if (!entry.path.empty()) {
                if (!(reader.file = openRead(entry.path))) {
                    sourceFailed(reader, lastFailureReason(), sum);
                    continue;
                }
                std::setvbuf(reader.file, nullptr, _IONBF, 0);
                // Stored as it is when it is opened: a file that grows meanwhile (a log) is
                // not chased.
                int64_t now = 0;
                if (reader.correctable && sizeOfFile(reader.file, now)) reader.remaining = now;
            }
        }
        if (reader.remaining > 0) {
            const NewEntry& entry = entries[reader.current];
            const size_t want = static_cast<size_t>(std::min<int64_t>(capacity - sum, reader.remaining));
            size_t got = want;
            if (reader.zeroFill) {
                std::memset(buffer + sum, 0, want);
            } else if (!reader.file) {
                std::memcpy(buffer + sum, entry.data + reader.delivered, want);
            } else {
                got = std::fread(buffer + sum, 1, want, reader.file);
                if (std::ferror(reader.file)) {
                    noteStreamFailure();
                    sourceFailed(reader, lastFailureReason(), sum);
                    continue;
                }
                if (got == 0) { // it ended early: stored shorter, or padded to its recorded size
                    if (reader.correctable) {
                        reader.remaining = 0;
                    } else {
                        reader.zeroFill = true;
                    }
                    continue;
                }
            }
            reader.crc = crc32Update(reader.crc, buffer + sum, got);
            reader.delivered += static_cast<int64_t>(got);
            reader.remaining -= static_cast<int64_t>(got);
            sum += static_cast<int32_t>(got);
            continue;
        }
        sourceRead(reader);
    }
    if (sum > 0) ++reader.fills;
    return sum;
}

} // namespace

void storeSourcesAsRead(ConcatReader& reader, bool correctable, const std::vector<HardLink>* hardLinks)
{
    const size_t n = reader.entries->size();
    reader.storeAsRead = true;
    reader.correctable = correctable;
    reader.outcomes.assign(n, SourceOutcome());
    reader.duplicate.assign(n, false);
    reader.order.reserve(n);
    reader.inode.resize(n);
    for (size_t i = 0; i < n; ++i) reader.inode[i] = i;
    if (!hardLinks) return;
    for (const HardLink& link : *hardLinks) {
        if (link.entry < n && link.target < n) reader.inode[link.entry] = reader.inode[link.target];
    }
}

void closeReader(ConcatReader& reader)
{
    if (reader.file) std::fclose(reader.file);
    reader.file = nullptr;
}

int32_t fill(ConcatReader& reader, uint8_t* buffer, int32_t capacity)
{
    if (reader.storeAsRead) return fillAsRead(reader, buffer, capacity);
    const std::vector<NewEntry>& entries = *reader.entries;
    int32_t sum = 0;
    while (reader.current < entries.size() && sum < capacity && !reader.failure) {
        const NewEntry& entry = entries[reader.current];
        if (entry.duplicate) { // its copy is stored with the next entry
            ++reader.current;
            continue;
        }
        const bool inMemory = entry.path.empty();
        if (!reader.started) {
            if (!inMemory) {
                if (!(reader.file = openRead(entry.path))) return fail(reader, ErrorCode::openInput, lastFailureReason());
                // Reads go straight into the chunk: a stream buffer would only cost the system
                // call that sizes it.
                std::setvbuf(reader.file, nullptr, _IONBF, 0);
            }
            reader.started = true;
            reader.remaining = entry.size;
            reader.crc = 0;
        }
        if (reader.remaining > 0) {
            int64_t want = capacity - sum;
            if (want > reader.remaining) want = reader.remaining;
            size_t got;
            if (inMemory) {
                got = static_cast<size_t>(want);
                std::memcpy(buffer + sum, entry.data + (entry.size - reader.remaining), got);
            } else {
                got = std::fread(buffer + sum, 1, static_cast<size_t>(want), reader.file);
                // A short read with the error flag set is a failed read, even when it delivered bytes.
                if (std::ferror(reader.file)) return failedStream(reader);
                if (got == 0) return fail(reader, ErrorCode::inputChanged);
            }
            reader.crc = crc32Update(reader.crc, buffer + sum, got);
            reader.remaining -= static_cast<int64_t>(got);
            sum += static_cast<int32_t>(got);
            continue;
        }
        if (!inMemory) {
            // The recorded size is delivered; a byte more means the file grew.
            if (std::fgetc(reader.file) != EOF) return fail(reader, ErrorCode::inputChanged);
            if (std::ferror(reader.file)) return failedStream(reader);
        }
        if (reader.crc != entry.crc) return fail(reader, ErrorCode::inputChanged);
        closeReader(reader);
        reader.started = false;
        ++reader.current;
    }
    return sum;
}

} // namespace qv5
