#include "TTaskMan.h"

namespace vorel_sdl2 {

TTaskMan::TTaskMan() = default;
TTaskMan::~TTaskMan() = default;

// No task can be added yet: every task list is empty.
void TTaskMan::ProcessTasks(TimedTaskType) {}

} // namespace vorel_sdl2
