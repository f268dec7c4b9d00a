// The draw thread: start-up walk, graphics set-up, the exit sequence with its
// commands, and how Destroy is called. One application lifecycle per test
// process; exit commands are recorded, never run (except one harmless
// command run on purpose to check its quoting).
#include "GuiTestHost.h"
#include "WaitFor.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

using namespace guitest;
using vorel_sdl2::NOTHING;
using vorel_sdl2::RESTART;
using vorel_sdl2::SHUTDOWN;

namespace {

std::map<std::string, std::string>& Params()
{
    static std::map<std::string, std::string> p;
    return p;
}

std::string ParamFromTable(TApplication&, const char* name)
{
    auto it = Params().find(name);
    return it == Params().end() ? std::string() : it->second;
}

std::string Background(const std::string& cmd) { return "bash -c 'sleep 2; " + cmd + "' &"; }

size_t Find(const std::string& text, const std::string& what, size_t from = 0)
{
    return text.find(what, from);
}

} // namespace

TEST(DrawThread, StartupWalkMessagesAndDestroy)
{
    CommandRecorder recorder;
    testing::internal::CaptureStdout();
    std::atomic<bool> mainLoopRan{false};
    std::atomic<bool> drawMutexFree{true};
    std::atomic<bool> mainMutexTaken{false};
    int runResult = 0;
    std::thread locker;
    {
        GuiHost host;
        host.gui->onLoad = [](TestGui& g, void*) { return g.CreateDefaultWindow() == 0 ? 7 : -50; };
        host.onRunOnce = [&](GuiHost& h) {
            mainLoopRan = true;
            h.terminate(NOTHING);
            return 1;
        };
        host.onDestroy = [&](GuiHost& h) {
            // Another thread can take neither mutex while Destroy runs.
            std::thread other([&] {
                drawMutexFree = h.tryLockDrawMutex();
                if (drawMutexFree)
                    h.unlockDrawMutex();
            });
            other.join();
            locker = std::thread([&] {
                h.lockMainMutex();
                mainMutexTaken = true;
                h.unlockMainMutex();
            });
            SDL_Delay(50);
            EXPECT_FALSE(mainMutexTaken); // it gets the mutex once Destroy has returned
        };
        host.mRebootOnExit = false;
        runResult = host.Run();
        EXPECT_EQ(host.loadResult, 7);
        EXPECT_EQ(host.destroyCalls, 1);
        EXPECT_TRUE(host.destroyOnDrawThread);
        EXPECT_FALSE(host.CallDestroyOnce()); // once per process
        EXPECT_EQ(host.destroyCalls, 1);
        locker.join();
        EXPECT_TRUE(mainMutexTaken);
    }
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::printf("%s", out.c_str());
    EXPECT_TRUE(mainLoopRan);
    EXPECT_FALSE(drawMutexFree);
    EXPECT_EQ(runResult, 1);
    // The draw thread's lines, in order.
    const char* lines[] = {"DRAW: Thread started, waiting for start of init...\n",
                           "DRAW: waiting for end of main init (APP_LOADING)...\n",
                           "DRAW: Loading GUI (APP_LOADING_GRAPHICS)...\n",
                           "DRAW: Waiting for end of startup procedures (APP_STARTUP)...\n",
                           "DRAW: Setting up graphics (APP_STARTUP_GRAPHICS)...\n",
                           "DRAW: Starting draw!\n"};
    size_t at = 0;
    for (const char* line : lines) {
        size_t found = Find(out, line, at);
        ASSERT_NE(found, std::string::npos) << line << " missing or out of order in:\n" << out;
        at = found;
    }
    size_t started = Find(out, "========== MAIN THREAD: LoadGUI started ==========\n");
    size_t loading = Find(out, "DRAW: Loading GUI (APP_LOADING_GRAPHICS)...\n");
    size_t completed = Find(out, "========= MAIN THREAD: LoadGUI completed =========\n");
    ASSERT_NE(started, std::string::npos);
    ASSERT_NE(completed, std::string::npos);
    EXPECT_LT(started, loading);
    EXPECT_LT(loading, completed);
    EXPECT_EQ(Find(out, "DRAW: Done! Waiting"), std::string::npos);
    EXPECT_TRUE(CommandRecorder::Take().empty());
}

TEST(DrawThread, SetupGraphicsFalseWaitsForTheHostToAdvance)
{
    CommandRecorder recorder;
    testing::internal::CaptureStdout();
    GuiHost host;
    host.mRebootOnExit = false;
    std::atomic<int> callsInStartupGraphics{0};
    host.onSetupGraphics = [](GuiHost&) { return false; };
    host.onDrawBeforeRunning = [&](GuiHost& h) {
        if (h.status() == TApplication::APP_STARTUP_GRAPHICS && ++callsInStartupGraphics == 5)
            h.setStatus(TApplication::APP_RUNNING);
        return h.gui->draw();
    };
    host.onFrame = [](GuiHost& h) {
        h.terminate(NOTHING);
        return h.gui->draw();
    };
    host.Run();
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(callsInStartupGraphics, 5);
    EXPECT_NE(Find(out, "DRAW: Done! Waiting for application to advance status (APP_RUNNING)...\n"), std::string::npos);
    EXPECT_NE(Find(out, "DRAW: Starting draw!\n"), std::string::npos);
}

