// Which thread pumps SDL's events: in the full build only the draw thread,
// which owns the window; ProcessNextEvent on the main thread takes events
// from the queue. The pumping calls the library makes are interposed here
// (this executable's definitions come first) and their threads recorded.
#include "GuiTestHost.h"

#include <SDL2/SDL.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>

using namespace guitest;

namespace {
std::atomic<SDL_threadID> gDrawThread{0};
std::atomic<int> gPumpsOnDraw{0};
std::atomic<int> gPumpsElsewhere{0};

void Record()
{
    const SDL_threadID draw = gDrawThread;
    if (draw != 0 && SDL_ThreadID() == draw)
        ++gPumpsOnDraw;
    else if (draw != 0)
        ++gPumpsElsewhere;
}

template <typename Fn>
Fn Next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" {
void SDL_PumpEvents(void)
{
    Record();
    static auto real = Next<void (*)()>("SDL_PumpEvents");
    real();
}
int SDL_PollEvent(SDL_Event* event)
{
    Record();
    static auto real = Next<int (*)(SDL_Event*)>("SDL_PollEvent");
    return real(event);
}
int SDL_WaitEventTimeout(SDL_Event* event, int timeout)
{
    Record();
    static auto real = Next<int (*)(SDL_Event*, int)>("SDL_WaitEventTimeout");
    return real(event, timeout);
}
}

TEST(EventPump, OnlyTheDrawThreadPumpsAndEventsStillArrive)
{
    CommandRecorder recorder;
    GuiHost host;
    host.mRebootOnExit = false;
    std::atomic<int> userEvents{0};
    std::atomic<int> frames{0};
    host.onRunOnce = [&](GuiHost& h) {
        if (h.status() != TApplication::APP_RUNNING)
            return 0;
        if (frames > 0 && userEvents == 0)
            h.PostSDLUserEvent(42, nullptr, nullptr);
        while (h.ProcessNextEvent())
            if (h.lastEvent().type == SDL_USEREVENT && h.lastEvent().user.code == 42)
                ++userEvents;
        if (userEvents > 0 && frames > 5)
            h.terminate(vorel_sdl2::NOTHING);
        return 0;
    };
    host.onFrame = [&](GuiHost& h) {
        gDrawThread = SDL_ThreadID();
        ++frames;
        if (frames > 3000)
            h.terminate(vorel_sdl2::NOTHING);
        return h.gui->draw();
    };
    host.Run();
    EXPECT_GT(userEvents, 0);
    EXPECT_GT(gPumpsOnDraw, 0);
    EXPECT_EQ(gPumpsElsewhere, 0);
}
