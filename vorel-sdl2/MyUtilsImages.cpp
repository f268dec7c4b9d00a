#include "MyUtilsImages.h"

#include "TAppGuiModule.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace MyUtils {

std::string mImageDir;
SDLTextures loaderTexture;
SDLSurfaces loaderSurface;

namespace {

const char* const kFallbackExtensions[] = {".png", ".jpg", ".jpeg", ".webp", ".tiff", ".gif", ".exif", ".bmp"};

// Loads path, or else the same name with each fallback extension. Load is
// called with a file name and returns the image or null.
template <typename Image, typename LoadFn>
Image* LoadWithFallback(const std::string& path, LoadFn&& load)
{
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.find_last_of('.');
    // A dot in a folder name, or one that starts the file name (".splash"),
    // does not start an extension.
    if (dot == std::string::npos || dot <= nameStart)
        dot = path.size();
    const std::string base = path.substr(0, dot);

    Image* image = load(path.c_str());
    std::string loaded = path;
    // Without a file name ("" or "dir/") there is nothing to add an
    // extension to.
    if (!image && nameStart < path.size()) {
        for (const char* ext : kFallbackExtensions) {
            std::string candidate = base + ext;
            if (candidate == path)
                continue;
            image = load(candidate.c_str());
            if (image) {
                loaded = std::move(candidate);
                break;
            }
        }
    }
    if (!image) {
        std::printf("\n******************* Unable to load image file %s!!!\n\n", base.c_str());
        return nullptr;
    }
    if (loaded != path)
        std::printf("\n******************* Tried to load image file %s, but loaded %s!!!\n\n", path.c_str(),
                    loaded.c_str());
    return image;
}

// Reading past the end of the file yields zero bytes. Some decoders ignore
// short reads and would go round for ever on the stale buffer of a truncated
// file; zeros make them fail at once (no valid chunk, block or marker is all
// zeros).
size_t ZeroFilledRead(SDL_RWops* rw, void* ptr, size_t size, size_t maxnum)
{
    auto* inner = static_cast<SDL_RWops*>(rw->hidden.unknown.data1);
    const size_t wanted = size * maxnum;
    size_t got = 0;
    while (got < wanted) {
        const size_t n = SDL_RWread(inner, static_cast<char*>(ptr) + got, 1, wanted - got);
        if (n == 0)
            break;
        got += n;
    }
    if (got < wanted)
        std::memset(static_cast<char*>(ptr) + got, 0, wanted - got);
    return size ? got / size : 0;
}

Sint64 InnerSize(SDL_RWops* rw) { return SDL_RWsize(static_cast<SDL_RWops*>(rw->hidden.unknown.data1)); }

Sint64 InnerSeek(SDL_RWops* rw, Sint64 offset, int whence)
{
    return SDL_RWseek(static_cast<SDL_RWops*>(rw->hidden.unknown.data1), offset, whence);
}

size_t NoWrite(SDL_RWops*, const void*, size_t, size_t) { return 0; }

int CloseBoth(SDL_RWops* rw)
{
    int rc = SDL_RWclose(static_cast<SDL_RWops*>(rw->hidden.unknown.data1));
    SDL_FreeRW(rw);
    return rc;
}

// Decodes one file; only regular files are opened (a FIFO would block).
SDL_Surface* DecodeFile(const char* file)
{
    struct stat st {};
    if (stat(file, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    SDL_RWops* inner = SDL_RWFromFile(file, "rb");
    if (!inner)
        return nullptr;
    SDL_RWops* rw = SDL_AllocRW();
    if (!rw) {
        SDL_RWclose(inner);
        return nullptr;
    }
    rw->type = SDL_RWOPS_UNKNOWN;
    rw->hidden.unknown.data1 = inner;
    rw->size = InnerSize;
    rw->seek = InnerSeek;
    rw->read = ZeroFilledRead;
    rw->write = NoWrite;
    rw->close = CloseBoth;
    // The extension is the decoder hint for formats without a signature.
    const char* dot = std::strrchr(file, '.');
    const char* slash = std::strrchr(file, '/');
    const char* type = dot && (!slash || dot > slash) ? dot + 1 : nullptr;
    long long w = 0, h = 0;
    if (ImageHeaderSize(rw, w, h) && !ImageWithinBounds(file, w, h)) {
        SDL_RWclose(rw);
        return nullptr;
    }
    SDL_Surface* s = IMG_LoadTyped_RW(rw, 1, type);
    if (s && !ImageWithinBounds(file, s->w, s->h)) {
        SDL_FreeSurface(s);
        return nullptr;
    }
    return s;
}

} // namespace

SDL_Texture* LoadTexture(SDL_Renderer* renderer, const std::string& path)
{
    if (!vorel_sdl2::TAppGuiModule::OnRendererThread("LoadTexture"))
        return nullptr;
    return LoadWithFallback<SDL_Texture>(path, [renderer](const char* file) -> SDL_Texture* {
        if (!renderer)
            return nullptr;
        SDL_Surface* s = DecodeFile(file);
        if (!s)
            return nullptr;
        SDL_Texture* t = SDL_CreateTextureFromSurface(renderer, s);
        SDL_FreeSurface(s);
        return t;
    });
}

SDL_Surface* LoadSurface(const std::string& path)
{
    return LoadWithFallback<SDL_Surface>(path, [](const char* file) { return DecodeFile(file); });
}

SDL_Texture* SDLTextures::CreateNew(const std::string& Name) { return LoadTexture(pRenderer, ImageDir() + Name); }

void SDLTextures::Destroy()
{
    for (Element& e : mMappedData)
        if (e.Data)
            SDL_DestroyTexture(e.Data);
    mMappedData.clear();
}

SDL_Texture* SDLTextures::Get(SDL_Renderer* renderer, const std::string& Name)
{
    pRenderer = renderer;
    return GetData(Name);
}

SDL_Surface* SDLSurfaces::CreateNew(const std::string& Name) { return LoadSurface(ImageDir() + Name); }

void SDLSurfaces::Destroy()
{
    for (Element& e : mMappedData)
        if (e.Data)
            SDL_FreeSurface(e.Data);
    mMappedData.clear();
}

SDL_Surface* SDLSurfaces::Get(const std::string& Name) { return GetData(Name); }

SDL_Texture* GetTexture(SDL_Renderer* renderer, const std::string& Name) { return loaderTexture.Get(renderer, Name); }

SDL_Surface* GetSurface(const std::string& Name) { return loaderSurface.Get(Name); }

void DestroyImages()
{
    loaderSurface.Destroy();
    loaderTexture.Destroy();
}

const std::string& ImageDir() { return mImageDir; }

void SetImageDir(const std::string& Dir) { mImageDir = Dir; }

Uint32 GetPixel(Uint8* pixelStart, const Uint8 bytesPerPixel)
{
    switch (bytesPerPixel) {
    case 1:
        return *pixelStart;
    case 2: {
        Uint16 v;
        std::memcpy(&v, pixelStart, 2);
        return v;
    }
    case 3:
        return Uint32(pixelStart[0]) | Uint32(pixelStart[1]) << 8 | Uint32(pixelStart[2]) << 16;
    case 4: {
        Uint32 v;
        std::memcpy(&v, pixelStart, 4);
        return v;
    }
    default:
        return 0;
    }
}

void SetPixel(Uint8* pixelStart, const Uint8 bytesPerPixel, Uint8* pixelValue)
{
    if (bytesPerPixel >= 1 && bytesPerPixel <= 4)
        std::memcpy(pixelStart, pixelValue, bytesPerPixel);
}

namespace {

Uint8 GreyOf(Uint8 r, Uint8 g, Uint8 b)
{
    const double y = 0.2126 * (r / 255.0) + 0.7152 * (g / 255.0) + 0.0722 * (b / 255.0);
    const double v = y > 0.0031308 ? 1.055 * std::pow(y, 1.0 / 2.4) - 0.055 : 12.92 * y;
    const long grey = std::lround(v * 255.0);
    return static_cast<Uint8>(grey < 0 ? 0 : grey > 255 ? 255 : grey);
}

} // namespace

void SDL_ConvertToGrayscale(SDL_Surface* surf)
{
    if (!surf || !surf->format)
        return;
    // Lock before looking at the pixels: a run-length encoded surface has
    // none until it is locked (decoded).
    const bool mustLock = SDL_MUSTLOCK(surf);
    if (mustLock && SDL_LockSurface(surf) != 0)
        return;
    if (!surf->pixels) {
        if (mustLock)
            SDL_UnlockSurface(surf);
        return;
    }

    const SDL_PixelFormat* fmt = surf->format;
    const Uint8 bpp = fmt->BytesPerPixel;
    // Colour-key pixels are compared the way blits compare them: by the
    // colour bits only (palette formats: by index).
    Uint32 key = 0;
    const bool keyed = SDL_GetColorKey(surf, &key) == 0;
    const Uint32 keyMask = fmt->palette ? 0xFFFFFFFFu : (fmt->Rmask | fmt->Gmask | fmt->Bmask);
    key &= keyMask;

    // Neighbouring pixels are mostly equal: remember the last conversion.
    bool haveLast = false;
    Uint32 lastIn = 0, lastOut = 0;
    Uint8* row = static_cast<Uint8*>(surf->pixels);
    for (int y = 0; y < surf->h; ++y, row += surf->pitch) {
        Uint8* p = row;
        for (int x = 0; x < surf->w; ++x, p += bpp) {
            const Uint32 pixel = GetPixel(p, bpp);
            if (keyed && (pixel & keyMask) == key)
                continue;
            if (!haveLast || pixel != lastIn) {
                Uint8 r, g, b, a;
                SDL_GetRGBA(pixel, fmt, &r, &g, &b, &a);
                const Uint8 grey = GreyOf(r, g, b);
                lastIn = pixel;
                lastOut = SDL_MapRGBA(fmt, grey, grey, grey, a);
                haveLast = true;
            }
            Uint32 out = lastOut;
            SetPixel(p, bpp, reinterpret_cast<Uint8*>(&out));
        }
    }
    if (mustLock)
        SDL_UnlockSurface(surf);
}

} // namespace MyUtils
