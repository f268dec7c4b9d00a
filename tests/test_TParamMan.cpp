// The parameter manager: resolution across the terminal, group and global
// domains with a host that answers from a chosen domain, get-or-set, the
// store queue, dropping and deleting, client ID changes with queued stores,
// restrictions, environment loading, the listing, bad input, and use from
// several threads.
#include "ParamTestHost.h"
#include "TParamMan.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace vorel_sdl2;

namespace {

// Collects what is written through logman while a test runs.

class TParamManTest : public ::testing::Test {
protected:
    void SetUp() override { app.SetID("T1_3"); }

    // The cached entry with exactly this key, or null.
    TAppParam* Entry(const std::string& domain, const std::string& name = "p")
    {
        TAppParam* p = app.GetExactParamFromCache(domain, name, PARAM_MINE, false);
        return p == pVoidParam ? nullptr : p;
    }

    std::vector<std::string> Stores()
    {
        app.batches.clear();
        app.Poll();
        return app.batches.empty() ? std::vector<std::string>{"(no call)"} : app.batches.front();
    }

    ParamTestHost app;
};

TEST_F(TParamManTest, AGlobalAnswerLeavesThreeBoundEntriesAndTheCacheAnswersNext)
{
    app.Know("GLOBAL", "p", "g", "Caption", "Description");
    TAppParam* got = app.GetParam("p", 14);

    TAppParam* global = Entry("GLOBAL");
    TAppParam* group = Entry("T1");
    TAppParam* mine = Entry("T1_3");
    ASSERT_TRUE(global && group && mine);
    EXPECT_EQ(got, mine);
    EXPECT_EQ(mine->Value(), "g");
    EXPECT_EQ(mine->Caption(), "Caption");
    EXPECT_FALSE(global->IsBound());
    EXPECT_EQ(group->GetSourceRawDomain(), "GLOBAL");
    EXPECT_EQ(mine->GetSourceRawDomain(), "GLOBAL");
    global->SetValue("changed");
    EXPECT_EQ(mine->Value(), "changed"); // one payload

    EXPECT_EQ(app.GetParam("p", 15), mine);
    EXPECT_EQ(app.Requests(), (std::vector<std::string>{"T1_3/p"}));
    EXPECT_EQ(Stores(), std::vector<std::string>{}); // lookups store nothing
}

TEST_F(TParamManTest, ResolutionByAnsweringDomainAndReadMode)
{
    struct Case {
        const char* knownAt;
        int readMode;
        const char* returned; // domain text of the returned entry; "" for none
        std::vector<std::string> cached;
    } cases[] = {
        {"T1", 14, "T1_3", {"T1", "T1_3"}},
        {"T1_3", 14, "T1_3", {"T1_3"}},
        {"GLOBAL", 6, "T1", {"GLOBAL", "T1"}},
        {"GLOBAL", 2, "GLOBAL", {"GLOBAL"}},
        {"GLOBAL", 12, "", {}}, // the host falls back to a domain nobody asked for
        {nullptr, 14, "", {}},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string name = "p" + std::to_string(index++);
        if (c.knownAt)
            app.Know(c.knownAt, name, "v");
        testing::internal::CaptureStdout();
        TAppParam* got = app.GetParam(name, c.readMode);
        const std::string out = CapturedStdout();
        std::vector<std::string> cached;
        for (const char* d : {"GLOBAL", "T1", "T1_3"})
            if (Entry(d, name))
                cached.push_back(d);
        const std::string where = std::string(c.knownAt ? c.knownAt : "-") + " mode " + std::to_string(c.readMode);
        EXPECT_EQ(cached, c.cached) << where;
        if (c.returned[0] == '\0') {
            EXPECT_EQ(got, pVoidParam) << where;
            EXPECT_EQ(out, "PARAM: No parameter named '" + name + "' for ID 'T1_3' exists!\n") << where;
        } else {
            EXPECT_EQ(got->GetRawDomain(), c.returned) << where;
            EXPECT_EQ(got->Value(), "v") << where;
            EXPECT_EQ(out, "") << where;
        }
    }
}

// Entries for another terminal are made under that terminal's texts, so the
// next lookup for it finds them.
TEST_F(TParamManTest, LookupsForAnotherTerminalAreCachedUnderItsOwnID)
{
    app.Know("GLOBAL", "p", "g");
    TAppParam* got = app.GetExactParam("T2_7", "p", 14);
    ASSERT_NE(got, pVoidParam);
    EXPECT_EQ(got->GetRawDomain(), "T2_7");
    EXPECT_NE(Entry("T2"), nullptr);
    EXPECT_EQ(Entry("T1"), nullptr);
    EXPECT_EQ(Entry("T1_3"), nullptr);

    EXPECT_EQ(app.GetExactParam("T2_7", "p", 15), got);
    EXPECT_EQ(app.Requests(), (std::vector<std::string>{"T2_7/p"}));
}

// Writing an entry that shares a less specific entry's value gives it a value
// of its own: the shared entries keep theirs (the host stores the write only
// under the entry's domain), and what is bound to the written entry follows.
TEST_F(TParamManTest, WritingABoundEntryLeavesTheSharedValueAlone)
{
    struct Case {
        ParameterDomain writeTo;
        const char* written;                  // domain text of the written entry
        std::vector<std::string> afterWrite; // values at GLOBAL, T1, T1_3
    } cases[] = {
        {PARAM_MINE, "T1_3", {"g", "g", "w"}},
        {PARAM_GROUP, "T1", {"g", "w", "w"}},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string name = "p" + std::to_string(index++);
        app.Know("GLOBAL", name, "g", "Caption");
        ASSERT_NE(app.GetParam(name, 14), pVoidParam);
        TAppParam* mine = Entry("T1_3", name);
        int heard = 0;
        mine->AddListener([&](TAppParam*, int bits) { heard |= bits; });

        TAppParam* written = app.SetParam(name, "w", c.writeTo);
        EXPECT_EQ(written, Entry(c.written, name)) << c.written;
        EXPECT_FALSE(written->IsBound()) << c.written;
        EXPECT_EQ(written->Caption(), "Caption") << c.written;
        std::vector<std::string> values;
        for (const char* d : {"GLOBAL", "T1", "T1_3"})
            values.push_back(Entry(d, name)->Value());
        EXPECT_EQ(values, c.afterWrite) << c.written;
        EXPECT_EQ(heard, ParamChangeListener::VALUE) << c.written;
        EXPECT_EQ(Stores(), std::vector<std::string>{name + "@" + c.written + "=w"});

        // The shared value changing later no longer reaches the written entry.
        Entry("GLOBAL", name)->SetValue("g2");
        EXPECT_EQ(written->Value(), "w") << c.written;
    }
}

// After a load every entry is bound to what resolution says: a group value
// that appears later is loaded into the group entry, which stops sharing the
// global one, and everything bound to the group entry follows it.
TEST_F(TParamManTest, AGroupAnswerUnbindsTheGroupEntryFromTheGlobalOne)
{
    app.Know("GLOBAL", "p", "g");
    ASSERT_NE(app.GetParam("p", 14), pVoidParam);
    TAppParam* sibling = app.GetExactParam("T1_4", "p", 14); // bound to "T1" too
    ASSERT_NE(sibling, pVoidParam);

    app.Know("T1", "p", "grp");
    TAppParam* mine = app.GetParam("p", 14);
    TAppParam* global = Entry("GLOBAL");
    TAppParam* group = Entry("T1");
    ASSERT_EQ(mine, Entry("T1_3"));
    EXPECT_FALSE(group->IsBound());
    EXPECT_EQ(group->GetSourceRawDomain(), "T1");
    EXPECT_EQ(mine->GetSourceRawDomain(), "T1");
    EXPECT_EQ(sibling->GetSourceRawDomain(), "T1");
    EXPECT_EQ(global->Value(), "g");
    for (TAppParam* p : {group, mine, sibling})
        EXPECT_EQ(p->Value(), "grp") << p->GetRawDomain();

    global->SetValue("g2");
    group->SetValue("grp2");
    EXPECT_EQ(mine->Value(), "grp2");
    EXPECT_EQ(sibling->Value(), "grp2");

    // A terminal value appearing later unbinds the terminal entry in turn.
    app.Know("T1_3", "p", "own");
    EXPECT_EQ(app.GetParam("p", 14), mine);
    EXPECT_FALSE(mine->IsBound());
    EXPECT_EQ(mine->Value(), "own");
    EXPECT_EQ(group->Value(), "grp2");
    EXPECT_EQ(sibling->Value(), "grp2");
}

TEST_F(TParamManTest, AnAnswerFromTheNarrowestDomainIsLoadedIntoTheCachedEntry)
{
    TAppParam* mine = app.SetParam("p", "old", PARAM_MINE);
    app.Know("T1_3", "p", "new");
    EXPECT_EQ(app.GetParam("p", 8), mine);
    EXPECT_EQ(mine->Value(), "new");
}

TEST_F(TParamManTest, AThrowingHostIsNoValue)
{
    app.Know("GLOBAL", "p", "g");
    app.throwOnRequest = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(app.GetParam("p", 14), pVoidParam);
    EXPECT_EQ(CapturedStdout(), "PARAM: No parameter named 'p' for ID 'T1_3' exists!\n");
    EXPECT_EQ(Entry("GLOBAL"), nullptr);
}

TEST_F(TParamManTest, GetOrSetWritesTheDefaultOnlyWhenNothingExists)
{
    testing::internal::CaptureStdout();
    TAppParam* got = app.GetOrSetParam("p", std::string("def"), "Cap", "Desc",
                                       PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_GLOBAL, true);
    EXPECT_EQ(CapturedStdout(), "");
    ASSERT_NE(got, pVoidParam);
    EXPECT_EQ(got->GetRawDomain(), "T1_3");
    EXPECT_EQ(got->GetSourceRawDomain(), "GLOBAL");
    EXPECT_TRUE(got->QuietSave);
    EXPECT_EQ(Entry("GLOBAL")->Caption(), "Cap");
    EXPECT_EQ(Stores(), std::vector<std::string>{"p@GLOBAL=def"});

    app.Know("T1_3", "q", "stored", "Stored caption");
    TAppParam* existing =
        app.GetOrSetParam("q", std::string("def"), "Cap", "Desc", PARAM_READ_MINE_WRITE_MINE, false);
    EXPECT_EQ(existing->Value(), "stored");
    EXPECT_EQ(existing->Caption(), "Stored caption");
    EXPECT_EQ(existing->Description(), "");
    EXPECT_EQ(Stores(), std::vector<std::string>{});

    // Defaults of other types, and a cache-only get-or-set.
    EXPECT_EQ(app.GetOrSetParam("n", 42, "", "", PARAM_READ_MINE_WRITE_MINE)->Value(), "42");
    EXPECT_EQ(app.GetOrSetParam("s", "1", "", "", PARAM_READ_CACHE_WRITE_CACHE)->GetRawDomain(), "T1_3");
    EXPECT_EQ(Stores(), std::vector<std::string>{"n@T1_3=42"});
}

TEST_F(TParamManTest, ContradictoryGetOrSetModesAreRefusedInTheLog)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TParamMan.log"};
    struct Case {
        int mode;
        const char* message;
    } cases[] = {
        {(PARAM_MINE << 4) | PARAM_GLOBAL,
         "PARAMS ERROR: Weird GetOrSet for param 'p'-> writing mine but reading something else\n"},
        {(PARAM_GLOBAL << 4) | PARAM_MINE | PARAM_CACHE,
         "PARAMS ERROR: Weird GetOrSet for param 'p'-> reading only mine but writing global\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(app.GetOrSetParam("p", std::string("d"), "", "", c.mode), pVoidParam) << c.mode;
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(lines[i].find(cases[i].message), std::string::npos) << lines[i];
    EXPECT_EQ(Stores(), std::vector<std::string>{});
}

// A get-or-set running on one thread does not mute a plain lookup's message
// on another.
TEST_F(TParamManTest, GetOrSetQuietensOnlyItsOwnThread)
{
    std::promise<void> inside, release;
    std::shared_future<void> released = release.get_future().share();
    app.onRequest = [&](const std::string& name) {
        if (name == "slow") {
            inside.set_value();
            released.wait();
        }
    };
    std::thread getOrSet([&] {
        app.GetOrSetParam("slow", std::string("d"), "", "", PARAM_READ_MINE_WRITE_MINE);
    });
    inside.get_future().wait();
    testing::internal::CaptureStdout();
    EXPECT_EQ(app.GetParam("missing", 8), pVoidParam);
    const std::string out = CapturedStdout();
    release.set_value();
    getOrSet.join();
    EXPECT_EQ(out, "PARAM: No parameter named 'missing' for ID 'T1_3' exists!\n");
}

TEST_F(TParamManTest, TheQueueIsHandedOverOncePerPollInOrder)
{
    TAppParam* cacheOnly = app.SetParam("c", "v", PARAM_CACHE);
    EXPECT_EQ(cacheOnly->GetRawDomain(), "T1_3");
    EXPECT_EQ(Stores(), std::vector<std::string>{}); // called, with an empty list

    app.batches.clear();
    app.SetParam("a", "1", PARAM_MINE);
    app.SetParam("b", "2", PARAM_GLOBAL);
    app.SetParam("a", "3", PARAM_MINE, "", "", true);
    EXPECT_TRUE(app.batches.empty());
    EXPECT_EQ(Stores(), (std::vector<std::string>{"a@T1_3=3", "b@GLOBAL=2", "a@T1_3=3"}));
    EXPECT_TRUE(app.GetParamFromCache("a", PARAM_MINE, false)->QuietSave);
    EXPECT_EQ(Stores(), std::vector<std::string>{});

    // A rejected value is still queued: the caller asked for a store.
    TAppParam* limited = app.SetParam("l", "5", PARAM_MINE);
    limited->SetLimits("<=9");
    Stores();
    app.SetParam("l", "50", PARAM_MINE);
    EXPECT_EQ(Stores(), std::vector<std::string>{"l@T1_3=5"});
}

TEST_F(TParamManTest, DroppedEntriesLeaveTheQueueEntirely)
{
    TAppParam* x = app.SetParam("x", "1", PARAM_MINE);
    app.SetParam("y", "1", PARAM_MINE);
    app.SetParam("x", "2", PARAM_MINE);
    EXPECT_EQ(app.DropParamFromCache(x), 0);
    EXPECT_EQ(Stores(), std::vector<std::string>{"y@T1_3=1"});

    EXPECT_EQ(app.DropParamFromCache(nullptr), -1);
    EXPECT_EQ(app.DropParamFromCache(pVoidParam), -1);
    EXPECT_EQ(app.DropParamFromCache("", PARAM_MINE), -1);
    EXPECT_EQ(app.DropParamFromCache("unknown", PARAM_MINE), -1);
    TAppParam outsider("y", "T1_3");
    EXPECT_EQ(app.DropParamFromCache(&outsider), -2);
    EXPECT_EQ(app.DropParamFromCache("y", PARAM_MINE), 0);
    EXPECT_EQ(Entry("T1_3", "y"), nullptr);
}

TEST_F(TParamManTest, DroppingABindingTargetKeepsItsDependantsUsable)
{
    app.Know("GLOBAL", "p", "g");
    TAppParam* mine = app.GetParam("p", 14);
    EXPECT_EQ(app.DropParamFromCache("p", PARAM_GLOBAL), 0);
    EXPECT_EQ(mine->Value(), "g");
    EXPECT_EQ(mine->GetSourceRawDomain(), "T1");
    EXPECT_EQ(app.DropParamFromCache(Entry("T1")), 0);
    EXPECT_EQ(mine->GetSourceRawDomain(), "T1_3");
    mine->Update(); // follows no freed target
    EXPECT_EQ(mine->Value(), "g");
}

TEST_F(TParamManTest, DeleteGoesThroughTheHostAndOutOfTheCache)
{
    app.SetParam("p", "v", PARAM_MINE);
    app.DeleteParam("p", PARAM_MINE);
    EXPECT_EQ(app.deleted, std::vector<std::string>{"p@T1_3=v"});
    EXPECT_EQ(Entry("T1_3"), nullptr);
    EXPECT_EQ(Stores(), std::vector<std::string>{});
    app.DeleteParam(pVoidParam);
    app.DeleteParam(nullptr);
    EXPECT_EQ(app.deleted.size(), 1u);
}

// An entry dropped while the host works on a batch that holds it lives until
// the host is done with the batch.
TEST_F(TParamManTest, AnEntryDroppedDuringTheStoreHookOutlivesTheHook)
{
    TAppParam* p = app.SetParam("p", "v", PARAM_MINE);
    const int payloads = ParameterData::GetNumInstances();
    std::string seenAfterDrop;
    int dropResult = 1;
    int payloadsInHook = 0;
    app.onStoreValues = [&](std::list<TAppParam*>& batch) {
        std::thread other([&] { dropResult = app.DropParamFromCache(p); });
        other.join();
        payloadsInHook = ParameterData::GetNumInstances();
        seenAfterDrop = ParamTestHost::Describe(batch.front());
    };
    app.Poll();
    EXPECT_EQ(dropResult, 0);
    EXPECT_EQ(seenAfterDrop, "p@T1_3=v");
    EXPECT_EQ(payloadsInHook, payloads);
    EXPECT_EQ(ParameterData::GetNumInstances(), payloads - 1);
    EXPECT_EQ(Entry("T1_3"), nullptr);
}

TEST_F(TParamManTest, AThrowingStoreHookIsReported)
{
    app.SetParam("p", "v", PARAM_MINE);
    app.onStoreValues = [](std::list<TAppParam*>&) { throw 1; };
    testing::internal::CaptureStdout();
    EXPECT_EQ(app.TParamMan::Poll(), 0);
    EXPECT_EQ(CapturedStdout(), "TParamMan:Poll:OnStoreValues unhandled exception\n");
}

TEST_F(TParamManTest, AClientIDChangeReKeysEntriesAndEveryQueuedStore)
{
    TAppParam* a = app.SetParam("a", "1", PARAM_MINE);
    int heard = 0;
    a->AddListener([&](TAppParam*, int) { ++heard; });
    app.SetParam("g", "1", PARAM_GLOBAL);
    app.SetParam("a", "2", PARAM_MINE);
    // Read for the new ID before: gives way to the moved entry.
    app.SetExactParam("T2_5", "a", "stale", true);

    app.SetID("T2_5");
    EXPECT_EQ(Stores(), (std::vector<std::string>{"a@T2_5=2", "g@GLOBAL=1", "a@T2_5=2"}));
    EXPECT_EQ(Entry("T1_3", "a"), nullptr);
    TAppParam* moved = Entry("T2_5", "a");
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(moved->Value(), "2");
    EXPECT_EQ(app.GetParam("a", 9), moved);
    EXPECT_EQ(app.GetParam("g", 3)->Value(), "1");
    heard = 0;
    moved->SetValue("3");
    EXPECT_EQ(heard, 1); // the listener moved along

    app.SetID("T2_5"); // unchanged: nothing moves
    EXPECT_EQ(Entry("T2_5", "a"), moved);
}

TEST_F(TParamManTest, RestrictionChangesCallListenersAndGenerateTheAction)
{
    struct Probe : TActionHandler {
        Probe() : TActionHandler(nullptr, ahtExecuteEndless) {}
        void execute(std::string, void*) override { ++count; }
        int count = 0;
    };
    auto* probe = new Probe;
    app.AddActionListener("OnRestrictionsChange", probe, ACTION_NORMAL);
    auto actions = [&] {
        app.ProcessActions();
        app.ExecuteActions(ACTION_NORMAL);
        return probe->count;
    };
    std::vector<std::int64_t> heard;
    app.AddRestrictionListener([&](std::int64_t v) { heard.push_back(v); }, true);
    app.AddRestrictionListener([&](std::int64_t v) { heard.push_back(-v); }, false);
    EXPECT_EQ(heard, std::vector<std::int64_t>{1025});

    heard.clear();
    app.SetRestriction(RESTRICTION_HIDDEN, false);
    EXPECT_EQ(app.GetRestrictionState(), 1);
    EXPECT_EQ(heard, (std::vector<std::int64_t>{1, -1}));
    EXPECT_EQ(actions(), 1);

    app.SetRestriction(RESTRICTION_HIDDEN, false);
    EXPECT_EQ(heard.size(), 2u);
    EXPECT_EQ(actions(), 1);

    app.SetRestriction(RESTRICTION_LOGIC_DOOR | RESTRICTION_RAM_CLEAR, true);
    EXPECT_EQ(app.GetRestrictionState(), 7);
    app.SetRestriction(RESTRICTION_ALL, false);
    EXPECT_EQ(app.GetRestrictionState(), 0);
    EXPECT_EQ(actions(), 3);
}

TEST_F(TParamManTest, EnvironmentValuesBecomeCacheOnlyEntries)
{
    struct Case {
        const char* value; // null: unset
        bool optional;
        int result;
        const char* message;
        const char* stored; // null: no entry
    } cases[] = {
        {nullptr, false, -1, "PARAMS ERROR: Please set 'VOREL_PARAM_TEST' environment variable\n", nullptr},
        {nullptr, true, 0, "", nullptr},
        {"  a value  ", false, 0, "", "a value"},
        {"   ", true, 0, "PARAMS ERROR: Error reading environment variable 'VOREL_PARAM_TEST' \n", ""},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string name = "e" + std::to_string(index++);
        if (c.value)
            setenv("VOREL_PARAM_TEST", c.value, 1);
        else
            unsetenv("VOREL_PARAM_TEST");
        testing::internal::CaptureStdout();
        EXPECT_EQ(app.LoadParamFromEnvironment("VOREL_PARAM_TEST", name, c.optional), c.result);
        EXPECT_EQ(CapturedStdout(), c.message);
        TAppParam* e = Entry("T1_3", name);
        if (c.stored) {
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(e->Value(), c.stored);
        } else {
            EXPECT_EQ(e, nullptr);
        }
        EXPECT_EQ(Stores(), std::vector<std::string>{});
    }
}

TEST_F(TParamManTest, TheListingCutsLongValues)
{
    const std::string forty(40, 'a');
    const std::string fortyOne = std::string(37, 'b') + "cccc";
    app.SetParam("long", fortyOne, PARAM_MINE, "Cap", "Desc");
    app.SetParam("exact", forty, PARAM_GLOBAL)->SetRestrictions(1024);
    const std::string rule = std::string(149, '=') + "\n";

    testing::internal::CaptureStdout();
    app.PrintParamList();
    const std::string out = CapturedStdout();

    char line[512];
    std::string expected;
    std::snprintf(line, sizeof line, " #  : %-40s | %-15s | %-6s | %-42s | %-40s | %s\n", "Name", "Domain", "Restr.",
                  "Value", "Caption", "Description");
    expected += line;
    expected += rule;
    std::snprintf(line, sizeof line, "%-4d: %-40s | %-15s | %-6ld | %-42s | %-40s | %s\n", 0, "exact", "GLOBAL", 1024L,
                  ("\"" + forty + "\"").c_str(), "", "");
    expected += line;
    std::snprintf(line, sizeof line, "%-4d: %-40s | %-15s | %-6ld | %-42s | %-40s | %s\n", 1, "long", "T1_3", 0L,
                  ("\"" + std::string(37, 'b') + "...\"").c_str(), "Cap", "Desc");
    expected += line;
    expected += rule;
    expected += "# od data instances: " + std::to_string(ParameterData::GetNumInstances()) + "\n";
    expected += rule;
    EXPECT_EQ(out, expected);
}

TEST_F(TParamManTest, BadInputGivesTheSentinelAndMessages)
{
    struct Case {
        std::function<TAppParam*()> call;
        const char* output;
    } cases[] = {
        {[&] { return app.GetParam("", 15); }, ""},
        {[&] { return app.GetParam("p", 0); }, ""},
        {[&] { return app.GetParam("p", 16); }, ""}, // a write domain only
        {[&] { return app.SetParam("", "v", PARAM_MINE); }, ""},
        {[&] { return app.GetOrSetParam("", std::string("d"), "", "", PARAM_READ_MINE_WRITE_MINE); }, ""},
        {[&] { return app.SetExactParam("", "p", "v", false); },
         "application::Parameter \"p\" domain cannot be CACHE.\n"},
        {[&] { return app.GetParamFromCache("p", PARAM_CACHE, false); },
         "application::Parameter \"p\" searched in cache with no proper domain.\n"},
        {[&] { return app.GetOrSetParam("p", std::string("d"), "", "", 3 << 4 | 8); },
         "application::Parameter \"p\" domain cannot be CACHE.\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.call(), pVoidParam);
        EXPECT_EQ(CapturedStdout(), c.output);
    }
    EXPECT_EQ(Stores(), std::vector<std::string>{});

    // Names and values with any bytes are kept as they are.
    const std::string name("n\0\xff|%s", 6), value("v\0\n\"", 4);
    app.SetParam(name, value, PARAM_MINE);
    EXPECT_EQ(app.GetParam(name, 9)->Value(), value);
}

TEST(TParamManDefaults, DefaultHooksPrintWhatWasAsked)
{
    struct Plain : TApplication {
        int Init() override { return 0; }
        void Destroy() override {}
        void Startup() override {}
        int RunOnce() override { return 1; }
        int DrawOnce() override { return 0; }
        void SetID(const std::string& id) { SetClientID(id); }
    } plain;
    plain.SetID("T1_3");
    testing::internal::CaptureStdout();
    EXPECT_EQ(plain.GetParam("p", 8), pVoidParam);
    TAppParam* p = plain.SetParam("p", "v", PARAM_MINE, "c", "d");
    p->Save();
    plain.Poll();
    plain.DeleteParam(p);
    EXPECT_EQ(CapturedStdout(),
              "Requested value for parameter p of T1_3\n"
              "PARAM: No parameter named 'p' for ID 'T1_3' exists!\n"
              "Requested store for parameter\np = 'v' with\ncaption = 'c'\ndescription = 'd'\n"
              "Requested store of param list (1). Will do nothing!\n"
              "Requested delete for parameter p\n");
}

// Lookups, writes, get-or-set and drops from several threads while the main
// thread polls and changes the client ID once.
TEST_F(TParamManTest, ManyThreadsShareTheCache)
{
    app.Know("GLOBAL", "k0", "g");
    app.Know("T1", "k1", "t");
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                const std::string name = "k" + std::to_string((i + t) % 5);
                switch ((i + t) % 4) {
                case 0:
                    app.SetParam(name, std::to_string(i), PARAM_MINE);
                    break;
                case 1:
                    // Not dereferenced: another thread may drop it at once.
                    app.GetParam(name, 15);
                    break;
                case 2:
                    app.GetOrSetParam(name, i, "", "", PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_GROUP);
                    break;
                default:
                    app.DropParamFromCache(name, 15);
                    break;
                }
            }
        });
    }
    std::thread poller([&] {
        while (!stop)
            app.Poll();
    });
    testing::internal::CaptureStdout();
    for (auto& w : workers)
        w.join();
    stop = true;
    poller.join();
    CapturedStdout();
    app.SetID("T1_4");
    app.Poll();
    app.SetParam("k0", "end", PARAM_MINE);
    EXPECT_EQ(app.GetParam("k0", 9)->Value(), "end");
}

} // namespace
