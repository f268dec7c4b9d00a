// Throughput of action dispatch and timed-task processing.
//
// Actions: 1,000 registered actions, each generated name resolving to exactly
// one of them; measured is generate + ProcessActions + ExecuteActions.
// Tasks: 1,000 endless tasks, all due on every pass (the tick clock advances
// by one millisecond per pass); measured is ProcessTasks.
#include "Platform.h"
#include "TActionMan.h"
#include "TTaskMan.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace vorel_sdl2;

namespace {

using Clock = std::chrono::steady_clock;

class Counter : public TActionHandler {
public:
    explicit Counter(long& n) : TActionHandler(nullptr, ahtExecuteEndless), mN(n) {}
    void execute(std::string, void*) override { ++mN; }

private:
    long& mN;
};

Uint32 gTicks = 1000;
Uint32 FakeTicks() { return gTicks; }

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void BenchActions()
{
    constexpr int kActions = 1000, kBatch = 1000;
    TActionMan man;
    long executed = 0;
    std::vector<std::string> names;
    char buf[32];
    for (int i = 0; i < kActions; ++i) {
        std::snprintf(buf, sizeof buf, "Game.Event.%04d", i);
        man.AddActionListener(buf, new Counter(executed), ACTION_NORMAL);
        names.push_back(std::string(buf) + ".Detail");
    }
    long generated = 0;
    auto start = Clock::now();
    while (Seconds(start) < 2.0) {
        for (int i = 0; i < kBatch; ++i)
            man.GenerateAction(names[(generated + i * 7) % kActions], nullptr, ACTION_ANY);
        generated += kBatch;
        man.ProcessActions();
        man.ExecuteActions(ACTION_NORMAL);
    }
    double s = Seconds(start);
    std::printf("actions: %d registered, %ld generated, %ld executed in %.2f s: %.0f generated actions/s\n", kActions,
                generated, executed, s, generated / s);
}

void BenchTasks()
{
    constexpr int kTasks = 1000;
    Platform.Ticks = &FakeTicks;
    TTaskMan man;
    long runs = 0;
    for (int i = 0; i < kTasks; ++i)
        man.AddTimedTask(new TtthLambda([&runs] { ++runs; }, 0, TTimedTaskHandler::ENDLESS, "bench"), TASK_NORMAL);
    long passes = 0;
    auto start = Clock::now();
    while (Seconds(start) < 2.0) {
        for (int i = 0; i < 100; ++i) {
            ++gTicks;
            man.ProcessTasks(TASK_NORMAL);
        }
        passes += 100;
    }
    double s = Seconds(start);
    std::printf("tasks: %d due tasks, %ld passes, %ld runs in %.2f s: %.0f tasks/s\n", kTasks, passes, runs, s,
                runs / s);
    Platform.Ticks = DefaultPlatform.Ticks;
}

} // namespace

int main()
{
    BenchActions();
    BenchTasks();
    return 0;
}
