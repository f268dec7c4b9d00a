#include "Platform.h"

#include "TApplication.h"

#include <SDL2/SDL_timer.h>

#include <cerrno>
#include <cstdlib>
#include <sys/reboot.h>
#include <time.h>
#include <unistd.h>

namespace vorel_sdl2 {

namespace {

std::time_t WallClock() { return std::time(nullptr); }

// A signal that interrupts the sleep shortens it only by the time already
// slept; any other failure is reported.
int NanoSleep(Uint32 ms)
{
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0) {
        if (errno != EINTR)
            return -1;
        req = rem;
    }
    return 0;
}

int Shell(const char* command) { return std::system(command); }
// reboot(2) does not write back dirty buffers itself.
int RebootSystem(int command)
{
    sync();
    return ::reboot(command);
}
void NoHandOver(const char*) {}

// Cache, own, group and global domains (read mode 15).
std::string AppParamText(TApplication& app, const char* name)
{
    TAppParam* param = app.GetParam(name ? name : "", 15);
    return param->IsNull() ? std::string() : param->Value();
}

constexpr TPlatform kDefaults{&SDL_GetTicks, &WallClock, &NanoSleep, &Shell, &RebootSystem, &AppParamText,
                             &NoHandOver};

} // namespace

const TPlatform DefaultPlatform = kDefaults;
TPlatform Platform = kDefaults;

} // namespace vorel_sdl2
