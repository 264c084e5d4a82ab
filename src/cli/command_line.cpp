#include "cli/command_line.h"

#include "archive/archive_writer.h"
#include "archive/extractor.h"
#include "archive/listing.h"
#include "cli/sfx.h"
#include "codec/level_settings.h"
#include "console/format.h"
#include "console/prompt.h"
#include "input/discovery.h"
#include "input/duplicates.h"
#include "input/hash_file.h"
#include "input/input_records.h"
#include "input/ordering.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qv5 {

namespace {

const char* const usageText =
    "Usage:\nCompression: %s [flags] c archive [input files/folders]\nList contents: %s l archive\n"
    "Decompression: %s [flags] d archive [output single file/folder]\n\nOptions:\n"
    "c[1-6] = compress [optional level, default: 2]\nd = decompress\n\nFlags:\n"
    "-r[0-2] = re-order files (path (default)/ext + size bin/content analysis\n"
    "-sfx = Create self-extracting .exe\n-force-overwrite = Overwrite files without warning\n";

std::string lowerAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Removes the flags from the front of args (position 0 is the program name) into settings.
void readFlags(std::vector<std::string>& args, LevelSettings& settings)
{
    while (args.size() >= 2 && !args[1].empty() && args[1][0] == '-') {
        std::string flag = lowerAscii(args[1]);
        args.erase(args.begin() + 1);
        if (flag == "-force-overwrite") {
            settings.forceOverwrite = 1;
            std::printf("Force overwrite: true\n");
        }
        if (flag == "-sfx") {
            settings.createSfx = 1;
            std::printf("Create SFX exe: true\n");
        }
        if (flag.size() >= 3 && flag[1] == 't' && flag.find_first_not_of("0123456789", 2) == std::string::npos) {
            settings.threadCount = flag.size() > 4 ? 64 : std::min(std::atoi(flag.c_str() + 2), 64);
        }
        if (flag.size() >= 2 && flag[1] == 'r') {
            int method = flag.size() >= 3 ? flag[2] - '0' : 0;
            if (method < 0) method = 0;
            if (method > 2) method = 2;
            std::printf("Re-order files method: %d\n", method);
            settings.orderMethod = method;
        }
    }
}

int32_t levelFromCommandWord(const std::string& word)
{
    if (word.size() < 2) return 1;
    int32_t level = word[1] - '1';
    if (level < 0) level = 0;
    if (level > 5) level = 5;
    return level;
}

// The first item whose stored name an earlier item already has is the clash reported, as
// a scan of every earlier item would report it.
bool namesAreUnique(const InputList& list)
{
    std::unordered_set<std::string_view> names;
    names.reserve(list.size());
    for (const SourceItem& item : list) {
        if (!names.insert(item.storedName).second) {
            std::printf("Error: %s is already in the archive\n", printable(item.storedName).c_str());
            return false;
        }
    }
    return true;
}

// Measures every entry and stores its CRC-32; false after a message on failure.
bool measureAndHash(std::vector<FileEntry>& entries)
{
    int32_t total = static_cast<int32_t>(entries.size());
    for (int32_t k = 0; k < total; ++k) {
        FileEntry& entry = entries[k];
        if (!hashFile(entry.sourcePath, k + 1, total, entry.crc, &entry.size)) return false;
        entry.crcPresent = 1;
    }
    return true;
}

int32_t writeArchiveFile(const std::string& archivePath, FileEntry& head, LevelSettings& settings);

// An existing archive at the archive path is never part of its own input set: it would be
// read while it is overwritten. Identity, not spelling, decides.
void leaveOutArchive(InputList& list, const std::string& archivePath)
{
    FileIdentity archive = identityOfPath(archivePath);
    if (!archive.valid) return;
    std::erase_if(list, [&](const SourceItem& item) { return sameFile(identityOfPath(item.sourcePath), archive); });
}

int32_t runCompress(const std::vector<std::string>& args, LevelSettings& settings)
{
    std::printf("Finding files...\n");
    InputList list;
    for (size_t i = 3; i < args.size(); ++i) {
        if (!findInputs(list, args[i])) return 1;
    }
    leaveOutArchive(list, args[2]);
    for (const SourceItem& item : list) std::printf("-> %s\n", printable(item.storedName).c_str());
    size_t n = list.size();
    if (n == 1) {
        std::printf("Found %d file\n", 1);
    } else {
        std::printf("Found %d files\n", static_cast<int>(n));
    }
    if (n == 0) {
        std::printf("Error: no input files\n");
        return 1;
    }

    std::printf("Scanning, ordering and hashing files...\n");
    std::vector<FileEntry> entries(n);
    if (!orderInputs(list, settings.orderMethod)) return 1;

    if (!namesAreUnique(list)) return 1;
    for (size_t k = 0; k < n; ++k) {
        entries[k].storedName = std::move(list[k].storedName);
        entries[k].sourcePath = std::move(list[k].sourcePath);
    }
    InputList().swap(list); // the entries hold the names now
    if (!measureAndHash(entries)) return 1;
    std::printf("Ordered files\n");

    if (n > 1) {
        if (!findDuplicates(entries)) return 1;
        for (size_t k = 1; k < n; ++k) entries[k].next = &entries[k - 1];
    }
    return writeArchiveFile(args[2], entries[n - 1], settings);
}

// Where the archive is written. A regular file (or nothing) at the archive path is replaced
// only once the new archive is complete: it is written to a new file beside it and renamed
// onto it, so that a failed run leaves what stood there. A link's target is what gets
// replaced. A device or FIFO is written directly, as there is nothing to keep.
struct ArchiveOutput {
    FILE* file = nullptr;
    std::string finalPath;     // the regular file replaced when done
    std::string temporaryPath; // empty when written directly
    ArchiveOutput() = default;
    ArchiveOutput(const ArchiveOutput&) = delete;
    ArchiveOutput& operator=(const ArchiveOutput&) = delete;
    // Also runs when an exception (out of memory) leaves the command.
    ~ArchiveOutput()
    {
        if (file) std::fclose(file);
        if (!temporaryPath.empty()) {
            removeFile(temporaryPath);
            forgetTemporary();
        }
    }
};

bool openArchiveOutput(const std::string& archivePath, ArchiveOutput& out)
{
    std::string target = archivePath;
    EntryKind kind = entryKindOf(archivePath);
    if (kind == EntryKind::link && linkTarget(archivePath, target)) kind = entryKindOf(target);
    if (kind == EntryKind::file || kind == EntryKind::missing) {
        out.finalPath = target;
        out.file = createTemporaryBeside(target, out.temporaryPath);
    } else {
        out.file = openWrite(archivePath);
    }
    return out.file != nullptr;
}

// Writes the archive of the chain; what stood at the archive path is replaced only by a
// complete archive.
int32_t writeArchiveFile(const std::string& archivePath, FileEntry& head, LevelSettings& settings)
{
    if (!settings.forceOverwrite) {
        if (FILE* existing = openRead(archivePath)) {
            std::fclose(existing);
            std::printf("Error: Archive file %s already exists. Press Y to overwrite it, or any other key to exit: ",
                        printable(archivePath).c_str());
            if (readAnswer() != 'y') return 1;
        }
    }
    ArchiveOutput out;
    if (!openArchiveOutput(archivePath, out)) {
        std::printf("Error opening output file %s\n", printable(archivePath).c_str());
        return 1;
    }
    bool ok = !settings.createSfx || writeSfxImage(out.file, archivePath);
    ok = ok && writeArchive(&head, out.file, archivePath, settings);
    FILE* file = out.file;
    out.file = nullptr;
    if (std::fclose(file) != 0 && ok) {
        std::printf("Error writing archive %s\n", printable(archivePath).c_str());
        ok = false;
    }
    if (!ok) return 1; // the temporary file goes with out
    if (!out.temporaryPath.empty()) {
        if (!replaceWith(out.temporaryPath, out.finalPath)) {
            std::printf("Error writing archive %s\n", printable(archivePath).c_str());
            return 1;
        }
        out.temporaryPath.clear();
        forgetTemporary();
    }
    if (settings.createSfx) markExecutable(archivePath);
    return 0;
}

int32_t runReadCommand(const std::vector<std::string>& args, char command, LevelSettings& settings)
{
    FILE* archive = openRead(args[2]);
    if (!archive) {
        std::printf("Error opening %s\n", printable(args[2]).c_str());
        return 1;
    }
    int32_t status;
    if (command == 'l') {
        status = listArchive(archive) ? 0 : 1;
    } else {
        status = extractArchive(archive, args[3].c_str(), settings) == ExtractResult::Done ? 0 : 1;
    }
    std::fclose(archive);
    return status;
}

} // namespace

