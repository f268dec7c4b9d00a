#include "PgParamStore.h"

#include "TLogManager.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>

using vorel_sdl2::TAppParam;

namespace {

// Version 1 of the schema. Statements without any outside text in them; every
// value goes through parameters.
const char* const kSchemaV1 = R"SQL(
DO $$ BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'vorel_terminal') THEN
    CREATE ROLE vorel_terminal NOLOGIN;
  END IF;
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'vorel_operator') THEN
    CREATE ROLE vorel_operator NOLOGIN;
  END IF;
END $$;
CREATE TABLE vorel_schema (version integer NOT NULL);
INSERT INTO vorel_schema VALUES (0);
GRANT SELECT ON vorel_schema TO PUBLIC;
CREATE TABLE vorel_param (
  domain text NOT NULL,
  name text NOT NULL,
  value text NOT NULL,
  caption text NOT NULL DEFAULT '',
  description text NOT NULL DEFAULT '',
  restrictions bigint NOT NULL DEFAULT 0,
  limits text NOT NULL DEFAULT '',
  changed timestamptz NOT NULL DEFAULT clock_timestamp(),
  PRIMARY KEY (domain, name));
CREATE INDEX vorel_param_changed ON vorel_param (changed);
-- Deleted keys with their time, so a terminal that was away forgets them too.
CREATE TABLE vorel_param_deleted (
  domain text NOT NULL, name text NOT NULL, deleted timestamptz NOT NULL DEFAULT clock_timestamp());
CREATE INDEX vorel_param_deleted_at ON vorel_param_deleted (deleted);
CREATE TABLE vorel_terminal_map (role_name name PRIMARY KEY, client_id text NOT NULL UNIQUE);
CREATE TABLE vorel_applied (
  client_id text NOT NULL, epoch text NOT NULL, seq bigint NOT NULL,
  PRIMARY KEY (client_id, epoch));
-- The role's terminal; a terminal sees only its own line of the map.
CREATE FUNCTION vorel_own_id() RETURNS text LANGUAGE sql STABLE
  AS $f$ SELECT client_id FROM vorel_terminal_map WHERE role_name = current_user $f$;
ALTER TABLE vorel_terminal_map ENABLE ROW LEVEL SECURITY;
CREATE POLICY terminal_own ON vorel_terminal_map FOR SELECT TO vorel_terminal
  USING (role_name = current_user);
CREATE POLICY operator_all ON vorel_terminal_map TO vorel_operator USING (true) WITH CHECK (true);
GRANT SELECT ON vorel_terminal_map TO vorel_terminal;
CREATE FUNCTION vorel_group_of(id text) RETURNS text LANGUAGE sql IMMUTABLE
  AS $f$ SELECT split_part(id, '_', 1) $f$;
ALTER TABLE vorel_param ENABLE ROW LEVEL SECURITY;
CREATE POLICY terminal_read ON vorel_param FOR SELECT TO vorel_terminal
  USING (domain = 'GLOBAL' OR domain = vorel_own_id() OR domain = vorel_group_of(vorel_own_id()));
CREATE POLICY terminal_insert ON vorel_param FOR INSERT TO vorel_terminal
  WITH CHECK (domain = vorel_own_id());
CREATE POLICY terminal_update ON vorel_param FOR UPDATE TO vorel_terminal
  USING (domain = vorel_own_id()) WITH CHECK (domain = vorel_own_id());
CREATE POLICY terminal_delete ON vorel_param FOR DELETE TO vorel_terminal
  USING (domain = vorel_own_id());
CREATE POLICY operator_all ON vorel_param TO vorel_operator USING (true) WITH CHECK (true);
ALTER TABLE vorel_param_deleted ENABLE ROW LEVEL SECURITY;
CREATE POLICY terminal_read ON vorel_param_deleted FOR SELECT TO vorel_terminal
  USING (domain = 'GLOBAL' OR domain = vorel_own_id() OR domain = vorel_group_of(vorel_own_id()));
CREATE POLICY terminal_insert ON vorel_param_deleted FOR INSERT TO vorel_terminal
  WITH CHECK (domain = vorel_own_id());
CREATE POLICY operator_all ON vorel_param_deleted TO vorel_operator USING (true) WITH CHECK (true);
GRANT SELECT, INSERT ON vorel_param_deleted TO vorel_terminal, vorel_operator;
ALTER TABLE vorel_applied ENABLE ROW LEVEL SECURITY;
CREATE POLICY terminal_own ON vorel_applied TO vorel_terminal
  USING (client_id = vorel_own_id()) WITH CHECK (client_id = vorel_own_id());
