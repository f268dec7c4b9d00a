#include "TLogManager.h"

#include "ThreadSafeProperty.h"

#include "MyUtilsTime.h"
#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace logman {
TLogManager* pDefInst = nullptr;
}

namespace {

constexpr size_t kFormatBuffer = 2048;
constexpr size_t kHistoryLimit = 50;
// Processed entries kept for writers to fill again: at least this many, and
// as many as are queued, so that writers that outpace the poll find entries
// to refill when the queue has room again (a flood ends with at most twice
// the queue's entries alive, and the surplus goes back, kTrimChunk per hand-
// over, once the queue is short again). An entry whose text grew beyond
// kRecycleCapacity is freed instead.
constexpr size_t kFreeEntries = 256;
constexpr size_t kTrimChunk = 1024;
constexpr size_t kRecycleCapacity = 2 * kFormatBuffer;
// Entries a drain takes off the queue per critical section: the writers then
// rarely find the lock or the queue's memory in use by the drain.
constexpr size_t kTakeChunk = 64;
constexpr size_t kPollMargin = 1000;
constexpr Uint32 kDateCheckMs = 10000;
constexpr std::string_view kStampGap = ": ";
constexpr std::string_view kSwitchNotice = "Switching to log with date ";
// Reading the clock costs about a tenth of delivering a line to the file, so
// a bounded Poll reads it once per stride of entries: the stride doubles
// while the clock stands still and halves when it moved, so slow deliveries
// (callbacks, the console) are timed one by one.
constexpr unsigned kMaxClockStride = 128;

std::string_view LevelText(TLogType type)
{
    switch (type & 0xFF) {
    case 0: case 1: case 8: return ": ";
    case 2: return ": debINFO: ";
    case 3: return ": INFO: ";
    case 4: return ": WARN: ";
    case 5: return ": ERROR: ";
    case 6: return ": debERROR: ";
    case 7: return ": CRITICAL: ";
    default: return "";
    }
}

class TPollBudget {
public:
    explicit TPollBudget(Uint32 ms) : mMs(ms), mStart(ms ? vorel_sdl2::Platform.Ticks() : 0), mLast(mStart) {}
    bool Spent()
    {
        if (mMs == 0 || --mUntilCheck > 0)
            return false;
        Uint32 now = vorel_sdl2::Platform.Ticks();
        if (now - mStart >= mMs)
            return true;
        mStride = now == mLast ? std::min(mStride * 2, kMaxClockStride) : std::max(mStride / 2, 1u);
        mLast = now;
        mUntilCheck = mStride;
        return false;
    }

private:
    Uint32 mMs;
    Uint32 mStart;
    Uint32 mLast;
    unsigned mStride = 1;
    unsigned mUntilCheck = 1;
};

// The asctime form without its line break (24 characters for four-digit
// years). Formatting it is the dearest step of a write, so each thread keeps
// the stamp of the last second it logged in.
struct StampCache {
    std::time_t second = -1;
    int length = 0;
    char text[40];
};

std::string_view TimeStamp(StampCache& cache, std::time_t t)
{
    if (cache.second != t) {
        struct tm local {};
        localtime_r(&t, &local);
        static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        int n = std::snprintf(cache.text, sizeof cache.text, "%s %s %2d %02d:%02d:%02d %04d",
                              days[(local.tm_wday % 7 + 7) % 7], months[(local.tm_mon % 12 + 12) % 12],
                              local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
        cache.length = std::clamp(n, 0, static_cast<int>(sizeof cache.text) - 1);
        cache.second = t;
    }
    return std::string_view(cache.text, static_cast<size_t>(cache.length));
}

// A string whose capacity is reused from write to write, and whether a write
// on this thread is using it, claimed with one atomic exchange: a signal
// handler that logs in the middle of a claim cannot share the string.
struct ScratchSlot {
    std::string text;
    std::atomic<bool> busy{false};
};

// Everything a writer keeps per thread, in one block: a thread-local of a
// shared library costs a look-up per variable and call.
struct WriterLocal {
    StampCache stamp;
    ScratchSlot format;
    ScratchSlot lastLog;
    // An entry ready to be filled. Polls hand processed entries back (see
    // Recycle), so a write normally allocates neither the entry nor its text.
    // Taken and put back with single atomic exchanges: a signal handler that
    // logs on this thread between a read and a write of it must not get the
    // entry the interrupted write fills.
    std::atomic<TLogEntry*> spare{nullptr};
    ~WriterLocal() { delete spare.exchange(nullptr, std::memory_order_relaxed); }
};
thread_local WriterLocal tWriter;

// A nested use on the same thread (a signal handler, an override that logs
// from inside a write) gets a fresh string instead of the busy slot.
class ScratchText {
public:
    explicit ScratchText(ScratchSlot& slot)
        : mSlot(slot.busy.exchange(true, std::memory_order_relaxed) ? nullptr : &slot)
    {
        if (mSlot) {
            mText = &mSlot->text;
        } else {
            mText = &mOwn;
        }
    }
    ~ScratchText()
    {
        if (mSlot) {
            // Do not keep a huge buffer alive on every thread that once logged one.
            if (mText->capacity() > 4 * kFormatBuffer)
                std::string().swap(*mText);
            mSlot->busy.store(false, std::memory_order_relaxed);
        }
    }
    ScratchText(const ScratchText&) = delete;
    ScratchText& operator=(const ScratchText&) = delete;
    std::string& operator*() { return *mText; }

private:
    ScratchSlot* mSlot;
    std::string* mText;
    std::string mOwn;
};

// The entry a write fills: the thread's spare, or a new one when there is
// none (first write, a nested write, polls behind). A write that is refused
// keeps it as the spare again.
class EntryHold {
public:
    explicit EntryHold(WriterLocal& local)
        : mLocal(local), mEntry(local.spare.exchange(nullptr, std::memory_order_relaxed))
    {
        if (!mEntry)
            mEntry = new TLogEntry();
    }
    ~EntryHold()
    {
        if (!mEntry)
            return;
        TLogEntry* none = nullptr;
        if (mEntry->Message.capacity() > kRecycleCapacity ||
            !mLocal.spare.compare_exchange_strong(none, mEntry, std::memory_order_relaxed))
            delete mEntry;
    }
    EntryHold(const EntryHold&) = delete;
    EntryHold& operator=(const EntryHold&) = delete;
    TLogEntry* operator->() const { return mEntry; }
    TLogEntry* Get() const { return mEntry; }
    void Release() { mEntry = nullptr; }

private:
    WriterLocal& mLocal;
    TLogEntry* mEntry;
};

// Writers on any thread read the default instance while the owner sets or
// clears it; the global stays a plain pointer for hosts, our accesses are atomic.
std::atomic_ref<TLogManager*> DefaultInstance()
{
    return std::atomic_ref<TLogManager*>(logman::pDefInst);
}

int FormatAndWrite(TLogManager& manager, char color, TLogType type, unsigned long gameId, const char* format,
                   va_list args)
{
    char buffer[kFormatBuffer];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof buffer - 1);
    ScratchText text(tWriter.format);
    (*text).assign(buffer, length);
    return manager._WriteLog(color, type, gameId, *text);
}

} // namespace

