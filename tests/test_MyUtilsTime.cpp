// Tick intervals (including a wrapped tick counter) and the wall-clock strings,
// on clocks the test drives.
#include "MyUtilsTime.h"
#include "TestPlatform.h"
#include "Platform.h"
#include "TLogManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <unistd.h>

using vorel_sdl2::Platform;

namespace {

Uint32 gTicks = 0;
std::time_t gNow = 0;
Uint32 FakeTicks() { return gTicks; }
std::time_t FakeNow() { return gNow; }

class FakeClocks : public ::testing::Test {
protected:
    void SetUp() override
    {
        Platform.Ticks = &FakeTicks;
        Platform.Now = &FakeNow;
    }
    void TearDown() override { Platform = TestPlatform(); }
};

using IsTimeTest = FakeClocks;

struct IsTimeCase {
    const char* what;
    Uint32 lastTime;
    Uint32 now;
    Uint32 interval;
    bool update;
    bool expected;
    Uint32 lastTimeAfter;
};

} // namespace

TEST_F(IsTimeTest, AnswersPerInterval)
{
    const IsTimeCase cases[] = {
        {"zero fires at once", 0, 5000, 1000, true, true, 5000},
        {"zero without update stays zero", 0, 5000, 1000, false, true, 0},
        {"within the interval", 1000, 1500, 1000, true, false, 1000},
        {"exactly the interval is not enough", 1000, 2000, 1000, true, false, 1000},
        {"one past the interval", 1000, 2001, 1000, true, true, 2001},
        {"one past, no update", 1000, 2001, 1000, false, true, 1000},
        {"interval 0, same millisecond", 1000, 1000, 0, true, false, 1000},
        {"interval 0, next millisecond", 1000, 1001, 0, true, true, 1001},
        {"a last time of 1 is never taken for a wrap", 1, 0x90000000u, 1000, true, true, 0x90000000u},
        {"far but not wrapped", 2, 0x7FFFFFF0u, 1000, true, true, 0x7FFFFFF0u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gTicks = c.now;
        Uint32 last = c.lastTime;
        EXPECT_EQ(MyUtils::IsTime(last, c.interval, c.update), c.expected);
        EXPECT_EQ(last, c.lastTimeAfter);
    }
}

TEST_F(IsTimeTest, WrappedCounterIsLoggedOnceAndRestartsTheInterval)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::path(VOREL_TEST_BINARY_DIR) / ("istime_" + std::to_string(getpid()));
    gNow = 1796608699;
    gTicks = 100;
    TLogManager log;
    ::testing::internal::CaptureStdout();
    log.Init((dir / "wrap.log").string(), nullptr, nullptr, false);

    Uint32 last = 0xFFFFFF00u;
    gTicks = 0x100;
    EXPECT_FALSE(MyUtils::IsTime(last, 1000, true));
    EXPECT_EQ(last, 0x100u);
    EXPECT_EQ(log.GetLastLog(), "SDLGetTicks overflow detected (LastTime=4294967040, GetTicks()=256, "
                                "overflow_constant=2147483647)");
    gTicks = 0x100 + 1001;
    EXPECT_TRUE(MyUtils::IsTime(last, 1000, true));

    log.Poll();
    int overflowLines = 0;
    for (std::string line = log.PopLogHistory(); !line.empty(); line = log.PopLogHistory())
        overflowLines += line.find("overflow detected") != std::string::npos;
    EXPECT_EQ(overflowLines, 1);
    log.Destroy();
    ::testing::internal::GetCapturedStdout();
    fs::remove_all(dir);
}

TEST_F(IsTimeTest, WrapWithoutLogManagerStillRestarts)
{
    ASSERT_EQ(logman::pDefInst, nullptr);
    Uint32 last = 0x10;
    gTicks = 0xFFFFFFF0u;
    EXPECT_FALSE(MyUtils::IsTime(last, 1000, true));
    EXPECT_EQ(last, 0xFFFFFFF0u);
}

TEST(CompareTimes, OrderAndDistance)
{
    struct {
        Uint32 t1, t2, diff;
        bool expected;
    } const cases[] = {
        {10, 5, 0, true}, {10, 5, 3, false}, {5, 10, 0, false}, {10, 10, 0, true},
        {10, 5, 6, true}, {10, 5, 5, false}, {5, 10, 100, false}, {0xFFFFFFFFu, 0, 0, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MyUtils::CompareTimes(c.t1, c.t2, c.diff), c.expected) << c.t1 << " " << c.t2 << " " << c.diff;
}

using ClockStrings = FakeClocks;

TEST_F(ClockStrings, UseTheLocalTimeZone)
{
    struct {
        const char* tz;
        const char* time;
        const char* stamp;
        const char* date;
    } const cases[] = {
        {"UTC0", "01:58:19", "01:58:19 2026-12-07", "2026-12-07"},
        {"EST5", "20:58:19", "20:58:19 2026-12-06", "2026-12-06"},
    };
    gNow = 1796608699; // 2026-12-07 01:58:19 UTC
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        setenv("TZ", c.tz, 1);
        tzset();
        EXPECT_EQ(MyUtils::GetCurrentTimeString(), c.time);
        EXPECT_EQ(MyUtils::GetCurrentTimeStampString(), c.stamp);
        EXPECT_EQ(MyUtils::GetCurrentDateString(), c.date);
    }
}
