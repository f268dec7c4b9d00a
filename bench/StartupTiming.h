// What the two start-up benchmarks share: the clock started just before the
// application constructor, the time each start-up state was entered
// (recorded from OnAppStateChanged), and the "start-up: <what> <ms> ms"
// lines that scripts/run-bench.sh takes the median of.
#pragma once

#include "TApplication.h"

#include <chrono>
#include <cstdio>

namespace startup {

using Clock = std::chrono::steady_clock;

inline Clock::time_point gStart;
inline double gStateMs[8] = {};

inline double MsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

inline void RecordState(vorel_sdl2::TApplication::ApplicationState s) { gStateMs[s] = MsSince(gStart); }

// The constructor's own time, then every state from APP_LOADING to
// APP_RUNNING that was reached.
inline void PrintStates(double constructedMs)
{
    static const char* const kStateNames[8] = {"APP_INITIALIZING", "APP_LOADING",  "APP_LOADING_GRAPHICS",
                                               "APP_LOADING_2",    "APP_STARTUP",  "APP_STARTUP_GRAPHICS",
                                               "APP_RUNNING",      "APP_TERMINATE"};
    std::printf("start-up: constructor %.3f ms\n", constructedMs);
    for (int s = 1; s <= 6; ++s)
        if (gStateMs[s] > 0)
            std::printf("start-up: constructor to %s %.3f ms\n", kStateNames[s], gStateMs[s]);
}

} // namespace startup