TLogManager::TLogManager()
    : bAppendPrefix(true), OutputToConsole(false), AutoHandleOldLogs(false), initialized(0), LastTime(0),
      pLogEntries(nullptr), pLogEntriesMutex(SDL_CreateMutex()), pLogHistory(nullptr), pfOnWriteLog(nullptr),
      pUserData(nullptr), Time(0), LinesToGo(0), mQueueLimit(kDefaultQueueLimit), bQueueFull(false),
      mQueueDropped(0), mTakenCount(0), mTakenNext(0), mQueuedNow(0), bWantFile(false), bHeaderPending(false), mLastRetry(0), bOutage(false), mOutageSince(0),
      mConsoleLines(0), mDiskReserve(-1), bBelowReserve(false), mDiskDropped(0), mLastSweep(0), bJournalReported(false)
{
}

TLogManager::~TLogManager()
{
    // Destroy() is the owner's to call; free only what it would have freed.
    if (pLogEntries) {
        for (TLogEntry* e : *pLogEntries)
            delete e;
        delete pLogEntries;
    }
    if (pLogHistory) {
        for (TLogEntry* e : *pLogHistory)
            delete e;
        delete pLogHistory;
    }
    for (size_t i = mTakenNext; i < mTaken.size(); ++i)
        delete mTaken[i];
    FreeRecycled();
    if (pLogEntriesMutex)
        SDL_DestroyMutex(pLogEntriesMutex);
}

