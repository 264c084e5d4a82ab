// The sealed container: headers open with the right passphrase or key only, their cost is
// bounded, and segments authenticate in place and only there.
#include "seal/sealed_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr qv5::SealCost cheap{1, 64, 1};

// Sealing with a passphrase at a token cost.
qv5::SealFor cheaplyWith(const qv5::Passphrase& passphrase)
{
    qv5::SealFor sealFor;
    sealFor.passphrase = &passphrase;
    sealFor.cost = cheap;
    return sealFor;
}

void counting(uint8_t* bytes, size_t count)
{
    static uint8_t next = 1;
    for (size_t i = 0; i < count; ++i) bytes[i] = next++;
}

TEST(SealedHeader, OpensWithItsPassphraseOnly)
{
    qv5::Passphrase right, wrong;
    right.text = "correct horse";
    wrong.text = "correct horsf";
    qv5::SealFor sealFor = cheaplyWith(right);
    std::vector<uint8_t> header;
    qv5::PayloadKey written;
    ASSERT_EQ(qv5::makeSealedHeader(sealFor, header, written), qv5::SealStatus::ok);
    ASSERT_EQ(qv5::sealedHeaderLength(header.data(), header.size()), header.size());
    qv5::PayloadKey read;
    EXPECT_EQ(qv5::openSealedHeader(header.data(), header.size(), qv5::OpenWith{&right, nullptr}, read), qv5::SealStatus::ok);
    EXPECT_EQ(std::memcmp(read.key, written.key, sizeof read.key), 0);
    EXPECT_EQ(qv5::openSealedHeader(header.data(), header.size(), qv5::OpenWith{&wrong, nullptr}, read),
              qv5::SealStatus::wrongKey);
    EXPECT_EQ(qv5::openSealedHeader(header.data(), header.size(), qv5::OpenWith{}, read), qv5::SealStatus::needPassphrase);
    // Every byte is checked: a changed magic, suite, count or cost is refused, any other fails
    // to open.
    for (size_t at = 0; at < header.size(); ++at) {
        std::vector<uint8_t> altered = header;
        altered[at] ^= 0x01;
        EXPECT_NE(qv5::openSealedHeader(altered.data(), altered.size(), qv5::OpenWith{&right, nullptr}, read),
                  qv5::SealStatus::ok)
            << at;
    }
}

TEST(SealedHeader, CostIsBoundedWhenRead)
{
    qv5::Passphrase passphrase;
    passphrase.text = "x";
    qv5::SealFor sealFor = cheaplyWith(passphrase);
    std::vector<uint8_t> header;
    qv5::PayloadKey key;
    ASSERT_EQ(qv5::makeSealedHeader(sealFor, header, key), qv5::SealStatus::ok);
    qv5::SealCost cost;
    qv5::StanzaKind kind;
    ASSERT_EQ(qv5::sealedHeaderCost(header.data(), header.size(), cost, kind), qv5::SealStatus::ok);
    EXPECT_EQ(cost.passes, 1u);
    EXPECT_EQ(cost.memoryKiB, 64u);
    // 1 TiB of memory (2^30 KiB), too many passes or lanes: refused before any work.
    const uint32_t oneTiB = 1u << 30;
    std::vector<uint8_t> costly = header;
    std::memcpy(costly.data() + qv5::sealFixedHead + 4, &oneTiB, 4);
    EXPECT_EQ(qv5::openSealedHeader(costly.data(), costly.size(), qv5::OpenWith{&passphrase, nullptr}, key),
              qv5::SealStatus::tooCostly);
    costly = header;
    costly[qv5::sealFixedHead] = 200;
    EXPECT_EQ(qv5::openSealedHeader(costly.data(), costly.size(), qv5::OpenWith{&passphrase, nullptr}, key),
              qv5::SealStatus::tooCostly);
    sealFor.cost.memoryKiB = oneTiB;
    EXPECT_EQ(qv5::makeSealedHeader(sealFor, header, key), qv5::SealStatus::tooCostly);
    // A header cut short is damaged, not opened.
    EXPECT_EQ(qv5::openSealedHeader(header.data(), 40, qv5::OpenWith{&passphrase, nullptr}, key), qv5::SealStatus::damaged);
}

