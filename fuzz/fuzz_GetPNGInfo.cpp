// GetPNGInfo on arbitrary file contents, with text buffers of a capacity the
// input's first byte chooses: no overflow of the key or text buffers (their
// guard bytes stay), no abort, a count within what was asked for, terminated
// copies. The file lives in memory (a memfd reopened by its /proc path).
#include "TAppGuiModule.h"

#include <png.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRecords = 8;
constexpr size_t kGuard = 16;

int MemoryFile()
{
    static int fd = memfd_create("png", 0);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // One line per rejected file would drown the fuzzer's own output.
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t capacity = data[0] % 40;
    const int fd = MemoryFile();
    if (fd < 0 || ftruncate(fd, 0) != 0)
        return 0;
    if (size > 1 && pwrite(fd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1))
        return 0;

    std::vector<std::string> keys(kRecords, std::string(80 + kGuard, '#'));
    std::vector<std::string> texts(kRecords, std::string(capacity + kGuard, '#'));
    std::vector<png_text> records(kRecords);
    for (int i = 0; i < kRecords; ++i) {
        records[i] = png_text{};
        records[i].key = keys[i].data();
        records[i].text = texts[i].data();
        records[i].text_length = capacity;
    }
    int count = kRecords - 2;
    const int rc =
        vorel_sdl2::TAppGuiModule::GetPNGInfo("/proc/self/fd/" + std::to_string(fd), records.data(), &count);
    if (rc != 0 && rc != -1)
        std::abort();
    if (count < 0 || count > kRecords - 2 || (rc != 0 && count != 0))
        std::abort();
    for (int i = 0; i < kRecords; ++i) {
        if (keys[i].compare(80, kGuard, std::string(kGuard, '#')) != 0 ||
            texts[i].compare(capacity, kGuard, std::string(kGuard, '#')) != 0)
            std::abort();
        if (i >= count)
            continue;
        if (std::memchr(records[i].key, 0, 80) == nullptr)
            std::abort();
        if (capacity > 0 && std::memchr(records[i].text, 0, capacity) == nullptr)
            std::abort();
    }
    return 0;
}
