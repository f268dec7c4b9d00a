#include "MyUtilsSystem.h"
#include "WaitFor.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace MyUtils;

namespace {

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& p, const std::string& text)
{
    std::ofstream(p) << text;
}

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "vorel-sys-XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp");
        mPath = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(mPath, ec);
    }
    const fs::path& path() const { return mPath; }
    std::string str() const { return mPath.string(); }

private:
    fs::path mPath;
};

// Output of a shell command (test-internal, fixed text only).
std::string Capture(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

int RunQuiet(const std::string& cmd)
{
    return std::system((cmd + " >/dev/null 2>&1").c_str());
}

bool RawSocketAvailable()
{
    const int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (s < 0)
        return false;
    close(s);
    return true;
}

// Moves the calling thread (and what it starts) into a fresh network
// namespace with only a loopback interface, and back at the end.
class NetNamespace {
public:
    // Empty on success, else why it failed.
    std::string enter()
    {
        if (RunQuiet("ip -V") != 0)
            return "the ip tool is not installed";
        mOriginal = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (mOriginal < 0)
            return std::string("cannot open own namespace: ") + std::strerror(errno);
        if (unshare(CLONE_NEWNET) != 0)
            return std::string("cannot create a network namespace: ") + std::strerror(errno);
        if (RunQuiet("ip link set lo up") != 0)
            return "cannot bring up lo";
        return {};
    }
    ~NetNamespace()
    {
        if (mOriginal >= 0) {
            setns(mOriginal, CLONE_NEWNET);
            close(mOriginal);
        }
    }

private:
    int mOriginal = -1;
};

// A process of our own in a namespace of its own, as the far end of a veth.
class PeerNamespace {
public:
    std::string start()
    {
        int ready[2], hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0)
            return "pipe";
        mPid = fork();
        if (mPid < 0)
            return "fork";
        if (mPid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(ready[0]);
            close(hold[1]);
            const char ok = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
            [[maybe_unused]] ssize_t w = write(ready[1], &ok, 1);
            char c;
            while (read(hold[0], &c, 1) > 0) {
            }
            _exit(0); // the parent closed its end
        }
        close(ready[1]);
        close(hold[0]);
        mHold = hold[1];
        char ok = 'n';
        const ssize_t r = read(ready[0], &ok, 1);
        close(ready[0]);
        return r == 1 && ok == 'y' ? "" : "the peer cannot create a network namespace";
    }
    // Runs a fixed command inside the peer's namespace.
    int run(const std::string& cmd) const
    {
        return RunQuiet("nsenter -t " + std::to_string(mPid) + " -n sh -c '" + cmd + "'");
    }
    pid_t pid() const { return mPid; }
    ~PeerNamespace()
    {
        if (mHold >= 0)
            close(mHold);
        if (mPid > 0)
            waitpid(mPid, nullptr, 0);
    }

private:
    pid_t mPid = -1;
    int mHold = -1;
};

} // namespace

TEST(Ipv4Parse, CodesAndOctets)
{
    struct Case {
        std::string text;
        int code;
        std::array<uint8_t, 4> octets; // checked on success
    };
    const std::vector<Case> cases = {
        {"192.168.1.20", 0, {192, 168, 1, 20}},
        {"010.0.0.255", 0, {10, 0, 0, 255}},
        {"0.0.0.0", 0, {0, 0, 0, 0}},
        {"1.2.3.256", -1, {}},
        {"1000.1.1.1", -1, {}},
        {"1..2.3", -2, {}},
        {".1.2.3", -2, {}},
        {"1.2.3.4.5", -3, {}},
        {"1.2.3.4.", -3, {}},
        {"1.2.x.4", -4, {}},
        {"1.2.3.4 ", -4, {}},
        {"-1.2.3.4", -4, {}},
        {"1.2.3.", -5, {}},
        {"1.2.3", -6, {}},
        {"12", -6, {}},
        {"1234", -1, {}},
        {"", -6, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.text + "'");
        ipv4_type r{};
        EXPECT_EQ(ipv4_parse(reinterpret_cast<const uint8_t*>(c.text.data()),
                             static_cast<uint8_t>(c.text.size()), &r), c.code);
        if (c.code == 0) {
            EXPECT_EQ(std::memcmp(r.data, c.octets.data(), 4), 0);
        }
    }

    // Only the given length is read; completed octets stay filled on error.
    const char* text = "7.8.300.1junk";
    ipv4_type r{};
    EXPECT_EQ(ipv4_parse(reinterpret_cast<const uint8_t*>(text), 9, &r), -1);
    EXPECT_EQ(r.data[0], 7);
    EXPECT_EQ(r.data[1], 8);
    EXPECT_EQ(ipv4_parse(reinterpret_cast<const uint8_t*>("9.9.9.9junk"), 7, &r), 0);
    EXPECT_EQ(r.data[3], 9);
    EXPECT_EQ(ipv4_parse(nullptr, 3, &r), -1);
    EXPECT_EQ(ipv4_parse(reinterpret_cast<const uint8_t*>("1.2.3.4"), 7, nullptr), -1);
}

