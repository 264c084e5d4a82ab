#include "archive/archive_writer.h"

#include "archive/archive_format.h"
#include "archive/concat_reader.h"
#include "archive/file_streams.h"
#include "archive/parallel_chunks.h"
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "codec/huffman.h"
#include "codec/match_finder.h"
#include "console/format.h"
#include "console/progress.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace qv5 {

namespace {

constexpr uint64_t compressionModelKb = 29187;

void compressionProgressText(char* text, uint64_t done, uint64_t n, uint64_t total, float d, FILE* archiveFile,
                             const BitWriter& writer)
{
    if (done == 0 || done + n >= total) {
        chunkProgressText(text, done, n, total, d);
        return;
    }
    float ratio = static_cast<float>(tellFile(archiveFile) + writer.bufferUsed) / static_cast<float>(done);
    std::snprintf(text, progressTextSize, "%s/%s KB, %s left, %s KB/sec, expect %s (%.2f%%)",
                  FormatNumber((done + n) / 1024, false), FormatNumber(total / 1024, false),
                  FormatDuration(chunkTimeLeft(total, done, d)), FormatNumber(chunkRate(d), false),
                  FormatNumber(static_cast<uint64_t>(static_cast<float>(total) * ratio), true),
                  static_cast<double>(ratio * 100.0f));
}

// Working storage of the sequential chunk loop, allocated once.
struct ChunkStorage {
    std::unique_ptr<uint8_t[]> chunk{new uint8_t[chunkSize + chunkSlack]};
    std::unique_ptr<uint16_t[]> tokens{new uint16_t[blockWordCapacity]};
    std::unique_ptr<ContextChains> chains = newContextChains();
    std::unique_ptr<BlockCodes> codes{new BlockCodes};
    ChunkStorage()
    {
        adviseLargePages(chunk.get(), chunkSize + chunkSlack);
        // The slack too: the match finder reads a few bytes past a chunk's end.
        std::memset(chunk.get(), 0xFF, chunkSize + chunkSlack);
        std::memset(tokens.get(), 0xFF, blockWordCapacity * sizeof(uint16_t));
    }
};

// The chunk loop on this thread alone; false when reading or writing failed.
bool compressChunksInSequence(ConcatReader& reader, FILE* archiveFile, BitWriter& writer, const LevelParameters& level,
                              AdaptiveState& adaptive, uint64_t storedTotal, uint64_t& done)
{
    ChunkStorage storage;
    float d = 1.0f;
    for (;;) {
        int32_t n = fill(reader, storage.chunk.get(), chunkSize);
        if (reader.failed) return false;
        if (n == 0) return true;
        char text[progressTextSize];
        compressionProgressText(text, done, static_cast<uint64_t>(n), storedTotal, d, archiveFile, writer);
        ProgressLine::show(text);
        uint32_t t0 = clockMs();
        resetChains(*storage.chains);
        int32_t g = 0;
        do {
            BlockResult block = parseBlock(g, storage.chunk.get(), n, storage.tokens.get(), *storage.chains, level,
                                           adaptive);
            prepareBlock(*storage.codes, storage.tokens.get(), block.words);
            writeBlock(writer, *storage.codes, storage.tokens.get(), block.words);
            g += block.consumed;
        } while (g < n);
        if (writer.writeFailed) return false;
        d = chunkSeconds(t0, clockMs());
        done += static_cast<uint64_t>(n);
    }
}

// Re-measures every entry; false after a message when one cannot be opened or its size
// differs from the one its checksum was computed over.
bool sizingPass(FileEntry* first, uint64_t& entryCount, uint64_t& storedTotal, uint64_t& inputTotal)
{
    for (FileEntry* entry = first; entry; entry = entry->next) {
        FILE* file = openRead(entry->sourcePath);
        if (!file) {
            std::printf("Error opening input file %s\n", printable(entry->sourcePath).c_str());
            return false;
        }
        int64_t size = 0;
        bool measured = sizeOfFile(file, size);
        std::fclose(file);
        if (!measured) {
            std::printf("Error reading input file %s\n", printable(entry->sourcePath).c_str());
            return false;
        }
        if (entry->crcPresent && size != entry->size) {
            std::printf("Error: input file %s changed while being archived\n", printable(entry->sourcePath).c_str());
            return false;
        }
        entry->size = size;
        ++entryCount;
        inputTotal += static_cast<uint64_t>(size);
        if (!entry->duplicate) storedTotal += static_cast<uint64_t>(size);
    }
    return true;
}

bool reportWriteError(const std::string& archivePath)
{
    std::printf("\nError writing archive %s\n", printable(archivePath).c_str());
    return false;
}

} // namespace

