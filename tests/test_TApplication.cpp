// The application spine: status machinery, environment, the paced main loop
// and how Run ends.
#include "TApplication.h"
#include "WaitFor.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <SDL2/SDL_timer.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

using vorel_sdl2::TApplication;

namespace {

// A host whose operations are plain function objects, set per test.
class Host : public TApplication {
public:
    std::function<void(Host&)> onStartup = [](Host& h) { h.setStatus(APP_STARTUP); };
    std::function<int(Host&)> onRunOnce = [](Host& h) {
        h.terminate(vorel_sdl2::NOTHING);
        return 1;
    };
    std::vector<ApplicationState> stateChanges;
    std::atomic<int> destroyCalls{0};

    int Init() override { return 0; }
    void Destroy() override { ++destroyCalls; }
    void Startup() override { onStartup(*this); }
    int RunOnce() override { return onRunOnce(*this); }
    int DrawOnce() override { return 0; }
    void OnAppStateChanged(ApplicationState s) override { stateChanges.push_back(s); }
};

// Waits for one state on its own thread, so a test can see whom a transition released.
struct Waiter {
    std::atomic<bool> released{false};
    std::thread thread;
    Waiter(TApplication& app, TApplication::ApplicationState s)
        : thread([&app, s, this] {
              app.waitForStatus(s);
              released = true;
          })
    {
    }
    ~Waiter() { thread.join(); }
};

class EnvGuard {
public:
    explicit EnvGuard(std::vector<std::pair<const char*, const char*>> vars)
    {
        for (const char* name : {"LOG_FILENAME", "DISABLE_REBOOT_ON_EXIT", "FPS", "CPU_FPS", "VSYNC"})
            unsetenv(name);
        for (auto& [name, value] : vars)
            if (value)
                setenv(name, value, 1);
    }
    ~EnvGuard() { setenv("DISABLE_REBOOT_ON_EXIT", "1", 1); }
};

} // namespace

TEST(ApplicationStatus, StatesNeverGoBackAndTerminateIsFinal)
{
    Host app;
    app.setStatus(TApplication::APP_LOADING_2);
    app.setStatus(TApplication::APP_LOADING_2);
    app.setStatus(TApplication::APP_LOADING);
    EXPECT_EQ(app.status(), TApplication::APP_LOADING_2);
    app.advanceStatus();
    EXPECT_EQ(app.status(), TApplication::APP_STARTUP);
    app.terminate(vorel_sdl2::RESTART);
    app.setStatus(TApplication::APP_RUNNING);
    app.advanceStatus();
    EXPECT_EQ(app.status(), TApplication::APP_TERMINATE);
    EXPECT_EQ(app.TerminationType, vorel_sdl2::RESTART);
    std::vector<TApplication::ApplicationState> expected{TApplication::APP_LOADING_2, TApplication::APP_STARTUP,
                                                         TApplication::APP_TERMINATE};
    EXPECT_EQ(app.stateChanges, expected);
    // Already reached, or terminated: returns at once.
    app.waitForStatus(TApplication::APP_LOADING);
    app.waitForStatus(TApplication::APP_RUNNING);
}

TEST(ApplicationStatus, AJumpReleasesEverySkippedStateAndCallsTheHookOnce)
{
    Host app;
    app.setStatus(TApplication::APP_LOADING);
    app.stateChanges.clear();
    {
        std::vector<std::unique_ptr<Waiter>> waiters;
        for (int s = TApplication::APP_LOADING_GRAPHICS; s <= TApplication::APP_RUNNING; ++s)
            waiters.push_back(std::make_unique<Waiter>(app, static_cast<TApplication::ApplicationState>(s)));
        SDL_Delay(20);
        for (auto& w : waiters)
            EXPECT_FALSE(w->released);
        app.setStatus(TApplication::APP_RUNNING);
        for (auto& w : waiters)
            EXPECT_TRUE(WaitFor([&] { return w->released.load(); }));
    }
    EXPECT_EQ(app.stateChanges, std::vector<TApplication::ApplicationState>{TApplication::APP_RUNNING});
    // APP_TERMINATE still has its own token to give.
    Waiter last(app, TApplication::APP_TERMINATE);
    app.terminate(vorel_sdl2::NOTHING);
}

TEST(ApplicationStatus, TerminateFromAnotherThreadReleasesEveryWaiter)
{
    Host app;
    app.setStatus(TApplication::APP_LOADING);
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int s = TApplication::APP_LOADING_GRAPHICS; s <= TApplication::APP_TERMINATE; ++s)
        waiters.push_back(std::make_unique<Waiter>(app, static_cast<TApplication::ApplicationState>(s)));
    SDL_Delay(20);
    std::thread([&] { app.terminate(vorel_sdl2::SHUTDOWN); }).join();
    for (auto& w : waiters)
        EXPECT_TRUE(WaitFor([&] { return w->released.load(); }));
    waiters.clear();
    EXPECT_EQ(app.TerminationType, vorel_sdl2::SHUTDOWN);
}

