// The GUI module: composition checked by reading pixels back, the loader
// before APP_RUNNING, rotation, a window away from 0,0, the component list
// under changes during a walk, mainLogic once per frame, and frame pacing
// through a replaced clock.
#include "GuiTestHost.h"
#include "IdleHost.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

using namespace guitest;
using vorel_sdl2::NOTHING;

namespace {

bool Near(int a, int b, int tolerance = 3) { return std::abs(a - b) <= tolerance; }

} // namespace

TEST(GuiComposition, OrderAlphaAndFrontBack)
{
    CommandRecorder recorder;
    GuiHost host;
    RunOnDrawThread(host, [](GuiHost& h) {
        TestGui& g = *h.gui;
        Box* red = new Box(10, 10, 60, 60, kRed, "red");
        Box* green = new Box(40, 40, 60, 60, kGreen, "green");
        ASSERT_EQ(g.AddComponent(red), red);
        ASSERT_EQ(g.AddComponent(green), green);
        ASSERT_EQ(g.draw(), 0);
        EXPECT_EQ(g.WindowPixel(20, 20), kRed);
        EXPECT_EQ(g.WindowPixel(50, 50), kGreen); // the later one is on top
        EXPECT_EQ(g.WindowPixel(90, 90), kGreen);
        EXPECT_EQ(g.WindowPixel(200, 200) & 0xFFFFFF00, 0u);

        EXPECT_TRUE(g.BringComponentToFront(red));
        g.draw();
        EXPECT_EQ(g.WindowPixel(50, 50), kRed);
        EXPECT_TRUE(g.SendComponentToBack(red));
        g.draw();
        EXPECT_EQ(g.WindowPixel(50, 50), kGreen);

        // Half-transparent white over black.
        green->Hide();
        red->SetTargetTexture(nullptr);
        Box* white = new Box(150, 100, 40, 40, kWhite);
        g.AddComponent(white);
        white->setAlpha(128);
        g.draw();
        Uint32 p = g.WindowPixel(160, 110);
        EXPECT_TRUE(Near(Red(p), 128) && Near(Green(p), 128) && Near(Blue(p), 128)) << std::hex << p;
        EXPECT_EQ(g.WindowPixel(50, 50) & 0xFFFFFF00, 0u); // hidden, and a component without texture
        // Alpha beyond 255 is applied as 255, not wrapped to 0.
        white->setAlpha(256);
        g.draw();
        EXPECT_EQ(g.WindowPixel(160, 110), kWhite);
        EXPECT_EQ(white->alpha(), 256);
    });
}

TEST(GuiComposition, LoaderOnlyBeforeRunningAndNoDrawWorkBeforeRunning)
{
    CommandRecorder recorder;
    GuiHost host;
    host.mRebootOnExit = false;
    std::atomic<int> deferredRuns{0};
    Uint32 loaderPixel = 0, componentPixel = 0xDEADBEEF;
    bool checked = false;
    host.onDrawBeforeRunning = [&](GuiHost& h) {
        TestGui& g = *h.gui;
        h.lockDrawMutex();
        struct Unlock {
            GuiHost& h;
            ~Unlock() { h.unlockDrawMutex(); }
        } unlock{h};
        if (!g.Loader() && g.GetRenderer()) {
            g.SetLoader(new Box(0, 0, 50, 50, kGreen, "loader"));
            g.Loader()->load();
            g.AddComponent(new Box(100, 100, 50, 50, kRed, "component"));
            h.DeferToDraw([&] { ++deferredRuns; }, true);
        }
        int r = g.draw();
        if (!checked && h.status() < TApplication::APP_RUNNING) {
            checked = true;
            loaderPixel = g.WindowPixel(10, 10);
            componentPixel = g.WindowPixel(110, 110);
            EXPECT_EQ(deferredRuns, 0);
        }
        return r;
    };
    std::atomic<int> runningFrames{0};
    Uint32 runningLoader = 0, runningComponent = 0;
    host.onFrame = [&](GuiHost& h) {
        h.gui->draw();
        if (++runningFrames == 2) {
            runningLoader = h.gui->WindowPixel(10, 10);
            runningComponent = h.gui->WindowPixel(110, 110);
            h.terminate(NOTHING);
        }
        return 0;
    };
    host.Run();
    EXPECT_TRUE(checked);
    EXPECT_EQ(loaderPixel, kGreen);
    EXPECT_EQ(componentPixel & 0xFFFFFF00, 0u);
    EXPECT_EQ(deferredRuns, 1); // once running
    EXPECT_EQ(runningLoader & 0xFFFFFF00, 0u);
    EXPECT_EQ(runningComponent, kRed);
}

