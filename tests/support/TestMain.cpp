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
#include "SanitizerSupport.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#ifndef VOREL_XVFB_STATE_FILE
#define VOREL_XVFB_STATE_FILE ""
#endif

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

vorel_sdl2::TPlatform MakeTestPlatform()
{
    vorel_sdl2::TPlatform p = vorel_sdl2::DefaultPlatform;
    p.Reboot = RefuseReboot;
    p.RunCommand = RefuseCommand;
    return p;
}

} // namespace

const vorel_sdl2::TPlatform& TestPlatform()
{
    static const vorel_sdl2::TPlatform table = MakeTestPlatform();
    return table;
}

int main(int argc, char** argv)
{
    PinGlStack();
    vorel_sdl2::Platform = TestPlatform();
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
