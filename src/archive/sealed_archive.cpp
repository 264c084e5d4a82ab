#include "archive/sealed_archive.h"

#include "archive/archive_reader.h"
#include "platform/platform.h"

#include <cstring>
#include <functional>

namespace qv5 {

namespace {

size_t readAt(FILE* file, const RepairedView* repaired, uint64_t at, uint8_t* bytes, size_t count, bool& failed)
{
    return repaired ? readRepaired(*repaired, file, at, bytes, count, failed)
                    : readFileAt(file, at, bytes, count, failed);
}

// A sealed archive's plain bytes as the one source the reader reads; a segment that does not
// authenticate is named in the damage it causes.
void readThrough(PositionedBytes& source, std::function<size_t(uint64_t, uint8_t*, size_t, bool&)> read)
{
    static const char* const unauthentic = "a sealed segment failed authentication";
    source.read = std::move(read);
    source.refusal = [] { return std::string(unauthentic); };
    source.failedRead = unauthentic;
}

} // namespace

bool startsSealed(FILE* file, const RepairedView* repaired)
{
    const int64_t at = tellFile(file);
    if (at < 0) return false;
    uint8_t magic[sizeof sealedMagic];
    bool failed = false;
    const bool read = readAt(file, repaired, static_cast<uint64_t>(at), magic, sizeof magic, failed) == sizeof magic;
    seekFile(file, at, SEEK_SET); // a read by position may move the file's position (Windows)
    return read && !failed && isSealed(magic, sizeof magic);
}

SealStatus readSealedHeader(SealedReading& reading, FILE* file, SealCost& cost, StanzaKind& kind)
{
    reading.file = file;
    reading.start = tellFile(file);
    if (reading.start < 0) return SealStatus::notSealed;
    const uint64_t at = static_cast<uint64_t>(reading.start);
    uint8_t head[sealFixedHead];
    bool failed = false;
    const size_t got = readAt(file, reading.repaired, at, head, sizeof head, failed);
    seekFile(file, reading.start, SEEK_SET);
    if (!isSealed(head, got)) return SealStatus::notSealed;
    const size_t length = sealedHeaderLength(head, got);
    if (length == 0) return SealStatus::damaged;
    reading.header.resize(length);
    const bool read = readAt(file, reading.repaired, at, reading.header.data(), length, failed) == length && !failed;
    seekFile(file, reading.start, SEEK_SET);
    if (!read) return SealStatus::damaged;
    return sealedHeaderCost(reading.header.data(), length, cost, kind);
}

SealStatus openSealedPayload(SealedReading& reading, const OpenWith& with)
{
    const SealStatus status =
        openSealedHeader(reading.header.data(), reading.header.size(), with, reading.payload.key);
    if (status != SealStatus::ok) return status;
    int64_t size = 0;
    const uint64_t payloadStart = static_cast<uint64_t>(reading.start) + reading.header.size();
    if (!sizeOfFile(reading.file, size)) return SealStatus::damaged;
    if (reading.end > 0) size = static_cast<int64_t>(reading.end);
    if (static_cast<uint64_t>(size) < payloadStart) return SealStatus::damaged;
    FILE* file = reading.file;
    const RepairedView* repaired = reading.repaired;
    reading.payload.readSealed = [file, payloadStart, repaired](uint64_t at, uint8_t* bytes, size_t count,
                                                                bool& failed) {
        return readAt(file, repaired, payloadStart + at, bytes, count, failed);
    };
    openPayload(reading.payload, static_cast<uint64_t>(size) - payloadStart);
    SealedPayload* payload = &reading.payload;
    reading.source.size = payload->plainBytes;
    reading.source.dataEnd = payload->plainBytes;
    readThrough(reading.source, [payload](uint64_t offset, uint8_t* bytes, size_t count, bool& failed) {
        return readPayload(*payload, offset, bytes, count, failed);
    });
    return SealStatus::ok;
}

SealStatus readSealedHeaderFromPipe(SealedReading& reading, FILE* file, SealCost& cost, StanzaKind& kind)
{
    reading.file = file;
    uint8_t head[sealFixedHead];
    const size_t got = std::fread(head, 1, sizeof head, file);
    if (!isSealed(head, got)) return SealStatus::notSealed;
    const size_t length = sealedHeaderLength(head, got);
    if (length == 0) return SealStatus::damaged;
    reading.header.assign(head, head + got);
    reading.header.resize(length);
    if (std::fread(reading.header.data() + got, 1, length - got, file) != length - got) return SealStatus::damaged;
    return sealedHeaderCost(reading.header.data(), length, cost, kind);
}

namespace {

// Reads the next segment's sealed bytes (fewer at the end of the pipe).
void readSealedSegment(FILE* file, std::vector<uint8_t>& sealed)
{
    sealed.resize(sealSegment);
    sealed.resize(std::fread(sealed.data(), 1, sealed.size(), file));
}

// Loads the segment the pipe stands at; false when it does not authenticate (or is missing).
bool loadPipeSegment(SealedPipe& pipe)
{
    std::vector<uint8_t>& sealed = pipe.sealed; // kept, as the one read ahead, so no segment allocates
    if (pipe.aheadRead) {
        sealed.swap(pipe.ahead);
    } else {
        readSealedSegment(pipe.file, sealed);
    }
    // Full: the next one decides whether this is the last.
    pipe.aheadRead = sealed.size() == sealSegment;
    if (pipe.aheadRead) readSealedSegment(pipe.file, pipe.ahead);
    pipe.last = !pipe.aheadRead || pipe.ahead.empty();
    if (sealed.size() < aeadTagSize) return false;
    uint8_t nonce[aeadNonceSize];
    segmentNonce(pipe.segment, pipe.last, nonce);
    pipe.plain.resize(sealed.size() - aeadTagSize);
    if (!aeadOpen(pipe.key->key, nonce, nullptr, 0, sealed.data(), pipe.plain.size(), pipe.plain.data())) return false;
    return !(pipe.plain.empty() && pipe.segment > 0);
}

size_t readPipe(SealedPipe& pipe, uint64_t at, uint8_t* bytes, size_t count, bool& failed)
{
    size_t done = 0;
    while (done < count) {
        if (pipe.broken) {
            failed = true;
            return done;
        }
        if (!pipe.loaded) {
            if (!loadPipeSegment(pipe)) {
                pipe.broken = true;
                continue;
            }
            pipe.loaded = true;
        }
        if (at < pipe.plainStart) { // behind: a pipe is read once
            failed = true;
            return done;
        }
        const uint64_t end = pipe.plainStart + pipe.plain.size();
        if (at >= end) {
            if (pipe.last) return done;
            pipe.plainStart = end;
            ++pipe.segment;
            pipe.loaded = false;
            continue;
        }
        const size_t take = static_cast<size_t>(std::min<uint64_t>(count - done, end - at));
        std::memcpy(bytes + done, pipe.plain.data() + (at - pipe.plainStart), take);
        done += take;
        at += take;
    }
    return done;
}

} // namespace

SealStatus openSealedPipe(SealedReading& reading, const OpenWith& with)
{
    const SealStatus status =
        openSealedHeader(reading.header.data(), reading.header.size(), with, reading.payload.key);
    if (status != SealStatus::ok) return status;
    SealedPipe* pipe = &reading.pipe;
    pipe->file = reading.file;
    pipe->key = &reading.payload.key;
    reading.source.size = UINT64_MAX; // unknown until the end
    reading.source.dataEnd = UINT64_MAX;
    reading.source.inOrder = true;
    readThrough(reading.source, [pipe](uint64_t offset, uint8_t* bytes, size_t count, bool& failed) {
        return readPipe(*pipe, offset, bytes, count, failed);
    });
    return SealStatus::ok;
}

bool isSealedArchive(FILE* file)
{
    return startsSealed(file);
}

Error openSealedArchive(FILE* file, const SealKeys& keys, ArchivePtr& archive, const RepairedView* repaired,
                        uint64_t end)
{
    archive.reset();
    std::unique_ptr<SealedReading> reading(new SealedReading);
    reading->repaired = repaired;
    reading->end = end;
    SealCost cost;
    StanzaKind kind = StanzaKind::passphrase;
    switch (readSealedHeader(*reading, file, cost, kind)) {
    case SealStatus::ok:
        break;
    case SealStatus::notSealed:
        return Error(ErrorCode::notAnArchive);
    case SealStatus::tooCostly:
        return Error(ErrorCode::sealCost);
    default:
        return Error(ErrorCode::damagedArchive, "", "sealed header");
    }
    Passphrase passphrase;
    passphrase.text = keys.passphrase;
    OpenWith with;
    if (kind == StanzaKind::passphrase && !passphrase.text.empty()) with.passphrase = &passphrase;
    if (kind == StanzaKind::recipients && keys.hasIdentity) with.identity = &keys.identity;
    switch (openSealedPayload(*reading, with)) {
    case SealStatus::ok:
        break;
    case SealStatus::wrongKey:
        return Error(ErrorCode::wrongKey);
    case SealStatus::needPassphrase:
        // A secret key given for a passphrase archive is as wrong as a wrong passphrase.
        return keys.hasIdentity ? Error(ErrorCode::wrongKey) : Error(ErrorCode::sealKeyMissing, "", "passphrase");
    case SealStatus::needIdentity:
        return keys.passphrase.empty() ? Error(ErrorCode::sealKeyMissing) : Error(ErrorCode::wrongKey);
    default:
        return Error(ErrorCode::damagedArchive, "", "sealed header");
    }
    archive = openArchive(file, &reading->source);
    archive->sealed = std::move(reading);
    return Error();
}

} // namespace qv5
