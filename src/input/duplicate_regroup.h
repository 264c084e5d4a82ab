#pragma once
// The regrouping step of findDuplicates with the digest and the content comparison as
// parameters, so that the tests can run it on entries with made-up contents.
#include "input/content_digest.h"
#include "input/duplicates.h"
#include "input/input_records.h"

#include <cassert>
#include <cstdint>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qv5::detail {

// The hash of two words: the first spread by a multiply, the second mixed in, the high bits
// folded down for tables that use the low ones.
inline size_t hashPair(uint64_t first, uint64_t second)
{
    uint64_t x = first * 0x9E3779B97F4A7C15ull ^ second;
    return static_cast<size_t>(x ^ (x >> 31));
}

struct SizeCrcKey {
    int64_t size;
    uint32_t crc;
    bool operator==(const SizeCrcKey&) const = default;
};

struct SizeCrcHash {
    size_t operator()(const SizeCrcKey& key) const { return hashPair(static_cast<uint64_t>(key.size), key.crc); }
};

// A (size, crc) class, split by content digest.
struct ClassDigestKey {
    uint32_t sizeCrcClass;
    ContentDigest digest;
    bool operator==(const ClassDigestKey&) const = default;
};

struct ClassDigestHash {
    size_t operator()(const ClassDigestKey& key) const
    {
        return hashPair(key.digest.first ^ key.sizeCrcClass, key.digest.second);
    }
};

// Gives the array that the plain double loop
//
//   for i = 0 .. n-2, for j = i+1 .. n-1:
//     if size and crc of j equal those of i and j has the same content as i:
//       mark j; if j != i+1, exchange the entries at i+1 and j; count it; go to the next i
//
// gives, with the same content comparisons in the same order, except those that the
// digests show to be different, and so without visiting pairs of different size, CRC-32 or
// digest. Equal contents have equal digests, so the j found for every i stays the same.
//
// Entries are grouped by (size, crc, digest); only entries that share size and CRC-32 with
// another are digested. For every group of two or more entries an ordered set holds the
// positions its members occupy at or after the current i; the candidates of entry i are the
// later positions of its own group, in ascending order. The exchanges update the sets of
// both entries involved. Entries alone in their group are never compared and only move when
// an exchange moves them.
//
// digestOf(entry) gives a std::optional<ContentDigest>, empty when the file could not be
// read. A class of equal size and CRC-32 with such a member is not split by digest: its
// comparisons are exactly those of the plain loop, so whether, where and with which message
// a failure ends the run stays the same too.
//
// same(entryI, entryJ) returns a ContentMatch; the first failure ends the run with -1.
// Otherwise the result is the number of entries marked.
template <class DigestOf, class Same>
int64_t regroupDuplicates(std::vector<FileEntry>& entries, DigestOf&& digestOf, Same&& same)
{
    const size_t n = entries.size();
    constexpr uint32_t alone = UINT32_MAX; // the group of an entry no other entry matches

    // groupAt[p] is the group of the entry at position p; it moves with the entry.
    std::vector<uint32_t> groupAt(n);
    size_t groupCount = 0;
    {
        // First the classes of equal size and CRC-32, in groupAt.
        std::unordered_map<SizeCrcKey, uint32_t, SizeCrcHash> classOfKey;
        classOfKey.reserve(n);
        for (size_t p = 0; p < n; ++p) {
            auto [it, added] = classOfKey.try_emplace(SizeCrcKey{entries[p].size, entries[p].crc},
                                                      static_cast<uint32_t>(classOfKey.size()));
            groupAt[p] = it->second;
        }
        std::vector<uint32_t> classMembers(classOfKey.size(), 0);
        for (uint32_t c : groupAt) ++classMembers[c];
        // Then the digests of the members of shared classes: one read of just those files.
        std::vector<ContentDigest> digests(n);
        std::vector<uint8_t> unreadable(classOfKey.size(), 0);
        for (size_t p = 0; p < n; ++p) {
            if (classMembers[groupAt[p]] < 2) continue;
            if (auto digest = digestOf(entries[p])) {
                digests[p] = *digest;
            } else {
                unreadable[groupAt[p]] = 1;
            }
        }
        // The groups: classes split by digest, where every member could be read.
        std::unordered_map<ClassDigestKey, uint32_t, ClassDigestHash> groupOfKey;
        for (size_t p = 0; p < n; ++p) {
            const uint32_t c = groupAt[p];
            if (classMembers[c] < 2) {
                groupAt[p] = alone;
                continue;
            }
            auto [it, added] = groupOfKey.try_emplace(ClassDigestKey{c, unreadable[c] ? ContentDigest{} : digests[p]},
                                                      static_cast<uint32_t>(groupOfKey.size()));
            groupAt[p] = it->second;
        }
        // Only groups of two or more members take part; they are numbered densely.
        std::vector<uint32_t> members(groupOfKey.size(), 0);
        for (uint32_t g : groupAt) {
            if (g != alone) ++members[g];
        }
        std::vector<uint32_t> dense(groupOfKey.size(), alone);
        for (uint32_t& g : groupAt) {
            if (g == alone) continue;
            if (members[g] < 2) {
                g = alone;
                continue;
            }
            if (dense[g] == alone) dense[g] = static_cast<uint32_t>(groupCount++);
            g = dense[g];
        }
    }
    std::vector<std::set<uint32_t>> positions(groupCount);
    for (size_t p = 0; p < n; ++p) {
        if (groupAt[p] != alone) positions[groupAt[p]].insert(positions[groupAt[p]].end(), static_cast<uint32_t>(p));
    }

    int64_t count = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        const uint32_t g = groupAt[i];
        if (g == alone) continue;
        std::set<uint32_t>& later = positions[g];
        [[maybe_unused]] size_t removed = later.erase(static_cast<uint32_t>(i)); // always its first
        assert(removed == 1);
        for (auto it = later.begin(); it != later.end(); ++it) {
            const size_t j = *it;
            const ContentMatch match = same(entries[i], entries[j]);
            if (match == ContentMatch::failed) return -1;
            if (match != ContentMatch::same) continue;
            entries[j].duplicate = 1;
            if (j != i + 1) {
                const uint32_t moved = groupAt[i + 1];
                std::swap(entries[i + 1], entries[j]);
                std::swap(groupAt[i + 1], groupAt[j]);
                // When the entry that made way belongs to the same group, both positions
                // still hold members and the set stays as it is.
                if (moved != g) {
                    later.erase(it);
                    later.insert(later.begin(), static_cast<uint32_t>(i + 1));
                    if (moved != alone) {
                        positions[moved].erase(static_cast<uint32_t>(i + 1));
                        positions[moved].insert(static_cast<uint32_t>(j));
                    }
                }
            }
            ++count;
            break;
        }
    }
    return count;
}

} // namespace qv5::detail
