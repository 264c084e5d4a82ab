#include "input/hash_file.h"

#include "codec/crc32.h"
#include "console/format.h"
#include "console/progress.h"
#include "platform/platform.h"

#include <cstdio>
#include <memory>

namespace qv5 {

namespace {
constexpr size_t hashReadSize = 512 * 1024;
constexpr int readsPerReport = 256; // one report per 128 MiB
} // namespace

bool hashFile(const std::string& path, int32_t index, int32_t total, uint32_t& crc, int64_t* size)
{
    FILE* file = openRead(path);
    if (!file) {
        std::printf("Error opening input file %s\n", printable(path).c_str());
        return false;
    }
    if (size && !sizeOfFile(file, *size)) {
        std::fclose(file);
        std::printf("Error reading input file %s\n", printable(path).c_str());
        return false;
    }
    thread_local std::unique_ptr<uint8_t[]> buffer(new uint8_t[hashReadSize]);
    uint32_t value = 0;
    int readsSinceReport = 0;
    uint64_t hashed = 0;
    size_t count;
    while ((count = std::fread(buffer.get(), 1, hashReadSize, file)) != 0) {
        if (index != -1 && readsSinceReport == readsPerReport) {
            char text[progressTextSize];
            std::snprintf(text, sizeof text, "File %d/%d, hashed %s", index, total, FormatNumber(hashed, true));
            ProgressLine::show(text);
            readsSinceReport = 0;
        }
        value = crc32Update(value, buffer.get(), count);
        ++readsSinceReport;
        hashed += count;
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        std::printf("Error reading input file %s\n", printable(path).c_str());
        return false;
    }
    if (index != -1 && index == total) ProgressLine::clear();
    crc = value;
    return true;
}

} // namespace qv5
