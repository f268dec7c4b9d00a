// The example host's SQLite parameter store end to end: values written by
// one host object are read back by the next one on the same file, from the
// narrowest domain that holds them.
#include "SqliteParamStore.h"
#include "TParamMan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

using namespace vorel_sdl2;

namespace {

class StoreHost : public SqliteParamHooks<TApplication> {
public:
    explicit StoreHost(const std::string& id) { SetClientID(id); }
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override {}
    int RunOnce() override { return 1; }
    int DrawOnce() override { return 0; }
};

TEST(SqliteParamStore, ValuesSurviveARestartOfTheHost)
{
#ifdef VOREL_NOGFX
    const std::string file = VOREL_TEST_BINARY_DIR "/test_SqliteParamStore-nogfx.sqlite";
#else
    const std::string file = VOREL_TEST_BINARY_DIR "/test_SqliteParamStore-sdl2.sqlite";
#endif
    std::remove(file.c_str());
    const std::string odd("a\0b'\"\n", 6);
    {
        auto host = std::make_unique<StoreHost>("EX_1");
        ASSERT_TRUE(host->Store.Open(file));
        host->SetParam("mine", "1", PARAM_MINE, "Caption", "Description");
        host->SetParam("group", "g", PARAM_GROUP);
        host->SetParam("global", "G", PARAM_GLOBAL);
        host->SetParam("global", "G2", PARAM_GLOBAL); // queued twice: the last value counts
        host->SetParam(odd, odd, PARAM_MINE);
        TAppParam* limited = host->SetParam("limited", "5", PARAM_MINE);
        limited->SetLimits("<=9");
        limited->SetRestrictions(RESTRICTION_LOGIC_DOOR);
        host->SetParam("limited", "6", PARAM_MINE);
        host->SetParam("memory", "m", PARAM_CACHE);
        host->TParamMan::Poll();
        TAppParam* gone = host->SetParam("gone", "x", PARAM_MINE);
        gone->Save();
        host->DeleteParam(gone);
    }

    auto host = std::make_unique<StoreHost>("EX_1");
    ASSERT_TRUE(host->Store.Open(file));
    TAppParam* mine = host->GetParam("mine", 14);
    EXPECT_EQ(mine->Value(), "1");
    EXPECT_EQ(mine->Caption(), "Caption");
    EXPECT_EQ(mine->Description(), "Description");
    EXPECT_EQ(host->GetParam(odd, 14)->Value(), odd);

    // Wider answers are bound down to this terminal's own entry.
    TAppParam* global = host->GetParam("global", 14);
    EXPECT_EQ(global->Value(), "G2");
    EXPECT_EQ(global->GetRawDomain(), "EX_1");
    EXPECT_EQ(global->GetSourceRawDomain(), "GLOBAL");
    EXPECT_EQ(host->GetParam("group", 14)->GetSourceRawDomain(), "EX");

    TAppParam* limited = host->GetParam("limited", 14);
    EXPECT_EQ(limited->Value(), "6");
    EXPECT_EQ(limited->Restrictions(), RESTRICTION_LOGIC_DOOR);
    limited->SetValue("10");
    EXPECT_EQ(limited->Value(), "6"); // the limits came back too

    testing::internal::CaptureStdout();
    EXPECT_EQ(host->GetParam("memory", 14), pVoidParam);
    EXPECT_EQ(host->GetParam("gone", 14), pVoidParam);
    testing::internal::GetCapturedStdout();

    // Another terminal of the group sees the group's and the global values
    // but not this terminal's own.
    EXPECT_EQ(host->GetExactParam("EX_2", "group", 14)->Value(), "g");
    EXPECT_EQ(host->GetExactParam("EX_2", "global", 14)->Value(), "G2");
    testing::internal::CaptureStdout();
    EXPECT_EQ(host->GetExactParam("EX_2", "mine", 14), pVoidParam);
    testing::internal::GetCapturedStdout();
}

TEST(SqliteParamStore, AStoreThatCannotOpenAnswersNothing)
{
    StoreHost host("EX_1");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(host.Store.Open("/nonexistent-dir/x/params.sqlite"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("parameter store: open failed"), std::string::npos);
    host.SetParam("p", "v", PARAM_MINE);
    host.TParamMan::Poll();
    testing::internal::CaptureStdout();
    EXPECT_EQ(host.GetParam("p", 8), pVoidParam);
    testing::internal::GetCapturedStdout();
}

} // namespace
