// Event dispatch to listener modules, posted events, swipe payloads, and the
// deferred-call queues with their waits, from the main thread and others.
#include "IdleHost.h"
#include "TApplication.h"
#ifndef VOREL_NOGFX
#include "TAppGuiModule.h"
#endif

#include <gtest/gtest.h>

#include <SDL2/SDL.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using vorel_sdl2::TAppModule;
using vorel_sdl2::TApplication;

namespace {

class Host : public IdleHost {
public:

    // Log lines as they are handed to the log manager, from any thread.
    int _WriteLog(char, TLogType type, unsigned long, const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(mLogMutex);
        mLog.push_back(std::to_string(type) + " " + text);
        return 0;
    }
    std::vector<std::string> log()
    {
        std::lock_guard<std::mutex> lock(mLogMutex);
        return mLog;
    }

    void disableFunctionKeys(bool off) { mDisableFunctionKeys = off; }
    const SDL_Event& lastEvent() const { return LastEvent; }
#ifndef VOREL_NOGFX
    void setGui(vorel_sdl2::TAppGuiModule* gui) { pAppGUI = gui; }
#endif

private:
    std::mutex mLogMutex;
    std::vector<std::string> mLog;
};

class Listener : public TAppModule {
public:
    Listener(std::vector<std::string>* seen, std::string name, int result = 0) : mSeen(seen), mResult(result)
    {
        ModuleName = std::move(name);
    }
    int Load(void*) override { return 0; }
    int Unload() override { return 0; }
    int Ioctl(unsigned int request, unsigned long argument) override
    {
        if (request != vorel_sdl2::MODULE_IOCTL_EVENT)
            return -1;
        mSeen->push_back(ModuleName);
        lastType = reinterpret_cast<SDL_Event*>(argument)->type;
        const int result = mResult;
        if (onEvent) {
            auto action = onEvent;
            if (once)
                onEvent = nullptr;
            action(); // may delete this listener: no member is touched afterwards
        }
        return result;
    }

    std::function<void()> onEvent;
    bool once = true;
    Uint32 lastType = 0;

private:
    std::vector<std::string>* mSeen;
    int mResult;
};

class Events : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError();
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    }
    void TearDown() override { SDL_Quit(); }

    void postUser(int code = 1) { app.PostSDLUserEvent(code, nullptr, nullptr); }

    // SDL ends each poll cycle with a marker event that makes the next poll
    // report nothing once; a host polls every pass, a test wants each event now.
    int process()
    {
        SDL_FlushEvent(0x7F00); // SDL_POLLSENTINEL
        return app.ProcessNextEvent();
    }

    Host app;
    std::vector<std::string> seen;
};

} // namespace

TEST_F(Events, AnEmptyQueueGivesZeroAndKeepsTheLastEvent)
{
    Listener l(&seen, "L");
    app.AddEventListener(&l, false);
    EXPECT_EQ(process(), 0);
    EXPECT_TRUE(seen.empty());
    postUser(77);
    EXPECT_EQ(process(), 1);
    EXPECT_EQ(app.ProcessNextEvent(), 0);
    EXPECT_EQ(process(), 0);
    EXPECT_EQ(app.lastEvent().type, SDL_USEREVENT);
    EXPECT_EQ(app.lastEvent().user.code, 77);
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(Events, ListenersSeeEventsInListOrderUntilOneConsumesIt)
{
    Listener a(&seen, "A"), b(&seen, "B", 1), c(&seen, "C");
    app.AddEventListener(&a, false);
    app.AddEventListener(&b, false);
    app.AddEventListener(&c, false);
    postUser();
    EXPECT_EQ(process(), 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"A", "B"}));

    // Adding a listed module moves it instead of listing it twice.
    app.AddEventListener(&c, true);
    app.AddEventListener(&a, false);
    app.AddEventListener(nullptr, true);
    seen.clear();
    postUser();
    EXPECT_EQ(process(), 1); // consumed or not, an event was taken
    EXPECT_EQ(seen, (std::vector<std::string>{"C", "B"}));

    app.RemoveEventListener(&b);
    seen.clear();
    postUser();
    process();
    EXPECT_EQ(seen, (std::vector<std::string>{"C", "A"}));
}

