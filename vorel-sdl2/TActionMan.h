// Actions: named events that carry one untyped data pointer, with handlers that
// each run in the execution context they asked for.
//
// A host registers handlers with AddActionListener (the action is created on
// first use and owns its handlers from then on) and raises actions from any
// thread with GenerateAction. The main loop resolves generated actions once
// per pass (ProcessActions): every registered action whose name is a leading
// part of, or equal to, the generated name receives one run-queue entry per
// handler context it has handlers for, in name order and context order 0..3.
// Each run queue is then drained by the thread owning that context
// (ExecuteActions). TApplication is a TActionMan. One ProcessActions pass
// moves at most kActionsPerPass generated actions (less once it has taken
// kPassBudgetMs), oldest first; the rest waits, in order, for the next pass,
// so a flood from other threads cannot stall the main loop. The headless
// build has no draw thread: nothing is queued for ACTION_DRAW there (its
// handlers stay registered; GenerateAction_immediate still runs them).
//
// Handlers: a handler may be registered several times, on several contexts
// or actions; its registrations (an asynchronous wrapper counts as one) share
// the object, which is freed when the last of them is gone. A once handler's
// registration runs once and leaves its list. Unregistering with deletion
// frees a handler only when no registration is left; until then the others
// keep it.
//
// Threads: GenerateAction, AddActionListener, GetAction and the Unregister*
// calls may come from any thread. The handler lists of one action carry no
// lock: changing the handlers of a context must not overlap an execution of
// that context on another thread. From inside a handler it is safe to
// register and unregister handlers and actions, including the running ones:
// removals made while a list runs take effect when its walk ends, and an
// action deleted while one of its entries is queued or running is purged from
// the run queues and freed only when its last running entry is done.
// Handler exceptions never escape ExecuteActions; they are logged at level 4.
// An asynchronous handler's thread keeps the wrapped handler alive until it
// is done with it, whatever happens to the registration meanwhile. The
// manager itself goes only after every context has stopped draining it.
#pragma once

#include "LeadingPartIndex.h"
#include "SafeWalk.h"

#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_stdinc.h>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace vorel_sdl2 {

enum ActionHandleType {
    ACTION_NORMAL = 0,      // main loop, while no frame is drawn
    ACTION_DRAW = 1,        // draw thread
    ACTION_THREAD_SAFE = 2, // main loop, every pass
    ACTION_ASYNC = 3,       // a thread per execution
    ACTION_ANY = 4          // only a filter when generating
};

class TActionHandler {
public:
    enum TAHType { ahtExecuteOnce = 0, ahtExecuteEndless = 1 };

    TActionHandler(void* UserData, TAHType type);
    TActionHandler(const TActionHandler& other);

    virtual void execute(std::string ActionName, void* hActionData) = 0;
    virtual void* GetRelatedObject();
    virtual ~TActionHandler();

    bool IsEnabled() const { return Enabled; }
    void Enable() { Enabled = true; }
    void Disable() { Enabled = false; }
    TAHType GetType() const { return HType; }
    void SetType(TAHType type) { HType = type; }

    void* UserData;
    // Read by asynchronous threads while other threads may toggle it.
    std::atomic<bool> Enabled;
    TAHType HType;

private:
    friend class TAction;
    friend class TActionMan;
    friend class TAsyncActionHandler;

    // Registrations that hold this handler: one per list entry, one per
    // asynchronous wrapper. The object is freed when the last one goes.
    std::atomic<int> mRegistrations{0};
    // Drops n registrations; the number left.
    static int Release(TActionHandler* h, int n) { return h->mRegistrations.fetch_sub(n) - n; }
};

// Calls a member function of a listener object; does nothing while disabled
// or without an object.
template <class T>
class TahMemberLarge : public TActionHandler {
public:
    typedef void (T::*MemberType)(std::string ActionName, void* hActionData, void* hUserData);

    TahMemberLarge(T* pClass, MemberType pfMember, void* UserData, TAHType type)
        : TActionHandler(UserData, type), pClass(pClass), pfMember(pfMember)
    {
    }

