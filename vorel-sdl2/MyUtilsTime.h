// Interval tests on the SDL millisecond tick counter and wall-clock strings.
//
// IsTime is the framework's one interval test: callers keep a Uint32 of their
// own, start it at 0 to fire at once, and ask IsTime on every pass. It also
// notices a wrapped tick counter (after about 49.7 days), logs that once and
// restarts the interval. The clock strings use the local time zone.
//
// Ticks and wall-clock time are read through vorel_sdl2::Platform, so a test
// can drive them. Every function is re-entrant; IsTime writes only the
// caller's LastTime, which the caller must not share between threads.
#pragma once

#include <SDL2/SDL_stdinc.h>

#include <string>

namespace MyUtils {

// True when more than Interval ms of ticks lie behind LastTime, or LastTime is
// 0; with UpdateLastTime the stored time then becomes now.
bool IsTime(Uint32& LastTime, Uint32 Interval, bool UpdateLastTime = true);

// True when Time1 >= Time2 and, for a non-zero Diff, they are less than Diff apart.
bool CompareTimes(Uint32 Time1, Uint32 Time2, Uint32 Diff = 0);

std::string GetCurrentTimeString();      // "HH:MM:SS"
std::string GetCurrentTimeStampString(); // "HH:MM:SS YYYY-MM-DD"
std::string GetCurrentDateString();      // "YYYY-MM-DD"

} // namespace MyUtils
