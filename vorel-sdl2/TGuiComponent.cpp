#include "TGuiComponent.h"

#include "TAppGuiModule.h"
#include "TApplication.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

// Walks are per thread (drawing on the draw thread, mainLogic on the main
// thread under the draw lock); deletions wait for the outermost one.
thread_local int tWalkDepth = 0;
thread_local std::vector<TGuiComponent*> tPendingDelete;

bool PendingDelete(const TGuiComponent* c)
{
    return std::find(tPendingDelete.begin(), tPendingDelete.end(), c) != tPendingDelete.end();
}

void DeleteNowOrAfterWalk(TGuiComponent* c)
{
    if (tWalkDepth > 0)
        tPendingDelete.push_back(c);
    else
        delete c;
}

// Loads that wait for the draw thread: any thread adds, the draw thread
// runs them. The anchor tells whether the component is still listed.
struct DeferredLoad {
    TGuiComponent* c;
    std::weak_ptr<TGuiListAnchor> a;
    std::string ownerName;
};
std::mutex gDeferredLoadMutex;
std::vector<DeferredLoad> gDeferredLoads;

int ClampAlpha(int a) { return std::clamp(a, 0, 255); }

SDL_BlendMode ToSdlBlendMode(int mode, bool& known)
{
    known = true;
    switch (mode) {
    case 0: return SDL_BLENDMODE_NONE;
    case 1: return SDL_BLENDMODE_BLEND;
    case 2: return SDL_BLENDMODE_ADD;
    case 3: return SDL_BLENDMODE_MOD;
    default: known = false; return SDL_BLENDMODE_NONE;
    }
}

// Restores a child's own alpha after the parent-scaled draw, on every path.
struct AlphaRestore {
    TGuiComponent* c;
    int alpha;
    ~AlphaRestore()
    {
        try {
            c->setAlpha(alpha);
        } catch (...) {
        }
    }
};

int StepTo(int from, int to, int step)
{
    if (from < to)
        return std::min(to, from + step);
    if (from > to)
        return std::max(to, from - step);
    return from;
}

} // namespace

// --- List operations

TGuiListOps::Walk::Walk(TGuiListAnchorPtr anchor) : a(std::move(anchor)), tooDeep(++tWalkDepth > kMaxTreeDepth)
{
    ++a->walks;
}

TGuiListOps::Walk::~Walk()
{
    if (--a->walks == 0) {
        a->removed.clear();
        Purge(*a);
    }
    if (--tWalkDepth > 0)
        return;
    while (!tPendingDelete.empty()) {
        std::vector<TGuiComponent*> doomed;
        doomed.swap(tPendingDelete);
        for (TGuiComponent* c : doomed)
            delete c;
    }
}

TGuiListAnchorPtr TGuiListOps::NewAnchor(TGuiComponentList& list, TGuiComponent* owner)
{
    auto a = std::make_shared<TGuiListAnchor>();
    a->list = &list;
    a->owner = owner;
    return a;
}

void TGuiListOps::Orphan(TGuiListAnchor& a)
{
    // A walk still under way holds the anchor; it sees the null and stops.
    a.list = nullptr;
    a.owner = nullptr;
}

bool TGuiListOps::Skipped(const TGuiListAnchorPtr& a, TGuiComponent* c, bool visibleOnly)
{
    if (!c || std::find(a->removed.begin(), a->removed.end(), c) != a->removed.end())
        return true;
    // Pushed straight into the list: it is a member all the same, and now
    // clears its slot when it is deleted.
    if (c->mpListedIn.expired())
        c->mpListedIn = a;
    return visibleOnly && !c->isVisible();
}

TGuiComponentList::iterator TGuiListOps::Slot(TGuiListAnchor& a, const TGuiComponent* c)
{
    return std::find(a.list->begin(), a.list->end(), c);
}

void TGuiListOps::Purge(TGuiListAnchor& a)
{
    if (a.walks > 0 || !a.holes || !a.list)
        return;
    a.list->remove(nullptr);
    a.holes = false;
}

bool TGuiListOps::ListedAnywhere(const TGuiComponent* c)
{
    auto a = c->mpListedIn.lock();
    return a && a->list && std::find(a->list->begin(), a->list->end(), c) != a->list->end();
}

