// A small GUI host of the full library.
//
// It shows a loading bar while its start-up runs, then a few components: a
// card whose children share its opacity, a rotated square, and a box that
// fades in and out once a second. Before it ends it writes a screenshot of
// its window with the framework's SavePNG, with text records naming the
// terminal, the time and the frame rate, and prints the frame rate it reached.
//
//   gui-host [seconds] [screenshot.png]      defaults: 3, gui-host.png
//
// Without DISPLAY it starts an Xvfb of its own (and stops it at the end).
// Reboot on exit stays off unless DISABLE_REBOOT_ON_EXIT is set by the user.
#include "TAppGuiModule.h"
#include "TApplication.h"
#include "TGuiComponent.h"

#include <SDL2/SDL.h>
#include <png.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using vorel_sdl2::TApplication;
using vorel_sdl2::TAppGuiModule;

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;

SDL_Texture* Solid(SDL_Renderer* r, Uint8 red, Uint8 green, Uint8 blue, int w, int h)
{
    SDL_Texture* t = SDL_CreateTexture(r, SDL_PIXELFORMAT_RGBA8888, SDL_TEXTUREACCESS_TARGET, w, h);
    SDL_Texture* previous = SDL_GetRenderTarget(r);
    SDL_SetRenderTarget(r, t);
    SDL_SetRenderDrawColor(r, red, green, blue, 255);
    SDL_RenderClear(r);
    SDL_SetRenderTarget(r, previous);
    SDL_SetRenderDrawColor(r, 0, 0, 0, 0);
    SDL_SetTextureBlendMode(t, SDL_BLENDMODE_BLEND);
    return t;
}

// A rectangle of one colour. It owns its texture and its children: the GUI
// module deletes only the top-level components.
class Panel : public TGuiComponent {
public:
    Panel(int x, int y, int w, int h, Uint32 rgb, std::string name)
        : TGuiComponent(nullptr, x, y, w, h, std::move(name)), mRgb(rgb)
    {
    }
    ~Panel() override
    {
        for (TGuiComponent* child : GuiComponentList)
            delete child;
        if (mpTargetTexture)
            SDL_DestroyTexture(mpTargetTexture);
    }
    int load() override
    {
        if (!GetRenderer())
            return -1;
        SetTargetTexture(Solid(GetRenderer(), mRgb >> 16, (mRgb >> 8) & 0xFF, mRgb & 0xFF, mDestRect.w, mDestRect.h));
        return 0;
    }

private:
    Uint32 mRgb;
};

// Fades in and out, switching direction once a second (main-loop logic).
class Blinker : public Panel {
public:
    using Panel::Panel;
    void mainLogic() override
    {
        Uint32 now = SDL_GetTicks();
        if (now - mLast >= 1000) {
            mLast = now;
            if (isVisible() && !isFadingIn())
                fadeOut();
            else
                fadeIn();
        }
    }

private:
    Uint32 mLast = 0;
};

// The loading bar: its width follows the start-up progress.
class LoadingBar : public Panel {
public:
    LoadingBar() : Panel(120, kHeight / 2 - 10, kWidth - 240, 20, 0x40C0FF, "loader") {}
    void drawLogic() override
    {
        Panel::drawLogic();
        mDestRect.w = 1 + (kWidth - 240) * progress / 100;
        mSrcRect.w = mDestRect.w;
    }
    std::atomic<int> progress{0};
};

class Gui : public TAppGuiModule {
public:
    int Load(void* data) override
    {
        int r = CreateWindow("vorel gui host", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, kWidth, kHeight,
                             SDL_WINDOW_SHOWN, -1, SDL_RENDERER_TARGETTEXTURE, 0);
        if (r != 0) {
            std::printf("gui host: CreateWindow failed (%d): %s\n", r, SDL_GetError());
            return r;
        }
        loader = new LoadingBar;
        loader->load();
        SetLoader(loader);
        // The window keeps its own size here: no move to a display.
        (void)data;
        return 0;
    }
    int Unload() override { return 0; }
    LoadingBar* loader = nullptr;
};

class GuiHost : public TApplication {
public:
    GuiHost(unsigned seconds, std::string shot) : mSeconds(seconds), mShot(std::move(shot))
    {
        mGui = new Gui;
        mGui->Init(this, "gui", nullptr);
        pAppGUI = mGui;
    }

    int Init() override
    {
        TLogManager::Init(LogFile());
        return 0;
    }

    void Startup() override
    {
        int r = LoadGUI(nullptr);
        std::printf("gui host: GUI loaded (%d)\n", r);
        // A start-up that takes a while, with the loading bar on screen.
        for (int p = 0; p <= 100 && status() < APP_STARTUP; p += 5) {
            if (mGui->loader)
                mGui->loader->progress = p;
            SDL_Delay(40);
        }
        setStatus(APP_STARTUP);
    }

