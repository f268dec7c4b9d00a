// Actions: prefix dispatch, run queues per context, handler lifetimes,
// asynchronous handlers, refusals and exceptions, generation from many
// threads, deletion of actions with queued or running entries, and the wiring
// into the application's start-up phase and main loop.
#include "TActionMan.h"
#include "WaitFor.h"
#include "TApplication.h"
#include "TLogManager.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <SDL2/SDL_thread.h>
#include <SDL2/SDL_timer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <thread>
#include <vector>

using namespace vorel_sdl2;

namespace {

// Sanitizer builds run the long bursts ten times shorter: under either one
// the full burst outlasts a test's time limit on two cores.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Collects the log lines written through logman while a test runs.

// A thread-safe record of what ran, in order.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> entries;
    void Add(const std::string& s)
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(s);
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        out.swap(entries);
        return out;
    }
    size_t Size()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.size();
    }
};

// A handler whose work is a function object; counts its own deletion.
class FnHandler : public TActionHandler {
public:
    FnHandler(std::function<void(const std::string&, void*)> fn, TAHType type = ahtExecuteEndless,
              std::atomic<int>* deleted = nullptr, void* userData = nullptr)
        : TActionHandler(userData, type), mFn(std::move(fn)), mDeleted(deleted)
    {
    }
    ~FnHandler() override
    {
        if (mDeleted)
            ++*mDeleted;
    }
    void execute(std::string ActionName, void* hActionData) override { mFn(ActionName, hActionData); }

private:
    std::function<void(const std::string&, void*)> mFn;
    std::atomic<int>* mDeleted;
};

FnHandler* Recorder(Journal& j, const std::string& tag, TActionHandler::TAHType type = TActionHandler::ahtExecuteEndless,
                    std::atomic<int>* deleted = nullptr)
{
    return new FnHandler([&j, tag](const std::string& name, void*) { j.Add(tag + "<" + name); }, type, deleted);
}

// A gate that handler threads wait at until the test opens it.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int waiting = 0;
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m);
        ++waiting;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
    }
    void WaitForWaiters(int n)
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return waiting >= n; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

void RunAllMainContexts(TActionMan& man)
{
    man.ProcessActions();
    man.ExecuteActions(ACTION_NORMAL);
    man.ExecuteActions(ACTION_THREAD_SAFE);
}


// Names for the coherence checks of the prefix match: every string of up to
// four characters over "ab." (many share leading parts) and every leading
// part of a few longer names (lengths past the hash's word size).
std::vector<std::string> PrefixPool()
{
    std::vector<std::string> pool{""};
    for (size_t from = 0, len = 1; len <= 4; ++len) {
        const size_t to = pool.size();
        for (size_t i = from; i < to; ++i)
            for (char c : std::string("ab."))
                pool.push_back(pool[i] + c);
        from = to;
    }
    pool.erase(pool.begin());
    for (const std::string base : {"Door.Open.Left.Wing.Upper", "Door.Open.Right", "Game.Event.0001.Detail"})
        for (size_t len = 5; len <= base.size(); ++len)
            pool.push_back(base.substr(0, len));
    std::sort(pool.begin(), pool.end());
    pool.erase(std::unique(pool.begin(), pool.end()), pool.end());
    return pool;
}

// The registered names that are leading parts of `generated`, in name order,
// as the recorders of that test journal them.
std::vector<std::string> LeadingParts(const std::set<std::string>& registered, const std::string& generated)
{
    std::vector<std::string> want;
    for (const std::string& name : registered)
        if (generated.compare(0, name.size(), name) == 0)
            want.push_back(name + "<" + name);
    return want;
}

// Checks both dispatch paths against the registered names for every probe.
void ExpectMatchesFollowTheList(TActionMan& man, Journal& j, const std::set<std::string>& registered,
                                const std::vector<std::string>& probes)
{
    for (const std::string& probe : probes) {
        for (const std::string& generated : {probe, probe + ".x"}) {
            const std::vector<std::string> want = LeadingParts(registered, generated);
            EXPECT_EQ(man.ActionGenerated(generated, nullptr, ACTION_NORMAL, true), static_cast<int>(want.size()))
                << generated;
            EXPECT_EQ(j.Take(), want) << generated;
            man.GenerateAction(generated, nullptr, ACTION_ANY);
            RunAllMainContexts(man);
            EXPECT_EQ(j.Take(), want) << "queued " << generated;
        }
    }
}
} // namespace

TEST(ActionDispatch, EveryRegisteredLeadingPartOfTheNameRunsInNameOrder)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    for (const char* name : {"Door.Open.Left", "Dose", "D", "DoorX", "Door", "Dor", "Do", "Door.Open", "E"})
        man.AddActionListener(name, Recorder(j, name), ACTION_NORMAL);

    struct Case {
        std::string generated;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"Door.Open.Left", {"D", "Do", "Door", "Door.Open", "Door.Open.Left"}},
        {"Door.Open.Right", {"D", "Do", "Door", "Door.Open"}},
        {"Door.Open", {"D", "Do", "Door", "Door.Open"}},
        {"DoorXY", {"D", "Do", "Door", "DoorX"}},
        {"Dose.1", {"D", "Do", "Dose"}},
        {"Dor", {"D", "Do", "Dor"}},
        {"Do", {"D", "Do"}},
        {"D", {"D"}},
        {"E", {"E"}},
        {"Door.Ope", {"D", "Do", "Door"}},
        {"do", {}},
        {"X", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("generated " + c.generated);
        std::vector<std::string> want;
        for (const std::string& name : c.expected)
            want.push_back(name + "<" + name);

        man.GenerateAction(c.generated, nullptr, ACTION_ANY);
        RunAllMainContexts(man);
        EXPECT_EQ(j.Take(), want);

        // The immediate path shares the matcher and counts the same pairs.
        EXPECT_EQ(man.ActionGenerated(c.generated, nullptr, ACTION_NORMAL, true), static_cast<int>(want.size()));
        EXPECT_EQ(j.Take(), want);
    }
}

