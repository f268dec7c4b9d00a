// Compile-time lookup tables of the table-driven CRCs (internal to the
// library). Slice 0 is the ordinary byte table; slice k advances a byte that
// sits k positions further back in the block, so a block of N bytes costs N
// independent look-ups instead of a chain of N dependent ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crypto::crc_tables {

template <typename T, size_t N>
using Slices = std::array<std::array<T, 256>, N>;

// Reflected (LSB-first) CRC; poly is the reflected polynomial.
template <typename T, size_t N>
constexpr Slices<T, N> Reflected(T poly)
{
    Slices<T, N> t{};
    for (unsigned i = 0; i < 256; ++i) {
        T c = static_cast<T>(i);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<T>((c >> 1) ^ poly) : static_cast<T>(c >> 1);
        t[0][i] = c;
    }
    for (size_t k = 1; k < N; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<T>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
    return t;
}

// MSB-first 16-bit CRC.
template <size_t N>
constexpr Slices<uint16_t, N> MsbFirst16(uint16_t poly)
{
    Slices<uint16_t, N> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k)
            c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ poly) : static_cast<uint16_t>(c << 1);
        t[0][i] = c;
    }
    for (size_t k = 1; k < N; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    return t;
}

} // namespace crypto::crc_tables
