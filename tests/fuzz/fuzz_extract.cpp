// Extracts an archive given as bytes into a fresh folder, which is removed afterwards.
// Overwriting is forced, so no question waits for an answer. Every input gets an output path
// of its own. Files written anywhere but inside that path, or left open, are faults.
#include "qv5/qv5.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>
#include <string>

namespace fs = std::filesystem;

namespace {

// Archives may legitimately expand a lot (a match of 2043 bytes costs two bits); files beyond
// this total are skipped so that a run measures the reader, not the disk.
constexpr uint64_t outputLimit = 64ull << 20;

fs::path workFolder;
uint64_t inputNumber = 0;

void removeWorkFolder()
{
    std::error_code ignored;
    fs::remove_all(workFolder, ignored);
}

int openDescriptors()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

// The bytes the extraction would write; false when the table is damaged (the extraction then
// stops before writing anything).
bool outputSize(const uint8_t* data, size_t size, uint64_t& total)
{
    qv5::ArchivePtr archive = qv5::openArchive(data, size);
    qv5::TableCallbacks callbacks;
    total = 0;
    callbacks.entry = [&](const qv5::Entry& entry, int32_t, int32_t) {
        total += entry.size;
        return total > outputLimit ? qv5::Error{qv5::ErrorCode::stopped} : qv5::Error();
    };
    std::vector<qv5::Entry> entries;
    qv5::Error failure = qv5::readTable(*archive, callbacks, entries);
    return !failure || failure.code == qv5::ErrorCode::stopped;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv5-fuzz-extract-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    workFolder = pattern;
    std::atexit(removeWorkFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint64_t total = 0;
    if (outputSize(data, size, total) && total > outputLimit) return 0;
    int descriptorsBefore = openDescriptors();
    {
        qv5::ArchivePtr archive = qv5::openArchive(data, size);
        // A one-file archive writes this path itself, any other takes it as the prefix.
        std::string output = (workFolder / std::to_string(++inputNumber)).string();
        qv5::TableCallbacks table;
        table.entry = [](const qv5::Entry& entry, int32_t, int32_t count) { return qv5::checkName(entry, count == 1); };
        std::vector<qv5::Entry> entries;
        qv5::ExtractOptions options;
        options.output = output.c_str();
        options.forceOverwrite = true;
        qv5::ExtractionPtr extraction;
        qv5::Extension extension;
        bool ok = !qv5::readTable(*archive, table, entries);
        bool trailing = ok && qv5::extensionFollowsStream(*archive);
        if (ok && qv5::hasExtension(*archive) && !trailing) {
            ok = !qv5::readExtension(*archive, extension);
            options.extension = &extension;
        }
        if (ok && !qv5::extractFiles(*archive, entries, options, qv5::ExtractCallbacks(), extraction)) {
            uint32_t crc = 0;
            for (size_t i = 0; i < entries.size(); ++i) qv5::writtenCrc(*extraction, i, crc);
            if (trailing && !qv5::readTrailingExtension(*archive, extension)) {
                qv5::restoreMetadata(*extraction, extension);
            }
        }
    }
    // Everything written must lie inside the output path (or be it): nothing beside it.
    const std::string own = std::to_string(inputNumber);
    bool outside = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(workFolder)) {
        outside |= entry.path().filename() != own;
        fs::remove_all(entry.path());
    }
    if (outside) {
        std::fprintf(stderr, "extraction wrote beside its output folder\n");
        std::abort();
    }
    if (openDescriptors() != descriptorsBefore) {
        std::fprintf(stderr, "extraction left a file open\n");
        std::abort();
    }
    return 0;
}