TEST(ActionDispatch, OneEntryPerContextAndTheFilterSelectsContexts)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    for (int t = ACTION_NORMAL; t <= ACTION_ASYNC; ++t)
        man.AddActionListener("Door", Recorder(j, "Door/" + std::to_string(t)), static_cast<ActionHandleType>(t));
    man.AddActionListener("Door.Open", Recorder(j, "Door.Open/1"), ACTION_DRAW);
    TAction* door = man.GetAction("Door");
    ASSERT_NE(door, nullptr);
    EXPECT_EQ(door->GetHandlersCount(ACTION_ANY), 4);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(door->GetHandlersCount(static_cast<ActionHandleType>(t)), 1);

    // Counted are the (action, context) pairs that have handlers and are
    // queued. Without a draw thread (headless build) nothing is queued for
    // the draw context, or a host sharing its registrations between the
    // builds would pile up draw entries for ever; the handlers stay.
    const std::vector<std::string> drawn =
        kDrawContextQueued ? std::vector<std::string>{"Door/1<Door", "Door.Open/1<Door.Open"}
                           : std::vector<std::string>{};
    EXPECT_EQ(man.ActionGenerated("Door.Open.Left", nullptr, ACTION_ANY, false), kDrawContextQueued ? 5 : 3);
    auto drain = [&](ActionHandleType t) {
        man.ExecuteActions(t);
        if (t == ACTION_ASYNC) {
            EXPECT_TRUE(WaitFor([&] { return j.Size() >= 1; }));
        }
        return j.Take();
    };
    EXPECT_EQ(drain(ACTION_NORMAL), std::vector<std::string>{"Door/0<Door"});
    EXPECT_EQ(drain(ACTION_DRAW), drawn);
    EXPECT_EQ(drain(ACTION_THREAD_SAFE), std::vector<std::string>{"Door/2<Door"});
    EXPECT_EQ(drain(ACTION_ASYNC), std::vector<std::string>{"Door/3<Door"});
    // Each queue held exactly its entries.
    for (int t = 0; t < 3; ++t)
        man.ExecuteActions(static_cast<ActionHandleType>(t));
    EXPECT_TRUE(j.Take().empty());

    // A draw-only generation queues nothing for the main-loop contexts.
    man.GenerateAction("Door.Open", nullptr, ACTION_DRAW);
    RunAllMainContexts(man);
    man.ExecuteActions(ACTION_ASYNC);
    SDL_Delay(20);
    EXPECT_TRUE(j.Take().empty());
    man.ExecuteActions(ACTION_DRAW);
    EXPECT_EQ(j.Take(), drawn);
    EXPECT_EQ(door->GetHandlersCount(ACTION_DRAW), 1);
    // The immediate path still runs draw handlers on the calling thread.
    EXPECT_EQ(man.ActionGenerated("Door.Open", nullptr, ACTION_DRAW, true), 2);
    EXPECT_EQ(j.Take(), (std::vector<std::string>{"Door/1<Door", "Door.Open/1<Door.Open"}));
}

TEST(ActionDispatch, GenerationOrderThenNameOrderThenContextOrder)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    for (const char* name : {"Bell", "Alarm", "Alarm.Fire"})
        for (int t = ACTION_NORMAL; t <= ACTION_THREAD_SAFE; ++t)
            man.AddActionListener(name, Recorder(j, std::string(name) + "/" + std::to_string(t)),
                                  static_cast<ActionHandleType>(t));

    man.GenerateAction("Bell.Ring", nullptr, ACTION_NORMAL);
    man.GenerateAction("Alarm.Fire", nullptr, ACTION_NORMAL);
    RunAllMainContexts(man);
    EXPECT_EQ(j.Take(), (std::vector<std::string>{"Bell/0<Bell", "Alarm/0<Alarm", "Alarm.Fire/0<Alarm.Fire"}));

    // Immediate execution shows the context order within one action.
    man.GenerateAction_immediate("Alarm.Fire", nullptr, ACTION_ANY);
    EXPECT_EQ(j.Take(), (std::vector<std::string>{"Alarm/0<Alarm", "Alarm/1<Alarm", "Alarm/2<Alarm",
                                                  "Alarm.Fire/0<Alarm.Fire", "Alarm.Fire/1<Alarm.Fire",
                                                  "Alarm.Fire/2<Alarm.Fire"}));
}

