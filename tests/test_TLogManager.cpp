// The log manager: line layout, writers and refusals, Poll's delivery,
// history, callbacks, Destroy, and the dated files with their daily switch
// and clean-up. Clocks are driven by the test; files live in a folder of
// their own under the test binary directory.
#include "Platform.h"
#include "TestPlatform.h"
#include "TApplication.h"
#include "TLogManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using vorel_sdl2::Platform;

namespace {

std::atomic<Uint32> gTicks{1000};
std::atomic<std::time_t> gNow{0};
Uint32 FakeTicks() { return gTicks; }
std::time_t FakeNow() { return gNow; }

constexpr std::time_t kMonday = 1796608699;  // Mon Dec  7 01:58:19 2026 UTC
constexpr std::time_t kLateMonday = 1796687995; // Mon Dec  7 23:59:55 2026 UTC
const std::string kStamp = "Mon Dec  7 01:58:19 2026";
const std::string kDay = "2026-12-07";
const std::string kFirstLine = "== APP CREATED THIS FILE ==\n";

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
        lines.push_back(line);
    return lines;
}

// Records what the function-pointer callback sees.
struct Seen {
    std::vector<std::string> messages;
    std::vector<int> linesToGo;
};
void Record(void* user, const TLogEntry& e, int linesToGo)
{
    auto* seen = static_cast<Seen*>(user);
    seen->messages.push_back(e.Message);
    seen->linesToGo.push_back(linesToGo);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        gNow = kMonday;
        gTicks = 1000;
        Platform.Ticks = &FakeTicks;
        Platform.Now = &FakeNow;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::path(VOREL_TEST_BINARY_DIR) /
              ("logtmp_" + std::string(info->name()) + "_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        log.Destroy();
        Platform = TestPlatform();
        fs::remove_all(dir);
    }
    // Init quietly (the open message goes to stdout) into dir/name.
    void InitIn(const std::string& name, TpfOnWriteLog cb = nullptr, void* user = nullptr, bool cleanup = true)
    {
        CaptureStdout();
        log.Init((dir / name).string(), cb, user, cleanup);
        GetCapturedStdout();
    }
    std::string Drain()
    {
        CaptureStdout();
        log.Poll();
        return GetCapturedStdout();
    }
    std::vector<std::string> History()
    {
        std::vector<std::string> h;
        for (std::string m = log.PopLogHistory(); !m.empty(); m = log.PopLogHistory())
            h.push_back(m);
        return h;
    }

    fs::path dir;
    TLogManager log;
};

} // namespace

TEST_F(LogTest, LineLayoutPerTypeAndPrefix)
{
    struct {
        TLogType type;
        bool prefix;
        std::string between;
    } const cases[] = {
        {0, true, ": "},
        {1, true, ": "},
        {2, true, ": debINFO: "},
        {3, true, ": INFO: "},
        {4, true, ": WARN: "},
        {5, true, ": ERROR: "},
        {6, true, ": debERROR: "},
        {7, true, ": CRITICAL: "},
        {8, true, ": "},
        {9, true, ""},
        {200, true, ""},
        {255, true, ""},
        {0x104, true, ": WARN: "},
        {65536, true, ": "},
        {65537, true, ": LT_USER_65537: "},
        {65536 + 3, true, ": LT_USER_65539: INFO: "},
        {65536 + 9, true, ": LT_USER_65545"},
        {4, false, ": "},
        {9, false, ": "},
        {65536 + 3, false, ": LT_USER_65539: "},
    };
    InitIn("layout.log");
    std::string expectedFile = kFirstLine;
    for (const auto& c : cases) {
        log.bAppendPrefix = c.prefix;
        ASSERT_EQ(log.WriteLog(c.type, 0, std::string("msg")), 0);
        expectedFile += kStamp + c.between + "msg\n";
    }
    Drain();
    std::vector<std::string> history = History();
    ASSERT_EQ(history.size(), std::size(cases));
    for (size_t i = 0; i < history.size(); ++i)
        EXPECT_EQ(history[i], kStamp + cases[i].between + "msg") << "type " << cases[i].type;
    EXPECT_EQ(ReadFile(dir / ("layout_" + kDay + ".log")), expectedFile);
}

