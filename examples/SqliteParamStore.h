// Parameter persistence for a vorel host in one SQLite database file.
//
// SqliteParamStore keeps one row per (domain text, name) with the value,
// caption, description, restriction bits and limit expression.
// SqliteParamHooks<App> is an application class whose four storage hooks go
// to such a store: a host derives from SqliteParamHooks<TApplication>, opens
// the store (Store.Open(path)) before it reads parameters, and from then on
// its values survive restarts. A lookup is answered from the narrowest
// domain that holds the name: the terminal's own ID, then its group (the part
// before the first "_"), then "GLOBAL".
//
// Threads: the store serialises its own use of the connection, so the hooks
// may run on any thread. Entries are read under their own lock while they are
// written out. Failure: an error is reported once per call on standard error
// and the call answers "nothing" (a null Parameter, false); a store that is
// not open answers nothing and stores nothing.
#pragma once

#include "TApplication.h"
#include "TAppParam.h"

#include <cstdint>
#include <list>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class SqliteParamStore {
public:
    SqliteParamStore() = default;
    SqliteParamStore(const SqliteParamStore&) = delete;
    SqliteParamStore& operator=(const SqliteParamStore&) = delete;
    ~SqliteParamStore();

    // Opens (creating if needed) the file and its table; false on failure.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const;

    // The value of name at address, or at its group, or globally; a null
    // Parameter when none holds it. The answer's domain text says which.
    Parameter Request(const std::string& address, const std::string& name);
    bool Store(vorel_sdl2::TAppParam* param);
    // All in one transaction; the list is emptied.
    bool StoreAll(std::list<vorel_sdl2::TAppParam*>& params);
    bool Remove(vorel_sdl2::TAppParam* param);

private:
    struct Row {
        std::string domain, name, value, caption, description;
        std::int64_t restrictions = 0;
        std::string limits;
    };

    bool Exec(const char* sql);
    void CloseLocked();
    // Takes the entry's contents under its lock; false for nothing storable.
    static bool Read(vorel_sdl2::TAppParam* param, Row& row);
    bool Write(const Row& row);
    void Report(const char* what);

    mutable std::mutex mMutex;
    sqlite3* mDb = nullptr;
    sqlite3_stmt* mSelect = nullptr;
    sqlite3_stmt* mUpsert = nullptr;
    sqlite3_stmt* mDelete = nullptr;
};

template <class App>
class SqliteParamHooks : public App {
public:
    Parameter OnRequestValue(const std::string& UserAddress, const std::string& ParamName) override
    {
        return Store.Request(UserAddress, ParamName);
    }
    void OnStoreValue(vorel_sdl2::TAppParam* toStoreParam, int) override { Store.Store(toStoreParam); }
    void OnDeleteValue(vorel_sdl2::TAppParam* toDeleteParam) override { Store.Remove(toDeleteParam); }
    void OnStoreValues(std::list<vorel_sdl2::TAppParam*>& params) override
    {
        if (!params.empty())
            Store.StoreAll(params);
    }

    SqliteParamStore Store;
};
