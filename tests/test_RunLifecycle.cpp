// How Run ends when things go wrong: an exception that leaves it, waits made
// before the main loop runs, host code that blocks in the thread-safe part,
// and the drain loop of the event queue while terminating.
#include "TApplication.h"
#include "WaitFor.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <SDL2/SDL.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

using vorel_sdl2::TApplication;

namespace {

class Host : public TApplication {
public:
    std::function<void(Host&)> onStartup = [](Host& h) { h.setStatus(APP_STARTUP); };
    std::function<int(Host&)> onRunOnce = [](Host&) { return 0; };
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override { onStartup(*this); }
    int RunOnce() override { return onRunOnce(*this); }
    int DrawOnce() override { return 0; }
    Uint32 LastEventType() const { return LastEvent.type; }
};

// True when another thread can take the main mutex within a deadline. A
// thread that cannot is left behind blocked; the test has failed by then.
bool MainMutexIsFree(TApplication& app)
{
    auto taken = std::make_shared<std::atomic<bool>>(false);
    std::thread t([&app, taken] {
        app.lockMainMutex();
        *taken = true;
        app.unlockMainMutex();
    });
    bool free = WaitFor([&] { return taken->load(); });
    if (free)
        t.join();
    else
        t.detach();
    return free;
}

// Ticks that fail once, like an allocation, on the next main-thread call
// after arming.
std::atomic<bool> gFailNextTick{false};
std::thread::id gMainThread;
Uint32 FailingTicks()
{
    if (std::this_thread::get_id() == gMainThread && gFailNextTick.exchange(false))
        throw std::bad_alloc();
    return SDL_GetTicks();
}

struct ArmFailure : public vorel_sdl2::TActionHandler {
    ArmFailure() : TActionHandler(nullptr, ahtExecuteOnce) {}
    void execute(std::string, void*) override { gFailNextTick = true; }
};

} // namespace

TEST(RunLeftByException, AThrowingStartupEndsTheApplication)
{
    Host host;
    host.onStartup = [](Host&) { throw std::runtime_error("start-up failed"); };
    EXPECT_THROW(host.Run(), std::runtime_error);
    EXPECT_EQ(host.status(), TApplication::APP_TERMINATE);
    EXPECT_TRUE(MainMutexIsFree(host));
}

// bad_alloc in the thread-safe part of a pass, where the main mutex and the
// status lock are held: both are free again once the exception has left Run.
TEST(RunLeftByException, AFailedPassFreesTheMainMutex)
{
    PlatformScope restore;
    gMainThread = std::this_thread::get_id();
    vorel_sdl2::Platform.Ticks = &FailingTicks;
    Host host;
    host.AddActionListener("Fail", new ArmFailure, vorel_sdl2::ACTION_THREAD_SAFE);
    host.onRunOnce = [](Host& h) {
        h.GenerateAction("Fail", nullptr, vorel_sdl2::ACTION_ANY);
        return 0;
    };
    EXPECT_THROW(host.Run(), std::bad_alloc);
    EXPECT_EQ(host.status(), TApplication::APP_TERMINATE);
    EXPECT_TRUE(MainMutexIsFree(host));
    std::atomic<bool> statusRead{false};
    std::thread reader([&] {
        host.setStatus(TApplication::APP_RUNNING); // takes the status lock
        statusRead = true;
    });
    EXPECT_TRUE(WaitFor([&] { return statusRead.load(); }));
    if (statusRead)
        reader.join();
    else
        reader.detach();
    host.Destroy();
}

// A host thread started from Startup waits for a deferred call before it
// declares the start-up done: the start-up phase runs it.
TEST(StartupPhase, RunsWaitingDeferredCalls)
{
    Host host;
    std::atomic<bool> ranOnMain{false};
    std::thread starter;
    host.onStartup = [&](Host& h) {
        starter = std::thread([&] {
            h.DeferSync([&] { ranOnMain = h.IsInMainThread(); });
            h.setStatus(TApplication::APP_STARTUP);
        });
    };
    host.onRunOnce = [](Host& h) {
        h.terminate(vorel_sdl2::NOTHING);
        return 1;
    };
    std::atomic<bool> done{false};
    std::thread deadline([&] {
        if (!WaitFor([&] { return done.load(); }, 5000))
            host.terminate(vorel_sdl2::NOTHING); // a hanging start-up ends here, and the test fails
    });
    host.Run();
    done = true;
    deadline.join();
    starter.join();
    EXPECT_TRUE(ranOnMain);
    host.Destroy();
}

namespace {
struct FnAction : public vorel_sdl2::TActionHandler {
    std::function<void()> fn;
    explicit FnAction(std::function<void()> f) : TActionHandler(nullptr, ahtExecuteOnce), fn(std::move(f)) {}
    void execute(std::string, void*) override { fn(); }
};
} // namespace

// Host code in the thread-safe part runs while the main loop holds the status
// lock; another thread (the draw thread's frames, a worker the host code
// waits for) still reads the status without waiting.
TEST(ThreadSafePart, ReadingTheStatusNeverWaitsForIt)
{
    Host host;
    std::atomic<bool> readInTime{false};
    std::atomic<bool> handlerRan{false};
    host.AddActionListener("Wait", new FnAction([&] {
                               auto read = std::make_shared<std::atomic<bool>>(false);
                               std::thread reader([&host, read] {
                                   (void)host.status();
                                   *read = true;
                               });
                               readInTime = WaitFor([&] { return read->load(); });
                               if (readInTime)
                                   reader.join();
                               else
                                   reader.detach(); // released once this part ends
                               handlerRan = true;
                           }),
                           vorel_sdl2::ACTION_THREAD_SAFE);
    host.onRunOnce = [&](Host& h) {
        if (handlerRan) {
            h.terminate(vorel_sdl2::NOTHING);
            return 1;
        }
        h.GenerateAction("Wait", nullptr, vorel_sdl2::ACTION_ANY);
        return 0;
    };
    host.Run();
    EXPECT_TRUE(handlerRan);
    EXPECT_TRUE(readInTime);
    host.Destroy();
}

// The documented drain loop ends while terminating, also without SDL's poll
// sentinel: the quit events are posted once per termination.
TEST(EventDrain, EndsWithoutThePollSentinel)
{
    SDL_SetHint(SDL_HINT_POLL_SENTINEL, "0");
    ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError();
    {
        Host host;
        host.terminate(vorel_sdl2::NOTHING);
        std::vector<Uint32> seen;
        for (int i = 0; i < 50 && host.ProcessNextEvent(); ++i)
            seen.push_back(host.LastEventType());
        EXPECT_EQ(seen, (std::vector<Uint32>{SDL_QUIT, SDL_KEYDOWN}));
        EXPECT_EQ(host.ProcessNextEvent(), 0); // and stays ended
        host.Destroy();
    }
    SDL_Quit();
}
