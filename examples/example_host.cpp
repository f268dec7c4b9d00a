// A minimal headless vorel host.
//
// It derives from TApplication, declares its start-up done at once, and runs
// the paced main loop for a few seconds, printing once per second how many
// passes the loop made and what they cost. Meanwhile a state automaton,
// registered as a module and polled from RunOnce, walks the host through its
// own states: warming up, serving, a short pause that steps back to serving,
// and closing. Usage: example-host [seconds]
//
// Its parameters live in an SQLite file (EXAMPLE_HOST_PARAMS, by default
// example-host-params.sqlite next to the log file) under the client ID
// EXAMPLE_HOST_ID (default "EX_1"): it counts its runs there, so the count
// survives restarts. With EXAMPLE_HOST_PG set to a libpq connection string
// (for example "service=venue" or "host=db.venue user=ex_1 sslmode=require")
// they live in the venue's PostgreSQL database instead, and the file is the
// offline copy.
//
// Reboot on exit stays off unless DISABLE_REBOOT_ON_EXIT is set by the user.
#include "PgParamStore.h"
#include "SqliteParamStore.h"
#include "TApplication.h"
#include "TStateAutomat.h"

#include <SDL2/SDL_timer.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using vorel_sdl2::TApplication;
using vorel_sdl2::TSAState;
using vorel_sdl2::TStateAutomat;
using vorel_sdl2::TStateDelay;

namespace {

double CpuSeconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

enum HostStateId { STATE_WARM_UP = 1, STATE_SERVING = 2, STATE_CLOSING = 3 };

// Tells the log about every state the host enters.
class HostStates : public TStateAutomat {
public:
    explicit HostStates(TApplication* app) : mApp(app) {}
    int Load(void*) override { return 0; }
    int Unload() override { return 0; }
    void AfterStateChange() override
    {
        TSAState* state = GetCurrentState();
        mApp->WriteLog(3, 0, "example host: state \"%s\"", state->GetDescription().c_str());
    }

private:
    TApplication* mApp;
};

class Serving : public TSAState {
public:
    explicit Serving(TStateAutomat* sa) : TSAState(sa) { SetStateID(STATE_SERVING, std::string("serving")); }
    // Once, a while after it starts serving, the host pauses briefly; the
    // delay state then steps back here.
    int OnExecute() override
    {
        if (OnEnterCounter == 1 && SDL_GetTicks() - OnEnterTimestamp >= 1500)
            SetNext(new TStateDelay(GetSA(), 500));
        return 0;
    }
};

class WarmUp : public TSAState {
public:
    explicit WarmUp(TStateAutomat* sa) : TSAState(sa) { SetStateID(STATE_WARM_UP, std::string("warming up")); }
    int OnExecute() override
    {
        if (SDL_GetTicks() - OnEnterTimestamp >= 1000)
            SetNext(new Serving(GetSA()));
        return 0;
    }
};

class Closing : public TSAState {
public:
    explicit Closing(TStateAutomat* sa) : TSAState(sa) { SetStateID(STATE_CLOSING, std::string("closing")); }
};

std::string ParamFilePath(const std::string& logFile)
{
    if (const char* path = std::getenv("EXAMPLE_HOST_PARAMS"); path && *path)
        return path;
    return (std::filesystem::path(logFile).parent_path() / "example-host-params.sqlite").string();
}

class ExampleHost : public ParamStoreHooks<TApplication> {
public:
    explicit ExampleHost(unsigned seconds) : mSeconds(seconds) {}

