// How compression on two threads fares against one on the corpus, per level: how many chunks
// were parsed from a guessed search state and had to be parsed again, how many waited for
// the true state instead, whether the archive is the one-thread archive byte for byte, and
// the process CPU time of each run (user + system, so the parallel overhead shows).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench_corpus.h"
#include "codec/codec_constants.h"
#include "qv5/qv5.h"

namespace {

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

} // namespace

// Levels to run as arguments (default 1 to 4); "noise" first runs 12 chunks of random bytes
// instead of the corpus.
int main(int argc, char** argv)
{
    using namespace qv5;
    const bool noise = argc > 1 && std::string(argv[1]) == "noise";
    std::vector<uint8_t> random;
    std::vector<NewEntry> entries;
    if (noise) {
        random.resize(size_t(12) * chunkSize);
        uint64_t x = 0x9E3779B97F4A7C15u;
        for (size_t i = 0; i < random.size(); i += 8) { // xorshift: no match of four bytes to find
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(&random[i], &x, 8);
        }
        entries.push_back(memoryEntry("/noise", random.data(), random.size()));
        std::printf("noise: %zu bytes, 12 chunks\n\n", random.size());
    } else {
        const bench::Corpus& input = bench::corpus();
        // One entry per chunk: the stream is the corpus, cut where the archiver cuts it.
        for (size_t c = 0; c < input.chunks.size(); ++c)
            entries.push_back(memoryEntry("/chunk" + std::to_string(c), input.chunks[c].data(),
                                          static_cast<size_t>(input.chunkLengths[c])));
        std::printf("corpus: %llu bytes, %zu chunks\n\n", static_cast<unsigned long long>(input.totalBytes),
                    input.chunks.size());
    }
    std::printf("| level | chunks | parsed again | waited for the true state | archives | CPU -t1 s | CPU -t2 s |\n");
    std::printf("| --- | ---: | ---: | ---: | --- | ---: | ---: |\n");
    std::vector<int> levels;
    for (int i = noise ? 2 : 1; i < argc; ++i) levels.push_back(std::atoi(argv[i]));
    if (levels.empty()) levels = {1, 2, 3, 4};
    for (int level : levels) {
        std::vector<uint8_t> archives[2];
        WriteResult results[2];
        double seconds[2];
        for (int t = 0; t < 2; ++t) {
            WriteOptions options;
            options.level = level;
            options.threads = t + 1;
            const double before = cpuSeconds();
            if (writeArchive(entries, memoryOutput(archives[t]), options, WriteCallbacks(), results[t])) {
                std::printf("level %d: writing failed\n", level);
                return 1;
            }
            seconds[t] = cpuSeconds() - before;
        }
        std::printf("| c%d | %u | %u | %u | %s | %.2f | %.2f |\n", level, results[1].chunks,
                    results[1].chunksParsedAgain, results[1].chunksWaited,
                    archives[0] == archives[1] ? "identical" : "DIFFER", seconds[0], seconds[1]);
        std::fflush(stdout);
    }
    return 0;
}
