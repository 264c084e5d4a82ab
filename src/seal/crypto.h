#pragma once
// The primitives sealed archives are built from, each taken from the crypto library: an AEAD
// (ChaCha20-Poly1305), a passphrase hash (Argon2id), a key agreement (X25519), HMAC-SHA256 and
// HKDF from it, random bytes and wiping. Both builds go through this one file.
#include <cstddef>
#include <cstdint>

namespace qv5 {

constexpr size_t aeadKeySize = 32;
constexpr size_t aeadNonceSize = 12;
constexpr size_t aeadTagSize = 16;
constexpr size_t x25519Size = 32;
constexpr size_t sha256Size = 32;

// Readies the library once (any thread may call it first); false when it cannot be used.
bool cryptoReady();

// out receives count bytes of ciphertext followed by the tag (count + aeadTagSize bytes).
bool aeadSeal(const uint8_t* key, const uint8_t* nonce, const uint8_t* extra, size_t extraCount, const uint8_t* plain,
              size_t count, uint8_t* out);
// sealed holds count bytes of ciphertext and then the tag; out receives count bytes, which
// are to be used only when this returns true (the tag matched).
bool aeadOpen(const uint8_t* key, const uint8_t* nonce, const uint8_t* extra, size_t extraCount, const uint8_t* sealed,
              size_t count, uint8_t* out);

// Argon2id (version 0x13) with an optional secret and associated data.
bool argon2id(const uint8_t* password, size_t passwordCount, const uint8_t* salt, size_t saltCount, uint32_t passes,
              uint32_t memoryKiB, uint32_t lanes, uint8_t* out, size_t outCount, const uint8_t* secret = nullptr,
              size_t secretCount = 0, const uint8_t* associated = nullptr, size_t associatedCount = 0);

// X25519: scalar times point (point null: the base point). False for a result of all zeros
// (a point of small order), which no honest peer sends.
bool x25519(const uint8_t* scalar, const uint8_t* point, uint8_t* out);

void hmacSha256(const uint8_t* key, size_t keyCount, const uint8_t* data, size_t count, uint8_t* out);
// HKDF with SHA-256: extract with salt, expand with info to outCount bytes (at most 255 * 32).
bool hkdfSha256(const uint8_t* salt, size_t saltCount, const uint8_t* keyMaterial, size_t keyCount, const uint8_t* info,
                size_t infoCount, uint8_t* out, size_t outCount);

// Unpredictable bytes for keys and salts.
void randomBytes(uint8_t* out, size_t count);
// Overwrites secrets in a way the compiler cannot drop.
void wipe(void* bytes, size_t count);
// Compares in time that does not depend on where the first difference is.
bool sameBytes(const uint8_t* a, const uint8_t* b, size_t count);

} // namespace qv5
