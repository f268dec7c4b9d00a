// The GUI start-up walk under hand-over delays and host mistakes: every state
// once and in order, waits made while starting up, host code that throws on
// the draw thread, and an application that never runs. One application per
// test process.
#include "GuiTestHost.h"
#include "WaitFor.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace guitest;
using vorel_sdl2::NOTHING;

namespace {

using State = TApplication::ApplicationState;

// Records every state change, in order.
class WalkHost : public GuiHost {
public:
    std::vector<State> States()
    {
        std::lock_guard<std::mutex> lock(mStatesMutex);
        return mStates;
    }
    void OnAppStateChanged(ApplicationState s) override
    {
        std::lock_guard<std::mutex> lock(mStatesMutex);
        mStates.push_back(s);
    }

private:
    std::mutex mStatesMutex;
    std::vector<State> mStates;
};

// Waits for condition with a deadline; true when it held.
// The hand-over hook holds the draw thread after Load until LoadGUI has
// returned on the main thread (or a deadline passes, when LoadGUI rightly
// waits for the state): the widest window a loaded machine can open.
std::atomic<bool> gLoadGuiReturned{false};
void HoldUntilLoadGuiReturned(const char* step)
{
    if (std::string(step) == "gui loaded")
        WaitFor([] { return gLoadGuiReturned.load(); }, 300);
}

const std::vector<State> kFullWalk = {TApplication::APP_LOADING,         TApplication::APP_LOADING_GRAPHICS,
                                      TApplication::APP_LOADING_2,       TApplication::APP_STARTUP,
                                      TApplication::APP_STARTUP_GRAPHICS, TApplication::APP_RUNNING,
                                      TApplication::APP_TERMINATE};

// Ends the host from its third frame in APP_RUNNING; counts the frames.
void EndAfterThreeFrames(GuiHost& host, std::atomic<int>& frames)
{
    host.mRebootOnExit = false;
    host.onFrame = [&frames](GuiHost& h) {
        if (++frames < 3)
            return h.gui->draw();
        h.terminate(NOTHING);
        return 1;
    };
}

} // namespace

// The documented start-up, with the draw thread held between Load and its
// step to APP_LOADING_2: LoadGUI returns only in APP_LOADING_2, and the walk
// visits every state once, in order, reaching APP_RUNNING until the host ends it.
TEST(StartupWalk, EveryStateOnceInOrderWithADelayedHandOver)
{
    PlatformScope restore;
    vorel_sdl2::Platform.HandOver = &HoldUntilLoadGuiReturned;
    WalkHost host;
    State afterLoadGui = TApplication::APP_INITIALIZING;
    host.onStartup = [&](GuiHost& h) {
        h.loadResult = h.LoadGUI(nullptr);
        afterLoadGui = h.status();
        gLoadGuiReturned = true;
        h.setStatus(TApplication::APP_STARTUP);
    };
    std::atomic<int> frames{0};
    EndAfterThreeFrames(host, frames);
    host.Run();
    EXPECT_EQ(afterLoadGui, TApplication::APP_LOADING_2);
    EXPECT_EQ(host.loadResult, 0);
    EXPECT_EQ(host.States(), kFullWalk);
    EXPECT_EQ(frames, 3); // ended by the host, not by the walk overshooting
}