int TLogManager::Init(std::string logFileFilename, TpfOnWriteLog onWriteLog, void* userData, bool autoHandleOldLogs)
{
    // A second Init moves to the new name instead of opening over the old file.
    Close();
    CurrentDateString.clear();
    FullLogFileFilename.clear();
    LogFileFilename = std::move(logFileFilename);
    pfOnWriteLog = onWriteLog;
    pUserData = userData;
    AutoHandleOldLogs = autoHandleOldLogs;
    OutputToConsole = false;
    if (!pLogEntriesMutex)
        pLogEntriesMutex = SDL_CreateMutex();
    {
        ScopedSDLMutex lock(pLogEntriesMutex);
        if (!pLogEntries)
            pLogEntries = new std::deque<TLogEntry*>();
        // Reserved, so that handing entries over under the lock rarely allocates.
        mFreeEntries.reserve(kFreeEntries);
    }
    mRecycled.reserve(kFreeEntries + kTrimChunk);
    mTaken.reserve(kTakeChunk);
    if (!pLogHistory)
        pLogHistory = new std::deque<TLogEntry*>();
    LastTime = vorel_sdl2::Platform.Ticks();
    mFileBuffer.clear();
    bHeaderPending = bOutage = bBelowReserve = false;
    mConsoleLines = mDiskDropped = 0;
    mLastSweep = 0;
    mJournal.Configure();
    bJournalReported = false;
    Open();
    TLogManager* none = nullptr;
    DefaultInstance().compare_exchange_strong(none, this);
    ScopedSDLMutex lock(pLogEntriesMutex);
    initialized = 1;
    return 0;
}

void TLogManager::Destroy()
{
    {
        // Under the lock: a writer either queued before this point or is
        // refused. Only one of two racing Destroy calls goes on.
        ScopedSDLMutex lock(pLogEntriesMutex);
        if (initialized.exchange(0) == 0)
            return;
    }
    std::printf("logman: calling Poll() for the last time.\n");
    DrainQueue(false);
    TLogManager* self = this;
    DefaultInstance().compare_exchange_strong(self, nullptr);
    Close();
    mJournal.Close();
    std::deque<TLogEntry*>* entries;
    {
        ScopedSDLMutex lock(pLogEntriesMutex);
        entries = pLogEntries;
        pLogEntries = nullptr;
        mQueuedNow.store(0, std::memory_order_relaxed);
    }
    for (TLogEntry* e : *entries)
        delete e;
    delete entries;
    for (TLogEntry* e : *pLogHistory)
        delete e;
    delete pLogHistory;
    pLogHistory = nullptr;
    FreeRecycled();
}

void TLogManager::FreeRecycled()
{
    std::vector<TLogEntry*> spare;
    if (pLogEntriesMutex) {
        ScopedSDLMutex lock(pLogEntriesMutex);
        spare.swap(mFreeEntries);
    }
    for (TLogEntry* e : spare)
        delete e;
    DeleteRecycled();
}

// Polling side: an entry that left the history, kept for a writer to fill
// again unless its text grew large.
void TLogManager::Recycle(TLogEntry* entry)
{
    if (entry->Message.capacity() > kRecycleCapacity) {
        delete entry;
        return;
    }
    mRecycled.push_back(entry);
}

// Caller holds pLogEntriesMutex: recycled entries move to the writers' free
// list as far as it may grow; what it holds beyond that comes back into
// mRecycled, which DeleteRecycled empties after the lock is released.
void TLogManager::HandOverRecycled()
{
    size_t keep = std::max(kFreeEntries, (pLogEntries ? pLogEntries->size() : 0) + mTakenCount);
    size_t room = keep - std::min(keep, mFreeEntries.size());
    size_t n = std::min(mRecycled.size(), room);
    mFreeEntries.insert(mFreeEntries.end(), mRecycled.end() - static_cast<std::ptrdiff_t>(n), mRecycled.end());
    mRecycled.resize(mRecycled.size() - n);
    if (mFreeEntries.size() > keep) {
        size_t surplus = std::min(mFreeEntries.size() - keep, kTrimChunk);
        mRecycled.insert(mRecycled.end(), mFreeEntries.end() - static_cast<std::ptrdiff_t>(surplus),
                         mFreeEntries.end());
        mFreeEntries.resize(mFreeEntries.size() - surplus);
    }
}

