// Service-manager notification as the main loop drives it: readiness once in
// APP_RUNNING, keep-alives at half the watchdog interval while passes run,
// silence while the loop hangs, and nothing at all without NOTIFY_SOCKET.
// Each test binds its own datagram socket and names it in NOTIFY_SOCKET.
#include "TApplication.h"
#include "TServiceNotify.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <SDL2/SDL_timer.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using vorel_sdl2::TApplication;

namespace {

struct Received {
    Uint32 at;            // the driven clock when it was read
    std::string text;
    int appState;         // the application's state when it was read
};

// A datagram socket standing in for the service manager. It is read on the
// main loop's own thread (from RunOnce, and once after Run): a datagram sent
// earlier in the pass is already queued then, so each message is attributed
// to exactly the pass that sent it.
class Listener {
public:
    explicit Listener(bool abstractName)
    {
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        EXPECT_GE(mFd, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        socklen_t size;
        std::string id = std::to_string(getpid());
        if (abstractName) {
            mName = "@vorel-notify-test-" + id;
            std::memcpy(addr.sun_path + 1, mName.data() + 1, mName.size() - 1);
            size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + mName.size());
        } else {
            mDir = std::filesystem::temp_directory_path() / ("vorel-notify-" + id);
            std::filesystem::create_directories(mDir);
            mName = (mDir / "notify").string();
            std::filesystem::remove(mName);
            std::strncpy(addr.sun_path, mName.c_str(), sizeof(addr.sun_path) - 1);
            size = sizeof(addr);
        }
        EXPECT_EQ(bind(mFd, reinterpret_cast<sockaddr*>(&addr), size), 0) << std::strerror(errno);
    }

    ~Listener()
    {
        close(mFd);
        if (!mDir.empty())
            std::filesystem::remove_all(mDir);
    }

    const std::string& Name() const { return mName; }

    // Takes every queued datagram, stamped with the driven clock.
    void Drain()
    {
        char buf[4096];
        for (;;) {
            ssize_t n = recv(mFd, buf, sizeof(buf), 0);
            if (n < 0)
                return;
            int state = vorel_sdl2::pApp ? static_cast<int>(vorel_sdl2::pApp->status()) : -1;
            mMessages.push_back({DrivenClock::Now(), std::string(buf, static_cast<size_t>(n)), state});
        }
    }

    const std::vector<Received>& Messages() const { return mMessages; }

    std::vector<Received> Matching(const std::string& text)
    {
        std::vector<Received> out;
        for (auto& m : mMessages)
            if (m.text == text)
                out.push_back(m);
        return out;
    }

private:
    int mFd = -1;
    std::string mName;
    std::filesystem::path mDir;
    std::vector<Received> mMessages;
};

// RunOnce on every pass, so the listener is read in the pass that sent.
class Host : public TApplication {
public:
    Host() { SetLogicInterval(0); }
    std::function<int(Host&)> onRunOnce;
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override
    {
        DrivenClock::Advance(100); // a start-up that takes a while: readiness must wait for it
        setStatus(APP_STARTUP);
    }
    int RunOnce() override { return onRunOnce(*this); }
    int DrawOnce() override { return 0; }
};

// Sets the service variables for one test and clears them afterwards.
class ServiceEnv {
public:
    ServiceEnv(const char* socketName, const char* watchdogUs, const char* watchdogPid)
    {
        Set("NOTIFY_SOCKET", socketName);
        Set("WATCHDOG_USEC", watchdogUs);
        Set("WATCHDOG_PID", watchdogPid);
    }
    ~ServiceEnv()
    {
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            unsetenv(name);
    }

private:
    static void Set(const char* name, const char* value)
    {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
};

// Runs the host for `ms` of main loop on the driven clock, reading the
// listener on every pass, then ends it.
int RunFor(Host& host, Listener& listener, Uint32 ms)
{
    Uint32 start = 0;
    host.onRunOnce = [&](Host& h) {
        listener.Drain();
        Uint32 now = DrivenClock::Now();
        if (start == 0)
            start = now;
        if (now - start < ms)
            return 0;
        h.terminate(vorel_sdl2::NOTHING);
        return 1;
    };
    int result = host.Run();
    listener.Drain();
    return result;
}

std::vector<Uint32> Times(const std::vector<Received>& messages)
{
    std::vector<Uint32> out;
    for (const Received& m : messages)
        out.push_back(m.at);
    return out;
}

} // namespace

class ServiceWatchdog : public ::testing::TestWithParam<bool> {};

// Keep-alives every 100 ms (half of 200 ms) while RunOnce returns, none while
// it hangs for 700 ms, and again once it is back. The clock starts at 1000;
// start-up takes 100 ms, so readiness goes out at 1100 and the passes run
// 1 ms apart from there.
TEST_P(ServiceWatchdog, KeepAlivesFollowTheMainLoop)
{
    DrivenClock clock;
    Host host; // first, so it outlives the listener
    Listener listener(GetParam());
    ServiceEnv env(listener.Name().c_str(), "200000", nullptr);

    Uint32 start = 0;
    bool statusSet = false;
    host.onRunOnce = [&](Host& h) {
        listener.Drain();
        Uint32 now = DrivenClock::Now();
        if (start == 0)
            start = now;
        Uint32 t = now - start;
        if (t == 1000)
            DrivenClock::Advance(700); // the hang
        if (t >= 1300 && !statusSet) {
            statusSet = true;
            vorel_sdl2::ServiceNotify.Status("serving\n2 players");
        }
        if (t < 2000)
            return 0;
        h.terminate(vorel_sdl2::NOTHING);
        return 1;
    };
    EXPECT_EQ(host.Run(), 1);
    listener.Drain();

    const auto& all = listener.Messages();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all.front().text, "STATUS=starting");
    EXPECT_EQ(all.back().text, "STOPPING=1\nSTATUS=stopping");

