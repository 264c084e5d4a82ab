// Match-finder throughput per level (MB/s of input, MB = 10^6 bytes) over the corpus, and
// the size the corpus would code to at that level.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "bench_corpus.h"
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "codec/match_finder.h"

namespace qv5::bench {
namespace {

void matchFinder(benchmark::State& state)
{
    const Corpus& input = corpus();
    auto chains = std::make_unique<ContextChains>();
    std::vector<uint16_t> tokens(static_cast<size_t>(blockWordCapacity));
    std::vector<uint8_t> outBuffer(static_cast<size_t>(bitBufferSize));
    BlockCodes codes;
    uint64_t words = 0, codedBytes = 0;
    bool first = true;
    for (auto _ : state) {
        const LevelParameters& level = levelTable[state.range(0)];
        AdaptiveState adaptive;
        std::vector<uint8_t> coded;
        BitWriter writer{vectorSink(coded), outBuffer.data()};
        for (size_t c = 0; c < input.chunks.size(); ++c) {
            const int32_t length = input.chunkLengths[c];
            resetChains(*chains);
            for (int32_t start = 0; start < length;) {
                BlockResult r =
                    parseBlock(start, input.chunks[c].data(), length, tokens.data(), *chains, level, adaptive);
                start += r.consumed;
                if (first) {
                    // The coded size is measured once, outside the timing.
                    state.PauseTiming();
                    words += uint64_t(r.words);
                    prepareBlock(codes, tokens.data(), r.words);
                    writeBlock(writer, codes, tokens.data(), r.words);
                    state.ResumeTiming();
                }
            }
        }
        if (first) {
            finish(writer);
            codedBytes = uint64_t(coded.size());
            first = false;
        }
    }
    state.counters["MB/s"] =
        benchmark::Counter(double(input.totalBytes) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["ratio"] = double(input.totalBytes) / double(codedBytes ? codedBytes : 1);
    state.counters["words/byte"] = double(words) / double(input.totalBytes ? input.totalBytes : 1);
}

BENCHMARK(matchFinder)->DenseRange(0, 5)->ArgName("level")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace
} // namespace qv5::bench

BENCHMARK_MAIN();
