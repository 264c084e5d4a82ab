#include "archive/extractor.h"

#include "archive/archive_format.h"
#include "archive/chunk_decoder.h"
#include "archive/file_streams.h"
#include "archive/parallel_chunks.h"
#include "archive/stored_names.h"
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "codec/crc32.h"
#include "codec/huffman.h"
#include "console/format.h"
#include "console/progress.h"
#include "console/prompt.h"
#include "input/hash_file.h"
#include "platform/platform.h"

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qv5 {

namespace {

constexpr uint64_t extractionModelKb = 25091;
constexpr size_t copyPieceSize = 262144;
constexpr size_t outputPathCapacity = 1024; // prefix + stored name, terminating NUL included

// Process-wide: folders created so far.
std::set<std::string> createdDirectories;

struct Extraction {
    FILE* archiveFile = nullptr;
    FileIdentity archiveIdentity;
    const LevelSettings* settings = nullptr;
    std::vector<ArchiveEntry> entries;
    bool singleFile = false;
    bool typedOutput = false;  // one-file archive written to the path the user typed, as given
    bool overwriteAll = false; // the answer A to an overwrite prompt
    std::string outputPath; // single-file mode
    std::string prefix;     // multi-file mode
    // OutputSplitter state
    size_t current = 0; // index of the current entry; entries.size() when all are done
    uint64_t owed = 0;
    FILE* output = nullptr;
    std::string outputName; // path of the open output file
    uint32_t outputCrc = 0; // CRC-32 of the bytes written to it so far
    // CRC-32 of the bytes handed to fwrite for each entry's file, duplicates included; what
    // the report validates against the stored values.
    std::vector<uint32_t> writtenCrc;
    // The file each entry was written to, as the system identifies it.
    std::vector<FileIdentity> writtenFile;
};

std::string pathOf(const Extraction& x, size_t index)
{
    return x.singleFile ? x.outputPath : x.prefix + x.entries[index].storedName;
}

void createFolders(const std::string& path)
{
    std::string copy = path;
    for (char& c : copy) {
        if (c == '/') c = '\\';
    }
    for (size_t i = 0; i < copy.size(); ++i) {
        if (copy[i] != '\\') continue;
        std::string folder = copy.substr(0, i);
        if (createdDirectories.insert(folder).second) createDirectory(folder);
    }
}

// Whether something the overwrite prompt must ask about stands at path. At a path formed
// from a stored name anything counts (a link, dangling or not, a FIFO, a file the user may
// write but not read), except a folder, which no answer can turn into a file. The path a
// user typed is probed as a file to read, so that a device such as /dev/stdout is written
// without a question.
bool existsForPrompt(const Extraction& x, const std::string& path)
{
    if (x.typedOutput) {
        FILE* probe = openRead(path);
        if (probe) std::fclose(probe);
        return probe != nullptr;
    }
    EntryKind kind = entryKindOf(path);
    return kind != EntryKind::missing && kind != EntryKind::folder;
}

// The archive itself is never an output; an existing file is overwritten only when allowed.
bool mayWrite(Extraction& x, const std::string& path)
{
    if (sameFile(identityOfPath(path), x.archiveIdentity)) {
        std::printf("\nError: output file %s is the archive being read\n", printable(path).c_str());
        return false;
    }
    if (x.settings->forceOverwrite || x.overwriteAll) return true;
    if (!existsForPrompt(x, path)) return true;
    std::printf("\nError: Output file %s already exists. Press Y to overwrite it, A to overwrite all, or any other "
                "key to exit: ",
                printable(path).c_str());
    int answer = readAnswer();
    if (answer == 'a') x.overwriteAll = true;
    return answer == 'y' || answer == 'a';
}

// Opens an output file at a path formed from a stored name: a regular file there is
// truncated, a link or special file is removed (never what it leads to) and the file is
// created exclusively, so that nothing is ever written through a link or into a device.
FILE* openFormedPath(const std::string& path)
{
    switch (entryKindOf(path)) {
    case EntryKind::missing:
        return createExclusive(path);
    case EntryKind::file:
        return openExistingRegular(path);
    case EntryKind::link:
    case EntryKind::other:
        return removeEntry(path) ? createExclusive(path) : nullptr;
    case EntryKind::folder:
        break;
    }
    return nullptr;
}

FILE* openOutput(Extraction& x, const std::string& path, const char* failure)
{
    if (!x.singleFile) createFolders(path);
    if (!mayWrite(x, path)) return nullptr;
    FILE* file = x.typedOutput ? openWrite(path) : openFormedPath(path);
    if (!file) {
        std::printf(failure, printable(path).c_str());
        return nullptr;
    }
    // Every write is a whole run of decoded bytes or a copy piece: no stdio buffer needed.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

bool closeOutput(FILE* file, const std::string& path)
{
    if (std::fclose(file) != 0) {
        std::printf("\nError writing output file %s\n", printable(path).c_str());
        return false;
    }
    return true;
}

// Restores the duplicates that follow the entry just written, by copying its file.
bool copyDuplicates(Extraction& x)
{
    std::vector<uint8_t> piece;
    while (x.entries[x.current].duplicate && x.current + 1 < x.entries.size()) {
        std::string sourcePath = pathOf(x, x.current);
        FILE* source = openRead(sourcePath);
        if (!source) {
            std::printf("\nError opening input file %s\n", printable(sourcePath).c_str());
            return false;
        }
        ++x.current;
        std::string targetPath = pathOf(x, x.current);
        FILE* target = openOutput(x, targetPath, "\nError opening output file %s\n");
        if (!target) {
            std::fclose(source);
            return false;
        }
        x.writtenFile[x.current] = identityOfFile(target);
        piece.resize(copyPieceSize);
        size_t got;
        bool ok = true;
        uint32_t crc = 0;
        while (ok && (got = std::fread(piece.data(), 1, piece.size(), source)) > 0) {
            ok = std::fwrite(piece.data(), 1, got, target) == got;
            crc = crc32Update(crc, piece.data(), got);
        }
        x.writtenCrc[x.current] = crc;
        bool readError = std::ferror(source) != 0;
        std::fclose(source);
        if (!closeOutput(target, targetPath) || !ok) {
            if (ok) return false;
            std::printf("\nError writing output file %s\n", printable(targetPath).c_str());
            return false;
        }
        if (readError) {
            std::printf("\nError reading input file %s\n", printable(sourcePath).c_str());
            return false;
        }
    }
    return true;
}

// Cuts n decoded bytes into the output files.
bool splitOutput(Extraction& x, const uint8_t* data, uint64_t n)
{
    for (;;) {
        if (x.current == x.entries.size()) {
            return n == 0 ? true : reportDamage("stream longer than its files");
        }
        if (!x.output) {
            x.outputName = pathOf(x, x.current);
            x.output = openOutput(x, x.outputName,
                                  x.singleFile ? "\nError opening output file (as single file) %s\n"
                                               : "\nError opening output file %s\n");
            if (!x.output) return false;
            x.writtenFile[x.current] = identityOfFile(x.output);
            x.owed = x.entries[x.current].size;
            x.outputCrc = 0;
        }
        uint64_t take = x.owed < n ? x.owed : n;
        if (take > 0 && std::fwrite(data, 1, static_cast<size_t>(take), x.output) != take) {
            std::printf("\nError writing output file %s\n", printable(x.outputName).c_str());
            return false;
        }
        if (take > 0) x.outputCrc = crc32Update(x.outputCrc, data, static_cast<size_t>(take));
        data += take;
        n -= take;
        x.owed -= take;
        if (x.owed == 0) {
            FILE* done = x.output;
            x.output = nullptr;
            x.writtenCrc[x.current] = x.outputCrc;
            if (!closeOutput(done, x.outputName)) return false;
            if (!copyDuplicates(x)) return false;
            ++x.current;
            continue;
        }
        if (n == 0) return true;
    }
}

// The file table must describe exactly the stored stream: every duplicate stands before an
// entry of the same size, and the unmarked sizes add up to the stored total.
bool tableMatchesStream(const std::vector<ArchiveEntry>& entries, uint64_t storedTotal)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ArchiveEntry& entry = entries[i];
        if (entry.duplicate) {
            if (i + 1 == entries.size() || entries[i + 1].size != entry.size) {
                return reportDamage("duplicate without a matching file");
            }
            continue;
        }
        if (entry.size > storedTotal - sum) return reportDamage("files larger than the stored stream");
        sum += entry.size;
    }
    if (sum != storedTotal) return reportDamage("stored stream larger than its files");
    return true;
}

bool readFileTable(Extraction& x, BitReader& reader, int32_t entryCount, bool withCrc)
{
    HuffmanCode nameCode{nameAlphabet};
    if (!readNameTable(reader, nameCode)) return false;
    // Entries are kept as they are read: the header's count alone does not size the table,
    // since a sparse file of zeros can back any count without holding the entries.
    x.entries.clear();
    for (int32_t i = 0; i < entryCount; ++i) {
        ArchiveEntry& entry = x.entries.emplace_back();
        if (!readEntry(reader, nameCode, withCrc, entry)) return false;
        const char* refusal = nullptr;
        switch (refusalOf(entry.storedName, windowsNames)) {
        case NameRefusal::none:
            break;
        case NameRefusal::parentReference:
            refusal = "Error: output filename contains ../ (%s)\n";
            break;
        case NameRefusal::notRelative:
            refusal = "Error: output filename is not relative (%s)\n";
            break;
        case NameRefusal::deviceName:
            refusal = "Error: output filename names a device (%s)\n";
            break;
        }
        if (refusal) {
            std::printf(refusal, printable(entry.storedName).c_str());
            return false;
        }
        // Appended to the output prefix, a name without a leading separator would name a
        // file beside the output folder (prefix out, name x: outx) instead of inside it.
        if (entryCount > 1 && (entry.storedName.empty() || !isPathSeparator(entry.storedName[0]))) {
            return reportDamage("stored name without a leading separator");
        }
    }
    releaseTables(nameCode);
    return true;
}

void chooseOutputLocation(Extraction& x, const char* output)
{
    x.singleFile = x.entries.size() == 1;
    x.typedOutput = x.singleFile && output;
    if (output) {
        (x.singleFile ? x.outputPath : x.prefix) = output;
        return;
    }
    if (!x.singleFile) {
        x.prefix = currentFolderPrefix();
        return;
    }
    const std::string& name = x.entries[0].storedName;
    size_t i = 0;
    while (i < name.size() && name[i] == '.') ++i;
    while (i < name.size() && isPathSeparator(name[i])) ++i;
    x.outputPath = name.substr(i);
}

// Entries whose file was written once only in this extraction (another entry's file was not
// the same one under another spelling, or by a link).
std::vector<bool> writtenOnce(const Extraction& x)
{
    std::map<std::pair<uint64_t, uint64_t>, int> uses;
    for (const FileIdentity& id : x.writtenFile) {
        if (id.valid) ++uses[{id.device, id.index}];
    }
    std::vector<bool> once(x.entries.size());
    for (size_t i = 0; i < once.size(); ++i) {
        const FileIdentity& id = x.writtenFile[i];
        once[i] = id.valid && uses[{id.device, id.index}] == 1;
    }
    return once;
}

// The CRC-32 of an entry's file on disk. The bytes handed to fwrite were hashed on their way
// out and the file was closed without error, so a file written once, still there with its
// size, holds them. Any other is read back: that reports a missing file ("Error opening
// input file %s\n") and the checksum of what is there now, as a later write left it.
bool crcOfWrittenFile(const Extraction& x, size_t index, bool onlyWrite, uint32_t& crc)
{
    std::string path = pathOf(x, index);
    int64_t size = 0;
    if (onlyWrite && querySize(path, size) && static_cast<uint64_t>(size) == x.entries[index].size) {
        crc = x.writtenCrc[index];
        return true;
    }
    std::fflush(stdout);
    return hashFile(path, -1, -1, crc);
}

bool pathsFit(const Extraction& x)
{
    for (size_t i = 0; i < x.entries.size(); ++i) {
        std::string path = pathOf(x, i);
        if (path.size() >= outputPathCapacity) {
            std::printf("Error: path too long: %s\n", printable(path).c_str());
            return false;
        }
    }
    return true;
}

// No folder below the output prefix, on any output path formed from a stored name, may be a
// link that exists before extraction: the folders a stored name names are then created by
// the extraction itself, inside the output folder. The prefix (what the user typed) may be
// a link.
bool pathsAvoidLinks(const Extraction& x)
{
    if (x.typedOutput) return true;
    std::set<std::string> checked;
    for (size_t i = 0; i < x.entries.size(); ++i) {
        const std::string path = pathOf(x, i);
        // The stored part of the path starts here: the whole path in single-file mode.
        const size_t storedStart = x.singleFile ? 0 : x.prefix.size();
        for (size_t end = storedStart; end < path.size(); ++end) {
            // Each folder is checked without a separator after it: with one, the system
            // would follow a link to its folder.
            if (!isPathSeparator(path[end]) || end == 0 || isPathSeparator(path[end - 1])) continue;
            if (end <= storedStart && !x.singleFile) continue;
            std::string folder = path.substr(0, end);
            if (!checked.insert(folder).second) continue;
            if (entryKindOf(folder) == EntryKind::link) {
                std::printf("Error: output path %s leads through a link\n", printable(path).c_str());
                return false;
            }
        }
    }
    return true;
}

// Decodes every chunk and hands it to the output splitter; with more than one thread the next
// chunk is decoded while the files of the current one are written.
bool decodeStream(Extraction& x, BitReader& reader, uint64_t storedTotal)
{
    int32_t threads = x.settings->threadCount > 0 ? x.settings->threadCount : defaultThreadCount();
    float g = 1.0f;
    uint32_t t1 = 0;
    auto start = [&](uint64_t done, int32_t length) {
        if (done > 0) g = chunkSeconds(t1, clockMs());
        char text[progressTextSize];
        chunkProgressText(text, done, static_cast<uint64_t>(length), storedTotal, g);
        ProgressLine::show(text);
        t1 = clockMs();
    };
    auto take = [&](const uint8_t* data, int32_t length) { return splitOutput(x, data, static_cast<uint64_t>(length)); };
    return decodeChunks(reader, storedTotal, threads > 1, start, take);
}

} // namespace

