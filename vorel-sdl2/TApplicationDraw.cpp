// The draw thread and graphics start-up (full build only).
#include "TApplication.h"

#include "Platform.h"
#include "TAppGuiModule.h"

#include <SDL2/SDL.h>

#include <cmath>
#include <cstdio>
#include <thread>

namespace vorel_sdl2 {

extern const int vorel_variant_sdl2 = 1;

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

// The host's DrawOnce, fenced, after pumping SDL's events: the draw thread
// owns the window, so it is the one thread that pumps them (ProcessNextEvent
// only takes them from the queue). An exception counts as a failed frame: before
// APP_RUNNING the thread waits a frame after it (nothing else paces that
// loop), and in the frame loop kMaxFailedFrames in a row end the application
// as a non-zero result does. The fence line is printed at most once a second,
// with the number of exceptions since the last one.
class DrawOnceFence {
public:
    static constexpr unsigned kMaxFailedFrames = 100;
    static constexpr int kFailed = -1;

    explicit DrawOnceFence(TApplication& app) : mApp(app) {}

    void CallBeforeRunning()
    {
        int result = 0;
        if (!Call(result)) {
            unsigned fps = mApp.TargetFPS;
            Platform.Sleep(1000u / (fps ? fps : 60u));
        }
    }

    // DrawOnce's result, or kFailed after too many failed frames in a row.
    int CallInFrameLoop()
    {
        int result = 0;
        if (Call(result))
            return result;
        if (mInARow < kMaxFailedFrames)
            return 0;
        std::printf("DRAW: DrawOnce failed %u frames in a row, terminating\n", mInARow);
        return kFailed;
    }

private:
    bool Call(int& result)
    {
        SDL_PumpEvents();
        try {
            result = mApp.DrawOnce();
            mInARow = 0;
            return true;
        } catch (...) {
            ++mInARow;
            ++mUnreported;
            Uint32 now = Platform.Ticks();
            if (!mReported || now - mLastReport >= 1000) {
                if (mUnreported == 1)
                    std::printf("TApplication:ApplicationDrawThread:DrawOnce unhandled exception\n");
                else
                    std::printf("TApplication:ApplicationDrawThread:DrawOnce unhandled exception (%u times)\n",
                                mUnreported);
                mReported = true;
                mLastReport = now;
                mUnreported = 0;
            }
            return false;
        }
    }

