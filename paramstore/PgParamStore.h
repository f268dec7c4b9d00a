// Parameters of a whole venue in one PostgreSQL database, with a local
// SQLite file that keeps a terminal working while the server is away.
//
// Every terminal of a venue connects to one schema: rows keyed by (domain
// text, name) for terminals ("T1_3"), groups ("T1") and "GLOBAL", with value,
// caption, description, restrictions, limits and a change time. The schema is
// created or migrated on the first connection that may do so (it carries its
// version). A trigger notifies each change on a channel of its domain; a
// terminal listens on its own, its group's and the global channel only, so
// a group change reaches that group's terminals and nobody else. Row-level
// security lets a terminal's database role (a member of vorel_terminal,
// mapped to its client ID in vorel_terminal_map) read its own, its group's
// and the global rows and write only its own; members of vorel_operator
// write every row.
//
// A host uses it as any IParamStore (IParamStore.h):
//
//   PgParamStore store;
//   store.Open("service=venue sslmode=require", host.ClientID(), "params.sqlite");
//   host.UseParamStore(&store);
//
// The connection string follows libpq (keywords, a URI, or a service file
// entry). On each connection the rows changed since the last one are copied
// into the local file before the store counts as online, and every change
// notice updates the copy; reads of the terminal's own domains are answered
// from it (other addresses go to the server while it is reachable). Without
// the server the copy is the last known good state.
// Stores are written to the local copy and to an ordered outbox in the same
// file, and a worker thread sends the outbox in order; the server records
// the last sequence number it took from this file, so a store is applied
// once even when the terminal restarts between sending and forgetting it. A
// store the server refuses (another terminal's row, a value it cannot hold)
// is logged and dropped, and the local copy takes the server's row again.
//
// Threads: one worker thread per store owns the waiting (socket readiness,
// reconnection with a backoff from 1 s to 30 s); queries from any thread
// share the connection under a lock. Changes heard from the server are
// handed to the host through TakeChanges(), which ParamStoreHooks calls on
// the main thread. Each change of connection state is logged once.
#pragma once

#include "IParamStore.h"
#include "SqliteParamStore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct pg_conn;
struct sqlite3;

class PgParamStore : public IParamStore {
public:
    enum ConnectionState { PGSTORE_CLOSED = 0, PGSTORE_OFFLINE = 1, PGSTORE_ONLINE = 2 };

    // Names and domains longer than this are refused (a change notice
    // carries both, and the server limits its size).
    static constexpr std::size_t kMaxNameBytes = 1024;
    static constexpr int kSchemaVersion = 1;

    PgParamStore() = default;
    PgParamStore(const PgParamStore&) = delete;
    PgParamStore& operator=(const PgParamStore&) = delete;
    ~PgParamStore() override;

    // Opens the local file (reported like SqliteParamStore::Open) and starts
    // the worker, which connects in the background: 0, or -1 when the local
    // file cannot be used or the arguments are empty.
    int Open(const std::string& conninfo, const std::string& clientID, const std::string& localFile);
    void Close();

    // PGSTORE_CLOSED until the first connection attempt has ended.
    int State() const { return mState.load(); }
    // Waits until the state is reached; false at the deadline.
    bool WaitForState(int state, std::chrono::milliseconds timeout);
    // Waits until the outbox is empty; false at the deadline.
    bool WaitDelivered(std::chrono::milliseconds timeout);
    // Called on the worker thread for each change heard (for measuring; the
    // host's entries follow through TakeChanges).
    void SetChangeObserver(std::function<void(const std::string& name)> observer);

    Parameter Request(const std::string& address, const std::string& name) override;
    bool Store(vorel_sdl2::TAppParam* param) override;
    bool StoreAll(std::list<vorel_sdl2::TAppParam*>& params) override;
    bool Remove(vorel_sdl2::TAppParam* param) override;
    std::size_t Pending() const override { return mOutboxCount.load(); }
    std::vector<std::string> TakeChanges() override;

    // Creates or migrates the schema on conn (a role that may); "" or the
    // server's error.
    static std::string EnsureSchema(pg_conn* conn);
    // Why a name, domain or value cannot be stored; "" when it can.
    static std::string Refusal(const std::string& domain, const std::string& name, const std::string& value);

private:
    struct OutRow {
        std::int64_t seq = 0;
        bool remove = false;
        std::string domain, name, value, caption, description, limits;
        std::int64_t restrictions = 0;
    };

    void Run();
    bool Connect();
    void Disconnect(const std::string& why);
    bool Connected() const;
    void SetState(int state, const std::string& detail);
    bool Deliver();
    bool Resync();
    void HandleNotices();
    void Heard(const std::string& domain, const std::string& name);
    // The server's row, or a null Parameter; ok false when the query failed.
    Parameter Fetch(const std::string& domain, const std::string& name, bool& ok);
    bool Enqueue(std::vector<OutRow> rows);
    std::vector<OutRow> PeekOutbox(std::size_t limit);
    bool DropOutbox(std::int64_t upToSeq);
    bool OpenOutbox(const std::string& file);
    std::string Meta(const std::string& key);
    void SetMeta(const std::string& key, const std::string& value);
    void Wake();
    std::vector<std::string> Channels() const;

    std::string mConnInfo, mClientID, mGroup, mEpoch;
    SqliteParamStore mLocal;

    // The server connection and everything sent on it.
    mutable std::recursive_mutex mConnMutex;
    pg_conn* mConn = nullptr;

    // The outbox and meta tables, on a connection of their own to the file.
    std::mutex mOutboxMutex;
    sqlite3* mOutbox = nullptr;
    std::atomic<std::size_t> mOutboxCount{0};

    std::mutex mWaitMutex;
    std::condition_variable mWaitChange;
    std::atomic<int> mState{PGSTORE_CLOSED};
    std::atomic<bool> bStop{false};
    int mWakeFd = -1;
    std::thread mWorker;

    std::mutex mChangesMutex;
    std::vector<std::string> mChanges;
    std::function<void(const std::string&)> mObserver;
};
