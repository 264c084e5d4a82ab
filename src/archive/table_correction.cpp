#include "archive/table_correction.h"

#include "archive/archive_format.h"
#include "codec/bit_stream.h"
#include "codec/codec_constants.h"
#include "codec/huffman.h"

#include <algorithm>
#include <memory>

namespace qv5 {

CorrectedTable correctedTable(const std::vector<NewEntry>& written, const ConcatReader& reader)
{
    CorrectedTable table;
    table.from = reader.order;
    table.shorter = table.from.size() != written.size();
    table.differs = table.shorter;
    table.entries.reserve(table.from.size());
    for (size_t k = 0; k < table.from.size(); ++k) {
        const size_t i = table.from[k];
        NewEntry entry = written[i];
        const SourceOutcome& outcome = reader.outcomes[i];
        if (outcome.state == SourceState::changed || outcome.state == SourceState::mismatched) {
            entry.size = outcome.size;
            entry.crc = outcome.crc;
        }
        entry.duplicate = reader.duplicate[i];
        table.differs = table.differs || i != k || entry.size != written[i].size || entry.crc != written[i].crc ||
                        entry.duplicate != written[i].duplicate;
        table.inputTotal += static_cast<uint64_t>(entry.size);
        if (!entry.duplicate) table.storedTotal += static_cast<uint64_t>(entry.size);
        table.entries.push_back(std::move(entry));
    }
    return table;
}

Extension correctedExtension(const Extension& extension, const std::vector<size_t>& from)
{
    Extension corrected = extension;
    const size_t n = extension.entries.size();
    std::vector<uint32_t> place(n, noOwner); // per entry given: where it stands now
    for (size_t k = 0; k < from.size(); ++k) place[from[k]] = static_cast<uint32_t>(k);
    corrected.entries.clear();
    for (size_t i : from) corrected.entries.push_back(extension.entries[i]);
    corrected.sparseEntries.clear();
    for (uint32_t entry : extension.sparseEntries) {
        if (entry < n && place[entry] != noOwner) corrected.sparseEntries.push_back(place[entry]);
    }
    std::sort(corrected.sparseEntries.begin(), corrected.sparseEntries.end());
    corrected.hardLinks.clear();
    for (const HardLink& link : extension.hardLinks) {
        if (link.entry >= n || link.target >= n) continue;
        const uint32_t entry = place[link.entry];
        const uint32_t target = place[link.target];
        if (entry == noOwner || target == noOwner || target >= entry) continue;
        corrected.hardLinks.push_back(HardLink{entry, target});
    }
    std::sort(corrected.hardLinks.begin(), corrected.hardLinks.end(),
              [](const HardLink& a, const HardLink& b) { return a.entry < b.entry; });
    return corrected;
}

namespace {

// The bytes of a table coded alone, from the archive's first bit of the table (byte
// headerSize), and how many bits it takes.
std::vector<uint8_t> codedTable(const std::vector<NewEntry>& entries, const std::vector<NewEntry>& written,
                                uint64_t& bits)
{
    std::vector<uint8_t> bytes;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bitBufferSize]);
    BitWriter writer;
    writer.sink = vectorSink(bytes);
    writer.outBuffer = buffer.get();
    HuffmanCode nameCode{nameAlphabet};
    writeFileTable(writer, entries, nameCode, &written);
    bits = (static_cast<uint64_t>(bytes.size()) + static_cast<uint64_t>(writer.bufferUsed)) * 8 + writer.accBits;
    finish(writer);
    bytes.resize(static_cast<size_t>((bits + 7) / 8));
    return bytes;
}

constexpr uint64_t headerSize = 40; // the magic, the header length, the header

struct RewriteSink {
    const WriteOptions* options = nullptr;
    uint64_t at = 0;
    static bool put(void* context, const uint8_t* bytes, size_t count)
    {
        RewriteSink& self = *static_cast<RewriteSink*>(context);
        if (!self.options->rewrite(self.at, bytes, count)) return false;
        self.at += count;
        return true;
    }
};

} // namespace

bool rewriteTable(const WrittenArchive& archive, const std::vector<NewEntry>& corrected,
                  const std::vector<NewEntry>& written)
{
    uint64_t bits = 0;
    std::vector<uint8_t> table = codedTable(corrected, written, bits);
    if (headerSize * 8 + bits != archive.tableEnd) return false; // never: the names are the same
    if (bits % 8 != 0) { // the last byte begins the stream: its high bits stay
        uint8_t last = 0;
        if (!archive.options->reread(headerSize + table.size() - 1, &last, 1)) return false;
        const uint8_t low = static_cast<uint8_t>((1u << (bits % 8)) - 1);
        table.back() = static_cast<uint8_t>((table.back() & low) | (last & ~low));
    }
    return archive.options->rewrite(headerSize, table.data(), table.size());
}

bool moveStream(const WrittenArchive& archive, const std::vector<NewEntry>& corrected,
                const std::vector<NewEntry>& written, uint64_t& length, uint64_t& moved)
{
    // Every write lands before what is still to be read: the table is shorter, and a piece is
    // read whole before any of its bits is written.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bitBufferSize]);
    RewriteSink sink{archive.options, headerSize};
    BitWriter writer;
    writer.sink = ByteSink{&sink, RewriteSink::put};
    writer.outBuffer = buffer.get();
    HuffmanCode nameCode{nameAlphabet};
    writeFileTable(writer, corrected, nameCode, &written);
    const uint64_t tableEnd = headerSize * 8 + (sink.at - headerSize + static_cast<uint64_t>(writer.bufferUsed)) * 8 +
                              writer.accBits;
    moved = archive.tableEnd - tableEnd;

    constexpr size_t pieceSize = 1 << 20;
    std::unique_ptr<uint8_t[]> piece(new uint8_t[pieceSize + 8]);
    uint64_t bit = archive.tableEnd;
    while (bit < archive.streamEnd && !writer.writeFailed) {
        const uint64_t first = bit / 8;
        const uint64_t last = (archive.streamEnd + 7) / 8; // one past the last byte with stream bits
        const size_t count = static_cast<size_t>(std::min<uint64_t>(pieceSize, last - first));
        if (!archive.options->reread(first, piece.get(), count)) return false;
        std::fill(piece.get() + count, piece.get() + count + 8, uint8_t(0));
        const uint64_t pieceEnd = std::min(archive.streamEnd, (first + count) * 8);
        // Whole 32-bit runs while they fit, then the rest: the stream's bits in order.
        while (bit < pieceEnd) {
            const uint64_t offset = bit - first * 8;
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(32, pieceEnd - bit));
            const uint64_t word = loadU64(piece.get() + offset / 8) >> (offset % 8);
            writeBits(writer, word & ((uint64_t(1) << n) - 1), n);
            bit += n;
        }
    }
    finish(writer);
    if (writer.writeFailed) return false;
    length = sink.at;
    return true;
}

} // namespace qv5
