// The application object: the spine of a vorel host.
//
// A host derives from TApplication, implements Init, Destroy, Startup, RunOnce
// and DrawOnce, constructs exactly one instance on the thread that is to be
// the main thread, registers its modules (and, in the full build, assigns its
// GUI module to pAppGUI), and calls Run. Run walks the eight start-up states
// together with the draw thread, then runs a paced main loop that moves
// generated actions into their queues, runs deferred calls, the host's
// RunOnce, actions and tasks per context, and polls the parameter and log
// managers. The object is at the same time the log, action, parameter and
// task manager (and, in the full build, the sound machine).
//
// Threads: status(), setStatus(), advanceStatus(), waitForStatus() and
// terminate() may be called from any thread; APP_TERMINATE is final and
// releases every waiter. Lock order: draw mutex, then main mutex, then the
// status lock. The main loop only try-locks the draw mutex, so it never waits
// for a frame. OnAppStateChanged runs under the status lock on whichever
// thread changed the state: an override must not wait for another thread
// that needs the status.
//
// Host code called by the loop (RunOnce, deferred calls, the normal-context
// actions and tasks) is fenced: an exception is reported on standard output
// and the loop carries on.
#pragma once

#include "TActionMan.h"
#include "TAppModule.h"
#include "TLogManager.h"
#include "TParamMan.h"
#include "TTaskMan.h"
#include "ThreadSafeProperty.h"
#ifndef VOREL_NOGFX
#include "TSoundMachine.h"
#endif

#include <SDL2/SDL_events.h>
#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_thread.h>

#include <atomic>
#include <functional>
#include <list>
#include <deque>
#include <queue>
#include <string>
#include <utility>

struct SDL_Renderer;

// Reference-counted payload of a swipe user event (an SDL_USEREVENT whose code
// has the bits 0x1010000 set). The host creates it and posts it; after
// dispatch ProcessNextEvent releases the poster's reference. incRef and
// decRef may be called from any thread; the last decRef deletes the object.
struct TSwipeData {
    TSwipeData(int direction, int startX, int startY, int posX, int posY, int relX, int relY, int startDiffX,
               int startDiffY, double speed, double velocityX, double velocityY);

    int Direction;
    int StartPos[2];
    int Position[2];
    int RelativeDiff[2];
    int StartDiff[2];
    double Speed;
    double Velocity[2];
    Uint32 StartTS;
    Uint32 EndTS;
    // Holders live on several threads (the poster, the event pump, handlers).
    std::atomic<unsigned int> ReferenceCounter;

    void incRef();
    // Deletes the object when the last holder lets go.
    void decRef();
};

