#include "archive/chunk_buffer.h"

#include "codec/codec_constants.h"
#include "platform/platform.h"

#include <cstring>

namespace qv5 {

std::unique_ptr<uint8_t[]> newChunkBuffer()
{
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[chunkSize + chunkSlack]);
    adviseLargePages(buffer.get(), chunkSize + chunkSlack);
    std::memset(buffer.get(), 0xFF, chunkSize + chunkSlack);
    return buffer;
}

} // namespace qv5
