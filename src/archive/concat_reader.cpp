#include "archive/concat_reader.h"

#include "codec/crc32.h"
#include "console/format.h"
#include "platform/platform.h"

namespace qv5 {

namespace {

bool fail(ConcatReader& reader, const char* format)
{
    std::printf(format, printable(reader.current->sourcePath).c_str());
    closeReader(reader);
    reader.failed = true;
    return false;
}

} // namespace

void closeReader(ConcatReader& reader)
{
    if (reader.file) std::fclose(reader.file);
    reader.file = nullptr;
}

int32_t fill(ConcatReader& reader, uint8_t* buffer, int32_t capacity)
{
    int32_t sum = 0;
    while (reader.current && sum < capacity && !reader.failed) {
        if (reader.current->duplicate) {
            while (reader.current && reader.current->duplicate) reader.current = reader.current->next;
            if (!reader.current) return sum;
        }
        if (!reader.file) {
            reader.file = openRead(reader.current->sourcePath);
            if (!reader.file) {
                fail(reader, "\nError opening input file %s\n");
                return 0;
            }
            reader.remaining = reader.current->size;
            reader.crc = 0;
        }
        if (reader.remaining > 0) {
            int64_t want = capacity - sum;
            if (want > reader.remaining) want = reader.remaining;
            size_t got = std::fread(buffer + sum, 1, static_cast<size_t>(want), reader.file);
            // A short read with the error flag set is a failed read, even when it delivered bytes.
            if (std::ferror(reader.file)) {
                fail(reader, "\nError reading input file %s\n");
                return 0;
            }
            if (got == 0) {
                fail(reader, "\nError: input file %s changed while being archived\n");
                return 0;
            }
            reader.crc = crc32Update(reader.crc, buffer + sum, got);
            reader.remaining -= static_cast<int64_t>(got);
            sum += static_cast<int32_t>(got);
        } else {
            // The recorded size is delivered; a byte more means the file grew.
            if (std::fgetc(reader.file) != EOF) {
                fail(reader, "\nError: input file %s changed while being archived\n");
                return 0;
            }
            if (std::ferror(reader.file)) {
                fail(reader, "\nError reading input file %s\n");
                return 0;
            }
            if (reader.current->crcPresent && reader.crc != reader.current->crc) {
                fail(reader, "\nError: input file %s changed while being archived\n");
                return 0;
            }
            closeReader(reader);
            reader.current = reader.current->next;
        }
    }
    return sum;
}

} // namespace qv5
