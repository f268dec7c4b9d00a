// Timed tasks: work that runs every so many milliseconds, a given number of
// times or for ever, on the thread of the list it was added to.
//
// A host derives from TTimedTaskHandler (or wraps a function object in
// TtthLambda) and hands the task to AddTimedTask with a context: the main
// loop processes TASK_NORMAL in its logic part and TASK_THREAD_SAFE in every
// pass, the GUI module processes TASK_DRAW per frame. From then on the list
// owns the task and deletes it when it has run its course, when it is removed
// with deletion, or when the manager goes. Time is the SDL tick counter read
// through Platform.Ticks; a task is due once more than its interval has
// passed. In real-time mode it keeps a fixed schedule and catches up after a
// stall, one run per processing pass.
//
// Threads: Add/Remove/Get/IsTimedTaskValid may be called from any thread,
// also from inside a task of any list: each takes the lock of the list it
// touches only for the change itself, and no list lock is held while a task
// runs, so tasks of the draw list and of the main-loop lists may change each
// other's lists at the same time. A list is walked by one thread at a time.
// A task added during a walk of its list is appended and reached later in
// that walk; a task removed during the walk leaves the list at once, and a
// removal with deletion frees it when the walk ends. So a task may remove
// itself or others from inside execute. Exceptions from a task are logged
// with its name and the run still counts.
//
// TAsyncTimedTaskHandler runs its function on a worker thread of its own
// ("async_" + name) once started; it is meant to be kept by its owner, not put
// into a list. A task that is not self-freeing is stopped with free(), which
// the destructor also does if the owner forgot; a self-freeing task deletes
// itself when its thread ends and must then not be touched by anyone else.
#pragma once

#include "SafeWalk.h"

#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_stdinc.h>
#include <SDL2/SDL_thread.h>

#include <atomic>
#include <functional>
#include <list>
#include <string>
#include <vector>

namespace vorel_sdl2 {

enum TimedTaskType {
    TASK_NORMAL = 0,
    TASK_DRAW = 1,
    TASK_THREAD_SAFE = 2,
    TASK_ANY = 3
};

class TTimedTaskHandler {
public:
    enum TTaskType { EXECUTE_ONCE = 0, EXECUTE_COUNT = 1, ENDLESS = 2, EXECUTE_COUNT_NO_FREE = 3 };

    TTimedTaskHandler(Uint32 ExecutionInterval, TTaskType taskType, void* hUserData, std::string TaskName);
    virtual ~TTimedTaskHandler();
    virtual void execute(void* hUserData) = 0;
    virtual void* GetRelatedObject();

    // Runs the task if it is due; true when it has run its course.
    bool ExecuteConditional();

    const std::string& GetName() const { return mTaskName; }
    int GetType() const { return TaskType; }
    Uint32 GetInterval() const { return Interval; }
    void SetInterval(Uint32 interval) { Interval = interval; }
    unsigned long long GetExecutionLimit() const { return ExecutionsLimit; }
    void SetExecutionsLimit(unsigned long limit) { ExecutionsLimit = limit; }
    void* GetUserData() const { return UserData; }
    void SetUserData(void* userData) { UserData = userData; }
    void SetRealTime(bool realTime) { RealTime = realTime; }
    bool IsEnabled() const { return Enabled != 0; }
    void Enable() { Enabled = 1; }
    void Disable() { Enabled = 0; }
    // Enables the task and makes it due at the next processing pass. Like the
    // schedule accessors below, meant for the thread of the task's list.
    void EnableAndExecuteImmediate();
    // Milliseconds until the task is due; 0 when it is due now.
    Uint32 GetTimeRemainigToExecute() const;

    unsigned long long ExecutionCounter;

protected:
    std::string mTaskName;
    Uint32 LastExecuted;
    // Read by an asynchronous task's worker while other threads may set them.
    std::atomic<Uint32> Interval;
    std::atomic<unsigned long long> ExecutionsLimit;
    int TaskType;
    std::atomic<int> Enabled;
    void* UserData;
    bool RealTime;
};

class TtthLambda : public TTimedTaskHandler {
public:
    TtthLambda(const std::function<void()>& lambda, Uint32 Interval, TTaskType taskType, std::string TaskName);
    void execute(void* hUserData) override;

protected:
    std::function<void()> mLambda;
};

class TAsyncTimedTaskHandler : public TtthLambda {
public:
    TAsyncTimedTaskHandler(const std::function<void()>& lambda, Uint32 Interval, TTaskType taskType,
                           std::string TaskName, bool autoStart, bool autoFree);
    ~TAsyncTimedTaskHandler() override;

    void execute(void* hUserData) override;
    // Starts the worker thread; a second call does nothing.
    void start();
    // Stops the worker of a task that is not self-freeing and waits for it to
    // end; does nothing for a self-freeing task or a second time.
    void free();
    // How many executions have completed.
    Uint32 completedCount();

private:
    static int execThread(void* data);

    SDL_sem* mDeleteSemaphore;
    SDL_sem* mCompletedSemaphore;
    SDL_Thread* pWorkerThread;
    bool mStarted = false;
};

class TTaskMan {
public:
    TTaskMan();
    ~TTaskMan();
    TTaskMan(const TTaskMan&) = delete;
    TTaskMan& operator=(const TTaskMan&) = delete;

    // The list owns the task from now on. Null (nothing added) for a null task
    // or TASK_ANY.
    TTimedTaskHandler* AddTimedTask(TTimedTaskHandler* pTimedTask, TimedTaskType type);
    // Removes the task from the first list holding it; deletes it if asked,
    // listed or not.
    void RemoveTimedTask(TTimedTaskHandler* pTimedTask, bool DeleteInstance);
    TTimedTaskHandler* GetTimedTask(void* RelatedObject);
    bool IsTimedTaskValid(TTimedTaskHandler* pTimedTask, TimedTaskType type);

    // Runs, on the calling thread, the tasks of one context whose interval is
    // due (all three lists in turn for TASK_ANY).
    void ProcessTasks(TimedTaskType type);

    std::list<TTimedTaskHandler*> TaskList[3];

private:
    typedef std::list<TTimedTaskHandler*> TaskListType;

    TimedTaskType _IsTimedTaskValid(TTimedTaskHandler* pTimedTask, TimedTaskType type);

    // Guards TaskList[t] and mWalk[t]; held only for list changes, never
    // while a task runs.
    SDL_mutex* pTaskListMutex[3];
    // Held for a whole walk of list t (recursive: a task may process its own
    // list again).
    SDL_mutex* pWalkMutex[3];
    TSafeWalk<TaskListType> mWalk[3];
};

} // namespace vorel_sdl2
