// The parameters the full build reads itself: the exit commands and the
// screen the window goes to.
#include "Platform.h"
#include "ParamTestHost.h"
#include "TAppGuiModule.h"
#include "TParamMan.h"

#include <gtest/gtest.h>

using namespace vorel_sdl2;

namespace {

class ScreenGui : public TAppGuiModule {
public:
    int Unload() override { return 0; }
    int Screen() const { return selected_screen; }
};

class ParamReads : public ::testing::Test {
protected:
    void SetUp() override
    {
        app.SetID("T1_3");
        saved = TAppGuiModule::Displays;
        TAppGuiModule::Displays = {SDL_Rect{0, 0, 640, 480}, SDL_Rect{640, 0, 640, 480}, SDL_Rect{0, 480, 640, 480}};
    }
    void TearDown() override { TAppGuiModule::Displays = saved; }

    ParamTestHost app;
    std::vector<SDL_Rect> saved;
};

TEST_F(ParamReads, ExitCommandsAreTheParametersTextOrNothing)
{
    app.Know("GLOBAL", "SHELL_CMD_SHUTDOWN", "poweroff");
    app.SetParam("SHELL_CMD_RESTART", "restart it", PARAM_CACHE);
    EXPECT_EQ(vorel_sdl2::Platform.ExitCommandParam(app, "SHELL_CMD_RESTART"), "restart it");
    EXPECT_EQ(vorel_sdl2::Platform.ExitCommandParam(app, "SHELL_CMD_SHUTDOWN"), "poweroff");
    testing::internal::CaptureStdout();
    EXPECT_EQ(vorel_sdl2::Platform.ExitCommandParam(app, "SHELL_CMD_NONE"), "");
    CapturedStdout();
}

TEST_F(ParamReads, TheScreenIndexIsReadOrCreatedForThisTerminal)
{
    struct Case {
        const char* stored; // null: nobody has it
        int screen;
    } cases[] = {{"2", 2}, {"7", 3}, {"x", 0}, {nullptr, 1}};
    for (const Case& c : cases) {
        app.DropParamFromCache("SCREEN_INDEX", PARAM_MINE);
        app.known.clear();
        if (c.stored)
            app.Know("T1_3", "SCREEN_INDEX", c.stored);
        ScreenGui gui;
        gui.TAppGuiModule::Load(nullptr);
        EXPECT_EQ(gui.Screen(), c.screen) << (c.stored ? c.stored : "none");
    }
    TAppParam* created = app.GetParam("SCREEN_INDEX", PARAM_CACHE);
    EXPECT_EQ(created->Value(), "1");
    EXPECT_EQ(created->Caption(), "Screen index");
    EXPECT_EQ(created->Description(), "Index of screen on which the app will be shown.");
    app.batches.clear();
    app.TParamMan::Poll();
    EXPECT_EQ(app.batches.front(), std::vector<std::string>{"SCREEN_INDEX@T1_3=1"});
}

} // namespace
