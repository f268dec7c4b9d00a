// A node of the GUI tree (full build only): a textured rectangle with a
// position, size, rotation, opacity, blend mode and visibility, a built-in
// 500 ms fade in and out, and an ordered list of children that are placed
// relative to it and drawn over it with its opacity.
//
// A host derives its screens and widgets from TGuiComponent, overrides load,
// draw, drawLogic, mainLogic and the hooks it needs, and adds top-level
// components to its GUI module (which then owns them). Children are added to
// a component; a component does not delete its children in its destructor
// (a derived component that wants that does it itself).
//
// Threads: no lock of its own. Components are drawn and faded on the draw
// thread; mainLogic runs on the main thread under the application's draw
// lock. Every change to a tree must be made under the draw lock (held inside
// the GUI module's draw and SetupGraphics), on whichever thread. The renderer
// is the draw thread's alone: a component added on another thread while the
// GUI module has a renderer is listed at once, and its load() runs on the
// draw thread at the start of the next frame (a load error is reported then).
//
// Membership is what a list holds. Lists are walked over a snapshot: a
// component may add, remove or reorder components (itself included) from
// load, draw, drawLogic, mainLogic or a fade hook. A component that leaves a
// list during a walk of it (removed, or deleted outright) is recorded by its
// pointer value, and the walk compares every snapshot entry with those
// before it touches it, so it never reads a component freed mid-walk.
// Components removed with deleteInstance are deleted once the outermost walk
// of the calling thread has ended. A component deleted while listed leaves a
// null in its slot rather than erasing it, so an owner's destructor may
// delete its children while iterating GuiComponentList (range-for, or
// delete front() then pop_front()); walks and look-ups skip nulls, and the
// next list operation outside a walk purges them. Host code that reads
// GuiComponentList itself must skip nulls too. Components are not copyable.
// AddComponent refuses (null result, list unchanged, the caller keeps
// ownership) a null pointer, a duplicate non-empty name, a component already
// listed anywhere, the component itself and any of its ancestors. Trees
// deeper than kMaxTreeDepth are not walked past that depth. draw swallows
// every exception from its own steps and from its children; the fade clock
// is TAnimation's tick source (replaceable).
#pragma once

#ifndef VOREL_NOGFX

#include "TAnimation.h"

#include <SDL2/SDL_render.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

class TGuiComponent;

using TGuiComponentList = std::list<TGuiComponent*>;

// One list of components and the state of the walks over it. The list's
// owner (a component, or the GUI module for the top level) holds it; listed
// components hold a weak reference, so a component that outlives its owner
// knows it, and one whose owner lives finds the list to clear its slot in.
struct TGuiListAnchor {
    TGuiComponentList* list;  // null once the owner is gone
    TGuiComponent* owner;     // null for the GUI module's list
    int walks = 0;            // walks of this list under way
    bool holes = false;       // null slots waiting to be purged
    // Components that left the list during the walks under way: compared by
    // value, never dereferenced.
    std::vector<const TGuiComponent*> removed;
};
using TGuiListAnchorPtr = std::shared_ptr<TGuiListAnchor>;

// The list operations shared by the GUI module's top-level list and the
// children of a component, over the list's anchor; `ownerName` fills the
// messages.
struct TGuiListOps {
    static constexpr int kMaxTreeDepth = 512;

    static TGuiListAnchorPtr NewAnchor(TGuiComponentList& list, TGuiComponent* owner);
    // The owner is going away: its components are no longer listed anywhere.
    static void Orphan(TGuiListAnchor& a);

    static TGuiComponent* Add(const TGuiListAnchorPtr& a, TGuiComponent* c, const std::string& ownerName);
    static TGuiComponent* FindByName(const TGuiListAnchor& a, const std::string& name);
    static bool Find(const TGuiListAnchor& a, const TGuiComponent* c);
    static bool Remove(TGuiListAnchor& a, TGuiComponent* c, bool deleteInstance, const std::string& ownerName);
    static bool ToFront(TGuiListAnchor& a, TGuiComponent* c);
    static bool ToBack(TGuiListAnchor& a, TGuiComponent* c);
    // Unlists and deletes every component (printing the drop message for
    // each), also those added while the list is being emptied.
    static void DeleteAll(TGuiListAnchor& a, const std::string& ownerName);

