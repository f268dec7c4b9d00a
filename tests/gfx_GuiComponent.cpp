// GUI components: children drawn relative to and over their parent with its
// opacity (pixel read-back), fades on a replaced clock, changes to a tree
// during a walk, refused additions and odd input.
#include "GuiTestHost.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

using namespace guitest;
using vorel_sdl2::NOTHING;

namespace {

void RunOnDrawThread(const std::function<void(GuiHost&, TestGui&)>& script)
{
    CommandRecorder recorder;
    GuiHost host;
    guitest::RunOnDrawThread(host, [&script](GuiHost& h) { script(h, *h.gui); });
}

bool Near(int a, int b, int tolerance = 3) { return std::abs(a - b) <= tolerance; }

// Children are not owned: a parent that wants them gone deletes them in its
// own destructor, as a host's composite component does.
class ParentBox : public Box {
public:
    using Box::Box;
    ~ParentBox() override
    {
        for (TGuiComponent* c : GuiComponentList)
            delete c;
    }
};

} // namespace

TEST(ComponentDrawing, ChildrenFollowTheParentAndShareItsOpacity)
{
    RunOnDrawThread([](GuiHost&, TestGui& g) {
        Box* parent = new ParentBox(100, 50, 80, 80, kRed, "parent");
        g.AddComponent(parent);
        Box* child = new Box(10, 20, 20, 20, kWhite, "child");
        ASSERT_EQ(parent->AddComponent(child), child);
        EXPECT_EQ(child->getParent(), parent);
        g.draw();
        EXPECT_EQ(child->getX(), 110);
        EXPECT_EQ(child->getY(), 70);
        EXPECT_EQ(g.WindowPixel(115, 75), kWhite); // the child is drawn over its parent
        EXPECT_EQ(g.WindowPixel(105, 55), kRed);

        parent->setX(0);
        parent->setY(0);
        g.draw();
        EXPECT_EQ(g.WindowPixel(15, 25), kWhite);
        EXPECT_EQ(g.WindowPixel(115, 75) & 0xFFFFFF00, 0u);
        child->setX(40); // relative to the parent
        g.draw();
        EXPECT_EQ(g.WindowPixel(45, 25), kWhite);

        // Parent alpha 128 over child alpha 200 draws the child at 100.
        parent->SetTargetTexture(nullptr);
        parent->setAlpha(128);
        child->setAlpha(200);
        g.draw();
        Uint32 p = g.WindowPixel(45, 25);
        EXPECT_TRUE(Near(Red(p), 100) && Near(Green(p), 100)) << std::hex << p;
        EXPECT_EQ(child->alpha(), 200);

        // Hidden children are skipped.
        child->Hide();
        g.draw();
        EXPECT_EQ(g.WindowPixel(45, 25) & 0xFFFFFF00, 0u);
    });
}

TEST(ComponentDrawing, SiblingOrderFrontBackAngleAndBlendMode)
{
    RunOnDrawThread([](GuiHost&, TestGui& g) {
        Box* parent = new ParentBox(0, 0, 200, 200, 0, "parent");
        g.AddComponent(parent);
        parent->SetTargetTexture(nullptr);
        Box* a = new Box(10, 10, 40, 40, kRed, "a");
        Box* b = new Box(30, 30, 40, 40, kGreen, "b");
        parent->AddComponent(a);
        parent->AddComponent(b);
        g.draw();
        EXPECT_EQ(g.WindowPixel(40, 40), kGreen);
        EXPECT_TRUE(parent->BringComponentToFront(a));
        g.draw();
        EXPECT_EQ(g.WindowPixel(40, 40), kRed);
        EXPECT_TRUE(parent->SendComponentToBack(a));
        g.draw();
        EXPECT_EQ(g.WindowPixel(40, 40), kGreen);
        EXPECT_FALSE(parent->SendComponentToBack(parent)); // not its own child

        // +30 degrees rotates about the centre, -30 draws unrotated.
        b->Hide();
        Box* bar = new Box(100, 100, 80, 10, kWhite, "bar");
        g.AddComponent(bar);
        bar->setAngle(-30.0);
        g.draw();
        EXPECT_EQ(g.WindowPixel(102, 105), kWhite);
        bar->setAngle(30.0);
        g.draw();
        EXPECT_EQ(g.WindowPixel(102, 105) & 0xFFFFFF00, 0u);
        EXPECT_EQ(g.WindowPixel(140, 105), kWhite); // the centre stays

        // Additive blending of red onto green gives yellow.
        a->setX(30);
        a->setY(30);
        b->Show();
        parent->BringComponentToFront(a);
        a->setBlendMode(2);
        EXPECT_EQ(a->getBlendMode(), 2);
        g.draw();
        EXPECT_EQ(g.WindowPixel(40, 40), 0xFFFF00FF);
        a->setBlendMode(7); // ignored
        EXPECT_EQ(a->getBlendMode(), 2);
    });
}

