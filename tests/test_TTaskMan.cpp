// Timed tasks on a test-driven tick clock: types and limits, the strict
// interval test, real-time catch-up, the lists and their lookups, exceptions,
// changes of a list from inside its own tasks, and asynchronous tasks on
// their worker threads (real time).
#include "Platform.h"
#include "WaitFor.h"
#include "TestPlatform.h"
#include "TApplication.h"
#include "TLogManager.h"
#include "TTaskMan.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <SDL2/SDL_timer.h>

#include <atomic>
#include <chrono>
#include <future>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <thread>
#include <vector>

using namespace vorel_sdl2;

namespace {

std::atomic<Uint32> gNow{1000};
Uint32 FakeTicks() { return gNow; }


// Tasks run against the fake clock; each test starts at tick 1000.
class TimedTasks : public ::testing::Test {
protected:
    void SetUp() override
    {
        gNow = 1000;
        Platform.Ticks = &FakeTicks;
    }
    void TearDown() override { Platform.Ticks = TestPlatform().Ticks; }
    void Advance(Uint32 ms) { gNow += ms; }

    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TTaskMan.log"};
};

// A task whose work is a function object; reports its own deletion.
class FnTask : public TTimedTaskHandler {
public:
    FnTask(Uint32 interval, TTaskType type, std::function<void()> fn, int* deleted = nullptr,
           void* userData = nullptr, const std::string& name = "task")
        : TTimedTaskHandler(interval, type, userData, name), mFn(std::move(fn)), mDeleted(deleted)
    {
    }
    ~FnTask() override
    {
        if (mDeleted)
            ++*mDeleted;
    }
    void execute(void*) override { mFn(); }
    Uint32 Last() const { return LastExecuted; }

private:
    std::function<void()> mFn;
    int* mDeleted;
};

} // namespace

TEST_F(TimedTasks, TypesAndLimits)
{
    struct Case {
        TTimedTaskHandler::TTaskType type;
        unsigned long limit;
        int wantRuns;
        bool wantListed;
    };
    const std::vector<Case> cases = {
        {TTimedTaskHandler::EXECUTE_ONCE, 0, 1, false},
        {TTimedTaskHandler::EXECUTE_COUNT, 3, 3, false},
        {TTimedTaskHandler::EXECUTE_COUNT, 0, 1, false},
        {TTimedTaskHandler::ENDLESS, 0, 8, true},
        {TTimedTaskHandler::EXECUTE_COUNT_NO_FREE, 0, 0, true},
        {TTimedTaskHandler::EXECUTE_COUNT_NO_FREE, 2, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " limit " + std::to_string(c.limit));
        TTaskMan man;
        int runs = 0, deleted = 0;
        auto* task = new FnTask(10, c.type, [&] { ++runs; }, &deleted);
        task->SetExecutionsLimit(c.limit);
        ASSERT_EQ(man.AddTimedTask(task, TASK_NORMAL), task);
        for (int pass = 0; pass < 8; ++pass) {
            Advance(11);
            man.ProcessTasks(TASK_NORMAL);
        }
        EXPECT_EQ(runs, c.wantRuns);
        EXPECT_EQ(man.IsTimedTaskValid(task, TASK_NORMAL), c.wantListed);
        EXPECT_EQ(deleted, c.wantListed ? 0 : 1);
        if (c.wantListed) {
            EXPECT_EQ(task->ExecutionCounter, static_cast<unsigned long long>(c.wantRuns));
        }
    }
}

TEST_F(TimedTasks, DueOnlyOnceMoreThanTheIntervalHasPassed)
{
    TTaskMan man;
    int slow = 0, fast = 0;
    man.AddTimedTask(new FnTask(100, TTimedTaskHandler::ENDLESS, [&] { ++slow; }), TASK_THREAD_SAFE);
    auto* zero = new FnTask(0, TTimedTaskHandler::ENDLESS, [&] { ++fast; });
    man.AddTimedTask(zero, TASK_THREAD_SAFE);

    // Interval 0 still needs the clock to move; within one millisecond it runs once.
    man.ProcessTasks(TASK_THREAD_SAFE);
    EXPECT_EQ(fast, 0);
    Advance(1);
    man.ProcessTasks(TASK_THREAD_SAFE);
    man.ProcessTasks(TASK_THREAD_SAFE);
    EXPECT_EQ(fast, 1);
    Advance(1);
    man.ProcessTasks(TASK_THREAD_SAFE);
    EXPECT_EQ(fast, 2);

    Advance(98); // 100 ms since construction: not yet
    man.ProcessTasks(TASK_THREAD_SAFE);
    EXPECT_EQ(slow, 0);
    Advance(1);
    man.ProcessTasks(TASK_THREAD_SAFE);
    EXPECT_EQ(slow, 1);
    Advance(100);
    man.ProcessTasks(TASK_THREAD_SAFE);
    EXPECT_EQ(slow, 1);
    Advance(1);
    man.ProcessTasks(TASK_THREAD_SAFE);
    EXPECT_EQ(slow, 2);
}

