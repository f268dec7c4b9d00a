// Checksums, digests, triple-DES and random values for host code.
//
// The CRCs are the ones the serial protocols of terminal peripherals use; the
// caller supplies the start value so long messages can be chained (except
// Crc_32, which always starts afresh). Digests and DES come from libcrypto.
//
// A null buffer counts as no bytes.
// Threads: the CRCs, hex conversions, MD5, SHA and DES functions keep no
// shared state and may be called from any thread. The random functions share
// one generator, guarded by an internal mutex; a host that draws from
// mRandomEngine directly must serialise that itself.
// Failure: int results (see each function), empty strings for digests that
// could not be computed. Nothing here throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace crypto {

extern const std::array<uint16_t, 256> CRC_16_MY_TAB;
extern const std::array<uint16_t, 256> CRC_16_TAB;    // reflected, polynomial 0x8005
extern const std::array<uint16_t, 256> CRC_CCITT_TAB; // MSB first, polynomial 0x1021

// Table-driven 16-bit checksums; at most 65535 bytes per call, chain through crc.
uint16_t Crc_16_MY(uint16_t crc, const unsigned char* pBuffer, uint16_t Length);
uint16_t Crc_16(uint16_t crc, const unsigned char* pBuffer, uint16_t Length);    // ARC (0) / MODBUS (0xFFFF)
uint16_t Crc_CCITT(uint16_t crc, const unsigned char* pBuffer, uint16_t Length); // XMODEM (0) / CCITT-FALSE (0xFFFF)
// Reflected 0x1021 a nibble at a time (KERMIT with start 0). Length 0 gives 0.
uint16_t Crc_CCITT_jcm(uint16_t crc, const unsigned char* pBuffer, uint16_t Length);
// The same checksum in the SAS argument order; a length <= 0 returns crcval.
uint16_t CcittCrcSAS(const unsigned char* s, int32_t len, uint16_t crcval);
// Standard CRC-32 of at most 32767 bytes. The first argument is ignored (the
// computation always starts at 0xFFFFFFFF); a negative length yields 0.
unsigned long Crc_32(unsigned long crc, const unsigned char* pBuffer, int16_t Length);

// MD5 of a buffer into 16 bytes: 0, or -1 for a null argument or a digest failure.
int Calculate_MD5(const unsigned char* pBuffer, size_t Length, unsigned char* pDestination);
// MD5 of a file's contents: 1, or -1 when it cannot be opened or read.
int Calculate_MD5(const std::string& filename, unsigned char* pDestination);
// MD5 of the running executable: as above, -1 when its path is unknown.
int Calculate_MyMD5(unsigned char* pDestination);

// Triple DES (EDE, three 8-byte keys) in ECB mode, no padding. pData and pDest
// may be the same buffer. -1 for a null argument or a length that is negative
// or not a multiple of 8, pDest untouched; 0 on success. Keys are used as given
// (parity and weak keys are not checked).
int Encrypt_3DES(const unsigned char* pData, int DataLength, unsigned char* pDest,
                 const unsigned char* key1, const unsigned char* key2, const unsigned char* key3);
int Decrypt_3DES(const unsigned char* pData, int DataLength, unsigned char* pDest,
                 const unsigned char* key1, const unsigned char* key2, const unsigned char* key3);

// Lowercase hex digest of salt followed by data. Empty when data is null with
// a non-zero length, or the digest fails. The char&& forms hash dataLen bytes
// starting at that (temporary) char through a private copy.
std::string HashSHA1(const void* data, size_t dataLen, const std::string& salt = std::string());
std::string HashSHA1(char&& data, size_t dataLen, const std::string& salt = std::string());
std::string HashSHA256(const void* data, size_t dataLen, const std::string& salt = std::string());
std::string HashSHA256(char&& data, size_t dataLen, const std::string& salt = std::string());
// Lowercase hex MD5 of the data alone; salt is accepted for symmetry and unused.
std::string HashMD5(const void* data, size_t dataLen, const std::string& salt = std::string());

// 2 * size hex digits, high nibble first.
std::string BytesToHex(const unsigned char* in, size_t size, bool bUppercase = false);
// Writes (length + 1) / 2 bytes; an odd text is read as if "0" stood in front.
// Each pair is read with strtol base 16, so it stops at the first non-hex digit
// ("G1" -> 0, "1G" -> 1).
void HexToBytes(const std::string& hexStr, unsigned char* out);

// The shared generator, initialised from the kernel's random source at load time.
extern std::mt19937 mRandomEngine;
extern std::uniform_int_distribution<int> mUniformInt; // 0 .. 2147483647
std::mt19937 ProperlySeededRandomEngine();

// numBytes bytes from the shared stream, or, when key and numSeedBytes are
// both given, from a fresh generator started from the first (at most 624) key
// bytes: the same key always gives the same bytes.
void RandomBytes(unsigned char* out, size_t numBytes, const char* key = nullptr, size_t numSeedBytes = 0);
// Uniform in [min, max]; the bounds are swapped when given the wrong way round.
int GetRandomInRange(int min, int max);
// 2 * numBytes lowercase hex characters from RandomBytes.
std::string GenRandID(size_t numBytes, const char* key = nullptr, size_t seedLen = 0);

} // namespace crypto
