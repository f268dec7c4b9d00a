#include "Platform.h"

#include "TApplication.h"

#include <SDL2/SDL_timer.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sys/reboot.h>
#include <time.h>
#include <unistd.h>

namespace vorel_sdl2 {

namespace {

std::time_t WallClock() { return std::time(nullptr); }

// Relative nanosleep of ns nanoseconds; a signal shortens it only by the
// time already slept. 0, or -1 on any other failure.
int SleepNs(Sint64 ns)
{
    if (ns <= 0)
        return 0;
    struct timespec req;
    req.tv_sec = static_cast<time_t>(ns / 1000000000);
    req.tv_nsec = static_cast<long>(ns % 1000000000);
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0) {
        if (errno != EINTR)
            return -1;
        req = rem;
    }
    return 0;
}

// Nanoseconds of the performance counter, the clock the tick counter is
// derived from.
Sint64 FineNs()
{
    static const double nsPerCount = 1e9 / static_cast<double>(SDL_GetPerformanceFrequency());
    return static_cast<Sint64>(static_cast<double>(SDL_GetPerformanceCounter()) * nsPerCount);
}

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// What a plain nanosleep costs a pacing loop: it wakes up to a timer slack
// and a wake-up latency late, and somewhere inside the tick it ends in, so a
// pass that computed its sleep in whole ticks starts up to a millisecond late
// and the carried correction dithers the period by a tick. TickSleep ends the
// sleep on the edge of the target tick instead: it sleeps until the edge less
// the overshoot measured lately, then spins the rest reading the tick
// counter. The edge's place on the fine clock is learnt from the spins that
// see the tick change, and relearnt now and then. Short sleeps (the 1 ms
// passes at the default CPU_FPS) wake at the edge without spinning: a
// spin per millisecond would cost a tenth of a core.
class TickSleep {
public:
    int Sleep(Uint32 ms)
    {
        if (ms == 0) {
            struct timespec none{0, 0};
            nanosleep(&none, nullptr); // the system call, as a sleep of 0 always was
            return 0;
        }
        const Uint64 target = SDL_GetTicks64() + ms;
        const Sint64 offset = mEdgeOffsetNs.load(std::memory_order_relaxed);
        const bool spin = ms >= kSpinFromMs;
        const bool known = offset != kUnknown && mSinceSeen.fetch_add(1, std::memory_order_relaxed) < kRelearnAfter;
        const Sint64 now = FineNs();
        Sint64 wake;
        if (known) {
            const Sint64 edge = offset + static_cast<Sint64>(target) * 1000000;
            wake = spin ? edge - mMarginNs.load(std::memory_order_relaxed) : edge;
        } else {
            wake = now + (static_cast<Sint64>(ms) - 1) * 1000000; // see the edge come
        }
        if (SleepNs(wake - now) != 0)
            return -1;
        if (spin && known)
            Learn(FineNs() - wake);
        return SpinToTick(target);
    }

private:
    static constexpr Sint64 kUnknown = INT64_MIN;
    static constexpr Uint32 kSpinFromMs = 4;
    static constexpr unsigned kRelearnAfter = 256;
    static constexpr Sint64 kMinMarginNs = 30000;
    static constexpr Sint64 kMaxMarginNs = 250000; // at 60 passes a second, 1.5 % of a core at most

    // Margin: 1.5 times the running mean of the overshoot plus 20 us, so a
    // typical wake-up lands before the edge; bounded, so a loaded machine
    // whose wake-ups come milliseconds late does not turn it into spinning.
    void Learn(Sint64 overshootNs)
    {
        overshootNs = std::clamp<Sint64>(overshootNs, 0, kMaxMarginNs);
        Sint64 mean = mMeanOvershootNs.load(std::memory_order_relaxed);
        mean += (overshootNs - mean) / 8;
        mMeanOvershootNs.store(mean, std::memory_order_relaxed);
        mMarginNs.store(std::clamp<Sint64>(mean * 3 / 2 + 20000, kMinMarginNs, kMaxMarginNs),
                        std::memory_order_relaxed);
    }

    // Until the tick counter reads target. A change of tick seen here is an
    // edge: its fine time places every later edge. After a millisecond of
    // spinning (a wrong estimate) it waits in small sleeps instead.
    int SpinToTick(Uint64 target)
    {
        const Sint64 start = FineNs();
        Uint64 tick = SDL_GetTicks64();
        Uint64 before = tick;
        bool slept = false;
        while (tick < target) {
            before = tick;
            slept = FineNs() - start > 1000000;
            if (slept) {
                if (SleepNs(20000) != 0)
                    return -1;
            } else {
                CpuRelax();
            }
            tick = SDL_GetTicks64();
        }
        // The change from target - 1 to target, seen between two close reads.
        if (before + 1 == target && tick == target && !slept) {
            mEdgeOffsetNs.store(FineNs() - static_cast<Sint64>(tick) * 1000000, std::memory_order_relaxed);
            mSinceSeen.store(0, std::memory_order_relaxed);
        }
        return 0;
    }

    std::atomic<Sint64> mEdgeOffsetNs{kUnknown};
    std::atomic<unsigned> mSinceSeen{0};
    std::atomic<Sint64> mMeanOvershootNs{60000};
    std::atomic<Sint64> mMarginNs{110000};
};

int PaceSleep(Uint32 ms)
{
    static TickSleep sleeper;
    return sleeper.Sleep(ms);
}

int Shell(const char* command) { return std::system(command); }
// reboot(2) does not write back dirty buffers itself.
int RebootSystem(int command)
{
    sync();
    return ::reboot(command);
}
void NoHandOver(const char*) {}

// Cache, own, group and global domains (read mode 15).
std::string AppParamText(TApplication& app, const char* name)
{
    TAppParam* param = app.GetParam(name ? name : "", 15);
    return param->IsNull() ? std::string() : param->Value();
}

constexpr TPlatform kDefaults{&SDL_GetTicks, &WallClock, &PaceSleep, &Shell, &RebootSystem, &AppParamText,
                             &NoHandOver};

} // namespace

const TPlatform DefaultPlatform = kDefaults;
TPlatform Platform = kDefaults;

} // namespace vorel_sdl2
