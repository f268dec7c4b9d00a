// The state automaton: entering and executing states, stepping back and
// forward, forced changes, vetoing hooks, the 100-state history, guarded
// callbacks and the delay state.
#include "Platform.h"
#include "TestPlatform.h"
#include "TStateAutomat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using vorel_sdl2::TSAState;
using vorel_sdl2::TStateAutomat;
using vorel_sdl2::TStateDelay;

namespace {

// A clock the test moves by hand.
std::atomic<Uint32> gNow{5000};
Uint32 FakeTicks() { return gNow.load(); }

struct Journal {
    std::vector<std::string> lines;
    std::map<std::string, int> deleted;
    void note(const std::string& line) { lines.push_back(line); }
    // Lines since the previous call.
    std::vector<std::string> take()
    {
        std::vector<std::string> out;
        out.swap(lines);
        return out;
    }
};

class State : public TSAState {
public:
    State(TStateAutomat* sa, Journal* j, std::string name, long id = 0) : TSAState(sa), mJournal(j), mName(name)
    {
        SetStateID(id, name);
    }
    ~State() override { ++mJournal->deleted[mName]; }

    int OnCreate() override { return step("create"); }
    int OnDestroy() override { return step("destroy"); }
    int OnEnter() override { return step("enter"); }
    int OnExit() override { return step("exit"); }
    int OnExecute() override { return step("exec"); }

    std::string throwIn; // name of a callback that throws
    std::function<void(const std::string&)> onStep;

private:
    int step(const std::string& what)
    {
        mJournal->note(mName + ":" + what);
        if (onStep)
            onStep(what);
        if (throwIn == what)
            throw std::runtime_error(what);
        return 0;
    }
    Journal* mJournal;
    std::string mName;
};

class Automat : public TStateAutomat {
public:
    int Load(void*) override { return 0; }
    int Unload() override { return 0; }

    int BeforePoll() override { return hook("BeforePoll"); }
    void AfterPoll() override { hook("AfterPoll"); }
    int BeforeStateChange() override { return hook("BeforeStateChange"); }
    void AfterStateChange() override { hook("AfterStateChange"); }
    int OnBack() override { return hook("OnBack"); }
    int OnForward() override { return hook("OnForward"); }
    int BeforeSetNext() override { return hook("BeforeSetNext"); }
    void AfterSetNext() override { hook("AfterSetNext"); }

    std::map<std::string, int> results;   // what a hook returns (0 when absent)
    std::map<std::string, int> calls;
    std::string throwIn;

private:
    int hook(const std::string& name)
    {
        ++calls[name];
        if (throwIn == name)
            throw 1;
        return results[name];
    }
};

class StateAutomat : public ::testing::Test {
protected:
    void SetUp() override
    {
        gNow = 5000;
        vorel_sdl2::Platform.Ticks = &FakeTicks;
        sa = new Automat();
    }
    void TearDown() override
    {
        delete sa;
        vorel_sdl2::Platform = TestPlatform();
    }

    State* make(const std::string& name, long id = 0) { return new State(sa, &journal, name, id); }
    State* select(const std::string& name, long id = 0)
    {
        State* s = make(name, id);
        EXPECT_EQ(sa->SetNext(s), 0) << name;
        return s;
    }
    // SetNext then Poll: the state becomes the active one.
    State* enter(const std::string& name, long id = 0)
    {
        State* s = select(name, id);
        sa->Poll();
        return s;
    }

    Journal journal;
    Automat* sa = nullptr;
};

using Lines = std::vector<std::string>;

} // namespace

TEST_F(StateAutomat, AStateIsEnteredAtTheNextPollAndExecutedFromThePollAfter)
{
    TSAState* initial = sa->GetCurrentState();
    ASSERT_NE(initial, nullptr);
    EXPECT_EQ(initial->GetStateID(), -1);
    sa->Poll(); // the automaton's own state runs quietly
    EXPECT_EQ(initial->OnExecuteCounter, 1u);

    State* a = select("A");
    EXPECT_EQ(sa->GetCurrentState(), a);
    EXPECT_EQ(sa->GetPreviousState(), initial);
    EXPECT_EQ(journal.take(), Lines{});
    gNow = 6000;
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"A:create", "A:enter"}));
    EXPECT_EQ(initial->OnExitCounter, 1u);
    EXPECT_TRUE(a->OnCreateExecuted);
    EXPECT_EQ(a->OnEnterCounter, 1u);
    EXPECT_EQ(a->OnExecuteCounter, 0u);
    EXPECT_EQ(a->OnCreateTimestamp, 5000u);
    EXPECT_EQ(a->OnEnterTimestamp, 6000u);
    sa->Poll();
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"A:exec", "A:exec"}));
    EXPECT_EQ(a->OnExecuteCounter, 2u);
    EXPECT_EQ(sa->calls["AfterStateChange"], 1);
    EXPECT_EQ(sa->calls["AfterPoll"], 3);
}