TEST_F(LogTest, StampIsTheAsctimeForm)
{
    InitIn("stamp.log");
    struct {
        std::time_t t;
        const char* stamp;
    } const cases[] = {
        {kMonday, "Mon Dec  7 01:58:19 2026"},
        {kMonday + 1, "Mon Dec  7 01:58:20 2026"}, // a new second on the same thread
        {1709197503, "Thu Feb 29 09:05:03 2024"},
        {0, "Thu Jan  1 00:00:00 1970"},
    };
    for (const auto& c : cases) {
        gNow = c.t;
        log.WriteLog(0, 0, std::string("x"));
    }
    Drain();
    std::vector<std::string> history = History();
    ASSERT_EQ(history.size(), std::size(cases));
    for (size_t i = 0; i < history.size(); ++i)
        EXPECT_EQ(history[i], std::string(cases[i].stamp) + ": x");
}

TEST_F(LogTest, FormattedWritersCutAt2047Bytes)
{
    InitIn("cut.log");
    const std::string longText(3000, 'x');
    ASSERT_EQ(log.WriteLog(0, 0, "%s", longText.c_str()), 0);
    ASSERT_EQ(log.WriteColoredLog(3, 0, 0, "%s", longText.c_str()), 0);
    ASSERT_EQ(logman::WriteLog(0, 0, "%s", longText.c_str()), 0);
    ASSERT_EQ(logman::WriteColoredLog(3, 0, 0, "%s", longText.c_str()), 0);
    ASSERT_EQ(log.WriteLog(0, 0, longText), 0);
    ASSERT_EQ(log.WriteLog(longText), 0);
    Drain();
    std::vector<std::string> history = History();
    ASSERT_EQ(history.size(), 6u);
    const size_t head = kStamp.size() + 2;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(history[i], kStamp + ": " + std::string(2047, 'x')) << "formatted writer " << i;
    EXPECT_EQ(history[4].size(), head + 3000);
    EXPECT_EQ(history[5].size(), head + 3000);
}

TEST_F(LogTest, FormatArgumentsAndGameIdReachTheEntry)
{
    struct Capture {
        std::vector<TLogEntry> entries;
    } capture;
    auto keep = [](void* u, const TLogEntry& e, int) { static_cast<Capture*>(u)->entries.push_back(e); };
    InitIn("args.log", keep, &capture);
    log.WriteColoredLog(7, 65539, 1234567890123ul, "%d-%s-%.1f", 42, "abc", 2.5);
    Drain();
    ASSERT_EQ(capture.entries.size(), 1u);
    const TLogEntry& e = capture.entries[0];
    EXPECT_EQ(e.Message, kStamp + ": INFO: 42-abc-2.5"); // the callback sees no user tag
    EXPECT_EQ(e.LogType, 65539u);
    EXPECT_EQ(e.GameId, 1234567890123ull);
    EXPECT_EQ(e.Color, 7);
    EXPECT_EQ(e.LogEntryIndex, 0);
    EXPECT_EQ(log.GetLastLog(), "42-abc-2.5");
    EXPECT_EQ(logman::GetLastLog(), "42-abc-2.5");
}

