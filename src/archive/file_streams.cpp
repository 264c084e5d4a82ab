#include "archive/file_streams.h"

#include "codec/crc32.h"
#include "qv5/qv5.h"

#include <memory>

namespace qv5 {

namespace {

constexpr size_t crcReadSize = 512 * 1024;
constexpr int readsPerReport = crcProgressStep / crcReadSize;

bool writeToFile(void* context, const uint8_t* bytes, size_t count)
{
    return std::fwrite(bytes, 1, count, static_cast<FILE*>(context)) == count;
}

size_t readFromFile(void* context, uint8_t* buffer, size_t capacity, bool* failed)
{
    FILE* file = static_cast<FILE*>(context);
    size_t got = std::fread(buffer, 1, capacity, file);
    if (std::ferror(file)) *failed = true;
    return got;
}

} // namespace

ByteSink fileSink(FILE* file)
{
    return ByteSink{file, writeToFile};
}

ByteSource fileSource(FILE* file)
{
    return ByteSource{file, readFromFile};
}

bool crc32OfFile(FILE* file, uint32_t& crc, const std::function<void(uint64_t hashed)>& progress)
{
    thread_local std::unique_ptr<uint8_t[]> buffer(new uint8_t[crcReadSize]);
    uint32_t value = 0;
    int readsSinceReport = 0;
    uint64_t hashed = 0;
    size_t count;
    while ((count = std::fread(buffer.get(), 1, crcReadSize, file)) != 0) {
        if (progress && readsSinceReport == readsPerReport) {
            progress(hashed);
            readsSinceReport = 0;
        }
        value = crc32Update(value, buffer.get(), count);
        ++readsSinceReport;
        hashed += count;
    }
    if (std::ferror(file)) return false;
    crc = value;
    return true;
}

} // namespace qv5
