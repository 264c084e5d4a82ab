// The match finder: cuts a chunk into literals and matches, one block at a time.
//
// The algorithm
// - Context-keyed rings. Every token start is filed under its context, the byte before it,
//   in that context's ring of its last 4096 token starts (bytes inside a match are not
//   filed). A match's distance is its source's step back in that ring, so the decoder, which
//   keeps the same rings, finds the source without hashing anything, and 12 bits of distance
//   reach far back in text where a context recurs seldom.
// - Hash chains per context. Each context hashes the four bytes at every position it files
//   into one of 4096 buckets; a bucket's head is its newest slot and each slot links to the
//   next older slot of the same bucket. A search at c walks the chain of c's bucket from the
//   head, at most the level's depth of slots, and takes the longest common length, the first
//   found winning ties. Every walked slot counts toward the depth, whether its bytes match
//   or not, and offset 0 is never a source: both decide which tokens come out.
// - The quick test. A candidate is measured only when its first four bytes equal those at c.
//   Each ring entry keeps, beside the offset, an 8-bit tag of those four bytes, so most
//   candidates that would fail are turned away by the entry alone.
// - Adaptive skipping. On data that does not compress, searches fail and cost the most. After
//   256 searches in a row without a match the interval between searches doubles (0, 1, 2,
//   ... 1024 main-loop steps); a match halves it. The steps between searches write literals
//   and still file their positions. This state runs on across all blocks and chunks of an
//   archive, so it is part of what the parse of a chunk depends on.
// - Evaluation of a match of up to 127 bytes (longer ones are taken as found). Lazy (c2-c4):
//   the match gives way to a literal when the next or the one after has a match longer by
//   more than the step to it. Scored (c5, c6): the first step may be any cut of the match,
//   or a literal, ranked by the bytes it and the best match where it ends cover together,
//   then by smaller distances; a tie keeps the longer first step. c1 takes every match.
// - Blocks open with two literals, which neither search nor touch the adaptive state, and
//   when the main loop reaches its word limit, literals fill the block to its capacity.
//
// What makes it fast, without changing a token
// - The tags: a candidate's bytes sit anywhere in 16 MiB and are a likely cache miss, while
//   its ring entry has to be read anyway for the offset. Comparing tags first saves most of
//   those misses.
// - One byte at the best length so far is compared before the quick test: a candidate that
//   differs there cannot be longer, and on long matches that byte rejects most candidates.
// - Lengths are compared eight bytes at a time; the chunk's slack lets the loads run past
//   the end, so the loop needs no tail.
// - A walk ends once the best length reaches the limit: no later candidate can be longer.
// - The look-ahead searches start from the length they must beat. A walk's candidates and
//   stop rules do not depend on the lengths it finds, so starting higher finds the same
//   winner whenever it is longer than the start, and passes over the shorter ones at the cost
//   of one byte compare. The lazy test stops at the first longer candidate and first compares
//   the four bytes ending at the length to beat; a scored step is searched only from the
//   length that could still beat the best pair so far.
// - The main search of a scored level records, for each length, the distance of the first
//   candidate reaching it, so every cut of the match is priced without another walk.
// - Prefetching: a walk reads a bucket head, then a ring entry, then the candidate's bytes,
//   each depending on the one before. For the next three positions one stage each is asked
//   for ahead of time, and after a match the heads of the positions where it ends.
// - Quiet runs: while the skip interval is high, the steps up to the next search are known
//   to write literals, so they skip the per-step decisions and go through a loop of their
//   own (writeQuietRun). Entering a position is then all the work, and entering it at once
//   would be cache misses: a bucket head anywhere in 2 MiB of heads and the context's current
//   ring slot. Instead each position is appended to a list of positions its context holds
//   back (ContextChains::pending), and a list is filed into its record in one go, oldest
//   first, right before anything reads that record or enters into it directly, or when it is
//   full. A search reads only the record of its own context, so every record it reads is
//   exactly what entering at once would have made, while filing works in one 32 KiB record
//   at a time. The entries and buckets of a run are computed eight at a time where the CPU
//   has AVX2 (match_finder_avx2.cpp). On incompressible input this makes the match finder
//   several times faster.
// - The adaptive state and the level's parameters sit in local copies during a block, which
//   the compiler keeps in registers (the ring stores could alias the caller's records), and
//   the hot helpers are forced inline into the one loop. Nothing is allocated: the distance
//   table lives on the stack and the caller owns the chains.
#include "codec/match_finder.h"

