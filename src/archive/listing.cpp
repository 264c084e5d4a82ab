#include "archive/listing.h"

#include "archive/archive_format.h"
#include "archive/file_streams.h"
#include "console/format.h"

#include <memory>

namespace qv5 {

bool listArchive(FILE* archiveFile)
{
    std::unique_ptr<uint8_t[]> inBuffer(new uint8_t[bitBufferSize]);
    ArchiveHeader header;
    int32_t entryCount = 0;
    if (!readHeader(archiveFile, header, entryCount)) return false;
    BitReader reader;
    reader.source = fileSource(archiveFile);
    reader.inBuffer = inBuffer.get();
    bool withCrc = (header.flags & 0xFF) != 0;

    HuffmanCode nameCode{nameAlphabet};
    if (!readNameTable(reader, nameCode)) return false;
    ArchiveEntry entry;
    for (int32_t i = 1; i <= entryCount; ++i) {
        if (!readEntry(reader, nameCode, withCrc, entry)) return false;
        if (withCrc) {
            std::printf("[%d]: %s, %s, CRC32: %X\n", i, printable(entry.storedName).c_str(), FormatNumber(entry.size, true),
                        entry.crc);
        } else {
            std::printf("[%d]: %s, %s\n", i, printable(entry.storedName).c_str(), FormatNumber(entry.size, true));
        }
    }
    if (entryCount == 1) {
        std::printf("1 file\n");
    } else {
        std::printf("%d files\n", entryCount);
    }
    releaseTables(nameCode);
    return true;
}

} // namespace qv5
