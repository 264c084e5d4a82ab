#include "archive/concat_reader.h"

#include "codec/crc32.h"
#include "platform/platform.h"

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

} // namespace

void closeReader(ConcatReader& reader)
{
    if (reader.file) std::fclose(reader.file);
    reader.file = nullptr;
}

int32_t fill(ConcatReader& reader, uint8_t* buffer, int32_t capacity)
{
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