    auto ready = listener.Matching("READY=1\nSTATUS=running");
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].at, 1100u);
    EXPECT_EQ(ready[0].appState, static_cast<int>(TApplication::APP_RUNNING));
    auto status = listener.Matching("STATUS=serving 2 players");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].at, 2801u) << "set in the first pass after the hang, read in the next";

    // Ten before the hang (the last in the pass that hangs), none during it,
    // one in the first pass after it, then every 100 ms until the end.
    std::vector<Uint32> expected;
    for (Uint32 at = 1200; at <= 2100; at += 100)
        expected.push_back(at);
    for (Uint32 at = 2800; at <= 3100; at += 100)
        expected.push_back(at);
    EXPECT_EQ(Times(listener.Matching("WATCHDOG=1")), expected);
}

INSTANTIATE_TEST_SUITE_P(Address, ServiceWatchdog, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Abstract" : "Path"; });

// What is sent depends on what the manager asked for.
struct EnvCase {
    const char* name;
    bool socketVar;             // NOTIFY_SOCKET names the listener
    const char* socketOverride; // or holds this value instead
    const char* watchdogUs;
    enum { NO_PID, OWN_PID, OTHER_PID } watchdogPid;
    bool expectNotify;
    bool expectKeepAlives;
};

void PrintTo(const EnvCase& c, std::ostream* os) { *os << c.name; }

class ServiceEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(ServiceEnvironment, SendsOnlyWhatTheManagerAskedFor)
{
    const EnvCase& c = GetParam();
    DrivenClock clock;
    Host host;
    Listener listener(true);
    std::string pid = c.watchdogPid == EnvCase::OWN_PID     ? std::to_string(getpid())
                      : c.watchdogPid == EnvCase::OTHER_PID ? std::to_string(getpid() + 1)
                                                            : std::string();
    ServiceEnv env(c.socketVar ? listener.Name().c_str() : c.socketOverride, c.watchdogUs,
                   pid.empty() ? nullptr : pid.c_str());
    EXPECT_EQ(RunFor(host, listener, 400), 1);
    EXPECT_FALSE(vorel_sdl2::ServiceNotify.Active()) << "still active after Run";

    const auto& all = listener.Messages();
    if (!c.expectNotify) {
        EXPECT_TRUE(all.empty()) << all.size() << " messages, first: " << all[0].text;
        return;
    }
    EXPECT_EQ(listener.Matching("READY=1\nSTATUS=running").size(), 1u);
    std::vector<Uint32> beats = Times(listener.Matching("WATCHDOG=1"));
    if (c.expectKeepAlives) {
        // Ready at 1100, then 400 ms of passes at one keep-alive per 50 ms.
        EXPECT_EQ(beats, (std::vector<Uint32>{1150, 1200, 1250, 1300, 1350, 1400, 1450, 1500}));
    } else {
        EXPECT_TRUE(beats.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceEnvironment,
    ::testing::Values(EnvCase{"NoVariable", false, nullptr, "100000", EnvCase::NO_PID, false, false},
                      EnvCase{"EmptyVariable", false, "", "100000", EnvCase::NO_PID, false, false},
                      EnvCase{"RelativeName", false, "notify.sock", "100000", EnvCase::NO_PID, false, false},
                      EnvCase{"NoWatchdog", true, nullptr, nullptr, EnvCase::NO_PID, true, false},
                      EnvCase{"WatchdogZero", true, nullptr, "0", EnvCase::NO_PID, true, false},
                      EnvCase{"WatchdogNotANumber", true, nullptr, "100ms", EnvCase::NO_PID, true, false},
                      EnvCase{"WatchdogOfAnotherProcess", true, nullptr, "100000", EnvCase::OTHER_PID, true, false},
                      EnvCase{"WatchdogOfThisProcess", true, nullptr, "100000", EnvCase::OWN_PID, true, true},
                      EnvCase{"WatchdogForAnyProcess", true, nullptr, "100000", EnvCase::NO_PID, true, true}),
    [](const auto& info) { return std::string(info.param.name); });
