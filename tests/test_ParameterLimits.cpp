#include "ParameterLimits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The lines the parser prints for an expression, one per failed block.
std::string ErrorLines(const std::string& expression, const std::vector<std::string>& details)
{
    std::string out;
    for (const std::string& d : details)
        out += "Error parsing limit <" + expression + ">! Details: " + d + "\n";
    return out;
}

struct CheckCase {
    std::string expression;
    std::string value;
    std::string expected;
    std::vector<std::string> errors;
};

const std::string kManyNines(400, '9');

const std::vector<CheckCase> kCheckCases = {
    // No expression: everything passes.
    {"", "anything", "anything", {}},
    {"", "", "", {}},

    // Inclusive bounds correct to the first inclusive value, never the bound
    // that was broken; a text against numbers only is not corrected.
    {">=1|<=10", "5", "5", {}},
    {">=1|<=10", "0", "1", {}},
    {">=1|<=10", "11", "1", {}},
    {">=1|<=10", "abc", "abc", {}},
    {">=1|<=10", "10,0", "10,0", {}},

    // Exclusive bounds correct to the bound in "%f" form.
    {">0|<100", "0", "0.000000", {}},
    {">0|<100", "100", "100.000000", {}},
    {">0|<100", "50", "50", {}},
    {">5", "5", "5.000000", {}},
    {">5", "5.000000", "5.000000", {}},
    {"<2,5", "3", "2.500000", {}},

    // A list of values: numeric equality, exact text equality.
    {"=1|=2|=3", "2", "2", {}},
    {"=1|=2|=3", "2.0", "2.0", {}},
    {"=1|=2|=3", "7", "1", {}},
    // A text is no member of a list of numbers: corrected to the first.
    {"=1|=2|=3", "abc", "1", {}},
    {"=1|=2|=3", "", "1", {}},
    {"=2,5|=3", "x", "2,5", {}},
    {"=\"auto\"|=\"manual\"", "auto", "auto", {}},
    {"=\"auto\"|=\"manual\"", "manual", "manual", {}},
    {"=\"auto\"|=\"manual\"", "Auto", "auto", {}},
    {"=1|=\"x\"", "x", "x", {}},
    {"=1|=\"x\"", "1.0", "1.0", {}},
    {"=1|=\"x\"", "y", "x", {}},
    {"=\"größe\"", "größe", "größe", {}},
    {"=\"größe\"", "GRÖSSE", "größe", {}},

    // The fold runs left to right: "=" re-admits past an earlier bound only.
    {"=0|>=1", "0", "0", {}},
    {"=0|>=1", "5", "5", {}},
    {"=0|>=1", "0.5", "0", {}},
    {">=1|=0", "0", "0", {}},
    {">=1|=0", "0.5", "1", {}},

    // A later bound of one direction replaces the earlier as the correction.
    {">=10|>=1", "5", "10", {}},
    {">10|>1", "5", "5", {}},

    // Bad blocks are reported and dropped; the good ones still apply.
    {">=5|abc|<\"x\"", "3", "5", {"Unsupported comparator - abc", "Inappropriate comparator for string type - \"x\""}},
    {">=5|abc|<\"x\"", "7", "7", {"Unsupported comparator - abc", "Inappropriate comparator for string type - \"x\""}},
    {">5|", "6", "6", {}},
    {">5|", "5", "5.000000", {}},
    {"|>5", "6", "6", {"Unsupported comparator - "}},
    {"|>5", "4", "5.000000", {"Unsupported comparator - "}},
    {"|", "x", "x", {"Unsupported comparator - "}},
    {"||", "x", "x", {"Unsupported comparator - ", "Unsupported comparator - "}},
    {"> 5", "1", "1", {"Unsupported limit type -  5"}},
    {" >5", "1", "1", {"Unsupported comparator -  >5"}},
    {"=-1", "-1", "-1", {"Unsupported limit type - -1"}},
    {"=.5", "1", "1", {"Unsupported limit type - .5"}},
    {"<=", "1", "1", {"Argument after comparator cannot be empty"}},
    {"=", "1", "1", {"Argument after comparator cannot be empty"}},
    {"=>5", "1", "1", {"Unsupported limit type - >5"}},
    {"=\"", "1", "1", {"Missing closing quotes"}},
    {"=\"abc", "1", "1", {"Missing closing quotes"}},
    // A bar inside quotes still splits the block.
    {"=\"a|b\"", "a|b", "a|b", {"Missing closing quotes", "Unsupported comparator - b\""}},

    // Arguments as written.
    {"=5.", "5", "5", {}},
    {"=5.", "6", "5.", {}},
    {"=\"\"", "", "", {}},
    {"=\"\"", "x", "", {}},
    {"=\"a\"b\"", "a\"b", "a\"b", {}},

    // "." and "," are one separator, whatever the locale.
    {"<=2,5", "2,4", "2,4", {}},
    {"<=2,5", "2.5", "2.5", {}},
    {"<=2,5", "2,6", "2,5", {}},
    {"<=2.5", "2,6", "2.5", {}},

    // Integers compare exactly where a double could not tell them apart.
    {"=9007199254740993", "9007199254740993", "9007199254740993", {}},
    {"=9007199254740993", "9007199254740992", "9007199254740993", {}},
    {"<9223372036854775807", "9223372036854775806", "9223372036854775806", {}},

    // Beyond the 64-bit range numbers compare as doubles.
    {"<=99999999999999999999", "99999999999999999998", "99999999999999999998", {}},
    {"<=99999999999999999999", "100000000000000000000000", "99999999999999999999", {}},
    {">=" + kManyNines, "5", kManyNines, {}},
    {"<=5", kManyNines, "5", {}},
    {"<5", kManyNines + ",5", "5.000000", {}},
};