TEST(SealedHeader, OpensWithEitherRecipientKey)
{
    qv5::X25519Key secret1, secret2, stranger, public1, public2;
    qv5::newSecretKey(secret1);
    qv5::newSecretKey(secret2);
    qv5::newSecretKey(stranger);
    ASSERT_TRUE(qv5::publicKeyOf(secret1, public1));
    ASSERT_TRUE(qv5::publicKeyOf(secret2, public2));
    qv5::SealFor sealFor;
    sealFor.recipients = {public1, public2};
    std::vector<uint8_t> header;
    qv5::PayloadKey written;
    ASSERT_EQ(qv5::makeSealedHeader(sealFor, header, written), qv5::SealStatus::ok);
    for (const qv5::X25519Key* identity : {&secret1, &secret2}) {
        qv5::PayloadKey read;
        ASSERT_EQ(qv5::openSealedHeader(header.data(), header.size(), qv5::OpenWith{nullptr, identity}, read),
                  qv5::SealStatus::ok);
        EXPECT_EQ(std::memcmp(read.key, written.key, sizeof read.key), 0);
    }
    qv5::PayloadKey read;
    EXPECT_EQ(qv5::openSealedHeader(header.data(), header.size(), qv5::OpenWith{nullptr, &stranger}, read),
              qv5::SealStatus::wrongKey);
    // Key files read back what they hold.
    qv5::X25519Key back;
    ASSERT_TRUE(qv5::parseSecretKey(qv5::secretKeyText(secret1), back));
    EXPECT_EQ(back, secret1);
    ASSERT_TRUE(qv5::parsePublicKey(qv5::publicKeyText(public1), back));
    EXPECT_EQ(back, public1);
    EXPECT_FALSE(qv5::parsePublicKey(qv5::secretKeyText(secret1), back));
}

TEST(SealedHeader, FixedRandomnessGivesTheSameBytes)
{
    qv5::Passphrase passphrase;
    passphrase.text = "p";
    std::vector<uint8_t> first, second;
    for (std::vector<uint8_t>* header : {&first, &second}) {
        uint8_t next = 7;
        qv5::SealFor sealFor = cheaplyWith(passphrase);
        sealFor.random = [&next](uint8_t* bytes, size_t count) {
            for (size_t i = 0; i < count; ++i) bytes[i] = next++;
        };
        qv5::PayloadKey key;
        ASSERT_EQ(qv5::makeSealedHeader(sealFor, *header, key), qv5::SealStatus::ok);
    }
    EXPECT_EQ(first, second);
}

// A payload sealed through the writer, with the first segment patched at the end as the
// archive writer does.
struct Sealed {
    std::vector<uint8_t> plain;
    std::vector<uint8_t> bytes;
    qv5::PayloadKey key;
};

void sealPayload(Sealed& sealed, size_t size)
{
    sealed.plain.resize(size);
    counting(sealed.plain.data(), size);
    qv5::randomBytes(sealed.key.key, sizeof sealed.key.key);
    qv5::SealingWriter writer;
    writer.key = sealed.key.key;
    writer.holdFirst = true;
    writer.out = [&](const uint8_t* bytes, size_t count) {
        sealed.bytes.insert(sealed.bytes.end(), bytes, bytes + count);
        return true;
    };
    writer.place = [&](uint64_t at, const uint8_t* bytes, size_t count) {
        std::memcpy(sealed.bytes.data() + at, bytes, count);
        return true;
    };
    std::vector<uint8_t> changing = sealed.plain;
    if (size > 30) changing[24] ^= 0xFF; // put right below
    for (size_t at = 0; at < size; at += 1000) {
        ASSERT_TRUE(qv5::sealBytes(writer, changing.data() + at, std::min<size_t>(1000, size - at)));
    }
    if (size > 30) {
        ASSERT_TRUE(qv5::resealFirst(writer, 24, sealed.plain.data() + 24, 1));
    }
    ASSERT_TRUE(qv5::finishSealing(writer));
    EXPECT_EQ(sealed.bytes.size(), qv5::sealedPayloadSize(size));
}

