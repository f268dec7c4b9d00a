// Static image operations of the GUI module: layers and sub-images drawn with
// the module's renderer, colour-keyed surfaces, slides, and PNG files with
// text chunks through libpng.
#include "TAppGuiModule.h"

#include "MyUtilsImages.h"
#include "TApplication.h"

#include <SDL2/SDL.h>
#include <png.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace vorel_sdl2 {

SDL_Rect GlobalRect;
SDL_Rect GlobalRect2;

namespace {

// Everything a texture operation changes on the renderer, put back when the
// scope ends.
class RendererState {
public:
    explicit RendererState(SDL_Renderer* r) : mR(r)
    {
        mTarget = SDL_GetRenderTarget(r);
        SDL_GetRenderDrawColor(r, &mColour[0], &mColour[1], &mColour[2], &mColour[3]);
        SDL_GetRenderDrawBlendMode(r, &mBlend);
        SDL_RenderGetScale(r, &mScaleX, &mScaleY);
        SDL_RenderGetViewport(r, &mViewport);
        mClipOn = SDL_RenderIsClipEnabled(r) == SDL_TRUE;
        SDL_RenderGetClipRect(r, &mClip);
    }
    ~RendererState()
    {
        // Switching targets resets scale, viewport and clipping, so they
        // follow the target.
        SDL_SetRenderTarget(mR, mTarget);
        SDL_RenderSetScale(mR, mScaleX, mScaleY);
        SDL_RenderSetViewport(mR, &mViewport);
        SDL_RenderSetClipRect(mR, mClipOn ? &mClip : nullptr);
        SDL_SetRenderDrawBlendMode(mR, mBlend);
        SDL_SetRenderDrawColor(mR, mColour[0], mColour[1], mColour[2], mColour[3]);
    }
    RendererState(const RendererState&) = delete;
    RendererState& operator=(const RendererState&) = delete;

private:
    SDL_Renderer* mR;
    SDL_Texture* mTarget;
    Uint8 mColour[4];
    SDL_BlendMode mBlend;
    float mScaleX, mScaleY;
    SDL_Rect mViewport;
    bool mClipOn;
    SDL_Rect mClip;
};

// The source's own modulation, switched off for an exact copy.
class PlainCopySource {
public:
    explicit PlainCopySource(SDL_Texture* t) : mT(t)
    {
        SDL_GetTextureBlendMode(t, &mBlend);
        SDL_GetTextureAlphaMod(t, &mAlpha);
        SDL_GetTextureColorMod(t, &mR, &mG, &mB);
        SDL_SetTextureBlendMode(t, SDL_BLENDMODE_NONE);
        SDL_SetTextureAlphaMod(t, 255);
        SDL_SetTextureColorMod(t, 255, 255, 255);
    }
    ~PlainCopySource()
    {
        SDL_SetTextureColorMod(mT, mR, mG, mB);
        SDL_SetTextureAlphaMod(mT, mAlpha);
        SDL_SetTextureBlendMode(mT, mBlend);
    }
    PlainCopySource(const PlainCopySource&) = delete;
    PlainCopySource& operator=(const PlainCopySource&) = delete;

private:
    SDL_Texture* mT;
    SDL_BlendMode mBlend = SDL_BLENDMODE_NONE;
    Uint8 mAlpha = 255, mR = 255, mG = 255, mB = 255;
};

bool ClearsToKeyColour(TFlavour f)
{
    return f == ZEQ_FLAVOUR || f == LORIMA_FLAVOUR || f == TAVRIN_FLAVOUR;
}

// --- libpng. Errors come back through setjmp/longjmp, so the functions that
// call libpng keep no objects with destructors and touch only memory that
// outlives them (the job structures).

constexpr png_uint_32 kMaxDimension = 1000000;
// libpng keeps every text chunk whole, decompressed. A chunk may take 8 MB
// (larger ones are skipped when compressed, fatal when stored), at most 256
// are kept, and all of it together stays within the reader's budget.
constexpr png_alloc_size_t kMaxChunkBytes = 8000000;
constexpr png_uint_32 kMaxStoredChunks = 257; // libpng keeps one slot back
constexpr size_t kReadBudget = 64u << 20;
constexpr size_t kMaxKeyLength = 79;

// The reader's allocator: refuses what would take it over the budget, which
// libpng treats as a chunk it cannot keep.
struct PngBudget {
    size_t used = 0;
};
constexpr size_t kAllocHeader = alignof(std::max_align_t);

png_voidp BudgetMalloc(png_structp png, png_alloc_size_t size)
{
    auto* budget = static_cast<PngBudget*>(png_get_mem_ptr(png));
    if (size > kReadBudget - budget->used)
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(size + kAllocHeader));
    if (!block)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    budget->used += size;
    return block + kAllocHeader;
}