TEST(DrawThread, LoadGuiReturnsNegativeLoadResultAndStartupGoesOn)
{
    CommandRecorder recorder;
    GuiHost host;
    host.mRebootOnExit = false;
    host.gui->onLoad = [](TestGui&, void* data) { return *static_cast<int*>(data); };
    int value = -9;
    int second = 0;
    host.onStartup = [&](GuiHost& h) {
        h.loadResult = h.LoadGUI(&value);
        second = h.LoadGUI(&value); // outside APP_LOADING: refused at once
        h.setStatus(TApplication::APP_STARTUP);
    };
    std::atomic<int> frames{0};
    host.onFrame = [&](GuiHost& h) {
        if (++frames == 3)
            h.terminate(NOTHING);
        EXPECT_EQ(h.gui->draw(), 2); // without a renderer: paced, nothing drawn
        return 0;
    };
    host.Run();
    EXPECT_EQ(host.loadResult, -9);
    EXPECT_EQ(second, -1);
    EXPECT_EQ(vorel_sdl2::GUI_LoadData, nullptr);
    EXPECT_GE(frames, 1);
    EXPECT_EQ(host.destroyCalls, 1);
}

// A terminate during Startup: the draw thread runs Load, DrawOnce,
// SetupGraphics and DrawOnce once more, then ends; Destroy waits until the
// main thread has left Startup and the loop.
TEST(DrawThread, TerminateBeforeRunningDestroysAfterTheMainLoop)
{
    CommandRecorder recorder;
    Params()["SHELL_CMD_SHUTDOWN"] = "echo down";
    vorel_sdl2::Platform.ExitCommandParam = &ParamFromTable;
    GuiHost host;
    host.mRebootOnExit = true;
    std::atomic<bool> startupDone{false};
    std::atomic<bool> startupDoneAtDestroy{false};
    std::atomic<bool> setupCalled{false};
    host.onSetupGraphics = [&](GuiHost&) {
        setupCalled = true;
        return true;
    };
    host.onStartup = [&](GuiHost& h) {
        h.terminate(SHUTDOWN);
        // The draw thread runs its last start-up steps and heads for its exit.
        EXPECT_TRUE(WaitFor([&] { return setupCalled && h.drawOnceCalls >= 2; }));
        h.loadResult = h.LoadGUI(nullptr);
        startupDone = true;
    };
    host.onDestroy = [&](GuiHost&) { startupDoneAtDestroy = startupDone.load(); };
    std::atomic<int> frames{0};
    host.onFrame = [&](GuiHost& h) {
        if (h.status() == TApplication::APP_RUNNING)
            ++frames;
        return 0;
    };
    host.Run();
    EXPECT_TRUE(startupDoneAtDestroy);
    EXPECT_EQ(host.loadResult, -1);
    EXPECT_TRUE(setupCalled);
    EXPECT_GE(host.drawOnceCalls, 2);
    EXPECT_EQ(frames, 0); // the frame loop was never entered
    EXPECT_EQ(host.destroyCalls, 1);
    EXPECT_EQ(host.TerminationType, SHUTDOWN);
    EXPECT_EQ(CommandRecorder::Take(), (std::vector<std::string>{Background("echo down"), "echo down"}));
}

struct ExitCase {
    bool reboot;
    vorel_sdl2::ETerminateType type;
    bool viaDrawOnce; // the draw side ends the application by returning non-zero
    bool paramPresent;
    const char* expected; // command expected to run, or null
};

class ExitCommands : public testing::TestWithParam<ExitCase> {};

TEST_P(ExitCommands, RunsTheCommandOfTheEffectiveTerminationType)
{
    const ExitCase& c = GetParam();
    CommandRecorder recorder;
    if (c.paramPresent) {
        Params()["SHELL_CMD_RESTART"] = "systemctl restart venue-app";
        Params()["SHELL_CMD_SHUTDOWN"] = "poweroff --now";
    } else {
        Params()["SHELL_CMD_RESTART"] = "";
    }
    vorel_sdl2::Platform.ExitCommandParam = &ParamFromTable;
    GuiHost host;
    host.mRebootOnExit = c.reboot;
    if (c.viaDrawOnce) {
        host.onFrame = [](GuiHost&) { return 5; };
    } else {
        host.onRunOnce = [&c](GuiHost& h) {
            h.terminate(c.type);
            return 1;
        };
    }
    int result = host.Run();
    if (c.viaDrawOnce) {
        EXPECT_EQ(result, -5);
    }
    std::vector<std::string> expected;
    if (c.expected)
        expected = {Background(c.expected), c.expected};
    EXPECT_EQ(CommandRecorder::Take(), expected);
    EXPECT_EQ(host.destroyCalls, 1);
}