#include <algorithm>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace qv5 {

namespace {

// Common length of source and current, at most limit. The first four bytes are known to be
// equal (quick test). Loads may read up to 7 bytes past limit, which the chunk slack covers.
inline int32_t commonLength(const uint8_t* source, const uint8_t* current, int32_t limit)
{
    int32_t i = minMatch;
    while (i < limit) {
        uint64_t diff = loadU64(source + i) ^ loadU64(current + i);
        if (diff != 0) return std::min(limit, i + (std::countr_zero(diff) >> 3));
        i += 8;
    }
    return limit;
}

inline int32_t lengthLimit(int32_t p, int32_t length)
{
    return std::min(maxMatch, length - p);
}

// Makes context x's record what entering every position at once would have made, before a
// search at or after c reads it (every token start below c is entered).
[[gnu::always_inline]] inline const ContextChains& readyToRead(ContextChains& chains, const uint8_t* chunk, uint32_t x,
                                                               int32_t c)
{
    if (holdsPending(chains, x)) filePending(chains, x);
    if (chains.watch) [[unlikely]]
        chains.watch->read(chains.watch->user, chains, x, c);
    return chains;
}

// The chain walk: the one place that decides which candidates a search sees. The bucket's
// head slot first, then older slots along the links, at most depth slots, each one counted
// whether its bytes pass the quick test or not. It stops at offset 0 (never a source) and at
// a link into a slot overwritten since the ring wrapped. visit(entry, slot) looks at one
// candidate and returns false to end the walk.
template <typename Visit>
[[gnu::always_inline]] inline void walkChain(const ContextRecord& record, uint32_t bucket, int32_t depth, Visit&& visit)
{
    uint32_t slot = record.head[bucket];
    if (slot == emptyLink || depth <= 0) return;
    for (int32_t examined = 1;; ++examined) {
        const uint32_t entry = record.entries[slot];
        const int32_t q = int32_t(entry & entryPositionMask);
        if (q == 0 || !visit(entry, slot) || examined >= depth) return;
        const uint32_t next = record.link[slot];
        // Positions only decrease along a chain; a link to a later one leads to a reused slot.
        // Links only lead to slots that were entered.
        if (next == emptyLink || int32_t(record.entries[next] & entryPositionMask) >= q) return;
        slot = next;
    }
}

// The longest match at p among the walked candidates that is longer than bestStart (>= 3), or
// length 0. Candidates, their order and the stop rules do not depend on the lengths found, so
// this is the longest common length over a fixed candidate list, the first found winning
// ties: a walk from a higher start finds the same winner whenever that winner is longer than
// the start, which the look-ahead uses to pass over candidates that cannot matter. With
// recordDistances, distByLength[k] becomes the distance of the first candidate reaching k.
template <bool recordDistances>
[[gnu::always_inline]] inline MatchResult longestFrom(const ContextChains& chains, uint32_t context, uint32_t bucket,
                                                      int32_t depth, int32_t p, const uint8_t* chunk, int32_t limit,
                                                      int32_t bestStart, uint16_t* distByLength)
{
    MatchResult best{0, 0};
    if (limit <= bestStart) return best;
    const uint8_t* current = chunk + p;
    const uint32_t currentHead = loadU32(current);
    const uint32_t currentTag = fourByteTag(currentHead);
    const uint32_t ringIndex = chains.ringIndex[context];
    int32_t bestLength = bestStart;
    walkChain(chains.records[context], bucket, depth, [&](uint32_t entry, uint32_t slot) {
        const uint8_t* source = chunk + (entry & entryPositionMask);
        // A different tag means different first four bytes; a longer match must also agree
        // at the best length so far, which one byte tells before the quick test.
        if ((entry >> entryTagShift) != currentTag || source[bestLength] != current[bestLength] ||
            loadU32(source) != currentHead)
            return true;
        const int32_t matched = commonLength(source, current, limit);
        if (matched <= bestLength) return true;
        const int32_t distance = int32_t((ringIndex - slot) & ringMask);
        if constexpr (recordDistances)
            for (int32_t k = bestLength + 1; k <= matched; ++k) distByLength[k] = uint16_t(distance);
        bestLength = matched;
        best = {matched, distance};
        return bestLength < limit; // no later candidate can be strictly longer
    });
    return best;
}

// Whether some walked candidate at p is longer than threshold (threshold >= 3). Stops at the
// first one.
[[gnu::always_inline]] inline bool beatsLength(ContextChains& chains, int32_t c, int32_t p, const uint8_t* chunk,
                                               int32_t length, int32_t depth, int32_t threshold)
{
    const int32_t limit = lengthLimit(p, length);
    if (limit <= threshold) return false;
    const uint8_t* current = chunk + p;
    // Four bytes ending at the threshold length first: they reject most candidates.
    const uint32_t currentTail = loadU32(current + threshold - 3);
    const uint32_t currentHead = loadU32(current);
    const uint32_t currentTag = fourByteTag(currentHead);
    bool beaten = false;
    const uint32_t context = contextAt(chunk, p);
    const ContextRecord& record = readyToRead(chains, chunk, context, c).records[context];
    walkChain(record, hashAt(chunk, p), depth, [&](uint32_t entry, uint32_t) {
        const uint8_t* source = chunk + (entry & entryPositionMask);
        beaten = (entry >> entryTagShift) == currentTag && loadU32(source + threshold - 3) == currentTail &&
                 loadU32(source) == currentHead && commonLength(source, current, limit) > threshold;
        return !beaten;
    });
    return beaten;
}

// A step's score: length * 4096 - distance for a match, noMatchScore for a literal (length 0).
inline int32_t scoreOf(MatchResult step)
{
    return step.length >= minMatch ? step.length * lengthScore - step.distance : noMatchScore;
}

// The score of the best match at p when it is above floor; otherwise some value not above
// floor. A match can only score above floor when it is longer than floor / 4096 bytes, so the
// walk starts there. Every match scores above noMatchScore: that floor asks for the exact
// score.
[[gnu::always_inline]] inline int32_t scoreAbove(ContextChains& chains, int32_t c, int32_t p, const uint8_t* chunk,
                                                 int32_t length, int32_t depth, int32_t floor)
{
    const int32_t limit = lengthLimit(p, length);
    const int32_t bestStart = std::max(minMatch - 1, floor / lengthScore);
    if (limit <= bestStart) return noMatchScore;
    const uint32_t context = contextAt(chunk, p);
    const MatchResult best = longestFrom<false>(readyToRead(chains, chunk, context, c), context, hashAt(chunk, p),
                                                depth, p, chunk, limit, bestStart, nullptr);
    // Nothing found above a start of 4 or more means a score of at most floor; and then
    // floor >= 16384 > noMatchScore, so reporting noMatchScore keeps the comparison right.
    return scoreOf(best);
}

// Lazy evaluation of the match found at c: dropped for a literal when one of the next two
// positions has a match longer by more than the step to it.
[[gnu::always_inline]] inline MatchResult lazyChoice(ContextChains& chains, int32_t c, const uint8_t* chunk,
                                                     int32_t length, int32_t depth, MatchResult found)
{
    for (int32_t j = 1; j <= 2; ++j)
        if (beatsLength(chains, c, c + j, chunk, length, depth, found.length + j)) return {0, 0};
    return found;
}

// Scored evaluation of the match found at c: every first step, the match cut to k bytes (a
// literal below 4), is ranked by its score plus the score of the best match where it ends,
// that is by the bytes the two steps cover, then by smaller distances. Ties keep the longer
// first step; k = found.length would score exactly the start, so it is not tried again.
[[gnu::always_inline]] inline MatchResult scoredChoice(ContextChains& chains, int32_t c, const uint8_t* chunk,
                                                       int32_t length, int32_t depth, MatchResult found,
                                                       const uint16_t* distByLength)
{
    MatchResult chosen = found;
    int32_t best = scoreOf(found) + scoreAbove(chains, c, c + found.length, chunk, length, depth, noMatchScore);
    for (int32_t k = found.length - 1; k >= 1; --k) {
        const MatchResult first = k >= minMatch ? MatchResult{k, distByLength[k]} : MatchResult{0, 0};
        const int32_t firstScore = scoreOf(first);
        const int32_t total = firstScore + scoreAbove(chains, c, c + k, chunk, length, depth, best - firstScore);
        if (total > best) {
            best = total;
            chosen = first;
        }
    }
    return chosen;
}

// What the main loop writes for the match found at c (length 0: a literal). Matches longer
// than lookAheadLimit are taken as found.
[[gnu::always_inline]] inline MatchResult evaluate(ContextChains& chains, int32_t c, const uint8_t* chunk,
                                                   int32_t length, const LevelParameters& level, MatchResult found,
                                                   const uint16_t* distByLength)
{
    if (found.length < minMatch || found.length > lookAheadLimit) return found;
    switch (level.evaluation) {
    case Evaluation::lazy:
        return lazyChoice(chains, c, chunk, length, level.lookAheadDepth, found);
    case Evaluation::scored:
        return scoredChoice(chains, c, chunk, length, level.lookAheadDepth, found, distByLength);
    case Evaluation::none:
        break;
    }
    return found;
}

// Counts one main-loop step; true when it is the one to search, and then the count restarts.
inline bool searchDue(AdaptiveState& state)
{
    if (++state.skipCount < state.skipInterval) return false;
    state.skipCount = 0;
    return true;
}

// The adaptive update after a search: 256 misses in a row double the interval (0 becomes 1),
// up to 1024; a hit halves it.
inline void afterSearch(AdaptiveState& state, bool hit)
{
    if (hit) {
        state.skipInterval >>= 1;
        state.missCount = 0;
    } else if (++state.missCount == missesPerStep) {
        state.skipInterval = state.skipInterval == 0 ? 1 : std::min(2 * state.skipInterval, maxSkipInterval);
        state.missCount = 0;
    }
}

inline void logStep(SearchLog& log, uint8_t step)
{
    log.codes[log.steps >> 2] |= uint8_t(step << ((log.steps & 3) * 2));
    ++log.steps;
}

inline uint8_t loggedStep(const SearchLog& log, int64_t i)
{
    return uint8_t(log.codes[i >> 2] >> ((i & 3) * 2)) & 3;
}

// Asks for the bucket head a search at p reads first.
inline void prefetchHead(const ContextChains& chains, const uint8_t* chunk, int32_t p)
{
    __builtin_prefetch(&chains.records[chunk[p - 1]].head[hashAt(chunk, p)], 1);
}

// A walk loads a bucket head, then its ring slot, then the candidate's bytes, each depending
// on the one before and each likely to miss the cache. For three positions to be searched
// soon, this starts one stage of each: the head for the farthest, the ring slot for the
// middle one (its head asked for earlier), the candidate bytes for the nearest. Only hints;
// the reads stay inside the chunk and its slack (p >= 1, p + 4 <= length + slack).
inline void prefetchWalk(const ContextChains& chains, const uint8_t* chunk, int32_t headAt, int32_t slotAt,
                         int32_t bytesAt)
{
    prefetchHead(chains, chunk, headAt);
    const ContextRecord& middle = chains.records[chunk[slotAt - 1]];
    const uint32_t slot = middle.head[hashAt(chunk, slotAt)];
    if (slot != emptyLink) __builtin_prefetch(&middle.entries[slot]);
    const ContextRecord& nearest = chains.records[chunk[bytesAt - 1]];
    const uint32_t first = nearest.head[hashAt(chunk, bytesAt)];
    if (first != emptyLink) {
        const uint32_t entry = nearest.entries[first];
        if ((entry >> entryTagShift) == fourByteTag(loadU32(chunk + bytesAt)))
            __builtin_prefetch(chunk + (entry & entryPositionMask));
    }
}

// Before the step at c: the whole pipeline when a search is due within the next three
// positions, only the farthest head while skipping.
inline void prefetchAhead(const ContextChains& chains, const uint8_t* chunk, int32_t c, const AdaptiveState& state)
{
    if (state.skipCount + 3 >= state.skipInterval)
        prefetchWalk(chains, chunk, c + 3, c + 2, c + 1);
    else
        prefetchHead(chains, chunk, c + 3);
}

// After a match the next positions searched start at its end, which the per-position
// prefetches never reached: ask for their bucket heads now.
inline void prefetchHeadsFrom(const ContextChains& chains, const uint8_t* chunk, int32_t p)
{
    for (int32_t q = p; q < p + 3; ++q) prefetchHead(chains, chunk, q);
}

// The search at c: the longest match among the level's chain depth of candidates. The scored
// evaluation also needs the distance of the first candidate reaching each shorter length.
[[gnu::always_inline]] inline MatchResult searchAt(ContextChains& chains, uint32_t context, uint32_t bucket, int32_t c,
                                                   const uint8_t* chunk, int32_t length, const LevelParameters& level,
                                                   uint16_t* distByLength)
{
    const int32_t limit = lengthLimit(c, length);
    readyToRead(chains, chunk, context, c);
    const MatchResult found =
        level.evaluation == Evaluation::scored
            ? longestFrom<true>(chains, context, bucket, level.chainDepth, c, chunk, limit, minMatch - 1, distByLength)
            : longestFrom<false>(chains, context, bucket, level.chainDepth, c, chunk, limit, minMatch - 1, nullptr);
    if (found.length >= minMatch) prefetchHeadsFrom(chains, chunk, c + found.length);
    return found;
}

// Positions of a quiet run prepared at a time.
constexpr int32_t quietBatch = 256;

using PrepareQuiet = void (*)(const uint8_t*, int32_t, int32_t, uint64_t*, uint16_t*);

PrepareQuiet choosePrepareQuiet()
{
#ifdef QV5_X86_KERNELS
    if (avx2Supported()) return prepareQuietAvx2;
#endif
    return prepareQuietPortable;
}

// Chosen once, at start-up.
const PrepareQuiet prepareQuiet = choosePrepareQuiet();

// Shorter runs take the general step: the run's set-up would cost more than it saves.
constexpr int32_t minQuietRun = 4;

// The next n main-loop steps from c, none of them a search: each writes the literal at c and
// enters c, exactly as the general step would. Entering here only appends the position, its
// bucket and tag to its context's list of held-back positions (256 lists written in order,
// whose ends stay in the cache); a list that fills up is filed at once.
[[gnu::noinline]] void writeQuietRun(ContextChains& chains, const uint8_t* chunk, int32_t c, int32_t n,
                                     uint16_t* tokens)
{
    uint32_t* const ends = chains.pendingEnd;
    uint64_t* const held = chains.pending;
    chains.holding = true;
    uint64_t batch[quietBatch];
    for (int32_t done = 0; done < n; done += quietBatch) {
        const int32_t size = std::min(quietBatch, n - done);
        const uint8_t* const row = chunk + c + done;
        prepareQuiet(row, c + done, size, batch, tokens + done);
        for (int32_t i = 0; i < size; ++i) {
            const uint32_t x = row[i - 1];
            const uint32_t end = ends[x];
            held[end] = batch[i];
            __builtin_prefetch(held + end + pendingAhead, 1); // the list's line after the next
            ends[x] = end + 1;
            if ((end + 1) % uint32_t(pendingLimit) == 0) [[unlikely]]
                filePending(chains, x);
        }
    }
}

// Literals from c up to end, each position entered into the history.
inline void writeLiterals(ContextChains& chains, const uint8_t* chunk, int32_t& c, int32_t end, uint16_t* tokens,
                          int32_t& words)
{
    for (; c < end; ++c) {
        enterPosition(chains, chunk, c);
        tokens[words++] = chunk[c];
    }
}

// Writes the match, or the literal at c when step has length 0; returns the bytes covered.
inline int32_t writeToken(uint16_t* tokens, int32_t& words, const uint8_t* chunk, int32_t c, MatchResult step)
{
    if (step.length < minMatch) {
        tokens[words++] = chunk[c];
        return 1;
    }
    tokens[words++] = uint16_t(step.length + matchWordBias);
    tokens[words++] = uint16_t(step.distance);
    return step.length;
}

} // namespace

