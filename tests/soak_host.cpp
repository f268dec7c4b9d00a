// Soak host: a headless vorel host under steady load for a given time, which
// then checks that nothing went missing and nothing piled up.
//
//   vorel-soak [--seconds N] [--dir DIR] [--midnights M] [--rss-mb MB] [--fds N]
//
// Load: four worker threads generate actions (handled in the normal, the
// thread-safe and, for every 32nd, the asynchronous context), write log lines,
// add one-shot tasks and store parameters into the SQLite store; a periodic
// task runs in the normal and the thread-safe context. The wall clock is
// injected: it starts at noon before a local midnight and runs so fast that
// the run crosses M midnights; the tick clock runs kTickSpeed times real time
// (CPU_FPS scaled to match, so the loop paces near its usual rate) so that the log's
// day check comes round several times per simulated day.
//
// Checks at the end: every log line is in exactly one file and in the file
// of its own date (or of the day before, while the day check is due); the
// folder holds one file per simulated date and nothing else; every action
// ran once per handler, every one-shot task once; every parameter value
// reached the store once, in order, and the database holds the last ones;
// resident memory and open descriptors after warm-up grew by at most the
// bounds. Exit status 0 when all holds; the figures go to standard output.
#include "Platform.h"
#include "SqliteParamStore.h"
#include "TApplication.h"

#include <SDL2/SDL_timer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

using namespace vorel_sdl2;
namespace fs = std::filesystem;

namespace {

constexpr int kWorkers = 4;
constexpr int kNamesPerWorker = 32;
constexpr Uint32 kTickSpeed = 4;

// Sanitizer runtimes hold freed memory back on purpose (quarantine, shadow),
// so resident memory grows there by design; the bound is only reported then.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kRssBounded = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kRssBounded = false;
#else
constexpr bool kRssBounded = true;
#endif
#else
constexpr bool kRssBounded = true;
#endif

// ---- injected clocks --------------------------------------------------------

const auto gRealStart = std::chrono::steady_clock::now();
std::time_t gWallStart = 0;
double gWallSpeed = 1.0;
// Set once the writers stop: the drain after them must not cross a midnight.
std::atomic<std::time_t> gWallFrozen{0};

double RealSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - gRealStart).count();
}

Uint32 FastTicks()
{
    return static_cast<Uint32>(RealSeconds() * 1000.0 * kTickSpeed);
}

std::time_t FastNow()
{
    if (std::time_t frozen = gWallFrozen.load())
        return frozen;
    return gWallStart + static_cast<std::time_t>(RealSeconds() * gWallSpeed);
}

