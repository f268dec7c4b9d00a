// The application parameter: a named Parameter with its own mutex, listener
// functions in priority order, an optional binding to another parameter whose
// payload it shares, and persistence through the parameter manager's hooks.
//
// The parameter manager (TParamMan, a base of the application) creates these
// objects, owns them in its cache and deletes them; a host keeps plain
// pointers and never deletes one. pVoidParam stands for "no parameter": every
// lookup that finds nothing returns it, so a result can be read without a
// null test (its IsNull() is always true).
//
// Threads: SetValue (text), Load and Bind run under the object's re-entrant
// mutex, and so do the listener calls and the "DBParameterChanged" action
// they cause. The listener list itself is not locked: add, remove and trigger
// listeners on the thread that changes the value (normally the main loop). A
// listener may add or remove listeners, itself included, while it runs: every
// listener registered when a walk began and still registered gets its turn
// once; listeners added meanwhile hear the next change. A listener that
// throws is reported and counts as not consuming.
//
// Failure: Save refuses by throwing a C string ("Parameter is read only!",
// "Cannot save null parameter!"); an exception from the host's
// OnRequestValue reaches the caller of Update.
#pragma once

#include "Parameters.h"
#include "SafeWalk.h"

#include <atomic>
#include <SDL2/SDL_mutex.h>

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <type_traits>

namespace vorel_sdl2 {

class TParamMan;

class TAppParam : public Parameter {
public:
    // Returns true when it consumed the change: later listeners are skipped.
    typedef std::function<bool(TAppParam*, int)> ParamChangeConsumer;
    typedef std::function<void(TAppParam*, int)> ParamChangeListener;

    struct ListenerStruct {
        ParamChangeConsumer Listener;
        std::uint32_t ID;
        int Priority;
    };

    // Shares Data's payload and takes its domain text.
    TAppParam(const std::string& Name, const Parameter& Data);
    // Domain text ClientID, no payload yet.
    TAppParam(const std::string& Name, const std::string& ClientID);
    // Domain text of Domain for the application's client ID.
    TAppParam(const std::string& Name, ParameterDomain Domain);
    TAppParam(const TAppParam&) = delete;
    TAppParam& operator=(const TAppParam&) = delete;

    void OnValueChanged(int changeFlag) override;
    ~TAppParam() override;
    bool IsNull() const override;
    void SetValue(const std::string& Value) override;

    // Numbers are written in the "C" locale: integers in plain decimal,
    // doubles with six significant digits in general notation.
    void SetValue(std::int64_t Value);
    void SetValue(double Value);
    void SetValue(const char* Value) { SetValue(std::string(Value ? Value : "")); }
    template <typename T, typename = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                                      !std::is_same_v<T, std::int64_t>>>
    void SetValue(T Value)
    {
        SetValue(static_cast<std::int64_t>(Value));
    }

    // The domain text a domain stands for relative to ClientID: the ID itself
    // for CACHE, MINE and OTHER, "GLOBAL", the group of ClientID, else "".
    static std::string GetAddressOf(int domain, const std::string& ClientID);

    const std::string& Name() const { return mName; }
    bool ReadOnly() const { return bReadOnly; }
    void SetReadOnly(bool readOnly) { bReadOnly = readOnly; }
    // When set, every value change generates "DBParameterChanged" (ACTION_ANY)
    // with this object as the action data.
    bool ParamChangedAction() const { return bParamChangedAction; }
    void SetParamChangedAction(bool enabled) { bParamChangedAction = enabled; }
    bool IsBound() const { return pBoundTo != nullptr; }
    void Lock() const;
    void Unlock() const;

    // Shares otherParam's payload from now on; a null or null-valued target
    // is ignored.
    void Bind(const TAppParam* otherParam);
    // Leaves the shared payload; the object is null-valued afterwards.
    void Unbind();
    // The domain (text) of the end of the binding chain.
    ParameterDomain GetSourceDomain(const std::string& ClientID) const;
    const std::string& GetSourceRawDomain() const;

    // IDs start at 1 and are never reused by this object; 0 refuses an empty
    // function. Higher priorities run first, equal ones in order of adding.
    std::uint32_t AddConsumingListener(const ParamChangeConsumer& listener, int priority = 0);
    std::uint32_t AddListener(const ParamChangeListener& listener, int priority = 0);
    // Copies param's listeners (as non-consuming ones, with new IDs).
    void AddListenersOf(const TAppParam& param);
    void RemoveListener(std::uint32_t ID);
    // ID 0: every listener in order until one consumes; otherwise only the
    // listener with that ID.
    void TriggerListener(std::uint32_t ID, int changeFlag);

    // Asks the host for the current value and loads it; listeners hear once,
    // with change bits 0 when nothing changed. An empty answer keeps the
    // value (logged once until an answer comes again) and announces nothing.
    void Update();
    // Shares param's payload when it comes from another domain than this
    // object's source, copies its contents otherwise; returns the changes.
    int Load(const Parameter& param);
    // Stores now through the host's OnStoreValue; the saved value becomes
    // the old value.
    void Save(int saveMode = 0);
    // Deletes the stored value through the host's OnDeleteValue and leaves
    // the payload. The manager's DeleteParam also drops the object.
    void Delete();

    // Hint for the host's store hooks.
    std::atomic<bool> QuietSave; // set by lookups on any thread

private:
    friend class TParamMan;

    const std::string mName;
    SDL_mutex* MyMutex;
    std::list<ListenerStruct> mListeners;
    bool bReadOnly;
    bool bParamChangedAction;
    const TAppParam* pBoundTo;
    std::uint32_t mLastListenerID;
    // A removed listener's entry keeps its place (and its function, which
    // may be the one running) with ID 0 while a TriggerListener walk runs.
    struct ListenerHoles {
        static bool IsHole(const ListenerStruct& e) { return e.ID == 0; }
        static void MakeHole(ListenerStruct& e) { e.ID = 0; }
    };
    TSafeWalk<std::list<ListenerStruct>, ListenerHoles> mListenerWalk;

    // The manager redirects entries bound to one it deletes.
    void SetBoundTarget(const TAppParam* target) { pBoundTo = target; }
    // Unbinds into a payload of its own holding what it shared: an entry
    // that gets a value of its own domain no longer writes the shared one.
    void Detach();
    // Shares target's payload (announcing only what differs) and is bound to
    // it; for entries whose target's payload changed under them.
    void Follow(const TAppParam* target);
    bool Shares(const TAppParam* other) const { return pData && pData == other->pData; }
    // An update without an answer is logged once until one succeeds again.
    std::atomic<bool> bUpdateMissLogged{false};
};

// "No parameter": named "NULL", empty domain; created with the library and
// never deleted.
extern TAppParam* pVoidParam;

} // namespace vorel_sdl2
