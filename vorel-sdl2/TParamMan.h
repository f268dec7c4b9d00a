// The parameter manager: owns every application parameter of the process in
// a cache sorted by name and domain text, resolves a name for a client ID
// across the terminal's own (MINE), its group's (GROUP) and the GLOBAL
// domain, writes values with defaults, queues them for storing and hands the
// queue to the host once per main-loop pass. It also keeps the terminal's
// restriction state.
//
// TApplication is a TParamMan. A host persists values by overriding the four
// hooks: OnRequestValue answers a lookup (with a Parameter whose domain text
// says where the value was found, possibly a wider domain than the
// one asked for), OnStoreValue and OnDeleteValue serve TAppParam::Save and
// Delete, OnStoreValues gets the queued stores of one pass. The defaults only
// print what was asked. Pointers handed out are cache entries owned here;
// pVoidParam means "none". An entry lives until it is dropped or deleted, or
// (for entries of the old client ID) until the client ID changes.
//
// Reads with the cache bit are answered from a hash index kept beside the
// sorted cache (TParamIndex.cpp) under the same lock; the sorted cache stays
// the record, and a read the index cannot answer as it stands goes the long
// way through it.
//
// Threads: the cache and the store queue have a lock each (re-entrant SDL
// mutexes), taken in the order cache lock, an entry's own mutex, store lock.
// Lookups and writes may come from any thread. OnStoreValues runs with no
// manager lock held; entries dropped while it runs are deleted only after it
// returns, so the host never works on a freed entry. OnRequestValue is called
// without the cache lock too. The restriction state and its listeners belong
// to the main loop. An exception from OnRequestValue during a lookup counts
// as "no value"; one from OnStoreValues is reported and the pass goes on.
#pragma once

#include "TAppParam.h"

#include <SDL2/SDL_mutex.h>

#include <cstdint>
#include <functional>
#include <list>
#include <locale>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vorel_sdl2 {

class TParamIndex;

// Low four bits: the domains to read (1 cache first, 2 global, 4 group,
// 8 mine); shifted right by four: the one domain a default is written to.
enum ParameterReadWriteMode {
    PARAM_READ_CACHE_WRITE_CACHE = 17,
    PARAM_READ_NOCACHE_GLOBAL_WRITE_GLOBAL = 34,
    PARAM_READ_GLOBAL_WRITE_GLOBAL = 35,
    PARAM_READ_NOCACHE_GROUP_OR_GLOBAL_WRITE_GLOBAL = 38,
    PARAM_READ_GROUP_OR_GLOBAL_WRITE_GLOBAL = 39,
    PARAM_READ_NOCACHE_MINE_OR_GROUP_OR_GLOBAL_WRITE_GLOBAL = 46,
    PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_GLOBAL = 47,
    PARAM_READ_NOCACHE_GROUP_WRITE_GROUP = 68,
    PARAM_READ_GROUP_WRITE_GROUP = 69,
    PARAM_READ_NOCACHE_GROUP_OR_GLOBAL_WRITE_GROUP = 70,
    PARAM_READ_GROUP_OR_GLOBAL_WRITE_GROUP = 71,
    PARAM_READ_NOCACHE_MINE_OR_GROUP_WRITE_GROUP = 76,
    PARAM_READ_MINE_OR_GROUP_WRITE_GROUP = 77,
    PARAM_READ_NOCACHE_MINE_OR_GROUP_OR_GLOBAL_WRITE_GROUP = 78,
    PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_GROUP = 79,
    PARAM_READ_NOCACHE_MINE_WRITE_MINE = 136,
    PARAM_READ_MINE_WRITE_MINE = 137,
    PARAM_READ_NOCACHE_MINE_OR_GROUP_WRITE_MINE = 140,
    PARAM_READ_MINE_OR_GROUP_WRITE_MINE = 141,
    PARAM_READ_NOCACHE_MINE_OR_GROUP_OR_GLOBAL_WRITE_MINE = 142,
    PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_MINE = 143,
};

