// The terminal flavour: a name from a fixed list that selects variant behaviour.
#include "TApplication.h"

#include <string>
#include <utility>

namespace vorel_sdl2 {

TFlavour TerminalFlavour = UNKNOWN_FLAVOUR;

int TApplication::SetTerminalFlavour(std::string terminal_flavour)
{
    static const std::pair<const char*, TFlavour> kNames[] = {
        {"MERIDAN", MERIDAN_FLAVOUR}, {"CALDO", CALDO_FLAVOUR}, {"CALDO2", CALDO2_FLAVOUR},
        {"PELTA", PELTA_FLAVOUR},     {"QUILO", QUILO_FLAVOUR}, {"VUNT", VUNT_FLAVOUR},
        {"LORIMA", LORIMA_FLAVOUR},   {"ZEQ", ZEQ_FLAVOUR},     {"TAVRIN", TAVRIN_FLAVOUR}};
    TerminalFlavour = UNKNOWN_FLAVOUR;
    for (const auto& [name, flavour] : kNames)
        if (terminal_flavour == name)
            TerminalFlavour = flavour;
    return TerminalFlavour;
}

} // namespace vorel_sdl2
