#include "MyUtilsText.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace MyUtils;

TEST(NumberFormat, LocaleSeparators)
{
    EXPECT_EQ(currency2string(1000.5, 2), "1000.50");
    EXPECT_EQ(int2str(1200000), "1200000");

    EXPECT_TRUE(UpdateLocale("C"));
    EXPECT_EQ(baseLocaleName, "C");
    EXPECT_EQ(int2str(1200000), "1.200.000");
    EXPECT_EQ(int2str(-1234), "-1.234");
    EXPECT_EQ(currency2string(1000.5, 2), "1.000,50");
    EXPECT_EQ(double2string(1234567.25), "1.234.567,25");
    EXPECT_EQ(double2string(0.1 + 0.2), "0,3"); // 12 significant digits
    // The "C"-locale forms are never grouped.
    EXPECT_EQ(itos(1200000), "1200000");
    EXPECT_EQ(dtos(1000.5, 2), "1000.50");
    EXPECT_EQ(dtos(2.0 / 3.0, 4), "0.6667");
    // The C library's own formatting is left alone.
    char c[16];
    std::snprintf(c, sizeof c, "%.1f", 1.5);
    EXPECT_STREQ(c, "1.5");

    EXPECT_FALSE(UpdateLocale("no_such_locale.XYZ"));
    EXPECT_EQ(int2str(1200000), "1.200.000");
}

TEST(NumberFormat, Round)
{
    EXPECT_DOUBLE_EQ(MyUtils::round(2.5, 0), 3.0);
    EXPECT_DOUBLE_EQ(MyUtils::round(-2.5, 0), -2.0);
    EXPECT_NEAR(MyUtils::round(1.23456, 3), 1.235, 1e-12);
    EXPECT_DOUBLE_EQ(MyUtils::round(1250.0, -2), 1300.0);
}

TEST(NumberFormat, Itoa)
{
    struct Case {
        long val;
        int base;
        std::string expected;
    };
    const Case cases[] = {
        {0, 10, "0"},
        {-255, 16, "-ff"},
        {255, 2, "11111111"},
        {1L << 30, 2, "1" + std::string(30, '0')},
        {1L << 40, 2, "1" + std::string(40, '0')},
        {LONG_MIN, 2, "-1" + std::string(63, '0')},
        {LONG_MIN, 10, "-9223372036854775808"},
        {LONG_MAX, 16, "7fffffffffffffff"},
        {-1, 3, "-1"},
        {12345, 17, ""},
        {12345, 1, ""},
        {12345, -10, ""},
    };
    for (const Case& c : cases) {
        char buf[ITOA_BUFFER_SIZE];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(std::string(itoa(c.val, buf, c.base)), c.expected) << c.val << " base " << c.base;
        EXPECT_EQ(std::string(itoa(c.val, c.base)), c.expected) << c.val << " base " << c.base;
    }
    EXPECT_EQ(itoa(1, nullptr, 10), nullptr);

    const Case cases4[] = {
        {255, 36, "73"},      {-255, 16, "-ff"}, {0, 10, "0"}, {35, 36, "z"}, {-35, 36, "-z"},
        {LONG_MIN, 10, "-9223372036854775808"}, {LONG_MIN, 2, "-1" + std::string(63, '0')},
        {5, 37, ""},          {5, 1, ""},
    };
    for (const Case& c : cases4) {
        char buf[ITOA_BUFFER_SIZE];
        EXPECT_EQ(std::string(itoa4(c.val, buf, c.base)), c.expected) << c.val << " base " << c.base;
    }
}

