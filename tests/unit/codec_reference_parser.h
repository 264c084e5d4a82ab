#pragma once
// A second, deliberately plain implementation of the match finder's rules, written for the
// tests: no shortcuts, byte-by-byte lengths, every look-ahead search run in full. The real
// match finder must emit the same words and leave the same history and adaptive state.
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/match_finder.h"

namespace qv5::test {

struct ReferenceParser {
    struct Record {
        std::vector<int32_t> positions = std::vector<int32_t>(4096, -1);
        uint32_t ringIndex = 0;
        std::vector<uint16_t> head = std::vector<uint16_t>(4096, 0xFFFF);
        std::vector<uint16_t> link = std::vector<uint16_t>(4096, 0xFFFF);
    };
    std::vector<Record> records = std::vector<Record>(256);
    const uint8_t* chunk = nullptr;
    int32_t length = 0;

    void startChunk(const uint8_t* bytes, int32_t size)
    {
        records.assign(256, Record{});
        chunk = bytes;
        length = size;
    }

    uint32_t hash(int32_t p) const
    {
        uint32_t v = uint32_t(chunk[p]) | uint32_t(chunk[p + 1]) << 8 | uint32_t(chunk[p + 2]) << 16 |
                     uint32_t(chunk[p + 3]) << 24;
        return ((v * 0x9E3779B1u) >> 20) ^ chunk[p];
    }
    Record& recordOf(int32_t p) { return records[p == 0 ? 0 : chunk[p - 1]]; }

    void enter(int32_t p)
    {
        Record& r = recordOf(p);
        uint32_t b = hash(p);
        r.link[r.ringIndex] = r.head[b];
        r.head[b] = uint16_t(r.ringIndex);
        r.positions[r.ringIndex] = p;
        r.ringIndex = (r.ringIndex + 1) % 4096;
    }

    struct Found {
        int32_t length, distance;
    };

    Found walk(int32_t p, int32_t depth, int32_t* dist)
    {
        Record& r = recordOf(p);
        int32_t best = 3, distance = 0;
        uint32_t s = r.head[hash(p)];
        if (s == 0xFFFF || depth == 0) return {0, 0};
        int32_t examined = 0;
        for (;;) {
            int32_t q = r.positions[s];
            if (q == 0) break;
            if (chunk[q + best] == chunk[p + best] && std::memcmp(chunk + q, chunk + p, 4) == 0) {
                int32_t n = 0;
                while (n < 2040 && p + n < length && chunk[q + n] == chunk[p + n]) ++n;
                if (n > best) {
                    int32_t d = int32_t((r.ringIndex + 4096 - s) % 4096);
                    if (dist)
                        for (int32_t k = best + 1; k <= n; ++k) dist[k] = d;
                    best = n;
                    distance = d;
                }
            }
            ++examined;
            uint32_t next = r.link[s];
            if (next == 0xFFFF || r.positions[next] >= q || examined == depth) break;
            s = next;
        }
        return best >= 4 ? Found{best, distance} : Found{0, 0};
    }

    int32_t score(int32_t p, int32_t depth)
    {
        Found f = walk(p, depth, nullptr);
        return f.length >= 4 ? f.length * 4096 - f.distance : 12281;
    }

    // Returns {consumed, words}.
    std::pair<int32_t, int32_t> parseBlock(int32_t start, uint16_t* tokens, int32_t level, AdaptiveState& s)
    {
        static const int32_t chainDepth[6] = {4, 8, 24, 64, 128, 4096};
        static const int32_t lookAhead[6] = {0, 2, 4, 4, 4, 4096};
        int32_t c = start, words = 0;
        for (int32_t i = 0; i < 2 && c < length; ++i, ++c) {
            enter(c);
            tokens[words++] = chunk[c];
        }
        std::vector<int32_t> dist(2041, -1);
        while (c < length && words < 262140) {
            int32_t t = 0, e = 0;
            s.skipCount += 1;
            if (s.skipCount >= s.skipInterval) {
                s.skipCount = 0;
                Found f = walk(c, chainDepth[level], dist.data());
                t = f.length;
                e = f.distance;
                if (t < 4) {
                    if (++s.missCount == 256) {
                        s.skipInterval = s.skipInterval == 0 ? 1 : std::min(2 * s.skipInterval, 1024);
                        s.missCount = 0;
                    }
                } else {
                    s.skipInterval /= 2;
                    s.missCount = 0;
                }
            }
            if (lookAhead[level] != 0 && t >= 4 && t <= 127) {
                if (level <= 3) {
                    for (int32_t j = 1; j <= 2; ++j)
                        if (walk(c + j, lookAhead[level], nullptr).length > t + j) {
                            t = 0;
                            break;
                        }
                } else {
                    int32_t best = t * 4096 - e + score(c + t, lookAhead[level]);
                    int32_t chosen = t, chosenDistance = e;
                    for (int32_t k = t; k >= 1; --k) {
                        int32_t first = k >= 4 ? k * 4096 - dist[k] : 12281;
                        int32_t total = first + score(c + k, lookAhead[level]);
                        if (total > best) {
                            best = total;
                            chosen = k;
                            chosenDistance = dist[k];
                        }
                    }
                    t = chosen >= 4 ? chosen : 0;
                    e = chosenDistance;
                }
            }
            enter(c);
            if (t >= 4) {
                tokens[words++] = uint16_t(t + 252);
                tokens[words++] = uint16_t(e);
                c += t;
            } else {
                tokens[words++] = chunk[c];
                c += 1;
            }
        }
        if (words >= 262140)
            for (; words < 262144 && c < length; ++c) {
                enter(c);
                tokens[words++] = chunk[c];
            }
        return {c - start, words};
    }
};

} // namespace qv5::test