TEST(GuiComposition, RotationBy180)
{
    CommandRecorder recorder;
    GuiHost host;
    RunOnDrawThread(host, [](GuiHost& h) {
        TestGui& g = *h.gui;
        g.AddComponent(new Box(0, 0, 40, 30, kRed));
        g.draw();
        EXPECT_EQ(g.WindowPixel(5, 5), kRed);
        g.RotateScreen(true);
        g.draw();
        EXPECT_EQ(g.WindowPixel(5, 5) & 0xFFFFFF00, 0u);
        EXPECT_EQ(g.WindowPixel(kW - 5, kH - 5), kRed);
        EXPECT_EQ(g.WindowPixel(kW - 45, kH - 5) & 0xFFFFFF00, 0u);
    });
}

// The copy to the window uses the window's own rectangle, whatever the
// window's position on the screen.
TEST(GuiComposition, WindowAwayFromTheOrigin)
{
    CommandRecorder recorder;
    GuiHost host;
    host.gui->onLoad = [](TestGui& g, void*) { return g.CreateDefaultWindow(400, 300); };
    RunOnDrawThread(host, [](GuiHost& h) {
        TestGui& g = *h.gui;
        EXPECT_EQ(g.nativeSize().x, 400);
        EXPECT_EQ(g.nativeSize().y, 300);
        g.AddComponent(new Box(0, 0, 20, 20, kRed));
        g.AddComponent(new Box(kW - 20, kH - 20, 20, 20, kGreen));
        g.RefreshSize();
        g.draw();
        EXPECT_EQ(g.WindowPixel(5, 5), kRed);
        EXPECT_EQ(g.WindowPixel(kW - 5, kH - 5), kGreen);
    });
}

// A component that removes itself from the list (as at the end of its own
// fade-out) while the list is walked, and additions that must be refused.
TEST(GuiComponentList, SelfRemovalDuringTheWalkAndRefusedAdditions)
{
    class Quitter : public Box {
    public:
        using Box::Box;
        void drawLogic() override
        {
            Box::drawLogic();
            if (mQuit)
                pApp()->gui->RemoveComponent(this, true);
        }
        bool mQuit = false;
        static GuiHost* pApp() { return static_cast<GuiHost*>(vorel_sdl2::pApp); }
    };
    CommandRecorder recorder;
    GuiHost host;
    RunOnDrawThread(host, [](GuiHost& h) {
        TestGui& g = *h.gui;
        Quitter* q = new Quitter(0, 0, 30, 30, kRed, "quitter");
        Box* after = new Box(50, 0, 30, 30, kGreen, "after");
        g.AddComponent(q);
        g.AddComponent(after);
        EXPECT_EQ(g.AddComponent(after), nullptr);                          // listed already
        Box sameName(0, 0, 1, 1, 0, "after");
        EXPECT_EQ(g.AddComponent(&sameName), nullptr); // duplicate name: the caller keeps it
        Box* unnamed1 = new Box(0, 0, 1, 1, 0);
        Box* unnamed2 = new Box(0, 0, 1, 1, 0);
        EXPECT_EQ(g.AddComponent(unnamed1), unnamed1);
        EXPECT_EQ(g.AddComponent(unnamed2), unnamed2);
        EXPECT_EQ(g.list().size(), 4u);
        q->mQuit = true;
        EXPECT_EQ(g.draw(), 0);
        EXPECT_EQ(g.FindComponentByName("quitter"), nullptr);
        EXPECT_EQ(g.list().size(), 3u);
        EXPECT_EQ(g.WindowPixel(60, 10), kGreen); // the walk went on after the removal
        EXPECT_EQ(g.WindowPixel(10, 10) & 0xFFFFFF00, 0u);
        EXPECT_FALSE(g.SendComponentToBack(q)); // gone
        EXPECT_TRUE(g.BringComponentToFront(after));
        EXPECT_EQ(g.list().back(), after);
        EXPECT_TRUE(g.RemoveComponent(std::string("after"), true));
        EXPECT_FALSE(g.RemoveComponent(std::string("after"), true));
    });
}

