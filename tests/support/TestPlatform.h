// The seam table as every test starts it, and a clock that tests drive.
//
// The test main installs refusing stand-ins for reboot and the exit commands
// before any test runs; TestPlatform() is that table. A test that replaces
// entries restores TestPlatform(), never DefaultPlatform, so a real reboot or
// exit command stays out of reach however a test ends.
//
// DrivenClock replaces Ticks and Sleep: time stands still until some thread
// sleeps (the sleep advances the clock by exactly what was asked) or the test
// advances it. Pacing loops, watchdog keep-alives, timed tasks and animations
// then take exact, repeatable steps, however loaded the machine is.
#pragma once

#include "Platform.h"

#include <atomic>

const vorel_sdl2::TPlatform& TestPlatform();

// Restores the table a test found when the scope ends.
class PlatformScope {
public:
    PlatformScope() : mSaved(vorel_sdl2::Platform) {}
    ~PlatformScope() { vorel_sdl2::Platform = mSaved; }
    PlatformScope(const PlatformScope&) = delete;
    PlatformScope& operator=(const PlatformScope&) = delete;

private:
    vorel_sdl2::TPlatform mSaved;
};

class DrivenClock {
public:
    explicit DrivenClock(Uint32 start = 1000)
    {
        sNow = start;
        sSleeps = 0;
        vorel_sdl2::Platform.Ticks = &Ticks;
        vorel_sdl2::Platform.Sleep = &Sleep;
    }
    DrivenClock(const DrivenClock&) = delete;
    DrivenClock& operator=(const DrivenClock&) = delete;

    static Uint32 Now() { return sNow.load(); }
    static void Advance(Uint32 ms) { sNow += ms; }
    // How many sleeps were asked for since the clock was installed.
    static unsigned Sleeps() { return sSleeps.load(); }

private:
    static Uint32 Ticks() { return sNow.load(); }
    static int Sleep(Uint32 ms)
    {
        sNow += ms;
        ++sSleeps;
        return 0;
    }

    PlatformScope mRestore;
    static inline std::atomic<Uint32> sNow{0};
    static inline std::atomic<unsigned> sSleeps{0};
};
