#pragma once
// The sealed container: a clear header (magic, suite, key derivation parameters and salt, the
// stanzas that each wrap the random file key, a MAC over all of it keyed from the file key),
// then the plain archive encrypted in segments of 64 KiB, each authenticated on its own with
// a nonce of its number and a last-segment flag.
#include "seal/crypto.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qv5 {

constexpr uint8_t sealedMagic[8] = {0x89, 'Q', 'V', '5', 'S', '\r', '\n', 0x1A};
constexpr uint8_t sealSuite = 1; // Argon2id / X25519, HKDF-SHA256, ChaCha20-Poly1305 in 64 KiB segments
constexpr size_t sealPlainSegment = 65536;
constexpr size_t sealSegment = sealPlainSegment + aeadTagSize;
constexpr size_t sealFixedHead = 28;            // magic, suite, kind, stanza count, payload salt
constexpr size_t sealPassphraseStanza = 76;     // passes, memory, lanes, salt, wrapped key
constexpr size_t sealRecipientStanza = 80;      // ephemeral public key, wrapped key
constexpr size_t sealMaxRecipients = 64;
constexpr size_t sealMaxHeader = sealFixedHead + sealMaxRecipients * sealRecipientStanza + sha256Size;

enum class StanzaKind : uint8_t { passphrase = 1, recipients = 2 };

// The passphrase hash's cost. Bounded when read, so that a crafted header cannot ask for more
// memory or time than a reader would ever give.
struct SealCost {
    uint32_t passes = 0;
    uint32_t memoryKiB = 0;
    uint32_t lanes = 1;
};
constexpr SealCost defaultSealCost{3, 256u * 1024u, 1}; // about a second on a current machine
constexpr uint32_t sealMaxMemoryKiB = 4u * 1024u * 1024u; // 4 GiB
constexpr uint32_t sealMaxPasses = 64;
constexpr uint32_t sealMaxLanes = 16;
bool sealCostAllowed(const SealCost& cost);

using X25519Key = std::array<uint8_t, x25519Size>;

// A passphrase, wiped when it goes.
struct Passphrase {
    std::string text;
    Passphrase() = default;
    Passphrase(const Passphrase&) = delete;
    Passphrase& operator=(const Passphrase&) = delete;
    ~Passphrase() { wipe(text.data(), text.size()); }
};

// What a sealed archive is written for: a passphrase, or public keys.
struct SealFor {
    const Passphrase* passphrase = nullptr;
    std::vector<X25519Key> recipients;
    SealCost cost = defaultSealCost;
    // Fills bytes with the header's randomness (null: random); tests fix it.
    std::function<void(uint8_t* bytes, size_t count)> random;
};

// What a sealed archive is opened with.
struct OpenWith {
    const Passphrase* passphrase = nullptr;
    const X25519Key* identity = nullptr; // a secret key
};

// The keys a sealed archive's payload is read or written with; wiped when it goes.
struct PayloadKey {
    uint8_t key[aeadKeySize] = {};
    PayloadKey() = default;
    PayloadKey(const PayloadKey&) = delete;
    PayloadKey& operator=(const PayloadKey&) = delete;
    ~PayloadKey() { wipe(key, sizeof key); }
};

enum class SealStatus {
    ok,
    notSealed,   // the bytes do not begin with the sealed magic
    damaged,     // a header no writer makes (cut short, unknown suite, bad counts)
    tooCostly,   // its passphrase hash asks for more than is allowed
    wrongKey,    // no stanza opens with what was given, or the MAC does not match
    needPassphrase, // a passphrase archive opened without one
    needIdentity,   // a recipients archive opened without a secret key
    failed,      // the crypto library failed
};

// Whether the bytes begin with the sealed magic.
bool isSealed(const uint8_t* bytes, size_t count);

// Writes the header for a new sealed archive and derives its payload key.
SealStatus makeSealedHeader(const SealFor& sealFor, std::vector<uint8_t>& header, PayloadKey& payloadKey);

