// An application with no behaviour of its own: a test that needs a
// TApplication (its status, locks and managers) but no host code derives
// from it, or uses it as it is, and overrides only what it looks at.
#pragma once

#include "TApplication.h"

class IdleHost : public vorel_sdl2::TApplication {
public:
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override {}
    int RunOnce() override { return 1; }
    int DrawOnce() override { return 0; }
};
