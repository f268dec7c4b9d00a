#include "TActionMan.h"

#include "TApplication.h" // TThreadSignalStack
#include "TLogManager.h"

#include <SDL2/SDL_error.h>
#include <SDL2/SDL_thread.h>

#include <algorithm>
#include <exception>
#include <string_view>
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

void DeleteDistinct(std::vector<TActionHandler*>& handlers)
{
    std::sort(handlers.begin(), handlers.end());
    handlers.erase(std::unique(handlers.begin(), handlers.end()), handlers.end());
    for (TActionHandler* h : handlers)
        delete h;
    handlers.clear();
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
    : TActionHandler(handler ? handler->UserData : nullptr, handler ? handler->HType : ahtExecuteEndless),
      pHandler(handler)
{
    if (handler)
        Enabled = handler->Enabled.load();
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
    // A handler registered several times is still deleted once.
    std::vector<TActionHandler*> all;
    for (int t = 0; t < kContexts; ++t) {
        for (TActionHandler* h : Handlers[t])
            if (h)
                all.push_back(h);
        all.insert(all.end(), mDeferredDelete[t].begin(), mDeferredDelete[t].end());
        mDeferredDelete[t].clear();
        Handlers[t].clear();
    }
    DeleteDistinct(all);
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
    Handlers[HandleType].push_back(pHandler);
    ++mCount[HandleType];
}

void TAction::EraseEntry(int type, HandlerList::iterator& it)
{
    --mCount[type];
    if (mWalkDepth[type] > 0) {
        // A walk holds iterators into this list: leave a hole, closed when it ends.
        *it = nullptr;
        mHasHoles[type] = true;
        ++it;
    } else {
        it = Handlers[type].erase(it);
    }
}

int TAction::Detach(TActionHandler* pHandler, ActionHandleType Filter)
{
    int walked = -1;
    if (!pHandler)
        return walked;
    for (int t = 0; t < kContexts; ++t) {
        if (!Selects(Filter, t))
            continue;
        for (auto it = Handlers[t].begin(); it != Handlers[t].end();) {
            if (*it == pHandler) {
                if (walked < 0 && mWalkDepth[t] > 0)
                    walked = t;
                EraseEntry(t, it);
            } else {
                ++it;
            }
        }
    }
    return walked;
}

void TAction::Dispose(TActionHandler* pHandler, int type)
{
    if (IsContext(type) && mWalkDepth[type] > 0)
        mDeferredDelete[type].push_back(pHandler);
    else
        delete pHandler;
}

void TAction::EndWalk(int type)
{
    if (--mWalkDepth[type] > 0)
        return;
    if (mHasHoles[type]) {
        Handlers[type].remove(nullptr);
        mHasHoles[type] = false;
    }
    if (!mDeferredDelete[type].empty()) {
        std::vector<TActionHandler*> doomed;
        doomed.swap(mDeferredDelete[type]);
        DeleteDistinct(doomed);
    }
}

int TAction::UnregisterActionHandler(TActionHandler* pHandler, bool DeleteInstance, ActionHandleType Filter)
{
    int walked = Detach(pHandler, Filter);
    if (DeleteInstance && pHandler)
        Dispose(pHandler, walked);
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
            if (DeleteInstance)
                Dispose(h, t);
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
    // once; a once handler leaves every entry of this list, also when it throws.
    auto finish = [this, t, &list](HandlerList::iterator it, TActionHandler* h) {
        if (*it != h || h->GetType() != TActionHandler::ahtExecuteOnce)
            return;
        for (auto e = list.begin(); e != list.end();) {
            if (*e == h)
                EraseEntry(t, e);
            else
                ++e;
        }
        mDeferredDelete[t].push_back(h);
    };

    ++mWalkDepth[t];
    try {
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
    } catch (...) {
        EndWalk(t);
        throw;
    }
    EndWalk(t);
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
        ++mWalkDepth[t];
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
    for (TAction* a : ActionList)
        delete a;
    ActionList.clear();
    SDL_UnlockMutex(ActionListMutex);
    for (TGeneratedAction* g : GeneratedActionQueue)
        delete g;
    GeneratedActionQueue.clear();
    for (int t = 0; t < kContexts; ++t) {
        ToRunActionQueue[t].clear();
        SDL_DestroyMutex(ToRunMutex[t]);
    }
    SDL_DestroyMutex(ActionQueueMutex);
    SDL_DestroyMutex(ActionListMutex);
    SDL_DestroyMutex(LifeMutex);
}

TAction* TActionMan::FindLocked(const std::string& ActionName)
{
    auto it = std::upper_bound(ActionList.begin(), ActionList.end(), ActionName,
                               [](const std::string& name, const TAction* a) { return name < a->Name; });
    if (it == ActionList.begin())
        return nullptr;
    --it;
    return (*it)->Name == ActionName ? *it : nullptr;
}

TAction* TActionMan::AddActionListener(std::string ActionName, TActionHandler* pActionHandler, ActionHandleType type)
{
    if (ActionName.empty()) {
        logman::WriteLog(4, 0, "Tried to register a handler for an action without a name, which is not allowed!");
        return nullptr;
    }
    SDL_LockMutex(ActionListMutex);
    TAction* action = FindLocked(ActionName);
    if (!action) {
        action = new TAction(ActionName);
        auto at = std::upper_bound(ActionList.begin(), ActionList.end(), ActionName,
                                   [](const std::string& name, const TAction* a) { return name < a->Name; });
        ActionList.insert(at, action);
    }
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
    auto it = std::upper_bound(ActionList.begin(), ActionList.end(), pAction->Name,
                               [](const std::string& name, const TAction* a) { return name < a->Name; });
    if (it != ActionList.begin() && *(it - 1) == pAction)
        ActionList.erase(it - 1);
    SDL_UnlockMutex(ActionListMutex);
    if (DeleteInstance)
        DeleteAction(pAction);
}

int TActionMan::UnregisterAction(std::string ActionName, bool DeleteInstance)
{
    if (ActionName.empty())
        return -1;
    SDL_LockMutex(ActionListMutex);
    TAction* action = FindLocked(ActionName);
    if (!action) {
        SDL_UnlockMutex(ActionListMutex);
        return -1;
    }
    ActionList.erase(std::find(ActionList.begin(), ActionList.end(), action));
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
    for (TAction* a : ActionList) {
        int w = a->Detach(pHandler, ACTION_ANY);
        if (w >= 0 && !walker) {
            walker = a;
            walked = w;
        }
    }
    if (DeleteInstance) {
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
    for (;;) {
        SDL_LockMutex(ActionQueueMutex);
        if (GeneratedActionQueue.empty()) {
            SDL_UnlockMutex(ActionQueueMutex);
            return;
        }
        std::unique_ptr<TGeneratedAction> generated(GeneratedActionQueue.front());
        GeneratedActionQueue.pop_front();
        SDL_UnlockMutex(ActionQueueMutex);
        ActionGenerated(generated->ActionName, generated->hActionData, generated->Restriction, false);
    }
}

void TActionMan::MatchPrefixes(const std::string& ActionName, std::vector<TAction*>& out)
{
    // Prefixes of one name sort in length order, so looking up each leading
    // part in turn yields the matches in name order. Each search starts past
    // the previous position; it ends as soon as no name starts with the
    // current part, since no longer part can match then.
    const std::string_view name(ActionName);
    auto lo = ActionList.begin();
    const auto hi = ActionList.end();
    for (size_t len = 1; len <= name.size() && lo != hi; ++len) {
        const std::string_view part = name.substr(0, len);
        lo = std::lower_bound(lo, hi, part,
                              [](const TAction* a, std::string_view p) { return std::string_view(a->Name) < p; });
        if (lo == hi)
            break;
        const std::string_view found((*lo)->Name);
        if (found == part) {
            out.push_back(*lo);
            ++lo;
        } else if (found.substr(0, len) != part) {
            break;
        }
    }
}

int TActionMan::ActionGenerated(const std::string& ActionName, void* hActionData, ActionHandleType Filter,
                                bool executeImmediately)
{
    int count = 0;
    std::vector<TAction*> matched;
    SDL_LockMutex(ActionListMutex);
    MatchPrefixes(ActionName, matched);

    if (!executeImmediately) {
        for (TAction* a : matched) {
            for (int t = 0; t < kContexts; ++t) {
                if (!Selects(Filter, t) || a->mCount[t] == 0)
                    continue;
                ++count;
                SDL_LockMutex(ToRunMutex[t]);
                ToRunActionQueue[t].push_back(TGeneratedSkippedAction{a, hActionData});
                SDL_UnlockMutex(ToRunMutex[t]);
            }
        }
        SDL_UnlockMutex(ActionListMutex);
        return count;
    }

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
