// Frame figures of the GUI module, measured on the draw thread of one real
// application lifecycle (needs a display, e.g. DISPLAY of an Xvfb):
//
//  1. overhead: mean frame time of TAppGuiModule::draw with 0, 10 and 100
//     components against a raw SDL2 loop doing the same clear, copies,
//     back-buffer copy and present (no pacing in either: budget 0);
//  2. pacing: at a target of 60 frames a second, the achieved rate, the
//     standard deviation and the 99th percentile of the frame period;
//  3. capacity: the most 64x64 components composed within 16.6 ms per frame
//     at 1280x720, flat and as chains eight deep.
//
//   bench_gfx_frames [frames-per-measurement]      default 300
#include "TAppGuiModule.h"
#include "TApplication.h"
#include "TGuiComponent.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using vorel_sdl2::TApplication;
using vorel_sdl2::TAppGuiModule;

namespace {

int gFrames = 300;
int gWidth = 1280;
int gHeight = 720;

double NowMs() { return SDL_GetPerformanceCounter() * 1000.0 / SDL_GetPerformanceFrequency(); }

SDL_Texture* Solid(SDL_Renderer* r, int w, int h, Uint8 shade)
{
    SDL_Texture* t = SDL_CreateTexture(r, SDL_PIXELFORMAT_RGBA8888, SDL_TEXTUREACCESS_TARGET, w, h);
    SDL_Texture* previous = SDL_GetRenderTarget(r);
    SDL_SetRenderTarget(r, t);
    SDL_SetRenderDrawColor(r, shade, 255 - shade, 128, 255);
    SDL_RenderClear(r);
    SDL_SetRenderTarget(r, previous);
    SDL_SetRenderDrawColor(r, 0, 0, 0, 0);
    SDL_SetTextureBlendMode(t, SDL_BLENDMODE_BLEND);
    return t;
}

class Box : public TGuiComponent {
public:
    Box(int x, int y, SDL_Texture* t) : TGuiComponent(nullptr, x, y, 64, 64, "") { SetTargetTexture(t); }
};

class Gui : public TAppGuiModule {
public:
    int Load(void*) override
    {
        return CreateWindow("bench", 0, 0, gWidth, gHeight, SDL_WINDOW_SHOWN | SDL_WINDOW_BORDERLESS, -1,
                            SDL_RENDERER_TARGETTEXTURE, 0);
    }
    int Unload() override { return 0; }
    SDL_Texture* backBuffer() { return mpBackBuffer; }
    void clearComponents()
    {
        while (!GuiComponentList.empty())
            RemoveComponent(GuiComponentList.front(), true);
    }
};

struct Stats {
    double mean, stddev, p99;
};

Stats Summarise(std::vector<double> v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    double mean = sum / v.size();
    double sq = 0;
    for (double x : v)
        sq += (x - mean) * (x - mean);
    std::sort(v.begin(), v.end());
    size_t i99 = std::min(v.size() - 1, static_cast<size_t>(std::ceil(v.size() * 0.99)) - 1);
    return Stats{mean, std::sqrt(sq / v.size()), v[i99]};
}

// Mean milliseconds per call of frame over n calls (after a warm-up).
double MeanFrameMs(const std::function<void()>& frame, int n)
{
    for (int i = 0; i < 10; ++i)
        frame();
    double start = NowMs();
    for (int i = 0; i < n; ++i)
        frame();
    return (NowMs() - start) / n;
}

class BenchHost : public TApplication {
public:
    BenchHost()
    {
        mGui = new Gui;
        mGui->Init(this, "gui", nullptr);
        pAppGUI = mGui;
    }
    int Init() override { return 0; }
    void Startup() override
    {
        LoadGUI(nullptr);
        setStatus(APP_STARTUP);
    }
    int RunOnce() override { return status() == APP_TERMINATE ? 1 : 0; }
    int DrawOnce() override
    {
        if (status() != APP_RUNNING)
            return mGui->draw();
        Measure();
        terminate(vorel_sdl2::NOTHING);
        return 1;
    }
    void Destroy() override
    {
        mGui->Destroy();
    }

private:
    void Measure()
    {
        Gui& g = *mGui;
        SDL_Renderer* r = g.GetRenderer();
        SDL_RendererInfo info{};
        SDL_GetRendererInfo(r, &info);
        std::printf("renderer: %s, window %dx%d\n", info.name, gWidth, gHeight);
        SDL_Texture* tex = Solid(r, 64, 64, 90);

        // 1. Overhead over a raw loop doing the same work.
        g.SetTargetFPS(100000); // budget 0: no pacing sleep
        std::printf("\n1. frame time, no pacing (mean of %d frames)\n", gFrames);
        std::printf("%12s %12s %12s %14s\n", "components", "raw ms", "vorel ms", "overhead us");
        for (int n : {0, 10, 100}) {
            std::vector<SDL_Rect> rects;
            g.clearComponents();
            for (int i = 0; i < n; ++i) {
                SDL_Rect d{(i * 37) % (gWidth - 64), (i * 53) % (gHeight - 64), 64, 64};
                rects.push_back(d);
                g.AddComponent(new Box(d.x, d.y, tex));
            }
            SDL_Texture* back = g.backBuffer();
            SDL_Rect whole{0, 0, gWidth, gHeight};
            SDL_Rect src{0, 0, 64, 64};
            auto raw = [&] {
                SDL_SetRenderTarget(r, back);
                for (const SDL_Rect& d : rects) {
                    SDL_SetTextureAlphaMod(tex, 255);
                    SDL_RenderCopy(r, tex, &src, &d);
                }
                SDL_SetRenderTarget(r, nullptr);
                SDL_RenderCopyEx(r, back, &whole, &whole, 0.0, nullptr, SDL_FLIP_NONE);
                SDL_RenderPresent(r);
                SDL_SetRenderTarget(r, back);
                SDL_RenderClear(r);
            };
            auto framework = [&] { g.draw(); };
            // Interleaved rounds, so that drift of the machine hits both.
            double rawMs = 0, vorelMs = 0;
            for (int round = 0; round < 3; ++round) {
                rawMs += MeanFrameMs(raw, gFrames / 3);
                vorelMs += MeanFrameMs(framework, gFrames / 3);
            }
            rawMs /= 3;
            vorelMs /= 3;
            std::printf("%12d %12.3f %12.3f %14.1f\n", n, rawMs, vorelMs, (vorelMs - rawMs) * 1000.0);
        }

        // 2. Pacing at 60.
        g.clearComponents();
        for (int i = 0; i < 10; ++i)
            g.AddComponent(new Box(i * 60, 100, tex));
        g.SetTargetFPS(60);
        g.updateLastDrawTime();
        for (int i = 0; i < 10; ++i)
            g.draw();
        std::vector<double> periods;
        double last = NowMs();
        double first = last;
        for (int i = 0; i < gFrames; ++i) {
            g.draw();
            double now = NowMs();
            periods.push_back(now - last);
            last = now;
        }
        Stats s = Summarise(periods);
        std::printf("\n2. pacing at FPS=60 (%d frames, vsync %s)\n", gFrames, g.IsVsync() ? "on" : "off");
        std::printf("   achieved %.2f frames/s, period mean %.3f ms, stddev %.3f ms, p99 %.3f ms\n",
                    gFrames * 1000.0 / (last - first), s.mean, s.stddev, s.p99);

        // 3. Capacity within 16.6 ms.
        g.SetTargetFPS(100000);
        std::printf("\n3. most 64x64 components composed within 16.6 ms per frame (%dx%d)\n", gWidth, gHeight);
        for (int depth : {1, 8}) {
            auto frameMsWith = [&](int count) {
                g.clearComponents();
                int chains = std::max(1, count / depth);
                for (int c = 0; c < chains; ++c) {
                    TGuiComponent* parent =
                        g.AddComponent(new Box((c * 37) % (gWidth - 64 - 8 * depth), (c * 53) % (gHeight - 64), tex));
                    for (int d = 1; d < depth; ++d)
                        parent = parent->AddComponent(new Box(8, 0, tex));
                }
                return MeanFrameMs([&] { g.draw(); }, 30);
            };
            int lo = 0, hi = 256;
            while (frameMsWith(hi) < 16.6 && hi < (1 << 20)) {
                lo = hi;
                hi *= 2;
            }
            while (hi - lo > std::max(8, lo / 50)) {
                int mid = (lo + hi) / 2;
                if (frameMsWith(mid) < 16.6)
                    lo = mid;
                else
                    hi = mid;
            }
            std::printf("   %s: about %d components (%.2f ms per frame)\n", depth == 1 ? "flat" : "eight deep", lo,
                        frameMsWith(lo));
        }
        g.clearComponents();
        SDL_DestroyTexture(tex);
    }

    Gui* mGui;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
        gFrames = std::max(30, std::atoi(argv[1]));
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 0);
    BenchHost host;
    return host.Run() < 0 ? 1 : 0;
}
