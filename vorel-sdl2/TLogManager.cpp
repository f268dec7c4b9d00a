#include "TLogManager.h"

#include "ThreadSafeProperty.h"

#include "MyUtilsTime.h"
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace logman {
TLogManager* pDefInst = nullptr;
}

namespace {

namespace fs = std::filesystem;

constexpr size_t kFormatBuffer = 2048;
constexpr size_t kHistoryLimit = 50;
constexpr size_t kKeptLogFiles = 39;
constexpr size_t kPollMargin = 1000;
constexpr Uint32 kDateCheckMs = 10000;
constexpr std::string_view kStampGap = ": ";
constexpr std::string_view kFirstLine = "== APP CREATED THIS FILE ==\n";
constexpr std::string_view kSwitchNotice = "Switching to log with date ";

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

// The asctime form without its line break (24 characters for four-digit
// years). Formatting it is the dearest step of a write, so each thread keeps
// the stamp of the last second it logged in.
struct StampCache {
    std::time_t second = -1;
    int length = 0;
    char text[40];
};
thread_local StampCache tStamp;

std::string_view TimeStamp(std::time_t t)
{
    StampCache& cache = tStamp;
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

// A per-thread string whose capacity is reused from call to call, so a write
// normally allocates nothing for it. A nested use on the same thread (a
// signal handler, an override that logs from inside a write) gets a fresh
// string instead. Slot tells the independent uses apart.
template <int Slot>
class ScratchText {
public:
    ScratchText()
    {
        Slot_& slot = tSlot;
        if (!slot.busy) {
            slot.busy = true;
            mText = &slot.text;
        } else {
            mText = &mOwn;
        }
    }
    ~ScratchText()
    {
        if (mText != &mOwn) {
            // Do not keep a huge buffer alive on every thread that once logged one.
            if (mText->capacity() > 4 * kFormatBuffer)
                std::string().swap(*mText);
            tSlot.busy = false;
        }
    }
    ScratchText(const ScratchText&) = delete;
    ScratchText& operator=(const ScratchText&) = delete;
    std::string& operator*() { return *mText; }

private:
    struct Slot_ {
        std::string text;
        bool busy = false;
    };
    static thread_local Slot_ tSlot;
    std::string* mText;
    std::string mOwn;
};
template <int Slot>
thread_local typename ScratchText<Slot>::Slot_ ScratchText<Slot>::tSlot;

enum { SCRATCH_FORMAT = 0, SCRATCH_LASTLOG = 1 };

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
    ScratchText<SCRATCH_FORMAT> text;
    (*text).assign(buffer, length);
    return manager._WriteLog(color, type, gameId, *text);
}

// Removes every occurrence of each extension from the file-name component of
// a path; the directory part is left as given.
std::string BasePath(const std::string& configured)
{
    size_t slash = configured.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string name = configured.substr(nameStart);
    for (std::string_view ext : {std::string_view(".log"), std::string_view(".txt")})
        for (size_t pos; (pos = name.find(ext)) != std::string::npos;)
            name.erase(pos, ext.size());
    return configured.substr(0, nameStart) + name;
}

bool IsDigits(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// prefix + "_" + YYYY-MM-DD + ".log": the only names this log owns.
bool IsDatedLogName(std::string_view name, std::string_view prefix)
{
    constexpr size_t kDated = 1 + 10 + 4; // "_", the date, ".log"
    if (name.size() != prefix.size() + kDated || name.substr(0, prefix.size()) != prefix)
        return false;
    std::string_view rest = name.substr(prefix.size());
    return rest[0] == '_' && IsDigits(rest.substr(1, 4)) && rest[5] == '-' && IsDigits(rest.substr(6, 2)) &&
           rest[8] == '-' && IsDigits(rest.substr(9, 2)) && rest.substr(11) == ".log";
}

// Keeps the newest kKeptLogFiles dated files of this log in dir and removes
// the rest. Anything that cannot be listed or removed is left alone.
void RemoveOldLogs(const fs::path& dir, const std::string& prefix)
{
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec)
        return;
    std::vector<std::pair<fs::file_time_type, fs::path>> files;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            break;
        std::error_code entryError;
        if (it->is_symlink(entryError) || !it->is_regular_file(entryError))
            continue;
        if (!IsDatedLogName(it->path().filename().native(), prefix))
            continue;
        fs::file_time_type written = it->last_write_time(entryError);
        if (entryError)
            continue;
        files.emplace_back(written, it->path());
    }
    if (files.size() <= kKeptLogFiles)
        return;
    // Newest first; equal times fall back to the name, whose date orders it.
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second > b.second;
    });
    for (size_t i = kKeptLogFiles; i < files.size(); ++i) {
        std::error_code removeError;
        fs::remove(files[i].second, removeError);
    }
}

} // namespace