// While an event is offered, a listener changes the list; nobody still listed
// is skipped or offered the event twice, and added listeners get the next one.
struct ListChangeCase {
    const char* what;
    const char* actor;
    std::function<void(TApplication&, std::vector<Listener*>&)> change;
    std::vector<std::string> firstEvent;
    std::vector<std::string> secondEvent;
};

TEST_F(Events, ListenersMayChangeTheListWhileAnEventIsOffered)
{
    const std::vector<ListChangeCase> cases = {
        {"removes itself", "A", [](TApplication& app, std::vector<Listener*>& l) { app.RemoveEventListener(l[0]); },
         {"A", "B", "C"}, {"B", "C"}},
        {"removes a later one", "A",
         [](TApplication& app, std::vector<Listener*>& l) { app.RemoveEventListener(l[1]); }, {"A", "C"}, {"A", "C"}},
        {"removes an earlier one", "B",
         [](TApplication& app, std::vector<Listener*>& l) { app.RemoveEventListener(l[0]); }, {"A", "B", "C"},
         {"B", "C"}},
        {"clears the list", "A", [](TApplication& app, std::vector<Listener*>&) { app.ClearAllEventListeners(); },
         {"A"}, {}},
        {"adds one at the back", "A",
         [](TApplication& app, std::vector<Listener*>& l) { app.AddEventListener(l[3], false); }, {"A", "B", "C"},
         {"A", "B", "C", "D"}},
        {"adds one at the front", "B",
         [](TApplication& app, std::vector<Listener*>& l) { app.AddEventListener(l[3], true); }, {"A", "B", "C"},
         {"D", "A", "B", "C"}},
        {"moves itself to the back", "A",
         [](TApplication& app, std::vector<Listener*>& l) { app.AddEventListener(l[0], false); }, {"A", "B", "C"},
         {"B", "C", "A"}},
        {"moves a later one to the front", "A",
         [](TApplication& app, std::vector<Listener*>& l) { app.AddEventListener(l[2], true); }, {"A", "B", "C"},
         {"C", "A", "B"}},
        {"removes a later one and adds it back", "A",
         [](TApplication& app, std::vector<Listener*>& l) {
             app.RemoveEventListener(l[1]);
             app.AddEventListener(l[1], false);
         },
         {"A", "B", "C"}, {"A", "C", "B"}},
    };
    for (const ListChangeCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> order;
        Listener a(&order, "A"), b(&order, "B"), cc(&order, "C"), d(&order, "D");
        std::vector<Listener*> all{&a, &b, &cc, &d};
        for (int i = 0; i < 3; ++i)
            app.AddEventListener(all[i], false);
        Listener* actor = c.actor[0] == 'A' ? &a : &b;
        actor->onEvent = [&] { c.change(app, all); };
        postUser();
        EXPECT_EQ(process(), 1);
        EXPECT_EQ(order, c.firstEvent);
        order.clear();
        postUser();
        process();
        EXPECT_EQ(order, c.secondEvent);
        app.ClearAllEventListeners();
    }
}

TEST_F(Events, AListenerThatDestroysItselfDuringDispatchIsNotOfferedMore)
{
    Listener* self = new Listener(&seen, "Self");
    Listener after(&seen, "After");
    ASSERT_EQ(self->Init(&app, "Self", nullptr), 0);
    app.AddEventListener(self, false);
    app.AddEventListener(&after, false);
    self->onEvent = [self] { self->Destroy(); };
    postUser();
    postUser();
    process();
    process();
    EXPECT_EQ(seen, (std::vector<std::string>{"Self", "After", "After"}));
}

TEST_F(Events, SuppressedFunctionKeysReachTheListenersButCountAsNoEvent)
{
    struct Case {
        bool disabled;
        bool pressed;
        SDL_Keycode key;
        int expected;
    };
    const std::vector<Case> cases = {
        {true, true, SDLK_F5, 0},  {true, false, SDLK_F1, 0},   {true, true, SDLK_F12, 0},
        {true, true, SDLK_F13, 1}, {true, true, SDLK_a, 1},     {false, true, SDLK_F5, 1},
        {false, false, SDLK_F12, 1},
    };
    Listener l(&seen, "L");
    app.AddEventListener(&l, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(SDL_GetKeyName(c.key));
        app.disableFunctionKeys(c.disabled);
        seen.clear();
        app.PostSDLKeyboardEvent(c.pressed, c.key, KMOD_NONE);
        EXPECT_EQ(process(), c.expected);
        EXPECT_EQ(seen.size(), 1u);
    }
}

