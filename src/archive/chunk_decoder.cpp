#include "archive/chunk_decoder.h"

#include "archive/archive_format.h"
#include "archive/chunk_buffer.h"
#include "codec/block_coder.h"
#include "codec/codec_constants.h"
#include "platform/platform.h"

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace qv5 {

namespace {

struct Window {
    std::unique_ptr<uint8_t[]> bytes = newChunkBuffer();
};

int32_t chunkLengthAt(uint64_t done, uint64_t storedTotal)
{
    uint64_t left = storedTotal - done;
    return left < static_cast<uint64_t>(chunkSize) ? static_cast<int32_t>(left) : chunkSize;
}

Error decodeInSequence(BitReader& reader, uint64_t storedTotal, const ChunkStart& start, const ChunkTake& take,
                       BlockCodes& codes, ContextHistory& history)
{
    Window window;
    for (uint64_t done = 0; done < storedTotal;) {
        int32_t length = chunkLengthAt(done, storedTotal);
        start(done, length);
        if (const char* damage = decodeChunk(reader, codes, history, window.bytes.get(), length)) {
            return damaged(damage, true);
        }
        if (Error failure = take(window.bytes.get(), length)) return failure;
        done += static_cast<uint64_t>(length);
    }
    return Error();
}

// Two windows passed between the decoding thread and the taking one.
struct WindowPair {
    Window windows[2];
    bool full[2] = {false, false};
    const char* damage[2] = {nullptr, nullptr};
    bool stop = false;
    std::exception_ptr failure; // of the decoding thread (out of memory), passed on
    std::mutex mutex;
    std::condition_variable changed;
};

// Stops and joins the decoding thread however the taking side leaves, an exception included.
struct DecoderJoin {
    WindowPair& pair;
    std::thread& thread;
    ~DecoderJoin()
    {
        {
            std::lock_guard<std::mutex> lock(pair.mutex);
            pair.stop = true;
        }
        pair.changed.notify_all();
        thread.join();
    }
};

void decodeAhead(WindowPair& pair, BitReader& reader, uint64_t storedTotal, BlockCodes& codes, ContextHistory& history)
{
    uint64_t index = 0;
    for (uint64_t done = 0; done < storedTotal; ++index) {
        int slot = static_cast<int>(index & 1);
        {
            std::unique_lock<std::mutex> lock(pair.mutex);
            pair.changed.wait(lock, [&] { return pair.stop || !pair.full[slot]; });
            if (pair.stop) return;
        }
        int32_t length = chunkLengthAt(done, storedTotal);
        const char* damage = decodeChunk(reader, codes, history, pair.windows[slot].bytes.get(), length);
        {
            std::lock_guard<std::mutex> lock(pair.mutex);
            pair.damage[slot] = damage;
            pair.full[slot] = true;
        }
        pair.changed.notify_all();
        if (damage) return;
        done += static_cast<uint64_t>(length);
    }
}

Error decodeOverlapped(BitReader& reader, uint64_t storedTotal, const ChunkStart& start, const ChunkTake& take,
                       BlockCodes& codes, ContextHistory& history)
{
    WindowPair pair;
    std::thread decoder([&] {
        try {
            decodeAhead(pair, reader, storedTotal, codes, history);
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(pair.mutex);
                pair.failure = std::current_exception();
            }
            pair.changed.notify_all();
        }
    });
    DecoderJoin join{pair, decoder};
    uint64_t index = 0;
    for (uint64_t done = 0; done < storedTotal; ++index) {
        int slot = static_cast<int>(index & 1);
        int32_t length = chunkLengthAt(done, storedTotal);
        start(done, length);
        const char* damage;
        {
            std::unique_lock<std::mutex> lock(pair.mutex);
            pair.changed.wait(lock, [&] { return pair.full[slot] || pair.failure; });
            if (pair.failure) std::rethrow_exception(pair.failure);
            damage = pair.damage[slot];
        }
        if (damage) return damaged(damage, true);
        if (Error failure = take(pair.windows[slot].bytes.get(), length)) return failure;
        {
            std::lock_guard<std::mutex> lock(pair.mutex);
            pair.full[slot] = false;
        }
        pair.changed.notify_all();
        done += static_cast<uint64_t>(length);
    }
    return Error();
}

} // namespace

const char* decodeChunk(BitReader& reader, BlockCodes& codes, ContextHistory& history, uint8_t* window, int32_t length,
                        int32_t* decoded)
{
    resetHistory(history);
    int32_t position = 0;
    const char* damage = nullptr;
    while (position < length && !damage) {
        damage = decodeBlock(reader, codes, history, window, length, position);
        if (!damage && consumedPastEnd(reader)) damage = "stream cut short";
        if (!damage && reader.readFailed) damage = "read error";
    }
    if (decoded) *decoded = position;
    return damage;
}

Error decodeChunks(BitReader& reader, uint64_t storedTotal, bool ahead, const ChunkStart& start, const ChunkTake& take)
{
    std::unique_ptr<ContextHistory> history(new ContextHistory);
    adviseLargePages(history.get(), sizeof(ContextHistory));
    std::unique_ptr<BlockCodes> codes(new BlockCodes);
    Error result = ahead && storedTotal > static_cast<uint64_t>(chunkSize)
                       ? decodeOverlapped(reader, storedTotal, start, take, *codes, *history)
                       : decodeInSequence(reader, storedTotal, start, take, *codes, *history);
    releaseBlockCodes(*codes);
    return result;
}

} // namespace qv5
