// Service-manager notification as the main loop drives it: readiness once in
// APP_RUNNING, keep-alives at half the watchdog interval while passes run,
// silence while the loop hangs, and nothing at all without NOTIFY_SOCKET.
// Each test binds its own datagram socket and names it in NOTIFY_SOCKET.
#include "TApplication.h"
#include "TServiceNotify.h"

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

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

struct Received {
    long atMs;            // since the listener started
    std::string text;
    int appState;         // the application's state when it arrived
};

// A datagram socket standing in for the service manager.
class Listener {
public:
    explicit Listener(bool abstractName) : mStart(Clock::now())
    {
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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
        timeval tv{0, 20000};
        setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        mThread = std::thread([this] { Receive(); });
    }

    ~Listener()
    {
        mStop = true;
        mThread.join();
        close(mFd);
        if (!mDir.empty())
            std::filesystem::remove_all(mDir);
    }

    const std::string& Name() const { return mName; }
    Clock::time_point Start() const { return mStart; }

    std::vector<Received> Messages()
    {
        std::lock_guard<std::mutex> lock(mLock);
        return mMessages;
    }

    std::vector<Received> Matching(const std::string& text)
    {
        std::vector<Received> out;
        for (auto& m : Messages())
            if (m.text == text)
                out.push_back(m);
        return out;
    }

private:
    void Receive()
    {
        char buf[4096];
        while (!mStop) {
            ssize_t n = recv(mFd, buf, sizeof(buf), 0);
            if (n < 0)
                continue;
            int state = vorel_sdl2::pApp ? static_cast<int>(vorel_sdl2::pApp->status()) : -1;
            std::lock_guard<std::mutex> lock(mLock);
            mMessages.push_back({MsSince(mStart), std::string(buf, static_cast<size_t>(n)), state});
        }
    }

    int mFd = -1;
    std::string mName;
    std::filesystem::path mDir;
    Clock::time_point mStart;
    std::atomic<bool> mStop{false};
    std::thread mThread;
    std::mutex mLock;
    std::vector<Received> mMessages;
};

class Host : public TApplication {
public:
    std::function<int(Host&)> onRunOnce;
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override
    {
        SDL_Delay(100); // a start-up that takes a while: readiness must wait for it
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

// Runs the host for `ms` of main loop, then ends it.
int RunFor(Host& host, Uint32 ms)
{
    Uint32 start = 0;
    host.onRunOnce = [&](Host& h) {
        Uint32 now = SDL_GetTicks();
        if (start == 0)
            start = now;
        if (now - start < ms)
            return 0;
        h.terminate(vorel_sdl2::NOTHING);
        return 1;
    };
    return host.Run();
}

} // namespace

class ServiceWatchdog : public ::testing::TestWithParam<bool> {};

// Keep-alives every 100 ms (half of 200 ms) while RunOnce returns, none while
// it hangs for 700 ms, and again once it is back.
TEST_P(ServiceWatchdog, KeepAlivesFollowTheMainLoop)
{
    Host host; // first, so it outlives the listener's thread
    Listener listener(GetParam());
    ServiceEnv env(listener.Name().c_str(), "200000", nullptr);

    long runningFrom = -1, hangFrom = -1, hangTo = -1;
    Uint32 start = 0;
    bool statusSet = false;
    host.onRunOnce = [&](Host& h) {
        Uint32 now = SDL_GetTicks();
        if (start == 0)
            start = now;
        if (runningFrom < 0 && h.status() == TApplication::APP_RUNNING)
            runningFrom = MsSince(listener.Start());
        Uint32 t = now - start;
        if (t >= 1000 && hangFrom < 0) {
            hangFrom = MsSince(listener.Start());
            SDL_Delay(700);
            hangTo = MsSince(listener.Start());
        }
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
    SDL_Delay(50);

    auto all = listener.Messages();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all.front().text, "STATUS=starting");
    EXPECT_EQ(all.back().text, "STOPPING=1\nSTATUS=stopping");

    auto ready = listener.Matching("READY=1\nSTATUS=running");
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_GE(ready[0].appState, static_cast<int>(TApplication::APP_RUNNING));
    EXPECT_EQ(listener.Matching("STATUS=serving 2 players").size(), 1u);

    auto beats = listener.Matching("WATCHDOG=1");
    int before = 0, during = 0, after = 0;
    for (size_t i = 0; i < beats.size(); ++i) {
        long at = beats[i].atMs;
        EXPECT_GE(at, ready[0].atMs) << "keep-alive before readiness";
        if (at < hangFrom) {
            ++before;
        } else if (at < hangTo - 10 && at > hangFrom + 10) {
            ++during;
        } else if (at >= hangTo) {
            ++after;
        }
        if (i > 0) {
            EXPECT_GE(at - beats[i - 1].atMs, 70) << "keep-alives closer than half the interval";
        }
    }
    EXPECT_EQ(during, 0);
    // About 1000 ms of passes before the hang: at most 10 keep-alives.
    EXPECT_GE(before, 7);
    EXPECT_LE(before, 11);
    // The first pass after the hang finds the interval long over.
    EXPECT_GE(after, 2);
    ASSERT_FALSE(beats.empty());
    EXPECT_LT(beats.back().atMs - hangTo, 1100);
    EXPECT_GE(runningFrom, 0);
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
    Host host;
    Listener listener(true);
    std::string pid = c.watchdogPid == EnvCase::OWN_PID     ? std::to_string(getpid())
                      : c.watchdogPid == EnvCase::OTHER_PID ? std::to_string(getpid() + 1)
                                                            : std::string();
    ServiceEnv env(c.socketVar ? listener.Name().c_str() : c.socketOverride, c.watchdogUs,
                   pid.empty() ? nullptr : pid.c_str());
    EXPECT_EQ(RunFor(host, 400), 1);
    EXPECT_FALSE(vorel_sdl2::ServiceNotify.Active()) << "still active after Run";
    SDL_Delay(30);

    auto all = listener.Messages();
    if (!c.expectNotify) {
        EXPECT_TRUE(all.empty()) << all.size() << " messages, first: " << all[0].text;
        return;
    }
    EXPECT_EQ(listener.Matching("READY=1\nSTATUS=running").size(), 1u);
    size_t beats = listener.Matching("WATCHDOG=1").size();
    if (c.expectKeepAlives) {
        // 400 ms of passes at one keep-alive per 50 ms
        EXPECT_GE(beats, 5u);
        EXPECT_LE(beats, 9u);
    } else {
        EXPECT_EQ(beats, 0u);
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
