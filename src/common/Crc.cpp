// The 16-bit CRC family. The polynomial tables are generated at compile time;
// the CRC_16_MY table is a fixed, non-polynomial table that peers rely on as
// is, so it cannot be sliced and stays one look-up per byte. Crc_32 lives in
// Crc32.cpp.
#include "CrcTables.h"
#include "Crypto.h"

namespace crypto {

namespace {

using crc_tables::Slices;

constexpr auto kCrc16 = crc_tables::Reflected<uint16_t, 8>(0xA001);
constexpr auto kKermit = crc_tables::Reflected<uint16_t, 8>(0x8408);
constexpr auto kCcitt = crc_tables::MsbFirst16<8>(0x1021);
static_assert(kCrc16[0][1] == 0xC0C1 && kCrc16[0][128] == 0xA001);
static_assert(kCcitt[0][1] == 0x1021);

// The nibble form of the reflected 0x1021 CRC, as the algorithm is written
// down for peripherals; the byte tables must give the very same register.
constexpr uint16_t NibbleStep(uint16_t crc, unsigned c)
{
    unsigned q = (crc ^ c) & 0x0F;
    crc = static_cast<uint16_t>((crc >> 4) ^ (q * 0x1081));
    q = (crc ^ (c >> 4)) & 0x0F;
    return static_cast<uint16_t>((crc >> 4) ^ (q * 0x1081));
}

constexpr bool KermitTableIsTheNibbleStep()
{
    for (unsigned i = 0; i < 256; ++i)
        if (kKermit[0][i] != NibbleStep(static_cast<uint16_t>(i), 0))
            return false;
    return true;
}
static_assert(KermitTableIsTheNibbleStep());

// Eight bytes per step: the register meets the first two, the other six go
// through their own slices, so the look-ups do not wait on each other.
uint16_t Reflected16(uint16_t crc, const unsigned char* p, size_t n, const Slices<uint16_t, 8>& t)
{
    for (; n >= 8; n -= 8, p += 8) {
        const unsigned s = crc ^ (p[0] | unsigned(p[1]) << 8);
        crc = static_cast<uint16_t>(t[7][s & 0xFF] ^ t[6][s >> 8] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^
                                    t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
    }
    for (; n > 0; --n, ++p)
        crc = static_cast<uint16_t>((crc >> 8) ^ t[0][(crc ^ *p) & 0xFF]);
    return crc;
}

uint16_t MsbFirst16(uint16_t crc, const unsigned char* p, size_t n, const Slices<uint16_t, 8>& t)
{
    for (; n >= 8; n -= 8, p += 8) {
        const unsigned s = crc ^ (unsigned(p[0]) << 8 | p[1]);
        crc = static_cast<uint16_t>(t[7][s >> 8] ^ t[6][s & 0xFF] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^
                                    t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
    }
    for (; n > 0; --n, ++p)
        crc = static_cast<uint16_t>((crc << 8) ^ t[0][((crc >> 8) ^ *p) & 0xFF]);
    return crc;
}

} // namespace

const std::array<uint16_t, 256> CRC_16_MY_TAB = {
    0x97ED,0x5F59,0x01AD,0x6A55,0x28C4,0x4FF4,0x2586,0x7D2B,0x99D0,0xFBB1,0x9D8B,0x5B7D,0x5B2E,0x8015,0x00D0,0xCD80,
    0x3E54,0xDE42,0x4EDF,0x4766,0xC5FF,0xED30,0x5E62,0xE62D,0x296F,0x0932,0xEE32,0xE2C8,0x9F9F,0xB81D,0x8965,0xB78C,
    0x9777,0x8B13,0x21E2,0xC03B,0xDB07,0x4768,0xBD66,0xF4D7,0xC319,0xDAF2,0x5055,0x1E48,0x5B08,0xD124,0xEBC8,0x995C,
    0xAF68,0xBAA7,0x60C2,0xF567,0xA7D8,0xBF25,0x5B95,0xD148,0x4857,0x49C8,0x3411,0x67F6,0x81E6,0xBD76,0x1F83,0x195E,
    0xC889,0x4165,0xD999,0x2391,0x08CE,0x1701,0x186A,0xCBE7,0xF1F3,0xE8BE,0x6A30,0x4CFC,0xB9E4,0xD5F8,0x6658,0xE94C,
    0x10A1,0x471A,0xDEB4,0x3879,0x863F,0xBA4A,0x09C2,0xCE97,0x0413,0xBDD2,0x368E,0x85F9,0xFB49,0xD611,0x1F57,0xC3D3,
    0x1777,0xF8F1,0xE765,0xA044,0x8FF2,0x7FCF,0xEC2C,0x81E6,0x688E,0x565D,0xCEE2,0x2273,0xAC55,0x353B,0x8BBF,0xBCF6,
    0xFC54,0xEA74,0xF570,0x8295,0xA4BF,0x7F32,0x512D,0xA8D2,0xBD05,0x07BB,0xAECC,0xB84F,0xDDCC,0xCE23,0x7C23,0x7544,
    0x4715,0xE388,0x1589,0xD707,0x6358,0x81B5,0x58EE,0xCBE7,0x5812,0xA7D0,0x6E5A,0x0469,0x5D0B,0xFA1A,0x415F,0x5961,
    0xE48F,0x36D0,0xDBF6,0x894F,0x3603,0x2D24,0xB221,0xF308,0xB4DE,0x60EE,0xAB58,0x92AC,0xAF12,0xA77B,0x87F0,0xF627,
    0x8B05,0x1D79,0xCD30,0xEE5D,0x9F2F,0xA61E,0x3A45,0xF741,0x4DF0,0xA8A0,0x7BAA,0xAAFB,0x22BB,0xBD0A,0x845C,0x874A,
    0xF3DA,0x6053,0x9099,0xA9DD,0x0D77,0xC2BA,0x9CE6,0xC256,0x23AA,0x483F,0xD502,0x52BC,0x6FBB,0x5CF3,0x48E4,0xFAC0,
    0x7A6C,0x9614,0x691E,0x999B,0x3C34,0x2364,0x90DE,0x0A24,0x4C04,0x0C89,0x351F,0x6EBF,0x4993,0xB97C,0x7609,0x3D6F,
    0x99CF,0x06A3,0x674C,0x2747,0x495D,0x0434,0xE99D,0x6D07,0xCC72,0x3EA0,0x3FC3,0x3C2E,0x1B93,0x88A8,0xB6EE,0x15FF,
    0x9EBC,0xA00D,0xAF9B,0xDAF0,0xC371,0xC079,0x6514,0x0F76,0x4D02,0x1A34,0x7E35,0x9696,0x53B0,0x743E,0x5405,0xED7F,
    0xFAE0,0xBB51,0x14C7,0x443E,0xBF85,0x7E64,0x3146,0x0BF9,0x3D04,0x7109,0x4827,0x5897,0x79B1,0x7F16,0x6E97,0x186F,
};

const std::array<uint16_t, 256> CRC_16_TAB = kCrc16[0];
const std::array<uint16_t, 256> CRC_CCITT_TAB = kCcitt[0];

uint16_t Crc_16_MY(uint16_t crc, const unsigned char* pBuffer, uint16_t Length)
{
    if (!pBuffer)
        return crc;
    for (unsigned i = 0; i < Length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ CRC_16_MY_TAB[(crc & 0xFF) ^ pBuffer[i]]);
    return crc;
}

uint16_t Crc_16(uint16_t crc, const unsigned char* pBuffer, uint16_t Length)
{
    if (!pBuffer)
        return crc;
    return Reflected16(crc, pBuffer, Length, kCrc16);
}

uint16_t Crc_CCITT(uint16_t crc, const unsigned char* pBuffer, uint16_t Length)
{
    if (!pBuffer)
        return crc;
    return MsbFirst16(crc, pBuffer, Length, kCcitt);
}

uint16_t Crc_CCITT_jcm(uint16_t crc, const unsigned char* pBuffer, uint16_t Length)
{
    if (!pBuffer || Length == 0)
        return 0;
    return Reflected16(crc, pBuffer, Length, kKermit);
}

uint16_t CcittCrcSAS(const unsigned char* s, int32_t len, uint16_t crcval)
{
    if (!s || len <= 0)
        return crcval;
    return Reflected16(crcval, s, static_cast<size_t>(len), kKermit);
}

} // namespace crypto