// Up the owners of the list: an anchor that is alive has a live owner, and
// a component counts as its owner's child only while that list holds it.
bool TGuiListOps::IsAncestorOrSelf(const TGuiListAnchor& a, const TGuiComponent* c)
{
    int guard = 0;
    for (const TGuiComponent* p = a.owner; p; ++guard) {
        if (p == c || guard > 1000000)
            return true;
        auto up = p->mpListedIn.lock();
        p = up && up->list && std::find(up->list->begin(), up->list->end(), p) != up->list->end() ? up->owner
                                                                                                 : nullptr;
    }
    return false;
}

TGuiComponent* TGuiListOps::Add(const TGuiListAnchorPtr& a, TGuiComponent* c, const std::string& ownerName)
{
    if (!c || !a->list)
        return nullptr;
    Purge(*a);
    if (!c->mName.empty() && FindByName(*a, c->mName)) {
        std::printf("application::Component \"%s\" already exists in module \"%s\".\n", c->mName.c_str(),
                    ownerName.c_str());
        return nullptr;
    }
    // A component listed twice would be drawn and deleted twice; one that
    // contains its new owner would make the tree a cycle.
    if (ListedAnywhere(c) || PendingDelete(c) || IsAncestorOrSelf(*a, c)) {
        std::printf("application::Component \"%s\" refused on \"%s\": already listed or an ancestor.\n",
                    c->mName.c_str(), ownerName.c_str());
        return nullptr;
    }
    c->mpParent = a->owner;
    a->list->push_back(c);
    c->mpListedIn = a;
    if (OffRendererThread()) {
        std::lock_guard<std::mutex> lock(gDeferredLoadMutex);
        gDeferredLoads.push_back(DeferredLoad{c, a, ownerName});
    } else {
        Load(c, ownerName);
    }
    return c;
}

void TGuiListOps::Load(TGuiComponent* c, const std::string& ownerName)
{
    int result;
    try {
        result = c->load();
    } catch (...) {
        result = -1;
    }
    if (result != 0)
        std::printf("application::load() error for %s while adding on \"%s\".\n", c->mName.c_str(),
                    ownerName.c_str());
}

bool TGuiListOps::OffRendererThread()
{
    using vorel_sdl2::pApp;
    return pApp && pApp->GUI() && pApp->GUI()->GetRenderer() && !pApp->IsInDrawThread();
}

void TGuiListOps::RunDeferredLoads()
{
    std::vector<DeferredLoad> loads;
    {
        std::lock_guard<std::mutex> lock(gDeferredLoadMutex);
        if (gDeferredLoads.empty())
            return;
        loads.swap(gDeferredLoads);
    }
    for (DeferredLoad& d : loads) {
        auto a = d.a.lock();
        if (a && Find(*a, d.c) && !PendingDelete(d.c))
            Load(d.c, d.ownerName);
    }
}

void TGuiListOps::DropDeferredLoad(const TGuiComponent* c)
{
    std::lock_guard<std::mutex> lock(gDeferredLoadMutex);
    gDeferredLoads.erase(std::remove_if(gDeferredLoads.begin(), gDeferredLoads.end(),
                                        [c](const DeferredLoad& d) { return d.c == c; }),
                         gDeferredLoads.end());
}

TGuiComponent* TGuiListOps::FindByName(const TGuiListAnchor& a, const std::string& name)
{
    if (name.empty() || !a.list)
        return nullptr;
    for (TGuiComponent* c : *a.list)
        if (c && c->mName == name)
            return c;
    return nullptr;
}

// Pointers are compared, never dereferenced, so a stale one is simply not
// found.
bool TGuiListOps::Find(const TGuiListAnchor& a, const TGuiComponent* c)
{
    return c && a.list && std::find(a.list->begin(), a.list->end(), c) != a.list->end();
}

bool TGuiListOps::Remove(TGuiListAnchor& a, TGuiComponent* c, bool deleteInstance, const std::string& ownerName)
{
    if (!Find(a, c))
        return false;
    Purge(a);
    std::printf("application::Dropping component %s from %s\n", c->mName.c_str(), ownerName.c_str());
    auto slot = Slot(a, c);
    if (a.walks > 0) {
        // A hole rather than an erase while the list is walked: a host loop
        // over the list further up the stack keeps valid iterators.
        *slot = nullptr;
        a.holes = true;
        a.removed.push_back(c);
    } else {
        a.list->erase(slot);
    }
    if (c->mpListedIn.lock().get() == &a)
        c->mpListedIn.reset();
    DropDeferredLoad(c);
    if (deleteInstance)
        DeleteNowOrAfterWalk(c);
    return true;
}

