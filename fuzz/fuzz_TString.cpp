// TString parsing and cutting over arbitrary text: scanners, hex pairs at
// positions taken from the input (negative and past the end included), Find,
// Count, Mid, field cutting and self-referencing appends and formats.
#include "TString.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || size < 3u + data[2] % 4)
        return 0;
    const int a = static_cast<int8_t>(data[0]);
    const int b = static_cast<int8_t>(data[1]);
    const size_t patternLen = data[2] % 4;
    const std::string pattern(reinterpret_cast<const char*>(data) + 3, patternLen);
    const std::string rest(reinterpret_cast<const char*>(data) + 3 + patternLen, size - 3 - patternLen);
    TString s(rest.c_str());
    const int len = s.GetLength();

    int i;
    int64_t i64;
    unsigned u, hex;
    uint64_t u64;
    double d;
    unsigned char c;
    s.GetInt(i);
    s.GetInt64(i64);
    s.GetUnsignedInt(u);
    s.GetUnsignedInt64(u64);
    s.GetDouble(d);
    s.GetHexInt(hex);
    s.GetHexChar(c);
    s.Get2HexAsChar(a, c);
    s.Get2HexAsChar(len - 2 + b % 3, c);
    (void)s.GetAt(a);

    const int at = s.Find(pattern.c_str(), a);
    if (at >= len || at < -1)
        std::abort();
    if (s.Count(pattern.c_str()) > len)
        std::abort();
    const TString m = s.Mid(a, b);
    if (m.GetLength() > len || std::strlen(m) != static_cast<size_t>(m.GetLength()))
        std::abort();

    unsigned char* bytes = nullptr;
    if (s.FromHex(&bytes))
        std::free(bytes);

    TString copy(s), line;
    int fields = 0;
    while (copy.Subtract(pattern.c_str(), &line))
        if (++fields > len + 1)
            std::abort();

    TString grow(s);
    grow.Append(grow.GetBuffer(0) + (len > 0 ? (a & 0x7F) % len : 0));
    grow.AppendToFront(grow.GetBuffer(0), (b & 3));
    grow.Format("%s|%d|%s", static_cast<const char*>(grow), a, static_cast<const char*>(s));
    TString h;
    h.ToHex(s.GetBuffer(0), len, a & 1);
    return 0;
}
