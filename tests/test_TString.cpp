#include "TString.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Capacity is not exposed; it shows in whether the buffer moves.
bool GrowsTo(TString& s, int n)
{
    const char* before = s.GetBuffer(0);
    return s.GetBuffer(n) != before;
}

} // namespace

TEST(TString, BufferGrowthRule)
{
    struct Case {
        int first, second;
        bool secondMoves;
    };
    // 64 to start; a step of less than 640 over-allocates by 640.
    const Case cases[] = {
        {64, 64, false},   // fits the initial buffer
        {70, 710, false},  // 70 gives 710
        {70, 711, true},
        {800, 800, false}, // a large step gives exactly the request
        {800, 801, true},
    };
    for (const Case& c : cases) {
        TString s;
        s = "keep";
        EXPECT_EQ(GrowsTo(s, c.first), c.first > 64) << c.first;
        EXPECT_EQ(GrowsTo(s, c.second), c.secondMoves) << c.first << " then " << c.second;
        EXPECT_STREQ(s, "keep");
        EXPECT_EQ(s.GetLength(), 4);
    }
    // Text a caller wrote into the buffer survives growth.
    TString s;
    std::strcpy(s.GetBuffer(10), "written");
    s.GetBuffer(5000);
    EXPECT_STREQ(s.GetBuffer(0), "written");
    s = s.GetBuffer(0); // recounts the length
    EXPECT_EQ(s.GetLength(), 7);
}

TEST(TString, AssignmentsAndConstructors)
{
    struct Case {
        TString value;
        const char* expected;
    };
    const Case cases[] = {
        {TString("abc"), "abc"},
        {TString(static_cast<const char*>(nullptr)), ""},
        {TString(-42), "-42"},
        {TString(4000000000u), "4000000000"},
        {TString(uint64_t(18446744073709551615ull)), "18446744073709551615"},
        {TString('x'), "x"},
        {TString(static_cast<unsigned char>(65)), "A"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.value, c.expected);
        EXPECT_EQ(c.value.GetLength(), static_cast<int>(std::strlen(c.expected)));
    }
    TString s;
    EXPECT_EQ(s.SetValue(static_cast<unsigned char>(65)), 1);
    EXPECT_STREQ(s, "A");
    EXPECT_EQ(s.SetValue(int64_t(-9223372036854775807LL - 1)), 1);
    EXPECT_STREQ(s, "-9223372036854775808");
    s = 'q';
    EXPECT_STREQ(s, "q");
    s = 17;
    EXPECT_STREQ(s, "17");
    TString t("other");
    s = t;
    EXPECT_STREQ(s, "other");
    s = s;
    EXPECT_STREQ(s, "other");
    s = s.GetBuffer(0) + 2; // a tail of its own buffer
    EXPECT_STREQ(s, "her");
    EXPECT_EQ(s.GetLength(), 3);
}

TEST(TString, AppendsAndConcatenation)
{
    TString s("abc");
    EXPECT_EQ(s.Append("def"), 1);
    EXPECT_STREQ(s, "abcdef");
    EXPECT_EQ(s.GetLength(), 6);
    EXPECT_EQ(s.Append('g'), 1);
    EXPECT_EQ(s.Append(static_cast<const char*>(nullptr)), 1);
    EXPECT_STREQ(s, "abcdefg");

    TString x("X");
    EXPECT_EQ(x.AppendToFront("ab", 3), 1);
    EXPECT_STREQ(x, "abababX");
    EXPECT_EQ(x.GetLength(), 7);
    EXPECT_EQ(x.AppendToFront("zz", 0), 1);
    EXPECT_STREQ(x, "abababX");

    EXPECT_STREQ(TString("a") + TString("b") + "c" + 'd' + -5 + 7u, "abcd-57");
}

TEST(TString, AppendingOwnTextAcrossGrowth)
{
    // Each append doubles the text, so the buffer moves while the source
    // still points into the old one.
    TString s("0123456789");
    std::string expected = "0123456789";
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(s.Append(s.GetBuffer(0)), 1);
        expected += expected;
        ASSERT_EQ(std::string(s), expected);
    }
    TString f("abcdef");
    f.AppendToFront(f.GetBuffer(0) + 3, 40);
    EXPECT_EQ(f.GetLength(), 6 + 3 * 40);
    EXPECT_EQ(std::string(f).substr(0, 6), "defdef");
}