std::string ExitCaseName(const testing::TestParamInfo<ExitCase>& info)
{
    static const char* types[] = {"Nothing", "Shutdown", "Restart"};
    const ExitCase& c = info.param;
    return std::string(c.reboot ? "RebootOn" : "RebootOff") + types[c.type] + (c.viaDrawOnce ? "ByDrawOnce" : "") +
           (c.paramPresent ? "WithCommands" : "WithoutCommands");
}

const char* kRestartCmd = "systemctl restart venue-app";
const char* kShutdownCmd = "poweroff --now";

INSTANTIATE_TEST_SUITE_P(
    Table, ExitCommands,
    testing::Values(ExitCase{true, NOTHING, false, true, kRestartCmd}, ExitCase{true, NOTHING, true, true, kRestartCmd},
                    ExitCase{false, NOTHING, false, true, nullptr}, ExitCase{false, NOTHING, true, true, nullptr},
                    ExitCase{true, RESTART, false, true, kRestartCmd}, ExitCase{false, RESTART, false, true, kRestartCmd},
                    ExitCase{true, SHUTDOWN, false, true, kShutdownCmd},
                    ExitCase{false, SHUTDOWN, false, true, kShutdownCmd}, ExitCase{true, NOTHING, false, false, nullptr},
                    ExitCase{false, RESTART, false, false, nullptr}, ExitCase{true, SHUTDOWN, false, false, nullptr}),
    ExitCaseName);

// The background copy must hand bash the command byte for byte, quotes and
// all. The command only writes a file in the build tree.
TEST(DrawThread, BackgroundCommandKeepsQuotesAndSpaces)
{
    CommandRecorder recorder;
    const std::string file = std::string(VOREL_TEST_BINARY_DIR) + "/exit-command-quoting.txt";
    std::remove(file.c_str());
    const std::string cmd = "printf '%s|%s\\n' \"it's  two\" 'a \"b\"' > '" + file + "'";
    Params()["SHELL_CMD_RESTART"] = cmd;
    vorel_sdl2::Platform.ExitCommandParam = &ParamFromTable;
    {
        GuiHost host;
        host.mRebootOnExit = false;
        host.onRunOnce = [](GuiHost& h) {
            h.terminate(RESTART);
            return 1;
        };
        host.Run();
    }
    std::vector<std::string> recorded = CommandRecorder::Take();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1], cmd);
    // Run the recorded background form for real, without its delay.
    std::string background = recorded[0];
    const std::string delay = "sleep 2; ";
    size_t at = background.find(delay);
    ASSERT_NE(at, std::string::npos);
    background.erase(at, delay.size());
    ASSERT_EQ(background.substr(background.size() - 2), " &");
    background.resize(background.size() - 2);
    ASSERT_EQ(std::system(background.c_str()), 0);
    std::ifstream in(file);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "it's  two|a \"b\"\n");
    std::remove(file.c_str());
}

// terminate(SHUTDOWN) from another thread at random moments of the
// lifecycle, with reboot on exit in force: the shutdown command always runs.
// Each round is a child process of its own (one application per process).
TEST(DrawThread, ShutdownAtRandomMomentsIsNeverLost)
{
    const int rounds = 25;
    std::mt19937 rng(12345);
    int lost = 0;
    for (int round = 0; round < rounds; ++round) {
        int delayMs = static_cast<int>(rng() % 200);
        int pipeFd[2];
        ASSERT_EQ(pipe(pipeFd), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(pipeFd[0]);
            CommandRecorder recorder;
            Params()["SHELL_CMD_RESTART"] = "restart";
            Params()["SHELL_CMD_SHUTDOWN"] = "shutdown";
            vorel_sdl2::Platform.ExitCommandParam = &ParamFromTable;
            std::string last;
            {
                GuiHost host;
                host.mRebootOnExit = true;
                // The draw side ends as soon as it sees the status change.
                host.onFrame = [](GuiHost& h) { return h.gui->draw(); };
                host.onRunOnce = [](GuiHost& h) { return h.status() == TApplication::APP_TERMINATE ? 1 : 0; };
                std::thread killer([&host, delayMs] {
                    SDL_Delay(static_cast<Uint32>(delayMs));
                    host.terminate(SHUTDOWN);
                });
                host.Run();
                killer.join();
            }
            std::vector<std::string> cmds = CommandRecorder::Take();
            std::string report = cmds.size() == 2 && cmds[1] == "shutdown" ? "ok" : "lost";
            ssize_t ignored = write(pipeFd[1], report.data(), report.size());
            (void)ignored;
            close(pipeFd[1]);
            _exit(0);
        }
        close(pipeFd[1]);
        char buffer[8] = {0};
        ssize_t n = read(pipeFd[0], buffer, sizeof buffer - 1);
        close(pipeFd[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "round " << round;
        if (std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0) != "ok")
            ++lost;
    }
    EXPECT_EQ(lost, 0);
}
