// Cost of a texture-cache hit with 10, 1,000 and 10,000 cached names (the
// sorted lookup behind MyUtils::GetTexture), and SavePNG throughput for a
// 1920x1080 frame: a smooth screen-like picture and pure noise (the worst
// case for the compressor). MB/s counts the RGB bytes written per image
// (1920 x 1080 x 3); each save includes the flush to disk and the rename.
#include "MyUtils.h"
#include "TAppGuiModule.h"

#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Name(int i)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "screens/main/button_%05d.png", i);
    return buf;
}

void CacheHit(benchmark::State& state)
{
    const int entries = static_cast<int>(state.range(0));
    MyUtils::SDLTextures& cache = MyUtils::loaderTexture;
    cache.mMappedData.clear();
    // Stand-in texture pointers: a hit never touches the texture.
    static char dummy[16];
    for (int i = 0; i < entries; ++i)
        MyUtils::SDLTextures::insert(cache.mMappedData, {Name(i), reinterpret_cast<SDL_Texture*>(dummy + i % 16)});
    std::vector<std::string> lookups;
    std::mt19937 pick(7);
    for (int i = 0; i < 4096; ++i)
        lookups.push_back(Name(static_cast<int>(pick() % entries)));
    size_t next = 0;
    for (auto _ : state) {
        SDL_Texture* t = MyUtils::GetTexture(nullptr, lookups[next]);
        benchmark::DoNotOptimize(t);
        next = (next + 1) & 4095;
    }
    cache.mMappedData.clear();
}
BENCHMARK(CacheHit)->Arg(10)->Arg(1000)->Arg(10000);

SDL_Surface* Frame(bool noise)
{
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, 1920, 1080, 32, SDL_PIXELFORMAT_ARGB8888);
    std::mt19937 rng(3);
    for (int y = 0; y < s->h; ++y) {
        Uint32* row = reinterpret_cast<Uint32*>(static_cast<Uint8*>(s->pixels) + y * s->pitch);
        for (int x = 0; x < s->w; ++x) {
            if (noise) {
                row[x] = rng() | 0xFF000000u;
            } else {
                // Gradient background with flat panels, as a menu screen.
                const bool panel = (x / 240) % 2 == 1 && (y / 180) % 2 == 1;
                const Uint32 r = panel ? 40 : x * 255 / 1919, g = panel ? 60 : y * 255 / 1079, b = panel ? 90 : 128;
                row[x] = 0xFF000000u | r << 16 | g << 8 | b;
            }
        }
    }
    return s;
}

void SavePNG(benchmark::State& state)
{
    SDL_Surface* frame = Frame(state.range(0) != 0);
    const std::string path = "/tmp/vorel-bench-frame-" + std::to_string(getpid()) + ".png";
    for (auto _ : state) {
        if (vorel_sdl2::TAppGuiModule::SavePNG(frame, path.c_str(), nullptr, 0) != 0) {
            state.SkipWithError("SavePNG failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1920 * 1080 * 3);
    state.SetLabel(state.range(0) ? "noise" : "screen");
    std::remove(path.c_str());
    SDL_FreeSurface(frame);
}
BENCHMARK(SavePNG)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
