#include "TSoundMachine.h"

namespace vorel_sdl2 {

TSoundMachine::TSoundMachine() = default;
TSoundMachine::~TSoundMachine() = default;

} // namespace vorel_sdl2