CREATE POLICY operator_all ON vorel_applied TO vorel_operator USING (true) WITH CHECK (true);
GRANT SELECT, INSERT, UPDATE, DELETE ON vorel_param, vorel_applied TO vorel_terminal, vorel_operator;
GRANT SELECT, INSERT, UPDATE, DELETE ON vorel_terminal_map TO vorel_operator;
-- Each change is announced on the channel of its domain; the text is the
-- domain, a line feed and the name.
CREATE FUNCTION vorel_param_notify() RETURNS trigger LANGUAGE plpgsql AS $f$
BEGIN
  IF TG_OP <> 'INSERT' THEN
    PERFORM pg_notify('vp_' || md5(OLD.domain), OLD.domain || E'\n' || OLD.name);
  END IF;
  IF TG_OP = 'DELETE' THEN
    INSERT INTO vorel_param_deleted (domain, name) VALUES (OLD.domain, OLD.name);
  END IF;
  IF TG_OP <> 'DELETE' THEN
    PERFORM pg_notify('vp_' || md5(NEW.domain), NEW.domain || E'\n' || NEW.name);
  END IF;
  RETURN NULL;
END $f$;
CREATE TRIGGER vorel_param_changed AFTER INSERT OR UPDATE OR DELETE ON vorel_param
  FOR EACH ROW EXECUTE FUNCTION vorel_param_notify();
)SQL";

const char* const kUpsert =
    "INSERT INTO vorel_param (domain, name, value, caption, description, restrictions, limits, changed)"
    " VALUES ($1, $2, $3, $4, $5, $6::bigint, $7, clock_timestamp())"
    " ON CONFLICT (domain, name) DO UPDATE SET value = EXCLUDED.value, caption = EXCLUDED.caption,"
    " description = EXCLUDED.description, restrictions = EXCLUDED.restrictions, limits = EXCLUDED.limits,"
    " changed = EXCLUDED.changed";
const char* const kDelete = "DELETE FROM vorel_param WHERE domain = $1 AND name = $2";
const char* const kColumns = "value, caption, description, restrictions, limits";

class Result {
public:
    explicit Result(PGresult* r) : mRes(r) {}
    ~Result() { PQclear(mRes); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return mRes; }
    bool ok() const
    {
        const ExecStatusType s = PQresultStatus(mRes);
        return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    }
    std::string text(int row, int col) const
    {
        return std::string(PQgetvalue(mRes, row, col), static_cast<std::size_t>(PQgetlength(mRes, row, col)));
    }
    std::string state() const
    {
        const char* s = PQresultErrorField(mRes, PG_DIAG_SQLSTATE);
        return s ? s : "";
    }
    std::string error() const
    {
        std::string e = mRes ? PQresultErrorMessage(mRes) : "no result";
        while (!e.empty() && (e.back() == '\n' || e.back() == ' '))
            e.pop_back();
        return e;
    }

private:
    PGresult* mRes;
};

// Text parameters only, each with its length, so any byte reaches the server
// as it is (and the server judges it).
PGresult* Exec(pg_conn* conn, const char* sql, const std::vector<std::string>& params)
{
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const std::string& p : params) {
        values.push_back(p.c_str());
        lengths.push_back(static_cast<int>(p.size()));
        formats.push_back(0);
    }
    return PQexecParams(conn, sql, static_cast<int>(params.size()), nullptr, values.data(), lengths.data(),
                        formats.data(), 0);
}

Parameter FromRow(const Result& r, int row, int first, const std::string& domain)
{
    Parameter p(domain);
    p.SetValue(r.text(row, first));
    p.SetCaption(r.text(row, first + 1));
    p.SetDescription(r.text(row, first + 2));
    p.SetRestrictions(std::strtoll(PQgetvalue(r.get(), row, first + 3), nullptr, 10));
    const std::string limits = r.text(row, first + 4);
    if (!limits.empty())
        p.SetLimits(limits);
    return p;
}

// The domains that may answer for an address, narrowest first.
std::vector<std::string> Fallbacks(const std::string& address)
{
    if (address == "GLOBAL")
        return {"GLOBAL"};
    std::vector<std::string> chain{address};
    const std::string::size_type cut = address.find('_');
    if (cut != std::string::npos)
        chain.push_back(address.substr(0, cut));
    chain.push_back("GLOBAL");
    return chain;
}

