// State automaton: a state machine whose states are objects, with a history
// of up to 100 states for stepping back and forward like a browser.
//
// A host derives its automaton from TStateAutomat (Load and Unload stay pure),
// hands it states with SetNext(new MyState(automaton)) and calls Poll, usually
// once per main-loop pass. A poll either runs the active state once
// (OnExecute) or performs the pending change: OnExit on the state left (and
// on states stepped over), OnCreate the first time a state is entered, then
// OnEnter. Hooks let a subclass veto or observe polls, changes and
// navigation. TStateDelay waits a given time and then steps back.
//
// Ownership: the automaton owns every state passed to SetNext or ForceNext,
// also a refused one (it is destroyed at once). A state leaves the history
// when it is the oldest of 100, or when a SetNext discards the states ahead
// of the selected one; it gets OnDestroy and is deleted, never before the
// OnExit it is owed. A state object belongs to one automaton and is passed once.
//
// Threads: every operation locks the automaton's recursive mutex; Poll holds
// it for its whole run, callbacks included, so states may navigate from their
// callbacks and other threads wait until the poll is over. A state's id,
// description and automaton pointer are guarded by the state's own mutex; its
// OnDescriptionChange runs under that mutex and must not call into the
// automaton from a thread other than the polling one.
//
// Failure: an exception from a state callback or a hook that the automaton
// calls is caught, a fixed line naming the step is printed to standard
// output, and the automaton carries on; a veto hook that throws counts as a
// veto. Nothing is logged. (OnDescriptionChange is called by SetDescription,
// not by the automaton: its exceptions reach the caller.)
#pragma once

#include "TAppModule.h"

#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_stdinc.h>

#include <list>
#include <string>

namespace vorel_sdl2 {

class TStateAutomat;

class TSAState {
public:
    explicit TSAState(TStateAutomat* pSA);
    TSAState(const TSAState&) = delete;
    TSAState& operator=(const TSAState&) = delete;
    virtual ~TSAState();

    // The automaton ignores the results.
    virtual int OnCreate();
    virtual int OnDestroy();
    virtual int OnEnter();
    virtual int OnExit();
    virtual int OnExecute();
    // Called by SetDescription with the old and the new text, before the change.
    virtual void OnDescriptionChange(std::string From, std::string To);

    long GetStateID();
    std::string GetDescription();
    TStateAutomat* GetSA();

    void SetDescription(std::string Description);
    // printf-style; ignored for a null format or one longer than 2000 characters.
    void SetDescription(const char* pDescription, ...) __attribute__((format(printf, 2, 3)));
    // An empty description leaves the current one.
    void SetStateID(long ID, std::string Description);
    // printf-style; ignored entirely (the id too) for a null format or one
    // longer than 2000 characters.
    void SetStateID(long ID, const char* pDescription, ...) __attribute__((format(printf, 3, 4)));

    // Forward to the owning automaton; -1 without one.
    int SetNext(TSAState* pNextState);
    int Back();
    int Forward();

    bool OnCreateExecuted;
    Uint32 OnEnterCounter;
    Uint32 OnExitCounter;
    Uint32 OnExecuteCounter;
    Uint32 OnCreateTimestamp;
    Uint32 OnEnterTimestamp;
    Sint64 CustomCounter1;
    Sint64 CustomCounter2;
    Sint64 CustomCounter3;
    Sint64 CustomCounter4;
    Sint64 CustomCounter5;
    Uint32 CustomTimer1;
    Uint32 CustomTimer2;
    Uint32 CustomTimer3;

private:
    SDL_mutex* MyLock;
    Sint64 StateID;
    std::string StateDesc;
    TStateAutomat* pSA;
};

// Waits WaitForMS milliseconds after being entered, then steps the automaton
// back; until a step back succeeds every poll tries again. Id 1000,
// description "vorel::WaitForMS".
class TStateDelay : public TSAState {
public:
    TStateDelay(TStateAutomat* pSA, Uint32 WaitForMS);

    int OnEnter() override;
    int OnExecute() override;

    Uint32 WaitForMS;
    Uint32 StateStart;
};

class TStateAutomat : public TAppModule {
public:
    // Starts with a default state of its own, active without being entered.
    TStateAutomat();
    // Every remaining state gets OnDestroy (exceptions ignored) and is
    // deleted. Derived parts are gone by then: states must not use them in
    // OnDestroy.
    ~TStateAutomat() override;

    // Runs the active state once or performs the pending change; always 0.
    int Poll() override;

    // Hooks, for subclasses. Non-zero results: BeforePoll skips this poll's
    // OnExecute, BeforeStateChange postpones the change, OnBack / OnForward
    // refuse the step, BeforeSetNext refuses SetNext.
    virtual void SetPollTime(Uint32 PollTimeMs);
    virtual int BeforePoll();
    virtual void AfterPoll();
    virtual int BeforeStateChange();
    virtual void AfterStateChange();
    virtual int OnBack();
    virtual int OnForward();
    virtual int BeforeSetNext();
    virtual void AfterSetNext();

    // Selects a new state, entered at the next poll; states ahead of the
    // selection (left there by Back) are discarded. -1 for a null state or one
    // the automaton already holds (nothing changes), 1 while a forced change
    // is pending, 2 refused by BeforeSetNext, 0 done. On 1 and 2 the state is
    // destroyed at once.
    int SetNext(TSAState* pNextState);
    // SetNext that cannot be refused while forcing; until the next completed
    // change SetNext, Back and Forward are refused with 1. Always 0.
    int ForceNext(TSAState* pNextState);
    // 1 while forcing, 2 with nothing in that direction, else 0 (also when
    // OnBack / OnForward refused the step).
    int Back();
    int Forward();

    // The selected state: the active one, or the target of a pending change.
    TSAState* GetCurrentState();
    // One position older / newer than the selected state, or null.
    TSAState* GetPreviousState();
    TSAState* GetNextState();
    // How many of the newest InLastStatesCount history entries have StateID.
    short CountStatesInHistory(long StateID, short InLastStatesCount);

    static constexpr size_t MAX_HISTORY = 100;

private:
    typedef std::list<TSAState*> StateList;

    // Whether a state may be destroyed now: not before its owed OnExit.
    bool IsStillNeeded(const TSAState* state) const;
    // Removes the entry at it from the history and destroys it, or queues it
    // for a later SetNext while it is still needed.
    void DiscardFromHistory(StateList::iterator it);
    void DestroyState(TSAState* state, bool quiet);
    void PerformStateChange();

    SDL_mutex* MyLock;
    StateList StateHistory;     // newest first
    StateList StateDeleteQueue; // newest queued first
    StateList tmpList;          // states being exited during a change
    StateList::iterator itNextState;
    StateList::iterator itLastState;
    bool ForcingNext;
    // The active state once a SetNext has discarded it from the history
    // before a poll exited it; it waits in StateDeleteQueue for its OnExit.
    TSAState* pDiscardedActive;
};

} // namespace vorel_sdl2
