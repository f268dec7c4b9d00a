// Messages, names and number parsers of the display-control command set, and
// the transform arithmetic that the parser, the layout and the query share.
// Pure functions apart from the messages, which go to standard error.
#include "xrandrInternal.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace xrandr_internal {

const char* const kProgramVersion = "1.3.5";

bool ParseLong(const char* s, long* v, int base)
{
    if (!s || !*s)
        return false;
    errno = 0;
    char* end = nullptr;
    long r = strtol(s, &end, base);
    if (end == s || *end || errno)
        return false;
    *v = r;
    return true;
}

bool ParseInt(const char* s, int* v)
{
    long r;
    if (!ParseLong(s, &r) || r < INT32_MIN || r > INT32_MAX)
        return false;
    *v = int(r);
    return true;
}

bool ParseNonNegInt(const char* s, int* v)
{
    return ParseInt(s, v) && *v >= 0;
}

bool ParseXid(const char* s, XID* v)
{
    if (!s || !*s || *s == '-' || *s == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long r = strtoul(s, &end, 0);
    if (end == s || *end || errno || r > 0x1fffffffUL)
        return false;
    *v = r;
    return true;
}

bool ParseDouble(const char* s, double* v)
{
    if (!s || !*s)
        return false;
    // strtod would read "0x..." as hexadecimal and "inf"/"nan" as numbers.
    for (const char* p = s; *p; ++p)
        if (!strchr("0123456789+-.eE", *p))
            return false;
    errno = 0;
    char* end = nullptr;
    double r = strtod(s, &end);
    if (end == s || *end || errno || !std::isfinite(r))
        return false;
    *v = r;
    return true;
}

double ModeRefresh(const XRRModeInfo* m)
{
    if (!m || !m->hTotal || !m->vTotal)
        return 0.0;
    double rate = double(m->dotClock) / (double(m->hTotal) * double(m->vTotal));
    if (m->modeFlags & RR_DoubleScan)
        rate /= 2;
    if (m->modeFlags & RR_Interlace)
        rate *= 2;
    return rate;
}

void InitTransform(transform_t* t)
{
    t->transform = XTransform{};
    for (int i = 0; i < 3; ++i)
        t->transform.matrix[i][i] = XDoubleToFixed(1.0);
    t->filter.clear();
    t->params.clear();
}

bool TransformsEqual(const transform_t& a, const transform_t& b)
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (a.transform.matrix[i][j] != b.transform.matrix[i][j])
                return false;
    // An empty filter and "nearest" both mean the server's default.
    auto fa = a.filter.empty() ? std::string("nearest") : a.filter;
    auto fb = b.filter.empty() ? std::string("nearest") : b.filter;
    return fa == fb && a.params == b.params;
}

bool TransformIsIdentity(const XTransform& t)
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (t.matrix[i][j] != XDoubleToFixed(i == j ? 1.0 : 0.0))
                return false;
    return true;
}

void SetTransformMatrix(transform_t* t, const double m[9])
{
    InitTransform(t);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            t->transform.matrix[i][j] = XDoubleToFixed(m[i * 3 + j]);
    t->filter = TransformIsIdentity(t->transform) ? "nearest" : "bilinear";
}

std::string Describe(const name_t& n)
{
    char buf[64];
    if (n.kind & name_string)
        return n.string;
    if (n.kind & name_xid) {
        snprintf(buf, sizeof buf, "0x%lx", (unsigned long)n.xid);
        return buf;
    }
    if (n.kind & name_index) {
        snprintf(buf, sizeof buf, "%d", n.index);
        return buf;
    }
    return "(unnamed)";
}

const char* ConnectionName(Connection c)
{
    switch (c) {
    case RR_Connected: return "connected";
    case RR_Disconnected: return "disconnected";
    default: return "unknown connection";
    }
}

const char* StatusName(Status s)
{
    switch (s) {
    case RRSetConfigSuccess: return "succeeded";
    case BadAlloc: return "out of memory";
    case RRSetConfigFailed: return "failed";
    case RRSetConfigInvalidConfigTime: return "invalid config time";
    case RRSetConfigInvalidTime: return "invalid time";
    default: return "unknown failure";
    }
}

const TModeFlag kModeFlags[9] = {
    {"+HSync", RR_HSyncPositive}, {"-HSync", RR_HSyncNegative},
    {"+VSync", RR_VSyncPositive}, {"-VSync", RR_VSyncNegative},
    {"Interlace", RR_Interlace},  {"DoubleScan", RR_DoubleScan},
    {"CSync", RR_CSync},          {"+CSync", RR_CSyncPositive},
    {"-CSync", RR_CSyncNegative},
};

const TRotationName kRotations[4] = {
    {"normal", RR_Rotate_0}, {"left", RR_Rotate_90}, {"inverted", RR_Rotate_180},
    {"right", RR_Rotate_270},
};

bool ParseRotation(const char* s, Rotation* r)
{
    for (const auto& e : kRotations)
        if (!strcmp(s, e.name)) {
            *r = e.rotation;
            return true;
        }
    return false;
}