bool writeArchive(FileEntry* first, FILE* archiveFile, const std::string& archivePath, const LevelSettings& settings)
{
    uint64_t entryCount = 0;
    uint64_t storedTotal = 0;
    uint64_t inputTotal = 0;
    if (!sizingPass(first, entryCount, storedTotal, inputTotal)) return false;

    std::unique_ptr<uint8_t[]> outBuffer(new uint8_t[bitBufferSize]);
    BitWriter writer;
    writer.sink = fileSink(archiveFile);
    writer.outBuffer = outBuffer.get();

    std::printf("Model: %s KB\n", FormatNumber(compressionModelKb, false));
    std::printf("Loading...");
    std::fflush(stdout);

    ArchiveHeader header;
    header.entryCount = entryCount;
    header.storedTotal = storedTotal;
    header.flags = crcFlag;
    if (!writeHeader(archiveFile, header)) return reportWriteError(archivePath);
    {
        HuffmanCode nameCode{nameAlphabet};
        writeFileTable(writer, first, nameCode);
    }

    uint32_t startMs = clockMs();
    ConcatReader reader;
    reader.current = first;
    uint64_t done = 0;
    int32_t threads = settings.threadCount > 0 ? settings.threadCount : defaultThreadCount();
    // No more workers than chunks: each holds a match history, each slot a chunk.
    uint64_t chunkCount = (storedTotal + chunkSize - 1) / chunkSize;
    if (static_cast<uint64_t>(threads) > chunkCount) threads = static_cast<int32_t>(std::max<uint64_t>(chunkCount, 1));
    const LevelParameters& level = levelTable[settings.level];
    AdaptiveState adaptive; // runs on across all chunks of the archive
    bool ok;
    if (threads > 1) {
        auto progress = [&](uint64_t before, uint64_t size, float seconds) {
            char text[progressTextSize];
            compressionProgressText(text, before, size, storedTotal, seconds, archiveFile, writer);
            ProgressLine::show(text);
        };
        ok = compressChunksInParallel(reader, writer, level, adaptive, threads, progress, done);
    } else {
        ok = compressChunksInSequence(reader, archiveFile, writer, level, adaptive, storedTotal, done);
    }
    closeReader(reader);
    if (reader.failed) return false;
    if (!ok) return reportWriteError(archivePath);
    if (done != storedTotal) {
        std::printf("\nError: input files changed while being archived\n");
        return false;
    }

    std::printf("\n");
    finish(writer);
    if (writer.writeFailed || std::fflush(archiveFile) != 0) return reportWriteError(archivePath);
    uint64_t archiveSize = static_cast<uint64_t>(tellFile(archiveFile));
    float percent = inputTotal == 0 ? 0.0f : static_cast<float>(archiveSize) * 100.0f / static_cast<float>(inputTotal);
    float seconds = static_cast<float>(clockMs() - startMs) * 0.001f;
    std::printf("%s -> %s bytes (%s, %.2f%%) - %.3f seconds\n", FormatNumber(inputTotal, false),
                FormatNumber(archiveSize, false), FormatNumber(archiveSize, true), static_cast<double>(percent),
                static_cast<double>(seconds));
    return true;
}

} // namespace qv5