// Overlong forms and surrogates are left to the server, which refuses them.
bool ValidUtf8(const std::string& s)
{
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                                : (c >= 0xF0 && c <= 0xF4)               ? 4
                                                                         : 0;
        if (len == 0 || i + len > n)
            return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

std::string RandomEpoch()
{
    std::random_device rd;
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", rd(), rd(), rd(), rd());
    return text;
}

} // namespace

PgParamStore::~PgParamStore()
{
    Close();
}

std::string PgParamStore::Refusal(const std::string& domain, const std::string& name, const std::string& value)
{
    if (name.empty() || domain.empty())
        return "an empty name or domain cannot be stored";
    if (name.size() > kMaxNameBytes || domain.size() > kMaxNameBytes)
        return "a name or domain longer than " + std::to_string(kMaxNameBytes) + " bytes cannot be stored";
    for (const std::string* s : {&domain, &name, &value}) {
        if (s->find('\0') != std::string::npos)
            return "a NUL byte cannot be stored";
        if (!ValidUtf8(*s))
            return "text that is not UTF-8 cannot be stored";
    }
    if (domain.find('\n') != std::string::npos)
        return "a domain with a line feed cannot be stored";
    return "";
}

std::string PgParamStore::EnsureSchema(pg_conn* conn)
{
    Result begin(PQexec(conn, "BEGIN"));
    if (!begin.ok())
        return begin.error();
    // Terminals connecting at once: one migrates, the others wait and see it
    // done.
    Result lock(PQexec(conn, "SELECT pg_advisory_xact_lock(7305810001)"));
    Result has(PQexec(conn, "SELECT to_regclass('vorel_schema') IS NOT NULL"));
    std::string error;
    if (!lock.ok() || !has.ok()) {
        error = !lock.ok() ? lock.error() : has.error();
    } else {
        int version = 0;
        if (has.text(0, 0) == "t") {
            Result v(PQexec(conn, "SELECT max(version) FROM vorel_schema"));
            if (!v.ok())
                error = v.error();
            else
                version = std::atoi(PQgetvalue(v.get(), 0, 0));
        }
        if (error.empty() && version > kSchemaVersion)
            error = "the server's schema version " + std::to_string(version) + " is newer than this store's " +
                    std::to_string(kSchemaVersion);
        // Later versions add their steps here, each from the one before.
        if (error.empty() && version < 1) {
            Result v1(PQexec(conn, kSchemaV1));
            if (!v1.ok())
                error = v1.error();
        }
        if (error.empty() && version < kSchemaVersion) {
            Result set(Exec(conn, "UPDATE vorel_schema SET version = $1::integer",
                            {std::to_string(kSchemaVersion)}));
            if (!set.ok())
                error = set.error();
        }
    }
    Result end(PQexec(conn, error.empty() ? "COMMIT" : "ROLLBACK"));
    if (error.empty() && !end.ok())
        error = end.error();
    return error;
}

// ------------------------------------------------------------- local file