TLogManager::TLogManager()
    : bAppendPrefix(true), OutputToConsole(false), AutoHandleOldLogs(false), initialized(0), LastTime(0),
      pLogEntries(nullptr), pLogEntriesMutex(SDL_CreateMutex()), pLogHistory(nullptr), pfOnWriteLog(nullptr),
      pUserData(nullptr), Time(0), LinesToGo(0)
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
    }
    if (!pLogHistory)
        pLogHistory = new std::deque<TLogEntry*>();
    LastTime = vorel_sdl2::Platform.Ticks();
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
    std::deque<TLogEntry*>* entries;
    {
        ScopedSDLMutex lock(pLogEntriesMutex);
        entries = pLogEntries;
        pLogEntries = nullptr;
    }
    for (TLogEntry* e : *entries)
        delete e;
    delete entries;
    for (TLogEntry* e : *pLogHistory)
        delete e;
    delete pLogHistory;
    pLogHistory = nullptr;
}

int TLogManager::Poll()
{
    if (!initialized)
        return -1;
    DrainQueue(true);
    return 0;
}

void TLogManager::DrainQueue(bool bounded)
{
    SDL_LockMutex(pLogEntriesMutex);
    // Writers that outpace the poller must not keep it here for ever: a Poll
    // delivers what was queued when it began plus a margin for lines its own
    // callbacks log; the rest waits for the next Poll.
    size_t budget = bounded ? pLogEntries->size() + kPollMargin : SIZE_MAX;
    while (!pLogEntries->empty() && budget-- > 0) {
        LinesToGo = static_cast<int>(pLogEntries->size()) - 1;
        TLogEntry* entry = pLogEntries->front();
        pLogEntries->pop_front();
        SDL_UnlockMutex(pLogEntriesMutex);
        ProcessEntry(entry);
        SDL_LockMutex(pLogEntriesMutex);
    }
    SDL_UnlockMutex(pLogEntriesMutex);
    if (hLogFile.is_open())
        hLogFile.flush();
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

    entry->Message.push_back('\n');
    WriteToFile(entry->Message);
    entry->Message.pop_back();

    if (OutputToConsole) {
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
        delete pLogHistory->front();
        pLogHistory->pop_front();
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
    std::time_t now = vorel_sdl2::Platform.Now();
    std::string_view stamp = TimeStamp(now);
    std::string_view level = bAppendPrefix ? LevelText(LogType) : kStampGap;

    auto entry = std::make_unique<TLogEntry>();
    entry->LogType = LogType;
    entry->GameId = GameId;
    entry->Color = color;
    // One byte more for the line feed Poll appends when writing the file.
    entry->Message.reserve(stamp.size() + level.size() + Text.size() + 1);
    entry->Message.append(stamp).append(level).append(Text);

    // The copy for LastLog is made here as well; under the lock the buffers are only swapped.
    ScratchText<SCRATCH_LASTLOG> last;
    (*last).assign(Text);
    {
        ScopedSDLMutex lock(pLogEntriesMutex);
        if (!initialized.load(std::memory_order_relaxed))
            return -1;
        Time = now;
        LastLog.swap(*last);
        pLogEntries->push_back(entry.get());
    }
    entry.release();
    return 0;
}

void TLogManager::OnWriteLog(const TLogEntry&, int) {}

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

int TLogManager::Open()
{
    FullLogFileFilename = BasePath(LogFileFilename);
    // The match prefix is the base name, so the clean-up finds exactly the files written below.
    std::string prefix = fs::path(FullLogFileFilename).filename().native();
    fs::path configuredDir = fs::path(LogFileFilename).parent_path();
    std::error_code ec;
    fs::path logDir = configuredDir.empty() ? fs::current_path(ec) : configuredDir;

    if (AutoHandleOldLogs && !logDir.empty())
        RemoveOldLogs(logDir, prefix);

    CurrentDateString = MyUtils::GetCurrentDateString();
    std::string path = FullLogFileFilename + "_" + CurrentDateString + ".log";

    // Only a file known to be missing is created (truncating); when its state
    // cannot be read, the append below decides.
    bool missing = !fs::exists(path, ec) && !ec;
    if (missing) {
        if (!configuredDir.empty())
            fs::create_directories(configuredDir, ec);
        std::ofstream created(path, std::ios::out | std::ios::trunc);
        if (created.is_open())
            created << kFirstLine;
    }

    errno = 0;
    hLogFile.open(path, std::ios::out | std::ios::app);
    if (hLogFile.is_open()) {
        hLogFile.clear();
        std::printf("logman: Logging to file '%s'\n", path.c_str());
    } else {
        int error = errno;
        std::printf("\nlogman: Can not open log file with message:\n");
        std::fflush(stdout);
        errno = error;
        std::perror(path.c_str());
    }

    if (!hLogFile.is_open() && !pfOnWriteLog) {
        std::printf("\nlogman WARNING: no channels to output. Will output to console.\n");
        return -1;
    }
    return 0;
}

void TLogManager::Close()
{
    if (!hLogFile.is_open())
        return;
    hLogFile.close();
    std::printf("%s closed.\n", FullLogFileFilename.c_str());
    FullLogFileFilename.clear();
}

void TLogManager::WriteToFile(const std::string& text)
{
    // A stream that failed (disk full, file gone bad) would swallow every
    // later line; those go to the console like lines without a file.
    if (hLogFile.is_open() && hLogFile.good()) {
        hLogFile.write(text.data(), static_cast<std::streamsize>(text.size()));
        return;
    }
    std::printf("logman(logfile error): %s\n", text.c_str());
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
