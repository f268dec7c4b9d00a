#include "TStateAutomat.h"

#include "ThreadSafeProperty.h"

#include "MyUtilsTime.h"
#include "Platform.h"
#include "TLogManager.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace vorel_sdl2 {

namespace {

constexpr size_t kFormatBuffer = 2048;
constexpr size_t kMaxFormatLength = 2000;

void Report(const char* line)
{
    std::fputs(line, stdout);
}

// True when the format is usable: not null and at most 2000 characters.
bool UsableFormat(const char* format)
{
    return format && strnlen(format, kMaxFormatLength + 1) <= kMaxFormatLength;
}

} // namespace

// ---------------------------------------------------------------------------
// TSAState

TSAState::TSAState(TStateAutomat* pSA)
    : OnCreateExecuted(false), OnEnterCounter(0), OnExitCounter(0), OnExecuteCounter(0),
      OnCreateTimestamp(Platform.Ticks()), OnEnterTimestamp(0), CustomCounter1(0), CustomCounter2(0),
      CustomCounter3(0), CustomCounter4(0), CustomCounter5(0), CustomTimer1(0), CustomTimer2(0), CustomTimer3(0),
      MyLock(SDL_CreateMutex()), StateID(-1), StateDesc(), pSA(pSA)
{
}

TSAState::~TSAState()
{
    SDL_DestroyMutex(MyLock);
}

int TSAState::OnCreate() { return 0; }
int TSAState::OnDestroy() { return 0; }
int TSAState::OnEnter() { return 0; }
int TSAState::OnExit() { return 0; }
int TSAState::OnExecute() { return 0; }
void TSAState::OnDescriptionChange(std::string, std::string) {}

long TSAState::GetStateID()
{
    ScopedSDLMutex lock(MyLock);
    return static_cast<long>(StateID);
}

std::string TSAState::GetDescription()
{
    ScopedSDLMutex lock(MyLock);
    return StateDesc;
}

TStateAutomat* TSAState::GetSA()
{
    ScopedSDLMutex lock(MyLock);
    return pSA;
}

void TSAState::SetDescription(std::string Description)
{
    ScopedSDLMutex lock(MyLock);
    OnDescriptionChange(StateDesc, Description);
    StateDesc = std::move(Description);
}

void TSAState::SetDescription(const char* pDescription, ...)
{
    if (!UsableFormat(pDescription))
        return;
    char buffer[kFormatBuffer];
    va_list args;
    va_start(args, pDescription);
    std::vsnprintf(buffer, sizeof buffer, pDescription, args);
    va_end(args);
    SetDescription(std::string(buffer));
}

void TSAState::SetStateID(long ID, std::string Description)
{
    ScopedSDLMutex lock(MyLock);
    StateID = ID;
    if (!Description.empty())
        SetDescription(std::move(Description));
}

void TSAState::SetStateID(long ID, const char* pDescription, ...)
{
    if (!UsableFormat(pDescription))
        return;
    char buffer[kFormatBuffer];
    va_list args;
    va_start(args, pDescription);
    std::vsnprintf(buffer, sizeof buffer, pDescription, args);
    va_end(args);
    SetStateID(ID, std::string(buffer));
}

int TSAState::SetNext(TSAState* pNextState)
{
    TStateAutomat* automat = GetSA();
    return automat ? automat->SetNext(pNextState) : -1;
}

int TSAState::Back()
{
    TStateAutomat* automat = GetSA();
    return automat ? automat->Back() : -1;
}

int TSAState::Forward()
{
    TStateAutomat* automat = GetSA();
    return automat ? automat->Forward() : -1;
}

// ---------------------------------------------------------------------------
// TStateDelay

TStateDelay::TStateDelay(TStateAutomat* pSA, Uint32 WaitForMS) : TSAState(pSA), WaitForMS(WaitForMS), StateStart(0)
{
    SetStateID(1000, std::string("vorel::WaitForMS"));
}

int TStateDelay::OnEnter()
{
    StateStart = Platform.Ticks();
    return 0;
}

int TStateDelay::OnExecute()
{
    if (MyUtils::IsTime(StateStart, WaitForMS, false))
        Back();
    return 0;
}

// ---------------------------------------------------------------------------
// TStateAutomat

TStateAutomat::TStateAutomat() : MyLock(SDL_CreateMutex()), ForcingNext(false), pDiscardedActive(nullptr)
{
    StateHistory.push_front(new TSAState(this));
    itNextState = itLastState = StateHistory.begin();
}

