#include "TAppGuiModule.h"

#include "MyUtilsImages.h"
#include "Platform.h"
#include "TApplication.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace vorel_sdl2 {

namespace {

constexpr int kDefaultFPS = 60;


// Runs one piece of host code; an exception is reported and swallowed.
template <typename Fn>
void Fenced(const char* what, Fn&& fn)
{
    try {
        fn();
    } catch (...) {
        std::printf("TAppGuiModule:%s unhandled exception\n", what);
    }
}

// Holds the application's draw lock for one scope, on every path.
struct DrawLock {
    TApplication* app;
    bool held;
    explicit DrawLock(TApplication* a) : app(a), held(true) { app->lockDrawMutex(); }
    void release()
    {
        if (held)
            app->unlockDrawMutex();
        held = false;
    }
    ~DrawLock() { release(); }
};

// The target frame rate of the application, or 60 for a value that would
// leave the frame budget undefined (0, negative or not a number in FPS).
int SaneTargetFPS(TApplication* app)
{
    if (!app)
        return kDefaultFPS;
    unsigned int fps = app->TargetFPS;
    if (fps == 0 || fps > 100000) {
        std::printf("APP WARNING: FPS %d is not a usable frame rate, using %d\n", static_cast<int>(fps), kDefaultFPS);
        return kDefaultFPS;
    }
    return static_cast<int>(fps);
}

// Release of the process-wide image caches, while the renderer that owns
// the cached textures still exists.
void ReleaseCachedImages() { MyUtils::DestroyImages(); }

} // namespace

SDL_PixelFormat TAppGuiModule::mGlobalPixelFormat{};
SDL_Renderer* TAppGuiModule::mpGUIRendererStatic = nullptr;
SDL_Window* TAppGuiModule::mpWindowStatic = nullptr;
std::vector<SDL_Rect> TAppGuiModule::Displays;

TAppGuiModule::TAppGuiModule()
    : Visible(0), pLoader(nullptr), mbRefreshSize(false), mpBackBuffer(nullptr), WindowNativeSize{},
      WindowCurrentSize{}, selected_screen(-1), ScreenRotate(false), mpWindow(nullptr), mpGUIRenderer(nullptr),
      mFPS(0.0f), mFPS_noVsync(0.0f), mNumFrames(0), mLastDrawTime(Platform.Ticks()), mSleepDiff(0),
      mTargetFPS(kDefaultFPS), mDrawEnabled(true), mVsync(true), mLoadingScreen(nullptr),
      mpTopLevel(TGuiListOps::NewAnchor(GuiComponentList, nullptr)), mLastPaceTime(mLastDrawTime)
{
    // Displays, the cursor and windows need the video subsystem; a host that
    // has not started it gets it started here (SDL_Quit at exit ends it).
    if (!SDL_WasInit(SDL_INIT_VIDEO))
        SDL_InitSubSystem(SDL_INIT_VIDEO);
    if (Displays.empty()) {
        int n = SDL_GetNumVideoDisplays();
        for (int i = 0; i < n; ++i) {
            SDL_Rect r{0, 0, 0, 0};
            SDL_GetDisplayBounds(i, &r);
            Displays.push_back(r);
        }
    }
    IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG);
    SDL_ShowCursor(SDL_DISABLE);
}

TAppGuiModule::~TAppGuiModule()
{
    // Components left in the list stay alive (Destroy deletes them) but must
    // not point at a list that no longer exists.
    TGuiListOps::Orphan(*mpTopLevel);
}

std::string TAppGuiModule::ScreenIndexParam()
{
    TApplication* app = pApp;
    if (!app)
        return std::string();
    TAppParam* param = app->GetOrSetParam("SCREEN_INDEX", "1", "Screen index",
                                          "Index of screen on which the app will be shown.",
                                          PARAM_READ_MINE_WRITE_MINE, false);
    return param && !param->IsNull() ? param->Value() : std::string();
}