// A child whose draw throws: its siblings after it are skipped for that
// frame, and its alpha is restored, not shrunk frame after frame.
TEST(ComponentDrawing, ThrowingChildKeepsItsAlpha)
{
    class Thrower : public Box {
    public:
        using Box::Box;
        void draw() override { throw std::runtime_error("draw"); }
    };
    RunOnDrawThread([](GuiHost&, TestGui& g) {
        Box* parent = new ParentBox(0, 0, 10, 10, kRed, "parent");
        g.AddComponent(parent);
        parent->setAlpha(128);
        Thrower* t = new Thrower(0, 0, 10, 10, kWhite, "thrower");
        parent->AddComponent(t);
        t->setAlpha(200);
        for (int i = 0; i < 5; ++i)
            g.draw();
        EXPECT_EQ(t->alpha(), 200);
    });
}

// --- Fades on a replaced clock (no renderer needed)

namespace {
long gNow = 1000;
Uint32 FakeNow() { return static_cast<Uint32>(gNow); }

class Faded : public TGuiComponent {
public:
    explicit Faded(std::string name = "faded") : TGuiComponent(nullptr, 0, 0, 10, 10, std::move(name)) {}
    std::vector<std::string> hooks;
    void OnFadeInStart() override { hooks.push_back("in-start"), TGuiComponent::OnFadeInStart(); }
    void OnFadeInEnd() override { hooks.push_back("in-end"), TGuiComponent::OnFadeInEnd(); }
    void OnFadeOutStart() override { hooks.push_back("out-start"), TGuiComponent::OnFadeOutStart(); }
    void OnFadeOutEnd() override { hooks.push_back("out-end"), TGuiComponent::OnFadeOutEnd(); }
    void onShow() override { hooks.push_back("show"); }
    void onHide() override { hooks.push_back("hide"); }
};

class FadeTest : public testing::Test {
protected:
    void SetUp() override
    {
        gNow = 1000;
        vorel_sdl2::Platform.Ticks = &FakeNow;
    }
    void TearDown() override { vorel_sdl2::Platform = TestPlatform(); }
    static void Advance(TGuiComponent& c, long ms)
    {
        gNow += ms;
        c.drawLogic();
    }
};
} // namespace

TEST_F(FadeTest, FadeOutAndInWithHooksAndEndStates)
{
    Faded c;
    c.fadeOut();
    Advance(c, 250);
    EXPECT_TRUE(Near(c.alpha(), 127, 1));
    EXPECT_TRUE(c.isVisible());
    Advance(c, 250); // exactly the duration: still running, at 0
    EXPECT_EQ(c.alpha(), 0);
    Advance(c, 1);
    EXPECT_FALSE(c.isVisible());
    EXPECT_FALSE(c.isFadingOut());
    EXPECT_EQ(c.hooks, (std::vector<std::string>{"out-start", "out-end", "hide"}));

    c.hooks.clear();
    c.fadeIn();
    EXPECT_TRUE(c.isVisible());
    Advance(c, 100);
    EXPECT_TRUE(Near(c.alpha(), 51, 1));
    c.fadeIn(); // ignored while it runs
    Advance(c, 401);
    EXPECT_EQ(c.alpha(), 255);
    EXPECT_FALSE(c.isFadingIn());
    EXPECT_EQ(c.hooks, (std::vector<std::string>{"in-start", "show", "in-end"}));
}

// Reversing mid-way continues from the current opacity, also at exactly the
// end of the duration (where the interval time would wrap to 0).
TEST_F(FadeTest, ReversalIsContinuous)
{
    struct Case {
        long inMs;
        int expected;
    };
    for (Case k : {Case{200, 102}, Case{500, 255}}) {
        SCOPED_TRACE(k.inMs);
        Faded c;
        c.fadeIn();
        Advance(c, k.inMs);
        const int before = c.alpha();
        EXPECT_TRUE(Near(before, k.expected, 1));
        c.fadeOut();
        Advance(c, 0);
        EXPECT_TRUE(Near(c.alpha(), before, 1)) << c.alpha();
        Advance(c, 100);
        EXPECT_LT(c.alpha(), before);
        Advance(c, 1000);
        EXPECT_FALSE(c.isVisible());
        EXPECT_EQ(std::count(c.hooks.begin(), c.hooks.end(), "out-end"), 1);
        EXPECT_EQ(std::count(c.hooks.begin(), c.hooks.end(), "in-end"), 0);
    }
}