TEST(InCksum, EvenOddAndCarries)
{
    auto bytesOf = [](uint16_t sum) {
        std::array<uint8_t, 2> b;
        std::memcpy(b.data(), &sum, 2);
        return b;
    };
    // The worked example of RFC 1071.
    alignas(2) uint8_t even[8] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(bytesOf(in_cksum(reinterpret_cast<uint16_t*>(even), 8)), (std::array<uint8_t, 2>{0x22, 0x0d}));
    // Odd length: the last byte counts as if followed by a zero byte.
    EXPECT_EQ(bytesOf(in_cksum(reinterpret_cast<uint16_t*>(even), 7)), (std::array<uint8_t, 2>{0x23, 0x04}));

    // An echo request with its checksum in place sums to zero.
    alignas(2) uint8_t echo[9] = {0x08, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01, 0xab};
    const uint16_t sum = in_cksum(reinterpret_cast<uint16_t*>(echo), 9);
    std::memcpy(echo + 2, &sum, 2);
    EXPECT_EQ(in_cksum(reinterpret_cast<uint16_t*>(echo), 9), 0);

    // Carries that need folding twice.
    alignas(2) uint8_t ones[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(in_cksum(reinterpret_cast<uint16_t*>(ones), 6), 0);
    EXPECT_EQ(in_cksum(reinterpret_cast<uint16_t*>(ones), 0), 0xffff);
}

TEST(StatusFile, MissingRoundTripAndLiteralValues)
{
    TempDir dir;
    const std::string folder = dir.str() + "/a b/c'd\"e/status";
    EXPECT_EQ(StatusFileGet(folder, "door"), "-");

    StatusFileSet(folder, "door", "ON");
    ASSERT_TRUE(WaitFor([&] { return StatusFileGet(folder, "door") == "ON"; }));
    EXPECT_EQ(ReadAll(folder + "/door"), "ON\n");

    const std::string pwned = dir.str() + "/pwned";
    const std::vector<std::string> values = {
        "\"; touch " + pwned + "; \"",
        "'; touch " + pwned + "; '",
        "$(touch " + pwned + ") `touch " + pwned + "` $HOME \\n \\",
        "",
    };
    for (const std::string& v : values) {
        StatusFileSet(folder, "door", v);
        ASSERT_TRUE(WaitFor([&] { return StatusFileGet(folder, "door") == v; })) << v;
    }
    EXPECT_FALSE(fs::exists(pwned));
    // Nothing but the status file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    WriteFile(dir.path() / "lines", "first\nsecond\n");
    EXPECT_EQ(StatusFileGet(dir.str(), "lines"), "first");
    WriteFile(dir.path() / "empty", "");
    EXPECT_EQ(StatusFileGet(dir.str(), "empty"), "");
    EXPECT_EQ(StatusFileGet(dir.str(), "a b"), "-") << "a directory is no status file";
}

TEST(StatusFile, ReadersNeverSeeAPartialValue)
{
    TempDir dir;
    const std::string a(200000, 'a'), b(200000, 'b');
    StatusFileSet(dir.str(), "big", a);
    ASSERT_TRUE(WaitFor([&] { return StatusFileGet(dir.str(), "big") == a; }));

    constexpr int kWrites = 40;
    for (int i = 0; i < kWrites; ++i)
        StatusFileSet(dir.str(), "big", i % 2 ? a : b);
    int reads = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < end) {
        const std::string v = StatusFileGet(dir.str(), "big");
        ASSERT_TRUE(v == a || v == b) << "read " << v.size() << " bytes";
        ++reads;
    }
    EXPECT_GT(reads, 0);
    // Let the writers finish before the folder goes: no temporary file for a while.
    int quiet = 0;
    EXPECT_TRUE(WaitFor([&] {
        const bool alone = std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()) == 1;
        quiet = alone ? quiet + 1 : 0;
        return quiet >= 30;
    }, 20000));
}

