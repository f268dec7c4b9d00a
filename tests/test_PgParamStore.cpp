// The PostgreSQL parameter store against a real server (the "pg" fixture,
// scripts/pg-fixture.sh): live changes reach exactly the terminals they are
// for, terminals keep running through an outage and deliver their stores once
// and in order afterwards, also across a restart, the server's row-level
// security holds against a terminal's role, and odd names and values come
// back exactly or are refused clearly. Each case works in a database of its
// own; the outage cases hold the server to themselves (RESOURCE_LOCK).
#include "PgParamStore.h"
#include "TParamMan.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace vorel_sdl2;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string SocketFolder()
{
    std::ifstream in(VOREL_PG_STATE_FILE);
    std::string dir;
    std::getline(in, dir);
    return dir;
}

std::string Quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int Fixture(const char* what)
{
    return std::system((std::string(VOREL_PG_FIXTURE) + " " + what + " " + VOREL_PG_STATE_FILE + " >/dev/null").c_str());
}

// A database of its own, with its schema, a login role per terminal and one
// for the operator, and a log of every change made to the parameter table.
class TestDb {
public:
    TestDb()
    {
        static int counter = 0;
        mName = "vt_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
        PGconn* admin = Connect("postgres", "postgres");
        EXPECT_EQ(PQstatus(admin), CONNECTION_OK) << PQerrorMessage(admin);
        Sql(admin, "CREATE DATABASE " + mName);
        PQfinish(admin);
        mAdmin = Connect("postgres", mName);
        EXPECT_EQ(PgParamStore::EnsureSchema(mAdmin), "");
        Sql(mAdmin, "CREATE TABLE test_changes (id bigserial PRIMARY KEY, domain text, name text, value text);"
                    "CREATE FUNCTION test_log() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
                    " INSERT INTO test_changes (domain, name, value) VALUES (NEW.domain, NEW.name, NEW.value);"
                    " RETURN NULL; END $$;"
                    "CREATE TRIGGER test_log AFTER INSERT OR UPDATE ON vorel_param FOR EACH ROW"
                    " EXECUTE FUNCTION test_log();"
                    "GRANT INSERT ON test_changes TO PUBLIC; GRANT USAGE ON SEQUENCE test_changes_id_seq TO PUBLIC");
        Sql(mAdmin, "CREATE ROLE " + Role("op") + " LOGIN IN ROLE vorel_operator");
        mRoles.push_back(Role("op"));
    }
    ~TestDb()
    {
        PQfinish(mAdmin);
        PGconn* admin = Connect("postgres", "postgres");
        Sql(admin, "DROP DATABASE IF EXISTS " + mName + " WITH (FORCE)");
        for (const std::string& r : mRoles)
            Sql(admin, "DROP ROLE IF EXISTS " + r);
        PQfinish(admin);
    }

    std::string Role(const std::string& id) const
    {
        std::string r = mName + "_" + id;
        for (char& c : r)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return r;
    }

    // A login role for the terminal, mapped to its client ID.
    std::string Terminal(const std::string& id)
    {
        const std::string role = Role(id);
        Sql(mAdmin, "CREATE ROLE " + role + " LOGIN IN ROLE vorel_terminal");
        PGresult* r = Exec(mAdmin, "INSERT INTO vorel_terminal_map VALUES ($1, $2)", {role, id});
        PQclear(r);
        mRoles.push_back(role);
        return ConnInfo(role);
    }

    std::string ConnInfo(const std::string& user) const
    {
        return "host=" + SocketFolder() + " user=" + user + " dbname=" + mName + " connect_timeout=5";
    }

    static PGconn* Connect(const std::string& user, const std::string& db)
    {
        return PQconnectdb(("host=" + SocketFolder() + " user=" + user + " dbname=" + db).c_str());
    }

    static void Sql(PGconn* c, const std::string& sql)
    {
        PGresult* r = PQexec(c, sql.c_str());
        EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
            << sql << ": " << PQresultErrorMessage(r);
        PQclear(r);
    }

