#include "TString.h"

#include <SDL2/SDL_mutex.h>

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

namespace {

constexpr int kMinCapacity = 64;
constexpr int kGrowthSlack = 640;
constexpr int kFormatWork = 16384;

std::atomic<SDL_mutex*> mStrSafeMutex{nullptr};
std::mutex gSafeMutexCreation;

// True when p points into the allocation [b, b + n].
bool PointsInto(const char* p, const char* b, int n)
{
    return p && b && !std::less<const char*>()(p, b) && std::less<const char*>()(p, b + n + 1);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

} // namespace

TString::TString()
{
    Init();
    GetBuffer(0);
}

TString::TString(const TString& str) : TString() { SetValue(str.buf); }
TString::TString(const char* str) : TString() { SetValue(str); }
TString::TString(int i) : TString() { SetValue(i); }
TString::TString(unsigned int i) : TString() { SetValue(i); }
TString::TString(uint64_t i) : TString() { SetValue(i); }
TString::TString(char ch) : TString() { SetValue(ch); }
TString::TString(unsigned char ch) : TString() { SetValue(ch); }

TString::~TString() { Close(); }

void TString::Init()
{
    buf = nullptr;
    buf_len = 0;
    len = 0;
}

void TString::Close()
{
    std::free(buf);
    Init();
}

SCHAR* TString::GetBuffer(int minLen)
{
    long long c = minLen < kMinCapacity ? kMinCapacity : minLen;
    if (!buf) {
        buf = static_cast<SCHAR*>(std::malloc(static_cast<size_t>(c) + 1));
        if (!buf)
            return nullptr;
        buf[0] = '\0';
        buf_len = static_cast<int>(c);
        len = 0;
        return buf;
    }
    if (c > buf_len) {
        if (c - buf_len < kGrowthSlack)
            c += kGrowthSlack;
        if (c >= INT_MAX)
            return nullptr;
        SCHAR* p = static_cast<SCHAR*>(std::malloc(static_cast<size_t>(c) + 1));
        if (!p)
            return nullptr;
        // The whole old allocation: a caller may have written past len.
        std::memcpy(p, buf, static_cast<size_t>(buf_len) + 1);
        p[c] = '\0';
        std::free(buf);
        buf = p;
        buf_len = static_cast<int>(c);
    }
    return buf;
}

void TString::Empty()
{
    if (!buf && !GetBuffer(0))
        return;
    buf[0] = '\0';
    len = 0;
}

char TString::GetAt(int pos) const
{
    return buf && pos >= 0 && pos <= len ? buf[pos] : '\0';
}

void TString::SetAt(int pos, char ch)
{
    if (buf && pos >= 0 && pos < len)
        buf[pos] = ch;
}

int TString::SetValue(const char* str)
{
    if (!str)
        str = "";
    if (PointsInto(str, buf, buf_len)) {
        const std::string copy(str);
        return SetValue(copy.c_str());
    }
    const size_t n = std::strlen(str);
    if (n >= static_cast<size_t>(INT_MAX) || !GetBuffer(static_cast<int>(n)))
        return 0;
    std::memcpy(buf, str, n + 1);
    len = static_cast<int>(n);
    return 1;
}

int TString::SetValue(char ch)
{
    const char s[2] = {ch, '\0'};
    return SetValue(s);
}

int TString::SetValue(unsigned char n) { return SetValue(static_cast<char>(n)); }

int TString::SetValue(int n)
{
    char work[32];
    std::snprintf(work, sizeof work, "%d", n);
    return SetValue(work);
}

int TString::SetValue(unsigned int n)
{
    char work[32];
    std::snprintf(work, sizeof work, "%u", n);
    return SetValue(work);
}

int TString::SetValue(uint64_t n)
{
    char work[32];
    std::snprintf(work, sizeof work, "%llu", static_cast<unsigned long long>(n));
    return SetValue(work);
}

int TString::SetValue(int64_t n)
{
    char work[32];
    std::snprintf(work, sizeof work, "%lld", static_cast<long long>(n));
    return SetValue(work);
}

TString& TString::operator=(const TString& str)
{
    if (&str != this)
        SetValue(str.buf);
    return *this;
}

TString& TString::operator=(const char* str) { SetValue(str); return *this; }
TString& TString::operator=(char ch) { SetValue(ch); return *this; }
TString& TString::operator=(int i) { SetValue(i); return *this; }
TString& TString::operator=(unsigned int i) { SetValue(i); return *this; }
TString& TString::operator=(uint64_t i) { SetValue(i); return *this; }
TString& TString::operator=(int64_t i) { SetValue(i); return *this; }

int TString::Append(const char* str)
{
    if (!str)
        return 1;
    // Growing frees the old buffer, so a piece of it must be copied first.
    if (PointsInto(str, buf, buf_len)) {
        const std::string copy(str);
        return Append(copy.c_str());
    }
    const size_t n = std::strlen(str);
    if (n >= static_cast<size_t>(INT_MAX - len) || !GetBuffer(len + static_cast<int>(n)))
        return 0;
    std::memcpy(buf + len, str, n + 1);
    len += static_cast<int>(n);
    return 1;
}

int TString::Append(char ch)
{
    if (len == INT_MAX || !GetBuffer(len + 1))
        return 0;
    buf[len++] = ch;
    buf[len] = '\0';
    return 1;
}

int TString::AppendToFront(const char* str, int nCount)
{
    if (nCount < 1 || !str || !*str)
        return 1;
    if (PointsInto(str, buf, buf_len)) {
        const std::string copy(str);
        return AppendToFront(copy.c_str(), nCount);
    }
    const size_t n = std::strlen(str);
    const long long add = static_cast<long long>(n) * nCount;
    if (add >= INT_MAX - 1LL - len || !GetBuffer(len + static_cast<int>(add) + 1))
        return 0;
    std::memmove(buf + add, buf, static_cast<size_t>(len) + 1);
    for (int k = 0; k < nCount; ++k)
        std::memcpy(buf + static_cast<size_t>(k) * n, str, n);
    len += static_cast<int>(add);
    return 1;
}

int TString::Compare(const char* pszStr) const
{
    return std::strcmp(buf ? buf : "", pszStr ? pszStr : "");
}

int TString::Count(const char* pszStr) const
{
    if (!buf || !pszStr || !*pszStr)
        return 0;
    const size_t n = std::strlen(pszStr);
    int count = 0;
    for (const char* p = std::strstr(buf, pszStr); p; p = std::strstr(p + n, pszStr))
        ++count;
    return count;
}

int TString::Find(const char* pszStr, int start) const
{
    if (!buf || !pszStr)
        return -1;
    if (start < 0)
        start = 0;
    if (start >= len)
        return -1;
    const char* p = std::strstr(buf + start, pszStr);
    return p ? static_cast<int>(p - buf) : -1;
}

int TString::Format(const char* format_str, ...)
{
    if (!format_str)
        return -1;
    char work[kFormatWork];
    va_list args, again;
    va_start(args, format_str);
    va_copy(again, args);
    const int n = std::vsnprintf(work, sizeof work, format_str, args);
    va_end(args);
    int result = n;
    if (n < 0) {
        result = -1;
    } else if (n < kFormatWork) {
        if (!SetValue(work))
            result = -1;
    } else {
        // Longer than the work buffer: format again into a buffer of the full
        // size (the arguments may point into this string, so not into buf).
        char* big = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
        if (big && std::vsnprintf(big, static_cast<size_t>(n) + 1, format_str, again) == n && SetValue(big))
            result = n;
        else
            result = -1;
        std::free(big);
    }
    va_end(again);
    return result;
}

int TString::GetInt(int& result) const
{
    int v;
    if (!buf || std::sscanf(buf, "%d", &v) != 1)
        return 0;
    result = v;
    return 1;
}

int TString::GetInt64(int64_t& result) const
{
    long long v;
    if (!buf || std::sscanf(buf, "%lld", &v) != 1)
        return 0;
    result = v;
    return 1;
}

int TString::GetUnsignedInt(unsigned int& result) const
{
    unsigned int v;
    if (!buf || std::sscanf(buf, "%u", &v) != 1)
        return 0;
    result = v;
    return 1;
}

int TString::GetUnsignedInt64(uint64_t& result) const
{
    unsigned long long v;
    if (!buf || std::sscanf(buf, "%llu", &v) != 1)
        return 0;
    result = v;
    return 1;
}

int TString::GetDouble(double& result) const
{
    double v;
    if (!buf || std::sscanf(buf, "%lg", &v) != 1)
        return 0;
    result = v;
    return 1;
}

int TString::GetHexInt(unsigned int& result) const
{
    unsigned int v;
    if (!buf || std::sscanf(buf, "%x", &v) != 1)
        return 0;
    result = v;
    return 1;
}

int TString::GetInt() const
{
    int v = 0;
    GetInt(v);
    return v;
}

int TString::GetHexChar(unsigned char& result) const
{
    unsigned int v;
    if (!buf || len > 2 || std::sscanf(buf, "%2x", &v) != 1)
        return 0;
    result = static_cast<unsigned char>(v);
    return 1;
}

int TString::Get2HexAsChar(int nPos, unsigned char& result) const
{
    if (!buf || nPos < 0 || nPos > len - 2)
        return 0;
    result = static_cast<unsigned char>(HexValue(buf[nPos]) << 4 | HexValue(buf[nPos + 1]));
    return 1;
}

int TString::ToHex(const char* pInBuf, int nLen, int OneAsciiDigit)
{
    return ToHex(reinterpret_cast<const unsigned char*>(pInBuf), nLen, OneAsciiDigit);
}

int TString::ToHex(const unsigned char* pInBuf, int nLen, int OneAsciiDigit)
{
    if (nLen <= 0 || !pInBuf)
        return 0;
    const int d = OneAsciiDigit ? 1 : 2;
    if (nLen > (INT_MAX - 1) / d)
        return 0;
    static const char digits[] = "0123456789abcdef";
    // A new buffer first: the input may be this string's own text.
    SCHAR* p = static_cast<SCHAR*>(std::malloc(static_cast<size_t>(d) * nLen + 1));
    if (!p)
        return 0;
    for (int i = 0; i < nLen; ++i) {
        const unsigned b = pInBuf[i];
        if (d == 2) {
            p[2 * i] = digits[b >> 4];
            p[2 * i + 1] = digits[b & 0x0F];
        } else {
            p[i] = digits[b < 16 ? b : b >> 4];
        }
    }
    p[d * nLen] = '\0';
    std::free(buf);
    buf = p;
    len = buf_len = d * nLen;
    return 1;
}

int TString::FromHex(char** pOutBuf) const
{
    return FromHex(reinterpret_cast<unsigned char**>(pOutBuf));
}

int TString::FromHex(unsigned char** pOutBuf) const
{
    if (!pOutBuf)
        return 0;
    const int n = len / 2;
    unsigned char* p = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!p)
        return 0;
    for (int i = 0; i < n; ++i)
        Get2HexAsChar(2 * i, p[i]);
    p[n] = 0;
    *pOutBuf = p;
    return 1;
}

