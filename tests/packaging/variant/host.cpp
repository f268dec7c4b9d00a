// The smallest host: enough to need the application object's layout.
#include "TApplication.h"

class Host : public vorel_sdl2::TApplication {
public:
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override { setStatus(APP_STARTUP); }
    int RunOnce() override { return 1; }
    int DrawOnce() override { return 0; }
};

int main(int argc, char**)
{
    if (argc > 1) { // linked, never run by the check
        Host host;
        return host.Run();
    }
    return 0;
}
