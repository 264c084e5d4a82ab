#include "archive/archive_format.h"

#include "platform/platform.h"

#include <cstring>

namespace qv5 {

namespace {

void putU32(uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void putU64(uint8_t* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t getU64(const uint8_t* in)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

} // namespace

bool reportDamage(const char* reason)
{
    std::printf("Error: damaged archive (%s)\n", reason);
    return false;
}

bool writeHeader(FILE* file, const ArchiveHeader& header)
{
    uint8_t bytes[8 + currentHeaderLength];
    std::memcpy(bytes, archiveMagic, 4);
    putU32(bytes + 4, currentHeaderLength);
    putU64(bytes + 8, header.entryCount);
    putU64(bytes + 16, header.storedTotal);
    putU64(bytes + 24, header.flags);
    putU64(bytes + 32, header.reserved);
    return std::fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes;
}

bool readHeader(FILE* file, ArchiveHeader& header, int32_t& entryCount)
{
    uint8_t record[currentHeaderLength] = {};
    uint8_t magic[4] = {};
    size_t got = std::fread(magic, 1, 4, file);
    if (got == 4 && std::memcmp(magic, archiveMagic, 4) == 0) {
        uint8_t lengthBytes[4] = {};
        if (std::fread(lengthBytes, 1, 4, file) != 4) return reportDamage("header cut short");
        uint32_t headerLength = lengthBytes[0] | (lengthBytes[1] << 8) | (lengthBytes[2] << 16) |
                                (static_cast<uint32_t>(lengthBytes[3]) << 24);
        if (headerLength > currentHeaderLength) return reportDamage("header length above 32");
        if (std::fread(record, 1, headerLength, file) != headerLength) return reportDamage("header cut short");
    } else {
        std::printf("Reading old header format\n");
        seekFile(file, -static_cast<int64_t>(got), SEEK_CUR);
        if (std::fread(record, 1, oldHeaderLength, file) != oldHeaderLength) return reportDamage("header cut short");
    }
    header.entryCount = getU64(record);
    header.storedTotal = getU64(record + 8);
    header.flags = getU64(record + 16);
    header.reserved = getU64(record + 24);

    entryCount = static_cast<int32_t>(static_cast<uint32_t>(header.entryCount));
    if (entryCount < 0) return reportDamage("negative entry count");
    // Every entry takes at least minEntryBits of the stream: a count the rest of the file
    // cannot hold is rejected before anything is allocated for it.
    int64_t here = tellFile(file);
    seekFile(file, 0, SEEK_END);
    int64_t end = tellFile(file);
    seekFile(file, here, SEEK_SET);
    uint64_t entryBits = minEntryBits + ((header.flags & 0xFF) ? crcBits : 0);
    uint64_t available = end > here ? static_cast<uint64_t>(end - here) * 8 : 0;
    if (static_cast<uint64_t>(entryCount) > available / entryBits) return reportDamage("more entries than the file holds");
    return true;
}

void writeFileTable(BitWriter& writer, const FileEntry* first, HuffmanCode& nameCode)
{
    resetModel(nameCode);
    for (const FileEntry* entry = first; entry; entry = entry->next) {
        for (unsigned char c : entry->storedName) countSymbol(nameCode, c);
    }
    writeTable(nameCode, writer);
    for (const FileEntry* entry = first; entry; entry = entry->next) {
        writeU64(writer, static_cast<uint64_t>(entry->size));
        writeBits(writer, entry->duplicate, 1);
        writeBits(writer, entry->storedName.size(), nameLengthBits);
        for (unsigned char c : entry->storedName) encodeSymbol(nameCode, writer, c);
        writeU32(writer, entry->crc);
    }
}

bool readNameTable(BitReader& reader, HuffmanCode& nameCode)
{
    if (!readTable(nameCode, reader)) return reportDamage("invalid file name code");
    return true;
}

bool readEntry(BitReader& reader, const HuffmanCode& nameCode, bool withCrc, ArchiveEntry& entry)
{
    entry.size = readU64(reader);
    entry.duplicate = static_cast<uint8_t>(readBits(reader, 1));
    uint32_t nameLength = static_cast<uint32_t>(readBits(reader, nameLengthBits));
    if (nameLength > static_cast<uint32_t>(maxNameBytes)) return reportDamage("stored name too long");
    entry.storedName.resize(nameLength);
    for (uint32_t i = 0; i < nameLength; ++i) {
        uint32_t symbol = decodeSymbol(nameCode, reader);
        if (symbol == noSymbol) return reportDamage("invalid code in a file name");
        if (symbol == 0) return reportDamage("stored name holds a NUL byte");
        entry.storedName[i] = static_cast<char>(symbol);
    }
    entry.crcPresent = withCrc ? 1 : 0;
    entry.crc = withCrc ? readU32(reader) : 0;
    if (consumedPastEnd(reader)) return reportDamage("file table cut short");
    if (reader.readFailed) return reportDamage("read error");
    return true;
}

} // namespace qv5
