#include "TParamMan.h"

#include "TParamIndex.h"
#include "ThreadSafeProperty.h"

#include "MyUtilsText.h"
#include "TApplication.h"
#include "TLogManager.h"

#include "Algorithms.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vorel_sdl2 {

namespace {

constexpr int kDomainBits = PARAM_GLOBAL | PARAM_GROUP | PARAM_MINE;

class EntryHold {
public:
    explicit EntryHold(TAppParam* p) : mParam(p) { mParam->Lock(); }
    ~EntryHold() { mParam->Unlock(); }
    EntryHold(const EntryHold&) = delete;
    EntryHold& operator=(const EntryHold&) = delete;

private:
    TAppParam* mParam;
};

// The manager whose get-or-set read runs on this thread: its "No parameter
// named" message is kept quiet without muting other threads.
thread_local const TParamMan* tGetOrSetOwner = nullptr;

class GetOrSetScope {
public:
    explicit GetOrSetScope(const TParamMan* man) : mPrevious(tGetOrSetOwner) { tGetOrSetOwner = man; }
    ~GetOrSetScope() { tGetOrSetOwner = mPrevious; }
    GetOrSetScope(const GetOrSetScope&) = delete;
    GetOrSetScope& operator=(const GetOrSetScope&) = delete;

private:
    const TParamMan* mPrevious;
};

int HighestBit(int bits)
{
    for (int bit : {PARAM_MINE, PARAM_GROUP, PARAM_GLOBAL, PARAM_CACHE})
        if (bits & bit)
            return bit;
    return 0;
}

// Cache entries sort by name, then by domain text, byte-wise.
std::pair<const std::string&, const std::string&> EntryKey(const TAppParam* p)
{
    return {p->Name(), p->GetRawDomain()};
}

const std::string& EntryName(const TAppParam* p)
{
    return p->Name();
}

bool SortsBefore(const TAppParam* a, const TAppParam* b)
{
    return EntryKey(a) < EntryKey(b);
}

} // namespace

TParamMan::TParamMan()
    : mRestrictions(RESTRICTION_UNEDITABLE | RESTRICTION_HIDDEN), pParamListMutex(SDL_CreateMutex()),
      pStoreListMutex(SDL_CreateMutex()), pIndex(std::make_unique<TParamIndex>())
{
}

TParamMan::~TParamMan()
{
    pIndex->Clear();
    for (TAppParam* p : ParamList)
        delete p;
    ParamList.clear();
    ToStore.clear();
    for (TAppParam* p : mRetired)
        delete p;
    mRetired.clear();
    SDL_DestroyMutex(pStoreListMutex);
    SDL_DestroyMutex(pParamListMutex);
}

// ------------------------------------------------------------ default hooks

Parameter TParamMan::OnRequestValue(const std::string& UserAddress, const std::string& ParamName)
{
    std::printf("Requested value for parameter %s of %s\n", ParamName.c_str(), UserAddress.c_str());
    return Parameter();
}

void TParamMan::OnStoreValue(TAppParam* toStoreParam, int)
{
    if (!toStoreParam)
        return;
    std::printf("Requested store for parameter\n%s = '%s' with\ncaption = '%s'\ndescription = '%s'\n",
                toStoreParam->Name().c_str(), toStoreParam->Value().c_str(), toStoreParam->Caption().c_str(),
                toStoreParam->Description().c_str());
}

void TParamMan::OnDeleteValue(TAppParam* toDeleteParam)
{
    if (!toDeleteParam)
        return;
    std::printf("Requested delete for parameter %s\n", toDeleteParam->Name().c_str());
}

void TParamMan::OnStoreValues(std::list<TAppParam*>& params)
{
    // Poll hands over a list on every pass, mostly an empty one: only real
    // batches are worth a line.
    if (params.empty())
        return;
    std::printf("Requested store of param list (%lu). Will do nothing!\n", static_cast<unsigned long>(params.size()));
    params.clear();
}

// ------------------------------------------------------------------ domains

std::string TParamMan::GetGlobalDomain()
{
    return "GLOBAL";
}

