#include "seal/sealed_format.h"

#include <algorithm>
#include <cstring>

namespace qv5 {

namespace {

void putU16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void putU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t getU16(const uint8_t* p)
{
    return p[0] | (uint32_t(p[1]) << 8);
}
uint32_t getU32(const uint8_t* p)
{
    return p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

constexpr uint8_t zeroNonce[aeadNonceSize] = {};
constexpr char headerInfo[] = "qv5 sealed header";
constexpr char payloadInfo[] = "qv5 sealed payload";
constexpr char recipientInfo[] = "qv5 sealed recipient";

// The keys that come from the file key: the header's MAC key and the payload key, both bound
// to the header's payload salt.
bool deriveKeys(const uint8_t* fileKey, const uint8_t* payloadSalt, uint8_t* macKey, uint8_t* payloadKey)
{
    return hkdfSha256(payloadSalt, 16, fileKey, aeadKeySize, reinterpret_cast<const uint8_t*>(headerInfo),
                      sizeof headerInfo - 1, macKey, sha256Size) &&
           hkdfSha256(payloadSalt, 16, fileKey, aeadKeySize, reinterpret_cast<const uint8_t*>(payloadInfo),
                      sizeof payloadInfo - 1, payloadKey, aeadKeySize);
}

// The key that wraps the file key for one recipient: from the shared secret, bound to both
// public keys.
bool recipientWrapKey(const uint8_t* shared, const uint8_t* ephemeral, const uint8_t* recipient, uint8_t* wrapKey)
{
    uint8_t salt[2 * x25519Size];
    std::memcpy(salt, ephemeral, x25519Size);
    std::memcpy(salt + x25519Size, recipient, x25519Size);
    return hkdfSha256(salt, sizeof salt, shared, x25519Size, reinterpret_cast<const uint8_t*>(recipientInfo),
                      sizeof recipientInfo - 1, wrapKey, aeadKeySize);
}

struct Secret {
    uint8_t bytes[64] = {};
    ~Secret() { wipe(bytes, sizeof bytes); }
};

} // namespace

bool sealCostAllowed(const SealCost& cost)
{
    return cost.passes >= 1 && cost.passes <= sealMaxPasses && cost.lanes >= 1 && cost.lanes <= sealMaxLanes &&
           cost.memoryKiB >= 8 * cost.lanes && cost.memoryKiB <= sealMaxMemoryKiB;
}

bool isSealed(const uint8_t* bytes, size_t count)
{
    return count >= sizeof sealedMagic && std::memcmp(bytes, sealedMagic, sizeof sealedMagic) == 0;
}

SealStatus makeSealedHeader(const SealFor& sealFor, std::vector<uint8_t>& header, PayloadKey& payloadKey)
{
    const bool byPassphrase = sealFor.passphrase != nullptr;
    if (byPassphrase == !sealFor.recipients.empty()) return SealStatus::damaged; // one or the other
    if (sealFor.recipients.size() > sealMaxRecipients) return SealStatus::damaged;
    if (byPassphrase && !sealCostAllowed(sealFor.cost)) return SealStatus::tooCostly;
    if (!cryptoReady()) return SealStatus::failed;
    auto random = [&](uint8_t* bytes, size_t count) {
        if (sealFor.random) {
            sealFor.random(bytes, count);
        } else {
            randomBytes(bytes, count);
        }
    };
    Secret fileKey;
    random(fileKey.bytes, aeadKeySize);
    const size_t stanzas = byPassphrase ? 1 : sealFor.recipients.size();
    header.assign(sealFixedHead, 0);
    std::memcpy(header.data(), sealedMagic, sizeof sealedMagic);
    header[8] = sealSuite;
    header[9] = static_cast<uint8_t>(byPassphrase ? StanzaKind::passphrase : StanzaKind::recipients);
    putU16(header.data() + 10, static_cast<uint32_t>(stanzas));
    random(header.data() + 12, 16);
    Secret wrapKey;
    uint8_t wrapped[aeadKeySize + aeadTagSize];
    if (byPassphrase) {
        uint8_t stanza[sealPassphraseStanza - sizeof wrapped];
        putU32(stanza, sealFor.cost.passes);
        putU32(stanza + 4, sealFor.cost.memoryKiB);
        putU32(stanza + 8, sealFor.cost.lanes);
        random(stanza + 12, 16);
        const std::string& text = sealFor.passphrase->text;
        if (!argon2id(reinterpret_cast<const uint8_t*>(text.data()), text.size(), stanza + 12, 16,
                      sealFor.cost.passes, sealFor.cost.memoryKiB, sealFor.cost.lanes, wrapKey.bytes, aeadKeySize) ||
            !aeadSeal(wrapKey.bytes, zeroNonce, header.data(), sealFixedHead, fileKey.bytes, aeadKeySize, wrapped)) {
            return SealStatus::failed;
        }
        header.insert(header.end(), stanza, stanza + sizeof stanza);
        header.insert(header.end(), wrapped, wrapped + sizeof wrapped);
    } else {
        for (const X25519Key& recipient : sealFor.recipients) {
            Secret ephemeral;
            random(ephemeral.bytes, x25519Size);
            uint8_t ephemeralPublic[x25519Size];
            Secret shared;
            if (!x25519(ephemeral.bytes, nullptr, ephemeralPublic) ||
                !x25519(ephemeral.bytes, recipient.data(), shared.bytes) ||
                !recipientWrapKey(shared.bytes, ephemeralPublic, recipient.data(), wrapKey.bytes) ||
                !aeadSeal(wrapKey.bytes, zeroNonce, header.data(), sealFixedHead, fileKey.bytes, aeadKeySize,
                          wrapped)) {
                return SealStatus::failed;
            }
            header.insert(header.end(), ephemeralPublic, ephemeralPublic + x25519Size);
            header.insert(header.end(), wrapped, wrapped + sizeof wrapped);
        }
    }
    Secret macKey;
    if (!deriveKeys(fileKey.bytes, header.data() + 12, macKey.bytes, payloadKey.key)) return SealStatus::failed;
    uint8_t mac[sha256Size];
    hmacSha256(macKey.bytes, sha256Size, header.data(), header.size(), mac);
    header.insert(header.end(), mac, mac + sizeof mac);
    return SealStatus::ok;
}

size_t sealedHeaderLength(const uint8_t* bytes, size_t count)
{
    if (count < sealFixedHead || !isSealed(bytes, count) || bytes[8] != sealSuite) return 0;
    const uint32_t stanzas = getU16(bytes + 10);
    switch (static_cast<StanzaKind>(bytes[9])) {
    case StanzaKind::passphrase:
        return stanzas == 1 ? sealFixedHead + sealPassphraseStanza + sha256Size : 0;
    case StanzaKind::recipients:
        if (stanzas == 0 || stanzas > sealMaxRecipients) return 0;
        return sealFixedHead + stanzas * sealRecipientStanza + sha256Size;
    }
    return 0;
}

SealStatus sealedHeaderCost(const uint8_t* header, size_t count, SealCost& cost, StanzaKind& kind)
{
    if (!isSealed(header, count)) return SealStatus::notSealed;
    const size_t length = sealedHeaderLength(header, count);
    if (length == 0 || count < length) return SealStatus::damaged;
    kind = static_cast<StanzaKind>(header[9]);
    if (kind != StanzaKind::passphrase) return SealStatus::ok;
    const uint8_t* stanza = header + sealFixedHead;
    cost = SealCost{getU32(stanza), getU32(stanza + 4), getU32(stanza + 8)};
    return sealCostAllowed(cost) ? SealStatus::ok : SealStatus::tooCostly;
}

SealStatus openSealedHeader(const uint8_t* header, size_t count, const OpenWith& with, PayloadKey& payloadKey)
{
    SealCost cost;
    StanzaKind kind = StanzaKind::passphrase;
    if (SealStatus status = sealedHeaderCost(header, count, cost, kind); status != SealStatus::ok) return status;
    if (!cryptoReady()) return SealStatus::failed;
    const size_t length = sealedHeaderLength(header, count);
    const size_t stanzas = getU16(header + 10);
    Secret fileKey;
    Secret wrapKey;
    bool opened = false;
    if (kind == StanzaKind::passphrase) {
        if (!with.passphrase) return SealStatus::needPassphrase;
        const uint8_t* stanza = header + sealFixedHead;
        const std::string& text = with.passphrase->text;
        if (!argon2id(reinterpret_cast<const uint8_t*>(text.data()), text.size(), stanza + 12, 16, cost.passes,
                      cost.memoryKiB, cost.lanes, wrapKey.bytes, aeadKeySize)) {
            return SealStatus::failed;
        }
        opened = aeadOpen(wrapKey.bytes, zeroNonce, header, sealFixedHead, stanza + 28, aeadKeySize, fileKey.bytes);
    } else {
        if (!with.identity) return SealStatus::needIdentity;
        uint8_t recipient[x25519Size];
        if (!x25519(with.identity->data(), nullptr, recipient)) return SealStatus::failed;
        for (size_t i = 0; i < stanzas && !opened; ++i) {
            const uint8_t* stanza = header + sealFixedHead + i * sealRecipientStanza;
            Secret shared;
            if (!x25519(with.identity->data(), stanza, shared.bytes)) continue; // a small-order point
            if (!recipientWrapKey(shared.bytes, stanza, recipient, wrapKey.bytes)) return SealStatus::failed;
            opened = aeadOpen(wrapKey.bytes, zeroNonce, header, sealFixedHead, stanza + x25519Size, aeadKeySize,
                              fileKey.bytes);
        }
    }
    if (!opened) return SealStatus::wrongKey;
    Secret macKey;
    if (!deriveKeys(fileKey.bytes, header + 12, macKey.bytes, payloadKey.key)) return SealStatus::failed;
    uint8_t mac[sha256Size];
    hmacSha256(macKey.bytes, sha256Size, header, length - sha256Size, mac);
    // The MAC also commits the archive to this file key: a header altered anywhere, or a stanza
    // made to open with another key, fails here.
    if (!sameBytes(mac, header + length - sha256Size, sha256Size)) {
        wipe(payloadKey.key, sizeof payloadKey.key);
        return SealStatus::wrongKey;
    }
    return SealStatus::ok;
}

bool publicKeyOf(const X25519Key& secret, X25519Key& publicKey)
{
    return x25519(secret.data(), nullptr, publicKey.data());
}

void newSecretKey(X25519Key& secret)
{
    randomBytes(secret.data(), secret.size());
    secret[0] &= 248;
    secret[31] &= 127;
    secret[31] |= 64;
}

namespace {

constexpr char secretTag[] = "qv5-secret-key-";
constexpr char publicTag[] = "qv5-public-key-";

std::string keyText(const char* tag, const X25519Key& key)
{
    static const char digits[] = "0123456789abcdef";
    std::string text = tag;
    for (uint8_t byte : key) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    text += '\n';
    return text;
}

bool parseKey(const char* tag, const std::string& text, X25519Key& key)
{
    const size_t tagLength = std::strlen(tag);
    size_t end = text.find_first_of("\r\n");
    if (end == std::string::npos) end = text.size();
    if (end != tagLength + 2 * key.size() || text.compare(0, tagLength, tag) != 0) return false;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < key.size(); ++i) {
        const int high = digit(text[tagLength + 2 * i]);
        const int low = digit(text[tagLength + 2 * i + 1]);
        if (high < 0 || low < 0) return false;
        key[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

} // namespace

std::string secretKeyText(const X25519Key& secret)
{
    return keyText(secretTag, secret);
}
std::string publicKeyText(const X25519Key& publicKey)
{
    return keyText(publicTag, publicKey);
}
bool parseSecretKey(const std::string& text, X25519Key& secret)
{
    return parseKey(secretTag, text, secret);
}
bool parsePublicKey(const std::string& text, X25519Key& publicKey)
{
    return parseKey(publicTag, text, publicKey);
}

void segmentNonce(uint64_t segment, bool last, uint8_t* nonce)
{
    std::memset(nonce, 0, aeadNonceSize);
    for (int i = 0; i < 8; ++i) nonce[10 - i] = static_cast<uint8_t>(segment >> (8 * i));
    nonce[11] = last ? 1 : 0;
}

uint64_t sealedPayloadSize(uint64_t plainBytes)
{
    const uint64_t segments = plainBytes == 0 ? 1 : (plainBytes + sealPlainSegment - 1) / sealPlainSegment;
    return plainBytes + segments * aeadTagSize;
}

namespace {

bool sealOne(SealingWriter& writer, uint64_t segment, const std::vector<uint8_t>& plain, bool last,
                 bool toPlace)
{
    uint8_t nonce[aeadNonceSize];
    segmentNonce(segment, last, nonce);
    writer.sealed.resize(plain.size() + aeadTagSize);
    if (!aeadSeal(writer.key, nonce, nullptr, 0, plain.data(), plain.size(), writer.sealed.data())) return false;
    if (toPlace) return writer.place(0, writer.sealed.data(), writer.sealed.size());
    return writer.out(writer.sealed.data(), writer.sealed.size());
}

} // namespace

bool sealBytes(SealingWriter& writer, const uint8_t* bytes, size_t count)
{
    while (count > 0) {
        // A full segment is sealed only once a byte after it comes: then it is not the last.
        if (writer.pending.size() == sealPlainSegment) {
            if (writer.segment == 0 && writer.holdFirst) {
                writer.first.swap(writer.pending);
                writer.firstFull = true;
                // Its place, filled when the archive is done.
                std::vector<uint8_t> filler(sealSegment, 0);
                if (!writer.out(filler.data(), filler.size())) return false;
            } else if (!sealOne(writer, writer.segment, writer.pending, false, false)) {
                return false;
            }
            writer.pending.clear();
            ++writer.segment;
        }
        const size_t take = std::min(count, sealPlainSegment - writer.pending.size());
        writer.pending.insert(writer.pending.end(), bytes, bytes + take);
        bytes += take;
        count -= take;
        writer.plainBytes += take;
    }
    return true;
}

bool resealFirst(SealingWriter& writer, uint64_t at, const uint8_t* bytes, size_t count)
{
    std::vector<uint8_t>& first = writer.firstFull ? writer.first : writer.pending;
    if (!writer.holdFirst || (!writer.firstFull && writer.segment != 0) || at > first.size() ||
        first.size() - at < count) {
        return false;
    }
    std::memcpy(first.data() + at, bytes, count);
    return true;
}

bool finishSealing(SealingWriter& writer)
{
    if (!sealOne(writer, writer.segment, writer.pending, true, false)) return false;
    if (writer.firstFull) return sealOne(writer, 0, writer.first, false, true);
    return true;
}

void openPayload(SealedPayload& payload, uint64_t sealedBytes)
{
    payload.sealedBytes = sealedBytes;
    payload.cache.resize(8);
    payload.segments = sealedBytes == 0 ? 0 : (sealedBytes + sealSegment - 1) / sealSegment;
    if (payload.segments == 0) {
        payload.plainBytes = 0;
        return;
    }
    const uint64_t lastSealed = sealedBytes - (payload.segments - 1) * sealSegment;
    const uint64_t lastPlain = lastSealed > aeadTagSize ? lastSealed - aeadTagSize : 0;
    payload.plainBytes = (payload.segments - 1) * sealPlainSegment + lastPlain;
    uint8_t probe[1];
    bool failed = false;
    // Reading a byte of the last segment authenticates it, with its last-segment flag.
    if (payload.plainBytes > 0) readPayload(payload, payload.plainBytes - 1, probe, 1, failed);
    payload.lastAuthentic = payload.plainBytes > 0 && !failed;
}

namespace {

// The plain bytes of one segment, or false when it cannot be read or does not authenticate.
bool decryptSegment(SealedPayload& payload, uint64_t segment, std::vector<uint8_t>& plain)
{
    const uint64_t at = segment * sealSegment;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(sealSegment, payload.sealedBytes - at));
    if (length < aeadTagSize) return false;
    thread_local std::vector<uint8_t> sealed; // each reading thread's own, kept between segments
    sealed.resize(length);
    bool failed = false;
    if (payload.readSealed(at, sealed.data(), length, failed) != length || failed) return false;
    uint8_t nonce[aeadNonceSize];
    segmentNonce(segment, segment + 1 == payload.segments, nonce);
    plain.resize(length - aeadTagSize);
    if (!aeadOpen(payload.key.key, nonce, nullptr, 0, sealed.data(), plain.size(), plain.data())) {
        plain.clear();
        return false;
    }
    // A writer makes an empty last segment only for an empty payload.
    return !(plain.empty() && payload.segments > 1);
}

} // namespace

size_t readPayload(SealedPayload& payload, uint64_t at, uint8_t* bytes, size_t count, bool& failed)
{
    size_t done = 0;
    while (done < count && at < payload.plainBytes) {
        const uint64_t segment = at / sealPlainSegment;
        const size_t within = static_cast<size_t>(at % sealPlainSegment);
        std::shared_ptr<const std::vector<uint8_t>> plain;
        {
            std::lock_guard<std::mutex> lock(payload.mutex);
            for (const SealedPayload::Cached& cached : payload.cache) {
                if (cached.segment == segment) {
                    plain = cached.plain;
                    break;
                }
            }
        }
        if (!plain) {
            // Decrypted outside the lock, so that threads reading other segments go on.
            auto made = std::make_shared<std::vector<uint8_t>>();
            if (!decryptSegment(payload, segment, *made)) {
                failed = true;
                std::lock_guard<std::mutex> lock(payload.mutex);
                payload.unauthentic = std::min(payload.unauthentic, segment);
                return done;
            }
            plain = made;
            std::lock_guard<std::mutex> lock(payload.mutex);
            SealedPayload::Cached& slot = payload.cache[payload.nextSlot];
            payload.nextSlot = (payload.nextSlot + 1) % payload.cache.size();
            slot.segment = segment;
            slot.plain = plain;
        }
        if (within >= plain->size()) break;
        const size_t take = std::min(count - done, plain->size() - within);
        std::memcpy(bytes + done, plain->data() + within, take);
        done += take;
        at += take;
    }
    return done;
}

} // namespace qv5