TStateAutomat::~TStateAutomat()
{
    SDL_LockMutex(MyLock);
    // Taken out first, so whatever a state's OnDestroy does to the automaton
    // finds consistent (empty) lists.
    StateList history;
    history.swap(StateHistory);
    StateList queued;
    queued.swap(StateDeleteQueue);
    tmpList.clear();
    pDiscardedActive = nullptr;
    itNextState = itLastState = StateHistory.end();
    for (auto it = history.rbegin(); it != history.rend(); ++it)
        DestroyState(*it, true);
    for (auto it = queued.rbegin(); it != queued.rend(); ++it)
        DestroyState(*it, true);
    SDL_UnlockMutex(MyLock);
    SDL_DestroyMutex(MyLock);
}

void TStateAutomat::SetPollTime(Uint32) {}
int TStateAutomat::BeforePoll() { return 0; }
void TStateAutomat::AfterPoll() {}
int TStateAutomat::BeforeStateChange() { return 0; }
void TStateAutomat::AfterStateChange() {}
int TStateAutomat::OnBack() { return 0; }
int TStateAutomat::OnForward() { return 0; }
int TStateAutomat::BeforeSetNext() { return 0; }
void TStateAutomat::AfterSetNext() {}

bool TStateAutomat::IsStillNeeded(const TSAState* state) const
{
    if (state == pDiscardedActive)
        return true;
    if (!pDiscardedActive && itLastState != StateHistory.end() && *itLastState == state)
        return true;
    return std::find(tmpList.begin(), tmpList.end(), state) != tmpList.end();
}

void TStateAutomat::DestroyState(TSAState* state, bool quiet)
{
    try {
        state->OnDestroy();
    } catch (...) {
        if (!quiet)
            Report("StateAutomat:SetNext:OnDestroy unhandled exception\n");
    }
    delete state;
}

void TStateAutomat::DiscardFromHistory(StateList::iterator it)
{
    TSAState* state = *it;
    if (!pDiscardedActive && it == itLastState) {
        pDiscardedActive = state;
        itLastState = StateHistory.end();
    }
    if (IsStillNeeded(state)) {
        StateDeleteQueue.splice(StateDeleteQueue.begin(), StateHistory, it);
        return;
    }
    StateHistory.erase(it);
    DestroyState(state, false);
}

int TStateAutomat::SetNext(TSAState* pNextState)
{
    if (!pNextState)
        return -1;
    ScopedSDLMutex lock(MyLock);
    // Listed twice, a state would be destroyed while still listed.
    if (std::find(StateHistory.begin(), StateHistory.end(), pNextState) != StateHistory.end() ||
        std::find(StateDeleteQueue.begin(), StateDeleteQueue.end(), pNextState) != StateDeleteQueue.end())
        return -1;
    if (ForcingNext) {
        DestroyState(pNextState, false);
        return 1;
    }
    int veto;
    try {
        veto = BeforeSetNext();
    } catch (...) {
        Report("StateAutomat:SetNext:BeforeSetNext unhandled exception\n");
        veto = 1;
    }
    if (veto != 0) {
        DestroyState(pNextState, false);
        return 2;
    }

    // A full history gives up its oldest state, unless that is the selection
    // itself: then discarding the states ahead of it below makes the room.
    if (StateHistory.size() >= MAX_HISTORY) {
        auto oldest = std::prev(StateHistory.end());
        if (oldest != itNextState)
            DiscardFromHistory(oldest);
    }

    // Destroy what earlier calls discarded, the oldest-queued first; a state
    // still owed its OnExit stays queued.
    StateList doomed;
    for (auto it = StateDeleteQueue.begin(); it != StateDeleteQueue.end();) {
        auto current = it++;
        if (!IsStillNeeded(*current))
            doomed.splice(doomed.begin(), StateDeleteQueue, current);
    }
    for (TSAState* state : doomed)
        DestroyState(state, false);

    // States ahead of the selection (left there by Back) are discarded; they
    // are destroyed at the next SetNext.
    for (auto it = StateHistory.begin(); it != itNextState; ++it)
        if (!pDiscardedActive && it == itLastState) {
            pDiscardedActive = *it;
            itLastState = StateHistory.end();
        }
    StateDeleteQueue.splice(StateDeleteQueue.begin(), StateHistory, StateHistory.begin(), itNextState);

    StateHistory.push_front(pNextState);
    itNextState = StateHistory.begin();
    try {
        AfterSetNext();
    } catch (...) {
        Report("StateAutomat:SetNext:AfterSetNext unhandled exception\n");
    }
    return 0;
}

int TStateAutomat::ForceNext(TSAState* pNextState)
{
    if (!pNextState)
        return 0;
    ScopedSDLMutex lock(MyLock);
    const bool wasForcing = ForcingNext;
    ForcingNext = false;
    // A state that was not taken at all (-1) forces nothing.
    ForcingNext = SetNext(pNextState) == -1 ? wasForcing : true;
    return 0;
}

