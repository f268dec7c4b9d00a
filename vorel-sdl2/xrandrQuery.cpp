// The query printer: the configuration as the RandR 1.2 interface reports
// it (outputs, modes, properties, and read back from the ramps, gamma and
// brightness), the RandR 1.1 screen sizes (query and set), and the
// providers (list and set). Called by main_xrandr with the run lock held and
// the records probed; prints to standard output, problems through fatal().
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
        if (!o->output_info)
            continue;
        print_output_line(o, primary);
        if (verbose)
            print_output_details(o);
        if (verbose || properties)
            print_output_properties(o);
        print_output_modes(o);
    }
    return 0;
}

// "name connection [primary] [geometry rotation] (possible) size [panning]"
void XRANDR::print_output_line(output_t* o, RROutput primary)
{
    XRROutputInfo* info = o->output_info;
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
}

// Identifier, gamma and brightness, clones, CRTCs and transform (--verbose).
void XRANDR::print_output_details(output_t* o)
{
    XRROutputInfo* info = o->output_info;
    crtc_t* crtc = o->current_crtc_info;
    XRRCrtcInfo* ci = crtc ? crtc->crtc_info : nullptr;
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

// The modes: each in full with --verbose, else one line per name and size.
void XRANDR::print_output_modes(output_t* o)
{
    XRROutputInfo* info = o->output_info;
    crtc_t* crtc = o->current_crtc_info;
    XRRCrtcInfo* ci = crtc ? crtc->crtc_info : nullptr;
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