void prepareQuietPortable(const uint8_t* row, int32_t first, int32_t size, uint64_t* entries, uint16_t* tokens)
{
    for (int32_t i = 0; i < size; ++i) {
        const uint32_t four = loadU32(row + i);
        entries[i] = pendingEntry(ringEntry(four, first + i), ((four * hashMultiplier) >> hashShift) ^ (four & 0xFF));
        tokens[i] = row[i];
    }
}

void resetChains(ContextChains& chains)
{
    std::memset(chains.records, 0xFF, sizeof chains.records);
    std::memset(chains.ringIndex, 0, sizeof chains.ringIndex);
    for (uint32_t x = 0; x < uint32_t(contextCount); ++x) chains.pendingEnd[x] = x * uint32_t(pendingLimit);
    chains.holding = false;
}

namespace {

// The low halves of count held-back entries: their ring entries.
inline void copyEntries(uint32_t* to, const uint64_t* from, uint32_t count)
{
    uint32_t i = 0;
#ifdef __SSE2__
    for (; i + 4 <= count; i += 4) {
        const __m128 a = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
        const __m128 b = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 2)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), _mm_castps_si128(_mm_shuffle_ps(a, b, 0x88)));
    }
#endif
    for (; i < count; ++i) to[i] = uint32_t(from[i]);
}

} // namespace

