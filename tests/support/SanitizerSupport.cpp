#include "SanitizerSupport.h"

#include <dlfcn.h>

#include <initializer_list>

#ifndef VOREL_DRI_DIR
#define VOREL_DRI_DIR "/usr/lib/x86_64-linux-gnu/dri"
#endif

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n"
           "leak:swrast_dri.so\n";
}

// Xlib releases a connection's lock once more when an I/O-error exit
// handler returns instead of ending the process, as display control's does;
// the connection is dead by then and used by one thread. The display tests
// pull the server away on purpose.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:swrast_dri.so\n"
           "mutex:libXrandr.so\n";
}

// The fatal-signal path logs through the log manager by design (it allocates);
// the crash tests exercise exactly that path, so TSan is not to report it.
extern "C" const char* __tsan_default_options()
{
    return "report_signal_unsafe=0";
}

void PinGlStack()
{
#if defined(__SANITIZE_ADDRESS__)
    for (const char* lib : {"libGLX_mesa.so.0", "libglapi.so.0", VOREL_DRI_DIR "/swrast_dri.so"})
        dlopen(lib, RTLD_NOW | RTLD_NODELETE);
#endif
}

namespace {
const bool kPinned = (PinGlStack(), true);
}