// Local noon of 14 January 2031: no daylight-saving change for weeks.
std::time_t NoonBeforeMidnight()
{
    struct tm t {};
    t.tm_year = 2031 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 14;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

std::string DateOf(std::time_t t)
{
    struct tm local {};
    localtime_r(&t, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
    return buf;
}

// The date of a log stamp "Www Mmm dd hh:mm:ss yyyy" as YYYY-MM-DD.
std::string DateOfStamp(const std::string& line)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (line.size() < 24)
        return "";
    int month = -1;
    for (int i = 0; i < 12; ++i)
        if (line.compare(4, 3, months[i]) == 0)
            month = i + 1;
    int day = std::atoi(line.substr(8, 2).c_str());
    int year = std::atoi(line.substr(20, 4).c_str());
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
    return buf;
}

std::string DayBefore(const std::string& date)
{
    struct tm t {};
    t.tm_year = std::atoi(date.substr(0, 4).c_str()) - 1900;
    t.tm_mon = std::atoi(date.substr(5, 2).c_str()) - 1;
    t.tm_mday = std::atoi(date.substr(8, 2).c_str()) - 1;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return DateOf(std::mktime(&t));
}

// ---- process figures --------------------------------------------------------

long RssKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long OpenFds()
{
    long n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// ---- the host ---------------------------------------------------------------

struct Options {
    double seconds = 180;
    std::string dir;
    int midnights = 3;
    long rssBoundKiB = 16 * 1024;
    long fdBound = 4;
};

class Counter : public TActionHandler {
public:
    explicit Counter(std::atomic<long>& n) : TActionHandler(nullptr, ahtExecuteEndless), mN(n) {}
    void execute(std::string, void*) override { mN.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<long>& mN;
};

class SoakHost : public SqliteParamHooks<TApplication> {
public:
    explicit SoakHost(const Options& o) : mOpt(o)
    {
        SetClientID("SK_1");
        for (int w = 0; w < kWorkers; ++w)
            for (int k = 0; k < kNamesPerWorker; ++k)
                mIndex[StoreName(w, k)] = w * kNamesPerWorker + k;
    }

    int Init() override
    {
        TLogManager::Init(LogFile());
        if (Store.Open(mOpt.dir + "/soak.sqlite") != 0) {
            std::printf("soak: cannot open the parameter store\n");
            return -1;
        }
        SetLogicInterval(0);
        AddActionListener("Soak.Event", new Counter(mNormalRuns), ACTION_NORMAL);
        AddActionListener("Soak.Event", new Counter(mSafeRuns), ACTION_THREAD_SAFE);
        AddActionListener("Soak.Async", new Counter(mAsyncRuns), ACTION_ASYNC);
        AddTimedTask(new TtthLambda([this] { ++mTickRuns; }, 10 * kTickSpeed, TTimedTaskHandler::ENDLESS, "soak-tick"),
                     TASK_NORMAL);
        AddTimedTask(new TtthLambda([this] { ++mSafeTickRuns; }, 10 * kTickSpeed, TTimedTaskHandler::ENDLESS,
                                    "soak-safe-tick"),
                     TASK_THREAD_SAFE);
        return 0;
    }

    void Destroy() override
    {
        TParamMan::Poll();
        Store.Close();
        TLogManager::Destroy();
    }

    void Startup() override
    {
        mController = std::thread([this] { Control(); });
        setStatus(APP_STARTUP);
    }

    int RunOnce() override { return mDone.load() ? 1 : 0; }
    int DrawOnce() override { return 0; }

    void OnStoreValues(std::list<TAppParam*>& params) override
    {
        for (TAppParam* p : params) {
            auto it = mIndex.find(p->Name());
            if (it == mIndex.end())
                continue;
            p->Lock();
            long v = std::atol(p->Value().c_str());
            p->Unlock();
            long expected = mStored[it->second].load() + 1;
            if (v < expected)
                ++mStoreDuplicates;
            else if (v > expected)
                mStoreLost += v - expected;
            mStored[it->second].store(v);
            ++mStoreCalls;
        }
        SqliteParamHooks<TApplication>::OnStoreValues(params);
    }

    int Verify();
    void Join()
    {
        if (mController.joinable())
            mController.join();
    }

private:
    static std::string StoreName(int w, int k) { return "Soak.Store.w" + std::to_string(w) + ".k" + std::to_string(k); }

    void Work(int w)
    {
        long n = 0;
        while (!mStop.load(std::memory_order_relaxed)) {
            GenerateAction("Soak.Event", nullptr, ACTION_ANY);
            mGenerated.fetch_add(1, std::memory_order_relaxed);
            if (n % 32 == 0) {
                GenerateAction("Soak.Async", nullptr, ACTION_ANY);
                mAsyncGenerated.fetch_add(1, std::memory_order_relaxed);
            }
            if (WriteLog(3, 0, "soak-line w%d n%ld", w, n) != 0)
                ++mLinesRefused;
            if (n % 16 == 0) {
                AddTimedTask(new TtthLambda([this] { ++mOnceRuns; }, 5 * kTickSpeed, TTimedTaskHandler::EXECUTE_ONCE,
                                            "soak-once"),
                             TASK_NORMAL);
                ++mOnceAdded;
            }
            if (n % 8 == 0) {
                // A name is written again only once its last value was handed
                // to the store, so every value must arrive exactly once.
                int k = static_cast<int>((n / 8) % kNamesPerWorker);
                int i = w * kNamesPerWorker + k;
                long v = mWritten[i].load();
                if (mStored[i].load() == v) {
                    mWritten[i].store(v + 1);
                    SetParam(StoreName(w, k), std::to_string(v + 1), PARAM_GLOBAL, "", "", true);
                }
            }
            ++n;
            mLines[w].store(n, std::memory_order_relaxed);
            if (n % 2 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void Sample()
    {
        mRssBase = RssKiB();
        mFdBase = OpenFds();
    }

    void Control()
    {
        const double drain = 3.0;
        const double writing = std::max(1.0, mOpt.seconds - drain);
        const double warmUp = std::max(2.0, writing * 0.2);
        std::vector<std::thread> workers;
        for (int w = 0; w < kWorkers; ++w)
            workers.emplace_back([this, w] { Work(w); });
        std::this_thread::sleep_for(std::chrono::duration<double>(warmUp));
        Sample();
        while (RealSeconds() < writing) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            mRssPeak = std::max(mRssPeak, RssKiB());
            mFdPeak = std::max(mFdPeak, OpenFds());
        }
        mRssEnd = RssKiB();
        mFdEnd = OpenFds();
        mStop = true;
        for (auto& t : workers)
            t.join();
        mLastNow = FastNow();
        gWallFrozen = mLastNow;
        // Let the loop run the queued actions, tasks, stores and async threads.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        auto settled = [this] {
            if (mNormalRuns.load() != mGenerated.load() || mSafeRuns.load() != mGenerated.load())
                return false;
            if (mAsyncRuns.load() != mAsyncGenerated.load() || mOnceRuns.load() != mOnceAdded.load())
                return false;
            for (int i = 0; i < kWorkers * kNamesPerWorker; ++i)
                if (mStored[i].load() != mWritten[i])
                    return false;
            return true;
        };
        while (!settled() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // async threads leave
        mDone = true;
    }

    Options mOpt;
    std::unordered_map<std::string, int> mIndex;
    std::thread mController;
    std::atomic<bool> mStop{false}, mDone{false};
    std::atomic<long> mGenerated{0}, mAsyncGenerated{0}, mNormalRuns{0}, mSafeRuns{0}, mAsyncRuns{0};
    std::atomic<long> mTickRuns{0}, mSafeTickRuns{0}, mOnceAdded{0}, mOnceRuns{0};
    std::atomic<long> mStored[kWorkers * kNamesPerWorker]{};
    std::atomic<long> mWritten[kWorkers * kNamesPerWorker]{};
    long mStoreCalls = 0, mStoreDuplicates = 0, mStoreLost = 0;
    // Lines are numbered 0..count-1 per worker; a refused write is a fault.
    std::atomic<long> mLines[kWorkers]{};
    std::atomic<long> mLinesRefused{0};
    long mRssBase = 0, mRssPeak = 0, mRssEnd = 0, mFdBase = 0, mFdPeak = 0, mFdEnd = 0;
    std::time_t mLastNow = 0;
};

int SoakHost::Verify()
{
    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
        if (!ok) {
            std::printf("soak: FAILED: %s\n", what);
            ++failures;
        }
    };
    std::printf("soak: actions generated %ld, normal runs %ld, thread-safe runs %ld\n", mGenerated.load(),
                mNormalRuns.load(), mSafeRuns.load());
    check(mNormalRuns == mGenerated && mSafeRuns == mGenerated, "every action ran once per handler");
    std::printf("soak: async actions %ld, runs %ld\n", mAsyncGenerated.load(), mAsyncRuns.load());
    check(mAsyncRuns == mAsyncGenerated, "every async action ran once");
    std::printf("soak: one-shot tasks %ld, runs %ld; periodic runs %ld normal, %ld thread-safe\n", mOnceAdded.load(),
                mOnceRuns.load(), mTickRuns.load(), mSafeTickRuns.load());
    check(mOnceRuns == mOnceAdded, "every one-shot task ran once");
    check(mTickRuns > 0 && mSafeTickRuns > 0, "periodic tasks ran");

    // Stores: in order, none lost or repeated, and the database has the last.
    long written = 0, missing = 0;
    for (int w = 0; w < kWorkers; ++w)
        for (int k = 0; k < kNamesPerWorker; ++k) {
            int i = w * kNamesPerWorker + k;
            written += mWritten[i];
            if (mStored[i].load() != mWritten[i])
                ++missing;
        }
    std::printf("soak: parameter values written %ld, handed to the store %ld, duplicated %ld, skipped %ld\n", written,
                mStoreCalls, mStoreDuplicates, mStoreLost);
    check(mStoreCalls == written && mStoreDuplicates == 0 && mStoreLost == 0 && missing == 0,
          "every parameter value was stored once");
    {
        SqliteParamStore db;
        long wrong = 0;
        if (db.Open(mOpt.dir + "/soak.sqlite") >= 0) {
            for (int w = 0; w < kWorkers; ++w)
                for (int k = 0; k < kNamesPerWorker; ++k) {
                    Parameter p = db.Request("SK_1", StoreName(w, k));
                    long want = mWritten[w * kNamesPerWorker + k];
                    if (want > 0 && (p.IsNull() || std::atol(p.Value().c_str()) != want))
                        ++wrong;
                }
        } else {
            wrong = -1;
        }
        std::printf("soak: database rows not holding the last value: %ld\n", wrong);
        check(wrong == 0, "the database holds every last value");
    }

    // Log lines: once each, in the file of their date (or the day before).
    std::map<std::string, long> files;
    std::vector<std::vector<unsigned char>> seen(kWorkers);
    long maxN[kWorkers] = {};
    for (int w = 0; w < kWorkers; ++w) {
        maxN[w] = mLines[w].load() - 1;
        seen[w].assign(static_cast<size_t>(maxN[w] + 1), 0);
    }
    long foreign = 0, misdated = 0, unknown = 0;
    for (const auto& e : fs::directory_iterator(mOpt.dir + "/log")) {
        std::string name = e.path().filename().string();
        if (name.size() != 19 || name.compare(0, 5, "soak_") != 0 || e.path().extension() != ".log") {
            ++foreign;
            continue;
        }
        std::string date = name.substr(5, 10);
        long count = 0;
        std::ifstream in(e.path());
        std::string line;
        while (std::getline(in, line)) {
            size_t at = line.find("soak-line w");
            if (at == std::string::npos)
                continue;
            int w = -1;
            long n = -1;
            if (std::sscanf(line.c_str() + at, "soak-line w%d n%ld", &w, &n) != 2 || w < 0 || w >= kWorkers || n < 0 ||
                n > maxN[w]) {
                ++unknown;
                continue;
            }
            if (seen[w][static_cast<size_t>(n)] < 255)
                ++seen[w][static_cast<size_t>(n)];
            std::string stamp = DateOfStamp(line);
            // Entries queued just before the switch may land on either side.
            if (stamp != date && DayBefore(stamp) != date && DayBefore(date) != stamp)
                ++misdated;
            ++count;
        }
        files[date] = count;
    }
    long lines = 0, lost = 0, doubled = 0;
    for (int w = 0; w < kWorkers; ++w) {
        lines += mLines[w].load();
        for (long n = 0; n <= maxN[w]; ++n) {
            unsigned char c = seen[w][static_cast<size_t>(n)];
            if (c == 0)
                ++lost;
            else if (c > 1)
                ++doubled;
        }
    }
    std::printf("soak: log lines written %ld, lost %ld, duplicated %ld, misdated %ld, unknown %ld\n", lines, lost,
                doubled, misdated, unknown);
    check(lost == 0 && doubled == 0 && unknown == 0 && mLinesRefused == 0, "every log line is in the folder once");
    check(misdated == 0, "every log line is in the file of its date");
    std::set<std::string> expected;
    for (std::time_t t = gWallStart; DateOf(t) <= DateOf(mLastNow); t += 86400)
        expected.insert(DateOf(t));
    std::printf("soak: log files:");
    for (const auto& [date, count] : files)
        std::printf(" %s (%ld lines)", date.c_str(), count);
    std::printf("; %zu dates expected, %ld other files\n", expected.size(), foreign);
    bool sameDates = files.size() == expected.size();
    for (const auto& d : expected)
        sameDates = sameDates && files.count(d) == 1;
    check(sameDates && foreign == 0, "the folder holds one file per date and nothing else");
    check(static_cast<int>(expected.size()) - 1 >= mOpt.midnights, "the run crossed the midnights asked for");

    std::printf("soak: resident memory after warm-up %ld KiB, at the end %ld KiB (peak %ld), growth %ld KiB, bound %ld\n",
                mRssBase, mRssEnd, mRssPeak, mRssEnd - mRssBase, mOpt.rssBoundKiB);
    std::printf("soak: open descriptors after warm-up %ld, at the end %ld (peak %ld), bound +%ld\n", mFdBase, mFdEnd,
                mFdPeak, mOpt.fdBound);
    if (kRssBounded)
        check(mRssEnd - mRssBase <= mOpt.rssBoundKiB, "resident memory stayed within the bound");
    else
        std::printf("soak: sanitizer build, resident memory not bounded\n");
    check(mFdEnd - mFdBase <= mOpt.fdBound, "open descriptors stayed within the bound");
    return failures;
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--seconds")
            opt.seconds = std::atof(argv[i + 1]);
        else if (a == "--dir")
            opt.dir = argv[i + 1];
        else if (a == "--midnights")
            opt.midnights = std::atoi(argv[i + 1]);
        else if (a == "--rss-mb")
            opt.rssBoundKiB = std::atol(argv[i + 1]) * 1024;
        else if (a == "--fds")
            opt.fdBound = std::atol(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--dir DIR] [--midnights M] [--rss-mb MB] [--fds N]\n",
                         argv[0]);
            return 2;
        }
    }
    if (opt.seconds < 5 || opt.midnights < 1) {
        std::fprintf(stderr, "soak: --seconds must be at least 5 and --midnights at least 1\n");
        return 2;
    }
    if (opt.dir.empty())
        opt.dir = (fs::temp_directory_path() / ("vorel-soak-" + std::to_string(getpid()))).string();
    std::error_code ec;
    fs::remove_all(opt.dir, ec);
    fs::create_directories(opt.dir + "/log");

    // The writing phase spans midnights + 1 simulated days from noon on.
    const double writing = std::max(1.0, opt.seconds - 3.0);
    gWallStart = NoonBeforeMidnight();
    gWallSpeed = 86400.0 * (opt.midnights + 0.25) / writing;
    Platform.Now = &FastNow;
    Platform.Ticks = &FastTicks;
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    setenv("VOREL_JOURNAL", "0", 0); // its flood is not for the real journal
    setenv("CPU_FPS", std::to_string(1000 / kTickSpeed).c_str(), 1);
    setenv("LOG_FILENAME", (opt.dir + "/log/soak.log").c_str(), 1);

    std::printf("soak: %.0f s in %s, %d midnights, pid %d\n", opt.seconds, opt.dir.c_str(), opt.midnights,
                static_cast<int>(getpid()));
    auto host = std::make_unique<SoakHost>(opt);
    if (host->Init() != 0)
        return 1;
    host->Run();
    host->Join();
    host->CallDestroyOnce();
    int failures = host->Verify();
    host.reset();
    std::printf("soak: %s\n", failures == 0 ? "passed" : "FAILED");
    if (failures == 0)
        fs::remove_all(opt.dir, ec);
    return failures == 0 ? 0 : 1;
}