void TLogManager::DeleteRecycled()
{
    for (TLogEntry* e : mRecycled)
        delete e;
    mRecycled.clear();
}

int TLogManager::Poll()
{
    if (!initialized)
        return -1;
    DrainQueue(true);
    return 0;
}

namespace {
// Drains run one at a time: the main loop's poll and a fatal-signal handler's
// poll on another thread share the file batch. Recursive, so a handler that
// interrupts a drain on its own thread still gets its lines out, as before.
std::recursive_mutex gDrainMutex;
} // namespace

void TLogManager::DrainQueue(bool bounded)
{
    std::lock_guard<std::recursive_mutex> drain(gDrainMutex);
    if (bounded)
        RetryFileIfDue();
    TPollBudget time(bounded ? kPollBudgetMs : 0);
    // Writers that outpace the poller must not keep it here for ever: a Poll
    // delivers what was queued when it began plus a margin for lines its own
    // callbacks log, within its time budget; the rest waits for the next Poll.
    // The first critical section sets the budget.
    size_t budget = SIZE_MAX;
    bool bBudgetDue = bounded;
    if (bounded && mTakenNext < mTaken.size()) {
        ScopedSDLMutex lock(pLogEntriesMutex);
        budget = pLogEntries->size() + (mTaken.size() - mTakenNext) + kPollMargin;
        bBudgetDue = false;
    }
    // Entries are delivered from mTaken, which a callback's own Poll may
    // consume or refill meanwhile: it is read afresh for every entry.
    bool bSynced = false;
    for (;;) {
        if (mTakenNext == mTaken.size() && !TakeEntries(budget, bBudgetDue)) {
            bSynced = true;
            break;
        }
        if (budget == 0)
            break;
        --budget;
        TLogEntry* entry = mTaken[mTakenNext++];
        LinesToGo = static_cast<int>(mTaken.size() - mTakenNext + mQueuedNow.load(std::memory_order_relaxed));
        ProcessEntry(entry);
        if (time.Spent())
            break;
    }
    if (!bSynced) {
        ScopedSDLMutex lock(pLogEntriesMutex);
        mTakenCount = mTaken.size() - mTakenNext;
        HandOverRecycled();
    }
    DeleteRecycled();
    FlushFile();
}

// Under the lock, as when every entry was taken on its own: the dropped
// notice is queued once the queue is down to half its limit, and writers
// count the taken entries as queued until the next critical section.
bool TLogManager::TakeEntries(size_t& budget, bool& bBudgetDue)
{
    ScopedSDLMutex lock(pLogEntriesMutex);
    if (bBudgetDue)
        budget = pLogEntries->size() + kPollMargin;
    bBudgetDue = false;
    mTaken.clear();
    mTakenNext = 0;
    mTakenCount = 0;
    HandOverRecycled();
    if (bQueueFull && pLogEntries->size() <= mQueueLimit / 2)
        QueueDroppedNotice();
    size_t n = std::min({pLogEntries->size(), budget, kTakeChunk});
    if (n == 0)
        return false;
    mTaken.assign(pLogEntries->begin(), pLogEntries->begin() + static_cast<std::ptrdiff_t>(n));
    pLogEntries->erase(pLogEntries->begin(), pLogEntries->begin() + static_cast<std::ptrdiff_t>(n));
    mTakenCount = n;
    mQueuedNow.store(pLogEntries->size(), std::memory_order_relaxed);
    return true;
}

// Caller holds pLogEntriesMutex. Rare, so the entry is built under the lock:
// the count must not change between reading and queuing it.
void TLogManager::QueueDroppedNotice()
{
    auto* notice = new TLogEntry();
    notice->LogType = 4;
    notice->Message = MakeLine(vorel_sdl2::Platform.Now(), 4,
                               "logman: " + std::to_string(mQueueDropped) + " lines dropped");
    pLogEntries->push_back(notice);
    mQueuedNow.store(pLogEntries->size(), std::memory_order_relaxed);
    mQueueDropped = 0;
    bQueueFull = false;
}

