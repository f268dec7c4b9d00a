// Log entries in the systemd journal: a test binds its own datagram socket,
// points the log manager at it and reads the entries in the journal's native
// format, with the fields and priorities per level tag; long and multi-line
// messages; a journal that is full or gone; and standard output that is a
// journal stream already.
#include "TJournal.h"
#include "TLogManager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

using Fields = std::map<std::string, std::string>;

// One entry in the native format: KEY=value lines, or KEY, a line feed, a
// 64-bit little-endian length and the value (for values with line feeds).
Fields Parse(const std::string& d)
{
    Fields fields;
    for (size_t pos = 0; pos < d.size();) {
        size_t end = d.find_first_of("=\n", pos);
        if (end == std::string::npos)
            break;
        std::string key = d.substr(pos, end - pos);
        if (d[end] == '=') {
            size_t nl = d.find('\n', end);
            fields[key] = d.substr(end + 1, nl - end - 1);
            pos = nl + 1;
        } else {
            uint64_t length = 0;
            for (int i = 0; i < 8; ++i)
                length |= static_cast<uint64_t>(static_cast<unsigned char>(d[end + 1 + i])) << (8 * i);
            fields[key] = d.substr(end + 9, length);
            pos = end + 9 + length + 1;
        }
    }
    return fields;
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(VOREL_TEST_BINARY_DIR) / ("journaltmp_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        socketPath = (dir / "journal.sock").string();
        Bind();
        setenv("VOREL_JOURNAL", "1", 1);
        setenv("VOREL_JOURNAL_SOCKET", socketPath.c_str(), 1);
    }
    void TearDown() override
    {
        CaptureStdout();
        log.Destroy();
        GetCapturedStdout();
        setenv("VOREL_JOURNAL", "0", 1);
        unsetenv("VOREL_JOURNAL_SOCKET");
        unsetenv("JOURNAL_STREAM");
        if (fd >= 0)
            ::close(fd);
        fs::remove_all(dir);
    }
    void Bind()
    {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
        int big = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    void Init()
    {
        CaptureStdout();
        log.Init((dir / "app.log").string(), nullptr, nullptr, false);
        GetCapturedStdout();
    }
    // Polls until the queue is empty: one Poll is bounded in time.
    std::string Poll()
    {
        CaptureStdout();
        do
            log.Poll();
        while (log.QueuedEntries() > 0);
        return GetCapturedStdout();
    }
    // Every entry waiting on the socket (sends are done when Poll returns);
    // an entry passed as a memory file is read from it.
    std::vector<Fields> Received()
    {
        std::vector<Fields> entries;
        for (;;) {
            std::string data(1 << 20, '\0');
            struct iovec part {data.data(), data.size()};
            union {
                struct cmsghdr header;
                char space[CMSG_SPACE(sizeof(int))];
            } control {};
            struct msghdr message {};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = &control;
            message.msg_controllen = sizeof control.space;
            ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
            if (n < 0)
                break;
            data.resize(static_cast<size_t>(n));
            struct cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
            if (cmsg && cmsg->cmsg_type == SCM_RIGHTS) {
                int memfd = -1;
                std::memcpy(&memfd, CMSG_DATA(cmsg), sizeof memfd);
                struct stat st {};
                ::fstat(memfd, &st);
                data.assign(static_cast<size_t>(st.st_size), '\0');
                EXPECT_EQ(::pread(memfd, data.data(), data.size(), 0), st.st_size);
                ::close(memfd);
            }
            entries.push_back(Parse(data));
        }
        return entries;
    }
    std::string FileText()
    {
        std::ifstream in(log.GetLogFileName().substr(0, log.GetLogFileName().size() - 4) + "_" +
                         ReadDate() + ".log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string ReadDate()
    {
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().extension() == ".log")
                return e.path().stem().string().substr(4);
        return "";
    }

    fs::path dir;
    std::string socketPath;
    int fd = -1;
    TLogManager log;
};

} // namespace

TEST_F(JournalTest, EveryLevelTagGetsItsPriorityAndFields)
{
    struct {
        TLogType type;
        const char* priority;
    } const cases[] = {
        {0, "6"},         {1, "6"},          {2, "7"},          {3, "6"},     {4, "4"},
        {5, "3"},         {6, "7"},          {7, "2"},          {8, "6"},     {200, "6"},
        {65536 + 4, "4"}, {65536 + 7, "2"},  {65536 + 2, "7"},  {65537, "6"},
    };
    Init();
    std::vector<Fields> got;
    // A few at a time: an unread datagram socket holds only a few entries.
    for (size_t i = 0; i < std::size(cases); ++i) {
        log.WriteLog(cases[i].type, 1000 + i, "entry " + std::to_string(i));
        if (i % 4 == 3 || i + 1 == std::size(cases)) {
            Poll();
            for (Fields& f : Received())
                got.push_back(std::move(f));
        }
    }
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(cases[i].type);
        EXPECT_EQ(got[i]["MESSAGE"], "entry " + std::to_string(i));
        EXPECT_EQ(got[i]["PRIORITY"], cases[i].priority);
        EXPECT_EQ(got[i]["VOREL_GAME_ID"], std::to_string(1000 + i));
        EXPECT_EQ(got[i]["VOREL_LOG_TYPE"], std::to_string(cases[i].type));
        EXPECT_EQ(got[i]["SYSLOG_IDENTIFIER"], program_invocation_short_name);
    }
}

