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

} // namespace

SqliteParamStore::~SqliteParamStore()
{
    Close();
}

bool SqliteParamStore::Open(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDb)
        return true;
    if (sqlite3_open_v2(path.c_str(), &mDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        Report("open");
        sqlite3_close(mDb);
        mDb = nullptr;
        return false;
    }
    // Another run of the host may hold the file for a moment.
    sqlite3_busy_timeout(mDb, 2000);
    const bool ok = Exec("CREATE TABLE IF NOT EXISTS params ("
                         " domain TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL,"
                         " caption TEXT NOT NULL, description TEXT NOT NULL,"
                         " restrictions INTEGER NOT NULL, limits TEXT NOT NULL,"
                         " PRIMARY KEY (domain, name))") &&
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
        Report("prepare");
        CloseLocked();
        return false;
    }
    return true;
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
}

bool SqliteParamStore::IsOpen() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mDb != nullptr;
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
            Report("read");
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
    sqlite3_reset(mUpsert);
    sqlite3_clear_bindings(mUpsert);
    BindText(mUpsert, 1, row.domain);
    BindText(mUpsert, 2, row.name);
    BindText(mUpsert, 3, row.value);
    BindText(mUpsert, 4, row.caption);
    BindText(mUpsert, 5, row.description);
    sqlite3_bind_int64(mUpsert, 6, row.restrictions);
    BindText(mUpsert, 7, row.limits);
    const bool ok = sqlite3_step(mUpsert) == SQLITE_DONE;
    sqlite3_reset(mUpsert);
    if (!ok)
        Report("store");
    return ok;
}

bool SqliteParamStore::Store(TAppParam* param)
{
    Row row;
    if (!Read(param, row))
        return false;
    std::lock_guard<std::mutex> lock(mMutex);
    return mDb && Write(row);
}

bool SqliteParamStore::StoreAll(std::list<TAppParam*>& params)
{
    // Read before the connection is taken: an entry's lock is never waited
    // for while the store is held.
    std::vector<Row> rows;
    for (TAppParam* param : params) {
        Row row;
        if (Read(param, row))
            rows.push_back(std::move(row));
    }
    params.clear();
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mDb)
        return false;
    // One transaction per batch: one disk sync however many values changed.
    bool ok = Exec("BEGIN");
    for (const Row& row : rows)
        ok = Write(row) && ok;
    if (!Exec("COMMIT")) {
        Exec("ROLLBACK");
        ok = false;
    }
    return ok;
}

bool SqliteParamStore::Remove(TAppParam* param)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mDb || !param)
        return false;
    sqlite3_reset(mDelete);
    sqlite3_clear_bindings(mDelete);
    BindText(mDelete, 1, param->GetRawDomain());
    BindText(mDelete, 2, param->Name());
    const bool ok = sqlite3_step(mDelete) == SQLITE_DONE;
    sqlite3_reset(mDelete);
    if (!ok)
        Report("delete");
    return ok;
}

bool SqliteParamStore::Exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(mDb, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "parameter store: %s failed: %s\n", sql, error ? error : "unknown error");
    sqlite3_free(error);
    return false;
}

void SqliteParamStore::Report(const char* what)
{
    std::fprintf(stderr, "parameter store: %s failed: %s\n", what, mDb ? sqlite3_errmsg(mDb) : "out of memory");
}
