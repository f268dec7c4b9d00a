// The main loop of a headless host that has nothing to do.
//
// IdlePass: cost of one pass with pacing out of the way (a pass length of
// 0 ms), RunOnce on every pass and returning at once; the time per iteration
// is one whole pass: actions, deferred calls, tasks of both contexts, the
// parameter and the log poll.
// IdleCpu/<CPU_FPS>: the paced loop for three seconds; the figure that
// matters is the counter cpu_ms_per_s, CPU time (user + system) the process
// spent per second of wall time, and passes_per_s; period_mean_us and
// period_p99_us are the mean and 99th percentile of the time between two
// passes (RunOnce calls), on the performance counter.
#include "TApplication.h"

#include <benchmark/benchmark.h>

#include <SDL2/SDL_timer.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <vector>

using namespace vorel_sdl2;

namespace {

class IdleHost : public TApplication {
public:
    std::function<int()> onRunOnce;
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override { setStatus(APP_STARTUP); }
    int RunOnce() override { return onRunOnce(); }
    int DrawOnce() override { return 0; }
};

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void BM_MainLoop_IdlePass(benchmark::State& state)
{
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    setenv("LOG_FILENAME", "/dev/null", 1); // the log is never opened here
    auto host = std::make_unique<IdleHost>();
    host->SetLogicInterval(0);
    host->TargetFrequency = 1000000u; // 1000000 passes/s: 0 ms per pass, no sleep
    host->onRunOnce = [&state] { return state.KeepRunning() ? 0 : 1; };
    host->Run();
    state.SetItemsProcessed(state.iterations());
}

void BM_MainLoop_IdleCpu(benchmark::State& state)
{
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    setenv("LOG_FILENAME", "/dev/null", 1); // the log is never opened here
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        auto host = std::make_unique<IdleHost>();
        host->TargetFrequency = static_cast<unsigned int>(state.range(0));
        long passes = 0;
        Clock::time_point end;
        std::vector<double> periodsUs;
        periodsUs.reserve(4096);
        Uint64 last = 0;
        const double usPerCount = 1e6 / static_cast<double>(SDL_GetPerformanceFrequency());
        host->SetLogicInterval(0);
        host->onRunOnce = [&] {
            ++passes;
            const Uint64 now = SDL_GetPerformanceCounter();
            if (last != 0 && periodsUs.size() < periodsUs.capacity())
                periodsUs.push_back(static_cast<double>(now - last) * usPerCount);
            last = now;
            return Clock::now() >= end ? 1 : 0;
        };
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        end = t0 + std::chrono::seconds(3);
        host->Run();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;
        state.SetIterationTime(wall);
        state.counters["cpu_ms_per_s"] = cpu * 1000.0 / wall;
        state.counters["passes_per_s"] = passes / wall;
        if (!periodsUs.empty()) {
            double sum = 0;
            for (double p : periodsUs)
                sum += p;
            std::sort(periodsUs.begin(), periodsUs.end());
            state.counters["period_mean_us"] = sum / periodsUs.size();
            state.counters["period_p99_us"] = periodsUs[std::min(periodsUs.size() - 1, periodsUs.size() * 99 / 100)];
        }
    }
}

} // namespace

BENCHMARK(BM_MainLoop_IdlePass)->Iterations(200000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MainLoop_IdleCpu)->Arg(1000)->Arg(60)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