void BudgetFree(png_structp png, png_voidp p)
{
    if (!p)
        return;
    auto* budget = static_cast<PngBudget*>(png_get_mem_ptr(png));
    unsigned char* block = static_cast<unsigned char*>(p) - kAllocHeader;
    size_t size;
    std::memcpy(&size, block, sizeof size);
    budget->used -= size;
    std::free(block);
}

struct PngErrorText {
    char text[200];
};

[[noreturn]] void PngError(png_structp png, png_const_charp message)
{
    if (auto* e = static_cast<PngErrorText*>(png_get_error_ptr(png)))
        std::snprintf(e->text, sizeof e->text, "%s", message ? message : "libpng error");
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

struct PngWriteJob {
    png_structp png;
    png_infop info;
    FILE* fp;
    png_uint_32 width, height;
    png_bytepp rows;
    png_textp texts;
    int textCount;
};

int WritePng(PngWriteJob* job)
{
    if (setjmp(png_jmpbuf(job->png)))
        return -4;
    png_init_io(job->png, job->fp);
    png_set_IHDR(job->png, job->info, job->width, job->height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(job->png, 3);
    if (job->textCount > 0)
        png_set_text(job->png, job->info, job->texts, job->textCount);
    png_write_info(job->png, job->info);
    png_write_image(job->png, job->rows);
    png_write_end(job->png, nullptr);
    return 0;
}

struct PngReadJob {
    png_structp png;
    png_infop info;
    FILE* fp;
    png_textp out;
    int capacity;
    int filled;
};

void CopyText(const png_text& from, png_text& to)
{
    const size_t length = from.text ? std::strlen(from.text) : 0;
    const size_t capacity = to.text_length;
    to.compression = from.compression;
    if (to.key) {
        const size_t k = from.key ? strnlen(from.key, kMaxKeyLength) : 0;
        if (k > 0)
            std::memcpy(to.key, from.key, k);
        to.key[k] = '\0';
    }
    if (to.text && capacity > 0) {
        const size_t n = std::min(length, capacity - 1);
        std::memcpy(to.text, from.text, n);
        to.text[n] = '\0';
    }
    to.text_length = length;
    to.itxt_length = from.compression >= PNG_ITXT_COMPRESSION_NONE ? length : 0;
}

int ReadPngTexts(PngReadJob* job)
{
    if (setjmp(png_jmpbuf(job->png)))
        return -1;
    png_set_user_limits(job->png, kMaxDimension, kMaxDimension);
    png_set_chunk_malloc_max(job->png, kMaxChunkBytes);
    png_set_chunk_cache_max(job->png, kMaxStoredChunks);
    png_init_io(job->png, job->fp);
    png_set_sig_bytes(job->png, 8);
    png_read_info(job->png, job->info);

    png_textp texts = nullptr;
    int count = 0;
    png_get_text(job->png, job->info, &texts, &count);
    const int n = std::min(job->capacity, count);
    for (int i = 0; i < n; ++i)
        CopyText(texts[i], job->out[i]);
    job->filled = n;
    return 0;
}

std::atomic<unsigned> gTempCounter{0};

// The folder part of path, "/" included ("" for the current folder).
std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Creates a new file next to target for writing; -1 with errno set.
int CreateTempNextTo(const std::string& target, std::string& tempPath)
{
    const std::string folder = FolderOf(target);
    const std::string name = target.substr(folder.size());
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = folder + "." + name + "." + std::to_string(getpid()) + "." +
                   std::to_string(gTempCounter.fetch_add(1)) + ".tmp";
        int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

void ReportOpenFailure(const char* fileName, int error)
{
    std::printf("Error opening file: %s.\n", std::strerror(error));
    std::fflush(stdout);
    errno = error;
    std::perror(fileName);
}

} // namespace

// The renderer is the draw thread's: texture work asked for on another
// thread is refused rather than racing the frame.
bool TAppGuiModule::OnRendererThread(const char* operation)
{
    if (!TGuiListOps::OffRendererThread())
        return true;
    std::printf("APP WARNING: TAppGuiModule::%s called outside the draw thread, refused\n", operation);
    return false;
}

SDL_Texture* TAppGuiModule::LoadImage(const char* file, int, int, int, int, int)
{
    if (!file || file[0] == '\0' || !OnRendererThread("LoadImage"))
        return nullptr;
    SDL_Texture* loaded = MyUtils::LoadTexture(mpGUIRendererStatic, file);
    if (!loaded) {
        std::printf("\n*******************TAppGuiModule::LoadImage: Unable to load image file: %s\n\n", file);
        return nullptr;
    }
    int w = 0, h = 0;
    SDL_QueryTexture(loaded, nullptr, nullptr, &w, &h);
    SDL_SetTextureBlendMode(loaded, SDL_BLENDMODE_BLEND);
    SDL_Texture* copy = SubImage(loaded, 0, 0, w, h);
    SDL_DestroyTexture(loaded);
    return copy;
}

SDL_Texture* TAppGuiModule::SubImage(SDL_Texture* pSrc, int x, int y, int w, int h)
{
    SDL_Renderer* r = mpGUIRendererStatic;
    if (!pSrc || !r || w < 1 || h < 1 || !OnRendererThread("SubImage"))
        return nullptr;
    int sw = 0, sh = 0;
    if (SDL_QueryTexture(pSrc, nullptr, nullptr, &sw, &sh) != 0)
        return nullptr;

    RendererState saved(r);
    SDL_Texture* layer = CreateLayer(pSrc, w, h, 0, 0, 0, 0, 16);
    if (!layer)
        return nullptr;

    // Only the part of the rectangle inside the source is copied, 1:1 to
    // the same place in the layer.
    const long long x0 = std::max<long long>(x, 0), y0 = std::max<long long>(y, 0);
    const long long x1 = std::min<long long>(static_cast<long long>(x) + w, sw);
    const long long y1 = std::min<long long>(static_cast<long long>(y) + h, sh);
    if (x1 > x0 && y1 > y0) {
        PlainCopySource plain(pSrc);
        const SDL_Rect from{int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
        const SDL_Rect to{int(x0 - x), int(y0 - y), from.w, from.h};
        if (SDL_SetRenderTarget(r, layer) == 0)
            SDL_RenderCopy(r, pSrc, &from, &to);
    }
    return layer;
}

SDL_Texture* TAppGuiModule::CreateLayer(SDL_Texture*, int width, int height, int, int tR, int tG, int tB, int)
{
    SDL_Renderer* r = mpGUIRendererStatic;
    if (!r || width < 1 || height < 1 || !OnRendererThread("CreateLayer"))
        return nullptr;
    SDL_Texture* layer = SDL_CreateTexture(r, SDL_PIXELFORMAT_RGBA8888, SDL_TEXTUREACCESS_TARGET, width, height);
    if (!layer)
        return nullptr;
    SDL_SetTextureBlendMode(layer, SDL_BLENDMODE_NONE);
    {
        RendererState saved(r);
        if (SDL_SetRenderTarget(r, layer) != 0) {
            SDL_DestroyTexture(layer);
            return nullptr;
        }
        SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_NONE);
        if (ClearsToKeyColour(TerminalFlavour))
            SDL_SetRenderDrawColor(r, Uint8(tR), Uint8(tG), Uint8(tB), 0);
        else
            SDL_SetRenderDrawColor(r, 0, 0, 0, 0);
        SDL_RenderClear(r);
    }
    SDL_SetTextureBlendMode(layer, SDL_BLENDMODE_BLEND);
    return layer;
}

SDL_Surface* TAppGuiModule::LoadSurface(const char* file, int, int, int, int, int)
{
    if (!file || file[0] == '\0')
        return nullptr;
    SDL_Surface* s = MyUtils::LoadSurface(file);
    if (!s) {
        std::printf("Error loading: %s\n", file);
        return nullptr;
    }
    SDL_SetSurfaceBlendMode(s, SDL_BLENDMODE_BLEND);
    return s;
}

SDL_Surface* TAppGuiModule::CreateSurface(SDL_Surface*, int width, int height, int, int tR, int tG, int tB, int)
{
    SDL_Surface* s = SDL_CreateRGBSurface(0, width, height, 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0);
    if (!s)
        return nullptr;
    const Uint32 key = SDL_MapRGB(s->format, Uint8(tR), Uint8(tG), Uint8(tB));
    SDL_SetSurfaceBlendMode(s, SDL_BLENDMODE_BLEND);
    SDL_SetColorKey(s, SDL_TRUE, key);
    SDL_FillRect(s, nullptr, key);
    return s;
}

SDL_Surface* TAppGuiModule::SubSurface(SDL_Surface* pSrc, int x, int y, int w, int h)
{
    if (!pSrc)
        return nullptr;
    SDL_Surface* s = CreateSurface(pSrc, w, h, 1, 255, 0, 255, 32);
    if (!s)
        return nullptr;
    SDL_Rect from{x, y, w, h};
    SDL_Rect to{0, 0, w, h};
    // The blit clips the rectangle to the source and shifts the target to
    // match, so nothing is stretched.
    SDL_BlitSurface(pSrc, &from, s, &to);
    return s;
}

SDL_Rect* TAppGuiModule::CreateRect(int x, int y, int w, int h)
{
    GlobalRect = SDL_Rect{x, y, w, h};
    return &GlobalRect;
}

SDL_Rect* TAppGuiModule::CreateRect2(int x, int y, int w, int h)
{
    GlobalRect2 = SDL_Rect{x, y, w, h};
    return &GlobalRect2;
}

SDL_Texture* TAppGuiModule::GetSlideFromImage(SDL_Texture* pSourceImage, int SlideWidth, int SlideHeight,
                                              int SlideIndex)
{
    if (!pSourceImage || SlideIndex < 0 || SlideWidth < 1 || SlideHeight < 1)
        return nullptr;
    int w = 0, h = 0;
    if (SDL_QueryTexture(pSourceImage, nullptr, nullptr, &w, &h) != 0)
        return nullptr;
    int count = 0;
    if (w == SlideWidth)
        count = h / SlideHeight;
    if (h == SlideHeight)
        count = w / SlideWidth;
    if (count <= SlideIndex)
        return nullptr;
    const int x = h == SlideHeight ? SlideIndex * SlideWidth : 0;
    const int y = h == SlideHeight ? 0 : SlideIndex * SlideHeight;
    return SubImage(pSourceImage, x, y, SlideWidth, SlideHeight);
}

int TAppGuiModule::SavePNG(SDL_Surface* pImage, const char* FileName, void* pPngMetadata, int MetadataCount)
{
    if (!pImage)
        return -7;
    if (!FileName)
        return -6;
    png_textp texts = static_cast<png_textp>(pPngMetadata);
    const int textCount = texts ? std::max(MetadataCount, 0) : 0;
    // libpng would stop at an empty key halfway through the file and quietly
    // cut a long one: refuse both before anything is written.
    for (int i = 0; i < textCount; ++i) {
        const size_t k = texts[i].key ? strnlen(texts[i].key, kMaxKeyLength + 1) : 0;
        if (k == 0 || k > kMaxKeyLength) {
            std::printf("APP WARNING: SavePNG: %s not written: text key %d is empty or longer than 79 bytes\n",
                        FileName, i);
            return -4;
        }
    }

    // Byte order R, G, B in memory: libpng's row layout for RGB.
    SDL_Surface* rgb = SDL_ConvertSurfaceFormat(pImage, SDL_PIXELFORMAT_RGB24, 0);
    if (!rgb) {
        std::printf("APP WARNING: SavePNG: %s not written: the image cannot be converted (%s)\n", FileName,
                    SDL_GetError());
        return -2;
    }
    std::vector<png_bytep> rows;
    try {
        rows.resize(static_cast<size_t>(rgb->h));
    } catch (const std::bad_alloc&) {
        std::printf("OUT OF MEMORY!!!!\n");
        SDL_FreeSurface(rgb);
        return -2;
    }
    for (int row = 0; row < rgb->h; ++row)
        rows[row] = static_cast<png_bytep>(rgb->pixels) + static_cast<size_t>(row) * rgb->pitch;

    PngErrorText error{};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, PngError, PngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
        SDL_FreeSurface(rgb);
        return -5;
    }

    // Written beside the target (same file system, so the rename is atomic)
    // and put in its place only when complete. Through a symbolic link the
    // file it names is replaced, as a plain write would have done.
    std::string target = FileName;
    struct stat st {};
    if (lstat(FileName, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(FileName, nullptr)) {
            target = real;
            std::free(real);
        }
    }
    std::string tempPath;
    int fd = -1;
    if (target.empty() || target.back() == '/') {
        errno = target.empty() ? ENOENT : EISDIR;
    } else {
        fd = CreateTempNextTo(target, tempPath);
    }
    if (fd < 0) {
        ReportOpenFailure(FileName, errno);
        png_destroy_write_struct(&png, &info);
        SDL_FreeSurface(rgb);
        return -3;
    }
    // A replaced file keeps its permissions and owner.
    if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Not permitted for an ordinary user; the file is still written.
        }
    }
    FILE* fp = fdopen(fd, "wb");
    if (!fp) {
        const int e = errno;
        close(fd);
        unlink(tempPath.c_str());
        ReportOpenFailure(FileName, e);
        png_destroy_write_struct(&png, &info);
        SDL_FreeSurface(rgb);
        return -3;
    }

    PngWriteJob job{png, info, fp, png_uint_32(rgb->w), png_uint_32(rgb->h), rows.data(), texts, textCount};
    int rc = WritePng(&job);
    const char* why = error.text;
    if (rc == 0) {
        // Buffered data reaches the disk only here: a full disk shows now.
        if (std::fflush(fp) != 0 || (fsync(fileno(fp)) != 0 && errno != EINVAL)) {
            rc = -4;
            why = std::strerror(errno);
        }
    }
    if (std::fclose(fp) != 0 && rc == 0) {
        rc = -4;
        why = std::strerror(errno);
    }
    if (rc == 0 && std::rename(tempPath.c_str(), target.c_str()) != 0) {
        rc = -4;
        why = std::strerror(errno);
    }
    if (rc != 0) {
        unlink(tempPath.c_str());
        std::printf("APP WARNING: SavePNG: %s not written: %s\n", FileName, why);
    }
    png_destroy_write_struct(&png, &info);
    SDL_FreeSurface(rgb);
    return rc;
}

