// Structured log entries for the systemd journal, sent by the log poller.
//
// Under the service manager (INVOCATION_ID or JOURNAL_STREAM set) every log
// entry also goes to the journal with MESSAGE, PRIORITY (from the level tag),
// SYSLOG_IDENTIFIER, VOREL_GAME_ID and VOREL_LOG_TYPE, so journalctl can
// filter by priority and game. VOREL_JOURNAL=0 switches it off, =1 on
// wherever the process runs; VOREL_JOURNAL_SOCKET names another socket than
// /run/systemd/journal/socket (tests bind their own).
//
// The journal's native datagram protocol is written here rather than with
// libsystemd's sd_journal_sendv, whose socket blocks once journald stops
// reading: this socket never blocks. An entry the journal does not take
// (gone, full) is not sent and Send says so; after a failure nothing is sent
// for a second, then the socket is tried again. Entries too large for one
// datagram go in a sealed memory file, as the protocol provides.
//
// One thread (the log poller) owns an instance; nothing here throws.
#pragma once

#include <SDL2/SDL_stdinc.h>

#include <string>
#include <string_view>

struct iovec;

namespace vorel_sdl2 {

class TJournal {
public:
    TJournal() = default;
    ~TJournal() { Close(); }
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    // Reads the environment and opens the socket; calling it again starts over.
    void Configure();
    void Close();
    bool Enabled() const { return bEnabled; }
    // Standard output is already a journal stream (JOURNAL_STREAM names it).
    bool StdoutIsJournal() const { return bStdoutIsJournal; }

    // Sends one entry; 0 when the journal took it, else the errno of the
    // failure (EAGAIN also while a failure is less than a second old).
    int Send(Uint32 logType, unsigned long long gameId, std::string_view text);

    // The journal priority of a log type, chosen by its low 8 bits.
    static int Priority(Uint32 logType);
    // JOURNAL_STREAM ("device:inode") names the current standard output.
    static bool StdoutIsJournalStream();

private:
    int Connect();
    int SendInMemoryFile(const ::iovec* parts, int count);

    bool bEnabled = false;
    bool bStdoutIsJournal = false;
    int mFd = -1;
    std::string mSocketPath;
    std::string mIdentifier;
    Uint32 mFailedAt = 0;
    bool bFailed = false;
};

// When JOURNAL_STREAM names standard output, the framework's status lines
// there get the sd-daemon priority prefix, so journalctl -p sees them: "<4>"
// before "APP WARNING: ", "<3>" before "PARAMS ERROR: " and the like; other
// lines pass unchanged. Replaces stdout by a stream that writes to the same
// descriptor; call it before other threads print (the application's
// constructor does). Returns whether the prefixes are in force; without a
// journal stream nothing changes. StopPrefixingStatusLines undoes it.
bool PrefixStatusLines();
void StopPrefixingStatusLines();

} // namespace vorel_sdl2