    static PGresult* Exec(PGconn* c, const char* sql, const std::vector<std::string>& params)
    {
        std::vector<const char*> v;
        std::vector<int> len, fmt;
        for (const std::string& p : params) {
            v.push_back(p.data());
            len.push_back(static_cast<int>(p.size()));
            fmt.push_back(0);
        }
        return PQexecParams(c, sql, static_cast<int>(v.size()), nullptr, v.data(), len.data(), fmt.data(), 0);
    }

    // Values the table took for a name, in the order it took them.
    std::vector<std::string> History(const std::string& domain, const std::string& name)
    {
        // A connection of its own: an outage ends the long-lived one.
        PGconn* c = Connect("postgres", mName);
        PGresult* r = Exec(c, "SELECT value FROM test_changes WHERE domain = $1 AND name = $2 ORDER BY id",
                           {domain, name});
        std::vector<std::string> out;
        for (int i = 0; i < PQntuples(r); ++i)
            out.emplace_back(PQgetvalue(r, i, 0), static_cast<std::size_t>(PQgetlength(r, i, 0)));
        PQclear(r);
        PQfinish(c);
        return out;
    }

    // The operator command against this database.
    int Param(const std::string& args)
    {
        const std::string cmd = std::string(VOREL_PARAM_BIN) + " --db " + Quote(ConnInfo(Role("op"))) + " " + args +
                                " >/dev/null 2>&1";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string mName;
    PGconn* mAdmin = nullptr;
    std::vector<std::string> mRoles;
};

class Host : public ParamStoreHooks<TApplication> {
public:
    explicit Host(const std::string& id) { SetClientID(id); }
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override {}
    int RunOnce() override { return 1; }
    int DrawOnce() override { return 0; }
};

std::string LocalFile(const std::string& tag)
{
    const std::string file = std::string(VOREL_TEST_BINARY_DIR) + "/pg-" + std::to_string(getpid()) + "-" + tag +
                             ".sqlite";
    std::filesystem::remove(file);
    return file;
}

// The server down for a while; back up at the latest when the case ends, so
// a failing case does not take the next ones down with it.
class Outage {
public:
    Outage(const Outage&) = delete;
    Outage& operator=(const Outage&) = delete;
    Outage() { EXPECT_EQ(Fixture("pause"), 0); }
    ~Outage() { End(); }
    void End()
    {
        if (!bEnded)
            EXPECT_EQ(Fixture("resume"), 0);
        bEnded = true;
    }

private:
    bool bEnded = false;
};

// ------------------------------------------------ terminals as processes

// A terminal in a forked child: its main loop runs the manager's poll, takes
// one command per pass from its input ("set NAME VALUE", "get NAME",
// "quit") and reports what its listeners hear ("heard NAME=VALUE"), its
// connection state ("state N") and its outbox ("pending N").
class Terminal {
public:
    Terminal(const std::string& id, const std::string& conninfo, const std::vector<std::string>& watched)
    {
        int in[2], out[2];
        EXPECT_EQ(pipe(in), 0);
        EXPECT_EQ(pipe(out), 0);
        std::fflush(stdout);
        mPid = fork();
        if (mPid == 0) {
            close(in[1]);
            close(out[0]);
            _exit(Main(id, conninfo, watched, in[0], out[1]));
        }
        close(in[0]);
        close(out[1]);
        mIn = in[1];
        mOut = out[0];
    }
    ~Terminal()
    {
        Send("quit");
        close(mIn);
        int status = 0;
        waitpid(mPid, &status, 0);
        close(mOut);
    }

    void Send(const std::string& line)
    {
        const std::string text = line + "\n";
        [[maybe_unused]] ssize_t n = write(mIn, text.data(), text.size());
    }

    // Waits for a report line; everything read on the way is kept in Seen.
    bool WaitFor(const std::string& line, milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            for (std::size_t i = mChecked; i < Seen.size(); ++i)
                if (Seen[i] == line) {
                    mChecked = i + 1;
                    return true;
                }
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd fd{mOut, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left)) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = read(mOut, buf, sizeof buf);
            if (n <= 0)
                return false;
            mPartial.append(buf, static_cast<std::size_t>(n));
            std::string::size_type cut;
            while ((cut = mPartial.find('\n')) != std::string::npos) {
                Seen.push_back(mPartial.substr(0, cut));
                mPartial.erase(0, cut + 1);
            }
        }
    }

    std::vector<std::string> Seen;

