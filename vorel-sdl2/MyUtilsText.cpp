#include "MyUtilsText.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace MyUtils {

// ---- locale and number formatting ----

char decimal_separator = ',';
char thousand_separator = '.';
std::string thousand_grouping = "\3";
myseparators* const separators = new myseparators(1); // refs 1: no locale deletes it
std::string baseLocaleName = "C";
std::locale user_locale;

bool UpdateLocale(const std::string& baseLocale)
{
    baseLocaleName = baseLocale;
    bool known = true;
    std::locale base = std::locale::classic();
    try {
        base = std::locale(baseLocale.c_str());
    } catch (const std::runtime_error&) {
        known = false;
    }
    user_locale = std::locale(base, separators);
    std::locale::global(user_locale);
    return known;
}

std::string int2str(int64_t val)
{
    std::ostringstream os;
    os << val;
    return os.str();
}

std::string double2string(double value)
{
    std::ostringstream os;
    os << std::setprecision(12) << value;
    return os.str();
}

std::string itos(int64_t val) { return std::to_string(val); }

std::string dtos(double value, int precision)
{
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os << std::fixed << std::setprecision(std::max(precision, 0)) << value;
    return os.str();
}

std::string currency2string(double value, int precision)
{
    std::ostringstream os;
    os.imbue(user_locale);
    os << std::fixed << std::setprecision(std::max(precision, 0)) << value;
    return os.str();
}

double round(double n, int d)
{
    const double scale = std::pow(10.0, d);
    return std::floor(n * scale + 0.5) / scale;
}

char* itoa(long val, char* Result, int base)
{
    if (!Result)
        return nullptr;
    if (base < 2 || base > 16) {
        Result[0] = '\0';
        return Result;
    }
    static const char digits[] = "0123456789abcdef";
    char work[ITOA_BUFFER_SIZE];
    size_t i = sizeof work - 1;
    work[i] = '\0';
    // The magnitude in unsigned arithmetic, so the most negative value works.
    unsigned long mag = val < 0 ? 0UL - static_cast<unsigned long>(val) : static_cast<unsigned long>(val);
    const unsigned long b = static_cast<unsigned long>(base);
    do {
        work[--i] = digits[mag % b];
        mag /= b;
    } while (mag);
    if (val < 0)
        work[--i] = '-';
    std::memcpy(Result, work + i, sizeof work - i);
    return Result;
}

char* itoa(long val, int base)
{
    thread_local char result[ITOA_BUFFER_SIZE];
    return itoa(val, result, base);
}

char* itoa4(long value, char* result, int base)
{
    if (!result)
        return nullptr;
    if (base < 2 || base > 36) {
        result[0] = '\0';
        return result;
    }
    // Indexed by 35 + remainder: negative remainders need no absolute value,
    // which the most negative value would not have.
    static const char digits[] = "zyxwvutsrqponmlkjihgfedcba9876543210123456789abcdefghijklmnopqrstuvwxyz";
    char* p = result;
    long v = value;
    do {
        const long q = v / base;
        *p++ = digits[35 + (v - q * base)];
        v = q;
    } while (v);
    if (value < 0)
        *p++ = '-';
    *p = '\0';
    std::reverse(result, p);
    return result;
}

// ---- strings ----

std::vector<std::string> string2vector(const std::string& phrase, const std::string& delimiter,
                                       bool bDeleteEmptyEntries)
{
    std::vector<std::string> out;
    if (delimiter.empty()) {
        out.push_back(phrase);
        return out;
    }
    size_t start = 0;
    for (size_t at; (at = phrase.find(delimiter, start)) != std::string::npos; start = at + delimiter.size()) {
        if (!bDeleteEmptyEntries || at > start)
            out.push_back(phrase.substr(start, at - start));
    }
    out.push_back(phrase.substr(start));
    return out;
}

std::string trim(const std::string& str)
{
    const size_t first = str.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const size_t last = str.find_last_not_of(' ');
    return str.substr(first, last - first + 1);
}

void trimString(std::string& str) { str = trim(str); }