TEST_F(JournalTest, LongAndMultiLineMessagesArriveWhole)
{
    Init();
    const std::string huge(300000, 'h'); // more than one datagram takes
    log.WriteLog(0, 0, "%s", std::string(3000, 'x').c_str());
    log.WriteLog(std::string("one\ntwo\n\nthree\n"));
    log.WriteLog(huge);
    log.bAppendPrefix = false;
    log.WriteLog(4, std::string("no tag"));
    Poll();
    std::vector<Fields> got = Received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0]["MESSAGE"], std::string(2047, 'x'));
    EXPECT_EQ(got[1]["MESSAGE"], "one\ntwo\n\nthree\n");
    EXPECT_EQ(got[2]["MESSAGE"], huge);
    EXPECT_EQ(got[3]["MESSAGE"], "no tag");
    EXPECT_EQ(got[3]["PRIORITY"], "4");
}

// The journal stops reading, then goes away: Poll never waits for it, the
// file gets every line as without a journal, and one status line tells.
TEST_F(JournalTest, FullOrGoneJournalChangesNothingInTheFile)
{
    Init();
    auto write = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            log.WriteLog(0, 0, "line %d", i);
    };
    write(0, 300); // far more than the socket holds unread
    std::string out = Poll();
    size_t first = out.find("logman: the journal does not take entries");
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find("logman: the journal", first + 1), std::string::npos) << out;

    ::close(fd);
    fd = -1;
    fs::remove(socketPath);
    write(300, 400);
    Poll();

    std::vector<std::string> lines;
    std::stringstream s(FileText());
    for (std::string line; std::getline(s, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 401u);
    for (int i = 0; i < 400; ++i)
        EXPECT_EQ(lines[1 + i].substr(24), ": line " + std::to_string(i));
}

TEST_F(JournalTest, SwitchedOffSendsNothing)
{
    setenv("VOREL_JOURNAL", "0", 1);
    Init();
    log.WriteLog(std::string("not for the journal"));
    Poll();
    EXPECT_TRUE(Received().empty());
    EXPECT_NE(FileText().find("not for the journal"), std::string::npos);
}

// Standard output that is the journal stream already does not get the echo
// of entries the journal took; any other standard output does.
TEST_F(JournalTest, EchoIsNotDoubledOnAJournalStream)
{
    for (bool stream : {false, true}) {
        SCOPED_TRACE(stream);
        CaptureStdout(); // standard output is now a file of gtest's
        if (stream) {
            struct stat st {};
            ASSERT_EQ(::fstat(STDOUT_FILENO, &st), 0);
            setenv("JOURNAL_STREAM",
                   (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        } else {
            unsetenv("JOURNAL_STREAM");
        }
        log.Init((dir / "app.log").string(), nullptr, nullptr, false);
        log.SetOutputToConsole(true);
        log.WriteLog(std::string("echo me"));
        log.Poll();
        log.Destroy();
        std::string out = GetCapturedStdout();
        EXPECT_EQ(out.find(": echo me\n") != std::string::npos, !stream) << out;
        ASSERT_EQ(Received().size(), 1u);
    }
}

// Status lines on a standard output that is the journal stream carry their
// priority; without JOURNAL_STREAM (or naming another stream) nothing changes.
TEST_F(JournalTest, StatusLinesOnAJournalStreamCarryTheirPriority)
{
    const std::string printed = "APP WARNING: CPU_FPS is odd\nPARAMS ERROR: Please set 'X'\nplain news\n"
                                "\nlogman WARNING: no channels\nAPP WARNING: split\n";
    struct {
        const char* what;
        const char* stream; // null: unset; "": the captured output itself
        std::string expected;
    } const cases[] = {
        {"journal stream", "", "<4>APP WARNING: CPU_FPS is odd\n<3>PARAMS ERROR: Please set 'X'\nplain news\n"
                               "\n<4>logman WARNING: no channels\n<4>APP WARNING: split\n"},
        {"unset", nullptr, printed},
        {"another stream", "1:2", printed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CaptureStdout();
        struct stat st {};
        ASSERT_EQ(::fstat(STDOUT_FILENO, &st), 0);
        if (!c.stream)
            unsetenv("JOURNAL_STREAM");
        else
            setenv("JOURNAL_STREAM",
                   c.stream[0] ? c.stream : (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        EXPECT_EQ(vorel_sdl2::PrefixStatusLines(), c.stream && !c.stream[0]);
        std::printf("APP WARNING: CPU_FPS is odd\nPARAMS ERROR: Please set '%s'\n", "X");
        std::printf("plain news\n\nlogman WARNING: no channels\n");
        std::printf("APP WA"); // a line in two writes
        std::fflush(stdout);
        std::printf("RNING: split\n");
        vorel_sdl2::StopPrefixingStatusLines();
        EXPECT_EQ(GetCapturedStdout(), c.expected);
    }
}