int TStateAutomat::Back()
{
    ScopedSDLMutex lock(MyLock);
    if (ForcingNext)
        return 1;
    if (StateHistory.empty() || std::next(itNextState) == StateHistory.end())
        return 2;
    int veto;
    try {
        veto = OnBack();
    } catch (...) {
        Report("StateAutomat:Back:OnBack unhandled exception\n");
        veto = 1;
    }
    if (veto == 0)
        ++itNextState;
    return 0;
}

int TStateAutomat::Forward()
{
    ScopedSDLMutex lock(MyLock);
    if (ForcingNext)
        return 1;
    if (StateHistory.empty() || itNextState == StateHistory.begin())
        return 2;
    int veto;
    try {
        veto = OnForward();
    } catch (...) {
        Report("StateAutomat:Forward:OnForward unhandled exception\n");
        veto = 1;
    }
    if (veto == 0)
        --itNextState;
    return 0;
}

TSAState* TStateAutomat::GetCurrentState()
{
    ScopedSDLMutex lock(MyLock);
    return StateHistory.empty() ? nullptr : *itNextState;
}

TSAState* TStateAutomat::GetPreviousState()
{
    ScopedSDLMutex lock(MyLock);
    if (StateHistory.empty())
        return nullptr;
    auto older = std::next(itNextState);
    return older == StateHistory.end() ? nullptr : *older;
}

TSAState* TStateAutomat::GetNextState()
{
    ScopedSDLMutex lock(MyLock);
    if (StateHistory.empty() || itNextState == StateHistory.begin())
        return nullptr;
    return *std::prev(itNextState);
}

short TStateAutomat::CountStatesInHistory(long StateID, short InLastStatesCount)
{
    ScopedSDLMutex lock(MyLock);
    short count = 0;
    short seen = 0;
    for (auto it = StateHistory.begin(); it != StateHistory.end() && seen < InLastStatesCount; ++it, ++seen)
        if ((*it)->GetStateID() == StateID)
            ++count;
    return count;
}

int TStateAutomat::Poll()
{
    ScopedSDLMutex lock(MyLock);
    if (StateHistory.empty())
        return 0;
    // Called again from a callback of a change in progress: that change finishes first.
    if (!tmpList.empty())
        return 0;

    if (!pDiscardedActive && itNextState == itLastState) {
        int veto;
        try {
            veto = BeforePoll();
        } catch (...) {
            Report("StateAutomat:Poll:BeforePoll unhandled exception\n");
            veto = 1;
        }
        if (veto != 0)
            return 0;
        TSAState* state = *itNextState;
        ++state->OnExecuteCounter;
        try {
            state->OnExecute();
        } catch (...) {
            Report("StateAutomat:Poll:OnExecute unhandled exception\n");
        }
        try {
            AfterPoll();
        } catch (...) {
            Report("StateAutomat:Poll:AfterPoll unhandled exception\n");
        }
        return 0;
    }

    int veto;
    try {
        veto = BeforeStateChange();
    } catch (...) {
        Report("StateAutomat:Poll:BeforeStateChange unhandled exception\n");
        veto = 1;
    }
    if (veto != 0)
        return 0;
    PerformStateChange();
    return 0;
}

void TStateAutomat::PerformStateChange()
{
    // The states to exit: the active one first, then those stepped over on
    // the way to the selection. tmpList also keeps them from being destroyed
    // by a SetNext made from one of the callbacks below.
    tmpList.clear();
    if (pDiscardedActive) {
        tmpList.push_back(pDiscardedActive);
    } else {
        const bool towardsOlder =
            std::distance(StateHistory.begin(), itNextState) > std::distance(StateHistory.begin(), itLastState);
        for (auto it = itLastState; it != itNextState; towardsOlder ? ++it : --it)
            tmpList.push_back(*it);
    }
    for (TSAState* state : tmpList) {
        ++state->OnExitCounter;
        try {
            state->OnExit();
        } catch (...) {
            Report("StateAutomat:Poll:tmpList.back.OnExit unhandled exception\n");
        }
    }
    pDiscardedActive = nullptr;

    itLastState = itNextState;
    TSAState* entered = *itLastState;
    if (!entered->OnCreateExecuted) {
        try {
            entered->OnCreate();
        } catch (...) {
            Report("StateAutomat:Poll:OnCreate unhandled exception\n");
        }
        entered->OnCreateExecuted = true;
    }
    ++entered->OnEnterCounter;
    try {
        entered->OnEnter();
    } catch (...) {
        Report("StateAutomat:Poll:OnEnter unhandled exception\n");
    }
    entered->OnEnterTimestamp = Platform.Ticks();
    try {
        AfterStateChange();
    } catch (...) {
        Report("StateAutomat:Poll:AfterStateChange unhandled exception\n");
    }
    ForcingNext = false;
    tmpList.clear();
}

} // namespace vorel_sdl2
