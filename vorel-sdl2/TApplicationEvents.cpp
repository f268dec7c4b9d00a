// Module registry, event listeners, deferred calls and event dispatch.
#include "TApplication.h"

#ifndef VOREL_NOGFX
#include "TAppGuiModule.h"
#endif

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace vorel_sdl2 {

int TApplication::AddModule(TAppModule* pModule)
{
    if (!pModule || pModule->ModuleName.empty())
        return -1; // a nameless module could never be found again
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
    // Taken one at a time from the front, so an Unload that drops, destroys or
    // adds modules never leaves this walk holding a stale position.
    int failures = 0;
    while (!ModuleList.empty()) {
        TAppModule* m = ModuleList.front();
        bool unloaded = true;
        try {
            m->Unload();
        } catch (...) {
            unloaded = false;
            ++failures;
        }
        auto it = std::find(ModuleList.begin(), ModuleList.end(), m);
        if (it == ModuleList.end())
            continue; // Unload took it out itself; it is not ours to delete any more
        ModuleList.erase(it);
        if (!unloaded)
            continue; // a module that failed to unload is left alive
        // A deleted listener would be offered the next event.
        RemoveEventListener(m);
        delete m;
    }
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

void TApplication::RemoveEventListener(TAppModule* pModule)
{
    if (!pModule)
        return;
    EventListenerList.remove(pModule);
}

void TApplication::ClearAllEventListeners()
{
    EventListenerList.clear();
}

namespace {

// How deep the calling thread holds the main and the draw mutex. A thread
// that holds either keeps the main loop from draining deferred calls, so it
// must not wait for one.
thread_local int tMainMutexDepth = 0;
#ifndef VOREL_NOGFX
thread_local int tDrawMutexDepth = 0;
#else
constexpr int tDrawMutexDepth = 0;
#endif

// How often a waiting Defer looks whether the main loop has ended.
constexpr Uint32 kDeferWaitSliceMs = 50;

} // namespace

void TApplication::Defer(const DeferredType& method, bool evenIfAlreadyInMain, bool waitForExecution)
{
    if (IsInMainThread() && (waitForExecution || (!evenIfAlreadyInMain && !mIsExecutingMainDeferredMethods))) {
        // Only the main thread drains the queue: it must never wait for itself.
        if (method)
            method();
        return;
    }
    SDL_sem* done = nullptr;
    if (waitForExecution) {
        if (tMainMutexDepth > 0 || tDrawMutexDepth > 0) {
            WriteLog(4, 0, std::string("TApplication: Defer: waiting call made while holding the main or draw mutex "
                                       "could never run, dropped"));
            return;
        }
        if (status() == APP_TERMINATE) {
            WriteLog(4, 0, std::string("TApplication: Defer: waiting call made after the main loop ended, dropped"));
            return;
        }
        done = SDL_CreateSemaphore(0);
        if (!done) {
            // Queued without a waiter it could outlive what it refers to.
            WriteLog(4, 0, std::string("TApplication: Defer: no semaphore for a waiting call, dropped"));
            return;
        }
    }
    SDL_LockMutex(mpDeferQueueMutex);
    mDeferredQueue.emplace_back(method, done);
    SDL_UnlockMutex(mpDeferQueueMutex);
    if (!done)
        return;

    while (SDL_SemWaitTimeout(done, kDeferWaitSliceMs) == SDL_MUTEX_TIMEDOUT) {
        if (status() != APP_TERMINATE)
            continue;
        // No drain is coming. Withdraw the call unless a drain has already
        // taken it, so it never runs after this caller has gone.
        SDL_LockMutex(mpDeferQueueMutex);
        auto it = std::find_if(mDeferredQueue.begin(), mDeferredQueue.end(),
                               [done](const std::pair<DeferredType, SDL_sem*>& e) { return e.second == done; });
        const bool withdrawn = it != mDeferredQueue.end();
        if (withdrawn)
            mDeferredQueue.erase(it);
        SDL_UnlockMutex(mpDeferQueueMutex);
        if (withdrawn)
            WriteLog(4, 0, std::string("TApplication: Defer: the main loop ended before the call ran, withdrawn"));
        else
            SDL_SemWait(done); // running now; its drain posts when it is done
        break;
    }
    SDL_DestroySemaphore(done);
}

void TApplication::DeferSync(const DeferredType& method, bool evenIfAlreadyInMain)
{
    Defer(method, evenIfAlreadyInMain, true);
}

void TApplication::ExecuteDeferredMethods()
{
    // Restored rather than cleared, so a nested drain leaves the outer one marked.
    const bool outerDrain = mIsExecutingMainDeferredMethods;
    mIsExecutingMainDeferredMethods = true;
    SDL_LockMutex(mpDeferQueueMutex);
    bool empty = mDeferredQueue.empty();
    while (!empty) {
        std::pair<DeferredType, SDL_sem*> item = std::move(mDeferredQueue.front());
        mDeferredQueue.pop_front();
        empty = mDeferredQueue.empty();
        SDL_UnlockMutex(mpDeferQueueMutex);
        if (item.first) {
            try {
                item.first();
            } catch (...) {
                WriteLog(0, 0, std::string("TApplication: ExecuteDefreredMethods unhandled exception"));
            }
        }
        SDL_LockMutex(mpDeferQueueMutex);
        if (item.second)
            SDL_SemPost(item.second);
    }
    SDL_UnlockMutex(mpDeferQueueMutex);
    mIsExecutingMainDeferredMethods = outerDrain;
}

bool TApplication::IsInMainThread() { return SDL_ThreadID() == ThreadID_MainThread; }

void TApplication::lockMainMutex()
{
    SDL_LockMutex(mpMainMutex);
    ++tMainMutexDepth;
}

void TApplication::unlockMainMutex()
{
    --tMainMutexDepth;
    SDL_UnlockMutex(mpMainMutex);
}

#ifndef VOREL_NOGFX
bool TApplication::IsInDrawThread()
{
    SDL_threadID draw = ThreadID_DrawThread;
    return draw != 0 && SDL_ThreadID() == draw;
}

void TApplication::lockDrawMutex()
{
    SDL_LockMutex(mpDrawMutex);
    ++tDrawMutexDepth;
}

void TApplication::unlockDrawMutex()
{
    --tDrawMutexDepth;
    SDL_UnlockMutex(mpDrawMutex);
}

bool TApplication::tryLockDrawMutex()
{
    if (SDL_TryLockMutex(mpDrawMutex) != 0)
        return false;
    ++tDrawMutexDepth;
    return true;
}
#endif

int TApplication::ProcessNextEvent()
{
    if (status() == APP_TERMINATE && !mQuitEventsPosted.exchange(true)) {
        SDL_Event quit;
        SDL_zero(quit);
        quit.type = SDL_QUIT;
        SDL_PushEvent(&quit);
        PostSDLKeyboardEvent(true, SDLK_ESCAPE, KMOD_NONE);
    }
    // Polled into a local: SDL writes its end-of-poll marker into the event
    // even when it reports none, and LastEvent keeps the last real event.
    SDL_Event event;
#ifdef VOREL_NOGFX
    if (!SDL_PollEvent(&event))
        return 0;
#else
    // Only taken from the queue (which is thread-safe): pumping reads the
    // video driver and writes the window's state, so the draw thread, which
    // owns the window, pumps once a frame.
    if (SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) < 1)
        return 0;
#endif
    LastEvent = event;

#ifndef VOREL_NOGFX
    if (LastEvent.type == SDL_WINDOWEVENT && LastEvent.window.event == SDL_WINDOWEVENT_SIZE_CHANGED && GUI())
        GUI()->RefreshSize();
#endif

    // The walk goes over the listeners as they were when the event was taken;
    // each one is looked up in the live list before its turn, so listeners
    // may add or remove listeners (themselves included) while the event is
    // offered: a removed one is not offered it, an added one gets the next
    // event, and nobody is offered it twice.
    if (!EventListenerList.empty()) {
        const std::vector<TAppModule*> listeners(EventListenerList.begin(), EventListenerList.end());
        for (TAppModule* listener : listeners) {
            EventListenerListIterator = std::find(EventListenerList.begin(), EventListenerList.end(), listener);
            if (EventListenerListIterator == EventListenerList.end())
                continue;
            // Host code: a throwing listener is reported and counts as not
            // consuming, and the swipe payload below is still released.
            int consumed = 0;
            try {
                consumed = listener->Ioctl(MODULE_IOCTL_EVENT, reinterpret_cast<unsigned long>(&LastEvent));
            } catch (...) {
                std::printf("TApplication:ProcessNextEvent:Ioctl unhandled exception\n");
            }
            if (consumed == 1)
                break;
        }
        EventListenerListIterator = EventListenerList.end();
    }

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
