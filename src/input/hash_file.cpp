#include "input/hash_file.h"

#include "platform/platform.h"
#include "qv5/qv5.h"

#include <cstdio>

namespace qv5 {

InputError hashFile(const std::string& path, uint32_t& crc, int64_t* size, const HashProgress& progress,
                    FileMetadata* metadata)
{
    FILE* file = openRead(path);
    if (!file) return InputError{InputFailure::openInput, path, false, lastFailureReason()};
    bool ok = (!size || sizeOfFile(file, *size)) && (!metadata || metadataOfFile(file, *metadata));
    ok = ok && crc32OfFile(file, crc, progress);
    // Each of them keeps the reason of its failure.
    const std::string reason = ok ? std::string() : lastFailureReason();
    std::fclose(file);
    if (!ok) return InputError{InputFailure::readInput, path, false, reason};
    return InputError();
}

} // namespace qv5
