// Crc_32: the standard reflected CRC-32 (polynomial 0x04C11DB7). Short inputs,
// the serial protocols' frames, go straight to the sliced table path; long
// ones to the fastest path this processor has, chosen once.
#include "Crc32Paths.h"
#include "CrcTables.h"
#include "Crypto.h"

#include <atomic>

namespace crypto {

namespace {

constexpr auto kCrc32 = crc_tables::Reflected<uint32_t, 16>(0xEDB88320u);
static_assert(kCrc32[0][1] == 0x77073096 && kCrc32[0][128] == 0xEDB88320);

// Below this the folding set-up and reduction cost more than they save.
constexpr size_t kFoldMin = 64;

inline uint32_t Load32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

using Path = uint32_t (*)(uint32_t, const unsigned char*, size_t);

uint32_t ResolveLongPath(uint32_t crc, const unsigned char* p, size_t n);

// Constant-initialised, so it is valid before any constructor of the library
// has run. The first long input picks the path; threads that race there all
// store the same pointer.
std::atomic<Path> gLongPath{&ResolveLongPath};

uint32_t ResolveLongPath(uint32_t crc, const unsigned char* p, size_t n)
{
    const Path path = crc32_paths::FoldedAvailable() ? &crc32_paths::Folded : &crc32_paths::Sliced;
    gLongPath.store(path, std::memory_order_relaxed);
    return path(crc, p, n);
}

// Inline here so Crc_32's frames do not pay a call through the symbol table.
inline uint32_t SlicedInline(uint32_t crc, const unsigned char* p, size_t n)
{
    const auto& t = kCrc32;
    for (; n >= 16; n -= 16, p += 16) {
        const uint32_t a = Load32(p) ^ crc;
        const uint32_t b = Load32(p + 4);
        const uint32_t c = Load32(p + 8);
        const uint32_t d = Load32(p + 12);
        // Grouped per word, so the xors form a tree rather than one chain.
        crc = ((t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF]) ^ (t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24])) ^
              ((t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF]) ^ (t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24])) ^
              (((t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF]) ^ (t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24])) ^
               ((t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF]) ^ (t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24])));
    }
    if (n >= 8) {
        const uint32_t a = Load32(p) ^ crc;
        const uint32_t b = Load32(p + 4);
        crc = ((t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF]) ^ (t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24])) ^
              ((t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF]) ^ (t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24]));
        n -= 8;
        p += 8;
    }
    for (; n > 0; --n, ++p)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return crc;
}

} // namespace

uint32_t crc32_paths::Sliced(uint32_t crc, const unsigned char* p, size_t n) { return SlicedInline(crc, p, n); }

unsigned long Crc_32(unsigned long, const unsigned char* pBuffer, int16_t Length)
{
    if (!pBuffer || Length < 0)
        return 0;
    const size_t n = static_cast<size_t>(Length);
    const uint32_t crc = n < kFoldMin ? SlicedInline(0xFFFFFFFFu, pBuffer, n)
                                      : gLongPath.load(std::memory_order_relaxed)(0xFFFFFFFFu, pBuffer, n);
    return crc ^ 0xFFFFFFFFu;
}

} // namespace crypto