std::string TParamMan::GetGroupDomain(const std::string& ClientIP) const
{
    std::string::size_type cut = ClientIP.find('_');
    if (cut != std::string::npos)
        return ClientIP.substr(0, cut);
    const std::string own = OwnClientID();
    cut = own.find('_');
    return cut != std::string::npos ? own.substr(0, cut) : own;
}

std::string TParamMan::OwnClientID() const
{
    ScopedSDLMutex lock(pParamListMutex);
    return mClientID;
}

std::string_view TParamMan::GroupOf(std::string_view ClientIP) const
{
    std::string_view::size_type cut = ClientIP.find('_');
    if (cut != std::string_view::npos)
        return ClientIP.substr(0, cut);
    const std::string_view own = mClientID;
    cut = own.find('_');
    return cut != std::string_view::npos ? own.substr(0, cut) : own;
}

bool TParamMan::isInGetOrSet() const
{
    return tGetOrSetOwner == this;
}

// -------------------------------------------------------------------- cache

TParamMan::ParamVector::iterator TParamMan::GetExactParamIterator(const std::string& ParamName,
                                                                  const std::string& Domain)
{
    auto hit = SortedFindFirst(ParamList, std::pair<const std::string&, const std::string&>(ParamName, Domain),
                               EntryKey);
    return hit.found ? hit.position : ParamList.end();
}

TParamMan::ParamVector::iterator TParamMan::AddParamToCache(TAppParam* pParam)
{
    if (!pParam || pParam == pVoidParam)
        return ParamList.end();
    if (pParam->GetRawDomain().empty()) {
        std::printf("application::Parameter \"%s\" domain cannot be CACHE.\n", pParam->Name().c_str());
        return ParamList.end();
    }
    ScopedSDLMutex lock(pParamListMutex);
    const std::string& name = pParam->Name();
    const std::string& domain = pParam->GetRawDomain();
    auto hit = SortedFindLast(ParamList, EntryKey(pParam), EntryKey);
    if (hit.found) {
        std::printf("application::Parameter \"%s\" of ID %s already exists in this application.\n", name.c_str(),
                    domain.c_str());
        return ParamList.end();
    }
    auto it = ParamList.insert(hit.position, pParam);
    pIndex->Add(pParam);
    return it;
}

bool TParamMan::Insert(TAppParam* pParam)
{
    // Compared in a statement of its own: an insertion may move the list, and
    // its new end must be the one compared against.
    auto it = AddParamToCache(pParam);
    return it != ParamList.end();
}

TParamMan::ParamVector::iterator TParamMan::GetExactParamIteratorFromCache(const std::string& ClientIP,
                                                                           const std::string& ParamName,
                                                                           int readMode, bool createBoundParam)
{
    if (readMode == PARAM_CACHE)
        readMode = PARAM_MINE;
    auto found = ParamList.end();
    if (readMode & PARAM_MINE)
        found = GetExactParamIterator(ParamName, ClientIP);
    if (found == ParamList.end() && (readMode & PARAM_GROUP))
        found = GetExactParamIterator(ParamName, GetGroupDomain(ClientIP));
    if (found == ParamList.end() && (readMode & PARAM_GLOBAL))
        return GetExactParamIterator(ParamName, GetGlobalDomain());
    if (found == ParamList.end() || !createBoundParam)
        return found;

    const std::string address = TAppParam::GetAddressOf(HighestBit(readMode), ClientIP);
    if ((*found)->GetRawDomain() == address)
        return found;
    TAppParam* target = *found;
    auto* bound = new TAppParam(ParamName, address);
    bound->Bind(target);
    auto it = AddParamToCache(bound);
    if (it == ParamList.end()) {
        delete bound;
        return GetExactParamIterator(target->Name(), target->GetRawDomain());
    }
    return it;
}

TParamMan::ParamVector::iterator TParamMan::GetParamIteratorFromCache(const std::string& ParamName, int ReadMode,
                                                                      bool createBoundParam)
{
    return GetExactParamIteratorFromCache(OwnClientID(), ParamName, ReadMode, createBoundParam);
}