void StringReplace(std::string& str, const std::string& from, const std::string& to)
{
    if (from.empty())
        return;
    size_t at = str.find(from);
    if (at == std::string::npos)
        return;
    std::string out;
    out.reserve(str.size());
    size_t start = 0;
    for (; at != std::string::npos; at = str.find(from, start)) {
        out.append(str, start, at - start);
        out += to;
        start = at + from.size();
    }
    out.append(str, start, std::string::npos);
    str.swap(out);
}

void UnescapeXml(std::string& xml)
{
    StringReplace(xml, "&quot;", "\"");
    StringReplace(xml, "&apos;", "'");
    StringReplace(xml, "&amp;", "&");
    StringReplace(xml, "&lt;", "<");
    StringReplace(xml, "&gt;", ">");
}

// ---- case table ----

namespace {

struct CodeRange {
    int first, last;
};
// The two-byte characters the table covers, in code-point order.
constexpr CodeRange kRanges[] = {
    {0x00A1, 0x00AC}, {0x00AE, 0x01C3}, {0x01CD, 0x01F0}, {0x01F4, 0x024F}, {0x02B0, 0x02FF}, {0x0370, 0x0377},
    {0x037A, 0x037A}, {0x037E, 0x037F}, {0x0384, 0x038A}, {0x038C, 0x038C}, {0x038E, 0x03A1}, {0x03A3, 0x03FF},
};

// Case pairs of the covered characters whose partner lies +1 or +32 away:
// upper-case code points first..last in steps of step, each with its
// lower-case partner at +distance.
struct CasePairs {
    int first, last, step, distance;
};
constexpr CasePairs kPairs[] = {
    {0x00C0, 0x00D6, 1, 32}, {0x00D8, 0x00DE, 1, 32}, {0x0100, 0x012E, 2, 1},  {0x0132, 0x0136, 2, 1},
    {0x0139, 0x0147, 2, 1},  {0x014A, 0x0176, 2, 1},  {0x0179, 0x017D, 2, 1},  {0x0182, 0x0184, 2, 1},
    {0x0187, 0x0187, 1, 1},  {0x018B, 0x018B, 1, 1},  {0x0191, 0x0191, 1, 1},  {0x0198, 0x0198, 1, 1},
    {0x01A0, 0x01A4, 2, 1},  {0x01A7, 0x01A7, 1, 1},  {0x01AC, 0x01AC, 1, 1},  {0x01AF, 0x01AF, 1, 1},
    {0x01B3, 0x01B5, 2, 1},  {0x01B8, 0x01B8, 1, 1},  {0x01BC, 0x01BC, 1, 1},  {0x01CD, 0x01DB, 2, 1},
    {0x01DE, 0x01EE, 2, 1},  {0x01F4, 0x01F4, 1, 1},  {0x01F8, 0x021E, 2, 1},  {0x0222, 0x0232, 2, 1},
    {0x023B, 0x023B, 1, 1},  {0x0241, 0x0241, 1, 1},  {0x0246, 0x024E, 2, 1},  {0x0370, 0x0372, 2, 1},
    {0x0376, 0x0376, 1, 1},  {0x0391, 0x03A1, 1, 32}, {0x03A3, 0x03AB, 1, 32}, {0x03D8, 0x03EE, 2, 1},
    {0x03F7, 0x03F7, 1, 1},  {0x03FA, 0x03FA, 1, 1},
};

// Rows whose offsets are fixed regardless of the pairs; peers depend on them
// (U+00FF upper-cases to U+00DF, U+03C2 to the unassigned U+03A2).
struct Override {
    int code, toLower, toUpper;
};
constexpr Override kOverrides[] = {
    {0x00FF, 0, -32}, {0x0130, 1, 0}, {0x0131, 0, -1}, {0x0246, 0, 0}, {0x0247, 0, 0}, {0x0370, 0, 0},
    {0x0371, 0, 0},   {0x0372, 0, 0}, {0x0373, 0, 0},  {0x0376, 0, 0}, {0x0377, 0, 0}, {0x03C2, 0, -32},
};

constexpr int kMaxCode = 0x0400;

std::string EncodeTwoByte(int code)
{
    return std::string{static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F))};
}