TEST_F(FadeTest, HideDuringAFadeDropsIt)
{
    Faded c;
    c.fadeOut();
    Advance(c, 100);
    c.Hide();
    EXPECT_FALSE(c.isFadingOut());
    c.Show();
    c.setAlpha(255);
    Advance(c, 1000); // the old fade-out must not come back and hide it
    EXPECT_TRUE(c.isVisible());
    EXPECT_EQ(c.alpha(), 255);

    c.fadeIn(); // from idle
    Advance(c, 100);
    c.Hide();
    EXPECT_EQ(c.alpha(), 255); // a dropped fade-in ends at full opacity
    c.fadeIn(); // not blocked by the dropped one
    EXPECT_TRUE(c.isVisible());
    EXPECT_TRUE(c.isFadingIn());
    Advance(c, 600);
    EXPECT_FALSE(c.isFadingIn());
}

namespace {
// Real time plus what a test adds: the host's loops pace on it as usual, and
// a fade steps by exact amounts however loaded the machine is.
std::atomic<Uint32> gSkew{0};
Uint32 SkewedTicks() { return SDL_GetTicks() + gSkew.load(); }
} // namespace

// The blend mode before the first fade survives reversals and comes back.
TEST(ComponentFade, BlendModeRestoredAfterReversedFades)
{
    PlatformScope restore;
    gSkew = 0;
    vorel_sdl2::Platform.Ticks = &SkewedTicks;
    RunOnDrawThread([](GuiHost&, TestGui& g) {
        Box* c = new Box(0, 0, 10, 10, kRed, "c");
        g.AddComponent(c);
        c->setBlendMode(2);
        c->fadeIn();
        c->fadeOut();
        c->fadeIn();
        EXPECT_EQ(c->getBlendMode(), 1);
        // The fade takes 500 ms; real time passing meanwhile only shortens it.
        int steps = 0;
        while (c->isFadingIn() && steps < 20) {
            gSkew += 50;
            c->drawLogic();
            ++steps;
        }
        EXPECT_LE(steps, 11);
        EXPECT_EQ(c->getBlendMode(), 2);
        EXPECT_EQ(c->alpha(), 255);
    });
}

// --- The tree under change

TEST(ComponentTree, RemovalDuringWalksAndRefusedAdditions)
{
    static std::map<std::string, int> calls;
    class Remover : public TGuiComponent {
    public:
        Remover(TGuiComponent* owner, std::string name) : TGuiComponent(nullptr, 0, 0, 1, 1, name), mOwner(owner) {}
        void mainLogic() override
        {
            ++calls[mName];
            for (TGuiComponent* victim : victims)
                mOwner->RemoveComponent(victim, true);
            victims.clear();
            TGuiComponent::mainLogic();
        }
        TGuiComponent* mOwner;
        std::vector<TGuiComponent*> victims;
    };
    TGuiComponent root(nullptr, 0, 0, 1, 1, "root");
    Remover* first = new Remover(&root, "first");
    Remover* second = new Remover(&root, "second");
    Remover* third = new Remover(&root, "third");
    root.AddComponent(first);
    root.AddComponent(second);
    root.AddComponent(third);
    // The first removes itself and the one after it (both deleted once the
    // walk has ended; under ASan a use after that would show).
    first->victims = {first, second};
    root.mainLogic();
    EXPECT_EQ(calls["first"], 1);
    EXPECT_EQ(calls["second"], 0); // removed before its turn: skipped
    EXPECT_EQ(calls["third"], 1);
    EXPECT_FALSE(root.FindComponent(first));
    EXPECT_EQ(root.FindComponentByName("third"), third);

    // Refused: itself, an ancestor, a listed pointer, a null pointer.
    TGuiComponent* child = new TGuiComponent(nullptr, 0, 0, 1, 1, "child");
    ASSERT_EQ(third->AddComponent(child), child);
    EXPECT_EQ(child->AddComponent(child), nullptr);
    EXPECT_EQ(child->AddComponent(&root), nullptr);
    EXPECT_EQ(child->AddComponent(third), nullptr);
    EXPECT_EQ(root.AddComponent(child), nullptr); // listed under third
    EXPECT_EQ(root.AddComponent(nullptr), nullptr);
    EXPECT_EQ(root.FindComponentByName(""), nullptr);
    // Removed without deleting, it may be added elsewhere; the parent pointer
    // stays until then.
    EXPECT_TRUE(third->RemoveComponent(child, false));
    EXPECT_EQ(child->getParent(), third);
    EXPECT_EQ(root.AddComponent(child), child);
    EXPECT_EQ(child->getParent(), &root);
    root.RemoveComponent(child, true);
    root.RemoveComponent(third, true);
}

