// Limit expressions and values of any bytes: the first line is the
// expression, every further line a value to check. Besides not crashing,
// the answers must agree with each other.
#include "Parameters.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

const char* const kFixedValues[] = {"", "0", "5", "5.", "2,5", "abc", "-1", "99999999999999999999999"};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Parse errors are printed for every bad block; keep them out of the way.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (true) {
        const std::size_t nl = input.find('\n', pos);
        lines.push_back(input.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos));
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }

    const ParameterLimits limits(lines[0]);
    Require(limits.OriginalString() == lines[0]);

    std::vector<std::string> values(lines.begin() + 1, lines.end());
    for (const char* v : kFixedValues)
        values.emplace_back(v);

    Parameter p;
    p.SetValue("");
    p.SetLimits(lines[0]);
    for (const std::string& value : values) {
        const std::string answer = limits.Check(value);
        Require(limits.SatisfiesLimit(value) == (answer == value));
        if (!limits.HasAnyLimits())
            Require(answer == value);
        // A handle takes the value exactly when the limits accept it.
        const std::string before = p.Value();
        p.SetValue(value);
        Require(p.Value() == (answer == value ? value : before));
    }
    return 0;
}
