#include "archive/parallel_chunks.h"

#include "archive/chunk_buffer.h"
#include "archive/chunk_timing.h"
#include "codec/block_coder.h"
#include "codec/match_finder.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qv5 {

namespace {

struct BlockSpan {
    size_t offset; // first word in the chunk's token store
    int32_t words;
};

// One chunk in flight: its bytes, the level and state its parse starts from, and what the
// parse made.
struct ChunkJob {
    std::unique_ptr<uint8_t[]> chunk;
    int32_t length = 0;
    LevelParameters level{};
    AdaptiveState start;
    AdaptiveState end;
    std::unique_ptr<uint16_t[]> tokens; // a chunk's words never outnumber its bytes
    std::vector<BlockSpan> blocks;
    std::vector<std::unique_ptr<BlockCodes>> codes;
    std::unique_ptr<uint8_t[]> logCodes;
    SearchLog log;
    bool endsNoisy = false; // endsLikeNoise, worked out once the chunk is read
    // Parsed from a guessed state. Only such a parse prepares each block's codes: the others
    // run while the writing thread would wait for them, and it prepares them itself.
    bool guessed = false;
    bool done = false;
};

// Parses one whole chunk into its job, block by block, preparing each block's codes.
void parseChunk(ChunkJob& job, ContextChains& chains, const std::atomic<bool>& cancel)
{
    std::memset(job.logCodes.get(), 0, static_cast<size_t>(job.length) / 4 + 1);
    job.log.codes = job.logCodes.get();
    job.log.steps = 0;
    job.blocks.clear();
    job.end = job.start;
    resetChains(chains);
    size_t offset = 0;
    int32_t g = 0;
    while (g < job.length && !cancel.load(std::memory_order_relaxed)) {
        uint16_t* tokens = job.tokens.get() + offset;
        BlockResult block = parseBlock(g, job.chunk.get(), job.length, tokens, chains, job.level, job.end, &job.log);
        size_t index = job.blocks.size();
        if (job.codes.size() <= index) job.codes.emplace_back(new BlockCodes);
        if (job.guessed) prepareBlock(*job.codes[index], tokens, block.words);
        job.blocks.push_back({offset, block.words});
        offset += static_cast<size_t>(block.words);
        g += block.consumed;
    }
}

// A fixed set of worker threads, each with its own match history, taking jobs in order.
class WorkerPool {
public:
    explicit WorkerPool(int32_t count)
    {
        try {
            for (int32_t i = 0; i < count; ++i) threads_.emplace_back([this] { run(); });
        } catch (...) {
            stop(); // the threads already started must not outlive a pool never made
            throw;
        }
    }
    ~WorkerPool() { stop(); }
    void submit(ChunkJob* job)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job->done = false;
            queue_.push_back(job);
        }
        wake_.notify_one();
    }
    // Waits for a job; a worker's failure (out of memory) is passed on to the caller.
    void wait(ChunkJob* job)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [this, job] { return job->done || failure_; });
        if (failure_) std::rethrow_exception(failure_);
    }
    void cancel() { cancel_.store(true); }
    const std::atomic<bool>& cancelled() const { return cancel_; }

private:
    void stop()
    {
        cancel_.store(true);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

    void run()
    {
        try {
            work();
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
            }
            finished_.notify_all();
        }
    }

    void work()
    {
        std::unique_ptr<ContextChains> chains = newContextChains();
        for (;;) {
            ChunkJob* job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = queue_.front();
                queue_.pop_front();
            }
            parseChunk(*job, *chains, cancel_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                job->done = true;
            }
            finished_.notify_all();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::deque<ChunkJob*> queue_;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::atomic<bool> cancel_{false};
};

// Whether the chunk ends in bytes that look incompressible: an order-0 entropy of its last
// 32 KiB near 8 bits a byte. Searches there mostly miss, so the skip interval the chunk ends
// with is likely high, with a phase no guess knows.
bool endsLikeNoise(const uint8_t* chunk, int32_t length)
{
    const int32_t n = std::min(length, 32768);
    uint32_t counts[256] = {};
    for (const uint8_t* p = chunk + length - n; p != chunk + length; ++p) ++counts[*p];
    double sum = 0;
    for (uint32_t c : counts)
        if (c) sum += c * std::log2(double(c));
    return n > 0 && std::log2(double(n)) - sum / n > 7.5;
}

std::unique_ptr<ChunkJob> newChunkJob()
{
    std::unique_ptr<ChunkJob> job(new ChunkJob);
    job->chunk = newChunkBuffer();
    // A chunk's tokens and log are written once per chunk: on large pages that costs a few
    // page faults instead of some 9,000.
    job->tokens.reset(new uint16_t[chunkSize + blockWordCapacity]);
    adviseLargePages(job->tokens.get(), sizeof(uint16_t) * (chunkSize + blockWordCapacity));
    job->logCodes.reset(new uint8_t[chunkSize / 4 + 1]);
    adviseLargePages(job->logCodes.get(), chunkSize / 4 + 1);
    return job;
}

} // namespace

std::unique_ptr<ContextChains> newContextChains()
{
    std::unique_ptr<ContextChains> chains(new ContextChains);
    adviseLargePages(chains.get(), sizeof(ContextChains));
    return chains;
}