// Hosts that skip LoadGUI or jump ahead themselves: late framework steps do
// nothing, and the application still reaches APP_RUNNING.
TEST(StartupWalk, AHostThatJumpsAheadStillRuns)
{
    struct Case {
        const char* name;
        std::function<void(GuiHost&)> startup;
    };
    const Case cases[] = {
        {"skips LoadGUI", [](GuiHost& h) { h.setStatus(TApplication::APP_STARTUP); }},
        {"jumps to APP_RUNNING", [](GuiHost& h) {
             h.LoadGUI(nullptr);
             h.setStatus(TApplication::APP_RUNNING);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pid_t pid = fork(); // one application per process
        if (pid == 0) {
            WalkHost host;
            host.onStartup = c.startup;
            std::atomic<int> frames{0};
            EndAfterThreeFrames(host, frames);
            host.Run();
            std::vector<State> states = host.States();
            bool once = std::count(states.begin(), states.end(), TApplication::APP_TERMINATE) == 1;
            _exit(frames == 3 && once ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
}

namespace {
// Threads of this process with the given name.
int ThreadsNamed(const std::string& name)
{
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string line;
        std::getline(comm, line);
        count += line == name;
    }
    closedir(dir);
    return count;
}
} // namespace

// Left by an exception, Run still completes the draw thread's exit sequence
// (Destroy on the draw thread, the exit command) before the exception passes on.
TEST(StartupWalk, RunLeftByAnExceptionStillCompletesTheExit)
{
    CommandRecorder recorder;
    PlatformScope restore;
    vorel_sdl2::Platform.RunCommand = &CommandRecorder::Record;
    vorel_sdl2::Platform.ExitCommandParam = [](TApplication&, const char* name) {
        return std::string(name) == "SHELL_CMD_RESTART" ? std::string("echo restart") : std::string();
    };
    {
        GuiHost host;
        host.mRebootOnExit = true; // a plain end becomes a restart
        host.onStartup = [](GuiHost& h) {
            h.LoadGUI(nullptr);
            throw std::runtime_error("start-up failed");
        };
        EXPECT_THROW(host.Run(), std::runtime_error);
        EXPECT_EQ(host.status(), TApplication::APP_TERMINATE);
        EXPECT_EQ(host.destroyCalls, 1);
        EXPECT_TRUE(host.destroyOnDrawThread);
        EXPECT_EQ(CommandRecorder::Take(), (std::vector<std::string>{"bash -c 'sleep 2; echo restart' &", "echo restart"}));
    }
    // A joined thread's entry can outlive the join by a moment: the kernel
    // wakes the joiner before it reaps the task.
    EXPECT_TRUE(WaitFor([] { return ThreadsNamed("draw") == 0; }));
}

// Destroyed without Run, with a GUI module: the draw thread is ended and
// joined, and calls no host code on its way out.
TEST(StartupWalk, DestroyedWithoutRunLeavesNoDrawThread)
{
    std::atomic<int> calls{0};
    {
        GuiHost host;
        ASSERT_TRUE(WaitFor([] { return ThreadsNamed("draw") == 1; }));
        host.gui->onLoad = [&](TestGui&, void*) { return ++calls, 0; };
        host.onDrawBeforeRunning = [&](GuiHost&) { return ++calls, 0; };
    }
    // A joined thread's entry can outlive the join by a moment: the kernel
    // wakes the joiner before it reaps the task.
    EXPECT_TRUE(WaitFor([] { return ThreadsNamed("draw") == 0; }));
    EXPECT_EQ(calls, 0);
}

namespace {
// Counts the mainLogic calls it gets before APP_RUNNING.
class LogicProbe : public Box {
public:
    explicit LogicProbe(std::atomic<int>& early) : Box(0, 0, 8, 8, kRed, "probe"), mEarly(early) {}
    void mainLogic() override
    {
        if (vorel_sdl2::pApp->status() < TApplication::APP_RUNNING)
            ++mEarly;
    }
    std::atomic<int>& mEarly;
};
} // namespace

// SetupGraphics may wait for a deferred call: it holds no lock that keeps the
// main loop from running it, and no component logic runs before APP_RUNNING.
TEST(StartupWalk, SetupGraphicsMayWaitForADeferredCall)
{
    GuiHost host;
    std::atomic<int> early{0};
    host.gui->onLoad = [&](TestGui& g, void*) {
        int r = g.CreateDefaultWindow();
        g.AddComponent(new LogicProbe(early));
        return r;
    };
    bool ran = false, ranOnMain = false;
    host.onSetupGraphics = [&](GuiHost& h) {
        h.DeferSync([&] {
            ran = true;
            ranOnMain = h.IsInMainThread();
        });
        return true;
    };
    std::atomic<int> frames{0};
    EndAfterThreeFrames(host, frames);
    host.Run();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(early, 0);
    EXPECT_EQ(frames, 3);
}

// Waiting deferred calls made before the main loop runs: from the GUI
// module's Load and from a DrawOnce before APP_RUNNING. Each runs on the main
// thread, and the start-up goes on; a deadline ends a start-up that hangs.
TEST(StartupWalk, WaitsForDeferredCallsBeforeTheMainLoopEnd)
{
    GuiHost host;
    std::atomic<int> ranOnMain{0};
    host.gui->onLoad = [&](TestGui& g, void*) {
        host.DeferSync([&] { ranOnMain += host.IsInMainThread(); });
        return g.CreateDefaultWindow();
    };
    std::atomic<bool> deferredFromDraw{false};
    host.onDrawBeforeRunning = [&](GuiHost& h) {
        if (!deferredFromDraw.exchange(true))
            h.DeferSync([&] { ranOnMain += h.IsInMainThread(); });
        return h.gui->draw();
    };
    std::atomic<int> frames{0};
    EndAfterThreeFrames(host, frames);
    std::atomic<bool> done{false};
    std::thread deadline([&] {
        if (!WaitFor([&] { return done.load(); }, 5000))
            host.terminate(NOTHING); // a hanging start-up ends here, and the test fails
    });
    host.Run();
    done = true;
    deadline.join();
    EXPECT_EQ(ranOnMain, 2);
    EXPECT_EQ(frames, 3);
}

// A DrawOnce that throws on every frame: each exception is a failed frame,
// a bounded run of them ends the application as a non-zero result does, and
// the fence line is printed at most once a second.
TEST(DrawOnceThrowing, InTheFrameLoopEndsTheApplication)
{
    GuiHost host;
    host.mRebootOnExit = false;
    std::atomic<int> thrown{0};
    host.onFrame = [&](GuiHost&) -> int {
        ++thrown;
        throw std::runtime_error("frame failed");
    };
    std::atomic<bool> done{false};
    std::thread deadline([&] {
        if (!WaitFor([&] { return done.load(); }, 10000))
            host.terminate(NOTHING); // a spinning draw thread ends here, and the test fails
    });
    testing::internal::CaptureStdout();
    int result = host.Run();
    std::string out = testing::internal::GetCapturedStdout();
    done = true;
    deadline.join();
    int lines = 0;
    for (size_t at = 0; (at = out.find("DrawOnce unhandled exception", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(thrown, 100);
    EXPECT_NE(result, 0);
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 3) << out;
    EXPECT_NE(out.find("DRAW: DrawOnce failed 100 frames in a row, terminating\n"), std::string::npos);
    EXPECT_EQ(host.destroyCalls, 1);
}

namespace {
std::atomic<int> gDrawThreadFrameWaits{0};
GuiHost* gHost = nullptr;
int CountDrawThreadSleeps(Uint32 ms)
{
    if (gHost && gHost->IsInDrawThread() && gHost->status() < TApplication::APP_RUNNING && ms == 1000 / 60)
        ++gDrawThreadFrameWaits;
    return 0;
}
} // namespace

// Before APP_RUNNING nothing paces the draw thread but DrawOnce itself: after
// each exception it waits a frame.
TEST(DrawOnceThrowing, BeforeRunningWaitsAFrameAfterEach)
{
    PlatformScope restore;
    vorel_sdl2::Platform.Sleep = &CountDrawThreadSleeps;
    GuiHost host;
    gHost = &host;
    std::atomic<int> thrown{0};
    host.onDrawBeforeRunning = [&](GuiHost&) -> int {
        ++thrown;
        throw std::runtime_error("loading screen failed");
    };
    host.onStartup = [&](GuiHost& h) {
        h.LoadGUI(nullptr);
        WaitFor([&] { return thrown >= 5; });
        h.setStatus(TApplication::APP_STARTUP);
    };
    std::atomic<int> frames{0};
    EndAfterThreeFrames(host, frames);
    host.Run();
    gHost = nullptr;
    EXPECT_GE(thrown, 5);
    EXPECT_EQ(gDrawThreadFrameWaits, thrown);
    EXPECT_EQ(frames, 3);
}
