// The log manager: any thread hands it a line, only the polling thread writes.
//
// Writers (WriteLog and friends, from any thread) build a time-stamped entry
// outside any lock and append it to a queue under one short critical section;
// they never touch the file or the console. The entry is normally one that a
// Poll handed back after it left the history, so a write allocates nothing. Poll(), on one thread only (the
// application's main loop), delivers the entries to the callbacks, the day's
// log file and, when asked, the console. TApplication is a TLogManager; code
// without the application object logs through the logman free functions.
//
// Files: Init("dir/app.log") writes dir/app_YYYY-MM-DD.log (local date),
// appending across restarts and switching to a new file when the day changes
// (checked at most every 10 s of ticks while entries flow). With
// AutoHandleOldLogs the 39 newest dated files of this log survive each open,
// newest by the date in their names, and the day's own file is never removed.
//
// The file survives the disk. Each Poll checks that the path still names the
// open file; when it was removed (or its folder, or a volume went away) the
// day's file is opened again at once, its folder created again, and retried
// every second while that fails. Lines that the file cannot take (no file, a
// write that failed part-way) go whole to standard output with the prefix
// "logman(logfile error): "; the file holds only whole lines. When it takes
// lines again, one line records the outage and one its end.
//
// Bounds. One Poll delivers what was queued when it began (and what its
// callbacks log), for at most about kPollBudgetMs of ticks; the rest stays
// queued, in order, for the next Poll. At most SetQueueLimit entries
// (default kDefaultQueueLimit) wait in the queue: further writes return 1 and
// are counted, and once the queue is down to half the limit the count is
// queued as "logman: N lines dropped". The file leaves a reserve of free space
// on its file system (SetDiskReserve; default the smaller of 256 MiB and 5 %
// of its size, 0 turns it off): below it the oldest dated files of this log
// go first (with AutoHandleOldLogs; never the day's own), then lines that do
// not fit are counted instead of written, and the count is written as
// "logman: N lines dropped" once there is room again. Callbacks and the
// history see every line that was queued.
//
// Journal: under the service manager each entry is also sent to the systemd
// journal by Poll, with its priority and fields (TJournal.h; VOREL_JOURNAL=0
// switches it off). An entry the journal took is not echoed to standard
// output when that is a journal stream already. A journal that is gone or
// full never blocks Poll and changes nothing in the file; one status line
// reports it.
//
// Guarantees: a write that returned 0 is delivered by a later Poll or by
// Destroy, even when Destroy races with writers; writes before Init or after
// Destroy return -1 and are dropped. Callback exceptions are caught per entry.
// bAppendPrefix is read by writers unlocked: set it before they start.
// Destroy must be called by the owner before the object goes away, and
// writers must have stopped before the destructor runs.
#pragma once

#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_stdinc.h>

#include "TJournal.h"
#include "TLogFile.h"

#include <atomic>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

typedef Uint32 TLogType;

struct TLogEntry {
    TLogType LogType = 0;
    unsigned long long GameId = 0;
    Sint16 LogEntryIndex = 0;
    std::string Message;
    char Color = 0;
};

typedef void (*TpfOnWriteLog)(void* pUserData, const TLogEntry& entry, int LinesToGo);

class TLogManager {
public:
    TLogManager();
    virtual ~TLogManager();

    int Init(std::string LogFileFilename, TpfOnWriteLog pfOnWriteLog = nullptr, void* pUserData = nullptr,
             bool AutoHandleOldLogs = true);
    void Destroy();
    int Poll();

    // Formatted writers cut the text to 2047 bytes.
    int WriteLog(TLogType LogType, unsigned long GameId, const char* pText, ...)
        __attribute__((format(printf, 4, 5)));
    int WriteColoredLog(char color, TLogType LogType, unsigned long GameId, const char* pText, ...)
        __attribute__((format(printf, 5, 6)));
    int WriteLog(TLogType LogType, unsigned long GameId, const std::string& Text);
    int WriteLog(std::string Text);
    int WriteLog(TLogType LogType, std::string Text);

    virtual int _WriteLog(char color, TLogType LogType, unsigned long GameId, const std::string& Text);
    // Called on the polling thread for every entry; LinesToGo entries are still queued behind it.
    virtual void OnWriteLog(const TLogEntry& pLogEntry, int LinesToGo);

    void SetOutputToConsole(bool output) { OutputToConsole = output; }
    std::string PopLogHistory();
    std::string GetLastLog() const;
    std::string GetLogFileName() const { return LogFileFilename; }

    int Open();
    void Close();
    void WriteToFile(const std::string& text);

    // Entries the queue holds at most; writes beyond it return 1 and are
    // counted (at least 1; any thread).
    void SetQueueLimit(size_t entries);
    // Free bytes the log file leaves on its file system; negative for the
    // default (the smaller of 256 MiB and 5 % of its size), 0 for none.
    void SetDiskReserve(long long bytes) { mDiskReserve = bytes; }
    size_t QueuedEntries() const;

