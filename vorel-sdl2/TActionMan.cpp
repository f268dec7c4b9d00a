#include "TActionMan.h"

#include "Platform.h"
#include "TApplication.h" // TThreadSignalStack
#include "TLogManager.h"

#include "Algorithms.h"

#include <SDL2/SDL_error.h>
#include <SDL2/SDL_thread.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include <pthread.h>

namespace vorel_sdl2 {

namespace {

constexpr int kContexts = 4;

bool Selects(ActionHandleType filter, int type) { return filter == ACTION_ANY || filter == type; }

bool IsContext(int type) { return type >= 0 && type < kContexts; }

int execAH(void* data)
{
    if (!data)
        return 0;
    // Dropping the record may free the wrapped handler, when its registration
    // is already gone: this thread was its last user.
    std::unique_ptr<AsyncAHData> record(static_cast<AsyncAHData*>(data));
    try {
        record->Handler->execute(record->Name, record->hActionData);
    } catch (...) {
        logman::WriteLog(4, 0, "ActionMan: async handler Execute() threw exception [triggered by action %s]",
                         record->Name.c_str());
    }
    return 0;
}

} // namespace

// ---- handlers ---------------------------------------------------------------

TActionHandler::TActionHandler(void* userData, TAHType type) : UserData(userData), Enabled(true), HType(type) {}

TActionHandler::TActionHandler(const TActionHandler& other)
    : UserData(other.UserData), Enabled(other.Enabled.load()), HType(other.HType)
{
}

void* TActionHandler::GetRelatedObject() { return UserData; }

TActionHandler::~TActionHandler() = default;

TAsyncActionHandler::TAsyncActionHandler(TActionHandler* handler)
    : TActionHandler(handler ? handler->UserData : nullptr, handler ? handler->HType : ahtExecuteEndless)
{
    if (!handler)
        return;
    Enabled = handler->Enabled.load();
    // The wrapper is one registration of the wrapped handler; it is released
    // when the wrapper and every thread started for it are done.
    ++handler->mRegistrations;
    pHandler = std::shared_ptr<TActionHandler>(handler, [](TActionHandler* h) {
        if (TActionHandler::Release(h, 1) == 0)
            delete h;
    });
}

void TAsyncActionHandler::execute(std::string ActionName, void* hActionData)
{
    if (!pHandler)
        return;
    AsyncAHData* record = new AsyncAHData{pHandler, hActionData, std::move(ActionName)};
    // A std::thread, not SDL_CreateThread + SDL_DetachThread: SDL 2.26 lets a
    // thread that ends during SDL_DetachThread free the handle that call is
    // still reading, which crashed a host under load after about 20,000 executions.
    try {
        std::thread([record] {
            pthread_setname_np(pthread_self(), "asyncAction");
            TThreadSignalStack altStack; // a stack overflow here still reaches the crash path
            execAH(record);
        }).detach();
    } catch (const std::system_error& e) {
        logman::WriteLog(4, 0, "ActionMan: could not start asyncAction thread for action %s: %s",
                         record->Name.c_str(), e.what());
        delete record;
    }
}

void* TAsyncActionHandler::GetRelatedObject() { return pHandler ? pHandler->GetRelatedObject() : UserData; }

TAsyncActionHandler::~TAsyncActionHandler() = default;

// ---- actions ----------------------------------------------------------------

TAction::TAction(const std::string& name) : Name(name), Enabled(1)
{
    for (auto& c : mCount)
        c = 0;
}

TAction::~TAction()
{
    std::vector<TActionHandler*> doomed;
    for (int t = 0; t < kContexts; ++t) {
        for (TActionHandler* h : Handlers[t])
            if (h && TActionHandler::Release(h, 1) == 0)
                doomed.push_back(h);
        for (TActionHandler* h : mWalk[t].TakeKept())
            if (h->mRegistrations == 0)
                doomed.push_back(h);
        Handlers[t].clear();
    }
    std::sort(doomed.begin(), doomed.end());
    doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
    for (TActionHandler* h : doomed)
        delete h;
}

void TAction::RegisterActionHandler(TActionHandler* pHandler, ActionHandleType HandleType)
{
    if (!pHandler)
        return;
    if (HandleType == ACTION_ANY) {
        logman::WriteLog(4, 0,
                         "Tried to use handle type ANY for action %s will effectively trigger it 3 times and is not "
                         "allowed!",
                         Name.c_str());
        return;
    }
    if (!IsContext(HandleType)) {
        logman::WriteLog(4, 0, "Tried to use unknown handle type %d for action %s, which is not allowed!",
                         static_cast<int>(HandleType), Name.c_str());
        return;
    }
    if (HandleType == ACTION_ASYNC)
        pHandler = new TAsyncActionHandler(pHandler);
    ++pHandler->mRegistrations;
    Handlers[HandleType].push_back(pHandler);
    ++mCount[HandleType];
}

void TAction::EraseEntry(int type, HandlerList::iterator& it)
{
    --mCount[type];
    it = mWalk[type].Erase(Handlers[type], it);
}

int TAction::Detach(TActionHandler* pHandler, ActionHandleType Filter, int& walked)
{
    walked = -1;
    int removed = 0;
    if (!pHandler)
        return removed;
    for (int t = 0; t < kContexts; ++t) {
        if (!Selects(Filter, t))
            continue;
        const int n = mWalk[t].EraseIf(Handlers[t], [pHandler](TActionHandler* h) { return h == pHandler; });
        mCount[t] -= n;
        removed += n;
        if (n > 0 && walked < 0 && mWalk[t].Walking())
            walked = t;
    }
    return removed;
}

void TAction::Release(TActionHandler* pHandler, int removed, bool DeleteInstance, int walked)
{
    const int left = TActionHandler::Release(pHandler, removed);
    // Still held by another registration (another list, action or an
    // asynchronous wrapper): freeing it now would leave those dangling.
    if (DeleteInstance && left == 0)
        Dispose(pHandler, walked);
}

void TAction::Dispose(TActionHandler* pHandler, int type)
{
    if (IsContext(type))
        mWalk[type].Dispose(pHandler);
    else
        delete pHandler;
}

void TAction::EndWalk(int type)
{
    // A handler taken off every list during the walk and registered again
    // before it ended belongs to its new registrations.
    for (TActionHandler* h : mWalk[type].End(Handlers[type]))
        if (h->mRegistrations == 0)
            delete h;
}

int TAction::UnregisterActionHandler(TActionHandler* pHandler, bool DeleteInstance, ActionHandleType Filter)
{
    if (!pHandler)
        return 0;
    int walked;
    const int removed = Detach(pHandler, Filter, walked);
    Release(pHandler, removed, DeleteInstance, walked);
    return 0;
}

int TAction::UnregisterActionHandlerByRelatedObject(void* pRelatedObject, bool DeleteInstance)
{
    bool removed = false;
    for (int t = 0; t < kContexts; ++t) {
        for (auto it = Handlers[t].begin(); it != Handlers[t].end(); ++it) {
            TActionHandler* h = *it;
            if (!h || h->GetRelatedObject() != pRelatedObject)
                continue;
            EraseEntry(t, it);
            Release(h, 1, DeleteInstance, t);
            removed = true;
            break;
        }
    }
    return removed ? 0 : -1;
}

void TAction::Execute(void* hActionData, ActionHandleType ExecType)
{
    if (ExecType == ACTION_ANY) {
        logman::WriteLog(4, 0, "Tried to execute action %s as ANY, which is not allowed! Execution type must be "
                               "specified.",
                         Name.c_str());
        return;
    }
    if (!IsContext(ExecType) || mCount[ExecType] == 0 || Enabled == 0)
        return;

    const int t = ExecType;
    HandlerList& list = Handlers[t];
    // Checked after the run, so that a handler can end itself by switching to
    // once. A once registration leaves its list after its run, also when the
    // handler throws; the handler goes with its last registration.
    auto finish = [this, t](HandlerList::iterator it, TActionHandler* h) {
        if (*it != h || h->GetType() != TActionHandler::ahtExecuteOnce)
            return;
        EraseEntry(t, it);
        Release(h, 1, true, t);
    };
    struct WalkScope {
        TAction* self;
        int t;
        ~WalkScope() { self->EndWalk(t); }
    };

    BeginWalk(t);
    WalkScope scope{this, t};
    for (auto it = list.begin(); it != list.end(); ++it) {
        TActionHandler* h = *it;
        if (!h)
            continue;
        try {
            h->execute(Name, hActionData);
        } catch (...) {
            finish(it, h);
            throw;
        }
        finish(it, h);
    }
}

int TAction::GetHandlersCount(ActionHandleType OfType) const
{
    if (OfType == ACTION_ANY)
        return mCount[0] + mCount[1] + mCount[2] + mCount[3];
    return IsContext(OfType) ? mCount[OfType].load() : 0;
}

void TAction::ForHandlers(ActionHandleType OfType, const HandlerTask& Task)
{
    for (int t = 0; t < kContexts; ++t) {
        if (!Selects(OfType, t))
            continue;
        BeginWalk(t);
        try {
            for (auto it = Handlers[t].begin(); it != Handlers[t].end(); ++it) {
                if (!*it)
                    continue;
                if (!Task(static_cast<ActionHandleType>(t), it))
                    break;
            }
        } catch (...) {
            EndWalk(t);
            throw;
        }
        EndWalk(t);
    }
}

// ---- manager ----------------------------------------------------------------

TActionMan::TActionMan()
    : ActionListMutex(SDL_CreateMutex()), ActionQueueMutex(SDL_CreateMutex()), LifeMutex(SDL_CreateMutex())
{
    for (auto& m : ToRunMutex)
        m = SDL_CreateMutex();
    AddActionListener("SACalculateWinsCreate",
                      new TahMemberLarge<TActionMan>(this, &TActionMan::DemoAction1, nullptr,
                                                     TActionHandler::ahtExecuteEndless),
                      ACTION_NORMAL);
}

TActionMan::~TActionMan()
{
    SDL_LockMutex(ActionListMutex);
    mLeadingParts.Clear();
    for (TAction* a : ActionList)
        delete a;
    ActionList.clear();
    SDL_UnlockMutex(ActionListMutex);
    for (auto* queue : {&mBacklog, &GeneratedActionQueue}) {
        for (TGeneratedAction* g : *queue)
            delete g;
        queue->clear();
    }
    for (int t = 0; t < kContexts; ++t) {
        ToRunActionQueue[t].clear();
        SDL_DestroyMutex(ToRunMutex[t]);
    }
    SDL_DestroyMutex(ActionQueueMutex);
    SDL_DestroyMutex(ActionListMutex);
    SDL_DestroyMutex(LifeMutex);
}

TActionMan::ActionVector::iterator TActionMan::SearchLocked(const std::string& ActionName, bool& found)
{
    auto hit = SortedFindLast(ActionList, ActionName, [](const TAction* a) -> const std::string& { return a->Name; });
    found = hit.found;
    return hit.position;
}

TAction* TActionMan::FindLocked(const std::string& ActionName)
{
    bool found;
    auto it = SearchLocked(ActionName, found);
    return found ? *it : nullptr;
}

TAction* TActionMan::InsertLocked(ActionVector::iterator at, const std::string& ActionName)
{
    std::unique_ptr<TAction> action(new TAction(ActionName));
    at = ActionList.insert(at, action.get());
    try {
        mLeadingParts.Add((*at)->Name, *at);
    } catch (...) {
        ActionList.erase(at);
        throw;
    }
    return action.release();
}

void TActionMan::EraseLocked(ActionVector::iterator at)
{
    mLeadingParts.Remove((*at)->Name, *at);
    ActionList.erase(at);
}

TAction* TActionMan::AddActionListener(std::string ActionName, TActionHandler* pActionHandler, ActionHandleType type)
{
    if (ActionName.empty()) {
        logman::WriteLog(4, 0, "Tried to register a handler for an action without a name, which is not allowed!");
        return nullptr;
    }
    SDL_LockMutex(ActionListMutex);
    bool found;
    auto at = SearchLocked(ActionName, found);
    TAction* action = found ? *at : InsertLocked(at, ActionName);
    // Registered under the lock, so that a concurrent UnregisterAction cannot
    // free the action in between.
    action->RegisterActionHandler(pActionHandler, type);
    SDL_UnlockMutex(ActionListMutex);
    return action;
}

TAction* TActionMan::GetAction(std::string ActionName)
{
    if (ActionName.empty())
        return nullptr;
    SDL_LockMutex(ActionListMutex);
    TAction* action = FindLocked(ActionName);
    SDL_UnlockMutex(ActionListMutex);
    return action;
}

void TActionMan::DeleteAction(TAction* pAction)
{
    for (int t = 0; t < kContexts; ++t)
        SDL_LockMutex(ToRunMutex[t]);
    for (auto& queue : ToRunActionQueue)
        queue.erase(std::remove_if(queue.begin(), queue.end(),
                                   [pAction](const TGeneratedSkippedAction& e) { return e.Action == pAction; }),
                    queue.end());
    SDL_LockMutex(LifeMutex);
    bool deleteNow = pAction->mInFlight == 0;
    if (!deleteNow)
        pAction->mDeletePending = true;
    SDL_UnlockMutex(LifeMutex);
    for (int t = kContexts - 1; t >= 0; --t)
        SDL_UnlockMutex(ToRunMutex[t]);
    if (deleteNow)
        delete pAction;
}

void TActionMan::Unpin(TAction* pAction)
{
    SDL_LockMutex(LifeMutex);
    bool last = --pAction->mInFlight == 0 && pAction->mDeletePending;
    SDL_UnlockMutex(LifeMutex);
    if (last)
        delete pAction;
}

void TActionMan::UnregisterAction(TAction* pAction, bool DeleteInstance)
{
    if (!pAction)
        return;
    SDL_LockMutex(ActionListMutex);
    bool found;
    auto it = SearchLocked(pAction->Name, found);
    if (found && *it == pAction)
        EraseLocked(it);
    SDL_UnlockMutex(ActionListMutex);
    if (DeleteInstance)
        DeleteAction(pAction);
}

int TActionMan::UnregisterAction(std::string ActionName, bool DeleteInstance)
{
    if (ActionName.empty())
        return -1;
    SDL_LockMutex(ActionListMutex);
    bool found;
    auto it = SearchLocked(ActionName, found);
    if (!found) {
        SDL_UnlockMutex(ActionListMutex);
        return -1;
    }
    TAction* action = *it;
    EraseLocked(it);
    SDL_UnlockMutex(ActionListMutex);
    if (DeleteInstance)
        DeleteAction(action);
    return 0;
}

int TActionMan::UnregisterAllActionHandlers(TActionHandler* pHandler, bool DeleteInstance)
{
    if (!pHandler)
        return 0;
    SDL_LockMutex(ActionListMutex);
    TAction* walker = nullptr;
    int walked = -1;
    int removed = 0;
    for (TAction* a : ActionList) {
        int w;
        removed += a->Detach(pHandler, ACTION_ANY, w);
        if (w >= 0 && !walker) {
            walker = a;
            walked = w;
        }
    }
    const int left = TActionHandler::Release(pHandler, removed);
    if (DeleteInstance && left == 0) {
        if (walker)
            walker->Dispose(pHandler, walked);
        else
            delete pHandler;
    }
    SDL_UnlockMutex(ActionListMutex);
    return 0;
}

int TActionMan::UnregisterAllActionHandlersByRelatedObject(void* pRelatedObject, bool DeleteInstance)
{
    SDL_LockMutex(ActionListMutex);
    for (TAction* a : ActionList)
        a->UnregisterActionHandlerByRelatedObject(pRelatedObject, DeleteInstance);
    SDL_UnlockMutex(ActionListMutex);
    return 0;
}

void TActionMan::GenerateAction(std::string ActionName, void* hActionData, ActionHandleType Filter)
{
    TGeneratedAction* generated = new TGeneratedAction{std::move(ActionName), hActionData, Filter};
    SDL_LockMutex(ActionQueueMutex);
    GeneratedActionQueue.push_back(generated);
    SDL_UnlockMutex(ActionQueueMutex);
}

void TActionMan::GenerateAction_immediate(std::string ActionName, void* hActionData, ActionHandleType Filter)
{
    ActionGenerated(ActionName, hActionData, Filter, true);
}

void TActionMan::ProcessActions()
{
    // The queue is taken over whole, in one short critical section, and
    // worked off from the backlog in later passes: under a flood the
    // generating threads keep that lock busy, and a consumer that came back
    // for it per action (or per batch) would wait behind them each time. The
    // pass ends at its count or time budget, so the flood cannot hold the
    // main loop here either; what is left stays in order for the next pass.
    constexpr size_t kTimeCheck = 256;
    const Uint32 start = Platform.Ticks();
    for (size_t moved = 0; moved < kActionsPerPass;) {
        if (mBacklog.empty()) {
            SDL_LockMutex(ActionQueueMutex);
            mBacklog.swap(GeneratedActionQueue);
            SDL_UnlockMutex(ActionQueueMutex);
            if (mBacklog.empty())
                return;
        }
        const size_t n = std::min({kTimeCheck, kActionsPerPass - moved, mBacklog.size()});
        for (size_t i = 0; i < n; ++i) {
            std::unique_ptr<TGeneratedAction> generated(mBacklog.front());
            mBacklog.pop_front();
            ActionGenerated(generated->ActionName, generated->hActionData, generated->Restriction, false);
        }
        moved += n;
        if (Platform.Ticks() - start >= kPassBudgetMs)
            return;
    }
}

void TActionMan::MatchPrefixes(const std::string& ActionName, std::vector<TAction*>& out)
{
    mLeadingParts.ForEachLeadingPart(ActionName, [&out](TAction* a) { out.push_back(a); });
}

int TActionMan::ActionGenerated(const std::string& ActionName, void* hActionData, ActionHandleType Filter,
                                bool executeImmediately)
{
    int count = 0;
    SDL_LockMutex(ActionListMutex);
    if (!executeImmediately) {
        // Queued straight from the search: no handler runs here, so the list
        // cannot change under it.
        mLeadingParts.ForEachLeadingPart(ActionName, [&](TAction* a) {
            for (int t = 0; t < kContexts; ++t) {
                if (!Selects(Filter, t) || a->mCount[t] == 0 || (t == ACTION_DRAW && !kDrawContextQueued))
                    continue;
                ++count;
                SDL_LockMutex(ToRunMutex[t]);
                ToRunActionQueue[t].push_back(TGeneratedSkippedAction{a, hActionData});
                SDL_UnlockMutex(ToRunMutex[t]);
            }
        });
        SDL_UnlockMutex(ActionListMutex);
        return count;
    }

    std::vector<TAction*> matched;
    MatchPrefixes(ActionName, matched);

    // Handlers may change the action list (the lock is recursive) and even
    // delete a matched action: the matches are pinned until all have run.
    SDL_LockMutex(LifeMutex);
    for (TAction* a : matched)
        ++a->mInFlight;
    SDL_UnlockMutex(LifeMutex);
    for (TAction* a : matched) {
        for (int t = 0; t < kContexts; ++t) {
            if (!Selects(Filter, t) || a->mCount[t] == 0)
                continue;
            SDL_LockMutex(LifeMutex);
            bool deleted = a->mDeletePending;
            SDL_UnlockMutex(LifeMutex);
            if (deleted)
                break;
            ++count;
            try {
                a->Execute(hActionData, static_cast<ActionHandleType>(t));
            } catch (...) {
                logman::WriteLog(4, 0, "ActionMan: handler %s->Execute() threw exception [triggered by action %s]",
                                 ActionName.c_str(), a->Name.c_str());
            }
        }
    }
    for (TAction* a : matched)
        Unpin(a);
    SDL_UnlockMutex(ActionListMutex);
    return count;
}

void TActionMan::ExecuteActions(ActionHandleType ExecType)
{
    if (ExecType == ACTION_ANY) {
        logman::WriteLog(4, 0, "Tried to execute actions as ANY, which is not allowed! Execution type must be "
                               "specified.");
        return;
    }
    if (!IsContext(ExecType))
        return;
    const int t = ExecType;
    for (;;) {
        SDL_LockMutex(ToRunMutex[t]);
        if (ToRunActionQueue[t].empty()) {
            SDL_UnlockMutex(ToRunMutex[t]);
            return;
        }
        TGeneratedSkippedAction entry = ToRunActionQueue[t].front();
        ToRunActionQueue[t].pop_front();
        // Pinned before the queue lock goes, so a concurrent deletion either
        // purged this entry already or waits for it to finish.
        SDL_LockMutex(LifeMutex);
        ++entry.Action->mInFlight;
        SDL_UnlockMutex(LifeMutex);
        SDL_UnlockMutex(ToRunMutex[t]);

        try {
            entry.Action->Execute(entry.hActionData, ExecType);
        } catch (...) {
            logman::WriteLog(4, 0, "ActionMan: handler Execute() threw exception [triggered by action %s and type %d]",
                             entry.Action->Name.c_str(), t);
        }
        Unpin(entry.Action);
    }
}

void TActionMan::DemoAction1(std::string ActionName, void* hActionData, void* hUserData)
{
    GenerateAction("OnActionHandlerExecute", hActionData, ACTION_ANY);
}

} // namespace vorel_sdl2
