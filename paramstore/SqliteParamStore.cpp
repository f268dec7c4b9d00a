#include "SqliteParamStore.h"

#include <sqlite3.h>

#include <cstdio>
#include <vector>

using vorel_sdl2::TAppParam;

namespace {

void BindText(sqlite3_stmt* st, int index, const std::string& text)
{
    // Lengths are given, so names and values may hold any bytes.
    sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* st, int column)
{
    const void* data = sqlite3_column_blob(st, column);
    const int size = sqlite3_column_bytes(st, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
}

// The domains that may answer for an address, narrowest first.
std::vector<std::string> Fallbacks(const std::string& address)
{
    const std::string global = "GLOBAL";
    if (address == global)
        return {global};
    std::vector<std::string> chain{address};
    const std::string::size_type cut = address.find('_');
    if (cut != std::string::npos)
        chain.push_back(address.substr(0, cut));
    chain.push_back(global);
    return chain;
}

std::string ErrorOf(sqlite3* db)
{
    return db ? sqlite3_errmsg(db) : "out of memory";
}

} // namespace

SqliteParamStore::~SqliteParamStore()
{
    Close();
}

int SqliteParamStore::Open(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDb)
        return bWritable ? 0 : 1;
    mPath = path;
    return OpenLocked();
}

int SqliteParamStore::OpenLocked()
{
    bWritable = false;
    if (sqlite3_open_v2(mPath.c_str(), &mDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        Failed("open failed for " + mPath, ErrorOf(mDb));
        sqlite3_close(mDb);
        mDb = nullptr;
        return -1;
    }
    // Another run of the host may hold the file for a moment.
    sqlite3_busy_timeout(mDb, 2000);
    // A file that exists already is only read here: it may be one that
    // cannot be written, which is still worth reading.
    const bool ok = Exec("CREATE TABLE IF NOT EXISTS params ("
                         " domain TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL,"
                         " caption TEXT NOT NULL, description TEXT NOT NULL,"
                         " restrictions INTEGER NOT NULL, limits TEXT NOT NULL,"
                         " PRIMARY KEY (domain, name))",
                         true) &&
                    sqlite3_prepare_v2(mDb,
                                       "SELECT value, caption, description, restrictions, limits FROM params"
                                       " WHERE domain = ?1 AND name = ?2",
                                       -1, &mSelect, nullptr) == SQLITE_OK &&
                    sqlite3_prepare_v2(mDb,
                                       "INSERT INTO params (domain, name, value, caption, description,"
                                       " restrictions, limits) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
                                       " ON CONFLICT (domain, name) DO UPDATE SET value = excluded.value,"
                                       " caption = excluded.caption, description = excluded.description,"
                                       " restrictions = excluded.restrictions, limits = excluded.limits",
                                       -1, &mUpsert, nullptr) == SQLITE_OK &&
                    sqlite3_prepare_v2(mDb, "DELETE FROM params WHERE domain = ?1 AND name = ?2", -1, &mDelete,
                                       nullptr) == SQLITE_OK;
    if (!ok) {
        Failed("open failed for " + mPath, ErrorOf(mDb));
        CloseLocked();
        return -1;
    }
    // Whether it can be written shows only on writing: the schema version,
    // through the journal like every store.
    if (sqlite3_db_readonly(mDb, "main") == 1 || !Exec("BEGIN IMMEDIATE", true) ||
        !Exec("PRAGMA user_version = 1", true) || !Exec("COMMIT", true)) {
        Failed(mPath + " cannot be written", ErrorOf(mDb));
        Exec("ROLLBACK", true);
        return 1;
    }
    bWritable = true;
    return 0;
}

void SqliteParamStore::Close()
{
    std::lock_guard<std::mutex> lock(mMutex);
    CloseLocked();
}

void SqliteParamStore::CloseLocked()
{
    sqlite3_finalize(mSelect);
    sqlite3_finalize(mUpsert);
    sqlite3_finalize(mDelete);
    mSelect = mUpsert = mDelete = nullptr;
    if (mDb)
        sqlite3_close(mDb);
    mDb = nullptr;
    bWritable = false;
}

bool SqliteParamStore::IsOpen() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mDb != nullptr;
}

bool SqliteParamStore::IsWritable() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mDb && bWritable && !bFailing;
}

std::size_t SqliteParamStore::Pending() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mPending.size();
}

Parameter SqliteParamStore::Request(const std::string& address, const std::string& name)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mDb || address.empty())
        return Parameter();
    for (const std::string& domain : Fallbacks(address)) {
        sqlite3_reset(mSelect);
        sqlite3_clear_bindings(mSelect);
        BindText(mSelect, 1, domain);
        BindText(mSelect, 2, name);
        const int rc = sqlite3_step(mSelect);
        if (rc == SQLITE_ROW) {
            Parameter answer(domain);
            answer.SetValue(ColumnText(mSelect, 0));
            answer.SetCaption(ColumnText(mSelect, 1));
            answer.SetDescription(ColumnText(mSelect, 2));
            answer.SetRestrictions(sqlite3_column_int64(mSelect, 3));
            const std::string limits = ColumnText(mSelect, 4);
            sqlite3_reset(mSelect);
            if (!limits.empty())
                answer.SetLimits(limits);
            return answer;
        }
        if (rc != SQLITE_DONE) {
            std::fprintf(stderr, "parameter store: read failed: %s\n", ErrorOf(mDb).c_str());
            sqlite3_reset(mSelect);
            return Parameter();
        }
    }
    sqlite3_reset(mSelect);
    return Parameter();
}