TEST(TString, ComparisonCountAndFind)
{
    TString s("aaaa");
    EXPECT_EQ(s.Count("aa"), 2);
    EXPECT_EQ(s.Count(""), 0);
    EXPECT_EQ(s.Count(nullptr), 0);
    EXPECT_TRUE(s == "aaaa");
    EXPECT_TRUE(s != "aaa");
    EXPECT_TRUE(s == TString("aaaa"));
    EXPECT_LT(s.Compare("b"), 0);
    EXPECT_GT(s.Compare(nullptr), 0);

    struct Case {
        const char* text;
        const char* pattern;
        int start, expected;
    };
    const Case cases[] = {
        {"abc", "b", 5, -1},   {"abc", "b", 3, -1}, {"abc", "b", 0, 1}, {"abc", "b", 1, 1},
        {"abc", "b", 2, -1},   {"abc", "b", -7, 1}, {"abcabc", "c", 3, 5}, {"", "", 0, -1},
        {"abc", nullptr, 0, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TString(c.text).Find(c.pattern, c.start), c.expected) << c.text << " start " << c.start;
}

TEST(TString, FormatHasNoLengthLimit)
{
    TString s;
    EXPECT_EQ(s.Format("%d-%s", 12, "x"), 4);
    EXPECT_STREQ(s, "12-x");
    const std::string big(40000, 'z');
    EXPECT_EQ(s.Format("<%s>", big.c_str()), 40002);
    EXPECT_EQ(s.GetLength(), 40002);
    EXPECT_EQ(std::string(s), "<" + big + ">");
    // The arguments may be the string's own text.
    EXPECT_EQ(s.Format("%s%s", static_cast<const char*>(s), "!"), 40003);
    EXPECT_EQ(std::string(s), "<" + big + ">!");
}

TEST(TString, NumberScanning)
{
    int i = -1;
    int64_t i64 = -1;
    unsigned u = 1;
    uint64_t u64 = 1;
    double d = 0;
    unsigned hex = 0;
    EXPECT_EQ(TString("  42abc").GetInt(i), 1);
    EXPECT_EQ(i, 42);
    EXPECT_EQ(TString("x42").GetInt(i), 0);
    EXPECT_EQ(i, 42); // untouched
    EXPECT_EQ(TString("").GetInt(i), 0);
    EXPECT_EQ(TString("-9000000000").GetInt64(i64), 1);
    EXPECT_EQ(i64, -9000000000LL);
    EXPECT_EQ(TString("4000000000").GetUnsignedInt(u), 1);
    EXPECT_EQ(u, 4000000000u);
    EXPECT_EQ(TString("18446744073709551615").GetUnsignedInt64(u64), 1);
    EXPECT_EQ(u64, 18446744073709551615ull);
    EXPECT_EQ(TString("2.5e3").GetDouble(d), 1);
    EXPECT_DOUBLE_EQ(d, 2500.0);
    EXPECT_EQ(TString("fF").GetHexInt(hex), 1);
    EXPECT_EQ(hex, 0xFFu);
    EXPECT_EQ(TString("17").GetInt(), 17);
    EXPECT_EQ(TString("none").GetInt(), 0);

    unsigned char c = 0;
    EXPECT_EQ(TString("a5").GetHexChar(c), 1);
    EXPECT_EQ(c, 0xA5);
    EXPECT_EQ(TString("a5f").GetHexChar(c), 0);
    EXPECT_EQ(TString("zz").GetHexChar(c), 0);

    struct Case {
        const char* text;
        int pos, ok, value;
    };
    const Case pairs[] = {{"0aff", 0, 1, 0x0A}, {"0aff", 2, 1, 0xFF}, {"0aff", 3, 0, 0},
                          {"0aff", -1, 0, 0},   {"0aff", INT_MAX, 0, 0}, {"g1", 0, 1, 0x01}};
    for (const Case& p : pairs) {
        unsigned char r = 0x77;
        EXPECT_EQ(TString(p.text).Get2HexAsChar(p.pos, r), p.ok) << p.text << " @" << p.pos;
        EXPECT_EQ(r, p.ok ? p.value : 0x77) << p.text << " @" << p.pos;
    }
}

TEST(TString, HexConversions)
{
    struct Case {
        std::vector<unsigned char> bytes;
        int one;
        const char* hex;
    };
    const Case cases[] = {
        {{0x0A, 0xFF}, 0, "0aff"},
        {{0x00, 0x80, 0x7F}, 0, "00807f"},
        {{0x0A, 0xFF, 0x03}, 1, "af3"}, // one digit: high digit of bytes >= 16
    };
    for (const Case& c : cases) {
        TString s("previous");
        ASSERT_EQ(s.ToHex(c.bytes.data(), static_cast<int>(c.bytes.size()), c.one), 1);
        EXPECT_STREQ(s, c.hex);
        EXPECT_EQ(s.GetLength(), static_cast<int>(std::strlen(c.hex)));
        // Signed input gives the same digits.
        TString t;
        t.ToHex(reinterpret_cast<const char*>(c.bytes.data()), static_cast<int>(c.bytes.size()), c.one);
        EXPECT_STREQ(t, c.hex);
    }
    TString s("keep");
    EXPECT_EQ(s.ToHex("ab", 0), 0);
    EXPECT_EQ(s.ToHex(static_cast<const char*>(nullptr), 2), 0);
    EXPECT_STREQ(s, "keep");
    s.ToHex(s.GetBuffer(0), 4); // its own text
    EXPECT_STREQ(s, "6b656570");
    s.Append("x"); // still a usable string after the buffer swap
    EXPECT_STREQ(s, "6b656570x");

    struct Back {
        const char* hex;
        std::vector<unsigned char> bytes;
    };
    const Back backs[] = {{"0aff", {0x0A, 0xFF, 0x00}}, {"0AFf1", {0x0A, 0xFF, 0x00}}, {"", {0x00}},
                          {"zz10", {0x00, 0x10, 0x00}}};
    for (const Back& b : backs) {
        unsigned char* out = nullptr;
        ASSERT_EQ(TString(b.hex).FromHex(&out), 1);
        EXPECT_EQ(std::vector<unsigned char>(out, out + b.bytes.size()), b.bytes) << b.hex;
        std::free(out);
    }
    EXPECT_EQ(TString("00").FromHex(static_cast<char**>(nullptr)), 0);
}

TEST(TString, Mid)
{
    struct Case {
        int start, count;
        const char* expected;
    };
    const Case cases[] = {{1, 3, "bcd"}, {4, -1, "ef"}, {4, 10, "ef"}, {0, -1, "abcdef"}, {6, -1, ""},
                          {9, 2, ""},    {2, 0, ""},    {-2, 3, "abc"}, {-5, -1, "abcdef"}, {1, -3, ""},
                          {2, INT_MAX, "cdef"}};
    const TString s("abcdef");
    for (const Case& c : cases) {
        const TString m = s.Mid(c.start, c.count);
        EXPECT_STREQ(m, c.expected) << c.start << "," << c.count;
        EXPECT_EQ(m.GetLength(), static_cast<int>(std::strlen(c.expected)));
    }
    const std::string big(1000, 'q');
    EXPECT_EQ(std::string(TString(big.c_str()).Mid(10, 900)), big.substr(10, 900));
}

TEST(TString, Subtract)
{
    struct Case {
        const char *text, *delimiter;
        int result;
        const char *line, *rest;
    };
    const Case cases[] = {
        {"a;b;c", ";", 1, "a", "b;c"},
        {"c", ";", 1, "c", ""},
        {"", ";", 0, "", ""},
        {";x", ";", 1, "", "x"},
        {"a::b", "::", 1, "a", ":b"}, // only one delimiter character is skipped
        {"abc", nullptr, 1, "abc", ""},
    };
    for (const Case& c : cases) {
        TString s(c.text), line("old");
        EXPECT_EQ(s.Subtract(c.delimiter, &line), c.result) << c.text;
        EXPECT_STREQ(line, c.line) << c.text;
        EXPECT_STREQ(s, c.rest) << c.text;
        TString t(c.text);
        EXPECT_EQ(t.Subtract(c.delimiter, nullptr), c.result) << c.text;
        EXPECT_STREQ(t, c.rest) << c.text;
    }
    // Walking a line field by field.
    TString row("1,22,,333"), field;
    std::vector<std::string> got;
    while (row.Subtract(",", &field))
        got.push_back(std::string(field));
    EXPECT_EQ(got, (std::vector<std::string>{"1", "22", "", "333"}));
}

TEST(TString, GuardedCopiesAcrossThreads)
{
    ASSERT_EQ(TString::CreateSafeMutex(), 1);
    TString shared("aaaa");
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            shared.SetSafe(i % 2 ? "aaaa" : "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    });
    int torn = 0;
    for (int i = 0; i < 2000; ++i) {
        const TString copy = shared.GetSafe();
        const std::string c(copy);
        if (c.find_first_not_of(c[0]) != std::string::npos)
            ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

TEST(TString, FindMsgAndBcd)
{
    const Ips table[] = {{1, "one"}, {5, "five"}, {1, "shadowed"}, {0, nullptr}};
    EXPECT_STREQ(FindMsg(table, 5), "five");
    EXPECT_STREQ(FindMsg(table, 1), "one");
    EXPECT_STREQ(FindMsg(table, 7), "INVALID TEXT NUM 7");
    EXPECT_STREQ(FindMsg(nullptr, -3), "INVALID TEXT NUM -3");
    // Each thread has its own miss text.
    const char* mine = FindMsg(table, 8);
    std::thread([&] { FindMsg(table, 9); }).join();
    EXPECT_STREQ(mine, "INVALID TEXT NUM 8");

    struct Case {
        const char* value;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"12345", {0x01, 0x23, 0x45}},
        {"12345", {0x00, 0x01, 0x23, 0x45}},
        {"123456", {0x12, 0x34, 0x56}},
        {"9876543", {0x65, 0x43}}, // leading digits that do not fit are dropped
        {"", {0x00, 0x00}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> out(c.bytes.size(), 0xEE);
        StrToBCD(c.value, out.data(), static_cast<int>(out.size()));
        EXPECT_EQ(out, c.bytes) << c.value << " into " << c.bytes.size();
    }
}

TEST(TString, UnitTestPrintsSamples)
{
    testing::internal::CaptureStdout();
    TStringUnitTest();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("abcdef"), std::string::npos);
    EXPECT_NE(out.find("01 23 45"), std::string::npos);
}