ExtractResult extractArchive(FILE* archiveFile, const char* output, const LevelSettings& settings)
{
    std::unique_ptr<uint8_t[]> inBuffer(new uint8_t[bitBufferSize]);
    std::printf("Model: %s KB\n", FormatNumber(extractionModelKb, false));

    Extraction x;
    x.archiveFile = archiveFile;
    x.archiveIdentity = identityOfFile(archiveFile);
    x.settings = &settings;
    ArchiveHeader header;
    int32_t entryCount = 0;
    if (!readHeader(archiveFile, header, entryCount)) return ExtractResult::Failed;
    BitReader reader;
    reader.source = fileSource(archiveFile);
    reader.inBuffer = inBuffer.get();
    bool withCrc = (header.flags & 0xFF) != 0;
    if (!readFileTable(x, reader, entryCount, withCrc)) return ExtractResult::Failed;
    if (!tableMatchesStream(x.entries, header.storedTotal)) return ExtractResult::Failed;
    chooseOutputLocation(x, output);
    if (!pathsFit(x) || !pathsAvoidLinks(x)) return ExtractResult::Failed;
    x.writtenCrc.assign(x.entries.size(), 0);
    x.writtenFile.assign(x.entries.size(), FileIdentity());

    uint32_t t0 = clockMs();
    bool ok = header.storedTotal > 0 ? decodeStream(x, reader, header.storedTotal) : splitOutput(x, nullptr, 0);
    if (ok && x.current != x.entries.size()) ok = reportDamage("stream ends before its files");
    if (!ok) {
        if (x.output) std::fclose(x.output);
        return ExtractResult::Failed;
    }

    uint32_t t3 = clockMs();
    std::printf("\n");
    const std::vector<bool> once = writtenOnce(x);
    int invalid = 0;
    for (size_t i = 0; i < x.entries.size(); ++i) {
        const ArchiveEntry& entry = x.entries[i];
        std::printf("Wrote %s", printable(entry.storedName).c_str());
        if (entry.duplicate) std::printf(" (duplicated)");
        if (entry.crcPresent) {
            std::printf(", validating... ");
            uint32_t crc = 0;
            if (!crcOfWrittenFile(x, i, once[i], crc)) return ExtractResult::Failed;
            std::printf("CRC32: %X", crc);
            if (crc != entry.crc) {
                std::printf("\nINVALID CHECKSUM: Expected %X", entry.crc);
                ++invalid;
            }
        }
        std::printf("\n");
    }
    uint64_t total = 0;
    for (const ArchiveEntry& entry : x.entries) total += entry.size;
    std::printf("%s -> %s bytes - %.3f seconds\n", FormatNumber(static_cast<uint64_t>(tellFile(archiveFile)), false),
                FormatNumber(total, false), static_cast<double>(static_cast<float>(t3 - t0) * 0.001f));
    if (invalid > 0) {
        std::printf("Invalid checksums: %d\n", invalid);
        return ExtractResult::InvalidChecksums;
    }
    return ExtractResult::Done;
}

} // namespace qv5
