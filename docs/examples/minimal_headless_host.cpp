// The smallest headless host of vorel (docs/writing-a-host.md walks through it).
//
//   minimal-headless-host [seconds]      runs until stopped, or for so many seconds
//
// Build: link vorel::vorel-nogfx (CMake) or `pkg-config --cflags --libs vorel-nogfx`.
#include "TApplication.h"
#include "TServiceNotify.h"
#include "TTaskMan.h"

#include <SDL2/SDL_timer.h>

#include <cstdlib>
#include <string>

using namespace vorel_sdl2;

class Host : public TApplication {
public:
    explicit Host(unsigned seconds) : mSeconds(seconds) {}

    // Before Run, on the main thread: open the log.
    int Init() override { return TLogManager::Init(LogFile()); }

    // Once, on the main thread, in APP_LOADING.
    void Startup() override
    {
        // Main loop, logic part: once a second.
        AddTimedTask(new TtthLambda([this] { WriteLog(3, 0, "host: %d passes/s", CurrentFrequency()); }, 1000,
                                    TTimedTaskHandler::ENDLESS, "heartbeat"),
                     TASK_NORMAL);
        // A thread of its own per execution: slow work that must not hold up the loop.
        AddActionListener("Host.Report",
                          new TahMemberLarge<Host>(this, &Host::Report, nullptr, TActionHandler::ahtExecuteEndless),
                          ACTION_ASYNC);
        setStatus(APP_STARTUP); // start-up done: Run enters APP_RUNNING
    }

    // Main loop, every LogicInterval() ms (10 by default). Non-zero ends the loop.
    int RunOnce() override
    {
        Uint32 now = SDL_GetTicks();
        if (now - mLastReport >= 5000) {
            mLastReport = now;
            GenerateAction("Host.Report", nullptr, ACTION_ANY);
        }
        if (mSeconds != 0 && now - AppStartTicks >= mSeconds * 1000u) {
            terminate(NOTHING);
            return 1;
        }
        return 0;
    }

    int DrawOnce() override { return 0; } // no draw thread in the headless build

    // The headless Run does not call Destroy: main() does, after Run.
    void Destroy() override
    {
        WriteLog(0, 0, "host: done");
        TLogManager::Destroy();
    }

private:
    void Report(std::string, void*, void*)
    {
        ServiceNotify.Status("serving, " + std::to_string(CurrentFrequency()) + " passes/s");
    }

    unsigned mSeconds;
    Uint32 mLastReport = 0;
};

int main(int argc, char** argv)
{
    // A try-out must not reboot the machine; a terminal's unit sets this itself.
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 0);

    Host host(argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 0);
    if (host.Init() != 0)
        return 1;
    int result = host.Run();
    host.Destroy();
    return result == 1 ? 0 : result; // 1: RunOnce ended the loop, a clean end
}