TString TString::Mid(int start, int count) const
{
    TString r;
    if (!buf)
        return r;
    if (start < 0)
        start = 0;
    if (start > len)
        start = len;
    if (count == -1 || count > len - start)
        count = len - start;
    if (count > 0 && r.GetBuffer(count + 1)) {
        std::memcpy(r.buf, buf + start, static_cast<size_t>(count));
        r.buf[count] = '\0';
        r.len = count;
    }
    return r;
}

int TString::Subtract(const char* delimiter, TString* line)
{
    if (line && line != this)
        line->Empty();
    const int p = Find(delimiter, 0);
    if (p < 0) {
        if (len == 0)
            return 0;
        if (line == this) // moving the text onto itself leaves it as it is
            return 1;
        if (line && !line->SetValue(buf))
            return 0;
        Empty();
        return 1;
    }
    const std::string before(buf, static_cast<size_t>(p));
    const std::string rest(buf + p + 1);
    if (line && !line->SetValue(before.c_str()))
        return 0;
    SetValue(rest.c_str());
    return 1;
}

int TString::CreateSafeMutex()
{
    if (mStrSafeMutex.load(std::memory_order_acquire))
        return 1;
    std::lock_guard<std::mutex> lock(gSafeMutexCreation);
    if (!mStrSafeMutex.load(std::memory_order_relaxed))
        mStrSafeMutex.store(SDL_CreateMutex(), std::memory_order_release);
    return mStrSafeMutex.load(std::memory_order_relaxed) ? 1 : 0;
}

