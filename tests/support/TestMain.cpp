// Test entry point shared by every test binary. When the Xvfb fixture has
// started a server, its display is taken from the state file so that SDL
// finds it; a DISPLAY already set by the caller wins.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    if (const char* state = std::getenv("VOREL_XVFB_STATE"); state && !std::getenv("DISPLAY")) {
        std::ifstream in(state);
        std::string display;
        if (in >> display && !display.empty())
            setenv("DISPLAY", display.c_str(), 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
