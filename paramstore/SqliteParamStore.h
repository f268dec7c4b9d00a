// Parameter persistence for a vorel host in one SQLite database file.
//
// SqliteParamStore keeps one row per (domain text, name) with the value,
// caption, description, restriction bits and limit expression.
// SqliteParamHooks<App> is an application class whose four storage hooks go
// to such a store (IParamStore.h): a host derives from
// SqliteParamHooks<TApplication>, opens the store (Store.Open(path)) before
// it reads parameters, and from then on its values survive restarts. A lookup is answered from the narrowest
// domain that holds the name: the terminal's own ID, then its group (the part
// before the first "_"), then "GLOBAL".
//
// Threads: the store serialises its own use of the connection, so the hooks
// may run on any thread. Entries are read under their own lock while they are
// written out. Failure: a store or delete that fails (full disk, a file that
// cannot be written) is kept, with the values it had, and retried in order on
// the next batch until it succeeds, so nothing acknowledged to the manager is
// lost; a file that cannot be written is reopened on each retry, so a file
// that becomes writable again is used without a restart. Errors go to
// standard error once per change between failing and working. A failed read
// answers "nothing" (a null Parameter); a store that is not open answers
// nothing and keeps what it is asked to store.
#pragma once

#include "IParamStore.h"
#include "TApplication.h"
#include "TAppParam.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class SqliteParamStore : public IParamStore {
public:
    SqliteParamStore() = default;
    SqliteParamStore(const SqliteParamStore&) = delete;
    SqliteParamStore& operator=(const SqliteParamStore&) = delete;
    ~SqliteParamStore() override;

    // Opens (creating if needed) the file and its table: 0 when it can be
    // read and written, 1 when it is open but cannot be written (reported;
    // stores are kept and retried), -1 when it cannot be opened.
    int Open(const std::string& path);
    void Close();
    bool IsOpen() const;
    // Open, and the last attempt to write succeeded.
    bool IsWritable() const;
    // Stores and deletes waiting for a retry.
    std::size_t Pending() const override;

    // The value of name at address, or at its group, or globally; a null
    // Parameter when none holds it. The answer's domain text says which.
    Parameter Request(const std::string& address, const std::string& name) override;
    // Each writes what is pending first, in order; false: it is pending too.
    bool Store(vorel_sdl2::TAppParam* param) override;
    // All in one transaction; the list is emptied.
    bool StoreAll(std::list<vorel_sdl2::TAppParam*>& params) override;
    bool Remove(vorel_sdl2::TAppParam* param) override;
    // Retries what is pending; true when nothing is left.
    bool Flush();
    // For a file that is a copy of data kept elsewhere: write-ahead log and
    // no disk sync per transaction (a crash of the process loses nothing, a
    // power cut may lose the last writes). False when the file refuses.
    bool RelaxDurability();

    // A copy of a row kept elsewhere (a server): a null value deletes it.
    struct Copy {
        std::string domain, name;
        Parameter value;
    };
    // Writes the copies in one transaction, after what is pending.
    bool Mirror(const std::vector<Copy>& copies);

private:
    struct Row {
        std::string domain, name, value, caption, description;
        std::int64_t restrictions = 0;
        std::string limits;
        bool remove = false;
    };

    int OpenLocked();
    bool Exec(const char* sql, bool quiet = false);
    void CloseLocked();
    // Takes the entry's contents under its lock; false for nothing storable.
    static bool Read(vorel_sdl2::TAppParam* param, Row& row);
    bool Write(const Row& row);
    // Appends rows to what is pending and writes all in one transaction.
    bool Submit(std::vector<Row> rows);
    // One line when the store starts failing, one when it works again.
    void Failed(const std::string& what, const std::string& detail);
    void Recovered();

    mutable std::mutex mMutex;
    std::string mPath;
    sqlite3* mDb = nullptr;
    sqlite3_stmt* mSelect = nullptr;
    sqlite3_stmt* mUpsert = nullptr;
    sqlite3_stmt* mDelete = nullptr;
    bool bWritable = false;
    bool bFailing = false;
    std::deque<Row> mPending;
};

template <class App>
class SqliteParamHooks : public ParamStoreHooks<App> {
public:
    SqliteParamHooks() { this->UseParamStore(&Store); }

    SqliteParamStore Store;
};
