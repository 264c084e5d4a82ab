// The chunk loop on several threads: the same archive as on one thread at the chunk edges, and
// failures of reading, writing or memory on the way that end the run as on one thread, with
// the right error instead of a hang, a crash or an open file.
#include "archive/parallel_chunks.h"
#include "codec/codec_constants.h"
#include "qv5/qv5.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

// A switch for out-of-memory on the workers: while set, an allocation the size of a match
// history fails off the thread that set it.
namespace {
std::atomic<bool> failHistoriesOffMainThread{false};
std::thread::id mainThread;
} // namespace

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete" // the replacements below pair malloc with free
#endif
void* operator new(size_t size)
{
    if (failHistoriesOffMainThread.load(std::memory_order_relaxed) && size == sizeof(qv5::ContextChains) &&
        std::this_thread::get_id() != mainThread)
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

using namespace qv5;
namespace fs = std::filesystem;

namespace {

// Text that compresses (searches keep hitting, so chunks after the first are guessed), with
// stretches of noise where asked.
std::vector<uint8_t> mixedInput(size_t size, uint64_t seed, bool withNoise)
{
    std::vector<uint8_t> bytes(size);
    uint64_t x = seed | 1;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    static const char* const words[] = {"archive ", "chunk ", "ring ", "block ", "guess ", "state ", "replay\n"};
    size_t i = 0;
    while (i < size) {
        if (withNoise && next() % 64 == 0) {
            const size_t end = std::min(size, i + 200000 + next() % 3000000);
            for (; i < end; ++i) bytes[i] = uint8_t(next() >> 29);
            continue;
        }
        for (const char* w = words[next() % 7]; *w && i < size; ++w) bytes[i++] = uint8_t(*w);
    }
    return bytes;
}

struct Written {
    Error error;
    std::vector<uint8_t> archive;
    WriteResult result;
};

Written writeWith(const std::vector<NewEntry>& entries, int threads, int level = 1,
                  const WriteCallbacks& callbacks = WriteCallbacks())
{
    Written out;
    WriteOptions options;
    options.level = level;
    options.threads = threads;
    out.error = writeArchive(entries, memoryOutput(out.archive), options, callbacks, out.result);
    return out;
}

TEST(ParallelChunks, SameArchiveAsOneThreadAtChunkEdges)
{
    // Exactly two chunks, one byte more, a last chunk too short for a search, and one byte
    // short of three; entries split across the chunk edges.
    const size_t sizes[] = {size_t(2) * chunkSize, size_t(2) * chunkSize + 1, size_t(2) * chunkSize + 3,
                            size_t(3) * chunkSize - 1};
    for (size_t size : sizes) {
        const std::vector<uint8_t> input = mixedInput(size, size, true);
        const size_t cut = chunkSize - 5;
        const std::vector<NewEntry> entries = {memoryEntry("/a", input.data(), cut),
                                               memoryEntry("/b", input.data() + cut, 0),
                                               memoryEntry("/c", input.data() + cut, size - cut)};
        const Written one = writeWith(entries, 1);
        ASSERT_FALSE(one.error) << size;
        for (int threads : {2, 3}) {
            const Written several = writeWith(entries, threads);
            ASSERT_FALSE(several.error) << size << " " << threads;
            EXPECT_TRUE(several.archive == one.archive) << size << " on " << threads << " threads";
            EXPECT_EQ(several.result.chunks, (size + chunkSize - 1) / chunkSize);
        }
    }
}

TEST(ParallelChunks, SourcesThatChangeStopTheRun)
{
    // In memory, bytes that no longer have their CRC-32: in the first chunk, in a later one
    // while earlier ones are being written, and in the last byte of an exact number of chunks.
    std::vector<uint8_t> input = mixedInput(size_t(4) * chunkSize, 9, false);
    for (size_t at : {size_t(100), size_t(3) * chunkSize + 7, size_t(4) * chunkSize - 1}) {
        std::vector<uint8_t> changed = input;
        std::vector<NewEntry> entries = {memoryEntry("/a", changed.data(), changed.size())};
        changed[at] ^= 1;
        for (int threads : {1, 2, 3}) {
            const Written written = writeWith(entries, threads);
            EXPECT_EQ(written.error.code, ErrorCode::inputChanged) << at << " on " << threads << " threads";
        }
    }
}

TEST(ParallelChunks, AFailedWriteBeforeAChangedSourceIsReportedAsOnOneThread)
{
    // The output refuses the first chunk's bytes; the second chunk's entry has changed. One
    // thread never gets to read it; several threads read ahead, but the run must end alike,
    // with the same chunks shown.
    std::vector<uint8_t> input = mixedInput(size_t(3) * chunkSize, 23, false);
    const size_t cut = chunkSize + chunkSize / 2;
    std::vector<NewEntry> entries = {memoryEntry("/a", input.data(), cut),
                                     memoryEntry("/b", input.data() + cut, input.size() - cut)};
    input[cut - 1] ^= 1;
    for (int threads : {1, 2, 3}) {
        ByteWriter output = [taken = size_t(0)](const uint8_t*, size_t count) mutable {
            taken += count;
            return taken < 100000;
        };
        WriteOptions options;
        options.level = 1;
        options.threads = threads;
        WriteCallbacks callbacks;
        int shown = 0;
        callbacks.chunk = [&](const ChunkProgress&) { ++shown; };
        WriteResult result;
        const Error error = writeArchive(entries, output, options, callbacks, result);
        EXPECT_EQ(error.code, ErrorCode::writeArchive) << threads << " threads";
        EXPECT_EQ(shown, 1) << threads << " threads";
    }
}

size_t openDescriptors()
{
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST(ParallelChunks, WorkerOutOfMemoryIsPassedOnWithNoInputLeftOpen)
{
    // The input file is open when the workers fail: the error is passed on, and the file closed.
    mainThread = std::this_thread::get_id();
    const fs::path root = fs::temp_directory_path() / "qv5_parallel_chunks_memory";
    fs::remove_all(root);
    fs::create_directories(root);
    const std::vector<uint8_t> input = mixedInput(size_t(3) * chunkSize, 17, false);
    const std::string path = (root / "f").string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(input.data()), input.size());
    NewEntry entry;
    entry.path = path;
    entry.name = "/f";
    entry.size = static_cast<int64_t>(input.size());
    entry.crc = crc32(0, input.data(), input.size());
    const size_t before = openDescriptors();
    failHistoriesOffMainThread = true;
    EXPECT_THROW(writeWith({entry}, 2), std::bad_alloc);
    failHistoriesOffMainThread = false;
    EXPECT_EQ(openDescriptors(), before);
    fs::remove_all(root);
}

} // namespace
