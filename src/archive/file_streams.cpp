#include "archive/file_streams.h"

namespace qv5 {

namespace {

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

} // namespace qv5
