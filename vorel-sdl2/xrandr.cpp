// Display control: the host calls, the XRANDR object and its output records,
// and the frame of every run (connection, X error and I/O-error handling,
// the run lock). The other xrandr*.cpp units hold the parts of a run.
#include "xrandrInternal.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

using namespace xrandr_internal;

float brightness_ = 1.0f;
float gamma_[3] = {1.0f, 1.0f, 1.0f};

void SetDisplayBrightness(float brightness)
{
    TRunGuard guard;
    if (std::isfinite(brightness))
        brightness_ = brightness;
}

void SetDisplayGamma(float r, float g, float b)
{
    TRunGuard guard;
    if (std::isfinite(r) && std::isfinite(g) && std::isfinite(b)) {
        gamma_[0] = r;
        gamma_[1] = g;
        gamma_[2] = b;
    }
}

// ---------------------------------------------------------------- run lock

namespace {

std::recursive_mutex& RunMutex()
{
    static std::recursive_mutex m;
    return m;
}

locale_t CLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return c;
}

} // namespace

namespace xrandr_internal {

TRunGuard::TRunGuard()
{
    RunMutex().lock();
    // uselocale is per thread: the host's other threads keep their locale.
    mPrevious = CLocale() ? uselocale(CLocale()) : locale_t(0);
}

TRunGuard::~TRunGuard()
{
    if (mPrevious)
        uselocale(mPrevious);
    RunMutex().unlock();
}

} // namespace xrandr_internal

// ---------------------------------------------------------------- X error traps

namespace {

// Xlib's default handlers end the process, on the first protocol error and
// when the connection breaks. While a run is active, protocol errors on its
// connection are counted and a broken connection is noted in the run; other
// connections go to whatever handlers were there before. The record is
// process-wide, like the handlers, and guarded by the run lock.
struct TErrorTrap {
    Display* dpy = nullptr;
    int* count = nullptr;
    XErrorHandler previous = nullptr;
    XIOErrorHandler previousIO = nullptr;
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

// Xlib calls this first and then the connection's exit handler; returning
// from both leaves the connection dead but the process alive.
int TrapIOError(Display* dpy)
{
    if (gTrap.dpy && dpy == gTrap.dpy) {
        fprintf(stderr, "xrandr: connection to the X server lost\n");
        return 0;
    }
    if (gTrap.previousIO)
        return gTrap.previousIO(dpy);
    return 0;
}

void NoteLostConnection(Display*, void* lost)
{
    *static_cast<bool*>(lost) = true;
}

void InstallTrap(Display* dpy, int* count, bool* lost)
{
    XSetIOErrorExitHandler(dpy, NoteLostConnection, lost);
    gTrap.dpy = dpy;
    gTrap.count = count;
    gTrap.previous = XSetErrorHandler(TrapXError);
    gTrap.previousIO = XSetIOErrorHandler(TrapIOError);
}

void RemoveTrap(Display* dpy)
{
    if (gTrap.dpy != dpy)
        return;
    XSync(dpy, False);   // collect errors of requests still in flight
    XSetErrorHandler(gTrap.previous);
    XSetIOErrorHandler(gTrap.previousIO);
    gTrap = TErrorTrap{};
}

} // namespace

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
    clear_outputs();
    reset_run_state();
}

void XRANDR::reset_run_state()
{
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
    mLost = false;
    mMajor = mMinor = 0;
    mGrabbed = mSizeChanged = false;
    mOldWidth = mOldHeight = mOldWidthMM = mOldHeightMM = 0;
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


// ---------------------------------------------------------------- run frame

int XRANDR::open_and_check(const char* display_name)
{
    dpy = XOpenDisplay(display_name);
    if (!dpy)
        return 1;
    InstallTrap(dpy, &mXErrors, &mLost);
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
    if (mXErrors || mLost)
        rc = 1;
    mXErrors = 0;
    mLost = false;
    return rc;
}

int XRANDR::run_sequence()
{
    // A lost connection answers every request with nothing: stop at the
    // next step rather than report each empty answer.
    int rc = get_crtcs();
    if (!rc && !mLost) rc = get_outputs();
    if (!rc && !mLost && dpi_output) {
        output_t* o = find_output_by_name(dpi_output);
        if (!o || !o->output_info)
            return fatal("cannot find output \"%s\"\n", dpi_output);
        if (o->mode_info && o->output_info->mm_height)
            dpi = 25.4 * o->mode_info->height / double(o->output_info->mm_height);
    }
    if (!rc && !mLost) rc = set_positions();
    if (!rc && !mLost) rc = set_screen_size();
    if (!rc && !mLost) rc = pick_crtcs();
    if (rc || mLost)
        return rc ? rc : 1;
    mark_changing_crtcs();
    set_physical_size();
    rc = set_gamma();
    if (!rc && !mLost) rc = apply();
    return rc;
}

namespace {

// The caller's records as they were before a run, so that the run's
// resolutions (names filled in, modes, positions, merges) do not carry over.
struct TCallerRecords {
    struct TSaved {
        output_t* record;
        output_t copy;
        bool ownRelative;   // relative_to points into the record's own storage
    };
    std::vector<TSaved> saved;

    explicit TCallerRecords(output_t* list)
    {
        for (output_t* o = list; o; o = o->next)
            saved.push_back({o, *o, o->relative_to && o->relative_to == o->relative_name.data()});
    }
};

} // namespace

int XRANDR::apply_xrandr_call()
{
    TRunGuard guard;
    TCallerRecords caller(outputs);
    int rc;
    try {
        rc = open_and_check(nullptr);
        if (!rc && !has_1_2)
            rc = fatal("Server RandR version before 1.2\n");
        if (!rc)
            rc = get_screen(false);
        if (!rc)
            rc = run_sequence();
    } catch (const std::bad_alloc&) {
        rc = fatal("out of memory\n");
    }
    rc = finish(rc);

    // Back to the initial run state: the records the run added go, the
    // caller's are as the caller left them.
    output_t* added = caller.saved.empty() ? outputs : caller.saved.back().record->next;
    while (added) {
        output_t* next = added->next;
        if (added->output_info)
            XRRFreeOutputInfo(added->output_info);
        delete added;
        added = next;
    }
    outputs = nullptr;
    outputs_tail = &outputs;
    for (auto& s : caller.saved) {
        *s.record = std::move(s.copy);
        if (s.ownRelative)
            s.record->relative_to = s.record->relative_name.data();
        s.record->next = nullptr;
        *outputs_tail = s.record;
        outputs_tail = &s.record->next;
    }
    reset_run_state();
    return rc;
}

// ---------------------------------------------------------------- host calls

namespace {

template <typename Name>
int ApplyOne(Name&& name)
{
    TRunGuard guard;   // brightness_ and gamma_ are read under it
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
    TRunGuard guard;
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