TEST_F(TimedTasks, RealTimeCatchesUpAfterAStallOneRunPerPass)
{
    TTaskMan man;
    std::vector<Uint32> realTimeRuns, plainRuns;
    auto* rt = new FnTask(100, TTimedTaskHandler::ENDLESS, [&] { realTimeRuns.push_back(gNow); });
    rt->SetRealTime(true);
    man.AddTimedTask(rt, TASK_NORMAL);
    man.AddTimedTask(new FnTask(100, TTimedTaskHandler::ENDLESS, [&] { plainRuns.push_back(gNow); }), TASK_NORMAL);

    auto pass = [&](Uint32 at) {
        gNow = at;
        man.ProcessTasks(TASK_NORMAL);
    };
    pass(1101); // both run; the real-time schedule is now 1100
    pass(1450); // a 350 ms stall
    pass(1451);
    pass(1452);
    pass(1453);
    pass(1501);
    pass(1560);
    EXPECT_EQ(realTimeRuns, (std::vector<Uint32>{1101, 1450, 1451, 1452, 1501}));
    EXPECT_EQ(plainRuns, (std::vector<Uint32>{1101, 1450, 1560}));
}

TEST_F(TimedTasks, DisabledTasksAndTheImmediateAndRemainingAccessors)
{
    TTaskMan man;
    int runs = 0;
    auto* task = new FnTask(100, TTimedTaskHandler::ENDLESS, [&] { ++runs; });
    man.AddTimedTask(task, TASK_NORMAL);
    EXPECT_EQ(task->GetTimeRemainigToExecute(), 101u);
    Advance(40);
    EXPECT_EQ(task->GetTimeRemainigToExecute(), 61u);

    task->Disable();
    Advance(500);
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(task->ExecutionCounter, 0u);
    EXPECT_TRUE(man.IsTimedTaskValid(task, TASK_ANY));
    EXPECT_EQ(task->GetTimeRemainigToExecute(), 0u);

    task->Enable();
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(runs, 1);
    // Due again at once, without the clock moving.
    task->EnableAndExecuteImmediate();
    EXPECT_EQ(task->GetTimeRemainigToExecute(), 0u);
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(runs, 2);
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(runs, 2);
}

TEST_F(TimedTasks, ListsLookupsAndRemoval)
{
    TTaskMan man;
    int deleted = 0;
    int objA = 0, objB = 0;
    auto* inDraw = new FnTask(10, TTimedTaskHandler::ENDLESS, [] {}, &deleted, &objA);
    auto* inSafe = new FnTask(10, TTimedTaskHandler::ENDLESS, [] {}, &deleted, &objA);
    auto* twice = new FnTask(10, TTimedTaskHandler::ENDLESS, [] {}, &deleted, &objB);

    EXPECT_EQ(man.AddTimedTask(nullptr, TASK_NORMAL), nullptr);
    EXPECT_EQ(man.AddTimedTask(inDraw, TASK_ANY), nullptr);
    for (const auto& list : man.TaskList)
        EXPECT_TRUE(list.empty());

    man.AddTimedTask(inSafe, TASK_THREAD_SAFE);
    man.AddTimedTask(inDraw, TASK_DRAW);
    man.AddTimedTask(twice, TASK_NORMAL);
    man.AddTimedTask(twice, TASK_NORMAL);
    man.AddTimedTask(twice, TASK_THREAD_SAFE);
    EXPECT_EQ(man.GetTimedTask(&objA), inDraw); // draw comes before thread-safe
    EXPECT_EQ(man.GetTimedTask(&deleted), nullptr);
    EXPECT_TRUE(man.IsTimedTaskValid(inDraw, TASK_DRAW));
    EXPECT_FALSE(man.IsTimedTaskValid(inDraw, TASK_NORMAL));
    EXPECT_FALSE(man.IsTimedTaskValid(nullptr, TASK_ANY));

    // Every entry of the first list holding it goes; the other list keeps its own.
    man.RemoveTimedTask(twice, false);
    EXPECT_TRUE(man.TaskList[TASK_NORMAL].empty());
    EXPECT_TRUE(man.IsTimedTaskValid(twice, TASK_THREAD_SAFE));
    man.RemoveTimedTask(twice, false);
    EXPECT_FALSE(man.IsTimedTaskValid(twice, TASK_ANY));
    // Deleted although no list holds it any more.
    man.RemoveTimedTask(twice, true);
    EXPECT_EQ(deleted, 1);
    man.RemoveTimedTask(nullptr, true);

    // TASK_ANY processes every list.
    int runs = 0;
    man.AddTimedTask(new FnTask(10, TTimedTaskHandler::EXECUTE_ONCE, [&] { ++runs; }), TASK_NORMAL);
    man.AddTimedTask(new FnTask(10, TTimedTaskHandler::EXECUTE_ONCE, [&] { ++runs; }), TASK_DRAW);
    man.AddTimedTask(new FnTask(10, TTimedTaskHandler::EXECUTE_ONCE, [&] { ++runs; }), TASK_THREAD_SAFE);
    Advance(11);
    man.ProcessTasks(TASK_ANY);
    EXPECT_EQ(runs, 3);
}

