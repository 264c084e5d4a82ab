#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "codec/match_finder.h"
#include "codec_reference_parser.h"
#include "codec_test_support.h"

namespace qv5 {
namespace {

using test::withSlack;

struct Chains {
    std::unique_ptr<ContextChains> chains = std::make_unique<ContextChains>();
    Chains() { resetChains(*chains); }
    ContextChains& operator*() { return *chains; }
};

std::vector<uint8_t> bytesOf(const std::string& text)
{
    return {text.begin(), text.end()};
}

// All blocks of one chunk, parsed from a fresh history.
struct ChunkParse {
    std::vector<uint16_t> words;
    std::vector<BlockResult> blocks;
};

ChunkParse parseChunk(const std::vector<uint8_t>& chunk, int32_t length, ContextChains& chains, int level,
                      AdaptiveState& state)
{
    resetChains(chains);
    ChunkParse out;
    std::vector<uint16_t> tokens(static_cast<size_t>(blockWordCapacity));
    for (int32_t start = 0; start < length;) {
        BlockResult r = parseBlock(start, chunk.data(), length, tokens.data(), chains, levelTable[level], state);
        out.words.insert(out.words.end(), tokens.begin(), tokens.begin() + r.words);
        out.blocks.push_back(r);
        start += r.consumed;
    }
    return out;
}

ChunkParse parseAll(const std::vector<uint8_t>& data, int level, AdaptiveState* after = nullptr)
{
    Chains chains;
    AdaptiveState state;
    std::vector<uint8_t> chunk = withSlack(data);
    ChunkParse out = parseChunk(chunk, int32_t(data.size()), *chains, level, state);
    if (after) *after = state;
    return out;
}

TEST(MatchFinder, OneByteChunkIsOneLiteral)
{
    ChunkParse p = parseAll({0x42}, 1);
    EXPECT_EQ(p.words, (std::vector<uint16_t>{0x42}));
    ASSERT_EQ(p.blocks.size(), 1u);
    EXPECT_EQ(p.blocks[0].consumed, 1);
}

TEST(MatchFinder, RunOfOneByteGivesLongestMatchesCutAtTheEnd)
{
    AdaptiveState after;
    ChunkParse p = parseAll(std::vector<uint8_t>(5000, 0x61), 1, &after);
    EXPECT_EQ(p.words, (std::vector<uint16_t>{97, 97, 2292, 1, 2292, 1, 1170, 1}));
    ASSERT_EQ(p.blocks.size(), 1u);
    EXPECT_EQ(p.blocks[0].consumed, 5000);
    EXPECT_EQ(after.skipInterval, 0);
    EXPECT_EQ(after.missCount, 0);
}

TEST(MatchFinder, AMatchShorterThanFourAtTheEndIsAMiss)
{
    AdaptiveState cut, whole;
    ChunkParse a = parseAll(bytesOf("xabcdxabc"), 0, &cut);
    EXPECT_EQ(a.words.size(), 9u);
    EXPECT_EQ(cut.missCount, 7); // every main-loop position searched and missed
    ChunkParse b = parseAll(bytesOf("xabcdxabcd"), 0, &whole);
    EXPECT_EQ(b.words.back(), 1);
    EXPECT_EQ(b.words[b.words.size() - 2], 4 + 252);
    EXPECT_EQ(whole.missCount, 0);
}

TEST(MatchFinder, EveryBlockOpensWithTwoLiterals)
{
    std::string text;
    for (int i = 0; i < 100; ++i) text += "abcdefghij";
    std::vector<uint8_t> chunk = withSlack(bytesOf(text));
    Chains chains;
    AdaptiveState state;
    uint16_t tokens[1100];
    BlockResult first = parseBlock(0, chunk.data(), 500, tokens, *chains, levelTable[0], state);
    EXPECT_EQ(first.consumed, 500);
    BlockResult second = parseBlock(500, chunk.data(), 1000, tokens, *chains, levelTable[0], state);
    EXPECT_EQ(second.consumed, 500);
    EXPECT_EQ(tokens[0], 'a');
    EXPECT_EQ(tokens[1], 'b');
    EXPECT_GE(tokens[2], 256); // the history of the first block is there from the third token on
}

TEST(MatchFinder, OffsetZeroIsNeverASource)
{
    // Offset 0 and offset 5 share context 0 and their four bytes.
    ChunkParse a = parseAll(bytesOf(std::string("abcd\0abcd", 9)), 0);
    EXPECT_EQ(a.words.size(), 9u);
    // Shifted by one, the same pair of strings at offsets 1 and 6 gives a match.
    ChunkParse b = parseAll(bytesOf(std::string("\0abcd\0abcd", 10)), 0);
    EXPECT_EQ(b.words, (std::vector<uint16_t>{0, 'a', 'b', 'c', 'd', 0, 256, 1}));
}

TEST(MatchFinder, DistanceCountsStepsBackInTheContextsRing)
{
    // Context 0x01 gets the entry "PQRS..." and then fillers, all of one other bucket.
    std::vector<uint8_t> data = {0x01, 'P', 'Q', 'R', 'S'};
    for (int i = 0; i < 4096; ++i) data.insert(data.end(), {0x01, 'x'});
    const int32_t p = int32_t(data.size()) + 1;
    data.insert(data.end(), {0x01, 'P', 'Q', 'R', 'S'});
    std::vector<uint8_t> chunk = withSlack(data);
    const int32_t length = int32_t(data.size());
    const uint32_t bucket = hashAt(chunk.data(), p);
    ASSERT_NE(bucket, hashAt(chunk.data(), 6));

    for (int fillers : {4094, 4095, 4096}) {
        Chains chains;
        enterPosition(*chains, chunk.data(), 1);
        for (int i = 0; i < fillers; ++i) enterPosition(*chains, chunk.data(), 6 + 2 * i);
        MatchResult m = longestMatch(*chains, 0x01, 4, p, chunk.data(), length, bucket);
        if (fillers == 4094) {
            EXPECT_EQ(m.length, 4);
            EXPECT_EQ(m.distance, 4095);
        } else if (fillers == 4095) { // full ring: the oldest slot, about to be overwritten
            EXPECT_EQ(m.length, 4);
            EXPECT_EQ(m.distance, 0);
        } else { // overwritten; the walk still starts at the reused head slot and finds nothing
            EXPECT_EQ(m.length, 0);
        }
    }
}

TEST(MatchFinder, EverySlotWalkedCountsTowardTheDepth)
{
    // Four bytes of the bucket of "WXYZ" that differ from it: one with another tag, one with
    // the same tag, so that they fail the quick test at different stages.
    const uint32_t wanted = loadU32(reinterpret_cast<const uint8_t*>("WXYZ"));
    auto bucketOf = [](uint32_t v) { return ((v * hashMultiplier) >> hashShift) ^ (v & 0xFF); };
    uint32_t otherTag = 0, sameTag = 0;
    for (uint32_t v = 1; !otherTag || !sameTag; ++v) {
        if (v == wanted || bucketOf(v) != bucketOf(wanted)) continue;
        (fourByteTag(v) == fourByteTag(wanted) ? sameTag : otherTag) = v;
    }
    auto bytes = [](uint32_t v) {
        return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    };
    // All in context 0x01, oldest first: an 8-byte match, the two failures, a 4-byte match.
    std::vector<uint8_t> data = {0x01, 'W', 'X', 'Y', 'Z', '1', '2', '3', '4', 0x01};
    for (uint32_t v : {otherTag, sameTag}) {
        std::vector<uint8_t> four = bytes(v);
        data.insert(data.end(), four.begin(), four.end());
        data.push_back(0x01);
    }
    const int32_t shortMatch = int32_t(data.size());
    data.insert(data.end(), {'W', 'X', 'Y', 'Z', '-', 0x01});
    const int32_t p = int32_t(data.size());
    data.insert(data.end(), {'W', 'X', 'Y', 'Z', '1', '2', '3', '4'});
    std::vector<uint8_t> chunk = withSlack(data);

    Chains chains;
    for (int32_t q : {1, 10, 15, shortMatch}) enterPosition(*chains, chunk.data(), q);
    const uint32_t bucket = hashAt(chunk.data(), p);
    for (int32_t depth = 1; depth <= 4; ++depth) {
        MatchResult m = longestMatch(*chains, 0x01, depth, p, chunk.data(), int32_t(data.size()), bucket);
        EXPECT_EQ(m.length, depth < 4 ? 4 : 8) << depth;
        EXPECT_EQ(m.distance, depth < 4 ? 1 : 4) << depth;
    }
}

TEST(MatchFinder, SkipIntervalDoublesEvery256MissesAndHalvesOnAMatch)
{
    std::vector<uint8_t> noise = test::randomData(140000, 11);
    for (int k = 0; k <= 9; ++k) {
        const int32_t due = 256 << k; // main-loop tokens until the interval reaches 2^k
        for (int32_t n : {due - 1, due}) {
            AdaptiveState after;
            std::vector<uint8_t> data(noise.begin(), noise.begin() + 2 + n);
            ChunkParse p = parseAll(data, 1, &after);
            ASSERT_EQ(p.words.size(), data.size());
            EXPECT_EQ(after.skipInterval, n == due ? (1 << k) : (k == 0 ? 0 : 1 << (k - 1))) << n;
        }
    }

    std::vector<uint8_t> run = withSlack(std::vector<uint8_t>(2100, 'a'));
    Chains chains;
    AdaptiveState state{1024, 1023, 100};
    uint16_t tokens[2100];
    BlockResult r = parseBlock(0, run.data(), 2100, tokens, *chains, levelTable[0], state);
    EXPECT_EQ(tokens[2], 2292);
    EXPECT_EQ(r.words, 4 + 58); // no search in the 58 tokens after the match
    EXPECT_EQ(state, (AdaptiveState{512, 58, 0}));
}

TEST(MatchFinder, OnlyMatchesUpTo127BytesAreEvaluated)
{
    // At the last 'W' + 1 a match of `first` bytes; one byte later a match of 200 bytes.
    std::vector<uint8_t> r = test::randomData(260, 9);
    for (int first : {127, 128}) {
        std::vector<uint8_t> data = {'W'};
        data.insert(data.end(), r.begin(), r.begin() + first);
        data.push_back(uint8_t(r[size_t(first)] + 1));
        data.push_back('Z');
        data.insert(data.end(), r.begin(), r.begin() + 201);
        data.push_back('W');
        data.insert(data.end(), r.begin(), r.begin() + 201);
        for (int level : {0, 1, 4}) {
            ChunkParse p = parseAll(data, level);
            const std::vector<uint16_t>& w = p.words;
            ASSERT_GE(w.size(), 4u);
            bool dropped = w[w.size() - 3] == r[0] && w[w.size() - 2] == 200 + 252;
            bool taken = w[w.size() - 4] == first + 252;
            EXPECT_EQ(dropped, level != 0 && first == 127) << "level " << level << ", first " << first;
            EXPECT_EQ(taken, !dropped) << "level " << level << ", first " << first;
        }
    }
}

TEST(MatchFinder, IncompressibleChunkTakes64FullBlocks)
{
    std::vector<uint8_t> data = test::randomData(size_t(chunkSize), 5);
    AdaptiveState after;
    ChunkParse p = parseAll(data, 1, &after);
    ASSERT_EQ(p.blocks.size(), 64u);
    for (const BlockResult& b : p.blocks) {
        EXPECT_EQ(b.words, blockWordCapacity);
        EXPECT_EQ(b.consumed, blockWordCapacity);
    }
    EXPECT_EQ(p.words.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), p.words.begin()));
    EXPECT_EQ(after.skipInterval, 1024);
}

