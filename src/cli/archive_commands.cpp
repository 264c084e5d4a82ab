#include "cli/archive_commands.h"

#include "cli/messages.h"
#include "console/console.h"
#include "console/format.h"
#include "console/progress.h"
#include "console/prompt.h"
#include "input/patterns.h"
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <cstdio>
#include <string>
#include <vector>

namespace qv5 {

namespace {

constexpr uint64_t extractionModelKb = 25091;

void printOldHeader()
{
    say("Reading old header format\n");
}

void showChunk(const ChunkProgress& chunk)
{
    char text[progressTextSize];
    chunkProgressText(text, chunk.done, chunk.size, chunk.total, chunk.previousSeconds);
    ProgressLine::show(text);
}

Answer askOverwrite(const std::string& path)
{
    tell("\nError: Output file %s already exists. Press Y to overwrite it, A to overwrite all, or any other key to "
         "exit: ",
         printable(path).c_str());
    int answer = readAnswer();
    return answer == 'a' ? Answer::all : (answer == 'y' ? Answer::yes : Answer::no);
}

// The header and the table of an archive about to be decoded, every name checked.
Error readCheckedTable(Archive& archive, std::vector<Entry>& entries)
{
    TableCallbacks table;
    table.oldHeader = printOldHeader;
    table.entry = [](const Entry& entry, int32_t, int32_t count) { return checkName(entry, count == 1); };
    return readTable(archive, table, entries);
}

// Which entries the patterns select; false after a message when one selects nothing.
bool selectEntries(const std::vector<Entry>& entries, const std::vector<std::string>& patterns,
                   std::vector<bool>& selected)
{
    selected.assign(entries.size(), false);
    for (const std::string& pattern : patterns) {
        bool any = false;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!selectsStoredName(pattern, entries[i].name, namesIgnoreCase)) continue;
            selected[i] = true;
            any = true;
        }
        if (!any) {
            tell("Error: no file in the archive matches %s\n", printable(pattern).c_str());
            return false;
        }
    }
    return true;
}

// The closing lines of d and t: "N -> S bytes - T seconds" and the count of invalid
// checksums; the outcome.
ExtractOutcome summarise(const Archive& archive, uint64_t total, uint32_t milliseconds, int invalid)
{
    say("%s -> %s bytes - %.3f seconds\n", FormatNumber(bytesRead(archive), false), FormatNumber(total, false),
        static_cast<double>(static_cast<float>(milliseconds) * 0.001f));
    if (invalid > 0) {
        tell("Invalid checksums: %d\n", invalid);
        return ExtractOutcome::invalidChecksums;
    }
    return ExtractOutcome::done;
}

// The checksum found and, when it is not the stored one, the stored one; whether it matched.
bool reportCrc(const Entry& entry, uint32_t crc)
{
    say("CRC32: %X", crc);
    if (crc == entry.crc) return true;
    say("\nINVALID CHECKSUM: Expected %X", entry.crc);
    return false;
}

// The extension of an archive whose header has one, read before its contents when the header
// says where it is.
Error readExtensionFirst(Archive& archive, Extension& extension, bool& pending)
{
    pending = hasExtension(archive) && extensionFollowsStream(archive);
    if (!hasExtension(archive) || pending) return Error();
    return readExtension(archive, extension);
}

// What d and t do before decoding: the memory line, the table with every name checked, the
// entries the patterns select (all without patterns), and the extension when the header
// says where it is (else pending: it follows the stream). False after a message.
bool openForDecoding(Archive& archive, std::vector<Entry>& entries, const std::vector<std::string>& patterns,
                     std::vector<bool>& selected, Extension& extension, bool& pending)
{
    say("Model: %s KB\n", FormatNumber(extractionModelKb, false));
    Error failure = readCheckedTable(archive, entries);
    if (!failure && !patterns.empty() && !selectEntries(entries, patterns, selected)) return false;
    if (!failure) failure = readExtensionFirst(archive, extension, pending);
    if (failure) printError(failure);
    return !failure;
}

// Folders of the extension that hold nothing the archive restores: the empty ones.
std::vector<std::string> emptyFolders(const std::vector<Entry>& entries, const Extension& extension)
{
    auto holds = [](const std::string& folder, const std::string& name) {
        return name.size() > folder.size() && name.compare(0, folder.size(), folder) == 0 &&
               (name[folder.size()] == '/' || name[folder.size()] == '\\');
    };
    std::vector<std::string> empty;
    for (const FolderRecord& folder : extension.folders) {
        bool used = false;
        for (const Entry& entry : entries) used = used || holds(folder.name, entry.name);
        for (const FolderRecord& other : extension.folders) used = used || holds(folder.name, other.name);
        for (const LinkRecord& link : extension.links) used = used || holds(folder.name, link.name);
        if (!used) empty.push_back(folder.name);
    }
    return empty;
}

// What could not be restored, one line each.
const char* unrestoredText(const std::string& what)
{
    if (what == "time") return "Could not restore the time of %s\n";
    if (what == "mode") return "Could not restore the permissions of %s\n";
    if (what == "link") return "Could not create the link %s\n";
    return "Could not create the folder %s\n";
}

} // namespace