namespace vorel_sdl2 {

// The two libraries lay TApplication out differently. Every unit that includes
// this header refers to a symbol that only the library of its own variant
// defines, so a host compiled for one variant fails to link against the other
// instead of corrupting memory at run time.
#ifdef VOREL_NOGFX
extern const int vorel_variant_nogfx;
[[gnu::used]] static const int* const vorel_variant_required = &vorel_variant_nogfx;
#else
extern const int vorel_variant_sdl2;
[[gnu::used]] static const int* const vorel_variant_required = &vorel_variant_sdl2;
#endif

class TAppGuiModule;

enum ETerminateType { NOTHING = 0, SHUTDOWN = 1, RESTART = 2 };

enum Threads { THREAD_MAIN = 0, THREAD_DRAW = 1 };

enum TFlavour {
    UNKNOWN_FLAVOUR = 0,
    MERIDAN_FLAVOUR = 1,
    CALDO_FLAVOUR = 2,
    CALDO2_FLAVOUR = 3,
    PELTA_FLAVOUR = 4,
    QUILO_FLAVOUR = 5,
    VUNT_FLAVOUR = 6,
    LORIMA_FLAVOUR = 7,
    ZEQ_FLAVOUR = 8,
    TAVRIN_FLAVOUR = 9
};

extern TFlavour TerminalFlavour;

class TApplication : public TLogManager,
                     public TActionMan,
                     public TParamMan,
                     public TTaskMan
#ifndef VOREL_NOGFX
    ,
                     public TSoundMachine
#endif
{
public:
    enum ApplicationState {
        APP_INITIALIZING = 0,
        APP_LOADING = 1,
        APP_LOADING_GRAPHICS = 2,
        APP_LOADING_2 = 3,
        APP_STARTUP = 4,
        APP_STARTUP_GRAPHICS = 5,
        APP_RUNNING = 6,
        APP_TERMINATE = 7
    };
    static constexpr int STATE_COUNT = 8;

    typedef std::function<void()> DeferredType;
    typedef std::function<void(SDL_Renderer*)> DeferredDrawType;

    TApplication();
    ~TApplication() override;

    // Host operations, in slot order after the log manager's.
    virtual int Init() = 0;
    virtual void Destroy() = 0;
    virtual void Startup() = 0;
    // Draw thread, once, in APP_STARTUP_GRAPHICS; true enters APP_RUNNING.
    // Runs without the draw mutex while the main loop runs unpaced, so it may
    // make a waiting Defer; the main loop calls the GUI module's mainLogic
    // only from APP_RUNNING on, so the component tree built here does not
    // change under it.
    virtual bool SetupGraphics();
    virtual std::string Version();
    virtual std::string Copyright();
    virtual int RunOnce() = 0;
    virtual int DrawOnce() = 0;
    virtual void PrintUsage();
    // Takes one SDL event and offers it, in list order, to the listeners that
    // were listed when it was taken and still are when their turn comes,
    // until one consumes it (Ioctl(MODULE_IOCTL_EVENT, &event) returns 1).
    // Listeners may add or remove listeners meanwhile. Returns 1 for an
    // event, 0 for none or for a suppressed function key. Once terminating it
    // posts SDL_QUIT and an Escape key-down, once, so a drain loop
    // `while (ProcessNextEvent()) {}` ends. In the full build the draw thread
    // pumps SDL's events once a frame (it owns the window) and this only
    // takes them from the queue, on any one thread; the headless build pumps
    // here, so call it from one thread only.
    virtual int ProcessNextEvent();
    virtual void PostSDLUserEvent(int UserCode, void* pUserData1, void* pUserData2);
    virtual void PostSDLKeyboardEvent(bool isPressed, SDL_Keycode key, SDL_Keymod mod);
    virtual void Quit();
    virtual void OnAppStateChanged(ApplicationState newState);

    // The start-up sequence and the main loop. Full build: returns RunOnce's
    // result OR-ed with the negated draw-thread result, after the draw thread
    // has ended. Headless: returns RunOnce's result; the host calls Destroy.
    // A RunOnce result other than 0 ends the loop; if the host has not
    // terminated the application by then, Run terminates it with NOTHING so
    // that the draw thread (and with it Run) ends instead of waiting for ever.
    // An exception that leaves Run (from Startup, say) passes on only after
    // the same end: APP_TERMINATE, the locks free, the draw thread's exit
    // sequence (Destroy, the exit command) completed.
    int Run();
    // Polls the log manager, then the parameter manager: log result in the
    // low byte, parameter result shifted left by 8.
    int Poll();

    // Lock-free: never waits for a thread that holds the status lock.
    ApplicationState status();
    void setStatus(ApplicationState state);
    void advanceStatus();
    void waitForStatus(ApplicationState state);
    // Sets TerminationType and enters APP_TERMINATE, atomically with
    // respect to other status changes.
    void terminate(ETerminateType type);

    void SetLogicInterval(unsigned int interval);
    unsigned int LogicInterval();
    int CurrentFrequency();
    const std::string& ClientID();
    void SetLogFile(const std::string& file);
    const std::string& LogFile();

    // Module registry and event listeners: main thread only, no lock. The
    // registry holds plain pointers and owns nothing except through
    // DestroyModules.
    //
    // AddModule: -1 for a null module or an empty name, -2 when
    // GetModuleByName already finds the name (an exact name, or a registered
    // name that begins with it), else 0. GetModuleByName: exact match first,
    // then the first name (in list order) that begins with the given one.
    // DropModule: -1 for a null module or an empty name, -2 when not
    // registered (by name: exact matches only); the module is not deleted.
    int AddModule(TAppModule* pModule);
    TAppModule* GetModuleByName(std::string ModuleName);
    int DropModule(TAppModule* pModule);
    int DropModule(std::string ModuleName);
    // Unloads and deletes every registered module in order and empties the
    // registry; returns how many Unload calls threw (those modules are dropped
    // but not deleted). A deleted module also leaves the listener list. An
    // Unload may drop or destroy modules; modules it adds are destroyed too.
    int DestroyModules();
    // A module is listed at most once; adding a listed one moves it.
    void AddEventListener(TAppModule* pModule, bool InsertFirst);
    void RemoveEventListener(TAppModule* pModule);
    void ClearAllEventListeners();

    // Deferred calls to the main thread; any thread may defer. The queue
    // mutex is never held while a call runs, so a call may defer further ones.
    //
    // Defer runs method at once when the caller is the main thread outside a
    // drain and evenIfAlreadyInMain is false; otherwise it queues it for the
    // main loop's next drain. With waitForExecution the caller blocks until
    // the call has run (or thrown). Waits that could never end are not made:
    //  - on the main thread (the only one that drains) a waiting Defer runs
    //    method at once, even inside a drain or with evenIfAlreadyInMain;
    //  - a thread that holds the main or the draw mutex (through
    //    lockMainMutex / lockDrawMutex / tryLockDrawMutex, e.g. from a deferred
    //    draw call or from component drawing) keeps the main loop from
    //    draining: its waiting Defer is dropped with a warning in the log;
    //  - before the main loop runs, the start-up phase of Run and LoadGUI's
    //    wait drain the queue too (a GUI module's Load, a DrawOnce before
    //    APP_RUNNING or a host thread may wait for a call meanwhile);
    //  - once the status is APP_TERMINATE the loop drains no more: a waiting
    //    Defer is dropped, and a waiter whose call is still queued withdraws
    //    it (the call never runs) and returns.
    // So a caller must not wait while holding a mutex of its own that the
    // deferred call (or the main loop pass before it) needs, and must not
    // lock the main or draw mutex by other means than these operations.
    // An exception from a queued call is logged and swallowed (its waiter is
    // released); one from a call run at once reaches the caller.
    void Defer(const DeferredType& method, bool evenIfAlreadyInMain = false, bool waitForExecution = false);
    // Defer that waits for completion, under the same rules.
    void DeferSync(const DeferredType& method, bool evenIfAlreadyInMain = false);
    // Drains the queue (main thread; the main loop calls it). Calls queued
    // while the last queued one runs are left for the next drain.
    void ExecuteDeferredMethods();
    bool IsInMainThread();

    // Recursive; a thread that must not run alongside a main-loop pass takes
    // the main mutex. Lock order: draw mutex before main mutex.
    void lockMainMutex();
    void unlockMainMutex();

    // True when the caller runs on the given thread; never asserts.
    bool ThreadCheck(Threads thread);

    // Calls the host's Destroy the first time only (later calls return
    // false): the draw thread's exit, Run without a GUI module and the
    // fatal-signal handler all end the host through here.
    bool CallDestroyOnce();

    // Signals and process utilities. SignalHandler runs on the thread that got
    // the signal: it logs the signal and the backtrace, terminates, calls
    // Destroy, then re-raises the signal or reboots (through Platform.Reboot;
    // a reboot that returns ends the process by the signal). A second signal
    // meanwhile, or a handling that overruns about five seconds, goes straight
    // to that final action.
    bool SignalHandler(int SigValue);
    std::string GetBinaryPath() const;
    int SetTerminalFlavour(std::string terminal_flavour);

protected:
    void SetClientID(const std::string& ClientID);
    void ExecuteActionsAndTasks(bool threadSafe);

private:
    unsigned int mLogicInterval;
    bool mIsExecutingMainDeferredMethods;
    std::deque<std::pair<DeferredType, SDL_sem*>> mDeferredQueue;
    int mCurrentFreq;
    SDL_threadID ThreadID_MainThread;

public:
    // Written by the draw thread after each frame, read by the main loop.
    std::atomic<bool> ComponentLogicCalled;
    // Guarded by the draw mutex: the GUI module writes it while drawing and
    // the main loop's logic part zeroes it. The other durations are the main
    // loop's own, written under the main mutex.
    int DrawDurationMs;
    int LogDurationMs;
    int ParamDurationMs;
    int TaskDurationMs;
    int ActionDurationMs;
    int RunDurationMs;
    int LogicDurationMs;
    Uint32 AppStartTicks;
    ETerminateType TerminationType;
    ThreadSafeProperty<bool> VSync;
    ThreadSafeProperty<unsigned int> TargetFPS;
    ThreadSafeProperty<unsigned int> TargetFrequency;
    bool mRebootOnExit;

protected:
    SDL_Event LastEvent;
    bool mDisableFunctionKeys;

private:
    std::string mLogFile;
    std::list<TAppModule*> ModuleList;
    std::string mClientID;
    std::list<TAppModule*> EventListenerList;
    std::list<TAppModule*>::iterator EventListenerListIterator;
    SDL_mutex* mpMainMutex;
    SDL_mutex* mpDeferQueueMutex;
    int mSwipeDist;
    ThreadSafeProperty<ApplicationState> mAppStatus;
    // status() reads this copy without the lock: the thread-safe part of a
    // pass holds the status lock across host code, and neither the draw
    // thread's frames nor that host code may wait for it.
    std::atomic<ApplicationState> mStatusMirror{APP_INITIALIZING};
    // ProcessNextEvent posts its quit events once per termination.
    std::atomic<bool> mQuitEventsPosted{false};
    SDL_sem* mStatusWaiter[STATE_COUNT];

    // terminate(type) unless the application is terminating already, so a
    // termination type chosen before is never replaced.
    void terminateIfRunning(ETerminateType type);

    std::atomic<bool> mDestroyCalled{false};
    // Set by Run once its loop has ended; the draw thread's exit waits for it
    // before it calls Destroy, so Destroy never runs beside host code there.
    std::atomic<bool> mMainLoopLeft{false};

    // What the main loop carries from one pass to the next.
    struct LoopState {
        Uint32 loopDurationMs = 1;
        Uint32 thisProcessLoop = 0;
        Uint32 lastProcessLoop = 0;
        Uint32 lastPoll = 0;
        Sint32 sleepDiffBuffer = 0;
        unsigned int numLoops = 0;
        Uint32 lastFpsUpdate = 0;
        double elapsedSecondsSinceFPS = 0.0;
        int statusMain = 0;
    };
    void RunStartupPhase();
    void DrainDeferredBeforeLoop();
    int FinishRun(int statusMain);
    bool RunPass(LoopState& loop);
    bool PacePass(LoopState& loop);
    bool RunLogicPart(LoopState& loop);

    // The graphics steps of construction, destruction and Run. The full build
    // defines them with the draw thread (TApplicationDraw.cpp); in the headless
    // build they do nothing, except that the start-up ends in APP_RUNNING and
    // the logic part of a pass always runs.
    void StartGraphics();           // draw mutexes, then the draw thread
    void StopGraphics();            // the draw thread ended and joined; mutexes freed
    void EnterStartupGraphics();    // after the start-up phase
    bool TryLockLogicPart();        // try-lock of the draw mutex
    void UnlockLogicPart();
    void GraphicsLogic(LoopState& loop); // the GUI module's mainLogic, the frequency measurement
    int EndGraphics(int statusMain);     // after the loop: the draw thread's end; Run's result

#ifndef VOREL_NOGFX
    // ---- Full build only: the GUI module, the draw thread and its queue. ----
public:
    TAppGuiModule* GUI();
    // Main thread, from Startup, in APP_LOADING: enters APP_LOADING_GRAPHICS
    // and returns the GUI module's Load result once the draw thread has
    // entered APP_LOADING_2 (or has ended), so the host's next step follows it.
    // -1 at once without a GUI module, outside APP_LOADING or without a draw thread.
    int LoadGUI(void* data);
    // Deferred calls to the draw thread, drained by the GUI module while it
    // draws. A call is run at once (with the GUI module's renderer) when the
    // caller is the draw thread outside a drain and evenIfAlreadyInDraw is
    // false. There is no waiting variant. An exception is logged and swallowed.
    void DeferToDraw(const DeferredType& method, bool evenIfAlreadyInDraw = false);
    void DeferToDrawRender(const DeferredDrawType& method, bool evenIfAlreadyInDraw = false);
    void ExecuteDeferredDrawMethods(SDL_Renderer* renderer);
    bool IsInDrawThread();
    void lockDrawMutex();
    void unlockDrawMutex();
    bool tryLockDrawMutex();

protected:
    TAppGuiModule* pAppGUI = nullptr;

private:
    bool mIsExecutingDeferredMethods = false;
    std::queue<DeferredDrawType> mDeferToDrawQueue;
    // Written by the draw thread itself too: SDL fills in a new thread's id
    // only once the thread runs.
    std::atomic<SDL_threadID> ThreadID_DrawThread{0};
    SDL_Thread* mpDrawThread = nullptr;
    SDL_mutex* mpDrawMutex = nullptr;
    SDL_mutex* mpDeferDrawQueueMutex = nullptr;
    // Hand-over between LoadGUI and the draw thread's Load step, and whether
    // the draw thread has ended (LoadGUI must not wait for it then).
    std::atomic<bool> mGuiLoadDone{false};
    std::atomic<bool> mDrawThreadEnded{false};
    // Set by the destructor when Run never ran: the host's part of the object
    // is gone, so the draw thread ends without calling into it.
    std::atomic<bool> mAbandoned{false};
    struct DrawThreadEndMark {
        TApplication* app;
        ~DrawThreadEndMark() { app->mDrawThreadEnded = true; }
    };
    friend int ApplicationDrawThread(void* data);
#endif
};

// Process-wide pointer to the one application; set by the constructor.
extern TApplication* pApp;

#ifndef VOREL_NOGFX
extern void* GUI_LoadData;
extern int GUI_LoadResult;
int ApplicationDrawThread(void* data);
#endif

void QuitSignalHandler(int SigValue);
std::string SystemCmdResult(const std::string& command);

// Routes the fatal and terminating signals (and SIGBUS) to QuitSignalHandler
// (with the sender's details, on an alternate stack), ignores SIGPIPE, and
// prepares the crash path: the unwinder, the addr2line path and the watchdog
// that bounds the handler's run time. The constructor calls it; calling it again is harmless.
void InstallSignalHandlers();
// Gives the calling thread an alternate signal stack (once), so that a stack
// overflow on it is still handled. The constructing thread gets one from
// InstallSignalHandlers; a long-lived thread of its own calls this at its start.
bool InstallSignalStack();
// Returns once no signal is being handled on another thread. A fatal signal's
// handling terminates the application, which lets Run return; the handler
// then ends the process itself (by the signal, or a reboot), bounded by its
// watchdog. Run waits here so that its return, and the host's return from
// main, cannot end the process first: that would skip the reboot.
void AwaitSignalHandling();

// An alternate signal stack for the calling thread for as long as the object
// lives (none is made if the thread has one): framework threads that come and
// go (asynchronous actions, asynchronous task workers) hold one, so a stack
// overflow on them still reaches the crash path.
class TThreadSignalStack {
public:
    TThreadSignalStack();
    ~TThreadSignalStack();
    TThreadSignalStack(const TThreadSignalStack&) = delete;
    TThreadSignalStack& operator=(const TThreadSignalStack&) = delete;

private:
    void* mBase = nullptr;
    size_t mSize = 0;
};

} // namespace vorel_sdl2
