#include "archive/archive_format.h"

#include "codec/byte_order.h"
#include "platform/platform.h"

#include <cstring>

namespace qv5 {

Error systemError(ErrorCode code, std::string subject, bool midLine)
{
    Error failure(code, std::move(subject), std::string(), midLine);
    failure.reason = lastFailureReason();
    return failure;
}

Error streamError(ErrorCode code, std::string subject, bool midLine)
{
    noteStreamFailure();
    return systemError(code, std::move(subject), midLine);
}

std::vector<uint8_t> headerBytes(const ArchiveHeader& header)
{
    std::vector<uint8_t> bytes(8 + currentHeaderLength);
    std::memcpy(bytes.data(), archiveMagic, 4);
    storeU32(bytes.data() + 4, currentHeaderLength);
    storeU64(bytes.data() + 8, header.entryCount);
    storeU64(bytes.data() + 16, header.storedTotal);
    storeU64(bytes.data() + 24, header.flags);
    storeU64(bytes.data() + 32, header.reserved);
    return bytes;
}

Error readHeader(const HeaderInput& input, ArchiveHeader& header, int32_t& entryCount,
                 const std::function<void()>& oldHeader)
{
    uint8_t record[currentHeaderLength] = {};
    uint8_t magic[4] = {};
    size_t got = input.read(magic, 4);
    const bool current = got == 4 && std::memcmp(magic, archiveMagic, 4) == 0;
    if (current) {
        uint8_t lengthBytes[4] = {};
        if (input.read(lengthBytes, 4) != 4) return damaged("header cut short");
        uint32_t headerLength = loadU32(lengthBytes);
        if (headerLength > currentHeaderLength) return damaged("header length above 32");
        if (input.read(record, headerLength) != headerLength) return damaged("header cut short");
    } else {
        // The older form has no magic: the four bytes read are its first ones. A start of the
        // magic cut short is a damaged archive; anything else shorter than the old header is
        // none.
        std::memcpy(record, magic, got);
        if (got < 4 || input.read(record + 4, oldHeaderLength - 4) != oldHeaderLength - 4) {
            if (got > 0 && got < 4 && std::memcmp(magic, archiveMagic, got) == 0) {
                if (oldHeader) oldHeader();
                return damaged("header cut short");
            }
            return Error(ErrorCode::notAnArchive);
        }
    }
    header.entryCount = loadU64(record);
    header.storedTotal = loadU64(record + 8);
    header.flags = loadU64(record + 16);
    header.reserved = loadU64(record + 24);

    // Every entry takes at least minEntryBits of the stream: a count the rest of the input
    // cannot hold is rejected before anything is allocated for it.
    int64_t left = input.remaining();
    uint64_t entryBits = minEntryBits + ((header.flags & 0xFF) ? crcBits : 0);
    const bool countFits = left < 0 || header.entryCount <= static_cast<uint64_t>(left) * 8 / entryBits;
    // Without the magic only a count a writer could have written, and the file can hold, makes
    // the bytes an archive of the older form: text and other files start otherwise.
    if (!current) {
        if (header.entryCount > 0x7FFFFFFF || !countFits) return Error(ErrorCode::notAnArchive);
        if (oldHeader) oldHeader();
    }
    entryCount = static_cast<int32_t>(static_cast<uint32_t>(header.entryCount));
    if (entryCount < 0) return damaged("negative entry count");
    if (left >= 0 && static_cast<uint64_t>(entryCount) > static_cast<uint64_t>(left) * 8 / entryBits)
        return damaged("more entries than the file holds");
    return Error();
}

void writeFileTable(BitWriter& writer, const std::vector<NewEntry>& entries, HuffmanCode& nameCode,
                    const std::vector<NewEntry>* codedFrom)
{
    resetModel(nameCode);
    for (const NewEntry& entry : codedFrom ? *codedFrom : entries) {
        for (unsigned char c : entry.name) countSymbol(nameCode, c);
    }
    writeTable(nameCode, writer);
    for (const NewEntry& entry : entries) {
        writeU64(writer, static_cast<uint64_t>(entry.size));
        writeBits(writer, entry.duplicate ? 1 : 0, 1);
        writeBits(writer, entry.name.size(), nameLengthBits);
        for (unsigned char c : entry.name) encodeSymbol(nameCode, writer, c);
        writeU32(writer, entry.crc);
    }
}

Error readNameTable(BitReader& reader, HuffmanCode& nameCode)
{
    if (!readTable(nameCode, reader)) return damaged("invalid file name code");
    return Error();
}

Error readEntry(BitReader& reader, const HuffmanCode& nameCode, bool withCrc, Entry& entry)
{
    entry.size = readU64(reader);
    entry.duplicate = readBits(reader, 1) != 0;
    uint32_t nameLength = static_cast<uint32_t>(readBits(reader, nameLengthBits));
    if (nameLength > static_cast<uint32_t>(maxNameBytes)) return damaged("stored name too long");
    entry.name.resize(nameLength);
    for (uint32_t i = 0; i < nameLength; ++i) {
        uint32_t symbol = decodeSymbol(nameCode, reader);
        if (symbol == noSymbol) return damaged("invalid code in a file name");
        if (symbol == 0) return damaged("stored name holds a NUL byte");
        entry.name[i] = static_cast<char>(symbol);
    }
    entry.hasCrc = withCrc;
    entry.crc = withCrc ? readU32(reader) : 0;
    if (consumedPastEnd(reader)) return damaged("file table cut short");
    if (reader.readFailed) return damaged("read error");
    return Error();
}

} // namespace qv5