private:
    static int Main(const std::string& id, const std::string& conninfo, const std::vector<std::string>& watched,
                    int in, int out)
    {
        auto report = [out](const std::string& line) {
            const std::string text = line + "\n";
            [[maybe_unused]] ssize_t n = write(out, text.data(), text.size());
        };
        Host host(id);
        PgParamStore store;
        if (store.Open(conninfo, id, LocalFile(id)) != 0)
            return 1;
        host.UseParamStore(&store);
        store.WaitForState(PgParamStore::PGSTORE_ONLINE, milliseconds(10000));
        for (const std::string& name : watched) {
            TAppParam* p = host.GetParam(name, 14);
            if (p == pVoidParam)
                return 2;
            p->AddListener([report](TAppParam* param, int bits) {
                if (bits & ParamChangeListener::VALUE)
                    report("heard " + param->Name() + "=" + param->Value());
            });
        }
        report("ready");
        int state = -1;
        std::size_t pending = 0;
        std::string partial;
        for (;;) {
            host.TParamMan::Poll();
            if (store.State() != state)
                report("state " + std::to_string(state = store.State()));
            if (store.Pending() != pending)
                report("pending " + std::to_string(pending = store.Pending()));
            pollfd fd{in, POLLIN, 0};
            if (partial.find('\n') == std::string::npos && poll(&fd, 1, 5) > 0) {
                char buf[1024];
                const ssize_t n = read(in, buf, sizeof buf);
                if (n <= 0)
                    return 0;
                partial.append(buf, static_cast<std::size_t>(n));
            }
            const std::string::size_type cut = partial.find('\n');
            if (cut == std::string::npos)
                continue;
            const std::string line = partial.substr(0, cut);
            partial.erase(0, cut + 1);
            if (line == "quit")
                return 0;
            if (line.rfind("set ", 0) == 0) {
                const std::string rest = line.substr(4);
                const std::string::size_type sp = rest.find(' ');
                host.SetParam(rest.substr(0, sp), rest.substr(sp + 1), PARAM_MINE);
            } else if (line.rfind("get ", 0) == 0) {
                const std::string name = line.substr(4);
                report("value " + name + "=" + host.GetParam(name, 15)->Value());
            }
        }
    }

    pid_t mPid = -1;
    int mIn = -1, mOut = -1;
    std::string mPartial;
    std::size_t mChecked = 0;
};