// The prefix match works from an index beside the sorted list; whatever the
// registrations and removals, it dispatches exactly what the list holds.
TEST(ActionDispatch, MatchesFollowTheListThroughRegistrationsAndRemovals)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    man.UnregisterAction("SACalculateWinsCreate", true); // the built-in listener is not in the model
    Journal j;
    const std::vector<std::string> pool = PrefixPool();
    std::set<std::string> registered;
    std::mt19937 rng(11);
    for (int step = 1; step <= 1500; ++step) {
        const std::string& name = pool[rng() % pool.size()];
        if (!registered.count(name)) {
            ASSERT_NE(man.AddActionListener(name, Recorder(j, name), ACTION_NORMAL), nullptr);
            registered.insert(name);
        } else if (rng() % 2) {
            EXPECT_EQ(man.UnregisterAction(name, true), 0);
            registered.erase(name);
        } else {
            TAction* a = man.GetAction(name);
            ASSERT_NE(a, nullptr);
            man.UnregisterAction(a, true);
            registered.erase(name);
        }
        if (step % 100 == 0) {
            SCOPED_TRACE("step " + std::to_string(step) + ", " + std::to_string(registered.size()) + " registered");
            ExpectMatchesFollowTheList(man, j, registered, pool);
        }
    }
    // Emptied and filled again.
    for (const std::string& name : std::set<std::string>(registered))
        EXPECT_EQ(man.UnregisterAction(name, true), 0);
    registered.clear();
    ExpectMatchesFollowTheList(man, j, registered, pool);
    for (const std::string& name : pool) {
        man.AddActionListener(name, Recorder(j, name), ACTION_NORMAL);
        registered.insert(name);
    }
    ExpectMatchesFollowTheList(man, j, registered, pool);
}

TEST(ActionHandlers, OnceRunsOnceAndIsDeletedEndlessStays)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    std::atomic<int> deleted{0};
    man.AddActionListener("Door", Recorder(j, "once", TActionHandler::ahtExecuteOnce, &deleted), ACTION_NORMAL);
    man.AddActionListener("Door", Recorder(j, "endless", TActionHandler::ahtExecuteEndless, &deleted), ACTION_NORMAL);
    // A once handler that throws is gone all the same.
    man.AddActionListener(
        "Door", new FnHandler([](const std::string&, void*) { throw 7; }, TActionHandler::ahtExecuteOnce, &deleted),
        ACTION_NORMAL);
    // Registered twice on one list: each registration runs once and leaves;
    // the object is freed once, with the last of them.
    FnHandler* twice = Recorder(j, "twice", TActionHandler::ahtExecuteOnce, &deleted);
    man.AddActionListener("Door", twice, ACTION_THREAD_SAFE);
    man.AddActionListener("Door", twice, ACTION_THREAD_SAFE);
    TAction* door = man.GetAction("Door");

    man.GenerateAction("Door", nullptr, ACTION_ANY);
    RunAllMainContexts(man);
    EXPECT_EQ(j.Take(), (std::vector<std::string>{"once<Door", "endless<Door", "twice<Door", "twice<Door"}));
    EXPECT_EQ(deleted, 3);
    EXPECT_EQ(door->GetHandlersCount(ACTION_NORMAL), 1);
    EXPECT_EQ(door->GetHandlersCount(ACTION_THREAD_SAFE), 0);

    man.GenerateAction("Door", nullptr, ACTION_ANY);
    RunAllMainContexts(man);
    EXPECT_EQ(j.Take(), std::vector<std::string>{"endless<Door"});
}