class TParamMan {
public:
    typedef std::function<void(std::int64_t)> RestrictionListener;

    TParamMan();
    TParamMan(const TParamMan&) = delete;
    TParamMan& operator=(const TParamMan&) = delete;
    // Deletes every cached entry; queued stores are dropped unstored.
    ~TParamMan();

    // Persistence hooks, overridden by the host.
    virtual Parameter OnRequestValue(const std::string& UserAddress, const std::string& ParamName);
    virtual void OnStoreValue(TAppParam* toStoreParam, int saveMode);
    virtual void OnDeleteValue(TAppParam* toDeleteParam);
    virtual void OnStoreValues(std::list<TAppParam*>& params);

    // Lookups for this terminal's client ID / for ClientIP. readMode is a set
    // of read bits (a full read/write mode may be passed). With the cache bit
    // a cached entry answers without asking the host; otherwise the host is
    // asked and cache entries are made for every requested level narrower
    // than the answer's, bound to it.
    TAppParam* GetParam(const std::string& ParamName, int ReadMode = 15);
    TAppParam* GetExactParam(const std::string& ClientIP, const std::string& ParamName, int readMode);

    // The parameter if it exists (its default, caption and description are
    // then ignored), otherwise DefaultValue written to the mode's write
    // domain and queued for storing (memory only for the cache domain).
    TAppParam* GetOrSetParam(const std::string& ParamName, const std::string& DefaultValue,
                             const std::string& Caption, const std::string& Description, int RWMode,
                             bool Quiet = false);
    // A default of another type, written in the "C" locale; null (not
    // pVoidParam) when it cannot be written.
    template <typename T>
    TAppParam* GetOrSetParam(const std::string& ParamName, const T& DefaultValue, const std::string& Caption,
                             const std::string& Description, int RWMode, bool Quiet = false)
    {
        std::ostringstream os;
        os.imbue(std::locale::classic());
        os << DefaultValue;
        if (os.fail())
            return nullptr;
        return GetOrSetParam(ParamName, os.str(), Caption, Description, RWMode, Quiet);
    }
    TAppParam* GetOrSetExactParam(const std::string& ClientID, const std::string& ParamName,
                                  const std::string& DefaultValue, const std::string& Caption,
                                  const std::string& Description, int RWMode, bool Quiet = false);

    // Writes the value (limits apply to an existing entry; caption and
    // description only when not empty) and queues the entry for storing
    // unless cacheOnly. StoreMode PARAM_CACHE: this terminal's own domain,
    // memory only.
    TAppParam* SetParam(const std::string& ParamName, const std::string& ParamValue, ParameterDomain StoreMode,
                        const std::string& Caption = "", const std::string& Description = "", bool Quiet = false);
    TAppParam* SetExactParam(const std::string& ClientID, const std::string& ParamName, const std::string& ParamValue,
                             bool cacheOnly, const std::string& Caption = "", const std::string& Description = "",
                             bool Quiet = false);

    // Cache only, the host is never asked. A found entry of a wider
    // level than asked gets a bound entry at the narrowest requested
    // level when createBoundParam is set (never for a GLOBAL result).
    TAppParam* GetParamFromCache(const std::string& ParamName, int ReadMode, bool createBoundParam);
    TAppParam* GetExactParamFromCache(const std::string& ClientIP, const std::string& ParamName, int readMode,
                                      bool createBoundParam);

    // The variable's value, trimmed of spaces, as a memory-only entry of this
    // terminal. 0, or -1 for a missing variable that is not Optional.
    int LoadParamFromEnvironment(const std::string& EnvironmentName, const std::string& AsParamName,
                                 bool Optional = false);