    // Whether renderer work must wait for the draw thread: the application's
    // GUI module has a renderer and the caller is another thread.
    static bool OffRendererThread();
    // Runs the load() calls that AddComponent deferred to the draw thread,
    // for the components still listed; the GUI module's draw calls it under
    // the draw lock.
    static void RunDeferredLoads();
    // Forgets a deferred load (the component leaves or goes away).
    static void DropDeferredLoad(const TGuiComponent* c);

    // Calls fn for each component still listed, in list order over a
    // snapshot taken at the start; with visibleOnly, for the visible ones
    // only (asked when each one's turn comes). Exceptions from fn pass on.
    template <typename Fn>
    static void ForEach(const TGuiListAnchorPtr& a, bool visibleOnly, Fn&& fn);

private:
    // One walk of one list on this thread: counts the walks of the list
    // (removals are recorded while any runs) and the thread's nesting
    // (deletions wait for the outermost); the last one out purges.
    struct Walk {
        explicit Walk(TGuiListAnchorPtr anchor);
        ~Walk();
        Walk(const Walk&) = delete;
        Walk& operator=(const Walk&) = delete;
        TGuiListAnchorPtr a;
        bool tooDeep;
    };
    static bool Skipped(const TGuiListAnchorPtr& a, TGuiComponent* c, bool visibleOnly);
    static TGuiComponentList::iterator Slot(TGuiListAnchor& a, const TGuiComponent* c);
    static void Purge(TGuiListAnchor& a);
    static bool ListedAnywhere(const TGuiComponent* c);
    static bool IsAncestorOrSelf(const TGuiListAnchor& a, const TGuiComponent* c);
    static void Load(TGuiComponent* c, const std::string& ownerName);
};

class TGuiComponent {
public:
    // pRenderer is not stored: drawing always uses the GUI module's renderer.
    TGuiComponent(SDL_Renderer* pRenderer, int x, int y, int w, int h, std::string ComponentName);
    // Leaves a null in the slot of the list that holds it (if its owner still
    // lives); its children stay alive and are no longer listed.
    virtual ~TGuiComponent();
    // A copy would share the children and be listed nowhere its owner knows.
    TGuiComponent(const TGuiComponent&) = delete;
    TGuiComponent& operator=(const TGuiComponent&) = delete;

    // 0 on success; the adding owner reports anything else.
    virtual int load();
    // Draws the target texture and then the visible children with this
    // component's opacity multiplied into theirs.
    virtual void draw();
    // Advances the fade, then drawLogic of the visible children.
    virtual void drawLogic();
    // mainLogic of every child, visible or not.
    virtual void mainLogic();
    virtual void setX(int x);
    virtual void setY(int y);
    virtual void setWidth(int w);
    virtual void setHeight(int h);
    virtual void setAngle(double a);
    // Stored as given; clamped to 0..255 only when applied to the texture.
    virtual void setAlpha(int a);
    virtual short getX() const;
    virtual short getY() const;
    virtual short getWidth() const;
    virtual short getHeight() const;
    virtual double getAngle() const;
    virtual SDL_Rect getSrcRect();
    virtual void setSrcRect(SDL_Rect r);
    virtual SDL_Rect getDestRect();
    virtual void setDestRect(SDL_Rect r);
    virtual void setDestPos(int dx, int dy);
    virtual void onShow();
    virtual void onHide();
    // Overrides should call the base versions.
    virtual void OnFadeOutStart();
    virtual void OnFadeOutEnd();
    virtual void OnFadeInStart();
    virtual void OnFadeInEnd();

