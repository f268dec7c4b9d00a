#include "TAppParam.h"

#include "ThreadSafeProperty.h"

#include "TApplication.h"
#include "TLogManager.h"
#include "TParamMan.h"

#include <cstdio>
#include <locale>
#include <memory>
#include <sstream>
#include <vector>

namespace vorel_sdl2 {

TAppParam* pVoidParam = new TAppParam("NULL", std::string());

namespace {

TParamMan* Manager()
{
    TApplication* app = pApp;
    return app ? static_cast<TParamMan*>(app) : nullptr;
}

std::string OwnClientID()
{
    TParamMan* man = Manager();
    return man ? man->OwnClientID() : std::string();
}

template <typename T>
bool FormatNumber(T value, std::string& out)
{
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os << value;
    if (os.fail())
        return false;
    out = os.str();
    return true;
}

} // namespace

TAppParam::TAppParam(const std::string& Name, const Parameter& Data)
    : Parameter(Data), QuietSave(false), mName(Name), MyMutex(SDL_CreateMutex()), bReadOnly(false),
      bParamChangedAction(false), pBoundTo(nullptr), mLastListenerID(0)
{
}

TAppParam::TAppParam(const std::string& Name, const std::string& ClientID)
    : Parameter(ClientID), QuietSave(false), mName(Name), MyMutex(SDL_CreateMutex()), bReadOnly(false),
      bParamChangedAction(false), pBoundTo(nullptr), mLastListenerID(0)
{
}

TAppParam::TAppParam(const std::string& Name, ParameterDomain Domain)
    : TAppParam(Name, GetAddressOf(Domain, OwnClientID()))
{
}

TAppParam::~TAppParam()
{
    mListeners.clear();
    Unbind();
    // Leave the payload before the mutex goes, so that no announcement of a
    // payload shared with others reaches this object any more.
    Clear();
    SDL_DestroyMutex(MyMutex);
    MyMutex = nullptr;
}

void TAppParam::OnValueChanged(int changeFlag)
{
    if (bParamChangedAction && (changeFlag & VALUE)) {
        if (TApplication* app = pApp)
            app->GenerateAction("DBParameterChanged", this, ACTION_ANY);
    }
    TriggerListener(0, changeFlag);
}

bool TAppParam::IsNull() const
{
    return this == pVoidParam || !pData;
}

void TAppParam::SetValue(const std::string& Value)
{
    if (!IsNull() && pData->value == Value)
        return;
    ScopedSDLMutex hold(MyMutex);
    Parameter::SetValue(Value);
}

void TAppParam::SetValue(std::int64_t Value)
{
    std::string text;
    if (FormatNumber(Value, text))
        SetValue(text);
}

void TAppParam::SetValue(double Value)
{
    std::string text;
    if (FormatNumber(Value, text))
        SetValue(text);
}

std::string TAppParam::GetAddressOf(int domain, const std::string& ClientID)
{
    switch (domain) {
    case PARAM_CACHE:
    case PARAM_MINE:
    case PARAM_OTHER:
        return ClientID;
    case PARAM_GLOBAL:
        return TParamMan::GetGlobalDomain();
    case PARAM_GROUP:
        if (TParamMan* man = Manager())
            return man->GetGroupDomain(ClientID);
        return ClientID.substr(0, ClientID.find('_'));
    default:
        return std::string();
    }
}

void TAppParam::Lock() const
{
    SDL_LockMutex(MyMutex);
}

void TAppParam::Unlock() const
{
    SDL_UnlockMutex(MyMutex);
}

void TAppParam::Bind(const TAppParam* otherParam)
{
    if (!otherParam || otherParam->IsNull())
        return;
    // A chain that led back here would never end.
    for (const TAppParam* p = otherParam; p; p = p->pBoundTo)
        if (p == this)
            return;
    ScopedSDLMutex hold(MyMutex);
    Unbind();
    SetData(otherParam->pData);
    pBoundTo = otherParam;
}

void TAppParam::Detach()
{
    ScopedSDLMutex hold(MyMutex);
    if (!pBoundTo)
        return;
    pBoundTo = nullptr;
    if (!pData)
        return;
    auto own = std::make_shared<ParameterData>();
    own->oldValue = pData->oldValue;
    own->value = pData->value;
    own->caption = pData->caption;
    own->description = pData->description;
    own->restrictions = pData->restrictions;
    own->SetLimits(pData->Limits());
    SetData(own);
}

void TAppParam::Follow(const TAppParam* target)
{
    if (!target || target->IsNull() || target == this)
        return;
    ScopedSDLMutex hold(MyMutex);
    SetData(target->pData);
    pBoundTo = target;
}

void TAppParam::Unbind()
{
    if (!pBoundTo)
        return;
    Clear();
    pBoundTo = nullptr;
}

ParameterDomain TAppParam::GetSourceDomain(const std::string& ClientID) const
{
    const TAppParam* end = this;
    while (end->pBoundTo)
        end = end->pBoundTo;
    return end->Domain(ClientID);
}

const std::string& TAppParam::GetSourceRawDomain() const
{
    const TAppParam* end = this;
    while (end->pBoundTo)
        end = end->pBoundTo;
    return end->GetRawDomain();
}

std::uint32_t TAppParam::AddConsumingListener(const ParamChangeConsumer& listener, int priority)
{
    if (!listener)
        return 0;
    const std::uint32_t id = ++mLastListenerID;
    auto it = mListeners.begin();
    while (it != mListeners.end() && it->Priority >= priority)
        ++it;
    mListeners.insert(it, ListenerStruct{listener, id, priority});
    return id;
}

std::uint32_t TAppParam::AddListener(const ParamChangeListener& listener, int priority)
{
    if (!listener)
        return 0;
    return AddConsumingListener(
        [listener](TAppParam* param, int changeFlag) {
            listener(param, changeFlag);
            return false;
        },
        priority);
}

void TAppParam::AddListenersOf(const TAppParam& param)
{
    // Taken first: copying a list into itself must not walk what it adds.
    std::vector<std::pair<ParamChangeConsumer, int>> copies;
    for (const ListenerStruct& entry : param.mListeners)
        if (entry.ID != 0)
            copies.emplace_back(entry.Listener, entry.Priority);
    for (auto& copy : copies) {
        ParamChangeConsumer fn = std::move(copy.first);
        AddListener([fn](TAppParam* p, int changeFlag) { fn(p, changeFlag); }, copy.second);
    }
}

void TAppParam::RemoveListener(std::uint32_t ID)
{
    if (ID == 0)
        return;
    for (auto it = mListeners.begin(); it != mListeners.end(); ++it) {
        if (it->ID == ID) {
            mListenerWalk.Erase(mListeners, it);
            return;
        }
    }
}

void TAppParam::TriggerListener(std::uint32_t ID, int changeFlag)
{
    if (mListeners.empty())
        return;
    // Listeners added while this walk runs have larger IDs; they hear the
    // next change, not this one.
    const std::uint32_t newest = mLastListenerID;
    mListenerWalk.Begin();
    for (auto it = mListeners.begin(); it != mListeners.end(); ++it) {
        if (it->ID == 0 || it->ID > newest)
            continue;
        if (ID != 0 && it->ID != ID)
            continue;
        bool consumed = false;
        try {
            consumed = it->Listener(this, changeFlag);
        } catch (...) {
            std::printf("TAppParam:TriggerListener:Listener unhandled exception\n");
        }
        if (ID != 0 || consumed)
            break;
    }
    mListenerWalk.End(mListeners);
}

void TAppParam::Update()
{
    TParamMan* man = Manager();
    Parameter answer = man ? man->OnRequestValue(GetRawDomain(), Name()) : Parameter();
    if (answer.IsNull()) {
        // No answer is no news: the value in use stays (loading it would
        // leave the entry without any value).
        if (!bUpdateMissLogged.exchange(true))
            logman::WriteLog(4, 0, "PARAMS ERROR: No value for parameter '%s' of '%s' on update, keeping '%s'\n",
                             Name().c_str(), GetRawDomain().c_str(), Value().c_str());
        return;
    }
    bUpdateMissLogged = false;
    BeginEdit();
    Load(answer);
    UpdateOldValue();
    const int changes = EndEdit();
    if (changes == 0)
        TriggerListener(0, 0);
}

int TAppParam::Load(const Parameter& param)
{
    ScopedSDLMutex hold(MyMutex);
    if (param.GetRawDomain() != GetSourceRawDomain())
        return StealFrom(param);
    return CopyFrom(param);
}

void TAppParam::Save(int saveMode)
{
    if (bReadOnly)
        throw "Parameter is read only!";
    if (IsNull())
        throw "Cannot save null parameter!";
    if (TParamMan* man = Manager())
        man->OnStoreValue(this, saveMode);
    UpdateOldValue();
}

void TAppParam::Delete()
{
    if (TParamMan* man = Manager())
        man->OnDeleteValue(this);
    Clear();
}

} // namespace vorel_sdl2
