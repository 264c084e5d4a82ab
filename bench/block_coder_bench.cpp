// Block coding throughput over the corpus parsed at level 1 (the default c2): block encoding
// (counting, code building, bit writing), block decoding into the window, and plain Huffman
// symbol decoding. MB = 10^6 bytes of uncompressed data.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "bench_corpus.h"
#include "codec/bit_stream.h"
#include "codec/block_coder.h"
#include "codec/huffman.h"
#include "codec/match_finder.h"

namespace qv5::bench {
namespace {

struct ParsedCorpus {
    std::vector<std::vector<uint16_t>> blockTokens;
    std::vector<size_t> blocksPerChunk;
    std::vector<uint8_t> coded; // the coded blocks of all chunks, one bit stream
};

const ParsedCorpus& parsedCorpus()
{
    static const ParsedCorpus parsed = [] {
        const Corpus& input = corpus();
        ParsedCorpus out;
        auto chains = std::make_unique<ContextChains>();
        std::vector<uint16_t> tokens(static_cast<size_t>(blockWordCapacity));
        AdaptiveState adaptive;
        for (size_t c = 0; c < input.chunks.size(); ++c) {
            resetChains(*chains);
            size_t blocks = 0;
            for (int32_t start = 0; start < input.chunkLengths[c]; ++blocks) {
                BlockResult r = parseBlock(start, input.chunks[c].data(), input.chunkLengths[c], tokens.data(), *chains,
                                           levelTable[1], adaptive);
                out.blockTokens.emplace_back(tokens.begin(), tokens.begin() + r.words);
                start += r.consumed;
            }
            out.blocksPerChunk.push_back(blocks);
        }
        std::vector<uint8_t> buffer(static_cast<size_t>(bitBufferSize));
        BitWriter writer{vectorSink(out.coded), buffer.data()};
        BlockCodes codes;
        for (const auto& block : out.blockTokens) {
            prepareBlock(codes, block.data(), int32_t(block.size()));
            writeBlock(writer, codes, block.data(), int32_t(block.size()));
        }
        finish(writer);
        return out;
    }();
    return parsed;
}

void setRate(benchmark::State& state, uint64_t bytes)
{
    state.counters["MB/s"] = benchmark::Counter(double(bytes) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void blockEncode(benchmark::State& state)
{
    const ParsedCorpus& parsed = parsedCorpus();
    std::vector<uint8_t> buffer(static_cast<size_t>(bitBufferSize));
    // The bytes go nowhere: the benchmark times the coding, not a copy.
    ByteSink discard{nullptr, [](void*, const uint8_t*, size_t) { return true; }};
    BlockCodes codes;
    for (auto _ : state) {
        BitWriter writer{discard, buffer.data()};
        for (const auto& block : parsed.blockTokens) {
            prepareBlock(codes, block.data(), int32_t(block.size()));
            writeBlock(writer, codes, block.data(), int32_t(block.size()));
        }
        finish(writer);
    }
    setRate(state, corpus().totalBytes);
}

void blockDecode(benchmark::State& state)
{
    const Corpus& input = corpus();
    const ParsedCorpus& parsed = parsedCorpus();
    std::vector<uint8_t> buffer(static_cast<size_t>(bitBufferSize));
    std::vector<uint8_t> window(size_t(chunkSize + chunkSlack), 0xFF);
    auto history = std::make_unique<ContextHistory>();
    BlockCodes codes;
    for (auto _ : state) {
        MemoryInput coded{parsed.coded.data(), parsed.coded.size()};
        BitReader reader{memorySource(coded), buffer.data()};
        for (size_t c = 0; c < input.chunks.size(); ++c) {
            resetHistory(*history);
            int32_t p = 0;
            for (size_t b = 0; b < parsed.blocksPerChunk[c]; ++b) {
                if (const char* error = decodeBlock(reader, codes, *history, window.data(), input.chunkLengths[c], p)) {
                    state.SkipWithError(error);
                    return;
                }
            }
            benchmark::DoNotOptimize(window.data());
        }
    }
    setRate(state, input.totalBytes);
    state.counters["ratio"] = double(input.totalBytes) / double(parsed.coded.size());
}

// Literal symbols only: each 256 KiB of the corpus coded as one table and its codes, then
// decoded with decodeSymbol.
void huffmanDecode(benchmark::State& state)
{
    const Corpus& input = corpus();
    const size_t symbols = std::min<size_t>(input.totalBytes, size_t(64) << 20);
    const size_t perTable = 262144;
    std::vector<uint8_t> buffer(static_cast<size_t>(bitBufferSize));
    std::vector<uint8_t> coded;
    BitWriter writer{vectorSink(coded), buffer.data()};
    auto byteAt = [&](size_t i) { return input.chunks[i / size_t(chunkSize)][i % size_t(chunkSize)]; };
    HuffmanCode code{literalLengthAlphabet};
    for (size_t at = 0; at < symbols; at += perTable) {
        const size_t end = std::min(symbols, at + perTable);
        resetModel(code);
        for (size_t i = at; i < end; ++i) countSymbol(code, byteAt(i));
        writeTable(code, writer);
        for (size_t i = at; i < end; ++i) encodeSymbol(code, writer, byteAt(i));
    }
    finish(writer);
    uint64_t sum = 0;
    for (auto _ : state) {
        MemoryInput stream{coded.data(), coded.size()};
        BitReader reader{memorySource(stream), buffer.data()};
        for (size_t at = 0; at < symbols; at += perTable) {
            if (!readTable(code, reader)) {
                state.SkipWithError("table");
                return;
            }
            const size_t end = std::min(symbols, at + perTable);
            for (size_t i = at; i < end; ++i) sum += decodeSymbol(code, reader);
        }
    }
    benchmark::DoNotOptimize(sum);
    setRate(state, symbols);
}

BENCHMARK(blockEncode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(blockDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(huffmanDecode)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace qv5::bench

BENCHMARK_MAIN();
