// Writer-side cost of one WriteLog call while a poller drains the queue, as
// the main loop does. Time is per call as seen by one writer thread; the
// items rate is the total over all writers.
#include "TLogManager.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

class Logging {
public:
    static Logging& Get()
    {
        static Logging instance;
        return instance;
    }
    TLogManager log;

private:
    Logging() : mDir(std::filesystem::temp_directory_path() / ("vorel-bench-log-" + std::to_string(getpid())))
    {
        std::filesystem::create_directories(mDir);
        log.Init((mDir / "bench.log").string(), nullptr, nullptr, false);
        mPoller = std::thread([this] {
            while (!mStop.load(std::memory_order_relaxed)) {
                log.Poll();
                std::this_thread::yield();
            }
        });
    }
    ~Logging()
    {
        mStop = true;
        mPoller.join();
        log.Destroy();
        std::error_code ec;
        std::filesystem::remove_all(mDir, ec);
    }
    std::filesystem::path mDir;
    std::thread mPoller;
    std::atomic<bool> mStop{false};
};

void BM_WriteLogString(benchmark::State& state)
{
    TLogManager& log = Logging::Get().log;
    const std::string text = "Door.Open handled in 3 ms by the normal context";
    for (auto _ : state)
        benchmark::DoNotOptimize(log.WriteLog(3, 0, text));
    state.SetItemsProcessed(state.iterations());
}

void BM_WriteLogFormatted(benchmark::State& state)
{
    TLogManager& log = Logging::Get().log;
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(log.WriteLog(3, 0, "Door.Open handled in %d ms by the %s context", ++i, "normal"));
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_WriteLogString)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_WriteLogFormatted)->Threads(1)->Threads(4)->UseRealTime();