bool PgParamStore::OpenOutbox(const std::string& file)
{
    if (sqlite3_open_v2(file.c_str(), &mOutbox, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(mOutbox);
        mOutbox = nullptr;
        return false;
    }
    sqlite3_busy_timeout(mOutbox, 5000);
    const char* ddl = "CREATE TABLE IF NOT EXISTS outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                      " remove INTEGER NOT NULL, domain TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL,"
                      " caption TEXT NOT NULL, description TEXT NOT NULL, restrictions INTEGER NOT NULL,"
                      " limits TEXT NOT NULL);"
                      "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)";
    if (sqlite3_exec(mOutbox, ddl, nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(mOutbox, "SELECT count(*) FROM outbox", -1, &st, nullptr);
    if (sqlite3_step(st) == SQLITE_ROW)
        mOutboxCount = static_cast<std::size_t>(sqlite3_column_int64(st, 0));
    sqlite3_finalize(st);
    return true;
}

std::string PgParamStore::Meta(const std::string& key)
{
    std::lock_guard<std::mutex> lock(mOutboxMutex);
    sqlite3_stmt* st = nullptr;
    std::string value;
    if (sqlite3_prepare_v2(mOutbox, "SELECT value FROM meta WHERE key = ?1", -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW)
            value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
    return value;
}

void PgParamStore::SetMeta(const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(mOutboxMutex);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(mOutbox, "INSERT OR REPLACE INTO meta (key, value) VALUES (?1, ?2)", -1, &st, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_text(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        sqlite3_step(st);
    }
    sqlite3_finalize(st);
}

bool PgParamStore::Enqueue(std::vector<OutRow> rows)
{
    if (rows.empty())
        return true;
    bool ok = true;
    {
        std::lock_guard<std::mutex> lock(mOutboxMutex);
        sqlite3_stmt* st = nullptr;
        ok = sqlite3_exec(mOutbox, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK &&
             sqlite3_prepare_v2(mOutbox,
                                "INSERT INTO outbox (remove, domain, name, value, caption, description,"
                                " restrictions, limits) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                                -1, &st, nullptr) == SQLITE_OK;
        for (const OutRow& r : rows) {
            if (!ok)
                break;
            sqlite3_reset(st);
            sqlite3_bind_int(st, 1, r.remove ? 1 : 0);
            int i = 2;
            for (const std::string* s : {&r.domain, &r.name, &r.value, &r.caption, &r.description})
                sqlite3_bind_text(st, i++, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 7, r.restrictions);
            sqlite3_bind_text(st, 8, r.limits.data(), static_cast<int>(r.limits.size()), SQLITE_TRANSIENT);
            ok = sqlite3_step(st) == SQLITE_DONE;
        }
        sqlite3_finalize(st);
        if (ok && sqlite3_exec(mOutbox, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
            mOutboxCount += rows.size();
        } else {
            sqlite3_exec(mOutbox, "ROLLBACK", nullptr, nullptr, nullptr);
            ok = false;
        }
    }
    if (!ok)
        logman::WriteLog(5, 0, "parameter store: %zu stores could not be kept in the local file: %s", rows.size(),
                         sqlite3_errmsg(mOutbox));
    // The local copy answers reads while the server is away; written after
    // the outbox, so a crash in between loses nothing that was kept.
    std::vector<SqliteParamStore::Copy> copies;
    for (const OutRow& r : rows) {
        SqliteParamStore::Copy c{r.domain, r.name, Parameter()};
        if (!r.remove) {
            c.value = Parameter(r.domain);
            c.value.SetValue(r.value);
            c.value.SetCaption(r.caption);
            c.value.SetDescription(r.description);
            c.value.SetRestrictions(r.restrictions);
            if (!r.limits.empty())
                c.value.SetLimits(r.limits);
        }
        copies.push_back(std::move(c));
    }
    mLocal.Mirror(copies);
    Wake();
    return ok;
}

std::vector<PgParamStore::OutRow> PgParamStore::PeekOutbox(std::size_t limit)
{
    std::lock_guard<std::mutex> lock(mOutboxMutex);
    std::vector<OutRow> rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(mOutbox,
                           "SELECT seq, remove, domain, name, value, caption, description, restrictions, limits"
                           " FROM outbox ORDER BY seq LIMIT ?1",
                           -1, &st, nullptr) != SQLITE_OK)
        return rows;
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(limit));
    auto text = [&](int col) {
        const void* p = sqlite3_column_blob(st, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(st, col)))
                 : std::string();
    };
    while (sqlite3_step(st) == SQLITE_ROW) {
        OutRow r;
        r.seq = sqlite3_column_int64(st, 0);
        r.remove = sqlite3_column_int(st, 1) != 0;
        r.domain = text(2);
        r.name = text(3);
        r.value = text(4);
        r.caption = text(5);
        r.description = text(6);
        r.restrictions = sqlite3_column_int64(st, 7);
        r.limits = text(8);
        rows.push_back(std::move(r));
    }
    sqlite3_finalize(st);
    return rows;
}

bool PgParamStore::DropOutbox(std::int64_t upToSeq)
{
    std::lock_guard<std::mutex> lock(mOutboxMutex);
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_prepare_v2(mOutbox, "DELETE FROM outbox WHERE seq <= ?1", -1, &st, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_int64(st, 1, upToSeq);
        ok = sqlite3_step(st) == SQLITE_DONE;
    }
    sqlite3_finalize(st);
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(mOutbox, "SELECT count(*) FROM outbox", -1, &count, nullptr);
    if (sqlite3_step(count) == SQLITE_ROW)
        mOutboxCount = static_cast<std::size_t>(sqlite3_column_int64(count, 0));
    sqlite3_finalize(count);
    return ok;
}

// ------------------------------------------------------------ open, close

int PgParamStore::Open(const std::string& conninfo, const std::string& clientID, const std::string& localFile)
{
    if (mWorker.joinable() || clientID.empty() || localFile.empty())
        return -1;
    if (mLocal.Open(localFile) < 0 || !OpenOutbox(localFile))
        return -1;
    // The copy can be read from the server again; the outbox, on its own
    // connection, keeps a disk sync per store.
    mLocal.RelaxDurability();
    mConnInfo = conninfo;
    mClientID = clientID;
    const std::string::size_type cut = clientID.find('_');
    mGroup = cut == std::string::npos ? clientID : clientID.substr(0, cut);
    mEpoch = Meta("epoch");
    if (mEpoch.empty()) {
        mEpoch = RandomEpoch();
        SetMeta("epoch", mEpoch);
    }
    mWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bStop = false;
    // The worker's first attempt decides, and logs, the first state.
    mState = PGSTORE_CLOSED;
    mWorker = std::thread([this] { Run(); });
    return 0;
}

void PgParamStore::Close()
{
    if (mWorker.joinable()) {
        bStop = true;
        Wake();
        {
            std::lock_guard<std::mutex> lock(mWaitMutex);
        }
        mWaitChange.notify_all();
        mWorker.join();
    }
    {
        std::lock_guard<std::recursive_mutex> lock(mConnMutex);
        if (mConn)
            PQfinish(mConn);
        mConn = nullptr;
    }
    if (mState != PGSTORE_CLOSED) {
        mState = PGSTORE_CLOSED;
        mWaitChange.notify_all();
    }
    if (mWakeFd >= 0)
        ::close(mWakeFd);
    mWakeFd = -1;
    {
        std::lock_guard<std::mutex> lock(mOutboxMutex);
        sqlite3_close(mOutbox);
        mOutbox = nullptr;
    }
    mLocal.Close();
}

void PgParamStore::Wake()
{
    if (mWakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(mWakeFd, &one, sizeof one);
    }
}

bool PgParamStore::WaitForState(int state, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mWaitMutex);
    return mWaitChange.wait_for(lock, timeout, [&] { return mState.load() == state; });
}

bool PgParamStore::WaitDelivered(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mWaitMutex);
    return mWaitChange.wait_for(lock, timeout, [&] { return mOutboxCount.load() == 0; });
}

void PgParamStore::SetChangeObserver(std::function<void(const std::string&)> observer)
{
    std::lock_guard<std::mutex> lock(mChangesMutex);
    mObserver = std::move(observer);
}

void PgParamStore::SetState(int state, const std::string& detail)
{
    const int before = mState.exchange(state);
    {
        std::lock_guard<std::mutex> lock(mWaitMutex);
    }
    mWaitChange.notify_all();
    if (before == state)
        return;
    if (state == PGSTORE_ONLINE)
        logman::WriteLog(3, 0, "parameter store: connected to the server as %s", mClientID.c_str());
    else if (state == PGSTORE_OFFLINE)
        logman::WriteLog(4, 0, "parameter store: server unreachable, working offline (%s)", detail.c_str());
}

// ----------------------------------------------------------------- worker

std::vector<std::string> PgParamStore::Channels() const
{
    return {"GLOBAL", mGroup, mClientID};
}

bool PgParamStore::Connect()
{
    // A bound on each attempt unless the connection string sets its own (it
    // is expanded after this one, so it wins): closing the store waits for
    // an attempt to end.
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"10", mConnInfo.c_str(), nullptr};
    pg_conn* conn = PQconnectdbParams(keywords, values, 1);
    if (PQstatus(conn) != CONNECTION_OK) {
        std::string e = PQerrorMessage(conn);
        while (!e.empty() && (e.back() == '\n' || e.back() == ' '))
            e.pop_back();
        PQfinish(conn);
        SetState(PGSTORE_OFFLINE, e);
        return false;
    }
    std::string error = EnsureSchema(conn);
    for (const std::string& domain : Channels()) {
        if (!error.empty())
            break;
        Result name(Exec(conn, "SELECT 'vp_' || md5($1)", {domain}));
        if (!name.ok()) {
            error = name.error();
            break;
        }
        const std::string channel = name.text(0, 0);
        char* quoted = PQescapeIdentifier(conn, channel.c_str(), channel.size());
        Result listen(PQexec(conn, ("LISTEN " + std::string(quoted ? quoted : "")).c_str()));
        PQfreemem(quoted);
        if (!listen.ok())
            error = listen.error();
    }
    if (!error.empty()) {
        PQfinish(conn);
        SetState(PGSTORE_OFFLINE, error);
        return false;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(mConnMutex);
        mConn = conn;
    }
    // Changes made while this terminal was away reach its copy before it
    // counts as online.
    if (!Resync())
        return false;
    SetState(PGSTORE_ONLINE, "");
    return true;
}

void PgParamStore::Disconnect(const std::string& why)
{
    {
        std::lock_guard<std::recursive_mutex> lock(mConnMutex);
        if (mConn)
            PQfinish(mConn);
        mConn = nullptr;
    }
    SetState(PGSTORE_OFFLINE, why);
    Wake(); // the worker may be waiting on the socket that just closed
}

bool PgParamStore::Connected() const
{
    std::lock_guard<std::recursive_mutex> lock(mConnMutex);
    return mConn != nullptr;
}

bool PgParamStore::Resync()
{
    std::vector<SqliteParamStore::Copy> copies;
    std::vector<std::string> names;
    std::string newest;
    {
        std::lock_guard<std::recursive_mutex> lock(mConnMutex);
        if (!mConn)
            return false;
        const std::string since = Meta("synced");
        Result r(Exec(mConn,
                      "SELECT domain, name, value, caption, description, restrictions, limits, changed::text"
                      " FROM vorel_param WHERE domain IN ($1, $2, $3) AND changed > $4::timestamptz"
                      " ORDER BY changed",
                      {"GLOBAL", mGroup, mClientID, since.empty() ? "-infinity" : since}));
        if (!r.ok()) {
            Disconnect(r.error());
            return false;
        }
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            copies.push_back({r.text(i, 0), r.text(i, 1), FromRow(r, i, 2, r.text(i, 0))});
            names.push_back(r.text(i, 1));
            newest = std::max(newest, r.text(i, 7));
        }
        // Keys deleted meanwhile and not written again since.
        Result gone(Exec(mConn,
                         "SELECT d.domain, d.name, max(d.deleted)::text FROM vorel_param_deleted d"
                         " WHERE d.domain IN ($1, $2, $3) AND d.deleted > $4::timestamptz AND NOT EXISTS"
                         " (SELECT 1 FROM vorel_param p WHERE p.domain = d.domain AND p.name = d.name)"
                         " GROUP BY d.domain, d.name",
                         {"GLOBAL", mGroup, mClientID, since.empty() ? "-infinity" : since}));
        if (!gone.ok()) {
            Disconnect(gone.error());
            return false;
        }
        for (int i = 0; i < PQntuples(gone.get()); ++i) {
            copies.push_back({gone.text(i, 0), gone.text(i, 1), Parameter()});
            names.push_back(gone.text(i, 1));
            newest = std::max(newest, gone.text(i, 2));
        }
    }
    if (copies.empty())
        return true;
    mLocal.Mirror(copies);
    SetMeta("synced", newest);
    std::lock_guard<std::mutex> lock(mChangesMutex);
    mChanges.insert(mChanges.end(), names.begin(), names.end());
    return true;
}

Parameter PgParamStore::Fetch(const std::string& domain, const std::string& name, bool& ok)
{
    std::lock_guard<std::recursive_mutex> lock(mConnMutex);
    ok = false;
    if (!mConn)
        return Parameter();
    Result r(Exec(mConn, (std::string("SELECT ") + kColumns + " FROM vorel_param WHERE domain = $1 AND name = $2").c_str(),
                  {domain, name}));
    if (!r.ok())
        return Parameter();
    ok = true;
    return PQntuples(r.get()) > 0 ? FromRow(r, 0, 0, domain) : Parameter();
}

void PgParamStore::Heard(const std::string& domain, const std::string& name)
{
    bool ok = false;
    Parameter row = Fetch(domain, name, ok);
    if (!ok)
        return;
    mLocal.Mirror({{domain, name, row}});
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard<std::mutex> lock(mChangesMutex);
        if (std::find(mChanges.begin(), mChanges.end(), name) == mChanges.end())
            mChanges.push_back(name);
        observer = mObserver;
    }
    if (!observer)
        return;
    try {
        observer(name);
    } catch (...) {
        std::printf("PgParamStore:Heard:observer unhandled exception\n");
    }
}