TEST(FileTests, KindsOfPaths)
{
    TempDir dir;
    const fs::path d = dir.path();
    WriteFile(d / "file", "x");
    fs::create_directory(d / "dir");
    fs::create_symlink(d / "file", d / "link-file");
    fs::create_directory_symlink(d / "dir", d / "link-dir");
    fs::create_symlink(d / "gone", d / "dangling");

    struct Case {
        const char* name;
        bool folder, neither, regOnly, linkOnly, both;
    };
    const std::vector<Case> cases = {
        {"file", false, true, true, false, true},
        {"dir", true, true, false, false, false},
        {"link-file", false, true, true, true, true},
        {"link-dir", true, true, false, true, true},
        {"dangling", false, false, false, false, false},
        {"missing", false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path p = d / c.name;
        EXPECT_EQ(FolderExists(p), c.folder);
        EXPECT_EQ(FileExists(p, false, false), c.neither);
        EXPECT_EQ(FileExists(p, true, false), c.regOnly);
        EXPECT_EQ(FileExists(p, false, true), c.linkOnly);
        EXPECT_EQ(FileExists(p, true, true), c.both);
    }
}

namespace {
// These cases run harmless commands in their own folders, so the background
// shell runner is the real one here.
class Shell : public testing::Test {
protected:
    void SetUp() override { vorel_sdl2::Platform.RunCommand = vorel_sdl2::DefaultPlatform.RunCommand; }

private:
    PlatformScope mRestore;
};
} // namespace

TEST_F(Shell, QuotedWordsSurviveTheShell)
{
    for (const std::string s : {"", "plain", "it's", "\"; rm -rf ~; \"", "$(id) `id` $HOME \\ \n x", "'''", "-n"}) {
        EXPECT_EQ(Capture("printf '%s' " + ShellQuote(s)), s);
    }
}

TEST_F(Shell, SystemAsyncReturnsAtOnceAndRunsTheCommand)
{
    TempDir dir;
    const std::string marker = dir.str() + "/marker";
    const auto before = std::chrono::steady_clock::now();
    SystemAsync(std::string("sleep 0.3; touch ") + ShellQuote(marker)); // a temporary: copied
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_TRUE(WaitFor([&] { return fs::exists(marker); }));
}

TEST_F(Shell, SetWindowsPropertiesQuotesNamesAndActions)
{
    TempDir dir;
    const std::string bin = dir.str() + "/bin";
    fs::create_directory(bin);
    const std::string log = dir.str() + "/wmctrl.log";
    const std::string pwned = dir.str() + "/pwned";
    // A stand-in for wmctrl: lists fixed windows, logs each other call.
    WriteFile(bin + "/wmctrl",
              "#!/bin/sh\n"
              "if [ \"$1\" = -l ]; then\n"
              "  h=$(uname -n)\n"
              "  printf '0x00000001  0 %s GameX\\n' \"$h\"\n"
              "  printf '0x00000002  0 other%s Game\\n' \"$h\"\n"
              "  printf '0x00000005  0 %s Game\\n' \"$h\"\n"
              "  printf '0x00000003  0 %s Game [1] $x\\n' \"$h\"\n"
              "  printf '0x00000004  0 %s Game [1] $x too\\n' \"$h\"\n"
              "  exit 0\n"
              "fi\n"
              "printf '%s|' \"$@\" >> '" + log + "'\n"
              "echo >> '" + log + "'\n");
    fs::permissions(bin + "/wmctrl", fs::perms::owner_all);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);

    struct Case {
        std::string window;
        std::vector<std::string> actions;
        std::string expectedLog;
    };
    const std::vector<Case> cases = {
        {"Game", {"add,fullscreen"}, "-i|-r|0x00000005|-b|add,fullscreen|\n"},
        {"Game [1] $x", {"add,above", "remove,hidden'; touch " + pwned + "; '"},
         "-i|-r|0x00000003|-b|add,above|\n-i|-r|0x00000003|-b|remove,hidden'; touch " + pwned + "; '|\n"},
        {"x\"; touch " + pwned + "; \"", {"add,above"}, ""},
        {"x'; touch " + pwned + "; '", {"add,above"}, ""},
        {"$(touch " + pwned + ")", {}, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window);
        fs::remove(log);
        const std::string done = dir.str() + "/done" + std::to_string(n++);
        SetWindowsProperties(c.window, c.actions, "touch " + ShellQuote(done));
        ASSERT_TRUE(WaitFor([&] { return fs::exists(done); })) << "the extra commands run last";
        EXPECT_EQ(ReadAll(log), c.expectedLog);
    }
    EXPECT_FALSE(fs::exists(pwned));
    setenv("PATH", oldPath.c_str(), 1);
}