TEST_F(Events, PostedEventsCarryWhatWasGiven)
{
    int payload1 = 0, payload2 = 0;
    app.PostSDLUserEvent(0x4242, &payload1, &payload2);
    app.PostSDLKeyboardEvent(false, SDLK_F7, static_cast<SDL_Keymod>(KMOD_LSHIFT | KMOD_RCTRL));
    app.Quit();

    ASSERT_EQ(process(), 1);
    const SDL_Event& user = app.lastEvent();
    EXPECT_EQ(user.type, SDL_USEREVENT);
    EXPECT_EQ(user.user.code, 0x4242);
    EXPECT_EQ(user.user.data1, &payload1);
    EXPECT_EQ(user.user.data2, &payload2);

    ASSERT_EQ(process(), 1);
    const SDL_Event& key = app.lastEvent();
    EXPECT_EQ(key.type, SDL_KEYUP);
    EXPECT_EQ(key.key.state, SDL_RELEASED);
    EXPECT_EQ(key.key.keysym.sym, SDLK_F7);
    EXPECT_EQ(key.key.keysym.mod, KMOD_LSHIFT | KMOD_RCTRL);
    EXPECT_EQ(key.key.keysym.scancode, 0);

    ASSERT_EQ(process(), 1); // Quit posts an Escape key-down
    EXPECT_EQ(app.lastEvent().type, SDL_KEYDOWN);
    EXPECT_EQ(app.lastEvent().key.state, SDL_PRESSED);
    EXPECT_EQ(app.lastEvent().key.keysym.sym, SDLK_ESCAPE);
    EXPECT_EQ(process(), 0);
}

// Once per termination, so a drain loop ends even without SDL's poll sentinel.
TEST_F(Events, WhileTerminatingQuitAndEscapeArePostedOnce)
{
    Listener l(&seen, "L");
    app.AddEventListener(&l, false);
    app.terminate(vorel_sdl2::NOTHING);
    EXPECT_EQ(process(), 1);
    EXPECT_EQ(l.lastType, SDL_QUIT);
    EXPECT_EQ(process(), 1);
    EXPECT_EQ(app.lastEvent().type, SDL_KEYDOWN);
    EXPECT_EQ(app.lastEvent().key.keysym.sym, SDLK_ESCAPE);
    EXPECT_EQ(SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_QUIT, SDL_QUIT), 0); // not posted again
    EXPECT_EQ(SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_KEYDOWN, SDL_KEYDOWN), 0);
}

TEST_F(Events, SwipeEventsReleaseThePostersReferenceAfterDispatch)
{
    struct Case {
        int code;
        bool released;
    };
    const std::vector<Case> cases = {
        {0x1010000, true}, {0x1010007, true}, {0x1000000, false}, {0x0010000, false}, {0x7, false},
    };
    Listener consumer(&seen, "Consumer", 1);
    app.AddEventListener(&consumer, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        TSwipeData* swipe = new TSwipeData(1, 2, 3, 4, 5, 6, 7, 8, 9, 1.5, 2.5, 3.5);
        swipe->incRef(); // the test's own hold, so the object outlives the release
        unsigned int counterSeenByListener = 0;
        consumer.onEvent = [&] { counterSeenByListener = swipe->ReferenceCounter.load(); };
        app.PostSDLUserEvent(c.code, swipe, nullptr);
        EXPECT_EQ(process(), 1);
        EXPECT_EQ(counterSeenByListener, 2u); // released only after dispatch
        EXPECT_EQ(swipe->ReferenceCounter.load(), c.released ? 1u : 2u);
        swipe->decRef();
        if (!c.released)
            swipe->decRef();
    }
    // A swipe code without a payload is left alone.
    app.PostSDLUserEvent(0x1010000, nullptr, nullptr);
    EXPECT_EQ(process(), 1);
}