void PgParamStore::HandleNotices()
{
    std::vector<std::pair<std::string, std::string>> heard;
    {
        std::lock_guard<std::recursive_mutex> lock(mConnMutex);
        if (!mConn)
            return;
        if (!PQconsumeInput(mConn)) {
            std::string e = PQerrorMessage(mConn);
            while (!e.empty() && (e.back() == '\n' || e.back() == ' '))
                e.pop_back();
            Disconnect(e);
            return;
        }
        while (PGnotify* n = PQnotifies(mConn)) {
            const std::string text = n->extra ? n->extra : "";
            PQfreemem(n);
            const std::string::size_type cut = text.find('\n');
            if (cut != std::string::npos)
                heard.emplace_back(text.substr(0, cut), text.substr(cut + 1));
        }
    }
    for (auto& [domain, name] : heard)
        if (domain == "GLOBAL" || domain == mGroup || domain == mClientID)
            Heard(domain, name);
}

bool PgParamStore::Deliver()
{
    for (;;) {
        std::vector<OutRow> rows = PeekOutbox(200);
        if (rows.empty())
            return true;
        std::vector<std::pair<OutRow, std::string>> refused;
        {
            std::lock_guard<std::recursive_mutex> lock(mConnMutex);
            if (!mConn)
                return false;
            auto fail = [&](const std::string& why) {
                Result rollback(PQexec(mConn, "ROLLBACK"));
                Disconnect(why);
                return false;
            };
            Result begin(PQexec(mConn, "BEGIN"));
            if (!begin.ok())
                return fail(begin.error());
            // What the server took from this file already (a run that ended
            // between sending and forgetting) is not sent again.
            Result applied(Exec(mConn, "SELECT seq FROM vorel_applied WHERE client_id = $1 AND epoch = $2",
                                {mClientID, mEpoch}));
            if (!applied.ok())
                return fail(applied.error());
            const std::int64_t done =
                PQntuples(applied.get()) > 0 ? std::strtoll(PQgetvalue(applied.get(), 0, 0), nullptr, 10) : 0;
            for (const OutRow& r : rows) {
                if (r.seq <= done)
                    continue;
                Result save(PQexec(mConn, "SAVEPOINT one"));
                Result sent(r.remove ? Exec(mConn, kDelete, {r.domain, r.name})
                                     : Exec(mConn, kUpsert,
                                            {r.domain, r.name, r.value, r.caption, r.description,
                                             std::to_string(r.restrictions), r.limits}));
                if (sent.ok())
                    continue;
                // Refusals (rights, data the server cannot hold) drop the
                // one store; anything else is the connection's trouble.
                const std::string state = sent.state();
                const bool refusal = state.rfind("42", 0) == 0 || state.rfind("22", 0) == 0 ||
                                     state.rfind("23", 0) == 0 || state.rfind("54", 0) == 0;
                if (!refusal)
                    return fail(sent.error());
                Result back(PQexec(mConn, "ROLLBACK TO SAVEPOINT one"));
                refused.emplace_back(r, sent.error());
            }
            Result mark(Exec(mConn,
                             "INSERT INTO vorel_applied (client_id, epoch, seq) VALUES ($1, $2, $3::bigint)"
                             " ON CONFLICT (client_id, epoch) DO UPDATE SET seq = EXCLUDED.seq",
                             {mClientID, mEpoch, std::to_string(rows.back().seq)}));
            if (!mark.ok())
                return fail(mark.error());
            Result commit(PQexec(mConn, "COMMIT"));
            if (!commit.ok())
                return fail(commit.error());
        }
        DropOutbox(rows.back().seq);
        for (auto& [r, why] : refused) {
            logman::WriteLog(5, 0, "parameter store: the server refused '%s' of '%s': %s", r.name.c_str(),
                             r.domain.c_str(), why.c_str());
            // The local copy goes back to what the server holds.
            Heard(r.domain, r.name);
        }
        {
            std::lock_guard<std::mutex> lock(mWaitMutex);
        }
        mWaitChange.notify_all();
    }
}