TEST_F(StateAutomat, BackAndForwardReenterStatesWithoutCreatingThemAgain)
{
    State* a = enter("A");
    State* b = enter("B");
    journal.take();
    EXPECT_EQ(sa->Forward(), 2); // nothing newer
    EXPECT_EQ(sa->Back(), 0);
    EXPECT_EQ(sa->GetCurrentState(), a);
    EXPECT_EQ(sa->GetNextState(), b);
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"B:exit", "A:enter"}));
    EXPECT_EQ(a->OnEnterCounter, 2u);

    EXPECT_EQ(sa->Forward(), 0);
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"A:exit", "B:enter"}));
    EXPECT_EQ(sa->GetNextState(), nullptr);

    // Two steps back before a poll: the active state first, then the one stepped over.
    State* c = enter("C");
    journal.take();
    sa->Back();
    sa->Back();
    EXPECT_EQ(sa->GetCurrentState(), a);
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"C:exit", "B:exit", "A:enter"}));
    sa->Forward();
    sa->Forward();
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"A:exit", "B:exit", "C:enter"}));
    EXPECT_EQ(c->OnEnterCounter, 2u);
    EXPECT_EQ(b->OnExitCounter, 4u); // stepping over a state counts as leaving it
}

TEST_F(StateAutomat, BackWithASingleStateHasNowhereToGo)
{
    EXPECT_EQ(sa->Back(), 2);
    EXPECT_EQ(sa->Forward(), 2);
    EXPECT_EQ(sa->GetPreviousState(), nullptr);
    EXPECT_EQ(sa->GetNextState(), nullptr);
    EXPECT_EQ(sa->calls["OnBack"], 0);
}

TEST_F(StateAutomat, SetNextAfterBackDiscardsTheStatesAhead)
{
    enter("A");
    enter("B");
    sa->Back();
    sa->Poll();
    journal.take();
    select("C"); // B is discarded but lives until the next SetNext
    EXPECT_EQ(journal.deleted["B"], 0);
    EXPECT_EQ(sa->GetNextState(), nullptr);
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"A:exit", "C:create", "C:enter"}));
    select("D");
    EXPECT_EQ(journal.take(), (Lines{"B:destroy"}));
    EXPECT_EQ(journal.deleted["B"], 1);
}

TEST_F(StateAutomat, ADiscardedActiveStateIsExitedBeforeItIsDestroyed)
{
    enter("A");
    State* b = enter("B");
    journal.take();
    sa->Back();  // B stays active until a poll
    select("C"); // discards B, still active
    select("D"); // would destroy B, which is still owed its exit
    EXPECT_EQ(journal.deleted["B"], 0);
    EXPECT_EQ(journal.take(), Lines{});
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"B:exit", "D:create", "D:enter"}));
    EXPECT_EQ(b->OnExitCounter, 1u);
    select("E");
    EXPECT_EQ(journal.take(), (Lines{"B:destroy"}));
    EXPECT_EQ(journal.deleted["B"], 1);
}

TEST_F(StateAutomat, AForcedChangeRefusesNavigationUntilItIsEntered)
{
    enter("A");
    enter("B");
    journal.take();
    EXPECT_EQ(sa->ForceNext(make("X")), 0);
    EXPECT_EQ(sa->SetNext(make("Y")), 1);
    EXPECT_EQ(journal.deleted["Y"], 1); // a refused state is the automaton's, and destroyed
    EXPECT_EQ(sa->Back(), 1);
    EXPECT_EQ(sa->Forward(), 1);
    EXPECT_EQ(sa->ForceNext(make("X2")), 0); // a later force replaces the target
    sa->Poll();
    // X was selected but never entered; the walk from B to X2 still passes it.
    EXPECT_EQ(journal.take(), (Lines{"Y:destroy", "B:exit", "X:exit", "X2:create", "X2:enter"}));
    EXPECT_EQ(sa->SetNext(make("Z")), 0);
    EXPECT_EQ(sa->Back(), 0);
}

