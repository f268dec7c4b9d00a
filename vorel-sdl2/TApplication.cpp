#include "TApplication.h"

#include "Platform.h"
#include "TJournal.h"
#include "TServiceNotify.h"

#include <SDL2/SDL_timer.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>


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

// Sleeps the whole interval; a signal that interrupts the sleep shortens it
// only by the time already slept. False on any other failure.
bool SleepMs(unsigned int ms)
{
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0) {
        if (errno != EINTR)
            return false;
        req = rem;
    }
    return true;
}

} // namespace

TApplication::TApplication()
    : mLogicInterval(10), mIsExecutingMainDeferredMethods(false), mCurrentFreq(0),
      ThreadID_MainThread(SDL_ThreadID()),
#ifndef VOREL_NOGFX
      mIsExecutingDeferredMethods(false), ThreadID_DrawThread(0),
#endif
      ComponentLogicCalled(false), DrawDurationMs(0), LogDurationMs(0), ParamDurationMs(0), TaskDurationMs(0),
      ActionDurationMs(0), RunDurationMs(0), LogicDurationMs(0), AppStartTicks(0), TerminationType(NOTHING),
      VSync(false), TargetFPS(kDefaultFPS), TargetFrequency(kDefaultFrequency), mRebootOnExit(true),
      mDisableFunctionKeys(false),
#ifndef VOREL_NOGFX
      pAppGUI(nullptr),
#endif
      mLogFile("tmpLog.txt"), mpMainMutex(nullptr), mpDeferQueueMutex(nullptr),
#ifndef VOREL_NOGFX
      mpDrawThread(nullptr), mpDrawMutex(nullptr), mpDeferDrawQueueMutex(nullptr),
#endif
      mSwipeDist(-1), mAppStatus(APP_INITIALIZING), mStatusWaiter{}
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
#ifndef VOREL_NOGFX
    mpDrawMutex = SDL_CreateMutex();
#endif

    for (SDL_sem*& sem : mStatusWaiter)
        sem = SDL_CreateSemaphore(0);
    SDL_SemPost(mStatusWaiter[APP_INITIALIZING]);
    mAppStatus = APP_INITIALIZING;

    ComponentLogicCalled = false;
    mCurrentFreq = 0;
    TerminationType = NOTHING;
    mpMainMutex = SDL_CreateMutex();
    mpDeferQueueMutex = SDL_CreateMutex();
#ifndef VOREL_NOGFX
    pAppGUI = nullptr;
    mpDeferDrawQueueMutex = SDL_CreateMutex();
#endif
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
#ifndef VOREL_NOGFX
    mIsExecutingDeferredMethods = false;
    mpDrawThread = SDL_CreateThread(ApplicationDrawThread, "draw", this);
    if (mpDrawThread) {
        if (SDL_threadID id = SDL_GetThreadID(mpDrawThread))
            ThreadID_DrawThread = id;
    }
#endif
}

