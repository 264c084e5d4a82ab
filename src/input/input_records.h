#pragma once
#include "platform/platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qv5 {

// One discovered input file. Names are held as strings sized to fit; discovery keeps them
// within maxPathLength (at most 1023 bytes), the limit of the archive's name fields.
struct SourceItem {
    std::string sourcePath; // full path of the file
    std::string storedName; // name in the archive, beginning with a separator
    uint64_t sortKey = 0;   // written by the ordering scans
};

using InputList = std::vector<SourceItem>;

// A folder, a link or a special file (a FIFO or a device) met during discovery when metadata
// is stored: kept as what it is, not as files.
struct ExtraItem {
    std::string sourcePath;
    std::string storedName;
    bool isLink = false;
    bool linkToFolder = false; // what the link led to, when stored
    bool dangling = false;
    bool special = false; // a FIFO or a device, never opened
};

using ExtraList = std::vector<ExtraItem>;

// One input file as the compression driver sees it.
struct FileEntry {
    std::string storedName;
    std::string sourcePath;
    int64_t size = 0;
    uint8_t crcPresent = 0;
    uint32_t crc = 0;
    FileMetadata metadata; // time and mode, when metadata is stored
    uint8_t duplicate = 0; // same content as the entry before it in the list, which comes
                           // after it in the archive and holds the stored copy
    // The bytes of a file made when read (/proc, /sys), kept as they were read once: its size
    // says nothing of them and a second read may give others. Never a duplicate.
    std::shared_ptr<const std::vector<uint8_t>> contents;
};

inline bool isPathSeparator(char c)
{
    return c == '\\' || c == '/';
}

// 'A'-'Z' lowered, every other byte kept: the case rule of flags and extensions.
inline std::string lowerAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Why preparing the input set stopped; the program prints it.
enum class InputFailure { none, openInput, readInput, pathTooLong, backslashInName, parentInTypedPath };

struct InputError {
    InputFailure kind = InputFailure::none;
    std::string path;
    bool midLine = false; // came while a progress line was shown
    std::string reason;   // the system's words, when a system call failed

    InputError() = default;
    InputError(InputFailure kind, std::string path, bool midLine = false, std::string reason = std::string())
        : kind(kind), path(std::move(path)), midLine(midLine), reason(std::move(reason))
    {
    }
    explicit operator bool() const { return kind != InputFailure::none; }
};

} // namespace qv5
