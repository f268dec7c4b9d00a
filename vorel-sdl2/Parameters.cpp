#include "Parameters.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <sstream>

const std::string Parameter::EmptyStr;
const std::string Parameter::GlobalParameterDomain = "GLOBAL";

namespace {

// Compared against directly, so that Domain() does not depend on the order in
// which static objects of different units are initialised.
constexpr const char* kGlobalDomain = "GLOBAL";

} // namespace

// ---------------------------------------------------------------- ParameterData

std::atomic<int> ParameterData::mNumInstances{0};

ParameterData::ParameterData()
{
    ++mNumInstances;
}

ParameterData::~ParameterData()
{
    --mNumInstances;
}

int ParameterData::GetNumInstances()
{
    return mNumInstances.load();
}

ParameterData::ListenerList::iterator ParameterData::FindListener(ParamChangeListener* listener)
{
    auto locked = mListeners.getScopedLock();
    return std::find(locked.Value.begin(), locked.Value.end(), listener);
}

void ParameterData::AddListener(ParamChangeListener* listener)
{
    if (!listener)
        return;
    auto locked = mListeners.getScopedLock();
    locked.Value.push_back(listener);
}

void ParameterData::RemoveListener(ParamChangeListener* listener)
{
    if (!listener)
        return;
    auto locked = mListeners.getScopedLock();
    auto it = FindListener(listener);
    if (it == locked.Value.end())
        return;
    if (mNotifyDepth > 0) {
        // A walk over the list is running on this thread: keep the slots in
        // place and compact once the outermost walk has finished.
        *it = nullptr;
        bListenersCleared = true;
    } else {
        locked.Value.erase(it);
    }
}

void ParameterData::Changed(int changeFlag)
{
    if (changeFlag == 0)
        return;
    auto locked = mListeners.getScopedLock();
    if (mAccumulatedChanges >= 0) {
        mAccumulatedChanges |= changeFlag;
        return;
    }

    ListenerList& list = locked.Value;
    ++mNotifyDepth;
    // Listeners appended during the walk hear the next announcement only.
    const std::size_t count = list.size();
    for (std::size_t i = 0; i < count; ++i) {
        ParamChangeListener* listener = list[i];
        if (!listener)
            continue;
        try {
            listener->OnValueChanged(changeFlag);
        } catch (...) {
            std::printf("ParameterData:Changed:OnValueChanged unhandled exception\n");
        }
    }
    if (--mNotifyDepth == 0 && bListenersCleared) {
        list.erase(std::remove(list.begin(), list.end(), nullptr), list.end());
        bListenersCleared = false;
    }
}

void ParameterData::BeginEdit()
{
    ScopedLock lock(mListeners);
    mAccumulatedChanges = 0;
}

int ParameterData::EndEdit()
{
    ScopedLock lock(mListeners);
    const int changes = mAccumulatedChanges;
    mAccumulatedChanges = -1;
    Changed(changes);
    return changes;
}

int ParameterData::Compare(const ParameterData& data) const
{
    int bits = ParamChangeListener::NONE;
    if (value != data.value)
        bits |= ParamChangeListener::VALUE;
    if (caption != data.caption)
        bits |= ParamChangeListener::CAPTION;
    if (description != data.description)
        bits |= ParamChangeListener::DESCRIPTION;
    if (restrictions != data.restrictions)
        bits |= ParamChangeListener::RESTRICTION;
    return bits;
}

const ParameterLimits& ParameterData::Limits() const
{
    return mLimits;
}

void ParameterData::SetLimits(const ParameterLimits& limits)
{
    mLimits = limits;
}

void ParameterData::SetLimits(const std::string& limitString)
{
    try {
        ParameterLimits parsed(limitString);
        mLimits = parsed;
    } catch (const std::exception& e) {
        std::printf("Error creating limits from string <%s>: %s\n", limitString.c_str(), e.what());
    } catch (...) {
        std::printf("Error creating limits from string <%s>: %s\n", limitString.c_str(), "unknown error");
    }
}