TAppParam* TParamMan::GetExactParamFromCache(const std::string& ClientIP, const std::string& ParamName, int readMode,
                                             bool createBoundParam)
{
    if (ParamName.empty())
        return pVoidParam;
    ScopedSDLMutex lock(pParamListMutex);
    auto it = GetExactParamIteratorFromCache(ClientIP, ParamName, readMode & 15, createBoundParam);
    return it != ParamList.end() ? *it : pVoidParam;
}

TAppParam* TParamMan::GetParamFromCache(const std::string& ParamName, int ReadMode, bool createBoundParam)
{
    if (ParamName.empty())
        return pVoidParam;
    if ((ReadMode & kDomainBits) == 0) {
        std::printf("application::Parameter \"%s\" searched in cache with no proper domain.\n", ParamName.c_str());
        return pVoidParam;
    }
    ScopedSDLMutex lock(pParamListMutex);
    auto it = GetParamIteratorFromCache(ParamName, ReadMode & 15, createBoundParam);
    return it != ParamList.end() ? *it : pVoidParam;
}

// ------------------------------------------------------------------ lookups

TAppParam* TParamMan::CachedAnswer(const std::string& ClientIP, const std::string& ParamName, int bits) const
{
    if (!(bits & PARAM_CACHE) || ParamName.empty())
        return nullptr;
    const std::uint64_t nameHash = TParamIndex::HashName(ParamName);
    if (bits == PARAM_CACHE)
        return pIndex->Find(ParamName, nameHash, ClientIP);
    // The order of the long way's cache step; an entry found there answers
    // unchanged when it sits at the most specific level asked for, or is
    // the global one.
    if (bits & PARAM_MINE) {
        if (TAppParam* p = pIndex->Find(ParamName, nameHash, ClientIP))
            return p;
    }
    if (bits & PARAM_GROUP) {
        if (TAppParam* p = pIndex->Find(ParamName, nameHash, GroupOf(ClientIP)))
            return HighestBit(bits) == PARAM_GROUP ? p : nullptr;
    }
    if (bits & PARAM_GLOBAL)
        return pIndex->Find(ParamName, nameHash, "GLOBAL");
    return nullptr;
}

TAppParam* TParamMan::GetParam(const std::string& ParamName, int ReadMode)
{
    {
        // One lock for the client ID and the cached answer.
        ScopedSDLMutex lock(pParamListMutex);
        if (TAppParam* p = CachedAnswer(mClientID, ParamName, ReadMode & 15))
            return p;
    }
    return GetExactParam(OwnClientID(), ParamName, ReadMode);
}

