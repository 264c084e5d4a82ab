#include "input/hash_file.h"

#include "platform/platform.h"
#include "qv5/qv5.h"

#include <cstdio>
#include <memory>

namespace qv5 {

namespace {
constexpr size_t hashReadSize = 512 * 1024;
constexpr int readsPerReport = hashProgressStep / hashReadSize;
} // namespace

InputError hashFile(const std::string& path, uint32_t& crc, int64_t* size, const HashProgress& progress,
                    FileMetadata* metadata)
{
    FILE* file = openRead(path);
    if (!file) return InputError{InputFailure::openInput, path};
    if ((size && !sizeOfFile(file, *size)) || (metadata && !metadataOfFile(file, *metadata))) {
        std::fclose(file);
        return InputError{InputFailure::readInput, path};
    }
    thread_local std::unique_ptr<uint8_t[]> buffer(new uint8_t[hashReadSize]);
    uint32_t value = 0;
    int readsSinceReport = 0;
    uint64_t hashed = 0;
    size_t count;
    while ((count = std::fread(buffer.get(), 1, hashReadSize, file)) != 0) {
        if (progress && readsSinceReport == readsPerReport) {
            progress(hashed);
            readsSinceReport = 0;
        }
        value = crc32(value, buffer.get(), count);
        ++readsSinceReport;
        hashed += count;
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return InputError{InputFailure::readInput, path};
    crc = value;
    return InputError();
}

} // namespace qv5
