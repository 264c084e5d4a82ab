// Uses the library without the console: packs a few texts held in memory into an archive in
// memory, lists it, reads every entry back and checks it, then extracts it below a folder
// (the first argument, default "qv5-example-out") and checks the files' checksums.
//
// The program adds no checks of its own: extractFiles refuses on its own every name that
// would leave the output folder (a ".." component, on Windows a drive or a device), never
// makes anything through a link, and refuses an empty output path, whatever archive it reads.
#include <qv5/qv5.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

int fail(const char* what, const qv5::Error& error)
{
    std::fprintf(stderr, "%s failed: error %d %s %s\n", what, static_cast<int>(error.code), error.subject.c_str(),
                 error.detail.c_str());
    return 1;
}

const uint8_t* bytesOf(const std::string& text)
{
    return reinterpret_cast<const uint8_t*>(text.data());
}

} // namespace

int main(int argc, char** argv)
{
    std::string poem;
    for (int line = 0; line < 2000; ++line) poem += "line " + std::to_string(line % 37) + ": the same words again\n";
    const std::string copy = poem;
    const std::string note = "a short note";

    // Entries in archive order. The first is marked as a copy of the second: stored once.
    std::vector<qv5::NewEntry> entries = {
        qv5::memoryEntry("/texts/poem.txt", bytesOf(poem), poem.size()),
        qv5::memoryEntry("/texts/copy.txt", bytesOf(copy), copy.size()),
        qv5::memoryEntry("/note.txt", bytesOf(note), note.size()),
    };
    entries[0].duplicate = true;

    std::vector<uint8_t> archive;
    qv5::WriteOptions options;
    options.level = 4;
    qv5::WriteResult written;
    if (qv5::Error error = qv5::writeArchive(entries, qv5::memoryOutput(archive), options, {}, written)) {
        return fail("writing", error);
    }
    std::printf("%llu bytes packed into %llu\n", static_cast<unsigned long long>(written.inputTotal),
                static_cast<unsigned long long>(written.archiveBytes));

    // List and read back.
    qv5::ArchivePtr reading = qv5::openArchive(archive.data(), archive.size());
    std::vector<qv5::Entry> table;
    if (qv5::Error error = qv5::readTable(*reading, {}, table)) return fail("listing", error);
    std::map<size_t, std::string> contents;
    qv5::ContentCallbacks read;
    read.bytes = [&](size_t index, const uint8_t* data, size_t count) {
        contents[index].append(reinterpret_cast<const char*>(data), count);
        return true;
    };
    read.copy = [&](size_t index, size_t source) {
        contents[index] = contents[source];
        return true;
    };
    if (qv5::Error error = qv5::readContents(*reading, table, 0, read)) return fail("reading", error);
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string& bytes = contents[i];
        bool good = qv5::crc32(0, bytes.data(), bytes.size()) == table[i].crc && bytes.size() == table[i].size;
        std::printf("%s  %llu bytes  CRC32 %08X  %s\n", table[i].name.c_str(),
                    static_cast<unsigned long long>(table[i].size), table[i].crc, good ? "ok" : "BAD");
        if (!good) return 1;
    }

    // Extract to files below a folder, then validate them.
    std::string folder = argc > 1 ? argv[1] : "qv5-example-out";
    qv5::ArchivePtr again = qv5::openArchive(archive.data(), archive.size());
    if (qv5::Error error = qv5::readTable(*again, {}, table)) return fail("listing", error);
    qv5::ExtractOptions extract;
    extract.output = folder.c_str();
    extract.forceOverwrite = true;
    qv5::ExtractionPtr extraction;
    if (qv5::Error error = qv5::extractFiles(*again, table, extract, {}, extraction)) return fail("extracting", error);
    for (size_t i = 0; i < table.size(); ++i) {
        uint32_t crc = 0;
        if (qv5::Error error = qv5::writtenCrc(*extraction, i, crc)) return fail("validating", error);
        if (crc != table[i].crc) return 1;
        std::printf("wrote %s\n", qv5::outputPath(*extraction, i).c_str());
    }
    return 0;
}
