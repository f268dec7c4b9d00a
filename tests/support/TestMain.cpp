// Test entry point shared by every test binary.
//
// It sets the environment every test relies on, whoever starts the binary:
// reboot on exit is off (a test that wants it on sets it itself and replaces
// the reboot seam), sound goes to SDL's disk driver, and the display is the
// Xvfb that the test fixture started (a DISPLAY already set by the caller
// wins). The reboot and exit-command seams refuse by default, so no test can
// reach the real calls by accident; a test that observes them replaces them.
// Log entries never go to the real journal: VOREL_JOURNAL is 0, and a test
// of the journal points it at a socket of its own.
#include "Platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#ifndef VOREL_XVFB_STATE_FILE
#define VOREL_XVFB_STATE_FILE ""
#endif

// Reports from third-party code the tests cannot fix: D-Bus state that SDL's
// video and event start-up keeps for the process, and races inside Mesa's
// software rasteriser (its own threads and locks).
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}

extern "C" const char* __tsan_default_suppressions()
{
    return "race:swrast_dri.so\n";
}

// The fatal-signal path logs through the log manager by design (it allocates);
// the crash tests exercise exactly that path, so TSan is not to report it.
extern "C" const char* __tsan_default_options()
{
    return "report_signal_unsafe=0";
}

namespace {

int RefuseReboot(int command)
{
    std::fprintf(stderr, "test: reboot(0x%x) refused\n", static_cast<unsigned>(command));
    return -1;
}

int RefuseCommand(const char* command)
{
    std::fprintf(stderr, "test: command refused: %s\n", command ? command : "(null)");
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    vorel_sdl2::Platform.Reboot = RefuseReboot;
    vorel_sdl2::Platform.RunCommand = RefuseCommand;
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    setenv("VOREL_JOURNAL", "0", 1);
    unsetenv("VOREL_JOURNAL_SOCKET");
    unsetenv("JOURNAL_STREAM");
    setenv("SDL_AUDIODRIVER", "disk", 0);

    const char* state = std::getenv("VOREL_XVFB_STATE");
    if (!state)
        state = VOREL_XVFB_STATE_FILE;
    if (state[0] != '\0' && !std::getenv("DISPLAY")) {
        std::ifstream in(state);
        std::string display;
        if (in >> display && !display.empty())
            setenv("DISPLAY", display.c_str(), 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