TEST(ActionHandlers, AHandlerOnSeveralListsLivesUntilItsLastRegistrationIsGone)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    std::atomic<int> deleted{0};

    // Once: each registration runs once and leaves; the object goes with the last.
    FnHandler* once = Recorder(j, "once", TActionHandler::ahtExecuteOnce, &deleted);
    man.AddActionListener("Door", once, ACTION_NORMAL);
    man.AddActionListener("Door", once, ACTION_THREAD_SAFE);
    TAction* bell = man.AddActionListener("Bell", once, ACTION_NORMAL);
    const struct {
        const char* generated;
        ActionHandleType filter;
        std::vector<std::string> ran;
        int deleted;
    } steps[] = {
        {"Door", ACTION_NORMAL, {"once<Door"}, 0},
        {"Door", ACTION_ANY, {"once<Door"}, 0},
        {"Door", ACTION_ANY, {}, 0},
        {"Bell", ACTION_ANY, {"once<Bell"}, 1},
        {"Bell", ACTION_ANY, {}, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string("generated ") + step.generated);
        man.GenerateAction(step.generated, nullptr, step.filter);
        RunAllMainContexts(man);
        EXPECT_EQ(j.Take(), step.ran);
        // Stop before a freed handler would be run.
        ASSERT_EQ(deleted, step.deleted);
    }
    EXPECT_EQ(bell->GetHandlersCount(ACTION_ANY), 0);

    // Removal with deletion frees only a handler that no list holds any more.
    FnHandler* held = Recorder(j, "held", TActionHandler::ahtExecuteEndless, &deleted);
    TAction* door = man.AddActionListener("Door", held, ACTION_NORMAL);
    man.AddActionListener("Bell", held, ACTION_NORMAL);
    door->UnregisterActionHandler(held, true, ACTION_ANY);
    ASSERT_EQ(deleted, 1);
    man.GenerateAction("Bell", nullptr, ACTION_ANY);
    RunAllMainContexts(man);
    EXPECT_EQ(j.Take(), std::vector<std::string>{"held<Bell"});
    bell->UnregisterActionHandlerByRelatedObject(nullptr, true);
    EXPECT_EQ(deleted, 2);

    // An asynchronous registration holds the wrapped handler as well.
    FnHandler* both = Recorder(j, "both", TActionHandler::ahtExecuteEndless, &deleted);
    man.AddActionListener("Door", both, ACTION_NORMAL);
    man.AddActionListener("Door", both, ACTION_ASYNC);
    man.AddActionListener("Door", both, ACTION_ASYNC);
    man.UnregisterAllActionHandlers(both, true);
    ASSERT_EQ(deleted, 2);
    man.GenerateAction("Door", nullptr, ACTION_ANY);
    RunAllMainContexts(man);
    man.ExecuteActions(ACTION_ASYNC);
    EXPECT_TRUE(WaitFor([&] { return j.Size() == 2; }));
    EXPECT_EQ(j.Take(), (std::vector<std::string>{"both<Door", "both<Door"}));
    man.UnregisterAction("Door", true);
    EXPECT_TRUE(WaitFor([&] { return deleted == 3; }));

    // Endless and registered twice on one list: runs twice, removed and freed once.
    FnHandler* twice = Recorder(j, "twice", TActionHandler::ahtExecuteEndless, &deleted);
    door = man.AddActionListener("Door", twice, ACTION_NORMAL);
    man.AddActionListener("Door", twice, ACTION_NORMAL);
    man.GenerateAction("Door", nullptr, ACTION_ANY);
    RunAllMainContexts(man);
    EXPECT_EQ(j.Take(), (std::vector<std::string>{"twice<Door", "twice<Door"}));
    door->UnregisterActionHandler(twice, true, ACTION_NORMAL);
    EXPECT_EQ(door->GetHandlersCount(ACTION_ANY), 0);
    EXPECT_EQ(deleted, 4);
}

TEST(ActionHandlers, DisabledActionsAndMemberHandlersDoNotRun)
{
    struct Listener {
        std::vector<std::pair<void*, void*>> calls;
        void On(std::string, void* data, void* user) { calls.emplace_back(data, user); }
    } listener;
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    int data = 0, user = 0;
    auto* member = new TahMemberLarge<Listener>(&listener, &Listener::On, &user, TActionHandler::ahtExecuteEndless);
    TAction* door = man.AddActionListener("Door", member, ACTION_NORMAL);
    EXPECT_EQ(member->GetRelatedObject(), &listener);

    man.GenerateAction("Door", &data, ACTION_ANY);
    RunAllMainContexts(man);
    ASSERT_EQ(listener.calls.size(), 1u);
    EXPECT_EQ(listener.calls[0], std::make_pair(static_cast<void*>(&data), static_cast<void*>(&user)));

    door->Disable();
    man.GenerateAction("Door", &data, ACTION_ANY);
    RunAllMainContexts(man);
    door->Enable();
    member->Disable();
    man.GenerateAction("Door", &data, ACTION_ANY);
    RunAllMainContexts(man);
    EXPECT_EQ(listener.calls.size(), 1u);
    EXPECT_EQ(door->GetHandlersCount(ACTION_NORMAL), 1);
}

TEST(ActionHandlers, RemovalByHandlerAndByRelatedObject)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    std::atomic<int> deleted{0};
    int owner = 0;
    auto mk = [&](const char* tag) {
        return new FnHandler([&j, tag](const std::string&, void*) { j.Add(tag); }, TActionHandler::ahtExecuteEndless,
                             &deleted, &owner);
    };
    TActionHandler* shared = mk("shared");
    man.AddActionListener("Door", shared, ACTION_NORMAL);
    man.AddActionListener("Bell", shared, ACTION_THREAD_SAFE);
    TAction* door = man.AddActionListener("Door", mk("a"), ACTION_NORMAL);
    man.AddActionListener("Door", mk("b"), ACTION_NORMAL);
    // An asynchronous registration answers for the wrapped handler's object.
    man.AddActionListener("Door", mk("async"), ACTION_ASYNC);

    man.UnregisterAllActionHandlers(shared, true);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(man.GetAction("Bell")->GetHandlersCount(ACTION_ANY), 0);
    EXPECT_EQ(door->GetHandlersCount(ACTION_NORMAL), 2);

    // At most one per list per call: "a" from normal and the async wrapper.
    EXPECT_EQ(door->UnregisterActionHandlerByRelatedObject(&owner, true), 0);
    EXPECT_EQ(door->GetHandlersCount(ACTION_NORMAL), 1);
    EXPECT_EQ(door->GetHandlersCount(ACTION_ASYNC), 0);
    EXPECT_EQ(deleted, 3);
    man.UnregisterAllActionHandlersByRelatedObject(&owner, true);
    EXPECT_EQ(door->UnregisterActionHandlerByRelatedObject(&owner, true), -1);
    EXPECT_EQ(deleted, 4);
    EXPECT_EQ(door->GetHandlersCount(ACTION_ANY), 0);
}