TAppParam* TParamMan::GetExactParam(const std::string& ClientIP, const std::string& ParamName, int readMode)
{
    const int bits = readMode & 15;
    if (ParamName.empty() || bits == 0)
        return pVoidParam;
    if (bits & PARAM_CACHE) {
        ScopedSDLMutex lock(pParamListMutex);
        if (TAppParam* p = CachedAnswer(ClientIP, ParamName, bits))
            return p;
        if (bits == PARAM_CACHE)
            return pVoidParam;
    }

    // The entry found first is remembered by its key: it is looked up again
    // under the lock below, in case another thread dropped it meanwhile.
    bool haveFound = false;
    std::string foundDomain;
    {
        ScopedSDLMutex lock(pParamListMutex);
        auto it = GetExactParamIteratorFromCache(ClientIP, ParamName, bits, true);
        if (it != ParamList.end()) {
            if (bits & PARAM_CACHE)
                return *it;
            haveFound = true;
            foundDomain = (*it)->GetRawDomain();
        }
    }

    const int top = HighestBit(bits);
    const std::string address = TAppParam::GetAddressOf(top, ClientIP);
    Parameter answer = [&]() {
        try {
            return OnRequestValue(address, ParamName);
        } catch (...) {
            return Parameter();
        }
    }();

    // Only a real domain the caller asked for counts; an answer without a
    // domain text cannot become a cache entry.
    const int answerDomain = answer.IsNull() ? 0 : static_cast<int>(answer.Domain(ClientIP));
    if (answer.IsNull() || (answerDomain & bits & kDomainBits) == 0 || answer.GetRawDomain().empty()) {
        if (!isInGetOrSet())
            std::printf("PARAM: No parameter named '%s' for ID '%s' exists!\n", ParamName.c_str(), address.c_str());
        return pVoidParam;
    }

    ScopedSDLMutex lock(pParamListMutex);
    TAppParam* found = nullptr;
    if (haveFound) {
        auto it = GetExactParamIterator(ParamName, foundDomain);
        if (it != ParamList.end())
            found = *it;
    }
    if (found && foundDomain == address && answerDomain == top) {
        Unshare(found);
        found->Load(answer);
        return found;
    }

    bool quiet = found ? found->QuietSave.load() : false;
    TAppParam* base = nullptr;
    auto baseIt = GetExactParamIteratorFromCache(ClientIP, ParamName, answerDomain, false);
    if (baseIt == ParamList.end())
        baseIt = GetExactParamIterator(ParamName, answer.GetRawDomain());
    if (baseIt == ParamList.end()) {
        base = new TAppParam(ParamName, answer.GetRawDomain());
        base->QuietSave = quiet;
        if (!Insert(base)) {
            delete base;
            return pVoidParam;
        }
    } else {
        base = *baseIt;
        quiet = base->QuietSave;
        Unshare(base);
    }
    base->Load(answer);

    const int levels = bits & (16 - 2 * answerDomain);
    TAppParam* previous = base;
    for (int level : {PARAM_GROUP, PARAM_MINE}) {
        if (!(levels & level))
            continue;
        // Entries of the level are made for the client ID that was asked for.
        const std::string text = TAppParam::GetAddressOf(level, ClientIP);
        TAppParam* entry = nullptr;
        auto it = GetExactParamIterator(ParamName, text);
        if (it != ParamList.end()) {
            entry = *it;
        } else {
            entry = new TAppParam(ParamName, text);
            entry->QuietSave = quiet;
            if (!Insert(entry)) {
                delete entry;
                continue;
            }
        }
        if (entry != previous && !(entry->pBoundTo == previous && entry->Shares(previous))) {
            entry->Bind(previous);
            Refollow(entry);
        }
        previous = entry;
    }
    return previous;
}

TAppParam* TParamMan::GetOrSetParam(const std::string& ParamName, const std::string& DefaultValue,
                                    const std::string& Caption, const std::string& Description, int RWMode, bool Quiet)
{
    return GetOrSetExactParam(OwnClientID(), ParamName, DefaultValue, Caption, Description, RWMode, Quiet);
}

TAppParam* TParamMan::GetOrSetExactParam(const std::string& ClientID, const std::string& ParamName,
                                         const std::string& DefaultValue, const std::string& Caption,
                                         const std::string& Description, int RWMode, bool Quiet)
{
    const int readBits = RWMode & 15;
    const int writeDomain = RWMode >> 4;
    TAppParam* param;
    {
        GetOrSetScope scope(this);
        param = GetExactParam(ClientID, ParamName, readBits);
    }
    if (param != pVoidParam) {
        // Another thread may have dropped the entry since the lookup returned
        // it: touch it only while it is still cached (entries of one name
        // stand together, sorted by domain).
        ScopedSDLMutex lock(pParamListMutex);
        auto it = SortedLowerBound(ParamList, ParamName, EntryName);
        for (; it != ParamList.end() && (*it)->Name() == ParamName; ++it)
            if (*it == param) {
                param->QuietSave = Quiet;
                break;
            }
        return param;
    }

    const int top = HighestBit(readBits);
    if (writeDomain == PARAM_MINE && top != PARAM_MINE) {
        logman::WriteLog(0, 0, "PARAMS ERROR: Weird GetOrSet for param '%s'-> writing mine but reading something else\n",
                         ParamName.c_str());
        return pVoidParam;
    }
    if ((readBits & ~PARAM_CACHE) == PARAM_MINE && writeDomain == PARAM_GLOBAL) {
        logman::WriteLog(0, 0, "PARAMS ERROR: Weird GetOrSet for param '%s'-> reading only mine but writing global\n",
                         ParamName.c_str());
        return pVoidParam;
    }

    ScopedSDLMutex lock(pParamListMutex);
    TAppParam* written = SetExactParam(TAppParam::GetAddressOf(writeDomain, ClientID), ParamName, DefaultValue,
                                       writeDomain == PARAM_CACHE, Caption, Description, Quiet);
    if (written == pVoidParam || top <= static_cast<int>(written->Domain(ClientID)))
        return written;

    const std::string text = TAppParam::GetAddressOf(top, ClientID);
    auto it = GetExactParamIterator(ParamName, text);
    if (it != ParamList.end()) {
        // Cached already, though the host did not know it: it follows the
        // value just written.
        (*it)->Bind(written);
        (*it)->QuietSave = Quiet;
        return *it;
    }
    auto* reader = new TAppParam(ParamName, text);
    reader->Bind(written);
    reader->QuietSave = Quiet;
    if (!Insert(reader)) {
        delete reader;
        return written;
    }
    return reader;
}