    void execute(std::string ActionName, void* hActionData) override
    {
        if (pClass && pfMember && Enabled)
            (pClass->*pfMember)(ActionName, hActionData, UserData);
    }
    void* GetRelatedObject() override { return pClass; }
    ~TahMemberLarge() override = default;

    T* pClass;
    MemberType pfMember;
};

// Runs the wrapped handler on a new detached "asyncAction" thread per
// execution. The wrapped handler is shared with the running threads, so it
// lives until the wrapper is gone and every thread started for it has ended.
class TAsyncActionHandler : public TActionHandler {
public:
    explicit TAsyncActionHandler(TActionHandler* handler);

    void execute(std::string ActionName, void* hActionData) override;
    // The wrapped handler's related object, so that removing the handlers of
    // a listener object also finds its asynchronous registrations.
    void* GetRelatedObject() override;
    ~TAsyncActionHandler() override;

    TActionHandler* GetHandler() const { return pHandler.get(); }

private:
    std::shared_ptr<TActionHandler> pHandler;
};

// One asynchronous execution; owned by the thread that runs it.
struct AsyncAHData {
    std::shared_ptr<TActionHandler> Handler;
    void* hActionData;
    std::string Name;
};

class TActionMan;

class TAction {
public:
    typedef std::list<TActionHandler*> HandlerList;
    typedef std::function<bool(ActionHandleType, HandlerList::iterator&)> HandlerTask;

    explicit TAction(const std::string& Name);
    ~TAction();
    TAction(const TAction&) = delete;
    TAction& operator=(const TAction&) = delete;

    const std::string& GetName() const { return Name; }
    int IsEnabled() const { return Enabled; }
    void Enable() { Enabled = 1; }
    void Disable() { Enabled = 0; }

    void RegisterActionHandler(TActionHandler* pHandler, ActionHandleType HandleType);
    int UnregisterActionHandler(TActionHandler* pHandler, bool DeleteInstance, ActionHandleType Filter);
    int UnregisterActionHandlerByRelatedObject(void* pRelatedObject, bool DeleteInstance);
    // Runs the handlers of one context; handler exceptions pass to the caller.
    void Execute(void* hActionData, ActionHandleType ExecType);
    int GetHandlersCount(ActionHandleType OfType) const;
    // Visits the handlers of one context (or all four, for ACTION_ANY); a task
    // that removes the handler at its position must return false.
    void ForHandlers(ActionHandleType OfType, const HandlerTask& Task);

private:
    friend class TActionMan;

    std::string Name;
    std::atomic<int> Enabled;
    // One list per context 0..3, in registration order. Changed only through
    // the operations above, which keep the counts below in step.
    HandlerList Handlers[4];

    // Removes every entry of pHandler from the lists the filter selects (the
    // registrations are not released) and returns how many; `walked` is the
    // first of those lists that is being walked right now, or -1.
    int Detach(TActionHandler* pHandler, ActionHandleType Filter, int& walked);
    // Releases `removed` registrations; with DeleteInstance, frees the
    // handler when none is left, at once or when the walk of list `walked`
    // (if one runs) has ended.
    void Release(TActionHandler* pHandler, int removed, bool DeleteInstance, int walked);
    void Dispose(TActionHandler* pHandler, int type);
    void EraseEntry(int type, HandlerList::iterator& it);
    void BeginWalk(int type) { mWalk[type].Begin(); }
    void EndWalk(int type);

    // Per context; each is only touched by the thread that owns the context.
    TSafeWalk<HandlerList> mWalk[4];
    // Handler counts, read by the main thread while the owner of a context
    // changes its list.
    std::atomic<int> mCount[4];

    // Guarded by TActionMan::LifeMutex: run-queue entries being executed, and
    // whether the action was deleted meanwhile.
    int mInFlight = 0;
    bool mDeletePending = false;
};