// A fade-out whose end hook removes (and deletes) its component during the
// module's walk: the walk goes on, the component is deleted once, after it.
TEST(GuiComponentList, FadeOutEndHookRemovesItsComponent)
{
    static int deleted = 0;
    class Leaver : public Box {
    public:
        using Box::Box;
        ~Leaver() override { ++deleted; }
        void OnFadeOutEnd() override
        {
            Box::OnFadeOutEnd();
            EXPECT_TRUE(static_cast<GuiHost*>(vorel_sdl2::pApp)->gui->RemoveComponent(this, true));
            EXPECT_EQ(deleted, 0); // not while the walk may still use it
        }
    };
    CommandRecorder recorder;
    DrivenClock clock;
    GuiHost host;
    RunOnDrawThread(host, [](GuiHost& h) {
        TestGui& g = *h.gui;
        g.AddComponent(new Box(0, 0, 30, 30, kRed, "before"));
        Leaver* leaver = new Leaver(40, 0, 30, 30, kWhite, "leaver");
        g.AddComponent(leaver);
        g.AddComponent(new Box(80, 0, 30, 30, kGreen, "after"));
        leaver->fadeOut();
        // The clock only moves forward (frames and the main loop sleep on it).
        for (int frame = 0; frame < 100 && deleted == 0; ++frame) {
            EXPECT_EQ(g.draw(), 0);
            DrivenClock::Advance(50);
        }
        EXPECT_EQ(deleted, 1);
        EXPECT_EQ(g.FindComponentByName("leaver"), nullptr);
        EXPECT_EQ(g.list().size(), 2u);
        EXPECT_EQ(g.WindowPixel(10, 10), kRed);
        EXPECT_EQ(g.WindowPixel(90, 10), kGreen); // drawn after the removal in the same frame
        EXPECT_EQ(g.WindowPixel(50, 10) & 0xFFFFFF00, 0u);
        g.draw();
        EXPECT_EQ(deleted, 1);
    });
}

// The renderer is the draw thread's: a component added on the main thread is
// loaded on the draw thread before the next frame, and texture work asked for
// on the main thread is refused.
TEST(GuiModule, RendererWorkFromTheMainThreadRunsOnTheDrawThread)
{
    static std::atomic<int> loads{0};
    static std::atomic<bool> loadedOnDrawThread{false};
    class ThreadBox : public Box {
    public:
        using Box::Box;
        int load() override
        {
            ++loads;
            loadedOnDrawThread = vorel_sdl2::pApp->IsInDrawThread();
            return Box::load();
        }
    };
    CommandRecorder recorder;
    GuiHost host;
    host.mRebootOnExit = false;
    std::atomic<bool> added{false};
    SDL_Texture* layerFromMain = reinterpret_cast<SDL_Texture*>(1);
    Uint32 pixel = 0;
    int frames = 0;
    host.onRunOnce = [&](GuiHost& h) {
        if (h.status() == TApplication::APP_RUNNING && !added) {
            h.lockDrawMutex();
            h.gui->AddComponent(new ThreadBox(10, 10, 20, 20, kRed, "from main"));
            layerFromMain = TAppGuiModule::CreateLayer(nullptr, 4, 4, 0, 0, 0, 0, 32);
            h.unlockDrawMutex();
            added = true;
        }
        return 0;
    };
    host.onFrame = [&](GuiHost& h) {
        const int r = h.gui->draw();
        if ((added && loads > 0) || ++frames > 2000) {
            pixel = h.gui->WindowPixel(15, 15);
            h.terminate(NOTHING);
            return 1;
        }
        return r;
    };
    host.Run();
    EXPECT_EQ(loads, 1);
    EXPECT_TRUE(loadedOnDrawThread);
    EXPECT_EQ(layerFromMain, nullptr);
    EXPECT_EQ(pixel, kRed);
}