// ------------------------------------------------------------------- writes

TAppParam* TParamMan::SetExactParam(const std::string& ClientID, const std::string& ParamName,
                                    const std::string& ParamValue, bool cacheOnly, const std::string& Caption,
                                    const std::string& Description, bool Quiet)
{
    // No lookup finds an empty name, so no entry is made for one.
    if (ParamName.empty())
        return pVoidParam;
    auto edit = [&](TAppParam* p) {
        EntryHold hold(p);
        p->BeginEdit();
        p->SetValue(ParamValue);
        if (!Caption.empty())
            p->SetCaption(Caption);
        if (!Description.empty())
            p->SetDescription(Description);
        p->EndEdit();
        p->QuietSave = Quiet;
    };

    ScopedSDLMutex lock(pParamListMutex);
    auto it = GetExactParamIterator(ParamName, ClientID);
    if (it != ParamList.end()) {
        TAppParam* p = *it;
        // A value written to the entry's own domain is its own: the entries
        // it shared with keep theirs.
        Unshare(p);
        edit(p);
        if (!cacheOnly)
            AddToStoreQueue(p);
        return p;
    }
    auto* p = new TAppParam(ParamName, ClientID);
    edit(p);
    if (!Insert(p)) {
        delete p;
        return pVoidParam;
    }
    if (!cacheOnly)
        AddToStoreQueue(p);
    return p;
}

TAppParam* TParamMan::SetParam(const std::string& ParamName, const std::string& ParamValue, ParameterDomain StoreMode,
                               const std::string& Caption, const std::string& Description, bool Quiet)
{
    return SetExactParam(TAppParam::GetAddressOf(StoreMode, OwnClientID()), ParamName, ParamValue,
                         StoreMode == PARAM_CACHE, Caption, Description, Quiet);
}

int TParamMan::LoadParamFromEnvironment(const std::string& EnvironmentName, const std::string& AsParamName,
                                        bool Optional)
{
    const char* raw = std::getenv(EnvironmentName.c_str());
    if (!raw) {
        if (Optional)
            return 0;
        std::printf("PARAMS ERROR: Please set '%s' environment variable\n", EnvironmentName.c_str());
        return -1;
    }
    const std::string value = MyUtils::trim(raw);
    if (value.empty())
        std::printf("PARAMS ERROR: Error reading environment variable '%s' \n", EnvironmentName.c_str());
    SetParam(AsParamName, value, PARAM_CACHE, "", "", false);
    return 0;
}

// ------------------------------------------------------- deleting, dropping

void TParamMan::DeleteParam(TAppParam* param)
{
    if (!param || param == pVoidParam)
        return;
    param->Delete();
    DropParamFromCache(param);
}

void TParamMan::DeleteParam(const std::string& ParamName, int ReadMode)
{
    DeleteParam(GetParamFromCache(ParamName, ReadMode, false));
}