    // Delete: through the host's OnDeleteValue, then out of the cache.
    void DeleteParam(TAppParam* param);
    void DeleteParam(const std::string& ParamName, int ReadMode);
    // Out of the cache, with every queued store of it: 0, -1 for null or
    // pVoidParam (or an empty or unknown name), -2 for an entry not cached.
    int DropParamFromCache(TAppParam* pParam);
    int DropParamFromCache(const std::string& ParamName, int Filter);

    static std::string GetGlobalDomain();
    // The part of ClientIP before its first "_"; for a text without one, the
    // group of this terminal's own client ID (or that whole ID).
    std::string GetGroupDomain(const std::string& ClientIP) const;
    // The client ID lookups without an explicit one use (kept in step with
    // the application's through UpdateClientID).
    std::string OwnClientID() const;

    std::int64_t GetRestrictionState() const;
    // Sets or clears the bits; on a change calls the listeners in order of
    // adding and generates "OnRestrictionsChange" (ACTION_ANY, no data).
    void SetRestriction(std::int64_t restriction, bool state);
    void AddRestrictionListener(const RestrictionListener& listener, bool triggerImmediately);

    // Hands the store queue of this pass to OnStoreValues; always 0.
    int Poll();
    // The cache as a table on standard output.
    void PrintParamList();

protected:
    // Moves the entries of the old client ID to the new one; the old entries
    // are deleted and their queued stores refer to the new ones.
    void UpdateClientID(const std::string& NewClientID, const std::string& OldClientID);

private:
    typedef std::vector<TAppParam*> ParamVector;

    ParamVector::iterator GetExactParamIterator(const std::string& ParamName, const std::string& Domain);
    ParamVector::iterator GetParamIteratorFromCache(const std::string& ParamName, int ReadMode,
                                                    bool createBoundParam);
    ParamVector::iterator GetExactParamIteratorFromCache(const std::string& ClientIP, const std::string& ParamName,
                                                         int readMode, bool createBoundParam);
    ParamVector::iterator AddParamToCache(TAppParam* pParam);
    // AddParamToCache: did it take the entry?
    bool Insert(TAppParam* pParam);
    bool AddToStoreQueue(TAppParam* pParam);
    // Store lock held: every queued store of pParam goes, or refers to
    // replacement instead.
    void ReplaceQueued(TAppParam* pParam, TAppParam* replacement);
    // Cache lock held: a bound entry gets a payload of its own, and the
    // entries bound to it (directly or through others) follow that one.
    void Unshare(TAppParam* pParam);
    void Refollow(const TAppParam* target);
    // Cache lock held, pParam already out of the cache: entries bound to it
    // follow its own target, then it is deleted (later, if a store batch in
    // the host's hands holds it).
    void Retire(TAppParam* pParam);
    // Deletes an entry that is out of the cache, or keeps it until the store
    // batch in the host's hands is done with it.
    void Dispose(TAppParam* pParam);
    // The calling thread runs the read of a get-or-set on this manager.
    bool isInGetOrSet() const;
    // Cache lock held: the entry a read with the cache bit answers with
    // straight from the cache (found through the index), or null when the
    // read must go the long way: nothing cached, or a bound entry to be made.
    TAppParam* CachedAnswer(const std::string& ClientIP, const std::string& ParamName, int bits) const;
    // Cache lock held: GetGroupDomain without building a text.
    std::string_view GroupOf(std::string_view ClientIP) const;

    std::vector<RestrictionListener> mRestrictionListeners;
    std::int64_t mRestrictions;
    ParamVector ParamList;
    std::list<TAppParam*> ToStore;
    SDL_mutex* pParamListMutex;
    SDL_mutex* pStoreListMutex;
    std::string mClientID;
    // The batch in the host's hands (store lock) and the entries dropped
    // meanwhile, deleted once OnStoreValues has returned.
    std::vector<TAppParam*> mInFlight;
    std::vector<TAppParam*> mRetired;
    int mPollDepth = 0;
    // Mirrors the membership of ParamList (cache lock) for cached reads.
    std::unique_ptr<TParamIndex> pIndex;
};

} // namespace vorel_sdl2
