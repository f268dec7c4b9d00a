// The draw thread and graphics start-up (full build only).
#include "TApplication.h"

#include "TAppGuiModule.h"

#include <SDL2/SDL.h>

#include <cstdio>

namespace vorel_sdl2 {

void* GUI_LoadData = nullptr;
int GUI_LoadResult = -1;

TAppGuiModule* TApplication::GUI() { return pAppGUI; }

void TApplication::CallGuiMainLogic()
{
    pAppGUI->mainLogic();
}

int TApplication::LoadGUI(void* data)
{
    std::printf("========== MAIN THREAD: LoadGUI started ==========\n");
    GUI_LoadData = data;
    GUI_LoadResult = -1;
    advanceStatus(); // APP_LOADING -> APP_LOADING_GRAPHICS releases the draw thread
    while (status() < APP_LOADING_2) {
        TParamMan::Poll();
        TLogManager::Poll();
    }
    GUI_LoadData = nullptr;
    std::printf("========= MAIN THREAD: LoadGUI completed =========\n");
    return GUI_LoadResult;
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
    InstallSignalStack(); // a stack overflow on this thread is still handled
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
    GUI_LoadResult = gui->Load(GUI_LoadData);
    app->advanceStatus();

    std::printf("DRAW: Waiting for end of startup procedures (APP_STARTUP)...\n");
    do
        app->DrawOnce();
    while (app->status() < TApplication::APP_STARTUP_GRAPHICS);

    std::printf("DRAW: Setting up graphics (APP_STARTUP_GRAPHICS)...\n");
    if (app->SetupGraphics())
        app->advanceStatus();
    else
        std::printf("DRAW: Done! Waiting for application to advance status (APP_RUNNING)...\n");

    do
        app->DrawOnce();
    while (app->status() < TApplication::APP_RUNNING);

    std::printf("DRAW: Starting draw!\n");
    while (app->status() == TApplication::APP_RUNNING && result == 0) {
        result = app->DrawOnce();
        if (result != 0)
            app->terminate(NOTHING);
    }

    // Exit sequence. The restart and shutdown commands are application
    // parameters; they are looked up once the parameter manager holds any.
    if (app->mRebootOnExit && app->TerminationType == NOTHING)
        app->TerminationType = RESTART;
    try {
        app->lockDrawMutex();
        app->lockMainMutex();
        app->Destroy();
        app->unlockMainMutex();
        app->unlockDrawMutex();
    } catch (...) {
        // The mutexes are recursive and owned by this thread; let go of them
        // so SDL_Quit and the exit command still run.
        app->unlockMainMutex();
        app->unlockDrawMutex();
    }
    SDL_Quit();
    return result;
}

} // namespace vorel_sdl2