TEST_F(TimedTasks, ThrowingTasksAreLoggedAndCounted)
{
    TTaskMan man;
    int deleted = 0, after = 0;
    auto* stdThrow = new FnTask(5, TTimedTaskHandler::ENDLESS, [] { throw std::runtime_error("no"); }, &deleted,
                                nullptr, "stdTask");
    man.AddTimedTask(stdThrow, TASK_NORMAL);
    man.AddTimedTask(new FnTask(5, TTimedTaskHandler::EXECUTE_ONCE, [] { throw 3; }, &deleted, nullptr, "onceTask"),
                     TASK_NORMAL);
    man.AddTimedTask(new FnTask(5, TTimedTaskHandler::ENDLESS, [&] { ++after; }), TASK_NORMAL);
    Advance(6);
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(stdThrow->ExecutionCounter, 1u);
    EXPECT_EQ(after, 1);
    EXPECT_EQ(deleted, 1); // the once task, thrown or not
    EXPECT_EQ(man.TaskList[TASK_NORMAL].size(), 2u);
    EXPECT_EQ(log.Count(": ExecuteConditional unhandled exception...stdTask"), 1);
    EXPECT_EQ(log.Count(": ExecuteConditional unhandled exception...onceTask"), 1);
}

TEST_F(TimedTasks, TasksMayAddAndRemoveTasksOfTheirOwnList)
{
    TTaskMan man;
    std::vector<std::string> order;
    int deleted = 0;
    FnTask* self = nullptr;
    FnTask* victim = new FnTask(5, TTimedTaskHandler::ENDLESS, [&] { order.push_back("victim"); }, &deleted);
    man.AddTimedTask(new FnTask(5, TTimedTaskHandler::EXECUTE_ONCE,
                                [&] {
                                    order.push_back("adder");
                                    auto* child =
                                        new FnTask(5, TTimedTaskHandler::EXECUTE_ONCE, [&] { order.push_back("child"); });
                                    child->EnableAndExecuteImmediate();
                                    man.AddTimedTask(child, TASK_NORMAL);
                                }),
                     TASK_NORMAL);
    self = new FnTask(
        5, TTimedTaskHandler::ENDLESS,
        [&] {
            order.push_back("self");
            man.RemoveTimedTask(victim, true);
            man.RemoveTimedTask(self, true);
        },
        &deleted);
    man.AddTimedTask(self, TASK_NORMAL);
    man.AddTimedTask(victim, TASK_NORMAL);
    Advance(6);
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(order, (std::vector<std::string>{"adder", "self", "child"}));
    EXPECT_EQ(deleted, 2);
    EXPECT_TRUE(man.TaskList[TASK_NORMAL].empty());
}