    int Init() override
    {
        TLogManager::Init(LogFile());
        const char* id = std::getenv("EXAMPLE_HOST_ID");
        SetClientID(id && *id ? id : "EX_1");
        mParamFile = ParamFilePath(LogFile());
        if (const char* pg = std::getenv("EXAMPLE_HOST_PG"); pg && *pg) {
            if (mServer.Open(pg, ClientID(), mParamFile) == 0)
                UseParamStore(&mServer);
        } else if (mFile.Open(mParamFile) >= 0) {
            UseParamStore(&mFile);
        }
        if (!ParamStore())
            WriteLog(4, 0, "example host: no parameter store at %s, parameters stay in memory", mParamFile.c_str());
        SetLogicInterval(0); // RunOnce on every pass, so it can count them
        mStates = new HostStates(this);
        mStates->Init(this, "states", nullptr);
        mStates->SetNext(new WarmUp(mStates));
        return 0;
    }

    void Destroy() override
    {
        DestroyModules(); // the automaton, with its states
        mStates = nullptr;
        vorel_sdl2::TParamMan::Poll(); // the last stores, before the file closes
        // What the server has not taken yet stays in the file's outbox.
        mServer.WaitDelivered(std::chrono::milliseconds(2000));
        UseParamStore(nullptr);
        mServer.Close();
        mFile.Close();
        WriteLog(0, 0, "example host: done");
        TLogManager::Destroy();
    }

    void Startup() override
    {
        // Stored at the end of the first main-loop pass.
        vorel_sdl2::TAppParam* runs =
            GetOrSetParam("RUN_COUNT", 0, "Runs", "How often this host has started.",
                          vorel_sdl2::PARAM_READ_MINE_WRITE_MINE);
        const long long run = runs ? runs->AsInteger(0) + 1 : 1;
        SetParam("RUN_COUNT", std::to_string(run), PARAM_MINE);
        WriteLog(3, 0, "example host: run %lld, parameters in %s", run, mParamFile.c_str());
        WriteLog(3, 0, "example host: start-up done, target %u passes/s", static_cast<unsigned>(TargetFrequency));
        setStatus(APP_STARTUP);
    }

    int RunOnce() override
    {
        Uint32 now = SDL_GetTicks();
        if (mStart == 0) {
            mStart = mWindowStart = now;
            mCpuStart = mCpuWindow = CpuSeconds();
        }
        ++mPasses;
        mStates->Poll();
        if (now - mWindowStart >= 1000) {
            double cpu = CpuSeconds();
            double secs = (now - mWindowStart) / 1000.0;
            std::printf("[%5.1f s] %6.0f passes/s  cpu %5.1f ms/s  last pass: actions %d ms, tasks %d ms, "
                        "params %d ms, log %d ms\n",
                        (now - mStart) / 1000.0, mPasses / secs, (cpu - mCpuWindow) * 1000.0 / secs, ActionDurationMs,
                        TaskDurationMs, ParamDurationMs, LogDurationMs);
            std::fflush(stdout);
            mPasses = 0;
            mWindowStart = now;
            mCpuWindow = cpu;
        }
        if (now - mStart >= mSeconds * 1000u) {
            double total = (now - mStart) / 1000.0;
            std::printf("ran %.1f s, cpu %.1f ms per second of running\n", total,
                        (CpuSeconds() - mCpuStart) * 1000.0 / total);
            // Closing is entered whatever the automaton is doing.
            mStates->ForceNext(new Closing(mStates));
            mStates->Poll();
            terminate(vorel_sdl2::NOTHING);
            return 1;
        }
        return 0;
    }

    int DrawOnce() override { return 0; }

private:
    unsigned mSeconds;
    std::string mParamFile;
    SqliteParamStore mFile;
    PgParamStore mServer;
    HostStates* mStates = nullptr;
    Uint32 mStart = 0;
    Uint32 mWindowStart = 0;
    unsigned long mPasses = 0;
    double mCpuStart = 0;
    double mCpuWindow = 0;
};

} // namespace

int main(int argc, char** argv)
{
    unsigned seconds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 5;
    if (seconds == 0)
        seconds = 5;
    // An example must never reboot the machine it is tried on.
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 0);

    ExampleHost app(seconds);
    app.Init();
    int result = app.Run();
    app.Destroy();
    // RunOnce ends the loop with 1 once the time is up; that is a clean end.
    return result == 1 ? 0 : result;
}
