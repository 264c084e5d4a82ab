#pragma once
#include <cstddef>
#include <cstdint>

// CRC-32 by carry-less multiplication (PCLMULQDQ) on x86-64, for crc32Update. The constants
// are plain numbers on every target so that a test can recompute them; crc32_clmul.cpp says
// where they come from. Each is x^n mod P, or a Barrett constant, as a 33-bit reflection:
// bit i holds the coefficient of x^(32 - i).
#if defined(__x86_64__) && defined(__GNUC__)
#define QV5_CRC_CLMUL 1
#endif

namespace qv5 {

inline constexpr uint64_t clmulX544 = 0x154442BD4;       // x^544 mod P: 64-byte fold, earlier half
inline constexpr uint64_t clmulX480 = 0x1C6E41596;       // x^480 mod P: 64-byte fold, later half
inline constexpr uint64_t clmulX160 = 0x1751997D0;       // x^160 mod P: 16-byte fold, earlier half
inline constexpr uint64_t clmulX96 = 0x0CCAA009E;        // x^96 mod P: 16-byte fold, later half; 128 to 96 bits
inline constexpr uint64_t clmulX64 = 0x163CD6124;        // x^64 mod P: 96 to 64 bits
inline constexpr uint64_t clmulQuotient = 0x1F7011641;   // floor(x^64 / P), the Barrett multiplier
inline constexpr uint64_t clmulPolynomial = 0x1DB710641; // P itself

#ifdef QV5_CRC_CLMUL
// Whether this CPU has carry-less multiplication and SSE4.1, which crcFold needs.
bool crcFoldSupported();

// Continues r, the CRC register in its inverted (pre-conditioned) form, over size bytes at p,
// and returns it in that form. size is a multiple of 16 and at least 64.
uint32_t crcFold(uint32_t r, const uint8_t* p, size_t size);
#endif

} // namespace qv5