    static constexpr size_t kDefaultQueueLimit = 200000;
    static constexpr Uint32 kPollBudgetMs = 4;

    bool bAppendPrefix;

protected:
    // Delivers the queued entries, then flushes the file. Bounded (Poll): at
    // most what was queued at the start plus a margin, and for at most
    // kPollBudgetMs; unbounded (Destroy): all.
    void DrainQueue(bool bounded);
    // Delivers one entry taken off the queue; the caller holds no lock.
    void ProcessEntry(TLogEntry* entry);
    void QueueDroppedNotice();
    // Moves the next entries off the queue into mTaken under one critical
    // section; false when there is nothing (left) to take.
    // The first one of a bounded drain sets its budget.
    bool TakeEntries(size_t& budget, bool& bBudgetDue);
    // Entries that left the history go back to writers (TLogManager.cpp).
    void Recycle(TLogEntry* entry);
    void HandOverRecycled();
    void DeleteRecycled();
    void FreeRecycled();
    // True when the journal took the entry.
    bool SendToJournal(const TLogEntry& entry);
    // A finished log line: time stamp, level text (or ": "), text.
    std::string MakeLine(std::time_t when, TLogType type, const std::string& text) const;

    // File side (TLogManagerFiles.cpp).
    void AppendToFile(const std::string& message);
    void FlushFile();
    int OpenDayFile(bool bReportFailure);
    void RetryFileIfDue();
    void BeginOutage(const std::string& reason, bool bReport);
    bool WriteNotices(unsigned long long& room, int& error);
    unsigned long long RoomAboveReserve(size_t wanted);
    void ToConsole(const char* text, size_t size);

    std::string LogFileFilename;
    std::string FullLogFileFilename;
    std::string CurrentDateString;
    bool OutputToConsole;
    bool AutoHandleOldLogs;
    // Read by writers on any thread without the lock as a fast refusal; set
    // and cleared under the lock so that no entry slips in after Destroy.
    std::atomic<int> initialized;
    Uint32 LastTime;
    TLogFile hLogFile;
    std::deque<TLogEntry*>* pLogEntries;
    // Lives as long as the object, so a writer racing with Destroy never
    // locks a destroyed mutex.
    SDL_mutex* pLogEntriesMutex;
    std::deque<TLogEntry*>* pLogHistory;
    TpfOnWriteLog pfOnWriteLog;
    void* pUserData;
    std::time_t Time;
    int LinesToGo;
    std::string LastLog;

    // Guarded by pLogEntriesMutex: the queue bound and what it refused.
    size_t mQueueLimit;
    bool bQueueFull;
    unsigned long mQueueDropped;
    // Taken off the queue by a drain but not yet delivered, as of the
    // drain's last critical section; writers count them as queued.
    size_t mTakenCount;
    // Guarded by pLogEntriesMutex: processed entries a writer takes to fill
    // instead of allocating one.
    std::vector<TLogEntry*> mFreeEntries;
    // Polling thread only: processed entries not yet handed to writers, or
    // (after a hand-over) the surplus to free.
    std::vector<TLogEntry*> mRecycled;
    // Polling side, one drain at a time: entries taken off the queue in one
    // critical section, delivered in order from mTakenNext on. A drain that
    // stops early (budget) leaves the rest for the next one, ahead of the queue.
    std::vector<TLogEntry*> mTaken;
    size_t mTakenNext;
    // The queue's size, stored under the lock, read by a drain without it
    // for LinesToGo.
    std::atomic<size_t> mQueuedNow;

    // Polling thread only: lines for the file since the last flush, and the
    // file's troubles.
    std::string mFileBuffer;
    bool bWantFile;      // between Open and Close
    bool bHeaderPending; // the file was created but its first line not yet written
    Uint32 mLastRetry;
    bool bOutage;
    std::time_t mOutageSince;
    std::string mOutageReason;
    unsigned long mConsoleLines;
    std::atomic<long long> mDiskReserve;
    bool bBelowReserve;
    unsigned long mDiskDropped;
    Uint32 mLastSweep;

    vorel_sdl2::TJournal mJournal;
    bool bJournalReported;
};

namespace logman {

extern TLogManager* pDefInst;

int WriteLog(const std::string& Text);
int WriteLog(unsigned int LogType, const std::string& Text);
int WriteLog(unsigned int LogType, unsigned long GameId, const std::string& Text);
int WriteLog(unsigned int LogType, unsigned long GameId, const char* pText, ...)
    __attribute__((format(printf, 3, 4)));
int WriteColoredLog(char color, unsigned int LogType, unsigned long GameId, const char* pText, ...)
    __attribute__((format(printf, 4, 5)));
int Poll();
std::string GetLastLog();

} // namespace logman