// Parses chunks in a row with the match finder and with the plain reference, and checks
// that both emit the same blocks, keep the same rings and the same adaptive state, and that
// the tokens decode back to the chunk. highest, when given, becomes the highest skip interval
// met between blocks.
void compareWithReference(const std::vector<std::vector<uint8_t>>& chunks, int level, int32_t* highest = nullptr)
{
    Chains chains;
    test::ReferenceParser reference;
    AdaptiveState state, referenceState;
    std::vector<uint16_t> tokens(static_cast<size_t>(blockWordCapacity)),
        referenceTokens(static_cast<size_t>(blockWordCapacity));
    for (const std::vector<uint8_t>& data : chunks) {
        // Different bytes past the end on both sides: they may steer buckets, never tokens.
        std::vector<uint8_t> chunk = withSlack(data, 0xFF), referenceChunk = withSlack(data, 0x00);
        const int32_t length = int32_t(data.size());
        resetChains(*chains);
        reference.startChunk(referenceChunk.data(), length);
        test::TestDecoder decoder;
        for (int32_t start = 0; start < length;) {
            BlockResult r = parseBlock(start, chunk.data(), length, tokens.data(), *chains, levelTable[level], state);
            auto [consumed, words] = reference.parseBlock(start, referenceTokens.data(), level, referenceState);
            ASSERT_EQ(r.consumed, consumed) << "block at " << start;
            ASSERT_EQ(r.words, words) << "block at " << start;
            for (int32_t i = 0; i < words; ++i)
                ASSERT_EQ(tokens[i], referenceTokens[i]) << "word " << i << " of block at " << start;
            ASSERT_EQ(state, referenceState);
            if (highest) *highest = std::max(*highest, state.skipInterval);
            ASSERT_TRUE(decoder.apply(tokens.data(), r.words));
            start += r.consumed;
        }
        ASSERT_TRUE(decoder.out == data);
        fileAllPending(*chains);
        for (int x = 0; x < contextCount; ++x) {
            const uint32_t ringIndex = (*chains).ringIndex[x];
            ASSERT_EQ(ringIndex, reference.records[x].ringIndex) << "context " << x;
            ASSERT_EQ(ringIndex, decoder.ringIndex[x]) << "context " << x;
            for (int s = 0; s < ringSize; ++s) {
                ASSERT_EQ(slotPosition(*chains, x, uint32_t(s)), reference.records[x].positions[s]);
                ASSERT_EQ(slotPosition(*chains, x, uint32_t(s)), decoder.positions[size_t(x) * ringSize + s]);
            }
        }
    }
}