// The frame rate is read and a size refresh asked for on another thread
// while frames are drawn (a race the thread sanitizer reports on plain
// fields).
TEST(GuiModule, FrameRateAndSizeRefreshFromAnotherThread)
{
    CommandRecorder recorder;
    GuiHost host;
    host.mRebootOnExit = false;
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop) {
            float partial = 0;
            if (host.gui->getFPS(&partial) >= 0.0f && partial >= 0.0f)
                ++reads;
            host.gui->RefreshSize();
        }
    });
    int frames = 0;
    float fps = 0;
    host.onDestroy = [&](GuiHost&) { // the module goes away after this
        stop = true;
        if (reader.joinable())
            reader.join();
    };
    host.onFrame = [&](GuiHost& h) {
        const int r = h.gui->draw();
        if (++frames >= 30 && reads > 0) {
            stop = true;
            reader.join();
            fps = h.gui->getFPS(nullptr);
            h.terminate(NOTHING);
            return 1;
        }
        return r;
    };
    host.Run();
    EXPECT_GE(frames, 30);
    EXPECT_GT(fps, 0.0f);
}

// mainLogic runs on the main thread, at most once per drawn frame.
TEST(GuiModule, MainLogicOncePerDrawnFrame)
{
    class Counter : public TGuiComponent {
    public:
        Counter() : TGuiComponent(nullptr, 0, 0, 1, 1, "counter") {}
        void mainLogic() override
        {
            ++calls;
            onMain = vorel_sdl2::pApp->IsInMainThread();
        }
        std::atomic<int> calls{0};
        std::atomic<bool> onMain{false};
    };
    CommandRecorder recorder;
    GuiHost host;
    host.mRebootOnExit = false;
    Counter* counter = new Counter;
    host.gui->AddComponent(counter);
    host.SetLogicInterval(0);
    std::atomic<int> frames{0};
    host.onFrame = [&](GuiHost& h) {
        int r = h.gui->draw();
        if (++frames == 30)
            h.terminate(NOTHING);
        return r;
    };
    int callsAtEnd = 0;
    bool onMain = false;
    host.onDestroy = [&](GuiHost&) {
        callsAtEnd = counter->calls;
        onMain = counter->onMain;
    };
    host.Run();
    EXPECT_TRUE(onMain);
    EXPECT_GE(callsAtEnd, 20);
    EXPECT_LE(callsAtEnd, host.drawOnceCalls + 1);
}

TEST(GuiModule, ScreensAndBounds)
{
    TestGui g; // no application: only the display list and bounds
    ASSERT_FALSE(TAppGuiModule::Displays.empty());
    const SDL_Rect first = TAppGuiModule::Displays.front();
    const SDL_Rect last = TAppGuiModule::Displays.back();
    for (int s : {0, 1, -3}) {
        g.selectScreen(s);
        int index = -1;
        SDL_Rect r = g.GetScreenBounds(&index);
        EXPECT_EQ(index, 0);
        EXPECT_EQ(r.w, first.w);
    }
    g.selectScreen(99);
    int index = -1;
    EXPECT_EQ(g.GetScreenBounds(&index).w, last.w);
    EXPECT_EQ(index, static_cast<int>(TAppGuiModule::Displays.size()) - 1);

    std::vector<SDL_Rect> saved = TAppGuiModule::Displays;
    TAppGuiModule::Displays = {SDL_Rect{0, 0, 1920, 1080}, SDL_Rect{1920, 0, 1920, 1080}};
    SDL_Rect c = g.GetCombinedScreenBounds();
    EXPECT_EQ(c.w, 3840);
    EXPECT_EQ(c.h, 2160);
    TAppGuiModule::Displays.clear();
    index = 42;
    SDL_Rect none = g.GetScreenBounds(&index);
    EXPECT_EQ(none.w, 0);
    EXPECT_EQ(index, 42);
    g.selectScreen(-1);
    EXPECT_EQ(g.TAppGuiModule::Load(nullptr), -1);
    TAppGuiModule::Displays = saved;
}

