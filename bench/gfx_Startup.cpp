// Start-up of a GUI host, one per process (run the binary several times;
// needs a display, e.g. DISPLAY of an Xvfb): from the application
// constructor to each start-up state and to the first frame presented in
// APP_RUNNING. The host's own steps do next to nothing (a window, one
// component), so what is measured is the framework's walk.
// Prints "start-up: <what> <ms> ms" lines.
#include "TAppGuiModule.h"
#include "StartupTiming.h"
#include "TApplication.h"
#include "TGuiComponent.h"

#include <SDL2/SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

using vorel_sdl2::TApplication;
using vorel_sdl2::TAppGuiModule;
using startup::gStart;
using startup::MsSince;

namespace {

class Gui : public TAppGuiModule {
public:
    int Load(void*) override
    {
        return CreateWindow("start-up", 0, 0, 640, 480, SDL_WINDOW_SHOWN | SDL_WINDOW_BORDERLESS, -1,
                            SDL_RENDERER_TARGETTEXTURE, 0);
    }
    int Unload() override { return 0; }
};

class StartupHost : public TApplication {
public:
    double loadedMs = 0, firstFrameMs = -1;
    StartupHost()
    {
        mGui = new Gui;
        mGui->Init(this, "gui", nullptr);
        pAppGUI = mGui;
    }
    int Init() override { return 0; }
    void Startup() override
    {
        LoadGUI(nullptr);
        loadedMs = MsSince(gStart);
        setStatus(APP_STARTUP);
    }
    bool SetupGraphics() override
    {
        mGui->AddComponent(new TGuiComponent(nullptr, 0, 0, 64, 64, "box"));
        return true;
    }
    int RunOnce() override { return status() == APP_TERMINATE ? 1 : 0; }
    int DrawOnce() override
    {
        int r = mGui->draw();
        if (status() == APP_RUNNING && firstFrameMs < 0) {
            firstFrameMs = MsSince(gStart); // draw has presented it
            terminate(vorel_sdl2::NOTHING);
        }
        return r == 1 ? 1 : 0;
    }
    void Destroy() override { mGui->Destroy(); }
    void OnAppStateChanged(ApplicationState s) override { startup::RecordState(s); }

private:
    Gui* mGui;
};

} // namespace

int main()
{
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    setenv("LOG_FILENAME", "/dev/null", 1);
    gStart = startup::Clock::now();
    double constructedMs = 0, firstFrameMs = -1, loadedMs = 0;
    {
        StartupHost host;
        constructedMs = MsSince(gStart);
        host.Init();
        host.Run();
        firstFrameMs = host.firstFrameMs;
        loadedMs = host.loadedMs;
    }
    if (firstFrameMs < 0) {
        std::printf("no frame presented\n");
        return 1;
    }
    startup::PrintStates(constructedMs);
    std::printf("start-up: constructor to LoadGUI returned %.3f ms\n", loadedMs);
    std::printf("start-up: constructor to first frame %.3f ms\n", firstFrameMs);
    return 0;
}
