// Shared pieces of the display-control units (xrandr*.cpp), not exported.
//
// The units split XRANDR by job: xrandr.cpp holds the host calls, the object
// and the run frame (connection, X error and I/O-error handling, the lock);
// xrandrOptions.cpp the command-line parser; xrandrProbe.cpp reads the
// server's configuration into the output records; xrandrApply.cpp lays out,
// assigns CRTCs and applies; xrandrQuery.cpp prints; xrandrGamma.cpp builds
// and writes the ramps. What they share is declared here with hidden
// visibility, so a host's own usage(), fatal() or warning() can neither
// replace these nor be replaced by them.
//
// Everything here is called with the run lock held (see TRunGuard), apart
// from the pure helpers (parsers, names, transforms), which keep no state.
#pragma once

#include "xrandr.h"

#include <clocale>
#include <cstring>
#include <locale.h>
#include <string>

#pragma GCC visibility push(hidden)

namespace xrandr_internal {

extern const char* const kProgramVersion;

// Messages of the command set. usage() prints the option summary to standard
// error and returns 1; fatal() and warning() print "xrandr: " and the message
// to standard error and return 1 and 0. None of them ends anything.
int usage();
int fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
int warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
const char* rotation_name(Rotation rotation);
const char* reflection_name(Rotation rotation);
const char* capability_name(int capability);
const char* ConnectionName(Connection c);
const char* StatusName(Status s);
const char* SubpixelName(SubpixelOrder s);
// The name as a message shows it: the string, else 0x<xid>, else the index.
std::string Describe(const name_t& n);

// Strict number parsers: at least one digit and nothing after the number.
// They read the thread's locale, which TRunGuard has set to "C".
bool ParseLong(const char* s, long* v, int base = 10);
bool ParseInt(const char* s, int* v);
bool ParseNonNegInt(const char* s, int* v);
bool ParseXid(const char* s, XID* v);
bool ParseDouble(const char* s, double* v);
bool ParseRotation(const char* s, Rotation* r);
bool ParseReflection(const char* s, Rotation* r);

// "AxB" with both parts parsed by the given parser.
template <typename T, typename F>
bool ParsePair(const char* s, T* a, T* b, F parse)
{
    if (!s)
        return false;
    const char* x = std::strchr(s, 'x');
    if (!x)
        return false;
    std::string left(s, x - s);
    return parse(left.c_str(), a) && parse(x + 1, b);
}

double ModeRefresh(const XRRModeInfo* m);
void InitTransform(transform_t* t);
bool TransformsEqual(const transform_t& a, const transform_t& b);
bool TransformIsIdentity(const XTransform& t);
void SetTransformMatrix(transform_t* t, const double m[9]);

struct TModeFlag {
    const char* name;
    unsigned long flag;
};
extern const TModeFlag kModeFlags[9];

struct TRotationName {
    const char* name;
    Rotation rotation;
};
extern const TRotationName kRotations[4];

// Brightness and per-channel gamma read back from a ramp (the verbose query).
void EstimateGamma(const XRRCrtcGamma* g, float* brightness, float out[3]);

// One run at a time in the process: the X error and I/O-error handlers that
// a run installs are process-wide, and so are brightness_ and gamma_. The
// lock is recursive (an entry point may call another) and a leaf: nothing
// else is locked while it is held. The guard also switches the calling
// thread to the "C" locale, so numbers are read and printed the same
// whatever locale the host chose.
class TRunGuard {
public:
    TRunGuard();
    ~TRunGuard();
    TRunGuard(const TRunGuard&) = delete;
    TRunGuard& operator=(const TRunGuard&) = delete;

private:
    locale_t mPrevious;
};

} // namespace xrandr_internal

#pragma GCC visibility pop
