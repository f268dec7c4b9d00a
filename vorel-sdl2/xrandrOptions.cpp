// The command line: the option parser, which fills the run's fields and
// output records from an xrandr argument vector, and main_xrandr, which runs
// what was asked in the order query-independent actions, 1.2 changes, 1.1
// changes, query.
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

using namespace xrandr_internal;

// ---------------------------------------------------------------- command line

namespace {

// "a,b,c,d,e,f,g,h,i" or "none".
bool ParseTransformArg(const char* v, transform_t* t)
{
    if (!v)
        return false;
    if (!strcmp(v, "none")) {
        InitTransform(t);
        return true;
    }
    double m[9];
    std::string s = v;
    size_t start = 0;
    for (int k = 0; k < 9; ++k) {
        size_t comma = s.find(',', start);
        if ((k < 8) != (comma != std::string::npos))
            return false;
        std::string part =
            s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!ParseDouble(part.c_str(), &m[k]))
            return false;
        start = comma + 1;
    }
    SetTransformMatrix(t, m);
    return true;
}

// wxh[+x+y[/track:wxh+x+y[/border:l/t/r/b]]]: only whole groups, nothing after.
bool ParsePanningArg(const char* v, XRRPanning* out)
{
    if (!v)
        return false;
    XRRPanning p{};
    int l, t, w, h, tl, tt, tw, th, bl, bt, br, bb, n = 0;
    int c = sscanf(v, "%dx%d+%d+%d/%dx%d+%d+%d/%d/%d/%d/%d%n", &w, &h, &l, &t, &tw, &th, &tl,
                   &tt, &bl, &bt, &br, &bb, &n);
    int full = 0;
    if (c == 12 && !v[n]) {
        full = 12;
    } else {
        int n2 = 0, n4 = 0, n8 = 0;
        if (sscanf(v, "%dx%d+%d+%d/%dx%d+%d+%d%n", &w, &h, &l, &t, &tw, &th, &tl, &tt, &n8) == 8 &&
            n8 && !v[n8])
            full = 8;
        else if (sscanf(v, "%dx%d+%d+%d%n", &w, &h, &l, &t, &n4) == 4 && n4 && !v[n4])
            full = 4;
        else if (sscanf(v, "%dx%d%n", &w, &h, &n2) == 2 && n2 && !v[n2])
            full = 2;
    }
    if (!full || w < 0 || h < 0)
        return false;
    p.width = w;
    p.height = h;
    if (full >= 4) {
        if (l < 0 || t < 0)
            return false;
        p.left = l;
        p.top = t;
    }
    if (full >= 8) {
        if (tw < 0 || th < 0 || tl < 0 || tt < 0)
            return false;
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
    *out = p;
    return true;
}

} // namespace

// The argument vector as the parser walks it: is() tests the option being
// parsed, next() takes its arguments. A null entry is handed out as a
// missing argument.
struct XRANDR::TArgCursor {
    int argc;
    char** argv;
    int i;
    const char* option = nullptr;

    const char* current() const { return argv[i]; }
    const char* next() { return i + 1 < argc ? argv[++i] : nullptr; }
    const char* peek() const { return i + 1 < argc ? argv[i + 1] : nullptr; }
    void skip() { ++i; }
    bool is(std::initializer_list<const char*> names) const
    {
        for (const char* n : names)
            if (!strcmp(option, n))
                return true;
        return false;
    }
};

int XRANDR::parse_args(int argc, char** argv)
{
    if (argc > 0 && !argv)
        return usage();
    if (argc > 0 && argv[0]) {
        mOpts.program_name = argv[0];
        program_name = mOpts.program_name.data();
    }
    output_t* cur = nullptr;
    TArgCursor args{argc, argv, 1};
    for (; args.i < argc; ++args.i) {
        args.option = args.current();
        if (!args.option)
            return usage();
        int rc = cur ? parse_output_option(args, cur) : kNotAnOutputOption;
        if (rc == kNotAnOutputOption)
            rc = parse_global_option(args, &cur);
        if (rc)
            return rc;
    }
    return 0;
}

