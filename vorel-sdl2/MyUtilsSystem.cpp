#include "MyUtilsSystem.h"

#include "Platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>
#include <thread>

namespace MyUtils {

namespace {

// --- Interface list

constexpr int kMaxInterfaces = 64;

class Fd {
public:
    explicit Fd(int fd) : mFd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (mFd >= 0)
            close(mFd);
    }
    int get() const { return mFd; }
    bool ok() const { return mFd >= 0; }

private:
    int mFd;
};

// The SIOCGIFCONF list of one datagram socket.
struct InterfaceList {
    Fd sock{socket(AF_INET, SOCK_DGRAM, 0)};
    ifreq entries[kMaxInterfaces];
    int count = 0;

    // False if the socket or the list could not be had.
    bool fetch()
    {
        if (!sock.ok())
            return false;
        ifconf conf{};
        conf.ifc_len = sizeof(entries);
        conf.ifc_req = entries;
        if (ioctl(sock.get(), SIOCGIFCONF, &conf) < 0)
            return false;
        count = conf.ifc_len / static_cast<int>(sizeof(ifreq));
        return true;
    }

    int find(const char* name) const
    {
        for (int i = 0; i < count; ++i)
            if (std::strncmp(entries[i].ifr_name, name, IFNAMSIZ) == 0)
                return i;
        return -1;
    }

    // Dotted IPv4 address of entry i; false if it cannot be read.
    bool address(int i, std::string& out) const
    {
        ifreq req = entries[i];
        if (ioctl(sock.get(), SIOCGIFADDR, &req) < 0 || req.ifr_addr.sa_family != AF_INET)
            return false;
        sockaddr_in sin;
        std::memcpy(&sin, &req.ifr_addr, sizeof(sin));
        char text[INET_ADDRSTRLEN];
        if (!inet_ntop(AF_INET, &sin.sin_addr, text, sizeof(text)))
            return false;
        out = text;
        return true;
    }

    // Hardware address of entry i into whichever output is given.
    bool hardware(int i, char* pStrMac, unsigned char* pHexMac) const
    {
        ifreq req = entries[i];
        if (ioctl(sock.get(), SIOCGIFHWADDR, &req) < 0)
            return false;
        const auto* b = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
        if (pStrMac)
            std::snprintf(pStrMac, 18, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
        if (pHexMac)
            std::memcpy(pHexMac, b, 6);
        return true;
    }
};

const char* const kSearchOrder[] = {
    "eth0",   "eth1",   "enp3s0",  "enp4s0",  "enp1s0",  "enp2s0",  "eno1", "eno0",
    "enp5s0", "enp6s0", "enp7s0",  "enp8s0",  "enp9s0",  "enp10s0", "enp11s0", "enp12s0",
    "eth2",   "eth3",   "eth4",    "eth5",    "eth6",    "eth7",
};

// --- Status files

std::atomic<unsigned> gTempCounter{0};

void WriteStatusFile(const std::string& folder, const std::string& filename, const std::string& value)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(folder, ec);

    const fs::path target = folder + "/" + filename;
    const std::string content = value + "\n";
    // A unique name next to the target: rename is atomic only within one file system.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const fs::path temp = target.parent_path() /
            ("." + target.filename().string() + "." + std::to_string(getpid()) + "." +
             std::to_string(gTempCounter.fetch_add(1)) + ".tmp");
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return;
        }
        bool ok = true;
        for (size_t done = 0; ok && done < content.size();) {
            const ssize_t n = write(fd, content.data() + done, content.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno != EINTR)
                ok = false;
        }
        // Durable before it becomes visible: terminals lose power without warning.
        ok = fsync(fd) == 0 && ok;
        ok = close(fd) == 0 && ok;
        if (!ok || std::rename(temp.c_str(), target.c_str()) != 0)
            unlink(temp.c_str());
        return;
    }
}

std::string HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0)
        return {};
    return name;
}

// --- Ping

constexpr uint16_t kPingSequence = 12345;
constexpr size_t kPingPacket = 64;    // 8 header + 56 payload
constexpr size_t kPingReceive = 192;  // 56 payload + 60 largest IPv4 header + 76 largest ICMP header

std::atomic<uint32_t> gPingCounter{0};