void openSealed(qv5::SealedPayload& payload, const std::vector<uint8_t>& bytes, const qv5::PayloadKey& key)
{
    std::memcpy(payload.key.key, key.key, sizeof key.key);
    payload.readSealed = [&bytes](uint64_t at, uint8_t* out, size_t count, bool&) {
        const size_t take = at < bytes.size() ? std::min<size_t>(count, bytes.size() - at) : 0;
        std::memcpy(out, bytes.data() + at, take);
        return take;
    };
    qv5::openPayload(payload, bytes.size());
}

TEST(SealedPayload, ReadsBackByPosition)
{
    for (size_t size : {size_t(1), size_t(65536), size_t(65537), size_t(3 * 65536 + 5)}) {
        Sealed sealed;
        sealPayload(sealed, size);
        qv5::SealedPayload payload;
        openSealed(payload, sealed.bytes, sealed.key);
        ASSERT_TRUE(payload.lastAuthentic) << size;
        ASSERT_EQ(payload.plainBytes, size);
        // Backwards, across segment edges.
        std::vector<uint8_t> back(size);
        for (size_t end = size; end > 0;) {
            const size_t from = end > 40000 ? end - 40000 : 0;
            bool failed = false;
            ASSERT_EQ(qv5::readPayload(payload, from, back.data() + from, end - from, failed), end - from);
            ASSERT_FALSE(failed);
            end = from;
        }
        EXPECT_EQ(back, sealed.plain) << size;
    }
}

TEST(SealedPayload, DamageFailsTheSegmentsItTouches)
{
    Sealed sealed;
    sealPayload(sealed, 4 * 65536 + 100);
    auto readsSegment = [](qv5::SealedPayload& payload, uint64_t segment) {
        std::vector<uint8_t> out(10);
        bool failed = false;
        const size_t got = qv5::readPayload(payload, segment * 65536, out.data(), out.size(), failed);
        return got == out.size() && !failed;
    };
    {   // a flipped byte: that segment only
        std::vector<uint8_t> bytes = sealed.bytes;
        bytes[qv5::sealSegment + 5] ^= 1;
        qv5::SealedPayload payload;
        openSealed(payload, bytes, sealed.key);
        EXPECT_TRUE(readsSegment(payload, 0));
        EXPECT_FALSE(readsSegment(payload, 1));
        EXPECT_TRUE(readsSegment(payload, 2));
        EXPECT_TRUE(payload.lastAuthentic);
    }
    {   // two segments swapped: both
        std::vector<uint8_t> bytes = sealed.bytes;
        std::swap_ranges(bytes.begin() + qv5::sealSegment, bytes.begin() + 2 * qv5::sealSegment,
                         bytes.begin() + 2 * qv5::sealSegment);
        qv5::SealedPayload payload;
        openSealed(payload, bytes, sealed.key);
        EXPECT_TRUE(readsSegment(payload, 0));
        EXPECT_FALSE(readsSegment(payload, 1));
        EXPECT_FALSE(readsSegment(payload, 2));
        EXPECT_TRUE(readsSegment(payload, 3));
    }
    {   // a segment removed: those after it
        std::vector<uint8_t> bytes = sealed.bytes;
        bytes.erase(bytes.begin() + qv5::sealSegment, bytes.begin() + 2 * qv5::sealSegment);
        qv5::SealedPayload payload;
        openSealed(payload, bytes, sealed.key);
        EXPECT_TRUE(readsSegment(payload, 0));
        EXPECT_FALSE(readsSegment(payload, 1));
        EXPECT_FALSE(payload.lastAuthentic);
    }
    {   // cut at a segment's edge or inside one: the end is not the last segment
        for (size_t cut : {size_t(4 * qv5::sealSegment), size_t(3 * qv5::sealSegment + 100)}) {
            std::vector<uint8_t> bytes(sealed.bytes.begin(), sealed.bytes.begin() + cut);
            qv5::SealedPayload payload;
            openSealed(payload, bytes, sealed.key);
            EXPECT_TRUE(readsSegment(payload, 0));
            EXPECT_FALSE(payload.lastAuthentic) << cut;
        }
    }
    {   // another key reads nothing
        qv5::PayloadKey other;
        qv5::SealedPayload payload;
        openSealed(payload, sealed.bytes, other);
        EXPECT_FALSE(readsSegment(payload, 0));
    }
}

} // namespace
