#pragma once
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/byte_order.h"
#include "codec/codec_constants.h"
#include "codec/cpu_features.h"

// The context-keyed LZ match finder. Every token start is filed under the byte before it
// (256 contexts); a match's distance counts steps back in that context's ring of the last
// 4096 token starts. Which tokens it emits is part of the archive format: every tie-break
// and stop rule here decides the output.
namespace qv5 {

// The history of one context: a ring of token starts, and hash chains over it. A slot's entry
// holds the chunk offset (24 bits, as chunks are 16 MiB) and above it a tag of the four bytes
// there, so that most candidates that would fail the quick test are passed over without a
// read of the chunk. An entry of all ones has never been written.
struct ContextRecord {
    uint32_t entries[ringSize];
    uint16_t head[bucketCount]; // newest slot of each hash bucket, emptyLink for none
    uint16_t link[ringSize];    // next older slot in the same bucket, emptyLink for none
    // Records 32 KiB apart would all start on the same cache sets, and on data where every
    // context fills its ring at about the same pace their current slots would evict each
    // other; one line more shifts each record onto sets of its own.
    uint8_t skew[64];
};

// Positions a context holds back before its list is filed (see ContextChains::pending).
constexpr int32_t pendingLimit = 1024;
// How far ahead of its end a list's next line is asked for (the array is that much longer).
constexpr int32_t pendingAhead = 16;

struct ContextChains;
// For tests: told of every read of a context's record, once its held-back positions are
// filed; every token start below enteredBelow has been entered by then.
struct RecordWatch {
    void (*read)(void* user, const ContextChains& chains, uint32_t context, int32_t enteredBelow) = nullptr;
    void* user = nullptr;
};

struct ContextChains {
    // The next slot to write of each context, all together: every entry reads and advances one.
    uint16_t ringIndex[contextCount];
    // Positions entered into a context but not yet filed in its record, oldest first, each
    // as its ring entry with its bucket above (pendingEntry). Only a search reads a record,
    // and only that of its own context, so filing can wait until the record is read, entered
    // into directly, or the list is full: every record is then exactly what entering at once
    // would have made, whenever it is read. Filing a whole list works in one record, which
    // stays in the cache, where entering at once costs a miss in 8 MiB of records for every
    // position. Context x's list is pending[x * pendingLimit] up to pendingEnd[x].
    uint32_t pendingEnd[contextCount];
    // Some list may hold positions: false from the chunk's start until a quiet run, and again
    // once the search interval falls low and every list is filed, so that text, which
    // searches nearly everywhere, pays for none of this.
    bool holding = false;
    RecordWatch* watch = nullptr; // tests only; kept by resetChains
    ContextRecord records[contextCount];
    uint64_t pending[contextCount * pendingLimit + pendingAhead];
};

constexpr uint32_t entryPositionMask = 0xFFFFFF;
constexpr uint32_t entryTagShift = 24;
constexpr uint32_t neverEntered = 0xFFFFFFFF;
static_assert(chunkSize - 1 <= int32_t(entryPositionMask));

// The chunk offset last entered into slot s of context x, or -1 (once x holds nothing back).
inline int32_t slotPosition(const ContextChains& chains, uint32_t x, uint32_t s)
{
    const uint32_t entry = chains.records[x].entries[s];
    return entry == neverEntered ? -1 : int32_t(entry & entryPositionMask);
}

enum class Evaluation : uint8_t { none, lazy, scored };

struct LevelParameters {
    int32_t chainDepth;     // chain entries examined by the search at the current position
    int32_t lookAheadDepth; // entries examined by each search while a match is evaluated
    Evaluation evaluation;
};

// Indexed by the level of the run, 0..5 (commands c1..c6).
inline constexpr LevelParameters levelTable[6] = {
    {4, 0, Evaluation::none},  {8, 2, Evaluation::lazy},     {24, 4, Evaluation::lazy},
    {64, 4, Evaluation::lazy}, {128, 4, Evaluation::scored}, {4096, 4096, Evaluation::scored},
};

struct MatchResult {
    int32_t length;   // 0 when no match of minMatch bytes or more was found
    int32_t distance; // steps back in the context's ring, 0..4095
};

struct BlockResult {
    int32_t consumed; // chunk bytes covered by the block's tokens
    int32_t words;    // words written to the token buffer, 1..262144
};

// Bucket of position p, 0..4095; reads the four bytes at p.
inline uint32_t hashAt(const uint8_t* chunk, int32_t p)
{
    return ((loadU32(chunk + p) * hashMultiplier) >> hashShift) ^ chunk[p];
}

// 8 bits of four bytes, as a little-endian value: different tags mean different bytes.
// Another multiplier than the bucket hash's, so that entries of one bucket differ in it;
// never 0xFF, so that no entry reads as never entered.
inline uint32_t fourByteTag(uint32_t fourBytes)
{
    const uint32_t tag = (fourBytes * 0x2545F491u) >> entryTagShift;
    return tag - (tag == 0xFF);
}

// The ring entry of position p, whose four bytes are fourBytes: the tag above the offset.
inline uint32_t ringEntry(uint32_t fourBytes, int32_t p)
{
    return fourByteTag(fourBytes) << entryTagShift | uint32_t(p);
}

inline uint32_t contextAt(const uint8_t* chunk, int32_t p)
{
    return p == 0 ? 0u : chunk[p - 1];
}

// A held-back position: its ring entry, and its bucket above.
inline uint64_t pendingEntry(uint32_t entry, uint32_t bucket)
{
    return uint64_t(bucket) << 32 | entry;
}

inline bool holdsPending(const ContextChains& chains, uint32_t x)
{
    return chains.holding && chains.pendingEnd[x] != x * uint32_t(pendingLimit);
}

// Files the held-back positions of context x, oldest first, exactly as entering each at once
// would have: in each slot the entry, a link to the bucket's head, and the head moved to it.
void filePending(ContextChains& chains, uint32_t x);

// Files every held-back position: for reading the records from outside the match finder.
void fileAllPending(ContextChains& chains);

// Files a ring entry (ringEntry) under context x and the given bucket, after what x holds
// back.
inline void enterPosition(ContextChains& chains, const uint8_t* chunk, uint32_t x, uint32_t bucket, uint32_t entry)
{
    if (holdsPending(chains, x)) filePending(chains, x);
    ContextRecord& record = chains.records[x];
    const uint32_t slot = chains.ringIndex[x];
    record.link[slot] = record.head[bucket];
    record.entries[slot] = entry;
    record.head[bucket] = uint16_t(slot);
    chains.ringIndex[x] = uint16_t((slot + 1) & ringMask);
}

inline void enterPosition(ContextChains& chains, const uint8_t* chunk, int32_t p)
{
    enterPosition(chains, chunk, contextAt(chunk, p), hashAt(chunk, p), ringEntry(loadU32(chunk + p), p));
}

// The part of a quiet run (writeQuietRun) that needs no history: for the size positions from
// row on (row is chunk + first), their held-back entries (pendingEntry) and literal tokens.
// Reads at most 8 bytes past row + size - 1, which the chunk's slack covers.
void prepareQuietPortable(const uint8_t* row, int32_t first, int32_t size, uint64_t* entries, uint16_t* tokens);
#ifdef QV5_X86_KERNELS
void prepareQuietAvx2(const uint8_t* row, int32_t first, int32_t size, uint64_t* entries, uint16_t* tokens);
#endif

// Empties all 256 rings and bucket tables and drops what they hold back; called before the
// first block of every chunk.
void resetChains(ContextChains& chains);

// The longest match at p among the chain entries of the context examined from the head of
// bucket, at most depth of them. length is the chunk length: bytes at or past it never count.
MatchResult longestMatch(ContextChains& chains, uint32_t context, int32_t depth, int32_t p, const uint8_t* chunk,
                         int32_t length, uint32_t bucket);

// What the adaptive search state decided at each main-loop step of a parse, so that a parse
// made from a guessed state can be checked against the true state afterwards. Two bits a
// step, as a match implies a hit and a hit a search: stepSkipped, stepMissed, stepHit (a
// match was found but a literal written) or stepMatch. codes holds at least one byte per
// four steps, zeroed before use.
struct SearchLog {
    uint8_t* codes = nullptr;
    int64_t steps = 0;
};
enum : uint8_t { stepSkipped = 0, stepMissed = 1, stepHit = 2, stepMatch = 3 };

// The adaptive search state: the only thing one chunk's parse takes from the chunk before. It
// starts zeroed for an archive and runs on across all its blocks and chunks.
struct AdaptiveState {
    int32_t skipInterval = 0; // a search every skipInterval-th main-loop step (0, 1: every one), 0-1024
    int32_t skipCount = 0;    // main-loop steps since the last search
    int32_t missCount = 0;    // searches without a match since the interval last changed
    bool operator==(const AdaptiveState&) const = default;
};

// Cuts one block of tokens out of the chunk, starting at start (0 <= start < length). The
// chunk needs chunkSlack readable bytes past length. Searches as level says and carries
// state on. Appends its steps to log when one is given. Allocates nothing.
BlockResult parseBlock(int32_t start, const uint8_t* chunk, int32_t length, uint16_t* tokens, ContextChains& chains,
                       const LevelParameters& level, AdaptiveState& state, SearchLog* log = nullptr);

// The state a chunk of length bytes leaves when no search in it finds a match, as on noise:
// every step writes a literal, so the block cuts, and with them the main-loop steps, follow
// from the length alone. Guesses the start of the next chunk while this one is parsed.
AdaptiveState stateAfterMisses(AdaptiveState start, int32_t length);

// Checks a chunk parsed from the state guessed against the true start state: true when
// parsing from truth provably gives the same tokens, that is when every search decision of
// the true state machine, driven by the logged outcomes, agrees with the log until the two
// states coincide. Then truth becomes the true state at the chunk's end (guessedEnd once
// they coincide). False means the chunk must be parsed again from truth.
bool replaySearches(const SearchLog& log, AdaptiveState guessed, const AdaptiveState& guessedEnd, AdaptiveState& truth);

} // namespace qv5
