#pragma once
// The archive container: the byte-aligned header and the Huffman-coded file table that
// open the bit stream. The blocks that follow are the codec's (codec/block_coder.h).
#include "codec/bit_stream.h"
#include "codec/huffman.h"
#include "qv5/qv5.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qv5 {

constexpr char archiveMagic[4] = {'Q', 'V', '5', 'x'};
constexpr uint32_t currentHeaderLength = 32;
constexpr uint32_t oldHeaderLength = 24;
constexpr uint64_t crcFlag = 1;        // low byte of flags: entries carry a CRC-32
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

inline bool isPathSeparator(char c)
{
    return c == '\\' || c == '/';
}

// "damaged archive (reason)"
inline Error damaged(const char* reason, bool midLine = false)
{
    return Error{ErrorCode::damagedArchive, std::string(), reason, midLine};
}

// A system call of the platform layer just failed: the error, with the system's reason.
Error systemError(ErrorCode code, std::string subject, bool midLine = false);
// A C stream call (fread, fwrite, fflush, fclose) just failed: the error, with its reason.
Error streamError(ErrorCode code, std::string subject, bool midLine = false);

// The magic, the header length and the 32-byte header, as bytes.
std::vector<uint8_t> headerBytes(const ArchiveHeader& header);

// Where a header is read from: raw bytes in order (never sought, so a pipe will do), and how
// many bytes are left after them (-1: unknown).
struct HeaderInput {
    std::function<size_t(uint8_t* buffer, size_t count)> read;
    std::function<int64_t()> remaining;
};

// Reads the current or the old header form; oldHeader is called for the old one. Fails when
// the header is damaged or promises more entries than the rest of the input could hold, and
// with notAnArchive when the input has neither the magic nor a plausible old header.
Error readHeader(const HeaderInput& input, ArchiveHeader& header, int32_t& entryCount,
                 const std::function<void()>& oldHeader);

// The name code table, then every entry in order. The name code is built from the names of
// entries, or of codedFrom when given (which holds every name of entries, and maybe more).
void writeFileTable(BitWriter& writer, const std::vector<NewEntry>& entries, HuffmanCode& nameCode,
                    const std::vector<NewEntry>* codedFrom = nullptr);

// Reads the name code table.
Error readNameTable(BitReader& reader, HuffmanCode& nameCode);

// Reads the next file-table entry; fails when it is damaged or lies past the end of the input.
Error readEntry(BitReader& reader, const HuffmanCode& nameCode, bool withCrc, Entry& entry);

} // namespace qv5