// Options after "--output": 0 taken, 1 usage error, kNotAnOutputOption.
int XRANDR::parse_output_option(TArgCursor& args, output_t* cur)
{
    if (args.is({"--auto"})) {
        cur->automatic = true;
        cur->changes |= changes_automatic;
    } else if (args.is({"--mode"})) {
        const char* v = args.next();
        init_name(&cur->mode);
        if (!v || !set_name(&cur->mode, v, name_string | name_xid))
            return usage();
        cur->changes |= changes_mode;
    } else if (args.is({"--preferred"})) {
        init_name(&cur->mode);
        set_name_preferred(&cur->mode);
        cur->changes |= changes_mode;
    } else if (args.is({"--pos"})) {
        if (!ParsePair(args.next(), &cur->x, &cur->y, ParseInt))
            return usage();
        cur->changes |= changes_position;
    } else if (args.is({"--rate", "--refresh", "-r"})) {
        if (!ParseDouble(args.next(), &cur->refresh) || cur->refresh <= 0)
            return usage();
        cur->changes |= changes_refresh;
    } else if (args.is({"--reflect", "--reflection"})) {
        Rotation r;
        const char* v = args.next();
        if (!v || !ParseReflection(v, &r))
            return usage();
        cur->rotation = (cur->rotation & 0xf) | r;
        cur->changes |= changes_reflection;
    } else if (args.is({"--rotate", "--rotation"})) {
        Rotation r;
        const char* v = args.next();
        if (!v || !ParseRotation(v, &r))
            return usage();
        cur->rotation = (cur->rotation & 0x30) | r;
        cur->changes |= changes_rotation;
    } else if (args.is({"--left-of", "--right-of", "--above", "--below", "--same-as"})) {
        const char* v = args.next();
        if (!v || !*v)
            return usage();
        cur->relation = args.is({"--left-of"})    ? relation_left_of
                        : args.is({"--right-of"}) ? relation_right_of
                        : args.is({"--above"})    ? relation_above
                        : args.is({"--below"})    ? relation_below
                                             : relation_same_as;
        cur->relative_name = v;
        cur->relative_to = cur->relative_name.data();
        cur->changes |= changes_relation;
    } else if (args.is({"--set"})) {
        const char* p = args.next();
        const char* v = args.next();
        if (!p || !v || !*p)
            return usage();
        cur->props.push_back({p, v});
        cur->changes |= changes_property;
    } else if (args.is({"--scale"})) {
        double sx, sy;
        if (!ParsePair(args.next(), &sx, &sy, ParseDouble) || sx <= 0 || sy <= 0)
            return usage();
        const double m[9] = {sx, 0, 0, 0, sy, 0, 0, 0, 1};
        SetTransformMatrix(&cur->transform, m);
        cur->scale_from_w = cur->scale_from_h = 0;
        cur->changes |= changes_transform;
    } else if (args.is({"--scale-from"})) {
        if (!ParsePair(args.next(), &cur->scale_from_w, &cur->scale_from_h, ParseInt) ||
            cur->scale_from_w <= 0 || cur->scale_from_h <= 0)
            return usage();
        cur->changes |= changes_transform;
    } else if (args.is({"--transform"})) {
        if (!ParseTransformArg(args.next(), &cur->transform))
            return usage();
        cur->scale_from_w = cur->scale_from_h = 0;
        cur->changes |= changes_transform;
    } else if (args.is({"--off"})) {
        init_name(&cur->mode);
        set_name_xid(&cur->mode, None);
        init_name(&cur->crtc);
        set_name_xid(&cur->crtc, None);
        cur->changes |= changes_mode;
        cur->changes &= ~changes_crtc;
    } else if (args.is({"--crtc"})) {
        const char* v = args.next();
        init_name(&cur->crtc);
        if (!v || !set_name(&cur->crtc, v, name_xid | name_index))
            return usage();
        cur->changes |= changes_crtc;
    } else if (args.is({"--panning"})) {
        if (!ParsePanningArg(args.next(), &cur->panning))
            return usage();
        cur->changes |= changes_panning;
    } else if (args.is({"--gamma"})) {
        const char* v = args.next();
        float r, g, b;
        int n = 0;
        if (!v || sscanf(v, "%f:%f:%f%n", &r, &g, &b, &n) != 3 || v[n] || !std::isfinite(r) ||
            !std::isfinite(g) || !std::isfinite(b) || r < 0 || g < 0 || b < 0)
            return usage();
        cur->gamma.red = r;
        cur->gamma.green = g;
        cur->gamma.blue = b;
        cur->changes |= changes_gamma;
    } else if (args.is({"--brightness"})) {
        double v;
        if (!ParseDouble(args.next(), &v) || v < 0)
            return usage();
        cur->brightness = float(v);
        cur->changes |= changes_gamma;
    } else if (args.is({"--primary"})) {
        cur->primary = true;
        cur->changes |= changes_primary;
    } else {
        return kNotAnOutputOption;
    }
    mOpts.set_1_2 = true;
    return 0;
}