bool Resolve(const std::string& target, in_addr& out)
{
    if (inet_pton(AF_INET, target.c_str(), &out) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(target.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

} // namespace

// --- IPv4 text

int ipv4_parse(const uint8_t* string, uint8_t string_length, ipv4_type* result)
{
    if (!string || !result)
        return -1;
    int dots = 0;
    int octet = 0;
    bool digit = false;
    for (unsigned i = 0; i < string_length; ++i) {
        const uint8_t c = string[i];
        if (c >= '0' && c <= '9') {
            octet = octet * 10 + (c - '0');
            if (octet > 255)
                return -1;
            digit = true;
        } else if (c == '.') {
            if (dots == 3)
                return -3;
            if (!digit)
                return -2;
            result->data[dots++] = static_cast<uint8_t>(octet);
            octet = 0;
            digit = false;
        } else {
            return -4;
        }
    }
    if (dots != 3)
        return -6;
    if (!digit)
        return -5;
    result->data[3] = static_cast<uint8_t>(octet);
    return 0;
}

// --- Interfaces

int GetMacAddress(const char* IfName, char* pStrMac, unsigned char* pHexMac)
{
    if (!IfName || (!pStrMac && !pHexMac))
        return -1;
    InterfaceList list;
    if (!list.fetch())
        return -1;
    const int i = list.find(IfName);
    if (i < 0)
        return 1;
    return list.hardware(i, pStrMac, pHexMac) ? 0 : -1;
}

int GetMacAddressForIP(const char* IPAddress, char* IfName, char* pStrMac, unsigned char* pHexMac)
{
    if (!IPAddress || (!pStrMac && !pHexMac))
        return -1;
    InterfaceList list;
    if (!list.fetch())
        return -1;
    for (int i = 0; i < list.count; ++i) {
        std::string address;
        if (!list.address(i, address))
            return -1;
        if (address != IPAddress)
            continue;
        if (!list.hardware(i, pStrMac, pHexMac))
            return -1;
        if (IfName) {
            std::memcpy(IfName, list.entries[i].ifr_name, IFNAMSIZ);
            IfName[IFNAMSIZ - 1] = '\0';
        }
        return 0;
    }
    return 1;
}

std::string GetFirstMacAddress(std::string& MACAddress, unsigned char* pHexMac, std::string defName)
{
    char mac[18];
    if (!defName.empty() && GetMacAddress(defName.c_str(), mac, pHexMac) == 0) {
        MACAddress = mac;
        return defName;
    }
    char name[IFNAMSIZ];
    if (GetMacAddressForIP(TerminalFixedIPv4, name, mac, pHexMac) == 0) {
        MACAddress = mac;
        return name;
    }
    for (const char* candidate : kSearchOrder) {
        if (GetMacAddress(candidate, mac, pHexMac) == 0) {
            MACAddress = mac;
            return candidate;
        }
    }
    return {};
}

int GetIPAddress(std::string adapter, std::string& IPAddress)
{
    if (adapter.empty()) {
        std::string mac;
        adapter = GetFirstMacAddress(mac, nullptr, "");
        if (adapter.empty())
            return -1;
    }
    InterfaceList list;
    if (!list.fetch())
        return -1;
    const int i = list.find(adapter.c_str());
    if (i < 0)
        return 1;
    return list.address(i, IPAddress) ? 0 : -1;
}

std::vector<std::string> GetAllIPAddresses()
{
    std::vector<std::string> out;
    InterfaceList list;
    if (!list.fetch())
        return out;
    for (int i = 0; i < list.count; ++i) {
        std::string address;
        if (list.address(i, address))
            out.push_back(std::move(address));
    }
    return out;
}

// --- Shell and files

void SystemAsync(const std::string& cmd)
{
    // Read on the caller's thread: the table may be replaced only while no
    // framework thread runs, and this one is about to start.
    const auto run = vorel_sdl2::Platform.RunCommand;
    try {
        std::thread([run, cmd] {
            try {
                [[maybe_unused]] int rc = run(cmd.c_str());
            } catch (...) {
                // A runner that throws must not end the process from a detached thread.
            }
        }).detach();
    } catch (...) {
        // No thread to be had: the command is dropped, as a failed command would be.
    }
}

std::string ShellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

void StatusFileSet(std::string folder, std::string filename, std::string value)
{
    auto write = [folder = std::move(folder), filename = std::move(filename), value = std::move(value)] {
        try {
            WriteStatusFile(folder, filename, value);
        } catch (...) {
            // Out of memory while building paths: the status is not written.
        }
    };
    try {
        std::thread(write).detach();
    } catch (...) {
        write(); // no thread to be had: better late than lost
    }
}

std::string StatusFileGet(std::string folder, std::string filename)
{
    const std::string path = folder + "/" + filename;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return "-";
    std::ifstream in(path);
    if (!in.is_open())
        return "-";
    std::string line;
    std::getline(in, line);
    return line;
}

void SetWindowsProperties(const std::string& windowName, const std::vector<std::string>& actions,
                          const std::string& extraCommandsInLine)
{
    // The host name comes from here rather than $HOSTNAME, which only bash
    // sets; the match is literal (-F) on whole words (-w), first window only.
    std::string cmd = "WINID=$(wmctrl -l | grep -m1 -F -w -e " +
                      ShellQuote(HostName() + " " + windowName) + " | cut -d ' ' -f1);";
    if (!actions.empty()) {
        cmd += " if [ -n \"$WINID\" ]; then";
        for (const std::string& action : actions)
            cmd += " wmctrl -i -r \"$WINID\" -b " + ShellQuote(action) + ";";
        cmd += " fi;";
    }
    if (!extraCommandsInLine.empty())
        cmd += " " + extraCommandsInLine;
    SystemAsync(cmd);
}

bool FolderExists(const std::filesystem::path& path)
{
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

bool FileExists(const std::filesystem::path& path, bool checkIfRegFile, bool checkIfLink)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status target = fs::status(path, ec);
    if (!fs::exists(target))
        return false;
    const bool isLink = (checkIfLink) && fs::is_symlink(fs::symlink_status(path, ec));
    if (checkIfRegFile && checkIfLink)
        return fs::is_regular_file(target) || isLink;
    if (checkIfRegFile)
        return fs::is_regular_file(target);
    if (checkIfLink)
        return isLink;
    return true;
}

// --- ICMP

uint16_t in_cksum(uint16_t* addr, unsigned int len)
{
    uint64_t sum = 0;
    if (addr) {
        const auto* p = reinterpret_cast<const unsigned char*>(addr);
        for (; len > 1; len -= 2, p += 2) {
            uint16_t word;
            std::memcpy(&word, p, 2);
            sum += word;
        }
        if (len == 1)
            sum += *p;
    }
    while (sum >> 16)
        sum = (sum >> 16) + (sum & 0xffff);
    return static_cast<uint16_t>(~sum & 0xffff);
}

PingResult Ping(const std::string& target, int& durationOut)
{
    in_addr address;
    if (!Resolve(target, address))
        return PING_BAD_HOST;

    Fd sock(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!sock.ok())
        return PING_ERROR;

    const uint16_t id = htons(static_cast<uint16_t>(getpid() & 0xffff));
    const uint16_t seq = htons(kPingSequence);
    // The payload carries a token of this call, so that a concurrent ping of
    // the same process (same identifier) cannot pass its answer off as ours.
    const uint32_t token = gPingCounter.fetch_add(1) ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&address));

    unsigned char packet[kPingPacket] = {};
    icmphdr header{};
    header.type = ICMP_ECHO;
    header.code = 0;
    header.un.echo.id = id;
    header.un.echo.sequence = seq;
    std::memcpy(packet, &header, sizeof(header));
    for (size_t i = sizeof(header); i < kPingPacket; ++i)
        packet[i] = static_cast<unsigned char>(i);
    std::memcpy(packet + sizeof(header), &token, sizeof(token));
    const uint16_t sum = in_cksum(reinterpret_cast<uint16_t*>(packet), kPingPacket);
    std::memcpy(packet + offsetof(icmphdr, checksum), &sum, sizeof(sum));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;

    // A steady clock: a wall-clock step (NTP at boot) must not stretch or cut the wait.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point sent = Clock::now();
    const Clock::time_point deadline = sent + std::chrono::seconds(1);
    const ssize_t n = sendto(sock.get(), packet, kPingPacket, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (n != static_cast<ssize_t>(kPingPacket))
        return PING_PACKET_LOSS;

    unsigned char buffer[kPingReceive];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return PING_TIMEOUT;
        // poll, not select: the descriptor may lie beyond FD_SETSIZE in a busy process.
        pollfd pfd{sock.get(), POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return PING_ERROR;
        }
        if (ready == 0)
            return PING_TIMEOUT;

        sockaddr_in from{};
        socklen_t fromLen = sizeof(from);
        const ssize_t got = recvfrom(sock.get(), buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (got < 0)
            return PING_BAD_HOST;
        if (got < 28)
            return PING_ERROR;
        const size_t ipHeader = static_cast<size_t>(buffer[0] & 0x0f) * 4;
        if (ipHeader < 20 || static_cast<size_t>(got) < ipHeader + sizeof(icmphdr) + sizeof(token))
            continue;
        icmphdr reply;
        std::memcpy(&reply, buffer + ipHeader, sizeof(reply));
        uint32_t echoed;
        std::memcpy(&echoed, buffer + ipHeader + sizeof(icmphdr), sizeof(echoed));
        if (reply.type != ICMP_ECHOREPLY || reply.un.echo.sequence != seq || reply.un.echo.id != id ||
            from.sin_addr.s_addr != address.s_addr || echoed != token)
            continue;

        long long us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
        if (us < 1)
            us = 1;
        durationOut = static_cast<int>((us + 500) / 1000);
        return PING_OK;
    }
}

} // namespace MyUtils
