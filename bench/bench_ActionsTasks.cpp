// Action dispatch and timed-task processing with 1,000 of each.
//
// Actions: 1,000 registered actions, each generated name resolving to exactly
// one of them; one iteration generates 1,000 actions, resolves them
// (ProcessActions) and runs their handlers (ExecuteActions). Items are actions.
// Tasks: 1,000 endless tasks, all due on every pass (the tick clock advances
// by one millisecond per pass); one iteration is one ProcessTasks pass, items
// are task runs.
// Flood: a headless application runs its paced main loop for 10 s while 4
// threads generate actions as fast as they can; counters give the longest
// gap between two RunOnce calls, the RunOnce rate, and how many of the
// generated actions were dispatched meanwhile.
#include "Platform.h"
#include "TActionMan.h"
#include "TApplication.h"
#include "TTaskMan.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace vorel_sdl2;

namespace {

constexpr int kCount = 1000;

class Counter : public TActionHandler {
public:
    explicit Counter(long& n) : TActionHandler(nullptr, ahtExecuteEndless), mN(n) {}
    void execute(std::string, void*) override { ++mN; }

private:
    long& mN;
};

class AtomicCounter : public TActionHandler {
public:
    explicit AtomicCounter(std::atomic<long>& n) : TActionHandler(nullptr, ahtExecuteEndless), mN(n) {}
    void execute(std::string, void*) override { mN.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<long>& mN;
};

Uint32 gTicks = 1000;
Uint32 FakeTicks() { return gTicks; }

void BM_Actions_GenerateDispatch1000(benchmark::State& state)
{
    TActionMan man;
    long executed = 0;
    std::vector<std::string> names;
    char buf[32];
    for (int i = 0; i < kCount; ++i) {
        std::snprintf(buf, sizeof buf, "Game.Event.%04d", i);
        man.AddActionListener(buf, new Counter(executed), ACTION_NORMAL);
        names.push_back(std::string(buf) + ".Detail");
    }
    long generated = 0;
    for (auto _ : state) {
        for (int i = 0; i < kCount; ++i)
            man.GenerateAction(names[(generated + i * 7) % kCount], nullptr, ACTION_ANY);
        generated += kCount;
        man.ProcessActions();
        man.ExecuteActions(ACTION_NORMAL);
    }
    // A pass that ran out of its time budget left the rest for later passes.
    for (int pass = 0; executed < generated && pass < 1000; ++pass) {
        man.ProcessActions();
        man.ExecuteActions(ACTION_NORMAL);
    }
    if (executed != generated)
        state.SkipWithError("not every generated action ran once");
    state.SetItemsProcessed(generated);
}

void BM_Tasks_Process1000Due(benchmark::State& state)
{
    Platform.Ticks = &FakeTicks;
    {
        TTaskMan man;
        long runs = 0;
        for (int i = 0; i < kCount; ++i)
            man.AddTimedTask(new TtthLambda([&runs] { ++runs; }, 0, TTimedTaskHandler::ENDLESS, "bench"), TASK_NORMAL);
        man.ProcessTasks(TASK_NORMAL); // first pass schedules
        runs = 0;
        for (auto _ : state) {
            ++gTicks;
            man.ProcessTasks(TASK_NORMAL);
        }
        state.SetItemsProcessed(runs);
    }
    Platform.Ticks = DefaultPlatform.Ticks;
}

class FloodHost : public TApplication {
public:
    std::function<int()> onRunOnce;
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override { setStatus(APP_STARTUP); }
    int RunOnce() override { return onRunOnce(); }
    int DrawOnce() override { return 0; }
};

void BM_Actions_FloodFrom4Threads(benchmark::State& state)
{
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    setenv("LOG_FILENAME", "/dev/null", 1);
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        auto host = std::make_unique<FloodHost>();
        host->SetLogicInterval(0);
        std::atomic<long> dispatched{0};
        char buf[32];
        for (int i = 0; i < kCount; ++i) {
            std::snprintf(buf, sizeof buf, "Game.Event.%04d", i);
            host->AddActionListener(buf, new AtomicCounter(dispatched), ACTION_THREAD_SAFE);
        }
        std::atomic<bool> stop{false};
        std::atomic<long> generated{0};
        std::vector<std::thread> flood;
        for (int t = 0; t < 4; ++t)
            flood.emplace_back([&, t] {
                char name[32];
                long n = 0;
                while (!stop) {
                    std::snprintf(name, sizeof name, "Game.Event.%04d.X", static_cast<int>((n * 7 + t) % kCount));
                    host->GenerateAction(name, nullptr, ACTION_ANY);
                    ++n;
                }
                generated += n;
            });
        long calls = 0;
        double longestMs = 0;
        const auto t0 = Clock::now();
        const auto end = t0 + std::chrono::seconds(10);
        auto last = t0;
        host->onRunOnce = [&] {
            const auto now = Clock::now();
            if (calls > 0)
                longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(now - last).count());
            last = now;
            ++calls;
            return now >= end ? 1 : 0;
        };
        host->Run();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        stop = true;
        for (auto& th : flood)
            th.join();
        state.SetIterationTime(wall);
        state.counters["longest_pass_ms"] = longestMs;
        state.counters["runonce_per_s"] = calls / wall;
        state.counters["target_passes_per_s"] = static_cast<unsigned int>(host->TargetFrequency);
        state.counters["generated_per_s"] = generated / wall;
        state.counters["dispatched_per_s"] = dispatched / wall;
    }
}

} // namespace

BENCHMARK(BM_Actions_FloodFrom4Threads)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Actions_GenerateDispatch1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Tasks_Process1000Due)->Unit(benchmark::kMicrosecond);
