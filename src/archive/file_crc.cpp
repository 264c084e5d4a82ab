#include "codec/crc32.h"
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <memory>

namespace qv5 {

namespace {
constexpr size_t crcReadSize = 512 * 1024;
constexpr int readsPerReport = crcProgressStep / crcReadSize;
} // namespace

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
        if (count < crcReadSize) break; // the end, or an error: fread falls short for nothing else
    }
    if (std::ferror(file)) {
        noteStreamFailure(); // the reason stays for the caller (lastFailureReason)
        return false;
    }
    crc = value;
    return true;
}

} // namespace qv5
