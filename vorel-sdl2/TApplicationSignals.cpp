// Signal handling and small process utilities.
#include "TApplication.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace vorel_sdl2 {

TFlavour TerminalFlavour = UNKNOWN_FLAVOUR;

void QuitSignalHandler(int SigValue)
{
    if (pApp && pApp->SignalHandler(SigValue))
        return;
    logman::WriteLog(7, 0, "Signal %d received. Exiting...\n", SigValue);
    logman::Poll();
    sync();
    if (SigValue == SIGTERM || SigValue == SIGABRT)
        abort();
}

// Logs the signal, terminates the application and ends the process by the
// signal's default action. The machine is never rebooted from here.
bool TApplication::SignalHandler(int SigValue)
{
    WriteLog(0, 0, "Signal %d received. Exiting...\n", SigValue);
    std::fprintf(stderr, "Error: signal %d:\n", SigValue);
    TLogManager::Poll();
    sync();
    terminate(NOTHING);
    std::signal(SigValue, SIG_DFL);
    kill(getpid(), SigValue);
    return true;
}

std::string SystemCmdResult(const std::string& command)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("popen() failed!");
    std::string result;
    std::array<char, 128> chunk;
    try {
        while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe))
            result += chunk.data();
    } catch (...) {
        pclose(pipe);
        throw;
    }
    pclose(pipe);
    return result;
}

std::string TApplication::GetBinaryPath() const
{
    char buffer[256] = {0};
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

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