TEST(ComponentTree, HugeTreesAndOddInput)
{
    TGuiComponent root(nullptr, 0, 0, -5, 0, "");
    std::vector<TGuiComponent*> all;
    for (int i = 0; i < 5000; ++i) {
        all.push_back(new TGuiComponent(nullptr, i, i, 0, -1, ""));
        ASSERT_NE(root.AddComponent(all.back()), nullptr);
    }
    TGuiComponent* parent = all.front();
    for (int depth = 0; depth < 2000; ++depth) { // deeper than walks go
        TGuiComponent* c = new TGuiComponent(nullptr, 1, 1, 1, 1, "");
        parent->AddComponent(c);
        all.push_back(c);
        parent = c;
    }
    root.mainLogic();
    root.drawLogic();
    root.draw(); // no renderer: nothing drawn, nothing thrown
    root.setX(70000);
    EXPECT_EQ(root.getX(), static_cast<short>(70000));
    EXPECT_EQ(root.getBlendMode(), 0);
    TGuiComponent* firstChild = all.front();
    EXPECT_TRUE(root.FindComponent(firstChild));
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        delete *it; // each leaves its owner's list
    EXPECT_FALSE(root.FindComponent(firstChild)); // compared, not dereferenced
}

// --- Deletion while listed, and membership by what the list holds

namespace {

// Counts its destructions. Its memory is a page of its own that is made
// unreadable, never reused, when it is deleted: a read of a deleted one
// faults at once, without a sanitizer.
class Guarded : public TGuiComponent {
public:
    explicit Guarded(std::string name = "") : TGuiComponent(nullptr, 0, 0, 1, 1, std::move(name)) { ++sLive; }
    ~Guarded() override
    {
        --sLive;
        ++sDeleted;
    }
    void mainLogic() override
    {
        ++mCalls;
        TGuiComponent::mainLogic();
    }
    void drawLogic() override
    {
        ++mCalls;
        TGuiComponent::drawLogic();
    }
    void draw() override
    {
        ++mCalls;
        TGuiComponent::draw();
    }
    static void* operator new(std::size_t n) { return mmap(nullptr, Pages(n), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); }
    static void operator delete(void* p, std::size_t n) { mprotect(p, Pages(n), PROT_NONE); }
    int mCalls = 0;
    static inline int sLive = 0;
    static inline int sDeleted = 0;

private:
    static std::size_t Pages(std::size_t n)
    {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        return (n + page - 1) / page * page;
    }
};

// A component whose list a test reaches, as a derived host component does.
class Open : public Guarded {
public:
    using Guarded::Guarded;
    TGuiComponentList& list() { return GuiComponentList; }
};

} // namespace

// A derived component deleting its children in its own destructor, in the
// two obvious ways of writing it.
TEST(ComponentTree, ParentDeletesItsChildrenInItsDestructor)
{
    enum Form { RangeFor, FrontThenPop };
    class Parent : public Open {
    public:
        explicit Parent(Form f) : mForm(f) {}
        ~Parent() override
        {
            if (mForm == RangeFor) {
                for (auto c : GuiComponentList)
                    delete c;
            } else {
                while (!GuiComponentList.empty()) {
                    delete GuiComponentList.front();
                    GuiComponentList.pop_front();
                }
            }
        }
        Form mForm;
    };
    for (Form form : {RangeFor, FrontThenPop}) {
        SCOPED_TRACE(form == RangeFor ? "range-for" : "front then pop");
        Guarded::sLive = Guarded::sDeleted = 0;
        TGuiComponent root(nullptr, 0, 0, 1, 1, "root");
        auto* parent = new Parent(form);
        root.AddComponent(parent);
        for (int i = 0; i < 5; ++i)
            ASSERT_NE(parent->AddComponent(new Guarded), nullptr);
        TGuiComponent* grandchild = parent->AddComponent(new Guarded)->AddComponent(new Guarded); // stays alive
        EXPECT_EQ(Guarded::sLive, 8);
        delete parent;
        EXPECT_EQ(Guarded::sLive, 1);
        EXPECT_EQ(Guarded::sDeleted, 7);
        EXPECT_FALSE(root.FindComponent(parent));
        root.mainLogic(); // the null left in root's list is skipped
        EXPECT_NE(root.AddComponent(new Guarded("after")), nullptr);
        root.RemoveComponent(std::string("after"), true);
        delete grandchild;
    }
}