// The entries go to consecutive slots, so they are copied first, in two pieces where the ring
// wraps; the links follow in order. Every bucket head may be touched: all 128 lines of them
// are asked for at once.
void filePending(ContextChains& chains, uint32_t x)
{
    ContextRecord& record = chains.records[x];
    const uint64_t* const held = chains.pending + x * uint32_t(pendingLimit);
    const uint32_t count = chains.pendingEnd[x] - x * uint32_t(pendingLimit);
    const uint32_t first = chains.ringIndex[x];
    for (uint32_t line = 0; line < sizeof record.head; line += 64)
        __builtin_prefetch(reinterpret_cast<const uint8_t*>(record.head) + line, 1);
    const uint32_t beforeWrap = std::min(count, uint32_t(ringSize) - first);
    copyEntries(record.entries + first, held, beforeWrap);
    copyEntries(record.entries, held + beforeWrap, count - beforeWrap);
    uint16_t* const head = record.head;
    uint16_t* const link = record.link;
    auto linkRun = [&](const uint64_t* from, const uint64_t* to, uint32_t slot) {
        for (; from != to; ++from, ++slot) {
            const uint32_t bucket = uint32_t(*from >> 32);
            link[slot] = head[bucket];
            head[bucket] = uint16_t(slot);
        }
    };
    linkRun(held, held + beforeWrap, first);
    linkRun(held + beforeWrap, held + count, 0);
    chains.ringIndex[x] = uint16_t((first + count) & ringMask);
    chains.pendingEnd[x] = x * uint32_t(pendingLimit);
}