TEST_F(StateAutomat, ARefusedForcedStateKeepsNavigationRefusedUntilAForceSucceeds)
{
    enter("A");
    sa->results["BeforeSetNext"] = 1;
    sa->ForceNext(make("X"));
    EXPECT_EQ(journal.deleted["X"], 1);
    sa->results["BeforeSetNext"] = 0;
    EXPECT_EQ(sa->SetNext(make("Y")), 1);
    sa->Poll(); // nothing pending: A runs
    EXPECT_EQ(sa->Back(), 1);
    sa->ForceNext(make("W"));
    sa->Poll();
    EXPECT_EQ(sa->SetNext(make("V")), 0);
    // A null or already owned state forces nothing.
    sa->Poll();
    sa->ForceNext(nullptr);
    sa->ForceNext(sa->GetCurrentState());
    EXPECT_EQ(sa->Back(), 0);
}

struct VetoCase {
    const char* hook;
    std::function<void(Automat*, TStateAutomat*)> act; // with A active, B selected before A
    Lines journal;
    int result;
};

TEST_F(StateAutomat, HooksVetoPollsChangesAndNavigation)
{
    // Each case starts with B entered over A; the hook answers 1, then 0.
    const std::vector<VetoCase> cases = {
        {"BeforePoll", [](Automat*, TStateAutomat* s) { s->Poll(); }, Lines{}, 0},
        {"BeforeStateChange",
         [](Automat*, TStateAutomat* s) {
             s->Back();
             s->Poll();
         },
         Lines{}, 0},
        {"OnBack", [](Automat*, TStateAutomat* s) { EXPECT_EQ(s->Back(), 0); s->Poll(); }, Lines{"B:exec"}, 0},
        {"OnForward",
         [](Automat* a, TStateAutomat* s) {
             a->results["OnForward"] = 0;
             s->Back();
             s->Poll();
             a->results["OnForward"] = 1;
             EXPECT_EQ(s->Forward(), 0);
             s->Poll();
         },
         Lines{"B:exit", "A:enter", "A:exec"}, 0},
        {"BeforeSetNext", [](Automat*, TStateAutomat* s) { s->Poll(); }, Lines{"B:exec"}, 2},
    };
    for (const VetoCase& c : cases) {
        SCOPED_TRACE(c.hook);
        TearDown();
        SetUp();
        enter("A");
        enter("B");
        journal.take();
        sa->results[c.hook] = 1;
        int result = 0;
        if (std::string(c.hook) == "BeforeSetNext")
            result = sa->SetNext(make("C"));
        c.act(sa, sa);
        Lines seen = journal.take();
        if (std::string(c.hook) == "BeforeSetNext")
            seen.erase(seen.begin()); // C:destroy, the refused state
        EXPECT_EQ(seen, c.journal);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(sa->calls["AfterPoll"] > 0, std::string(c.hook) == "OnBack" || std::string(c.hook) == "OnForward" ||
                                                  std::string(c.hook) == "BeforeSetNext");
        // Lifting the veto lets the postponed change happen.
        sa->results[c.hook] = 0;
        if (std::string(c.hook) == "BeforeStateChange") {
            sa->Poll();
            EXPECT_EQ(journal.take(), (Lines{"B:exit", "A:enter"}));
        }
    }
}

TEST_F(StateAutomat, TheHistoryKeepsTheNewestHundredStates)
{
    std::vector<State*> states;
    for (int i = 1; i <= 101; ++i)
        states.push_back(enter("S" + std::to_string(i), i));
    // The automaton's own state went with the 100th, S1 with the 101st.
    EXPECT_EQ(journal.deleted["S1"], 1);
    EXPECT_EQ(journal.deleted["S2"], 0);
    int steps = 0;
    while (sa->Back() == 0)
        ++steps;
    EXPECT_EQ(steps, 99);
    EXPECT_EQ(sa->GetCurrentState(), states[1]);

    // With the oldest one selected (and still pending), a full history makes
    // room by discarding the states ahead, never the selection.
    select("New", 500);
    sa->Poll();
    EXPECT_EQ(sa->GetPreviousState(), states[1]);
    EXPECT_EQ(sa->CountStatesInHistory(500, 100), 1);
    EXPECT_EQ(sa->Back(), 0);
    EXPECT_EQ(sa->Back(), 2);
    select("After"); // the discarded ones are destroyed now
    for (int i = 3; i <= 101; ++i)
        EXPECT_EQ(journal.deleted["S" + std::to_string(i)], 1) << i;
}

