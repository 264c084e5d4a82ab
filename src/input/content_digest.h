#pragma once
// A second digest of a file's bytes, independent of CRC-32, that tells apart files of equal
// size and CRC-32 before duplicate detection compares them byte by byte.
//
// CRC-32 is linear and a fixed fast hash can be made to collide as easily, so the digest is
// keyed with random numbers drawn once per run: each 1 KiB block is summed as products of
// key-offset word pairs, (w0 + k0)(w1 + k1) + (w2 + k2)(w3 + k3) + ... modulo 2^128, and the
// block sums, then the length, become the coefficients of a polynomial evaluated at two
// random points modulo 2^61 - 1. For any two different contents fixed without knowledge of
// the key, the digests agree with probability below about 2^-60 per block, so no tree of
// files can be prepared to collide. A match is still only a candidate: the byte comparison
// decides.
#include <cstddef>
#include <cstdint>
#include <string>

namespace qv5 {

constexpr size_t digestBlockSize = 1024;
constexpr size_t digestBlockWords = digestBlockSize / 8;

// The random key of one run.
struct DigestKey {
    uint64_t blockKey[digestBlockWords]; // added to the words of every block, one per position
    uint64_t points[2];                  // evaluation points, 1 .. 2^61 - 2
};

// Two values below 2^61 - 1: 122 bits.
struct ContentDigest {
    uint64_t first = 0;
    uint64_t second = 0;
    bool operator==(const ContentDigest&) const = default;
};

// Digest of bytes arriving in pieces of any size; the pieces give the same digest however
// the bytes are split.
struct DigestState {
    const DigestKey* key = nullptr;
    uint64_t values[2] = {1, 1}; // the polynomial so far; its leading 1 makes the count of blocks matter
    uint64_t length = 0;
    size_t pending = 0; // bytes of an incomplete block held in partial
    uint8_t partial[digestBlockSize];
};

// A key from std::random_device.
DigestKey randomDigestKey();

void digestBegin(DigestState& state, const DigestKey& key);
void digestUpdate(DigestState& state, const uint8_t* data, size_t size);
ContentDigest digestEnd(DigestState& state);

ContentDigest digestOfBytes(const DigestKey& key, const uint8_t* data, size_t size);

// Digest of the whole file, read through buffer in steps of bufferSize. False when the file
// cannot be opened or read; *opened then tells which. Prints nothing.
bool digestFile(const std::string& path, const DigestKey& key, uint8_t* buffer, size_t bufferSize,
                ContentDigest& digest, bool* opened = nullptr);

} // namespace qv5