TEST(MatchFinder, SameTokensAsThePlainReferenceAtEveryLevel)
{
    // The noisy text takes two blocks, so the second block searches the first one's history.
    const std::vector<std::vector<uint8_t>> chunks = {test::mixedData(400000, 1), test::textData(200000, 4),
                                                      test::noisyText(450000, 6, 35)};
    for (int level = 0; level <= 4; ++level) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        compareWithReference(chunks, level);
    }
}

TEST(MatchFinder, SameTokensAsThePlainReferenceWhileSkipping)
{
    // Noise long enough to raise the skip interval to its limit over three blocks, then
    // chunks that start with that state: text whose matches bring it down, noise with text
    // inside, and noise that only ends in text.
    std::vector<uint8_t> noiseThenText = test::randomData(300000, 21);
    const std::vector<uint8_t> text = test::textData(60000, 22);
    noiseThenText.insert(noiseThenText.begin() + 150000, text.begin(), text.end());
    std::vector<uint8_t> endsInText = test::randomData(280000, 23);
    endsInText.insert(endsInText.end(), text.begin(), text.begin() + 5000);
    const std::vector<std::vector<uint8_t>> chunks = {test::randomData(600000, 20), test::textData(40000, 24),
                                                      test::randomData(600000, 25), noiseThenText, endsInText};
    for (int level = 0; level <= 5; ++level) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        int32_t highest = 0;
        compareWithReference(chunks, level, &highest);
        EXPECT_EQ(highest, maxSkipInterval);
    }
}