int32_t listCommand(FILE* archiveFile)
{
    ArchivePtr archive = openArchive(archiveFile);
    TableCallbacks callbacks;
    callbacks.oldHeader = printOldHeader;
    // The listing is what l is for: shown even when quiet.
    callbacks.entry = [](const Entry& entry, int32_t number, int32_t) {
        if (entry.hasCrc) {
            tell("[%d]: %s, %s, CRC32: %X\n", number, printable(entry.name).c_str(), FormatNumber(entry.size, true),
                 entry.crc);
        } else {
            tell("[%d]: %s, %s\n", number, printable(entry.name).c_str(), FormatNumber(entry.size, true));
        }
        return Error();
    };
    std::vector<Entry> entries;
    if (Error failure = readTable(*archive, callbacks, entries)) {
        printError(failure);
        return 1;
    }
    if (entries.size() == 1) {
        tell("1 file\n");
    } else {
        tell("%d files\n", static_cast<int>(entries.size()));
    }
    if (!hasExtension(*archive)) return 0;
    // Links and empty folders, after the files.
    Extension extension;
    bool pending = false;
    Error failure = readExtensionFirst(*archive, extension, pending);
    if (!failure && pending) {
        failure = readContents(*archive, entries, 0, ContentCallbacks());
        if (!failure) failure = readTrailingExtension(*archive, extension);
    }
    if (failure) {
        printError(failure);
        return 1;
    }
    for (const LinkRecord& link : extension.links) {
        tell("[link]: %s -> %s\n", printable(link.name).c_str(), printable(link.target).c_str());
    }
    for (const std::string& folder : emptyFolders(entries, extension))
        tell("[folder]: %s\n", printable(folder).c_str());
    return 0;
}

ExtractOutcome extractCommand(FILE* archiveFile, const char* output, const RunOptions& options,
                              const std::vector<std::string>& patterns)
{
    ArchivePtr archive = openArchive(archiveFile);
    std::vector<Entry> entries;
    Extension extension;
    bool extensionPending = false;
    ExtractOptions extractOptions;
    extractOptions.output = output;
    extractOptions.forceOverwrite = options.forceOverwrite;
    extractOptions.threads = options.threadCount;
    if (!openForDecoding(*archive, entries, patterns, extractOptions.selected, extension, extensionPending)) {
        return ExtractOutcome::failed;
    }
    if (hasExtension(*archive) && !extensionPending) extractOptions.extension = &extension;
    std::vector<std::pair<std::string, const char*>> unrestored;
    ExtractCallbacks callbacks;
    callbacks.chunk = showChunk;
    callbacks.askOverwrite = askOverwrite;
    callbacks.notRestored = [&](const std::string& path, const char* what) { unrestored.emplace_back(path, what); };
    ExtractionPtr extraction;
    Error failure = extractFiles(*archive, entries, extractOptions, callbacks, extraction);
    // Through a pipe the extension comes only now: checked, then applied.
    if (!failure && extensionPending) failure = readTrailingExtension(*archive, extension);
    if (!failure && extensionPending) failure = restoreMetadata(*extraction, extension);
    if (failure) {
        printError(failure);
        return ExtractOutcome::failed;
    }

    say("\n");
    int invalid = 0;
    uint64_t total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!extractOptions.selected.empty() && !extractOptions.selected[i]) continue;
        const Entry& entry = entries[i];
        total += entry.size;
        say("Wrote %s", printable(entry.name).c_str());
        if (entry.duplicate) say(" (duplicated)");
        if (entry.hasCrc) {
            say(", validating... ");
            uint32_t crc = 0;
            if (Error unreadable = writtenCrc(*extraction, i, crc)) {
                printError(unreadable);
                return ExtractOutcome::failed;
            }
            if (!reportCrc(entry, crc)) ++invalid;
        }
        say("\n");
    }
    for (const auto& [path, what] : unrestored) tell(unrestoredText(what), printable(path).c_str());
    ExtractOutcome outcome = summarise(*archive, total, extractMilliseconds(*extraction), invalid);
    return outcome == ExtractOutcome::done && !unrestored.empty() ? ExtractOutcome::incomplete : outcome;
}

ExtractOutcome testCommand(FILE* archiveFile, const RunOptions& options)
{
    ArchivePtr archive = openArchive(archiveFile);
    std::vector<Entry> entries;
    Extension extension;
    bool extensionPending = false;
    std::vector<bool> all;
    if (!openForDecoding(*archive, entries, {}, all, extension, extensionPending)) return ExtractOutcome::failed;
    std::vector<uint32_t> crcs(entries.size(), 0);
    ContentCallbacks callbacks;
    callbacks.chunk = showChunk;
    callbacks.bytes = [&](size_t index, const uint8_t* data, size_t count) {
        crcs[index] = crc32(crcs[index], data, count);
        return true;
    };
    callbacks.copy = [&](size_t index, size_t source) {
        crcs[index] = crcs[source];
        return true;
    };
    uint32_t start = clockMs();
    Error failure = readContents(*archive, entries, options.threadCount, callbacks);
    if (!failure && extensionPending) failure = readTrailingExtension(*archive, extension);
    if (failure) {
        printError(failure);
        return ExtractOutcome::failed;
    }
    uint32_t milliseconds = clockMs() - start;
    say("\n");
    int invalid = 0;
    uint64_t total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        total += entries[i].size;
        say("Tested %s", printable(entries[i].name).c_str());
        if (entries[i].hasCrc) {
            say(", ");
            if (!reportCrc(entries[i], crcs[i])) ++invalid;
        }
        say("\n");
    }
    return summarise(*archive, total, milliseconds, invalid);
}

} // namespace qv5
