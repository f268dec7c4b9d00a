// Process-wide seams for the clocks and side effects the framework uses.
//
// Production code reads time and runs commands only through vorel_sdl2::Platform,
// so a test (or a host that wants to observe them) can replace one entry at a
// time without changing behaviour anywhere else. Replace entries before the
// application object is constructed, or while no framework thread runs; the
// table itself has no lock.
#pragma once

#include <SDL2/SDL_stdinc.h>

#include <ctime>

namespace vorel_sdl2 {

struct TPlatform {
    Uint32 (*Ticks)();                // milliseconds of the SDL tick counter
    std::time_t (*Now)();             // wall-clock time, for log stamps and dates
    int (*RunCommand)(const char* command); // system(3): exit commands
    int (*Reboot)(int command);       // reboot(2) with RB_AUTOBOOT on a fatal signal
};

// The defaults: SDL_GetTicks, time(nullptr), system, reboot.
extern TPlatform Platform;
extern const TPlatform DefaultPlatform;

} // namespace vorel_sdl2
