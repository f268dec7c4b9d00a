// Fatal and terminating signals: the crash path, its backtrace and its watchdog.
//
// The crash path must not hang an unattended terminal: whatever goes wrong in
// it (a second signal, addr2line that never answers, a host Destroy that
// blocks), the process still ends by the signal or the machine still reboots,
// within a few seconds. Code here that runs inside the handler avoids locks and
// allocation where it has the choice; what it cannot avoid (logging allocates)
// is covered by the watchdog.
#include "TApplication.h"

#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <initializer_list>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vorel_sdl2 {

namespace {

constexpr int kMaxFrames = 20;
constexpr int kFrameLimitMs = 1000;     // one addr2line run
constexpr int kResolveBudgetMs = 3000;  // all frames together
constexpr int kHandlerBudgetMs = 5000;  // signal to final action, whatever hangs
constexpr unsigned kLastPollBudgetS = 1; // the watchdog's own last log poll
constexpr size_t kAltStackSize = 1u << 20;

const int kHandledSignals[] = {SIGHUP, SIGINT, SIGILL, SIGABRT, SIGFPE, SIGKILL, SIGSEGV, SIGTERM, SIGQUIT, SIGBUS};

// Who handles the signal now: 0 when nobody, else the kernel thread id.
// gStarted tells a fresh claim by QuitSignalAction (false) from a handling
// already under way on the same thread (true).
std::atomic<pid_t> gOwner{0};
std::atomic<bool> gStarted{false};

// What QuitSignalAction got from the kernel, for the detail line.
siginfo_t gInfo;
std::atomic<bool> gHaveInfo{false};

// The handling in progress, for the watchdog.
std::atomic<int> gSignal{0};
std::atomic<bool> gReboot{false};
std::atomic<bool> gInPoll{false};

// Resolved once at installation, so the handler neither searches nor allocates.
char gAddr2Line[PATH_MAX];
char gExePath[PATH_MAX];

// The watchdog thread of this process (a forked child has none of its own).
sem_t gWatchdogArm;
std::atomic<pid_t> gWatchdogPid{0};
timespec gSignalTime;

void WriteFd(int fd, const char* text)
{
    size_t len = std::strlen(text);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

long ElapsedMs(const timespec& since)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

void RestoreDefault(int sig)
{
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Ends the process: reboot, or the signal's default action. A reboot that
// returns (no privilege, or a replaced call) falls back to the default action,
// since returning from a fault would only repeat it.
void FinalAction(int sig, bool reboot)
{
    if (reboot) {
        sync(); // reboot(2) does not write back what is still buffered
        Platform.Reboot(RB_AUTOBOOT);
        WriteFd(STDERR_FILENO, "Error: reboot failed, ending by the signal instead\n");
    }
    RestoreDefault(sig);
    kill(getpid(), sig);
}

// Last resort when the watchdog thread is missing or its own poll hangs.
void AlarmExpired(int)
{
    sync();
    FinalAction(gSignal.load(), gReboot.load());
    _exit(128 + gSignal.load());
}

void ArmAlarm(unsigned seconds)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = AlarmExpired;
    sa.sa_flags = SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    alarm(seconds);
}

void* WatchdogMain(void*)
{
    while (sem_wait(&gWatchdogArm) != 0) {
    }
    timespec deadline = gSignalTime;
    deadline.tv_sec += kHandlerBudgetMs / 1000;
    deadline.tv_nsec += (kHandlerBudgetMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }

    // The handler is stuck. Save what the log still holds, unless the stuck
    // part is the handler's own poll; an alarm bounds this last poll too.
    WriteFd(STDOUT_FILENO, "application::signal handler overran its time, ending now\n");
    if (!gInPoll.load() && logman::pDefInst) {
        ArmAlarm(kLastPollBudgetS);
        logman::WriteLog(0, 0, "Signal %d handling did not finish within %d ms; ending now", gSignal.load(),
                         kHandlerBudgetMs);
        logman::Poll();
        std::fflush(stdout);
    }
    sync();
    FinalAction(gSignal.load(), gReboot.load());
    _exit(128 + gSignal.load());
    return nullptr;
}

void StartWatchdog()
{
    pid_t self = getpid();
    if (gWatchdogPid.load() == self)
        return;
    if (sem_init(&gWatchdogArm, 0, 0) != 0)
        return;
    // The thread takes no signals of its own: they belong to the host's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, WatchdogMain, nullptr) == 0) {
        pthread_detach(thread);
        gWatchdogPid = self;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Starts the bound on the handler's run time.
void ArmWatchdog(int sig, bool reboot)
{
    gSignal = sig;
    gReboot = reboot;
    clock_gettime(CLOCK_MONOTONIC, &gSignalTime);
    if (gWatchdogPid.load() == getpid())
        sem_post(&gWatchdogArm);
    else
        ArmAlarm((kHandlerBudgetMs + 999) / 1000);
}

void FindAddr2Line()
{
    gAddr2Line[0] = '\0';
    const char* dirs = std::getenv("PATH");
    if (!dirs)
        dirs = "/usr/bin:/bin";
    for (const char* dir = dirs;; ++dir) {
        const char* end = std::strchr(dir, ':');
        size_t len = end ? static_cast<size_t>(end - dir) : std::strlen(dir);
        char candidate[PATH_MAX];
        int n = len == 0 ? std::snprintf(candidate, sizeof candidate, "./addr2line")
                         : std::snprintf(candidate, sizeof candidate, "%.*s/addr2line", static_cast<int>(len), dir);
        if (n > 0 && static_cast<size_t>(n) < sizeof candidate && access(candidate, X_OK) == 0) {
            std::memcpy(gAddr2Line, candidate, static_cast<size_t>(n) + 1);
            return;
        }
        if (!end)
            return;
        dir = end;
    }
}

bool BeginHandling()
{
    pid_t me = gettid();
    pid_t expected = 0;
    if (gOwner.compare_exchange_strong(expected, me)) {
        gStarted = true;
        return true;
    }
    return expected == me && !gStarted.exchange(true);
}

void EndHandling()
{
    gHaveInfo = false;
    gStarted = false;
    gOwner = 0;
}

// A signal while a handling runs: no second handling, straight to the end.
void SecondSignal(int sig)
{
    char text[96];
    std::snprintf(text, sizeof text, "Error: signal %d while a signal is being handled; ending now\n", sig);
    WriteFd(STDERR_FILENO, text);
    sync();
    FinalAction(sig, pApp ? pApp->mRebootOnExit : false);
}

// A fault inside the handling must reach the handler again, and with it the
// final action. SA_NODEFER asks for that, but a layer between the kernel and
// this handler (a sanitizer's signal wrapper, a host's chained handler) may
// run it with every signal blocked, and the kernel ends a process whose
// blocked fault recurs at once, without a word.
void UnblockFaults()
{
    sigset_t set;
    sigemptyset(&set);
    for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE})
        sigaddset(&set, fault);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void QuitSignalAction(int sig, siginfo_t* info, void*)
{
    int savedErrno = errno;
    UnblockFaults();
    pid_t expected = 0;
    if (!gOwner.compare_exchange_strong(expected, gettid())) {
        SecondSignal(sig);
        errno = savedErrno;
        return;
    }
    if (info) {
        gInfo = *info;
        gHaveInfo = true;
    }
    QuitSignalHandler(sig);
    errno = savedErrno;
}

const char* CodeName(int sig, int code)
{
    switch (code) {
    case SI_USER: return "SI_USER";
    case SI_KERNEL: return "SI_KERNEL";
    case SI_QUEUE: return "SI_QUEUE";
    case SI_TIMER: return "SI_TIMER";
    case SI_MESGQ: return "SI_MESGQ";
    case SI_ASYNCIO: return "SI_ASYNCIO";
    case SI_SIGIO: return "SI_SIGIO";
    case SI_TKILL: return "SI_TKILL";
    default: break;
    }
    if (sig == SIGSEGV) {
        static const char* const names[] = {"", "SEGV_MAPERR", "SEGV_ACCERR", "SEGV_BNDERR", "SEGV_PKUERR"};
        if (code > 0 && code < 5)
            return names[code];
    } else if (sig == SIGFPE) {
        static const char* const names[] = {"",           "FPE_INTDIV", "FPE_INTOVF", "FPE_FLTDIV", "FPE_FLTOVF",
                                            "FPE_FLTUND", "FPE_FLTRES", "FPE_FLTINV", "FPE_FLTSUB"};
        if (code > 0 && code < 9)
            return names[code];
    } else if (sig == SIGILL) {
        static const char* const names[] = {"",           "ILL_ILLOPC", "ILL_ILLOPN", "ILL_ILLADR", "ILL_ILLTRP",
                                            "ILL_PRVOPC", "ILL_PRVREG", "ILL_COPROC", "ILL_BADSTK"};
        if (code > 0 && code < 9)
            return names[code];
    }
    return "?";
}

// Runs addr2line for one address with a time limit and collects its standard
// output. False when no process could be started.
bool ResolveFrame(const char* file, uintptr_t address, char* out, size_t outSize, int limitMs)
{
    out[0] = '\0';
    if (gAddr2Line[0] == '\0' || limitMs <= 0)
        return true; // missing addr2line, or no time left: empty text
    char addressText[32];
    std::snprintf(addressText, sizeof addressText, "0x%lx", static_cast<unsigned long>(address));

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    pid_t child = _Fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (child == 0) {
        dup2(fds[1], STDOUT_FILENO);
        char* argv[] = {const_cast<char*>("addr2line"), addressText, const_cast<char*>("-e"),
                        const_cast<char*>(file), nullptr};
        execve(gAddr2Line, argv, environ);
        _exit(127);
    }
    close(fds[1]);

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t used = 0;
    bool finished = false;
    while (!finished) {
        long left = limitMs - ElapsedMs(start);
        if (left <= 0)
            break;
        pollfd pfd{fds[0], POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char chunk[256];
        ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            finished = true;
            break;
        }
        size_t take = std::min(static_cast<size_t>(n), outSize - 1 - used);
        std::memcpy(out + used, chunk, take);
        used += take;
    }
    out[used] = '\0';
    close(fds[0]);

    // Reap the child; one that overstays its limit is killed.
    for (;;) {
        int status;
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child || (r < 0 && errno != EINTR))
            break;
        if (r == 0 && ElapsedMs(start) > limitMs) {
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (r == 0) {
            timespec pause{0, 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    return true;
}

// The file addr2line reads for a frame, and the address to give it: relative
// to the module's load bias, which is 0 only for a fixed-address executable.
const char* FrameModule(void* frame, const char* symbolLine, char* fileBuf, size_t fileSize, uintptr_t* address)
{
    *address = reinterpret_cast<uintptr_t>(frame);
    fileBuf[0] = '\0';
    if (symbolLine) {
        size_t len = std::strcspn(symbolLine, "( ");
        len = std::min(len, fileSize - 1);
        std::memcpy(fileBuf, symbolLine, len);
        fileBuf[len] = '\0';
    }
    Dl_info info;
    struct link_map* map = nullptr;
    if (dladdr1(frame, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) && map) {
        *address -= static_cast<uintptr_t>(map->l_addr);
        // The main program has no name of its own in the link map, and the
        // name it was started by may be relative or found through PATH.
        if ((map->l_name == nullptr || map->l_name[0] == '\0') && gExePath[0] != '\0')
            return gExePath;
        if (fileBuf[0] == '\0' && info.dli_fname) {
            std::strncpy(fileBuf, info.dli_fname, fileSize - 1);
            fileBuf[fileSize - 1] = '\0';
        }
    }
    return fileBuf;
}

} // namespace

void AwaitSignalHandling()
{
    const pid_t me = gettid();
    for (;;) {
        const pid_t owner = gOwner.load();
        if (owner == 0 || owner == me)
            return;
        timespec pause{0, 10000000L};
        nanosleep(&pause, nullptr);
    }
}

bool InstallSignalStack()
{
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return true;
    long page = sysconf(_SC_PAGESIZE);
    size_t guard = page > 0 ? static_cast<size_t>(page) : 4096;
    void* base = mmap(nullptr, kAltStackSize + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                      -1, 0);
    if (base == MAP_FAILED)
        return false;
    mprotect(base, guard, PROT_NONE); // an overrun of the handler faults instead of corrupting
    stack_t ss;
    ss.ss_sp = static_cast<char*>(base) + guard;
    ss.ss_size = kAltStackSize;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(base, kAltStackSize + guard);
        return false;
    }
    return true;
}

void InstallSignalHandlers()
{
    // The first backtrace loads the unwinder; do that now, not in a crash.
    void* warm[2];
    backtrace(warm, 2);
    Dl_info info;
    struct link_map* map = nullptr;
    dladdr1(reinterpret_cast<void*>(&InstallSignalHandlers), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP);
    FindAddr2Line();
    ssize_t n = readlink("/proc/self/exe", gExePath, sizeof gExePath - 1);
    gExePath[n > 0 ? n : 0] = '\0';

    InstallSignalStack();
    StartWatchdog();

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = QuitSignalAction;
    // NODEFER: a fault inside the handling must reach the handler (and with
    // it the reboot), not kill the process silently because it is blocked.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : kHandledSignals)
        sigaction(sig, &sa, nullptr); // SIGKILL is refused by the system
    // A write to a closed socket or pipe fails with EPIPE instead of ending
    // the terminal silently.
    signal(SIGPIPE, SIG_IGN);
}

TThreadSignalStack::TThreadSignalStack()
{
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return; // the thread has one already
    long page = sysconf(_SC_PAGESIZE);
    size_t guard = page > 0 ? static_cast<size_t>(page) : 4096;
    size_t size = kAltStackSize + guard;
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED)
        return;
    mprotect(base, guard, PROT_NONE);
    stack_t ss;
    ss.ss_sp = static_cast<char*>(base) + guard;
    ss.ss_size = kAltStackSize;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(base, size);
        return;
    }
    mBase = base;
    mSize = size;
}

TThreadSignalStack::~TThreadSignalStack()
{
    if (!mBase)
        return;
    stack_t off;
    std::memset(&off, 0, sizeof off);
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(mBase, mSize);
}

void QuitSignalHandler(int SigValue)
{
    if (pApp && pApp->SignalHandler(SigValue))
        return;
    if (!BeginHandling()) {
        SecondSignal(SigValue);
        return;
    }
    logman::WriteLog(7, 0, "Signal %d received. Exiting...\n", SigValue);
    logman::Poll();
    std::fflush(stdout);
    sync();
    if (SigValue == SIGTERM || SigValue == SIGABRT)
        abort();
    // Returning from a fault would execute the faulting instruction again,
    // for ever; those end by their default action.
    if (SigValue == SIGSEGV || SigValue == SIGILL || SigValue == SIGFPE || SigValue == SIGBUS)
        FinalAction(SigValue, false);
    EndHandling();
}

bool TApplication::SignalHandler(int SigValue)
{
    if (!BeginHandling()) {
        SecondSignal(SigValue);
        return true;
    }
    auto pollAndSync = [this] {
        gInPoll = true;
        TLogManager::Poll();
        gInPoll = false;
        std::fflush(stdout); // the console fallback of the log is buffered
        sync();
    };

    // A stop request while the exit sequence runs (a restart command makes
    // the service manager send SIGTERM): the application is ending as asked,
    // so the process just ends, without a trace and without a reboot.
    if ((SigValue == SIGTERM || SigValue == SIGINT || SigValue == SIGHUP) && status() == APP_TERMINATE) {
        ArmWatchdog(SigValue, false);
        WriteLog(0, 0, "Signal %d received while terminating: ending without reboot", SigValue);
        pollAndSync();
        FinalAction(SigValue, false);
        return true;
    }
    ArmWatchdog(SigValue, mRebootOnExit);

    void* trace[kMaxFrames];
    int size = backtrace(trace, kMaxFrames);

    WriteLog(0, 0, "Signal %d received. Exiting...\n", SigValue);
    {
        char detail[512];
        char name[17] = {0};
        prctl(PR_GET_NAME, name, 0, 0, 0);
        const char* role = ThreadCheck(THREAD_MAIN) ? " (main thread)"
                           : ThreadCheck(THREAD_DRAW) ? " (draw thread)"
                                                      : "";
        int len = std::snprintf(detail, sizeof detail, "Signal %d details: thread %d \"%s\"%s", SigValue,
                                static_cast<int>(gettid()), name, role);
        if (len < 0)
            len = 0;
        size_t used = std::min(static_cast<size_t>(len), sizeof detail - 1);
        if (gHaveInfo.load() && gInfo.si_signo == SigValue) {
            const siginfo_t& si = gInfo;
            if (si.si_code <= 0) // sent by a process: kill, tgkill, sigqueue, abort
                used += std::snprintf(detail + used, sizeof detail - used, ", sent by pid %d uid %u",
                                      static_cast<int>(si.si_pid), static_cast<unsigned>(si.si_uid));
            else if (SigValue == SIGSEGV || SigValue == SIGBUS || SigValue == SIGILL || SigValue == SIGFPE)
                used += std::snprintf(detail + used, sizeof detail - used, ", fault address %p", si.si_addr);
            used = std::min(used, sizeof detail - 1);
            std::snprintf(detail + used, sizeof detail - used, ", code %d (%s)", si.si_code,
                          CodeName(SigValue, si.si_code));
        } else {
            std::snprintf(detail + used, sizeof detail - used, ", no sender information");
        }
        WriteLog(0, 0, std::string(detail));
    }
    {
        char line[48];
        std::snprintf(line, sizeof line, "Error: signal %d:\n", SigValue);
        WriteFd(STDERR_FILENO, line);
    }

    char** messages = backtrace_symbols(trace, size);
    if (size > 1)
        WriteLog(0, 0, "================== BACKTRACE ==================");

    pollAndSync();

    timespec resolveStart;
    clock_gettime(CLOCK_MONOTONIC, &resolveStart);
    for (int i = 1; i < size && messages; ++i) {
        char file[PATH_MAX];
        uintptr_t address = 0;
        const char* module = FrameModule(trace[i], messages[i], file, sizeof file, &address);
        int left = static_cast<int>(kResolveBudgetMs - ElapsedMs(resolveStart));
        char output[1024];
        if (!ResolveFrame(module, address, output, sizeof output, std::min(left, kFrameLimitMs)))
            continue; // no process could be started: no line for this frame
        WriteLog(0, 0, "(%d) %s", i, output);
        pollAndSync();
    }

    if (size > 1)
        WriteLog(0, 0, "================ BACKTRACE END ================");
    if (mRebootOnExit)
        WriteLog(0, 0, "================ WILL REBOOT ON EXIT!!!!! ================");
    pollAndSync();
    std::free(messages);

    try {
        terminateIfRunning(NOTHING); // a SHUTDOWN or RESTART chosen before stays
    } catch (...) {
        WriteFd(STDOUT_FILENO, "Application:SignalHandler:terminate unhandled exception\n");
    }
    try {
        CallDestroyOnce(); // not again if the draw thread or Run already did
    } catch (...) {
        WriteFd(STDOUT_FILENO, "Application:SignalHandler:Destroy unhandled exception\n");
    }
    pollAndSync(); // what Destroy logged or wrote

    FinalAction(SigValue, mRebootOnExit);
    return true;
}

} // namespace vorel_sdl2
