// The log manager: line layout, writers and refusals, Poll's delivery,
// history, callbacks, Destroy, and the dated files with their daily switch
// and clean-up. Clocks are driven by the test; files live in a folder of
// their own under the test binary directory.
#include "Platform.h"
#include "TestPlatform.h"
#include "TApplication.h"
#include "TLogManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <fcntl.h>
#include <sys/mount.h>
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
// The dated name of file n, where a larger n is an older date.
std::string DateName(const std::string& prefix, int n)
{
    const int day = 200 - n;
    char date[16];
    std::snprintf(date, sizeof date, "2026-%02d-%02d", 1 + day / 28, 1 + day % 28);
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
    log.SetQueueLimit(SIZE_MAX); // about delivery, not about the bound

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

// ---- the file survives its disk ----

namespace {

const std::string kConsole = "logman(logfile error): ";

std::string Outage(const std::string& reason, const std::string& since = kStamp)
{
    return since + ": WARN: logman: log file unusable: " + reason + "\n";
}
std::string Back(int consoleLines, const std::string& stamp = kStamp)
{
    return stamp + ": WARN: logman: log file back, " + std::to_string(consoleLines) + " lines went to the console\n";
}

// The log lines that reached the console fallback, without prefix.
std::vector<std::string> ConsoleLines(const std::string& out)
{
    std::vector<std::string> lines;
    for (const std::string& line : Lines(out))
        if (line.rfind(kConsole, 0) == 0)
            lines.push_back(line.substr(kConsole.size()));
    return lines;
}

// A tmpfs of its own in a test folder, unmounted (lazily, so an open file
// cannot keep it) when the test ends.
class Tmpfs {
public:
    Tmpfs(const fs::path& where, const std::string& size) : mPath(where)
    {
        fs::create_directories(where);
        mMounted = ::mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size).c_str()) == 0;
        mError = errno;
    }
    ~Tmpfs()
    {
        if (mMounted)
            ::umount2(mPath.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mMounted; }
    std::string Error() const { return std::strerror(mError); }
    // Takes every free byte with one file; Free gives them back.
    void Fill()
    {
        int fd = ::open((mPath / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_GE(fd, 0);
        std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        while (::write(fd, block.data(), 1) > 0) {
        }
        ::close(fd);
    }
    void Free() { fs::remove(mPath / "filler"); }

private:
    fs::path mPath;
    bool mMounted = false;
    int mError = 0;
};

#define MOUNT_OR_SKIP(fs)                                                                                       \
    if (!(fs).Mounted())                                                                                        \
    GTEST_SKIP() << "cannot mount a tmpfs here: " << (fs).Error()

// A numbered line of exactly 100 bytes in the file (stamp, ": ", text, line feed).
std::string Numbered(int i)
{
    char head[16];
    std::snprintf(head, sizeof head, "line %06d ", i);
    std::string text = head;
    text.resize(100 - kStamp.size() - 2 - 1, 'x');
    return text;
}

} // namespace

TEST_F(LogTest, RemovedFileOrFolderIsOpenedAgainAtOnce)
{
    struct {
        const char* what;
        void (*remove)(const fs::path& folder, const fs::path& file);
    } const cases[] = {
        {"the day's file", [](const fs::path&, const fs::path& file) { fs::remove(file); }},
        {"the whole folder", [](const fs::path& folder, const fs::path&) { fs::remove_all(folder); }},
        {"a folder moved away", [](const fs::path& folder, const fs::path&) {
             fs::rename(folder, folder.string() + ".old");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path folder = dir / "gone";
        const fs::path file = folder / ("app_" + kDay + ".log");
        InitIn("gone/app.log");
        log.WriteLog(std::string("before"));
        Drain();
        c.remove(folder, file);
        log.WriteLog(std::string("after"));
        std::string out = Drain();
        EXPECT_NE(out.find("logman: log file '" + file.string() + "' unusable"), std::string::npos) << out;
        EXPECT_EQ(ReadFile(file),
                  kFirstLine + Outage("the file or its folder went away") + Back(0) + kStamp + ": after\n");
        CaptureStdout();
        log.Destroy();
        GetCapturedStdout();
        fs::remove_all(folder);
        fs::remove_all(folder.string() + ".old");
    }
}

// Until the folder can be made again every line reaches the console whole;
// the file is retried every second and the outage recorded in it.
TEST_F(LogTest, FolderThatComesBackTheSameDayGetsTheLines)
{
    struct {
        const char* what;
        const char* configured;
        void (*breakIt)(const fs::path& dir);
        void (*repair)(const fs::path& dir);
        const char* reason;
        const char* file;
    } const cases[] = {
        {"folder replaced by a file", "vol/app.log",
         [](const fs::path& d) {
             fs::remove_all(d / "vol");
             std::ofstream(d / "vol") << "in the way\n";
         },
         [](const fs::path& d) { fs::remove(d / "vol"); }, "the file or its folder went away", "vol"},
        {"volume behind a link mounted late", "link/app.log",
         [](const fs::path& d) { fs::create_directory_symlink(d / "volume", d / "link"); },
         [](const fs::path& d) { fs::create_directories(d / "volume"); }, "No such file or directory", "volume"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const bool fromStart = std::string(c.configured).rfind("link", 0) == 0;
        if (fromStart)
            c.breakIt(dir);
        CaptureStdout();
        CaptureStderr();
        log.Init((dir / c.configured).string(), nullptr, nullptr, true);
        GetCapturedStderr();
        GetCapturedStdout();
        if (!fromStart) {
            log.WriteLog(std::string("before"));
            Drain();
            c.breakIt(dir);
        }
        log.WriteLog(std::string("lost 1"));
        std::string out = Drain();
        gTicks += 1001; // a retry that still fails
        log.WriteLog(std::string("lost 2"));
        out += Drain();
        EXPECT_EQ(ConsoleLines(out), (std::vector<std::string>{kStamp + ": lost 1", kStamp + ": lost 2"})) << out;

        c.repair(dir);
        log.WriteLog(std::string("too early"));
        out = Drain();
        EXPECT_EQ(ConsoleLines(out), (std::vector<std::string>{kStamp + ": too early"}));
        gTicks += 1001;
        log.WriteLog(std::string("back"));
        out = Drain();
        EXPECT_TRUE(ConsoleLines(out).empty()) << out;
        EXPECT_EQ(ReadFile(dir / c.file / ("app_" + kDay + ".log")),
                  kFirstLine + Outage(c.reason) + Back(3) + kStamp + ": back\n");
        CaptureStdout();
        log.Destroy();
        GetCapturedStdout();
    }
}

// The disk fills while lines are written: what the file does not take goes to
// the console whole, the file holds only whole lines, and writing resumes when
// space comes back, also in the next day's file.
TEST_F(LogTest, FullDiskLosesNoLineAndResumes)
{
    Tmpfs disk(dir / "disk", "64k");
    MOUNT_OR_SKIP(disk);
    InitIn("disk/app.log");
    log.SetDiskReserve(0); // the disk really fills
    const fs::path file = dir / "disk" / ("app_" + kDay + ".log");
    for (int i = 0; i < 10; ++i)
        log.WriteLog(0, 0, Numbered(i));
    Drain();
    disk.Fill();

    for (int i = 10; i < 210; ++i)
        log.WriteLog(0, 0, Numbered(i));
    std::string out = Drain();
    std::vector<std::string> console = ConsoleLines(out);
    EXPECT_FALSE(console.empty());
    std::vector<std::string> inFile = Lines(ReadFile(file));
    std::string text = ReadFile(file);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "a line was cut";
    std::vector<std::string> all(inFile.begin() + 1, inFile.end());
    all.insert(all.end(), console.begin(), console.end());
    ASSERT_EQ(all.size(), 210u);
    for (int i = 0; i < 210; ++i)
        EXPECT_EQ(all[i], kStamp + ": " + Numbered(i));
    EXPECT_NE(out.find("unusable (No space left on device)"), std::string::npos) << out;

    disk.Free();
    log.WriteLog(std::string("space again"));
    Drain();
    std::string expected = text + Outage("No space left on device") + Back(static_cast<int>(console.size())) +
                           kStamp + ": space again\n";
    EXPECT_EQ(ReadFile(file), expected);

    // Full again when the day changes: the new file is made but takes nothing
    // until space comes back; then it gets its first line after all.
    disk.Fill();
    gNow = kMonday + 86400;
    gTicks += 10001;
    const std::string tuesday = "Tue Dec  8 01:58:19 2026";
    log.WriteLog(std::string("first of the 8th"));
    out = Drain();
    // The switch notice may still fit into the old file's last block.
    const std::string notice = "Switching to log with date 2026-12-08";
    console = ConsoleLines(out);
    if (ReadFile(file) == expected + notice)
        EXPECT_EQ(console, (std::vector<std::string>{tuesday + ": first of the 8th"}));
    else
        EXPECT_EQ(console, (std::vector<std::string>{notice, tuesday + ": first of the 8th"}));
    disk.Free();
    log.WriteLog(std::string("second of the 8th"));
    Drain();
    EXPECT_EQ(ReadFile(dir / "disk" / "app_2026-12-08.log"),
              kFirstLine + Outage("No space left on device", tuesday) + Back(static_cast<int>(console.size()), tuesday) +
                  tuesday + ": second of the 8th\n");
    CaptureStdout();
    log.Destroy();
    GetCapturedStdout();
}

// Below the free-space reserve old files of this log go first, oldest first,
// never the day's own; then lines are counted, and the count is written once
// there is room again.
TEST_F(LogTest, DiskReserveRemovesOldFilesThenCountsLines)
{
    Tmpfs disk(dir / "disk", "1m"); // the default reserve: 5 % of it
    MOUNT_OR_SKIP(disk);
    const fs::path logDir = dir / "disk";
    const std::string oldNames[] = {"app_2026-11-01.log", "app_2026-11-02.log", "app_2026-11-03.log"};
    for (const auto& name : oldNames)
        std::ofstream(logDir / name) << std::string(200 << 10, 'o');
    InitIn("disk/app.log");
    const fs::path file = logDir / ("app_" + kDay + ".log");

    int written = 0;
    auto writeLines = [&](int n) {
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(log.WriteLog(0, 0, Numbered(written++)), 0);
        return Drain();
    };
    std::string out = writeLines(4000); // about 400 KiB: one old file has to go
    EXPECT_FALSE(fs::exists(logDir / oldNames[0])) << out;
    EXPECT_TRUE(fs::exists(logDir / oldNames[1]));
    EXPECT_TRUE(fs::exists(logDir / oldNames[2]));
    EXPECT_EQ(Lines(ReadFile(file)).size(), 1u + 4000);

    out = writeLines(6000); // more than the rest of the disk
    EXPECT_FALSE(fs::exists(logDir / oldNames[1]));
    EXPECT_FALSE(fs::exists(logDir / oldNames[2]));
    EXPECT_NE(out.find("at its free-space reserve"), std::string::npos) << out;
    EXPECT_TRUE(ConsoleLines(out).empty());
    std::vector<std::string> lines = Lines(ReadFile(file));
    const int inFile = static_cast<int>(lines.size()) - 1;
    ASSERT_LT(inFile, written);
    ASSERT_GT(inFile, 4000);
    for (int i = 0; i < inFile; ++i)
        ASSERT_EQ(lines[1 + i], kStamp + ": " + Numbered(i));

    log.SetDiskReserve(4096); // room again
    log.WriteLog(std::string("after the gap"));
    Drain();
    lines = Lines(ReadFile(file));
    ASSERT_EQ(lines.size(), 1u + inFile + 2);
    EXPECT_EQ(lines[lines.size() - 2],
              kStamp + ": WARN: logman: " + std::to_string(written - inFile) + " lines dropped");
    EXPECT_EQ(lines.back(), kStamp + ": after the gap");
}

// The clean-up orders by the date in the names: files that a clock running
// ahead made newer by time never push out the day's own file.
TEST_F(LogTest, CleanupKeepsTheDayFileWhateverTheFileTimes)
{
    const fs::path logDir = dir / "logs";
    fs::create_directories(logDir);
    const fs::path today = logDir / ("app_" + kDay + ".log");
    MakeFile(today, 1000);
    std::ofstream(today, std::ios::app) << "the morning's lines\n";
    fs::last_write_time(today, fs::file_time_type::clock::now() - std::chrono::hours(1000));
    // 45 older days, every one written later by time than the day's file.
    for (int n = 0; n < 45; ++n)
        MakeFile(logDir / DateName("app", n), -(45 - n));

    InitIn("logs/app.log");
    log.WriteLog(std::string("afternoon"));
    Drain();
    EXPECT_EQ(ReadFile(today), "old\nthe morning's lines\n" + kStamp + ": afternoon\n");
    for (int n = 0; n < 45; ++n)
        EXPECT_EQ(fs::exists(logDir / DateName("app", n)), n < 38) << DateName("app", n);
}

// A terminal restarted every day, and twice on some days, keeps the 39-file
// rule; a clock set forward five days and back again changes nothing in it.
TEST_F(LogTest, DailyRestartsKeepThe39FileRule)
{
    const fs::path logDir = dir / "logs";
    auto restart = [&](std::time_t when) {
        gNow = when;
        InitIn("logs/app.log");
        log.WriteLog(std::string("up"));
        CaptureStdout();
        log.Destroy();
        GetCapturedStdout();
        return static_cast<int>(std::distance(fs::directory_iterator(logDir), fs::directory_iterator()));
    };
    for (int day = 0; day < 60; ++day) {
        EXPECT_EQ(restart(kMonday + day * 86400), std::min(day + 1, 40)) << "day " << day;
        if (day % 7 == 3) { // a second start the same day: the day's file counts among the 39
            EXPECT_EQ(restart(kMonday + day * 86400 + 3600), std::min(day + 1, 39)) << "day " << day;
        }
    }
    const std::time_t last = kMonday + 59 * 86400;
    EXPECT_EQ(restart(last + 5 * 86400), 40);
    EXPECT_EQ(restart(last - 86400), 39);
    EXPECT_TRUE(fs::exists(logDir / "app_2027-02-04.log")); // the last real day
    EXPECT_EQ(Lines(ReadFile(logDir / "app_2027-02-03.log")).size(), 3u);
}

namespace {
// A host whose log callback takes a millisecond of ticks per line, flooded in
// its first pass; it notes the tick of every RunOnce.
class FloodedHost : public vorel_sdl2::TApplication {
public:
    std::string file;
    std::vector<Uint32> passes;
    std::vector<std::string> delivered;
    static void Slow(void* self, const TLogEntry& e, int)
    {
        gTicks += 1;
        static_cast<FloodedHost*>(self)->delivered.push_back(e.Message);
    }
    int Init() override { return TLogManager::Init(file, &Slow, this, false); }
    void Destroy() override { TLogManager::Destroy(); }
    void Startup() override { setStatus(APP_STARTUP); }
    int RunOnce() override
    {
        passes.push_back(gTicks);
        if (passes.size() == 1)
            for (int i = 0; i < 1000; ++i)
                WriteLog(0, 0, "flood %d", i);
        if (delivered.size() >= 1000 || passes.size() > 100000) {
            terminate(vorel_sdl2::NOTHING);
            return 1;
        }
        return 0;
    }
    int DrawOnce() override { return 0; }
};
} // namespace

TEST_F(LogTest, FloodWithASlowCallbackKeepsTheLoopsRhythm)
{
    FloodedHost app;
    app.file = (dir / "flood.log").string();
    CaptureStdout();
    app.Init();
    app.SetLogicInterval(0);
    app.Run();
#ifdef VOREL_NOGFX
    app.Destroy();
#endif
    GetCapturedStdout();
    ASSERT_EQ(app.delivered.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(app.delivered[i], kStamp + ": flood " + std::to_string(i));
    Uint32 longest = 0;
    for (size_t i = 1; i < app.passes.size(); ++i)
        longest = std::max(longest, app.passes[i] - app.passes[i - 1]);
    EXPECT_LE(longest, TLogManager::kPollBudgetMs + 1);
    EXPECT_EQ(Lines(ReadFile(dir / ("flood_" + kDay + ".log"))).size(), 1u + 1000);
}

TEST_F(LogTest, QueueBoundCountsWhatItRefuses)
{
    Seen seen;
    InitIn("bound.log", &Record, &seen);
    log.SetQueueLimit(100);
    int accepted = 0, refused = 0;
    for (int i = 0; i < 250; ++i)
        (log.WriteLog(0, 0, "w%d", i) == 0 ? accepted : refused)++;
    EXPECT_EQ(logman::WriteLog("also refused"), 1);
    EXPECT_EQ(accepted, 100);
    EXPECT_EQ(refused, 150);
    EXPECT_EQ(log.QueuedEntries(), 100u);
    Drain();
    EXPECT_EQ(log.WriteLog(std::string("room again")), 0);
    Drain();
    ASSERT_EQ(seen.messages.size(), 102u);
    EXPECT_EQ(seen.messages[99], kStamp + ": w99");
    EXPECT_EQ(seen.messages[100], kStamp + ": WARN: logman: 151 lines dropped");
    EXPECT_EQ(seen.messages[101], kStamp + ": room again");
    std::vector<std::string> file = Lines(ReadFile(dir / ("bound_" + kDay + ".log")));
    ASSERT_EQ(file.size(), 103u);
    EXPECT_EQ(file[101], kStamp + ": WARN: logman: 151 lines dropped");
}

namespace {
// What a writer of the refill test put into its n-th write, and how the
// line must look to a callback (without the user tag) and in the file.
struct RefillCase {
    TLogType type;
    std::string level;
};
const RefillCase kRefillTypes[] = {
    {0, ": "}, {3, ": INFO: "}, {4, ": WARN: "}, {7, ": CRITICAL: "}, {9, ""}, {65537, ": "}, {65536 + 4, ": WARN: "},
};
const size_t kRefillLengths[] = {0, 5, 60, 300, 2100, 5000};

std::string RefillText(int thread, int i)
{
    size_t length = kRefillLengths[static_cast<size_t>(i) % std::size(kRefillLengths)];
    return "t" + std::to_string(thread) + " i" + std::to_string(i) + " " + std::string(length, char('a' + i % 26));
}

struct RefillSeen {
    std::vector<std::string> problems;
    std::vector<std::pair<int, int>> order; // thread, index
    std::vector<TLogType> types;
};

void CheckRefill(void* user, const TLogEntry& e, int)
{
    auto* seen = static_cast<RefillSeen*>(user);
    int t = -1, i = -1;
    size_t at = e.Message.find('t', 24); // no level text has a lower-case t
    if (at == std::string::npos || std::sscanf(e.Message.c_str() + at, "t%d i%d", &t, &i) != 2) {
        seen->problems.push_back("unreadable: " + e.Message.substr(0, 80));
        return;
    }
    const RefillCase& c = kRefillTypes[static_cast<size_t>(i) % std::size(kRefillTypes)];
    const std::string text = RefillText(t, i);
    const bool colored = i % 3 == 2 && text.size() <= 2047;
    if (e.Message != kStamp + c.level + text || e.LogType != c.type ||
        e.GameId != static_cast<unsigned long long>(t) * 100000 + static_cast<unsigned long long>(i) ||
        e.Color != (colored ? char(1 + i % 200) : 0) || e.LogEntryIndex != 0)
        seen->problems.push_back("t" + std::to_string(t) + " i" + std::to_string(i) + ": " + e.Message.substr(0, 80));
    seen->order.emplace_back(t, i);
    seen->types.push_back(e.LogType);
}
} // namespace

// Writes refill entries that earlier polls handed back: with several writers
// racing the poller, lines short and long (beyond what an entry keeps for
// refilling), every overload, user tags and colours, each entry carries
// exactly its own write and nothing of the one it replaced; each writer's
// lines arrive in its order, and the file and the history have them whole.
TEST_F(LogTest, RefilledEntriesCarryOnlyTheirOwnWrite)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 3000;
    RefillSeen seen;
    InitIn("refill.log", &CheckRefill, &seen, false);
    log.SetQueueLimit(SIZE_MAX);

    std::atomic<int> done{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const RefillCase& c = kRefillTypes[static_cast<size_t>(i) % std::size(kRefillTypes)];
                const std::string text = RefillText(t, i);
                const unsigned long gameId = static_cast<unsigned long>(t) * 100000 + static_cast<unsigned long>(i);
                int r;
                if (i % 3 == 0 || text.size() > 2047)
                    r = logman::WriteLog(c.type, gameId, text);
                else if (i % 3 == 1)
                    r = log.WriteLog(c.type, gameId, "%s", text.c_str());
                else
                    r = log.WriteColoredLog(char(1 + i % 200), c.type, gameId, "%s", text.c_str());
                if (r != 0)
                    ADD_FAILURE() << "write refused: " << r;
            }
            ++done;
        });
    while (done < kThreads)
        log.Poll();
    for (auto& w : writers)
        w.join();
    while (log.QueuedEntries() > 0)
        log.Poll();

    EXPECT_TRUE(seen.problems.empty()) << seen.problems.size() << " wrong, first: " << seen.problems.front();
    ASSERT_EQ(seen.order.size(), static_cast<size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : seen.order) {
        ASSERT_EQ(i, next[t]) << "thread " << t;
        ++next[t];
    }

    // The file and the history carry the user tag the callbacks did not see.
    auto fileLine = [&](size_t n) {
        auto [t, i] = seen.order[n];
        const RefillCase& c = kRefillTypes[static_cast<size_t>(i) % std::size(kRefillTypes)];
        std::string tag = c.type > 65536 ? ": LT_USER_" + std::to_string(c.type) : "";
        return kStamp + tag + c.level + RefillText(t, i);
    };
    std::vector<std::string> file = Lines(ReadFile(dir / ("refill_" + kDay + ".log")));
    ASSERT_EQ(file.size(), seen.order.size() + 1);
    for (size_t n = 0; n < seen.order.size(); ++n)
        ASSERT_EQ(file[n + 1], fileLine(n)) << "line " << n;
    std::vector<std::string> history = History();
    ASSERT_EQ(history.size(), 50u);
    for (size_t n = 0; n < 50; ++n)
        EXPECT_EQ(history[n], fileLine(seen.order.size() - 50 + n));
}

namespace {
// Checks every delivery against a model of the queue: LinesToGo is what is
// still queued behind the entry, callbacks log and poll again mid-batch.
class QueueModel : public TLogManager {
public:
    std::deque<std::string> model;
    std::vector<std::string> delivered;
    std::vector<std::string> problems;
    std::string logAt, pollAt, advanceAt;
    bool bCheckLinesToGo = true;
    void Queue(const std::string& text)
    {
        if (WriteLog(std::string(text)) == 0)
            model.push_back(text);
    }
    void OnWriteLog(const TLogEntry& e, int toGo) override
    {
        std::string text = e.Message.substr(24);
        for (std::string_view level : {": WARN: ", ": "})
            if (text.compare(0, level.size(), level) == 0) {
                text.erase(0, level.size());
                break;
            }
        delivered.push_back(text);
        if (text.compare(0, 8, "logman: ") == 0)
            return; // the poll's own notice, not in the model
        if (model.empty() || model.front() != text)
            problems.push_back("out of order: " + text);
        else
            model.pop_front();
        if (bCheckLinesToGo && toGo != static_cast<int>(model.size()))
            problems.push_back(text + ": LinesToGo " + std::to_string(toGo) + ", queued " +
                               std::to_string(model.size()));
        if (text == logAt)
            Queue("from callback");
        if (text == pollAt)
            Poll();
        if (text == advanceAt)
            gTicks += kPollBudgetMs;
    }
};
} // namespace

// A drain takes entries off the queue in batches; until they are delivered
// they stay queued in every respect: order, LinesToGo, a callback's own Poll,
// a Poll that runs out of time mid-batch, QueuedEntries and the queue bound.
TEST_F(LogTest, EntriesTakenByADrainStayQueued)
{
    QueueModel q;
    CaptureStdout();
    q.Init((dir / "taken.log").string(), nullptr, nullptr, false);
    GetCapturedStdout();
    q.SetQueueLimit(SIZE_MAX);

    // A callback logs in the first batch, polls again in the second and logs
    // once more from inside that nested Poll.
    q.logAt = "n10";
    q.pollAt = "n70";
    for (int i = 0; i < 150; ++i)
        q.Queue("n" + std::to_string(i));
    q.Poll();
    EXPECT_TRUE(q.problems.empty()) << q.problems.front();
    EXPECT_EQ(q.delivered.size(), 151u);
    EXPECT_EQ(q.delivered.back(), "from callback");
    EXPECT_EQ(q.QueuedEntries(), 0u);

    // Out of time a few entries into a batch: the rest of the batch is still
    // queued, counts against the bound and comes first in the next Poll.
    q.logAt = q.pollAt = "";
    q.advanceAt = "m5";
    q.delivered.clear();
    for (int i = 0; i < 200; ++i)
        q.Queue("m" + std::to_string(i));
    q.Poll();
    const size_t first = q.delivered.size();
    ASSERT_GT(first, 6u);
    ASSERT_LT(first, 200u);
    EXPECT_EQ(q.QueuedEntries(), 200u - first);
    q.SetQueueLimit(200 - first + 1);
    q.Queue("last accepted");
    EXPECT_EQ(q.WriteLog(std::string("refused")), 1);
    q.bCheckLinesToGo = false; // the notice is queued behind the model's back
    while (q.QueuedEntries() > 0)
        q.Poll();
    EXPECT_TRUE(q.problems.empty()) << q.problems.front();
    EXPECT_TRUE(q.model.empty());
    ASSERT_EQ(q.delivered.size(), 202u);
    EXPECT_EQ(q.delivered[200], "last accepted");
    EXPECT_EQ(q.delivered[201], "logman: 1 lines dropped");
    CaptureStdout();
    q.Destroy();
    GetCapturedStdout();
}
