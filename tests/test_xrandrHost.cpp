// A host with free functions of the common names usage, fatal, warning and
// rotation_name: display control keeps its own and never calls the host's.
#include <gtest/gtest.h>

#include "xrandr.h"

#include <string>
#include <vector>

namespace {
int gHostCalls = 0;
}

int usage()
{
    ++gHostCalls;
    return 0;
}

int fatal(const char*, ...)
{
    ++gHostCalls;
    return 0;
}

int warning(const char*, ...)
{
    ++gHostCalls;
    return 0;
}

const char* rotation_name(Rotation)
{
    ++gHostCalls;
    return "host";
}

namespace {

int RunXrandr(std::vector<const char*> args)
{
    std::vector<char*> argv{const_cast<char*>("xrandr")};
    for (const char* a : args)
        argv.push_back(const_cast<char*>(a));
    XRANDR x;
    return x.main_xrandr(int(argv.size()), argv.data());
}

} // namespace

TEST(XrandrHostNames, TheHostsFunctionsAreNotCalled)
{
    struct Case {
        std::vector<const char*> args;
        int rc;
        const char* message;
    };
    // Dry runs against the shared server: nothing changes there.
    const Case cases[] = {
        {{"--bogus"}, 1, "usage: xrandr [options]\n"},
        {{"--dryrun", "--output", "screen", "--mode", "nosuch"}, 1, "xrandr: cannot find mode nosuch\n"},
        {{"--dryrun", "--output", "screen", "--rotate", "left"}, 1,
         "output screen cannot use rotation \"left\" reflection \"none\""},
        {{"--dryrun", "--output", "nosuch", "--gamma", "1:1:1"}, 0,
         "xrandr: Need crtc to set gamma on.\n"},
    };
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy)
        GTEST_SKIP() << "no X display";
    XCloseDisplay(dpy);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        testing::internal::CaptureStderr();
        EXPECT_EQ(RunXrandr(c.args), c.rc);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_EQ(gHostCalls, 0);
}
