// Readiness, status line and watchdog keep-alives for the service manager.
//
// When a host runs as a systemd unit with Type=notify, the manager passes the
// address of its notification socket in NOTIFY_SOCKET (a path, or an abstract
// name when it starts with '@') and, with WatchdogSec=, the interval in
// WATCHDOG_USEC. TApplication::Run calls Begin() when it starts, Pass() once
// per main-loop pass and End() when the loop is left; the first pass in
// APP_RUNNING reports readiness, and later passes send a keep-alive whenever
// half of the watchdog interval has gone by. A loop that hangs sends nothing,
// so the manager restarts the process. Without NOTIFY_SOCKET everything here
// is inactive and Pass() costs one test of a flag.
//
// A host may set its own status line with Status() from any thread while Run
// runs (before Run nothing is sent).
// Datagrams are sent without blocking: if the manager does not read them,
// they are dropped, never waited for. Nothing here throws.
#pragma once

#include <SDL2/SDL_stdinc.h>

#include <atomic>
#include <mutex>
#include <string>

namespace vorel_sdl2 {

class TServiceNotify {
public:
    TServiceNotify() = default;
    ~TServiceNotify();
    TServiceNotify(const TServiceNotify&) = delete;
    TServiceNotify& operator=(const TServiceNotify&) = delete;

    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID and opens the
    // socket; sends "STATUS=starting". Calling it again starts over.
    void Begin(Uint32 now);

    // One main-loop pass at tick `now`; `running` is true in APP_RUNNING.
    void Pass(Uint32 now, bool running)
    {
        if (mActive.load(std::memory_order_relaxed))
            Beat(now, running);
    }

    // Leaving the main loop: "STOPPING=1" and a last status line; closes
    // the socket.
    void End();

    // Replaces the status line the manager shows (line breaks become spaces).
    void Status(const std::string& text);

    bool Active() const { return mActive.load(std::memory_order_relaxed); }
    bool ReadySent() const { return mReadySent; }
    // Milliseconds between two keep-alives; 0 without a watchdog.
    Uint32 KeepAliveIntervalMs() const { return mKeepAliveMs; }

    // Sends one message of the notification protocol ("KEY=value" lines);
    // false when inactive or when the datagram could not be sent.
    bool Send(const std::string& message);

private:
    void Beat(Uint32 now, bool running);
    void Close();

    std::mutex mSendLock; // guards mFd, mAddress and mSendFailed
    int mFd = -1;
    std::string mAddress; // the socket address, as raw bytes
    std::atomic<bool> mActive{false};
    bool mReadySent = false;
    bool mSendFailed = false;
    Uint32 mKeepAliveMs = 0;
    Uint32 mLastKeepAlive = 0;
};

// The process's one notifier, driven by TApplication::Run.
extern TServiceNotify ServiceNotify;

} // namespace vorel_sdl2
