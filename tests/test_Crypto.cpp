#include "Crypto.h"

// The library's internal CRC-32 paths, so each one is checked, not only the
// one this processor selects.
#include "../src/common/Crc32Paths.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace crypto;

namespace {

const unsigned char* U(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

std::vector<unsigned char> FromHex(const std::string& hex)
{
    std::vector<unsigned char> v((hex.size() + 1) / 2);
    HexToBytes(hex, v.data());
    return v;
}

// Bit-at-a-time CRC-32 as the reference for the sliced implementation.
uint32_t BitwiseCrc32(const unsigned char* p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}


// Bit-at-a-time references of the 16-bit CRCs, from their polynomials.
uint16_t BitwiseReflected16(uint16_t c, const unsigned char* p, size_t n, uint16_t poly)
{
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ poly) : static_cast<uint16_t>(c >> 1);
    }
    return c;
}

uint16_t BitwiseMsbFirst16(uint16_t c, const unsigned char* p, size_t n, uint16_t poly)
{
    for (size_t i = 0; i < n; ++i) {
        c ^= static_cast<uint16_t>(p[i] << 8);
        for (int k = 0; k < 8; ++k)
            c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ poly) : static_cast<uint16_t>(c << 1);
    }
    return c;
}

// The fixed table's byte step, the definition of Crc_16_MY.
uint16_t ByteStepMy(uint16_t c, const unsigned char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        c = static_cast<uint16_t>((c >> 8) ^ CRC_16_MY_TAB[(c & 0xFF) ^ p[i]]);
    return c;
}

// Random buffers, lengths, starts and split points from a fixed initial
// value, so a failure names a case that repeats.
struct RandomCrcCase {
    size_t offset, length, split;
    uint16_t start;
};

std::vector<RandomCrcCase> RandomCrcCases(size_t maxLength, std::mt19937& gen)
{
    std::vector<RandomCrcCase> cases;
    // Every length up to a few blocks of the widest path, then random ones.
    for (size_t n = 0; n <= 200; ++n)
        cases.push_back({n % 16, n, n / 3, static_cast<uint16_t>(gen())});
    for (int i = 0; i < 400; ++i) {
        const size_t n = gen() % (maxLength + 1);
        cases.push_back({gen() % 16, n, n ? gen() % (n + 1) : 0, static_cast<uint16_t>(gen())});
    }
    cases.push_back({3, maxLength, maxLength / 2, 0xFFFF});
    return cases;
}

std::vector<unsigned char> RandomBytesFrom(std::mt19937& gen, size_t n)
{
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(gen());
    return v;
}
} // namespace

TEST(Crc, CheckValuesOverFunctionsAndStartValues)
{
    struct Case {
        const char* name;
        unsigned long (*fn)(uint16_t);
        uint16_t start;
        unsigned long expected;
    };
    const Case cases[] = {
        {"Crc_16", [](uint16_t s) -> unsigned long { return Crc_16(s, U("123456789"), 9); }, 0, 0xBB3D},
        {"Crc_16", [](uint16_t s) -> unsigned long { return Crc_16(s, U("123456789"), 9); }, 0xFFFF, 0x4B37},
        {"Crc_CCITT", [](uint16_t s) -> unsigned long { return Crc_CCITT(s, U("123456789"), 9); }, 0, 0x31C3},
        {"Crc_CCITT", [](uint16_t s) -> unsigned long { return Crc_CCITT(s, U("123456789"), 9); }, 0xFFFF, 0x29B1},
        {"Crc_16_MY", [](uint16_t s) -> unsigned long { return Crc_16_MY(s, U("123456789"), 9); }, 0, 0xCDFD},
        {"Crc_16_MY", [](uint16_t s) -> unsigned long { return Crc_16_MY(s, U("123456789"), 9); }, 0xFFFF, 0x4782},
        {"Crc_CCITT_jcm", [](uint16_t s) -> unsigned long { return Crc_CCITT_jcm(s, U("123456789"), 9); }, 0, 0x2189},
        {"CcittCrcSAS", [](uint16_t s) -> unsigned long { return CcittCrcSAS(U("123456789"), 9, s); }, 0, 0x2189},
        {"Crc_32", [](uint16_t s) -> unsigned long { return Crc_32(s, U("123456789"), 9); }, 0, 0xCBF43926},
        // The start value of Crc_32 is ignored.
        {"Crc_32", [](uint16_t s) -> unsigned long { return Crc_32(s, U("123456789"), 9); }, 0x1234, 0xCBF43926},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.fn(c.start), c.expected) << c.name << " start " << std::hex << c.start;
}

