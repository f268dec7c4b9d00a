// Image dimensions from file headers, read before anything is decoded, and
// the size bound every image load is held to.
#ifndef VOREL_NOGFX

#include "MyUtilsImages.h"

#include <SDL2/SDL_rwops.h>

#include <cstdio>
#include <cstring>

namespace MyUtils {

namespace {

Uint32 BE16(const Uint8* p) { return Uint32(p[0]) << 8 | p[1]; }
Uint32 BE32(const Uint8* p) { return Uint32(p[0]) << 24 | Uint32(p[1]) << 16 | Uint32(p[2]) << 8 | p[3]; }
Uint32 LE16(const Uint8* p) { return Uint32(p[1]) << 8 | p[0]; }
Uint32 LE24(const Uint8* p) { return Uint32(p[2]) << 16 | Uint32(p[1]) << 8 | p[0]; }
Uint32 LE32(const Uint8* p) { return Uint32(p[3]) << 24 | Uint32(p[2]) << 16 | Uint32(p[1]) << 8 | p[0]; }

bool ReadAt(SDL_RWops* rw, Sint64 at, Uint8* buf, size_t n)
{
    return SDL_RWseek(rw, at, RW_SEEK_SET) == at && SDL_RWread(rw, buf, 1, n) == n;
}

// The frame header (SOFn) lies after any number of segments (EXIF and
// colour profiles among them), which are skipped by their lengths.
bool JpegSize(SDL_RWops* rw, long long& w, long long& h)
{
    Sint64 at = 2;
    Uint8 m[9];
    for (int segments = 0; segments < 4096; ++segments) {
        if (!ReadAt(rw, at, m, 4) || m[0] != 0xFF)
            return false;
        const Uint8 marker = m[1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (!ReadAt(rw, at, m, 9))
                return false;
            h = BE16(m + 5);
            w = BE16(m + 7);
            return true;
        }
        const Uint32 length = BE16(m + 2);
        if (length < 2 || marker == 0xD9 || marker == 0xDA)
            return false; // image data or end without a frame header
        at += 2 + length;
    }
    return false;
}

} // namespace

bool ImageHeaderSize(SDL_RWops* rw, long long& w, long long& h)
{
    const Sint64 start = SDL_RWtell(rw);
    Uint8 b[30];
    std::memset(b, 0, sizeof b);
    bool known = false;
    if (ReadAt(rw, start, b, sizeof b) || ReadAt(rw, start, b, 12)) {
        if (std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0 && std::memcmp(b + 12, "IHDR", 4) == 0) {
            w = BE32(b + 16);
            h = BE32(b + 20);
            known = true;
        } else if (std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0) {
            w = LE16(b + 6);
            h = LE16(b + 8);
            known = true;
        } else if (b[0] == 'B' && b[1] == 'M') {
            const Uint32 header = LE32(b + 14);
            if (header == 12) {
                w = LE16(b + 18);
                h = LE16(b + 20);
            } else {
                w = static_cast<Sint32>(LE32(b + 18));
                h = static_cast<Sint32>(LE32(b + 22));
            }
            w = w < 0 ? -w : w;
            h = h < 0 ? -h : h; // negative: stored top-down
            known = true;
        } else if (b[0] == 0xFF && b[1] == 0xD8) {
            known = JpegSize(rw, w, h);
        } else if (std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WEBP", 4) == 0) {
            if (std::memcmp(b + 12, "VP8X", 4) == 0) {
                w = LE24(b + 24) + 1LL;
                h = LE24(b + 27) + 1LL;
                known = true;
            } else if (std::memcmp(b + 12, "VP8L", 4) == 0 && b[20] == 0x2F) {
                const Uint32 bits = LE32(b + 21);
                w = (bits & 0x3FFF) + 1LL;
                h = ((bits >> 14) & 0x3FFF) + 1LL;
                known = true;
            } else if (std::memcmp(b + 12, "VP8 ", 4) == 0) {
                w = LE16(b + 26) & 0x3FFF;
                h = LE16(b + 28) & 0x3FFF;
                known = true;
            }
        }
    }
    SDL_RWseek(rw, start, RW_SEEK_SET);
    return known;
}

bool ImageWithinBounds(const char* file, long long w, long long h)
{
    if (w <= kMaxImageSide && h <= kMaxImageSide && w * h * 4 <= kMaxImageBytes)
        return true;
    std::printf("APP WARNING: image %s is %lldx%lld, above %d pixels a side or %lld MiB decoded: not loaded\n",
                file, w, h, kMaxImageSide, kMaxImageBytes >> 20);
    return false;
}

} // namespace MyUtils

#endif
