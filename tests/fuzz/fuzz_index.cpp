// The chunk index of an archive read from memory: a fixed two-chunk archive whose index is
// replaced by the input's marks (count, then bit offset and CRC-32 each), read with the
// selection and thread count the input's first bytes choose. Whatever the marks say, nothing
// is read outside the archive, and every entry whose bytes come without a damage report
// holds exactly what was stored.
#include "archive/extension_format.h"
#include "codec/byte_order.h"
#include "qv5/qv5.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "index: %s\n", what);
    std::abort();
}

struct Fixture {
    std::vector<std::string> contents;
    std::vector<uint8_t> stream; // the archive up to its extension
    qv5::Extension extension;
    std::vector<qv5::ChunkMark> marks;

    Fixture()
    {
        const size_t sizes[] = {(1u << 24) - 1000, 3000, 500};
        for (size_t i = 0; i < 3; ++i) {
            std::string text(sizes[i], '\0');
            for (size_t at = 0; at < text.size(); at += 4099) text[at] = static_cast<char>('a' + i + at % 7);
            contents.push_back(text);
        }
        std::vector<qv5::NewEntry> entries;
        for (size_t i = 0; i < contents.size(); ++i) {
            entries.push_back(qv5::memoryEntry("/e" + std::to_string(i),
                                               reinterpret_cast<const uint8_t*>(contents[i].data()),
                                               contents[i].size()));
        }
        extension.entries.resize(entries.size());
        std::vector<uint8_t> archive;
        qv5::WriteOptions options;
        options.level = 1;
        options.threads = 1;
        options.extension = &extension;
        options.rewrite = [&](uint64_t at, const uint8_t* bytes, size_t count) {
            std::memcpy(archive.data() + at, bytes, count);
            return true;
        };
        qv5::WriteResult result;
        if (qv5::writeArchive(entries, qv5::memoryOutput(archive), options, qv5::WriteCallbacks(), result)) {
            fail("the fixture cannot be written");
        }
        const uint64_t offset = qv5::loadU64(archive.data() + 32);
        qv5::Extension written;
        if (qv5::parseExtension(archive.data() + offset, archive.size() - offset, written)) fail("fixture extension");
        marks = written.chunks;
        stream.assign(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(offset));
    }
};

const Fixture& fixture()
{
    static const Fixture built;
    return built;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    const Fixture& f = fixture();
    const uint8_t choice = data[0];
    const int threads = 1 + data[1] % 3;
    std::vector<qv5::ChunkMark> marks;
    // The marks: taken from the input, or the true ones nudged by it.
    const bool nudge = choice & 0x80;
    for (size_t at = 2; at + 12 <= size && marks.size() < 8; at += 12) {
        qv5::ChunkMark mark;
        mark.bit = qv5::loadU64(data + at);
        mark.crc = qv5::loadU32(data + at + 8);
        if (nudge && marks.size() < f.marks.size()) {
            mark.bit = f.marks[marks.size()].bit + (mark.bit % 64) - 32;
            mark.crc = (mark.crc & 1) ? f.marks[marks.size()].crc : mark.crc;
        }
        marks.push_back(mark);
    }
    std::vector<uint8_t> archive = f.stream;
    const std::vector<uint8_t> block = qv5::extensionBytes(f.extension, marks.empty() ? nullptr : &marks);
    archive.insert(archive.end(), block.begin(), block.end());

    qv5::ArchivePtr reading = qv5::openArchive(archive.data(), archive.size());
    std::vector<qv5::Entry> table;
    qv5::Extension extension;
    if (qv5::readTable(*reading, qv5::TableCallbacks(), table)) fail("the table does not read");
    if (qv5::readExtension(*reading, extension)) return 0; // marks out of order: damage
    std::map<size_t, std::string> bytes;
    std::map<size_t, bool> lost;
    qv5::ContentCallbacks callbacks;
    if (choice & 0x0F) {
        callbacks.selected.assign(table.size(), false);
        for (size_t i = 0; i < table.size(); ++i) callbacks.selected[i] = (choice >> i) & 1;
    }
    callbacks.bytes = [&](size_t index, const uint8_t* piece, size_t count) {
        bytes[index].append(reinterpret_cast<const char*>(piece), count);
        return true;
    };
    callbacks.done = [&](size_t index) {
        if (!lost[index] && bytes[index] != f.contents[index]) fail("an entry read whole differs");
        return true;
    };
    callbacks.damaged = [&](uint32_t, const std::string&, const std::vector<size_t>& entries) {
        for (size_t index : entries) lost[index] = true;
    };
    qv5::readContents(*reading, table, threads, callbacks);
    return 0;
}