TEST(Crc, TablesMatchTheirDefinitions)
{
    EXPECT_EQ(CRC_16_TAB[1], 0xC0C1);
    EXPECT_EQ(CRC_16_TAB[128], 0xA001);
    EXPECT_EQ(CRC_CCITT_TAB[1], 0x1021);
    EXPECT_EQ(CRC_16_MY_TAB[0x00], 0x97ED);
    EXPECT_EQ(CRC_16_MY_TAB[0x7F], 0x7544);
    EXPECT_EQ(CRC_16_MY_TAB[0xFF], 0x186F);
    // Fingerprint of the whole fixed table, taken from the published rows.
    unsigned char bytes[512];
    for (int i = 0; i < 256; ++i) {
        bytes[2 * i] = CRC_16_MY_TAB[i] & 0xFF;
        bytes[2 * i + 1] = CRC_16_MY_TAB[i] >> 8;
    }
    EXPECT_EQ(Crc_32(0, bytes, 512), 0xB6B50C6Du);
}

TEST(Crc, LengthLimitsAndChaining)
{
    const unsigned char* d = U("123456789");
    EXPECT_EQ(Crc_CCITT_jcm(0x1234, d, 0), 0);
    EXPECT_EQ(CcittCrcSAS(d, 0, 0x1234), 0x1234);
    EXPECT_EQ(CcittCrcSAS(d, -5, 0x1234), 0x1234);
    EXPECT_EQ(Crc_32(0, d, -1), 0u);
    EXPECT_EQ(Crc_32(0, d, 0), 0u);
    EXPECT_EQ(Crc_16(0x55, nullptr, 9), 0x55);

    // The 16-bit CRCs chain through the start value.
    EXPECT_EQ(Crc_16(Crc_16(0xFFFF, d, 4), d + 4, 5), Crc_16(0xFFFF, d, 9));
    EXPECT_EQ(Crc_CCITT(Crc_CCITT(0xFFFF, d, 4), d + 4, 5), Crc_CCITT(0xFFFF, d, 9));
    EXPECT_EQ(Crc_16_MY(Crc_16_MY(7, d, 4), d + 4, 5), Crc_16_MY(7, d, 9));
    EXPECT_EQ(CcittCrcSAS(d + 4, 5, CcittCrcSAS(d, 4, 0)), 0x2189);
    // Both nibble forms agree for the same start value.
    EXPECT_EQ(Crc_CCITT_jcm(0xBEEF, d, 9), CcittCrcSAS(d, 9, 0xBEEF));
}

TEST(Crc, Crc32MatchesBitwiseReferenceAtEveryAlignment)
{
    std::vector<unsigned char> buf(32767 + 8);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = static_cast<unsigned char>(i * 131 + (i >> 7));
    for (size_t off = 0; off < 8; ++off)
        for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(9), size_t(15), size_t(16),
                         size_t(17), size_t(100), size_t(32767)})
            EXPECT_EQ(Crc_32(0, buf.data() + off, static_cast<int16_t>(n)), BitwiseCrc32(buf.data() + off, n))
                << "offset " << off << " length " << n;
}

