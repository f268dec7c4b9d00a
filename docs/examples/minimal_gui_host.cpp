// The smallest GUI host of vorel (docs/writing-a-host.md walks through it).
//
//   minimal-gui-host [seconds]      runs until the window closes, or for so many seconds
//
// Build: link vorel::vorel-sdl2 (CMake) or `pkg-config --cflags --libs vorel-sdl2`.
#include "TAppGuiModule.h"
#include "TApplication.h"

#include <SDL2/SDL.h>

#include <cstdlib>

using namespace vorel_sdl2;

// The GUI module: window and renderer belong to the draw thread.
class Gui : public TAppGuiModule {
public:
    // Draw thread, in APP_LOADING_GRAPHICS.
    int Load(void* data) override
    {
        int r = CreateWindow("minimal vorel host", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 640, 360,
                             SDL_WINDOW_SHOWN, -1, SDL_RENDERER_TARGETTEXTURE, 0);
        if (r != 0)
            return r;
        TAppGuiModule::Load(data); // places the window on the display SCREEN_INDEX names
        return 0;
    }
    int Unload() override { return 0; }

protected:
    // Draw thread, every frame, under the draw lock: the background.
    void BeforeDrawComponents() override
    {
        SDL_SetRenderDrawColor(GetRenderer(), 16, 32, 64, 255);
        SDL_RenderClear(GetRenderer());
    }
};

class Host : public TApplication {
public:
    explicit Host(unsigned seconds) : mSeconds(seconds)
    {
        // The draw thread looks for the GUI module as soon as Run starts.
        mGui = new Gui;
        mGui->Init(this, "gui", nullptr);
        pAppGUI = mGui;
    }

    int Init() override { return TLogManager::Init(LogFile()); }

    void Startup() override
    {
        LoadGUI(nullptr);       // waits while the draw thread runs Gui::Load
        setStatus(APP_STARTUP); // then SetupGraphics on the draw thread, then APP_RUNNING
    }

    // Main loop: events are taken here; closing the window terminates.
    int RunOnce() override
    {
        while (ProcessNextEvent()) {
        }
        if (mSeconds != 0 && SDL_GetTicks() - AppStartTicks >= mSeconds * 1000u)
            terminate(NOTHING);
        return status() == APP_TERMINATE ? 1 : 0;
    }

    // Draw thread, once per frame.
    int DrawOnce() override { return mGui->draw() == 1 ? 1 : 0; }

    // Draw thread, after the last frame, under the draw and main locks.
    void Destroy() override
    {
        mGui->Destroy(); // deletes the module
        TLogManager::Destroy();
    }

private:
    Gui* mGui;
    unsigned mSeconds;
};

int main(int argc, char** argv)
{
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 0); // see the headless host
    Host host(argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 0);
    if (host.Init() != 0)
        return 1;
    int result = host.Run(); // with a GUI module, Destroy has run on the draw thread
    return result == 0 || result == 1 ? 0 : result;
}