// -------------------------------------------------------------------- Parameter

Parameter::Parameter() = default;

Parameter::Parameter(const std::string& domain) : mDomain(domain) {}

Parameter::Parameter(const Parameter& other)
    : ParamChangeListener(other), mDomain(other.mDomain), mIsInEdit(other.mIsInEdit)
{
    SetData(other.pData);
}

Parameter& Parameter::operator=(const Parameter& rhs)
{
    if (this != &rhs) {
        mDomain = rhs.mDomain;
        SetData(rhs.pData);
    }
    return *this;
}

Parameter::~Parameter()
{
    if (!pData)
        return;
    std::shared_ptr<ParameterData> data = std::move(pData);
    data->RemoveListener(this);
    // An edit left open would swallow every later announcement of the
    // payload; the remaining handles hear what it gathered.
    if (mIsInEdit > 0)
        data->EndEdit();
}

bool Parameter::IsNull() const
{
    return !pData;
}

int Parameter::SetData(std::shared_ptr<ParameterData> data)
{
    return attach(std::move(data), false);
}

int Parameter::Clear()
{
    return SetData(nullptr);
}

int Parameter::Instantiate()
{
    return SetData(std::make_shared<ParameterData>());
}

int Parameter::attach(std::shared_ptr<ParameterData> data, bool announceAll)
{
    if (data == pData)
        return 0;
    // Held until the end: the old payload's listeners run below, and one of
    // them may drop the last other handle on it.
    std::shared_ptr<ParameterData> old = pData;

    if (mIsInEdit != 0) {
        // The open edit moves with the handle: what it gathered on the old
        // payload is announced there, and the new payload gathers from now on
        // until this handle's EndEdit().
        if (old)
            old->EndEdit();
        if (data)
            data->BeginEdit();
    }

    const int bits = (announceAll || !data || !old) ? static_cast<int>(ALL) : old->Compare(*data);

    if (old)
        old->RemoveListener(this);
    pData = data;
    if (data) {
        data->AddListener(this);
        // Every handle of the new payload hears it, not only this one.
        data->Changed(bits);
    }
    return bits;
}

int Parameter::StealFrom(const Parameter& copy)
{
    return SetData(copy.pData);
}

int Parameter::CopyFrom(const Parameter& copy)
{
    BeginEdit();
    // The value first, against the limits this handle has now.
    SetValue(copy.Value());
    SetDescription(copy.Description());
    SetCaption(copy.Caption());
    SetRestrictions(copy.Restrictions());
    if (pData)
        pData->SetLimits(copy.Limits());
    return EndEdit();
}

const std::string& Parameter::Value() const
{
    return pData ? pData->value : EmptyStr;
}

const std::string& Parameter::AsString() const
{
    return Value();
}

const std::string& Parameter::Caption() const
{
    return pData ? pData->caption : EmptyStr;
}

const std::string& Parameter::Description() const
{
    return pData ? pData->description : EmptyStr;
}

const std::string& Parameter::OldValue() const
{
    return pData ? pData->oldValue : EmptyStr;
}

std::int64_t Parameter::Restrictions() const
{
    return pData ? pData->restrictions : 0;
}

std::int64_t Parameter::IsRestricted(std::int64_t ActiveRestrictions) const
{
    return Restrictions() & ActiveRestrictions;
}

const ParameterLimits& Parameter::Limits() const
{
    return pData ? pData->Limits() : NoLimit;
}

const std::string& Parameter::GetRawDomain() const
{
    return mDomain;
}

ParameterDomain Parameter::Domain(const std::string& myClientID) const
{
    if (mDomain == kGlobalDomain)
        return PARAM_GLOBAL;
    if (mDomain == myClientID)
        return PARAM_MINE;
    if (mDomain.empty())
        return PARAM_CACHE;
    if (mDomain.find('_') != std::string::npos)
        return PARAM_OTHER;
    return PARAM_GROUP;
}