TEST(Crc, Crc32EveryPathAgreesWithBitwiseReferenceForRandomInput)
{
    using Path = uint32_t (*)(uint32_t, const unsigned char*, size_t);
    struct Row {
        const char* name;
        Path path;
    };
    std::vector<Row> rows = {{"sliced", &crc32_paths::Sliced}};
    if (crc32_paths::FoldedAvailable())
        rows.push_back({"folded", &crc32_paths::Folded});
    else
        std::printf("no carry-less multiply here: the folded path is not checked\n");

    std::mt19937 gen(2891);
    const size_t maxLength = 6000;
    const auto buf = RandomBytesFrom(gen, maxLength + 16);
    for (const RandomCrcCase& c : RandomCrcCases(maxLength, gen)) {
        const unsigned char* p = buf.data() + c.offset;
        const uint32_t expected = BitwiseCrc32(p, c.length);
        EXPECT_EQ(Crc_32(c.start, p, static_cast<int16_t>(c.length)), expected)
            << "Crc_32 offset " << c.offset << " length " << c.length;
        for (const Row& r : rows) {
            EXPECT_EQ(~r.path(0xFFFFFFFFu, p, c.length), expected)
                << r.name << " offset " << c.offset << " length " << c.length;
            // The paths carry the running register, so one can take over from
            // the other at any byte.
            for (const Row& second : rows)
                EXPECT_EQ(~second.path(r.path(0xFFFFFFFFu, p, c.split), p + c.split, c.length - c.split), expected)
                    << r.name << " then " << second.name << " offset " << c.offset << " length " << c.length
                    << " split " << c.split;
        }
    }
}

TEST(Crc, SixteenBitCrcsMatchBitwiseReferencesOnRandomInputAndChain)
{
    using Fn = uint16_t (*)(uint16_t, const unsigned char*, size_t);
    struct Row {
        const char* name;
        Fn fn;
        Fn reference;
    };
    const Row rows[] = {
        {"Crc_16", [](uint16_t c, const unsigned char* p, size_t n) { return Crc_16(c, p, uint16_t(n)); },
         [](uint16_t c, const unsigned char* p, size_t n) { return BitwiseReflected16(c, p, n, 0xA001); }},
        {"Crc_CCITT", [](uint16_t c, const unsigned char* p, size_t n) { return Crc_CCITT(c, p, uint16_t(n)); },
         [](uint16_t c, const unsigned char* p, size_t n) { return BitwiseMsbFirst16(c, p, n, 0x1021); }},
        {"Crc_CCITT_jcm",
         [](uint16_t c, const unsigned char* p, size_t n) { return n ? Crc_CCITT_jcm(c, p, uint16_t(n)) : c; },
         [](uint16_t c, const unsigned char* p, size_t n) { return BitwiseReflected16(c, p, n, 0x8408); }},
        {"CcittCrcSAS", [](uint16_t c, const unsigned char* p, size_t n) { return CcittCrcSAS(p, int32_t(n), c); },
         [](uint16_t c, const unsigned char* p, size_t n) { return BitwiseReflected16(c, p, n, 0x8408); }},
        {"Crc_16_MY", [](uint16_t c, const unsigned char* p, size_t n) { return Crc_16_MY(c, p, uint16_t(n)); },
         &ByteStepMy},
    };
    std::mt19937 gen(6151);
    const size_t maxLength = 5000;
    const auto buf = RandomBytesFrom(gen, maxLength + 16);
    for (const RandomCrcCase& c : RandomCrcCases(maxLength, gen)) {
        const unsigned char* p = buf.data() + c.offset;
        for (const Row& r : rows) {
            const uint16_t expected = r.reference(c.start, p, c.length);
            EXPECT_EQ(r.fn(c.start, p, c.length), expected)
                << r.name << " start " << c.start << " offset " << c.offset << " length " << c.length;
            EXPECT_EQ(r.fn(r.fn(c.start, p, c.split), p + c.split, c.length - c.split), expected)
                << r.name << " chained, start " << c.start << " offset " << c.offset << " length " << c.length
                << " split " << c.split;
        }
    }
}

