// Limit expressions for text-valued parameters.
//
// An expression such as ">=1|<=10" or "=\"auto\"|=\"manual\"" is parsed once
// into a list of limits; Check() then answers, for a candidate value, either
// the value itself (acceptable) or a correction (not acceptable). A parameter
// takes a new value only when Check() hands it back unchanged, which is what
// SatisfiesLimit() tells.
//
//   expression := "" | block | block "|" expression
//   block      := ("=" | "<=" | "<" | ">=" | ">") argument
//   argument   := "\"text\"" | digits | digits ("." | ",") digits*
//
// Numbers carry no sign and no exponent; "." and "," are the same separator.
// Quoted texts take only "=". A block that does not parse is reported on
// standard output ("Error parsing limit <...>! Details: ...") and skipped; the
// constructor never fails as a whole on bad text.
//
// A plain value type without a lock of its own: its owner serialises Check()
// against assignment. Check() never ends the process, whatever the text.
#pragma once

#include <string>
#include <vector>

class ParameterLimits {
public:
    enum LimitType {
        UNDEFINED = 0,
        STRING = 1,
        INTEGER = 2,
        FLOAT = 3,
    };

    // A bit set: 1 equal, 2 lower bound, 4 upper bound.
    enum Compare {
        EQUAL = 1,
        MIN = 2,
        MIN_INCLUSIVE = 3,
        MAX = 4,
        MAX_INCLUSIVE = 5,
    };

    struct Limit {
        LimitType Type = UNDEFINED;
        // Text between the quotes for STRING, the digits as written for numbers.
        std::string Value;
        Compare CompareType = EQUAL;
    };

    ParameterLimits() = default;
    explicit ParameterLimits(const std::string& expression);
    ParameterLimits(const ParameterLimits& other) = default;
    ParameterLimits& operator=(const ParameterLimits& other);

    bool HasAnyLimits() const;
    const std::string& OriginalString() const;

    // The limits that parsed, in the order of their blocks; for hosts that
    // show a range or a list of choices.
    const std::vector<Limit>& GetLimits() const { return mLimits; }
    // True when every stored limit is "=": the value must be one of a list.
    bool OnlyEquals() const { return mOnlyEquals; }

    // The value when it satisfies the limits, otherwise a correction: the
    // first value an "=", "<=" or ">=" limit names, else the violated bound in
    // "%f" form. A value that cannot be corrected comes back unchanged.
    //
    // Numbers are read independently of the process locale, with "." and ","
    // alike. Integers are compared exactly while both sides fit a signed
    // 64-bit integer; beyond that range they are compared as doubles.
    std::string Check(const std::string& value) const;
    bool SatisfiesLimit(const std::string& value) const;

private:
    static LimitType parseBlock(const std::string& argument);
    static LimitType isIntOrDouble(const std::string& text);

    std::string mOriginalString;
    std::vector<Limit> mLimits;
    bool mOnlyEquals = false;
};

// What a parameter without a payload reports as its limits.
extern const ParameterLimits NoLimit;