    void Show();
    // Hiding drops a fade under way: a fade-in ends at full opacity, a
    // fade-out at 0, the saved blend mode is restored, no end hook runs.
    void Hide();
    bool isVisible() const { return mVisible; }
    int alpha() { return mAlpha; }
    std::string getName() { return mName; }
    TGuiComponent* getParent() { return mpParent; }
    void setParent(TGuiComponent* parent) { mpParent = parent; }
    SDL_Texture* GetTargetTexture() { return mpTargetTexture; }
    void SetTargetTexture(SDL_Texture* texture) { mpTargetTexture = texture; }
    void _setVisible(bool visible) { mVisible = visible; }
    SDL_Renderer* GetRenderer();
    void SetRenderer(SDL_Renderer*) {}

    // Start a fade; a second start in the same direction while that fade
    // runs is ignored, the other direction continues from the current opacity.
    void fadeIn();
    void fadeOut();
    bool isFadingIn() const { return mFadingIn; }
    bool isFadingOut() const { return mFadingOut; }

    // Blend modes: 0 none, 1 alpha blend, 2 additive, 3 modulate.
    void setBlendMode(int mode);
    // 0 without a texture; -1 for an SDL mode outside the four.
    int getBlendMode();

    void mainLogicChildren();
    void drawLogicChildren();

    TGuiComponent* AddComponent(TGuiComponent* pNewComponent);
    TGuiComponent* FindComponentByName(std::string sComponent);
    bool FindComponent(TGuiComponent* pComponent);
    bool RemoveComponent(TGuiComponent* pComponent, bool deleteInstance);
    bool RemoveComponent(std::string sComponent, bool deleteInstance);
    bool BringComponentToFront(TGuiComponent* pComponent);
    bool SendComponentToBack(TGuiComponent* pComponent);

    // One step of at most `step` pixels per axis towards the position given
    // to setDestPos (moveToDestPos), or back towards the position the
    // component had when setDestPos was called (moveFromDestPos); true once
    // there. Positions are those setX/setY take (relative for a child).
    bool moveToDestPos(int step = 1);
    bool moveFromDestPos(int step = 1);

protected:
    bool mFadingOut;
    bool mFadingIn;
    int mOrigPosX;
    int mOrigPosY;
    TGuiComponent* mpParent;
    TGuiComponentList GuiComponentList;
    TAnimation mFadeAnimation;
    SDL_Texture* mpTargetTexture;
    int mTargetTextureBlendMode;
    SDL_Rect mSrcRect;
    SDL_Rect mDestRect;
    double mAngle;
    bool mVisible;
    int mAlpha;
    int mDestPosX;
    int mDestPosY;
    bool mIncreaseX;
    bool mIncreaseY;
    std::string mName;

private:
    friend struct TGuiListOps;
    // Anchor of the children's list.
    TGuiListAnchorPtr mpChildren;
    // Anchor of the list this component was last added to (a hint: the list
    // itself says whether it is still there; mpParent may be stale).
    std::weak_ptr<TGuiListAnchor> mpListedIn;
    // Counts fade starts, so drawLogic keeps a fade that an end hook started.
    unsigned mFadeStarts = 0;
    // Set while OnFadeOutEnd hides the component, so Hide keeps the fade.
    bool mEndingFade = false;
    int mMoveOriginX = 0;
    int mMoveOriginY = 0;

    int posX() const;
    int posY() const;
    bool stepTowards(int x, int y, int step);

    void startFade(bool reverse);
    void dropFade();
};

template <typename Fn>
void TGuiListOps::ForEach(const TGuiListAnchorPtr& a, bool visibleOnly, Fn&& fn)
{
    if (!a->list || a->list->empty())
        return;
    Walk walk(a);
    if (walk.tooDeep)
        return;
    const std::vector<TGuiComponent*> snapshot(a->list->begin(), a->list->end());
    for (TGuiComponent* c : snapshot) {
        if (!a->list)
            return; // the owner went away during the walk
        if (!Skipped(a, c, visibleOnly))
            fn(c);
    }
}

#endif
