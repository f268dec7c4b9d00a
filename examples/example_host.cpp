// A minimal headless vorel host.
//
// It derives from TApplication, declares its start-up done at once, and runs
// the paced main loop for a few seconds, printing once per second how many
// passes the loop made and what they cost. Usage: example-host [seconds]
//
// Reboot on exit stays off unless DISABLE_REBOOT_ON_EXIT is set by the user.
#include "TApplication.h"

#include <SDL2/SDL_timer.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

using vorel_sdl2::TApplication;

namespace {

double CpuSeconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

class ExampleHost : public TApplication {
public:
    explicit ExampleHost(unsigned seconds) : mSeconds(seconds) {}

    int Init() override
    {
        TLogManager::Init(LogFile());
        SetLogicInterval(0); // RunOnce on every pass, so it can count them
        return 0;
    }

    void Destroy() override
    {
        WriteLog(0, 0, "example host: done");
        TLogManager::Destroy();
    }

    void Startup() override
    {
        WriteLog(3, 0, "example host: start-up done, target %u passes/s", static_cast<unsigned>(TargetFrequency));
        setStatus(APP_STARTUP);
    }

    int RunOnce() override
    {
        Uint32 now = SDL_GetTicks();
        if (mStart == 0) {
            mStart = mWindowStart = now;
            mCpuStart = mCpuWindow = CpuSeconds();
        }
        ++mPasses;
        if (now - mWindowStart >= 1000) {
            double cpu = CpuSeconds();
            double secs = (now - mWindowStart) / 1000.0;
            std::printf("[%5.1f s] %6.0f passes/s  cpu %5.1f ms/s  last pass: actions %d ms, tasks %d ms, "
                        "params %d ms, log %d ms\n",
                        (now - mStart) / 1000.0, mPasses / secs, (cpu - mCpuWindow) * 1000.0 / secs, ActionDurationMs,
                        TaskDurationMs, ParamDurationMs, LogDurationMs);
            std::fflush(stdout);
            mPasses = 0;
            mWindowStart = now;
            mCpuWindow = cpu;
        }
        if (now - mStart >= mSeconds * 1000u) {
            double total = (now - mStart) / 1000.0;
            std::printf("ran %.1f s, cpu %.1f ms per second of running\n", total,
                        (CpuSeconds() - mCpuStart) * 1000.0 / total);
            terminate(vorel_sdl2::NOTHING);
            return 1;
        }
        return 0;
    }

    int DrawOnce() override { return 0; }

private:
    unsigned mSeconds;
    Uint32 mStart = 0;
    Uint32 mWindowStart = 0;
    unsigned long mPasses = 0;
    double mCpuStart = 0;
    double mCpuWindow = 0;
};

} // namespace

int main(int argc, char** argv)
{
    unsigned seconds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 5;
    if (seconds == 0)
        seconds = 5;
    // An example must never reboot the machine it is tried on.
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 0);

    ExampleHost app(seconds);
    app.Init();
    int result = app.Run();
    app.Destroy();
    // RunOnce ends the loop with 1 once the time is up; that is a clean end.
    return result == 1 ? 0 : result;
}
