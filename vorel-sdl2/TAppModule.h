// A module: a named, separately loaded piece of an application (a device
// driver, a state automaton, the GUI module, or anything the host writes).
//
// The host constructs a module, calls Init with the application, a name and
// optional load data (which registers and loads it), and ends it with Destroy
// (unload, unregister, delete) or TApplication::DestroyModules. The framework
// never polls modules; Poll, Open, Close, Read and Write are for the host and
// the modules themselves. Modules are handled on the main thread (the one that
// also pumps SDL events); neither the registry nor the listener list has a
// lock. A listener that is dropped (not destroyed) must take itself off the
// listener list first.
#pragma once

#include <string>

namespace vorel_sdl2 {

class TApplication;

// Ioctl request with which ProcessNextEvent offers an SDL_Event (the argument
// is its address); a result of 1 means the module consumed the event.
constexpr unsigned int MODULE_IOCTL_EVENT = 1;

class TAppModule {
public:
    TAppModule();
    virtual ~TAppModule();

    virtual int Load(void* data) = 0;
    virtual int Unload() = 0;
    virtual int Poll();
    virtual int Open();
    virtual int Close();
    virtual int Write(const unsigned char* buffer, int length);
    virtual int Read(unsigned char* buffer, int length);
    virtual int Ioctl(unsigned int request, unsigned long argument);
    virtual void Enable();
    virtual void OnEnable();
    virtual void Disable();
    virtual void OnDisable();
    virtual std::string GetVersion();

    // -1 for a null application or an empty name (nothing changes). Else
    // sets the name and registers the module; a refused registration (a name
    // already taken: -2) is returned, and the module is neither loaded nor
    // bound to the application nor enabled (the caller still owns it; Destroy
    // refuses it). A registered module is enabled and bound to the
    // application, and the result is 0 for null data or Load's result.
    int Init(TApplication* app, std::string name, void* data);
    // -1 without an application; else unloads, unregisters, takes the module
    // off the event-listener list and deletes this object (it no longer exists
    // afterwards) and returns 0. An exception from Unload reaches the caller
    // and leaves the module registered and alive. Only for modules made with new.
    int Destroy();
    bool IsEnabled() const { return Enabled != 0; }

    std::string ModuleName;
    TApplication* pApplication;

private:
    int Enabled;
};

} // namespace vorel_sdl2
