#include "TActionMan.h"

namespace vorel_sdl2 {

TActionMan::TActionMan() = default;
TActionMan::~TActionMan() = default;

// No action can be registered or generated yet, so both queues are always
// empty and there is nothing to move or run.
void TActionMan::ProcessActions() {}
void TActionMan::ExecuteActions(ActionHandleType) {}

} // namespace vorel_sdl2
