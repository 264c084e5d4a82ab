#include "archive/indexed_chunks.h"

#include "archive/chunk_buffer.h"
#include "archive/chunk_decoder.h"
#include "codec/block_coder.h"
#include "codec/codec_constants.h"
#include "codec/crc32.h"
#include "platform/platform.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace qv5 {

namespace {

// The archive's bytes from an offset on, as a bit reader's source.
struct PositionedSource {
    const RandomInput* input = nullptr;
    uint64_t at = 0; // the archive's next byte to read

    static size_t get(void* context, uint8_t* buffer, size_t capacity, bool* failed)
    {
        PositionedSource& self = *static_cast<PositionedSource*>(context);
        const RandomInput& input = *self.input;
        size_t got = 0;
        if (input.file) {
            bool readFailed = false;
            const uint64_t at = static_cast<uint64_t>(input.start) + self.at;
            got = input.source ? input.source->read(at, buffer, capacity, readFailed)
                               : readFileAt(input.file, at, buffer, capacity, readFailed);
            if (readFailed && failed) *failed = true;
        } else if (self.at < input.size) {
            got = static_cast<size_t>(std::min<uint64_t>(capacity, input.size - self.at));
            std::memcpy(buffer, input.data + self.at, got);
        }
        self.at += got;
        return got;
    }
};

// One thread's working storage.
struct Decoder {
    std::unique_ptr<uint8_t[]> inBuffer{new uint8_t[bitBufferSize]};
    std::unique_ptr<ContextHistory> history{new ContextHistory};
    std::unique_ptr<BlockCodes> codes{new BlockCodes};
    Decoder() { adviseLargePages(history.get(), sizeof(ContextHistory)); }
    ~Decoder() { releaseBlockCodes(*codes); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
};

// One chunk decoded, or the damage found decoding it.
struct Decoded {
    std::unique_ptr<uint8_t[]> window = newChunkBuffer();
    uint64_t from = 0;      // the bit it was decoded from
    uint64_t end = 0;       // the bit after its last block
    uint32_t crc = 0;       // of its bytes
    uint32_t tailCrc = 0;   // of its bytes from its tail start on
    int32_t decoded = 0;    // bytes decoded before the damage (all when none)
    const char* damage = nullptr;
};

int32_t chunkLength(uint32_t chunk, uint64_t storedTotal)
{
    const uint64_t done = static_cast<uint64_t>(chunk) * chunkSize;
    return static_cast<int32_t>(std::min<uint64_t>(storedTotal - done, chunkSize));
}

int32_t tailStartOf(const IndexedDecoding& decoding, uint32_t chunk)
{
    return chunk < decoding.tailStarts.size() ? decoding.tailStarts[chunk] : 0;
}

// Decodes chunk into result from bit from of the archive; its CRC-32 is taken in two parts,
// split at tailStart, and joined.
void decodeFrom(const RandomInput& input, Decoder& decoder, uint64_t from, int32_t length, int32_t tailStart,
                Decoded& result)
{
    PositionedSource source{&input, from / 8};
    BitReader reader;
    reader.source = ByteSource{&source, PositionedSource::get};
    reader.inBuffer = decoder.inBuffer.get();
    if (from % 8) readBits(reader, static_cast<uint32_t>(from % 8));
    result.from = from;
    result.damage = decodeChunk(reader, *decoder.codes, *decoder.history, result.window.get(), length, &result.decoded);
    // Bits taken: what the source gave, less what the reader's buffer and accumulator hold.
    const uint64_t unread = uint64_t(reader.bufferEnd - uint32_t(reader.bufferPos)) * 8 + uint64_t(reader.accBits);
    result.end = source.at * 8 - unread + reader.zeroBytesFetched * 8;
    if (result.damage && reader.readFailed && input.source && input.source->failedRead) {
        result.damage = input.source->failedRead;
    }
    if (result.damage) return;
    const uint8_t* bytes = result.window.get();
    const int32_t tail = tailStart > 0 && tailStart < length ? tailStart : 0;
    result.tailCrc = crc32Update(0, bytes + tail, static_cast<size_t>(length - tail));
    result.crc = tail == 0 ? result.tailCrc
                           : crc32Combine(crc32Update(0, bytes, static_cast<size_t>(tail)), result.tailCrc,
                                          static_cast<uint64_t>(length - tail));
}

// Decodes the chunks of a list on worker threads, ahead of the thread that takes them in
// order: a window each and one more, so that a worker that finishes before the chunk ahead
// of its own is taken can go on with the next (the chunks of a mixed corpus took 35 to 90 ms
// each); more windows measured no faster, as first touching one costs as much as decoding
// a few MiB.
class Ahead {
public:
    Ahead(const IndexedDecoding& decoding, const std::vector<uint32_t>& chunks, int workers)
        : decoding_(decoding), chunks_(chunks), slots_(static_cast<size_t>(workers) + 1)
    {
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    }
    ~Ahead()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }
    Ahead(const Ahead&) = delete;
    Ahead& operator=(const Ahead&) = delete;