TEST(Digest, StandardVectors)
{
    struct Case {
        std::string data, salt, md5, sha1, sha256;
    };
    const Case cases[] = {
        {"", "", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // The salt goes in front for SHA; MD5 ignores it.
        {"bc", "a", "", "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "", "8215ef0796a20bcaaae116d3876c664a",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HashSHA1(c.data.data(), c.data.size(), c.salt), c.sha1) << c.salt << c.data;
        EXPECT_EQ(HashSHA256(c.data.data(), c.data.size(), c.salt), c.sha256) << c.salt << c.data;
        if (!c.md5.empty()) {
            EXPECT_EQ(HashMD5(c.data.data(), c.data.size(), c.salt), c.md5);
            EXPECT_EQ(HashMD5(c.data.data(), c.data.size(), "any salt"), c.md5);
            unsigned char md[16];
            ASSERT_EQ(Calculate_MD5(U(c.data.c_str()), c.data.size(), md), 0);
            EXPECT_EQ(BytesToHex(md, 16), c.md5);
        }
    }
    // The temporary-buffer forms hash the same bytes.
    char buf[] = "abc";
    EXPECT_EQ(HashSHA1(std::move(buf[0]), 3, "s"), HashSHA1("sabc", 4));
    EXPECT_EQ(HashSHA256(std::move(buf[0]), 3, "s"), HashSHA256("sabc", 4));

    EXPECT_EQ(HashSHA1(nullptr, 3), "");
    EXPECT_EQ(HashSHA1(nullptr, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Calculate_MD5(nullptr, 3, nullptr), -1);
}

TEST(Digest, ConcurrentHashesDoNotDisturbEachOther)
{
    const std::string a(1000, 'a'), b(1000, 'b');
    const std::string sa = HashSHA256(a.data(), a.size(), "x"), sb = HashSHA1(b.data(), b.size(), "y");
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t % 2 ? HashSHA256(a.data(), a.size(), "x") != sa : HashSHA1(b.data(), b.size(), "y") != sb)
                    ++bad[t];
            }
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(bad[t], 0) << "thread " << t;
}

TEST(Digest, FileDigests)
{
    const std::string path = std::string(VOREL_TEST_BINARY_DIR) + "/md5-" + std::to_string(getpid()) + ".bin";
    // Larger than one read chunk, and not a multiple of it.
    std::vector<unsigned char> data(0x40000 * 2 + 12345);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i ^ (i >> 9));
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    unsigned char fromFile[16], fromBuffer[16];
    EXPECT_EQ(Calculate_MD5(path, fromFile), 1);
    ASSERT_EQ(Calculate_MD5(data.data(), data.size(), fromBuffer), 0);
    EXPECT_EQ(BytesToHex(fromFile, 16), BytesToHex(fromBuffer, 16));
    std::remove(path.c_str());

    EXPECT_EQ(Calculate_MD5(path, fromFile), -1);             // missing
    EXPECT_EQ(Calculate_MD5(VOREL_TEST_BINARY_DIR, fromFile), -1); // a directory reads nothing valid

    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    unsigned char mine[16], direct[16];
    EXPECT_EQ(Calculate_MyMD5(mine), 1);
    EXPECT_EQ(Calculate_MD5(self, direct), 1);
    EXPECT_EQ(BytesToHex(mine, 16), BytesToHex(direct, 16));
}