int TAppGuiModule::CreateWindow(std::string WindowTitle, int x, int y, int w, int h, Uint32 CreateWindowFlags,
                                int DriverIndex4Renderer, Uint32 CreateRendererFlags, int)
{
    TApplication* app = pApp;
    if (app && !app->IsInDrawThread())
        std::printf("APP WARNING: CreateWindow called outside the draw thread\n");

    SDL_SetHint("SDL_RENDER_SCALE_QUALITY", "best");
    mpWindow = SDL_CreateWindow(WindowTitle.c_str(), x, y, w, h, CreateWindowFlags);
    if (!mpWindow)
        return -2;

    mTargetFPS = SaneTargetFPS(app);
    if (app)
        mVsync = app->VSync;

    SDL_SetHint("SDL_RENDER_DRIVER", "opengl");
    Uint32 flags = CreateRendererFlags | (mVsync ? SDL_RENDERER_PRESENTVSYNC : 0);
    mpGUIRenderer = SDL_CreateRenderer(mpWindow, DriverIndex4Renderer, flags);
    if (!mpGUIRenderer) {
        // No OpenGL (or not the driver asked for): whatever SDL offers.
        SDL_ResetHint("SDL_RENDER_DRIVER");
        mpGUIRenderer = SDL_CreateRenderer(mpWindow, -1, flags);
        if (!mpGUIRenderer) {
            std::printf("DRAW: no renderer: %s\n", SDL_GetError());
            return -3;
        }
    }
    SDL_RendererInfo info{};
    SDL_GetRendererInfo(mpGUIRenderer, &info);
    // Only a renderer that was asked for vsync and grants it paces by its
    // present (SDL's software renderer reports vsync unasked, and its present
    // under an X server without swap control does not wait).
    mVsync = mVsync && (info.flags & SDL_RENDERER_PRESENTVSYNC) != 0;
    std::printf("DRAW: renderer %s, vsync %s\n", info.name ? info.name : "?", mVsync ? "on" : "off");

    SDL_SetRenderDrawBlendMode(mpGUIRenderer, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(mpGUIRenderer, 0, 0, 0, 0);

    if (SDL_WINDOWPOS_ISCENTERED(x) || SDL_WINDOWPOS_ISUNDEFINED(x))
        x = 0;
    if (SDL_WINDOWPOS_ISCENTERED(y) || SDL_WINDOWPOS_ISUNDEFINED(y))
        y = 0;
    WindowNativeSize = SDL_Rect{x, y, w, h};
    WindowCurrentSize = WindowNativeSize;

    Uint32 format = SDL_GetWindowPixelFormat(mpWindow);
    mpBackBuffer = SDL_CreateTexture(mpGUIRenderer, format, SDL_TEXTUREACCESS_TARGET, w, h);
    if (!mpBackBuffer)
        mpBackBuffer = SDL_CreateTexture(mpGUIRenderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, w, h);
    if (!mpBackBuffer)
        return -4;
    SDL_SetRenderTarget(mpGUIRenderer, mpBackBuffer);

    // The window's format without asking for its surface, which a window
    // drawn by a renderer must not have.
    if (SDL_PixelFormat* fmt = SDL_AllocFormat(format)) {
        SetGlobalPixelFormat(fmt);
        SDL_FreeFormat(fmt);
    }
    SetRendererStatic(mpGUIRenderer);
    SetWindowStatic(mpWindow);
    return 0;
}

void TAppGuiModule::DestroyWindow()
{
    // Cached textures belong to the renderer that goes now: released first,
    // so that no later GetTexture returns one and no DestroyImages frees one
    // twice. The cached surfaces do not depend on it and stay.
    if (mpGUIRenderer)
        MyUtils::loaderTexture.Destroy();
    if (mpBackBuffer)
        SDL_DestroyTexture(mpBackBuffer);
    mpBackBuffer = nullptr;
    if (mpGUIRenderer) {
        if (mpGUIRendererStatic == mpGUIRenderer)
            mpGUIRendererStatic = nullptr;
        SDL_DestroyRenderer(mpGUIRenderer);
    }
    mpGUIRenderer = nullptr;
    if (mpWindow) {
        if (mpWindowStatic == mpWindow)
            mpWindowStatic = nullptr;
        SDL_DestroyWindow(mpWindow);
    }
    mpWindow = nullptr;
}

int TAppGuiModule::Load(void*)
{
    if (selected_screen < 0) {
        std::string text = ScreenIndexParam();
        char* end = nullptr;
        long v = std::strtol(text.c_str(), &end, 10);
        int index = (end == text.c_str() || v > 1000000 || v < -1000000) ? 0 : static_cast<int>(v);
        int n = static_cast<int>(Displays.size());
        selected_screen = index > n ? n : index;
    }
    int index = -1;
    SDL_Rect bounds = GetScreenBounds(&index);
    if (bounds.w != 0 && bounds.h != 0 && mpWindow) {
        SDL_SetWindowPosition(mpWindow, bounds.x, bounds.y);
        SDL_SetWindowSize(mpWindow, bounds.w, bounds.h);
        RefreshSize();
    }
    return index >= 0 ? 0 : -1;
}

SDL_Rect TAppGuiModule::GetScreenBounds(int* screen_index) const
{
    int n = static_cast<int>(Displays.size());
    if (n < 1)
        return SDL_Rect{0, 0, 0, 0};
    int index = selected_screen - 1;
    if (index >= n)
        index = n - 1;
    if (index < 0)
        index = 0;
    if (screen_index)
        *screen_index = index;
    return Displays[static_cast<size_t>(index)];
}

SDL_Rect TAppGuiModule::GetCombinedScreenBounds() const
{
    SDL_Rect r{0, 0, 0, 0};
    for (const SDL_Rect& d : Displays) {
        r.w += d.w;
        r.h += d.h;
    }
    return r;
}

int TAppGuiModule::Destroy()
{
    // Components (and the loader) first: their destructors may free textures,
    // which the renderer would otherwise have freed already.
    if (pLoader) {
        TGuiComponent* loader = pLoader;
        pLoader = nullptr;
        if (!TGuiListOps::Find(*mpTopLevel, loader))
            delete loader;
    }
    TGuiListOps::DeleteAll(*mpTopLevel, ModuleName);
    ReleaseCachedImages();
    DestroyWindow();
    GuiComponentList.clear();
    return TAppModule::Destroy();
}

void TAppGuiModule::OnShow() {}
void TAppGuiModule::OnHide() {}

void TAppGuiModule::Show()
{
    if (Visible == 0)
        OnShow();
    Visible = 1;
}

void TAppGuiModule::Hide()
{
    if (Visible != 0)
        OnHide();
    Visible = 0;
}

void TAppGuiModule::RefreshSize() { mbRefreshSize = true; }

void TAppGuiModule::BeforeDrawComponents() {}
void TAppGuiModule::AfterDrawComponents() {}

void TAppGuiModule::mainLogic()
{
    TGuiListOps::ForEach(mpTopLevel, false, [](TGuiComponent* c) {
        Fenced("mainLogic:component", [c] { c->mainLogic(); });
    });
}

void TAppGuiModule::ComposeFrame(bool running)
{
    if (running) {
        TGuiListOps::ForEach(mpTopLevel, true, [](TGuiComponent* c) {
            Fenced("draw:drawLogic", [c] { c->drawLogic(); });
        });
        Fenced("draw:BeforeDrawComponents", [this] { BeforeDrawComponents(); });
        TGuiListOps::ForEach(mpTopLevel, true, [](TGuiComponent* c) {
            Fenced("draw:component", [c] { c->draw(); });
        });
        Fenced("draw:AfterDrawComponents", [this] { AfterDrawComponents(); });
    } else if (pLoader && pLoader->isVisible()) {
        TGuiComponent* loader = pLoader;
        Fenced("draw:loader", [loader] {
            loader->drawLogic();
            loader->draw();
        });
    }
}

Uint32 TAppGuiModule::PaceFrame(Uint32 budgetMs, bool presenting)
{
    Uint32 now = Platform.Ticks();
    const Uint32 elapsed = now - mLastPaceTime; // survives the tick wrap
    const bool presentPaces = presenting && mDrawEnabled && mVsync && mTargetFPS >= 60;
    const int64_t remaining = static_cast<int64_t>(budgetMs) - elapsed - mSleepDiff;
    if (remaining > 0 && !presentPaces) {
        const Uint32 request = static_cast<Uint32>(remaining);
        Platform.Sleep(request);
        const Uint32 after = Platform.Ticks();
        mSleepDiff = static_cast<int64_t>(static_cast<Uint32>(after - now)) - request;
        // A sleep that returns early must not make the next ones grow.
        mSleepDiff = std::max<int64_t>(mSleepDiff, -static_cast<int64_t>(budgetMs));
        now = after;
    } else {
        mSleepDiff = 0;
    }
    mLastPaceTime = now;
    return now;
}

int TAppGuiModule::draw()
{
    TApplication* app = pApp;
    const Uint32 budget = 1000u / static_cast<Uint32>(std::max(mTargetFPS, 1));
    if (!app) {
        mLastDrawTime = PaceFrame(budget, false);
        return 2;
    }
    DrawLock lock(app);
    if (!mpGUIRenderer) {
        lock.release();
        // Waits out the frame instead of letting the draw loop spin.
        mLastDrawTime = PaceFrame(budget, false);
        return 2;
    }
    const TApplication::ApplicationState state = app->status();
    if (state == TApplication::APP_TERMINATE)
        return 1;

    const Uint32 start = Platform.Ticks();
    const bool running = state == TApplication::APP_RUNNING;
    // Components added on other threads get their load() here.
    Fenced("draw:load", [] { TGuiListOps::RunDeferredLoads(); });
    if (running) {
        // The back buffer is the render target here; these draw into it.
        Fenced("draw:deferred", [&] { app->ExecuteDeferredDrawMethods(mpGUIRenderer); });
        Fenced("draw:actions", [&] { app->ExecuteActions(ACTION_DRAW); });
        Fenced("draw:tasks", [&] { app->ProcessTasks(TASK_DRAW); });
    }

    if (mDrawEnabled) {
        // The copy uses the window's own rectangle: its screen position is
        // not a position inside the back buffer or the window.
        if (mbRefreshSize.exchange(false)) {
            SDL_GetWindowSize(mpWindow, &WindowCurrentSize.w, &WindowCurrentSize.h);
            SDL_Rect viewport{0, 0, WindowCurrentSize.w, WindowCurrentSize.h};
            SDL_SetRenderTarget(mpGUIRenderer, nullptr);
            SDL_RenderSetViewport(mpGUIRenderer, &viewport);
            SDL_SetRenderTarget(mpGUIRenderer, mpBackBuffer);
        }
        ComposeFrame(running);
        SDL_SetRenderTarget(mpGUIRenderer, nullptr);
        SDL_Rect src{0, 0, WindowNativeSize.w, WindowNativeSize.h};
        SDL_Rect dst{0, 0, WindowCurrentSize.w, WindowCurrentSize.h};
        SDL_RenderCopyEx(mpGUIRenderer, mpBackBuffer, &src, &dst, ScreenRotate ? 180.0 : 0.0, nullptr, SDL_FLIP_NONE);
    }

    app->ComponentLogicCalled = false;
    app->DrawDurationMs = static_cast<int>(Platform.Ticks() - start);
    lock.release();

    const Uint32 now = PaceFrame(budget, true);
    if (mDrawEnabled)
        SDL_RenderPresent(mpGUIRenderer);

    const Uint32 end = Platform.Ticks();
    Uint32 whole = end - mLastDrawTime;
    Uint32 partial = now - mLastDrawTime;
    if (whole == 0 || whole > 0x7FFFFFFFu)
        whole = 1000;
    if (partial == 0 || partial > 0x7FFFFFFFu)
        partial = 1000;
    const unsigned long n = std::min<unsigned long>(mNumFrames + 1, static_cast<unsigned long>(mTargetFPS));
    mNumFrames = n;
    const float fn = static_cast<float>(n);
    mFPS = ((fn - 1.0f) * mFPS.load() + 1000.0f / static_cast<float>(whole)) / fn;
    mFPS_noVsync = ((fn - 1.0f) * mFPS_noVsync.load() + 1000.0f / static_cast<float>(partial)) / fn;
    mLastDrawTime = end;

    if (mDrawEnabled) {
        SDL_SetRenderTarget(mpGUIRenderer, mpBackBuffer);
        SDL_RenderClear(mpGUIRenderer);
    }
    return 0;
}

float TAppGuiModule::getFPS(float* nonVSyncFPS)
{
    if (nonVSyncFPS)
        *nonVSyncFPS = mFPS_noVsync;
    return mFPS;
}

void TAppGuiModule::SetTargetFPS(int fps)
{
    if (fps >= 1)
        mTargetFPS = fps;
}

void TAppGuiModule::updateLastDrawTime() { mLastDrawTime = mLastPaceTime = Platform.Ticks(); }

int TAppGuiModule::WindowToFullscreen()
{
    if (!mpWindow)
        return -1;
    int r = SDL_SetWindowFullscreen(mpWindow, SDL_WINDOW_FULLSCREEN_DESKTOP);
    RefreshSize();
    return r;
}

void TAppGuiModule::SetGlobalPixelFormat(SDL_PixelFormat* fmt)
{
    if (fmt)
        mGlobalPixelFormat = *fmt;
}

void TAppGuiModule::SetRendererStatic(SDL_Renderer* pRenderer) { mpGUIRendererStatic = pRenderer; }
void TAppGuiModule::SetWindowStatic(SDL_Window* pWindow) { mpWindowStatic = pWindow; }

TGuiComponent* TAppGuiModule::AddComponent(TGuiComponent* c)
{
    return TGuiListOps::Add(mpTopLevel, c, ModuleName);
}

TGuiComponent* TAppGuiModule::FindComponentByName(std::string name)
{
    return TGuiListOps::FindByName(*mpTopLevel, name);
}

bool TAppGuiModule::FindComponent(TGuiComponent* c) { return TGuiListOps::Find(*mpTopLevel, c); }

bool TAppGuiModule::RemoveComponent(TGuiComponent* c, bool deleteInstance)
{
    return TGuiListOps::Remove(*mpTopLevel, c, deleteInstance, ModuleName);
}

bool TAppGuiModule::RemoveComponent(std::string name, bool deleteInstance)
{
    return RemoveComponent(FindComponentByName(name), deleteInstance);
}

bool TAppGuiModule::BringComponentToFront(TGuiComponent* c) { return TGuiListOps::ToFront(*mpTopLevel, c); }
bool TAppGuiModule::SendComponentToBack(TGuiComponent* c) { return TGuiListOps::ToBack(*mpTopLevel, c); }

} // namespace vorel_sdl2