// The header's length from its first sealFixedHead bytes (0 when they are no sealed header).
size_t sealedHeaderLength(const uint8_t* bytes, size_t count);
// The passphrase cost a header asks for (checked against the bounds), or damaged.
SealStatus sealedHeaderCost(const uint8_t* header, size_t count, SealCost& cost, StanzaKind& kind);
// Opens a header (all sealedHeaderLength bytes) with a passphrase or a secret key.
SealStatus openSealedHeader(const uint8_t* header, size_t count, const OpenWith& with, PayloadKey& payloadKey);

// The public key of a secret key.
bool publicKeyOf(const X25519Key& secret, X25519Key& publicKey);
// A new secret key (clamped as X25519 wants).
void newSecretKey(X25519Key& secret);
// Key files: one line, a tag and the key in hex.
std::string secretKeyText(const X25519Key& secret);
std::string publicKeyText(const X25519Key& publicKey);
bool parseSecretKey(const std::string& text, X25519Key& secret);
bool parsePublicKey(const std::string& text, X25519Key& publicKey);

// Segments. A payload of n plain bytes is ceil(n / 64 KiB) segments (one when empty), each
// 16 bytes longer; the last one carries the flag.
void segmentNonce(uint64_t segment, bool last, uint8_t* nonce);
uint64_t sealedPayloadSize(uint64_t plainBytes);

// Takes the plain archive's bytes in order and writes them sealed. With holdFirst, the first
// segment stays in memory (its place filled) until finish, so that the plain archive's header
// can still be patched through rewrite; place then writes it at its offset from the payload's
// start.
struct SealingWriter {
    const uint8_t* key = nullptr;
    std::function<bool(const uint8_t* bytes, size_t count)> out;
    std::function<bool(uint64_t at, const uint8_t* bytes, size_t count)> place;
    bool holdFirst = false;
    std::vector<uint8_t> pending;  // plain bytes not sealed yet (at most one segment)
    std::vector<uint8_t> first;    // the held first segment's plain bytes
    bool firstFull = false;        // the first segment is complete and held
    uint64_t segment = 0;          // the number of the segment in pending
    uint64_t plainBytes = 0;
    std::vector<uint8_t> sealed;   // working space
};
bool sealBytes(SealingWriter& writer, const uint8_t* bytes, size_t count);
// Patches plain bytes at an offset that lies in the held first segment.
bool resealFirst(SealingWriter& writer, uint64_t at, const uint8_t* bytes, size_t count);
bool finishSealing(SealingWriter& writer);

// The plain bytes of a sealed archive's payload, read by position from any thread: each
// segment asked for is read, authenticated and decrypted (the last few kept). A segment that
// does not authenticate gives no bytes: the read fails.
struct SealedPayload {
    std::function<size_t(uint64_t at, uint8_t* bytes, size_t count, bool& failed)> readSealed; // the payload's bytes
    uint64_t sealedBytes = 0;
    uint64_t plainBytes = 0;  // from the last segment, when it authenticates
    uint64_t segments = 0;
    bool lastAuthentic = false;
    PayloadKey key;
    struct Cached {
        uint64_t segment = UINT64_MAX;
        std::shared_ptr<const std::vector<uint8_t>> plain; // shared with readers still copying from it
    };
    std::mutex mutex;
    std::vector<Cached> cache; // a few segments, replaced in turn
    size_t nextSlot = 0;
    uint64_t unauthentic = UINT64_MAX; // the first segment found not to authenticate
};
// Sets the payload's size and checks its last segment (a cut end is found at once).
void openPayload(SealedPayload& payload, uint64_t sealedBytes);
// Reads plain bytes; fewer only at the end. failed: a segment did not authenticate or its read
// failed.
size_t readPayload(SealedPayload& payload, uint64_t at, uint8_t* bytes, size_t count, bool& failed);

} // namespace qv5