int XRANDR::parse_global_option(TArgCursor& args, output_t** current)
{
    output_t*& cur = *current;
    if (args.is({"-display", "-d"})) {
        const char* v = args.next();
        if (!v)
            return usage();
        mOpts.display_name = v;
        mOpts.has_display_name = true;
    } else if (args.is({"-help", "--help"})) {
        return usage();
    } else if (args.is({"--verbose"})) {
        verbose = 1;
    } else if (args.is({"--current"})) {
        mOpts.current = true;
    } else if (args.is({"--dryrun"})) {
        dryrun = 1;
    } else if (args.is({"--nograb"})) {
        grab_server = 0;
    } else if (args.is({"--prop", "--props", "--madprops", "--properties"})) {
        properties = 1;
        mOpts.query = true;
    } else if (args.is({"-q", "--query"})) {
        mOpts.query = true;
    } else if (args.is({"--q1"})) {
        mOpts.query = mOpts.query_1 = true;
    } else if (args.is({"--q12"})) {
        mOpts.query = true;
        mOpts.query_1 = false;
    } else if (args.is({"-v", "--version"})) {
        mOpts.version = true;
    } else if (args.is({"-x"})) {
        mOpts.reflection |= RR_Reflect_X;
        mOpts.reflection_set = mOpts.set_1_1 = true;
    } else if (args.is({"-y"})) {
        mOpts.reflection |= RR_Reflect_Y;
        mOpts.reflection_set = mOpts.set_1_1 = true;
    } else if (args.is({"-o", "--orientation"})) {
        const char* v = args.next();
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
    } else if (args.is({"-s", "--size"})) {
        const char* v = args.next();
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
    } else if (args.is({"-r", "--rate", "--refresh"})) {
        if (!ParseDouble(args.next(), &mOpts.rate) || mOpts.rate <= 0)
            return usage();
        mOpts.set_1_1 = true;
    } else if (args.is({"--screen"})) {
        if (!ParseNonNegInt(args.next(), &screen))
            return usage();
    } else if (args.is({"--fb"})) {
        if (!ParsePair(args.next(), &fb_width, &fb_height, ParseInt) || fb_width <= 0 ||
            fb_height <= 0)
            return usage();
        mOpts.set_1_2 = true;
    } else if (args.is({"--fbmm"})) {
        if (!ParsePair(args.next(), &fb_width_mm, &fb_height_mm, ParseInt) || fb_width_mm <= 0 ||
            fb_height_mm <= 0)
            return usage();
        mOpts.set_1_2 = true;
    } else if (args.is({"--dpi"})) {
        const char* v = args.next();
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
    } else if (args.is({"--output"})) {
        const char* v = args.next();
        name_t n;
        if (!v || !set_name(&n, v, name_string | name_xid))
            return usage();
        cur = find_output(&n);
        if (!cur) {
            cur = add_output();
            set_name_all(&cur->output, &n);
        }
        mOpts.set_1_2 = true;
    } else if (args.is({"--auto"})) {
        automatic = 1;
        mOpts.set_1_2 = true;
    } else if (args.is({"--noprimary"})) {
        no_primary = 1;
        mOpts.set_1_2 = true;
    } else {
        return parse_mode_option(args);
    }
    return 0;
}

// User modes and providers; anything else is a usage error.
int XRANDR::parse_mode_option(TArgCursor& args)
{
    if (args.is({"--newmode"})) {
        if (int rc = parse_newmode(args))
            return rc;
    } else if (args.is({"--rmmode"})) {
        umode_t u;
        u.action = umode_destroy;
        const char* v = args.next();
        if (!v || !set_name(&u.name, v, name_string | name_xid))
            return usage();
        umodes.push_back(std::move(u));
    } else if (args.is({"--addmode", "--delmode"})) {
        umode_t u;
        u.action = args.is({"--addmode"}) ? umode_add : umode_delete;
        const char* o = args.next();
        const char* m = args.next();
        if (!o || !m || !set_name(&u.output, o, name_string | name_xid) ||
            !set_name(&u.name, m, name_string | name_xid))
            return usage();
        umodes.push_back(std::move(u));
    } else if (args.is({"--listproviders"})) {
        providers = 1;
    } else if (args.is({"--setprovideroutputsource", "--setprovideroffloadsink"})) {
        XID p, s;
        if (!ParseXid(args.next(), &p) || !ParseXid(args.next(), &s) || p == 0)
            return usage();
        provider_xid = int(p);
        if (args.is({"--setprovideroutputsource"})) {
            output_source_provider_xid = int(s);
            mOpts.set_output_source = true;
        } else {
            offload_sink_provider_xid = int(s);
            mOpts.set_offload_sink = true;
        }
    } else {
        return usage();
    }
    return 0;
}

// --newmode name clock hdisp hsync-start hsync-end htotal vdisp vsync-start
// vsync-end vtotal [flags]
int XRANDR::parse_newmode(TArgCursor& args)
{
    umode_t u;
    u.action = umode_create;
    const char* name = args.next();
    double clock;
    int v[8];
    if (!name || !*name || !ParseDouble(args.next(), &clock) || clock <= 0)
        return usage();
    for (int& n : v)
        if (!ParseNonNegInt(args.next(), &n))
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
    while (args.peek()) {
        bool flag = false;
        for (const auto& f : kModeFlags)
            if (!strcasecmp(args.peek(), f.name)) {
                u.mode.modeFlags |= f.flag;
                flag = true;
            }
        if (!flag)
            break;
        args.skip();
    }
    umodes.push_back(std::move(u));
    return 0;
}

int XRANDR::main_xrandr(int argc, char** argv)
{
    TRunGuard guard;
    reset();
    // Nothing of this run stays with the object; a host may keep it for days.
    struct TDrop {
        XRANDR* x;
        ~TDrop() { x->reset(); }
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

