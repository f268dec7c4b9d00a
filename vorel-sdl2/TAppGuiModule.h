// The GUI module (full build only): the application module that owns the one
// window, its renderer and the top-level components. The host derives its own
// GUI module from it, assigns it to TApplication::pAppGUI before Run, and
// draws through it from DrawOnce on the draw thread.
#pragma once

#ifndef VOREL_NOGFX

#include "TAppModule.h"

struct SDL_Renderer;

namespace vorel_sdl2 {

class TAppGuiModule : public TAppModule {
public:
    TAppGuiModule();
    ~TAppGuiModule() override;

    // Requests a re-read of the window size at the next frame.
    virtual void RefreshSize();
    // Per-frame logic of the components; the main loop calls it at most
    // once per drawn frame.
    virtual void mainLogic();

    // The renderer of the window; null until one has been created.
    SDL_Renderer* GetRenderer() const { return mpGUIRenderer; }

protected:
    bool mbRefreshSize;
    SDL_Renderer* mpGUIRenderer = nullptr;
};

} // namespace vorel_sdl2

#endif
