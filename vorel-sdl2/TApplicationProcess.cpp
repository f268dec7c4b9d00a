// Process utilities: a shell command's output and the running executable's path.
#include "TApplication.h"

#include <array>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace vorel_sdl2 {

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

} // namespace vorel_sdl2