TApplication::~TApplication()
{
    // A signal that arrives after this point must not reach a destroyed object.
    if (pApp == this)
        pApp = nullptr;
#ifndef VOREL_NOGFX
    // Run joins the draw thread. An application destroyed without Run would
    // leave it blocked on semaphores that are destroyed below; without a GUI
    // module the thread only needs the final state to end by itself.
    if (mpDrawThread && !pAppGUI) {
        setStatus(APP_TERMINATE);
        SDL_WaitThread(mpDrawThread, nullptr);
        mpDrawThread = nullptr;
    }
#endif
    for (SDL_sem*& sem : mStatusWaiter) {
        SDL_DestroySemaphore(sem);
        sem = nullptr;
    }
    SDL_DestroyMutex(mpMainMutex);
#ifndef VOREL_NOGFX
    SDL_DestroyMutex(mpDrawMutex);
    SDL_DestroyMutex(mpDeferDrawQueueMutex);
#endif
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
    return mAppStatus.getCopy();
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

bool TApplication::ThreadCheck(Threads thread)
{
#ifndef VOREL_NOGFX
    if (thread == THREAD_DRAW)
        return IsInDrawThread();
#else
    if (thread == THREAD_DRAW)
        return false;
#endif
    return IsInMainThread();
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
    ServiceNotify.Begin(Platform.Ticks());
    advanceStatus(); // APP_INITIALIZING -> APP_LOADING releases the draw thread
    Startup();

    // Start-up phase: keep actions, tasks, parameters and the log flowing
    // until the host declares its start-up done (or the application ends).
    while (status() < APP_STARTUP) {
        SDL_LockMutex(mpMainMutex);
        ProcessActions();
        ExecuteActions(ACTION_THREAD_SAFE);
        ExecuteActions(ACTION_ASYNC);
        ProcessTasks(TASK_THREAD_SAFE);
        TParamMan::Poll();
        TLogManager::Poll();
        SDL_UnlockMutex(mpMainMutex);
    }

#ifndef VOREL_NOGFX
    if (GUI())
        advanceStatus(); // APP_STARTUP_GRAPHICS: the draw thread sets up graphics
    else
#endif
        setStatus(APP_RUNNING);

    const Uint32 loopDurationMs = 1000u / static_cast<unsigned int>(TargetFrequency);
    Uint32 lastProcessLoop = 0;
    Uint32 lastPoll = Platform.Ticks();
    int statusMain = 0;
    unsigned int numLoops = 0;
    Sint32 sleepDiffBuffer = 0;
#ifndef VOREL_NOGFX
    Uint32 lastFpsUpdate = Platform.Ticks();
    double elapsedSecondsSinceFPS = 0.0;
#endif

    while (statusMain == 0) {
        SDL_LockMutex(mpMainMutex);
        Uint32 thisProcessLoop = Platform.Ticks();

        if (status() == APP_RUNNING) {
#ifndef VOREL_NOGFX
            elapsedSecondsSinceFPS = (thisProcessLoop - lastFpsUpdate) * 0.001;
#endif
            Uint32 elapsedMs = thisProcessLoop - lastProcessLoop;
            if (static_cast<Sint64>(elapsedMs) + sleepDiffBuffer >= static_cast<Sint64>(loopDurationMs)) {
                sleepDiffBuffer = 0;
            } else {
                Uint32 toSleepMs = loopDurationMs - elapsedMs - sleepDiffBuffer;
                if (!SleepMs(toSleepMs)) {
                    std::printf("Nano sleep system call failed \n");
                    SDL_UnlockMutex(mpMainMutex);
                    break;
                }
                Uint32 afterSleep = Platform.Ticks();
                sleepDiffBuffer = static_cast<Sint32>(afterSleep - thisProcessLoop) + sleepDiffBuffer +
                                  static_cast<Sint32>(elapsedMs) - static_cast<Sint32>(loopDurationMs);
                thisProcessLoop = afterSleep;
            }
            lastProcessLoop = thisProcessLoop;
        }

        if (status() == APP_TERMINATE) {
            SDL_UnlockMutex(mpMainMutex);
            break;
        }
        // Readiness and watchdog keep-alives; one flag test without a manager.
        if (ServiceNotify.Active())
            ServiceNotify.Pass(thisProcessLoop, status() == APP_RUNNING);

        RunDurationMs = TaskDurationMs = ActionDurationMs = 0;
        ProcessActions();

        if (status() == APP_TERMINATE) {
            SDL_UnlockMutex(mpMainMutex);
            break;
        }

#ifndef VOREL_NOGFX
        if (SDL_TryLockMutex(mpDrawMutex) == 0)
#endif
        {
            bool leave = false;
            try {
                DrawDurationMs = 0;
                ExecuteDeferredMethods();
                if (status() == APP_TERMINATE) {
                    leave = true;
                } else {
#ifndef VOREL_NOGFX
                    if (GUI()) {
                        if (!ComponentLogicCalled) {
                            CallGuiMainLogic();
                            thisProcessLoop = Platform.Ticks();
                            LogicDurationMs = static_cast<int>(thisProcessLoop - lastProcessLoop);
                            ComponentLogicCalled = true;
                        } else {
                            LogicDurationMs = 0;
                        }
                    }
                    if (elapsedSecondsSinceFPS >= 1.0) {
                        lastFpsUpdate = thisProcessLoop;
                        mCurrentFreq = static_cast<int>(std::floor(numLoops / elapsedSecondsSinceFPS));
                        numLoops = 0;
                    }
#endif
                    if (thisProcessLoop - lastPoll >= mLogicInterval) {
                        statusMain = RunOnce();
                        lastPoll = thisProcessLoop;
                        RunDurationMs = static_cast<int>(Platform.Ticks() - thisProcessLoop);
                    }
                    if (status() == APP_TERMINATE)
                        leave = true;
                    else
                        ExecuteActionsAndTasks(false);
                }
            } catch (const std::exception& e) {
                std::printf("Std exception: %s\n", e.what());
            } catch (...) {
                std::printf("Unknown exception\n");
            }
#ifndef VOREL_NOGFX
            SDL_UnlockMutex(mpDrawMutex);
#endif
            if (leave) {
                SDL_UnlockMutex(mpMainMutex);
                break;
            }
        }

        {
            ScopedLock statusLock(mAppStatus);
            if (&mAppStatus == APP_TERMINATE) {
                SDL_UnlockMutex(mpMainMutex);
                break;
            }
            ExecuteActionsAndTasks(true);
            ExecuteActions(ACTION_ASYNC);
            Uint32 t0 = Platform.Ticks();
            TParamMan::Poll();
            Uint32 t1 = Platform.Ticks();
            ParamDurationMs = static_cast<int>(t1 - t0);
            TLogManager::Poll();
            LogDurationMs = static_cast<int>(Platform.Ticks() - t1);
        }

        ++numLoops;
        SDL_UnlockMutex(mpMainMutex);
    }

    // The loop also ends on a RunOnce result or a failed sleep; make the end
    // final so the draw thread leaves its loop and nobody waits for ever.
    terminateIfRunning(NOTHING);
    ServiceNotify.End();

    mMainLoopLeft = true;

#ifndef VOREL_NOGFX
    int statusDraw = 0;
    if (mpDrawThread) {
        SDL_WaitThread(mpDrawThread, &statusDraw);
        mpDrawThread = nullptr;
    }
    if (!GUI())
        CallDestroyOnce();
    return statusMain | (0 - statusDraw);
#else
    return statusMain;
#endif
}

} // namespace vorel_sdl2
