// Standard output that is a journal stream: status lines get their priority.
#include "TJournal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace vorel_sdl2 {

namespace {

struct TStatusPriority {
    std::string_view start;
    const char* prefix;
};
// The beginnings of the framework's status lines that are not plain news.
constexpr TStatusPriority kStatusPriorities[] = {
    {"APP WARNING: ", "<4>"},     {"APP ERROR", "<3>"},          {"PARAMS ERROR: ", "<3>"},
    {"PARAMS WARNING", "<4>"},    {"logman WARNING", "<4>"},     {"logman: Can not open", "<3>"},
    {"logman: log file '", "<4>"}, {"logman: the journal", "<4>"}, {"Std exception: ", "<3>"},
    {"Unknown exception", "<3>"},
};
constexpr size_t kLongestStart = 20;

// Holds the head of each line until it is known whether a prefix goes first,
// then passes the rest of the line straight through. stdio locks the stream
// around every call, so this state needs no lock of its own.
struct TLineState {
    char head[kLongestStart];
    size_t headLength = 0;
    bool inLine = false; // head decided, passing through to the line feed
};

FILE* gOriginal = nullptr;
TLineState gState;

bool WriteAll(const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void EmitHead(TLineState& s)
{
    std::string_view head(s.head, s.headLength);
    for (const TStatusPriority& p : kStatusPriorities)
        if (head.substr(0, p.start.size()) == p.start) {
            WriteAll(p.prefix, std::strlen(p.prefix));
            break;
        }
    WriteAll(s.head, s.headLength);
    s.headLength = 0;
    s.inLine = true;
}

ssize_t WriteLines(void*, const char* data, size_t size)
{
    TLineState& s = gState;
    for (size_t pos = 0; pos < size;) {
        if (s.inLine) {
            const void* nl = std::memchr(data + pos, '\n', size - pos);
            size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - data) + 1 : size;
            if (!WriteAll(data + pos, end - pos))
                return -1;
            s.inLine = nl == nullptr;
            pos = end;
            continue;
        }
        char c = data[pos++];
        s.head[s.headLength++] = c;
        if (c == '\n' || s.headLength == kLongestStart) {
            EmitHead(s);
            s.inLine = c != '\n';
        }
    }
    return static_cast<ssize_t>(size);
}

int CloseLines(void*)
{
    if (gState.headLength > 0)
        EmitHead(gState);
    gState = TLineState();
    return 0;
}

} // namespace

bool PrefixStatusLines()
{
    if (gOriginal)
        return true;
    if (!TJournal::StdoutIsJournalStream())
        return false;
    cookie_io_functions_t io{};
    io.write = &WriteLines;
    io.close = &CloseLines;
    FILE* lines = ::fopencookie(nullptr, "w", io);
    if (!lines)
        return false;
    // A line at a time, so every line reaches the journal when printed.
    std::setvbuf(lines, nullptr, _IOLBF, 4096);
    std::fflush(stdout);
    gOriginal = stdout;
    stdout = lines;
    return true;
}

void StopPrefixingStatusLines()
{
    if (!gOriginal)
        return;
    FILE* lines = stdout;
    stdout = gOriginal;
    gOriginal = nullptr;
    std::fclose(lines);
}

} // namespace vorel_sdl2