void printBanner()
{
    std::printf("QV5 - Solid multi-file archiver\n64-bit version, supports files >4 GB\n");
    std::printf("Context-keyed LZ77 with per-block Huffman codes, 16 MiB solid chunks\n");
#ifdef _WIN32
    std::printf("Version 0.1.0 for Windows x64\n");
#else
    std::printf("Version 0.1.0 for Linux x86-64\n");
#endif
    std::printf("Run without arguments for the list of commands and flags\n\n");
}

int32_t runCommandLine(int argc, char** argv)
{
    std::vector<std::string> args(argv, argv + (argc > 0 ? argc : 0));
    std::string programName = argc >= 1 ? args[0] : std::string("QV5");
    LevelSettings settings;
    readFlags(args, settings);

    char command = args.size() >= 2 && !args[1].empty() ? lowerAscii(args[1].substr(0, 1))[0] : '\0';
    if ((command == 'c' || command == 'd') && args.size() >= 4) {
        if (command == 'c') {
            settings.level = levelFromCommandWord(args[1]);
            return runCompress(args, settings);
        }
        return runReadCommand(args, command, settings);
    }
    if (command == 'l' && args.size() >= 3) return runReadCommand(args, command, settings);

    const std::string shownName = printable(programName);
    const char* name = shownName.c_str();
    std::printf(usageText, name, name, name);
    return 1;
}

} // namespace qv5