int TParamMan::DropParamFromCache(TAppParam* pParam)
{
    if (!pParam || pParam == pVoidParam)
        return -1;
    ScopedSDLMutex lock(pParamListMutex);
    // Found by address, so that a pointer that is no entry is never touched.
    auto it = std::find(ParamList.begin(), ParamList.end(), pParam);
    if (it == ParamList.end()) {
        ScopedSDLMutex store(pStoreListMutex);
        ReplaceQueued(pParam, nullptr);
        return -2;
    }
    {
        EntryHold hold(pParam);
        ScopedSDLMutex store(pStoreListMutex);
        ReplaceQueued(pParam, nullptr);
    }
    ParamList.erase(it);
    pIndex->Remove(pParam);
    Retire(pParam);
    return 0;
}

int TParamMan::DropParamFromCache(const std::string& ParamName, int Filter)
{
    if (ParamName.empty())
        return -1;
    return DropParamFromCache(GetParamFromCache(ParamName, Filter, false));
}

void TParamMan::ReplaceQueued(TAppParam* pParam, TAppParam* replacement)
{
    if (replacement) {
        std::replace(ToStore.begin(), ToStore.end(), pParam, replacement);
    } else {
        ToStore.remove(pParam);
    }
}

void TParamMan::Unshare(TAppParam* pParam)
{
    if (!pParam->IsBound())
        return;
    pParam->Detach();
    Refollow(pParam);
}

void TParamMan::Refollow(const TAppParam* target)
{
    // Bindings cannot form a cycle (Bind refuses one), so this ends.
    for (TAppParam* p : ParamList)
        if (p->pBoundTo == target && !p->Shares(target)) {
            p->Follow(target);
            Refollow(p);
        }
}

void TParamMan::Retire(TAppParam* pParam)
{
    // A target must outlive what is bound to it: its dependants keep the
    // shared value and follow the dropped entry's own target instead.
    for (TAppParam* p : ParamList)
        if (p->pBoundTo == pParam)
            p->SetBoundTarget(pParam->pBoundTo);
    Dispose(pParam);
}

void TParamMan::Dispose(TAppParam* pParam)
{
    {
        ScopedSDLMutex store(pStoreListMutex);
        if (mPollDepth > 0 && std::find(mInFlight.begin(), mInFlight.end(), pParam) != mInFlight.end()) {
            mRetired.push_back(pParam);
            return;
        }
    }
    delete pParam;
}

bool TParamMan::AddToStoreQueue(TAppParam* pParam)
{
    ScopedSDLMutex store(pStoreListMutex);
    ToStore.push_back(pParam);
    return true;
}

// ---------------------------------------------------------------- client ID

void TParamMan::UpdateClientID(const std::string& NewClientID, const std::string& OldClientID)
{
    ScopedSDLMutex lock(pParamListMutex);
    // Entries cannot move to the empty (memory-only) domain: they stay under
    // the old ID, as another terminal's.
    if (NewClientID != OldClientID && !NewClientID.empty() && !OldClientID.empty()) {
        std::vector<std::pair<TAppParam*, TAppParam*>> moved;
        ParamVector kept;
        kept.reserve(ParamList.size());
        for (TAppParam* old : ParamList) {
            if (old->GetRawDomain() != OldClientID) {
                kept.push_back(old);
                continue;
            }
            EntryHold hold(old);
            auto* fresh = new TAppParam(old->Name(), NewClientID);
            fresh->Load(*old);
            fresh->AddListenersOf(*old);
            {
                ScopedSDLMutex store(pStoreListMutex);
                ReplaceQueued(old, fresh);
            }
            moved.emplace_back(old, fresh);
        }
        ParamList.swap(kept);
        for (auto& [old, fresh] : moved)
            pIndex->Remove(old);

        // Old entries, and entries cached under the new ID already (read for
        // that terminal before), which give way to the moved ones.
        std::vector<std::pair<TAppParam*, TAppParam*>> gone;
        for (auto& [old, fresh] : moved) {
            gone.emplace_back(old, fresh);
            auto it = GetExactParamIterator(fresh->Name(), NewClientID);
            if (it != ParamList.end()) {
                TAppParam* displaced = *it;
                ParamList.erase(it);
                pIndex->Remove(displaced);
                {
                    EntryHold hold(displaced);
                    ScopedSDLMutex store(pStoreListMutex);
                    ReplaceQueued(displaced, fresh);
                }
                gone.emplace_back(displaced, fresh);
            }
        }
        for (auto& [old, fresh] : moved) {
            ParamList.push_back(fresh);
            pIndex->Add(fresh);
        }
        std::sort(ParamList.begin(), ParamList.end(), SortsBefore);

        for (auto& [dead, successor] : gone) {
            for (TAppParam* p : ParamList)
                if (p->pBoundTo == dead)
                    p->Bind(successor);
            Dispose(dead);
        }
    }
    mClientID = NewClientID;
}