// During a walk the old slot becomes a hole and the component stays
// unrecorded: the walk reaches it at its old place, once.
bool TGuiListOps::ToFront(TGuiListAnchor& a, TGuiComponent* c)
{
    if (!Find(a, c))
        return false;
    Purge(a);
    auto slot = Slot(a, c);
    if (a.walks > 0) {
        *slot = nullptr;
        a.holes = true;
    } else {
        a.list->erase(slot);
    }
    a.list->push_back(c);
    return true;
}

bool TGuiListOps::ToBack(TGuiListAnchor& a, TGuiComponent* c)
{
    if (!Find(a, c))
        return false;
    Purge(a);
    auto slot = Slot(a, c);
    if (a.walks > 0) {
        *slot = nullptr;
        a.holes = true;
    } else {
        a.list->erase(slot);
    }
    a.list->push_front(c);
    return true;
}

void TGuiListOps::DeleteAll(TGuiListAnchor& a, const std::string& ownerName)
{
    while (a.list && !a.list->empty()) {
        TGuiComponent* c = a.list->front();
        a.list->pop_front();
        if (!c)
            continue;
        if (a.walks > 0)
            a.removed.push_back(c);
        if (c->mpListedIn.lock().get() == &a)
            c->mpListedIn.reset();
        std::printf("application::Dropping component %s from %s\n", c->mName.c_str(), ownerName.c_str());
        DeleteNowOrAfterWalk(c);
    }
    a.holes = false;
}

// --- Component

TGuiComponent::TGuiComponent(SDL_Renderer*, int x, int y, int w, int h, std::string ComponentName)
    : mFadingOut(false), mFadingIn(false), mOrigPosX(x), mOrigPosY(y), mpParent(nullptr),
      mFadeAnimation(0.0f, 255.0f, 500, AT_LINEAR), mpTargetTexture(nullptr), mTargetTextureBlendMode(1),
      mSrcRect{0, 0, w, h}, mDestRect{x, y, w, h}, mAngle(0.0), mVisible(true), mAlpha(255), mDestPosX(x),
      mDestPosY(y), mIncreaseX(false), mIncreaseY(false), mName(std::move(ComponentName)),
      mpChildren(TGuiListOps::NewAnchor(GuiComponentList, this)), mMoveOriginX(x), mMoveOriginY(y)
{
    mFadeAnimation.setLimits(LIMIT_CLAMP, LIMIT_CLAMP);
}

TGuiComponent::~TGuiComponent()
{
    // Children stay alive (they are not owned) but are no longer listed.
    TGuiListOps::Orphan(*mpChildren);
    TGuiListOps::DropDeferredLoad(this);
    // Deleted while still listed: a null in the slot, not an erase, so an
    // owner deleting its children while iterating its list stays valid.
    if (auto a = mpListedIn.lock(); a && a->list) {
        for (TGuiComponent*& slot : *a->list)
            if (slot == this) {
                slot = nullptr;
                a->holes = true;
            }
        if (a->walks > 0)
            a->removed.push_back(this);
    }
}

int TGuiComponent::load() { return 0; }

SDL_Renderer* TGuiComponent::GetRenderer()
{
    using vorel_sdl2::pApp;
    return pApp && pApp->GUI() ? pApp->GUI()->GetRenderer() : nullptr;
}

void TGuiComponent::draw()
{
    try {
        if (mpParent) {
            mDestRect.x = mOrigPosX + mpParent->getX();
            mDestRect.y = mOrigPosY + mpParent->getY();
        }
        const int applied = ClampAlpha(mAlpha);
        if (mpTargetTexture) {
            SDL_SetTextureAlphaMod(mpTargetTexture, static_cast<Uint8>(applied));
            if (SDL_Renderer* renderer = GetRenderer()) {
                if (mAngle > 0.0)
                    SDL_RenderCopyEx(renderer, mpTargetTexture, &mSrcRect, &mDestRect, mAngle, nullptr, SDL_FLIP_NONE);
                else
                    SDL_RenderCopy(renderer, mpTargetTexture, &mSrcRect, &mDestRect);
            }
        }
        const float factor = applied / 255.0f;
        TGuiListOps::ForEach(mpChildren, true, [factor](TGuiComponent* child) {
            AlphaRestore restore{child, child->alpha()};
            child->setAlpha(static_cast<int>(factor * restore.alpha));
            child->draw();
        });
    } catch (...) {
        // A failing child skips the rest of this frame's children only.
    }
}