int32_t defaultThreadCount()
{
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int32_t>(std::min(cores, 64u));
}

int32_t chunkThreadCount(int32_t asked)
{
    const int32_t cores = defaultThreadCount();
    return asked > 0 ? std::min(asked, cores) : cores;
}

bool compressChunksInParallel(ConcatReader& reader, BitWriter& writer, const LevelParameters& level,
                              AdaptiveState& adaptive, int32_t threads, const ChunkStarted& progress, uint64_t& done,
                              GuessCounts& counts)
{
    // One slot more than workers: while the writing thread writes one chunk's blocks and
    // reads the next, every worker still has a chunk to parse.
    const int32_t slots = threads + 1;
    std::vector<std::unique_ptr<ChunkJob>> jobs(static_cast<size_t>(slots));
    std::unique_ptr<ContextChains> ownChains; // for the chunks whose guess fails
    AdaptiveState truth = adaptive;           // the state after the first known chunks
    uint64_t read = 0;                        // chunks read into their slots
    uint64_t submitted = 0;                   // chunks handed to the workers
    uint64_t known = 0;                       // chunks whose end state is truth
    uint64_t written = 0;
    bool inputEnded = false;
    // Whether chunks are parsed from a guess, decided by how the last known chunk ended. A
    // guess holds when the true state searches (nearly) everywhere, where a match or two
    // makes the two runs one, or after noise (below). Otherwise, where searches hit now and
    // then and the skip interval stays high with a phase no guess knows, a guess would only
    // be parsed again: each chunk waits for the true state and is parsed while the chunk
    // before is written, and the writing thread prepares its codes.
    bool speculating = true;
    // The last known chunk was noise: no search in it found a match. The next chunks are then
    // guessed to be noise too, whose end state follows from their lengths.
    bool noise = false;
    float previousSeconds = 1.0f;
    uint32_t lastMs = clockMs();
    bool ok = true;
    {
        WorkerPool pool(threads);
        // The guess is the true state after the last chunk known, as after a match or two a
        // parse no longer depends on where it started; after noise, the state the chunks
        // between leave if they are noise too.
        auto guessFor = [&](uint64_t k) {
            AdaptiveState guess = truth;
            if (noise)
                for (uint64_t j = known; j < k; ++j) guess = stateAfterMisses(guess, jobs[j % slots]->length);
            return guess;
        };
        // A guess from the state before noise would be parsed again too.
        auto worthGuessing = [&](uint64_t k) {
            if (noise) return true;
            return speculating && !jobs[(k - 1) % slots]->endsNoisy;
        };
        auto submitReady = [&] {
            while (submitted < read && (submitted == known || worthGuessing(submitted))) {
                ChunkJob& job = *jobs[submitted % slots];
                job.level = level;
                job.start = guessFor(submitted);
                job.guessed = submitted != known; // else truth is already known
                pool.submit(&job);
                ++submitted;
            }
        };
        while (ok) {
            while (!inputEnded && read - written < static_cast<uint64_t>(slots)) {
                if (!jobs[read % slots]) jobs[read % slots] = newChunkJob(); // as the input needs them
                ChunkJob& job = *jobs[read % slots];
                job.length = fill(reader, job.chunk.get(), chunkSize);
                if (reader.failure) {
                    // The chunks read before are still written, as on one thread: a write
                    // failing among them is the failure to report, and they are shown.
                    inputEnded = true;
                    break;
                }
                if (job.length == 0) {
                    inputEnded = true;
                    break;
                }
                job.endsNoisy = endsLikeNoise(job.chunk.get(), job.length);
                ++read;
                submitReady(); // a worker starts on each chunk as soon as it is read
            }
            submitReady();
            if (written == read) {
                ok = !reader.failure;
                break;
            }

            ChunkJob& job = *jobs[written % slots];
            pool.wait(&job);
            progress(done, job.chunk.get(), static_cast<uint64_t>(job.length), previousSeconds);
            AdaptiveState end = truth;
            if (!job.guessed) ++counts.waited;
            if (!replaySearches(job.log, job.start, job.end, end)) {
                ++counts.parsedAgain;
                if (!ownChains) ownChains = newContextChains();
                job.start = truth;
                job.guessed = false;
                std::atomic<bool> never{false};
                parseChunk(job, *ownChains, never);
                end = job.end;
            }
            noise = end == stateAfterMisses(truth, job.length);
            speculating = end.skipInterval <= 1 || noise;
            truth = end;
            ++known;
            submitReady(); // the next chunk is parsed while this one is written
            for (const BlockSpan& block : job.blocks) {
                BlockCodes& codes = *job.codes[&block - job.blocks.data()];
                if (!job.guessed) prepareBlock(codes, job.tokens.get() + block.offset, block.words);
                writeBlock(writer, codes, job.tokens.get() + block.offset, block.words);
            }
            if (writer.writeFailed) {
                ok = false;
                break;
            }
            uint32_t now = clockMs();
            previousSeconds = chunkSeconds(lastMs, now);
            lastMs = now;
            done += static_cast<uint64_t>(job.length);
            ++written;
            ++counts.chunks;
        }
        if (!ok) {
            pool.cancel();
            for (uint64_t k = written; k < submitted; ++k) pool.wait(jobs[k % slots].get());
        }
    }
    adaptive = truth;
    return ok;
}

} // namespace qv5