    // The result of the list's nth chunk, once decoded; held until release(n).
    Decoded& wait(size_t n)
    {
        Slot& slot = slots_[n % slots_.size()];
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return (slot.ready && slot.task == n) || failure_; });
        if (failure_) std::rethrow_exception(failure_);
        return *slot.result;
    }
    void release(size_t n)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slots_[n % slots_.size()].ready = false;
            slots_[n % slots_.size()].free = true;
        }
        changed_.notify_all();
    }

private:
    struct Slot {
        std::unique_ptr<Decoded> result; // made by the first worker to take the slot
        size_t task = 0;
        bool free = true;
        bool ready = false;
    };

    void work()
    {
        try {
            Decoder decoder;
            for (;;) {
                size_t n;
                Slot* slot;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(
                        lock, [&] { return stop_ || (next_ < chunks_.size() && slots_[next_ % slots_.size()].free); });
                    if (stop_) return;
                    n = next_++;
                    slot = &slots_[n % slots_.size()];
                    slot->free = false;
                    slot->task = n;
                }
                // Made by the thread that first decodes into it: its pages are touched there,
                // while the other threads decode, not before anything is decoded.
                if (!slot->result) slot->result.reset(new Decoded);
                const uint32_t chunk = chunks_[n];
                decodeFrom(decoding_.input, decoder, (*decoding_.index)[chunk].bit,
                           chunkLength(chunk, decoding_.storedTotal), tailStartOf(decoding_, chunk), *slot->result);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    slot->ready = true;
                }
                changed_.notify_all();
            }
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
            }
            changed_.notify_all();
        }
    }

    const IndexedDecoding& decoding_;
    const std::vector<uint32_t>& chunks_;
    std::vector<Slot> slots_;
    std::vector<std::thread> threads_;
    size_t next_ = 0;
    bool stop_ = false;
    std::exception_ptr failure_; // of a worker (out of memory), passed on
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace

void recordedStreamEnd(uint64_t extensionOffset, uint64_t& low, uint64_t& high)
{
    const uint64_t closing = uint64_t(finishByteCount) * 8;
    if (extensionOffset * 8 < closing) {
        low = high = 0;
        return;
    }
    low = extensionOffset * 8 - closing;
    high = low + 64;
}

bool indexFits(const std::vector<ChunkMark>& index, uint64_t storedTotal, uint64_t firstBit, uint64_t endBit)
{
    const uint64_t count = (storedTotal + chunkSize - 1) / chunkSize;
    if (index.size() != count || count == 0 || index[0].bit != firstBit) return false;
    for (size_t k = 0; k < index.size(); ++k) {
        if (index[k].bit >= endBit || (k > 0 && index[k].bit <= index[k - 1].bit)) return false;
    }
    return true;
}

