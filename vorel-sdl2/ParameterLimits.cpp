#include "ParameterLimits.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <optional>
#include <string_view>
#include <system_error>

const ParameterLimits NoLimit;

namespace {

// Thrown by the block classifier and caught per block by the constructor;
// anything else (memory exhaustion) leaves the constructor.
struct LimitParseError {
    std::string details;
};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A number as Check() compares it. mExact is set for an integer that fits the
// signed 64-bit range: two such numbers compare exactly, since a double
// cannot tell apart integers beyond 2^53.
struct Number {
    double mValue = 0.0;
    std::optional<std::int64_t> mExact;
};

// Digits with one "." or "," read in the "C" locale, so the result does not
// depend on whatever numeric locale the host has put in force.
double ReadDecimal(const std::string& text)
{
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    std::string normalised(text);
    for (char& c : normalised)
        if (c == ',')
            c = '.';
    if (cLocale)
        return strtod_l(normalised.c_str(), nullptr, cLocale);
    return std::strtod(normalised.c_str(), nullptr);
}

// text has passed the classifier as INTEGER or FLOAT.
Number ReadNumber(const std::string& text, ParameterLimits::LimitType type)
{
    Number n;
    if (type == ParameterLimits::INTEGER) {
        std::int64_t i = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
        if (ec == std::errc() && end == text.data() + text.size()) {
            n.mExact = i;
            n.mValue = static_cast<double>(i);
            return n;
        }
        // Beyond the 64-bit range: compare as a double rather than fail.
    }
    n.mValue = ReadDecimal(text);
    return n;
}

bool Equal(const Number& a, const Number& b)
{
    if (a.mExact && b.mExact)
        return *a.mExact == *b.mExact;
    return a.mValue == b.mValue;
}

bool Greater(const Number& a, const Number& b)
{
    if (a.mExact && b.mExact)
        return *a.mExact > *b.mExact;
    return a.mValue > b.mValue;
}

// "%f" in the "C" locale: fixed notation, six decimals.
std::string FormatBound(double bound)
{
    // Room for the 309 integer digits of the largest double, point and decimals.
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, bound, std::chars_format::fixed, 6);
    if (ec != std::errc())
        return std::string();
    return std::string(buf, end);
}

} // namespace

ParameterLimits::ParameterLimits(const std::string& expression) : mOriginalString(expression)
{
    std::size_t pos = 0;
    while (pos < expression.size()) {
        // Quotes do not protect a bar: it always ends the block.
        std::size_t bar = expression.find('|', pos);
        std::size_t end = bar == std::string::npos ? expression.size() : bar;
        const std::string block = expression.substr(pos, end - pos);
        pos = bar == std::string::npos ? expression.size() : bar + 1;

        try {
            Compare cmp;
            std::size_t cmpLength = 1;
            const char first = block.empty() ? '\0' : block[0];
            const bool withEqual = block.size() > 1 && block[1] == '=';
            if (first == '=') {
                cmp = EQUAL;
            } else if (first == '<') {
                cmp = withEqual ? MAX_INCLUSIVE : MAX;
                cmpLength = withEqual ? 2 : 1;
            } else if (first == '>') {
                cmp = withEqual ? MIN_INCLUSIVE : MIN;
                cmpLength = withEqual ? 2 : 1;
            } else {
                // The offending block tells the operator which one it was.
                throw LimitParseError{"Unsupported comparator - " + block};
            }

            const std::string argument = block.substr(cmpLength);
            const LimitType type = parseBlock(argument);
            if (type == UNDEFINED)
                throw LimitParseError{"Unsupported limit type - " + argument};
            if (type == STRING && cmp != EQUAL)
                throw LimitParseError{"Inappropriate comparator for string type - " + argument};

            Limit limit;
            limit.Type = type;
            limit.Value = type == STRING ? argument.substr(1, argument.size() - 2) : argument;
            limit.CompareType = cmp;
            mLimits.push_back(std::move(limit));
        } catch (const LimitParseError& e) {
            std::printf("Error parsing limit <%s>! Details: %s\n", expression.c_str(), e.details.c_str());
        }
    }

    if (!expression.empty()) {
        std::size_t equals = 0;
        for (const Limit& l : mLimits)
            if (l.CompareType == EQUAL)
                ++equals;
        mOnlyEquals = equals == mLimits.size();
    }
}

