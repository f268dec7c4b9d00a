// Figures of the parameter stores against the test PostgreSQL server:
//   vorel-pg-figures FIXTURE STATE [TERMINALS...]
// FIXTURE is scripts/pg-fixture.sh, STATE its state file (the server must be
// running). Prints the propagation latency of a group change to each count of
// listening stores (p50, p99), stores per second through the manager's queue
// into PostgreSQL and into SQLite, and the start-up time of a terminal with
// 10,000 parameters, online and offline.
#include "PgParamStore.h"
#include "SqliteParamStore.h"

#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace vorel_sdl2;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string gSocket, gFixture, gState, gFolder;

class Host : public ParamStoreHooks<TApplication> {
public:
    explicit Host(const std::string& id) { SetClientID(id); }
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override {}
    int RunOnce() override { return 1; }
    int DrawOnce() override { return 0; }
};

std::string ConnInfo(const std::string& db) { return "host=" + gSocket + " user=postgres dbname=" + db; }

void Sql(PGconn* c, const std::string& sql)
{
    PGresult* r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
        std::fprintf(stderr, "figures: %s: %s", sql.c_str(), PQresultErrorMessage(r));
    PQclear(r);
}

void Set(PGconn* c, const std::string& domain, const std::string& name, const std::string& value)
{
    const char* v[3] = {domain.c_str(), name.c_str(), value.c_str()};
    PGresult* r = PQexecParams(c,
                               "INSERT INTO vorel_param (domain, name, value) VALUES ($1, $2, $3)"
                               " ON CONFLICT (domain, name) DO UPDATE SET value = EXCLUDED.value,"
                               " changed = clock_timestamp()",
                               3, nullptr, v, nullptr, nullptr, 0);
    PQclear(r);
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

void Latency(PGconn* op, int count)
{
    std::vector<std::unique_ptr<PgParamStore>> stores;
    std::vector<std::atomic<long>> heard(static_cast<std::size_t>(count));
    std::vector<Clock::time_point> at(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<PgParamStore>();
        const std::string file = gFolder + "/lat" + std::to_string(i) + ".sqlite";
        std::filesystem::remove(file);
        if (s->Open(ConnInfo("figures"), "F1_" + std::to_string(i), file) != 0)
            std::fprintf(stderr, "figures: store %d does not open\n", i);
        heard[i] = 0;
        s->SetChangeObserver([&, i](const std::string& name) {
            if (name == "lat") {
                at[i] = Clock::now();
                heard[i].fetch_add(1);
            }
        });
        stores.push_back(std::move(s));
    }
    for (auto& s : stores)
        s->WaitForState(PgParamStore::PGSTORE_ONLINE, milliseconds(60000));
    std::vector<double> samples;
    for (int round = 1; round <= 20; ++round) {
        const auto t0 = Clock::now();
        Set(op, "F1", "lat", std::to_string(round));
        const auto deadline = t0 + milliseconds(10000);
        for (int i = 0; i < count; ++i)
            while (heard[i].load() < round && Clock::now() < deadline)
                std::this_thread::yield();
        for (int i = 0; i < count; ++i)
            if (heard[i].load() >= round)
                samples.push_back(std::chrono::duration<double, std::milli>(at[i] - t0).count());
    }
    std::printf("propagation of a group change to %d listening stores: p50 %.1f ms, p99 %.1f ms (%zu of %d heard)\n",
                count, Percentile(samples, 0.5), Percentile(samples, 0.99), samples.size(), count * 20);
    stores.clear();
}

template <class Store>
double StoresPerSecond(Host& host, Store& store, int total)
{
    host.UseParamStore(&store);
    const auto t0 = Clock::now();
    for (int i = 0; i < total; ++i) {
        host.SetParam("s" + std::to_string(i % 500), std::to_string(i), PARAM_MINE);
        if (i % 50 == 49)
            host.TParamMan::Poll(); // one batch per main-loop pass
    }
    host.TParamMan::Poll();
    if constexpr (std::is_same_v<Store, PgParamStore>)
        store.WaitDelivered(milliseconds(120000));
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    host.UseParamStore(nullptr);
    return total / s;
}

// In a child: a terminal that reads 10,000 parameters at start.
double StartUp(const std::string& file, int expected)
{
    int p[2];
    if (pipe(p) != 0)
        return -1;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        Host host("F2_1");
        PgParamStore store;
        const auto t0 = Clock::now();
        store.Open(ConnInfo("figures"), "F2_1", file);
        // The first connection attempt decides where the values come from.
        store.WaitForState(expected, milliseconds(15000));
        host.UseParamStore(&store);
        int found = 0;
        for (int i = 0; i < 10000; ++i)
            found += host.GetParam("c" + std::to_string(i), 15) != pVoidParam;
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        if (found != 10000)
            s = -found;
        [[maybe_unused]] ssize_t n = write(p[1], &s, sizeof s);
        host.UseParamStore(nullptr);
        _exit(0);
    }
    close(p[1]);
    double s = -1;
    [[maybe_unused]] ssize_t n = read(p[0], &s, sizeof s);
    close(p[0]);
    waitpid(pid, nullptr, 0);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: vorel-pg-figures FIXTURE STATE [TERMINALS...]\n");
        return 2;
    }
    gFixture = argv[1];
    gState = argv[2];
    std::ifstream(gState) >> gSocket;
    std::vector<int> counts;
    for (int i = 3; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty())
        counts = {50, 200};
    gFolder = "/tmp/vorel-figures-" + std::to_string(getpid());
    std::filesystem::create_directories(gFolder);

    PGconn* admin = PQconnectdb(ConnInfo("postgres").c_str());
    Sql(admin, "DROP DATABASE IF EXISTS figures WITH (FORCE)");
    Sql(admin, "CREATE DATABASE figures");
    PQfinish(admin);
    PGconn* op = PQconnectdb(ConnInfo("figures").c_str());
    if (PQstatus(op) != CONNECTION_OK || !PgParamStore::EnsureSchema(op).empty()) {
        std::fprintf(stderr, "figures: no server at %s\n", gSocket.c_str());
        return 3;
    }
    for (int count : counts)
        Latency(op, count);

    {
        Host host("F3_1");
        PgParamStore pg;
        pg.Open(ConnInfo("figures"), "F3_1", gFolder + "/rate-pg.sqlite");
        pg.WaitForState(PgParamStore::PGSTORE_ONLINE, milliseconds(10000));
        const double pgRate = StoresPerSecond(host, pg, 5000);
        pg.Close();
        SqliteParamStore file;
        file.Open(gFolder + "/rate.sqlite");
        const double fileRate = StoresPerSecond(host, file, 5000);
        std::printf("stores per second through the queue: PostgreSQL %.0f, SQLite %.0f (batches of 50)\n", pgRate,
                    fileRate);
    }

    Sql(op, "BEGIN");
    for (int i = 0; i < 10000; ++i)
        Set(op, "GLOBAL", "c" + std::to_string(i), std::to_string(i));
    Sql(op, "COMMIT");
    PQfinish(op);
    const std::string file = gFolder + "/startup.sqlite";
    const double online = StartUp(file, PgParamStore::PGSTORE_ONLINE);
    std::system((gFixture + " pause " + gState).c_str());
    const double offline = StartUp(file, PgParamStore::PGSTORE_OFFLINE);
    std::system((gFixture + " resume " + gState).c_str());
    std::printf("start-up reading 10,000 parameters: online %.2f s, offline (local copy) %.2f s\n", online, offline);
    std::filesystem::remove_all(gFolder);
    return 0;
}