TEST_F(TimedTasks, TasksOnTwoThreadsChangeEachOthersListsAtOnce)
{
    // A draw-list task and a main-loop task both run at the same moment; each
    // adds a task to and removes one from the other thread's list. Were a
    // list locked for the whole of its walk, the two threads would wait for
    // each other for ever: on a time-out the manager is left to them.
    auto* man = new TTaskMan;
    int drawDeleted = 0, normalDeleted = 0;
    FnTask* drawVictim = new FnTask(1000000, TTimedTaskHandler::ENDLESS, [] {}, &drawDeleted);
    FnTask* normalVictim = new FnTask(1000000, TTimedTaskHandler::ENDLESS, [] {}, &normalDeleted);
    std::atomic<int> inside{0};
    auto meet = [&inside] {
        ++inside;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (inside < 2 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    };
    auto crossing = [&](TimedTaskType other, FnTask* victim) {
        return new FnTask(0, TTimedTaskHandler::EXECUTE_ONCE, [=, &meet] {
            meet();
            man->AddTimedTask(new FnTask(1000000, TTimedTaskHandler::ENDLESS, [] {}), other);
            man->RemoveTimedTask(victim, true);
        });
    };
    FnTask* fromDraw = crossing(TASK_NORMAL, normalVictim);
    FnTask* fromNormal = crossing(TASK_DRAW, drawVictim);
    fromDraw->EnableAndExecuteImmediate();
    fromNormal->EnableAndExecuteImmediate();
    man->AddTimedTask(fromDraw, TASK_DRAW);
    man->AddTimedTask(drawVictim, TASK_DRAW);
    man->AddTimedTask(fromNormal, TASK_NORMAL);
    man->AddTimedTask(normalVictim, TASK_NORMAL);

    std::promise<void> drawDone, normalDone;
    auto drawFuture = drawDone.get_future(), normalFuture = normalDone.get_future();
    std::thread draw([&] {
        man->ProcessTasks(TASK_DRAW);
        drawDone.set_value();
    });
    std::thread normal([&] {
        man->ProcessTasks(TASK_NORMAL);
        normalDone.set_value();
    });
    const bool finished = drawFuture.wait_for(std::chrono::seconds(20)) == std::future_status::ready &&
                          normalFuture.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    if (!finished) {
        draw.detach();
        normal.detach();
        FAIL() << "the two task lists deadlocked";
    }
    draw.join();
    normal.join();
    EXPECT_EQ(drawDeleted, 1);
    EXPECT_EQ(normalDeleted, 1);
    // Each list holds just the task the other thread added.
    for (TimedTaskType t : {TASK_NORMAL, TASK_DRAW}) {
        ASSERT_EQ(man->TaskList[t].size(), 1u);
        EXPECT_NE(man->TaskList[t].front(), nullptr);
    }
    delete man;
}

TEST_F(TimedTasks, ATaskRemovedByAnotherThreadWhileItRunsIsFreedAfterItsRun)
{
    TTaskMan man;
    int deleted = 0;
    std::atomic<bool> running{false}, release{false};
    FnTask* task = new FnTask(0, TTimedTaskHandler::ENDLESS, [&] {
        running = true;
        while (!release)
            std::this_thread::yield();
    }, &deleted);
    task->EnableAndExecuteImmediate();
    man.AddTimedTask(task, TASK_THREAD_SAFE);
    std::thread walker([&] { man.ProcessTasks(TASK_THREAD_SAFE); });
    while (!running)
        std::this_thread::yield();
    // Not waiting for the walk: the entry leaves now, the object after its run.
    std::promise<void> done;
    auto removal = done.get_future();
    std::thread remover([&] {
        man.RemoveTimedTask(task, true);
        done.set_value();
    });
    if (removal.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        release = true;
        remover.join();
        walker.join();
        FAIL() << "the removal waited for the walk";
    }
    remover.join();
    EXPECT_FALSE(man.IsTimedTaskValid(task, TASK_ANY));
    EXPECT_EQ(deleted, 0);
    release = true;
    walker.join();
    EXPECT_EQ(deleted, 1);
    EXPECT_TRUE(man.TaskList[TASK_THREAD_SAFE].empty());
}

TEST_F(TimedTasks, AWrappedTickCounterRestartsTheInterval)
{
    gNow = 0xFFFFFF00u;
    TTaskMan man;
    int runs = 0;
    auto* task = new FnTask(100, TTimedTaskHandler::ENDLESS, [&] { ++runs; });
    man.AddTimedTask(task, TASK_NORMAL);
    gNow = 5;
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(log.Count(": SDLGetTicks overflow detected (LastTime=4294967040, GetTicks()=5, "
                        "overflow_constant=2147483647)"),
              1);
    gNow = 105;
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(runs, 0);
    gNow = 106;
    man.ProcessTasks(TASK_NORMAL);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(log.Count(": SDLGetTicks overflow detected (LastTime=4294967040, GetTicks()=5, "
                        "overflow_constant=2147483647)"),
              1);
}

TEST(AsyncTimedTasks, OnceRunsOnItsNamedThreadAndFreeWaitsForIt)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TTaskMan.log"};
    std::atomic<int> runs{0};
    std::string threadName;
    TAsyncTimedTaskHandler task(
        [&] {
            char name[16] = {};
            prctl(PR_GET_NAME, name, 0, 0, 0);
            threadName = name;
            ++runs;
        },
        10, TTimedTaskHandler::EXECUTE_ONCE, "tick", true, false);
    ASSERT_TRUE(WaitFor([&] { return task.completedCount() == 1; }));
    task.free();
    task.free();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(threadName, "async_tick");
    EXPECT_EQ(task.completedCount(), 1u);
}