ParameterLimits& ParameterLimits::operator=(const ParameterLimits& other)
{
    if (this != &other) {
        mOriginalString = other.mOriginalString;
        mLimits = other.mLimits;
        mOnlyEquals = other.mOnlyEquals;
    }
    return *this;
}

bool ParameterLimits::HasAnyLimits() const
{
    return !mLimits.empty();
}

const std::string& ParameterLimits::OriginalString() const
{
    return mOriginalString;
}

ParameterLimits::LimitType ParameterLimits::parseBlock(const std::string& argument)
{
    if (argument.empty())
        throw LimitParseError{"Argument after comparator cannot be empty"};
    if (argument[0] == '"') {
        // What lies between the outer quotes is not examined.
        if (argument.size() < 2 || argument.back() != '"')
            throw LimitParseError{"Missing closing quotes"};
        return STRING;
    }
    return isIntOrDouble(argument);
}

ParameterLimits::LimitType ParameterLimits::isIntOrDouble(const std::string& text)
{
    if (text.empty())
        return UNDEFINED;
    bool separator = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (IsDigit(c))
            continue;
        if ((c == '.' || c == ',') && i > 0 && !separator) {
            separator = true;
            continue;
        }
        return UNDEFINED;
    }
    return separator ? FLOAT : INTEGER;
}

std::string ParameterLimits::Check(const std::string& value) const
{
    LimitType valueType = isIntOrDouble(value);
    if (valueType == UNDEFINED)
        valueType = STRING;
    const bool valueIsNumber = valueType != STRING;
    Number v;
    if (valueIsNumber)
        v = ReadNumber(value, valueType);

    bool accepted = !mOnlyEquals;
    const std::string* firstInclusive = nullptr;
    std::optional<double> lowerBound;
    std::optional<double> upperBound;

    for (const Limit& limit : mLimits) {
        const bool limitIsNumber = limit.Type == INTEGER || limit.Type == FLOAT;
        bool outcome = false;
        if (limitIsNumber && !valueIsNumber) {
            outcome = false;
        } else {
            Number b;
            if (limitIsNumber)
                b = ReadNumber(limit.Value, limit.Type);

            if ((limit.CompareType & EQUAL) && !firstInclusive)
                firstInclusive = &limit.Value;
            if (limit.CompareType & MIN)
                lowerBound = b.mValue;
            if (limit.CompareType & MAX)
                upperBound = b.mValue;

            switch (limit.CompareType) {
            case EQUAL:
                outcome = limitIsNumber ? Equal(v, b) : value == limit.Value;
                break;
            case MIN:
                outcome = Greater(v, b);
                break;
            case MIN_INCLUSIVE:
                outcome = Equal(v, b) || Greater(v, b);
                break;
            case MAX:
                outcome = Greater(b, v);
                break;
            case MAX_INCLUSIVE:
                outcome = Equal(v, b) || Greater(b, v);
                break;
            }
        }

        // Left to right: "=" can re-admit what an earlier bound refused.
        if (limit.CompareType == EQUAL)
            accepted = accepted || outcome;
        else
            accepted = accepted && outcome;
    }

    if (accepted)
        return value;
    if (firstInclusive)
        return *firstInclusive;
    // A value list admits only its members, text against numbers included:
    // the correction is the first member.
    if (mOnlyEquals && !mLimits.empty())
        return mLimits.front().Value;
    if (valueIsNumber) {
        const double d = v.mValue;
        if (lowerBound && *lowerBound >= d)
            return FormatBound(*lowerBound);
        if (upperBound && d >= *upperBound)
            return FormatBound(*upperBound);
    }
    return value;
}

bool ParameterLimits::SatisfiesLimit(const std::string& value) const
{
    return Check(value) == value;
}