TEST_F(StateAutomat, AFullHistoryKeepsTheActiveStateUntilItHasBeenExited)
{
    State* first = enter("First", 1);
    for (int i = 2; i <= 100; ++i)
        select("S" + std::to_string(i), i);
    // History: S100 ... S2, First (the oldest, and active; the automaton's own
    // state is gone). Pending: S100.
    journal.take();
    select("S101", 101); // the oldest must go, but it still needs its exit
    EXPECT_EQ(journal.deleted["First"], 0);
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"First:exit", "S101:create", "S101:enter"}));
    EXPECT_EQ(first->OnExitCounter, 1u);
    select("S102");
    EXPECT_EQ(journal.deleted["First"], 1);
}

TEST_F(StateAutomat, CountStatesInHistoryLooksAtTheNewestEntriesOnly)
{
    for (long id : {7, 7, 5, 7}) // newest last
        select("S", id);
    EXPECT_EQ(sa->CountStatesInHistory(7, 3), 2);
    EXPECT_EQ(sa->CountStatesInHistory(7, 4), 3);
    EXPECT_EQ(sa->CountStatesInHistory(7, 50), 3);
    EXPECT_EQ(sa->CountStatesInHistory(5, 1), 0);
    EXPECT_EQ(sa->CountStatesInHistory(-1, 50), 1); // the automaton's own state
    EXPECT_EQ(sa->CountStatesInHistory(7, 0), 0);
}

TEST_F(StateAutomat, ADelayStateStepsBackOnceItsTimeIsOver)
{
    State* a = enter("A");
    journal.take();
    TStateDelay* delay = new TStateDelay(sa, 1000);
    EXPECT_EQ(delay->GetStateID(), 1000);
    EXPECT_EQ(delay->GetDescription(), "vorel::WaitForMS");
    ASSERT_EQ(sa->SetNext(delay), 0);
    sa->Poll(); // entered at 5000
    EXPECT_EQ(delay->StateStart, 5000u);
    gNow = 6000;
    sa->Poll();
    EXPECT_EQ(sa->GetCurrentState(), delay);
    gNow = 6001;
    sa->Poll();
    EXPECT_EQ(sa->GetCurrentState(), a);
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"A:exit", "A:enter"}));
    EXPECT_EQ(a->OnEnterCounter, 2u);
    EXPECT_EQ(delay->OnExecuteCounter, 2u);
}

TEST_F(StateAutomat, SetNextRefusesNullAndStatesItAlreadyHolds)
{
    State* a = enter("A");
    EXPECT_EQ(sa->SetNext(nullptr), -1);
    EXPECT_EQ(sa->SetNext(a), -1);
    EXPECT_EQ(a->SetNext(sa->GetPreviousState()), -1);
    EXPECT_EQ(sa->calls["BeforeSetNext"], 1);
    TSAState orphan(nullptr);
    EXPECT_EQ(orphan.Back(), -1);
    EXPECT_EQ(orphan.GetSA(), nullptr);
}

struct ThrowCase {
    const char* where;
    bool inState; // a state callback rather than an automaton hook
    const char* printed;
    Lines afterwards; // what the same poll still did
};

TEST_F(StateAutomat, ThrowingCallbacksAreReportedAndThePollGoesOn)
{
    const std::vector<ThrowCase> cases = {
        {"exec", true, "StateAutomat:Poll:OnExecute unhandled exception\n", {"B:exec"}},
        {"exit", true, "StateAutomat:Poll:tmpList.back.OnExit unhandled exception\n", {"B:exit", "C:create", "C:enter"}},
        {"create", true, "StateAutomat:Poll:OnCreate unhandled exception\n", {"B:exit", "C:create", "C:enter"}},
        {"enter", true, "StateAutomat:Poll:OnEnter unhandled exception\n", {"B:exit", "C:create", "C:enter"}},
        {"AfterPoll", false, "StateAutomat:Poll:AfterPoll unhandled exception\n", {"B:exec"}},
        {"AfterStateChange", false, "StateAutomat:Poll:AfterStateChange unhandled exception\n",
         {"B:exit", "C:create", "C:enter"}},
        // A veto hook that throws counts as a veto.
        {"BeforePoll", false, "StateAutomat:Poll:BeforePoll unhandled exception\n", {}},
        {"BeforeStateChange", false, "StateAutomat:Poll:BeforeStateChange unhandled exception\n", {}},
    };
    for (const ThrowCase& c : cases) {
        SCOPED_TRACE(c.where);
        TearDown();
        SetUp();
        enter("A");
        State* b = enter("B");
        const std::string where = c.where;
        const bool change = where != "exec" && where != "AfterPoll" && where != "BeforePoll";
        State* next = change ? make("C") : nullptr;
        if (c.inState)
            (where == "exec" || where == "exit" ? b : next)->throwIn = where;
        else
            sa->throwIn = where;
        if (next)
            sa->SetNext(next);
        journal.take();
        ::testing::internal::CaptureStdout();
        sa->Poll();
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(journal.take(), c.afterwards);
        if (where == "create") {
            EXPECT_TRUE(next->OnCreateExecuted);
        }
    }
}

