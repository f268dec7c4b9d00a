// Text and number helpers of MyUtils: number formatting (plain, grouped by
// the framework's separators, currency), UTF-8 case conversion over a
// built-in table of two-byte characters, English number words, e-mail syntax
// checks, splitting, trimming, replacing, XML unescaping, ticket masking and
// hex conversions.
//
// Threads: everything is re-entrant except UpdateLocale, which replaces the
// process's global locale: call it at start-up, before other threads format
// numbers. The separator globals are read when a locale is built, so change
// them before UpdateLocale.
// Failure: nothing throws. Null pointers, invalid UTF-8, overlong digit runs
// and non-hex characters give the defined results stated below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <locale>
#include <string>
#include <vector>

namespace MyUtils {

// ---- locale and number formatting ----

extern char decimal_separator;      // ','
extern char thousand_separator;     // '.'
extern std::string thousand_grouping; // "\3": groups of three

// Numeric punctuation taken from the three globals above.
class myseparators : public std::numpunct<char> {
public:
    explicit myseparators(size_t refs = 0) : std::numpunct<char>(refs) {}

protected:
    char do_decimal_point() const override { return decimal_separator; }
    char do_thousands_sep() const override { return thousand_separator; }
    std::string do_grouping() const override { return thousand_grouping; }
};

// The one process-wide facet; never deleted, so it outlives every locale.
extern myseparators* const separators;
extern std::string baseLocaleName;
extern std::locale user_locale;

// Builds user_locale from the named locale with the separators facet and makes
// it the global locale. An unknown name falls back to "C" (still with the
// separators) and returns false.
bool UpdateLocale(const std::string& baseLocale);

std::string int2str(int64_t val);           // global locale (grouped after UpdateLocale)
std::string double2string(double value);    // 12 significant digits, global locale
std::string itos(int64_t val);              // "C" locale, never grouped
std::string dtos(double value, int precision);            // fixed, "C" locale
std::string currency2string(double value, int precision); // fixed, user_locale
double round(double n, int d);              // floor(n * 10^d + 0.5) / 10^d

// Room itoa needs: 64 binary digits, a sign and the terminator.
constexpr size_t ITOA_BUFFER_SIZE = 66;
// val in base 2..16 with lower-case digits; any other base gives "". Result
// must hold ITOA_BUFFER_SIZE bytes for base 2 (22 suffice for base 10).
char* itoa(long val, char* Result, int base);
// The same into a per-thread buffer, overwritten by the thread's next call.
char* itoa(long val, int base);
// val in base 2..36 with a leading '-' for negative values; any other base
// gives "". result needs ITOA_BUFFER_SIZE bytes in the worst case.
char* itoa4(long value, char* result, int base);

// ---- strings ----

// Splits at every occurrence of delimiter. The piece after the last delimiter
// is always added, even when empty. An empty delimiter gives the whole phrase.
std::vector<std::string> string2vector(const std::string& phrase, const std::string& delimiter,
                                       bool bDeleteEmptyEntries);
std::string trim(const std::string& str); // spaces (0x20) only
void trimString(std::string& str);
// Replaces every occurrence, left to right, never searching inserted text. An
// empty from leaves str unchanged.
void StringReplace(std::string& str, const std::string& from, const std::string& to);
// &quot; &apos; &amp; &lt; &gt;, one pass each in that order.
void UnescapeXml(std::string& xml);

// One two-byte UTF-8 character of the case table.
struct TSpecialChars {
    std::string Character;
    int Code;
    int OffsetToLower; // added to Code for the lower-case partner; 0 when none
    int OffsetToUpper; // added to Code for the upper-case partner; 0 when none
};
constexpr size_t SPECIAL_CHARS_COUNT = 631; // row 0 is the sentinel (Code -1)
extern const std::array<TSpecialChars, SPECIAL_CHARS_COUNT>& SpecialChars;

// ASCII letters and the table's two-byte characters; other bytes are copied.
// Three- and four-byte sequences are copied whole, and a lead byte without
// its continuation bytes is copied alone, so neither disturbs what follows.
std::string ToUppercase(const std::string& Input, bool OnlyFirst = false);
std::string ToLowercase(const std::string& Input, bool SkipFirst = false);
TSpecialChars GetCodeFromChar(const std::string& character); // sentinel copy when absent
std::string GetCharFromCode(int code);                       // "" when absent
int GetCodeOfString(const std::string& character);           // -1 when absent

bool IsEmailAddressValid(const std::string& address);

// Copies the leading decimal digits of number (at most 99 of them) into
// only_number, which needs 100 bytes, and returns how many were copied.
int ValidateNumber(const char* number, char* only_number);

// Longest text NumberToText writes, terminator excluded (66 digits).
constexpr size_t NUMBER_TEXT_MAX = 868;
constexpr size_t NUMBER_TEXT_MAX_DIGITS = 66;
// Upper-case English words of a digit string, each followed by a space:
// "1012" -> "ONE THOUNSAND TWELVE ", "0" -> "ZERO ". Text with anything but
// digits, or with more than 66 of them, gives "". outputString needs
// NUMBER_TEXT_MAX + 1 bytes.
void NumberToText(const char* only_number, char* outputString);
std::string NumberToText(const std::string& only_number);

// Hex digits to bytes. HexLength is the capacity of pResult on entry and the
// number of bytes written on return; with less room the leading bytes are
// converted. An odd count reads as if "0" stood in front; a character that is
// not a hex digit counts as 0. Returns pResult, or null for a null argument.
unsigned char* ASCIIHexToBinHex(const char* pString, unsigned char* pResult, int& HexLength);
// Two upper-case digits per byte and a terminator; DataLength becomes the
// number of digits. Returns pDestination, or null for a null argument.
char* BinHexToASCIIHex(const unsigned char* Data, char* pDestination, int& DataLength);

// Masks all but the last four non-dash characters with '*', keeping every
// dash where it stands: "1234-5678-9012" -> "****-****-9012".
std::string CreateLoggableTicketNumber(const std::string& ticketValidationNumber);

} // namespace MyUtils