TEST(Strings, Split)
{
    using V = std::vector<std::string>;
    struct Case {
        std::string phrase, delimiter;
        bool deleteEmpty;
        V expected;
    };
    const Case cases[] = {
        {"a,,b,", ",", true, {"a", "b", ""}},
        {"a,,b,", ",", false, {"a", "", "b", ""}},
        {"", ",", false, {""}},
        {"", ",", true, {""}},
        {"abc", ",", false, {"abc"}},
        {"a::b::::c", "::", true, {"a", "b", "c"}},
        {"a:::b", "::", false, {"a", ":b"}},
        {"a,b", "", false, {"a,b"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(string2vector(c.phrase, c.delimiter, c.deleteEmpty), c.expected) << c.phrase << " at " << c.delimiter;
}

TEST(Strings, TrimReplaceUnescape)
{
    const std::pair<std::string, std::string> trims[] = {
        {"   ", ""}, {"  a b  ", "a b"}, {"\ta\t", "\ta\t"}, {"", ""}, {"x", "x"}, {" x", "x"}};
    for (const auto& [in, out] : trims) {
        EXPECT_EQ(trim(in), out) << "[" << in << "]";
        std::string s = in;
        trimString(s);
        EXPECT_EQ(s, out);
    }

    struct Case {
        std::string text, from, to, expected;
    };
    const Case replaces[] = {
        {"aaa", "a", "aa", "aaaaaa"}, // inserted text is not searched again
        {"abcabc", "bc", "", "aa"},
        {"abc", "", "x", "abc"},      // empty pattern: unchanged
        {"abc", "zz", "x", "abc"},
        {"xx", "xx", "y", "y"},
        {"", "a", "b", ""},
    };
    for (const Case& c : replaces) {
        std::string s = c.text;
        StringReplace(s, c.from, c.to);
        EXPECT_EQ(s, c.expected) << c.text << ": " << c.from << " -> " << c.to;
    }

    const std::pair<std::string, std::string> xml[] = {
        {"&amp;lt;", "<"}, {"&quot;x&apos;", "\"x'"}, {"a &lt;b&gt; &amp; c", "a <b> & c"}, {"&unknown;", "&unknown;"}};
    for (const auto& [in, out] : xml) {
        std::string s = in;
        UnescapeXml(s);
        EXPECT_EQ(s, out) << in;
    }
}

TEST(CaseTable, RowsAndOffsets)
{
    EXPECT_EQ(SpecialChars[0].Code, -1);
    EXPECT_EQ(SpecialChars[0].Character, "");
    EXPECT_EQ(SpecialChars[1].Code, 0xA1);
    EXPECT_EQ(SpecialChars[630].Code, 0x3FF);
    for (size_t i = 1; i < SPECIAL_CHARS_COUNT; ++i) {
        const TSpecialChars& r = SpecialChars[i];
        if (i > 1) {
            ASSERT_GT(r.Code, SpecialChars[i - 1].Code);
        }
        ASSERT_EQ(r.Character.size(), 2u);
        ASSERT_TRUE(r.OffsetToLower == 0 || r.OffsetToLower == 1 || r.OffsetToLower == 32) << std::hex << r.Code;
        ASSERT_TRUE(r.OffsetToUpper == 0 || r.OffsetToUpper == -1 || r.OffsetToUpper == -32) << std::hex << r.Code;
    }
    struct Row {
        int code, toLower, toUpper;
    };
    const Row rows[] = {
        {0x00C0, 32, 0}, {0x00E0, 0, -32}, {0x00D7, 0, 0},  {0x00F7, 0, 0},   {0x00B5, 0, 0},  {0x00FF, 0, -32},
        {0x0100, 1, 0},  {0x0101, 0, -1},  {0x0130, 1, 0},  {0x0131, 0, -1},  {0x0178, 0, 0},  {0x0246, 0, 0},
        {0x0247, 0, 0},  {0x0248, 1, 0},   {0x0249, 0, -1}, {0x0370, 0, 0},   {0x0377, 0, 0},  {0x0386, 0, 0},
        {0x03A3, 32, 0}, {0x03C2, 0, -32}, {0x03C3, 0, -32}, {0x03F7, 1, 0},  {0x03F8, 0, -1}, {0x03FF, 0, 0},
    };
    for (const Row& r : rows) {
        const TSpecialChars row = GetCodeFromChar(GetCharFromCode(r.code));
        EXPECT_EQ(row.Code, r.code);
        EXPECT_EQ(row.OffsetToLower, r.toLower) << std::hex << r.code;
        EXPECT_EQ(row.OffsetToUpper, r.toUpper) << std::hex << r.code;
    }
    // Codes outside the ranges and strings that are not one table character.
    EXPECT_EQ(GetCharFromCode(0x3A2), "");
    EXPECT_EQ(GetCharFromCode(0xAD), "");
    EXPECT_EQ(GetCharFromCode(-5), "");
    EXPECT_EQ(GetCodeOfString("\xCE\xA9"), 0x3A9);
    for (const char* s : {"x", "", "\xC3", "\xC3\xA9x", "\xC0\x80", "\xE2\x82\xAC"}) {
        EXPECT_EQ(GetCodeOfString(s), -1) << s;
        EXPECT_EQ(GetCodeFromChar(s).Character, "");
    }
}

TEST(CaseConversion, UpperAndLower)
{
    struct Case {
        std::string in;
        bool flag; // OnlyFirst / SkipFirst
        std::string expected;
    };
    const Case upper[] = {
        {"élan", true, "Élan"},
        {"aé", true, "Aé"},
        {"ÿ", false, "ß"},          // the table's own mapping
        {"ς", false, "ς"},          // its target is not in the table
        {"straße", false, "STRAßE"},
        {"çà ŀ", false, "ÇÀ Ŀ"},
        {"αβγ ω", false, "ΑΒΓ Ω"},
        {"ı", false, "İ"},
        {"ͱ", false, "ͱ"},
        {"", false, ""},
        {"", true, ""},
        // Invalid or longer sequences are copied and do not disturb the rest.
        {"a\xC3", false, "A\xC3"},
        {"\xC3" "a", false, "\xC3" "A"},
        {"€é", false, "€É"},
        {"😀é", false, "😀É"},
        {"\xA9é", false, "\xA9É"},
        {"\xE2\x82" "é", false, "\xE2\x82É"},
        {"\xC0\x80", false, "\xC0\x80"},
    };
    for (const Case& c : upper)
        EXPECT_EQ(ToUppercase(c.in, c.flag), c.expected) << c.in << (c.flag ? " first only" : "");

    const Case lower[] = {
        {"ÀB", true, "Àb"},
        {"ÀÉÎ", false, "àéî"},
        {"ĀĂ", false, "āă"},
        {"İ", false, "ı"},
        {"ΣΑΣ", false, "σασ"},
        {"ß", false, "ß"},
        {"ABC", true, "Abc"},
        {"É€À", false, "é€à"},
        {"\xC3", true, "\xC3"},
    };
    for (const Case& c : lower)
        EXPECT_EQ(ToLowercase(c.in, c.flag), c.expected) << c.in << (c.flag ? " skip first" : "");
}

TEST(Email, Validity)
{
    struct Case {
        const char* address;
        bool valid;
    };
    const Case cases[] = {
        {"a@b.c", true},
        {"first.last@mail.example.com", true},
        {"\"quoted name\"@example.com", true},
        {"\"a\\\"b\"@example.com", true},     // escaped quote inside the quotes
        {"\"x\".y@example.com", true},
        {"a@b", false},                     // no dot in the domain
        {"a.@b.c", false},                  // local part ends with a dot
        {"@b.c", false},                    // empty local part
        {"a@.b.c", false},                  // domain starts with a dot
        {"a@b..c", false},                  // two dots in a row
        {"ab.c", false},                    // no at sign
        {"a@", false},
        {"", false},
        {"a b@c.d", false},
        {"a@c d.e", false},
        {"a(b@c.d", false},
        {"a@c,d.e", false},
        {"\xC3\xA9@c.d", false},            // bytes above 0x7F
        {"\"unterminated@c.d", false},
        {"\"q\"x@c.d", false},              // after the closing quote only . or @
        {"\"q\"", false},
        {"\"tab\there\"@c.d", false},
        {"\"ends with backslash\\", false},
        {"a@b.c.", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsEmailAddressValid(c.address), c.valid) << c.address;
}

TEST(NumberWords, Digits)
{
    char only[100];
    EXPECT_EQ(ValidateNumber("123abc", only), 3);
    EXPECT_STREQ(only, "123");
    EXPECT_EQ(ValidateNumber("x1", only), 0);
    EXPECT_STREQ(only, "");
    EXPECT_EQ(ValidateNumber(nullptr, only), 0);
    const std::string longRun(150, '7');
    EXPECT_EQ(ValidateNumber(longRun.c_str(), only), 99);
    EXPECT_EQ(std::string(only), std::string(99, '7'));

    struct Case {
        std::string digits, words;
    };
    const Case cases[] = {
        {"0", "ZERO "},
        {"000", ""},
        {"", ""},
        {"7", "SEVEN "},
        {"40", "FOURTY "},
        {"13", "THIRTEEN "},
        {"300", "THREE HUNDRED "},
        {"1012", "ONE THOUNSAND TWELVE "},
        {"12000", "TWELVE THOUNSAND "},
        {"1000000", "ONE MILLION "},
        {"1000001", "ONE MILLION ONE "},
        {"1001000", "ONE MILLION ONE THOUNSAND "},
        {"999999", "NINE HUNDRED NINETY NINE THOUNSAND NINE HUNDRED NINETY NINE "},
        {"0042", "FOURTY TWO "},
        {"1" + std::string(15, '0'), "ONE QUADRILLION "},
        {"1" + std::string(63, '0'), "ONE VIGINTILLION "},
        {"1" + std::string(65, '0'), "ONE HUNDRED VIGINTILLION "},
        {"1" + std::string(66, '0'), ""}, // beyond the scale words
        {"12a", ""},
        {"-5", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NumberToText(c.digits), c.words) << c.digits;
        char out[NUMBER_TEXT_MAX + 1];
        std::memset(out, 'x', sizeof out);
        NumberToText(c.digits.c_str(), out);
        EXPECT_STREQ(out, c.words.c_str()) << c.digits;
    }
    // The longest text fits the documented bound exactly.
    EXPECT_EQ(NumberToText(std::string(66, '7')).size(), NUMBER_TEXT_MAX);
}

TEST(Hex, AsciiToBinaryAndBack)
{
    struct Case {
        const char* text;
        int room;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"0aFF", 4, {0x0A, 0xFF}},
        {"abc", 4, {0x0A, 0xBC}},   // odd count: a 0 in front
        {"1234", 1, {0x12}},        // only the leading bytes that fit
        {"zz1g", 2, {0x00, 0x10}},  // non-hex characters count as 0
        {"", 3, {}},
        {"12", 0, {}},
        {"12", -4, {}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> out(8, 0xEE);
        int n = c.room;
        EXPECT_EQ(ASCIIHexToBinHex(c.text, out.data(), n), out.data()) << c.text;
        ASSERT_EQ(n, static_cast<int>(c.bytes.size())) << c.text;
        EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + n), c.bytes) << c.text;
        EXPECT_EQ(out[static_cast<size_t>(n)], 0xEE) << c.text;
    }
    int n = 4;
    EXPECT_EQ(ASCIIHexToBinHex(nullptr, nullptr, n), nullptr);

    const unsigned char data[] = {0x0A, 0xFF, 0x10};
    char text[7];
    int len = 3;
    EXPECT_EQ(BinHexToASCIIHex(data, text, len), text);
    EXPECT_STREQ(text, "0AFF10");
    EXPECT_EQ(len, 6);
    len = 0;
    BinHexToASCIIHex(data, text, len);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(BinHexToASCIIHex(nullptr, text, len), nullptr);
}

TEST(Tickets, MaskingKeepsDashLayout)
{
    const std::pair<std::string, std::string> cases[] = {
        {"1234-5678-9012", "****-****-9012"},
        {"1234", "1234"},
        {"12", "12"},
        {"", ""},
        {"123456", "**3456"},
        {"-1234-5678-", "-****-5678-"},
        {"12--3456789", "**--***6789"},
        {"12-34", "12-34"},
        {"----", "----"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(CreateLoggableTicketNumber(in), out) << in;
}