TEST_F(Events, AThrowingListenerIsReportedCountsAsNotConsumingAndItsSwipeIsReleased)
{
    Listener thrower(&seen, "Thrower", 1);
    thrower.once = false;
    thrower.onEvent = [] { throw std::runtime_error("listener failed"); };
    Listener next(&seen, "Next", 1);
    app.AddEventListener(&thrower, false);
    app.AddEventListener(&next, false);
    TSwipeData* swipe = new TSwipeData(1, 2, 3, 4, 5, 6, 7, 8, 9, 1.5, 2.5, 3.5);
    swipe->incRef(); // the test's own hold

    testing::internal::CaptureStdout();
    app.PostSDLUserEvent(0x1010000, swipe, nullptr);
    int result = -1;
    try {
        result = process();
    } catch (...) {
        ADD_FAILURE() << "the listener's exception reached the caller";
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"Thrower", "Next"}));
    EXPECT_NE(out.find("TApplication:ProcessNextEvent:Ioctl unhandled exception\n"), std::string::npos) << out;
    EXPECT_EQ(swipe->ReferenceCounter.load(), 1u);
    swipe->decRef();
}

TEST(SwipeData, HoldersOnSeveralThreadsKeepTheCountExact)
{
    TSwipeData* swipe = new TSwipeData(1, 2, 3, 4, 5, 6, 7, 8, 9, 1.5, 2.5, 3.5);
    constexpr int kThreads = 4, kEach = 200000;
    std::atomic<bool> go{false};
    std::vector<std::thread> holders;
    for (int t = 0; t < kThreads; ++t)
        holders.emplace_back([&] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < kEach; ++i) {
                swipe->incRef();
                swipe->decRef();
            }
        });
    go = true;
    for (auto& h : holders)
        h.join();
    EXPECT_EQ(swipe->ReferenceCounter.load(), 1u);
    swipe->decRef();
}

TEST(SwipeData, KeepsItsValuesAndDiesWithItsLastHolder)
{
    TSwipeData* swipe = new TSwipeData(3, 10, 20, 30, 40, 1, 2, 20, 20, 4.5, -1.0, 2.0);
    EXPECT_EQ(swipe->Direction, 3);
    EXPECT_EQ(swipe->StartPos[1], 20);
    EXPECT_EQ(swipe->Position[0], 30);
    EXPECT_EQ(swipe->RelativeDiff[1], 2);
    EXPECT_EQ(swipe->StartDiff[0], 20);
    EXPECT_DOUBLE_EQ(swipe->Speed, 4.5);
    EXPECT_DOUBLE_EQ(swipe->Velocity[0], -1.0);
    EXPECT_EQ(swipe->ReferenceCounter.load(), 1u);
    swipe->incRef();
    swipe->decRef();
    EXPECT_EQ(swipe->ReferenceCounter.load(), 1u);
    swipe->decRef(); // deleted here; a leak or double free shows under the sanitizers
}

#ifndef VOREL_NOGFX
namespace {
class Gui : public vorel_sdl2::TAppGuiModule {
public:
    int Load(void*) override { return 0; }
    int Unload() override { return 0; }
    void RefreshSize() override { ++refreshes; }
    int refreshes = 0;
};
} // namespace

TEST_F(Events, ASizeChangeRefreshesTheGuiModule)
{
    Gui gui;
    app.setGui(&gui);
    SDL_Event e;
    SDL_zero(e);
    e.type = SDL_WINDOWEVENT;
    e.window.event = SDL_WINDOWEVENT_MOVED;
    SDL_PushEvent(&e);
    e.window.event = SDL_WINDOWEVENT_SIZE_CHANGED;
    SDL_PushEvent(&e);
    EXPECT_EQ(process(), 1);
    EXPECT_EQ(gui.refreshes, 0);
    EXPECT_EQ(process(), 1);
    EXPECT_EQ(gui.refreshes, 1);
    app.setGui(nullptr); // the application's end waits for a draw thread without a GUI module
}
#endif

// ---------------------------------------------------------------------------
// Deferred calls

namespace {

class Deferred : public ::testing::Test {
protected:
    Host app;

    // The main loop's part: drain until the condition holds.
    bool drainUntil(const std::function<bool()>& condition, int ms = 5000)
    {
        for (int i = 0; i < ms; ++i) {
            app.ExecuteDeferredMethods();
            if (condition())
                return true;
            SDL_Delay(1);
        }
        return condition();
    }

    bool logged(const std::string& line)
    {
        for (const std::string& l : app.log())
            if (l == line)
                return true;
        return false;
    }
};

} // namespace