TEST_F(LogTest, RefusedWritesAreNeverQueued)
{
    // Before Init: refused, and nothing of it shows up later.
    EXPECT_EQ(log.WriteLog(0, 0, "early %d", 1), -1);
    EXPECT_EQ(log.WriteLog(std::string("early")), -1);
    EXPECT_EQ(log.Poll(), -1);
    EXPECT_EQ(log.PopLogHistory(), "");
    EXPECT_EQ(logman::WriteLog("no default"), -1);
    EXPECT_EQ(logman::WriteLog(0, 0, "no default %d", 1), -1);
    EXPECT_EQ(logman::Poll(), -1);
    EXPECT_EQ(logman::GetLastLog(), "");

    InitIn("refused.log");
    EXPECT_EQ(logman::pDefInst, &log);
    EXPECT_EQ(log.WriteLog(0, 0, static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(log.WriteColoredLog(1, 0, 0, static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(logman::WriteLog(0, 0, static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(logman::WriteColoredLog(1, 0, 0, static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(log.WriteLog(std::string("kept")), 0);
    Drain();

    CaptureStdout();
    log.Destroy();
    GetCapturedStdout();
    EXPECT_EQ(logman::pDefInst, nullptr);
    EXPECT_EQ(log.WriteLog(std::string("late")), -1);
    EXPECT_EQ(log.Poll(), -1);
    EXPECT_EQ(ReadFile(dir / ("refused_" + kDay + ".log")), kFirstLine + kStamp + ": kept\n");
}

TEST_F(LogTest, FirstInitialisedManagerStaysTheDefault)
{
    InitIn("first.log");
    TLogManager second;
    CaptureStdout();
    second.Init((dir / "second.log").string(), nullptr, nullptr, false);
    EXPECT_EQ(logman::pDefInst, &log);
    second.Destroy();
    GetCapturedStdout();
    EXPECT_EQ(logman::pDefInst, &log);
}

namespace {
class Observer : public TLogManager {
public:
    std::vector<int> linesToGo;
    std::vector<std::string> messages;
    bool logFromCallback = false;
    void OnWriteLog(const TLogEntry& e, int toGo) override
    {
        linesToGo.push_back(toGo);
        messages.push_back(e.Message);
        if (logFromCallback && messages.size() == 1)
            WriteLog(std::string("from callback"));
    }
};
} // namespace

TEST_F(LogTest, LinesToGoCountsDownAndCallbackEntriesArriveInTheSamePoll)
{
    Observer obs;
    Seen seen;
    CaptureStdout();
    obs.Init((dir / "count.log").string(), &Record, &seen, false);
    for (const char* m : {"a", "b", "c"})
        obs.WriteLog(std::string(m));
    obs.Poll();
    EXPECT_EQ(seen.linesToGo, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(obs.linesToGo, (std::vector<int>{2, 1, 0}));

    obs.logFromCallback = true;
    obs.messages.clear();
    obs.linesToGo.clear();
    obs.WriteLog(std::string("d"));
    obs.Poll();
    ASSERT_EQ(obs.messages.size(), 2u);
    EXPECT_EQ(obs.messages[1], kStamp + ": from callback");
    EXPECT_EQ(obs.linesToGo, (std::vector<int>{0, 0}));
    obs.Destroy();
    GetCapturedStdout();
}

namespace {
// Logs one more line for every line delivered: the queue never runs dry.
void Echo(void* user, const TLogEntry&, int) { static_cast<TLogManager*>(user)->WriteLog(std::string("echo")); }
} // namespace

TEST_F(LogTest, PollReturnsEvenWhenLinesKeepComing)
{
    InitIn("flood.log", &Echo, &log);
    for (int i = 0; i < 3000; ++i)
        log.WriteLog(std::string("start"));
    ASSERT_EQ(log.Poll(), 0); // without a bound this never returns
    EXPECT_EQ(Lines(ReadFile(dir / ("flood_" + kDay + ".log"))).size(), 1u + 3000 + 1000);
    CaptureStdout();
    log.Destroy(); // refuses the echoes, so the final drain ends too
    GetCapturedStdout();
}

TEST_F(LogTest, HistoryKeepsTheLast50OldestFirst)
{
    InitIn("history.log");
    for (int i = 0; i < 60; ++i)
        log.WriteLog(0, 0, "line %d", i);
    Drain();
    std::vector<std::string> history = History();
    ASSERT_EQ(history.size(), 50u);
    EXPECT_EQ(history.front(), kStamp + ": line 10");
    EXPECT_EQ(history.back(), kStamp + ": line 59");
    EXPECT_EQ(log.PopLogHistory(), "");
}

namespace {
class Thrower : public TLogManager {
public:
    std::vector<std::string> seen;
    void OnWriteLog(const TLogEntry& e, int) override
    {
        seen.push_back(e.Message);
        throw 42;
    }
};
void ThrowingCallback(void*, const TLogEntry&, int) { throw std::runtime_error("host fault"); }
// A callback that empties the history while its entry is being delivered.
void PoppingCallback(void* user, const TLogEntry& e, int)
{
    auto* m = static_cast<TLogManager*>(user);
    while (!m->PopLogHistory().empty()) {
    }
    static_cast<void>(e.Message.size());
}
} // namespace

TEST_F(LogTest, ThrowingCallbacksDoNotStopDelivery)
{
    Thrower t;
    CaptureStdout();
    t.Init((dir / "throw.log").string(), &ThrowingCallback, nullptr, false);
    t.WriteLog(std::string("one"));
    t.WriteLog(std::string("two"));
    t.Poll();
    t.Destroy();
    std::string out = GetCapturedStdout();
    const std::string both =
        "LogManager:Poll:pfOnWriteLog unhandled exception\nLogManager:Poll:OnWriteLog unhandled exception\n";
    EXPECT_NE(out.find(both + both), std::string::npos) << out;
    EXPECT_EQ(t.seen.size(), 2u);
    EXPECT_EQ(ReadFile(dir / ("throw_" + kDay + ".log")), kFirstLine + kStamp + ": one\n" + kStamp + ": two\n");
}

TEST_F(LogTest, CallbackMayPopTheHistoryWhileItsEntryIsDelivered)
{
    InitIn("pop.log", &PoppingCallback, &log);
    for (int i = 0; i < 5; ++i)
        log.WriteLog(0, 0, "entry %d", i);
    Drain();
    Drain();
    EXPECT_EQ(Lines(ReadFile(dir / ("pop_" + kDay + ".log"))).size(), 6u);
}

TEST_F(LogTest, ConsoleEchoColoursOnlyTheConsole)
{
    InitIn("console.log");
    log.SetOutputToConsole(true);
    log.WriteColoredLog(static_cast<char>(200), 0, 0, "red %s", "alert");
    log.WriteLog(std::string("plain"));
    std::string out = Drain();
    EXPECT_EQ(out, "\x1b[38;5;200m" + kStamp + ": red alert\x1b[0m\n" + kStamp + ": plain\n");
    EXPECT_EQ(ReadFile(dir / ("console_" + kDay + ".log")),
              kFirstLine + kStamp + ": red alert\n" + kStamp + ": plain\n");
}

TEST_F(LogTest, DestroyWritesWhatIsStillQueued)
{
    InitIn("queued.log");
    log.WriteLog(std::string("a"));
    log.WriteLog(std::string("b"));
    CaptureStdout();
    log.Destroy();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out, "logman: calling Poll() for the last time.\n" + (dir / "queued").string() + " closed.\n");
    EXPECT_EQ(ReadFile(dir / ("queued_" + kDay + ".log")), kFirstLine + kStamp + ": a\n" + kStamp + ": b\n");
}

// ---- files ----

TEST_F(LogTest, DatedFileNames)
{
    struct {
        const char* configured;
        const char* file;
    } const cases[] = {
        {"logs/app.log", "logs/app_2026-12-07.log"},
        {"app", "app_2026-12-07.log"},
        {"tmpLog.txt", "tmpLog_2026-12-07.log"},
        {"other.log.txt", "other_2026-12-07.log"},
        {"logs.txt.d/app.log", "logs.txt.d/app_2026-12-07.log"},
        {"a.log.d/b/c.txt", "a.log.d/b/c_2026-12-07.log"},
        {"onlydir/", "onlydir/_2026-12-07.log"},
    };
    fs::path cwd = fs::current_path();
    fs::current_path(dir);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.configured);
        TLogManager m;
        CaptureStdout();
        m.Init(c.configured, nullptr, nullptr, true);
        m.WriteLog(std::string("hello"));
        m.Destroy();
        std::string out = GetCapturedStdout();
        EXPECT_EQ(out.rfind("logman: Logging to file '" + std::string(c.file) + "'\n", 0), 0u) << out;
        EXPECT_EQ(ReadFile(dir / c.file), kFirstLine + kStamp + ": hello\n");
    }
    fs::current_path(cwd);
}

TEST_F(LogTest, RestartOnTheSameDayAppends)
{
    const fs::path file = dir / ("again_" + kDay + ".log");
    for (const char* text : {"first run", "second run"}) {
        InitIn("again.log");
        log.WriteLog(std::string(text));
        CaptureStdout();
        log.Destroy();
        GetCapturedStdout();
    }
    EXPECT_EQ(ReadFile(file), kFirstLine + kStamp + ": first run\n" + kStamp + ": second run\n");
}

TEST_F(LogTest, DayChangeSwitchesFilesAfterTheTenSecondCheck)
{
    gNow = kLateMonday;
    InitIn("daily.log"); // LastTime = 1000
    log.WriteLog(std::string("before midnight"));
    Drain();

    gNow = kLateMonday + 10; // next day, 00:00:05
    gTicks = 1000 + 10000;   // not more than 10 s since the last check
    log.WriteLog(std::string("just after midnight"));
    Drain();
    EXPECT_FALSE(fs::exists(dir / "daily_2026-12-08.log"));

    gTicks = 1000 + 10001;
    log.WriteLog(std::string("triggers the switch"));
    std::string out = Drain();
    EXPECT_NE(out.find("daily closed.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("logman: Logging to file '" + (dir / "daily_2026-12-08.log").string() + "'"),
              std::string::npos)
        << out;

    const std::string stamp1 = "Mon Dec  7 23:59:55 2026";
    const std::string stamp2 = "Tue Dec  8 00:00:05 2026";
    EXPECT_EQ(ReadFile(dir / ("daily_" + kDay + ".log")), kFirstLine + stamp1 + ": before midnight\n" + stamp2 +
                                                                ": just after midnight\n" +
                                                                "Switching to log with date 2026-12-08");
    EXPECT_EQ(ReadFile(dir / "daily_2026-12-08.log"), kFirstLine + stamp2 + ": triggers the switch\n");

    // No entry, no check: the next check is again more than 10 s after this one.
    gNow = kLateMonday + 10 + 86400;
    gTicks = 1000 + 10001 + 5000;
    log.WriteLog(std::string("still the 8th"));
    Drain();
    EXPECT_FALSE(fs::exists(dir / "daily_2026-12-09.log"));
}

namespace {
// Creates a file with its last write time `age` hours in the past.
void MakeFile(const fs::path& p, int ageHours)
{
    std::ofstream(p) << "old\n";
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(ageHours));
}
std::string DateName(const std::string& prefix, int n)
{
    char date[16];
    std::snprintf(date, sizeof date, "2026-%02d-%02d", 1 + n / 28, 1 + n % 28);
    return prefix + "_" + date + ".log";
}
} // namespace

TEST_F(LogTest, CleanupKeepsThe39NewestAndLeavesOtherFilesAlone)
{
    for (const char* sub : {"logs", "logs.txt.d"}) {
        SCOPED_TRACE(sub);
        const fs::path logDir = dir / sub;
        fs::create_directories(logDir);
        // 45 dated files of this log, file n being n hours old; n = 0 is the newest.
        for (int n = 0; n < 45; ++n)
            MakeFile(logDir / DateName("app", n), n + 1);
        // Decoys, all older than every real file.
        const std::vector<std::string> decoys = {
            DateName("app2", 0),   DateName("apple", 0),       "app_2026-01-01.txt", "app_2026-01-01.log.bak",
            "app_notadate.log",    "app_2026-1-01.log",        "app.log",            "xapp_2026-01-01.log",
            "app_2026-01-01x.log", "app__2026-01-01.log",
        };
        for (const auto& d : decoys)
            MakeFile(logDir / d, 1000);
        fs::create_directories(logDir / "app_2020-01-01.log"); // a directory named like a log
        fs::create_symlink(logDir / DateName("app", 44), logDir / "app_2019-01-01.log");

        TLogManager m;
        CaptureStdout();
        m.Init((logDir / "app.log").string(), nullptr, nullptr, true);
        m.Destroy();
        GetCapturedStdout();

        for (int n = 0; n < 45; ++n)
            EXPECT_EQ(fs::exists(logDir / DateName("app", n)), n < 39) << DateName("app", n);
        EXPECT_EQ(ReadFile(logDir / ("app_" + kDay + ".log")), kFirstLine);
        for (const auto& d : decoys)
            EXPECT_TRUE(fs::exists(logDir / d)) << d;
        EXPECT_TRUE(fs::is_directory(logDir / "app_2020-01-01.log"));
        EXPECT_TRUE(fs::is_symlink(logDir / "app_2019-01-01.log"));
    }
}

TEST_F(LogTest, CleanupCountsAnExistingDayFileAndCanBeOff)
{
    const fs::path logDir = dir / "logs";
    fs::create_directories(logDir);
    std::ofstream(logDir / ("app_" + kDay + ".log")) << kFirstLine;
    for (int n = 0; n < 44; ++n)
        MakeFile(logDir / DateName("app", n), n + 1);

    TLogManager keepAll;
    CaptureStdout();
    keepAll.Init((logDir / "app.log").string(), nullptr, nullptr, false);
    keepAll.Destroy();
    GetCapturedStdout();
    EXPECT_EQ(std::distance(fs::directory_iterator(logDir), fs::directory_iterator()), 45);

    InitIn("logs/app.log");
    EXPECT_EQ(std::distance(fs::directory_iterator(logDir), fs::directory_iterator()), 39);
    EXPECT_TRUE(fs::exists(logDir / ("app_" + kDay + ".log")));
    EXPECT_TRUE(fs::exists(logDir / DateName("app", 37)));
    EXPECT_FALSE(fs::exists(logDir / DateName("app", 38)));
}

TEST_F(LogTest, UnusableDirectoryFallsBackToTheConsole)
{
    std::ofstream(dir / "blocker") << "a file where the log folder should be\n";
    const std::string path = (dir / "blocker" / "app_").string() + kDay + ".log";

    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(log.Init((dir / "blocker" / "app.log").string(), nullptr, nullptr, true), 0);
    std::string err = GetCapturedStderr();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out, "\nlogman: Can not open log file with message:\n"
                   "\nlogman WARNING: no channels to output. Will output to console.\n");
    EXPECT_EQ(err, path + ": Not a directory\n");

    log.WriteLog(std::string("to the console"));
    out = Drain();
    EXPECT_EQ(out, "logman(logfile error): " + kStamp + ": to the console\n\n");
    CaptureStdout();
    log.Close(); // nothing is open: silent
    EXPECT_EQ(GetCapturedStdout(), "");

    // With a callback there is still a channel: no warning, Open reports success.
    Seen seen;
    TLogManager withCallback;
    CaptureStdout();
    CaptureStderr();
    withCallback.Init((dir / "blocker" / "app.log").string(), &Record, &seen, true);
    EXPECT_EQ(withCallback.Open(), 0);
    GetCapturedStderr();
    out = GetCapturedStdout();
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    CaptureStdout();
    withCallback.Destroy();
    GetCapturedStdout();
    EXPECT_TRUE(fs::is_regular_file(dir / "blocker"));
}

// Many writers while the poller runs, then Destroy while they are still
// writing: every accepted line arrives exactly once, in the callback and in
// the file, and nothing refused shows up.
TEST_F(LogTest, ConcurrentWritersLoseNothingUpToDestroy)
{
    constexpr int kThreads = 8;
    constexpr int kPerThreadBeforeDestroy = 2000;
    Seen seen;
    InitIn("threads.log", &Record, &seen, false);

    std::atomic<int> started{0};
    std::atomic<int> reachedQuota{0};
    std::vector<int> accepted(kThreads, 0);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            ++started;
            for (int i = 0;; ++i) {
                int r = (i % 2) ? log.WriteLog(0, 0, "w%d-%d", t, i)
                                : logman::WriteLog(3, 0, "w" + std::to_string(t) + "-" + std::to_string(i));
                if (r != 0)
                    break;
                accepted[t] = i + 1;
                if (i + 1 == kPerThreadBeforeDestroy)
                    ++reachedQuota;
            }
        });
    CaptureStdout();
    while (reachedQuota < kThreads)
        log.Poll();
    log.Destroy(); // writers are still going
    GetCapturedStdout();
    for (auto& w : writers)
        w.join();

    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < accepted[t]; ++i)
            expected.insert("w" + std::to_string(t) + "-" + std::to_string(i));

    auto bare = [](const std::string& line) {
        size_t p = line.rfind(": ");
        return line.substr(p + 2);
    };
    std::multiset<std::string> delivered;
    for (const auto& m : seen.messages)
        delivered.insert(bare(m));
    EXPECT_EQ(delivered.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), delivered.begin(), delivered.end()));

    std::vector<std::string> fileLines = Lines(ReadFile(dir / ("threads_" + kDay + ".log")));
    ASSERT_FALSE(fileLines.empty());
    std::multiset<std::string> inFile;
    for (size_t i = 1; i < fileLines.size(); ++i)
        inFile.insert(bare(fileLines[i]));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), inFile.begin(), inFile.end()));
}

