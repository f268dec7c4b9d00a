// The carry-less multiply path of Crc_32. Four 128-bit lanes are folded 64
// bytes ahead at a time (the multiplies of one lane do not wait on another),
// folded into one lane, then reduced to 32 bits with a Barrett step. The
// code is compiled for PCLMULQDQ + SSE4.1 by function attribute only, so the
// library still runs on baseline x86-64; Crc_32 calls it only after
// FoldedAvailable() said yes. Other architectures get the sliced path.
#include "Crc32Paths.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VOREL_CRC32_FOLDED 1
#include <immintrin.h>
#endif

namespace crypto {

#ifdef VOREL_CRC32_FOLDED

namespace {

constexpr uint64_t kPoly = 0x104C11DB7u; // with its x^32 term

constexpr uint64_t Reflect(uint64_t v, int bits)
{
    uint64_t r = 0;
    for (int b = 0; b < bits; ++b)
        if (v >> b & 1)
            r |= uint64_t(1) << (bits - 1 - b);
    return r;
}

// x^e mod P, in the bit-reflected 33-bit form the reflected fold multiplies by.
constexpr uint64_t XPowMod(unsigned e)
{
    uint64_t r = 1;
    for (unsigned i = 0; i < e; ++i) {
        r <<= 1;
        if (r & (uint64_t(1) << 32))
            r ^= kPoly;
    }
    return Reflect(r, 32) << 1;
}

// floor(x^64 / P), reflected, for the Barrett reduction.
constexpr uint64_t BarrettMu()
{
    uint64_t q = 0;
    unsigned __int128 a = static_cast<unsigned __int128>(1) << 64;
    for (int s = 32; s >= 0; --s)
        if (static_cast<uint64_t>(a >> (s + 32)) & 1) {
            q |= uint64_t(1) << s;
            a ^= static_cast<unsigned __int128>(kPoly) << s;
        }
    return Reflect(q, 33);
}

// A lane moves 512 bits ahead (k1, k2) while four run, 128 bits (k3, k4) once
// they are merged; k5 takes 96 bits to 64.
constexpr uint64_t kK1 = XPowMod(4 * 128 + 32), kK2 = XPowMod(4 * 128 - 32);
constexpr uint64_t kK3 = XPowMod(128 + 32), kK4 = XPowMod(128 - 32);
constexpr uint64_t kK5 = XPowMod(64);
constexpr uint64_t kMu = BarrettMu(), kPolyReflected = Reflect(kPoly, 33);
static_assert(kK1 == 0x154442BD4 && kK2 == 0x1C6E41596 && kK3 == 0x1751997D0 && kK4 == 0xCCAA009E &&
              kK5 == 0x163CD6124 && kMu == 0x1F7011641 && kPolyReflected == 0x1DB710641);

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const unsigned char* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// lane * x^(distance) folded onto the data that far ahead.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i lane, __m128i k, __m128i ahead)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11)),
                         ahead);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t FoldBlocks(uint32_t crc, const unsigned char* p, size_t n)
{
    const __m128i k1k2 = _mm_set_epi64x(static_cast<long long>(kK2), static_cast<long long>(kK1));
    const __m128i k3k4 = _mm_set_epi64x(static_cast<long long>(kK4), static_cast<long long>(kK3));
    __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load(p + 16), x3 = Load(p + 32), x4 = Load(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x1 = Fold(x1, k1k2, Load(p));
        x2 = Fold(x2, k1k2, Load(p + 16));
        x3 = Fold(x3, k1k2, Load(p + 32));
        x4 = Fold(x4, k1k2, Load(p + 48));
    }
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    for (; n >= 16; p += 16, n -= 16)
        x1 = Fold(x1, k3k4, Load(p));

    // 128 bits to 64: the low half moves 64 bits ahead onto the high half,
    // then the low 32 bits of that 96 bits move onto the rest.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    const __m128i k5 = _mm_set_epi64x(0, static_cast<long long>(kK5));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00));

    // Barrett: quotient by mu, times P, cancels all but the remainder.
    const __m128i poly = _mm_set_epi64x(static_cast<long long>(kMu), static_cast<long long>(kPolyReflected));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, q), 1));
}

} // namespace

uint32_t crc32_paths::Folded(uint32_t crc, const unsigned char* p, size_t n)
{
    if (n < 64)
        return Sliced(crc, p, n);
    const size_t blocks = n & ~size_t(15);
    crc = FoldBlocks(crc, p, blocks);
    return Sliced(crc, p + blocks, n - blocks);
}

bool crc32_paths::FoldedAvailable()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

#else

uint32_t crc32_paths::Folded(uint32_t crc, const unsigned char* p, size_t n) { return Sliced(crc, p, n); }

bool crc32_paths::FoldedAvailable() { return false; }

#endif

} // namespace crypto
