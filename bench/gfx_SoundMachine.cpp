// PlaySound latency of a loaded effect while 100 effects are loaded, with the
// audio thread mixing in real time (disk driver into /dev/null). Reports the
// median and the 99th percentile of single calls as counters.
#include "TSoundMachine.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

void WriteTone(const std::string& path, int frames)
{
    std::vector<int16_t> pcm;
    for (int i = 0; i < frames; ++i) {
        const auto s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * i / 100.0));
        pcm.push_back(s);
        pcm.push_back(s);
    }
    const uint32_t bytes = pcm.size() * 2;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(2);
    u32(44100);
    u32(44100 * 4);
    u16(4);
    u16(16);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(pcm.data()), bytes);
}

void BM_PlaySoundLoaded(benchmark::State& state)
{
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    unsetenv("SDL_DISKAUDIODELAY"); // real time
    char tmpl[] = "/tmp/vorel-bench-sound-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string dir = tmpl;
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) {
        names.push_back(dir + "/fx" + std::to_string(i) + ".wav");
        WriteTone(names.back(), 22050);
    }
    {
        vorel_sdl2::TSoundMachine m;
        std::fflush(stdout);
        m.OpenAudio();
        for (const std::string& n : names)
            m.LoadSoundEffect(n.c_str(), 0, true);
        const char* target = names[50].c_str();
        std::vector<double> us;
        us.reserve(1 << 16);
        for (auto _ : state) {
            const auto t0 = std::chrono::steady_clock::now();
            const int channel = m.PlaySound(target, 0);
            const auto t1 = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(channel);
            const double elapsed = std::chrono::duration<double>(t1 - t0).count();
            state.SetIterationTime(elapsed);
            us.push_back(elapsed * 1e6);
            m.StopSound(channel);
        }
        std::sort(us.begin(), us.end());
        if (!us.empty()) {
            state.counters["p50_us"] = us[us.size() / 2];
            state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
            state.counters["max_us"] = us.back();
        }
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PlaySoundLoaded)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);

} // namespace