bool SqliteParamStore::Read(TAppParam* param, Row& row)
{
    if (!param || param->IsNull() || param->GetRawDomain().empty())
        return false;
    param->Lock();
    row = Row{param->GetRawDomain(), param->Name(), param->Value(), param->Caption(), param->Description(),
              param->Restrictions(), param->Limits().OriginalString()};
    param->Unlock();
    return true;
}

bool SqliteParamStore::Write(const Row& row)
{
    sqlite3_stmt* st = row.remove ? mDelete : mUpsert;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    BindText(st, 1, row.domain);
    BindText(st, 2, row.name);
    if (!row.remove) {
        BindText(st, 3, row.value);
        BindText(st, 4, row.caption);
        BindText(st, 5, row.description);
        sqlite3_bind_int64(st, 6, row.restrictions);
        BindText(st, 7, row.limits);
    }
    const bool ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_reset(st);
    return ok;
}

bool SqliteParamStore::Submit(std::vector<Row> rows)
{
    for (Row& row : rows)
        mPending.push_back(std::move(row));
    if (mPending.empty())
        return true;
    // A file that could not be written may be writable by now; only a new
    // connection finds out.
    if (!mDb || !bWritable) {
        CloseLocked();
        if (mPath.empty() || OpenLocked() != 0)
            return false;
    }
    // One transaction for everything pending: one disk sync however many
    // values changed, and on failure nothing half-written.
    bool ok = Exec("BEGIN", true);
    std::string error;
    for (const Row& row : mPending) {
        if (!ok)
            break;
        ok = Write(row);
    }
    if (!ok)
        error = ErrorOf(mDb);
    if (!ok || !Exec("COMMIT", true)) {
        if (error.empty())
            error = ErrorOf(mDb);
        Exec("ROLLBACK", true); // may have happened already
        Failed("store failed, " + std::to_string(mPending.size()) + " kept for a retry", error);
        return false;
    }
    mPending.clear();
    Recovered();
    return true;
}

bool SqliteParamStore::Store(TAppParam* param)
{
    Row row;
    if (!Read(param, row))
        return false;
    std::lock_guard<std::mutex> lock(mMutex);
    return Submit({std::move(row)});
}

bool SqliteParamStore::StoreAll(std::list<TAppParam*>& params)
{
    // Read before the connection is taken: an entry's lock is never waited
    // for while the store is held. The rows carry the values, so a store
    // kept for a retry no longer needs the entry.
    std::vector<Row> rows;
    for (TAppParam* param : params) {
        Row row;
        if (Read(param, row))
            rows.push_back(std::move(row));
    }
    params.clear();
    std::lock_guard<std::mutex> lock(mMutex);
    return Submit(std::move(rows));
}

bool SqliteParamStore::Remove(TAppParam* param)
{
    if (!param || param->GetRawDomain().empty())
        return false;
    Row row;
    row.domain = param->GetRawDomain();
    row.name = param->Name();
    row.remove = true;
    std::lock_guard<std::mutex> lock(mMutex);
    return Submit({std::move(row)});
}

bool SqliteParamStore::Mirror(const std::vector<Copy>& copies)
{
    std::vector<Row> rows;
    rows.reserve(copies.size());
    for (const Copy& c : copies) {
        Row row;
        row.domain = c.domain;
        row.name = c.name;
        row.remove = c.value.IsNull();
        if (!row.remove) {
            row.value = c.value.Value();
            row.caption = c.value.Caption();
            row.description = c.value.Description();
            row.restrictions = c.value.Restrictions();
            row.limits = c.value.Limits().OriginalString();
        }
        rows.push_back(std::move(row));
    }
    std::lock_guard<std::mutex> lock(mMutex);
    return Submit(std::move(rows));
}

bool SqliteParamStore::RelaxDurability()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mDb && Exec("PRAGMA journal_mode = WAL", true) && Exec("PRAGMA synchronous = NORMAL", true);
}

bool SqliteParamStore::Flush()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return Submit({});
}

bool SqliteParamStore::Exec(const char* sql, bool quiet)
{
    char* error = nullptr;
    if (sqlite3_exec(mDb, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    if (!quiet)
        std::fprintf(stderr, "parameter store: %s failed: %s\n", sql, error ? error : "unknown error");
    sqlite3_free(error);
    return false;
}

void SqliteParamStore::Failed(const std::string& what, const std::string& detail)
{
    if (bFailing)
        return;
    bFailing = true;
    std::fprintf(stderr, "parameter store: %s: %s\n", what.c_str(), detail.c_str());
}

void SqliteParamStore::Recovered()
{
    if (!bFailing)
        return;
    bFailing = false;
    std::fprintf(stderr, "parameter store: %s is written again\n", mPath.c_str());
}