TEST(TripleDes, KnownAnswersAndRoundTrip)
{
    struct Case {
        const char *k1, *k2, *k3, *plain, *cipher;
    };
    const Case cases[] = {
        // Three distinct keys over three blocks.
        {"0123456789ABCDEF", "23456789ABCDEF01", "456789ABCDEF0123",
         "5468652071756663" "6B2062726F776E20" "666F78206A756D70",
         "A826FD8CE53B855F" "CCE21C8112256FE6" "68D5C05DD9B6B900"},
        // Three equal keys are single DES.
        {"133457799BBCDFF1", "133457799BBCDFF1", "133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        // Weak key with bad parity: used as given, not refused.
        {"0000000000000000", "0000000000000000", "0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
    };
    for (const Case& c : cases) {
        const auto k1 = FromHex(c.k1), k2 = FromHex(c.k2), k3 = FromHex(c.k3);
        const auto plain = FromHex(c.plain);
        const int n = static_cast<int>(plain.size());
        std::vector<unsigned char> enc(plain.size()), dec(plain.size());
        ASSERT_EQ(Encrypt_3DES(plain.data(), n, enc.data(), k1.data(), k2.data(), k3.data()), 0);
        EXPECT_EQ(BytesToHex(enc.data(), enc.size(), true), c.cipher);
        ASSERT_EQ(Decrypt_3DES(enc.data(), n, dec.data(), k1.data(), k2.data(), k3.data()), 0);
        EXPECT_EQ(dec, plain);
        // In place.
        std::vector<unsigned char> buf = plain;
        ASSERT_EQ(Encrypt_3DES(buf.data(), n, buf.data(), k1.data(), k2.data(), k3.data()), 0);
        EXPECT_EQ(buf, enc);
    }
}

TEST(TripleDes, RefusalsLeaveDestinationUntouched)
{
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char data[16] = {};
    struct Case {
        const unsigned char* data;
        int len;
        const unsigned char* key;
    };
    const Case cases[] = {{data, 12, key}, {data, -8, key}, {nullptr, 8, key}, {data, 8, nullptr}};
    for (const Case& c : cases) {
        unsigned char dest[16];
        std::memset(dest, 0x5A, sizeof dest);
        EXPECT_EQ(Encrypt_3DES(c.data, c.len, dest, key, key, c.key), -1) << c.len;
        EXPECT_EQ(Decrypt_3DES(c.data, c.len, dest, c.key, key, key), -1) << c.len;
        for (unsigned char b : dest)
            ASSERT_EQ(b, 0x5A);
    }
    EXPECT_EQ(Encrypt_3DES(data, 8, nullptr, key, key, key), -1);
    unsigned char none[1];
    EXPECT_EQ(Encrypt_3DES(data, 0, none, key, key, key), 0);
}

TEST(Hex, BytesToHexAndBack)
{
    const unsigned char two[] = {0x0A, 0xFF};
    EXPECT_EQ(BytesToHex(two, 2), "0aff");
    EXPECT_EQ(BytesToHex(two, 2, true), "0AFF");
    EXPECT_EQ(BytesToHex(two, 0), "");
    EXPECT_EQ(BytesToHex(nullptr, 4), "");

    struct Case {
        const char* hex;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"abc", {0x0A, 0xBC}},    // odd length: a 0 goes in front
        {"0aff", {0x0A, 0xFF}},
        {"AbCd", {0xAB, 0xCD}},
        {"G1", {0x00}},           // the conversion stops at the first non-hex digit
        {"1G", {0x01}},
        {"", {}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> out(c.bytes.size() + 1, 0xEE);
        HexToBytes(c.hex, out.data());
        EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end() - 1), c.bytes) << c.hex;
        EXPECT_EQ(out.back(), 0xEE) << c.hex << ": wrote past its bytes";
    }
}

TEST(Random, SeededBytesAreReproducibleAndShaped)
{
    const char key[] = "terminal-42";
    unsigned char a[10], b[12], c[10];
    RandomBytes(a, 10, key, sizeof key - 1);
    RandomBytes(b, 12, key, sizeof key - 1);
    RandomBytes(c, 10, "terminal-43", 11);
    // 10 bytes are 4 + 4 + 2 bytes of three draws: a prefix of 12.
    EXPECT_EQ(0, std::memcmp(a, b, 10));
    EXPECT_NE(0, std::memcmp(a, c, 10));
    EXPECT_EQ(GenRandID(10, key, sizeof key - 1), BytesToHex(a, 10));

    // Key bytes beyond the first 624 do not count.
    std::string long1(700, 'x'), long2(700, 'x');
    long2[650] = 'y';
    EXPECT_EQ(GenRandID(16, long1.data(), long1.size()), GenRandID(16, long2.data(), long2.size()));
    long2[600] = 'y';
    EXPECT_NE(GenRandID(16, long1.data(), long1.size()), GenRandID(16, long2.data(), long2.size()));

    // Each draw is below 2^31, so every fourth byte is below 0x80.
    for (int i = 0; i < 200; ++i) {
        unsigned char r[8];
        RandomBytes(r, 8);
        ASSERT_LT(r[3], 0x80);
        ASSERT_LT(r[7], 0x80);
    }
    // Unseeded output continues the shared stream.
    EXPECT_NE(GenRandID(16), GenRandID(16));
    EXPECT_EQ(GenRandID(0), "");
    EXPECT_EQ(GenRandID(5).size(), 10u);
}

TEST(Random, RangeSwapsBoundsAndCoversThem)
{
    std::set<int> seen;
    for (int i = 0; i < 2000; ++i) {
        const int v = GetRandomInRange(5, 1);
        ASSERT_GE(v, 1);
        ASSERT_LE(v, 5);
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_EQ(GetRandomInRange(7, 7), 7);
    GetRandomInRange(INT_MIN, INT_MAX); // the full range must not overflow
}