bool ParseReflection(const char* s, Rotation* r)
{
    if (!strcmp(s, "normal")) *r = 0;
    else if (!strcmp(s, "x")) *r = RR_Reflect_X;
    else if (!strcmp(s, "y")) *r = RR_Reflect_Y;
    else if (!strcmp(s, "xy")) *r = RR_Reflect_X | RR_Reflect_Y;
    else return false;
    return true;
}

namespace {

const char* kUsage =
    "usage: xrandr [options]\n"
    "  where options are:\n"
    "  -display <display> or -d <display>\n"
    "  -help\n"
    "  -o <normal,inverted,left,right,0,1,2,3>\n"
    "            or --orientation <normal,inverted,left,right,0,1,2,3>\n"
    "  -q        or --query\n"
    "  -s <size>/<width>x<height> or --size <size>/<width>x<height>\n"
    "  -r <rate> or --rate <rate> or --refresh <rate>\n"
    "  -v        or --version\n"
    "  -x        (reflect in x)\n"
    "  -y        (reflect in y)\n"
    "  --screen <screen>\n"
    "  --verbose\n"
    "  --current\n"
    "  --dryrun\n"
    "  --nograb\n"
    "  --prop or --properties\n"
    "  --fb <width>x<height>\n"
    "  --fbmm <width>x<height>\n"
    "  --dpi <dpi>/<output>\n"
    "  --output <output>\n"
    "      --auto\n"
    "      --mode <mode>\n"
    "      --preferred\n"
    "      --pos <x>x<y>\n"
    "      --rate <rate> or --refresh <rate>\n"
    "      --reflect normal,x,y,xy\n"
    "      --rotate normal,inverted,left,right\n"
    "      --left-of <output>\n"
    "      --right-of <output>\n"
    "      --above <output>\n"
    "      --below <output>\n"
    "      --same-as <output>\n"
    "      --set <property> <value>\n"
    "      --scale <x>x<y>\n"
    "      --scale-from <w>x<h>\n"
    "      --transform <a>,<b>,<c>,<d>,<e>,<f>,<g>,<h>,<i>\n"
    "      --off\n"
    "      --crtc <crtc>\n"
    "      --panning <w>x<h>[+<x>+<y>[/<track:w>x<h>+<x>+<y>[/<border:l>/<t>/<r>/<b>]]]\n"
    "      --gamma <r>:<g>:<b>\n"
    "      --brightness <value>\n"
    "      --primary\n"
    "  --noprimary\n"
    "  --newmode <name> <clock MHz>\n"
    "            <hdisp> <hsync-start> <hsync-end> <htotal>\n"
    "            <vdisp> <vsync-start> <vsync-end> <vtotal>\n"
    "            [flags]\n"
    "  --rmmode <name>\n"
    "  --addmode <output> <name>\n"
    "  --delmode <output> <name>\n"
    "  --listproviders\n"
    "  --setprovideroutputsource <prov-xid> <source-xid>\n"
    "  --setprovideroffloadsink <prov-xid> <sink-xid>\n"
    "  --q1      (query through the RandR 1.1 interface)\n"
    "  --q12     (query through the RandR 1.2 interface)\n"
    "  mode flags: +HSync -HSync +VSync -VSync +CSync -CSync CSync Interlace DoubleScan\n";

} // namespace

int usage()
{
    fputs(kUsage, stderr);
    return 1;
}

int fatal(const char* format, ...)
{
    char buf[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    fprintf(stderr, "xrandr: %s", buf);
    return 1;
}

int warning(const char* format, ...)
{
    char buf[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    fprintf(stderr, "xrandr: %s", buf);
    return 0;
}

const char* rotation_name(Rotation rotation)
{
    switch (rotation & 0xf) {
    case RR_Rotate_0: return "normal";
    case RR_Rotate_90: return "left";
    case RR_Rotate_180: return "inverted";
    case RR_Rotate_270: return "right";
    default: return "invalid rotation";
    }
}

const char* reflection_name(Rotation rotation)
{
    switch (rotation & (RR_Reflect_X | RR_Reflect_Y)) {
    case 0: return "none";
    case RR_Reflect_X: return "X axis";
    case RR_Reflect_Y: return "Y axis";
    default: return "X and Y axis";
    }
}

const char* capability_name(int capability)
{
    switch (capability) {
    case RR_Capability_SourceOutput: return "Source Output";
    case RR_Capability_SinkOutput: return "Sink Output";
    case RR_Capability_SourceOffload: return "Source Offload";
    case RR_Capability_SinkOffload: return "Sink Offload";
    default: return "invalid capability";
    }
}


const char* SubpixelName(SubpixelOrder s)
{
    switch (s) {
    case SubPixelHorizontalRGB: return "horizontal rgb";
    case SubPixelHorizontalBGR: return "horizontal bgr";
    case SubPixelVerticalRGB: return "vertical rgb";
    case SubPixelVerticalBGR: return "vertical bgr";
    case SubPixelNone: return "no subpixels";
    default: return "unknown";
    }
}

} // namespace xrandr_internal
