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
#include <queue>
#include <string>
#include <utility>

struct SDL_Renderer;

// Reference-counted payload of a swipe user event (an SDL_USEREVENT whose code
// has the bits 0x1010000 set). The host creates it and posts it; after
// dispatch ProcessNextEvent releases the poster's reference.
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
    unsigned int ReferenceCounter;

    void incRef();
    // Deletes the object when the last holder lets go.
    void decRef();
};

namespace vorel_sdl2 {

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
    virtual bool SetupGraphics();
    virtual std::string Version();
    virtual std::string Copyright();
    virtual int RunOnce() = 0;
    virtual int DrawOnce() = 0;
    virtual void PrintUsage();
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
    int Run();
    // Polls the log manager, then the parameter manager: log result in the
    // low byte, parameter result shifted left by 8.
    int Poll();

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

    // Module registry and event listeners (main thread; no lock).
    int AddModule(TAppModule* pModule);
    TAppModule* GetModuleByName(std::string ModuleName);
    int DropModule(TAppModule* pModule);
    int DropModule(std::string ModuleName);
    int DestroyModules();
    void AddEventListener(TAppModule* pModule, bool InsertFirst);
    void RemoveEventListener(TAppModule* pModule);
    void ClearAllEventListeners();

    // Deferred calls. A waiting Defer must not be made by a thread that holds
    // the draw mutex, nor by the main thread when the call is queued.
    void Defer(const DeferredType& method, bool evenIfAlreadyInMain = false, bool waitForExecution = false);
    void DeferSync(const DeferredType& method, bool evenIfAlreadyInMain = false);
    void ExecuteDeferredMethods();
    bool IsInMainThread();

    void lockMainMutex();
    void unlockMainMutex();

    // True when the caller runs on the given thread; never asserts.
    bool ThreadCheck(Threads thread);

#ifndef VOREL_NOGFX
    TAppGuiModule* GUI();
    int LoadGUI(void* data);
    void DeferToDraw(const DeferredType& method, bool evenIfAlreadyInDraw = false);
    void DeferToDrawRender(const DeferredDrawType& method, bool evenIfAlreadyInDraw = false);
    void ExecuteDeferredDrawMethods(SDL_Renderer* renderer);
    bool IsInDrawThread();
    void lockDrawMutex();
    void unlockDrawMutex();
    bool tryLockDrawMutex();
#endif

    // Calls the host's Destroy the first time only (later calls return
    // false): the draw thread's exit, Run without a GUI module and the
    // fatal-signal handler all end the host through here.
    bool CallDestroyOnce();

    // Signals and process utilities.
    bool SignalHandler(int SigValue);
    std::string GetBinaryPath() const;
    int SetTerminalFlavour(std::string terminal_flavour);

protected:
    void SetClientID(const std::string& ClientID);
    void ExecuteActionsAndTasks(bool threadSafe);

private:
    unsigned int mLogicInterval;
    bool mIsExecutingMainDeferredMethods;
    std::queue<std::pair<DeferredType, SDL_sem*>> mDeferredQueue;
    int mCurrentFreq;
    SDL_threadID ThreadID_MainThread;
#ifndef VOREL_NOGFX
    bool mIsExecutingDeferredMethods;
    std::queue<DeferredDrawType> mDeferToDrawQueue;
    SDL_threadID ThreadID_DrawThread;
#endif

public:
    // Written by the draw thread after each frame, read by the main loop.
    std::atomic<bool> ComponentLogicCalled;
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
#ifndef VOREL_NOGFX
    TAppGuiModule* pAppGUI;
#endif

private:
    std::string mLogFile;
    std::list<TAppModule*> ModuleList;
    std::string mClientID;
    std::list<TAppModule*> EventListenerList;
    std::list<TAppModule*>::iterator EventListenerListIterator;
    SDL_mutex* mpMainMutex;
    SDL_mutex* mpDeferQueueMutex;
#ifndef VOREL_NOGFX
    SDL_Thread* mpDrawThread;
    SDL_mutex* mpDrawMutex;
    SDL_mutex* mpDeferDrawQueueMutex;
#endif
    int mSwipeDist;
    ThreadSafeProperty<ApplicationState> mAppStatus;
    SDL_sem* mStatusWaiter[STATE_COUNT];

    // Dispatch bookkeeping that keeps removal of listeners during
    // ProcessNextEvent safe: a removed entry is marked and erased after the walk.
    bool mDispatchingEvent = false;
    bool mListenersRemovedDuringDispatch = false;

    // terminate(type) unless the application is terminating already, so a
    // termination type chosen before is never replaced.
    void terminateIfRunning(ETerminateType type);

    std::atomic<bool> mDestroyCalled{false};
    // Set by Run once its loop has ended; the draw thread's exit waits for it
    // before it calls Destroy, so Destroy never runs beside host code there.
    std::atomic<bool> mMainLoopLeft{false};

#ifndef VOREL_NOGFX
    // The GUI module's mainLogic, called from the loop's logic part.
    void CallGuiMainLogic();
    friend int ApplicationDrawThread(void* data);
#endif
};

// Process-wide pointer to the one application; set by the constructor.
extern TApplication* pApp;

#ifndef VOREL_NOGFX
extern void* GUI_LoadData;
extern int GUI_LoadResult;
int ApplicationDrawThread(void* data);
// Text value of an exit-command parameter (SHELL_CMD_RESTART,
// SHELL_CMD_SHUTDOWN), empty when it does not exist. Replaceable, like
// Platform, so that a test can supply the commands.
extern std::string (*ReadExitCommandParam)(TApplication& app, const char* name);
#endif

void QuitSignalHandler(int SigValue);
std::string SystemCmdResult(const std::string& command);

} // namespace vorel_sdl2
