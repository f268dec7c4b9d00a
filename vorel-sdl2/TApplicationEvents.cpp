// Module registry, event listeners, deferred calls and event dispatch.
#include "TApplication.h"

#ifndef VOREL_NOGFX
#include "TAppGuiModule.h"
#endif

#include <algorithm>
#include <cstdio>
#include <exception>

namespace vorel_sdl2 {

int TApplication::AddModule(TAppModule* pModule)
{
    if (!pModule)
        return -1;
    if (GetModuleByName(pModule->ModuleName)) {
        std::printf("application::Module \"%s\" already exists in this application.\n", pModule->ModuleName.c_str());
        return -2;
    }
    ModuleList.push_back(pModule);
    std::printf("application::Module %s added.\n", pModule->ModuleName.c_str());
    return 0;
}

TAppModule* TApplication::GetModuleByName(std::string name)
{
    if (name.empty())
        return nullptr;
    for (TAppModule* m : ModuleList)
        if (m->ModuleName == name)
            return m;
    for (TAppModule* m : ModuleList)
        if (m->ModuleName.compare(0, name.size(), name) == 0)
            return m;
    return nullptr;
}

int TApplication::DropModule(TAppModule* pModule)
{
    if (!pModule)
        return -1;
    auto it = std::find(ModuleList.begin(), ModuleList.end(), pModule);
    if (it == ModuleList.end())
        return -2;
    std::printf("application::Dropping Module: %s\n", pModule->ModuleName.c_str());
    ModuleList.erase(it);
    return 0;
}

int TApplication::DropModule(std::string name)
{
    if (name.empty())
        return -1;
    auto it = std::find_if(ModuleList.begin(), ModuleList.end(),
                           [&](TAppModule* m) { return m->ModuleName == name; });
    if (it == ModuleList.end())
        return -2;
    std::printf("application::Dropping Module: %s\n", name.c_str());
    ModuleList.erase(it);
    return 0;
}

int TApplication::DestroyModules()
{
    int failures = 0;
    for (TAppModule* m : ModuleList) {
        try {
            m->Unload();
        } catch (...) {
            ++failures;
            continue; // a module that failed to unload is left alive
        }
        delete m;
    }
    ModuleList.clear();
    return failures;
}

void TApplication::AddEventListener(TAppModule* pModule, bool InsertFirst)
{
    if (!pModule)
        return;
    RemoveEventListener(pModule);
    if (InsertFirst)
        EventListenerList.push_front(pModule);
    else
        EventListenerList.push_back(pModule);
}

// During a dispatch the entries are only nulled, so the walk in
// ProcessNextEvent neither skips nor repeats a listener that is still listed;
// the walk erases them when it is done.
void TApplication::RemoveEventListener(TAppModule* pModule)
{
    if (!pModule)
        return;
    if (mDispatchingEvent) {
        for (TAppModule*& m : EventListenerList)
            if (m == pModule) {
                m = nullptr;
                mListenersRemovedDuringDispatch = true;
            }
        return;
    }
    EventListenerList.remove(pModule);
}

void TApplication::ClearAllEventListeners()
{
    if (mDispatchingEvent) {
        for (TAppModule*& m : EventListenerList)
            m = nullptr;
        mListenersRemovedDuringDispatch = true;
        return;
    }
    EventListenerList.clear();
}

void TApplication::Defer(const DeferredType& method, bool evenIfAlreadyInMain, bool waitForExecution)
{
    if (!evenIfAlreadyInMain && IsInMainThread() && !mIsExecutingMainDeferredMethods) {
        method();
        return;
    }
    SDL_sem* done = nullptr;
    SDL_LockMutex(mpDeferQueueMutex);
    if (waitForExecution)
        done = SDL_CreateSemaphore(0);
    mDeferredQueue.emplace(method, done);
    SDL_UnlockMutex(mpDeferQueueMutex);
    if (done) {
        SDL_SemWait(done);
        SDL_DestroySemaphore(done);
    }
}

void TApplication::DeferSync(const DeferredType& method, bool evenIfAlreadyInMain)
{
    // On the main thread a queued waiting call could never be served: run it
    // here instead of waiting for ourselves.
    if (IsInMainThread()) {
        if (method)
            method();
        return;
    }
    Defer(method, evenIfAlreadyInMain, true);
}

void TApplication::ExecuteDeferredMethods()
{
    mIsExecutingMainDeferredMethods = true;
    SDL_LockMutex(mpDeferQueueMutex);
    bool empty = mDeferredQueue.empty();
    while (!empty) {
        std::pair<DeferredType, SDL_sem*> item = mDeferredQueue.front();
        mDeferredQueue.pop();
        empty = mDeferredQueue.empty();
        SDL_UnlockMutex(mpDeferQueueMutex);
        if (item.first) {
            try {
                item.first();
            } catch (...) {
                WriteLog(0, 0, "TApplication: ExecuteDefreredMethods unhandled exception");
            }
        }
        SDL_LockMutex(mpDeferQueueMutex);
        if (item.second)
            SDL_SemPost(item.second);
    }
    SDL_UnlockMutex(mpDeferQueueMutex);
    mIsExecutingMainDeferredMethods = false;
}

int TApplication::ProcessNextEvent()
{
    if (status() == APP_TERMINATE) {
        SDL_Event quit;
        SDL_zero(quit);
        quit.type = SDL_QUIT;
        SDL_PushEvent(&quit);
        PostSDLKeyboardEvent(true, SDLK_ESCAPE, KMOD_NONE);
    }
    if (!SDL_PollEvent(&LastEvent))
        return 0;

#ifndef VOREL_NOGFX
    if (LastEvent.type == SDL_WINDOWEVENT && LastEvent.window.event == SDL_WINDOWEVENT_SIZE_CHANGED && GUI())
        GUI()->RefreshSize();
#endif

    mDispatchingEvent = true;
    for (EventListenerListIterator = EventListenerList.begin(); EventListenerListIterator != EventListenerList.end();
         ++EventListenerListIterator) {
        TAppModule* listener = *EventListenerListIterator;
        if (listener && listener->Ioctl(MODULE_IOCTL_EVENT, reinterpret_cast<unsigned long>(&LastEvent)) == 1)
            break;
    }
    mDispatchingEvent = false;
    if (mListenersRemovedDuringDispatch) {
        EventListenerList.remove(nullptr);
        mListenersRemovedDuringDispatch = false;
    }
    EventListenerListIterator = EventListenerList.end();

    if (LastEvent.type == SDL_USEREVENT && (LastEvent.user.code & 0x1010000) == 0x1010000 && LastEvent.user.data1)
        static_cast<TSwipeData*>(LastEvent.user.data1)->decRef();

    if (mDisableFunctionKeys && (LastEvent.type == SDL_KEYDOWN || LastEvent.type == SDL_KEYUP) &&
        LastEvent.key.keysym.sym >= SDLK_F1 && LastEvent.key.keysym.sym <= SDLK_F12)
        return 0;
    return 1;
}

void TApplication::PostSDLUserEvent(int UserCode, void* pUserData1, void* pUserData2)
{
    SDL_Event e;
    SDL_zero(e);
    e.type = SDL_USEREVENT;
    e.user.code = UserCode;
    e.user.data1 = pUserData1;
    e.user.data2 = pUserData2;
    SDL_PushEvent(&e);
}

void TApplication::PostSDLKeyboardEvent(bool isPressed, SDL_Keycode key, SDL_Keymod mod)
{
    SDL_Event e;
    SDL_zero(e);
    e.type = isPressed ? SDL_KEYDOWN : SDL_KEYUP;
    e.key.state = isPressed ? SDL_PRESSED : SDL_RELEASED;
    e.key.keysym.sym = key;
    e.key.keysym.mod = static_cast<Uint16>(mod);
    SDL_PushEvent(&e);
}

} // namespace vorel_sdl2
