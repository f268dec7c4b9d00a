#include "TApplication.h"

#include "Platform.h"
#include "TJournal.h"
#include "TServiceNotify.h"

#include <SDL2/SDL_timer.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <utility>


TSwipeData::TSwipeData(int direction, int startX, int startY, int posX, int posY, int relX, int relY,
                       int startDiffX, int startDiffY, double speed, double velocityX, double velocityY)
    : Direction(direction), StartPos{startX, startY}, Position{posX, posY}, RelativeDiff{relX, relY},
      StartDiff{startDiffX, startDiffY}, Speed(speed), Velocity{velocityX, velocityY}, StartTS(0), EndTS(0),
      ReferenceCounter(1)
{
}

void TSwipeData::incRef() { ++ReferenceCounter; }

void TSwipeData::decRef()
{
    if (ReferenceCounter == 0 || --ReferenceCounter == 0)
        delete this;
}

namespace vorel_sdl2 {

TApplication* pApp = nullptr;

namespace {

constexpr unsigned int kDefaultFrequency = 1000;
constexpr unsigned int kDefaultFPS = 60;

std::string TrimSpaces(const std::string& s)
{
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// A positive decimal number, or 0 for anything else.
unsigned int PositiveNumber(const char* text)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || errno != 0 || v <= 0 || v > 1000000)
        return 0;
    return static_cast<unsigned int>(v);
}


// Holds an SDL mutex for a scope, so no exit of the scope leaves it locked.
class MutexLock {
public:
    explicit MutexLock(SDL_mutex* mutex) : mMutex(mutex) { SDL_LockMutex(mMutex); }
    ~MutexLock() { SDL_UnlockMutex(mMutex); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    SDL_mutex* mMutex;
};

template <typename Fn>
class OnScopeExit {
public:
    explicit OnScopeExit(Fn fn) : mFn(std::move(fn)) {}
    ~OnScopeExit() { mFn(); }
    OnScopeExit(const OnScopeExit&) = delete;
    OnScopeExit& operator=(const OnScopeExit&) = delete;

private:
    Fn mFn;
};

} // namespace

TApplication::TApplication()
    : mLogicInterval(10), mIsExecutingMainDeferredMethods(false), mCurrentFreq(0),
      ThreadID_MainThread(SDL_ThreadID()), ComponentLogicCalled(false), DrawDurationMs(0), LogDurationMs(0),
      ParamDurationMs(0), TaskDurationMs(0), ActionDurationMs(0), RunDurationMs(0), LogicDurationMs(0),
      AppStartTicks(0), TerminationType(NOTHING), VSync(false), TargetFPS(kDefaultFPS),
      TargetFrequency(kDefaultFrequency), mRebootOnExit(true), mDisableFunctionKeys(false), mLogFile("tmpLog.txt"),
      mpMainMutex(nullptr), mpDeferQueueMutex(nullptr), mSwipeDist(-1), mAppStatus(APP_INITIALIZING),
      mStatusWaiter{}
{
    std::memset(&LastEvent, 0, sizeof LastEvent);
    PrefixStatusLines(); // before the first status line

    if (const char* logName = std::getenv("LOG_FILENAME"))
        mLogFile = TrimSpaces(logName);
    else
        std::printf("APP WARNING: No Log file set! Writing to %s\n", mLogFile.c_str());

    if (const char* noReboot = std::getenv("DISABLE_REBOOT_ON_EXIT")) {
        if (noReboot[0] == '\0' || std::strcmp(noReboot, "0") == 0) {
            std::printf("Will reboot system after close!\n");
            mRebootOnExit = true;
        } else {
            mRebootOnExit = false;
        }
    } else {
        mRebootOnExit = true;
    }

    mDisableFunctionKeys = false;
    pApp = this;

    InstallSignalHandlers();

    mSwipeDist = -1;

    for (SDL_sem*& sem : mStatusWaiter)
        sem = SDL_CreateSemaphore(0);
    SDL_SemPost(mStatusWaiter[APP_INITIALIZING]);
    mAppStatus = APP_INITIALIZING;

    ComponentLogicCalled = false;
    mCurrentFreq = 0;
    TerminationType = NOTHING;
    mpMainMutex = SDL_CreateMutex();
    mpDeferQueueMutex = SDL_CreateMutex();
    mLogicInterval = 10;

    const char* fps = std::getenv("FPS");
    const char* cpuFps = std::getenv("CPU_FPS");
    const char* vsync = std::getenv("VSYNC");
    VSync = vsync != nullptr && std::strcmp(vsync, "1") == 0;
    TargetFPS = fps ? static_cast<unsigned int>(std::atoi(fps)) : kDefaultFPS;
    unsigned int frequency = kDefaultFrequency;
    if (cpuFps) {
        frequency = PositiveNumber(cpuFps);
        if (frequency == 0) {
            // 0 or a non-number would leave the pass length undefined.
            std::printf("APP WARNING: CPU_FPS \"%s\" is not a positive number, using %u\n", cpuFps,
                        kDefaultFrequency);
            frequency = kDefaultFrequency;
        }
    }
    TargetFrequency = frequency;

    AppStartTicks = Platform.Ticks();
    mClientID = "";
    mIsExecutingMainDeferredMethods = false;
    StartGraphics(); // last: the draw thread may start reading the object at once
}

TApplication::~TApplication()
{
    // A signal that arrives after this point must not reach a destroyed object.
    if (pApp == this)
        pApp = nullptr;
    StopGraphics();
    for (SDL_sem*& sem : mStatusWaiter) {
        SDL_DestroySemaphore(sem);
        sem = nullptr;
    }
    SDL_DestroyMutex(mpMainMutex);
    SDL_DestroyMutex(mpDeferQueueMutex);
    // Waiters of a queued Defer that never ran would block for ever.
    while (!mDeferredQueue.empty()) {
        if (mDeferredQueue.front().second)
            SDL_SemPost(mDeferredQueue.front().second);
        mDeferredQueue.pop_front();
    }
}

bool TApplication::SetupGraphics() { return true; }
std::string TApplication::Version() { return std::string(); }
std::string TApplication::Copyright() { return std::string(); }

void TApplication::PrintUsage()
{
    std::printf("Application usage not defined. Contact vendor.\n");
}

void TApplication::Quit()
{
    PostSDLKeyboardEvent(true, SDLK_ESCAPE, KMOD_NONE);
}

void TApplication::OnAppStateChanged(ApplicationState) {}

int TApplication::Poll()
{
    int log = TLogManager::Poll();
    int params = TParamMan::Poll();
    return log | (params << 8);
}

TApplication::ApplicationState TApplication::status()
{
    return mStatusMirror.load();
}

void TApplication::setStatus(ApplicationState state)
{
    ScopedLock lock(mAppStatus);
    ApplicationState current = &mAppStatus;
    if (current == APP_TERMINATE || state <= current)
        return;
    int first = state == APP_TERMINATE ? 0 : current + 1;
    for (int s = first; s <= state; ++s)
        if (SDL_SemValue(mStatusWaiter[s]) == 0)
            SDL_SemPost(mStatusWaiter[s]);
    &mAppStatus = state;
    mStatusMirror = state;
    OnAppStateChanged(state);
}

void TApplication::advanceStatus()
{
    ScopedLock lock(mAppStatus);
    ApplicationState current = &mAppStatus;
    if (current != APP_TERMINATE)
        setStatus(static_cast<ApplicationState>(current + 1));
}

void TApplication::waitForStatus(ApplicationState state)
{
    ApplicationState current = status();
    if (current < state && current != APP_TERMINATE)
        SDL_SemWait(mStatusWaiter[state]);
}

void TApplication::terminate(ETerminateType type)
{
    ScopedLock lock(mAppStatus);
    TerminationType = type;
    setStatus(APP_TERMINATE);
}

void TApplication::terminateIfRunning(ETerminateType type)
{
    ScopedLock lock(mAppStatus);
    if (&mAppStatus != APP_TERMINATE)
        terminate(type);
}

bool TApplication::CallDestroyOnce()
{
    if (mDestroyCalled.exchange(true))
        return false;
    Destroy();
    return true;
}

void TApplication::SetLogicInterval(unsigned int interval) { mLogicInterval = interval; }
unsigned int TApplication::LogicInterval() { return mLogicInterval; }
int TApplication::CurrentFrequency() { return mCurrentFreq; }
const std::string& TApplication::ClientID() { return mClientID; }
void TApplication::SetLogFile(const std::string& file) { mLogFile = file; }
const std::string& TApplication::LogFile() { return mLogFile; }

void TApplication::SetClientID(const std::string& clientID)
{
    UpdateClientID(clientID, mClientID);
    mClientID = clientID;
}

void TApplication::ExecuteActionsAndTasks(bool threadSafe)
{
    Uint32 start = Platform.Ticks();
    ExecuteActions(threadSafe ? ACTION_THREAD_SAFE : ACTION_NORMAL);
    Uint32 afterActions = Platform.Ticks();
    ActionDurationMs += static_cast<int>(afterActions - start);
    ProcessTasks(threadSafe ? TASK_THREAD_SAFE : TASK_NORMAL);
    TaskDurationMs += static_cast<int>(Platform.Ticks() - afterActions);
}

int TApplication::Run()
{
    // Left by an exception (a throwing Startup, bad_alloc), Run still ends the
    // application as a returning one does, while the exception passes on: the
    // locks are scoped, and this terminates, marks the loop as left and lets
    // the draw thread's exit sequence complete.
    bool finished = false;
    OnScopeExit finishOnException([this, &finished] {
        if (finished)
            return;
        try {
            FinishRun(0);
        } catch (...) {
            std::printf("TApplication:Run:exit unhandled exception\n");
        }
    });

    ServiceNotify.Begin(Platform.Ticks());
    // Every step of the start-up walk names its target state, so a step that
    // comes late (or after the host jumped ahead) changes nothing.
    setStatus(APP_LOADING); // releases the draw thread
    Startup();
    RunStartupPhase();
    EnterStartupGraphics();

    LoopState loop;
    loop.loopDurationMs = 1000u / static_cast<unsigned int>(TargetFrequency);
    // A whole pass before now, so the first paced pass never sleeps: measured
    // from tick 0 it would, in a process whose tick counter started a moment
    // ago, and hold READY back by a whole pass.
    loop.lastProcessLoop = Platform.Ticks() - loop.loopDurationMs;
    loop.lastPoll = Platform.Ticks();
    loop.lastFpsUpdate = Platform.Ticks();
    while (loop.statusMain == 0 && RunPass(loop)) {
    }
    finished = true;
    return FinishRun(loop.statusMain);
}

int TApplication::FinishRun(int statusMain)
{
    // The loop also ends on a RunOnce result or a failed sleep; make the end
    // final so the draw thread leaves its loop and nobody waits for ever.
    terminateIfRunning(NOTHING);
    ServiceNotify.End();

    mMainLoopLeft = true;
    mMainLoopLeft.notify_all();
    const int result = EndGraphics(statusMain);
    AwaitSignalHandling();
    return result;
}

// Keeps actions, tasks, parameters and the log flowing until the host
// declares its start-up done (or the application ends). Deferred calls run
// too, so that a thread waiting for one before the main loop (a start-up
// thread of the host, a DrawOnce before APP_RUNNING) does not hold up the
// start-up it is part of.
void TApplication::RunStartupPhase()
{
    while (status() < APP_STARTUP) {
        MutexLock mainLock(mpMainMutex);
        DrainDeferredBeforeLoop();
        ProcessActions();
        ExecuteActions(ACTION_THREAD_SAFE);
        ExecuteActions(ACTION_ASYNC);
        ProcessTasks(TASK_THREAD_SAFE);
        TParamMan::Poll();
        TLogManager::Poll();
    }
}

// The main queue outside the main loop's logic part, under the same rule: not
// while the GUI module draws.
void TApplication::DrainDeferredBeforeLoop()
{
    if (!TryLockLogicPart())
        return;
    OnScopeExit unlock([this] { UnlockLogicPart(); });
    ExecuteDeferredMethods();
}

// One pass of the main loop, holding the main mutex throughout; false when
// the loop is to end.
bool TApplication::RunPass(LoopState& loop)
{
    MutexLock mainLock(mpMainMutex);
    loop.thisProcessLoop = Platform.Ticks();
    if (status() == APP_RUNNING && !PacePass(loop))
        return false;
    if (status() == APP_TERMINATE)
        return false;
    // Readiness and watchdog keep-alives; one flag test without a manager.
    if (ServiceNotify.Active())
        ServiceNotify.Pass(loop.thisProcessLoop, status() == APP_RUNNING);

    RunDurationMs = TaskDurationMs = ActionDurationMs = 0;
    ProcessActions();
    if (status() == APP_TERMINATE)
        return false;
    if (!RunLogicPart(loop))
        return false;

    {
        ScopedLock statusLock(mAppStatus);
        if (&mAppStatus == APP_TERMINATE)
            return false;
        ExecuteActionsAndTasks(true);
        ExecuteActions(ACTION_ASYNC);
        Uint32 t0 = Platform.Ticks();
        TParamMan::Poll();
        Uint32 t1 = Platform.Ticks();
        ParamDurationMs = static_cast<int>(t1 - t0);
        TLogManager::Poll();
        LogDurationMs = static_cast<int>(Platform.Ticks() - t1);
    }
    ++loop.numLoops;
    return true;
}

// Sleeps what is left of the pass; the overrun of one pass shortens the next
// sleep. False when the sleep failed.
bool TApplication::PacePass(LoopState& loop)
{
    loop.elapsedSecondsSinceFPS = (loop.thisProcessLoop - loop.lastFpsUpdate) * 0.001;
    Uint32 elapsedMs = loop.thisProcessLoop - loop.lastProcessLoop;
    if (static_cast<Sint64>(elapsedMs) + loop.sleepDiffBuffer >= static_cast<Sint64>(loop.loopDurationMs)) {
        loop.sleepDiffBuffer = 0;
    } else {
        Uint32 toSleepMs = loop.loopDurationMs - elapsedMs - loop.sleepDiffBuffer;
        if (Platform.Sleep(toSleepMs) != 0) {
            std::printf("Nano sleep system call failed \n");
            return false;
        }
        Uint32 afterSleep = Platform.Ticks();
        loop.sleepDiffBuffer = static_cast<Sint32>(afterSleep - loop.thisProcessLoop) + loop.sleepDiffBuffer +
                               static_cast<Sint32>(elapsedMs) - static_cast<Sint32>(loop.loopDurationMs);
        loop.thisProcessLoop = afterSleep;
    }
    loop.lastProcessLoop = loop.thisProcessLoop;
    return true;
}

// Deferred calls, the GUI module's logic, RunOnce and the normal-context
// actions and tasks; skipped for this pass while the GUI module draws. False
// when the application terminated meanwhile.
bool TApplication::RunLogicPart(LoopState& loop)
{
    if (!TryLockLogicPart())
        return true;
    OnScopeExit unlock([this] { UnlockLogicPart(); });
    try {
        DrawDurationMs = 0;
        ExecuteDeferredMethods();
        if (status() == APP_TERMINATE)
            return false;
        GraphicsLogic(loop);
        if (loop.thisProcessLoop - loop.lastPoll >= mLogicInterval) {
            loop.statusMain = RunOnce();
            loop.lastPoll = loop.thisProcessLoop;
            RunDurationMs = static_cast<int>(Platform.Ticks() - loop.thisProcessLoop);
        }
        if (status() == APP_TERMINATE)
            return false;
        ExecuteActionsAndTasks(false);
    } catch (const std::exception& e) {
        std::printf("Std exception: %s\n", e.what());
    } catch (...) {
        std::printf("Unknown exception\n");
    }
    return true;
}

#ifdef VOREL_NOGFX
extern const int vorel_variant_nogfx = 1;

// The headless build has no draw thread and no draw mutex: its graphics steps
// are empty, the start-up ends in APP_RUNNING, and the logic part always runs.
void TApplication::StartGraphics() {}
void TApplication::StopGraphics() {}
void TApplication::EnterStartupGraphics() { setStatus(APP_RUNNING); }
bool TApplication::TryLockLogicPart() { return true; }
void TApplication::UnlockLogicPart() {}
void TApplication::GraphicsLogic(LoopState&) {}
int TApplication::EndGraphics(int statusMain) { return statusMain; }
bool TApplication::ThreadCheck(Threads thread) { return thread == THREAD_MAIN && IsInMainThread(); }
#endif

} // namespace vorel_sdl2
