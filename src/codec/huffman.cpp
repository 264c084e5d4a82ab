#include "codec/huffman.h"

#include <algorithm>
#include <bit>

namespace qv5 {

void resetModel(HuffmanCode& code)
{
    std::fill_n(code.counts, maxAlphabetSize, uint16_t(0));
    std::fill_n(code.codes, maxAlphabetSize, 0u);
    std::fill_n(code.lengths, maxAlphabetSize, uint8_t(0));
}

void halveCounts(HuffmanCode& code)
{
    for (int32_t s = 0; s < code.alphabet.symbolCount; ++s)
        if (code.counts[s] > 1) code.counts[s] >>= 1;
}

static void clearCodesAndLengths(HuffmanCode& code)
{
    std::fill_n(code.codes, maxAlphabetSize, 0u);
    std::fill_n(code.lengths, maxAlphabetSize, uint8_t(0));
}

void buildLengths(HuffmanCode& code)
{
    const int32_t symbolCount = code.alphabet.symbolCount;
    for (;;) {
        uint16_t leafSymbol[maxAlphabetSize];
        int32_t n = 0;
        for (int32_t s = 0; s < symbolCount; ++s)
            if (code.counts[s] != 0) leafSymbol[n++] = uint16_t(s);

        if (n == 0) {
            clearCodesAndLengths(code);
            code.maxLength = 0;
            return;
        }
        if (n == 1) {
            clearCodesAndLengths(code);
            code.lengths[leafSymbol[0]] = 1;
            code.maxLength = 1;
            return;
        }

        // Heaviest first; equal counts put the higher symbol first. The keys are unique,
        // so this order does not depend on the sort algorithm.
        std::sort(leafSymbol, leafSymbol + n, [&](uint16_t a, uint16_t b) {
            if (code.counts[a] != code.counts[b]) return code.counts[a] > code.counts[b];
            return a > b;
        });

        // Nodes 0..n-1 are the leaves (n-1 the lightest), n.. the internal nodes in
        // creation order. Leaves are taken from the light end; a tie goes to the internal node.
        uint32_t weight[2 * maxAlphabetSize];
        int16_t child[maxAlphabetSize][2];
        for (int32_t i = 0; i < n; ++i) weight[i] = code.counts[leafSymbol[i]];
        int32_t k = n - 1, j = n, l = n;
        while (k >= 0 || j < l - 1) {
            int32_t pick[2];
            for (int32_t& node : pick) {
                if (j == l)
                    node = k--;
                else if (k < 0)
                    node = j++;
                else if (weight[k] < weight[j])
                    node = k--;
                else
                    node = j++;
            }
            weight[l] = weight[pick[0]] + weight[pick[1]];
            child[l - n][0] = int16_t(pick[0]);
            child[l - n][1] = int16_t(pick[1]);
            ++l;
        }

        int32_t depth[2 * maxAlphabetSize];
        depth[l - 1] = 0;
        for (int32_t node = l - 1; node >= n; --node) {
            depth[child[node - n][0]] = depth[node] + 1;
            depth[child[node - n][1]] = depth[node] + 1;
        }

        clearCodesAndLengths(code);
        int32_t longest = 0;
        for (int32_t i = 0; i < n; ++i) {
            code.lengths[leafSymbol[i]] = uint8_t(std::min(depth[i], 255));
            longest = std::max(longest, depth[i]);
        }
        if (longest <= maxCodeLength) {
            code.maxLength = longest;
            return;
        }
        // Halving keeps every present symbol (counts of 1 stay 1) and flattens the tree.
        halveCounts(code);
    }
}

void assignCodes(HuffmanCode& code)
{
    const int32_t symbolCount = code.alphabet.symbolCount;
    code.minLength = maxCodeLength;
    code.maxLength = 0;
    for (int32_t s = 0; s < symbolCount; ++s) {
        int32_t length = code.lengths[s];
        if (length == 0) continue;
        code.minLength = std::min(code.minLength, length);
        code.maxLength = std::max(code.maxLength, length);
    }

    // A counter that counts with its bits reversed: the canonical code of each symbol,
    // already in sending order. Moving on to a longer length appends zero bits implicitly.
    uint32_t d = 0;
    for (int32_t length = code.minLength; length <= code.maxLength; ++length) {
        for (int32_t s = 0; s < symbolCount; ++s) {
            if (code.lengths[s] != length) continue;
            code.codes[s] = d;
            uint32_t zeros = ~d & ((1u << length) - 1);
            if (zeros == 0) {
                d = 1u << length; // code space used up: only after the last code
            } else {
                uint32_t p = uint32_t(std::bit_width(zeros)) - 1;
                d = (d & ((1u << p) - 1)) + (1u << p);
            }
        }
    }
}

// Both levels of the decode tables of a code whose codes are assigned.
static void buildDecodeTables(HuffmanCode& code, EntryOf entryOf)
{
    DecodeTables& tables = code.tables;
    if (!tables.full) tables.full = std::make_unique<uint16_t[]>(fullTableCapacity);
    const uint32_t firstSize = 1u << code.alphabet.tableBits;
    const uint32_t fullSize = 1u << code.maxLength;
    std::fill_n(tables.entries, firstSize, longEntry);
    std::fill_n(tables.full.get(), fullSize, noSymbol);
    for (int32_t s = 0; s < code.alphabet.symbolCount; ++s) {
        const uint32_t length = code.lengths[s];
        if (length == 0) continue;
        const uint32_t c = code.codes[s];
        tables.bySymbol[s] = entryOf(uint32_t(s), length);
        if (length <= uint32_t(code.alphabet.tableBits))
            for (uint32_t i = c; i < firstSize; i += 1u << length) tables.entries[i] = tables.bySymbol[s];
        for (uint32_t i = c; i < fullSize; i += 1u << length) tables.full[i] = uint16_t(s);
    }
}

void buildCode(HuffmanCode& code)
{
    buildLengths(code);
    assignCodes(code);
}

void writeLengthTable(const HuffmanCode& code, BitWriter& writer)
{
    writeBits(writer, uint32_t(code.maxLength), 8);
    const uint32_t width = uint32_t(std::bit_width(uint32_t(code.maxLength)));
    int32_t base = 0;
    for (int32_t g = 0; g < code.alphabet.groupCount; ++g) {
        const int32_t size = code.alphabet.groupSizes[g];
        uint32_t mask = 0;
        for (int32_t s = 0; s < size; ++s)
            if (code.lengths[base + s] != 0) mask |= 1u << (s / maskSubgroupSize);
        writeBits(writer, mask, 8);
        for (int32_t s = 0; s < size; ++s)
            if (mask & (1u << (s / maskSubgroupSize))) writeBits(writer, code.lengths[base + s], width);
        base += size;
    }
}

void writeTable(HuffmanCode& code, BitWriter& writer)
{
    buildCode(code);
    writeLengthTable(code, writer);
}

bool readTable(HuffmanCode& code, BitReader& reader, EntryOf entryOf)
{
    resetModel(code);
    const uint32_t storedMax = uint32_t(readBits(reader, 8));
    if (storedMax > uint32_t(maxCodeLength)) return false;
    const uint32_t width = uint32_t(std::bit_width(storedMax));

    int32_t base = 0;
    for (int32_t g = 0; g < code.alphabet.groupCount; ++g) {
        const int32_t size = code.alphabet.groupSizes[g];
        const int32_t subgroups = (size + maskSubgroupSize - 1) / maskSubgroupSize;
        const uint32_t mask = uint32_t(readBits(reader, 8));
        if (mask >> subgroups) return false;
        for (int32_t q = 0; q < subgroups; ++q) {
            if (!(mask & (1u << q))) continue;
            const int32_t end = std::min(size, (q + 1) * maskSubgroupSize);
            bool anyPresent = false;
            for (int32_t s = q * maskSubgroupSize; s < end; ++s) {
                uint32_t length = uint32_t(readBits(reader, width));
                if (length > uint32_t(maxCodeLength)) return false;
                code.lengths[base + s] = uint8_t(length);
                anyPresent |= length != 0;
            }
            if (!anyPresent) return false;
        }
        base += size;
    }

    // The lengths must form the code the writer builds: complete, or one 1-bit code.
    int32_t present = 0, longest = 0, lengthOfOnly = 0;
    uint32_t kraft = 0; // sum of 2^(16 - length); 2^16 for a complete code
    for (int32_t s = 0; s < code.alphabet.symbolCount; ++s) {
        int32_t length = code.lengths[s];
        if (length == 0) continue;
        ++present;
        lengthOfOnly = length;
        longest = std::max(longest, length);
        kraft += 1u << (maxCodeLength - length);
    }
    if (uint32_t(longest) != storedMax) return false;
    if (present == 1 && lengthOfOnly != 1) return false;
    if (present >= 2 && kraft != (1u << maxCodeLength)) return false;

    assignCodes(code);
    buildDecodeTables(code, entryOf);
    return true;
}

void releaseTables(HuffmanCode& code)
{
    code.tables.full.reset();
}

} // namespace qv5