// ------------------------------------------------------------- restrictions

std::int64_t TParamMan::GetRestrictionState() const
{
    return mRestrictions;
}

void TParamMan::SetRestriction(std::int64_t restriction, bool state)
{
    const std::int64_t next = state ? (mRestrictions | restriction) : (mRestrictions & ~restriction);
    if (next == mRestrictions)
        return;
    mRestrictions = next;
    // By index with a copy: a listener may add listeners while it runs.
    const std::size_t count = mRestrictionListeners.size();
    for (std::size_t i = 0; i < count && i < mRestrictionListeners.size(); ++i) {
        RestrictionListener listener = mRestrictionListeners[i];
        try {
            listener(next);
        } catch (...) {
            std::printf("TParamMan:SetRestriction:listener unhandled exception\n");
        }
    }
    if (TApplication* app = pApp)
        app->GenerateAction("OnRestrictionsChange", nullptr, ACTION_ANY);
}

void TParamMan::AddRestrictionListener(const RestrictionListener& listener, bool triggerImmediately)
{
    if (!listener)
        return;
    mRestrictionListeners.push_back(listener);
    if (!triggerImmediately)
        return;
    try {
        listener(mRestrictions);
    } catch (...) {
        std::printf("TParamMan:AddRestrictionListener:listener unhandled exception\n");
    }
}

// ------------------------------------------------------------ poll, listing

int TParamMan::Poll()
{
    std::list<TAppParam*> batch;
    bool tracked = false;
    {
        ScopedSDLMutex store(pStoreListMutex);
        batch.swap(ToStore);
        if (!batch.empty()) {
            // Entries of this batch that are dropped while the host works on
            // it are deleted after it has finished.
            ++mPollDepth;
            mInFlight.insert(mInFlight.end(), batch.begin(), batch.end());
            tracked = true;
        }
    }
    try {
        OnStoreValues(batch);
    } catch (...) {
        std::printf("TParamMan:Poll:OnStoreValues unhandled exception\n");
    }
    if (!tracked)
        return 0;
    std::vector<TAppParam*> retired;
    {
        ScopedSDLMutex store(pStoreListMutex);
        if (--mPollDepth == 0) {
            mInFlight.clear();
            retired.swap(mRetired);
        }
    }
    for (TAppParam* p : retired)
        delete p;
    return 0;
}

void TParamMan::PrintParamList()
{
    const std::string rule(149, '=');
    ScopedSDLMutex lock(pParamListMutex);
    std::printf(" #  : %-40s | %-15s | %-6s | %-42s | %-40s | %s\n", "Name", "Domain", "Restr.", "Value", "Caption",
                "Description");
    std::printf("%s\n", rule.c_str());
    int index = 0;
    for (TAppParam* p : ParamList) {
        EntryHold hold(p);
        std::string value = p->Value();
        if (value.size() >= 41)
            value = value.substr(0, 37) + "...";
        value = "\"" + value + "\"";
        std::printf("%-4d: %-40s | %-15s | %-6ld | %-42s | %-40s | %s\n", index++, p->Name().c_str(),
                    p->GetRawDomain().c_str(), static_cast<long>(p->Restrictions()), value.c_str(),
                    p->Caption().c_str(), p->Description().c_str());
    }
    std::printf("%s\n", rule.c_str());
    std::printf("# od data instances: %d\n", ParameterData::GetNumInstances());
    std::printf("%s\n", rule.c_str());
}

} // namespace vorel_sdl2