void fileAllPending(ContextChains& chains)
{
    for (uint32_t x = 0; x < uint32_t(contextCount); ++x)
        if (holdsPending(chains, x)) filePending(chains, x);
    chains.holding = false;
}

MatchResult longestMatch(ContextChains& chains, uint32_t context, int32_t depth, int32_t p, const uint8_t* chunk,
                         int32_t length, uint32_t bucket)
{
    return longestFrom<false>(readyToRead(chains, chunk, context, p), context, bucket, depth, p, chunk,
                              lengthLimit(p, length), minMatch - 1, nullptr);
}

BlockResult parseBlock(int32_t start, const uint8_t* chunk, int32_t length, uint16_t* tokens, ContextChains& chains,
                       const LevelParameters& levelParameters, AdaptiveState& state, SearchLog* log)
{
    const LevelParameters level = levelParameters; // a copy: the ring stores could alias the caller's
    int32_t c = start;
    int32_t words = 0;
    // Two opening literals: no search, no change to the adaptive state.
    writeLiterals(chains, chunk, c, std::min(length, start + 2), tokens, words);

    AdaptiveState s = state; // a copy the compiler can keep in registers across the ring stores
    uint16_t distByLength[maxMatch + 1];
    while (c < length && words < blockMainLoopLimit) {
        // While the skip interval is high, most steps cannot search: they go as one run.
        if (s.skipInterval > minQuietRun) {
            const int32_t quiet = std::min({s.skipInterval - 1 - s.skipCount, length - c, blockMainLoopLimit - words});
            if (quiet >= minQuietRun) {
                writeQuietRun(chains, chunk, c, quiet, tokens + words);
                c += quiet;
                words += quiet;
                s.skipCount += quiet;
                if (log) log->steps += quiet; // stepSkipped is 0, and the log starts zeroed
                continue;
            }
        }
        if (chains.holding && s.skipInterval <= minQuietRun) [[unlikely]]
            fileAllPending(chains);            // no more quiet runs for a while
        const uint32_t context = chunk[c - 1]; // c >= 2 here
        const uint32_t bucket = hashAt(chunk, c);
        prefetchAhead(chains, chunk, c, s);
        MatchResult found{0, 0}, taken{0, 0};
        const bool searched = searchDue(s);
        if (searched) {
            found = searchAt(chains, context, bucket, c, chunk, length, level, distByLength);
            afterSearch(s, found.length >= minMatch);
            taken = evaluate(chains, c, chunk, length, level, found, distByLength);
        }
        enterPosition(chains, chunk, context, bucket, ringEntry(loadU32(chunk + c), c));
        if (log) {
            logStep(*log, !searched                  ? stepSkipped
                          : taken.length >= minMatch ? stepMatch
                          : found.length >= minMatch ? stepHit
                                                     : stepMissed);
        }
        c += writeToken(tokens, words, chunk, c, taken);
    }
    state = s;

    // Closing literals fill the block up to its capacity.
    if (words >= blockMainLoopLimit)
        writeLiterals(chains, chunk, c, std::min(length, c + (blockWordCapacity - words)), tokens, words);
    return {c - start, words};
}

