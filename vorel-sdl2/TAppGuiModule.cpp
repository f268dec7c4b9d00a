#include "TAppGuiModule.h"

namespace vorel_sdl2 {

TAppGuiModule::TAppGuiModule() : mbRefreshSize(false) {}
TAppGuiModule::~TAppGuiModule() = default;

void TAppGuiModule::RefreshSize() { mbRefreshSize = true; }

// Without components there is no logic to run.
void TAppGuiModule::mainLogic() {}

} // namespace vorel_sdl2