TEST(Interfaces, InsideATestNamespace)
{
    NetNamespace ns;
    if (const std::string why = ns.enter(); !why.empty())
        GTEST_SKIP() << why;

    // Only lo: nothing of the search order is there.
    std::string mac = "unchanged";
    EXPECT_EQ(GetFirstMacAddress(mac, nullptr, ""), "");
    EXPECT_EQ(mac, "unchanged");
    std::string ip = "unchanged";
    EXPECT_EQ(GetIPAddress("", ip), -1);
    EXPECT_EQ(GetAllIPAddresses(), std::vector<std::string>{"127.0.0.1"});

    // Both ends of each veth stay here; only the named end gets an address.
    for (const char* cmd : {
             "ip link add enp4s0 type veth peer name p-enp4s0",
             "ip link set enp4s0 address 02:00:00:00:01:04",
             "ip addr add 10.66.1.4/24 dev enp4s0",
             "ip link add eth2 type veth peer name p-eth2",
             "ip link set eth2 address 02:00:00:00:02:0a",
             "ip addr add 10.66.2.2/24 dev eth2",
         }) {
        if (RunQuiet(cmd) != 0)
            GTEST_SKIP() << "cannot set up veth interfaces: " << cmd;
    }

    char str[18];
    unsigned char hex[6];
    EXPECT_EQ(GetMacAddress("enp4s0", str, hex), 0);
    EXPECT_STREQ(str, "02:00:00:00:01:04");
    EXPECT_EQ(std::memcmp(hex, "\x02\x00\x00\x00\x01\x04", 6), 0);
    std::memset(hex, 0, 6);
    EXPECT_EQ(GetMacAddress("eth2", nullptr, hex), 0);
    EXPECT_EQ(std::memcmp(hex, "\x02\x00\x00\x00\x02\x0a", 6), 0);
    EXPECT_EQ(GetMacAddress("p-enp4s0", str, nullptr), 1) << "exists, but has no IPv4 address";
    EXPECT_EQ(GetMacAddress("nope0", str, nullptr), 1);
    EXPECT_EQ(GetMacAddress("eth2", nullptr, nullptr), -1);
    EXPECT_EQ(GetMacAddress(nullptr, str, hex), -1);

    char name[16] = {};
    EXPECT_EQ(GetMacAddressForIP("10.66.2.2", name, str, nullptr), 0);
    EXPECT_STREQ(name, "eth2");
    EXPECT_STREQ(str, "02:00:00:00:02:0a");
    EXPECT_EQ(GetMacAddressForIP("10.66.2.22", name, str, nullptr), 1);
    EXPECT_EQ(GetMacAddressForIP("10.66.2", name, str, nullptr), 1);
    EXPECT_EQ(GetMacAddressForIP(nullptr, name, str, nullptr), -1);

    EXPECT_EQ(GetIPAddress("eth2", ip), 0);
    EXPECT_EQ(ip, "10.66.2.2");
    EXPECT_EQ(GetIPAddress("p-eth2", ip), 1);
    EXPECT_EQ(GetIPAddress("", ip), 0);
    EXPECT_EQ(ip, "10.66.1.4") << "enp4s0 comes before eth2 in the search order";
    EXPECT_EQ(GetAllIPAddresses(), (std::vector<std::string>{"127.0.0.1", "10.66.1.4", "10.66.2.2"}));

    std::memset(hex, 0, 6);
    EXPECT_EQ(GetFirstMacAddress(mac, hex, ""), "enp4s0");
    EXPECT_EQ(mac, "02:00:00:00:01:04");
    EXPECT_EQ(hex[5], 0x04);
    EXPECT_EQ(GetFirstMacAddress(mac, nullptr, "nope0"), "enp4s0");
    EXPECT_EQ(GetFirstMacAddress(mac, nullptr, "eth2"), "eth2");

    // The deployment's fixed address wins over the search order, not over a working preferred name.
    const std::string fixed = std::string("ip addr add ") + TerminalFixedIPv4 + "/24 dev lan7";
    if (RunQuiet("ip link add lan7 type veth peer name p-lan7") != 0 ||
        RunQuiet("ip link set lan7 address 02:00:00:00:07:07") != 0 || RunQuiet(fixed) != 0)
        GTEST_SKIP() << "cannot set up the fixed-address interface";
    EXPECT_EQ(GetFirstMacAddress(mac, nullptr, ""), "lan7");
    EXPECT_EQ(mac, "02:00:00:00:07:07");
    EXPECT_EQ(GetFirstMacAddress(mac, nullptr, "eth2"), "eth2");
}

