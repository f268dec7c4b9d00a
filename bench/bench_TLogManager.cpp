// The log manager: writer-side cost of one WriteLog call while a poller
// drains the queue, as the main loop does (time per call as one writer thread
// sees it; the items rate is the total over all writers), and the poll that
// drains 10,000 queued entries to the day's file.
//
// With spdlog installed (VOREL_BENCH_SPDLOG) its asynchronous logger runs the
// same messages on the same thread counts, into a file sink, as the peer.
#include "TLogManager.h"

#include <benchmark/benchmark.h>

#ifdef VOREL_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const kText = "Door.Open handled in 3 ms by the normal context";

// Cuts every file in dir back to nothing once it passes 64 MiB; both loggers
// append, so they carry on at the new end and /tmp does not fill up.
void TrimFiles(const fs::path& dir)
{
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec) && it->file_size(ec) > (64u << 20))
            fs::resize_file(it->path(), 0, ec);
}

class Logging {
public:
    static Logging& Get()
    {
        static Logging instance;
        return instance;
    }
    TLogManager log;
    fs::path dir;
#ifdef VOREL_BENCH_SPDLOG
    std::shared_ptr<spdlog::logger> peer;
#endif

private:
    Logging() : dir(fs::temp_directory_path() / ("vorel-bench-log-" + std::to_string(getpid())))
    {
        fs::create_directories(dir);
        log.Init((dir / "bench.log").string(), nullptr, nullptr, false);
#ifdef VOREL_BENCH_SPDLOG
        spdlog::init_thread_pool(8192, 1);
        peer = spdlog::basic_logger_mt<spdlog::async_factory>("peer", (dir / "peer.log").string());
#endif
        mPoller = std::thread([this] {
            unsigned n = 0;
            while (!mStop.load(std::memory_order_relaxed)) {
                log.Poll();
                if (++n % 4096 == 0)
                    TrimFiles(dir);
                std::this_thread::yield();
            }
        });
    }
    ~Logging()
    {
        mStop = true;
        mPoller.join();
        log.Destroy();
#ifdef VOREL_BENCH_SPDLOG
        peer.reset();
        spdlog::shutdown();
#endif
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::thread mPoller;
    std::atomic<bool> mStop{false};
};

void BM_WriteLogString(benchmark::State& state)
{
    TLogManager& log = Logging::Get().log;
    const std::string text = kText;
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

#ifdef VOREL_BENCH_SPDLOG
void BM_spdlog_async_String(benchmark::State& state)
{
    spdlog::logger& peer = *Logging::Get().peer;
    const std::string text = kText;
    for (auto _ : state)
        peer.info(text);
    state.SetItemsProcessed(state.iterations());
}

void BM_spdlog_async_Formatted(benchmark::State& state)
{
    spdlog::logger& peer = *Logging::Get().peer;
    int i = 0;
    for (auto _ : state)
        peer.info("Door.Open handled in {} ms by the {} context", ++i, "normal");
    state.SetItemsProcessed(state.iterations());
}
#endif

// Polls that take 10,000 queued entries to the file (and flush it).
void BM_LogPoll_Drain10000(benchmark::State& state)
{
    constexpr int kEntries = 10000;
    const fs::path dir = fs::temp_directory_path() / ("vorel-bench-poll-" + std::to_string(getpid()));
    fs::create_directories(dir);
    {
        TLogManager log;
        log.Init((dir / "poll.log").string(), nullptr, nullptr, false);
        const std::string text = kText;
        for (auto _ : state) {
            state.PauseTiming();
            TrimFiles(dir);
            for (int i = 0; i < kEntries; ++i)
                log.WriteLog(3, 0, text);
            state.ResumeTiming();
            // A Poll is bounded in time; on a loaded machine the rest takes another.
            do
                log.Poll();
            while (log.QueuedEntries() > 0);
        }
        log.Destroy();
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

} // namespace

BENCHMARK(BM_WriteLogString)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_WriteLogFormatted)->Threads(1)->Threads(4)->UseRealTime();
#ifdef VOREL_BENCH_SPDLOG
BENCHMARK(BM_spdlog_async_String)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_spdlog_async_Formatted)->Threads(1)->Threads(4)->UseRealTime();
#endif
BENCHMARK(BM_LogPoll_Drain10000)->Unit(benchmark::kMicrosecond);
