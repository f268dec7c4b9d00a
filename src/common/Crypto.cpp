// Digests, triple-DES, hex conversion and random values. Digests and DES go
// through libcrypto's EVP interface; every call owns its digest or cipher
// state, so nothing here is shared between threads except the generator.
#include "Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace crypto {

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Salt, then data, through one private digest state. Empty on any failure.
std::string SaltedDigest(const EVP_MD* md, const std::string& salt, const void* data, size_t len)
{
    if (!data && len)
        return {};
    MdCtx ctx(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), salt.data(), salt.size()) != 1 ||
        (len && EVP_DigestUpdate(ctx.get(), data, len) != 1) ||
        EVP_DigestFinal_ex(ctx.get(), digest, &digestLen) != 1)
        return {};
    return BytesToHex(digest, digestLen, false);
}

int Run3DES(bool encrypt, const unsigned char* pData, int DataLength, unsigned char* pDest,
            const unsigned char* key1, const unsigned char* key2, const unsigned char* key3)
{
    if (!pData || !pDest || !key1 || !key2 || !key3 || DataLength < 0 || DataLength % 8 != 0)
        return -1;
    if (DataLength == 0)
        return 0;
    unsigned char key[24];
    std::memcpy(key, key1, 8);
    std::memcpy(key + 8, key2, 8);
    std::memcpy(key + 16, key3, 8);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int outLen = 0, finLen = 0;
    const bool ok = ctx &&
        EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
        EVP_CipherUpdate(ctx.get(), pDest, &outLen, pData, DataLength) == 1 &&
        EVP_CipherFinal_ex(ctx.get(), pDest + outLen, &finLen) == 1 &&
        outLen + finLen == DataLength;
    OPENSSL_cleanse(key, sizeof key);
    return ok ? 0 : -1;
}

// Fills dst from the kernel's random source and returns how many bytes came
// from it: "/dev/urandom" first, getrandom() for whatever it did not deliver.
size_t sysrandom(unsigned char* dst, size_t dstlen)
{
    size_t got = 0;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        while (got < dstlen) {
            const ssize_t n = ::read(fd, dst + got, dstlen - got);
            if (n > 0)
                got += static_cast<size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;
        }
        ::close(fd);
    }
    while (got < dstlen) {
        const ssize_t n = ::getrandom(dst + got, dstlen - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return got;
}

std::mutex gRandomLock; // guards mRandomEngine and mUniformInt

template <class Gen>
void FillRandom(Gen& gen, std::uniform_int_distribution<int>& dist, unsigned char* out, size_t numBytes)
{
    for (size_t i = 0; i < numBytes; i += 4) {
        const uint32_t r = static_cast<uint32_t>(dist(gen));
        const size_t n = std::min<size_t>(4, numBytes - i);
        for (size_t k = 0; k < n; ++k)
            out[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
}

} // namespace

int Calculate_MD5(const unsigned char* pBuffer, size_t Length, unsigned char* pDestination)
{
    if ((!pBuffer && Length) || !pDestination)
        return -1;
    static const unsigned char empty = 0;
    return EVP_Digest(pBuffer ? pBuffer : &empty, Length, pDestination, nullptr, EVP_md5(), nullptr) == 1 ? 0 : -1;
}

int Calculate_MD5(const std::string& filename, unsigned char* pDestination)
{
    if (!pDestination)
        return -1;
    std::FILE* f = std::fopen(filename.c_str(), "rb");
    if (!f)
        return -1;
    MdCtx ctx(EVP_MD_CTX_new());
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1;
    std::vector<unsigned char> chunk(0x40000);
    while (ok) {
        const size_t n = std::fread(chunk.data(), 1, chunk.size(), f);
        if (n == 0)
            break;
        ok = EVP_DigestUpdate(ctx.get(), chunk.data(), n) == 1;
    }
    // A read error (a directory, an I/O fault) must not pass as the digest
    // of whatever was read before it.
    ok = ok && !std::ferror(f);
    std::fclose(f);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!ok || EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1 || len != 16)
        return -1;
    std::memcpy(pDestination, digest, 16);
    return 1;
}

int Calculate_MyMD5(unsigned char* pDestination)
{
    if (!pDestination)
        return -1;
    std::memset(pDestination, 0, 16);
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
    // A full buffer means the path may be cut short and could name another file.
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path)
        return -1;
    path[n] = '\0';
    return Calculate_MD5(std::string(path, static_cast<size_t>(n)), pDestination);
}

int Encrypt_3DES(const unsigned char* pData, int DataLength, unsigned char* pDest,
                 const unsigned char* key1, const unsigned char* key2, const unsigned char* key3)
{
    return Run3DES(true, pData, DataLength, pDest, key1, key2, key3);
}

