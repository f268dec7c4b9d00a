// Parameter persistence for a vorel host, behind one interface.
//
// A store answers the parameter manager's storage hooks: it looks a name up
// for a domain text (falling back from a terminal to its group, then to
// "GLOBAL"), stores batches of entries and deletes them. Two back ends come
// with the project: SqliteParamStore (one local file per terminal) and
// PgParamStore (a PostgreSQL database shared by every terminal of a venue,
// with the local file as its offline copy).
//
// A host adopts a store in a few lines:
//
//   class Host : public ParamStoreHooks<vorel_sdl2::TApplication> { ... };
//   SqliteParamStore store;            // or PgParamStore
//   store.Open("params.sqlite");
//   host.UseParamStore(&store);        // before the first parameter read
//
// or derives from SqliteParamHooks<App>, which owns a SQLite store named
// Store. The hooks forward to the store; OnStoreValues (called by the
// manager's poll on the main thread on every pass) also hands over what the
// store learnt meanwhile: names changed elsewhere are resolved again there,
// so cached entries change and their listeners run on the main thread.
//
// Threads: a store serialises its own work and may be called from any
// thread. Failure: a store or delete that cannot be written is kept, in
// order, and retried on the next batch until it succeeds; Pending() says how
// many wait. A failed read answers a null Parameter.
#pragma once

#include "TAppParam.h"
#include "TParamMan.h"

#include <cstddef>
#include <list>
#include <string>
#include <vector>

class IParamStore {
public:
    virtual ~IParamStore() = default;

    // The value of name at address, or at a less specific domain; a null
    // Parameter when none holds it. The answer's domain text says which.
    virtual Parameter Request(const std::string& address, const std::string& name) = 0;
    // Stores one entry now (after what is pending); false: kept for a retry.
    virtual bool Store(vorel_sdl2::TAppParam* param) = 0;
    // Stores every listed entry, in order, after what is pending; the list is
    // emptied. Called with an empty list it only retries.
    virtual bool StoreAll(std::list<vorel_sdl2::TAppParam*>& params) = 0;
    virtual bool Remove(vorel_sdl2::TAppParam* param) = 0;
    // Stores and deletes waiting for a retry.
    virtual std::size_t Pending() const = 0;
    // Names whose stored value changed elsewhere since the last call.
    virtual std::vector<std::string> TakeChanges() { return {}; }
};

template <class App>
class ParamStoreHooks : public App {
public:
    // Not owned; it must outlive its use. Null: the framework's defaults.
    void UseParamStore(IParamStore* store) { pStore = store; }
    IParamStore* ParamStore() const { return pStore; }

    Parameter OnRequestValue(const std::string& UserAddress, const std::string& ParamName) override
    {
        return pStore ? pStore->Request(UserAddress, ParamName) : App::OnRequestValue(UserAddress, ParamName);
    }
    void OnStoreValue(vorel_sdl2::TAppParam* toStoreParam, int saveMode) override
    {
        if (pStore)
            pStore->Store(toStoreParam);
        else
            App::OnStoreValue(toStoreParam, saveMode);
    }
    void OnDeleteValue(vorel_sdl2::TAppParam* toDeleteParam) override
    {
        if (pStore)
            pStore->Remove(toDeleteParam);
        else
            App::OnDeleteValue(toDeleteParam);
    }
    void OnStoreValues(std::list<vorel_sdl2::TAppParam*>& params) override
    {
        if (!pStore) {
            App::OnStoreValues(params);
            return;
        }
        pStore->StoreAll(params);
        for (const std::string& name : pStore->TakeChanges())
            Refresh(name);
    }

protected:
    // Only names in use are read again: resolution loads the new answer into
    // the entries it binds, and their listeners hear it.
    void Refresh(const std::string& name)
    {
        constexpr int kAll = PARAM_MINE | PARAM_GROUP | PARAM_GLOBAL;
        if (this->GetParamFromCache(name, kAll, false) != vorel_sdl2::pVoidParam)
            this->GetParam(name, kAll);
    }

private:
    IParamStore* pStore = nullptr;
};
