// Start-up of a headless host, one per process (run the binary several
// times): from the application constructor to READY, the readiness notice
// the first main-loop pass in APP_RUNNING sends, received on a notification
// socket of this process (NOTIFY_SOCKET), and to each start-up state.
// Prints "start-up: <what> <ms> ms" lines.
#include "StartupTiming.h"
#include "TApplication.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace vorel_sdl2;
using startup::gStart;
using startup::MsSince;

namespace {

class StartupHost : public TApplication {
public:
    std::atomic<bool> ready{false};
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override { setStatus(APP_STARTUP); }
    int RunOnce() override { return ready || MsSince(gStart) > 5000 ? 1 : 0; }
    int DrawOnce() override { return 0; }
    void OnAppStateChanged(ApplicationState s) override { startup::RecordState(s); }
};

} // namespace

int main()
{
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
    setenv("LOG_FILENAME", "/dev/null", 1);
    const std::string name = "@vorel-bench-startup-" + std::to_string(getpid());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.c_str() + 1, name.size() - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        std::perror("notification socket");
        return 1;
    }
    setenv("NOTIFY_SOCKET", name.c_str(), 1);

    double readyMs = -1, constructedMs = 0;
    StartupHost* app = nullptr;
    std::thread receiver([&] {
        char buf[512];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
            if (n <= 0)
                return;
            buf[n] = 0;
            if (std::strstr(buf, "READY=1")) {
                readyMs = MsSince(gStart);
                app->ready = true;
            }
            if (std::strstr(buf, "STOPPING=1"))
                return;
        }
    });
    gStart = startup::Clock::now();
    app = new StartupHost;
    constructedMs = MsSince(gStart);
    app->Init();
    app->Run();
    receiver.join();
    delete app;
    close(fd);
    if (readyMs < 0) {
        std::printf("no READY received\n");
        return 1;
    }
    startup::PrintStates(constructedMs);
    std::printf("start-up: constructor to READY %.3f ms\n", readyMs);
    return 0;
}
