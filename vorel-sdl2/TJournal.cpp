#include "TJournal.h"

#include "Platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace vorel_sdl2 {

namespace {

constexpr const char* kDefaultSocket = "/run/systemd/journal/socket";
constexpr Uint32 kRetryMs = 1000;

} // namespace

bool TJournal::StdoutIsJournalStream()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st {};
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && ::fstat(STDOUT_FILENO, &st) == 0 &&
           static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

int TJournal::Priority(Uint32 logType)
{
    switch (logType & 0xFF) {
    case 2: case 6: return 7; // debug information, debug error
    case 4: return 4;
    case 5: return 3;
    case 7: return 2;
    default: return 6; // plain, information and untagged types
    }
}

void TJournal::Configure()
{
    Close();
    bFailed = false;
    const char* setting = std::getenv("VOREL_JOURNAL");
    if (setting)
        bEnabled = setting[0] != '\0' && std::strcmp(setting, "0") != 0;
    else
        bEnabled = std::getenv("INVOCATION_ID") || std::getenv("JOURNAL_STREAM");
    bStdoutIsJournal = StdoutIsJournalStream();
    const char* socketPath = std::getenv("VOREL_JOURNAL_SOCKET");
    mSocketPath = socketPath && socketPath[0] ? socketPath : kDefaultSocket;
    mIdentifier = program_invocation_short_name;
    if (bEnabled && Connect() != 0) {
        bFailed = true;
        mFailedAt = Platform.Ticks();
    }
}

void TJournal::Close()
{
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
}

int TJournal::Connect()
{
    Close();
    struct sockaddr_un address {};
    if (mSocketPath.size() >= sizeof address.sun_path)
        return ENAMETOOLONG;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, mSocketPath.c_str(), mSocketPath.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        ::close(fd);
        return error;
    }
    // Room for a burst while journald catches up (as root beyond wmem_max).
    int sendBuffer = 8 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sendBuffer, sizeof sendBuffer) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    mFd = fd;
    return 0;
}

int TJournal::Send(Uint32 logType, unsigned long long gameId, std::string_view text)
{
    if (!bEnabled)
        return ENOTCONN;
    if (bFailed) {
        if (Platform.Ticks() - mFailedAt <= kRetryMs)
            return EAGAIN;
        bFailed = false;
    }
    int error = mFd < 0 ? Connect() : 0;
    if (error == 0) {
        // MESSAGE in the length-prefixed form, so line feeds in it stay.
        char head[256];
        int n = std::snprintf(head, sizeof head,
                              "PRIORITY=%d\nSYSLOG_IDENTIFIER=%s\nVOREL_GAME_ID=%llu\nVOREL_LOG_TYPE=%u\nMESSAGE\n",
                              Priority(logType), mIdentifier.c_str(), gameId, static_cast<unsigned>(logType));
        unsigned char length[8];
        for (int i = 0; i < 8; ++i)
            length[i] = static_cast<unsigned char>(static_cast<uint64_t>(text.size()) >> (8 * i));
        char newline = '\n';
        struct iovec parts[4] = {{head, static_cast<size_t>(n)},
                                 {length, sizeof length},
                                 {const_cast<char*>(text.data()), text.size()},
                                 {&newline, 1}};
        struct msghdr message {};
        message.msg_iov = parts;
        message.msg_iovlen = 4;
        if (::sendmsg(mFd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
            return 0;
        error = errno;
        if (error == EMSGSIZE || error == ENOBUFS)
            error = SendInMemoryFile(parts, 4);
        if (error == 0)
            return 0;
        if (error != EAGAIN)
            Close(); // gone or refused: connect afresh next time
    }
    bFailed = true;
    mFailedAt = Platform.Ticks();
    return error;
}

// An entry too large for a datagram: a sealed memory file passed along.
int TJournal::SendInMemoryFile(const ::iovec* parts, int count)
{
    int fd = ::memfd_create("vorel-journal", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return errno;
    int error = 0;
    for (int i = 0; i < count && error == 0; ++i) {
        const char* data = static_cast<const char*>(parts[i].iov_base);
        for (size_t done = 0; done < parts[i].iov_len;) {
            ssize_t n = ::write(fd, data + done, parts[i].iov_len - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n < 0 ? errno : EIO;
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    if (error == 0 &&
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        error = errno;
    if (error == 0) {
        union {
            struct cmsghdr header;
            char space[CMSG_SPACE(sizeof(int))];
        } control {};
        struct msghdr message {};
        message.msg_control = &control;
        message.msg_controllen = sizeof control.space;
        struct cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(cmsg), &fd, sizeof(int));
        if (::sendmsg(mFd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
            error = errno;
    }
    ::close(fd);
    return error;
}

} // namespace vorel_sdl2