Error decodeIndexed(IndexedDecoding& decoding, const IndexedStart& start, const IndexedTake& take,
                    const IndexedDamage& damaged)
{
    const std::vector<ChunkMark>& index = *decoding.index;
    std::vector<uint32_t> chunks;
    for (uint32_t k = 0; k < index.size(); ++k) {
        if (decoding.needed.empty() || decoding.needed[k]) chunks.push_back(k);
    }
    // One thread decodes as it takes; more decode ahead, a window each.
    const int workers = std::min<int>(decoding.threads, static_cast<int>(chunks.size()));
    std::unique_ptr<Ahead> ahead;
    if (workers > 1) ahead.reset(new Ahead(decoding, chunks, workers));
    // This thread's own storage, made when first needed: with threads ahead, only for a chunk
    // that must be decoded again from where the stream says it begins.
    std::unique_ptr<Decoder> own;
    std::unique_ptr<Decoded> inline_;
    auto decodeHere = [&](uint64_t from, uint32_t chunk, int32_t length) -> Decoded* {
        if (!own) own.reset(new Decoder);
        if (!inline_) inline_.reset(new Decoded);
        decodeFrom(decoding.input, *own, from, length, tailStartOf(decoding, chunk), *inline_);
        return inline_.get();
    };
    // Where the chunk after the last one decoded here begins, by the stream itself.
    uint64_t streamEnd = decoding.firstBit;
    int64_t lastGood = -1; // the chunk that ended there (-1: the file table)
    bool indexMatched = true;
    for (size_t n = 0; n < chunks.size(); ++n) {
        const uint32_t chunk = chunks[n];
        const int32_t length = chunkLength(chunk, decoding.storedTotal);
        start(chunk, static_cast<uint64_t>(chunk) * chunkSize, length);
        Decoded* result = ahead ? &ahead->wait(n) : decodeHere(index[chunk].bit, chunk, length);
        // After a chunk decoded here, the stream says where the next begins: the index must
        // agree, and where it does not, the stream is believed.
        const bool follows = lastGood + 1 == static_cast<int64_t>(chunk);
        if (follows && result->from != streamEnd) {
            indexMatched = false;
            if (ahead) ahead->release(n);
            result = decodeHere(streamEnd, chunk, length);
        }
        // Where the next chunk is not decoded right after this one, nothing else shows that
        // this chunk's bits are the stream's: it must end where the next begins.
        bool endsRight = true;
        const bool nextFollows = n + 1 < chunks.size() && chunks[n + 1] == chunk + 1;
        if (!result->damage && !nextFollows) {
            if (chunk + 1 < index.size()) {
                endsRight = result->end == index[chunk + 1].bit;
            } else if (decoding.streamEndHigh > 0) {
                endsRight = result->end >= decoding.streamEndLow && result->end <= decoding.streamEndHigh;
            }
        }
        if (!endsRight && decoding.needed.empty()) {
            indexMatched = false; // the stream itself was followed up to here
            endsRight = true;
        }
        Error failure;
        if (!endsRight) {
            failure = damaged(chunk, "it does not end where the next chunk or the stream is recorded to begin or end",
                              result->window.get(), 0);
            lastGood = -2;
        } else if (result->damage || result->crc != index[chunk].crc) {
            failure = damaged(chunk, result->damage ? result->damage : "its bytes do not match their CRC-32",
                              result->window.get(), result->decoded);
            lastGood = -2;
        } else {
            failure = take(chunk, result->window.get(), length, result->tailCrc);
            streamEnd = result->end;
            lastGood = chunk;
            decoding.endByte = (result->end + 7) / 8;
        }
        if (ahead && result != inline_.get()) ahead->release(n);
        if (failure) return failure;
    }
    if (!indexMatched) return damaged(noChunk, "chunk index does not match the stream", nullptr, 0);
    return Error();
}

} // namespace qv5
