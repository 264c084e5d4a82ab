// A chunk parsed from a guessed adaptive search state is accepted only when the replay of
// its search outcomes proves the true state gives the same tokens.
#include "codec/match_finder.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

using namespace qv5;

namespace {

struct ParsedChunk {
    std::vector<uint16_t> tokens;
    AdaptiveState end;
    std::vector<uint8_t> codes;
    SearchLog log;
};

ParsedChunk parseWhole(const std::vector<uint8_t>& data, int32_t length, int32_t level, AdaptiveState start)
{
    static std::unique_ptr<ContextChains> chains(new ContextChains);
    ParsedChunk out;
    out.codes.assign(static_cast<size_t>(length) / 4 + 1, 0);
    out.log.codes = out.codes.data();
    out.end = start;
    resetChains(*chains);
    std::vector<uint16_t> block(blockWordCapacity);
    for (int32_t g = 0; g < length;) {
        BlockResult r = parseBlock(g, data.data(), length, block.data(), *chains, levelTable[level], out.end, &out.log);
        out.tokens.insert(out.tokens.end(), block.begin(), block.begin() + r.words);
        g += r.consumed;
    }
    return out;
}

std::vector<uint8_t> mixedData(uint32_t seed, int32_t length)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> data(static_cast<size_t>(length) + chunkSlack);
    const char* words[] = {"alpha ", "beta ", "gamma ", "delta ", "chunk ", "ring "};
    for (int32_t i = 0; i < length;) {
        bool noise = (i / 40000) % 3 == 2; // text first, then stretches of noise between text
        if (noise) {
            data[i++] = static_cast<uint8_t>(rng());
        } else {
            for (const char* w = words[rng() % 6]; *w && i < length; ++w) data[i++] = static_cast<uint8_t>(*w);
        }
    }
    return data;
}

} // namespace

TEST(ReplaySearches, AcceptedGuessesGiveTheTokensOfTheTrueState)
{
    const AdaptiveState states[] = {{0, 0, 0}, {0, 0, 255}, {4, 3, 100}, {1024, 0, 0}, {1024, 700, 255}, {64, 63, 255}};
    int accepted = 0;
    int searchingEverywhere = 0; // pairs whose intervals are both 0, as in compressible data
    for (int32_t level : {0, 1, 4}) {
        for (uint32_t seed : {1u, 2u}) {
            const int32_t length = 200000;
            std::vector<uint8_t> data = mixedData(seed, length);
            for (const AdaptiveState& truth : states) {
                ParsedChunk expected = parseWhole(data, length, level, truth);
                for (const AdaptiveState& guess : states) {
                    ParsedChunk guessed = parseWhole(data, length, level, guess);
                    AdaptiveState end = truth;
                    bool bothZero = guess.skipInterval == 0 && truth.skipInterval == 0;
                    searchingEverywhere += bothZero;
                    if (replaySearches(guessed.log, guess, guessed.end, end)) {
                        accepted += bothZero;
                        ASSERT_EQ(guessed.tokens, expected.tokens) << level << " " << seed;
                        ASSERT_EQ(end, expected.end);
                    }
                }
            }
        }
    }
    // On data that begins compressible, a guess that searches everywhere like the true
    // state does differs at most in its miss count, which the first match forgets.
    EXPECT_EQ(accepted, searchingEverywhere);
}

TEST(ReplaySearches, NoiseWithAnotherSkipPhaseIsRejected)
{
    const int32_t length = 200000;
    std::mt19937 rng(5);
    std::vector<uint8_t> data(length + chunkSlack);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    ParsedChunk guessed = parseWhole(data, length, 1, {1024, 0, 0});
    AdaptiveState end{1024, 500, 0};
    // The true run would search at other positions, whose outcome the log does not know.
    EXPECT_FALSE(replaySearches(guessed.log, {1024, 0, 0}, guessed.end, end));
    AdaptiveState same{1024, 0, 0};
    EXPECT_TRUE(replaySearches(guessed.log, {1024, 0, 0}, guessed.end, same));
    EXPECT_EQ(same, guessed.end);
}

TEST(ReplaySearches, StateAfterMissesIsTheStateNoiseLeaves)
{
    std::mt19937 rng(9);
    std::vector<uint8_t> data(3 * blockWordCapacity + 5000 + chunkSlack);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    // Whole blocks and a partial one; a last block ending inside the opening literals, inside
    // the main loop, and between the main loop's limit and the block's capacity.
    const int32_t lengths[] = {
        1, 2, 3, 1000, blockMainLoopLimit + 2, blockWordCapacity + 1, 3 * blockWordCapacity + 5000};
    const AdaptiveState starts[] = {{0, 0, 0}, {1, 0, 200}, {64, 63, 255}, {1024, 1023, 255}, {1024, 17, 3}};
    for (int32_t level : {0, 5})
        for (int32_t length : lengths)
            for (const AdaptiveState& start : starts)
                EXPECT_EQ(stateAfterMisses(start, length), parseWhole(data, length, level, start).end)
                    << level << " " << length << " " << start.skipInterval;
}
