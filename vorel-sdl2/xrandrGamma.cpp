// Gamma and brightness: the ramp arithmetic, storing a request in an output
// record, writing the ramps of every marked output to its CRTC, and reading
// the settings back from a ramp for the query.
#include "xrandrInternal.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

using namespace xrandr_internal;

// ---------------------------------------------------------------- gamma

bool XRANDR::gamma_ramp(int size, float brightness, float red, float green, float blue,
                        unsigned short* r, unsigned short* g, unsigned short* b)
{
    if (size < 2 || size > 65536 || !r || !g || !b)
        return false;
    if (!std::isfinite(brightness) || brightness < 0)
        brightness = brightness < 0 ? 0.0f : 1.0f;   // +inf and NaN: full, below 0: blank
    const float gammas[3] = {red, green, blue};
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
        // 0 means unset, as in the record.
        float e = gammas[c] == 0.0f ? 1.0f : 1.0f / gammas[c];
        if (std::isnan(e) || e < 0)
            e = 1.0f;
        else if (std::isinf(e))
            e = FLT_MAX;   // a gamma so small that 1/g overflows: the curve's limit, dark

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
        if (mLost)
            return 1;   // the server went away; nothing more to say per output
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


namespace xrandr_internal {

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

} // namespace xrandr_internal
