#include "input/content_digest.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

namespace qv5 {

namespace {

// Eight bytes as a word in the machine's own order: digests are only ever compared within one
// run, so the order need not be fixed.
inline uint64_t wordAt(const uint8_t* bytes)
{
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    return word;
}

// A built-in of g++ on every target we build for; gives the 64 x 64 -> 128-bit product.
__extension__ typedef unsigned __int128 U128;

constexpr uint64_t fieldPrime = (uint64_t(1) << 61) - 1;
constexpr uint64_t coefficientMask = (uint64_t(1) << 60) - 1; // below the prime: no two collide

// Sum of the products of key-offset word pairs over the first 2 * pairs words of a block.
U128 blockSum(const uint64_t* key, const uint8_t* block, size_t pairs)
{
    // Two sums, so that the 128-bit additions of one do not wait for the other.
    U128 sum0 = 0, sum1 = 0;
    size_t k = 0;
    for (; k + 2 <= pairs; k += 2) {
        const uint8_t* p = block + 16 * k;
        sum0 += U128(wordAt(p) + key[2 * k]) * (wordAt(p + 8) + key[2 * k + 1]);
        sum1 += U128(wordAt(p + 16) + key[2 * k + 2]) * (wordAt(p + 24) + key[2 * k + 3]);
    }
    if (k < pairs) sum0 += U128(wordAt(block + 16 * k) + key[2 * k]) * (wordAt(block + 16 * k + 8) + key[2 * k + 1]);
    return sum0 + sum1;
}

// (value * point + coefficient) modulo 2^61 - 1, with value, point < 2^61 - 1 and
// coefficient < 2^60.
uint64_t hornerStep(uint64_t value, uint64_t point, uint64_t coefficient)
{
    U128 product = U128(value) * point;                                                    // below 2^122
    uint64_t x = (uint64_t(product) & fieldPrime) + uint64_t(product >> 61) + coefficient; // below 2^63
    x = (x & fieldPrime) + (x >> 61);
    return x >= fieldPrime ? x - fieldPrime : x;
}

void addCoefficient(DigestState& state, uint64_t coefficient)
{
    state.values[0] = hornerStep(state.values[0], state.key->points[0], coefficient);
    state.values[1] = hornerStep(state.values[1], state.key->points[1], coefficient);
}

// A block sum enters as three coefficients of 60, 60 and 8 bits: all 128 bits count.
void addBlock(DigestState& state, const uint8_t* block, size_t pairs)
{
    U128 sum = blockSum(state.key->blockKey, block, pairs);
    addCoefficient(state, uint64_t(sum) & coefficientMask);
    addCoefficient(state, uint64_t(sum >> 60) & coefficientMask);
    addCoefficient(state, uint64_t(sum >> 120));
}

uint64_t random64(std::random_device& random)
{
    return (uint64_t(random()) << 32) ^ random();
}

} // namespace

DigestKey randomDigestKey()
{
    std::random_device random;
    DigestKey key;
    for (uint64_t& word : key.blockKey) word = random64(random);
    // Point 0 would leave only the last coefficient.
    for (uint64_t& point : key.points) point = 1 + random64(random) % (fieldPrime - 1);
    return key;
}

void digestBegin(DigestState& state, const DigestKey& key)
{
    state.key = &key;
    state.values[0] = state.values[1] = 1;
    state.length = 0;
    state.pending = 0;
}

void digestUpdate(DigestState& state, const uint8_t* data, size_t size)
{
    if (size == 0) return; // data may be null
    state.length += size;
    if (state.pending != 0) {
        size_t take = std::min(size, digestBlockSize - state.pending);
        std::memcpy(state.partial + state.pending, data, take);
        state.pending += take;
        data += take;
        size -= take;
        if (state.pending < digestBlockSize) return;
        addBlock(state, state.partial, digestBlockWords / 2);
        state.pending = 0;
    }
    for (; size >= digestBlockSize; data += digestBlockSize, size -= digestBlockSize) {
        addBlock(state, data, digestBlockWords / 2);
    }
    std::memcpy(state.partial, data, size);
    state.pending = size;
}

ContentDigest digestEnd(DigestState& state)
{
    if (state.pending != 0) {
        // Zeros complete the last word pair; the length coefficient tells "a" from "a\0".
        size_t pairs = (state.pending + 15) / 16;
        std::memset(state.partial + state.pending, 0, 16 * pairs - state.pending);
        addBlock(state, state.partial, pairs);
        state.pending = 0;
    }
    addCoefficient(state, state.length & coefficientMask);
    return ContentDigest{state.values[0], state.values[1]};
}

ContentDigest digestOfBytes(const DigestKey& key, const uint8_t* data, size_t size)
{
    DigestState state;
    digestBegin(state, key);
    digestUpdate(state, data, size);
    return digestEnd(state);
}

bool digestFile(const std::string& path, const DigestKey& key, uint8_t* buffer, size_t bufferSize,
                ContentDigest& digest, bool* opened)
{
    FILE* file = openRead(path);
    if (opened) *opened = file != nullptr;
    if (!file) return false;
    DigestState state;
    digestBegin(state, key);
    size_t count;
    while ((count = std::fread(buffer, 1, bufferSize, file)) != 0) digestUpdate(state, buffer, count);
    bool failed = std::ferror(file) != 0;
    if (failed) noteStreamFailure(); // the caller reads the reason
    std::fclose(file);
    if (failed) return false;
    digest = digestEnd(state);
    return true;
}

} // namespace qv5
