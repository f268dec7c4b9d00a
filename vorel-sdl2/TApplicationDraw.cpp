// The draw thread and graphics start-up (full build only).
#include "TApplication.h"

#include "Platform.h"
#include "TAppGuiModule.h"

#include <SDL2/SDL.h>

#include <cstdio>
#include <thread>

namespace vorel_sdl2 {

void* GUI_LoadData = nullptr;
int GUI_LoadResult = -1;

namespace {

// Runs one piece of host code on the draw thread; an exception is reported
// and swallowed, so no lock stays held and nothing escapes the thread.
template <typename Fn>
bool Fenced(const char* step, Fn&& fn)
{
    try {
        fn();
        return true;
    } catch (...) {
        std::printf("TApplication:ApplicationDrawThread:%s unhandled exception\n", step);
        return false;
    }
}

// One frame: the draw thread owns the window, so it is the one thread that
// pumps SDL's events (ProcessNextEvent only takes them from the queue).
int PumpAndDraw(TApplication& app)
{
    SDL_PumpEvents();
    return app.DrawOnce();
}

// Wraps a command for bash -c '...' so that bash receives it byte for byte:
// each single quote closes the quoting, is escaped, and reopens it.
std::string SingleQuoted(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (char ch : text) {
        if (ch == '\'')
            out += "'\\''";
        else
            out += ch;
    }
    return out;
}

} // namespace

TAppGuiModule* TApplication::GUI() { return pAppGUI; }

void TApplication::CallGuiMainLogic()
{
    pAppGUI->mainLogic();
}

int TApplication::LoadGUI(void* data)
{
    // Each of these would wait for a state the draw thread never produces.
    if (!GUI()) {
        std::printf("APP WARNING: LoadGUI without a GUI module\n");
        return -1;
    }
    if (status() != APP_LOADING) {
        std::printf("APP WARNING: LoadGUI outside APP_LOADING\n");
        return -1;
    }
    if (mDrawThreadEnded || !mpDrawThread) {
        std::printf("APP WARNING: LoadGUI after the draw thread ended\n");
        return -1;
    }
    std::printf("========== MAIN THREAD: LoadGUI started ==========\n");
    GUI_LoadData = data;
    GUI_LoadResult = -1;
    advanceStatus(); // APP_LOADING -> APP_LOADING_GRAPHICS releases the draw thread
    // Until the draw thread has stored Load's result (it advances to
    // APP_LOADING_2 right after), or has ended without loading.
    while (!mGuiLoadDone && !mDrawThreadEnded) {
        TParamMan::Poll();
        TLogManager::Poll();
        std::this_thread::yield();
    }
    GUI_LoadData = nullptr;
    std::printf("========= MAIN THREAD: LoadGUI completed =========\n");
    return mGuiLoadDone ? GUI_LoadResult : -1;
}

void TApplication::DeferToDraw(const DeferredType& method, bool evenIfAlreadyInDraw)
{
    if (!method)
        return; // nothing would run; an empty call in the queue is skipped anyway
    DeferToDrawRender([method](SDL_Renderer*) { method(); }, evenIfAlreadyInDraw);
}

void TApplication::DeferToDrawRender(const DeferredDrawType& method, bool evenIfAlreadyInDraw)
{
    if (!evenIfAlreadyInDraw && IsInDrawThread() && !mIsExecutingDeferredMethods) {
        if (method)
            method(pAppGUI ? pAppGUI->GetRenderer() : nullptr);
        return;
    }
    SDL_LockMutex(mpDeferDrawQueueMutex);
    mDeferToDrawQueue.push(method);
    SDL_UnlockMutex(mpDeferDrawQueueMutex);
}

void TApplication::ExecuteDeferredDrawMethods(SDL_Renderer* renderer)
{
    // Restored rather than cleared, so a nested drain leaves the outer one marked.
    const bool outerDrain = mIsExecutingDeferredMethods;
    mIsExecutingDeferredMethods = true;
    SDL_LockMutex(mpDeferDrawQueueMutex);
    bool empty = mDeferToDrawQueue.empty();
    while (!empty) {
        DeferredDrawType item = std::move(mDeferToDrawQueue.front());
        mDeferToDrawQueue.pop();
        empty = mDeferToDrawQueue.empty();
        SDL_UnlockMutex(mpDeferDrawQueueMutex);
        if (item) {
            try {
                item(renderer);
            } catch (...) {
                WriteLog(0, 0, std::string("TApplication: ExecuteDeferredDrawMethods unhandled exception"));
            }
        }
        SDL_LockMutex(mpDeferDrawQueueMutex);
    }
    SDL_UnlockMutex(mpDeferDrawQueueMutex);
    mIsExecutingDeferredMethods = outerDrain;
}

int ApplicationDrawThread(void* data)
{
    TApplication* app = static_cast<TApplication*>(data);
    app->ThreadID_DrawThread = SDL_ThreadID();
    InstallSignalStack(); // a stack overflow on this thread is still handled
    TApplication::DrawThreadEndMark markEnded{app};
    std::printf("DRAW: Thread started, waiting for start of init...\n");
    int result = 0;
    app->waitForStatus(TApplication::APP_LOADING);

    TAppGuiModule* gui = app->GUI();
    if (!gui) {
        std::printf("DRAW: No GUI module found, exiting!\n");
        return 0;
    }

    std::printf("DRAW: waiting for end of main init (APP_LOADING)...\n");
    app->waitForStatus(TApplication::APP_LOADING_GRAPHICS);

    std::printf("DRAW: Loading GUI (APP_LOADING_GRAPHICS)...\n");
    int loadResult = -1;
    Fenced("Load", [&] { loadResult = gui->Load(GUI_LoadData); });
    GUI_LoadResult = loadResult;
    app->mGuiLoadDone = true;
    app->advanceStatus();

    std::printf("DRAW: Waiting for end of startup procedures (APP_STARTUP)...\n");
    do
        Fenced("DrawOnce", [&] { PumpAndDraw(*app); });
    while (app->status() < TApplication::APP_STARTUP_GRAPHICS);

    std::printf("DRAW: Setting up graphics (APP_STARTUP_GRAPHICS)...\n");
    // Under the draw lock: hosts build their component tree here while the
    // main loop may already run the components' mainLogic.
    bool setUp = false;
    app->lockDrawMutex();
    Fenced("SetupGraphics", [&] { setUp = app->SetupGraphics(); });
    app->unlockDrawMutex();
    if (setUp)
        app->advanceStatus();
    else
        std::printf("DRAW: Done! Waiting for application to advance status (APP_RUNNING)...\n");

    do
        Fenced("DrawOnce", [&] { PumpAndDraw(*app); });
    while (app->status() < TApplication::APP_RUNNING);

    std::printf("DRAW: Starting draw!\n");
    while (app->status() == TApplication::APP_RUNNING && result == 0) {
        Fenced("DrawOnce", [&] { result = PumpAndDraw(*app); });
        // DrawOnce usually returns non-zero because the status changed: a
        // termination type chosen by then is kept.
        if (result != 0)
            app->terminateIfRunning(NOTHING);
    }

    // Exit sequence.
    ETerminateType type;
    {
        ScopedLock lock(app->mAppStatus);
        if (app->mRebootOnExit && app->TerminationType == NOTHING)
            app->TerminationType = RESTART;
        type = app->TerminationType;
    }
    std::string cmd;
    Fenced("exit command", [&] {
        if (type == RESTART)
            cmd = Platform.ExitCommandParam(*app, "SHELL_CMD_RESTART");
        else if (type == SHUTDOWN)
            cmd = Platform.ExitCommandParam(*app, "SHELL_CMD_SHUTDOWN");
    });
    // A detached, delayed copy first: it runs even if the teardown below
    // hangs or crashes.
    if (!cmd.empty())
        Platform.RunCommand(("bash -c 'sleep 2; " + SingleQuoted(cmd) + "' &").c_str());

    // Destroy only once the main thread has left host code for good.
    app->mMainLoopLeft.wait(false);
    Fenced("Destroy", [&] {
        app->lockDrawMutex();
        struct Unlock {
            TApplication* a;
            ~Unlock()
            {
                a->unlockMainMutex();
                a->unlockDrawMutex();
            }
        };
        app->lockMainMutex();
        Unlock unlock{app};
        app->CallDestroyOnce();
    });
    SDL_Quit();
    if (!cmd.empty())
        Platform.RunCommand(cmd.c_str());
    return result;
}

} // namespace vorel_sdl2
