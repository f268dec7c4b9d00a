// The crash path (fatal signals, backtrace, watchdog, reboot seam) and the small
// process utilities. Every crash happens in a forked child that reports what it
// saw through a pipe: its log lines (from a log callback), Destroy and the
// reboot seam. The reboot seam is replaced in every child before anything else.
#include "Platform.h"
#include "TApplication.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <SDL2/SDL_timer.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using vorel_sdl2::TApplication;

namespace {

// ---- child side -----------------------------------------------------------

int gOut = -1; // the child's end of the report pipe

void Send(const std::string& record)
{
    std::string framed = record;
    framed.push_back('\0');
    const char* p = framed.data();
    size_t left = framed.size();
    while (left > 0) {
        ssize_t n = write(gOut, p, left);
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void CaptureLog(void*, const TLogEntry& entry, int) { Send("LOG:" + entry.Message); }

int RecordReboot(int command)
{
    char text[32];
    std::snprintf(text, sizeof text, "REBOOT:0x%x", static_cast<unsigned>(command));
    Send(text);
    errno = EPERM; // as without the privilege: the handler must still end the process
    return -1;
}

class Host : public TApplication {
public:
    std::function<void()> onDestroy;
    int Init() override { return 0; }
    void Destroy() override
    {
        Send("DESTROY:" + std::to_string(static_cast<int>(status())));
        if (onDestroy)
            onDestroy();
    }
    void Startup() override {}
    int RunOnce() override { return 0; }
    int DrawOnce() override { return 0; }
};

// A log file of the child's own, in a folder the parent removes afterwards.
std::string ChildLogName()
{
    char dir[] = "/tmp/vorel-signals-XXXXXX";
    if (!mkdtemp(dir))
        return "log.txt";
    Send(std::string("LOGDIR:") + dir);
    return std::string(dir) + "/log.txt";
}

// Builds the application in the child with its log captured; never with the real reboot.
Host* StartHost(bool rebootOnExit)
{
    vorel_sdl2::Platform.Reboot = RecordReboot;
    if (rebootOnExit)
        unsetenv("DISABLE_REBOOT_ON_EXIT");
    else
        setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    Host* host = new Host();
    host->TLogManager::Init(ChildLogName(), CaptureLog, nullptr, false);
    return host;
}

// The fault is the point: keep UBSan from reporting it before the signal.
__attribute__((noinline, no_sanitize("undefined"))) void NullWrite()
{
    volatile int* volatile target = nullptr;
    *target = 42;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
// Waits for the parent's signal some frames down, so the backtrace is full.
__attribute__((noinline)) int DeepWait(int depth)
{
    if (depth > 0) {
        volatile int keep = depth; // a real frame per level, not a loop
        int below = DeepWait(depth - 1);
        return below + keep;
    }
    Send("READY:" + std::to_string(gettid()));
    for (;;)
        pause();
}

__attribute__((noinline)) int Overflow(int depth)
{
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    return Overflow(depth + 1) + pad[0];
}
#pragma GCC diagnostic pop

// ---- parent side ----------------------------------------------------------

struct ChildRun {
    int termSignal = 0; // signal that ended the child, 0 if it exited
    int exitCode = -1;
    std::vector<std::string> records;
    long msFromSignal = -1;  // from the parent's kill (or the start) to the child's end
    long msToReboot = -1;    // from the parent's kill to the reboot record
    bool timedOut = false;

    std::vector<std::string> Logs() const
    {
        std::vector<std::string> lines;
        for (const auto& r : records)
            if (r.rfind("LOG:", 0) == 0)
                lines.push_back(r.substr(4));
        return lines;
    }
    // Index of the first record containing text, or -1.
    int Find(const std::string& text) const
    {
        for (size_t i = 0; i < records.size(); ++i)
            if (records[i].find(text) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }
    int Count(const std::string& text) const
    {
        int n = 0;
        for (const auto& r : records)
            n += r.find(text) != std::string::npos;
        return n;
    }
};

// Runs body in a forked child. With sendSignal, the parent sends it to the
// child's waiting thread once that reports READY.
ChildRun RunChild(const std::function<void()>& body, int sendSignal = 0, int timeoutMs = 30000)
{
    ChildRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return run;
    }
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        gOut = fds[1];
        body();
        _exit(0);
    }
    close(fds[1]);
    auto start = std::chrono::steady_clock::now();
    auto signalled = start;
    std::string pending;
    for (;;) {
        long left = timeoutMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        pending.append(buf, static_cast<size_t>(n));
        size_t zero;
        while ((zero = pending.find('\0')) != std::string::npos) {
            std::string record = pending.substr(0, zero);
            pending.erase(0, zero + 1);
            if (record.rfind("READY:", 0) == 0 && sendSignal) {
                // To the waiting thread itself: a process-wide signal could land
                // on a thread that has not masked it yet.
                signalled = std::chrono::steady_clock::now();
                syscall(SYS_tgkill, pid, std::stoi(record.substr(6)), sendSignal);
            }
            if (record.rfind("REBOOT:", 0) == 0 && run.msToReboot < 0)
                run.msToReboot = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - signalled)
                                     .count();
            run.records.push_back(record);
        }
    }
    close(fds[0]);
    if (run.timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    run.msFromSignal =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled).count();
    for (const auto& r : run.records)
        if (r.rfind("LOGDIR:/tmp/vorel-signals-", 0) == 0) {
            std::error_code ec;
            std::filesystem::remove_all(r.substr(7), ec);
        }
    if (WIFSIGNALED(status))
        run.termSignal = WTERMSIG(status);
    else if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    return run;
}

const char* kBacktraceStart = "================== BACKTRACE ==================";
const char* kBacktraceEnd = "================ BACKTRACE END ================";
const char* kRebootMarker = "================ WILL REBOOT ON EXIT!!!!! ================";

std::string Dump(const ChildRun& run)
{
    std::string text = "child records:\n";
    for (const auto& r : run.records)
        text += "  [" + r + "]\n";
    return text;
}


} // namespace

// ---- crash path -------------------------------------------------------------

struct FatalCase {
    const char* name;
    int signal;
    int sentByParent; // 0: the child brings the signal on itself
    std::function<void()> cause;
};

TEST(CrashHandling, FatalSignalsLeaveTraceRunDestroyAndEndBySignal)
{
    const FatalCase cases[] = {
        {"null write", SIGSEGV, 0, [] { NullWrite(); }},
        {"abort", SIGABRT, 0, [] { std::abort(); }},
        {"SIGTERM", SIGTERM, SIGTERM, [] { DeepWait(3); }},
        {"SIGINT", SIGINT, SIGINT, [] { DeepWait(3); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChildRun run = RunChild(
            [&] {
                StartHost(false);
                c.cause();
            },
            c.sentByParent);
        ASSERT_FALSE(run.timedOut) << Dump(run);
        EXPECT_EQ(run.termSignal, c.signal) << Dump(run);

        std::vector<std::string> logs = run.Logs();
        std::string signalLine = "Signal " + std::to_string(c.signal) + " received. Exiting...\n";
        int at = run.Find(signalLine);
        ASSERT_GE(at, 0) << Dump(run);
        // The detail line follows at once and tells a sender from a crash.
        ASSERT_LT(at + 1, static_cast<int>(run.records.size()));
        const std::string& detail = run.records[at + 1];
        EXPECT_NE(detail.find("Signal " + std::to_string(c.signal) + " details: thread "), std::string::npos);
        EXPECT_NE(detail.find("(main thread)"), std::string::npos) << detail;
        if (c.sentByParent) {
            EXPECT_NE(detail.find("sent by pid " + std::to_string(getpid()) + " "), std::string::npos) << detail;
        }
        if (c.signal == SIGSEGV) {
            EXPECT_NE(detail.find("SEGV_MAPERR"), std::string::npos) << detail;
        }

        int start = run.Find(kBacktraceStart), end = run.Find(kBacktraceEnd), destroy = run.Find("DESTROY:");
        ASSERT_GT(start, at);
        ASSERT_GT(end, start);
        EXPECT_EQ(run.Find(kRebootMarker), -1);
        EXPECT_EQ(run.Find("REBOOT:"), -1);
        // Destroy runs after the trace, with the application terminated.
        EXPECT_GT(destroy, end) << Dump(run);
        EXPECT_EQ(destroy >= 0 ? run.records[destroy] : "", "DESTROY:" + std::to_string(TApplication::APP_TERMINATE));

        // Frames are resolved to this file, and numbered from 1 in order.
        std::regex frame(R"(: \((\d+)\) ([^\n]*)\n?$)");
        int expectedIndex = 1, ownFrames = 0;
        for (int i = start + 1; i < end; ++i) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(run.records[i], m, frame)) << run.records[i];
            EXPECT_EQ(std::stoi(m[1]), expectedIndex++);
            ownFrames += m[2].str().find("test_Signals.cpp:") != std::string::npos;
        }
        EXPECT_GE(ownFrames, 1) << Dump(run);
    }
}

// A full backtrace with reboot on: markers, Destroy, then the seam, all within a
// bound; the seam failing (no privilege) still ends the process by the signal.
TEST(CrashHandling, RebootOnExitReachesTheSeamAfterItsMarker)
{
    ChildRun run = RunChild(
        [] {
            StartHost(true);
            DeepWait(40);
        },
        SIGTERM);
    ASSERT_FALSE(run.timedOut) << Dump(run);
    int marker = run.Find(kRebootMarker), destroy = run.Find("DESTROY:"), reboot = run.Find("REBOOT:");
    ASSERT_GE(marker, 0) << Dump(run);
    EXPECT_GT(marker, run.Find(kBacktraceEnd));
    EXPECT_GT(destroy, marker);
    ASSERT_GT(reboot, destroy) << Dump(run);
    EXPECT_EQ(run.records[reboot], "REBOOT:0x1234567");
    EXPECT_EQ(run.Count("REBOOT:"), 1);
    EXPECT_EQ(run.termSignal, SIGTERM);

    int frames = 0;
    for (int i = run.Find(kBacktraceStart) + 1; i < run.Find(kBacktraceEnd); ++i)
        ++frames;
    EXPECT_EQ(frames, 19); // 20 captured, the handler's own frame skipped
    std::printf("signal to reboot call with %d frame lines: %ld ms\n", frames, run.msToReboot);
    RecordProperty("signal_to_final_action_ms", std::to_string(run.msToReboot));
    EXPECT_LT(run.msToReboot, 5000);
}

TEST(CrashHandling, StackOverflowIsHandledOnTheAlternateStack)
{
    ChildRun run = RunChild([] {
        // Keep the overflow quick and bounded even where the stack is unlimited.
        rlimit limit{8u << 20, 8u << 20};
        rlimit current;
        if (getrlimit(RLIMIT_STACK, &current) == 0 && current.rlim_cur != RLIM_INFINITY &&
            current.rlim_cur < limit.rlim_cur)
            limit = current;
        limit.rlim_max = current.rlim_max;
        setrlimit(RLIMIT_STACK, &limit);
        StartHost(false);
        Overflow(0);
    });
    ASSERT_FALSE(run.timedOut) << Dump(run);
    EXPECT_EQ(run.termSignal, SIGSEGV) << Dump(run);
    EXPECT_GE(run.Find("Signal 11 received. Exiting...\n"), 0) << Dump(run);
    EXPECT_GE(run.Find(kBacktraceEnd), 0);
    EXPECT_GE(run.Find("test_Signals.cpp:"), 0);
    EXPECT_GE(run.Find("DESTROY:"), 0);
}

// Destroy never returns: the watchdog still makes the final action happen,
// after a last log line.
TEST(CrashHandling, AHangingDestroyStillReachesTheFinalAction)
{
    for (bool reboot : {false, true}) {
        SCOPED_TRACE(reboot ? "reboot on" : "reboot off");
        ChildRun run = RunChild(
            [reboot] {
                Host* host = StartHost(reboot);
                host->onDestroy = [] {
                    for (;;)
                        pause();
                };
                DeepWait(2);
            },
            SIGTERM);
        ASSERT_FALSE(run.timedOut) << Dump(run);
        EXPECT_EQ(run.termSignal, SIGTERM) << Dump(run);
        EXPECT_GE(run.Find("DESTROY:"), 0);
        EXPECT_GT(run.Find("did not finish within"), run.Find("DESTROY:")) << Dump(run);
        EXPECT_EQ(run.Count("REBOOT:0x1234567"), reboot ? 1 : 0) << Dump(run);
        EXPECT_GE(run.msFromSignal, 4000);
        EXPECT_LT(run.msFromSignal, 10000);
    }
}

// A fault while a fault is handled, on the handling thread (the same signal
// again, which must not be blocked) or on another: no second handling,
// straight to the reboot.
TEST(CrashHandling, ASecondSignalGoesStraightToTheFinalAction)
{
    struct Case {
        const char* name;
        std::function<void()> inDestroy;
    };
    const Case cases[] = {
        {"same thread", [] { NullWrite(); }},
        {"other thread",
         [] {
             std::thread t(NullWrite);
             t.join();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChildRun run = RunChild(
            [&] {
                Host* host = StartHost(true);
                host->onDestroy = c.inDestroy;
                NullWrite();
            });
        ASSERT_FALSE(run.timedOut) << Dump(run);
        EXPECT_EQ(run.Count("received. Exiting"), 1) << Dump(run);
        EXPECT_GT(run.Find("REBOOT:0x1234567"), run.Find("DESTROY:")) << Dump(run);
        EXPECT_EQ(run.Count("REBOOT:"), 1);
        EXPECT_EQ(run.termSignal, SIGSEGV);
        EXPECT_LT(run.msFromSignal, 4000); // not the watchdog
    }
}

TEST(CrashHandling, MissingAddr2LineGivesEmptyFrameLines)
{
    ChildRun run = RunChild(
        [] {
            setenv("PATH", "/nonexistent-vorel", 1);
            StartHost(false);
            DeepWait(3);
        },
        SIGTERM);
    ASSERT_FALSE(run.timedOut) << Dump(run);
    EXPECT_EQ(run.termSignal, SIGTERM);
    int start = run.Find(kBacktraceStart), end = run.Find(kBacktraceEnd);
    ASSERT_GT(end, start + 1) << Dump(run);
    for (int i = start + 1; i < end; ++i)
        EXPECT_TRUE(std::regex_search(run.records[i], std::regex(R"(: \(\d+\) $)"))) << run.records[i];
    EXPECT_GE(run.Find("DESTROY:"), 0);
}

// Without an application the handler only logs; a fault must not return into
// itself for ever, and a returning handling leaves the next signal handled again.
TEST(CrashHandling, WithoutAnApplicationTheHandlerLogsAndEnds)
{
    struct Case {
        int signal;
        int endsBy; // 0: returns, and the child exits normally
    };
    for (const Case& c : {Case{SIGINT, 0}, Case{SIGTERM, SIGABRT}, Case{SIGSEGV, SIGSEGV}}) {
        SCOPED_TRACE(c.signal);
        ChildRun run = RunChild([&] {
            vorel_sdl2::Platform.Reboot = RecordReboot;
            TLogManager log;
            log.Init(ChildLogName(), CaptureLog, nullptr, false);
            vorel_sdl2::QuitSignalHandler(c.signal);
            vorel_sdl2::QuitSignalHandler(c.signal);
        });
        ASSERT_FALSE(run.timedOut) << Dump(run);
        EXPECT_EQ(run.termSignal, c.endsBy) << Dump(run);
        std::string line = ": CRITICAL: Signal " + std::to_string(c.signal) + " received. Exiting...\n";
        EXPECT_EQ(run.Count(line), c.endsBy ? 1 : 2) << Dump(run);
        EXPECT_EQ(run.Find("REBOOT:"), -1);
    }
}

// ---- process utilities ------------------------------------------------------

TEST(ProcessUtilities, SetTerminalFlavourMatchesExactNames)
{
    const std::pair<const char*, vorel_sdl2::TFlavour> cases[] = {
        {"MERIDAN", vorel_sdl2::MERIDAN_FLAVOUR}, {"CALDO", vorel_sdl2::CALDO_FLAVOUR},
        {"CALDO2", vorel_sdl2::CALDO2_FLAVOUR},   {"PELTA", vorel_sdl2::PELTA_FLAVOUR},
        {"QUILO", vorel_sdl2::QUILO_FLAVOUR},     {"VUNT", vorel_sdl2::VUNT_FLAVOUR},
        {"LORIMA", vorel_sdl2::LORIMA_FLAVOUR},   {"ZEQ", vorel_sdl2::ZEQ_FLAVOUR},
        {"TAVRIN", vorel_sdl2::TAVRIN_FLAVOUR},   {"caldo2", vorel_sdl2::UNKNOWN_FLAVOUR},
        {"", vorel_sdl2::UNKNOWN_FLAVOUR},        {"CALDO ", vorel_sdl2::UNKNOWN_FLAVOUR},
        {"ZEQX", vorel_sdl2::UNKNOWN_FLAVOUR},
    };
    Host app;
    EXPECT_EQ(vorel_sdl2::TerminalFlavour, vorel_sdl2::UNKNOWN_FLAVOUR);
    for (const auto& [text, flavour] : cases) {
        app.SetTerminalFlavour("TAVRIN"); // a miss must reset, not keep the old value
        EXPECT_EQ(app.SetTerminalFlavour(text), flavour) << "\"" << text << "\"";
        EXPECT_EQ(vorel_sdl2::TerminalFlavour, flavour) << "\"" << text << "\"";
    }
}

TEST(ProcessUtilities, SystemCmdResultReturnsAllOutput)
{
    const std::pair<const char*, std::string> cases[] = {
        {"true", ""},
        {"head -c 300 /dev/zero | tr '\\0' x", std::string(300, 'x')},
        {"printf 'a\\nb\\n'", "a\nb\n"},
        {"echo out; echo err >&2; exit 3", "out\n"}, // stdout only, exit status not reported
    };
    for (const auto& [command, expected] : cases)
        EXPECT_EQ(vorel_sdl2::SystemCmdResult(command), expected) << command;
}

namespace {
// A copy of this test program started with this variable set writes its own
// GetBinaryPath into the file the variable names and ends before the tests run.
const char* kPrintPathEnv = "VOREL_SIGNALS_PRINT_BINARY_PATH";
const int kPrintPathHook = [] {
    if (std::getenv(kPrintPathEnv)) {
        setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
        vorel_sdl2::Platform.Reboot = RecordReboot;
        std::string path = Host().GetBinaryPath();
        FILE* out = std::fopen(std::getenv(kPrintPathEnv), "w");
        if (!out)
            _exit(2);
        std::fwrite(path.data(), 1, path.size(), out);
        std::fclose(out);
        _exit(0);
    }
    return 0;
}();
} // namespace

TEST(ProcessUtilities, GetBinaryPathIsCutAt255Bytes)
{
    Host app;
    char self[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(app.GetBinaryPath(), self);

    char base[] = "/tmp/vorel-binpath-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    std::filesystem::path dir = base;
    for (char c : {'a', 'b', 'c'})
        dir /= std::string(100, c);
    std::filesystem::create_directories(dir);
    std::filesystem::path copy = dir / "signals-test-copy";
    std::filesystem::copy_file(self, copy);
    std::string full = copy.string();
    ASSERT_GT(full.size(), 255u);

    std::string result = (std::filesystem::path(base) / "path.txt").string();
    pid_t pid = fork();
    if (pid == 0) {
        setenv(kPrintPathEnv, result.c_str(), 1);
        execl(full.c_str(), full.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string output;
    if (FILE* in = std::fopen(result.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, in)) > 0)
            output.append(buf, n);
        std::fclose(in);
    }
    std::filesystem::remove_all(base);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(output, full.substr(0, 255));
}

// ---- small operations of the application ---------------------------------------

namespace {
std::vector<std::string>* gOrder = nullptr;
void NoteLog(void*, const TLogEntry&, int)
{
    if (gOrder)
        gOrder->push_back("log");
}

class SmallHost : public Host {
public:
    std::vector<std::string> calls;
    void PostSDLKeyboardEvent(bool isPressed, SDL_Keycode key, SDL_Keymod mod) override
    {
        calls.push_back(std::string(isPressed ? "down " : "up ") + std::to_string(key) + " " + std::to_string(mod));
    }
    void OnStoreValues(std::list<vorel_sdl2::TAppParam*>&) override { calls.push_back("params"); }
};

// What a test printed, without the draw thread's status lines: that thread
// starts with the application and prints whenever it gets there.
std::string WithoutDrawLines(const std::string& printed)
{
    std::string out;
    size_t at = 0;
    while (at < printed.size()) {
        size_t end = printed.find('\n', at);
        end = end == std::string::npos ? printed.size() : end + 1;
        if (printed.compare(at, 6, "DRAW: ") != 0)
            out.append(printed, at, end - at);
        at = end;
    }
    return out;
}
} // namespace

TEST(ApplicationBasics, DefaultsOfTheOverridableOperations)
{
    SmallHost app;
    EXPECT_EQ(app.Version(), "");
    EXPECT_EQ(app.Copyright(), "");
    testing::internal::CaptureStdout();
    app.PrintUsage();
    EXPECT_EQ(WithoutDrawLines(testing::internal::GetCapturedStdout()),
              "Application usage not defined. Contact vendor.\n");
    app.Quit();
    EXPECT_EQ(app.calls, std::vector<std::string>{"down " + std::to_string(SDLK_ESCAPE) + " 0"});
}

TEST(ApplicationBasics, PollDrainsTheLogThenTheParameters)
{
    SmallHost app;
    gOrder = &app.calls;
    const auto dir = std::filesystem::temp_directory_path() / ("vorel-poll-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    app.TLogManager::Init((dir / "poll-log.txt").string(), NoteLog, nullptr, false);
    app.WriteLog(0, 0, "one");
    testing::internal::CaptureStdout();
    EXPECT_EQ(app.Poll(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(app.calls, (std::vector<std::string>{"log", "params"}));
    app.TLogManager::Destroy();
    gOrder = nullptr;
    std::filesystem::remove_all(dir);
}

TEST(ApplicationBasics, CurrentFrequencyIsMeasuredWhileRunning)
{
    setenv("CPU_FPS", "200", 1);
    DrivenClock clock;
    struct Runner : public Host {
        Uint32 started = 0;
        int RunOnce() override
        {
            if (started == 0)
                started = DrivenClock::Now();
            if (DrivenClock::Now() - started < 1300)
                return 0;
            terminate(vorel_sdl2::NOTHING);
            return 1;
        }
        void Startup() override { setStatus(APP_STARTUP); }
    } app;
    EXPECT_EQ(app.CurrentFrequency(), 0);
    app.Run();
#ifdef VOREL_NOGFX
    EXPECT_EQ(app.CurrentFrequency(), 0); // the headless loop does not measure
#else
    // Passes 5 ms apart; the second is full in the pass that starts (before
    // its sleep) 1000 ms after the loop began: 201 passes, the unpaced first
    // one among them.
    EXPECT_EQ(app.CurrentFrequency(), 201);
#endif
}

// ---- what a signal does to the application's own choices -----------------------

// A fatal signal after the host chose SHUTDOWN: the handling keeps the choice.
TEST(SignalChoices, AFatalSignalKeepsTheTerminationTypeChosenBefore)
{
    ChildRun run = RunChild([] {
        Host* host = StartHost(false);
        host->onDestroy = [host] { Send("TYPE:" + std::to_string(static_cast<int>(host->TerminationType))); };
        host->terminate(vorel_sdl2::SHUTDOWN);
        std::abort();
    });
    ASSERT_FALSE(run.timedOut) << Dump(run);
    EXPECT_EQ(run.termSignal, SIGABRT);
    EXPECT_GE(run.Find("DESTROY:"), 0) << Dump(run);
    EXPECT_GE(run.Find("TYPE:1"), 0) << Dump(run);
}

// A stop request while terminating (the service manager's SIGTERM during a
// restart command): one log line, the process ends by the signal, no reboot.
TEST(SignalChoices, AStopRequestWhileTerminatingEndsWithoutReboot)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        ChildRun run = RunChild(
            [] {
                Host* host = StartHost(true);
                host->terminate(vorel_sdl2::RESTART);
                DeepWait(2);
            },
            sig);
        ASSERT_FALSE(run.timedOut) << Dump(run);
        EXPECT_EQ(run.termSignal, sig) << Dump(run);
        EXPECT_EQ(run.Count("REBOOT:"), 0) << Dump(run);
        EXPECT_EQ(run.Count("Signal " + std::to_string(sig) + " received while terminating: ending without reboot"), 1)
            << Dump(run);
        EXPECT_EQ(run.Logs().size(), 1u) << Dump(run);
    }
}

// What Destroy logs in the handling reaches the log before the final action.
TEST(SignalChoices, WhatDestroyLogsIsWrittenBeforeTheReboot)
{
    ChildRun run = RunChild([] {
        Host* host = StartHost(true);
        host->onDestroy = [host] { host->WriteLog(0, 0, "written by Destroy"); };
        NullWrite();
    });
    ASSERT_FALSE(run.timedOut) << Dump(run);
    int destroy = run.Find("DESTROY:"), line = run.Find("written by Destroy"), reboot = run.Find("REBOOT:");
    EXPECT_GT(line, destroy) << Dump(run);
    EXPECT_GT(reboot, line) << Dump(run);
}

// ---- signals that used to end a terminal silently --------------------------------

namespace {
struct FnAction : public vorel_sdl2::TActionHandler {
    std::function<void()> fn;
    explicit FnAction(std::function<void()> f) : TActionHandler(nullptr, ahtExecuteOnce), fn(std::move(f)) {}
    void execute(std::string, void*) override { fn(); }
};

// A read past the end of a mapped empty file: a real SIGBUS.
__attribute__((noinline)) void BusError()
{
    char name[] = "/tmp/vorel-sigbus-XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    void* map = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    volatile char c = *static_cast<volatile char*>(map);
    (void)c;
}
} // namespace

TEST(SilentSignals, BusErrorIsHandledAsACrash)
{
    ChildRun run = RunChild([] {
        StartHost(false);
        BusError();
    });
    ASSERT_FALSE(run.timedOut) << Dump(run);
    EXPECT_EQ(run.termSignal, SIGBUS);
    EXPECT_GE(run.Find("Signal 7 received. Exiting...\n"), 0) << Dump(run);
    EXPECT_GE(run.Find("DESTROY:"), 0) << Dump(run);
}

TEST(SilentSignals, AWriteToAClosedPipeFailsInsteadOfEndingTheProcess)
{
    ChildRun run = RunChild([] {
        StartHost(false);
        int fds[2];
        if (pipe(fds) != 0)
            _exit(3);
        close(fds[0]);
        ssize_t n = write(fds[1], "x", 1);
        Send("WRITE:" + std::to_string(n) + (n < 0 && errno == EPIPE ? " EPIPE" : ""));
    });
    ASSERT_FALSE(run.timedOut) << Dump(run);
    EXPECT_EQ(run.termSignal, 0) << Dump(run);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_GE(run.Find("WRITE:-1 EPIPE"), 0) << Dump(run);
}

// A stack overflow in an asynchronous action's thread reaches the crash path
// on that thread's own alternate stack.
TEST(SilentSignals, StackOverflowInAnAsyncActionIsHandled)
{
    ChildRun run = RunChild([] {
        Host* host = StartHost(false);
        host->AddActionListener("Deep", new FnAction([] { Overflow(0); }), vorel_sdl2::ACTION_ASYNC);
        host->GenerateAction("Deep", nullptr, vorel_sdl2::ACTION_ANY);
        host->Run(); // Startup never ends the start-up phase, which runs asynchronous actions
    });
    ASSERT_FALSE(run.timedOut) << Dump(run);
    EXPECT_EQ(run.termSignal, SIGSEGV) << Dump(run);
    EXPECT_GE(run.Find("Signal 11 received. Exiting...\n"), 0) << Dump(run);
    EXPECT_GE(run.Find("DESTROY:"), 0) << Dump(run);
}