// Three terminals, two in one group: a group change reaches the two, a
// global one all three; through an outage they run on what they have, and
// what they stored meanwhile lands once and in order when the server is back.
TEST(PgParamStore, ChangesReachTheirTerminalsLiveAndStoresSurviveAnOutage)
{
    TestDb db;
    ASSERT_EQ(db.Param("--global set p g0"), 0);
    ASSERT_EQ(db.Param("--global set q g0"), 0);
    Terminal a("T1_1", db.Terminal("T1_1"), {"p", "q"});
    Terminal b("T1_2", db.Terminal("T1_2"), {"p", "q"});
    Terminal c("T2_1", db.Terminal("T2_1"), {"p", "q"});
    for (Terminal* t : {&a, &b, &c})
        ASSERT_TRUE(t->WaitFor("ready", milliseconds(15000)));

    ASSERT_EQ(db.Param("--group T1 set p grp1"), 0);
    EXPECT_TRUE(a.WaitFor("heard p=grp1", milliseconds(1000)));
    EXPECT_TRUE(b.WaitFor("heard p=grp1", milliseconds(1000)));

    ASSERT_EQ(db.Param("--global set q all1"), 0);
    for (Terminal* t : {&a, &b, &c})
        EXPECT_TRUE(t->WaitFor("heard q=all1", milliseconds(1000)));
    // The other group's terminal heard the global change but never the group's.
    for (const std::string& line : c.Seen)
        EXPECT_EQ(line.find("heard p="), std::string::npos) << line;

    Outage outage;
    for (Terminal* t : {&a, &b, &c})
        EXPECT_TRUE(t->WaitFor("state 1", milliseconds(5000)));
    for (const char* v : {"v1", "v2", "v3"})
        a.Send(std::string("set r ") + v);
    EXPECT_TRUE(a.WaitFor("pending 3", milliseconds(5000)));
    a.Send("get p");
    EXPECT_TRUE(a.WaitFor("value p=grp1", milliseconds(1000)));
    a.Send("get r");
    EXPECT_TRUE(a.WaitFor("value r=v3", milliseconds(1000)));

    outage.End();
    // Reconnecting backs off from 1 s, doubling, up to 30 s.
    EXPECT_TRUE(a.WaitFor("state 2", milliseconds(40000)));
    EXPECT_TRUE(a.WaitFor("pending 0", milliseconds(5000)));
    EXPECT_EQ(db.History("T1_1", "r"), (std::vector<std::string>{"v1", "v2", "v3"}));
    // Live again: a change after the outage still arrives.
    EXPECT_TRUE(b.WaitFor("state 2", milliseconds(40000)));
    ASSERT_EQ(db.Param("--group T1 set p grp2"), 0);
    EXPECT_TRUE(b.WaitFor("heard p=grp2", milliseconds(1000)));
}

// Stores made while the server is away survive a restart of the terminal in
// the outbox on disk and are sent once when it is back.
TEST(PgParamStore, StoresKeptOfflineAreSentOnceAfterARestart)
{
    TestDb db;
    const std::string conninfo = db.Terminal("T1_1");
    const std::string file = LocalFile("restart");
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_PgParamStore-restart.log"};
    Host host("T1_1");
    std::optional<Outage> outage;
    {
        PgParamStore first;
        ASSERT_EQ(first.Open(conninfo, "T1_1", file), 0);
        ASSERT_TRUE(first.WaitForState(PgParamStore::PGSTORE_ONLINE, milliseconds(10000)));
        host.UseParamStore(&first);
        host.SetParam("r", "v0", PARAM_MINE);
        host.TParamMan::Poll();
        ASSERT_TRUE(first.WaitDelivered(milliseconds(5000)));
        outage.emplace();
        ASSERT_TRUE(first.WaitForState(PgParamStore::PGSTORE_OFFLINE, milliseconds(5000)));
        for (const char* v : {"v1", "v2"}) {
            host.SetParam("r", v, PARAM_MINE);
            host.TParamMan::Poll();
        }
        EXPECT_EQ(first.Pending(), 2u);
        host.UseParamStore(nullptr);
    }
    PgParamStore second;
    ASSERT_EQ(second.Open(conninfo, "T1_1", file), 0);
    host.UseParamStore(&second);
    EXPECT_EQ(second.Pending(), 2u);
    EXPECT_EQ(second.Request("T1_1", "r").Value(), "v2"); // the offline copy
    outage->End();
    ASSERT_TRUE(second.WaitForState(PgParamStore::PGSTORE_ONLINE, milliseconds(40000)));
    ASSERT_TRUE(second.WaitDelivered(milliseconds(5000)));
    EXPECT_EQ(db.History("T1_1", "r"), (std::vector<std::string>{"v0", "v1", "v2"}));
    host.UseParamStore(nullptr);
    // One line per change of state: online, offline; offline at the start of
    // the second run, online again. Failed retries in between add none.
    int online = 0, offline = 0;
    for (const std::string& line : log.Lines()) {
        online += line.find("parameter store: connected to the server as T1_1") != std::string::npos;
        offline += line.find("parameter store: server unreachable, working offline") != std::string::npos;
    }
    EXPECT_EQ(online, 2);
    EXPECT_EQ(offline, 2);

    // A key deleted while the terminal was away is gone from its copy too.
    second.Close();
    ASSERT_EQ(db.Param("--terminal T1_1 delete r"), 0);
    PgParamStore third;
    ASSERT_EQ(third.Open(conninfo, "T1_1", file), 0);
    ASSERT_TRUE(third.WaitForState(PgParamStore::PGSTORE_ONLINE, milliseconds(10000)));
    EXPECT_TRUE(third.Request("T1_1", "r").IsNull());
}

