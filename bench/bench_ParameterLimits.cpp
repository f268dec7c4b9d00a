// ParameterLimits::Check on the limit shapes hosts use: an integer range, a
// decimal range and a list of texts, each with a value that passes and one
// that gets corrected (the correction allocates a new text).
#include "ParameterLimits.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

struct Case {
    const char* label;
    const char* expression;
    const char* value;
};

const Case kCases[] = {
    {"int_range/inside", ">=1|<=10", "5"},
    {"int_range/outside", ">=1|<=10", "42"},
    {"decimal_range/inside", ">=0.5|<2,5", "1.25"},
    {"decimal_range/outside", ">=0.5|<2,5", "7,5"},
    {"text_list/listed", "=\"auto\"|=\"manual\"|=\"off\"", "off"},
    {"text_list/unlisted", "=\"auto\"|=\"manual\"|=\"off\"", "sometimes"},
};

void BM_ParameterLimits_Check(benchmark::State& state)
{
    const Case& c = kCases[state.range(0)];
    state.SetLabel(c.label);
    const ParameterLimits limits(c.expression);
    const std::string value = c.value;
    for (auto _ : state)
        benchmark::DoNotOptimize(limits.Check(value));
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_ParameterLimits_Check)->DenseRange(0, static_cast<int>(std::size(kCases)) - 1);