TEST(AsyncTimedTasks, CountedEndlessDisabledAndSelfFreeing)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TTaskMan.log"};
    std::atomic<int> counted{0};
    TAsyncTimedTaskHandler three([&] { ++counted; }, 1, TTimedTaskHandler::EXECUTE_COUNT, "three", false, false);
    three.SetExecutionsLimit(3);
    three.start();
    three.start();
    ASSERT_TRUE(WaitFor([&] { return three.completedCount() == 3; }));
    three.free();
    EXPECT_EQ(counted, 3);

    // An endless worker stops on free(); a disabled one still completes runs.
    std::atomic<int> endless{0};
    TAsyncTimedTaskHandler forever([&] { ++endless; }, 1, TTimedTaskHandler::ENDLESS, "forever", false, false);
    forever.Disable();
    forever.start();
    ASSERT_TRUE(WaitFor([&] { return forever.completedCount() >= 2; }));
    EXPECT_EQ(endless, 0);
    forever.Enable();
    ASSERT_TRUE(WaitFor([&] { return endless >= 2; }));
    forever.free();
    const Uint32 stopped = forever.completedCount();
    SDL_Delay(20);
    EXPECT_EQ(forever.completedCount(), stopped);

    // A throwing function does not end the process; the run is logged.
    TAsyncTimedTaskHandler thrower([] { throw std::runtime_error("x"); }, 1, TTimedTaskHandler::EXECUTE_ONCE,
                                   "thrower", true, false);
    ASSERT_TRUE(WaitFor([&] { return thrower.completedCount() == 1; }));
    thrower.free();
    EXPECT_TRUE(WaitFor([&] { return log.Count(": AsyncTimedTask:execThread unhandled exception...thrower") == 1; }));

    // Self-freeing: runs its course and deletes itself with its thread.
    struct Tracked {
        std::atomic<int>* gone;
        ~Tracked() { ++*gone; }
    };
    std::atomic<int> selfRuns{0}, gone{0};
    std::shared_ptr<Tracked> tracked(new Tracked{&gone});
    new TAsyncTimedTaskHandler([&selfRuns, tracked] { ++selfRuns; }, 1, TTimedTaskHandler::EXECUTE_COUNT_NO_FREE,
                               "selfish", true, true);
    // Limit 0: one run, as for every counted worker.
    tracked.reset();
    EXPECT_TRUE(WaitFor([&] { return gone == 1; }));
    EXPECT_EQ(selfRuns, 1);
}

TEST(AsyncTimedTasks, DeletingARunningTaskStopsItsWorkerFirst)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TTaskMan.log"};
    std::atomic<int> runs{0};
    auto* task = new TAsyncTimedTaskHandler([&] { ++runs; }, 1, TTimedTaskHandler::ENDLESS, "doomed", true, false);
    ASSERT_TRUE(WaitFor([&] { return runs >= 2; }));
    delete task;
    const int stopped = runs;
    SDL_Delay(20);
    EXPECT_EQ(runs, stopped);
}

namespace {

class TaskHost : public TApplication {
public:
    std::vector<std::string> seen;
    int Init() override { return 0; }
    void Destroy() override {}
    int DrawOnce() override { return 0; }
    void Startup() override
    {
        // The start-up phase runs thread-safe tasks; this one ends it.
        AddTimedTask(new TtthLambda(
                         [this] {
                             seen.push_back("startup");
                             setStatus(APP_STARTUP);
                         },
                         0, TTimedTaskHandler::EXECUTE_ONCE, "boot"),
                     TASK_THREAD_SAFE);
        AddTimedTask(new TtthLambda([this] { seen.push_back("draw"); }, 0, TTimedTaskHandler::ENDLESS, "draw"),
                     TASK_DRAW);
        auto* normal = new TtthLambda(
            [this] {
                seen.push_back("normal");
                terminate(NOTHING);
            },
            0, TTimedTaskHandler::EXECUTE_ONCE, "normal");
        normal->EnableAndExecuteImmediate();
        AddTimedTask(normal, TASK_NORMAL);
    }
    int RunOnce() override { return 0; }
};

} // namespace

TEST(TaskMainLoop, StartupPhaseAndLoopProcessTheirLists)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TTaskMan.log"};
    TaskHost host;
    host.Run();
    // Without a frame loop nothing processes the draw list.
    EXPECT_EQ(host.seen, (std::vector<std::string>{"startup", "normal"}));
}