    TApplication& mApp;
    unsigned mInARow = 0;
    unsigned mUnreported = 0;
    Uint32 mLastReport = 0;
    bool mReported = false;
};

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

// ---- The graphics steps of construction, destruction and Run. ----

void TApplication::StartGraphics()
{
    mpDrawMutex = SDL_CreateMutex();
    mpDeferDrawQueueMutex = SDL_CreateMutex();
    mpDrawThread = SDL_CreateThread(ApplicationDrawThread, "draw", this);
    if (mpDrawThread) {
        if (SDL_threadID id = SDL_GetThreadID(mpDrawThread))
            ThreadID_DrawThread = id;
    }
}

void TApplication::StopGraphics()
{
    // Run joins the draw thread. Without Run it still waits on the status
    // semaphores destroyed after this: end it and join it, whatever the GUI
    // module. The host's part of the object is gone by now, so it must not
    // call host code on its way out.
    if (mpDrawThread) {
        mAbandoned = true;
        setStatus(APP_TERMINATE);
        mMainLoopLeft = true;
        mMainLoopLeft.notify_all();
        SDL_WaitThread(mpDrawThread, nullptr);
        mpDrawThread = nullptr;
    }
    SDL_DestroyMutex(mpDrawMutex);
    SDL_DestroyMutex(mpDeferDrawQueueMutex);
}

void TApplication::EnterStartupGraphics()
{
    if (GUI())
        setStatus(APP_STARTUP_GRAPHICS); // the draw thread sets up graphics
    else
        setStatus(APP_RUNNING);
}

bool TApplication::TryLockLogicPart() { return SDL_TryLockMutex(mpDrawMutex) == 0; }
void TApplication::UnlockLogicPart() { SDL_UnlockMutex(mpDrawMutex); }

void TApplication::GraphicsLogic(LoopState& loop)
{
    // Not before APP_RUNNING: SetupGraphics builds the component tree then,
    // without the draw mutex.
    if (GUI() && status() == APP_RUNNING) {
        // At most once per drawn frame: the GUI module clears the flag after each.
        if (!ComponentLogicCalled) {
            pAppGUI->mainLogic();
            loop.thisProcessLoop = Platform.Ticks();
            LogicDurationMs = static_cast<int>(loop.thisProcessLoop - loop.lastProcessLoop);
            ComponentLogicCalled = true;
        } else {
            LogicDurationMs = 0;
        }
    }
    if (loop.elapsedSecondsSinceFPS >= 1.0) {
        loop.lastFpsUpdate = loop.thisProcessLoop;
        mCurrentFreq = static_cast<int>(std::floor(loop.numLoops / loop.elapsedSecondsSinceFPS));
        loop.numLoops = 0;
    }
}

int TApplication::EndGraphics(int statusMain)
{
    int statusDraw = 0;
    if (mpDrawThread) {
        SDL_WaitThread(mpDrawThread, &statusDraw);
        mpDrawThread = nullptr;
    }
    if (!GUI())
        CallDestroyOnce(); // with a GUI module the draw thread has done so
    return statusMain | (0 - statusDraw);
}

bool TApplication::ThreadCheck(Threads thread)
{
    return thread == THREAD_DRAW ? IsInDrawThread() : IsInMainThread();
}

// ---- Loading the GUI module and the draw queue. ----

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
    setStatus(APP_LOADING_GRAPHICS); // releases the draw thread
    // Until the draw thread has stored Load's result and entered APP_LOADING_2
    // (the host's next step must not overtake it), or has ended without loading.
    while (!(mGuiLoadDone && status() >= APP_LOADING_2) && !mDrawThreadEnded) {
        DrainDeferredBeforeLoop(); // Load may wait for a deferred call
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
    if (app->mAbandoned)
        return 0;

    TAppGuiModule* gui = app->GUI();
    if (!gui) {
        std::printf("DRAW: No GUI module found, exiting!\n");
        return 0;
    }

    std::printf("DRAW: waiting for end of main init (APP_LOADING)...\n");
    app->waitForStatus(TApplication::APP_LOADING_GRAPHICS);
    if (app->mAbandoned)
        return 0;

    std::printf("DRAW: Loading GUI (APP_LOADING_GRAPHICS)...\n");
    int loadResult = -1;
    Fenced("Load", [&] { loadResult = gui->Load(GUI_LoadData); });
    GUI_LoadResult = loadResult;
    app->mGuiLoadDone = true;
    Platform.HandOver("gui loaded");
    app->setStatus(TApplication::APP_LOADING_2);

    std::printf("DRAW: Waiting for end of startup procedures (APP_STARTUP)...\n");
    DrawOnceFence drawOnce(*app);
    do
        drawOnce.CallBeforeRunning();
    while (app->status() < TApplication::APP_STARTUP_GRAPHICS);

    std::printf("DRAW: Setting up graphics (APP_STARTUP_GRAPHICS)...\n");
    // Without the draw mutex, so that a waiting Defer made here is run by the
    // main loop; the components' mainLogic does not run before APP_RUNNING.
    bool setUp = false;
    Fenced("SetupGraphics", [&] { setUp = app->SetupGraphics(); });
    if (setUp)
        app->setStatus(TApplication::APP_RUNNING);
    else
        std::printf("DRAW: Done! Waiting for application to advance status (APP_RUNNING)...\n");

    do
        drawOnce.CallBeforeRunning();
    while (app->status() < TApplication::APP_RUNNING);

    std::printf("DRAW: Starting draw!\n");
    while (app->status() == TApplication::APP_RUNNING && result == 0) {
        result = drawOnce.CallInFrameLoop();
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