TEST(ActionHandlers, RefusalsAreLoggedAndChangeNothing)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    std::atomic<int> deleted{0};
    FnHandler* h = Recorder(j, "h", TActionHandler::ahtExecuteEndless, &deleted);
    TAction* door = man.AddActionListener("Door", h, ACTION_ANY);
    ASSERT_NE(door, nullptr);
    EXPECT_EQ(door->GetHandlersCount(ACTION_ANY), 0);
    door->RegisterActionHandler(nullptr, ACTION_NORMAL);
    EXPECT_EQ(door->GetHandlersCount(ACTION_ANY), 0);
    EXPECT_EQ(man.AddActionListener("", h, ACTION_NORMAL), nullptr);
    EXPECT_EQ(man.GetAction(""), nullptr);
    EXPECT_EQ(man.UnregisterAction(std::string(), true), -1);
    EXPECT_EQ(man.UnregisterAction(std::string("Nope"), true), -1);

    door->RegisterActionHandler(h, ACTION_NORMAL);
    man.GenerateAction("Door", nullptr, ACTION_ANY);
    man.ProcessActions();
    man.ExecuteActions(ACTION_ANY);
    door->Execute(nullptr, ACTION_ANY);
    EXPECT_TRUE(j.Take().empty());
    man.ExecuteActions(ACTION_NORMAL);
    EXPECT_EQ(j.Take(), std::vector<std::string>{"h<Door"});
    EXPECT_EQ(deleted, 0);

    EXPECT_EQ(log.Count(": WARN: Tried to use handle type ANY for action Door will effectively trigger it 3 times "
                        "and is not allowed!"),
              1);
    EXPECT_EQ(log.Count(": WARN: Tried to execute actions as ANY, which is not allowed! Execution type must be "
                        "specified."),
              1);
    EXPECT_EQ(log.Count(": WARN: Tried to execute action Door as ANY, which is not allowed! Execution type must "
                        "be specified."),
              1);
}

TEST(ActionHandlers, ExceptionsAreLoggedAndTheNextEntryRuns)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    man.AddActionListener("Door", new FnHandler([](const std::string&, void*) { throw std::runtime_error("x"); }),
                          ACTION_NORMAL);
    man.AddActionListener("Door.Open", new FnHandler([](const std::string&, void*) { throw 42; }), ACTION_NORMAL);
    man.AddActionListener("Door.Open", Recorder(j, "after"), ACTION_NORMAL);
    man.AddActionListener("Door.Open.Left", Recorder(j, "left"), ACTION_NORMAL);
    man.AddActionListener("Door.Open", new FnHandler([](const std::string&, void*) { throw 1.5; }), ACTION_ASYNC);

    man.GenerateAction("Door.Open.Left", nullptr, ACTION_ANY);
    man.ProcessActions();
    man.ExecuteActions(ACTION_NORMAL);
    // A throwing handler skips the rest of its own action's list, not later entries.
    EXPECT_EQ(j.Take(), std::vector<std::string>{"left<Door.Open.Left"});
    EXPECT_EQ(log.Count(": WARN: ActionMan: handler Execute() threw exception [triggered by action Door and type 0]"),
              1);
    EXPECT_EQ(log.Count(
                  ": WARN: ActionMan: handler Execute() threw exception [triggered by action Door.Open and type 0]"),
              1);

    man.ExecuteActions(ACTION_ASYNC);
    EXPECT_TRUE(WaitFor([&] {
        return log.Count(": WARN: ActionMan: async handler Execute() threw exception [triggered by action "
                         "Door.Open]") == 1;
    }));

    man.GenerateAction_immediate("Door.Open.Left", nullptr, ACTION_NORMAL);
    EXPECT_EQ(j.Take(), std::vector<std::string>{"left<Door.Open.Left"});
    for (const char* action : {"Door", "Door.Open"})
        EXPECT_EQ(log.Count(std::string(": WARN: ActionMan: handler Door.Open.Left->Execute() threw exception "
                                        "[triggered by action ") +
                            action + "]"),
                  1);
}

TEST(ActionAsync, ExecutionReturnsFirstAndEachRunHasItsOwnThread)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Gate gate;
    std::mutex m;
    std::vector<SDL_threadID> ids;
    std::vector<std::string> names;
    std::atomic<int> done{0};
    int data = 0;
    man.AddActionListener("Door", new FnHandler([&](const std::string& name, void* d) {
                              char thread[16] = {};
                              prctl(PR_GET_NAME, thread, 0, 0, 0);
                              {
                                  std::lock_guard<std::mutex> lock(m);
                                  ids.push_back(SDL_ThreadID());
                                  names.push_back(std::string(thread) + "|" + name + "|" +
                                                  (d == &data ? "data" : "?"));
                              }
                              gate.Wait();
                              ++done;
                          }),
                          ACTION_ASYNC);
    for (int i = 0; i < 3; ++i)
        man.GenerateAction("Door.Open", &data, ACTION_ANY);
    man.ProcessActions();
    man.ExecuteActions(ACTION_ASYNC);
    // All three run at once while the caller has long returned.
    gate.WaitForWaiters(3);
    EXPECT_EQ(done, 0);
    gate.Open();
    ASSERT_TRUE(WaitFor([&] { return done == 3; }));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
    EXPECT_NE(ids[0], ids[2]);
    for (const std::string& n : names)
        EXPECT_EQ(n, "asyncAction|Door|data");
}