struct CaseTable {
    std::array<TSpecialChars, SPECIAL_CHARS_COUNT> rows;
    std::array<int16_t, kMaxCode> rowOfCode{}; // 0: not in the table

    CaseTable()
    {
        rows[0] = TSpecialChars{std::string(), -1, 0, 0};
        size_t n = 1;
        for (const CodeRange& r : kRanges)
            for (int c = r.first; c <= r.last; ++c) {
                rowOfCode[c] = static_cast<int16_t>(n);
                rows[n++] = TSpecialChars{EncodeTwoByte(c), c, 0, 0};
            }
        if (n != SPECIAL_CHARS_COUNT)
            std::abort(); // the ranges above are wrong: fail at load, not later
        for (const CasePairs& p : kPairs)
            for (int up = p.first; up <= p.last; up += p.step) {
                const int low = up + p.distance;
                if (rowOfCode[up] && rowOfCode[low]) {
                    rows[rowOfCode[up]].OffsetToLower = p.distance;
                    rows[rowOfCode[low]].OffsetToUpper = -p.distance;
                }
            }
        for (const Override& o : kOverrides) {
            TSpecialChars& row = rows[rowOfCode[o.code]];
            row.OffsetToLower = o.toLower;
            row.OffsetToUpper = o.toUpper;
        }
    }

    // Row of a code point, or 0.
    int Row(int code) const { return code >= 0 && code < kMaxCode ? rowOfCode[code] : 0; }
};

const CaseTable& Table()
{
    static const CaseTable table;
    return table;
}

// Length of the UTF-8 sequence starting at i: 2, 3 or 4 for a well-formed
// sequence, otherwise 1 (a stray or truncated byte stands alone).
size_t SequenceLength(const std::string& s, size_t i)
{
    const unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n = 1;
    if (b >= 0xC2 && b <= 0xDF)
        n = 2;
    else if (b >= 0xE0 && b <= 0xEF)
        n = 3;
    else if (b >= 0xF0 && b <= 0xF4)
        n = 4;
    if (i + n > s.size())
        return 1;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 1;
    return n;
}

// Case-maps the table's characters at byte index >= from and < to, copying
// everything else.
std::string MapTwoByte(const std::string& in, size_t from, size_t to, bool upper)
{
    const CaseTable& t = Table();
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        if (static_cast<unsigned char>(in[i]) < 0x80) {
            out += in[i++];
            continue;
        }
        const size_t n = SequenceLength(in, i);
        if (n == 2 && i >= from && i < to) {
            const int code = (in[i] & 0x1F) << 6 | (in[i + 1] & 0x3F);
            if (const int row = t.Row(code)) {
                const TSpecialChars& r = t.rows[row];
                const int target = code + (upper ? r.OffsetToUpper : r.OffsetToLower);
                if (t.Row(target)) {
                    out += t.rows[t.Row(target)].Character;
                    i += 2;
                    continue;
                }
            }
        }
        out.append(in, i, n);
        i += n;
    }
    return out;
}

// The row of a string that is exactly one of the table's characters, or 0.
int RowOfString(const std::string& s)
{
    if (s.size() != 2 || SequenceLength(s, 0) != 2)
        return 0;
    return Table().Row((s[0] & 0x1F) << 6 | (s[1] & 0x3F));
}

} // namespace

const std::array<TSpecialChars, SPECIAL_CHARS_COUNT>& SpecialChars = Table().rows;

std::string ToUppercase(const std::string& Input, bool OnlyFirst)
{
    std::string s = Input;
    const size_t n = OnlyFirst ? std::min<size_t>(1, s.size()) : s.size();
    for (size_t i = 0; i < n; ++i)
        if (s[i] >= 'a' && s[i] <= 'z')
            s[i] = static_cast<char>(s[i] - 'a' + 'A');
    return MapTwoByte(s, 0, n, true);
}

