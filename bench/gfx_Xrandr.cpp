// ApplyDisplayChanges on the X server in DISPLAY (an Xvfb with RandR will
// do): one whole call, which opens its own connection, sets the gamma ramp of
// one output and closes the connection again.
#include "xrandr.h"

#include <benchmark/benchmark.h>

namespace {

void BM_ApplyDisplayChanges(benchmark::State& state)
{
    SetDisplayBrightness(0.8f);
    SetDisplayGamma(1.0f, 0.9f, 1.1f);
    const int index = 0;
    int failed = 0;
    for (auto _ : state)
        failed += ApplyDisplayChangesToIndex(index) != 0;
    if (failed)
        state.SkipWithError("ApplyDisplayChangesToIndex failed (no display with RandR?)");
    SetDisplayBrightness(1.0f);
    SetDisplayGamma(1.0f, 1.0f, 1.0f);
    ApplyDisplayChangesToIndex(index);
}

} // namespace

BENCHMARK(BM_ApplyDisplayChanges)->Unit(benchmark::kMicrosecond)->UseRealTime();