TEST_F(Deferred, OnTheMainThreadOutsideADrainACallRunsAtOnce)
{
    int runs = 0;
    app.Defer([&] { ++runs; });
    EXPECT_EQ(runs, 1);
    app.Defer([&] { ++runs; }, false, true);
    EXPECT_EQ(runs, 2);
    app.DeferSync([&] { ++runs; });
    EXPECT_EQ(runs, 3);
    app.Defer(TApplication::DeferredType()); // nothing to run, nothing thrown

    app.Defer([&] { ++runs; }, true); // forced into the queue
    EXPECT_EQ(runs, 3);
    app.ExecuteDeferredMethods();
    EXPECT_EQ(runs, 4);
}

TEST_F(Deferred, CallsDeferredFromADrainRunInThisOrTheNextDrain)
{
    // A call appended while the last queued call runs waits for the next drain;
    // one appended while an earlier call runs is taken in the same drain.
    struct Case {
        const char* what;
        int queued;
        std::vector<std::string> firstDrain;
    };
    const std::vector<Case> cases = {
        {"deferred by the last queued call", 1, {"q0"}},
        {"deferred by an earlier call", 2, {"q0", "q1", "inner"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> ran;
        for (int i = 0; i < c.queued; ++i)
            app.Defer(
                [&, i] {
                    ran.push_back("q" + std::to_string(i));
                    if (i == 0)
                        app.Defer([&] { ran.push_back("inner"); });
                },
                true);
        app.ExecuteDeferredMethods();
        EXPECT_EQ(ran, c.firstDrain);
        app.ExecuteDeferredMethods();
        EXPECT_EQ(ran.back(), "inner");
    }
}

TEST_F(Deferred, AWaitingCallOnTheMainThreadNeverWaitsForItself)
{
    std::vector<std::string> ran;
    app.Defer(
        [&] {
            ran.push_back("outer start");
            app.Defer([&] { ran.push_back("waited, inside a drain"); }, false, true);
            app.DeferSync([&] { ran.push_back("sync, inside a drain"); }, true);
            ran.push_back("outer end");
        },
        true);
    app.ExecuteDeferredMethods();
    app.Defer([&] { ran.push_back("waited, forced"); }, true, true);
    EXPECT_EQ(ran, (std::vector<std::string>{"outer start", "waited, inside a drain", "sync, inside a drain",
                                             "outer end", "waited, forced"}));
}

TEST_F(Deferred, OtherThreadsGetTheirCallsRunOnTheMainThreadInOrder)
{
    constexpr int kThreads = 4;
    constexpr int kCalls = 200;
    std::vector<std::vector<int>> order(kThreads); // touched by the main thread only
    std::atomic<int> offMain{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i)
                app.Defer([&, t, i] {
                    if (!app.IsInMainThread())
                        ++offMain;
                    order[t].push_back(i);
                });
        });
    auto all = [&] {
        size_t n = 0;
        for (auto& o : order)
            n += o.size();
        return n == static_cast<size_t>(kThreads * kCalls);
    };
    EXPECT_TRUE(drainUntil(all));
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(offMain.load(), 0);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kCalls; ++i)
            ASSERT_EQ(order[t][i], i);
}

TEST_F(Deferred, AWaitingCallerReturnsOnlyAfterItsCallRan)
{
    constexpr int kThreads = 3;
    std::atomic<int> finished{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                int result = -1; // on the caller's stack: only safe because the caller waits
                if (t == 0)
                    app.DeferSync([&] { result = i; });
                else
                    app.Defer([&] { result = app.IsInMainThread() ? i : -2; }, false, true);
                if (result != i)
                    ++wrong;
            }
            ++finished;
        });
    EXPECT_TRUE(drainUntil([&] { return finished == kThreads; }));
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Deferred, AThrowingCallIsLoggedAndStillReleasesItsWaiter)
{
    std::atomic<int> released{0};
    std::atomic<bool> laterRan{false};
    std::thread thrower([&] {
        app.Defer([] { throw std::runtime_error("boom"); }, false, true);
        ++released;
    });
    std::thread empty([&] {
        app.Defer(TApplication::DeferredType(), false, true);
        ++released;
    });
    std::thread other([&] {
        app.Defer([] { throw 42; }, false, true);
        app.Defer([&] { laterRan = true; }, false, true);
        ++released;
    });
    EXPECT_TRUE(drainUntil([&] { return released == 3; }));
    thrower.join();
    empty.join();
    other.join();
    EXPECT_TRUE(laterRan);
    size_t lines = 0;
    for (const std::string& l : app.log())
        lines += l == "0 TApplication: ExecuteDefreredMethods unhandled exception";
    EXPECT_EQ(lines, 2u);
}