namespace {
// A host that logs from a thread of its own during start-up and from RunOnce,
// and ends once the main loop has delivered both lines.
class LoggingHost : public vorel_sdl2::TApplication {
public:
    std::string file;
    std::vector<std::string> delivered;
    int passes = 0;
    int Init() override { return TLogManager::Init(file, nullptr, nullptr, false); }
    void Destroy() override { TLogManager::Destroy(); }
    void Startup() override
    {
        std::thread([] { logman::WriteLog(0, 0, "from a worker during start-up"); }).join();
        setStatus(APP_STARTUP);
    }
    int RunOnce() override
    {
        if (passes++ == 0)
            WriteLog(std::string("from RunOnce"));
        for (std::string m = PopLogHistory(); !m.empty(); m = PopLogHistory())
            delivered.push_back(m);
        if (delivered.size() >= 2 || passes > 5000) {
            terminate(vorel_sdl2::NOTHING);
            return 1;
        }
        return 0;
    }
    int DrawOnce() override { return 0; }
};
} // namespace

TEST_F(LogTest, TheApplicationLoopDeliversLinesWithoutAnExplicitPoll)
{
    LoggingHost app;
    app.file = (dir / "host.log").string();
    CaptureStdout();
    app.Init();
    app.SetLogicInterval(0);
    app.Run();
#ifdef VOREL_NOGFX
    app.Destroy();
#endif
    GetCapturedStdout();
    EXPECT_EQ(app.delivered,
              (std::vector<std::string>{kStamp + ": from a worker during start-up", kStamp + ": from RunOnce"}));
    EXPECT_EQ(ReadFile(dir / ("host_" + kDay + ".log")),
              kFirstLine + kStamp + ": from a worker during start-up\n" + kStamp + ": from RunOnce\n");
}
