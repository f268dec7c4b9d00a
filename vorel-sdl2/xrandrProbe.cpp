// Probing: the screen resources, every CRTC and every output read from the
// server into the run's records, the named records matched against the
// outputs, and each output's requested settings resolved against what the
// server offers (CRTC, mode, position, rotation, transform, panning).
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
        // The same output named again (by name and by XID): one record.
        for (output_t* q = output->next; q; q = q->next)
            if (!q->found && names_match(&q->output, &name))
                merge_output(output, q);
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

// Later settings win, change by change; the merged record drops out of the
// run (found, without an output, without changes).
void XRANDR::merge_output(output_t* into, output_t* from)
{
    const int c = from->changes;
    if (c & changes_crtc)
        into->crtc = from->crtc;
    if (c & changes_mode)
        into->mode = from->mode;
    if (c & changes_relation) {
        into->relation = from->relation;
        into->relative_name = from->relative_name;
        into->relative_to = from->relative_to == from->relative_name.data()
                                ? into->relative_name.data()
                                : from->relative_to;
    }
    if (c & changes_position) {
        into->x = from->x;
        into->y = from->y;
    }
    if (c & changes_rotation)
        into->rotation = (into->rotation & 0x30) | (from->rotation & 0xf);
    if (c & changes_reflection)
        into->rotation = (into->rotation & 0xf) | (from->rotation & 0x30);
    if (c & changes_automatic)
        into->automatic = from->automatic;
    if (c & changes_refresh)
        into->refresh = from->refresh;
    if (c & changes_property)
        into->props.insert(into->props.end(), from->props.begin(), from->props.end());
    if (c & changes_transform) {
        into->transform = from->transform;
        into->scale_from_w = from->scale_from_w;
        into->scale_from_h = from->scale_from_h;
    }
    if (c & changes_panning)
        into->panning = from->panning;
    if (c & changes_gamma) {
        // --gamma and --brightness share the bit: take what was given.
        if (from->gamma.red != 0.0f || from->gamma.green != 0.0f || from->gamma.blue != 0.0f)
            into->gamma = from->gamma;
        if (from->brightness != 1.0f || !(into->changes & changes_gamma))
            into->brightness = from->brightness;
    }
    if (c & changes_primary)
        into->primary = from->primary;
    into->changes |= c;
    into->optional = into->optional && from->optional;
    from->changes = changes_none;
    from->found = true;
}

// The settings of one output resolved against what the server offers: its
// CRTC here, then its mode and its geometry.
int XRANDR::set_output_info(output_t* output, RROutput xid, XRROutputInfo* info)
{
    const char* name = info->name;
    crtc_t* current = output->current_crtc_info;
    (void)xid;

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

    if (int rc = resolve_mode(output))
        return rc;
    return resolve_geometry(output);
}

// The mode the output is to show (null: off), from --auto, --mode,
// --preferred, --rate or the current one.
int XRANDR::resolve_mode(output_t* output)
{
    XRROutputInfo* info = output->output_info;
    const char* name = info->name;
    crtc_t* current = output->current_crtc_info;

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

    return 0;
}

// Position, rotation and reflection, transform and panning: as asked, or
// as they are now.
int XRANDR::resolve_geometry(output_t* output)
{
    XRROutputInfo* info = output->output_info;
    const char* name = info->name;
    crtc_t* current = output->current_crtc_info;

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

    return 0;
}