std::string ToLowercase(const std::string& Input, bool SkipFirst)
{
    std::string s = Input;
    const size_t from = SkipFirst ? 1 : 0;
    for (size_t i = from; i < s.size(); ++i)
        if (s[i] >= 'A' && s[i] <= 'Z')
            s[i] = static_cast<char>(s[i] - 'A' + 'a');
    return MapTwoByte(s, from, s.size(), false);
}

TSpecialChars GetCodeFromChar(const std::string& character)
{
    return Table().rows[RowOfString(character)];
}

std::string GetCharFromCode(int code)
{
    const int row = Table().Row(code);
    return row ? Table().rows[row].Character : std::string();
}

int GetCodeOfString(const std::string& character)
{
    return Table().rows[RowOfString(character)].Code;
}

// ---- e-mail ----

namespace {

bool IsSpecial(char c)
{
    return c != '\0' && std::strchr("()<>@,;:\\\"[]", c) != nullptr;
}

// Bytes of 0x80 and above count as negative, hence below the space.
bool IsControlOrSpace(char c) { return static_cast<signed char>(c) <= 0x20 || c == 0x7F; }

} // namespace

bool IsEmailAddressValid(const std::string& address)
{
    const std::string& a = address;
    const size_t n = a.size();
    size_t i = 0;
    bool at = false;
    // Local part.
    while (i < n) {
        const char c = a[i];
        if (c == '"' && (i == 0 || a[i - 1] == '.' || a[i - 1] == '"')) {
            bool closed = false;
            for (++i; i < n; ++i) {
                if (a[i] == '"') {
                    closed = true;
                    break;
                }
                if (a[i] == '\\') { // escapes the next character
                    if (++i >= n)
                        return false;
                    if (a[i] == ' ')
                        continue;
                }
                if (static_cast<signed char>(a[i]) < 0x20 || a[i] == 0x7F)
                    return false;
            }
            if (!closed || ++i >= n)
                return false;
            if (a[i] == '@') {
                at = true;
                break;
            }
            if (a[i] != '.')
                return false;
            ++i;
            continue;
        }
        if (c == '@') {
            at = true;
            break;
        }
        if (IsControlOrSpace(c) || IsSpecial(c))
            return false;
        ++i;
    }
    if (!at || i == 0 || a[i - 1] == '.' || i + 1 >= n)
        return false;
    // Domain.
    const size_t domain = ++i;
    int dots = 0;
    for (; i < n; ++i) {
        const char c = a[i];
        if (c == '.') {
            if (i == domain || a[i - 1] == '.')
                return false;
            ++dots;
        }
        if (IsControlOrSpace(c) || IsSpecial(c))
            return false;
    }
    return dots >= 1;
}

// ---- numbers in words ----

int ValidateNumber(const char* number, char* only_number)
{
    if (!only_number)
        return 0;
    int n = 0;
    if (number)
        while (n < 99 && number[n] >= '0' && number[n] <= '9') {
            only_number[n] = number[n];
            ++n;
        }
    only_number[n] = '\0';
    return n;
}

