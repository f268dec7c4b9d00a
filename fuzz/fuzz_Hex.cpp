// Hex text to bytes (both converters) and back, with buffers of exactly the
// documented size; bytes to hex and back must round-trip.
#include "Crypto.h"
#include "MyUtilsText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int room = static_cast<int8_t>(data[0]); // negative capacities too
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    {
        const size_t cap = room > 0 ? static_cast<size_t>(room) : 0;
        std::unique_ptr<unsigned char[]> out(new unsigned char[cap + 1]);
        int n = room;
        if (!MyUtils::ASCIIHexToBinHex(text.c_str(), out.get(), n) || n < 0 || static_cast<size_t>(n) > cap)
            std::abort();
    }
    {
        std::unique_ptr<unsigned char[]> out(new unsigned char[(text.size() + 1) / 2 + 1]);
        crypto::HexToBytes(text, out.get());
    }
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        const std::string hex = crypto::BytesToHex(bytes, text.size(), data[0] & 1);
        std::vector<unsigned char> back(text.size() + 1);
        crypto::HexToBytes(hex, back.data());
        if (std::memcmp(back.data(), bytes, text.size()) != 0)
            std::abort();
        int n = static_cast<int>(text.size());
        std::unique_ptr<char[]> ascii(new char[2 * text.size() + 1]);
        MyUtils::BinHexToASCIIHex(bytes, ascii.get(), n);
        std::vector<unsigned char> bin(text.size() + 1);
        int cap = static_cast<int>(text.size());
        MyUtils::ASCIIHexToBinHex(ascii.get(), bin.data(), cap);
        if (cap != static_cast<int>(text.size()) || std::memcmp(bin.data(), bytes, text.size()) != 0)
            std::abort();
    }
    return 0;
}
