// What sanitizer runs of the test programs need from third-party code.
//
// Suppressions: D-Bus state that SDL's video and event start-up keeps for the
// process, what Mesa's software rasteriser allocates and keeps (named by its
// frames once PinGlStack has run), and races inside it (its own threads and
// locks); nothing of ours is suppressed.
//
// PinGlStack: Mesa unloads its driver at exit before LeakSanitizer looks;
// what the driver still referenced from its own globals then counts as
// leaked, with frames that point into unmapped memory (or into whatever was
// mapped there later), so no suppression could even name them. Loaded once
// more with RTLD_NODELETE, the driver stays mapped, its memory stays
// reachable, and a real leak is still reported where it happened.
//
// The test main calls PinGlStack (which links this unit in); a program that
// is not a test binary lists SanitizerSupport.cpp among its sources, and its
// static initializer pins the stack.
#pragma once

void PinGlStack();
