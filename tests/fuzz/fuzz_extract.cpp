// Extracts an archive given as bytes into a fresh folder, which is removed afterwards.
// Overwriting is forced, so no prompt waits for an answer. Every input gets an output path
// of its own: the extractor remembers the folders it created for the whole process. Files
// written anywhere but inside that path, or left open, are faults.
#include "archive/archive_format.h"
#include "archive/extractor.h"
#include "archive/file_streams.h"
#include "fuzz_support.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
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

// The bytes the extraction would write, read with the archive's own table reader; false
// when the table is damaged (the extraction then stops before writing anything big).
bool outputSize(FILE* file, uint64_t& total)
{
    static std::unique_ptr<uint8_t[]> buffer(new uint8_t[qv5::bitBufferSize]);
    qv5::ArchiveHeader header;
    int32_t count = 0;
    if (!qv5::readHeader(file, header, count)) return false;
    qv5::BitReader reader;
    reader.source = qv5::fileSource(file);
    reader.inBuffer = buffer.get();
    qv5::HuffmanCode names{qv5::nameAlphabet};
    if (!qv5::readNameTable(reader, names)) return false;
    total = header.storedTotal;
    qv5::ArchiveEntry entry;
    for (int32_t i = 0; i < count; ++i) {
        if (!qv5::readEntry(reader, names, (header.flags & 0xFF) != 0, entry)) return false;
        total += entry.size;
        if (total > outputLimit) return true;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qv5::fuzz::quietConsole();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv5-fuzz-extract-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    workFolder = pattern;
    std::atexit(removeWorkFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        qv5::fuzz::MemoryFile probe(data, size);
        uint64_t total = 0;
        if (outputSize(probe.get(), total) && total > outputLimit) return 0;
    }
    int descriptorsBefore = openDescriptors();
    {
        qv5::fuzz::MemoryFile archive(data, size);
        // A one-file archive writes this path itself, any other takes it as the prefix.
        std::string output = (workFolder / std::to_string(++inputNumber)).string();
        qv5::LevelSettings settings;
        settings.forceOverwrite = 1;
        qv5::extractArchive(archive.get(), output.c_str(), settings);
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
