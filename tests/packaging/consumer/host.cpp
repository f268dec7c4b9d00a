// A host built outside the tree against an installed vorel. It runs a few
// main-loop passes and prints which library it was built for.
#include "TApplication.h"
#ifndef VOREL_NOGFX
#include "TAppGuiModule.h"
#endif

#include <cstdio>
#include <cstdlib>

class Host : public vorel_sdl2::TApplication {
public:
    int Init() override { return 0; }
    void Destroy() override { ++mDestroyed; }
    void Startup() override { setStatus(APP_STARTUP); }
    int RunOnce() override
    {
        if (++mPasses < 3)
            return 0;
        terminate(vorel_sdl2::NOTHING);
        return 1;
    }
    int DrawOnce() override { return 0; }
    int mPasses = 0;
    int mDestroyed = 0;
};

int main()
{
    setenv("DISABLE_REBOOT_ON_EXIT", "1", 1);
#ifndef VOREL_NOGFX
    // A symbol only the full library has.
    vorel_sdl2::TAppGuiModule::SetRendererStatic(nullptr);
    const char* flavour = "sdl2";
#else
    const char* flavour = "nogfx";
#endif
    int passes, result;
    {
        Host host;
        result = host.Run();
#ifdef VOREL_NOGFX
        host.Destroy();
#endif
        passes = host.mPasses;
        if (host.mDestroyed != 1) {
            std::printf("consumer host (%s): Destroy ran %d times\n", flavour, host.mDestroyed);
            return 1;
        }
    }
    std::printf("consumer host (%s): %d passes, Run returned %d\n", flavour, passes, result);
    return result == 1 && passes == 3 ? 0 : 1;
}