// A terminal's role reads its own, its group's and the global rows and writes
// only its own; the operator's role writes any.
TEST(PgParamStore, ATerminalRoleCannotWriteAnotherTerminalsRows)
{
    TestDb db;
    const std::string mine = db.Terminal("T1_1");
    db.Terminal("T1_2");
    for (const char* args : {"--global set g 1", "--group T1 set g 2", "--group T2 set g 3", "--terminal T1_2 set g 4",
                             "--terminal T1_1 set g 5"})
        ASSERT_EQ(db.Param(args), 0) << args;

    PGconn* t = PQconnectdb(mine.c_str());
    ASSERT_EQ(PQstatus(t), CONNECTION_OK);
    PGresult* r = TestDb::Exec(t, "SELECT domain FROM vorel_param ORDER BY domain", {});
    std::vector<std::string> visible;
    for (int i = 0; i < PQntuples(r); ++i)
        visible.push_back(PQgetvalue(r, i, 0));
    PQclear(r);
    EXPECT_EQ(visible, (std::vector<std::string>{"GLOBAL", "T1", "T1_1"}));

    struct Case {
        const char* sql;
        std::vector<std::string> params;
    } refused[] = {
        {"INSERT INTO vorel_param (domain, name, value) VALUES ($1, 'x', 'evil')", {"T1_2"}},
        {"INSERT INTO vorel_param (domain, name, value) VALUES ($1, 'x', 'evil')", {"GLOBAL"}},
        {"INSERT INTO vorel_param (domain, name, value) VALUES ($1, 'g', 'evil')"
         " ON CONFLICT (domain, name) DO UPDATE SET value = 'evil'",
         {"T1"}},
    };
    for (const Case& c : refused) {
        r = TestDb::Exec(t, c.sql, c.params);
        EXPECT_EQ(PQresultStatus(r), PGRES_FATAL_ERROR) << c.params[0];
        EXPECT_STREQ(PQresultErrorField(r, PG_DIAG_SQLSTATE), "42501") << c.params[0];
        PQclear(r);
    }
    // Rows it cannot write are invisible to its updates and deletes.
    for (const char* sql : {"UPDATE vorel_param SET value = 'evil'", "DELETE FROM vorel_param WHERE domain <> $1"}) {
        r = TestDb::Exec(t, sql, std::string(sql).find("$1") != std::string::npos ? std::vector<std::string>{"T1_1"}
                                                                                   : std::vector<std::string>{});
        EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(t);
    EXPECT_EQ(db.History("GLOBAL", "g"), std::vector<std::string>{"1"});
    EXPECT_EQ(db.History("T1", "g"), std::vector<std::string>{"2"});
    EXPECT_EQ(db.History("T1_2", "g"), std::vector<std::string>{"4"});
    EXPECT_EQ(db.History("T1_1", "g"), (std::vector<std::string>{"5", "evil"}));

    // Through the store: a write to the group is refused by the server, logged,
    // and the local copy takes the server's row back.
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_PgParamStore-rls.log"};
    Host host("T1_1");
    PgParamStore store;
    ASSERT_EQ(store.Open(mine, "T1_1", LocalFile("rls")), 0);
    host.UseParamStore(&store);
    ASSERT_TRUE(store.WaitForState(PgParamStore::PGSTORE_ONLINE, milliseconds(10000)));
    host.SetParam("g", "evil", PARAM_GROUP);
    host.TParamMan::Poll();
    ASSERT_TRUE(store.WaitDelivered(milliseconds(5000)));
    EXPECT_EQ(db.History("T1", "g"), std::vector<std::string>{"2"});
    int refusals = 0;
    for (const std::string& line : log.Lines())
        refusals += line.find("parameter store: the server refused 'g' of 'T1'") != std::string::npos;
    EXPECT_EQ(refusals, 1);
    host.UseParamStore(nullptr);
}

// Names and values that trip up quoting come back exactly; what the server
// cannot hold is refused with a reason, before anything is kept.
TEST(PgParamStore, OddNamesAndValuesAreStoredExactlyOrRefused)
{
    TestDb db;
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_PgParamStore-odd.log"};
    Host host("T1_1");
    PgParamStore store;
    ASSERT_EQ(store.Open(db.Terminal("T1_1"), "T1_1", LocalFile("odd")), 0);
    host.UseParamStore(&store);
    ASSERT_TRUE(store.WaitForState(PgParamStore::PGSTORE_ONLINE, milliseconds(10000)));

    const std::map<std::string, std::string> exact = {
        {"it's", "a 'quoted' \"value\""},
        {"semi;colon", "x'; DROP TABLE vorel_param; --"},
        {"back\\slash", "C:\\dir\\ \\x41 \\\\"},
        {"größe ☃ 𝄞", "ünïcødé ☃ 𝄞"},
        {"long", std::string(1 << 20, 'z')},
        {"$1", "$2"},
    };
    for (const auto& [name, value] : exact)
        host.SetParam(name, value, PARAM_MINE);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {std::string("nul\0name", 8), "v"},
        {"nulvalue", std::string("a\0b", 3)},
        {std::string(2000, 'n'), "v"},
        {"latin1", "\xE9t\xE9"},
    };
    for (const auto& [name, value] : refused)
        host.SetParam(name, value, PARAM_MINE);
    host.TParamMan::Poll();
    ASSERT_TRUE(store.WaitDelivered(milliseconds(10000)));

    for (const auto& [name, value] : exact) {
        const std::vector<std::string> history = db.History("T1_1", name);
        ASSERT_EQ(history.size(), 1u) << name;
        EXPECT_TRUE(history[0] == value) << name;
        EXPECT_TRUE(store.Request("T1_1", name).Value() == value) << name;
    }
    int lines = 0;
    for (const std::string& line : log.Lines())
        lines += line.find("not stored: ") != std::string::npos;
    EXPECT_EQ(lines, static_cast<int>(refused.size()));
    for (const auto& [name, value] : refused)
        EXPECT_TRUE(db.History("T1_1", name).empty());
    host.UseParamStore(nullptr);
}

