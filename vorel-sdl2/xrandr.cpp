#include "xrandr.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

float brightness_ = 1.0f;
float gamma_[3] = {1.0f, 1.0f, 1.0f};

void SetDisplayBrightness(float brightness)
{
    if (std::isfinite(brightness))
        brightness_ = brightness;
}

void SetDisplayGamma(float r, float g, float b)
{
    if (std::isfinite(r) && std::isfinite(g) && std::isfinite(b)) {
        gamma_[0] = r;
        gamma_[1] = g;
        gamma_[2] = b;
    }
}

namespace {

const char* kProgramVersion = "1.3.5";

// Xlib's default handler exits the process on the first protocol error. While
// a run is active, errors on its connection are counted instead; errors on
// other connections go to whatever handler was there before.
struct TErrorTrap {
    Display* dpy = nullptr;
    int* count = nullptr;
    XErrorHandler previous = nullptr;
};
TErrorTrap gTrap;

int TrapXError(Display* dpy, XErrorEvent* event)
{
    if (gTrap.dpy && dpy == gTrap.dpy) {
        ++*gTrap.count;
        char text[256] = "";
        XGetErrorText(dpy, event->error_code, text, sizeof text);
        fprintf(stderr, "xrandr: X error: %s (request %d.%d)\n", text, event->request_code,
                event->minor_code);
        return 0;
    }
    if (gTrap.previous)
        return gTrap.previous(dpy, event);
    return 0;
}

void InstallTrap(Display* dpy, int* count)
{
    gTrap.dpy = dpy;
    gTrap.count = count;
    gTrap.previous = XSetErrorHandler(TrapXError);
}

void RemoveTrap(Display* dpy)
{
    if (gTrap.dpy != dpy)
        return;
    XSync(dpy, False);   // collect errors of requests still in flight
    XSetErrorHandler(gTrap.previous);
    gTrap = TErrorTrap{};
}

// Strict number parsers: at least one digit and nothing after the number.
bool ParseLong(const char* s, long* v, int base = 10)
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

// "AxB" with both parts parsed by the given parser.
template <typename T, typename F>
bool ParsePair(const char* s, T* a, T* b, F parse)
{
    if (!s)
        return false;
    const char* x = strchr(s, 'x');
    if (!x)
        return false;
    std::string left(s, x - s);
    return parse(left.c_str(), a) && parse(x + 1, b);
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

struct TModeFlag {
    const char* name;
    unsigned long flag;
};
const TModeFlag kModeFlags[] = {
    {"+HSync", RR_HSyncPositive}, {"-HSync", RR_HSyncNegative},
    {"+VSync", RR_VSyncPositive}, {"-VSync", RR_VSyncNegative},
    {"Interlace", RR_Interlace},  {"DoubleScan", RR_DoubleScan},
    {"CSync", RR_CSync},          {"+CSync", RR_CSyncPositive},
    {"-CSync", RR_CSyncNegative},
};

const struct {
    const char* name;
    Rotation rotation;
} kRotations[] = {
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

// ---------------------------------------------------------------- names

void XRANDR::init_name(name_t* name)
{
    *name = name_t{};
}

void XRANDR::set_name_string(name_t* name, const char* string)
{
    name->kind |= name_string;
    name->string = string ? string : "";
}

void XRANDR::set_name_xid(name_t* name, XID xid)
{
    name->kind |= name_xid;
    name->xid = xid;
}

void XRANDR::set_name_index(name_t* name, int index)
{
    name->kind |= name_index;
    name->index = index;
}

void XRANDR::set_name_preferred(name_t* name)
{
    name->kind |= name_preferred;
}

void XRANDR::set_name_all(name_t* name, name_t* old)
{
    if (old->kind & name_xid)
        set_name_xid(name, old->xid);
    if (old->kind & name_string)
        set_name_string(name, old->string.c_str());
    if (old->kind & name_index)
        set_name_index(name, old->index);
    if (old->kind & name_preferred)
        set_name_preferred(name);
}

bool XRANDR::set_name(name_t* name, const char* string, int valid)
{
    bool any = false;
    XID xid;
    int index;
    if ((valid & name_xid) && ParseXid(string, &xid)) {
        set_name_xid(name, xid);
        any = true;
    }
    // "0x.." is an XID only; a plain decimal number can also be an index.
    if ((valid & name_index) && strncmp(string, "0x", 2) && strncmp(string, "0X", 2) &&
        ParseNonNegInt(string, &index)) {
        set_name_index(name, index);
        any = true;
    }
    if ((valid & name_string) && *string) {
        set_name_string(name, string);
        any = true;
    }
    return any;
}

bool XRANDR::names_match(const name_t* a, const name_t* b)
{
    int common = a->kind & b->kind;
    if (common & name_xid)
        return a->xid == b->xid;
    if (common & name_string)
        return a->string == b->string;
    if (common & name_index)
        return a->index == b->index;
    return false;
}

// ---------------------------------------------------------------- object

XRANDR::XRANDR() = default;

XRANDR::~XRANDR()
{
    reset();
}

void XRANDR::release()
{
    for (output_t* o = outputs; o; o = o->next) {
        if (o->output_info)
            XRRFreeOutputInfo(o->output_info);
        o->output_info = nullptr;
        o->crtc_info = o->current_crtc_info = nullptr;
        o->mode_info = nullptr;
        o->found = false;
    }
    for (auto& c : crtcs) {
        if (c.crtc_info)
            XRRFreeCrtcInfo(c.crtc_info);
        if (c.panning_info)
            XRRFreePanning(c.panning_info);
    }
    crtcs.clear();
    num_crtcs = 0;
    if (res)
        XRRFreeScreenResources(res);
    res = nullptr;
}

void XRANDR::reset()
{
    if (dpy) {
        RemoveTrap(dpy);
        XUngrabServer(dpy);
    }
    release();
    if (dpy)
        XCloseDisplay(dpy);
    dpy = nullptr;
    while (outputs) {
        output_t* next = outputs->next;
        delete outputs;
        outputs = next;
    }
    outputs_tail = &outputs;
    umodes.clear();
    program_name = nullptr;
    root = 0;
    screen = -1;
    verbose = automatic = properties = providers = 0;
    grab_server = 1;
    no_primary = 0;
    fb_width = fb_height = fb_width_mm = fb_height_mm = 0;
    dpi = 0.0;
    dpi_output = nullptr;
    dryrun = 0;
    minWidth = maxWidth = minHeight = maxHeight = 0;
    has_1_2 = has_1_3 = 0;
    provider_xid = output_source_provider_xid = offload_sink_provider_xid = 0;
    mOpts = TOptions{};
    mXErrors = 0;
}

output_t* XRANDR::add_output()
{
    output_t* o = new output_t;
    InitTransform(&o->transform);
    *outputs_tail = o;
    outputs_tail = &o->next;
    return o;
}

output_t* XRANDR::find_output(name_t* name)
{
    for (output_t* o = outputs; o; o = o->next)
        if (names_match(&o->output, name))
            return o;
    return nullptr;
}

output_t* XRANDR::find_output_by_name(char* name)
{
    name_t n;
    set_name_string(&n, name);
    return find_output(&n);
}

output_t* XRANDR::find_output_by_xid(RROutput output)
{
    name_t n;
    set_name_xid(&n, output);
    return find_output(&n);
}

// ---------------------------------------------------------------- gamma

bool XRANDR::gamma_ramp(int size, float brightness, float red, float green, float blue,
                        unsigned short* r, unsigned short* g, unsigned short* b)
{
    if (size < 2 || size > 65536 || !r || !g || !b)
        return false;
    if (!std::isfinite(brightness) || brightness < 0)
        brightness = brightness < 0 ? 0.0f : 1.0f;   // +inf and NaN: full, below 0: blank
    const float exps[3] = {1.0f / red, 1.0f / green, 1.0f / blue};
    unsigned short* tables[3] = {r, g, b};

    // Power-of-two tables carry 8-bit-style values shifted up (256 entries:
    // i << 8); other sizes are scaled to the full 16-bit range, because a
    // shift there either overflows or leaves the top of the range unused.
    const bool pow2 = (size & (size - 1)) == 0;
    int shift = 0;
    if (pow2) {
        int lowest = 0;
        while (!(size & (1 << lowest)))
            ++lowest;
        shift = 16 - lowest;
    }
    const double top = double(size - 1);
    for (int c = 0; c < 3; ++c) {
        float e = exps[c];
        if (!std::isfinite(e) || e < 0)
            e = 1.0f;
        for (int i = 0; i < size; ++i) {
            if (pow2) {
                int value;
                if (e == 1.0f && brightness == 1.0f)
                    value = i;
                else
                    value = int(std::min(std::pow(i / top, double(e)) * brightness, 1.0) * top);
                tables[c][i] = (unsigned short)(unsigned(value) << shift);
            } else {
                double v = std::min(std::pow(i / top, double(e)) * brightness, 1.0);
                tables[c][i] = (unsigned short)(v * 65535.0);
            }
        }
    }
    return true;
}

int XRANDR::set_gamma_internal(output_t* output, float brightness, float r, float g, float b)
{
    if (!output)
        return 1;
    auto clean = [](float v, float fallback) { return std::isfinite(v) ? v : fallback; };
    output->brightness = std::clamp(clean(brightness, 1.0f), 0.0f, 1.0f);
    output->gamma.red = std::max(0.0f, clean(r, 1.0f));
    output->gamma.green = std::max(0.0f, clean(g, 1.0f));
    output->gamma.blue = std::max(0.0f, clean(b, 1.0f));
    output->changes |= changes_gamma;
    return apply_xrandr_call();
}

int XRANDR::set_gamma()
{
    for (output_t* o = outputs; o; o = o->next) {
        if (!(o->changes & changes_gamma))
            continue;
        if (!o->crtc_info) {
            warning("Need crtc to set gamma on.\n");
            continue;
        }
        RRCrtc crtc = o->crtc_info->crtc.xid;
        int size = XRRGetCrtcGammaSize(dpy, crtc);
        if (size <= 0) {
            warning("Gamma size is 0.\n");
            continue;
        }
        if (size > 65536) {
            warning("Gamma correction table is impossibly large.\n");
            continue;
        }
        if (size < 2) {
            warning("Gamma size %d is too small.\n", size);
            continue;
        }
        if (o->gamma.red == 0.0f) o->gamma.red = 1.0f;
        if (o->gamma.green == 0.0f) o->gamma.green = 1.0f;
        if (o->gamma.blue == 0.0f) o->gamma.blue = 1.0f;
        XRRCrtcGamma* gamma = XRRAllocGamma(size);
        if (!gamma) {
            warning("Gamma allocation failed.\n");
            continue;
        }
        gamma_ramp(size, o->brightness, o->gamma.red, o->gamma.green, o->gamma.blue, gamma->red,
                   gamma->green, gamma->blue);
        if (!dryrun)
            XRRSetCrtcGamma(dpy, crtc, gamma);
        XRRFreeGamma(gamma);
    }
    return 0;
}

// ---------------------------------------------------------------- run frame

int XRANDR::open_and_check(const char* display_name)
{
    dpy = XOpenDisplay(display_name);
    if (!dpy)
        return 1;
    InstallTrap(dpy, &mXErrors);
    if (screen < 0)
        screen = DefaultScreen(dpy);
    if (screen >= ScreenCount(dpy))
        return fatal("Invalid screen number %d (display has %d)\n", screen, ScreenCount(dpy));
    root = RootWindow(dpy, screen);
    int event_base, error_base, major = 0, minor = 0, opcode;
    // Ask the core protocol first: libXrandr keeps a record per connection
    // that it never frees when the server lacks the extension.
    if (!XQueryExtension(dpy, RANDR_NAME, &opcode, &event_base, &error_base) ||
        !XRRQueryExtension(dpy, &event_base, &error_base) ||
        !XRRQueryVersion(dpy, &major, &minor)) {
        fprintf(stderr, "RandR extension missing\n");
        return 1;
    }
    has_1_2 = major > 1 || (major == 1 && minor >= 2);
    has_1_3 = major > 1 || (major == 1 && minor >= 3);
    mMajor = major;
    mMinor = minor;
    return 0;
}

int XRANDR::finish(int rc)
{
    if (dpy) {
        if (mGrabbed)
            XUngrabServer(dpy);
        mGrabbed = false;
        RemoveTrap(dpy);
    }
    release();
    if (dpy)
        XCloseDisplay(dpy);
    dpy = nullptr;
    if (mXErrors)
        rc = 1;
    mXErrors = 0;
    return rc;
}

int XRANDR::run_sequence()
{
    int rc = get_crtcs();
    if (!rc) rc = get_outputs();
    if (!rc && dpi_output) {
        output_t* o = find_output_by_name(dpi_output);
        if (!o || !o->output_info)
            return fatal("cannot find output \"%s\"\n", dpi_output);
        if (o->mode_info && o->output_info->mm_height)
            dpi = 25.4 * o->mode_info->height / double(o->output_info->mm_height);
    }
    if (!rc) rc = set_positions();
    if (!rc) rc = set_screen_size();
    if (!rc) rc = pick_crtcs();
    if (rc)
        return rc;
    mark_changing_crtcs();
    set_physical_size();
    rc = set_gamma();
    if (!rc) rc = apply();
    return rc;
}

int XRANDR::apply_xrandr_call()
{
    int rc;
    try {
        rc = open_and_check(nullptr);
        if (rc)
            return finish(rc);
        if (!has_1_2)
            return finish(fatal("Server RandR version before 1.2\n"));
        rc = get_screen(false);
        if (!rc)
            rc = run_sequence();
    } catch (const std::bad_alloc&) {
        rc = fatal("out of memory\n");
    }
    return finish(rc);
}

// ---------------------------------------------------------------- probing

int XRANDR::get_screen(bool current)
{
    if (!has_1_2)
        return fatal("Server RandR version before 1.2\n");
    if (!XRRGetScreenSizeRange(dpy, root, &minWidth, &minHeight, &maxWidth, &maxHeight))
        return fatal("could not get screen resources");
    if (res)
        XRRFreeScreenResources(res);
    res = (current && has_1_3) ? XRRGetScreenResourcesCurrent(dpy, root)
                               : XRRGetScreenResources(dpy, root);
    if (!res)
        return fatal("could not get screen resources");
    return 0;
}

XRRModeInfo* XRANDR::find_mode_by_xid(RRMode mode)
{
    if (!res || mode == None)
        return nullptr;
    for (int m = 0; m < res->nmode; ++m)
        if (res->modes[m].id == mode)
            return &res->modes[m];
    return nullptr;
}

XRRModeInfo* XRANDR::find_mode_by_name(const char* name)
{
    if (!res || !name)
        return nullptr;
    for (int m = 0; m < res->nmode; ++m)
        if (res->modes[m].name && !strcmp(res->modes[m].name, name))
            return &res->modes[m];
    return nullptr;
}

XRRModeInfo* XRANDR::find_mode(name_t* name, double refresh)
{
    if (!res)
        return nullptr;
    XRRModeInfo* best = nullptr;
    double best_dist = 0;
    for (int m = 0; m < res->nmode; ++m) {
        XRRModeInfo* mode = &res->modes[m];
        if ((name->kind & name_xid) && mode->id == name->xid)
            return mode;
        if ((name->kind & name_string) && mode->name && name->string == mode->name) {
            double dist = refresh > 0 ? std::fabs(ModeRefresh(mode) - refresh) : 0.0;
            if (!best || dist < best_dist) {
                best = mode;
                best_dist = dist;
            }
        }
    }
    return best;
}

XRRModeInfo* XRANDR::find_mode_for_output(output_t* output, name_t* name)
{
    XRROutputInfo* info = output->output_info;
    XRRModeInfo* best = nullptr;
    double best_dist = 0;
    const bool by_rate = output->changes & changes_refresh;
    for (int m = 0; m < info->nmode; ++m) {
        XRRModeInfo* mode = find_mode_by_xid(info->modes[m]);
        if (!mode)
            continue;
        if ((name->kind & name_xid) && mode->id == name->xid)
            return mode;
        if ((name->kind & name_string) && mode->name && name->string == mode->name) {
            // Without a rate the first listed (preferred first) wins.
            double dist = by_rate ? std::fabs(ModeRefresh(mode) - output->refresh) : 0.0;
            if (!best || dist < best_dist) {
                best = mode;
                best_dist = dist;
            }
        }
    }
    return best;
}

XRRModeInfo* XRANDR::preferred_mode(output_t* output)
{
    XRROutputInfo* info = output->output_info;
    if (!info || info->nmode == 0)
        return nullptr;
    // The server lists preferred modes first; without one, take the largest.
    if (info->npreferred > 0)
        return find_mode_by_xid(info->modes[0]);
    XRRModeInfo* best = nullptr;
    for (int m = 0; m < info->nmode; ++m) {
        XRRModeInfo* mode = find_mode_by_xid(info->modes[m]);
        if (mode && (!best || mode->width * mode->height > best->width * best->height))
            best = mode;
    }
    return best;
}

crtc_t* XRANDR::find_crtc(name_t* name)
{
    // A plain number names a position first; an XID never is that small.
    if ((name->kind & name_index) && name->index >= 0 && name->index < num_crtcs)
        return &crtcs[name->index];
    if (name->kind & name_xid)
        for (auto& c : crtcs)
            if (c.crtc.xid == name->xid)
                return &c;
    return nullptr;
}

crtc_t* XRANDR::find_crtc_by_xid(RRCrtc crtc)
{
    for (auto& c : crtcs)
        if (c.crtc.xid == crtc)
            return &c;
    return nullptr;
}

bool XRANDR::output_can_use_crtc(output_t* output, crtc_t* crtc)
{
    if (!output->output_info || !crtc)
        return false;
    for (int c = 0; c < output->output_info->ncrtc; ++c)
        if (output->output_info->crtcs[c] == crtc->crtc.xid)
            return true;
    return false;
}

bool XRANDR::output_can_use_mode(output_t* output, XRRModeInfo* mode)
{
    if (!output->output_info || !mode)
        return false;
    for (int m = 0; m < output->output_info->nmode; ++m)
        if (output->output_info->modes[m] == mode->id)
            return true;
    return false;
}

void XRANDR::mode_geometry(XRRModeInfo* mode, Rotation rotation, const XTransform* transform,
                           int* x, int* y, int* w, int* h)
{
    *x = *y = *w = *h = 0;
    if (!mode)
        return;
    double mw = mode->width, mh = mode->height;
    if (rotation & (RR_Rotate_90 | RR_Rotate_270))
        std::swap(mw, mh);
    if (!transform || TransformIsIdentity(*transform)) {
        *w = int(mw);
        *h = int(mh);
        return;
    }
    // The transform maps CRTC pixels into the framebuffer: the footprint is
    // the bounding box of the mapped corners.
    double m[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[i][j] = XFixedToDouble(transform->matrix[i][j]);
    const double corners[4][2] = {{0, 0}, {mw, 0}, {0, mh}, {mw, mh}};
    double minx = 0, miny = 0, maxx = 0, maxy = 0;
    for (int k = 0; k < 4; ++k) {
        double px = m[0][0] * corners[k][0] + m[0][1] * corners[k][1] + m[0][2];
        double py = m[1][0] * corners[k][0] + m[1][1] * corners[k][1] + m[1][2];
        double pw = m[2][0] * corners[k][0] + m[2][1] * corners[k][1] + m[2][2];
        if (pw != 0) {
            px /= pw;
            py /= pw;
        }
        if (k == 0 || px < minx) minx = px;
        if (k == 0 || py < miny) miny = py;
        if (k == 0 || px > maxx) maxx = px;
        if (k == 0 || py > maxy) maxy = py;
    }
    *x = int(std::floor(minx));
    *y = int(std::floor(miny));
    *w = int(std::ceil(maxx - std::floor(minx)));
    *h = int(std::ceil(maxy - std::floor(miny)));
}

int XRANDR::get_crtcs()
{
    num_crtcs = res->ncrtc;
    crtcs.clear();
    crtcs.resize(num_crtcs);   // never resized again: outputs point into it
    for (int c = 0; c < num_crtcs; ++c) {
        crtc_t& crtc = crtcs[c];
        set_name_xid(&crtc.crtc, res->crtcs[c]);
        set_name_index(&crtc.crtc, c);
        crtc.crtc_info = XRRGetCrtcInfo(dpy, res, res->crtcs[c]);
        if (!crtc.crtc_info)
            return fatal("could not get crtc 0x%x information\n", unsigned(res->crtcs[c]));
        crtc.rotation = crtc.crtc_info->rotation;
        crtc.x = crtc.crtc_info->x;
        crtc.y = crtc.crtc_info->y;
        crtc.mode_info = find_mode_by_xid(crtc.crtc_info->mode);
        InitTransform(&crtc.current_transform);
        if (has_1_3) {
            crtc.panning_info = XRRGetPanning(dpy, res, res->crtcs[c]);
            XRRCrtcTransformAttributes* attr = nullptr;
            if (XRRGetCrtcTransform(dpy, res->crtcs[c], &attr) && attr) {
                crtc.current_transform.transform = attr->currentTransform;
                crtc.current_transform.filter = attr->currentFilter ? attr->currentFilter : "";
                crtc.current_transform.params.assign(attr->currentParams,
                                                     attr->currentParams + attr->currentNparams);
                XFree(attr);
            }
        }
        crtc.pending_transform = crtc.current_transform;
    }
    return 0;
}

int XRANDR::get_outputs()
{
    for (int o = 0; o < res->noutput; ++o) {
        XRROutputInfo* info = XRRGetOutputInfo(dpy, res, res->outputs[o]);
        if (!info)
            return fatal("could not get output 0x%x information\n", unsigned(res->outputs[o]));
        name_t name;
        set_name_xid(&name, res->outputs[o]);
        set_name_index(&name, o);
        set_name_string(&name, info->name);
        output_t* output = nullptr;
        for (output_t* q = outputs; q; q = q->next)
            if (!q->found && names_match(&q->output, &name)) {
                output = q;
                break;
            }
        if (!output) {
            output = add_output();
            output->changes = changes_none;
        }
        // Fill in every kind so later messages and lookups see the real name.
        set_name_all(&output->output, &name);
        if (output->output_info)
            XRRFreeOutputInfo(output->output_info);
        output->output_info = info;
        output->found = true;
        output->current_crtc_info = info->crtc ? find_crtc_by_xid(info->crtc) : nullptr;
        if (int rc = set_output_info(output, res->outputs[o], info))
            return rc;
    }
    for (output_t* q = outputs; q; q = q->next)
        if (!q->found && q->optional) {
            q->changes = changes_none;
        } else if (!q->found) {
            fprintf(stderr, "warning: output %s not found; ignoring\n", Describe(q->output).c_str());
            // Only the gamma request stays, to report that there is no CRTC.
            q->changes &= changes_gamma;
            q->crtc_info = nullptr;
            q->mode_info = nullptr;
        }
    return 0;
}

int XRANDR::set_output_info(output_t* output, RROutput xid, XRROutputInfo* info)
{
    const char* name = info->name;
    crtc_t* current = output->current_crtc_info;

    // CRTC
    if (output->changes & changes_crtc) {
        crtc_t* c = find_crtc(&output->crtc);
        if (!c) {
            if (output->crtc.kind & name_index)
                return fatal("cannot find crtc %d\n", output->crtc.index);
            return fatal("cannot find crtc 0x%x\n", unsigned(output->crtc.xid));
        }
        if (!output_can_use_crtc(output, c))
            return fatal("output %s cannot use crtc 0x%x\n", name, unsigned(c->crtc.xid));
        output->crtc_info = c;
    } else {
        output->crtc_info = current;
    }

    // automatic: preferred mode when something is attached, off otherwise
    if ((output->changes & changes_automatic) || automatic) {
        if (info->connection != RR_Disconnected) {
            if (info->nmode == 0) {
                warning("Output %s is not disconnected but has no modes\n", name);
                output->changes &= ~(changes_automatic | changes_mode);
            } else if (!(output->changes & changes_mode)) {
                init_name(&output->mode);
                set_name_preferred(&output->mode);
                output->changes |= changes_mode;
            }
        } else {
            init_name(&output->mode);
            set_name_xid(&output->mode, None);
            set_name_xid(&output->crtc, None);
            output->changes |= changes_mode;
            output->changes &= ~changes_crtc;
        }
        if (automatic && !(output->changes & changes_automatic) && (output->changes & changes_mode))
            output->changes |= changes_automatic;
    }

    // Mode
    if (output->changes & changes_mode) {
        if (output->mode.kind == name_xid && output->mode.xid == None) {
            output->mode_info = nullptr;   // off
        } else if (output->mode.kind & name_preferred) {
            output->mode_info = preferred_mode(output);
            if (!output->mode_info)
                return fatal("cannot find preferred mode\n");
        } else {
            output->mode_info = find_mode_for_output(output, &output->mode);
            if (!output->mode_info) {
                XRRModeInfo* any = find_mode(&output->mode, 0.0);
                if (any)
                    return fatal("output %s cannot use mode %s\n", name, any->name);
                if (output->mode.kind & name_string)
                    return fatal("cannot find mode %s\n", output->mode.string.c_str());
                return fatal("cannot find mode 0x%x\n", unsigned(output->mode.xid));
            }
        }
    } else if (current && current->crtc_info->mode != None) {
        output->mode_info = current->mode_info;
        if (!output->mode_info)
            return fatal("server did not report mode 0x%x for output %s\n",
                         unsigned(current->crtc_info->mode), name);
        if (output->changes & changes_refresh) {
            // Same size, closest rate.
            XRRModeInfo* best = nullptr;
            double best_dist = 0;
            for (int m = 0; m < info->nmode; ++m) {
                XRRModeInfo* mode = find_mode_by_xid(info->modes[m]);
                if (!mode || mode->width != output->mode_info->width ||
                    mode->height != output->mode_info->height)
                    continue;
                double dist = std::fabs(ModeRefresh(mode) - output->refresh);
                if (!best || dist < best_dist) {
                    best = mode;
                    best_dist = dist;
                }
            }
            if (best) {
                output->mode_info = best;
                output->changes |= changes_mode;
            }
        }
    } else {
        output->mode_info = nullptr;
    }

    // Position
    if (!(output->changes & changes_position)) {
        if (current && output->mode_info) {
            output->x = current->crtc_info->x;
            output->y = current->crtc_info->y;
        } else {
            output->x = output->y = 0;
        }
    }

    // Rotation and reflection
    Rotation now = current ? current->crtc_info->rotation : Rotation(RR_Rotate_0);
    Rotation rot = (output->changes & changes_rotation) ? (output->rotation & 0xf) : (now & 0xf);
    Rotation ref = (output->changes & changes_reflection) ? (output->rotation & 0x30) : (now & 0x30);
    output->rotation = rot | ref;
    if (output->changes & (changes_rotation | changes_reflection)) {
        Rotation possible = 0;
        for (int c = 0; c < info->ncrtc; ++c)
            if (crtc_t* pc = find_crtc_by_xid(info->crtcs[c]))
                possible |= pc->crtc_info->rotations;
        if ((output->rotation & possible) != output->rotation)
            return fatal("output %s cannot use rotation \"%s\" reflection \"%s\"\n", name,
                         rotation_name(output->rotation), reflection_name(output->rotation));
    }

    // Transform
    if (output->changes & changes_transform) {
        if (output->scale_from_w > 0 && output->mode_info) {
            double sx = double(output->scale_from_w) / output->mode_info->width;
            double sy = double(output->scale_from_h) / output->mode_info->height;
            if (output->rotation & (RR_Rotate_90 | RR_Rotate_270)) {
                sx = double(output->scale_from_h) / output->mode_info->width;
                sy = double(output->scale_from_w) / output->mode_info->height;
            }
            const double m[9] = {sx, 0, 0, 0, sy, 0, 0, 0, 1};
            SetTransformMatrix(&output->transform, m);
        }
    } else if (current) {
        output->transform = current->current_transform;
    } else {
        InitTransform(&output->transform);
    }

    // Panning
    if (output->changes & changes_panning) {
        if (!has_1_3)
            return fatal("panning needs RandR 1.3\n");
    } else if (current && current->panning_info) {
        output->panning = *current->panning_info;
    }

    (void)xid;
    return 0;
}

// ---------------------------------------------------------------- layout

int XRANDR::set_positions()
{
    int count = 0;
    bool any_relation = false, any_position = false;
    for (output_t* o = outputs; o; o = o->next) {
        ++count;
        any_relation |= (o->changes & changes_relation) != 0;
        any_position |= (o->changes & (changes_position | changes_relation)) != 0;
    }
    if (any_relation) {
        for (int pass = 0;; ++pass) {
            if (pass > count + 1)
                return fatal("loop in relative position specifications\n");
            bool moved = false;
            for (output_t* o = outputs; o; o = o->next) {
                if (!(o->changes & changes_relation) || !o->output_info || !o->mode_info)
                    continue;
                output_t* rel = o->relative_to ? find_output_by_name(o->relative_to) : nullptr;
                if (!rel || !rel->output_info)
                    return fatal("cannot find output \"%s\"\n", o->relative_to ? o->relative_to : "");
                int ox, oy, w, h, rx, ry, rw, rh;
                mode_geometry(o->mode_info, o->rotation, &o->transform.transform, &ox, &oy, &w, &h);
                mode_geometry(rel->mode_info, rel->rotation, &rel->transform.transform, &rx, &ry,
                              &rw, &rh);
                int x = rel->x, y = rel->y;
                switch (o->relation) {
                case relation_left_of: x = rel->x - w; break;
                case relation_right_of: x = rel->x + rw; break;
                case relation_above: y = rel->y - h; break;
                case relation_below: y = rel->y + rh; break;
                default: break;
                }
                if (x != o->x || y != o->y) {
                    o->x = x;
                    o->y = y;
                    o->changes |= changes_position;
                    moved = true;
                }
            }
            if (!moved)
                break;
        }
    }
    if (!any_position)
        return 0;
    // The framebuffer starts at 0,0: move the whole layout there.
    bool first = true;
    int min_x = 0, min_y = 0;
    for (output_t* o = outputs; o; o = o->next)
        if (o->output_info && o->mode_info) {
            if (first || o->x < min_x) min_x = o->x;
            if (first || o->y < min_y) min_y = o->y;
            first = false;
        }
    if (min_x || min_y)
        for (output_t* o = outputs; o; o = o->next)
            if (o->output_info && o->mode_info) {
                o->x -= min_x;
                o->y -= min_y;
                o->changes |= changes_position;
            }
    return 0;
}

int XRANDR::set_screen_size()
{
    bool only_gamma = true;
    for (output_t* o = outputs; o; o = o->next)
        if (o->changes & ~changes_gamma)
            only_gamma = false;
    const bool fixed_size = fb_width > 0 && fb_height > 0;
    int w = 0, h = 0;
    for (output_t* o = outputs; o; o = o->next) {
        if (!o->output_info || !o->mode_info)
            continue;
        int gx, gy, gw, gh;
        mode_geometry(o->mode_info, o->rotation, &o->transform.transform, &gx, &gy, &gw, &gh);
        int right = o->x + gw, bottom = o->y + gh;
        if (o->panning.width > 0 && o->panning.height > 0) {
            right = std::max(right, int(o->panning.left + o->panning.width));
            bottom = std::max(bottom, int(o->panning.top + o->panning.height));
        }
        if (fixed_size && (right > fb_width || bottom > fb_height))
            return fatal("specified screen %dx%d not large enough for output %s (%dx%d+%d+%d)\n",
                         fb_width, fb_height, o->output_info->name, gw, gh, o->x, o->y);
        w = std::max(w, right);
        h = std::max(h, bottom);
    }
    if (!fixed_size) {
        if (only_gamma) {
            fb_width = DisplayWidth(dpy, screen);
            fb_height = DisplayHeight(dpy, screen);
            return 0;
        }
        fb_width = std::max(w, minWidth);
        fb_height = std::max(h, minHeight);
    }
    if (fb_width > maxWidth || fb_height > maxHeight)
        return fatal("screen cannot be larger than %dx%d (desired size %dx%d)\n", maxWidth,
                     maxHeight, fb_width, fb_height);
    if (fb_width < minWidth || fb_height < minHeight)
        return fatal("screen must be at least %dx%d\n", minWidth, minHeight);
    return 0;
}

int XRANDR::pick_crtcs()
{
    for (auto& c : crtcs) {
        c.outputs.clear();
        c.mode_info = nullptr;
    }
    auto fits = [&](crtc_t* c, output_t* o) {
        if (!c || !output_can_use_crtc(o, c))
            return false;
        if (c->outputs.empty())
            return true;
        // Sharing a CRTC (a clone) needs the same picture.
        return c->mode_info == o->mode_info && c->x == o->x && c->y == o->y &&
               c->rotation == o->rotation && TransformsEqual(c->pending_transform, o->transform);
    };
    auto assign = [&](crtc_t* c, output_t* o) {
        if (c->outputs.empty()) {
            c->mode_info = o->mode_info;
            c->x = o->x;
            c->y = o->y;
            c->rotation = o->rotation;
            c->pending_transform = o->transform;
        }
        c->outputs.push_back(o);
        o->crtc_info = c;
    };
    auto active = [](output_t* o) { return o->output_info && o->mode_info; };

    for (output_t* o = outputs; o; o = o->next) {
        if (!active(o)) {
            o->crtc_info = nullptr;
            continue;
        }
        if (o->changes & changes_crtc) {
            if (!fits(o->crtc_info, o))
                return fatal("cannot find crtc for output %s\n", o->output_info->name);
            assign(o->crtc_info, o);
        }
    }
    for (output_t* o = outputs; o; o = o->next)
        if (active(o) && !(o->changes & changes_crtc)) {
            if (o->crtc_info && fits(o->crtc_info, o))
                assign(o->crtc_info, o);
            else
                o->crtc_info = nullptr;
        }
    for (output_t* o = outputs; o; o = o->next) {
        if (!active(o) || o->crtc_info)
            continue;
        crtc_t* pick = nullptr;
        // Prefer a CRTC nobody drives now, then any that can take the picture.
        for (int pass = 0; pass < 2 && !pick; ++pass)
            for (int i = 0; i < o->output_info->ncrtc && !pick; ++i) {
                crtc_t* c = find_crtc_by_xid(o->output_info->crtcs[i]);
                if (!c || !fits(c, o))
                    continue;
                if (pass == 0 && (!c->outputs.empty() || c->crtc_info->noutput > 0))
                    continue;
                pick = c;
            }
        if (!pick)
            return fatal("cannot find crtc for output %s\n", o->output_info->name);
        assign(pick, o);
    }
    for (auto& c : crtcs) {
        if (c.outputs.empty())
            continue;
        if ((c.rotation & c.crtc_info->rotations) != c.rotation) {
            output_t* o = c.outputs.front();
            return fatal("output %s cannot use rotation \"%s\" reflection \"%s\"\n",
                         o->output_info->name, rotation_name(c.rotation), reflection_name(c.rotation));
        }
    }
    return 0;
}

void XRANDR::mark_changing_crtcs()
{
    for (auto& c : crtcs) {
        bool changing = false;
        for (output_t* o : c.outputs)
            if (o->changes)
                changing = true;
        XRRCrtcInfo* info = c.crtc_info;
        for (int i = 0; i < info->noutput; ++i) {
            output_t* o = find_output_by_xid(info->outputs[i]);
            if (o && (o->changes || o->crtc_info != &c))
                changing = true;
        }
        if (int(c.outputs.size()) != info->noutput)
            changing = true;
        RRMode mode = c.mode_info ? c.mode_info->id : None;
        if (mode != info->mode)
            changing = true;
        if (c.mode_info && (c.x != info->x || c.y != info->y || c.rotation != info->rotation))
            changing = true;
        c.changing = changing;
    }
}

void XRANDR::set_physical_size()
{
    if (fb_width_mm != 0 && fb_height_mm != 0)
        return;
    if (fb_width == DisplayWidth(dpy, screen) && fb_height == DisplayHeight(dpy, screen) &&
        dpi == 0) {
        fb_width_mm = DisplayWidthMM(dpy, screen);
        fb_height_mm = DisplayHeightMM(dpy, screen);
        return;
    }
    if (dpi <= 0) {
        int mm = DisplayHeightMM(dpy, screen);
        dpi = mm > 0 ? 25.4 * DisplayHeight(dpy, screen) / mm : 96.0;
    }
    // The server refuses a physical size of 0 mm.
    fb_width_mm = std::max(1, int(25.4 * fb_width / dpi));
    fb_height_mm = std::max(1, int(25.4 * fb_height / dpi));
}

// ---------------------------------------------------------------- applying

int XRANDR::crtc_disable(crtc_t* crtc)
{
    if (verbose)
        printf("crtc %d: disable\n", crtc->crtc.index);
    return XRRSetCrtcConfig(dpy, res, crtc->crtc.xid, CurrentTime, 0, 0, None, RR_Rotate_0,
                            nullptr, 0);
}

int XRANDR::crtc_apply(crtc_t* crtc)
{
    if (!crtc->changing || !crtc->mode_info)
        return RRSetConfigSuccess;
    std::vector<RROutput> rr;
    bool panning = false;
    for (output_t* o : crtc->outputs) {
        rr.push_back(o->output.xid);
        panning |= (o->changes & changes_panning) != 0;
    }
    if (verbose) {
        printf("crtc %d: %12s %6.2f +%d+%d", crtc->crtc.index, crtc->mode_info->name,
               ModeRefresh(crtc->mode_info), crtc->x, crtc->y);
        for (output_t* o : crtc->outputs)
            printf(" \"%s\"", o->output_info->name);
        printf("\n");
    }
    if (has_1_3 && !TransformsEqual(crtc->pending_transform, crtc->current_transform)) {
        transform_t& t = crtc->pending_transform;
        XRRSetCrtcTransform(dpy, crtc->crtc.xid, &t.transform,
                            t.filter.empty() ? "nearest" : t.filter.c_str(),
                            t.params.empty() ? nullptr : t.params.data(), int(t.params.size()));
    }
    Status s = XRRSetCrtcConfig(dpy, res, crtc->crtc.xid, CurrentTime, crtc->x, crtc->y,
                                crtc->mode_info->id, crtc->rotation, rr.data(), int(rr.size()));
    if (s == RRSetConfigSuccess && panning && has_1_3) {
        output_t* o = crtc->outputs.front();
        XRRPanning p = o->panning;
        p.timestamp = CurrentTime;
        XRRSetPanning(dpy, res, crtc->crtc.xid, &p);
    }
    return s;
}

void XRANDR::crtc_revert(crtc_t* crtc)
{
    XRRCrtcInfo* info = crtc->crtc_info;
    if (has_1_3 && !TransformsEqual(crtc->pending_transform, crtc->current_transform)) {
        transform_t& t = crtc->current_transform;
        XRRSetCrtcTransform(dpy, crtc->crtc.xid, &t.transform,
                            t.filter.empty() ? "nearest" : t.filter.c_str(),
                            t.params.empty() ? nullptr : t.params.data(), int(t.params.size()));
    }
    XRRSetCrtcConfig(dpy, res, crtc->crtc.xid, CurrentTime, info->x, info->y, info->mode,
                     info->rotation, info->outputs, info->noutput);
}

void XRANDR::revert()
{
    // Off first, so the old framebuffer size is accepted again.
    for (auto& c : crtcs)
        if (c.changing)
            XRRSetCrtcConfig(dpy, res, c.crtc.xid, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
    if (mSizeChanged)
        XRRSetScreenSize(dpy, root, mOldWidth, mOldHeight, mOldWidthMM, mOldHeightMM);
    for (auto& c : crtcs)
        if (c.changing && c.crtc_info->mode != None)
            crtc_revert(&c);
}

int XRANDR::set_output_properties(output_t* output)
{
    RROutput xid = output->output.xid;
    for (const auto& p : output->props) {
        Atom name = XInternAtom(dpy, p.name.c_str(), False);
        Atom type = None;
        int format = 0;
        unsigned long nitems = 0, after = 0;
        unsigned char* data = nullptr;
        if (XRRGetOutputProperty(dpy, xid, name, 0, 0, False, False, AnyPropertyType, &type,
                                 &format, &nitems, &after, &data) != Success)
            type = None;
        if (data)
            XFree(data);

        // Comma-separated numbers for integer properties (and for new ones
        // that look numeric), atoms for atom properties, text otherwise.
        std::vector<long> numbers;
        bool numeric = true;
        {
            std::string v = p.value;
            size_t start = 0;
            while (numeric) {
                size_t comma = v.find(',', start);
                std::string part = v.substr(start, comma == std::string::npos ? std::string::npos
                                                                               : comma - start);
                long n;
                if (!ParseLong(part.c_str(), &n, 0))
                    numeric = false;
                else
                    numbers.push_back(n);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        }
        if ((type == XA_INTEGER || type == XA_CARDINAL || type == None) && numeric) {
            if (type == None) {
                type = XA_INTEGER;
                format = 32;
            }
            if (format == 8) {
                std::vector<char> v(numbers.begin(), numbers.end());
                XRRChangeOutputProperty(dpy, xid, name, type, 8, PropModeReplace,
                                        reinterpret_cast<unsigned char*>(v.data()), int(v.size()));
            } else if (format == 16) {
                std::vector<short> v(numbers.begin(), numbers.end());
                XRRChangeOutputProperty(dpy, xid, name, type, 16, PropModeReplace,
                                        reinterpret_cast<unsigned char*>(v.data()), int(v.size()));
            } else {
                XRRChangeOutputProperty(dpy, xid, name, type, 32, PropModeReplace,
                                        reinterpret_cast<unsigned char*>(numbers.data()),
                                        int(numbers.size()));
            }
        } else if (type == XA_ATOM) {
            long atom = long(XInternAtom(dpy, p.value.c_str(), False));
            XRRChangeOutputProperty(dpy, xid, name, XA_ATOM, 32, PropModeReplace,
                                    reinterpret_cast<unsigned char*>(&atom), 1);
        } else if (type == XA_INTEGER || type == XA_CARDINAL) {
            return fatal("property %s needs a number, not \"%s\"\n", p.name.c_str(),
                         p.value.c_str());
        } else {
            if (type == None)
                type = XA_STRING;
            XRRChangeOutputProperty(dpy, xid, name, type, 8, PropModeReplace,
                                    reinterpret_cast<const unsigned char*>(p.value.data()),
                                    int(p.value.size()));
        }
    }
    return 0;
}

int XRANDR::apply()
{
    mOldWidth = DisplayWidth(dpy, screen);
    mOldHeight = DisplayHeight(dpy, screen);
    mOldWidthMM = DisplayWidthMM(dpy, screen);
    mOldHeightMM = DisplayHeightMM(dpy, screen);
    mSizeChanged = false;
    const bool resize = fb_width != mOldWidth || fb_height != mOldHeight ||
                        fb_width_mm != mOldWidthMM || fb_height_mm != mOldHeightMM;
    if (verbose) {
        printf("screen %d: %dx%d %dx%d mm %6.2fdpi\n", screen, fb_width, fb_height, fb_width_mm,
               fb_height_mm, fb_height_mm ? 25.4 * fb_height / fb_height_mm : 0.0);
        if (dryrun)
            for (auto& c : crtcs) {
                if (!c.changing)
                    continue;
                if (!c.mode_info) {
                    printf("crtc %d: disable\n", c.crtc.index);
                    continue;
                }
                printf("crtc %d: %12s %6.2f +%d+%d", c.crtc.index, c.mode_info->name,
                       ModeRefresh(c.mode_info), c.x, c.y);
                for (output_t* o : c.outputs)
                    printf(" \"%s\"", o->output_info->name);
                printf("\n");
            }
    }
    if (dryrun)
        return 0;

    for (output_t* o = outputs; o; o = o->next)
        if (o->output_info && (o->changes & changes_property))
            if (int rc = set_output_properties(o))
                return rc;

    if (grab_server) {
        XGrabServer(dpy);
        mGrabbed = true;
    }
    auto fail = [&](crtc_t* c, Status s) {
        revert();
        if (mGrabbed)
            XUngrabServer(dpy);
        mGrabbed = false;
        return fatal("Configure crtc %d %s\n", c->crtc.index, StatusName(s));
    };
    // Turn off what goes dark and what would not fit the new framebuffer.
    for (auto& c : crtcs) {
        if (!c.changing)
            continue;
        XRRCrtcInfo* info = c.crtc_info;
        const bool beyond = info->mode != None && (info->x + int(info->width) > fb_width ||
                                                   info->y + int(info->height) > fb_height);
        if (info->mode != None && (!c.mode_info || beyond)) {
            Status s = crtc_disable(&c);
            if (s != RRSetConfigSuccess)
                return fail(&c, s);
        }
    }
    if (resize) {
        XRRSetScreenSize(dpy, root, fb_width, fb_height, fb_width_mm, fb_height_mm);
        mSizeChanged = true;
    }
    for (auto& c : crtcs) {
        Status s = crtc_apply(&c);
        if (s != RRSetConfigSuccess)
            return fail(&c, s);
    }
    if (has_1_3) {
        for (output_t* o = outputs; o; o = o->next)
            if (o->output_info && (o->changes & changes_primary) && o->primary)
                XRRSetOutputPrimary(dpy, root, o->output.xid);
        if (no_primary)
            XRRSetOutputPrimary(dpy, root, None);
    }
    if (mGrabbed)
        XUngrabServer(dpy);
    mGrabbed = false;
    return 0;
}

// Finds an output by name or XID without building the output records.
static RROutput FindOutputXid(Display* dpy, XRRScreenResources* res, const name_t& name)
{
    for (int o = 0; o < res->noutput; ++o) {
        if ((name.kind & name_xid) && res->outputs[o] == name.xid)
            return res->outputs[o];
        if (!(name.kind & name_string))
            continue;
        XRROutputInfo* info = XRRGetOutputInfo(dpy, res, res->outputs[o]);
        bool same = info && info->name && name.string == info->name;
        if (info)
            XRRFreeOutputInfo(info);
        if (same)
            return res->outputs[o];
    }
    return None;
}

int XRANDR::apply_umodes()
{
    for (auto& u : umodes) {
        XRRModeInfo* m = nullptr;
        RROutput out = None;
        if (u.action != umode_create) {
            m = find_mode(&u.name, 0.0);
            if (!m) {
                if (u.name.kind & name_string)
                    return fatal("cannot find mode %s\n", u.name.string.c_str());
                return fatal("cannot find mode 0x%x\n", unsigned(u.name.xid));
            }
        }
        if (u.action == umode_add || u.action == umode_delete) {
            out = FindOutputXid(dpy, res, u.output);
            if (out == None)
                return fatal("cannot find output \"%s\"\n", Describe(u.output).c_str());
        }
        if (dryrun)
            continue;
        switch (u.action) {
        case umode_create:
            u.mode.name = u.mode_name.data();
            u.mode.nameLength = unsigned(u.mode_name.size());
            XRRCreateMode(dpy, root, &u.mode);
            break;
        case umode_destroy: XRRDestroyMode(dpy, m->id); break;
        case umode_add: XRRAddOutputMode(dpy, out, m->id); break;
        case umode_delete: XRRDeleteOutputMode(dpy, out, m->id); break;
        }
        // Later steps look modes up by name: read them back.
        if (int rc = get_screen(mOpts.current))
            return rc;
    }
    return 0;
}

// ---------------------------------------------------------------- command line

int XRANDR::parse_args(int argc, char** argv)
{
    output_t* cur = nullptr;
    if (argc > 0 && argv && argv[0]) {
        mOpts.program_name = argv[0];
        program_name = mOpts.program_name.data();
    }
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!a)
            return usage();
        auto arg = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        auto is = [&](std::initializer_list<const char*> names) {
            for (const char* n : names)
                if (!strcmp(a, n))
                    return true;
            return false;
        };

        // Options of the current output.
        if (cur) {
            bool handled = true;
            if (is({"--auto"})) {
                cur->automatic = true;
                cur->changes |= changes_automatic;
            } else if (is({"--mode"})) {
                const char* v = arg();
                init_name(&cur->mode);
                if (!v || !set_name(&cur->mode, v, name_string | name_xid))
                    return usage();
                cur->changes |= changes_mode;
            } else if (is({"--preferred"})) {
                init_name(&cur->mode);
                set_name_preferred(&cur->mode);
                cur->changes |= changes_mode;
            } else if (is({"--pos"})) {
                if (!ParsePair(arg(), &cur->x, &cur->y, ParseInt))
                    return usage();
                cur->changes |= changes_position;
            } else if (is({"--rate", "--refresh", "-r"})) {
                if (!ParseDouble(arg(), &cur->refresh) || cur->refresh <= 0)
                    return usage();
                cur->changes |= changes_refresh;
            } else if (is({"--reflect", "--reflection"})) {
                Rotation r;
                const char* v = arg();
                if (!v || !ParseReflection(v, &r))
                    return usage();
                cur->rotation = (cur->rotation & 0xf) | r;
                cur->changes |= changes_reflection;
            } else if (is({"--rotate", "--rotation"})) {
                Rotation r;
                const char* v = arg();
                if (!v || !ParseRotation(v, &r))
                    return usage();
                cur->rotation = (cur->rotation & 0x30) | r;
                cur->changes |= changes_rotation;
            } else if (is({"--left-of", "--right-of", "--above", "--below", "--same-as"})) {
                const char* v = arg();
                if (!v || !*v)
                    return usage();
                cur->relation = is({"--left-of"})    ? relation_left_of
                                : is({"--right-of"}) ? relation_right_of
                                : is({"--above"})    ? relation_above
                                : is({"--below"})    ? relation_below
                                                     : relation_same_as;
                cur->relative_name = v;
                cur->relative_to = cur->relative_name.data();
                cur->changes |= changes_relation;
            } else if (is({"--set"})) {
                const char* p = arg();
                const char* v = arg();
                if (!p || !v || !*p)
                    return usage();
                cur->props.push_back({p, v});
                cur->changes |= changes_property;
            } else if (is({"--scale"})) {
                double sx, sy;
                if (!ParsePair(arg(), &sx, &sy, ParseDouble) || sx <= 0 || sy <= 0)
                    return usage();
                const double m[9] = {sx, 0, 0, 0, sy, 0, 0, 0, 1};
                SetTransformMatrix(&cur->transform, m);
                cur->scale_from_w = cur->scale_from_h = 0;
                cur->changes |= changes_transform;
            } else if (is({"--scale-from"})) {
                if (!ParsePair(arg(), &cur->scale_from_w, &cur->scale_from_h, ParseInt) ||
                    cur->scale_from_w <= 0 || cur->scale_from_h <= 0)
                    return usage();
                cur->changes |= changes_transform;
            } else if (is({"--transform"})) {
                const char* v = arg();
                if (!v)
                    return usage();
                if (!strcmp(v, "none")) {
                    InitTransform(&cur->transform);
                } else {
                    double m[9];
                    std::string s = v;
                    size_t start = 0;
                    for (int k = 0; k < 9; ++k) {
                        size_t comma = s.find(',', start);
                        if ((k < 8) != (comma != std::string::npos))
                            return usage();
                        std::string part = s.substr(start, comma == std::string::npos
                                                               ? std::string::npos
                                                               : comma - start);
                        if (!ParseDouble(part.c_str(), &m[k]))
                            return usage();
                        start = comma + 1;
                    }
                    SetTransformMatrix(&cur->transform, m);
                }
                cur->scale_from_w = cur->scale_from_h = 0;
                cur->changes |= changes_transform;
            } else if (is({"--off"})) {
                init_name(&cur->mode);
                set_name_xid(&cur->mode, None);
                init_name(&cur->crtc);
                set_name_xid(&cur->crtc, None);
                cur->changes |= changes_mode;
                cur->changes &= ~changes_crtc;
            } else if (is({"--crtc"})) {
                const char* v = arg();
                init_name(&cur->crtc);
                if (!v || !set_name(&cur->crtc, v, name_xid | name_index))
                    return usage();
                cur->changes |= changes_crtc;
            } else if (is({"--panning"})) {
                const char* v = arg();
                if (!v)
                    return usage();
                XRRPanning p{};
                int l, t, w, h, tl, tt, tw, th, bl, bt, br, bb, n = 0;
                int c = sscanf(v, "%dx%d+%d+%d/%dx%d+%d+%d/%d/%d/%d/%d%n", &w, &h, &l, &t, &tw,
                               &th, &tl, &tt, &bl, &bt, &br, &bb, &n);
                // Only whole groups count: 2, 4, 8 or 12 numbers, nothing after.
                int full = 0;
                if (c == 12 && !v[n]) full = 12;
                else {
                    int n2 = 0, n4 = 0, n8 = 0;
                    if (sscanf(v, "%dx%d+%d+%d/%dx%d+%d+%d%n", &w, &h, &l, &t, &tw, &th, &tl, &tt,
                               &n8) == 8 && n8 && !v[n8]) full = 8;
                    else if (sscanf(v, "%dx%d+%d+%d%n", &w, &h, &l, &t, &n4) == 4 && n4 &&
                             !v[n4]) full = 4;
                    else if (sscanf(v, "%dx%d%n", &w, &h, &n2) == 2 && n2 && !v[n2]) full = 2;
                }
                if (!full || w < 0 || h < 0)
                    return usage();
                p.width = w;
                p.height = h;
                if (full >= 4) {
                    if (l < 0 || t < 0)
                        return usage();
                    p.left = l;
                    p.top = t;
                }
                if (full >= 8) {
                    if (tw < 0 || th < 0 || tl < 0 || tt < 0)
                        return usage();
                    p.track_width = tw;
                    p.track_height = th;
                    p.track_left = tl;
                    p.track_top = tt;
                }
                if (full == 12) {
                    p.border_left = bl;
                    p.border_top = bt;
                    p.border_right = br;
                    p.border_bottom = bb;
                }
                cur->panning = p;
                cur->changes |= changes_panning;
            } else if (is({"--gamma"})) {
                const char* v = arg();
                float r, g, b;
                int n = 0;
                if (!v || sscanf(v, "%f:%f:%f%n", &r, &g, &b, &n) != 3 || v[n] || !std::isfinite(r) ||
                    !std::isfinite(g) || !std::isfinite(b) || r < 0 || g < 0 || b < 0)
                    return usage();
                cur->gamma.red = r;
                cur->gamma.green = g;
                cur->gamma.blue = b;
                cur->changes |= changes_gamma;
            } else if (is({"--brightness"})) {
                double v;
                if (!ParseDouble(arg(), &v) || v < 0)
                    return usage();
                cur->brightness = float(v);
                cur->changes |= changes_gamma;
            } else if (is({"--primary"})) {
                cur->primary = true;
                cur->changes |= changes_primary;
            } else {
                handled = false;
            }
            if (handled) {
                mOpts.set_1_2 = true;
                continue;
            }
        }

        if (is({"-display", "-d"})) {
            const char* v = arg();
            if (!v)
                return usage();
            mOpts.display_name = v;
            mOpts.has_display_name = true;
        } else if (is({"-help", "--help"})) {
            return usage();
        } else if (is({"--verbose"})) {
            verbose = 1;
        } else if (is({"--current"})) {
            mOpts.current = true;
        } else if (is({"--dryrun"})) {
            dryrun = 1;
        } else if (is({"--nograb"})) {
            grab_server = 0;
        } else if (is({"--prop", "--props", "--madprops", "--properties"})) {
            properties = 1;
            mOpts.query = true;
        } else if (is({"-q", "--query"})) {
            mOpts.query = true;
        } else if (is({"--q1"})) {
            mOpts.query = mOpts.query_1 = true;
        } else if (is({"--q12"})) {
            mOpts.query = true;
            mOpts.query_1 = false;
        } else if (is({"-v", "--version"})) {
            mOpts.version = true;
        } else if (is({"-x"})) {
            mOpts.reflection |= RR_Reflect_X;
            mOpts.reflection_set = mOpts.set_1_1 = true;
        } else if (is({"-y"})) {
            mOpts.reflection |= RR_Reflect_Y;
            mOpts.reflection_set = mOpts.set_1_1 = true;
        } else if (is({"-o", "--orientation"})) {
            const char* v = arg();
            Rotation r;
            int n;
            if (!v)
                return usage();
            if (ParseRotation(v, &r))
                mOpts.rotation = r;
            else if (ParseNonNegInt(v, &n) && n <= 3)
                mOpts.rotation = 1 << n;
            else
                return usage();
            mOpts.set_1_1 = true;
        } else if (is({"-s", "--size"})) {
            const char* v = arg();
            int w, h;
            if (!v)
                return usage();
            if (ParseNonNegInt(v, &mOpts.size)) {
            } else if (ParsePair(v, &w, &h, ParseNonNegInt)) {
                mOpts.size_w = w;
                mOpts.size_h = h;
                mOpts.size = -2;
            } else {
                return usage();
            }
            mOpts.set_1_1 = true;
        } else if (is({"-r", "--rate", "--refresh"})) {
            if (!ParseDouble(arg(), &mOpts.rate) || mOpts.rate <= 0)
                return usage();
            mOpts.set_1_1 = true;
        } else if (is({"--screen"})) {
            if (!ParseNonNegInt(arg(), &screen))
                return usage();
        } else if (is({"--fb"})) {
            if (!ParsePair(arg(), &fb_width, &fb_height, ParseInt) || fb_width <= 0 ||
                fb_height <= 0)
                return usage();
            mOpts.set_1_2 = true;
        } else if (is({"--fbmm"})) {
            if (!ParsePair(arg(), &fb_width_mm, &fb_height_mm, ParseInt) || fb_width_mm <= 0 ||
                fb_height_mm <= 0)
                return usage();
            mOpts.set_1_2 = true;
        } else if (is({"--dpi"})) {
            const char* v = arg();
            if (!v || !*v)
                return usage();
            double d;
            if (ParseDouble(v, &d)) {
                if (d <= 0)
                    return usage();
                dpi = d;
            } else if (strchr("0123456789+-.", *v)) {
                return usage();   // a malformed number, not an output name
            } else {
                mOpts.dpi_output = v;
                dpi_output = mOpts.dpi_output.data();
            }
            mOpts.set_1_2 = true;
        } else if (is({"--output"})) {
            const char* v = arg();
            name_t n;
            if (!v || !set_name(&n, v, name_string | name_xid))
                return usage();
            cur = find_output(&n);
            if (!cur) {
                cur = add_output();
                set_name_all(&cur->output, &n);
            }
            mOpts.set_1_2 = true;
        } else if (is({"--auto"})) {
            automatic = 1;
            mOpts.set_1_2 = true;
        } else if (is({"--noprimary"})) {
            no_primary = 1;
            mOpts.set_1_2 = true;
        } else if (is({"--newmode"})) {
            umode_t u;
            u.action = umode_create;
            const char* name = arg();
            double clock;
            int v[8];
            if (!name || !*name || !ParseDouble(arg(), &clock) || clock <= 0)
                return usage();
            for (int& n : v)
                if (!ParseNonNegInt(arg(), &n))
                    return usage();
            u.mode_name = name;
            u.mode.dotClock = (unsigned long)(clock * 1e6);
            u.mode.width = v[0];
            u.mode.hSyncStart = v[1];
            u.mode.hSyncEnd = v[2];
            u.mode.hTotal = v[3];
            u.mode.height = v[4];
            u.mode.vSyncStart = v[5];
            u.mode.vSyncEnd = v[6];
            u.mode.vTotal = v[7];
            while (i + 1 < argc) {
                bool flag = false;
                for (const auto& f : kModeFlags)
                    if (!strcasecmp(argv[i + 1], f.name)) {
                        u.mode.modeFlags |= f.flag;
                        flag = true;
                    }
                if (!flag)
                    break;
                ++i;
            }
            umodes.push_back(std::move(u));
        } else if (is({"--rmmode"})) {
            umode_t u;
            u.action = umode_destroy;
            const char* v = arg();
            if (!v || !set_name(&u.name, v, name_string | name_xid))
                return usage();
            umodes.push_back(std::move(u));
        } else if (is({"--addmode", "--delmode"})) {
            umode_t u;
            u.action = is({"--addmode"}) ? umode_add : umode_delete;
            const char* o = arg();
            const char* m = arg();
            if (!o || !m || !set_name(&u.output, o, name_string | name_xid) ||
                !set_name(&u.name, m, name_string | name_xid))
                return usage();
            umodes.push_back(std::move(u));
        } else if (is({"--listproviders"})) {
            providers = 1;
        } else if (is({"--setprovideroutputsource", "--setprovideroffloadsink"})) {
            XID p, s;
            if (!ParseXid(arg(), &p) || !ParseXid(arg(), &s) || p == 0)
                return usage();
            provider_xid = int(p);
            if (is({"--setprovideroutputsource"})) {
                output_source_provider_xid = int(s);
                mOpts.set_output_source = true;
            } else {
                offload_sink_provider_xid = int(s);
                mOpts.set_offload_sink = true;
            }
        } else {
            return usage();
        }
    }
    return 0;
}

int XRANDR::main_xrandr(int argc, char** argv)
{
    reset();
    // The records of this run go with it; a host may keep the object for days.
    struct TDrop {
        XRANDR* x;
        ~TDrop()
        {
            x->clear_outputs();
            x->umodes.clear();
        }
    } drop{this};
    int rc = 0;
    try {
        if (int prc = parse_args(argc, argv))
            return prc;
        const bool provider_action =
            providers || mOpts.set_output_source || mOpts.set_offload_sink;
        const bool action_1_2 = mOpts.set_1_2 || !umodes.empty();
        const bool query = mOpts.query ||
                           (!action_1_2 && !mOpts.set_1_1 && !provider_action && !mOpts.version);
        if (mOpts.version)
            printf("xrandr program version       %s\n", kProgramVersion);

        const char* name = mOpts.has_display_name ? mOpts.display_name.c_str() : nullptr;
        if ((rc = open_and_check(name))) {
            if (!dpy)
                fatal("Can't open display %s\n", XDisplayName(name));
            return finish(rc);
        }
        if (mOpts.version)
            printf("Server reports RandR version %d.%d\n", mMajor, mMinor);

        if (provider_action) {
            if (mMajor < 1 || (mMajor == 1 && mMinor < 4))
                return finish(fatal("Server RandR version before 1.4\n"));
            if ((rc = get_screen(mOpts.current)))
                return finish(rc);
            if ((mOpts.set_output_source || mOpts.set_offload_sink) && (rc = set_providers()))
                return finish(rc);
            if (providers && (rc = list_providers()))
                return finish(rc);
        }
        if (action_1_2) {
            if (!has_1_2)
                return finish(fatal("Server RandR version before 1.2\n"));
            if ((rc = get_screen(mOpts.current)))
                return finish(rc);
            if (!umodes.empty() && (rc = apply_umodes()))
                return finish(rc);
            if (mOpts.set_1_2 && (rc = run_sequence()))
                return finish(rc);
        }
        if (mOpts.set_1_1 || (query && (mOpts.query_1 || !has_1_2))) {
            if ((rc = run_1_1(query && (mOpts.query_1 || !has_1_2))))
                return finish(rc);
        }
        if (query && has_1_2 && !mOpts.query_1) {
            // Show the configuration as it is now, after any changes above.
            release();
            clear_outputs();
            if ((rc = get_screen(mOpts.current)) || (rc = get_crtcs()) || (rc = get_outputs()))
                return finish(rc);
            rc = query_1_2();
        }
    } catch (const std::bad_alloc&) {
        rc = fatal("out of memory\n");
    }
    return finish(rc);
}

void XRANDR::clear_outputs()
{
    for (output_t* o = outputs; o; o = o->next)
        if (o->output_info)
            XRRFreeOutputInfo(o->output_info);
    while (outputs) {
        output_t* next = outputs->next;
        delete outputs;
        outputs = next;
    }
    outputs_tail = &outputs;
}

// ---------------------------------------------------------------- RandR 1.1

int XRANDR::run_1_1(bool query)
{
    XRRScreenConfiguration* sc = XRRGetScreenInfo(dpy, root);
    if (!sc)
        return fatal("could not get screen resources");
    int nsize = 0;
    XRRScreenSize* sizes = XRRConfigSizes(sc, &nsize);
    Rotation current_rotation = RR_Rotate_0;
    SizeID current_size = XRRConfigCurrentConfiguration(sc, &current_rotation);
    short current_rate = XRRConfigCurrentRate(sc);
    Rotation cur = 0;
    Rotation rotations = XRRConfigRotations(sc, &cur);
    int rc = 0;

    if (query) {
        printf(" SZ:    Pixels          Physical       Refresh\n");
        for (int s = 0; s < nsize; ++s) {
            printf("%c%-2d %5d x %-5d  (%4dmm x%4dmm )", s == current_size ? '*' : ' ', s,
                   sizes[s].width, sizes[s].height, sizes[s].mwidth, sizes[s].mheight);
            int nrate = 0;
            short* rates = XRRConfigRates(sc, s, &nrate);
            if (nrate)
                printf("  ");
            for (int r = 0; r < nrate; ++r)
                printf("%c%-4d", (s == current_size && rates[r] == current_rate) ? '*' : ' ',
                       rates[r]);
            printf("\n");
        }
        printf("Current rotation - %s\n", rotation_name(current_rotation));
        printf("Current reflection - %s\n", reflection_name(current_rotation));
        printf("Rotations possible -");
        for (const auto& r : kRotations)
            if (rotations & r.rotation)
                printf(" %s", r.name);
        printf("\nReflections possible -");
        if (!(rotations & (RR_Reflect_X | RR_Reflect_Y)))
            printf(" none");
        if (rotations & RR_Reflect_X)
            printf(" X Axis");
        if (rotations & RR_Reflect_Y)
            printf(" Y Axis");
        printf("\n");
    }

    if (mOpts.set_1_1) {
        int size = current_size;
        if (mOpts.size >= 0) {
            if (mOpts.size >= nsize) {
                rc = fatal("Size index %d is too large, there are only %d sizes\n", mOpts.size, nsize);
                goto done;
            }
            size = mOpts.size;
        } else if (mOpts.size == -2) {
            size = -1;
            for (int s = 0; s < nsize; ++s)
                if (sizes[s].width == mOpts.size_w && sizes[s].height == mOpts.size_h) {
                    size = s;
                    break;
                }
            if (size < 0) {
                rc = fatal("Size %dx%d not found in available modes\n", mOpts.size_w, mOpts.size_h);
                goto done;
            }
        }
        Rotation rotation = mOpts.rotation >= 0 ? Rotation(mOpts.rotation) : (current_rotation & 0xf);
        rotation |= mOpts.reflection_set ? Rotation(mOpts.reflection) : (current_rotation & 0x30);
        if ((rotations & rotation) != rotation) {
            rc = fatal("Rotation \"%s\" reflection \"%s\" not supported by this screen\n",
                       rotation_name(rotation), reflection_name(rotation));
            goto done;
        }
        short rate = 0;
        if (mOpts.rate > 0) {
            int nrate = 0;
            short* rates = XRRConfigRates(sc, size, &nrate);
            bool ok = false;
            for (int r = 0; r < nrate; ++r)
                if (std::fabs(rates[r] - mOpts.rate) < 0.5) {
                    rate = rates[r];
                    ok = true;
                }
            if (!ok) {
                rc = fatal("Rate %.2f Hz not available for this size\n", mOpts.rate);
                goto done;
            }
        }
        if (verbose)
            printf("Setting size to %d, rotation to %s, reflection to %s, rate to %d\n", size,
                   rotation_name(rotation), reflection_name(rotation), int(rate));
        if (!dryrun) {
            Time config_time;
            XRRConfigTimes(sc, &config_time);
            Status s = rate ? XRRSetScreenConfigAndRate(dpy, sc, root, size, rotation, rate, CurrentTime)
                            : XRRSetScreenConfig(dpy, sc, root, size, rotation, CurrentTime);
            if (s != RRSetConfigSuccess)
                rc = fatal("Failed to change the screen configuration: %s\n", StatusName(s));
        }
    }
done:
    XRRFreeScreenConfigInfo(sc);
    return rc;
}

// ---------------------------------------------------------------- queries

namespace {

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

// Reads brightness and per-channel gamma back from a ramp.
void EstimateGamma(const XRRCrtcGamma* g, float* brightness, float out[3])
{
    const int size = g->size;
    const bool pow2 = (size & (size - 1)) == 0;
    int shift = 0;
    if (pow2) {
        int lowest = 0;
        while (!(size & (1 << lowest)))
            ++lowest;
        shift = 16 - lowest;
    }
    const double full = pow2 ? double(unsigned(size - 1) << shift) : 65535.0;
    const unsigned short* t[3] = {g->red, g->green, g->blue};
    double top = 0;
    for (auto* c : t)
        top = std::max(top, double(c[size - 1]));
    *brightness = float(top / full);
    for (int c = 0; c < 3; ++c) {
        out[c] = 1.0f;
        double last = t[c][size - 1];
        int i = size / 4;
        if (last <= 0 || i <= 0 || t[c][i] <= 0 || t[c][i] >= last)
            continue;
        double x = double(i) / (size - 1), y = t[c][i] / last;
        out[c] = float(std::log(x) / std::log(y));
    }
}

} // namespace

void XRANDR::print_output_properties(output_t* output)
{
    int nprop = 0;
    Atom* props = XRRListOutputProperties(dpy, output->output.xid, &nprop);
    for (int p = 0; p < nprop; ++p) {
        Atom type = None;
        int format = 0;
        unsigned long nitems = 0, after = 0;
        unsigned char* data = nullptr;
        char* name = XGetAtomName(dpy, props[p]);
        if (XRRGetOutputProperty(dpy, output->output.xid, props[p], 0, 100, False, False,
                                 AnyPropertyType, &type, &format, &nitems, &after,
                                 &data) != Success) {
            if (name)
                XFree(name);
            continue;
        }
        printf("\t%s: ", name ? name : "?");
        auto item = [&](unsigned long k) -> long {
            if (format == 8) return reinterpret_cast<signed char*>(data)[k];
            if (format == 16) return reinterpret_cast<short*>(data)[k];
            return reinterpret_cast<long*>(data)[k];
        };
        if (type == XA_INTEGER || type == XA_CARDINAL) {
            for (unsigned long k = 0; k < nitems; ++k) {
                long v = item(k);
                if (type == XA_CARDINAL)
                    printf(k ? " %lu" : "%lu",
                           format == 32 ? (unsigned long)v
                                        : (unsigned long)(v & ((1L << format) - 1)));
                else
                    printf(k ? " %ld" : "%ld", v);
            }
        } else if (type == XA_ATOM && format == 32) {
            for (unsigned long k = 0; k < nitems; ++k) {
                char* an = XGetAtomName(dpy, Atom(item(k)));
                printf(k ? " %s" : "%s", an ? an : "?");
                if (an)
                    XFree(an);
            }
        } else if (format == 8 && (type == XA_STRING || type == XInternAtom(dpy, "UTF8_STRING", True))) {
            printf("%.*s", int(nitems), reinterpret_cast<char*>(data));
        } else if (format == 8) {
            for (unsigned long k = 0; k < nitems; ++k) {
                if (k % 16 == 0)
                    printf("\n\t\t");
                printf("%02x", data[k]);
            }
        } else {
            printf("(%lu items of format %d)", nitems, format);
        }
        printf("\n");
        if (XRRPropertyInfo* info = XRRQueryOutputProperty(dpy, output->output.xid, props[p])) {
            if (info->range && info->num_values == 2)
                printf("\t\trange: (%ld, %ld)\n", info->values[0], info->values[1]);
            else if (info->num_values > 0) {
                printf("\t\tsupported:");
                for (int k = 0; k < info->num_values; ++k) {
                    if (type == XA_ATOM) {
                        char* an = XGetAtomName(dpy, Atom(info->values[k]));
                        printf(" %s", an ? an : "?");
                        if (an)
                            XFree(an);
                    } else {
                        printf(" %ld", info->values[k]);
                    }
                }
                printf("\n");
            }
            XFree(info);
        }
        if (data)
            XFree(data);
        if (name)
            XFree(name);
    }
    if (props)
        XFree(props);
}

int XRANDR::query_1_2()
{
    printf("Screen %d: minimum %d x %d, current %d x %d, maximum %d x %d\n", screen, minWidth,
           minHeight, DisplayWidth(dpy, screen), DisplayHeight(dpy, screen), maxWidth, maxHeight);
    RROutput primary = has_1_3 ? XRRGetOutputPrimary(dpy, root) : None;
    for (output_t* o = outputs; o; o = o->next) {
        XRROutputInfo* info = o->output_info;
        if (!info)
            continue;
        crtc_t* crtc = o->current_crtc_info;
        XRRCrtcInfo* ci = crtc ? crtc->crtc_info : nullptr;
        printf("%s %s", info->name, ConnectionName(info->connection));
        if (primary != None && o->output.xid == primary)
            printf(" primary");
        if (ci && ci->mode != None) {
            printf(" %ux%u+%d+%d", ci->width, ci->height, ci->x, ci->y);
            if (verbose)
                printf(" (0x%x)", unsigned(ci->mode));
            if ((ci->rotation & 0xf) != RR_Rotate_0 || verbose)
                printf(" %s", rotation_name(ci->rotation));
            if (ci->rotation & (RR_Reflect_X | RR_Reflect_Y))
                printf(" %s", reflection_name(ci->rotation));
        }
        Rotation possible = 0;
        for (int c = 0; c < info->ncrtc; ++c)
            if (crtc_t* pc = find_crtc_by_xid(info->crtcs[c]))
                possible |= pc->crtc_info->rotations;
        if (possible) {
            printf(" (");
            const char* sep = "";
            for (const auto& r : kRotations)
                if (possible & r.rotation) {
                    printf("%s%s", sep, r.name);
                    sep = " ";
                }
            if (possible & RR_Reflect_X) {
                printf("%sx axis", sep);
                sep = " ";
            }
            if (possible & RR_Reflect_Y)
                printf("%sy axis", sep);
            printf(")");
        }
        if (info->connection == RR_Connected || info->mm_width || info->mm_height)
            printf(" %lumm x %lumm", info->mm_width, info->mm_height);
        if (ci && crtc->panning_info && crtc->panning_info->width > 0 && ci->mode != None)
            printf(" panning %ux%u+%u+%u", crtc->panning_info->width, crtc->panning_info->height,
                   crtc->panning_info->left, crtc->panning_info->top);
        printf("\n");

        if (verbose) {
            printf("\tIdentifier: 0x%x\n", unsigned(o->output.xid));
            printf("\tTimestamp:  %lu\n", (unsigned long)info->timestamp);
            printf("\tSubpixel:   %s\n", SubpixelName(info->subpixel_order));
            if (ci) {
                int size = XRRGetCrtcGammaSize(dpy, crtc->crtc.xid);
                if (size <= 0) {
                    warning("Failed to get size of gamma for output %s\n", info->name);
                } else if (XRRCrtcGamma* g = XRRGetCrtcGamma(dpy, crtc->crtc.xid)) {
                    float b, rgb[3];
                    if (g->size >= 2) {
                        EstimateGamma(g, &b, rgb);
                        printf("\tGamma:      %.2f:%.2f:%.2f\n", rgb[0], rgb[1], rgb[2]);
                        printf("\tBrightness: %.2f\n", b);
                    }
                    XRRFreeGamma(g);
                } else {
                    warning("Failed to get gamma for output %s\n", info->name);
                }
            }
            printf("\tClones:    ");
            for (int c = 0; c < info->nclone; ++c)
                if (output_t* co = find_output_by_xid(info->clones[c]))
                    printf(" %s", co->output_info ? co->output_info->name : "?");
            printf("\n");
            if (crtc)
                printf("\tCRTC:       %d\n", crtc->crtc.index);
            printf("\tCRTCs:     ");
            for (int c = 0; c < info->ncrtc; ++c)
                if (crtc_t* pc = find_crtc_by_xid(info->crtcs[c]))
                    printf(" %d", pc->crtc.index);
            printf("\n");
            if (crtc && has_1_3) {
                const XTransform& t = crtc->current_transform.transform;
                printf("\tTransform: ");
                for (int r = 0; r < 3; ++r)
                    printf("%s%12f %12f %12f\n", r ? "\t           " : " ",
                           XFixedToDouble(t.matrix[r][0]), XFixedToDouble(t.matrix[r][1]),
                           XFixedToDouble(t.matrix[r][2]));
                if (!crtc->current_transform.filter.empty())
                    printf("\t           filter: %s\n", crtc->current_transform.filter.c_str());
            }
        }
        if (verbose || properties)
            print_output_properties(o);

        RRMode current_mode = (ci && ci->mode != None) ? ci->mode : None;
        if (verbose) {
            for (int m = 0; m < info->nmode; ++m) {
                XRRModeInfo* mode = find_mode_by_xid(info->modes[m]);
                if (!mode)
                    continue;
                printf("  %s (0x%x) %6.3fMHz", mode->name, unsigned(mode->id), mode->dotClock / 1e6);
                for (const auto& f : kModeFlags)
                    if (mode->modeFlags & f.flag)
                        printf(" %s", f.name);
                if (mode->id == current_mode)
                    printf(" *current");
                if (m < info->npreferred)
                    printf(" +preferred");
                printf("\n");
                double hclock = mode->hTotal ? mode->dotClock / double(mode->hTotal) : 0.0;
                printf("        h: width  %4u start %4u end %4u total %4u skew %4u clock %6.2fKHz\n",
                       mode->width, mode->hSyncStart, mode->hSyncEnd, mode->hTotal, mode->hSkew,
                       hclock / 1000);
                printf("        v: height %4u start %4u end %4u total %4u           clock %6.2fHz\n",
                       mode->height, mode->vSyncStart, mode->vSyncEnd, mode->vTotal,
                       ModeRefresh(mode));
            }
        } else {
            std::vector<bool> done(info->nmode, false);
            for (int m = 0; m < info->nmode; ++m) {
                XRRModeInfo* mode = find_mode_by_xid(info->modes[m]);
                if (done[m] || !mode)
                    continue;
                printf("   %-12s", mode->name);
                for (int k = m; k < info->nmode; ++k) {
                    XRRModeInfo* other = find_mode_by_xid(info->modes[k]);
                    if (done[k] || !other || other->width != mode->width ||
                        other->height != mode->height || strcmp(other->name, mode->name))
                        continue;
                    done[k] = true;
                    printf(" %6.2f%c%c", ModeRefresh(other), other->id == current_mode ? '*' : ' ',
                           k < info->npreferred ? '+' : ' ');
                }
                printf("\n");
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------- providers

int XRANDR::list_providers()
{
    XRRProviderResources* pr = XRRGetProviderResources(dpy, root);
    if (!pr)
        return fatal("could not get provider resources\n");
    printf("Providers: number : %d\n", pr->nproviders);
    for (int p = 0; p < pr->nproviders; ++p) {
        XRRProviderInfo* info = XRRGetProviderInfo(dpy, res, pr->providers[p]);
        if (!info)
            continue;
        printf("Provider %d: id: 0x%x cap: 0x%x", p, unsigned(pr->providers[p]), info->capabilities);
        for (int bit = 0; bit < 4; ++bit)
            if (info->capabilities & (1 << bit))
                printf(", %s", capability_name(1 << bit));
        printf(" crtcs: %d outputs: %d associated providers: %d name:%s\n", info->ncrtcs,
               info->noutputs, info->nassociatedproviders, info->name ? info->name : "");
        XRRFreeProviderInfo(info);
    }
    XRRFreeProviderResources(pr);
    return 0;
}

int XRANDR::set_providers()
{
    XRRProviderResources* pr = XRRGetProviderResources(dpy, root);
    if (!pr)
        return fatal("could not get provider resources\n");
    auto known = [&](XID x) {
        for (int p = 0; p < pr->nproviders; ++p)
            if (pr->providers[p] == x)
                return true;
        return false;
    };
    int rc = 0;
    if (!known(XID(provider_xid)))
        rc = fatal("Could not find provider with XID 0x%x\n", unsigned(provider_xid));
    else if (mOpts.set_output_source && output_source_provider_xid &&
             !known(XID(output_source_provider_xid)))
        rc = fatal("Could not find provider with XID 0x%x\n", unsigned(output_source_provider_xid));
    else if (mOpts.set_offload_sink && offload_sink_provider_xid &&
             !known(XID(offload_sink_provider_xid)))
        rc = fatal("Could not find provider with XID 0x%x\n", unsigned(offload_sink_provider_xid));
    else if (!dryrun) {
        if (mOpts.set_output_source)
            XRRSetProviderOutputSource(dpy, provider_xid, output_source_provider_xid);
        if (mOpts.set_offload_sink)
            XRRSetProviderOffloadSink(dpy, provider_xid, offload_sink_provider_xid);
    }
    XRRFreeProviderResources(pr);
    return rc;
}

// ---------------------------------------------------------------- host calls

namespace {

template <typename Name>
int ApplyOne(Name&& name)
{
    XRANDR x;
    name_t n;
    name(&n);
    output_t* o = x.find_output(&n);
    if (!o) {
        o = x.add_output();
        XRANDR::set_name_all(&o->output, &n);
    }
    return x.set_gamma_internal(o, brightness_, gamma_[0], gamma_[1], gamma_[2]);
}

} // namespace

int ApplyDisplayChanges(const char* outputName)
{
    return ApplyOne([&](name_t* n) { XRANDR::set_name_string(n, outputName ? outputName : ""); });
}

int ApplyDisplayChangesToXID(unsigned long XID)
{
    return ApplyOne([&](name_t* n) { XRANDR::set_name_xid(n, XID); });
}

int ApplyDisplayChangesToIndex(int index)
{
    return ApplyOne([&](name_t* n) { XRANDR::set_name_index(n, index); });
}

int ApplyDisplayChangesToAll(int numDisplays)
{
    XRANDR x;
    const float b = std::isfinite(brightness_) ? std::clamp(brightness_, 0.0f, 1.0f) : 1.0f;
    // No screen has this many outputs; the bound keeps a wild count from
    // exhausting memory. Positions past the real outputs are skipped quietly.
    numDisplays = std::min(numDisplays, 4096);
    for (int i = 0; i < numDisplays; ++i) {
        name_t n;
        XRANDR::set_name_index(&n, i);
        output_t* o = x.find_output(&n);
        if (!o) {
            o = x.add_output();
            XRANDR::set_name_all(&o->output, &n);
        }
        o->brightness = b;
        o->gamma.red = std::max(0.0f, gamma_[0]);
        o->gamma.green = std::max(0.0f, gamma_[1]);
        o->gamma.blue = std::max(0.0f, gamma_[2]);
        o->changes |= changes_gamma;
        o->optional = true;
    }
    return x.apply_xrandr_call();
}
