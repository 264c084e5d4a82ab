#include "codec/match_finder.h"

#include <algorithm>

namespace qv5 {

namespace {


// Common length of source and current, at most limit. The first four bytes are known to be
// equal (quick test). Loads may read up to 7 bytes past limit, which the chunk slack covers.
inline int32_t commonLength(const uint8_t* source, const uint8_t* current, int32_t limit) {
    int32_t i = minMatch;
    while (i < limit) {
        uint64_t diff = loadU64(source + i) ^ loadU64(current + i);
        if (diff != 0) return std::min(limit, i + (std::countr_zero(diff) >> 3));
        i += 8;
    }
    return limit;
}

inline int32_t lengthLimit(int32_t p, int32_t length) {
    return std::min(maxMatch, length - p);
}

// The chain walk. Candidates, their order and the stop rules do not depend on the lengths
// found, so the result is the longest common length over a fixed candidate list, the first
// found winning ties. A walk that starts from a best length above 3 therefore finds the same
// winner whenever that winner is longer than the start, which the look-ahead uses to skip
// candidates that cannot matter.
struct WalkResult {
    int32_t length;  // 0 when nothing beat the starting length
    int32_t distance;
};

template <bool recordDistances>
inline WalkResult walkChain(const ContextRecord& record, int32_t depth, int32_t p,
                            const uint8_t* chunk, int32_t limit, uint32_t bucket,
                            int32_t bestStart, uint16_t* distByLength) {
    uint32_t slot = record.head[bucket];
    if (slot == emptyLink || depth <= 0 || limit <= bestStart) return {0, 0};
    const uint8_t* current = chunk + p;
    const uint32_t currentHead = loadU32(current);
    const uint32_t currentTag = fourByteTag(currentHead);
    const uint32_t ringIndex = record.ringIndex;
    int32_t best = bestStart, bestDistance = 0;
    bool found = false;
    int32_t examined = 0;
    for (;;) {
        const uint32_t entry = record.entries[slot];
        const int32_t q = int32_t(entry & entryPositionMask);
        if (q == 0) break;  // offset 0 is never a source
        const uint8_t* source = chunk + q;
        // A different tag means different first four bytes: the quick test would fail.
        if ((entry >> entryTagShift) == currentTag && source[best] == current[best] &&
            loadU32(source) == currentHead) {
            int32_t matched = commonLength(source, current, limit);
            if (matched > best) {
                int32_t distance = int32_t((ringIndex - slot) & ringMask);
                if constexpr (recordDistances)
                    for (int32_t k = best + 1; k <= matched; ++k) distByLength[k] = uint16_t(distance);
                best = matched;
                bestDistance = distance;
                found = true;
                if (best >= limit) break;  // no later candidate can be strictly longer
            }
        }
        if (++examined >= depth) break;
        const uint32_t next = record.link[slot];
        if (next == emptyLink) break;
        // Overwritten after the ring wrapped. Links only lead to slots that were entered.
        if (int32_t(record.entries[next] & entryPositionMask) >= q) break;
        slot = next;
    }
    return found ? WalkResult{best, bestDistance} : WalkResult{0, 0};
}

// Whether some examined candidate at p is longer than threshold (threshold >= 3).
inline bool beatsLength(const ContextChains& chains, int32_t p, const uint8_t* chunk,
                        int32_t length, int32_t depth, int32_t threshold) {
    const int32_t limit = lengthLimit(p, length);
    if (limit <= threshold) return false;
    const ContextRecord& record = chains.records[contextAt(chunk, p)];
    const uint32_t bucket = hashAt(chunk, p);
    uint32_t slot = record.head[bucket];
    if (slot == emptyLink || depth <= 0) return false;
    const uint8_t* current = chunk + p;
    // Four bytes ending at the threshold length first: they reject most candidates.
    const uint32_t currentTail = loadU32(current + threshold - 3);
    const uint32_t currentHead = loadU32(current);
    const uint32_t currentTag = fourByteTag(currentHead);
    int32_t examined = 0;
    for (;;) {
        const uint32_t entry = record.entries[slot];
        const int32_t q = int32_t(entry & entryPositionMask);
        if (q == 0) return false;
        const uint8_t* source = chunk + q;
        if ((entry >> entryTagShift) == currentTag && loadU32(source + threshold - 3) == currentTail &&
            loadU32(source) == currentHead && commonLength(source, current, limit) > threshold)
            return true;
        if (++examined >= depth) return false;
        const uint32_t next = record.link[slot];
        if (next == emptyLink || int32_t(record.entries[next] & entryPositionMask) >= q) return false;
        slot = next;
    }
}

inline int32_t scoreOf(WalkResult walk) {
    return walk.length >= minMatch ? walk.length * lengthScore - walk.distance : noMatchScore;
}

// The score at p when it is above floor; otherwise some value not above floor. A match can
// only score above floor when it is longer than floor / 4096 bytes.
inline int32_t scoreAbove(const ContextChains& chains, int32_t p, const uint8_t* chunk,
                          int32_t length, int32_t depth, int32_t floor) {
    const int32_t limit = lengthLimit(p, length);
    const int32_t bestStart = std::max(minMatch - 1, floor / lengthScore);
    if (limit <= bestStart) return noMatchScore;
    const ContextRecord& record = chains.records[contextAt(chunk, p)];
    WalkResult walk = walkChain<false>(record, depth, p, chunk, limit, hashAt(chunk, p),
                                       bestStart, nullptr);
    // Nothing found above a start of 4 or more means a score of at most floor; and then
    // floor >= 16384 > noMatchScore, so reporting noMatchScore keeps the comparison right.
    return scoreOf(walk);
}

// Asks for the bucket head a search at p reads first.
inline void prefetchHead(const ContextChains& chains, const uint8_t* chunk, int32_t p) {
    __builtin_prefetch(&chains.records[chunk[p - 1]].head[hashAt(chunk, p)], 1);
}

// A walk loads a bucket head, then its ring slot, then the candidate's bytes, each depending
// on the one before and each likely to miss the cache. For three positions to be searched
// soon, this starts one stage of each: the head for the farthest, the ring slot for the
// middle one (its head asked for earlier), the candidate bytes for the nearest. Only hints;
// the reads stay inside the chunk and its slack (p >= 1, p + 4 <= length + slack).
inline void prefetchWalk(const ContextChains& chains, const uint8_t* chunk, int32_t headAt,
                         int32_t slotAt, int32_t bytesAt) {
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

// After a match the next positions searched start at its end, which the per-position
// prefetches above never reached: ask for their bucket heads now.
inline void prefetchHeadsFrom(const ContextChains& chains, const uint8_t* chunk, int32_t p) {
    for (int32_t q = p; q < p + 3; ++q) prefetchHead(chains, chunk, q);
}

} // namespace

void resetChains(ContextChains& chains) {
    std::memset(&chains, 0xFF, sizeof(ContextChains));
    for (ContextRecord& record : chains.records) record.ringIndex = 0;
}

MatchResult longestMatch(const ContextRecord& record, int32_t depth, int32_t p,
                         const uint8_t* chunk, int32_t length, uint32_t bucket) {
    WalkResult walk = walkChain<false>(record, depth, p, chunk, lengthLimit(p, length), bucket,
                                       minMatch - 1, nullptr);
    return {walk.length, walk.distance};
}

int32_t scoreAt(const ContextChains& chains, int32_t p, const uint8_t* chunk, int32_t length,
                int32_t depth) {
    if (p >= length) return noMatchScore;
    const ContextRecord& record = chains.records[contextAt(chunk, p)];
    MatchResult match = longestMatch(record, depth, p, chunk, length, hashAt(chunk, p));
    return match.length >= minMatch ? match.length * lengthScore - match.distance : noMatchScore;
}

BlockResult parseBlock(int32_t start, const uint8_t* chunk, int32_t length, uint16_t* tokens,
                       ContextChains& chains, const LevelParameters& level, AdaptiveState& state,
                       SearchLog* log) {
    const bool scored = level.evaluation == Evaluation::scored;
    int32_t c = start;
    int32_t words = 0;

    // Two opening literals: no search, no change to the adaptive state.
    for (int32_t i = 0; i < 2 && c < length; ++i, ++c) {
        enterPosition(chains, chunk, c);
        tokens[words++] = chunk[c];
    }

    int32_t skipInterval = state.skipInterval;
    int32_t skipCount = state.skipCount;
    int32_t missCount = state.missCount;
    uint16_t distByLength[maxMatch + 1];  // distance of the first candidate reaching each length

    while (c < length && words < blockMainLoopLimit) {
        ContextRecord& record = chains.records[chunk[c - 1]];  // c >= 2 here
        const uint32_t bucket = hashAt(chunk, c);
        // The walk's loads (bucket head, then its ring slot, then the candidate's bytes) miss
        // the cache and depend on each other; start them for the next positions, one stage
        // per position ahead. Only hints: nothing here changes what is found. Reads stay
        // within the chunk's slack.
        if (skipCount + 3 >= skipInterval)
            prefetchWalk(chains, chunk, c + 3, c + 2, c + 1);
        else
            prefetchHead(chains, chunk, c + 3);
        int32_t t = 0, e = 0;
        uint8_t step = stepSkipped;
        if (++skipCount >= skipInterval) {
            step = stepMissed;
            skipCount = 0;
            const int32_t limit = lengthLimit(c, length);
            WalkResult walk = scored
                ? walkChain<true>(record, level.chainDepth, c, chunk, limit, bucket, minMatch - 1, distByLength)
                : walkChain<false>(record, level.chainDepth, c, chunk, limit, bucket, minMatch - 1, nullptr);
            t = walk.length;
            e = walk.distance;
            if (t >= minMatch) {
                step = stepHit;
                prefetchHeadsFrom(chains, chunk, c + t);
            }

            if (t < minMatch) {
                if (++missCount == missesPerStep) {
                    skipInterval = skipInterval == 0 ? 1 : std::min(2 * skipInterval, maxSkipInterval);
                    missCount = 0;
                }
            } else {
                skipInterval >>= 1;
                missCount = 0;
            }

            if (t >= minMatch && t <= lookAheadLimit && level.lookAheadDepth != 0) {
                if (!scored) {
                    // Lazy: drop the match when one of the next two positions has a longer one
                    // by more than the step.
                    for (int32_t j = 1; j <= 2; ++j) {
                        if (beatsLength(chains, c + j, chunk, length, level.lookAheadDepth, t + j)) {
                            t = 0;
                            break;
                        }
                    }
                } else {
                    // Scored: rank the first step by the bytes two steps cover, then by
                    // smaller distance. k = t would score exactly best, so it is skipped.
                    const int32_t depth = level.lookAheadDepth;
                    int32_t best = t * lengthScore - e + scoreAt(chains, c + t, chunk, length, depth);
                    int32_t chosenLength = t, chosenDistance = e;
                    for (int32_t k = t - 1; k >= 1; --k) {
                        const int32_t first = k >= minMatch ? k * lengthScore - distByLength[k] : noMatchScore;
                        const int32_t total = first + scoreAbove(chains, c + k, chunk, length, depth, best - first);
                        if (total > best) {
                            best = total;
                            chosenLength = k;
                            chosenDistance = distByLength[k];
                        }
                    }
                    t = chosenLength >= minMatch ? chosenLength : 0;
                    e = chosenDistance;
                }
            }
        }

        enterPosition(record, c, bucket, fourByteTag(loadU32(chunk + c)));
        if (log) {
            if (t >= minMatch) step = stepMatch;
            log->codes[log->steps >> 2] |= uint8_t(step << ((log->steps & 3) * 2));
            ++log->steps;
        }
        if (t >= minMatch) {
            tokens[words++] = uint16_t(t + matchWordBias);
            tokens[words++] = uint16_t(e);
            c += t;
        } else {
            tokens[words++] = chunk[c];
            c += 1;
        }
    }

    state.skipInterval = skipInterval;
    state.skipCount = skipCount;
    state.missCount = missCount;

    // Closing literals fill the block up to its capacity.
    if (words >= blockMainLoopLimit) {
        for (; words < blockWordCapacity && c < length; ++c) {
            enterPosition(chains, chunk, c);
            tokens[words++] = chunk[c];
        }
    }
    return {c - start, words};
}

namespace {

// One main-loop step of the adaptive state after a search (the skip count is already 0).
void afterSearch(AdaptiveState& state, bool hit) {
    if (!hit) {
        if (++state.missCount == missesPerStep) {
            state.skipInterval = state.skipInterval == 0 ? 1 : std::min(2 * state.skipInterval, maxSkipInterval);
            state.missCount = 0;
        }
    } else {
        state.skipInterval >>= 1;
        state.missCount = 0;
    }
}

} // namespace

bool replaySearches(const SearchLog& log, AdaptiveState guessed, const AdaptiveState& guessedEnd,
                    AdaptiveState& truth) {
    AdaptiveState state = truth;
    for (int64_t i = 0; i < log.steps; ++i) {
        if (state == guessed) {
            truth = guessedEnd;  // from here on both runs are the same run
            return true;
        }
        const uint8_t step = uint8_t(log.codes[i >> 2] >> ((i & 3) * 2)) & 3;
        if (++guessed.skipCount >= guessed.skipInterval) {
            guessed.skipCount = 0;
            afterSearch(guessed, step >= stepHit);
        }
        if (++state.skipCount < state.skipInterval) {
            // No search here: the same token only if the logged step wrote a literal.
            if (step == stepMatch) return false;
        } else {
            // A search here finds what the logged one found, if there was one.
            if (step == stepSkipped) return false;
            state.skipCount = 0;
            afterSearch(state, step >= stepHit);
        }
    }
    truth = state;
    return true;
}

} // namespace qv5
