// The apply sequence after probing: positions and the screen size, CRTC
// assignment, the CRTCs that change, the physical size, and applying it all
// under a server grab with a revert when a CRTC refuses its configuration;
// also the user mode operations (--newmode, --rmmode, --addmode, --delmode).
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

// ---------------------------------------------------------------- layout

// The output a relative position names, by name or by XID.
output_t* XRANDR::find_relative(const char* name)
{
    if (!name)
        return nullptr;
    output_t* o = find_output_by_name(const_cast<char*>(name));
    XID xid;
    if ((!o || !o->output_info) && ParseXid(name, &xid))
        o = find_output_by_xid(xid);
    return o;
}

int XRANDR::cannot_find_output(const char* name)
{
    XID xid;
    if (name && ParseXid(name, &xid))
        return fatal("cannot find output 0x%x\n", unsigned(xid));
    return fatal("cannot find output \"%s\"\n", name ? name : "");
}

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
                output_t* rel = find_relative(o->relative_to);
                if (!rel || !rel->output_info)
                    return cannot_find_output(o->relative_to);
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

namespace {

// The resolution of the last screen that showed something, for the process;
// guarded by the run lock.
double gLastRealDpi = 0.0;

} // namespace

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
    if (dpi <= 0)
        dpi = screen_dpi();
    // The server refuses a physical size of 0 mm.
    fb_width_mm = std::max(1, int(25.4 * fb_width / dpi));
    fb_height_mm = std::max(1, int(25.4 * fb_height / dpi));
}

// The resolution of the screen as it is. A screen with every CRTC off keeps
// whatever size turning them off left (1x1 px, 1x1 mm), which says nothing
// about the monitor: then the last real resolution seen, or 96.
double XRANDR::screen_dpi()
{
    bool lit = false;
    for (const auto& c : crtcs)
        lit |= c.crtc_info && c.crtc_info->mode != None;
    const int px = DisplayHeight(dpy, screen), mm = DisplayHeightMM(dpy, screen);
    if (lit && px > 1 && mm > 1) {
        gLastRealDpi = 25.4 * px / mm;
        return gLastRealDpi;
    }
    return gLastRealDpi > 0 ? gLastRealDpi : 96.0;
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
                return cannot_find_output(Describe(u.output).c_str());
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

