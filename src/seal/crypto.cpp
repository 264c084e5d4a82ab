#include "seal/crypto.h"

#include <gcrypt.h>

#include <cstring>
#include <mutex>

namespace qv5 {

bool cryptoReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        if (!gcry_check_version("1.10.0")) return;
        // Locked memory is not needed: secrets live briefly and are wiped by us; asking for it
        // would fail where locking is not allowed.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        ready = true;
    });
    return ready;
}

namespace {

gcry_cipher_hd_t aeadHandle(const uint8_t* key, const uint8_t* nonce, const uint8_t* extra, size_t extraCount)
{
    gcry_cipher_hd_t handle = nullptr;
    if (!cryptoReady() || gcry_cipher_open(&handle, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305, 0) != 0) {
        return nullptr;
    }
    if (gcry_cipher_setkey(handle, key, aeadKeySize) != 0 || gcry_cipher_setiv(handle, nonce, aeadNonceSize) != 0 ||
        (extraCount > 0 && gcry_cipher_authenticate(handle, extra, extraCount) != 0)) {
        gcry_cipher_close(handle);
        return nullptr;
    }
    return handle;
}

} // namespace

bool aeadSeal(const uint8_t* key, const uint8_t* nonce, const uint8_t* extra, size_t extraCount, const uint8_t* plain,
              size_t count, uint8_t* out)
{
    gcry_cipher_hd_t handle = aeadHandle(key, nonce, extra, extraCount);
    if (!handle) return false;
    gcry_cipher_final(handle);
    bool ok = gcry_cipher_encrypt(handle, out, count, plain, count) == 0 &&
              gcry_cipher_gettag(handle, out + count, aeadTagSize) == 0;
    gcry_cipher_close(handle);
    return ok;
}

bool aeadOpen(const uint8_t* key, const uint8_t* nonce, const uint8_t* extra, size_t extraCount, const uint8_t* sealed,
              size_t count, uint8_t* out)
{
    gcry_cipher_hd_t handle = aeadHandle(key, nonce, extra, extraCount);
    if (!handle) return false;
    gcry_cipher_final(handle);
    bool ok = gcry_cipher_decrypt(handle, out, count, sealed, count) == 0 &&
              gcry_cipher_checktag(handle, sealed + count, aeadTagSize) == 0;
    gcry_cipher_close(handle);
    if (!ok) wipe(out, count);
    return ok;
}

bool argon2id(const uint8_t* password, size_t passwordCount, const uint8_t* salt, size_t saltCount, uint32_t passes,
              uint32_t memoryKiB, uint32_t lanes, uint8_t* out, size_t outCount, const uint8_t* secret,
              size_t secretCount, const uint8_t* associated, size_t associatedCount)
{
    if (!cryptoReady()) return false;
    const unsigned long parameters[4] = {static_cast<unsigned long>(outCount), passes, memoryKiB, lanes};
    gcry_kdf_hd_t handle = nullptr;
    if (gcry_kdf_open(&handle, GCRY_KDF_ARGON2, GCRY_KDF_ARGON2ID, parameters, 4, password, passwordCount, salt,
                      saltCount, secret, secretCount, associated, associatedCount) != 0) {
        return false;
    }
    const bool ok = gcry_kdf_compute(handle, nullptr) == 0 && gcry_kdf_final(handle, outCount, out) == 0;
    gcry_kdf_close(handle);
    return ok;
}

bool x25519(const uint8_t* scalar, const uint8_t* point, uint8_t* out)
{
    if (!cryptoReady() || gcry_ecc_mul_point(GCRY_ECC_CURVE25519, out, scalar, point) != 0) return false;
    uint8_t any = 0;
    for (size_t i = 0; i < x25519Size; ++i) any |= out[i];
    return any != 0;
}

void hmacSha256(const uint8_t* key, size_t keyCount, const uint8_t* data, size_t count, uint8_t* out)
{
    gcry_md_hd_t handle = nullptr;
    if (!cryptoReady() || gcry_md_open(&handle, GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC) != 0) {
        std::memset(out, 0, sha256Size);
        return;
    }
    gcry_md_setkey(handle, key, keyCount);
    gcry_md_write(handle, data, count);
    std::memcpy(out, gcry_md_read(handle, GCRY_MD_SHA256), sha256Size);
    gcry_md_close(handle);
}

bool hkdfSha256(const uint8_t* salt, size_t saltCount, const uint8_t* keyMaterial, size_t keyCount, const uint8_t* info,
                size_t infoCount, uint8_t* out, size_t outCount)
{
    if (outCount > 255 * sha256Size) return false;
    static const uint8_t zeros[sha256Size] = {};
    uint8_t pseudoRandom[sha256Size];
    hmacSha256(saltCount > 0 ? salt : zeros, saltCount > 0 ? saltCount : sizeof zeros, keyMaterial, keyCount,
               pseudoRandom);
    uint8_t previous[sha256Size];
    size_t previousCount = 0;
    size_t done = 0;
    for (uint8_t counter = 1; done < outCount; ++counter) {
        // T(i) = HMAC(PRK, T(i-1) | info | i)
        gcry_md_hd_t handle = nullptr;
        if (gcry_md_open(&handle, GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC) != 0) return false;
        gcry_md_setkey(handle, pseudoRandom, sizeof pseudoRandom);
        gcry_md_write(handle, previous, previousCount);
        gcry_md_write(handle, info, infoCount);
        gcry_md_write(handle, &counter, 1);
        std::memcpy(previous, gcry_md_read(handle, GCRY_MD_SHA256), sha256Size);
        gcry_md_close(handle);
        previousCount = sha256Size;
        const size_t take = outCount - done < sha256Size ? outCount - done : sha256Size;
        std::memcpy(out + done, previous, take);
        done += take;
    }
    wipe(pseudoRandom, sizeof pseudoRandom);
    wipe(previous, sizeof previous);
    return true;
}

void randomBytes(uint8_t* out, size_t count)
{
    if (cryptoReady()) gcry_randomize(out, count, GCRY_STRONG_RANDOM);
}

void wipe(void* bytes, size_t count)
{
    volatile uint8_t* p = static_cast<volatile uint8_t*>(bytes);
    while (count-- > 0) *p++ = 0;
}

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t count)
{
    uint8_t difference = 0;
    for (size_t i = 0; i < count; ++i) difference |= a[i] ^ b[i];
    return difference == 0;
}

} // namespace qv5
