#include "TAppModule.h"

#include "TApplication.h"

namespace vorel_sdl2 {

TAppModule::TAppModule() : ModuleName(), pApplication(nullptr), Enabled(0) {}

TAppModule::~TAppModule() = default;

int TAppModule::Poll() { return -1; }
int TAppModule::Open() { return -1; }
int TAppModule::Close() { return -1; }
int TAppModule::Write(const unsigned char*, int) { return -1; }
int TAppModule::Read(unsigned char*, int) { return -1; }
int TAppModule::Ioctl(unsigned int, unsigned long) { return -1; }

void TAppModule::Enable()
{
    if (!Enabled)
        OnEnable();
    Enabled = 1;
}

void TAppModule::OnEnable() {}

void TAppModule::Disable()
{
    if (Enabled)
        OnDisable();
    Enabled = 0;
}

void TAppModule::OnDisable() {}

std::string TAppModule::GetVersion() { return "0"; }

int TAppModule::Init(TApplication* app, std::string name, void* data)
{
    if (!app || name.empty())
        return -1;
    pApplication = app;
    ModuleName = name;
    Enabled = 1;
    const int registered = app->AddModule(this);
    if (registered != 0) {
        // Not in the registry, so nothing would ever unload it: not loaded,
        // and left as it was before the call.
        pApplication = nullptr;
        Enabled = 0;
        return registered;
    }
    return data ? Load(data) : 0;
}

int TAppModule::Destroy()
{
    if (!pApplication)
        return -1;
    Unload();
    pApplication->DropModule(this);
    // A deleted listener would be offered the next event.
    pApplication->RemoveEventListener(this);
    delete this;
    return 0;
}

} // namespace vorel_sdl2
