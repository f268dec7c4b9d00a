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
// the GUI module's draw and SetupGraphics), on whichever thread.
//
// Lists are walked over a snapshot: a component may add, remove or reorder
// components (itself included) from load, draw, drawLogic, mainLogic or a
// fade hook. Removed components are skipped for the rest of the walk, and
// those removed with deleteInstance are deleted once the outermost walk of
// the calling thread has ended. AddComponent refuses (null result, list
// unchanged, the caller keeps ownership) a null pointer, a duplicate
// non-empty name, a component already listed anywhere, the component itself
// and any of its ancestors. Trees deeper than kMaxTreeDepth are not walked
// past that depth. draw swallows every exception from its own steps and from
// its children; the fade clock is TAnimation's tick source (replaceable).
#pragma once

#ifndef VOREL_NOGFX

#include "TAnimation.h"

#include <SDL2/SDL_render.h>

#include <list>
#include <string>
#include <vector>

class TGuiComponent;

using TGuiComponentList = std::list<TGuiComponent*>;

// The list operations shared by the GUI module's top-level list and the
// children of a component. `owner` is the component that owns the list, or
// null for the module; `ownerName` fills the messages.
struct TGuiListOps {
    static constexpr int kMaxTreeDepth = 512;

    static TGuiComponent* Add(TGuiComponentList& list, TGuiComponent* owner, TGuiComponent* c,
                              const std::string& ownerName);
    static TGuiComponent* FindByName(const TGuiComponentList& list, const std::string& name);
    static bool Find(const TGuiComponentList& list, const TGuiComponent* c);
    static bool Remove(TGuiComponentList& list, TGuiComponent* c, bool deleteInstance, const std::string& ownerName);
    static bool ToFront(TGuiComponentList& list, TGuiComponent* c);
    static bool ToBack(TGuiComponentList& list, TGuiComponent* c);
    // Unlists and deletes every component (printing the drop message for
    // each), also those added while the list is being emptied.
    static void DeleteAll(TGuiComponentList& list, const std::string& ownerName);
    // Marks every component as no longer listed (the list is going away).
    static void UnlistAll(TGuiComponentList& list);

    // Calls fn for each component still listed, in list order over a
    // snapshot taken at the start; with visibleOnly, for the visible ones
    // only (asked when each one's turn comes). Exceptions from fn pass on.
    template <typename Fn>
    static void ForEach(const TGuiComponentList& list, bool visibleOnly, Fn&& fn);

private:
    struct Walk {
        Walk();
        ~Walk();
        bool tooDeep;
    };
    static bool Listed(const TGuiComponentList& list, const TGuiComponent* c);
    static bool Visible(const TGuiComponent* c);
};

class TGuiComponent {
public:
    // pRenderer is not stored: drawing always uses the GUI module's renderer.
    TGuiComponent(SDL_Renderer* pRenderer, int x, int y, int w, int h, std::string ComponentName);
    virtual ~TGuiComponent();

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
    // The list this component is listed in (null when in none): membership
    // in O(1), independent of mpParent, which removal leaves as it was.
    const TGuiComponentList* mpOwnerList = nullptr;
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
void TGuiListOps::ForEach(const TGuiComponentList& list, bool visibleOnly, Fn&& fn)
{
    Walk walk;
    if (walk.tooDeep || list.empty())
        return;
    const std::vector<TGuiComponent*> snapshot(list.begin(), list.end());
    for (TGuiComponent* c : snapshot) {
        if (!Listed(list, c) || (visibleOnly && !Visible(c)))
            continue;
        fn(c);
    }
}

#endif
