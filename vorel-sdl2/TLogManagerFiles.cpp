// The log manager's file side: naming and opening the day's file, clean-up
// of old files, and the flush at the end of a Poll with what it does when the
// file is gone, cannot take a write or its disk runs low.
#include "TLogManager.h"

#include "MyUtilsTime.h"
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr size_t kKeptLogFiles = 39;
// A batch is written at the end of Poll, or earlier once it is this big.
constexpr size_t kFlushBytes = 256 * 1024;
constexpr Uint32 kRetryMs = 1000;
constexpr unsigned long long kMaxDefaultReserve = 256ull << 20;
constexpr std::string_view kFirstLine = "== APP CREATED THIS FILE ==\n";
constexpr std::string_view kConsolePrefix = "logman(logfile error): ";

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

fs::path LogDirectory(const std::string& configured)
{
    fs::path dir = fs::path(configured).parent_path();
    std::error_code ec;
    return dir.empty() ? fs::current_path(ec) : dir;
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

// The dated files of this log in dir other than keep, oldest date first.
// The date in the name orders them: modification times follow the clock,
// and a clock that ran ahead must not make old files look new.
std::vector<fs::path> OldLogs(const fs::path& dir, const std::string& prefix, const std::string& keep)
{
    std::vector<fs::path> files;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec)
        return files;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            break;
        std::error_code entryError;
        if (it->is_symlink(entryError) || !it->is_regular_file(entryError))
            continue;
        const std::string name = it->path().filename().native();
        if (name != keep && IsDatedLogName(name, prefix))
            files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Keeps the newest kKeptLogFiles dated files, the day's file among them when
// it exists, and removes the rest. What cannot be listed or removed stays.
void RemoveOldLogs(const fs::path& dir, const std::string& prefix, const std::string& dayFile)
{
    std::vector<fs::path> others = OldLogs(dir, prefix, dayFile);
    std::error_code ec;
    size_t keepOthers = kKeptLogFiles - (fs::exists(dir / dayFile, ec) ? 1 : 0);
    for (size_t i = 0; i + keepOthers < others.size(); ++i) {
        std::error_code removeError;
        fs::remove(others[i], removeError);
    }
}

bool IsSpaceError(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

size_t CountLines(const char* text, size_t size)
{
    size_t lines = static_cast<size_t>(std::count(text, text + size, '\n'));
    return lines + (size > 0 && text[size - 1] != '\n' ? 1 : 0);
}

} // namespace

int TLogManager::Open()
{
    FlushFile();
    FullLogFileFilename = BasePath(LogFileFilename);
    CurrentDateString = MyUtils::GetCurrentDateString();
    // The match prefix is the base name, so the clean-up finds exactly the files written below.
    std::string prefix = fs::path(FullLogFileFilename).filename().native();
    fs::path logDir = LogDirectory(LogFileFilename);
    if (AutoHandleOldLogs && !logDir.empty())
        RemoveOldLogs(logDir, prefix, prefix + "_" + CurrentDateString + ".log");

    bWantFile = true;
    if (OpenDayFile(true) != 0 && !pfOnWriteLog) {
        std::printf("\nlogman WARNING: no channels to output. Will output to console.\n");
        return -1;
    }
    return 0;
}

// Opens the file of CurrentDateString, creating it and its folder when missing.
int TLogManager::OpenDayFile(bool bReportFailure)
{
    std::string path = FullLogFileFilename + "_" + CurrentDateString + ".log";
    std::error_code ec;
    fs::path configuredDir = fs::path(LogFileFilename).parent_path();
    if (!configuredDir.empty() && !fs::exists(path, ec) && !ec)
        fs::create_directories(configuredDir, ec);
    bool created = false;
    int error = hLogFile.Open(path, created);
    mLastRetry = vorel_sdl2::Platform.Ticks();
    if (error == 0) {
        std::printf("logman: Logging to file '%s'\n", path.c_str());
        int writeError = 0;
        bHeaderPending =
            created && hLogFile.Write(kFirstLine.data(), kFirstLine.size(), writeError, true) == 0;
        return 0;
    }
    if (bReportFailure) {
        std::printf("\nlogman: Can not open log file with message:\n");
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(error));
    }
    BeginOutage(std::strerror(error), false);
    return error;
}

void TLogManager::RetryFileIfDue()
{
    if (bWantFile && !hLogFile.IsOpen() && MyUtils::IsTime(mLastRetry, kRetryMs, false))
        OpenDayFile(false);
}

void TLogManager::BeginOutage(const std::string& reason, bool bReport)
{
    if (bOutage)
        return;
    bOutage = true;
    mOutageSince = vorel_sdl2::Platform.Now();
    mOutageReason = reason;
    mConsoleLines = 0;
    if (bReport)
        std::printf("logman: log file '%s' unusable (%s); lines go to the console\n", hLogFile.Path().c_str(),
                    reason.c_str());
}

void TLogManager::Close()
{
    FlushFile();
    bWantFile = false;
    if (!hLogFile.IsOpen())
        return;
    hLogFile.Close();
    std::printf("%s closed.\n", FullLogFileFilename.c_str());
    FullLogFileFilename.clear();
}

void TLogManager::WriteToFile(const std::string& text)
{
    if (!hLogFile.IsOpen()) {
        ToConsole(text.data(), text.size());
        return;
    }
    mFileBuffer.append(text);
    if (mFileBuffer.size() >= kFlushBytes)
        FlushFile();
}