TEST_F(Deferred, AWaitThatCouldNeverEndIsNotMade)
{
    // A thread holding the main mutex keeps the main loop from draining.
    std::atomic<bool> ran{false};
    std::thread holder([&] {
        app.lockMainMutex();
        app.Defer([&] { ran = true; }, false, true);
        app.DeferSync([&] { ran = true; });
        app.unlockMainMutex();
        app.Defer([&] { ran = true; }, false, false); // no wait: queued as usual
    });
    holder.join();
    EXPECT_FALSE(ran);
    app.ExecuteDeferredMethods();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(logged("4 TApplication: Defer: waiting call made while holding the main or draw mutex could never "
                       "run, dropped"));
#ifndef VOREL_NOGFX
    ran = false;
    std::thread drawing([&] {
        if (!app.tryLockDrawMutex()) {
            ADD_FAILURE() << "draw mutex taken";
            return;
        }
        app.Defer([&] { ran = true; }, false, true);
        app.unlockDrawMutex();
    });
    drawing.join();
    app.ExecuteDeferredMethods();
    EXPECT_FALSE(ran);
#endif
}

TEST_F(Deferred, TheEndOfTheMainLoopReleasesWaitersAndNoLateCallRuns)
{
    std::atomic<bool> returned{false};
    std::atomic<bool> ran{false};
    std::thread waiter([&] {
        int onMyStack = 0;
        app.Defer(
            [&] {
                onMyStack = 1; // would write into a finished frame if it ran late
                ran = true;
            },
            false, true);
        returned = true;
    });
    SDL_Delay(80); // the call is queued; nobody drains
    EXPECT_FALSE(returned);
    app.terminate(vorel_sdl2::NOTHING);
    waiter.join();
    EXPECT_TRUE(returned);
    app.ExecuteDeferredMethods();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(logged("4 TApplication: Defer: the main loop ended before the call ran, withdrawn"));

    // After the end, a waiting call is not even queued.
    std::thread late([&] { app.Defer([&] { ran = true; }, false, true); });
    late.join();
    app.ExecuteDeferredMethods();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(logged("4 TApplication: Defer: waiting call made after the main loop ended, dropped"));
}

TEST_F(Deferred, ACallRunningWhenTheLoopEndsStillReleasesItsWaiterAfterwards)
{
    std::atomic<bool> inside{false};
    std::atomic<bool> finish{false};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        app.Defer(
            [&] {
                inside = true;
                while (!finish)
                    SDL_Delay(1);
            },
            false, true);
        returned = true;
    });
    std::thread terminator([&] {
        while (!inside)
            SDL_Delay(1);
        app.terminate(vorel_sdl2::NOTHING);
        SDL_Delay(120); // several wait slices: the waiter must keep waiting
        EXPECT_FALSE(returned);
        finish = true;
    });
    EXPECT_TRUE(drainUntil([&] { return inside.load(); }));
    terminator.join();
    waiter.join();
    EXPECT_TRUE(returned);
}

#ifndef VOREL_NOGFX
TEST_F(Deferred, DrawCallsQueueForTheDrawThreadAndGetItsRenderer)
{
    std::vector<std::string> ran;
    SDL_Renderer* fakeRenderer = reinterpret_cast<SDL_Renderer*>(0x1234);
    app.DeferToDraw([&] { ran.push_back("plain"); });
    app.DeferToDrawRender([&](SDL_Renderer* r) { ran.push_back(r == fakeRenderer ? "renderer" : "other"); });
    app.DeferToDraw([] { throw std::runtime_error("draw failure"); });
    app.DeferToDrawRender([&](SDL_Renderer*) {
        ran.push_back("nested");
        app.DeferToDraw([&] { ran.push_back("next frame"); });
    });
    EXPECT_TRUE(ran.empty()); // the test thread is not the draw thread
    app.ExecuteDeferredDrawMethods(fakeRenderer);
    EXPECT_EQ(ran, (std::vector<std::string>{"plain", "renderer", "nested"}));
    EXPECT_TRUE(logged("0 TApplication: ExecuteDeferredDrawMethods unhandled exception"));
    app.ExecuteDeferredDrawMethods(fakeRenderer);
    EXPECT_EQ(ran.back(), "next frame");
}
#endif
