// Process-wide seams for the clocks, sleeps and side effects the framework uses.
//
// Production code reads time, sleeps and runs commands only through
// vorel_sdl2::Platform, so a test (or a host that wants to observe them) can
// replace one entry at a time without changing behaviour anywhere else: a test
// that replaces Ticks and Sleep together drives every pacing loop, timed task
// and animation on a clock of its own. Replace entries before the application
// object is constructed, or while no framework thread runs; the table itself
// has no lock.
//
// Left out on purpose: the fatal-signal path keeps its own monotonic clock and
// sleeps (async-signal-safe, and a stalled test clock must never keep a
// crashing process alive).
#pragma once

#include <SDL2/SDL_stdinc.h>

#include <ctime>
#include <string>

namespace vorel_sdl2 {

class TApplication;

struct TPlatform {
    Uint32 (*Ticks)();                      // milliseconds of the SDL tick counter; also the animation clock
    std::time_t (*Now)();                   // wall-clock time, for log stamps and dates
    // Until the tick counter has advanced by ms (a signal does not shorten it);
    // the default ends on the edge of that tick. 0, or -1 on failure.
    int (*Sleep)(Uint32 ms);
    int (*RunCommand)(const char* command); // system(3): exit commands and background shell commands
    int (*Reboot)(int command);             // reboot(2) with RB_AUTOBOOT on a fatal signal
    // Text of an exit-command parameter (SHELL_CMD_RESTART, SHELL_CMD_SHUTDOWN),
    // empty when it does not exist.
    std::string (*ExitCommandParam)(TApplication& app, const char* name);
    // Called where one thread hands a start-up step over to another ("gui
    // loaded": the draw thread has run the GUI module's Load and is about to
    // enter APP_LOADING_2). Does nothing by default; tests delay there to
    // show that no step depends on who gets there first.
    void (*HandOver)(const char* step);
};

// The defaults: SDL_GetTicks, time(nullptr), nanosleep to the tick edge, system, sync and
// reboot, the application parameter's text, and no hand-over delay.
extern TPlatform Platform;
extern const TPlatform DefaultPlatform;

} // namespace vorel_sdl2