TEST(Ping, LoopbackAnswers)
{
    if (!RawSocketAvailable())
        GTEST_SKIP() << "no raw ICMP socket (needs the privilege for raw sockets)";
    int ms = -7;
    EXPECT_EQ(Ping("127.0.0.1", ms), PING_OK);
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 500);

    // Concurrent pings from one process each get their own answer.
    std::vector<std::thread> threads;
    std::vector<PingResult> results(4, PING_ERROR);
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            int d;
            results[i] = Ping("127.0.0.1", d);
        });
    for (auto& t : threads)
        t.join();
    for (PingResult r : results)
        EXPECT_EQ(r, PING_OK);
}

TEST(Ping, UnresolvableNameIsABadHost)
{
    // In an empty namespace a name lookup cannot reach any server outside.
    NetNamespace ns;
    if (const std::string why = ns.enter(); !why.empty())
        GTEST_SKIP() << why;
    int ms = -7;
    EXPECT_EQ(Ping("no-such-host.invalid", ms), PING_BAD_HOST);
    EXPECT_EQ(ms, -7);
}

TEST(Ping, SilentHostTimesOutAfterASecond)
{
    if (!RawSocketAvailable())
        GTEST_SKIP() << "no raw ICMP socket (needs the privilege for raw sockets)";
    NetNamespace ns;
    if (const std::string why = ns.enter(); !why.empty())
        GTEST_SKIP() << why;
    PeerNamespace peer;
    if (const std::string why = peer.start(); !why.empty())
        GTEST_SKIP() << why;
    const std::string pid = std::to_string(peer.pid());
    if (RunQuiet("ip link add veth0 type veth peer name veth0p netns " + pid) != 0 ||
        RunQuiet("ip addr add 10.77.0.1/24 dev veth0") != 0 || RunQuiet("ip link set veth0 up") != 0 ||
        peer.run("ip addr add 10.77.0.2/24 dev veth0p && ip link set veth0p up && ip link set lo up") != 0)
        GTEST_SKIP() << "cannot set up a veth pair into a second namespace";

    // First the host answers (so the set-up is sound), then it ignores echo requests.
    int ms = -7;
    PingResult first = PING_ERROR;
    for (int attempt = 0; attempt < 3 && first != PING_OK; ++attempt) // the link may still be settling
        first = Ping("10.77.0.2", ms);
    EXPECT_EQ(first, PING_OK);
    ASSERT_EQ(peer.run("echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all"), 0);
    ms = -7;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Ping("10.77.0.2", ms), PING_TIMEOUT);
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(990));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(ms, -7);
}