int Decrypt_3DES(const unsigned char* pData, int DataLength, unsigned char* pDest,
                 const unsigned char* key1, const unsigned char* key2, const unsigned char* key3)
{
    return Run3DES(false, pData, DataLength, pDest, key1, key2, key3);
}

std::string HashSHA1(const void* data, size_t dataLen, const std::string& salt)
{
    return SaltedDigest(EVP_sha1(), salt, data, dataLen);
}

std::string HashSHA1(char&& data, size_t dataLen, const std::string& salt)
{
    const std::vector<char> copy(&data, &data + dataLen);
    return SaltedDigest(EVP_sha1(), salt, copy.data(), copy.size());
}

std::string HashSHA256(const void* data, size_t dataLen, const std::string& salt)
{
    return SaltedDigest(EVP_sha256(), salt, data, dataLen);
}

std::string HashSHA256(char&& data, size_t dataLen, const std::string& salt)
{
    const std::vector<char> copy(&data, &data + dataLen);
    return SaltedDigest(EVP_sha256(), salt, copy.data(), copy.size());
}

std::string HashMD5(const void* data, size_t dataLen, const std::string&)
{
    return SaltedDigest(EVP_md5(), std::string(), data, dataLen);
}

std::string BytesToHex(const unsigned char* in, size_t size, bool bUppercase)
{
    if (!in)
        return {};
    const char* digits = bUppercase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s(2 * size, '0');
    for (size_t i = 0; i < size; ++i) {
        s[2 * i] = digits[in[i] >> 4];
        s[2 * i + 1] = digits[in[i] & 0x0F];
    }
    return s;
}

void HexToBytes(const std::string& hexStr, unsigned char* out)
{
    if (!out)
        return;
    const bool odd = hexStr.size() % 2 != 0;
    const size_t count = (hexStr.size() + 1) / 2;
    for (size_t i = 0; i < count; ++i) {
        char pair[3] = {0, 0, 0};
        if (odd && i == 0) {
            pair[0] = '0';
            pair[1] = hexStr[0];
        } else {
            const size_t at = 2 * i - (odd ? 1 : 0);
            pair[0] = hexStr[at];
            pair[1] = hexStr[at + 1];
        }
        out[i] = static_cast<unsigned char>(std::strtol(pair, nullptr, 16));
    }
}

std::mt19937 ProperlySeededRandomEngine()
{
    // One seed_seq element per byte read; far more than the engine's
    // state, which the sequence mixes down.
    constexpr size_t kSeedBytes = 19968;
    std::vector<unsigned char> bytes(kSeedBytes, 0);
    const size_t got = sysrandom(bytes.data(), bytes.size());
    if (got < bytes.size()) {
        // No kernel randomness at all: spread the clock, the process id and
        // an address over the rest rather than start from a fixed pattern.
        uint64_t x = static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
                     (static_cast<uint64_t>(::getpid()) << 32) ^ reinterpret_cast<uintptr_t>(&bytes);
        for (size_t i = got; i < bytes.size(); ++i) {
            x += 0x9E3779B97F4A7C15ull; // splitmix64
            uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            bytes[i] = static_cast<unsigned char>(z ^ (z >> 31));
        }
    }
    std::seed_seq seq(bytes.begin(), bytes.end());
    return std::mt19937(seq);
}

std::mt19937 mRandomEngine = ProperlySeededRandomEngine();
std::uniform_int_distribution<int> mUniformInt(0, 2147483647);

void RandomBytes(unsigned char* out, size_t numBytes, const char* key, size_t numSeedBytes)
{
    if (!out || numBytes == 0)
        return;
    if (key && numSeedBytes) {
        const size_t n = std::min<size_t>(numSeedBytes, std::mt19937::state_size);
        std::vector<uint32_t> elements(n);
        for (size_t i = 0; i < n; ++i) // a byte of 0x80 and above counts as negative
            elements[i] = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(key[i])));
        std::seed_seq seq(elements.begin(), elements.end());
        std::mt19937 gen(seq);
        std::uniform_int_distribution<int> dist(0, 2147483647);
        FillRandom(gen, dist, out, numBytes);
        return;
    }
    std::lock_guard<std::mutex> lock(gRandomLock);
    FillRandom(mRandomEngine, mUniformInt, out, numBytes);
}

int GetRandomInRange(int min, int max)
{
    if (min > max)
        std::swap(min, max);
    std::uniform_int_distribution<int> dist(min, max);
    std::lock_guard<std::mutex> lock(gRandomLock);
    return dist(mRandomEngine);
}

std::string GenRandID(size_t numBytes, const char* key, size_t keyLen)
{
    std::vector<unsigned char> buf(numBytes);
    RandomBytes(buf.data(), numBytes, key, keyLen);
    return BytesToHex(buf.data(), numBytes, false);
}

} // namespace crypto