void TLogManager::ProcessEntry(TLogEntry* entry)
{
    if (pfOnWriteLog) {
        try {
            pfOnWriteLog(pUserData, *entry, LinesToGo);
        } catch (...) {
            std::printf("LogManager:Poll:pfOnWriteLog unhandled exception\n");
        }
    }
    try {
        OnWriteLog(*entry, LinesToGo);
    } catch (...) {
        std::printf("LogManager:Poll:OnWriteLog unhandled exception\n");
    }
    bool inJournal = mJournal.Enabled() && SendToJournal(*entry);

    // The callbacks saw the line without the user tag; file, console and history get it.
    if (entry->LogType > 65536 && entry->Message.size() >= 24)
        entry->Message.insert(24, ": LT_USER_" + std::to_string(entry->LogType));

    if (MyUtils::IsTime(LastTime, kDateCheckMs, true)) {
        std::string today = MyUtils::GetCurrentDateString();
        if (!today.empty() && today != CurrentDateString) {
            CurrentDateString = today;
            WriteToFile(std::string(kSwitchNotice) + CurrentDateString);
            Close();
            Open();
        }
    }

    AppendToFile(entry->Message);

    if (OutputToConsole && !(inJournal && mJournal.StdoutIsJournal())) {
        if (entry->Color != 0)
            std::printf("\x1b[38;5;%um%s\x1b[0m\n", static_cast<unsigned>(static_cast<unsigned char>(entry->Color)),
                        entry->Message.c_str());
        else
            std::printf("%s\n", entry->Message.c_str());
    }

    // Into the history last: a callback that pops the history or polls again
    // can then never free the entry that is being delivered.
    pLogHistory->push_back(entry);
    if (pLogHistory->size() > kHistoryLimit) {
        TLogEntry* oldest = pLogHistory->front();
        pLogHistory->pop_front();
        Recycle(oldest);
    }
}

int TLogManager::WriteLog(TLogType LogType, unsigned long GameId, const char* pText, ...)
{
    if (!pText || !initialized.load(std::memory_order_relaxed))
        return -1;
    va_list args;
    va_start(args, pText);
    int result = FormatAndWrite(*this, 0, LogType, GameId, pText, args);
    va_end(args);
    return result;
}

int TLogManager::WriteColoredLog(char color, TLogType LogType, unsigned long GameId, const char* pText, ...)
{
    if (!pText || !initialized.load(std::memory_order_relaxed))
        return -1;
    va_list args;
    va_start(args, pText);
    int result = FormatAndWrite(*this, color, LogType, GameId, pText, args);
    va_end(args);
    return result;
}

int TLogManager::WriteLog(TLogType LogType, unsigned long GameId, const std::string& Text)
{
    return _WriteLog(0, LogType, GameId, Text);
}

int TLogManager::WriteLog(std::string Text)
{
    return _WriteLog(0, 0, 0, Text);
}

int TLogManager::WriteLog(TLogType LogType, std::string Text)
{
    return _WriteLog(0, LogType, 0, Text);
}

int TLogManager::_WriteLog(char color, TLogType LogType, unsigned long GameId, const std::string& Text)
{
    if (!initialized.load(std::memory_order_relaxed))
        return -1;
    WriterLocal& local = tWriter;
    std::time_t now = vorel_sdl2::Platform.Now();
    std::string_view stamp = TimeStamp(local.stamp, now);
    std::string_view level = bAppendPrefix ? LevelText(LogType) : kStampGap;

    EntryHold entry(local);
    entry->LogType = LogType;
    entry->GameId = GameId;
    entry->LogEntryIndex = 0;
    entry->Color = color;
    // One byte more for the line feed Poll appends when writing the file.
    entry->Message.clear();
    entry->Message.reserve(stamp.size() + level.size() + Text.size() + 1);
    entry->Message.append(stamp).append(level).append(Text);

    // The copy for LastLog is made here as well; under the lock the buffers are only swapped.
    ScratchText last(local.lastLog);
    (*last).assign(Text);
    {
        ScopedSDLMutex lock(pLogEntriesMutex);
        if (!initialized.load(std::memory_order_relaxed))
            return -1;
        if (bQueueFull || pLogEntries->size() + mTakenCount >= mQueueLimit) {
            bQueueFull = true;
            ++mQueueDropped;
            return 1;
        }
        Time = now;
        LastLog.swap(*last);
        pLogEntries->push_back(entry.Get());
        entry.Release();
        mQueuedNow.store(pLogEntries->size(), std::memory_order_relaxed);
        TLogEntry* none = nullptr;
        if (!mFreeEntries.empty() &&
            local.spare.compare_exchange_strong(none, mFreeEntries.back(), std::memory_order_relaxed))
            mFreeEntries.pop_back();
    }
    return 0;
}