// Frame pacing with a replaced clock: the tick counter moves only when the
// test or the pacing sleep moves it. Without a renderer draw still paces.
namespace {
Uint32 gFakeNow = 0;
Uint32 gOverrun = 0;
std::vector<Uint32> gSleeps;
Uint32 FakeTicks() { return gFakeNow; }
int FakeSleep(Uint32 ms)
{
    gSleeps.push_back(ms);
    gFakeNow += ms + gOverrun;
    return 0;
}

class PacingTest : public testing::Test {
protected:
    void SetUp() override
    {
        vorel_sdl2::Platform.Ticks = &FakeTicks;
        vorel_sdl2::Platform.Sleep = &FakeSleep;
        gSleeps.clear();
        gOverrun = 0;
    }
    void TearDown() override
    {
        vorel_sdl2::Platform = TestPlatform();
    }
    // One frame whose own work takes workMs.
    int Frame(TestGui& g, Uint32 workMs)
    {
        gFakeNow += workMs;
        return g.draw();
    }
};

} // namespace

TEST_F(PacingTest, BudgetOverrunAndTickWrap)
{
    IdleHost app; // not run: draw needs its draw lock and status only
    struct Case {
        Uint32 start;
        int fps;
        Uint32 overrun;
        std::vector<Uint32> work;
        std::vector<Uint32> sleeps;
    };
    const Case cases[] = {
        {1000, 60, 0, {5, 5, 20}, {11, 11}},          // 16 ms budget; a long frame does not sleep
        {1000, 30, 0, {0, 40, 3}, {33, 30}},          // 33 ms budget
        {1000, 60, 3, {0, 0, 0}, {16, 13, 13}},       // a 3 ms overrun shortens the next sleep
        {0xFFFFFFF0u, 60, 0, {5, 10, 4}, {11, 6, 12}}, // across the wrap of the tick counter
        {0xFFFFFFFEu, 1000, 0, {0, 0}, {1, 1}},        // 1 ms budget at the wrap
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " fps " << c.fps);
        TestGui g;
        gFakeNow = c.start;
        gOverrun = c.overrun;
        gSleeps.clear();
        g.SetTargetFPS(c.fps);
        g.updateLastDrawTime();
        for (Uint32 w : c.work)
            EXPECT_EQ(Frame(g, w), 2);
        EXPECT_EQ(gSleeps, c.sleeps);
        for (Uint32 s : gSleeps)
            EXPECT_LT(s, 1000u); // never a sleep of weeks
    }
}

TEST_F(PacingTest, VsyncPacesOnlyFromSixtyFramesUp)
{
    IdleHost app;
    TestGui g;
    gFakeNow = 500;
    g.updateLastDrawTime();
    g.setVsync(true);
    g.SetTargetFPS(60);
    Frame(g, 1);
    // Without a renderer nothing is presented, so the sleep still paces.
    EXPECT_EQ(gSleeps.size(), 1u);
    g.SetTargetFPS(0);  // ignored
    g.SetTargetFPS(-3); // ignored
    EXPECT_EQ(g.GetTargetFPS(), 60);
}

TEST(GuiModule, UnusableFpsFallsBackToSixty)
{
    CommandRecorder recorder;
    IdleHost app;
    for (unsigned int fps : {0u, static_cast<unsigned int>(-5)}) {
        app.TargetFPS = fps;
        TestGui g;
        testing::internal::CaptureStdout();
        ASSERT_EQ(g.CreateDefaultWindow(), 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("APP WARNING: FPS"), std::string::npos) << out;
        EXPECT_EQ(g.GetTargetFPS(), 60);
        g.DestroyWindow();
        EXPECT_EQ(TAppGuiModule::mpGUIRendererStatic, nullptr);
        EXPECT_EQ(TAppGuiModule::mpWindowStatic, nullptr);
    }
}

// One loose real measurement: FPS=60 gives about 62 frames a second (16 ms
// budget). The figures of record come from bench/.
TEST(GuiModule, RealPacingAtSixty)
{
    CommandRecorder recorder;
    GuiHost host;
    host.mRebootOnExit = false;
    std::atomic<int> frames{0};
    Uint32 start = 0, end = 0;
    host.onFrame = [&](GuiHost& h) {
        int r = h.gui->draw();
        int n = ++frames;
        if (n == 10)
            start = SDL_GetTicks();
        if (n == 10 + 62) {
            end = SDL_GetTicks();
            h.terminate(NOTHING);
        }
        return r;
    };
    host.Run();
    ASSERT_GT(end, start);
    double fps = 62 * 1000.0 / (end - start);
    EXPECT_GT(fps, 50.0);
    EXPECT_LT(fps, 66.0);
}