void TGuiComponent::drawLogic()
{
    const long now = TAnimation::now();
    if (mFadeAnimation.state(now) == ASTATE_RUNNING)
        setAlpha(static_cast<int>(mFadeAnimation.value(now)));
    if (mFadeAnimation.state(now) == ASTATE_COMPLETED) {
        // An end hook may start the next fade (a blink loop): that one stays.
        const unsigned starts = mFadeStarts;
        if (mFadeAnimation.reverse())
            OnFadeOutEnd();
        else
            OnFadeInEnd();
        if (mFadeStarts == starts)
            mFadeAnimation.reset();
    }
    drawLogicChildren();
}

void TGuiComponent::mainLogic() { mainLogicChildren(); }

void TGuiComponent::mainLogicChildren()
{
    TGuiListOps::ForEach(mpChildren, false, [](TGuiComponent* c) { c->mainLogic(); });
}

void TGuiComponent::drawLogicChildren()
{
    TGuiListOps::ForEach(mpChildren, true, [](TGuiComponent* c) { c->drawLogic(); });
}

void TGuiComponent::setX(int x)
{
    mDestRect.x = x;
    if (mpParent)
        mOrigPosX = x;
}

void TGuiComponent::setY(int y)
{
    mDestRect.y = y;
    if (mpParent)
        mOrigPosY = y;
}

void TGuiComponent::setWidth(int w) { mDestRect.w = w; }
void TGuiComponent::setHeight(int h) { mDestRect.h = h; }
void TGuiComponent::setAngle(double a) { mAngle = a; }
void TGuiComponent::setAlpha(int a) { mAlpha = a; }
short TGuiComponent::getX() const { return static_cast<short>(mDestRect.x); }
short TGuiComponent::getY() const { return static_cast<short>(mDestRect.y); }
short TGuiComponent::getWidth() const { return static_cast<short>(mDestRect.w); }
short TGuiComponent::getHeight() const { return static_cast<short>(mDestRect.h); }
double TGuiComponent::getAngle() const { return mAngle; }
SDL_Rect TGuiComponent::getSrcRect() { return mSrcRect; }
void TGuiComponent::setSrcRect(SDL_Rect r) { mSrcRect = r; }
SDL_Rect TGuiComponent::getDestRect() { return mDestRect; }

void TGuiComponent::setDestRect(SDL_Rect r)
{
    setX(r.x);
    setY(r.y);
    setWidth(r.w);
    setHeight(r.h);
}

void TGuiComponent::setDestPos(int dx, int dy)
{
    mDestPosX = dx;
    mDestPosY = dy;
    mIncreaseX = dx > getX();
    mIncreaseY = dy > getY();
    mMoveOriginX = posX();
    mMoveOriginY = posY();
}

int TGuiComponent::posX() const { return mpParent ? mOrigPosX : mDestRect.x; }
int TGuiComponent::posY() const { return mpParent ? mOrigPosY : mDestRect.y; }

bool TGuiComponent::stepTowards(int x, int y, int step)
{
    step = std::max(step, 1);
    if (posX() != x)
        setX(StepTo(posX(), x, step));
    if (posY() != y)
        setY(StepTo(posY(), y, step));
    return posX() == x && posY() == y;
}

bool TGuiComponent::moveToDestPos(int step) { return stepTowards(mDestPosX, mDestPosY, step); }
bool TGuiComponent::moveFromDestPos(int step) { return stepTowards(mMoveOriginX, mMoveOriginY, step); }

void TGuiComponent::onShow() {}
void TGuiComponent::onHide() {}

void TGuiComponent::Show()
{
    if (!mVisible)
        onShow();
    mVisible = true;
}

void TGuiComponent::Hide()
{
    if (mVisible)
        onHide();
    mVisible = false;
    // A hidden component gets no drawLogic, so a fade left pending would go
    // stale and block or undo later fades.
    if (!mEndingFade && (mFadingIn || mFadingOut))
        dropFade();
}