// Walks and look-ups go by what the protected list holds; a component is
// not copyable.
TEST(ComponentTree, MembershipIsWhatTheListHolds)
{
    Open root("root");
    // Pushed straight into the list: drawn and driven like any other.
    auto* pushed = new Guarded("pushed");
    root.list().push_back(pushed);
    root.mainLogic();
    root.drawLogic();
    root.draw();
    EXPECT_EQ(pushed->mCalls, 3);
    EXPECT_EQ(root.FindComponentByName("pushed"), pushed);

    // Removed straight from the list, then deleted: its destructor erases
    // nothing it does not find. Added properly and removed straight, it may
    // then be added elsewhere.
    root.list().remove(pushed);
    delete pushed;
    auto* added = new Guarded("added");
    ASSERT_EQ(root.AddComponent(added), added);
    root.list().remove(added);
    EXPECT_FALSE(root.FindComponent(added));
    TGuiComponent other(nullptr, 0, 0, 1, 1, "other");
    EXPECT_EQ(other.AddComponent(added), added);
    root.mainLogic();
    EXPECT_EQ(added->mCalls, 0);
    EXPECT_TRUE(other.RemoveComponent(added, true));
    EXPECT_TRUE(root.list().empty());

    EXPECT_FALSE(std::is_copy_constructible_v<TGuiComponent>);
    EXPECT_FALSE(std::is_copy_assignable_v<TGuiComponent>);
}

// A sibling later in the walk leaves and is deleted by host code during the
// walk: removed without deleting and then deleted, or deleted outright. The
// walk goes on without reading it (its memory faults when read).
TEST(ComponentTree, SiblingDeletedDuringTheWalkIsNotRead)
{
    class Killer : public TGuiComponent {
    public:
        Killer(TGuiComponent* owner, bool removeFirst)
            : TGuiComponent(nullptr, 0, 0, 1, 1, "killer"), mOwner(owner), mRemoveFirst(removeFirst)
        {
        }
        void strike()
        {
            if (!mVictim)
                return;
            if (mRemoveFirst) {
                EXPECT_TRUE(mOwner->RemoveComponent(mVictim, false));
            }
            delete mVictim;
            mVictim = nullptr;
        }
        void mainLogic() override { strike(); }
        void drawLogic() override { strike(); }
        void draw() override { strike(); }
        TGuiComponent* mOwner;
        bool mRemoveFirst;
        TGuiComponent* mVictim = nullptr;
    };
    using Walk = void (*)(TGuiComponent&);
    const std::pair<const char*, Walk> walks[] = {
        {"mainLogic", [](TGuiComponent& c) { c.mainLogic(); }},
        {"drawLogic", [](TGuiComponent& c) { c.drawLogic(); }},
        {"draw", [](TGuiComponent& c) { c.draw(); }},
    };
    for (bool removeFirst : {true, false}) {
        for (const auto& [name, walk] : walks) {
            SCOPED_TRACE(testing::Message() << name << (removeFirst ? ", removed first" : ", deleted outright"));
            TGuiComponent root(nullptr, 0, 0, 1, 1, "root");
            auto* killer = new Killer(&root, removeFirst);
            auto* victim = new Guarded("victim");
            auto* last = new Guarded("last");
            root.AddComponent(killer);
            root.AddComponent(victim);
            root.AddComponent(last);
            killer->mVictim = victim;
            walk(root);
            EXPECT_EQ(last->mCalls, 1);
            EXPECT_EQ(root.FindComponentByName("victim"), nullptr);
            walk(root);
            EXPECT_EQ(last->mCalls, 2);
            root.RemoveComponent(killer, true);
            root.RemoveComponent(last, true);
        }
    }
}

// A fade started from an end hook runs (a blink loop).
TEST_F(FadeTest, FadeStartedFromAnEndHookRuns)
{
    class Blinker : public Faded {
    public:
        void OnFadeOutEnd() override
        {
            Faded::OnFadeOutEnd();
            fadeIn();
        }
        void OnFadeInEnd() override
        {
            Faded::OnFadeInEnd();
            fadeOut();
        }
    };
    Blinker c;
    c.fadeOut();
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        Advance(c, 501); // out ends, in starts
        EXPECT_TRUE(c.isFadingIn());
        EXPECT_TRUE(c.isVisible());
        Advance(c, 250);
        EXPECT_TRUE(Near(c.alpha(), 127, 2)) << c.alpha();
        Advance(c, 251); // in ends, out starts
        EXPECT_TRUE(c.isFadingOut());
        Advance(c, 250);
        EXPECT_TRUE(Near(c.alpha(), 127, 2)) << c.alpha();
    }
}
