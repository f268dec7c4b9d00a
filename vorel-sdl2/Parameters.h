// Text-valued parameters: a shared payload and the handles that hold it.
//
// ParameterData carries the value, the old value, caption, description,
// restriction bits and limits. A Parameter is a handle on a payload through a
// shared pointer; handles that share one payload see one value, and every
// change made through any of them is announced to all of them, since each
// handle is a listener of its payload. Changes between BeginEdit() and
// EndEdit() are announced once, as the union of their bits.
//
// A host sets values with SetValue(): a handle without payload creates one
// (limits are not consulted, a fresh payload has none); otherwise the value
// is taken only when the limits accept it, and silently dropped when not.
//
// Threads: the listener list is guarded by its own re-entrant lock, which is
// held while listeners run; a listener may change the same payload again on
// its own thread, and may add or remove handles of it: every listener that
// was registered when a notification began and still is gets called once,
// handles added meanwhile hear the next one. The value fields are not guarded
// here; the owner of a handle (the application parameter) serialises writes.
// An exception thrown by a listener is reported on standard output and the
// remaining listeners still run.
#pragma once

#include "ParameterLimits.h"
#include "ThreadSafeProperty.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Where a domain text places a value, relative to the running terminal.
enum ParameterDomain {
    PARAM_CACHE = 1,   // empty text: memory only
    PARAM_GLOBAL = 2,  // "GLOBAL"
    PARAM_GROUP = 4,   // any other text without "_"
    PARAM_MINE = 8,    // the terminal's own client ID
    PARAM_OTHER = 16,  // another terminal's client ID (a text with "_")
};

enum ParameterRestrictions {
    RESTRICTION_NONE = 0,
    RESTRICTION_UNEDITABLE = 1,
    RESTRICTION_RAM_CLEAR = 2,
    RESTRICTION_LOGIC_DOOR = 4,
    RESTRICTION_HIDDEN = 1024,
    RESTRICTION_ALL = 1031,
};

class ParamChangeListener {
public:
    // Bits of changeFlag. EndEdit() without an open edit announces -1.
    enum ParameterProperty {
        NONE = 0,
        VALUE = 1,
        CAPTION = 2,
        DESCRIPTION = 4,
        RESTRICTION = 8,
        OLD_VALUE = 16,
        ALL = 31,
    };

    virtual void OnValueChanged(int changeFlag) {}
    virtual ~ParamChangeListener() = default;
};

class ParameterData {
public:
    ParameterData();
    ParameterData(const ParameterData&) = delete;
    ParameterData& operator=(const ParameterData&) = delete;
    virtual ~ParameterData();

    // Live payloads in the process.
    static int GetNumInstances();

    // Listeners are not owned; a listener must remove itself before it dies.
    // Duplicates are kept; RemoveListener() drops the first occurrence.
    void AddListener(ParamChangeListener* listener);
    void RemoveListener(ParamChangeListener* listener);

    // Announces changeFlag to every listener, or adds it to the open edit.
    // The caller keeps the payload alive for the duration of the call.
    void Changed(int changeFlag);
    // Opens an edit, discarding bits gathered by an edit already open.
    void BeginEdit();
    // Closes the edit and announces what it gathered (-1 when none was open);
    // returns the announced bits.
    int EndEdit();

    // Which of value, caption, description and restrictions differ.
    int Compare(const ParameterData& data) const;

    const ParameterLimits& Limits() const;
    void SetLimits(const ParameterLimits& limits);
    // Parse errors of single blocks are printed by the parser and do not stop
    // it; on any other failure the previous limits stay.
    void SetLimits(const std::string& limitString);

private:
    using ListenerList = std::vector<ParamChangeListener*>;

    ListenerList::iterator FindListener(ParamChangeListener* listener);

    ThreadSafeProperty<ListenerList> mListeners;
    int mAccumulatedChanges = -1;
    static std::atomic<int> mNumInstances;
    // While listeners are being called (under the list lock), removals only
    // clear their slot, so the walk never runs over a list that moves; the
    // outermost walk compacts the list when it is done.
    int mNotifyDepth = 0;
    bool bListenersCleared = false;
    ParameterLimits mLimits;

public:
    // Not guarded: the handle's owner serialises writes.
    std::string oldValue;
    std::string value;
    std::string caption;
    std::string description;
    std::int64_t restrictions = 0;
};

class Parameter : public ParamChangeListener {
public:
    Parameter();
    explicit Parameter(const std::string& domain);
    // Shares the source's payload and takes over its domain and edit depth.
    Parameter(const Parameter& other);
    // Shares rhs's payload and takes its domain; the edit depth stays.
    Parameter& operator=(const Parameter& rhs);
    ~Parameter() override;

    virtual bool IsNull() const;
    virtual void SetValue(const std::string& Value);

    // Shares copy's payload; returns the change bits it announced.
    int StealFrom(const Parameter& copy);
    // Copies value (subject to this handle's current limits), description,
    // caption, restrictions and limits into this payload; announces once and
    // returns the union of the changes.
    int CopyFrom(const Parameter& copy);

    const std::string& Value() const;
    const std::string& AsString() const;
    const std::string& Caption() const;
    const std::string& Description() const;
    const std::string& OldValue() const;
    std::int64_t Restrictions() const;
    // Nonzero when any of ActiveRestrictions applies to this parameter.
    std::int64_t IsRestricted(std::int64_t ActiveRestrictions) const;
    const ParameterLimits& Limits() const;
    const std::string& GetRawDomain() const;
    ParameterDomain Domain(const std::string& myClientID) const;

    // Stream extraction in the global locale: "12abc" gives 12, text without
    // a number 0; only the empty value gives onError.
    std::int64_t AsInteger(std::int64_t onError = 0) const;
    // Single-precision C conversion widened to double; onError for the empty
    // value, text without a number, or a number outside the float range.
    double AsFloat(double onError = 0.0) const;
    // The whole value is one C integer (in the 64-bit range) / C double;
    // leading white space and a sign are allowed, the empty value counts.
    bool IsInteger() const;
    bool IsDouble() const;

    void SetCaption(const std::string& Caption);
    void SetDescription(const std::string& Description);
    void SetRestrictions(std::int64_t Restrictions);
    void SetLimits(const std::string& Limits);

    bool IsValueOK(const std::string& val) const;
    // The value differs from the one last loaded or saved.
    bool Modified() const;

    void BeginEdit();
    int EndEdit();
    void UpdateOldValue();
    // Back to the old value, subject to the limits.
    void Reset();

    static const std::string EmptyStr;
    static const std::string GlobalParameterDomain;

protected:
    int SetData(std::shared_ptr<ParameterData> data);
    int Clear();
    int Instantiate();

private:
    // SetData() with an optional fixed announcement instead of the compared
    // bits (a payload created by SetValue() is new in every respect).
    int attach(std::shared_ptr<ParameterData> data, bool announceAll);

protected:
    std::string mDomain;
    // Depth of BeginEdit() on this handle; an edit is open on the payload
    // whenever it is above 0.
    int mIsInEdit = 0;
    std::shared_ptr<ParameterData> pData;
};
