// The log manager: any thread hands it a line, only the polling thread writes.
//
// Writers (WriteLog and friends, from any thread) build a time-stamped entry
// outside any lock and append it to a queue under one short critical section;
// they never touch the file or the console. Poll(), on one thread only (the
// application's main loop), delivers the entries to the callbacks, the day's
// log file and, when asked, the console. TApplication is a TLogManager; code
// without the application object logs through the logman free functions.
//
// Files: Init("dir/app.log") writes dir/app_YYYY-MM-DD.log (local date),
// appending across restarts and switching to a new file when the day changes
// (checked at most every 10 s of ticks while entries flow). With
// AutoHandleOldLogs the 39 newest dated files of this log survive each open;
// older ones are removed. If no file can be opened, lines go to standard
// output instead.
//
// Guarantees: a write that returned 0 is delivered by a later Poll or by
// Destroy, even when Destroy races with writers; writes before Init or after
// Destroy return -1 and are dropped. One Poll delivers what was queued when it
// began (and what its callbacks log), but never runs on without end while
// other threads keep writing. Callback exceptions are caught per entry.
// bAppendPrefix is read by writers unlocked: set it before they start.
// Destroy must be called by the owner before the object goes away, and
// writers must have stopped before the destructor runs.
#pragma once

#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_stdinc.h>

#include <atomic>
#include <ctime>
#include <deque>
#include <fstream>
#include <string>

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

    bool bAppendPrefix;

protected:
    // Delivers the queued entries, then flushes the file. Bounded (Poll): at
    // most what was queued at the start plus a margin; unbounded (Destroy): all.
    void DrainQueue(bool bounded);
    // Delivers one entry taken off the queue; the caller holds no lock.
    void ProcessEntry(TLogEntry* entry);

    std::string LogFileFilename;
    std::string FullLogFileFilename;
    std::string CurrentDateString;
    bool OutputToConsole;
    bool AutoHandleOldLogs;
    // Read by writers on any thread without the lock as a fast refusal; set
    // and cleared under the lock so that no entry slips in after Destroy.
    std::atomic<int> initialized;
    Uint32 LastTime;
    std::ofstream hLogFile;
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