// The operator command: clear errors and statuses for bad input, a missing
// parameter and an unreachable server; and the same commands on a file.
TEST(PgParamStore, TheOperatorCommandReportsBadInputAndAnUnreachableServer)
{
    TestDb db;
    struct Case {
        std::string args;
        int status;
    } cases[] = {
        {"--group T1 set p 1", 0},
        {"--group T1 get p", 0},
        {"--group T1 get nothing", 1},
        {"--group T1 delete nothing", 1},
        {"--group T1 delete p", 0},
        {"--group T1_3 set p 1", 2},
        {"--terminal T1 set p 1", 2},
        {"set p 1", 2},
        {"--global frobnicate p", 2},
        {"--global set p", 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(db.Param(c.args), c.status) << c.args;
    const std::string bin = VOREL_PARAM_BIN;
    auto run = [](const std::string& cmd) {
        const int status = std::system((cmd + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run(bin + " --db 'host=/nonexistent-folder user=x' --global get p"), 3);
    const std::string file = LocalFile("cli");
    {
        SqliteParamStore local;
        ASSERT_EQ(local.Open(file), 0);
    }
    EXPECT_EQ(run(bin + " --file " + file + " --terminal T1_1 set p 'a b'"), 0);
    EXPECT_EQ(run(bin + " --file " + file + " --terminal T1_1 get p"), 0);
    SqliteParamStore local;
    ASSERT_EQ(local.Open(file), 0);
    EXPECT_EQ(local.Request("T1_1", "p").Value(), "a b");
    EXPECT_EQ(run(bin + " --file " + file + " --terminal T1_1 watch p"), 2);
    EXPECT_EQ(run(bin + " --file /nonexistent-folder/x.sqlite --global get p"), 3);
}

} // namespace