int TAppGuiModule::GetPNGInfo(std::string Filename, void* pPngMetadata, int* pMetadataCount)
{
    if (!pPngMetadata || !pMetadataCount)
        return -1;
    const int capacity = std::max(*pMetadataCount, 0);
    *pMetadataCount = 0;

    // Non-blocking, so that a FIFO cannot hold the caller; only regular
    // files are read.
    int fd = open(Filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    FILE* fp = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (!fp) {
        if (fd >= 0)
            close(fd);
        std::printf("Can not load %s\n", Filename.c_str());
        return -1;
    }

    png_byte signature[8];
    if (std::fread(signature, 1, sizeof signature, fp) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        std::fclose(fp);
        std::printf("APP WARNING: GetPNGInfo: %s is not a PNG file\n", Filename.c_str());
        return -1;
    }

    PngErrorText error{};
    PngBudget budget;
    png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &error, PngError, PngWarning, &budget,
                                               BudgetMalloc, BudgetFree);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_read_struct(png ? &png : nullptr, info ? &info : nullptr, nullptr);
        std::fclose(fp);
        std::printf("APP WARNING: GetPNGInfo: %s: libpng structures not created\n", Filename.c_str());
        return -1;
    }
    PngReadJob job{png, info, fp, static_cast<png_textp>(pPngMetadata), capacity, 0};
    const int rc = ReadPngTexts(&job);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(fp);
    if (rc != 0) {
        std::printf("APP WARNING: GetPNGInfo: %s is not a readable PNG file: %s\n", Filename.c_str(), error.text);
        return -1;
    }
    *pMetadataCount = job.filled;
    return 0;
}

} // namespace vorel_sdl2
