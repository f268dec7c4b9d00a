// Reads with the cache bit are answered through a hash index beside the
// sorted cache. These cases hold that answer to what the sorted cache says:
// what a cached read returns per cached level and read mode, that every key
// the index answers for is exactly the sorted cache's entry after each kind
// of change, and that entries nobody touches stay found while another thread
// fills and empties the cache around them.
#include "ParamTestHost.h"
#include "TParamMan.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace vorel_sdl2;

namespace {

const char* const kDomains[] = {"T1_3", "T1", "GLOBAL", "T1_4", "T2_1", "T2"};

class CachedReadsTest : public ::testing::Test {
protected:
    void SetUp() override { app.SetID("T1_3"); }

    TAppParam* Entry(const std::string& domain, const std::string& name)
    {
        TAppParam* p = app.GetExactParamFromCache(domain, name, PARAM_MINE, false);
        return p == pVoidParam ? nullptr : p;
    }

    // Every (name, domain) key whose cached read (exact, cache bit only)
    // differs from the sorted cache's entry; the first few, for the report.
    std::vector<std::string> Incoherent(const std::vector<std::string>& names)
    {
        std::vector<std::string> wrong;
        for (const std::string& name : names)
            for (const char* domain : kDomains) {
                TAppParam* indexed = app.GetExactParam(domain, name, PARAM_CACHE);
                TAppParam* sorted = app.GetExactParamFromCache(domain, name, PARAM_MINE, false);
                if (indexed != sorted && wrong.size() < 10)
                    wrong.push_back(name + "@" + domain);
            }
        return wrong;
    }