TString TString::GetSafe() const
{
    TString r;
    if (!CreateSafeMutex())
        return r;
    SDL_LockMutex(mStrSafeMutex);
    r.SetValue(buf);
    SDL_UnlockMutex(mStrSafeMutex);
    return r;
}

void TString::SetSafe(const char* str)
{
    if (!CreateSafeMutex())
        return;
    SDL_LockMutex(mStrSafeMutex);
    SetValue(str);
    SDL_UnlockMutex(mStrSafeMutex);
}

TString operator+(const TString& a, const TString& b)
{
    TString r(a);
    r.Append(b);
    return r;
}

TString operator+(const TString& a, const char* b)
{
    TString r(a);
    r.Append(b);
    return r;
}

TString operator+(const TString& a, char b)
{
    TString r(a);
    r.Append(b);
    return r;
}

TString operator+(const TString& a, int b)
{
    char work[256];
    std::snprintf(work, sizeof work, "%d", b);
    return a + work;
}

TString operator+(const TString& a, unsigned int b)
{
    char work[256];
    std::snprintf(work, sizeof work, "%u", b);
    return a + work;
}

const char* FindMsg(const Ips* p, int msgNr)
{
    for (; p && p->msg; ++p)
        if (p->nr == msgNr)
            return p->msg;
    thread_local char invalid[256];
    std::snprintf(invalid, sizeof invalid, "INVALID TEXT NUM %d", msgNr);
    return invalid;
}