std::string NumberToText(const std::string& only_number)
{
    static const char* const ones[] = {" ", "ONE ", "TWO ", "THREE ", "FOUR ", "FIVE ", "SIX ", "SEVEN ", "EIGHT ", "NINE "};
    static const char* const teens[] = {"TEN ",     "ELEVEN ",  "TWELVE ",    "THIRTEEN ", "FOURTEEN ",
                                        "FIFTEEN ", "SIXTEEN ", "SEVENTEEN ", "EIGHTEEN ", "NINETEEN "};
    static const char* const tens[] = {"", "", "TWENTY ", "THIRTY ", "FOURTY ", "FIFTY ", "SIXTY ", "SEVENTY ", "EIGHTY ", "NINETY "};
    // Indexed by (remaining digits - 1) / 3; the stored spellings are kept.
    static const char* const scales[] = {"",
                                         "THOUNSAND ",
                                         "MILLION ",
                                         "BILLION ",
                                         "TRILLION ",
                                         "QUADRILLION ",
                                         "QUINTILLION ",
                                         "SEXTILLION ",
                                         "SEPTILLION ",
                                         "OCTILLION ",
                                         "NONILLION ",
                                         "DECILLION ",
                                         "UNDECILLION ",
                                         "DUODECILLION ",
                                         "TREDECILLION ",
                                         "QUATTUORDECILLION ",
                                         "QUINDECILLION ",
                                         "SEXDECILLION ",
                                         "SEPTENDECILLION ",
                                         "OCTODECILLION ",
                                         "NOVEMDECILLION ",
                                         "VIGINTILLION "};
    static_assert(sizeof scales / sizeof scales[0] == (NUMBER_TEXT_MAX_DIGITS - 1) / 3 + 1);

    const std::string& d = only_number;
    const size_t len = d.size();
    if (len > NUMBER_TEXT_MAX_DIGITS || d.find_first_not_of("0123456789") != std::string::npos)
        return {};
    if (d == "0")
        return "ZERO ";
    std::string out;
    bool group = false;
    for (size_t i = 0; i < len; ++i) {
        const size_t remaining = len - i;
        const size_t r = remaining % 3;
        if (r == 0)
            group = false;
        const int digit = d[i] - '0';
        if (digit != 0) {
            if (r == 1) {
                out += ones[digit];
            } else if (r == 2) {
                if (digit == 1)
                    out += teens[d[++i] - '0']; // the ones digit is consumed
                else
                    out += tens[digit];
            } else {
                out += ones[digit];
                out += "HUNDRED ";
            }
            group = true;
        }
        const size_t left = len - i; // counting the digit just used
        if (group && left >= 4 && left % 3 == 1)
            out += scales[(left - 1) / 3];
    }
    return out;
}

void NumberToText(const char* only_number, char* outputString)
{
    if (!outputString)
        return;
    const std::string words = only_number ? NumberToText(std::string(only_number)) : std::string();
    std::memcpy(outputString, words.c_str(), words.size() + 1);
}

// ---- hex ----

namespace {

int Nibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        c = static_cast<char>(c - 0x20);
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

} // namespace

unsigned char* ASCIIHexToBinHex(const char* pString, unsigned char* pResult, int& HexLength)
{
    if (!pString || !pResult)
        return nullptr;
    const size_t length = std::strlen(pString);
    const size_t odd = length % 2;
    const size_t room = HexLength > 0 ? static_cast<size_t>(HexLength) : 0;
    const size_t count = std::min((length + 1) / 2, room);
    for (size_t j = 0; j < count; ++j) {
        // In a text of odd length the first byte has only a low digit.
        const size_t low = 2 * j + 1 - odd;
        const int hi = (j == 0 && odd) ? 0 : Nibble(pString[low - 1]);
        pResult[j] = static_cast<unsigned char>(hi << 4 | Nibble(pString[low]));
    }
    HexLength = static_cast<int>(count);
    return pResult;
}

char* BinHexToASCIIHex(const unsigned char* Data, char* pDestination, int& DataLength)
{
    if (!Data || !pDestination)
        return nullptr;
    static const char digits[] = "0123456789ABCDEF";
    const int n = DataLength > 0 ? DataLength : 0;
    for (int i = 0; i < n; ++i) {
        pDestination[2 * i] = digits[Data[i] >> 4];
        pDestination[2 * i + 1] = digits[Data[i] & 0x0F];
    }
    pDestination[2 * n] = '\0';
    DataLength = 2 * n;
    return pDestination;
}

// ---- tickets ----

std::string CreateLoggableTicketNumber(const std::string& ticketValidationNumber)
{
    std::string s;
    for (char c : ticketValidationNumber)
        if (c != '-')
            s += c;
    const size_t m = std::max<size_t>(s.size(), 4) - 4;
    std::string out = ticketValidationNumber;
    size_t k = 0;
    for (char& c : out)
        if (c != '-' && k++ < m)
            c = '*';
    return out;
}

} // namespace MyUtils
