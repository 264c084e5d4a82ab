// The crypto primitives against the published test vectors of their standards.
#include "seal/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> hex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::vector<uint8_t> range(uint8_t from, size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(from + i);
    return bytes;
}

TEST(SealCrypto, ChaCha20Poly1305MatchesRfc8439)
{
    const std::string text = "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
                             "future, sunscreen would be it.";
    const std::vector<uint8_t> plain(text.begin(), text.end());
    const std::vector<uint8_t> key = range(0x80, 32);
    const std::vector<uint8_t> nonce = hex("070000004041424344454647");
    const std::vector<uint8_t> extra = hex("50515253c0c1c2c3c4c5c6c7");
    const std::vector<uint8_t> expected =
        hex("d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e06"
            "0b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d265"
            "86cec64b6116"
            "1ae10b594f09e26a7e902ecbd0600691");
    std::vector<uint8_t> sealed(plain.size() + qv5::aeadTagSize);
    ASSERT_TRUE(qv5::aeadSeal(key.data(), nonce.data(), extra.data(), extra.size(), plain.data(), plain.size(), sealed.data()));
    EXPECT_EQ(sealed, expected);
    std::vector<uint8_t> opened(plain.size());
    ASSERT_TRUE(qv5::aeadOpen(key.data(), nonce.data(), extra.data(), extra.size(), sealed.data(), plain.size(), opened.data()));
    EXPECT_EQ(opened, plain);
    // Any changed bit, in the ciphertext, the tag or the associated data, fails; nothing of the
    // plain text is left behind.
    for (size_t at : {size_t(0), plain.size() - 1, plain.size(), sealed.size() - 1}) {
        std::vector<uint8_t> altered = sealed;
        altered[at] ^= 0x01;
        EXPECT_FALSE(qv5::aeadOpen(key.data(), nonce.data(), extra.data(), extra.size(), altered.data(), plain.size(), opened.data()));
        EXPECT_EQ(opened, std::vector<uint8_t>(plain.size(), 0));
    }
    std::vector<uint8_t> otherExtra = extra;
    otherExtra[0] ^= 1;
    EXPECT_FALSE(qv5::aeadOpen(key.data(), nonce.data(), otherExtra.data(), otherExtra.size(), sealed.data(), plain.size(), opened.data()));
}

TEST(SealCrypto, X25519MatchesRfc7748)
{
    const std::vector<uint8_t> scalar = hex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
    const std::vector<uint8_t> point = hex("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c");
    std::vector<uint8_t> out(32);
    ASSERT_TRUE(qv5::x25519(scalar.data(), point.data(), out.data()));
    EXPECT_EQ(out, hex("c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"));

    const std::vector<uint8_t> alice = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const std::vector<uint8_t> bob = hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    std::vector<uint8_t> alicePublic(32), bobPublic(32), shared1(32), shared2(32);
    ASSERT_TRUE(qv5::x25519(alice.data(), nullptr, alicePublic.data()));
    ASSERT_TRUE(qv5::x25519(bob.data(), nullptr, bobPublic.data()));
    EXPECT_EQ(alicePublic, hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
    EXPECT_EQ(bobPublic, hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"));
    ASSERT_TRUE(qv5::x25519(alice.data(), bobPublic.data(), shared1.data()));
    ASSERT_TRUE(qv5::x25519(bob.data(), alicePublic.data(), shared2.data()));
    EXPECT_EQ(shared1, shared2);
    EXPECT_EQ(shared1, hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"));
    // A point of small order gives all zeros, which is refused.
    std::vector<uint8_t> zeroPoint(32, 0);
    EXPECT_FALSE(qv5::x25519(alice.data(), zeroPoint.data(), out.data()));
}

TEST(SealCrypto, HkdfMatchesRfc5869)
{
    const std::vector<uint8_t> keyMaterial(22, 0x0b);
    const std::vector<uint8_t> salt = range(0x00, 13);
    const std::vector<uint8_t> info = range(0xf0, 10);
    std::vector<uint8_t> out(42);
    ASSERT_TRUE(qv5::hkdfSha256(salt.data(), salt.size(), keyMaterial.data(), keyMaterial.size(), info.data(), info.size(),
                                out.data(), out.size()));
    EXPECT_EQ(out, hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
}

TEST(SealCrypto, Argon2idMatchesRfc9106)
{
    const std::vector<uint8_t> password(32, 0x01), salt(16, 0x02), secret(8, 0x03), associated(12, 0x04);
    std::vector<uint8_t> out(32);
    ASSERT_TRUE(qv5::argon2id(password.data(), password.size(), salt.data(), salt.size(), 3, 32, 4, out.data(), out.size(),
                              secret.data(), secret.size(), associated.data(), associated.size()));
    EXPECT_EQ(out, hex("0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659"));
}

TEST(SealCrypto, RandomBytesDifferAndWipeClears)
{
    std::vector<uint8_t> a(32), b(32);
    qv5::randomBytes(a.data(), a.size());
    qv5::randomBytes(b.data(), b.size());
    EXPECT_NE(a, b);
    qv5::wipe(a.data(), a.size());
    EXPECT_EQ(a, std::vector<uint8_t>(32, 0));
    EXPECT_TRUE(qv5::sameBytes(a.data(), a.data(), 32));
    EXPECT_FALSE(qv5::sameBytes(a.data(), b.data(), 32));
}

} // namespace
