// Action dispatch and timed-task processing with 1,000 of each.
//
// Actions: 1,000 registered actions, each generated name resolving to exactly
// one of them; one iteration generates 1,000 actions, resolves them
// (ProcessActions) and runs their handlers (ExecuteActions). Items are actions.
// Tasks: 1,000 endless tasks, all due on every pass (the tick clock advances
// by one millisecond per pass); one iteration is one ProcessTasks pass, items
// are task runs.
#include "Platform.h"
#include "TActionMan.h"
#include "TTaskMan.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
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

} // namespace

BENCHMARK(BM_Actions_GenerateDispatch1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Tasks_Process1000Due)->Unit(benchmark::kMicrosecond);
