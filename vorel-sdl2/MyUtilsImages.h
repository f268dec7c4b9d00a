// Image helpers of the full build: loading files with a fallback over the
// usual extensions, the process-wide caches of textures and surfaces keyed by
// name, single-pixel access and an in-place greyscale conversion.
//
// A host names its images relative to ImageDir() (SetImageDir("img/"), then
// GetTexture(renderer, "logo")) and keeps the returned pointers only until
// DestroyImages(), which the GUI module calls in its Destroy. LoadTexture and
// LoadSurface are the uncached loaders; their results belong to the caller.
//
// Loading tries the path as given, then the same name with each of .png,
// .jpg, .jpeg, .webp, .tiff, .gif, .exif and .bmp in place of its extension.
// Only a dot inside the last path component (and not its first character)
// starts an extension, so "/opt/app-1.2/img/logo" tries
// "/opt/app-1.2/img/logo.png" and ".splash" tries ".splash.png". Only
// regular files are opened, and a truncated file reads as zeros past its end
// so that the decoder fails instead of spinning. Failures print a line on
// standard output and yield null; nothing is thrown.
//
// Threads: the caches have no lock. Use them on the draw thread (textures
// belong to its renderer anyway) or under the draw lock.
#pragma once

#ifndef VOREL_NOGFX

#include "TMappedData.h"

#include <SDL2/SDL_render.h>
#include <SDL2/SDL_rwops.h>
#include <SDL2/SDL_surface.h>

#include <string>

namespace MyUtils {

class SDLTextures : public TMappedData<SDL_Texture*> {
public:
    // The renderer the next load uses (set by Get).
    SDL_Renderer* pRenderer = nullptr;

    SDL_Texture* CreateNew(const std::string& Name) override;
    // Destroys every cached texture and empties the cache.
    void Destroy();
    // A cached texture is returned whatever renderer is passed.
    SDL_Texture* Get(SDL_Renderer* renderer, const std::string& Name);
};

class SDLSurfaces : public TMappedData<SDL_Surface*> {
public:
    SDL_Surface* CreateNew(const std::string& Name) override;
    // Frees every cached surface and empties the cache.
    void Destroy();
    SDL_Surface* Get(const std::string& Name);
};

// Prefix of every cached name, joined by plain concatenation: a directory
// must end with "/".
extern std::string mImageDir;
extern SDLTextures loaderTexture;
extern SDLSurfaces loaderSurface;

// Every load is held to a bound, so that a small file cannot decode to an
// image that exhausts a terminal's memory: at most kMaxImageSide pixels a
// side and kMaxImageBytes at 4 bytes a pixel. PNG, JPEG, GIF, BMP and WebP
// files are measured from their headers before anything is decoded; other
// formats (TIFF and the rest) are measured after decoding. A file above the
// bound is refused with an "APP WARNING: " line, as if it did not load.
constexpr int kMaxImageSide = 32768;
constexpr long long kMaxImageBytes = 256LL << 20;
// Width and height from the header at the stream's position (which is kept);
// false for a format not read that way or a header cut short.
bool ImageHeaderSize(SDL_RWops* rw, long long& w, long long& h);
// True within the bound; otherwise prints the warning for file.
bool ImageWithinBounds(const char* file, long long w, long long h);

// Uncached loads with the extension fallback; null on failure.
SDL_Texture* LoadTexture(SDL_Renderer* renderer, const std::string& path);
SDL_Surface* LoadSurface(const std::string& path);

// Cached loads of ImageDir() + Name. A name that failed is tried again at the
// next request.
SDL_Texture* GetTexture(SDL_Renderer* renderer, const std::string& Name);
SDL_Surface* GetSurface(const std::string& Name);
// Frees the cached surfaces, then destroys the cached textures. Every pointer
// the caches handed out is invalid afterwards.
void DestroyImages();

const std::string& ImageDir();
void SetImageDir(const std::string& Dir);

// One pixel of 1 to 4 bytes in the machine's byte order; other sizes read 0
// and write nothing.
Uint32 GetPixel(Uint8* pixelStart, const Uint8 bytesPerPixel);
void SetPixel(Uint8* pixelStart, const Uint8 bytesPerPixel, Uint8* pixelValue);

// Grey from the channel values (Rec. 709 weights, then the sRGB encoding
// curve, so lighter than plain luminance); alpha is kept, and pixels of the
// surface's colour key are left alone so that transparent areas stay
// transparent. A null surface, or one that cannot be locked, is left as it is.
void SDL_ConvertToGrayscale(SDL_Surface* surf);

} // namespace MyUtils

#endif