TEST(ActionAsync, AOnceHandlerOutlivesItsRegistrationUntilItsThreadIsDone)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    Gate gate;
    std::atomic<int> deleted{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> deletedWhileRunning{false};
    {
        TActionMan man;
        auto* h = new FnHandler(
            [&](const std::string&, void*) {
                gate.Wait();
                deletedWhileRunning = deleted > 0;
                finished = true;
            },
            TActionHandler::ahtExecuteOnce, &deleted);
        TAction* door = man.AddActionListener("Door", h, ACTION_ASYNC);
        man.GenerateAction("Door", nullptr, ACTION_ANY);
        man.ProcessActions();
        man.ExecuteActions(ACTION_ASYNC);
        gate.WaitForWaiters(1);
        // The registration is gone, and so is the whole manager.
        EXPECT_EQ(door->GetHandlersCount(ACTION_ASYNC), 0);
    }
    EXPECT_EQ(deleted, 0);
    gate.Open();
    ASSERT_TRUE(WaitFor([&] { return deleted == 1; }));
    EXPECT_TRUE(finished);
    EXPECT_FALSE(deletedWhileRunning);
}

TEST(ActionEcho, BuiltInListenerEchoesOnePassLater)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    std::vector<void*> seen;
    man.AddActionListener("OnActionHandlerExecute", new FnHandler([&](const std::string&, void* d) {
                              seen.push_back(d);
                          }),
                          ACTION_THREAD_SAFE);
    int data = 0;
    man.GenerateAction("SACalculateWinsCreate", &data, ACTION_ANY);
    RunAllMainContexts(man);
    EXPECT_TRUE(seen.empty());
    RunAllMainContexts(man);
    EXPECT_EQ(seen, std::vector<void*>{&data});
    RunAllMainContexts(man);
    EXPECT_EQ(seen.size(), 1u);
}

TEST(ActionLifetime, DeletingAnActionPurgesItsQueuedEntries)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    std::atomic<int> deleted{0};
    man.AddActionListener("Door", Recorder(j, "n", TActionHandler::ahtExecuteEndless, &deleted), ACTION_NORMAL);
    man.AddActionListener("Door", Recorder(j, "d", TActionHandler::ahtExecuteEndless, &deleted), ACTION_DRAW);
    man.AddActionListener("Door.Open", Recorder(j, "o"), ACTION_NORMAL);
    man.GenerateAction("Door.Open", nullptr, ACTION_ANY);
    man.GenerateAction("Door", nullptr, ACTION_ANY);
    man.ProcessActions();

    EXPECT_EQ(man.UnregisterAction(std::string("Door"), true), 0);
    EXPECT_EQ(deleted, 2);
    EXPECT_EQ(man.GetAction("Door"), nullptr);
    man.ExecuteActions(ACTION_NORMAL);
    man.ExecuteActions(ACTION_DRAW);
    EXPECT_EQ(j.Take(), std::vector<std::string>{"o<Door.Open"});

    // By pointer, also for an action the manager no longer lists.
    TAction* open = man.GetAction("Door.Open");
    man.GenerateAction("Door.Open", nullptr, ACTION_ANY);
    man.ProcessActions();
    man.UnregisterAction(open, false);
    man.UnregisterAction(open, true);
    man.ExecuteActions(ACTION_NORMAL);
    EXPECT_TRUE(j.Take().empty());
}

TEST(ActionLifetime, HandlersMayRemoveThemselvesAndTheirActionWhileRunning)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Journal j;
    std::atomic<int> deleted{0};
    FnHandler* self = nullptr;
    self = new FnHandler(
        [&](const std::string&, void*) {
            j.Add("self");
            man.UnregisterAllActionHandlers(self, true);
        },
        TActionHandler::ahtExecuteEndless, &deleted);
    man.AddActionListener("Bell", self, ACTION_NORMAL);
    man.AddActionListener("Bell", Recorder(j, "next", TActionHandler::ahtExecuteEndless, &deleted), ACTION_NORMAL);

    TAction* door = nullptr;
    door = man.AddActionListener("Door", new FnHandler(
                                             [&](const std::string&, void*) {
                                                 j.Add("killer");
                                                 man.UnregisterAction(door, true);
                                                 // Registering meanwhile is fine too.
                                                 man.AddActionListener("Door.New", Recorder(j, "new"), ACTION_NORMAL);
                                             },
                                             TActionHandler::ahtExecuteEndless, &deleted),
                                 ACTION_NORMAL);
    man.AddActionListener("Door", Recorder(j, "sibling", TActionHandler::ahtExecuteEndless, &deleted), ACTION_NORMAL);
    man.AddActionListener("Door", Recorder(j, "draw", TActionHandler::ahtExecuteEndless, &deleted), ACTION_DRAW);

    man.GenerateAction("Bell", nullptr, ACTION_ANY);
    man.GenerateAction("Door.New", nullptr, ACTION_ANY);
    RunAllMainContexts(man);
    EXPECT_EQ(j.Take(), (std::vector<std::string>{"self", "next<Bell", "killer", "sibling<Door"}));
    EXPECT_EQ(deleted, 4); // self, and the three handlers of Door
    EXPECT_EQ(man.GetAction("Door"), nullptr);
    man.ExecuteActions(ACTION_DRAW);
    EXPECT_TRUE(j.Take().empty());

    // The same through immediate execution.
    door = man.AddActionListener("Door", new FnHandler([&](const std::string&, void*) {
                                     j.Add("killer");
                                     man.UnregisterAction(door, true);
                                 }),
                                 ACTION_NORMAL);
    man.GenerateAction_immediate("Door.New", nullptr, ACTION_ANY);
    EXPECT_EQ(j.Take(), (std::vector<std::string>{"killer", "new<Door.New"}));
    EXPECT_EQ(man.GetAction("Door"), nullptr);
}