void TLogManager::OnWriteLog(const TLogEntry&, int) {}

bool TLogManager::SendToJournal(const TLogEntry& entry)
{
    // The journal keeps its own time and priority: MESSAGE is the bare text.
    std::string_view text = entry.Message;
    if (text.size() >= 24) {
        text.remove_prefix(24);
        std::string_view level = bAppendPrefix ? LevelText(entry.LogType) : kStampGap;
        if (text.substr(0, level.size()) == level)
            text.remove_prefix(level.size());
    }
    int error = mJournal.Send(entry.LogType, entry.GameId, text);
    if (error == 0) {
        bJournalReported = false;
        return true;
    }
    if (!bJournalReported)
        std::printf("logman: the journal does not take entries (%s); the log file still gets them\n",
                    std::strerror(error));
    bJournalReported = true;
    return false;
}

std::string TLogManager::MakeLine(std::time_t when, TLogType type, const std::string& text) const
{
    std::string_view stamp = TimeStamp(tWriter.stamp, when);
    std::string_view level = bAppendPrefix ? LevelText(type) : kStampGap;
    std::string line;
    line.reserve(stamp.size() + level.size() + text.size() + 1);
    line.append(stamp).append(level).append(text);
    return line;
}

void TLogManager::SetQueueLimit(size_t entries)
{
    ScopedSDLMutex lock(pLogEntriesMutex);
    mQueueLimit = std::max<size_t>(entries, 1);
}

size_t TLogManager::QueuedEntries() const
{
    ScopedSDLMutex lock(pLogEntriesMutex);
    return pLogEntries ? pLogEntries->size() + mTakenCount : 0;
}

std::string TLogManager::PopLogHistory()
{
    if (!initialized || !pLogHistory || pLogHistory->empty())
        return std::string();
    TLogEntry* oldest = pLogHistory->front();
    pLogHistory->pop_front();
    std::string message = std::move(oldest->Message);
    delete oldest;
    return message;
}

std::string TLogManager::GetLastLog() const
{
    // Writers swap LastLog's buffer; copying it without the lock could read freed memory.
    ScopedSDLMutex lock(pLogEntriesMutex);
    return LastLog;
}

namespace logman {

int WriteLog(const std::string& Text)
{
    TLogManager* manager = DefaultInstance().load();
    return manager ? manager->WriteLog(0, 0, Text) : -1;
}

int WriteLog(unsigned int LogType, const std::string& Text)
{
    TLogManager* manager = DefaultInstance().load();
    return manager ? manager->WriteLog(LogType, 0, Text) : -1;
}

int WriteLog(unsigned int LogType, unsigned long GameId, const std::string& Text)
{
    TLogManager* manager = DefaultInstance().load();
    return manager ? manager->WriteLog(LogType, GameId, Text) : -1;
}

int WriteLog(unsigned int LogType, unsigned long GameId, const char* pText, ...)
{
    TLogManager* manager = DefaultInstance().load();
    // A null format is refused like the member does; formatting it would crash.
    if (!manager || !pText)
        return -1;
    va_list args;
    va_start(args, pText);
    int result = FormatAndWrite(*manager, 0, LogType, GameId, pText, args);
    va_end(args);
    return result;
}

int WriteColoredLog(char color, unsigned int LogType, unsigned long GameId, const char* pText, ...)
{
    TLogManager* manager = DefaultInstance().load();
    if (!manager || !pText)
        return -1;
    va_list args;
    va_start(args, pText);
    int result = FormatAndWrite(*manager, color, LogType, GameId, pText, args);
    va_end(args);
    return result;
}

int Poll()
{
    TLogManager* manager = DefaultInstance().load();
    return manager ? manager->Poll() : -1;
}

std::string GetLastLog()
{
    TLogManager* manager = DefaultInstance().load();
    return manager ? manager->GetLastLog() : std::string();
}

} // namespace logman
