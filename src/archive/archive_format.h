#pragma once
// The archive container: the byte-aligned header and the Huffman-coded file table that
// open the bit stream. The blocks that follow are the codec's (codec/block_coder.h).
#include "codec/bit_stream.h"
#include "codec/huffman.h"
#include "input/input_records.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace qv5 {

constexpr char archiveMagic[4] = {'Q', 'V', '5', 'x'};
constexpr uint32_t currentHeaderLength = 32;
constexpr uint32_t oldHeaderLength = 24;
constexpr uint64_t crcFlag = 1;     // low byte of flags: entries carry a CRC-32
constexpr int32_t maxNameBytes = 2047; // longest stored name a reader accepts
constexpr uint32_t nameLengthBits = 12;
// Least bits one file-table entry takes: size, duplicate flag, name length.
constexpr uint64_t minEntryBits = 64 + 1 + 12;
constexpr uint64_t crcBits = 32;

struct ArchiveHeader {
    uint64_t entryCount = 0;
    uint64_t storedTotal = 0;
    uint64_t flags = 0;
    uint64_t reserved = 0;
};

// One file-table entry as read back by extraction and listing.
struct ArchiveEntry {
    std::string storedName;
    uint64_t size = 0;
    uint8_t crcPresent = 0;
    uint32_t crc = 0;
    uint8_t duplicate = 0; // the next entry has the same content and is not in the stream
};

// Prints "Error: damaged archive (%s)\n"; returns false for the caller to pass on.
bool reportDamage(const char* reason);

// Writes magic, header length and the 32-byte header straight to the file.
bool writeHeader(FILE* file, const ArchiveHeader& header);

// Reads the current or the old header form from the file's position; "Reading old header
// format\n" is printed for the old one. False (after a message) when the header is damaged
// or promises more entries than the rest of the file could hold.
bool readHeader(FILE* file, ArchiveHeader& header, int32_t& entryCount);

// The name code table, then every entry of the chain in order.
void writeFileTable(BitWriter& writer, const FileEntry* first, HuffmanCode& nameCode);

// Reads the name code table; false (after a message) when it is invalid.
bool readNameTable(BitReader& reader, HuffmanCode& nameCode);

// Reads the next file-table entry; false (after a message) when it is damaged or lies past
// the end of the file.
bool readEntry(BitReader& reader, const HuffmanCode& nameCode, bool withCrc, ArchiveEntry& entry);

} // namespace qv5
