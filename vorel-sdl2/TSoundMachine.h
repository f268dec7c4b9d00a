// The sound machine (full build only): sound effects over SDL_mixer, played
// from any thread. TApplication is a TSoundMachine; the host opens audio itself.
#pragma once

#ifndef VOREL_NOGFX

namespace vorel_sdl2 {

class TSoundMachine {
public:
    TSoundMachine();
    ~TSoundMachine();
};

} // namespace vorel_sdl2

#endif
