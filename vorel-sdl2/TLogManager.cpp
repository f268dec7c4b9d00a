#include "TLogManager.h"

#include "Platform.h"

#include <cstdarg>
#include <cstdio>

namespace logman {
TLogManager* pDefInst = nullptr;
}

namespace {

constexpr size_t kFormatBuffer = 2048;
constexpr size_t kHistoryLimit = 50;

const char* LevelText(TLogType type)
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

// The 24-character asctime form, without its line break.
void TimeStamp(std::time_t t, char out[32])
{
    struct tm local;
    localtime_r(&t, &local);
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::snprintf(out, 32, "%s %s %2d %02d:%02d:%02d %04d", days[local.tm_wday % 7], months[local.tm_mon % 12],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
}

} // namespace

TLogManager::TLogManager()
    : bAppendPrefix(true), OutputToConsole(false), AutoHandleOldLogs(false), initialized(0), LastTime(0),
      pLogEntries(nullptr), pLogEntriesMutex(nullptr), pLogHistory(nullptr), pfOnWriteLog(nullptr),
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
    CurrentDateString.clear();
    FullLogFileFilename.clear();
    LogFileFilename = logFileFilename;
    pfOnWriteLog = onWriteLog;
    pUserData = userData;
    AutoHandleOldLogs = autoHandleOldLogs;
    OutputToConsole = false;
    if (!pLogEntriesMutex)
        pLogEntriesMutex = SDL_CreateMutex();
    if (!pLogEntries)
        pLogEntries = new std::deque<TLogEntry*>();
    if (!pLogHistory)
        pLogHistory = new std::deque<TLogEntry*>();
    LastTime = vorel_sdl2::Platform.Ticks();
    Open();
    if (!logman::pDefInst)
        logman::pDefInst = this;
    initialized = 1;
    return 0;
}

void TLogManager::Destroy()
{
    if (!initialized)
        return;
    initialized = 0;
    std::printf("logman: calling Poll() for the last time.\n");
    SDL_LockMutex(pLogEntriesMutex);
    while (!pLogEntries->empty()) {
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
    if (logman::pDefInst == this)
        logman::pDefInst = nullptr;
    Close();
    SDL_DestroyMutex(pLogEntriesMutex);
    pLogEntriesMutex = nullptr;
    for (TLogEntry* e : *pLogEntries)
        delete e;
    for (TLogEntry* e : *pLogHistory)
        delete e;
    delete pLogEntries;
    delete pLogHistory;
    pLogEntries = nullptr;
    pLogHistory = nullptr;
}

int TLogManager::Poll()
{
    if (!initialized)
        return -1;
    SDL_LockMutex(pLogEntriesMutex);
    while (!pLogEntries->empty()) {
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
    return 0;
}

void TLogManager::ProcessEntry(TLogEntry* entry)
{
    pLogHistory->push_back(entry);
    if (pLogHistory->size() > kHistoryLimit) {
        delete pLogHistory->front();
        pLogHistory->pop_front();
    }
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
    if (entry->LogType > 65536 && entry->Message.size() >= 24)
        entry->Message.insert(24, ": LT_USER_" + std::to_string(entry->LogType));
    WriteToFile(entry->Message + "\n");
    if (OutputToConsole) {
        if (entry->Color != 0)
            std::printf("\x1b[38;5;%um%s\x1b[0m\n", static_cast<unsigned>(static_cast<unsigned char>(entry->Color)),
                        entry->Message.c_str());
        else
            std::printf("%s\n", entry->Message.c_str());
    }
}

int TLogManager::WriteLog(TLogType LogType, unsigned long GameId, const char* pText, ...)
{
    if (!pText || !initialized)
        return -1;
    char buffer[kFormatBuffer];
    va_list args;
    va_start(args, pText);
    std::vsnprintf(buffer, sizeof buffer, pText, args);
    va_end(args);
    return _WriteLog(0, LogType, GameId, buffer);
}

int TLogManager::WriteColoredLog(char color, TLogType LogType, unsigned long GameId, const char* pText, ...)
{
    if (!pText || !initialized)
        return -1;
    char buffer[kFormatBuffer];
    va_list args;
    va_start(args, pText);
    std::vsnprintf(buffer, sizeof buffer, pText, args);
    va_end(args);
    return _WriteLog(color, LogType, GameId, buffer);
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
    if (!initialized)
        return -1;
    std::time_t now = vorel_sdl2::Platform.Now();
    char stamp[32];
    TimeStamp(now, stamp);
    TLogEntry* entry = new TLogEntry();
    entry->LogType = LogType;
    entry->GameId = GameId;
    const char* level = bAppendPrefix ? LevelText(LogType) : ": ";
    entry->Message.reserve(24 + 14 + Text.size());
    entry->Message.append(stamp).append(level).append(Text);
    entry->Color = color;
    SDL_LockMutex(pLogEntriesMutex);
    Time = now;
    LastLog = Text;
    pLogEntries->push_back(entry);
    SDL_UnlockMutex(pLogEntriesMutex);
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

// The dated log files come with the log-file unit; until a file is open every
// line goes to standard output, which is the documented fallback.
int TLogManager::Open()
{
    return -1;
}

void TLogManager::Close()
{
    if (hLogFile.is_open())
        hLogFile.close();
}

void TLogManager::WriteToFile(const std::string& text)
{
    if (hLogFile.is_open()) {
        hLogFile << text;
        return;
    }
    std::fputs(text.c_str(), stdout);
}

namespace logman {

int WriteLog(const std::string& Text)
{
    return pDefInst ? pDefInst->WriteLog(0, 0, Text) : -1;
}

int WriteLog(unsigned int LogType, const std::string& Text)
{
    return pDefInst ? pDefInst->WriteLog(LogType, 0, Text) : -1;
}

int WriteLog(unsigned int LogType, unsigned long GameId, const std::string& Text)
{
    return pDefInst ? pDefInst->WriteLog(LogType, GameId, Text) : -1;
}

int WriteLog(unsigned int LogType, unsigned long GameId, const char* pText, ...)
{
    if (!pDefInst)
        return -1;
    char buffer[kFormatBuffer];
    va_list args;
    va_start(args, pText);
    std::vsnprintf(buffer, sizeof buffer, pText ? pText : "", args);
    va_end(args);
    return pDefInst->_WriteLog(0, LogType, GameId, buffer);
}

int WriteColoredLog(char color, unsigned int LogType, unsigned long GameId, const char* pText, ...)
{
    if (!pDefInst)
        return -1;
    char buffer[kFormatBuffer];
    va_list args;
    va_start(args, pText);
    std::vsnprintf(buffer, sizeof buffer, pText ? pText : "", args);
    va_end(args);
    return pDefInst->_WriteLog(color, LogType, GameId, buffer);
}

int Poll()
{
    return pDefInst ? pDefInst->Poll() : -1;
}

std::string GetLastLog()
{
    return pDefInst ? pDefInst->GetLastLog() : std::string();
}

} // namespace logman