TEST(ParameterLimitsCheck, AnswersEveryCaseAndPrintsItsErrors)
{
    for (const CheckCase& c : kCheckCases) {
        SCOPED_TRACE("expression <" + c.expression + "> value <" + c.value + ">");
        CaptureStdout();
        ParameterLimits limits(c.expression);
        EXPECT_EQ(GetCapturedStdout(), ErrorLines(c.expression, c.errors));
        EXPECT_EQ(limits.OriginalString(), c.expression);
        EXPECT_EQ(limits.Check(c.value), c.expected);
        EXPECT_EQ(limits.SatisfiesLimit(c.value), c.expected == c.value);
    }
}

// The classifier seen through the argument of an "=" block.
TEST(ParameterLimitsParse, ClassifiesNumbers)
{
    struct Case {
        std::string text;
        ParameterLimits::LimitType type;
    };
    const std::vector<Case> cases = {
        {"0", ParameterLimits::INTEGER},
        {"00012", ParameterLimits::INTEGER},
        {kManyNines, ParameterLimits::INTEGER},
        {"2.5", ParameterLimits::FLOAT},
        {"2,5", ParameterLimits::FLOAT},
        {"5.", ParameterLimits::FLOAT},
        {"5,", ParameterLimits::FLOAT},
        {"-5", ParameterLimits::UNDEFINED},
        {"+5", ParameterLimits::UNDEFINED},
        {" 5", ParameterLimits::UNDEFINED},
        {"5 ", ParameterLimits::UNDEFINED},
        {"1e3", ParameterLimits::UNDEFINED},
        {".5", ParameterLimits::UNDEFINED},
        {",5", ParameterLimits::UNDEFINED},
        {"1.2.3", ParameterLimits::UNDEFINED},
        {"1,2.3", ParameterLimits::UNDEFINED},
        {"0x10", ParameterLimits::UNDEFINED},
        {"\xEF\xBC\x95", ParameterLimits::UNDEFINED}, // a full-width digit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("argument <" + c.text + ">");
        const std::string expression = "=" + c.text;
        CaptureStdout();
        ParameterLimits limits(expression);
        const std::string out = GetCapturedStdout();
        if (c.type == ParameterLimits::UNDEFINED) {
            EXPECT_EQ(out, ErrorLines(expression, {"Unsupported limit type - " + c.text}));
            EXPECT_FALSE(limits.HasAnyLimits());
            continue;
        }
        EXPECT_EQ(out, "");
        ASSERT_EQ(limits.GetLimits().size(), 1u);
        EXPECT_EQ(limits.GetLimits()[0].Type, c.type);
        EXPECT_EQ(limits.GetLimits()[0].Value, c.text);
        EXPECT_EQ(limits.GetLimits()[0].CompareType, ParameterLimits::EQUAL);
    }
}

TEST(ParameterLimitsParse, StoresBlocksInOrderWithTheirComparators)
{
    CaptureStdout();
    ParameterLimits limits("=\"on\"|<1|<=2,5|>3|>=4|bad");
    GetCapturedStdout();
    const auto& l = limits.GetLimits();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(l[0].Type, ParameterLimits::STRING);
    EXPECT_EQ(l[0].Value, "on");
    const ParameterLimits::Compare expected[] = {ParameterLimits::EQUAL, ParameterLimits::MAX,
        ParameterLimits::MAX_INCLUSIVE, ParameterLimits::MIN, ParameterLimits::MIN_INCLUSIVE};
    for (std::size_t i = 0; i < l.size(); ++i)
        EXPECT_EQ(l[i].CompareType, expected[i]) << i;
    EXPECT_EQ(l[2].Value, "2,5");
    EXPECT_FALSE(limits.OnlyEquals());
    EXPECT_TRUE(limits.HasAnyLimits());
}

TEST(ParameterLimitsParse, OnlyEqualsFollowsWhatWasStored)
{
    EXPECT_FALSE(ParameterLimits().OnlyEquals());
    EXPECT_FALSE(ParameterLimits("").OnlyEquals());
    EXPECT_FALSE(ParameterLimits().HasAnyLimits());
    EXPECT_TRUE(ParameterLimits("=1|=\"a\"").OnlyEquals());
    EXPECT_FALSE(ParameterLimits("=1|<=3").OnlyEquals());

    // Every block failed: nothing stored, and the flag makes no difference.
    CaptureStdout();
    ParameterLimits failed("x|y");
    GetCapturedStdout();
    EXPECT_FALSE(failed.HasAnyLimits());
    EXPECT_TRUE(failed.OnlyEquals());
    EXPECT_EQ(failed.OriginalString(), "x|y");
    EXPECT_TRUE(failed.SatisfiesLimit("whatever"));
}

TEST(ParameterLimits, AssignmentCopiesEverything)
{
    ParameterLimits target(">=1|<=10");
    const ParameterLimits source("=\"a\"|=\"b\"");
    target = source;
    EXPECT_EQ(target.OriginalString(), source.OriginalString());
    EXPECT_TRUE(target.OnlyEquals());
    EXPECT_EQ(target.GetLimits().size(), 2u);
    EXPECT_EQ(target.Check("c"), "a");

    const ParameterLimits& same = target;
    target = same;
    EXPECT_EQ(target.Check("b"), "b");
    EXPECT_FALSE(NoLimit.HasAnyLimits());
}

} // namespace
