// The GUI module (full build only): the application module that owns the one
// window, its renderer, an off-screen back buffer and the top-level
// components, and composes, presents and paces one frame per draw().
//
// A host derives its own GUI module (it implements Unload), assigns it to
// TApplication::pAppGUI before Run, and in its Load override, which the draw
// thread calls, creates the window (CreateWindow) before calling
// TAppGuiModule::Load, which places the window on the display chosen by the
// SCREEN_INDEX parameter. The host's DrawOnce calls draw() once per frame;
// the host's Destroy calls Destroy(), which deletes the loader, the
// components and the module itself and releases images, back buffer,
// renderer and window.
//
// Threads: window, renderer and drawing belong to the draw thread (a
// CreateWindow from another thread works but prints a warning). draw() holds
// the application's draw lock while it runs deferred draw calls, draw-context
// actions and tasks and composes the components; pacing and present run
// outside it. mainLogic runs on the main thread under the same lock (the main
// loop try-locks it). The component list has no lock of its own: change it
// under the draw lock. draw() holds it while it calls components, deferred
// draw calls and draw actions and tasks, and SetupGraphics runs under it;
// anywhere else (DrawOnce outside draw() included) take it with
// lockDrawMutex, or defer the change to the draw thread.
//
// Failure: host code called from draw (deferred calls, components, the two
// draw hooks) is fenced; an exception is reported with a fixed line on
// standard output and the frame goes on. draw without a renderer still waits
// out its frame time. Tick differences are unsigned 32-bit, so the 49.7-day
// wrap of the tick counter changes nothing.
#pragma once

#ifndef VOREL_NOGFX

#include "TAppModule.h"
#include "TGuiComponent.h"

#include <SDL2/SDL_pixels.h>
#include <SDL2/SDL_rect.h>
#include <SDL2/SDL_render.h>
#include <SDL2/SDL_video.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

struct SDL_Renderer;

namespace vorel_sdl2 {

class TAppGuiModule : public TAppModule {
public:
    TAppGuiModule();
    // Releases the list only; Destroy does the teardown.
    ~TAppGuiModule() override;

    // Chooses the display (SCREEN_INDEX, 1-based) and places the window on
    // it; 0 when a display was chosen, -1 when none is known.
    int Load(void* hInitData) override;

    // Teardown in an order that keeps every pointer valid while it is used:
    // loader and components (whose destructors may free textures), then
    // cached images, then back buffer, renderer and window; the static
    // renderer and window pointers that named them are cleared. Returns
    // TAppModule::Destroy's result: with an application set, the module is
    // unregistered and deleted.
    virtual int Destroy();
    virtual void OnShow();
    virtual void OnHide();
    virtual void Show();
    virtual void Hide();
    // Requests a re-read of the window size at the next frame.
    virtual void RefreshSize();
    // One frame: 0 after a frame, 1 when terminating, 2 without a renderer.
    virtual int draw();
    // mainLogic of every top-level component, visible or not; the main loop
    // calls it at most once per drawn frame.
    virtual void mainLogic();

    // Window, renderer (vsync per the application's VSYNC, taking effect only
    // when the renderer grants it) and back buffer. 0, or -2 (no window), -3
    // (no renderer: the OpenGL driver is asked for first, then any driver),
    // -4 (no back buffer). AtIndex is not used.
    int CreateWindow(std::string WindowTitle, int x, int y, int w, int h, Uint32 CreateWindowFlags,
                     int DriverIndex4Renderer, Uint32 CreateRendererFlags, int AtIndex);
    void DestroyWindow();

    SDL_Rect GetScreenBounds(int* screen_index) const;
    SDL_Rect GetCombinedScreenBounds() const;

    float getFPS(float* nonVSyncFPS);
    SDL_Renderer* GetRenderer() const { return mpGUIRenderer; }
    void SetRenderer(SDL_Renderer* pRenderer) { mpGUIRenderer = pRenderer; }
    SDL_Window* getWindow() { return mpWindow; }

    bool IsVisible() const { return Visible != 0; }
    void StopRendering() { mDrawEnabled = false; }
    void StartRendering() { mDrawEnabled = true; }
    bool IsRendering() const { return mDrawEnabled; }
    void RotateScreen(bool rotate) { ScreenRotate = rotate; }
    bool IsScreenRotated() const { return ScreenRotate; }
    // Values below 1 are ignored.
    void SetTargetFPS(int fps);
    int GetTargetFPS() const { return mTargetFPS; }
    bool IsVsync() const { return mVsync; }
    // Restarts frame timing from now, e.g. after a long pause in drawing.
    void updateLastDrawTime();
    // Switches the window to desktop full screen; 0 or SDL's error code.
    int WindowToFullscreen();

    static void SetGlobalPixelFormat(SDL_PixelFormat* fmt);
    static void SetRendererStatic(SDL_Renderer* pRenderer);
    static void SetWindowStatic(SDL_Window* pWindow);

    // Top-level components; the module owns them. A pointer already listed
    // (here or in any component), a pending deletion or a duplicate name is
    // refused with a null result.
    TGuiComponent* AddComponent(TGuiComponent* pNewComponent);
    TGuiComponent* FindComponentByName(std::string sComponent);
    bool FindComponent(TGuiComponent* pComponent);
    bool RemoveComponent(TGuiComponent* pComponent, bool deleteInstance);
    bool RemoveComponent(std::string sComponent, bool deleteInstance);
    bool BringComponentToFront(TGuiComponent* pComponent);
    bool SendComponentToBack(TGuiComponent* pComponent);
    // Setting a new loader does not delete the old one.
    void SetLoader(TGuiComponent* loader) { pLoader = loader; }
    TGuiComponent* Loader() { return pLoader; }

    // Frame pacing clock: ticks from Platform.Ticks, sleeps through Sleep
    // (usleep unless replaced). Replace it only while no frame is drawn.
    struct TFrameClock {
        void (*Sleep)(Uint32 ms);
    };
    static TFrameClock FrameClock;

    static SDL_PixelFormat mGlobalPixelFormat;
    static SDL_Renderer* mpGUIRendererStatic;
    static SDL_Window* mpWindowStatic;
    static std::vector<SDL_Rect> Displays;

protected:
    virtual void BeforeDrawComponents();
    virtual void AfterDrawComponents();

    int Visible;
    TGuiComponentList GuiComponentList;
    TGuiComponent* pLoader;
    bool mbRefreshSize;
    SDL_Texture* mpBackBuffer;
    SDL_Rect WindowNativeSize;
    SDL_Rect WindowCurrentSize;
    int selected_screen;
    bool ScreenRotate;
    SDL_Window* mpWindow;
    SDL_Renderer* mpGUIRenderer;
    float mFPS;
    float mFPS_noVsync;
    unsigned long mNumFrames;
    Uint32 mLastDrawTime;
    int64_t mSleepDiff;
    int mTargetFPS;
    bool mDrawEnabled;
    bool mVsync;
    TGuiComponent* mLoadingScreen;

private:
    // The pacing point of the previous frame (after its sleep, before its
    // present): measuring from there counts the present into the budget, so
    // a 16 ms budget gives a 16 ms period.
    Uint32 mLastPaceTime;

    // Sleeps out the rest of the frame budget (unless a vsync present will
    // pace the frame); returns the tick after it.
    Uint32 PaceFrame(Uint32 budgetMs, bool presenting);
    void ComposeFrame(bool running);
    // Text value of the SCREEN_INDEX parameter (created with "1" when missing).
    std::string ScreenIndexParam();
};

} // namespace vorel_sdl2

#endif