void TLogManager::AppendToFile(const std::string& message)
{
    if (!hLogFile.IsOpen()) {
        std::string line = message + '\n';
        ToConsole(line.data(), line.size());
        return;
    }
    mFileBuffer.append(message).push_back('\n');
    if (mFileBuffer.size() >= kFlushBytes)
        FlushFile();
}

// Each line whole, as the file would have had it, behind the error prefix.
void TLogManager::ToConsole(const char* text, size_t size)
{
    for (size_t pos = 0; pos < size;) {
        const void* newline = std::memchr(text + pos, '\n', size - pos);
        size_t end = newline ? static_cast<size_t>(static_cast<const char*>(newline) - text) + 1 : size;
        std::fwrite(kConsolePrefix.data(), 1, kConsolePrefix.size(), stdout);
        std::fwrite(text + pos, 1, end - pos, stdout);
        std::fputc('\n', stdout);
        if (bOutage)
            ++mConsoleLines;
        pos = end;
    }
}

void TLogManager::FlushFile()
{
    if (mFileBuffer.empty())
        return;
    if (hLogFile.IsOpen() && !hLogFile.StillAtPath()) {
        BeginOutage("the file or its folder went away", true);
        hLogFile.Close();
        OpenDayFile(false);
    }
    if (!hLogFile.IsOpen()) {
        ToConsole(mFileBuffer.data(), mFileBuffer.size());
        mFileBuffer.clear();
        return;
    }

    const char* data = mFileBuffer.data();
    const size_t size = mFileBuffer.size();
    unsigned long long room = RoomAboveReserve(size);
    int error = 0;
    size_t fits = 0;
    if (WriteNotices(room, error)) {
        fits = size;
        if (room < size) {
            fits = static_cast<size_t>(room);
            while (fits > 0 && data[fits - 1] != '\n')
                --fits;
        }
        size_t kept = hLogFile.Write(data, fits, error);
        if (kept < fits) {
            BeginOutage(std::strerror(error), true);
            ToConsole(data + kept, fits - kept);
        }
    } else if (error) {
        ToConsole(data, size);
        fits = size;
    }
    if (fits < size) {
        // Below the reserve: counted here, reported once there is room.
        if (!bBelowReserve)
            std::printf("logman: log file '%s' is at its free-space reserve; lines are counted, not written\n",
                        hLogFile.Path().c_str());
        bBelowReserve = true;
        mDiskDropped += CountLines(data + fits, size - fits);
    }
    // A file that failed for another reason than space is opened afresh.
    if (error && !IsSpaceError(error))
        hLogFile.Close();
    mFileBuffer.clear();
}

// Writes what the file owes before the next lines: its first line, the two
// lines of an outage, the count of lines the reserve held back. False when
// one of them did not fit (error 0) or failed (error set).
bool TLogManager::WriteNotices(unsigned long long& room, int& error)
{
    auto put = [&](const std::string& text) {
        if (text.size() > room)
            return false;
        bool ok = hLogFile.Write(text.data(), text.size(), error, true) == text.size();
        if (ok)
            room -= text.size();
        else
            BeginOutage(std::strerror(error), true);
        return ok;
    };
    if (bHeaderPending) {
        if (!put(std::string(kFirstLine)))
            return false;
        bHeaderPending = false;
    }
    std::time_t now = vorel_sdl2::Platform.Now();
    if (bOutage) {
        std::string text = MakeLine(mOutageSince, 4, "logman: log file unusable: " + mOutageReason) + "\n" +
                           MakeLine(now, 4, "logman: log file back, " + std::to_string(mConsoleLines) +
                                                " lines went to the console") +
                           "\n";
        if (!put(text))
            return false;
        bOutage = false;
    }
    if (mDiskDropped > 0) {
        if (!put(MakeLine(now, 4, "logman: " + std::to_string(mDiskDropped) + " lines dropped") + "\n"))
            return false;
        mDiskDropped = 0;
        bBelowReserve = false;
    }
    return true;
}

// Bytes the file may still take before its file system is down to the
// reserve; old dated files of this log are removed first, oldest first.
unsigned long long TLogManager::RoomAboveReserve(size_t wanted)
{
    long long setting = mDiskReserve;
    unsigned long long freeBytes = 0, total = 0;
    if (setting == 0 || !hLogFile.Space(freeBytes, total))
        return ULLONG_MAX;
    unsigned long long reserve =
        setting < 0 ? std::min(kMaxDefaultReserve, total / 20) : static_cast<unsigned long long>(setting);
    if (freeBytes >= reserve + wanted)
        return freeBytes - reserve;

    // A folder without old files is listed again at most once a second.
    if (AutoHandleOldLogs && MyUtils::IsTime(mLastSweep, kRetryMs, false)) {
        fs::path dir = fs::path(hLogFile.Path()).parent_path();
        std::string prefix = fs::path(FullLogFileFilename).filename().native();
        std::vector<fs::path> old = OldLogs(dir, prefix, fs::path(hLogFile.Path()).filename().native());
        for (size_t i = 0; i < old.size() && freeBytes < reserve + wanted; ++i) {
            std::error_code ec;
            if (fs::remove(old[i], ec))
                std::printf("logman: removed '%s' to keep free space\n", old[i].c_str());
            if (!hLogFile.Space(freeBytes, total))
                return ULLONG_MAX;
        }
        mLastSweep = freeBytes < reserve + wanted ? vorel_sdl2::Platform.Ticks() : 0;
    }
    return freeBytes > reserve ? freeBytes - reserve : 0;
}
