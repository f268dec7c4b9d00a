#include "TServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorel_sdl2 {

TServiceNotify ServiceNotify;

namespace {

// A decimal number without sign or trailing text; 0 for anything else.
unsigned long long Decimal(const char* text)
{
    if (!text || *text < '0' || *text > '9')
        return 0;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return 0;
    return v;
}

// The socket address of NOTIFY_SOCKET as raw bytes; empty when the value is
// neither an absolute path nor an abstract name, or does not fit.
std::string SocketAddress(const char* value)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = std::strlen(value);
    if (len < 2 || (value[0] != '/' && value[0] != '@') || len > sizeof(addr.sun_path))
        return std::string();
    std::memcpy(addr.sun_path, value, len);
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    if (value[0] == '@') {
        addr.sun_path[0] = '\0'; // abstract: the length, not a terminator, ends the name
    } else if (len == sizeof(addr.sun_path)) {
        return std::string(); // a path needs room for its terminator
    } else {
        size += 1;
    }
    return std::string(reinterpret_cast<const char*>(&addr), size);
}

} // namespace

TServiceNotify::~TServiceNotify() { Close(); }

void TServiceNotify::Close()
{
    std::lock_guard<std::mutex> lock(mSendLock);
    mActive.store(false, std::memory_order_relaxed);
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
}

void TServiceNotify::Begin(Uint32 now)
{
    Close();
    mReadySent = false;
    mKeepAliveMs = 0;
    mLastKeepAlive = now;

    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (!socketName || !*socketName)
        return;
    std::string address = SocketAddress(socketName);
    if (address.empty()) {
        std::printf("application:: NOTIFY_SOCKET \"%s\" is not supported, no service notification\n", socketName);
        return;
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        std::printf("application:: no service notification socket: %s\n", std::strerror(errno));
        return;
    }

    // The watchdog is ours unless the manager named another process.
    unsigned long long watchdogPid = Decimal(std::getenv("WATCHDOG_PID"));
    bool forOtherProcess = std::getenv("WATCHDOG_PID") && watchdogPid != static_cast<unsigned long long>(::getpid());
    unsigned long long watchdogUs = forOtherProcess ? 0 : Decimal(std::getenv("WATCHDOG_USEC"));
    if (watchdogUs > 0) {
        unsigned long long half = watchdogUs / 2000;
        mKeepAliveMs = half == 0 ? 1 : (half > 0x7fffffffULL ? 0x7fffffffU : static_cast<Uint32>(half));
    }

    {
        std::lock_guard<std::mutex> lock(mSendLock);
        mFd = fd;
        mAddress = address;
        mSendFailed = false;
    }
    mActive.store(true, std::memory_order_relaxed);
    Send("STATUS=starting");
}

void TServiceNotify::Beat(Uint32 now, bool running)
{
    if (!mReadySent) {
        if (!running)
            return;
        mReadySent = true;
        mLastKeepAlive = now;
        Send("READY=1\nSTATUS=running");
        return;
    }
    if (mKeepAliveMs != 0 && now - mLastKeepAlive >= mKeepAliveMs) {
        mLastKeepAlive = now;
        Send("WATCHDOG=1");
    }
}

void TServiceNotify::End()
{
    if (!Active())
        return;
    Send("STOPPING=1\nSTATUS=stopping");
    Close();
}

void TServiceNotify::Status(const std::string& text)
{
    if (!Active())
        return;
    std::string message = "STATUS=" + text;
    for (char& c : message)
        if (c == '\n' || c == '\r')
            c = ' ';
    Send(message);
}

bool TServiceNotify::Send(const std::string& message)
{
    std::lock_guard<std::mutex> lock(mSendLock);
    if (mFd < 0)
        return false;
    ssize_t sent = ::sendto(mFd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                            reinterpret_cast<const sockaddr*>(mAddress.data()),
                            static_cast<socklen_t>(mAddress.size()));
    if (sent == static_cast<ssize_t>(message.size()))
        return true;
    // Reported once: a manager that went away should not flood the log.
    if (!mSendFailed) {
        mSendFailed = true;
        std::printf("application:: service notification failed: %s\n", sent < 0 ? std::strerror(errno) : "short send");
    }
    return false;
}

} // namespace vorel_sdl2
