#include "TTaskMan.h"

#include "MyUtilsTime.h"
#include "Platform.h"
#include "TApplication.h" // TThreadSignalStack
#include "TLogManager.h"

#include <SDL2/SDL_error.h>
#include <SDL2/SDL_timer.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <pthread.h>

namespace vorel_sdl2 {

namespace {

constexpr int kLists = 3;

bool IsList(int type) { return type >= 0 && type < kLists; }

} // namespace

// ---- task handlers ----------------------------------------------------------

TTimedTaskHandler::TTimedTaskHandler(Uint32 ExecutionInterval, TTaskType taskType, void* hUserData,
                                     std::string TaskName)
    : ExecutionCounter(0), mTaskName(std::move(TaskName)), LastExecuted(Platform.Ticks()),
      Interval(ExecutionInterval), ExecutionsLimit(0), TaskType(taskType), Enabled(1), UserData(hUserData),
      RealTime(false)
{
}

TTimedTaskHandler::~TTimedTaskHandler() = default;

void* TTimedTaskHandler::GetRelatedObject() { return UserData; }

bool TTimedTaskHandler::ExecuteConditional()
{
    if (!Enabled)
        return false;
    if (TaskType == EXECUTE_COUNT_NO_FREE && ExecutionCounter >= ExecutionsLimit)
        return false;
    if (!MyUtils::IsTime(LastExecuted, Interval, !RealTime))
        return false;
    if (RealTime) {
        // A fixed schedule: after a stall the task runs on consecutive passes
        // until it has caught up.
        if (LastExecuted == 0)
            LastExecuted = Platform.Ticks();
        else
            LastExecuted += Interval;
    }
    try {
        execute(UserData);
    } catch (...) {
        logman::WriteLog(0, 0, "ExecuteConditional unhandled exception...%s", mTaskName.c_str());
    }
    ++ExecutionCounter;
    switch (TaskType) {
    case EXECUTE_ONCE:
        return true;
    case EXECUTE_COUNT:
        return ExecutionCounter >= ExecutionsLimit;
    default:
        return false;
    }
}

void TTimedTaskHandler::EnableAndExecuteImmediate()
{
    Enabled = 1;
    LastExecuted = 0;
}

Uint32 TTimedTaskHandler::GetTimeRemainigToExecute() const
{
    if (LastExecuted == 0)
        return 0;
    const Uint32 elapsed = Platform.Ticks() - LastExecuted;
    const Uint32 interval = Interval;
    if (elapsed > interval)
        return 0;
    // Due once the elapsed time exceeds the interval.
    const unsigned long long remaining = static_cast<unsigned long long>(interval) - elapsed + 1;
    return remaining > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<Uint32>(remaining);
}

TtthLambda::TtthLambda(const std::function<void()>& lambda, Uint32 Interval, TTaskType taskType,
                       std::string TaskName)
    : TTimedTaskHandler(Interval, taskType, nullptr, std::move(TaskName)), mLambda(lambda)
{
}

void TtthLambda::execute(void*)
{
    if (Enabled && mLambda)
        mLambda();
}

TAsyncTimedTaskHandler::TAsyncTimedTaskHandler(const std::function<void()>& lambda, Uint32 Interval,
                                               TTaskType taskType, std::string TaskName, bool autoStart,
                                               bool autoFree)
    : TtthLambda(lambda, Interval, taskType, std::move(TaskName)),
      mDeleteSemaphore(autoFree ? nullptr : SDL_CreateSemaphore(0)), mCompletedSemaphore(SDL_CreateSemaphore(0)),
      pWorkerThread(nullptr)
{
    if (autoStart)
        start();
}

TAsyncTimedTaskHandler::~TAsyncTimedTaskHandler()
{
    // A worker still running would use this object after it is gone.
    free();
    SDL_DestroySemaphore(mCompletedSemaphore);
    if (mDeleteSemaphore)
        SDL_DestroySemaphore(mDeleteSemaphore);
}

void TAsyncTimedTaskHandler::execute(void* hUserData)
{
    try {
        TtthLambda::execute(hUserData);
    } catch (...) {
        SDL_SemPost(mCompletedSemaphore);
        throw;
    }
    SDL_SemPost(mCompletedSemaphore);
}

void TAsyncTimedTaskHandler::start()
{
    if (mStarted)
        return;
    mStarted = true;
    const std::string threadName = "async_" + mTaskName;
    if (!mDeleteSemaphore) {
        // A self-freeing task may be gone as soon as its thread runs: touch no
        // member after creating it.
        // A std::thread: SDL_DetachThread races with a thread that ends at
        // once (it may read the handle the ending thread frees).
        try {
            std::thread([this, name = threadName.substr(0, 15)] {
                pthread_setname_np(pthread_self(), name.c_str());
                execThread(this);
            }).detach();
        } catch (const std::system_error& e) {
            logman::WriteLog(4, 0, "AsyncTimedTask: could not start thread %s: %s", threadName.c_str(), e.what());
        }
        return;
    }
    pWorkerThread = SDL_CreateThread(execThread, threadName.c_str(), this);
    if (!pWorkerThread)
        logman::WriteLog(4, 0, "AsyncTimedTask: could not start thread %s: %s", threadName.c_str(), SDL_GetError());
}

void TAsyncTimedTaskHandler::free()
{
    if (!mDeleteSemaphore || !pWorkerThread)
        return;
    SDL_SemPost(mDeleteSemaphore);
    SDL_WaitThread(pWorkerThread, nullptr);
    pWorkerThread = nullptr;
}

Uint32 TAsyncTimedTaskHandler::completedCount() { return SDL_SemValue(mCompletedSemaphore); }

int TAsyncTimedTaskHandler::execThread(void* data)
{
    TThreadSignalStack altStack; // a stack overflow here still reaches the crash path
    TAsyncTimedTaskHandler* self = static_cast<TAsyncTimedTaskHandler*>(data);
    const bool selfFreeing = self->mDeleteSemaphore == nullptr;
    unsigned long long runs = 0;
    for (;;) {
        try {
            self->execute(nullptr);
        } catch (...) {
            // An exception leaving an SDL thread would end the process.
            logman::WriteLog(0, 0, "AsyncTimedTask:execThread unhandled exception...%s", self->mTaskName.c_str());
        }
        ++runs;
        bool stop = false;
        switch (self->TaskType) {
        case EXECUTE_ONCE:
            stop = true;
            break;
        case EXECUTE_COUNT:
        case EXECUTE_COUNT_NO_FREE:
            stop = runs >= self->ExecutionsLimit;
            break;
        default:
            break;
        }
        if (!stop) {
            if (selfFreeing)
                Platform.Sleep(self->Interval);
            else
                stop = SDL_SemWaitTimeout(self->mDeleteSemaphore, self->Interval) == 0;
        }
        if (stop)
            break;
    }
    if (selfFreeing)
        delete self;
    return 0;
}

// ---- manager ----------------------------------------------------------------

TTaskMan::TTaskMan()
{
    for (int t = 0; t < kLists; ++t) {
        pTaskListMutex[t] = SDL_CreateMutex();
        pWalkMutex[t] = SDL_CreateMutex();
    }
}

TTaskMan::~TTaskMan()
{
    for (int t = 0; t < kLists; ++t) {
        SDL_LockMutex(pTaskListMutex[t]);
        std::vector<TTimedTaskHandler*> doomed = mWalk[t].TakeKept();
        for (TTimedTaskHandler* task : TaskList[t])
            if (task)
                doomed.push_back(task);
        TaskList[t].clear();
        SDL_UnlockMutex(pTaskListMutex[t]);
        std::sort(doomed.begin(), doomed.end());
        doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
        TSafeWalk<TaskListType>::DeleteAll(doomed);
    }
    for (int t = 0; t < kLists; ++t) {
        SDL_DestroyMutex(pTaskListMutex[t]);
        SDL_DestroyMutex(pWalkMutex[t]);
    }
}

TTimedTaskHandler* TTaskMan::AddTimedTask(TTimedTaskHandler* pTimedTask, TimedTaskType type)
{
    if (!pTimedTask || !IsList(type))
        return nullptr;
    SDL_LockMutex(pTaskListMutex[type]);
    TaskList[type].push_back(pTimedTask);
    SDL_UnlockMutex(pTaskListMutex[type]);
    return pTimedTask;
}

void TTaskMan::RemoveTimedTask(TTimedTaskHandler* pTimedTask, bool DeleteInstance)
{
    if (!pTimedTask)
        return;
    bool kept = false;
    for (int t = 0; t < kLists; ++t) {
        SDL_LockMutex(pTaskListMutex[t]);
        const int removed =
            mWalk[t].EraseIf(TaskList[t], [pTimedTask](TTimedTaskHandler* task) { return task == pTimedTask; });
        // The walker may be running this very task: it is freed when the walk ends.
        if (removed > 0 && DeleteInstance && mWalk[t].Walking()) {
            mWalk[t].Dispose(pTimedTask);
            kept = true;
        }
        SDL_UnlockMutex(pTaskListMutex[t]);
        if (removed > 0)
            break;
    }
    // Outside the lock: a task's destructor may wait for its own thread.
    if (DeleteInstance && !kept)
        delete pTimedTask;
}

TTimedTaskHandler* TTaskMan::GetTimedTask(void* RelatedObject)
{
    for (int t = 0; t < kLists; ++t) {
        SDL_LockMutex(pTaskListMutex[t]);
        for (TTimedTaskHandler* task : TaskList[t]) {
            if (task && task->GetRelatedObject() == RelatedObject) {
                SDL_UnlockMutex(pTaskListMutex[t]);
                return task;
            }
        }
        SDL_UnlockMutex(pTaskListMutex[t]);
    }
    return nullptr;
}

bool TTaskMan::IsTimedTaskValid(TTimedTaskHandler* pTimedTask, TimedTaskType type)
{
    return _IsTimedTaskValid(pTimedTask, type) != TASK_ANY;
}

TimedTaskType TTaskMan::_IsTimedTaskValid(TTimedTaskHandler* pTimedTask, TimedTaskType type)
{
    if (!pTimedTask)
        return TASK_ANY;
    if (type == TASK_ANY) {
        for (int t = 0; t < kLists; ++t)
            if (_IsTimedTaskValid(pTimedTask, static_cast<TimedTaskType>(t)) != TASK_ANY)
                return static_cast<TimedTaskType>(t);
        return TASK_ANY;
    }
    if (!IsList(type))
        return TASK_ANY;
    SDL_LockMutex(pTaskListMutex[type]);
    const auto& list = TaskList[type];
    bool found = std::find(list.begin(), list.end(), pTimedTask) != list.end();
    SDL_UnlockMutex(pTaskListMutex[type]);
    return found ? type : TASK_ANY;
}

void TTaskMan::ProcessTasks(TimedTaskType type)
{
    if (type == TASK_ANY) {
        for (int t = 0; t < kLists; ++t)
            ProcessTasks(static_cast<TimedTaskType>(t));
        return;
    }
    if (!IsList(type))
        return;
    const int t = type;
    auto& list = TaskList[t];
    SDL_LockMutex(pWalkMutex[t]);
    SDL_LockMutex(pTaskListMutex[t]);
    mWalk[t].Begin();
    // The list lock is dropped while a task runs. Tasks appended meanwhile
    // are reached in this walk; entries removed meanwhile are holes.
    for (auto it = list.begin(); it != list.end(); ++it) {
        TTimedTaskHandler* task = *it;
        if (!task)
            continue;
        SDL_UnlockMutex(pTaskListMutex[t]);
        bool finished = false;
        try {
            finished = task->ExecuteConditional();
        } catch (...) {
        }
        SDL_LockMutex(pTaskListMutex[t]);
        // A task removed meanwhile is no longer the list's to free.
        if (finished && *it == task) {
            mWalk[t].EraseIf(list, [task](TTimedTaskHandler* p) { return p == task; });
            mWalk[t].Dispose(task);
        }
    }
    std::vector<TTimedTaskHandler*> due = mWalk[t].End(list);
    SDL_UnlockMutex(pTaskListMutex[t]);
    SDL_UnlockMutex(pWalkMutex[t]);
    TSafeWalk<TaskListType>::DeleteAll(due);
}

} // namespace vorel_sdl2