AdaptiveState stateAfterMisses(AdaptiveState s, int32_t length)
{
    for (int32_t g = 0; g < length; g += blockWordCapacity) {
        // Two opening literals, main-loop steps up to the limit, closing literals to capacity.
        int32_t steps = std::max(0, std::min({length - g, blockWordCapacity, blockMainLoopLimit}) - 2);
        // From search to search rather than step by step: the skip count alone moves between.
        while (steps > 0) {
            const int32_t toSearch = std::max(s.skipInterval - s.skipCount, 1); // the search step included
            if (steps < toSearch) {
                s.skipCount += steps;
                break;
            }
            steps -= toSearch;
            s.skipCount = 0;
            afterSearch(s, false);
        }
    }
    return s;
}

bool replaySearches(const SearchLog& log, AdaptiveState guessed, const AdaptiveState& guessedEnd, AdaptiveState& truth)
{
    AdaptiveState state = truth;
    for (int64_t i = 0; i < log.steps; ++i) {
        if (state == guessed) {
            truth = guessedEnd; // from here on both runs are the same run
            return true;
        }
        const uint8_t step = loggedStep(log, i);
        if (searchDue(guessed)) afterSearch(guessed, step >= stepHit);
        if (!searchDue(state)) {
            // No search here: the same token only if the logged step wrote a literal.
            if (step == stepMatch) return false;
        } else {
            // A search here finds what the logged one found, if there was one.
            if (step == stepSkipped) return false;
            afterSearch(state, step >= stepHit);
        }
    }
    truth = state;
    return true;
}

} // namespace qv5