void TGuiComponent::dropFade()
{
    const bool wasFadingIn = mFadingIn;
    mFadeAnimation.reset();
    mFadingIn = mFadingOut = false;
    setBlendMode(mTargetTextureBlendMode);
    setAlpha(wasFadingIn ? 255 : 0);
}

void TGuiComponent::fadeIn()
{
    if (mFadingIn && mFadeAnimation.state(TAnimation::now()) == ASTATE_RUNNING)
        return;
    OnFadeInStart();
    startFade(false);
}

void TGuiComponent::fadeOut()
{
    if (mFadingOut && mFadeAnimation.state(TAnimation::now()) == ASTATE_RUNNING)
        return;
    OnFadeOutStart();
    startFade(true);
}

void TGuiComponent::startFade(bool reverse)
{
    const long now = TAnimation::now();
    const bool running = mFadeAnimation.state(now) == ASTATE_RUNNING;
    // Capped at the duration: at exactly its end the interval time wraps to 0.
    const long duration = mFadeAnimation.duration();
    const long elapsed = running ? std::clamp(mFadeAnimation.elapsedMs(now), 0L, duration) : 0L;
    mFadeAnimation.setReverse(reverse);
    if (reverse)
        mFadingIn = false;
    else
        mFadingOut = false;
    ++mFadeStarts;
    if (running)
        mFadeAnimation.start(now - (duration - elapsed));
    else
        mFadeAnimation.start(now);
}

void TGuiComponent::OnFadeInStart()
{
    // Only the first start of a chain of fades sees the original mode.
    if (!mFadingIn && !mFadingOut)
        mTargetTextureBlendMode = getBlendMode();
    setBlendMode(1);
    setAlpha(0);
    Show();
    mFadingIn = true;
}

void TGuiComponent::OnFadeInEnd()
{
    setBlendMode(mTargetTextureBlendMode);
    setAlpha(255);
    mFadingIn = false;
}

void TGuiComponent::OnFadeOutStart()
{
    if (!mFadingIn && !mFadingOut)
        mTargetTextureBlendMode = getBlendMode();
    setBlendMode(1);
    setAlpha(static_cast<int>(mFadeAnimation.value()));
    mFadingOut = true;
}

void TGuiComponent::OnFadeOutEnd()
{
    mEndingFade = true;
    try {
        Hide();
    } catch (...) {
        mEndingFade = false;
        throw;
    }
    mEndingFade = false;
    setBlendMode(mTargetTextureBlendMode);
    setAlpha(static_cast<int>(mFadeAnimation.value()));
    mFadingOut = false;
}

void TGuiComponent::setBlendMode(int mode)
{
    bool known = false;
    SDL_BlendMode m = ToSdlBlendMode(mode, known);
    if (known && mpTargetTexture)
        SDL_SetTextureBlendMode(mpTargetTexture, m);
}

int TGuiComponent::getBlendMode()
{
    if (!mpTargetTexture)
        return 0;
    SDL_BlendMode m;
    if (SDL_GetTextureBlendMode(mpTargetTexture, &m) != 0)
        return -1;
    switch (m) {
    case SDL_BLENDMODE_NONE: return 0;
    case SDL_BLENDMODE_BLEND: return 1;
    case SDL_BLENDMODE_ADD: return 2;
    case SDL_BLENDMODE_MOD: return 3;
    default: return -1;
    }
}

TGuiComponent* TGuiComponent::AddComponent(TGuiComponent* c) { return TGuiListOps::Add(mpChildren, c, mName); }
TGuiComponent* TGuiComponent::FindComponentByName(std::string name) { return TGuiListOps::FindByName(*mpChildren, name); }
bool TGuiComponent::FindComponent(TGuiComponent* c) { return TGuiListOps::Find(*mpChildren, c); }

bool TGuiComponent::RemoveComponent(TGuiComponent* c, bool deleteInstance)
{
    return TGuiListOps::Remove(*mpChildren, c, deleteInstance, mName);
}

bool TGuiComponent::RemoveComponent(std::string name, bool deleteInstance)
{
    return RemoveComponent(FindComponentByName(name), deleteInstance);
}

bool TGuiComponent::BringComponentToFront(TGuiComponent* c) { return TGuiListOps::ToFront(*mpChildren, c); }
bool TGuiComponent::SendComponentToBack(TGuiComponent* c) { return TGuiListOps::ToBack(*mpChildren, c); }