    ParamTestHost app;
};

// The host knows nothing here: a read that reaches it gives the sentinel.
TEST_F(CachedReadsTest, ACachedReadAnswersAsTheCacheStepWould)
{
    struct Case {
        std::vector<std::string> cachedAt;
        const char* clientID;
        int readMode;
        const char* returned; // domain text of the entry; "" for pVoidParam
        bool asksHost;
        std::vector<std::string> cachedAfter;
    } cases[] = {
        {{"T1_3"}, "T1_3", 15, "T1_3", false, {"T1_3"}},
        {{"T1_3", "T1", "GLOBAL"}, "T1_3", 15, "T1_3", false, {"GLOBAL", "T1", "T1_3"}},
        // A group entry read for the terminal gets a bound terminal entry.
        {{"T1"}, "T1_3", 15, "T1_3", false, {"T1", "T1_3"}},
        {{"T1"}, "T1_3", 7, "T1", false, {"T1"}},
        {{"T1"}, "T1_3", 5, "T1", false, {"T1"}},
        {{"T1", "GLOBAL"}, "T1_3", 7, "T1", false, {"GLOBAL", "T1"}},
        {{"GLOBAL"}, "T1_3", 15, "GLOBAL", false, {"GLOBAL"}},
        {{"T1_3", "GLOBAL"}, "T1_3", 3, "GLOBAL", false, {"GLOBAL", "T1_3"}},
        {{"GLOBAL"}, "T1_3", 13, "", true, {"GLOBAL"}},
        {{}, "T1_3", 15, "", true, {}},
        // Cache bit alone: the exact entry, never the host.
        {{"T1_3"}, "T1_3", 1, "T1_3", false, {"T1_3"}},
        {{"T1"}, "T1_3", 1, "", false, {"T1"}},
        // Without the cache bit the host decides, cached or not.
        {{"T1_3"}, "T1_3", 14, "", true, {"T1_3"}},
        // Another terminal, and one without a group of its own (ours counts).
        {{"T2_1", "T1_3"}, "T2_1", 15, "T2_1", false, {"T1_3", "T2_1"}},
        {{"T2"}, "T2_1", 7, "T2", false, {"T2"}},
        {{"T1"}, "T9", 5, "T1", false, {"T1"}},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string name = "p" + std::to_string(index++);
        for (const std::string& domain : c.cachedAt)
            app.SetExactParam(domain, name, domain, true);
        app.requests.clear();
        testing::internal::CaptureStdout();
        TAppParam* got = c.clientID == std::string("T1_3") ? app.GetParam(name, c.readMode)
                                                           : app.GetExactParam(c.clientID, name, c.readMode);
        CapturedStdout();
        const std::string where = name + " for " + c.clientID + " mode " + std::to_string(c.readMode);
        if (c.returned[0] == '\0') {
            EXPECT_EQ(got, pVoidParam) << where;
        } else {
            ASSERT_NE(got, pVoidParam) << where;
            EXPECT_EQ(got->GetRawDomain(), c.returned) << where;
            EXPECT_EQ(got, Entry(c.returned, name)) << where;
        }
        EXPECT_EQ(!app.Requests().empty(), c.asksHost) << where;
        std::vector<std::string> cached;
        for (const char* d : {"GLOBAL", "T1", "T1_3", "T2", "T2_1"})
            if (Entry(d, name))
                cached.push_back(d);
        EXPECT_EQ(cached, c.cachedAfter) << where;
    }
}

// Every change to the cache, applied in turn; after each one the index and
// the sorted cache agree on every key.
TEST_F(CachedReadsTest, TheIndexFollowsEveryChangeOfTheCache)
{
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back("n" + std::to_string(i));
    for (int i = 0; i < 1500; ++i)
        names.push_back("bulk." + std::to_string(i));
    app.Know("GLOBAL", "n30", "g");
    app.Know("T1", "n31", "t");

    struct Step {
        const char* what;
        std::function<void()> change;
    } steps[] = {
        {"writes to every level",
         [&] {
             for (int i = 0; i < 30; ++i)
                 app.SetExactParam(kDomains[i % 6], names[i], "v", i % 2 == 0);
         }},
        {"bound entries made by host answers",
         [&] {
             app.GetParam("n30", 14);
             app.GetParam("n31", 15);
         }},
        {"a bound entry made by a cached read", [&] { app.GetParam("n1", 15); }},
        {"get-or-set defaults",
         [&] {
             app.GetOrSetParam("n32", "d", "", "", PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_GLOBAL);
             app.GetOrSetParam("n33", "d", "", "", PARAM_READ_CACHE_WRITE_CACHE);
         }},
        {"many entries, the table grows",
         [&] {
             for (int i = 0; i < 1500; ++i)
                 app.SetExactParam(kDomains[i % 3], "bulk." + std::to_string(i), "b", true);
         }},
        {"drops in a scattered order",
         [&] {
             for (int i = 0; i < 1500; ++i) {
                 const int k = (i * 7) % 1500;
                 if (k % 3 != 0)
                     app.DropParamFromCache(Entry(kDomains[k % 3], "bulk." + std::to_string(k)));
             }
         }},
        {"deletes through the host",
         [&] {
             app.DeleteParam(Entry("T1_3", "n0"));
             app.DeleteParam("n30", 15);
         }},
        {"a client ID change, moving and displacing entries",
         [&] {
             app.SetExactParam("T1_4", "n6", "displaced", true);
             app.SetID("T1_4");
         }},
        {"the store queue handed over", [&] { app.Poll(); }},
        {"writes after the move",
         [&] {
             app.SetParam("n34", "m", PARAM_MINE);
             app.SetParam("n35", "c", PARAM_CACHE);
         }},
    };
    testing::internal::CaptureStdout();
    for (const Step& step : steps) {
        step.change();
        EXPECT_EQ(Incoherent(names), std::vector<std::string>{}) << "after " << step.what;
    }
    CapturedStdout();
}

// One thread empties and fills the cache (removals shift slots back, the
// table grows) and rewrites values, while this thread reads entries that
// stay: each is found at once, as itself, and the host is never asked.
TEST_F(CachedReadsTest, StableEntriesStayFoundWhileAnotherThreadChurns)
{
    // Entries made before the stable ones sit ahead of them in the index, so
    // dropping them moves the stable ones.
    std::vector<TAppParam*> early;
    for (int i = 0; i < 1000; ++i)
        early.push_back(app.SetExactParam(kDomains[i % 3], "early." + std::to_string(i), "e", true));
    std::vector<std::string> mine, global;
    std::vector<TAppParam*> mineEntries, globalEntries;
    for (int i = 0; i < 50; ++i) {
        mine.push_back("stable.mine." + std::to_string(i));
        global.push_back("stable.global." + std::to_string(i));
        mineEntries.push_back(app.SetParam(mine.back(), "0", PARAM_CACHE));
        globalEntries.push_back(app.SetExactParam("GLOBAL", global.back(), "0", true));
    }
    app.requests.clear();

    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (std::size_t i = 0; i < early.size(); ++i)
            app.DropParamFromCache(early[(i * 13) % early.size()]);
        char name[48];
        for (int round = 0; round < 6; ++round) {
            std::vector<TAppParam*> made;
            for (int i = 0; i < 600; ++i) {
                std::snprintf(name, sizeof name, "churn.%d.%d", round, i);
                made.push_back(app.SetExactParam(kDomains[i % 3], name, "c", true));
                if (i % 50 == 0)
                    app.SetParam(mine[i / 50], std::to_string(round), PARAM_CACHE);
            }
            for (std::size_t i = 0; i < made.size(); ++i)
                app.DropParamFromCache(made[(i * 13) % made.size()]);
        }
        done = true;
    });

    int wrong = 0;
    int passes = 0;
    do {
        for (std::size_t i = 0; i < mine.size(); ++i) {
            // The exact form has no fallback: only the index answers it.
            if (app.GetExactParam("T1_3", mine[i], PARAM_CACHE) != mineEntries[i])
                ++wrong;
            if (app.GetExactParam("GLOBAL", global[i], PARAM_CACHE) != globalEntries[i])
                ++wrong;
            if (app.GetParam(mine[i], 15) != mineEntries[i] || app.GetParam(global[i], 15) != globalEntries[i])
                ++wrong;
        }
        ++passes;
    } while (!done);
    churn.join();

    EXPECT_EQ(wrong, 0) << "over " << passes << " passes";
    EXPECT_EQ(app.Requests(), std::vector<std::string>{});
    for (std::size_t i = 0; i < mine.size(); ++i)
        EXPECT_EQ(mineEntries[i]->Value(), i < 12 ? "5" : "0") << mine[i];
}

} // namespace