TEST(ActionThreads, ManyThreadsGenerateWhileTheMainThreadDispatches)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    std::atomic<int> runs{0};
    std::atomic<long> sum{0};
    man.AddActionListener("Count", new FnHandler([&](const std::string&, void* d) {
                              ++runs;
                              sum += reinterpret_cast<long>(d);
                          }),
                          ACTION_THREAD_SAFE);
    Journal sink;
    constexpr int kThreads = 6, kEach = 400;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 1; i <= kEach; ++i) {
                man.GenerateAction("Count." + std::to_string(t), reinterpret_cast<void*>(static_cast<long>(i)),
                                   ACTION_ANY);
                if (i % 100 == 0)
                    man.AddActionListener("Other." + std::to_string(t * 10 + i / 100), Recorder(sink, "x"),
                                          ACTION_NORMAL);
            }
        });
    go = true;
    const int total = kThreads * kEach;
    for (int spins = 0; runs < total && spins < 200000; ++spins)
        RunAllMainContexts(man);
    for (auto& th : threads)
        th.join();
    RunAllMainContexts(man);
    EXPECT_EQ(runs, total);
    EXPECT_EQ(sum, static_cast<long>(kThreads) * kEach * (kEach + 1) / 2);
}

// Registrations and removals from several threads, while the main thread
// dispatches, leave the prefix index in step with the list.
TEST(ActionThreads, MatchesFollowTheListWhileOtherThreadsRegisterAndRemove)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    man.UnregisterAction("SACalculateWinsCreate", true);
    Journal sink;
    const std::vector<std::string> pool = PrefixPool();
    constexpr int kThreads = 3;
    const int steps = kSanitized ? 300 : 2000;
    std::set<std::string> registered[kThreads];
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Each thread owns the names under its own leading part.
            const std::string own = "T" + std::to_string(t);
            std::mt19937 rng(100 + t);
            for (int step = 0; step < steps; ++step) {
                const std::string name = own + pool[rng() % pool.size()];
                if (!registered[t].count(name)) {
                    man.AddActionListener(name, Recorder(sink, name), ACTION_NORMAL);
                    registered[t].insert(name);
                } else {
                    man.UnregisterAction(name, true);
                    registered[t].erase(name);
                }
            }
            ++done;
        });
    std::mt19937 rng(5);
    while (done < kThreads) {
        const std::string probe = "T" + std::to_string(rng() % kThreads) + pool[rng() % pool.size()] + ".x";
        man.GenerateAction(probe, nullptr, ACTION_ANY);
        man.ActionGenerated(probe, nullptr, ACTION_NORMAL, true);
        RunAllMainContexts(man);
    }
    for (auto& th : threads)
        th.join();
    RunAllMainContexts(man);
    sink.Take(); // what ran while the list changed

    std::set<std::string> all;
    std::vector<std::string> probes;
    for (int t = 0; t < kThreads; ++t) {
        all.insert(registered[t].begin(), registered[t].end());
        for (const std::string& name : pool)
            probes.push_back("T" + std::to_string(t) + name);
    }
    ExpectMatchesFollowTheList(man, sink, all, probes);
}

TEST(ActionThreads, AnActionDeletedWhileItsEntryRunsOnAnotherThreadIsFreedAfterwards)
{
    // The draw context where there is a draw thread; the headless build
    // queues no draw entries, so another context stands in there.
    const ActionHandleType ctx = kDrawContextQueued ? ACTION_DRAW : ACTION_THREAD_SAFE;
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    Gate gate;
    std::atomic<int> deleted{0};
    std::atomic<bool> deletedWhileRunning{false};
    TAction* door = man.AddActionListener("Door", new FnHandler(
                                                      [&](const std::string&, void*) {
                                                          gate.Wait();
                                                          deletedWhileRunning = deleted > 0;
                                                      },
                                                      TActionHandler::ahtExecuteEndless, &deleted),
                                          ctx);
    man.GenerateAction("Door", nullptr, ACTION_ANY);
    man.GenerateAction("Door", nullptr, ACTION_ANY);
    man.ProcessActions();
    std::thread draw([&] { man.ExecuteActions(ctx); });
    gate.WaitForWaiters(1);
    man.UnregisterAction(door, true);
    EXPECT_EQ(deleted, 0);
    gate.Open();
    draw.join();
    EXPECT_EQ(deleted, 1);
    EXPECT_FALSE(deletedWhileRunning);
    // The second entry was purged, not run.
    EXPECT_EQ(gate.waiting, 1);
}

