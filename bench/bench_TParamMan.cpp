// Cached parameter lookups with 10,000 parameters in the cache.
//
// Own: GetParam(name, 15) for names cached under this terminal's client ID
// (one bisection). Global: the same for names cached only globally, so the
// terminal and group keys miss before the global one is found. The names are
// visited in a scattered order, so consecutive lookups do not share a path.
#include "TApplication.h"
#include "TParamMan.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace vorel_sdl2;

namespace {

constexpr int kParams = 10000;

class BenchHost : public TApplication {
public:
    BenchHost() { SetClientID("T1_3"); }
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override {}
    int RunOnce() override { return 1; }
    int DrawOnce() override { return 0; }
};

struct Cache {
    std::unique_ptr<BenchHost> host;
    std::vector<std::string> own, global;

    Cache()
    {
        setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
        host = std::make_unique<BenchHost>();
        char name[32];
        for (int i = 0; i < kParams / 2; ++i) {
            std::snprintf(name, sizeof name, "Terminal.Setting.%05d", i);
            host->SetParam(name, std::to_string(i), PARAM_CACHE);
            own.push_back(name);
            std::snprintf(name, sizeof name, "Venue.Setting.%05d", i);
            host->SetExactParam("GLOBAL", name, std::to_string(i), true);
            global.push_back(name);
        }
    }
};

Cache& Shared()
{
    static Cache cache;
    return cache;
}

void Lookups(benchmark::State& state, const std::vector<std::string>& names)
{
    BenchHost& host = *Shared().host;
    const std::size_t n = names.size();
    std::size_t i = 0;
    for (auto _ : state) {
        TAppParam* p = host.GetParam(names[i], 15);
        benchmark::DoNotOptimize(p);
        i = (i + 7919) % n;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GetParam_Own(benchmark::State& state)
{
    Lookups(state, Shared().own);
}

void BM_GetParam_Global(benchmark::State& state)
{
    Lookups(state, Shared().global);
}

} // namespace

BENCHMARK(BM_GetParam_Own);
BENCHMARK(BM_GetParam_Global);
