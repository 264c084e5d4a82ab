#pragma once
// The codec's bit streams bound to files: the archive layer reads and writes archives
// through these. crc32OfFile (qv5.h) is made here too.
#include "codec/bit_stream.h"

#include <cstdio>

namespace qv5 {

// Writes to the file at its position; a short write is a failure.
ByteSink fileSink(FILE* file);
// Reads from the file at its position; an error flag on the file is a failure.
ByteSource fileSource(FILE* file);

} // namespace qv5
