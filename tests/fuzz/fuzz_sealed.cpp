// A sealed archive given as bytes: its header read with its costs bounded and opened with the
// passphrase "fuzz" (or a fixed secret key), then its payload's segments read by position in
// two orders, which must agree, and the plain archive inside listed and decoded through them.
// A header that does not open still has its payload read under a key that fits nothing: no
// segment may then give bytes. Seeds are sealed with that passphrase at a cheap cost.
#include "qv5/qv5.h"

#include "archive/sealed_archive.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t length = qv5::sealedHeaderLength(data, size);
    qv5::SealCost cost;
    qv5::StanzaKind kind = qv5::StanzaKind::passphrase;
    if (length == 0 || qv5::sealedHeaderCost(data, size, cost, kind) != qv5::SealStatus::ok) return 0;
    // Within the bounds, but more than a fuzzer can spend on one input.
    if (kind == qv5::StanzaKind::passphrase && (cost.memoryKiB > 256 || cost.passes > 2 || cost.lanes > 2)) return 0;
    qv5::Passphrase passphrase;
    passphrase.text = "fuzz";
    qv5::X25519Key identity;
    for (size_t i = 0; i < identity.size(); ++i) identity[i] = static_cast<uint8_t>(i + 1);
    qv5::OpenWith with;
    if (kind == qv5::StanzaKind::passphrase) {
        with.passphrase = &passphrase;
    } else {
        with.identity = &identity;
    }
    qv5::SealedPayload payload;
    const bool opened = qv5::openSealedHeader(data, length, with, payload.key) == qv5::SealStatus::ok;
    if (!opened) std::memset(payload.key.key, 7, sizeof payload.key.key);
    const uint8_t* sealed = data + length;
    const size_t sealedSize = size - length;
    payload.readSealed = [sealed, sealedSize](uint64_t at, uint8_t* bytes, size_t count, bool&) {
        const size_t take = at < sealedSize ? static_cast<size_t>(std::min<uint64_t>(count, sealedSize - at)) : 0;
        std::memcpy(bytes, sealed + at, take);
        return take;
    };
    qv5::openPayload(payload, sealedSize);
    if (payload.plainBytes > (uint64_t(1) << 24)) std::abort(); // never more than the input gives
    // Forward in pieces of 1,000 and backward in pieces of 70,000: what authenticates agrees.
    const size_t plainSize = static_cast<size_t>(payload.plainBytes);
    std::vector<uint8_t> forward(plainSize), backward(plainSize);
    std::vector<bool> good(plainSize, false);
    for (size_t at = 0; at < plainSize; at += 1000) {
        bool failed = false;
        const size_t want = std::min<size_t>(1000, plainSize - at);
        const size_t got = qv5::readPayload(payload, at, forward.data() + at, want, failed);
        if (got > want || (!failed && got != want)) std::abort();
        if (!opened && got > 0) std::abort(); // no bytes under a key that fits nothing
        for (size_t k = 0; k < got; ++k) good[at + k] = true;
    }
    for (size_t end = plainSize; end > 0;) {
        const size_t from = end > 70000 ? end - 70000 : 0;
        bool failed = false;
        const size_t got = qv5::readPayload(payload, from, backward.data() + from, end - from, failed);
        for (size_t k = 0; k < got; ++k) {
            if (good[from + k] && backward[from + k] != forward[from + k]) std::abort();
        }
        end = from;
    }
    if (!opened) return 0;
    // The plain archive through the same door the program reads it by.
    static FILE* identityFile = std::tmpfile();
    qv5::PositionedBytes source;
    source.size = payload.plainBytes;
    source.dataEnd = payload.plainBytes;
    source.read = [&payload](uint64_t offset, uint8_t* bytes, size_t count, bool& failed) {
        return qv5::readPayload(payload, offset, bytes, count, failed);
    };
    qv5::ArchivePtr archive = qv5::openArchive(identityFile, &source);
    std::vector<qv5::Entry> entries;
    if (qv5::readTable(*archive, qv5::TableCallbacks(), entries)) return 0;
    qv5::Extension extension;
    if (qv5::hasExtension(*archive) && !qv5::extensionFollowsStream(*archive)) qv5::readExtension(*archive, extension);
    qv5::readContents(*archive, entries, 2, qv5::ContentCallbacks());
    return 0;
}