void PgParamStore::Run()
{
    auto backoff = std::chrono::milliseconds(1000);
    while (!bStop) {
        if (!Connected()) {
            if (!Connect()) {
                std::unique_lock<std::mutex> lock(mWaitMutex);
                mWaitChange.wait_for(lock, backoff, [&] { return bStop.load(); });
                backoff = std::min(backoff * 2, std::chrono::milliseconds(30000));
                continue;
            }
            backoff = std::chrono::milliseconds(1000);
        }
        if (!Deliver())
            continue;
        // Sleep until the server says something or a store is queued: the
        // socket and the wake-up counter, no timer.
        int socket = -1;
        {
            std::lock_guard<std::recursive_mutex> lock(mConnMutex);
            // libpq closes the socket itself when the server ends the
            // connection (a shutdown sends a last error first).
            if (mConn && PQstatus(mConn) == CONNECTION_OK)
                socket = PQsocket(mConn);
        }
        if (socket < 0) {
            Disconnect("the server closed the connection");
            continue;
        }
        pollfd fds[2] = {{socket, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(mWakeFd, &count, sizeof count);
        }
        // Queries on other threads may have read notices off the socket too.
        HandleNotices();
    }
}

// ------------------------------------------------------------ the hooks

Parameter PgParamStore::Request(const std::string& address, const std::string& name)
{
    if (address.empty() || name.empty())
        return Parameter();
    // Online, the copy is current: it took every row changed while this
    // terminal was away before the state became online, and takes every
    // change notice since. Only an address outside this terminal's domains
    // needs the server.
    const bool own = address == mClientID || address == mGroup || address == "GLOBAL";
    if (own && State() == PGSTORE_ONLINE)
        return mLocal.Request(address, name);
    const std::vector<std::string> chain = Fallbacks(address);
    {
        std::lock_guard<std::recursive_mutex> lock(mConnMutex);
        if (mConn) {
            // One query, narrowest domain first.
            std::vector<std::string> params{name, chain[0], chain[std::min<std::size_t>(1, chain.size() - 1)],
                                            chain.back()};
            Result r(Exec(mConn,
                          (std::string("SELECT domain, ") + kColumns +
                           " FROM vorel_param WHERE name = $1 AND domain IN ($2, $3, $4)"
                           " ORDER BY CASE domain WHEN $2 THEN 0 WHEN $3 THEN 1 ELSE 2 END LIMIT 1")
                              .c_str(),
                          params));
            Wake(); // notices may have come in with the answer
            if (r.ok()) {
                if (PQntuples(r.get()) == 0)
                    return Parameter();
                const std::string domain = r.text(0, 0);
                Parameter answer = FromRow(r, 0, 1, domain);
                mLocal.Mirror({{domain, name, answer}});
                return answer;
            }
            if (PQstatus(mConn) == CONNECTION_BAD)
                Disconnect(r.error());
        }
    }
    return mLocal.Request(address, name);
}

bool PgParamStore::Store(TAppParam* param)
{
    std::list<TAppParam*> one{param};
    return StoreAll(one);
}

bool PgParamStore::StoreAll(std::list<TAppParam*>& params)
{
    std::vector<OutRow> rows;
    std::vector<TAppParam*> seen;
    for (TAppParam* p : params) {
        if (!p || p->IsNull() || p->GetRawDomain().empty())
            continue;
        // An entry queued twice in one batch has one value to send.
        if (std::find(seen.begin(), seen.end(), p) != seen.end())
            continue;
        seen.push_back(p);
        OutRow r;
        p->Lock();
        r.domain = p->GetRawDomain();
        r.name = p->Name();
        r.value = p->Value();
        r.caption = p->Caption();
        r.description = p->Description();
        r.restrictions = p->Restrictions();
        r.limits = p->Limits().OriginalString();
        p->Unlock();
        const std::string why = Refusal(r.domain, r.name, r.value + r.caption + r.description + r.limits);
        if (!why.empty()) {
            logman::WriteLog(5, 0, "parameter store: '%.64s' of '%.64s' not stored: %s", r.name.c_str(),
                             r.domain.c_str(), why.c_str());
            continue;
        }
        rows.push_back(std::move(r));
    }
    params.clear();
    return Enqueue(std::move(rows));
}

bool PgParamStore::Remove(TAppParam* param)
{
    if (!param || param->GetRawDomain().empty())
        return false;
    OutRow r;
    r.remove = true;
    r.domain = param->GetRawDomain();
    r.name = param->Name();
    if (!Refusal(r.domain, r.name, "").empty())
        return false;
    return Enqueue({r});
}

std::vector<std::string> PgParamStore::TakeChanges()
{
    std::lock_guard<std::mutex> lock(mChangesMutex);
    std::vector<std::string> out;
    out.swap(mChanges);
    return out;
}
