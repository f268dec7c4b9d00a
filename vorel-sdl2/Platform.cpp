#include "Platform.h"

#include <SDL2/SDL_timer.h>

#include <cstdlib>
#include <sys/reboot.h>
#include <unistd.h>

namespace vorel_sdl2 {

namespace {
std::time_t WallClock() { return std::time(nullptr); }
int Shell(const char* command) { return std::system(command); }
int RebootSystem(int command) { return ::reboot(command); }
} // namespace

const TPlatform DefaultPlatform{&SDL_GetTicks, &WallClock, &Shell, &RebootSystem};
TPlatform Platform{&SDL_GetTicks, &WallClock, &Shell, &RebootSystem};

} // namespace vorel_sdl2