TEST(ActionThreads, OnePassMovesABoundedShareOfTheBacklogInOrder)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    std::vector<long> seen;
    man.AddActionListener("Flood", new FnHandler([&](const std::string&, void* d) {
                              seen.push_back(reinterpret_cast<long>(d));
                          }),
                          ACTION_THREAD_SAFE);
    const long total = 3 * static_cast<long>(TActionMan::kActionsPerPass) + 5;
    for (long i = 0; i < total; ++i)
        man.GenerateAction("Flood.In", reinterpret_cast<void*>(i), ACTION_ANY);

    man.ProcessActions();
    man.ExecuteActions(ACTION_THREAD_SAFE);
    EXPECT_GT(seen.size(), 0u);
    EXPECT_LE(seen.size(), TActionMan::kActionsPerPass);

    int passes = 1;
    for (; seen.size() < static_cast<size_t>(total) && passes < 100; ++passes) {
        man.ProcessActions();
        man.ExecuteActions(ACTION_THREAD_SAFE);
    }
    EXPECT_GE(passes, 4);
    ASSERT_EQ(seen.size(), static_cast<size_t>(total));
    for (long i = 0; i < total; ++i)
        ASSERT_EQ(seen[i], i);
}

TEST(ActionThreads, ActionsGeneratedWhileTheirActionComesAndGoesOnAnotherThread)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    std::atomic<int> created{0}, deleted{0}, runs{0};
    std::atomic<bool> stop{false};
    std::thread generator([&] {
        while (!stop) {
            for (int i = 0; i < 64; ++i)
                man.GenerateAction("Door.Knock", nullptr, ACTION_ANY);
            std::this_thread::yield();
        }
    });
    // Each round adds the action with its only handler and removes it again,
    // while entries for it are queued, resolved and run on the main thread.
    std::thread churn([&] {
        for (int i = 0; i < 1000; ++i) {
            ++created;
            man.AddActionListener("Door",
                                  new FnHandler([&](const std::string&, void*) { ++runs; },
                                                TActionHandler::ahtExecuteEndless, &deleted),
                                  i % 2 ? ACTION_NORMAL : ACTION_THREAD_SAFE);
            if (i % 3 == 0)
                std::this_thread::yield();
            man.UnregisterAction("Door", true);
        }
        stop = true;
    });
    while (!stop)
        RunAllMainContexts(man);
    churn.join();
    generator.join();
    RunAllMainContexts(man);
    EXPECT_EQ(created, 1000);
    EXPECT_EQ(deleted, 1000);
    EXPECT_EQ(man.GetAction("Door"), nullptr);
}

TEST(ActionThreads, TenMillionGeneratedInABurstAllRunOnceInOrder)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    TActionMan man;
    constexpr int kThreads = 4;
    // Ten million in all (one million in a sanitizer build).
    constexpr long kEach = kSanitized ? 250000 : 2500000;
    std::vector<long> next(kThreads, 0);
    long runs = 0, outOfOrder = 0;
    man.AddActionListener("Burst", new FnHandler([&](const std::string&, void* d) {
                              const long v = reinterpret_cast<long>(d);
                              const long t = v % kThreads, i = v / kThreads;
                              if (i != next[t])
                                  ++outOfOrder;
                              next[t] = i + 1;
                              ++runs;
                          }),
                          ACTION_THREAD_SAFE);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&man, t] {
            for (long i = 0; i < kEach; ++i)
                man.GenerateAction("Burst.Go", reinterpret_cast<void*>(i * kThreads + t), ACTION_ANY);
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(8);
    while (runs < kThreads * kEach && std::chrono::steady_clock::now() < deadline) {
        man.ProcessActions();
        man.ExecuteActions(ACTION_THREAD_SAFE);
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(runs, kThreads * kEach);
    EXPECT_EQ(outOfOrder, 0);
}

namespace {

// A host that drives actions through the real start-up phase and main loop.
class ActionHost : public TApplication {
public:
    Journal j;
    int passes = 0;
    int Init() override { return 0; }
    void Destroy() override {}
    int DrawOnce() override { return 0; }
    void Startup() override
    {
        // Only a thread-safe action ends the start-up phase here.
        AddActionListener("Boot.Done", new FnHandler([this](const std::string& n, void*) {
                              j.Add("ts<" + n);
                              setStatus(APP_STARTUP);
                          }),
                          ACTION_THREAD_SAFE);
        AddActionListener("Boot", new FnHandler([this](const std::string& n, void*) { j.Add("normal<" + n); }),
                          ACTION_NORMAL);
        AddActionListener("Boot", new FnHandler([this](const std::string& n, void*) { j.Add("draw<" + n); }),
                          ACTION_DRAW);
        GenerateAction("Boot.Done", nullptr, ACTION_ANY);
    }
    int RunOnce() override
    {
        if (++passes < 5)
            return 0;
        terminate(NOTHING);
        return 1;
    }
};

} // namespace

TEST(ActionMainLoop, StartupPhaseRunsThreadSafeEntriesAndTheLoopRunsNormalOnes)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TActionMan.log"};
    ActionHost host;
    host.SetLogicInterval(0);
    host.Run();
    // The normal entry waited for the loop; no draw thread drained its queue.
    EXPECT_EQ(host.j.Take(), (std::vector<std::string>{"ts<Boot.Done", "normal<Boot"}));
}