TEST(MatchFinder, SameTokensAsThePlainReferenceAtTheDeepestLevel)
{
    std::vector<uint8_t> periodic;
    for (int period = 1; period <= 24; ++period)
        for (int i = 0; i < 900; ++i) periodic.push_back(uint8_t('A' + (i * 7) % period + (i / 300)));
    compareWithReference({test::mixedData(120000, 2), periodic, test::noisyText(450000, 8, 35)}, 5);
}

} // namespace
} // namespace qv5

namespace qv5 {
namespace {

// Every record a search reads, compared in full with the record that entering every token
// start at once makes: the match finder holds positions back per context and files them
// late, which must never show.
struct EagerCheck {
    const std::vector<int32_t>* starts = nullptr; // token starts of the chunk, in order
    size_t entered = 0;
    test::ReferenceParser eager;
    std::vector<int64_t> enteredInto = std::vector<int64_t>(contextCount), enteredAtRead = enteredInto;
    int64_t reads = 0;
    int64_t readsAfterHeldBack = 0; // of a context entered into more than once since its last read
    int64_t readsAfterFullList = 0; // ... more than a list's worth of times
    bool failed = false;

    static void read(void* user, const ContextChains& chains, uint32_t x, int32_t enteredBelow)
    {
        EagerCheck& self = *static_cast<EagerCheck*>(user);
        const std::vector<int32_t>& starts = *self.starts;
        while (self.entered < starts.size() && starts[self.entered] < enteredBelow) {
            const int32_t p = starts[self.entered++];
            self.eager.enter(p);
            ++self.enteredInto[p == 0 ? 0 : self.eager.chunk[p - 1]];
        }
        const test::ReferenceParser::Record& r = self.eager.records[x];
        ++self.reads;
        const int64_t since = self.enteredInto[x] - self.enteredAtRead[x];
        self.enteredAtRead[x] = self.enteredInto[x];
        self.readsAfterHeldBack += since > 1;
        self.readsAfterFullList += since > pendingLimit;
        bool same = chains.ringIndex[x] == r.ringIndex;
        for (uint32_t s = 0; same && s < uint32_t(ringSize); ++s) {
            same = slotPosition(chains, x, s) == r.positions[s] && chains.records[x].link[s] == r.link[s] &&
                   chains.records[x].head[s] == r.head[s];
        }
        if (!same && !self.failed) {
            ADD_FAILURE() << "context " << x << " differs when read below " << enteredBelow;
            self.failed = true;
        }
    }
};

TEST(MatchFinder, EveryRecordReadIsWhatEnteringAtOnceMakes)
{
    // Noise raises the skip interval to its limit, so that most positions are held back
    // (more than a list's worth in many contexts between searches); text brings it down and
    // searches everywhere; the last chunk starts with the interval high and turns to text.
    std::vector<uint8_t> noiseThenText = test::randomData(400000, 31);
    const std::vector<uint8_t> text = test::textData(12000, 32);
    noiseThenText.insert(noiseThenText.end(), text.begin(), text.end());
    const std::vector<std::vector<uint8_t>> chunks = {test::randomData(700000, 30), noiseThenText};
    for (int level : {0, 1, 4}) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        Chains chains;
        test::ReferenceParser reference;
        AdaptiveState state, referenceState;
        std::vector<uint16_t> tokens(static_cast<size_t>(blockWordCapacity));
        EagerCheck check;
        RecordWatch watch{EagerCheck::read, &check};
        (*chains).watch = &watch;
        for (const std::vector<uint8_t>& data : chunks) {
            std::vector<uint8_t> chunk = withSlack(data);
            const int32_t length = int32_t(data.size());
            // The token starts, from the plain reference (which emits the same tokens).
            std::vector<int32_t> starts;
            reference.startChunk(chunk.data(), length);
            for (int32_t start = 0; start < length;) {
                auto [consumed, words] = reference.parseBlock(start, tokens.data(), level, referenceState);
                int32_t c = start;
                for (int32_t i = 0; i < words; ++i) {
                    starts.push_back(c);
                    if (tokens[size_t(i)] >= literalCount) {
                        c += tokens[size_t(i)] - matchWordBias;
                        ++i;
                    } else {
                        ++c;
                    }
                }
                start += consumed;
            }
            check.starts = &starts;
            check.entered = 0;
            check.eager.startChunk(chunk.data(), length);
            check.enteredInto.assign(contextCount, 0);
            check.enteredAtRead.assign(contextCount, 0);
            resetChains(*chains);
            for (int32_t start = 0; start < length;)
                start +=
                    parseBlock(start, chunk.data(), length, tokens.data(), *chains, levelTable[level], state).consumed;
            ASSERT_FALSE(check.failed);
            ASSERT_EQ(state, referenceState);
        }
        EXPECT_GT(check.reads, 3000);
        EXPECT_GT(check.readsAfterHeldBack, 500);
        EXPECT_GT(check.readsAfterFullList, 20);
    }
}

} // namespace
} // namespace qv5

