// The example host's SQLite parameter store end to end: values written by
// one host object are read back by the next one on the same file, from the
// narrowest domain that holds them; stores that fail on a full disk or an
// unwritable file are kept and land once the file can be written again.
#include "SqliteParamStore.h"
#include "TParamMan.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
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
        ASSERT_EQ(host->Store.Open(file), 0);
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
    ASSERT_EQ(host->Store.Open(file), 0);
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
    EXPECT_EQ(host.Store.Open("/nonexistent-dir/x/params.sqlite"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("parameter store: open failed"), std::string::npos);
    host.SetParam("p", "v", PARAM_MINE);
    host.TParamMan::Poll();
    testing::internal::CaptureStdout();
    EXPECT_EQ(host.GetParam("p", 8), pVoidParam);
    testing::internal::GetCapturedStdout();
}

// Runs body in a forked child, as the user nobody when asked (root writes
// any file whatever its mode), and answers whether every assertion held.
bool InChild(const std::function<void()>& body, bool asNobody)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        body();
        std::fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string FreshFolder()
{
    char name[] = "/tmp/vorel-sqlite-XXXXXX";
    const char* made = mkdtemp(name);
    EXPECT_NE(made, nullptr);
    chown(name, 65534, 65534);
    return name;
}

std::string StoredValue(const std::string& file, const std::string& address, const std::string& name)
{
    SqliteParamStore check;
    EXPECT_GE(check.Open(file), 0);
    return check.Request(address, name).Value();
}

std::string IntegrityOf(const std::string& file)
{
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
}

// The file size limit stands in for a full disk: writes past it fail. What
// the manager handed over meanwhile is kept, in order, and lands when space
// comes back; the file stays sound throughout.
TEST(SqliteParamStore, StoresOnAFullDiskAreKeptAndLandInOrder)
{
    const std::string folder = FreshFolder();
    const std::string file = folder + "/params.sqlite";
    const bool held = InChild(
        [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            StoreHost host("EX_1");
            ASSERT_EQ(host.Store.Open(file), 0);
            host.SetParam("a", "1", PARAM_MINE);
            host.TParamMan::Poll();
            ASSERT_EQ(host.Store.Pending(), 0u);

            struct stat st {};
            ASSERT_EQ(stat(file.c_str(), &st), 0);
            rlimit full{static_cast<rlim_t>(st.st_size), RLIM_INFINITY};
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
            testing::internal::CaptureStderr();
            host.SetParam("big", std::string(1 << 20, 'x'), PARAM_MINE);
            host.SetParam("a", "2", PARAM_MINE);
            host.TParamMan::Poll();
            host.TParamMan::Poll(); // an empty batch retries, and stays quiet
            host.SetParam("a", "3", PARAM_MINE);
            host.TParamMan::Poll();
            const std::string failing = testing::internal::GetCapturedStderr();
            EXPECT_EQ(host.Store.Pending(), 3u);
            EXPECT_FALSE(host.Store.IsWritable());
            EXPECT_EQ(std::count(failing.begin(), failing.end(), '\n'), 1) << failing;
            EXPECT_NE(failing.find("parameter store: store failed, 2 kept for a retry"), std::string::npos)
                << failing;
            EXPECT_EQ(StoredValue(file, "EX_1", "a"), "1"); // nothing half-written
            EXPECT_EQ(IntegrityOf(file), "ok");

            rlimit room{RLIM_INFINITY, RLIM_INFINITY};
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &room), 0);
            testing::internal::CaptureStderr();
            host.TParamMan::Poll();
            EXPECT_NE(testing::internal::GetCapturedStderr().find("is written again"), std::string::npos);
            EXPECT_EQ(host.Store.Pending(), 0u);
            EXPECT_TRUE(host.Store.IsWritable());
        },
        false);
    EXPECT_TRUE(held);
    EXPECT_EQ(StoredValue(file, "EX_1", "a"), "3");
    EXPECT_EQ(StoredValue(file, "EX_1", "big").size(), 1u << 20);
    EXPECT_EQ(IntegrityOf(file), "ok");
    std::filesystem::remove_all(folder);
}

// A file that cannot be written is reported when it is opened, still read,
// and used for writing once it can be, without a restart.
TEST(SqliteParamStore, AFileThatCannotBeWrittenIsReportedAndUsedOnceItCanBe)
{
    const std::string folder = FreshFolder();
    const std::string file = folder + "/params.sqlite";
    const bool held = InChild(
        [&] {
            StoreHost host("EX_1");
            ASSERT_EQ(host.Store.Open(file), 0);
            host.SetParam("a", "1", PARAM_MINE);
            host.TParamMan::Poll();
            host.Store.Close();

            ASSERT_EQ(chmod(file.c_str(), 0444), 0);
            testing::internal::CaptureStderr();
            EXPECT_EQ(host.Store.Open(file), 1);
            const std::string opened = testing::internal::GetCapturedStderr();
            EXPECT_NE(opened.find("parameter store: " + file + " cannot be written"), std::string::npos) << opened;
            EXPECT_EQ(host.Store.Request("EX_1", "a").Value(), "1");

            host.SetParam("a", "2", PARAM_MINE);
            testing::internal::CaptureStderr();
            host.TParamMan::Poll();
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            EXPECT_EQ(host.Store.Pending(), 1u);

            ASSERT_EQ(chmod(file.c_str(), 0644), 0);
            testing::internal::CaptureStderr();
            host.TParamMan::Poll();
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(host.Store.Pending(), 0u);
            EXPECT_EQ(StoredValue(file, "EX_1", "a"), "2");
        },
        true);
    EXPECT_TRUE(held);
    std::filesystem::remove_all(folder);
}

} // namespace
