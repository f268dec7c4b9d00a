// gtest first: Xlib defines macros (None, Bool, Status) that clash with it.
#include <gtest/gtest.h>

#include "xrandr.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cfloat>
#include <chrono>
#include <clocale>
#include <filesystem>
#include <functional>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

// The gamma-size probe of every apply goes through here, so a test can pull
// the server away in the middle of a call, after the connection is up.
namespace {
std::atomic<int> gKillAtProbe{0};   // 0: pass through
std::atomic<pid_t> gKillPid{-1};
} // namespace

extern "C" int XRRGetCrtcGammaSize(Display* dpy, RRCrtc crtc)
{
    using Fn = int (*)(Display*, RRCrtc);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "XRRGetCrtcGammaSize"));
    if (gKillAtProbe > 0 && --gKillAtProbe == 0) {
        pid_t pid = gKillPid.exchange(-1);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    return real(dpy, crtc);
}

namespace {

// An Xvfb of the test's own, so that changing gamma, modes and screen size
// never races with other test processes sharing the fixture's server.
class TPrivateServer {
public:
    ~TPrivateServer() { Stop(); }

    bool Start(bool randr = true)
    {
        int fds[2];
        if (pipe(fds))
            return false;
        mPid = fork();
        if (mPid == 0) {
            close(fds[0]);
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp",
                   "-screen", "0", "1280x1024x24", randr ? "+extension" : "-extension", "RANDR",
                   (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        if (mPid < 0) {
            close(fds[0]);
            return false;
        }
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (poll(&p, 1, 10000) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) {
            Stop();
            return false;
        }
        mDisplay = ":" + number;
        setenv("DISPLAY", mDisplay.c_str(), 1);
        return true;
    }

    void Stop()
    {
        if (mPid > 0) {
            kill(mPid, SIGTERM);
            waitpid(mPid, nullptr, 0);
        }
        mPid = -1;
    }

    // The server is reaped by whoever kills it through the pid.
    pid_t Release()
    {
        pid_t pid = mPid;
        mPid = -1;
        return pid;
    }

    const std::string& Name() const { return mDisplay; }

private:
    pid_t mPid = -1;
    std::string mDisplay;
};

using Ramp = std::vector<unsigned short>;
struct TRamps {
    Ramp r, g, b;
};

// 256-entry tables as the framework promises them for power-of-two sizes.
Ramp Expected256(float brightness, float gamma)
{
    Ramp t(256);
    float e = 1.0f / gamma;
    for (int i = 0; i < 256; ++i) {
        int v = (e == 1.0f && brightness == 1.0f)
                    ? i
                    : int(std::min(std::pow(i / 255.0, double(e)) * brightness, 1.0) * 255);
        t[i] = (unsigned short)(v << 8);
    }
    return t;
}

int RunXrandr(XRANDR& x, std::vector<const char*> args)
{
    std::vector<char*> argv{const_cast<char*>("xrandr")};
    for (const char* a : args)
        argv.push_back(const_cast<char*>(a));
    return x.main_xrandr(int(argv.size()), argv.data());
}

int RunXrandr(std::vector<const char*> args)
{
    XRANDR x;
    return RunXrandr(x, std::move(args));
}

class Xrandr : public ::testing::Test {
protected:
    void SetUp() override
    {
        brightness_ = 1.0f;
        gamma_[0] = gamma_[1] = gamma_[2] = 1.0f;
        if (!mServer.Start())
            GTEST_SKIP() << "no Xvfb to run against";
        mDpy = XOpenDisplay(nullptr);
        if (!mDpy)
            GTEST_SKIP() << "cannot open " << mServer.Name();
        XRRScreenResources* res = XRRGetScreenResources(mDpy, DefaultRootWindow(mDpy));
        ASSERT_TRUE(res && res->ncrtc > 0 && res->noutput > 0);
        mCrtc = res->crtcs[0];
        mOutput = res->outputs[0];
        XRRFreeScreenResources(res);
        // Start from a ramp no setting produces, so every write shows.
        XRRCrtcGamma* g = XRRAllocGamma(XRRGetCrtcGammaSize(mDpy, mCrtc));
        for (int i = 0; i < g->size; ++i)
            g->red[i] = g->green[i] = g->blue[i] = 7;
        XRRSetCrtcGamma(mDpy, mCrtc, g);
        XRRFreeGamma(g);
        XSync(mDpy, False);
    }

    void TearDown() override
    {
        if (mDpy)
            XCloseDisplay(mDpy);
    }

    TRamps Gamma()
    {
        TRamps t;
        XRRCrtcGamma* g = XRRGetCrtcGamma(mDpy, mCrtc);
        if (!g)
            return t;
        t.r.assign(g->red, g->red + g->size);
        t.g.assign(g->green, g->green + g->size);
        t.b.assign(g->blue, g->blue + g->size);
        XRRFreeGamma(g);
        return t;
    }

    XRRCrtcInfo* Crtc()
    {
        XRRScreenResources* res = XRRGetScreenResources(mDpy, DefaultRootWindow(mDpy));
        XRRCrtcInfo* info = XRRGetCrtcInfo(mDpy, res, mCrtc);
        XRRFreeScreenResources(res);
        return info;
    }

    // A leaked server grab would block a second client; probe from a child
    // so a hang cannot stall the test.
    static bool SecondClientGetsIn()
    {
        pid_t pid = fork();
        if (pid == 0) {
            Display* d = XOpenDisplay(nullptr);
            if (!d)
                _exit(2);
            XRRScreenResources* res = XRRGetScreenResources(d, DefaultRootWindow(d));
            _exit(res ? 0 : 3);
        }
        for (int i = 0; i < 300; ++i) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            usleep(10000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return false;
    }

    TPrivateServer mServer;
    Display* mDpy = nullptr;
    RRCrtc mCrtc = None;
    RROutput mOutput = None;
};

} // namespace

TEST(XrandrRamp, TableSizes)
{
    struct Case {
        int size;
        bool ok;
        unsigned short first, second, last;
    };
    const Case cases[] = {
        {256, true, 0, 256, 65280},    // i << 8
        {1024, true, 0, 64, 65472},    // i << 6
        {257, true, 0, 255, 65535},    // scaled, the shift would leave it black
        {1000, true, 0, 65, 65535},    // scaled, the shift would overflow
        {2, true, 0, 32768, 32768},
        {1, false, 0, 0, 0},           // would divide by zero
        {0, false, 0, 0, 0},
        {65537, false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<unsigned short> r(std::max(c.size, 1)), g(r.size()), b(r.size());
        ASSERT_EQ(XRANDR::gamma_ramp(c.size, 1.0f, 1.0f, 1.0f, 1.0f, r.data(), g.data(), b.data()),
                  c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(r[0], c.first);
        EXPECT_EQ(r[1], c.second);
        EXPECT_EQ(r[c.size - 1], c.last);
        for (int i = 1; i < c.size; ++i)
            ASSERT_GE(r[i], r[i - 1]) << "entry " << i;
        EXPECT_EQ(r, g);
        EXPECT_EQ(r, b);
    }
}

TEST(XrandrRamp, BrightnessGammaAndNonFiniteInput)
{
    std::vector<unsigned short> r(256), g(256), b(256);
    ASSERT_TRUE(XRANDR::gamma_ramp(256, 0.5f, 1.0f, 1.0f, 1.0f, r.data(), g.data(), b.data()));
    EXPECT_EQ(r[255], 32512);
    EXPECT_EQ(r, Expected256(0.5f, 1.0f));

    ASSERT_TRUE(XRANDR::gamma_ramp(256, 1.0f, 2.2f, 1.0f, 0.5f, r.data(), g.data(), b.data()));
    EXPECT_EQ(r, Expected256(1.0f, 2.2f));
    EXPECT_EQ(g, Expected256(1.0f, 1.0f));
    EXPECT_EQ(b, Expected256(1.0f, 0.5f));
    EXPECT_GT(r[128], g[128]);   // gamma above 1 lifts the mid-tones
    EXPECT_LT(b[128], g[128]);

    // Brightness above 1 is capped at full intensity, never wraps.
    ASSERT_TRUE(XRANDR::gamma_ramp(256, 3.0f, 1.0f, 1.0f, 1.0f, r.data(), g.data(), b.data()));
    EXPECT_EQ(r[255], 65280);
    EXPECT_EQ(r[128], 65280);

    // NaN must not reach the table as garbage.
    ASSERT_TRUE(XRANDR::gamma_ramp(256, NAN, NAN, 1.0f, 1.0f, r.data(), g.data(), b.data()));
    EXPECT_EQ(r, Expected256(1.0f, 1.0f));

    // A gamma so small that 1/g overflows is the limit of the curve: dark up
    // to the top entry, not the identity.
    for (float tiny : {1e-39f, FLT_MIN, FLT_TRUE_MIN}) {
        SCOPED_TRACE(tiny);
        ASSERT_TRUE(XRANDR::gamma_ramp(256, 1.0f, tiny, 1.0f, 1.0f, r.data(), g.data(), b.data()));
        EXPECT_EQ(r[128], 0);
        EXPECT_EQ(r[254], 0);
        EXPECT_EQ(r[255], 65280);
        EXPECT_EQ(g, Expected256(1.0f, 1.0f));
    }
}

TEST(XrandrSetters, IgnoreNonFiniteValues)
{
    brightness_ = 1.0f;
    gamma_[0] = gamma_[1] = gamma_[2] = 1.0f;
    SetDisplayBrightness(0.25f);
    SetDisplayBrightness(NAN);
    SetDisplayBrightness(INFINITY);
    EXPECT_EQ(brightness_, 0.25f);
    SetDisplayGamma(1.5f, 2.0f, 0.5f);
    SetDisplayGamma(1.0f, NAN, 1.0f);
    EXPECT_EQ(gamma_[0], 1.5f);
    EXPECT_EQ(gamma_[1], 2.0f);
    EXPECT_EQ(gamma_[2], 0.5f);
}

// Refused before anything talks to X: with no display at all, a bad vector
// prints the usage text and nothing about the display.
TEST(XrandrCommandLine, BadVectorsAreUsageErrors)
{
    unsetenv("DISPLAY");
    const std::vector<std::vector<const char*>> bad = {
        {"--bogus"},
        {"--output"},
        {"--pos", "1x2"},                                    // output option without --output
        {"--brightness", "0.5"},
        {"--output", "screen", "--brightness", "x"},         // would blank the screen
        {"--output", "screen", "--brightness", "-1"},
        {"--output", "screen", "--brightness", "nan"},
        {"--output", "screen", "--brightness"},
        {"--output", "screen", "--gamma", "1:1"},
        {"--output", "screen", "--gamma", "-1:1:1"},
        {"--output", "screen", "--gamma", "inf:1:1"},
        {"--output", "screen", "--gamma", "1:1:1x"},
        {"-s", "x"},                                         // would switch to size 0
        {"-s", "-1"},
        {"-s", "12xab"},
        {"--screen", "x"},
        {"--screen", "-2"},
        {"-o", "4"},
        {"-o", "sideways"},
        {"-r", "fast"},
        {"--fb", "0x0"},
        {"--fb", "1280"},
        {"--fbmm", "axb"},
        {"--dpi", "-5"},
        {"--dpi", "9x"},
        {"--output", "screen", "--crtc", "-1"},
        {"--output", "screen", "--crtc", "x"},
        {"--output", "screen", "--pos", "10"},
        {"--output", "screen", "--rotate", "sideways"},
        {"--output", "screen", "--reflect", "z"},
        {"--output", "screen", "--transform", "1,0,0,0,1,0,0,0"},
        {"--output", "screen", "--transform", "1,0,0,0,1,0,0,0,1,0"},
        {"--output", "screen", "--scale", "0x1"},
        {"--output", "screen", "--scale", "0x2x2"},
        {"--output", "screen", "--scale-from", "10"},
        {"--output", "screen", "--panning", "10"},
        {"--output", "screen", "--panning", "10x10+1"},
        {"--output", "screen", "--rate", "0"},
        {"--output", "screen", "--set", "prop"},
        {"--newmode", "m", "25", "640", "656", "752", "800", "480", "490", "492"},
        {"--newmode", "m", "x", "640", "656", "752", "800", "480", "490", "492", "525"},
        {"--addmode", "screen"},
        {"--rmmode"},
        {"--setprovideroutputsource", "0x1"},
        {"--setprovideroffloadsink", "a", "0x2"},
        // null entries inside the vector
        {nullptr},
        {"--output", nullptr},
        {"--output", "screen", "--set", "prop", nullptr},
        {"--newmode", "m", "25", "640", "656", "752", "800", "480", "490", "492", "525", nullptr},
        {"--newmode", "m", "25", "640", "656", "752", "800", "480", "490", "492", "525", "+HSync",
         nullptr, "-q"},
    };
    for (const auto& args : bad) {
        std::string what;
        for (const char* a : args)
            what += std::string(a ? a : "(null)") + " ";
        SCOPED_TRACE(what);
        testing::internal::CaptureStderr();
        int rc = RunXrandr(args);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(err.rfind("usage: xrandr [options]\n", 0), 0u);
        EXPECT_EQ(err.find("Can't open"), std::string::npos);
    }
}

TEST_F(Xrandr, GoodVectorsRun)
{
    const std::vector<std::vector<const char*>> good = {
        {},
        {"-q"},
        {"--verbose"},
        {"--prop"},
        {"--q1"},
        {"--q12", "--current"},
        {"-v"},
        {"--listproviders"},
        {"--screen", "0", "-q"},
        {"-display", mServer.Name().c_str(), "-q"},
        {"--dryrun", "-s", "0"},
        {"--dryrun", "-s", "1280x1024", "-o", "normal"},
        {"--dryrun", "-o", "0", "-o", "normal"},
        {"--dryrun", "--output", "screen", "--auto"},
        {"--dryrun", "--output", "screen", "--preferred", "--pos", "0x0", "--rotate", "normal",
         "--reflect", "normal", "--primary"},
        {"--dryrun", "--output", "screen", "--scale", "1x1", "--panning", "1280x1024"},
        {"--dryrun", "--output", "screen", "--transform", "none", "--crtc", "0"},
        {"--dryrun", "--output", "screen", "--gamma", "1:1:1", "--brightness", "0.3"},
        {"--dryrun", "--fb", "1280x1024", "--fbmm", "300x240"},
        {"--dryrun", "--dpi", "96"},
        {"--dryrun", "--dpi", "screen", "--noprimary", "--nograb"},
        {"--dryrun", "--auto"},
    };
    for (const auto& args : good) {
        std::string what;
        for (const char* a : args)
            what += std::string(a) + " ";
        SCOPED_TRACE(what);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = RunXrandr(args);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 0) << err;
        EXPECT_EQ(err, "");
    }
    EXPECT_EQ(Gamma().r[255], 7) << "a dry run wrote the ramp";
    XRRCrtcInfo* c = Crtc();
    EXPECT_EQ(c->width, 1280u);
    XRRFreeCrtcInfo(c);
}

TEST_F(Xrandr, QueryAndVersionPrint)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunXrandr({}), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Screen 0: minimum ", 0), 0u) << out;
    EXPECT_NE(out.find("\nscreen connected 1280x1024+0+0"), std::string::npos) << out;
    EXPECT_NE(out.find("1280x1024"), std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_EQ(RunXrandr({"--version"}), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("xrandr program version       1.3.5\nServer reports RandR version ", 0), 0u)
        << out;
}

TEST_F(Xrandr, IndexesOutOfRangeFail)
{
    struct Case {
        std::vector<const char*> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--screen", "5", "-q"}, "Invalid screen number 5"},
        {{"-s", "7"}, "Size index 7 is too large"},
        {{"-s", "640x480"}, "Size 640x480 not found"},
        {{"--output", "screen", "--crtc", "3"}, "xrandr: cannot find crtc 3\n"},
        {{"--output", "screen", "--crtc", "0x7777"}, "xrandr: cannot find crtc 0x7777\n"},
        {{"--output", "screen", "--mode", "nosuch"}, "xrandr: cannot find mode nosuch\n"},
        {{"--output", "screen", "--left-of", "screen"}, "loop in relative position specifications"},
        {{"--output", "screen", "--right-of", "nosuch"}, "cannot find output \"nosuch\""},
        {{"--addmode", "nosuch", "1280x1024"}, "cannot find output \"nosuch\""},
        {{"--addmode", "0x7777", "1280x1024"}, "xrandr: cannot find output 0x7777\n"},
        {{"--delmode", "0x7777", "1280x1024"}, "xrandr: cannot find output 0x7777\n"},
        {{"--output", "screen", "--left-of", "0x7777"}, "xrandr: cannot find output 0x7777\n"},
        {{"--fb", "100x100"}, "specified screen 100x100 not large enough for output screen"},
        {{"--fb", "4000x4000"}, "screen cannot be larger than 1280x1024"},
        {{"--output", "screen", "--rotate", "left"}, "output screen cannot use rotation \"left\""},
        {{"-x"}, "Rotation \"normal\" reflection \"X axis\" not supported by this screen"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        testing::internal::CaptureStderr();
        EXPECT_EQ(RunXrandr(c.args), 1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    XRRCrtcInfo* info = Crtc();
    EXPECT_EQ(info->width, 1280u);
    EXPECT_EQ(info->rotation, RR_Rotate_0);
    XRRFreeCrtcInfo(info);
    EXPECT_TRUE(SecondClientGetsIn());
}

TEST_F(Xrandr, ApplySetsRampByEveryKindOfName)
{
    struct Case {
        const char* what;
        float brightness, r, g, b;
        Ramp er, eg, eb;
    };
    const Ramp identity = Expected256(1.0f, 1.0f);
    const Case cases[] = {
        {"identity", 1.0f, 1.0f, 1.0f, 1.0f, identity, identity, identity},
        {"half", 0.5f, 1.0f, 1.0f, 1.0f, Expected256(0.5f, 1.0f), Expected256(0.5f, 1.0f),
         Expected256(0.5f, 1.0f)},
        {"brightness capped", 1.5f, 1.0f, 1.0f, 1.0f, identity, identity, identity},
        {"brightness floored", -1.0f, 1.0f, 1.0f, 1.0f, Ramp(256, 0), Ramp(256, 0), Ramp(256, 0)},
        {"gamma 0 is 1", 1.0f, 0.0f, 0.0f, 0.0f, identity, identity, identity},
        {"per channel", 1.0f, 2.2f, 1.0f, 0.5f, Expected256(1.0f, 2.2f), identity,
         Expected256(1.0f, 0.5f)},
    };
    const std::vector<std::pair<const char*, std::function<int()>>> targets = {
        {"name", [] { return ApplyDisplayChanges("screen"); }},
        {"xid", [this] { return ApplyDisplayChangesToXID(mOutput); }},
        {"index", [] { return ApplyDisplayChangesToIndex(0); }},
        {"all", [] { return ApplyDisplayChangesToAll(1); }},
    };
    for (const auto& t : targets)
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(t.first) + ": " + c.what);
            SetDisplayBrightness(c.brightness);
            SetDisplayGamma(c.r, c.g, c.b);
            testing::internal::CaptureStderr();
            EXPECT_EQ(t.second(), 0);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            TRamps got = Gamma();
            EXPECT_EQ(got.r, c.er);
            EXPECT_EQ(got.g, c.eg);
            EXPECT_EQ(got.b, c.eb);
            ASSERT_TRUE(SecondClientGetsIn());
            // Reset so the next case must write again.
            SetDisplayBrightness(0.1f);
            SetDisplayGamma(1, 1, 1);
            ASSERT_EQ(ApplyDisplayChangesToIndex(0), 0);
        }
    // The screen itself is left as it was.
    XRRCrtcInfo* info = Crtc();
    EXPECT_EQ(info->width, 1280u);
    EXPECT_EQ(info->noutput, 1);
    XRRFreeCrtcInfo(info);
}

TEST_F(Xrandr, MissingOutputsWarnAndReturnZero)
{
    struct Case {
        std::function<int()> call;
        const char* warning;
    };
    const Case cases[] = {
        {[] { return ApplyDisplayChanges("nope"); }, "warning: output nope not found; ignoring\n"},
        {[] { return ApplyDisplayChangesToIndex(7); }, "warning: output 7 not found; ignoring\n"},
        {[] { return ApplyDisplayChangesToXID(0x999); }, "warning: output 0x999 not found; ignoring\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.warning);
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string(c.warning) + "xrandr: Need crtc to set gamma on.\n");
    }
    EXPECT_EQ(Gamma().r[255], 7);

    // None, or more than there are: the existing outputs only, quietly.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ApplyDisplayChangesToAll(0), 0);
    EXPECT_EQ(Gamma().r[255], 7);
    EXPECT_EQ(ApplyDisplayChangesToAll(5), 0);
    EXPECT_EQ(ApplyDisplayChangesToAll(-3), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Gamma().r, Expected256(1.0f, 1.0f));
}

TEST_F(Xrandr, CommandLineGammaAndDryRun)
{
    XRANDR x;
    EXPECT_EQ(RunXrandr(x, {"--dryrun", "--output", "screen", "--gamma", "2.2:1:0.5"}), 0);
    EXPECT_EQ(Gamma().r[255], 7) << "a dry run wrote the ramp";
    // The same object again: the dry run does not linger.
    EXPECT_EQ(RunXrandr(x, {"--output", "screen", "--brightness", "0.5"}), 0);
    TRamps got = Gamma();
    EXPECT_EQ(got.r, Expected256(0.5f, 1.0f));
    EXPECT_EQ(got.b, Expected256(0.5f, 1.0f));

    char xid[32];
    snprintf(xid, sizeof xid, "0x%lx", (unsigned long)mOutput);
    EXPECT_EQ(RunXrandr(x, {"--output", xid, "--gamma", "2.2:1:0.5"}), 0);
    got = Gamma();
    EXPECT_EQ(got.r, Expected256(1.0f, 2.2f));
    EXPECT_EQ(got.b, Expected256(1.0f, 0.5f));

    // The verbose query reads the settings back from the ramp.
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunXrandr(x, {"--verbose"}), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Gamma:      2.20:1.00:0.50\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Brightness: 1.00\n"), std::string::npos) << out;
    EXPECT_TRUE(SecondClientGetsIn());
}

TEST_F(Xrandr, ModesCreatedAddedSwitchedAndRemoved)
{
    ASSERT_EQ(RunXrandr({"--newmode", "vorel800", "40", "800", "840", "968", "1056", "600", "601", "605",
                   "628", "+HSync", "+VSync"}),
              0);
    ASSERT_EQ(RunXrandr({"--addmode", "screen", "vorel800"}), 0);
    ASSERT_EQ(RunXrandr({"--output", "screen", "--mode", "vorel800"}), 0);
    XRRCrtcInfo* info = Crtc();
    EXPECT_EQ(info->width, 800u);
    EXPECT_EQ(info->height, 600u);
    XRRFreeCrtcInfo(info);
    // A fresh connection sees the framebuffer shrunk to the mode.
    Display* d = XOpenDisplay(nullptr);
    ASSERT_TRUE(d);
    EXPECT_EQ(DisplayWidth(d, DefaultScreen(d)), 800);
    XCloseDisplay(d);
    EXPECT_TRUE(SecondClientGetsIn());

    testing::internal::CaptureStdout();
    EXPECT_EQ(RunXrandr({"-q"}), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("   vorel800      60.32*"), std::string::npos) << out;

    // Gamma-only changes keep the mode and the screen size.
    ASSERT_EQ(ApplyDisplayChanges("screen"), 0);
    info = Crtc();
    EXPECT_EQ(info->width, 800u);
    XRRFreeCrtcInfo(info);

    ASSERT_EQ(RunXrandr({"--output", "screen", "--auto"}), 0);
    info = Crtc();
    EXPECT_EQ(info->width, 1280u);
    XRRFreeCrtcInfo(info);
    ASSERT_EQ(RunXrandr({"--delmode", "screen", "vorel800"}), 0);
    ASSERT_EQ(RunXrandr({"--rmmode", "vorel800"}), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunXrandr({"--rmmode", "vorel800"}), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "xrandr: cannot find mode vorel800\n");
}

TEST_F(Xrandr, OffAndAutoTurnTheOutputOffAndOnAgain)
{
    ASSERT_EQ(RunXrandr({"--output", "screen", "--off"}), 0);
    XRRCrtcInfo* info = Crtc();
    EXPECT_EQ(info->mode, None);
    XRRFreeCrtcInfo(info);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ApplyDisplayChanges("screen"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "xrandr: Need crtc to set gamma on.\n");
    ASSERT_EQ(RunXrandr({"--output", "screen", "--auto", "--brightness", "0.5"}), 0);
    info = Crtc();
    EXPECT_EQ(info->width, 1280u);
    XRRFreeCrtcInfo(info);
    EXPECT_EQ(Gamma().r, Expected256(0.5f, 1.0f));
}

TEST_F(Xrandr, ProvokedXErrorsLeaveTheProcessAlive)
{
    const std::vector<std::vector<const char*>> provoking = {
        // a second mode of the same name
        {"--newmode", "dup", "25", "640", "656", "752", "800", "480", "490", "492", "525"},
        // a singular transform
        {"--output", "screen", "--transform", "0,0,0,0,0,0,0,0,0"},
        // destroying a mode that the server owns and uses
        {"--rmmode", "1280x1024"},
    };
    ASSERT_EQ(RunXrandr(provoking[0]), 0);
    XErrorHandler mine = [](Display*, XErrorEvent*) { return 0; };
    XSetErrorHandler(mine);
    for (const auto& args : provoking) {
        SCOPED_TRACE(args.back());
        testing::internal::CaptureStderr();
        EXPECT_EQ(RunXrandr(args), 1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("xrandr: X error: "), std::string::npos) << err;
        EXPECT_TRUE(SecondClientGetsIn());
    }
    XRRCrtcInfo* info = Crtc();
    EXPECT_EQ(info->width, 1280u);
    XRRFreeCrtcInfo(info);
    // The host's handler is back in place after every run.
    EXPECT_EQ(XSetErrorHandler(nullptr), mine);
}

TEST_F(Xrandr, PropertiesAreSetAndListed)
{
    ASSERT_EQ(RunXrandr({"--output", "screen", "--set", "VOREL_TEXT", "hello", "--set", "VOREL_NUMS",
                   "1,-2,3"}),
              0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunXrandr({"--prop"}), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\tVOREL_TEXT: hello\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\tVOREL_NUMS: 1 -2 3\n"), std::string::npos) << out;
    // An existing integer property takes numbers only.
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunXrandr({"--output", "screen", "--set", "VOREL_NUMS", "many"}), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("needs a number"), std::string::npos);
}

TEST(XrandrNoServer, EveryCallReturnsOneWithoutDisplay)
{
    unsetenv("DISPLAY");
    EXPECT_EQ(ApplyDisplayChanges("screen"), 1);
    EXPECT_EQ(ApplyDisplayChangesToXID(0x3c), 1);
    EXPECT_EQ(ApplyDisplayChangesToIndex(0), 1);
    EXPECT_EQ(ApplyDisplayChangesToAll(1), 1);
    EXPECT_EQ(ApplyDisplayChangesToAll(0), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunXrandr({"-q"}), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("xrandr: Can't open display", 0), 0u);
}

TEST(XrandrNoServer, EveryCallReturnsOneWithoutRandR)
{
    TPrivateServer server;
    if (!server.Start(false))
        GTEST_SKIP() << "no Xvfb to run against";
    const std::vector<std::function<int()>> calls = {
        [] { return ApplyDisplayChanges("screen"); },
        [] { return ApplyDisplayChangesToXID(0x3c); },
        [] { return ApplyDisplayChangesToIndex(0); },
        [] { return ApplyDisplayChangesToAll(1); },
        [] { return RunXrandr({"-q"}); },
    };
    for (const auto& call : calls) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(call(), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "RandR extension missing\n");
    }
}

namespace {

struct TScreenSize {
    int width = 0, height = 0, width_mm = 0, height_mm = 0;
};

// As a client connecting now sees it (a connection keeps the size of its start).
TScreenSize ScreenNow()
{
    TScreenSize s;
    if (Display* d = XOpenDisplay(nullptr)) {
        int n = DefaultScreen(d);
        s = {DisplayWidth(d, n), DisplayHeight(d, n), DisplayWidthMM(d, n), DisplayHeightMM(d, n)};
        XCloseDisplay(d);
    }
    return s;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

// Two asynchronous actions adjusting the display at once: one through the
// host functions, one through the command line, for 10 s each way.
class XrandrTwoThreads : public Xrandr, public ::testing::WithParamInterface<bool> {};

TEST_P(XrandrTwoThreads, CallsDoNotCrossWire)
{
    const bool provoke = GetParam();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::atomic<int> hostCalls{0}, hostFailures{0}, lineCalls{0}, lineWrong{0};
    testing::internal::CaptureStderr();
    std::thread host([&] {
        while (std::chrono::steady_clock::now() < deadline) {
            SetDisplayBrightness(0.5f);
            SetDisplayGamma(1.0f, 1.0f, 1.0f);
            hostFailures += ApplyDisplayChanges("screen") != 0;
            ++hostCalls;
        }
    });
    std::thread line([&] {
        XRANDR x;   // one object for the whole loop, as a host keeps it
        while (std::chrono::steady_clock::now() < deadline) {
            int rc = provoke ? RunXrandr(x, {"--output", "screen", "--transform", "0,0,0,0,0,0,0,0,0"})
                             : RunXrandr(x, {"--output", "screen", "--brightness", "0.5"});
            lineWrong += rc != (provoke ? 1 : 0);
            ++lineCalls;
        }
    });
    host.join();
    line.join();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GT(hostCalls, 10);
    EXPECT_GT(lineCalls, 10);
    EXPECT_EQ(hostFailures, 0);
    EXPECT_EQ(lineWrong, 0);
    EXPECT_EQ(Count(err, "Need crtc"), 0u);
    if (provoke)
        EXPECT_GE(Count(err, "xrandr: X error: "), size_t(lineCalls.load()));
    else
        EXPECT_EQ(Count(err, "xrandr: X error: "), 0u) << err.substr(0, 2000);
    EXPECT_EQ(Gamma().r, Expected256(0.5f, 1.0f));
    EXPECT_TRUE(SecondClientGetsIn());
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutXErrors, XrandrTwoThreads, ::testing::Values(false, true));

// The server going away in the middle of a call (a display-manager restart)
// fails that call and the ones without a server; the process lives on and the
// next call connects to the new server afresh.
TEST(XrandrServerLoss, ServerKilledMidCallLeavesTheProcessAlive)
{
    TPrivateServer server;
    if (!server.Start())
        GTEST_SKIP() << "no Xvfb to run against";
    gKillPid = server.Release();
    gKillAtProbe = 20;   // inside the 20th call, once it is connected
    int ok = 0, failed = 0;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 30; ++i)
        (ApplyDisplayChangesToIndex(0) == 0 ? ok : failed)++;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(gKillAtProbe, 0) << "the server was never pulled away";
    EXPECT_NE(err.find("xrandr: connection to the X server lost\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("Gamma size is 0"), std::string::npos) << err;
    EXPECT_EQ(ok, 19);
    EXPECT_EQ(failed, 11);
    EXPECT_EQ(RunXrandr({"-q"}), 1);

    TPrivateServer next;
    ASSERT_TRUE(next.Start());
    EXPECT_EQ(ApplyDisplayChangesToIndex(0), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunXrandr({"-q"}), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("screen connected"), std::string::npos);
}

// A reused object starts every call from the initial run state.
TEST_F(Xrandr, ReusedObjectForgetsTheLastRun)
{
    XRANDR x;
    EXPECT_EQ(RunXrandr(x, {"--dryrun", "--output", "screen", "--gamma", "2.2:1:0.5"}), 0);
    output_t* o = x.add_output();
    XRANDR::set_name_string(&o->output, "screen");
    EXPECT_EQ(x.set_gamma_internal(o, 0.5f, 1.0f, 1.0f, 1.0f), 0);
    EXPECT_EQ(Gamma().r, Expected256(0.5f, 1.0f)) << "the dry run lingered";

    // Another client switches the mode; a gamma-only apply keeps its size.
    ASSERT_EQ(RunXrandr({"--newmode", "vorel800", "40", "800", "840", "968", "1056", "600", "601",
                         "605", "628"}),
              0);
    ASSERT_EQ(RunXrandr({"--addmode", "screen", "vorel800"}), 0);
    ASSERT_EQ(RunXrandr({"--output", "screen", "--mode", "vorel800"}), 0);
    ASSERT_EQ(ScreenNow().width, 800);
    EXPECT_EQ(x.set_gamma_internal(o, 1.0f, 2.2f, 1.0f, 0.5f), 0);
    EXPECT_EQ(Gamma().r, Expected256(1.0f, 2.2f));
    TScreenSize now = ScreenNow();
    EXPECT_EQ(now.width, 800);
    EXPECT_EQ(now.height, 600);
    // The record is as the host left it: named by its string only.
    EXPECT_EQ(o->output.kind, name_string);
    ASSERT_EQ(RunXrandr({"--output", "screen", "--auto"}), 0);
}

TEST_F(Xrandr, OffThenAutoKeepsThePhysicalSize)
{
    const TScreenSize before = ScreenNow();
    ASSERT_GT(before.height_mm, 10);
    ASSERT_EQ(RunXrandr({"--output", "screen", "--off"}), 0);
    ASSERT_EQ(RunXrandr({"--output", "screen", "--auto"}), 0);
    const TScreenSize after = ScreenNow();
    EXPECT_EQ(after.width, before.width);
    EXPECT_EQ(after.height, before.height);
    EXPECT_NEAR(after.width_mm, before.width_mm, 1);
    EXPECT_NEAR(after.height_mm, before.height_mm, 1);
}

// Numbers are read and printed the same whatever locale the host chose.
TEST_F(Xrandr, DecimalCommaLocaleChangesNothing)
{
    // A private decimal-comma locale, built from the system's definitions.
    std::string dir = (std::filesystem::temp_directory_path() /
                       ("vorel-locale-" + std::to_string(getpid())))
                          .string();
    std::filesystem::create_directories(dir);
    std::string cmd = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    int built = system(cmd.c_str());
    setenv("LOCPATH", dir.c_str(), 1);
    const char* set = built == 0 ? setlocale(LC_ALL, "de_DE.UTF-8") : nullptr;
    struct TRestore {
        std::string dir;
        ~TRestore()
        {
            setlocale(LC_ALL, "C");
            unsetenv("LOCPATH");
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } restore{dir};
    if (!set)
        GTEST_SKIP() << "no de_DE locale definition to build (package locales)";
    char probe[16];
    snprintf(probe, sizeof probe, "%.1f", 0.5);
    ASSERT_STREQ(probe, "0,5");

    testing::internal::CaptureStderr();
    EXPECT_EQ(RunXrandr({"--output", "screen", "--brightness", "0.5"}), 0);
    EXPECT_EQ(Gamma().r, Expected256(0.5f, 1.0f));
    EXPECT_EQ(RunXrandr({"--output", "screen", "--gamma", "2.2:1:0.8"}), 0);
    EXPECT_EQ(Gamma().b, Expected256(1.0f, 0.8f));
    EXPECT_EQ(RunXrandr({"--dryrun", "--dpi", "96.5", "--output", "screen", "--scale", "0.5x0.5"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunXrandr({"--verbose"}), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Gamma:      2.20:1.00:0.80\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Brightness: 1.00\n"), std::string::npos) << out;
}

// One output named twice in one command, by name and by XID: one record.
TEST_F(Xrandr, OutputNamedTwiceIsOneOutput)
{
    char xid[32];
    snprintf(xid, sizeof xid, "0x%lx", (unsigned long)mOutput);
    const std::vector<std::vector<const char*>> orders = {
        {"--output", "screen", "--brightness", "0.5", "--output", xid, "--gamma", "2.2:1:0.5"},
        {"--output", xid, "--gamma", "2.2:1:0.5", "--output", "screen", "--brightness", "0.5"},
    };
    for (const auto& args : orders) {
        SCOPED_TRACE(args[1]);
        ASSERT_EQ(ApplyDisplayChangesToIndex(0), 0);   // back to identity
        testing::internal::CaptureStderr();
        EXPECT_EQ(RunXrandr(args), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        TRamps got = Gamma();
        EXPECT_EQ(got.r, Expected256(0.5f, 2.2f));
        EXPECT_EQ(got.g, Expected256(0.5f, 1.0f));
        EXPECT_EQ(got.b, Expected256(0.5f, 0.5f));
    }
}