namespace qv5 {
namespace {

#ifdef QV5_X86_KERNELS
// The quiet run's preparation with AVX2 gives what the portable one gives, for every run
// length around its eight-at-a-time steps, at any offset, with tags of 0xFF among them.
TEST(MatchFinder, QuietRunKernelsAgree)
{
    if (!avx2Supported()) GTEST_SKIP() << "no AVX2";
    std::vector<uint8_t> bytes = test::randomData(4096, 41);
    // Four bytes whose tag is 0xFF before it is moved to 0xFE.
    uint32_t taggedFF = 0;
    while (((taggedFF * 0x2545F491u) >> 24) != 0xFF) ++taggedFF;
    for (size_t at = 100; at < 4000; at += 301) std::memcpy(&bytes[at], &taggedFF, 4);
    const std::vector<uint8_t> chunk = withSlack(bytes);
    for (int32_t size : {1, 7, 8, 9, 15, 16, 17, 63, 64, 255, 256}) {
        for (int32_t first : {1, 2, 99, 100, 1003}) {
            const size_t n = static_cast<size_t>(size);
            std::vector<uint64_t> portable(n), avx2(n);
            std::vector<uint16_t> portableTokens(n), avx2Tokens(n);
            prepareQuietPortable(chunk.data() + first, first, size, portable.data(), portableTokens.data());
            prepareQuietAvx2(chunk.data() + first, first, size, avx2.data(), avx2Tokens.data());
            ASSERT_EQ(portable, avx2) << "size " << size << " from " << first;
            ASSERT_EQ(portableTokens, avx2Tokens) << "size " << size << " from " << first;
            for (int32_t i = 0; i < size; ++i) {
                const int32_t p = first + i;
                ASSERT_EQ(portable[size_t(i)],
                          pendingEntry(ringEntry(loadU32(chunk.data() + p), p), hashAt(chunk.data(), p)));
            }
        }
    }
}
#endif

} // namespace
} // namespace qv5
