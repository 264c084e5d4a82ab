#include "archive/parallel_chunks.h"

#include "codec/block_coder.h"
#include "codec/match_finder.h"
#include "platform/platform.h"
#include "console/progress.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
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

// One chunk in flight: its bytes, the state its parse starts from, and what the parse made.
struct ChunkJob {
    std::unique_ptr<uint8_t[]> chunk;
    int32_t length = 0;
    LevelSettings start;
    LevelSettings end;
    std::vector<uint16_t> tokens;
    std::vector<BlockSpan> blocks;
    std::vector<std::unique_ptr<BlockCodes>> codes;
    std::vector<uint8_t> logCodes;
    SearchLog log;
    bool done = false;
};

// Parses one whole chunk into its job, block by block, preparing each block's codes.
void parseChunk(ChunkJob& job, ContextChains& chains, const std::atomic<bool>& cancel)
{
    const size_t logBytes = static_cast<size_t>(job.length) / 4 + 1;
    if (job.logCodes.size() < logBytes) job.logCodes.resize(logBytes);
    std::memset(job.logCodes.data(), 0, logBytes);
    job.log.codes = job.logCodes.data();
    job.log.steps = 0;
    job.blocks.clear();
    job.end = job.start;
    resetChains(chains);
    size_t offset = 0;
    int32_t g = 0;
    while (g < job.length && !cancel.load(std::memory_order_relaxed)) {
        if (job.tokens.size() < offset + blockWordCapacity) job.tokens.resize(offset + blockWordCapacity);
        uint16_t* tokens = job.tokens.data() + offset;
        BlockResult block = parseBlock(g, job.chunk.get(), job.length, tokens, chains, job.end, &job.log);
        size_t index = job.blocks.size();
        if (job.codes.size() <= index) job.codes.emplace_back(new BlockCodes);
        prepareBlock(*job.codes[index], tokens, block.words);
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
        for (int32_t i = 0; i < count; ++i) threads_.emplace_back([this] { run(); });
    }
    ~WorkerPool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }
    void submit(ChunkJob* job)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job->done = false;
            queue_.push_back(job);
        }
        wake_.notify_one();
    }
    void wait(ChunkJob* job)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [job] { return job->done; });
    }
    void cancel() { cancel_.store(true); }
    const std::atomic<bool>& cancelled() const { return cancel_; }

private:
    void run()
    {
        std::unique_ptr<ContextChains> chains(new ContextChains);
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
    std::atomic<bool> cancel_{false};
};

} // namespace

int32_t defaultThreadCount()
{
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int32_t>(std::min(cores, 64u));
}

bool compressChunksInParallel(ConcatReader& reader, BitWriter& writer, LevelSettings& settings, int32_t threads,
                              const ChunkProgress& progress, uint64_t& done)
{
    std::vector<std::unique_ptr<ChunkJob>> jobs;
    for (int32_t i = 0; i < threads; ++i) {
        jobs.emplace_back(new ChunkJob);
        jobs.back()->chunk.reset(new uint8_t[chunkSize + chunkSlack]);
        std::memset(jobs.back()->chunk.get(), 0xFF, chunkSize + chunkSlack);
    }
    std::unique_ptr<ContextChains> ownChains; // for the chunks whose guess fails
    AdaptiveState truth = adaptiveStateOf(settings);
    uint64_t dispatched = 0;
    uint64_t written = 0;
    bool inputEnded = false;
    float previousSeconds = 1.0f;
    uint32_t lastMs = clockMs();
    bool ok = true;
    {
        WorkerPool pool(threads);
        while (ok) {
            while (!inputEnded && dispatched - written < static_cast<uint64_t>(threads)) {
                ChunkJob& job = *jobs[dispatched % threads];
                job.length = fill(reader, job.chunk.get(), chunkSize);
                if (reader.failed) {
                    ok = false;
                    break;
                }
                if (job.length == 0) {
                    inputEnded = true;
                    break;
                }
                // Guess: the true state after the last chunk written; after a match or two
                // the parse no longer depends on where it started.
                job.start = settings;
                setAdaptiveState(job.start, truth);
                pool.submit(&job);
                ++dispatched;
            }
            if (!ok || written == dispatched) break;

            ChunkJob& job = *jobs[written % threads];
            pool.wait(&job);
            progress(done, static_cast<uint64_t>(job.length), previousSeconds);
            AdaptiveState end = truth;
            if (!replaySearches(job.log, adaptiveStateOf(job.start), adaptiveStateOf(job.end), end)) {
                if (!ownChains) ownChains.reset(new ContextChains);
                setAdaptiveState(job.start, truth);
                std::atomic<bool> never{false};
                parseChunk(job, *ownChains, never);
                end = adaptiveStateOf(job.end);
            }
            for (const BlockSpan& block : job.blocks) {
                writeBlock(writer, *job.codes[&block - job.blocks.data()], job.tokens.data() + block.offset,
                           block.words);
            }
            if (writer.writeFailed) {
                ok = false;
                break;
            }
            truth = end;
            uint32_t now = clockMs();
            previousSeconds = chunkSeconds(lastMs, now);
            lastMs = now;
            done += static_cast<uint64_t>(job.length);
            ++written;
        }
        if (!ok) {
            pool.cancel();
            for (uint64_t k = written; k < dispatched; ++k) pool.wait(jobs[k % threads].get());
        }
    }
    setAdaptiveState(settings, truth);
    return ok;
}

} // namespace qv5