TEST(ApplicationStatus, ConcurrentAdvancesStepOneStateEach)
{
    Host app;
    std::vector<std::thread> threads;
    for (int i = 0; i < 5; ++i)
        threads.emplace_back([&] { app.advanceStatus(); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(app.status(), TApplication::APP_STARTUP_GRAPHICS);
    EXPECT_EQ(app.stateChanges.size(), 5u);
}

struct EnvCase {
    const char* logName;
    const char* noReboot;
    const char* fps;
    const char* cpuFps;
    const char* vsync;
    std::string wantLog;
    bool wantReboot;
    unsigned wantFps;
    unsigned wantFreq;
    bool wantVsync;
    std::vector<std::string> wantPrinted;
};

TEST(ApplicationEnvironment, ConstructorReadsTheTable)
{
    const std::string noLog = "APP WARNING: No Log file set! Writing to tmpLog.txt\n";
    const std::string reboot = "Will reboot system after close!\n";
    const std::vector<EnvCase> cases = {
        {nullptr, nullptr, nullptr, nullptr, nullptr, "tmpLog.txt", true, 60, 1000, false, {noLog}},
        {"  app.log  ", "1", "30", "250", "1", "app.log", false, 30, 250, true, {}},
        {"x.log", "0", nullptr, "60", "true", "x.log", true, 60, 60, false, {reboot}},
        {"x.log", "", nullptr, nullptr, "0", "x.log", true, 60, 1000, false, {reboot}},
        {"x.log", "yes", nullptr, "0", nullptr, "x.log", false, 60, 1000, false, {"APP WARNING: CPU_FPS"}},
        {"x.log", "1", nullptr, "fast", nullptr, "x.log", false, 60, 1000, false, {"APP WARNING: CPU_FPS"}},
    };
    for (const EnvCase& c : cases) {
        SCOPED_TRACE(std::string("LOG_FILENAME=") + (c.logName ? c.logName : "(unset)") +
                     " DISABLE_REBOOT_ON_EXIT=" + (c.noReboot ? c.noReboot : "(unset)") +
                     " CPU_FPS=" + (c.cpuFps ? c.cpuFps : "(unset)"));
        EnvGuard env({{"LOG_FILENAME", c.logName},
                      {"DISABLE_REBOOT_ON_EXIT", c.noReboot},
                      {"FPS", c.fps},
                      {"CPU_FPS", c.cpuFps},
                      {"VSYNC", c.vsync}});
        testing::internal::CaptureStdout();
        std::string printed;
        {
            Host app;
            printed = testing::internal::GetCapturedStdout();
            EXPECT_EQ(app.LogFile(), c.wantLog);
            EXPECT_EQ(app.mRebootOnExit, c.wantReboot);
            EXPECT_EQ(static_cast<unsigned>(app.TargetFPS), c.wantFps);
            EXPECT_EQ(static_cast<unsigned>(app.TargetFrequency), c.wantFreq);
            EXPECT_EQ(static_cast<bool>(app.VSync), c.wantVsync);
            EXPECT_EQ(vorel_sdl2::pApp, &app);
        }
        for (const std::string& line : c.wantPrinted) {
            EXPECT_NE(printed.find(line), std::string::npos) << printed;
        }
        if (c.wantPrinted.empty()) {
            EXPECT_EQ(printed.find("APP WARNING"), std::string::npos) << printed;
        }
        if (!c.wantReboot || !c.noReboot) {
            EXPECT_EQ(printed.find(reboot), std::string::npos) << printed;
        }
    }
}

namespace {

// Pass start times, on a driven clock that starts at 1000, of a host that
// calls RunOnce on every pass for `ms` milliseconds.
std::vector<Uint32> RunPasses(const char* cpuFps, Uint32 ms, const std::function<void(size_t)>& inPass = {})
{
    EnvGuard env({{"DISABLE_REBOOT_ON_EXIT", "1"}, {"LOG_FILENAME", "t.log"}, {"CPU_FPS", cpuFps}});
    DrivenClock clock;
    std::vector<Uint32> starts;
    Host app;
    app.SetLogicInterval(0);
    app.onRunOnce = [&](Host& h) {
        Uint32 now = DrivenClock::Now();
        starts.push_back(now);
        if (inPass)
            inPass(starts.size() - 1);
        if (now - starts.front() >= ms) {
            h.terminate(vorel_sdl2::NOTHING);
            return 1;
        }
        return 0;
    };
    app.Run();
    return starts;
}

// Start times 1000, 1000 + step, ... up to and including the first one at
// least `ms` after the start.
std::vector<Uint32> Evenly(Uint32 step, Uint32 ms)
{
    std::vector<Uint32> out;
    for (Uint32 at = 1000;; at += step) {
        out.push_back(at);
        if (at - 1000 >= ms)
            return out;
    }
}

} // namespace

TEST(ApplicationLoop, PacesPassesByCpuFps)
{
    // The first pass does not sleep; each later one sleeps the whole
    // loop duration: 1 ms with CPU_FPS unset, 1000 / 60 = 16 ms at 60.
    EXPECT_EQ(RunPasses(nullptr, 500), Evenly(1, 500));
    EXPECT_EQ(RunPasses("60", 500), Evenly(16, 500));
}

TEST(ApplicationLoop, AnOverrunningPassDoesNotSleep)
{
    // 100 ms per pass; pass 3 works for 150 ms. The pass after it starts at
    // once, and the one after that is paced normally again.
    std::vector<Uint32> starts = RunPasses("10", 900, [](size_t i) {
        if (i == 3)
            DrivenClock::Advance(150);
    });
    EXPECT_EQ(starts, (std::vector<Uint32>{1000, 1100, 1200, 1300, 1450, 1550, 1650, 1750, 1850, 1950}));
}

TEST(ApplicationRun, ExceptionsFromRunOnceAreReportedAndTheLoopGoesOn)
{
    EnvGuard env({{"DISABLE_REBOOT_ON_EXIT", "1"}, {"LOG_FILENAME", "t.log"}});
    Host app;
    app.SetLogicInterval(0);
    int calls = 0;
    app.onRunOnce = [&](Host& h) -> int {
        switch (++calls) {
        case 1: throw std::runtime_error("boom");
        case 2: throw 42;
        default: h.terminate(vorel_sdl2::NOTHING); return 1;
        }
    };
    testing::internal::CaptureStdout();
    app.Run();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(calls, 3);
    EXPECT_NE(out.find("Std exception: boom\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Unknown exception\n"), std::string::npos) << out;
}

TEST(ApplicationRun, ReturnsRunOnceResultAndEndsEvenWithoutTerminate)
{
    EnvGuard env({{"DISABLE_REBOOT_ON_EXIT", "1"}, {"LOG_FILENAME", "t.log"}});
    Host app;
    app.onRunOnce = [](Host&) { return 7; };
    EXPECT_EQ(app.Run(), 7);
    EXPECT_EQ(app.status(), TApplication::APP_TERMINATE);
    EXPECT_EQ(app.TerminationType, vorel_sdl2::NOTHING);
#ifdef VOREL_NOGFX
    EXPECT_EQ(app.destroyCalls, 0); // the headless host calls Destroy itself
#else
    EXPECT_EQ(app.destroyCalls, 1); // no GUI module: Run calls it on the main thread
#endif
    std::vector<TApplication::ApplicationState> expected{TApplication::APP_LOADING, TApplication::APP_STARTUP,
                                                         TApplication::APP_RUNNING, TApplication::APP_TERMINATE};
    EXPECT_EQ(app.stateChanges, expected);
}

TEST(ApplicationRun, TerminateDuringStartupEndsTheStartupPhase)
{
    EnvGuard env({{"DISABLE_REBOOT_ON_EXIT", "1"}, {"LOG_FILENAME", "t.log"}});
    Host app;
    std::thread killer;
    app.onStartup = [&](Host& h) {
        killer = std::thread([&h] {
            SDL_Delay(50);
            h.terminate(vorel_sdl2::SHUTDOWN);
        });
    };
    int runOnceCalls = 0;
    app.onRunOnce = [&](Host&) { return ++runOnceCalls, 0; };
    app.Run();
    killer.join();
    EXPECT_EQ(runOnceCalls, 0);
    EXPECT_EQ(app.status(), TApplication::APP_TERMINATE);
    EXPECT_EQ(app.TerminationType, vorel_sdl2::SHUTDOWN);
}

TEST(ApplicationRun, PollCombinesLogAndParameterResults)
{
    Host app;
    EXPECT_EQ(app.Poll(), -1 | (0 << 8)); // log manager not initialised
    char dir[] = "/tmp/vorel-poll-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    app.TLogManager::Init(std::string(dir) + "/t.log");
    EXPECT_EQ(app.Poll(), 0);
    app.TLogManager::Destroy();
    std::filesystem::remove_all(dir);
}