TEST_F(StateAutomat, StatesNavigateFromTheirOwnCallbacks)
{
    State* a = enter("A");
    a->onStep = [&](const std::string& what) {
        if (what == "exec")
            a->SetNext(make("B"));
    };
    sa->Poll(); // A selects B while it runs
    a->onStep = nullptr;
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"A:create", "A:enter", "A:exec", "A:exit", "B:create", "B:enter"}));

    // A state that discards itself while being entered is still exited later.
    State* c = make("C");
    c->onStep = [&](const std::string& what) {
        if (what == "enter") {
            sa->Back();
            sa->SetNext(make("D"));
            sa->SetNext(make("E"));
        }
    };
    sa->SetNext(c);
    sa->Poll();
    EXPECT_EQ(journal.deleted["C"], 0);
    sa->Poll();
    EXPECT_EQ(journal.take(), (Lines{"B:exit", "C:create", "C:enter", "C:exit", "E:create", "E:enter"}));
}

TEST(SAState, IdentifierAndDescription)
{
    struct Recorder : TSAState {
        Recorder() : TSAState(nullptr) {}
        void OnDescriptionChange(std::string from, std::string to) override { changes.push_back(from + ">" + to); }
        std::vector<std::string> changes;
    } s;
    const char* empty = "";
    const std::string tooLong(2001, 'x');
    const std::string longest(2000, 'y');

    s.SetStateID(5, static_cast<const char*>(nullptr));
    EXPECT_EQ(s.GetStateID(), -1);
    s.SetStateID(5, empty);
    EXPECT_EQ(s.GetStateID(), 5);
    EXPECT_EQ(s.GetDescription(), "");
    s.SetStateID(6, "Idle %d", 6);
    EXPECT_EQ(s.GetDescription(), "Idle 6");
    s.SetStateID(9, tooLong.c_str());
    EXPECT_EQ(s.GetStateID(), 6);
    s.SetDescription(tooLong.c_str());
    s.SetDescription(static_cast<const char*>(nullptr));
    EXPECT_EQ(s.GetDescription(), "Idle 6");
    s.SetDescription(longest.c_str());
    EXPECT_EQ(s.GetDescription(), longest);
    s.SetDescription(std::string("100%"));
    EXPECT_EQ(s.changes, (std::vector<std::string>{">Idle 6", "Idle 6>" + longest, longest + ">100%"}));
}

TEST_F(StateAutomat, TheAutomatonDestroysEveryStateItHolds)
{
    enter("A");
    State* b = enter("B");
    sa->Back();
    sa->Poll();
    select("C"); // B queued for destruction
    b->throwIn = "destroy"; // ignored at this point
    journal.take();
    delete sa;
    sa = nullptr;
    Lines lines = journal.take();
    EXPECT_EQ(lines, (Lines{"A:destroy", "C:destroy", "B:destroy"}));
    for (const char* n : {"A", "B", "C"})
        EXPECT_EQ(journal.deleted[n], 1) << n;
}

TEST_F(StateAutomat, OtherThreadsNavigateWhileTheOwnerPolls)
{
    std::atomic<bool> stop{false};
    std::atomic<int> selected{0};
    // The states' journal is only touched under the automaton's lock.
    std::thread navigator([&] {
        for (int i = 0; i < 300; ++i) {
            if (sa->SetNext(make("N", i)) == 0)
                ++selected;
            if (i % 3 == 0)
                sa->Back();
            if (i % 5 == 0)
                sa->Forward();
            if (i % 7 == 0)
                sa->ForceNext(make("F", i));
        }
        stop = true;
    });
    while (!stop) {
        sa->Poll();
        EXPECT_NE(sa->GetCurrentState(), nullptr);
    }
    navigator.join();
    EXPECT_GT(selected.load(), 0);
    sa->Poll(); // completes a pending forced change
    int steps = 0;
    while (sa->Back() == 0 && steps < 200)
        ++steps;
    EXPECT_LE(steps, 99);
}