void StrToBCD(const char* sValue, unsigned char* pBuf, int nBufLen)
{
    if (!sValue || !pBuf)
        return;
    const long long length = static_cast<long long>(std::strlen(sValue));
    for (int i = 0; i < nBufLen; ++i) {
        const long long e = length - 1 - 2LL * i;
        const int hi = (e > 0 && e < length) ? (sValue[e - 1] - '0') & 0x0F : 0;
        const int lo = (e >= 0 && e < length) ? (sValue[e] - '0') & 0x0F : 0;
        pBuf[nBufLen - 1 - i] = static_cast<unsigned char>(hi << 4 | lo);
    }
}

void TStringUnitTest()
{
    TString s("abc");
    s.Append("def");
    std::printf("TString: Append \"%s\" length %d\n", static_cast<const char*>(s), s.GetLength());
    TString f;
    f.AppendToFront("ab", 3);
    std::printf("TString: AppendToFront \"%s\"\n", static_cast<const char*>(f));
    std::printf("TString: Mid(1, 3) \"%s\"\n", static_cast<const char*>(s.Mid(1, 3)));
    TString line, fields("a;b;c");
    fields.Subtract(";", &line);
    std::printf("TString: Subtract \"%s\" / \"%s\"\n", static_cast<const char*>(line),
                static_cast<const char*>(fields));
    TString hex;
    const unsigned char bytes[] = {0x0A, 0xFF};
    hex.ToHex(bytes, 2);
    std::printf("TString: ToHex \"%s\"\n", static_cast<const char*>(hex));
    TString n;
    n.Format("%05d|%s", 42, "x");
    std::printf("TString: Format \"%s\" GetInt %d\n", static_cast<const char*>(n), n.GetInt());
    unsigned char bcd[3];
    StrToBCD("12345", bcd, 3);
    std::printf("TString: StrToBCD %02X %02X %02X\n", bcd[0], bcd[1], bcd[2]);
}
