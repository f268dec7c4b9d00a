// The log manager: writer-side cost of one WriteLog call while a poller
// drains the queue, as the main loop does (time per call as one writer thread
// sees it; the items rate is the total over all writers), and the poll that
// drains 10,000 queued entries to the day's file, without and with the journal.
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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
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

// Polls that take 10,000 queued entries to the file (and flush it); with
// the argument 1 each entry also goes to a journal socket that a thread of
// the benchmark reads as journald would. A datagram socket holds only
// net.unix.max_dgram_qlen entries unread (10 by default, systemd sets 512);
// once it is full the log stops sending for a second, which journal_share
// shows. For the cost of sending every entry, run it in a network namespace
// of its own with a deep queue:
//   unshare -n sh -c 'echo 20000 >/proc/sys/net/unix/max_dgram_qlen; ./bench_TLogManager'
void BM_LogPoll_Drain10000(benchmark::State& state)
{
    constexpr int kEntries = 10000;
    const bool journal = state.range(0) != 0;
    const fs::path dir = fs::temp_directory_path() / ("vorel-bench-poll-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string socketPath = (dir / "journal.sock").string();
    int sink = -1;
    std::atomic<bool> stop{false};
    std::atomic<long> received{0};
    std::thread reader;
    if (journal) {
        sink = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int deep = 64 << 20;
        ::setsockopt(sink, SOL_SOCKET, SO_RCVBUFFORCE, &deep, sizeof deep);
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        ::bind(sink, reinterpret_cast<sockaddr*>(&address), sizeof address);
        struct timeval wait {0, 100000};
        ::setsockopt(sink, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        reader = std::thread([&] {
            char buffer[4096];
            while (!stop.load(std::memory_order_relaxed))
                if (::recv(sink, buffer, sizeof buffer, 0) > 0)
                    ++received;
        });
    }
    setenv("VOREL_JOURNAL", journal ? "1" : "0", 1);
    setenv("VOREL_JOURNAL_SOCKET", socketPath.c_str(), 1);
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
            // A Poll is bounded in time; the rest takes another.
            do
                log.Poll();
            while (log.QueuedEntries() > 0);
        }
        log.Destroy();
    }
    if (journal) {
        stop = true;
        reader.join();
        ::close(sink);
    }
    unsetenv("VOREL_JOURNAL");
    unsetenv("VOREL_JOURNAL_SOCKET");
    state.SetItemsProcessed(state.iterations() * kEntries);
    // Entries the journal socket took, of all written: below 1 when it was full.
    if (journal)
        state.counters["journal_share"] =
            static_cast<double>(received) / static_cast<double>(state.iterations() * kEntries);
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
BENCHMARK(BM_LogPoll_Drain10000)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