std::int64_t Parameter::AsInteger(std::int64_t onError) const
{
    const std::string& v = Value();
    if (v.empty())
        return onError;
    std::istringstream in(v);
    std::int64_t result = 0;
    in >> result;
    if (in.fail()) {
        // An overflow is clamped by the stream and kept; anything else that
        // failed (no number, a wrongly grouped one) reads as 0.
        if (result == std::numeric_limits<std::int64_t>::max() || result == std::numeric_limits<std::int64_t>::min())
            return result;
        return 0;
    }
    return result;
}

double Parameter::AsFloat(double onError) const
{
    const std::string& v = Value();
    if (v.empty())
        return onError;
    const char* begin = v.c_str();
    char* end = nullptr;
    errno = 0;
    const float f = std::strtof(begin, &end);
    if (end == begin || errno == ERANGE)
        return onError;
    return static_cast<double>(f);
}

bool Parameter::IsInteger() const
{
    const std::string& v = Value();
    if (v.empty())
        return true;
    const char* begin = v.c_str();
    char* end = nullptr;
    errno = 0;
    std::strtoll(begin, &end, 10);
    // A number beyond the 64-bit range is not an integer AsInteger() could give.
    return end != begin && end == begin + v.size() && errno != ERANGE;
}

bool Parameter::IsDouble() const
{
    const std::string& v = Value();
    if (v.empty())
        return true;
    const char* begin = v.c_str();
    char* end = nullptr;
    std::strtod(begin, &end);
    return end != begin && end == begin + v.size();
}

void Parameter::SetValue(const std::string& Value)
{
    if (IsNull()) {
        // A fresh payload, complete before anyone hears of it: one ALL.
        auto data = std::make_shared<ParameterData>();
        data->oldValue = Value;
        data->value = Value;
        attach(std::move(data), true);
        return;
    }
    if (!pData)
        return;
    if (Value != pData->value && IsValueOK(Value)) {
        std::shared_ptr<ParameterData> data = pData;
        data->value = Value;
        data->Changed(VALUE);
    }
}

void Parameter::SetCaption(const std::string& Caption)
{
    if (!pData || pData->caption == Caption)
        return;
    std::shared_ptr<ParameterData> data = pData;
    data->caption = Caption;
    data->Changed(CAPTION);
}

void Parameter::SetDescription(const std::string& Description)
{
    if (!pData || pData->description == Description)
        return;
    std::shared_ptr<ParameterData> data = pData;
    data->description = Description;
    data->Changed(DESCRIPTION);
}

void Parameter::SetRestrictions(std::int64_t Restrictions)
{
    if (!pData || pData->restrictions == Restrictions)
        return;
    std::shared_ptr<ParameterData> data = pData;
    data->restrictions = Restrictions;
    data->Changed(RESTRICTION);
}

void Parameter::SetLimits(const std::string& Limits)
{
    if (pData)
        pData->SetLimits(Limits);
}

bool Parameter::IsValueOK(const std::string& val) const
{
    if (!pData)
        return true;
    const ParameterLimits& limits = pData->Limits();
    return !limits.HasAnyLimits() || limits.SatisfiesLimit(val);
}

bool Parameter::Modified() const
{
    return pData && pData->oldValue != pData->value;
}

void Parameter::BeginEdit()
{
    if (mIsInEdit++ == 0 && pData)
        pData->BeginEdit();
}

int Parameter::EndEdit()
{
    --mIsInEdit;
    if (mIsInEdit == 0 && pData) {
        std::shared_ptr<ParameterData> data = pData;
        return data->EndEdit();
    }
    if (mIsInEdit < 0)
        mIsInEdit = 0;
    return 0;
}

void Parameter::UpdateOldValue()
{
    if (!pData || pData->oldValue == pData->value)
        return;
    std::shared_ptr<ParameterData> data = pData;
    data->oldValue = data->value;
    data->Changed(OLD_VALUE);
}

void Parameter::Reset()
{
    if (!pData)
        return;
    const std::string old = pData->oldValue;
    SetValue(old);
}