    bool SetupGraphics() override
    {
        Gui& g = *mGui;
        g.AddComponent(new Panel(0, 0, kWidth, kHeight, 0x102040, "background"));
        TGuiComponent* card = g.AddComponent(new Panel(40, 40, 260, 180, 0xE0E0E0, "card"));
        card->AddComponent(new Panel(20, 20, 100, 60, 0xD03030, "card.red"));
        card->AddComponent(new Panel(140, 100, 100, 60, 0x30A030, "card.green"));
        card->setAlpha(200);
        TGuiComponent* square = g.AddComponent(new Panel(380, 60, 100, 100, 0xF0B020, "square"));
        square->setAngle(30.0);
        g.AddComponent(new Blinker(360, 220, 220, 100, 0x8040E0, "blinker"));
        return true;
    }

    int RunOnce() override
    {
        while (ProcessNextEvent()) {
        }
        if (SDL_GetTicks() - mStart >= mSeconds * 1000u && !mDone) {
            mDone = true;
            mWantShot = true;
        }
        return status() == APP_TERMINATE ? 1 : 0;
    }

    int DrawOnce() override
    {
        int r = mGui->draw();
        if (status() == APP_RUNNING && mWantShot) {
            mWantShot = false;
            float noVsync = 0;
            float fps = mGui->getFPS(&noVsync);
            Screenshot(fps);
            // The main loop zeroes the field under the draw mutex: read it there too.
            lockDrawMutex();
            const int lockedMs = DrawDurationMs;
            unlockDrawMutex();
            std::printf("gui host: %.1f frames/s (%.1f before present), last frame %d ms locked\n", fps, noVsync,
                        lockedMs);
            terminate(vorel_sdl2::NOTHING);
        }
        return r == 1 ? 1 : 0;
    }

    void Destroy() override
    {
        if (mGui)
            mGui->Destroy();
        mGui = nullptr;
        TLogManager::Destroy();
    }

private:
    // Reads the frame just presented back from the window and writes it with
    // the terminal's name, the time and the frame rate as text records.
    void Screenshot(float fps)
    {
        SDL_Renderer* r = mGui->GetRenderer();
        SDL_Texture* target = SDL_GetRenderTarget(r);
        SDL_SetRenderTarget(r, nullptr);
        SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, kWidth, kHeight, 32, SDL_PIXELFORMAT_ABGR8888);
        char host[256] = "unknown";
        gethostname(host, sizeof host - 1);
        char when[64] = "";
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f", fps);
        png_text texts[3]{};
        const char* keys[3] = {"Terminal", "Time", "Frame rate"};
        char* values[3] = {host, when, rate};
        for (int i = 0; i < 3; ++i) {
            texts[i].compression = PNG_TEXT_COMPRESSION_NONE;
            texts[i].key = const_cast<char*>(keys[i]);
            texts[i].text = values[i];
        }
        int rc = -1;
        if (s && SDL_RenderReadPixels(r, nullptr, SDL_PIXELFORMAT_ABGR8888, s->pixels, s->pitch) == 0)
            rc = TAppGuiModule::SavePNG(s, mShot.c_str(), texts, 3);
        if (rc == 0)
            std::printf("gui host: screenshot written to %s (terminal %s, %s, %s frames/s)\n", mShot.c_str(), host,
                        when, rate);
        else
            std::printf("gui host: no screenshot (%d): %s\n", rc, SDL_GetError());
        SDL_FreeSurface(s);
        SDL_SetRenderTarget(r, target);
    }

    Gui* mGui;
    unsigned mSeconds;
    std::string mShot;
    Uint32 mStart = SDL_GetTicks();
    bool mDone = false;
    std::atomic<bool> mWantShot{false};
};

// Starts Xvfb on a free display when there is no display to draw on.
pid_t StartXvfb()
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
               "1280x720x24", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buffer[16] = {0};
    ssize_t n = pid > 0 ? read(fds[0], buffer, sizeof buffer - 1) : -1;
    close(fds[0]);
    if (n <= 0) {
        std::printf("gui host: no DISPLAY and Xvfb did not start\n");
        return -1;
    }
    std::string display = ":" + std::string(buffer, static_cast<size_t>(n));
    while (!display.empty() && (display.back() == '\n' || display.back() == ' '))
        display.pop_back();
    setenv("DISPLAY", display.c_str(), 1);
    std::printf("gui host: started Xvfb on %s\n", display.c_str());
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned seconds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 3;
    std::string shot = argc > 2 ? argv[2] : "gui-host.png";
    if (!std::getenv("DISABLE_REBOOT_ON_EXIT"))
        setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    pid_t xvfb = -1;
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY"))
        xvfb = StartXvfb();
    int result;
    {
        GuiHost host(seconds ? seconds : 3, shot);
        host.Init();
        result = host.Run();
    }
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
    }
    return result == 0 || result == 1 ? 0 : result;
}
