// A GUI host for the graphics tests: one application with one GUI module per
// test process, its hooks set per test as function objects. The window is
// 320x240 at the top-left corner, unscaled, unless a test loads otherwise.
#pragma once

#include "Platform.h"
#include "TAppGuiModule.h"
#include "TApplication.h"
#include "TGuiComponent.h"

#include <SDL2/SDL.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace guitest {

using vorel_sdl2::TApplication;
using vorel_sdl2::TAppGuiModule;

constexpr int kW = 320;
constexpr int kH = 240;

class TestGui : public TAppGuiModule {
public:
    std::function<int(TestGui&, void*)> onLoad;
    std::function<void(TestGui&)> afterDraw;

    int Load(void* data) override { return onLoad ? onLoad(*this, data) : CreateDefaultWindow(); }
    int Unload() override { return 0; }

    int CreateDefaultWindow(int x = 0, int y = 0)
    {
        return CreateWindow("vorel test", x, y, kW, kH, SDL_WINDOW_SHOWN | SDL_WINDOW_BORDERLESS, -1,
                            SDL_RENDERER_TARGETTEXTURE, 0);
    }

    // Colour of one pixel of the window (after draw) or of the back buffer
    // (from afterDraw), as 0xRRGGBBAA.
    Uint32 Pixel(int x, int y)
    {
        SDL_Rect r{x, y, 1, 1};
        Uint32 p = 0;
        SDL_RenderReadPixels(GetRenderer(), &r, SDL_PIXELFORMAT_RGBA8888, &p, 4);
        return p;
    }
    Uint32 WindowPixel(int x, int y)
    {
        SDL_Texture* target = SDL_GetRenderTarget(GetRenderer());
        SDL_SetRenderTarget(GetRenderer(), nullptr);
        Uint32 p = Pixel(x, y);
        SDL_SetRenderTarget(GetRenderer(), target);
        return p;
    }

    void setVsync(bool v) { mVsync = v; }
    SDL_Rect nativeSize() const { return WindowNativeSize; }
    SDL_Rect currentSize() const { return WindowCurrentSize; }
    void selectScreen(int s) { selected_screen = s; }
    int selectedScreen() const { return selected_screen; }
    int64_t sleepDiff() const { return mSleepDiff; }
    unsigned long numFrames() const { return mNumFrames; }
    const TGuiComponentList& list() const { return GuiComponentList; }
};

// A texture of one colour (0xRRGGBBAA), for components to show.
inline SDL_Texture* SolidTexture(SDL_Renderer* r, Uint32 rgba, int w = 64, int h = 64)
{
    SDL_Texture* t = SDL_CreateTexture(r, SDL_PIXELFORMAT_RGBA8888, SDL_TEXTUREACCESS_TARGET, w, h);
    SDL_Texture* previous = SDL_GetRenderTarget(r);
    SDL_SetRenderTarget(r, t);
    SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_NONE);
    SDL_SetRenderDrawColor(r, rgba >> 24, (rgba >> 16) & 0xFF, (rgba >> 8) & 0xFF, rgba & 0xFF);
    SDL_RenderClear(r);
    SDL_SetRenderTarget(r, previous);
    SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(r, 0, 0, 0, 0);
    SDL_SetTextureBlendMode(t, SDL_BLENDMODE_BLEND);
    return t;
}

inline int Red(Uint32 p) { return p >> 24; }
inline int Green(Uint32 p) { return (p >> 16) & 0xFF; }
inline int Blue(Uint32 p) { return (p >> 8) & 0xFF; }

// A GUI module deletes itself in its Destroy, which only a run application
// calls. For a host never run, the module is deleted once the application's
// own destructor has ended the draw thread: this base goes after it.
struct UnrunModule {
    TAppGuiModule* module = nullptr;
    ~UnrunModule() { delete module; }
};

class GuiHost : private UnrunModule, public TApplication {
public:
    TestGui* gui;
    // Main thread, from Run.
    std::function<void(GuiHost&)> onStartup = [](GuiHost& h) {
        h.loadResult = h.LoadGUI(nullptr);
        h.setStatus(APP_STARTUP);
    };
    std::function<int(GuiHost&)> onRunOnce;
    // Draw thread: every DrawOnce before APP_RUNNING, and every frame after.
    std::function<int(GuiHost&)> onDrawBeforeRunning;
    std::function<int(GuiHost&)> onFrame;
    std::function<bool(GuiHost&)> onSetupGraphics;
    std::function<void(GuiHost&)> onDestroy;

    int loadResult = -100;
    std::atomic<int> destroyCalls{0};
    std::atomic<int> drawOnceCalls{0};
    std::atomic<bool> destroyOnDrawThread{false};

    GuiHost() : gui(new TestGui)
    {
        gui->Init(this, "gui", nullptr);
        pAppGUI = gui;
    }
    ~GuiHost() override { UnrunModule::module = gui; }

    int Init() override { return 0; }
    const SDL_Event& lastEvent() const { return LastEvent; }
    void Startup() override { onStartup(*this); }
    bool SetupGraphics() override { return onSetupGraphics ? onSetupGraphics(*this) : true; }
    int RunOnce() override { return onRunOnce ? onRunOnce(*this) : 0; }
    int DrawOnce() override
    {
        ++drawOnceCalls;
        if (status() < APP_RUNNING)
            return onDrawBeforeRunning ? onDrawBeforeRunning(*this) : gui->draw();
        return onFrame ? onFrame(*this) : gui->draw();
    }
    void Destroy() override
    {
        ++destroyCalls;
        destroyOnDrawThread = IsInDrawThread();
        if (onDestroy)
            onDestroy(*this);
        if (gui)
            gui->Destroy();
        gui = nullptr;
    }
};

// Records the commands that would be run instead of running them.
struct CommandRecorder {
    static std::mutex& Mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& Commands()
    {
        static std::vector<std::string> c;
        return c;
    }
    static int Record(const char* command)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Commands().push_back(command);
        return 0;
    }
    static std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return Commands();
    }
    CommandRecorder() { vorel_sdl2::Platform.RunCommand = &Record; }
};

// Colours as RGBA8888 pixels.
constexpr Uint32 kRed = 0xFF0000FF;
constexpr Uint32 kGreen = 0x00FF00FF;
constexpr Uint32 kWhite = 0xFFFFFFFF;

// A component that shows a solid texture, made on the draw thread.
class Box : public TGuiComponent {
public:
    Box(int x, int y, int w, int h, Uint32 rgba, std::string name = "")
        : TGuiComponent(nullptr, x, y, w, h, std::move(name)), mColour(rgba)
    {
    }
    ~Box() override
    {
        if (mpTargetTexture)
            SDL_DestroyTexture(mpTargetTexture);
    }
    int load() override
    {
        if (!mpTargetTexture && GetRenderer())
            SetTargetTexture(SolidTexture(GetRenderer(), mColour, mDestRect.w, mDestRect.h));
        return 0;
    }
    Uint32 mColour;
};

// Runs script once on the draw thread, in the first frame, under the draw
// lock (component lists change only under it), then ends the host.
inline void RunOnDrawThread(GuiHost& host, const std::function<void(GuiHost&)>& script)
{
    host.mRebootOnExit = false;
    host.onFrame = [script](GuiHost& h) {
        h.lockDrawMutex();
        script(h);
        h.unlockDrawMutex();
        h.terminate(vorel_sdl2::NOTHING);
        return 1;
    };
    host.Run();
}

} // namespace guitest