// Whether ACTION_DRAW entries are queued: the headless build has no draw
// thread to drain them, so its draw handlers stay registered but are never
// queued (and not counted by ActionGenerated); GenerateAction_immediate still
// runs them on the calling thread.
#ifdef VOREL_NOGFX
inline constexpr bool kDrawContextQueued = false;
#else
inline constexpr bool kDrawContextQueued = true;
#endif

class TActionMan {
public:
    // One ProcessActions pass moves at most this many generated actions, and
    // stops early once it has taken kPassBudgetMs.
    static constexpr size_t kActionsPerPass = 4096;
    static constexpr Uint32 kPassBudgetMs = 4;

    struct TGeneratedAction {
        std::string ActionName;
        void* hActionData;
        ActionHandleType Restriction;
    };
    struct TGeneratedSkippedAction {
        TAction* Action;
        void* hActionData;
    };

    TActionMan();
    ~TActionMan();
    TActionMan(const TActionMan&) = delete;
    TActionMan& operator=(const TActionMan&) = delete;

    // Finds or creates the action and registers the handler on it. An empty
    // name is refused (null result; the handler stays the caller's).
    TAction* AddActionListener(std::string ActionName, TActionHandler* pActionHandler, ActionHandleType type);
    TAction* GetAction(std::string ActionName);
    void UnregisterAction(TAction* pAction, bool DeleteInstance);
    int UnregisterAction(std::string ActionName, bool DeleteInstance);
    int UnregisterAllActionHandlers(TActionHandler* pHandler, bool DeleteInstance);
    int UnregisterAllActionHandlersByRelatedObject(void* pRelatedObject, bool DeleteInstance);

    void GenerateAction(std::string ActionName, void* hActionData, ActionHandleType Filter);
    void GenerateAction_immediate(std::string ActionName, void* hActionData, ActionHandleType Filter);

    // Moves the oldest generated actions (a bounded number, see
    // kActionsPerPass) into the run queue of each handler context they match.
    // Called by one thread at a time (the main loop).
    void ProcessActions();
    // Runs, on the calling thread, the queued actions of one context.
    void ExecuteActions(ActionHandleType ExecType);

    // The number of (action, context) pairs dispatched.
    int ActionGenerated(const std::string& ActionName, void* hActionData, ActionHandleType Filter,
                        bool executeImmediately);

    void DemoAction1(std::string ActionName, void* hActionData, void* hUserData);

private:
    typedef std::vector<TAction*> ActionVector;

    // The action named ActionName (found), or where one of that name goes.
    ActionVector::iterator SearchLocked(const std::string& ActionName, bool& found);
    TAction* FindLocked(const std::string& ActionName);
    // Purges the action's queued entries and deletes it now, or, while one of
    // its entries runs, marks it for the last runner to delete.
    void DeleteAction(TAction* pAction);
    void Unpin(TAction* pAction);
    // Appends to `out` every listed action whose name is a leading part of
    // (or equal to) ActionName, in name order. Caller holds ActionListMutex.
    void MatchPrefixes(const std::string& ActionName, std::vector<TAction*>& out);
    // ActionList changes, mirrored in mLeadingParts. Caller holds ActionListMutex.
    TAction* InsertLocked(ActionVector::iterator at, const std::string& ActionName);
    void EraseLocked(ActionVector::iterator at);

    ActionVector ActionList;
    // The names of ActionList, for the prefix match; changed with the list,
    // under ActionListMutex.
    TLeadingPartIndex<TAction> mLeadingParts;
    SDL_mutex* ActionListMutex;
    std::deque<TGeneratedAction*> GeneratedActionQueue;
    SDL_mutex* ActionQueueMutex;
    // Generated actions taken over by ProcessActions and not yet resolved;
    // older than everything in GeneratedActionQueue. ProcessActions' own.
    std::deque<TGeneratedAction*> mBacklog;
    std::deque<TGeneratedSkippedAction> ToRunActionQueue[4];
    SDL_mutex* ToRunMutex[4];
    // Innermost lock: guards TAction::mInFlight and mDeletePending.
    SDL_mutex* LifeMutex;
};

} // namespace vorel_sdl2
