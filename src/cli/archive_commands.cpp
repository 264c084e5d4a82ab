#include "cli/archive_commands.h"

#include "cli/messages.h"
#include "console/format.h"
#include "console/progress.h"
#include "console/prompt.h"
#include "qv5/qv5.h"

#include <cstdio>
#include <string>
#include <vector>

namespace qv5 {

namespace {

constexpr uint64_t extractionModelKb = 25091;

void printOldHeader()
{
    std::printf("Reading old header format\n");
}

void showChunk(const ChunkProgress& chunk)
{
    char text[progressTextSize];
    chunkProgressText(text, chunk.done, chunk.size, chunk.total, chunk.previousSeconds);
    ProgressLine::show(text);
}

Answer askOverwrite(const std::string& path)
{
    std::printf("\nError: Output file %s already exists. Press Y to overwrite it, A to overwrite all, or any other "
                "key to exit: ",
                printable(path).c_str());
    int answer = readAnswer();
    return answer == 'a' ? Answer::all : (answer == 'y' ? Answer::yes : Answer::no);
}

} // namespace

int32_t listCommand(FILE* archiveFile)
{
    ArchivePtr archive = openArchive(archiveFile);
    TableCallbacks callbacks;
    callbacks.oldHeader = printOldHeader;
    callbacks.entry = [](const Entry& entry, int32_t number, int32_t) {
        if (entry.hasCrc) {
            std::printf("[%d]: %s, %s, CRC32: %X\n", number, printable(entry.name).c_str(),
                        FormatNumber(entry.size, true), entry.crc);
        } else {
            std::printf("[%d]: %s, %s\n", number, printable(entry.name).c_str(), FormatNumber(entry.size, true));
        }
        return Error();
    };
    std::vector<Entry> entries;
    if (Error failure = readTable(*archive, callbacks, entries)) {
        printError(failure);
        return 1;
    }
    if (entries.size() == 1) {
        std::printf("1 file\n");
    } else {
        std::printf("%d files\n", static_cast<int>(entries.size()));
    }
    return 0;
}

ExtractOutcome extractCommand(FILE* archiveFile, const char* output, const RunOptions& options)
{
    std::printf("Model: %s KB\n", FormatNumber(extractionModelKb, false));
    ArchivePtr archive = openArchive(archiveFile);
    TableCallbacks table;
    table.oldHeader = printOldHeader;
    table.entry = [](const Entry& entry, int32_t, int32_t count) { return checkName(entry, count == 1); };
    std::vector<Entry> entries;
    ExtractOptions extractOptions;
    extractOptions.output = output;
    extractOptions.forceOverwrite = options.forceOverwrite;
    extractOptions.threads = options.threadCount;
    ExtractCallbacks callbacks;
    callbacks.chunk = showChunk;
    callbacks.askOverwrite = askOverwrite;
    ExtractionPtr extraction;
    Error failure = readTable(*archive, table, entries);
    if (!failure) failure = extractFiles(*archive, entries, extractOptions, callbacks, extraction);
    if (failure) {
        printError(failure);
        return ExtractOutcome::failed;
    }

    std::printf("\n");
    int invalid = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        std::printf("Wrote %s", printable(entry.name).c_str());
        if (entry.duplicate) std::printf(" (duplicated)");
        if (entry.hasCrc) {
            std::printf(", validating... ");
            uint32_t crc = 0;
            if (Error unreadable = writtenCrc(*extraction, i, crc)) {
                printError(unreadable);
                return ExtractOutcome::failed;
            }
            std::printf("CRC32: %X", crc);
            if (crc != entry.crc) {
                std::printf("\nINVALID CHECKSUM: Expected %X", entry.crc);
                ++invalid;
            }
        }
        std::printf("\n");
    }
    uint64_t total = 0;
    for (const Entry& entry : entries) total += entry.size;
    std::printf("%s -> %s bytes - %.3f seconds\n", FormatNumber(bytesRead(*archive), false),
                FormatNumber(total, false),
                static_cast<double>(static_cast<float>(extractMilliseconds(*extraction)) * 0.001f));
    if (invalid > 0) {
        std::printf("Invalid checksums: %d\n", invalid);
        return ExtractOutcome::invalidChecksums;
    }
    return ExtractOutcome::done;
}

} // namespace qv5
