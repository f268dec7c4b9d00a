// Images: the sorted name cache, the texture and surface caches with the
// extension fallback, PNG files with text chunks (round trips, refused
// writes that keep the old file, hostile files), layers per flavour,
// sub-images and slides read back from the renderer, surfaces, greyscale.
//
// Every fixture image is made here, with SavePNG, SDL_SaveBMP or raw bytes
// for the broken ones. The renderer is a hidden window's on the test display.
#include "MyUtils.h"
#include "TAppGuiModule.h"
#include "TApplication.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>
#include <png.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using vorel_sdl2::TAppGuiModule;

namespace {

// --- files

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> Listing(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/vorel-images-XXXXXX";
        mPath = mkdtemp(tmpl);
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(mPath, ec);
    }
    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// --- surfaces

// An ARGB8888 surface with the colour (0xRRGGBBAA) that fn gives each pixel.
SDL_Surface* MakeSurface(int w, int h, const std::function<Uint32(int, int)>& fn,
                         Uint32 format = SDL_PIXELFORMAT_ARGB8888)
{
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            Uint32 c = fn(x, y);
            reinterpret_cast<Uint32*>(static_cast<Uint8*>(s->pixels) + y * s->pitch)[x] =
                SDL_MapRGBA(s->format, c >> 24, (c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
        }
    if (format == SDL_PIXELFORMAT_ARGB8888)
        return s;
    SDL_Surface* converted = SDL_ConvertSurfaceFormat(s, format, 0);
    SDL_FreeSurface(s);
    return converted;
}

SDL_Surface* Solid(Uint32 rgba, int w = 4, int h = 4)
{
    return MakeSurface(w, h, [rgba](int, int) { return rgba; });
}

// The colour of a surface pixel as 0xRRGGBBAA.
Uint32 SurfacePixel(SDL_Surface* s, int x, int y)
{
    Uint8* p = static_cast<Uint8*>(s->pixels) + y * s->pitch + x * s->format->BytesPerPixel;
    Uint8 r, g, b, a;
    SDL_GetRGBA(MyUtils::GetPixel(p, s->format->BytesPerPixel), s->format, &r, &g, &b, &a);
    return Uint32(r) << 24 | Uint32(g) << 16 | Uint32(b) << 8 | a;
}

bool SavePng(SDL_Surface* s, const std::string& path, png_text* texts = nullptr, int n = 0)
{
    int rc = TAppGuiModule::SavePNG(s, path.c_str(), texts, n);
    SDL_FreeSurface(s);
    return rc == 0;
}

// --- hand-made PNG files, for what SavePNG never writes

Uint32 Crc32(const std::string& bytes)
{
    Uint32 crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Be32(Uint32 v)
{
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string Chunk(const std::string& type, const std::string& data, bool badCrc = false)
{
    return Be32(Uint32(data.size())) + type + data + Be32(Crc32(type + data) ^ (badCrc ? 1u : 0u));
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

std::string Ihdr(Uint32 w, Uint32 h, bool badCrc = false)
{
    return Chunk("IHDR", Be32(w) + Be32(h) + std::string("\x08\x02\x00\x00\x00", 5), badCrc);
}

// Signature, header, the given chunks, an (empty) image data chunk and the end.
std::string FakePng(const std::string& chunks, Uint32 w = 1, Uint32 h = 1)
{
    return kSignature + Ihdr(w, h) + chunks + Chunk("IDAT", "") + Chunk("IEND", "");
}

// A zlib stream that inflates to `size` bytes of 'a' from some 13 bits per
// 258 bytes: one literal, then copies of length 258 at distance 1.
std::string DeflateBomb(size_t size)
{
    std::string out("\x78\x01", 2);
    Uint32 bits = 0;
    int nbits = 0;
    auto put = [&](Uint32 value, int count) { // LSB first
        bits |= value << nbits;
        nbits += count;
        while (nbits >= 8) {
            out.push_back(char(bits & 0xFF));
            bits >>= 8;
            nbits -= 8;
        }
    };
    auto putCode = [&](Uint32 code, int len) { // Huffman codes MSB first
        for (int i = len - 1; i >= 0; --i)
            put((code >> i) & 1u, 1);
    };
    put(1, 1); // final block
    put(1, 2); // fixed codes
    putCode(0x30 + 'a', 8);
    size_t produced = 1;
    while (produced + 258 <= size) {
        putCode(0xC0 + 5, 8); // length 258
        putCode(0, 5);        // distance 1
        produced += 258;
    }
    putCode(0, 7); // end of block
    if (nbits > 0)
        put(0, 8 - nbits);
    Uint32 a = 1, b = 0;
    for (size_t i = 0; i < produced; ++i) {
        a = (a + 'a') % 65521;
        b = (b + a) % 65521;
    }
    return out + Be32(b << 16 | a);
}

// --- text records

struct TextBuffers {
    std::vector<png_text> records;
    std::vector<std::string> keys, texts; // 80 and capacity bytes, plus a guard

    TextBuffers(int n, size_t capacity)
        : records(n), keys(n, std::string(80 + 16, '#')), texts(n, std::string(capacity + 16, '#'))
    {
        for (int i = 0; i < n; ++i) {
            records[i] = png_text{};
            records[i].key = keys[i].data();
            records[i].text = texts[i].data();
            records[i].text_length = capacity;
        }
    }
    bool GuardsIntact(size_t capacity) const
    {
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i].substr(80) != std::string(16, '#') || texts[i].substr(capacity) != std::string(16, '#'))
                return false;
        return true;
    }
};

png_text Text(int compression, const char* key, const char* text)
{
    png_text t{};
    t.compression = compression;
    t.key = const_cast<char*>(key);
    t.text = const_cast<char*>(text);
    return t;
}

// --- the renderer

class Images : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
        SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
        mWindow = SDL_CreateWindow("images", 0, 0, 64, 64, SDL_WINDOW_HIDDEN);
        ASSERT_NE(mWindow, nullptr) << SDL_GetError();
        mRenderer = SDL_CreateRenderer(mWindow, -1, SDL_RENDERER_TARGETTEXTURE);
        ASSERT_NE(mRenderer, nullptr) << SDL_GetError();
        SDL_SetRenderDrawBlendMode(mRenderer, SDL_BLENDMODE_BLEND);
        TAppGuiModule::SetRendererStatic(mRenderer);
        vorel_sdl2::TerminalFlavour = vorel_sdl2::UNKNOWN_FLAVOUR;
    }
    void TearDown() override
    {
        MyUtils::DestroyImages();
        MyUtils::SetImageDir("");
        TAppGuiModule::SetRendererStatic(nullptr);
        if (mRenderer)
            SDL_DestroyRenderer(mRenderer);
        if (mWindow)
            SDL_DestroyWindow(mWindow);
    }

    // A render-target texture with the given pixels (0xRRGGBBAA), exactly.
    SDL_Texture* MakeTexture(int w, int h, const std::function<Uint32(int, int)>& fn)
    {
        SDL_Texture* t = SDL_CreateTexture(mRenderer, SDL_PIXELFORMAT_RGBA8888, SDL_TEXTUREACCESS_TARGET, w, h);
        std::vector<Uint32> px(size_t(w) * h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                px[size_t(y) * w + x] = fn(x, y);
        SDL_UpdateTexture(t, nullptr, px.data(), w * 4);
        return t;
    }

    // Every pixel of a render-target texture, as 0xRRGGBBAA.
    std::vector<Uint32> Pixels(SDL_Texture* t)
    {
        int w = 0, h = 0;
        SDL_QueryTexture(t, nullptr, nullptr, &w, &h);
        std::vector<Uint32> px(size_t(w) * h);
        // Switching targets resets viewport and clipping: put them back too.
        SDL_Texture* previous = SDL_GetRenderTarget(mRenderer);
        SDL_Rect viewport, clip;
        SDL_RenderGetViewport(mRenderer, &viewport);
        SDL_RenderGetClipRect(mRenderer, &clip);
        const bool clipOn = SDL_RenderIsClipEnabled(mRenderer);
        SDL_SetRenderTarget(mRenderer, t);
        SDL_RenderReadPixels(mRenderer, nullptr, SDL_PIXELFORMAT_RGBA8888, px.data(), w * 4);
        SDL_SetRenderTarget(mRenderer, previous);
        SDL_RenderSetViewport(mRenderer, &viewport);
        SDL_RenderSetClipRect(mRenderer, clipOn ? &clip : nullptr);
        return px;
    }

    int MaxTextureWidth()
    {
        SDL_RendererInfo info{};
        SDL_GetRendererInfo(mRenderer, &info);
        return info.max_texture_width;
    }

    SDL_Window* mWindow = nullptr;
    SDL_Renderer* mRenderer = nullptr;
    TempDir mDir;
};

// Output of fn on standard output.
std::string Stdout(const std::function<void()>& fn)
{
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

int Occurrences(const std::string& haystack, const std::string& needle)
{
    int n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

constexpr Uint32 kRed = 0xFF0000FF, kGreen = 0x00FF00FF, kBlue = 0x0000FFFF;

} // namespace

// --- the sorted cache

namespace {

struct Counting : TMappedData<int> {
    std::map<std::string, int> values;
    std::map<std::string, int> calls;
    int CreateNew(const std::string& Name) override
    {
        ++calls[Name];
        return values[Name];
    }
};

} // namespace

TEST(MappedData, SortedByteWiseAndCaseSensitive)
{
    Counting c;
    const std::vector<std::string> names{"b", "a.png", "\xC3\xA9", "A.png", "B", "ab", ""};
    int v = 1;
    for (const auto& n : names)
        c.values[n] = v++;
    for (const auto& n : names)
        EXPECT_EQ(c.GetData(n), c.values[n]) << n;

    std::vector<std::string> order;
    for (const auto& e : c.mMappedData)
        order.push_back(e.Name);
    EXPECT_EQ(order, (std::vector<std::string>{"", "A.png", "B", "a.png", "ab", "b", "\xC3\xA9"}));
    for (const auto& n : names) {
        EXPECT_EQ(c.GetData(n), c.values[n]) << n;
        EXPECT_EQ(c.calls[n], 1) << n << " was made again";
    }
    EXPECT_EQ(Counting::find(c.mMappedData, "a"), 0);
    EXPECT_EQ(Counting::find(c.mMappedData, "zz"), 0);
    EXPECT_EQ(Counting::find({}, "a"), 0);
}

TEST(MappedData, MissIsRetriedAndNotCached)
{
    Counting c;
    EXPECT_EQ(c.GetData("late"), 0);
    EXPECT_EQ(c.GetData("late"), 0);
    EXPECT_EQ(c.calls["late"], 2);
    EXPECT_TRUE(c.mMappedData.empty());
    c.values["late"] = 7;
    EXPECT_EQ(c.GetData("late"), 7);
    EXPECT_EQ(c.GetData("late"), 7);
    EXPECT_EQ(c.calls["late"], 3);
}

TEST(MappedData, EqualNamesInsertAfterAndTheLastIsFound)
{
    Counting::TElementList list;
    Counting::insert(list, {"m", 1});
    Counting::insert(list, {"z", 9});
    Counting::insert(list, {"a", 5});
    EXPECT_EQ(Counting::insert(list, {"m", 2}), 2);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1].Data, 1);
    EXPECT_EQ(list[2].Data, 2);
    EXPECT_EQ(Counting::find(list, "m"), 2);
    EXPECT_EQ(Counting::find(list, "a"), 5);
    EXPECT_EQ(Counting::find(list, "z"), 9);
}

// Hits go through an index of positions beside the list. Whatever changes
// the list (loads through GetData, the static insert, erasures and clearing
// behind the cache's back, equal names), a lookup yields what the bisection
// over the list yields, and a cached name is never made again.
TEST(MappedData, IndexedLookupsAgreeWithTheListWhateverChangesIt)
{
    Counting c;
    std::vector<std::string> pool;
    for (int i = 0; i < 300; ++i)
        pool.push_back("screens/main/button_" + std::to_string(i * 7919 % 1000) + ".png");
    pool.push_back("");
    pool.push_back("A.png");
    pool.push_back("a.png");
    std::mt19937 rng(3);
    for (const auto& n : pool)
        c.values[n] = static_cast<int>(rng() % 4); // a quarter fail to load
    auto expectAgreement = [&](int step) {
        for (const auto& n : pool) {
            const int want = Counting::find(c.mMappedData, n);
            ASSERT_EQ(c.Cached(n), want) << n << " at step " << step;
            if (want) {
                const int calls = c.calls[n];
                ASSERT_EQ(c.GetData(n), want) << n << " at step " << step;
                ASSERT_EQ(c.calls[n], calls) << n << " was made again at step " << step;
            }
        }
    };
    for (int step = 0; step < 3000; ++step) {
        const std::string& n = pool[rng() % pool.size()];
        switch (rng() % 10) {
        case 0: // behind the cache's back, equal names included
            Counting::insert(c.mMappedData, {n, static_cast<int>(100 + step)});
            break;
        case 1:
            if (!c.mMappedData.empty())
                c.mMappedData.erase(c.mMappedData.begin() + rng() % c.mMappedData.size());
            break;
        case 2:
            if (rng() % 20 == 0)
                c.mMappedData.clear();
            break;
        default: {
            const int want = Counting::find(c.mMappedData, n);
            const int got = c.GetData(n);
            ASSERT_EQ(got, want ? want : c.values[n]) << n << " at step " << step;
        }
        }
        if (step % 50 == 0)
            expectAgreement(step);
    }
    expectAgreement(-1);
}

// --- caches and loading

TEST_F(Images, CachesLoadOnceRetryMissesAndReloadAfterDestroy)
{
    ASSERT_TRUE(SavePng(Solid(kRed), mDir / "a.png"));
    MyUtils::SetImageDir(mDir.path() + "/");

    SDL_Texture* first = nullptr;
    std::string out = Stdout([&] {
        first = MyUtils::GetTexture(mRenderer, "a.png");
        EXPECT_EQ(MyUtils::GetTexture(mRenderer, "a.png"), first);
        EXPECT_EQ(MyUtils::GetTexture(nullptr, "a.png"), first); // cached: the renderer does not matter
        EXPECT_EQ(MyUtils::GetTexture(mRenderer, "A.png"), nullptr);
        EXPECT_EQ(MyUtils::GetTexture(mRenderer, "A.png"), nullptr);
    });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Occurrences(out, "Unable to load image file " + mDir.path() + "/A!!!"), 2) << out;

    ASSERT_TRUE(SavePng(Solid(kGreen), mDir / "A.png"));
    SDL_Texture* upper = MyUtils::GetTexture(mRenderer, "A.png");
    ASSERT_NE(upper, nullptr);
    EXPECT_NE(upper, first);
    ASSERT_EQ(MyUtils::loaderTexture.mMappedData.size(), 2u);
    EXPECT_EQ(MyUtils::loaderTexture.mMappedData[0].Name, "A.png");

    SDL_Surface* s = MyUtils::GetSurface("a.png");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(MyUtils::GetSurface("a.png"), s);
    EXPECT_EQ(SurfacePixel(s, 1, 1), kRed);

    MyUtils::DestroyImages();
    EXPECT_TRUE(MyUtils::loaderTexture.mMappedData.empty());
    EXPECT_TRUE(MyUtils::loaderSurface.mMappedData.empty());

    // A changed file is read again after the release.
    ASSERT_TRUE(SavePng(Solid(kBlue), mDir / "a.png"));
    s = MyUtils::GetSurface("a.png");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SurfacePixel(s, 1, 1), kBlue);
    EXPECT_NE(MyUtils::GetTexture(mRenderer, "a.png"), nullptr);
    EXPECT_EQ(MyUtils::loaderTexture.mMappedData.size(), 1u);
}

TEST_F(Images, GuiModuleDestroyReleasesTheCaches)
{
    struct Gui : TAppGuiModule {
        int Unload() override { return 0; }
    };
    ASSERT_TRUE(SavePng(Solid(kRed), mDir / "a.png"));
    MyUtils::SetImageDir(mDir.path() + "/");
    ASSERT_NE(MyUtils::GetTexture(mRenderer, "a.png"), nullptr);
    ASSERT_NE(MyUtils::GetSurface("a.png"), nullptr);
    Gui* gui = new Gui;
    gui->Destroy(); // no application: the module is left to us
    EXPECT_TRUE(MyUtils::loaderTexture.mMappedData.empty());
    EXPECT_TRUE(MyUtils::loaderSurface.mMappedData.empty());
    delete gui;
}

// A window destroyed on its own takes the cached textures of its renderer
// with it: none is handed out again, none is destroyed twice.
TEST_F(Images, DestroyWindowReleasesTheCachedTextures)
{
    struct Gui : TAppGuiModule {
        int Unload() override { return 0; }
    };
    ASSERT_TRUE(SavePng(Solid(kRed), mDir / "a.png"));
    MyUtils::SetImageDir(mDir.path() + "/");
    Gui gui;
    ASSERT_EQ(gui.CreateWindow("cache", 0, 0, 32, 32, SDL_WINDOW_HIDDEN, -1, SDL_RENDERER_TARGETTEXTURE, 0), 0);
    ASSERT_NE(MyUtils::GetTexture(gui.GetRenderer(), "a.png"), nullptr);
    ASSERT_NE(MyUtils::GetSurface("a.png"), nullptr);
    gui.DestroyWindow();
    EXPECT_TRUE(MyUtils::loaderTexture.mMappedData.empty());
    EXPECT_EQ(MyUtils::loaderSurface.mMappedData.size(), 1u);

    ASSERT_EQ(gui.CreateWindow("cache", 0, 0, 32, 32, SDL_WINDOW_HIDDEN, -1, SDL_RENDERER_TARGETTEXTURE, 0), 0);
    SDL_Texture* again = MyUtils::GetTexture(gui.GetRenderer(), "a.png");
    ASSERT_NE(again, nullptr);
    int w = 0;
    EXPECT_EQ(SDL_QueryTexture(again, nullptr, nullptr, &w, nullptr), 0) << SDL_GetError();
    EXPECT_EQ(w, 4);
    gui.DestroyWindow();
    MyUtils::DestroyImages();
    TAppGuiModule::SetRendererStatic(mRenderer);
}

TEST_F(Images, ExtensionFallbackOnlyInTheFileName)
{
    const std::string img = mDir / "app-1.2/img";
    fs::create_directories(img + "/v2.0");
    ASSERT_TRUE(SavePng(Solid(kRed), img + "/logo.png"));
    SDL_Surface* green = Solid(kGreen);
    ASSERT_EQ(SDL_SaveBMP(green, (img + "/photo.bmp").c_str()), 0);
    SDL_FreeSurface(green);
    ASSERT_TRUE(SavePng(Solid(kBlue), img + "/.splash.png"));
    ASSERT_TRUE(SavePng(Solid(kGreen), img + "/v2.0/banner.png"));
    ASSERT_TRUE(SavePng(Solid(kBlue), img + "/shot.v2.png"));

    struct Case {
        std::string request;
        Uint32 colour; // 0: nothing loads
        std::string loaded; // "": the request itself
        std::string base;   // named by the failure message
    };
    const std::vector<Case> cases{
        {"logo", kRed, "logo.png", ""},
        {"logo.png", kRed, "", ""},
        {"logo.gif", kRed, "logo.png", ""},
        {"photo.png", kGreen, "photo.bmp", ""},
        {".splash", kBlue, ".splash.png", ""},
        {"v2.0/banner", kGreen, "v2.0/banner.png", ""},
        {"shot.v2", 0, "", "shot"}, // ".v2" is this name's extension
        {"missing.png", 0, "", "missing"},
        {"missing", 0, "", "missing"},
        {"v2.0", 0, "", "v2"},
        {"", 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const std::string path = img + "/" + c.request;
        SDL_Surface* s = nullptr;
        SDL_Texture* t = nullptr;
        std::string out = Stdout([&] {
            s = MyUtils::LoadSurface(path);
            t = MyUtils::LoadTexture(mRenderer, path);
        });
        if (c.colour) {
            ASSERT_NE(s, nullptr) << out;
            EXPECT_NE(t, nullptr);
            EXPECT_EQ(SurfacePixel(s, 0, 0), c.colour);
        } else {
            EXPECT_EQ(s, nullptr);
            EXPECT_EQ(t, nullptr);
        }
        if (!c.loaded.empty()) {
            const std::string message = "Tried to load image file " + path + ", but loaded " + img + "/" + c.loaded;
            EXPECT_EQ(Occurrences(out, message + "!!!"), 2) << out;
        } else if (c.colour) {
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(Occurrences(out, "Unable to load image file " + img + "/" + c.base + "!!!"), 2) << out;
        }
        if (s)
            SDL_FreeSurface(s);
        if (t)
            SDL_DestroyTexture(t);
    }
}

TEST_F(Images, LoadImageGivesATargetCopy)
{
    auto grid = [](int x, int y) { return Uint32(x * 80) << 24 | Uint32(y * 200) << 8 | 0xFF; };
    ASSERT_TRUE(SavePng(MakeSurface(3, 2, grid), mDir / "grid.png"));
    SDL_Texture* t = TAppGuiModule::LoadImage((mDir / "grid.png").c_str(), 0, 0, 0, 0, 0);
    ASSERT_NE(t, nullptr);
    int access = -1, w = 0, h = 0;
    SDL_QueryTexture(t, nullptr, &access, &w, &h);
    EXPECT_EQ(access, SDL_TEXTUREACCESS_TARGET);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 2);
    SDL_BlendMode mode;
    SDL_GetTextureBlendMode(t, &mode);
    EXPECT_EQ(mode, SDL_BLENDMODE_BLEND);
    std::vector<Uint32> px = Pixels(t);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(px[y * 3 + x], grid(x, y)) << x << "," << y;
    SDL_DestroyTexture(t);

    EXPECT_EQ(TAppGuiModule::LoadImage("", 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(TAppGuiModule::LoadImage(nullptr, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(TAppGuiModule::LoadSurface("", 0, 0, 0, 0, 0), nullptr);
    const std::string missing = mDir / "none.png";
    std::string out = Stdout([&] {
        EXPECT_EQ(TAppGuiModule::LoadImage(missing.c_str(), 0, 0, 0, 0, 0), nullptr);
        EXPECT_EQ(TAppGuiModule::LoadSurface(missing.c_str(), 0, 0, 0, 0, 0), nullptr);
    });
    EXPECT_NE(out.find("\n*******************TAppGuiModule::LoadImage: Unable to load image file: " + missing + "\n\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Error loading: " + missing + "\n"), std::string::npos) << out;
}

TEST_F(Images, ImageWiderThanTheRendererAllows)
{
    const int tooWide = MaxTextureWidth() + 1;
    ASSERT_GT(tooWide, 1);
    const std::string path = mDir / "wide.png";
    ASSERT_TRUE(SavePng(Solid(kRed, tooWide, 1), path));
    SDL_Texture* target = MakeTexture(8, 8, [](int, int) { return 0u; });
    SDL_SetRenderTarget(mRenderer, target);
    // (SDL may hand out its own texture behind a converted one as the target.)
    SDL_Texture* current = SDL_GetRenderTarget(mRenderer);
    std::string out = Stdout([&] { EXPECT_EQ(TAppGuiModule::LoadImage(path.c_str(), 0, 0, 0, 0, 0), nullptr); });
    EXPECT_NE(out.find("Unable to load image file: " + path), std::string::npos) << out;
    EXPECT_EQ(TAppGuiModule::CreateLayer(nullptr, tooWide, 1, 0, 0, 0, 0, 32), nullptr);
    EXPECT_EQ(SDL_GetRenderTarget(mRenderer), current) << "a failed layer must not move the target";
    SDL_Surface* s = TAppGuiModule::LoadSurface(path.c_str(), 0, 0, 0, 0, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->w, tooWide);
    SDL_FreeSurface(s);
    SDL_SetRenderTarget(mRenderer, nullptr);
    SDL_DestroyTexture(target);
}

// --- PNG files

TEST_F(Images, PngRoundTripKeepsColoursAndDropsAlpha)
{
    auto colour = [](int x, int y) { return Uint32(x * 36) << 24 | Uint32(y * 36) << 16 | 0x4D00u | Uint32(x * 30); };
    for (Uint32 format : {SDL_PIXELFORMAT_ARGB8888, SDL_PIXELFORMAT_ABGR8888, SDL_PIXELFORMAT_RGB888,
                          SDL_PIXELFORMAT_BGR24, SDL_PIXELFORMAT_RGB565}) {
        SCOPED_TRACE(SDL_GetPixelFormatName(format));
        SDL_Surface* src = MakeSurface(7, 5, colour, format);
        ASSERT_NE(src, nullptr);
        const std::string path = mDir / "round.png";
        ASSERT_EQ(TAppGuiModule::SavePNG(src, path.c_str(), nullptr, 0), 0);
        SDL_Surface* back = IMG_Load(path.c_str());
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->format->Amask, 0u) << "the file has no alpha channel";
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) {
                // Colours as the source format holds them; alpha is gone.
                EXPECT_EQ(SurfacePixel(back, x, y), SurfacePixel(src, x, y) | 0xFF) << x << "," << y;
            }
        SDL_FreeSurface(back);
        SDL_FreeSurface(src);
        int count = 4;
        TextBuffers buffers(4, 16);
        EXPECT_EQ(TAppGuiModule::GetPNGInfo(path, buffers.records.data(), &count), 0);
        EXPECT_EQ(count, 0);
    }
}

TEST_F(Images, PngTextRecordsRoundTrip)
{
    const std::string key79(79, 'k');
    const std::string longText(5000, 'z');
    const char* utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC";
    std::vector<png_text> in{
        Text(PNG_TEXT_COMPRESSION_NONE, "Title", "Screen 1"),
        Text(PNG_TEXT_COMPRESSION_zTXt, "Comment", longText.c_str()),
        Text(PNG_ITXT_COMPRESSION_NONE, "Description", utf8),
        Text(PNG_ITXT_COMPRESSION_zTXt, key79.c_str(), utf8),
    };
    const std::string path = mDir / "text.png";
    ASSERT_TRUE(SavePng(Solid(kRed), path, in.data(), int(in.size())));

    struct Case {
        int capacity;
        int expected;
    };
    for (Case c : std::vector<Case>{{0, 0}, {2, 2}, {4, 4}, {10, 4}, {-3, 0}}) {
        SCOPED_TRACE(c.capacity);
        TextBuffers buffers(10, 6000);
        int count = c.capacity;
        ASSERT_EQ(TAppGuiModule::GetPNGInfo(path, buffers.records.data(), &count), 0);
        ASSERT_EQ(count, c.expected);
        for (int i = 0; i < count; ++i) {
            const png_text& r = buffers.records[i];
            EXPECT_EQ(r.compression, in[i].compression) << i;
            EXPECT_STREQ(r.key, in[i].key) << i;
            EXPECT_STREQ(r.text, in[i].text) << i;
            EXPECT_EQ(r.text_length, std::strlen(in[i].text)) << i;
            EXPECT_EQ(r.itxt_length, in[i].compression >= PNG_ITXT_COMPRESSION_NONE ? std::strlen(in[i].text) : 0u)
                << i;
        }
        // Records past the count are not touched.
        for (int i = count; i < 10; ++i)
            EXPECT_EQ(buffers.records[i].text_length, 6000u) << i;
        EXPECT_TRUE(buffers.GuardsIntact(6000));
    }
}

// An independent reader accepts what SavePNG writes and lists the text
// records as they were given.
TEST_F(Images, WrittenFilesPassAnIndependentChecker)
{
    if (std::system("command -v pngcheck >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "pngcheck is not installed (scripts/setup-debian.sh installs it)";
    const std::string comment(3000, 'c');
    std::vector<png_text> in{
        Text(PNG_TEXT_COMPRESSION_NONE, "Terminal", "kiosk 7"),
        Text(PNG_TEXT_COMPRESSION_NONE, "Time", "2026-12-11 15:00:00"),
        Text(PNG_TEXT_COMPRESSION_NONE, "Frame rate", "59.9"),
        Text(PNG_TEXT_COMPRESSION_zTXt, "Comment", comment.c_str()),
        Text(PNG_ITXT_COMPRESSION_NONE, "Description", "Gr\xC3\xBC\xC3\x9F" "e"),
    };
    for (Uint32 format : {SDL_PIXELFORMAT_ARGB8888, SDL_PIXELFORMAT_RGB565}) {
        SCOPED_TRACE(SDL_GetPixelFormatName(format));
        const std::string path = mDir / "checked.png";
        SDL_Surface* s = MakeSurface(33, 17, [](int x, int y) { return Uint32(x * 7) << 24 | Uint32(y * 15) << 8 | 0xFF; },
                                     format);
        ASSERT_TRUE(SavePng(s, path, in.data(), int(in.size())));
        FILE* p = popen(("pngcheck -t '" + path + "' 2>&1").c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        while (size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        EXPECT_EQ(pclose(p), 0) << out;
        EXPECT_NE(out.find("OK: " + path + " (33x17, 24-bit RGB, non-interlaced"), std::string::npos) << out;
        for (const char* expected : {"Terminal:\n    kiosk 7\n", "Time:\n    2026-12-11 15:00:00\n", "Frame rate:\n    59.9\n"})
            EXPECT_NE(out.find(expected), std::string::npos) << expected << " in\n" << out;
    }
}

TEST_F(Images, PngTextCopiesAreBoundedByTheCallersBuffers)
{
    // tEXt keys longer than 79 bytes are not refused by libpng's reader.
    const std::string longKey(200, 'K');
    const std::string file = FakePng(Chunk("tEXt", longKey + '\0' + "0123456789") +
                                     Chunk("iTXt", std::string("Lang\0\0\0de\0Sprache\0", 18) +
                                                       "\xC3\xA4\xC3\xB6\xC3\xBC"));
    const std::string path = mDir / "hostile.png";
    WriteFile(path, file);

    struct Case {
        size_t capacity;
        std::string text0, text1;
    };
    for (const Case& c : std::vector<Case>{{0, "", ""}, {1, "", ""}, {5, "0123", "\xC3\xA4\xC3\xB6"},
                                           {11, "0123456789", "\xC3\xA4\xC3\xB6\xC3\xBC"}}) {
        SCOPED_TRACE(c.capacity);
        TextBuffers buffers(2, c.capacity);
        int count = 2;
        ASSERT_EQ(TAppGuiModule::GetPNGInfo(path, buffers.records.data(), &count), 0);
        ASSERT_EQ(count, 2);
        EXPECT_EQ(std::string(buffers.records[0].key), longKey.substr(0, 79));
        EXPECT_EQ(std::string(buffers.records[1].key), "Lang");
        if (c.capacity > 0) {
            EXPECT_EQ(std::string(buffers.records[0].text), c.text0);
            EXPECT_EQ(std::string(buffers.records[1].text), c.text1);
        } else {
            EXPECT_EQ(buffers.texts[0][0], '#') << "a zero capacity writes nothing";
        }
        EXPECT_EQ(buffers.records[0].text_length, 10u);
        EXPECT_EQ(buffers.records[1].text_length, 6u);
        EXPECT_EQ(buffers.records[1].itxt_length, 6u);
        EXPECT_EQ(buffers.records[1].compression, PNG_ITXT_COMPRESSION_NONE);
        EXPECT_TRUE(buffers.GuardsIntact(c.capacity));
    }

    // Null buffers are skipped, the lengths still reported.
    std::vector<png_text> bare(2, png_text{});
    int count = 2;
    ASSERT_EQ(TAppGuiModule::GetPNGInfo(path, bare.data(), &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(bare[0].text_length, 10u);
    EXPECT_EQ(bare[0].compression, PNG_TEXT_COMPRESSION_NONE);

    EXPECT_EQ(TAppGuiModule::GetPNGInfo(path, nullptr, &count), -1);
    EXPECT_EQ(TAppGuiModule::GetPNGInfo(path, bare.data(), nullptr), -1);
}

TEST_F(Images, RefusedWritesKeepTheOldFile)
{
    const std::string path = mDir / "keep.png";
    ASSERT_TRUE(SavePng(Solid(kGreen), path));
    const std::string old = ReadFile(path);
    const std::string key80(80, 'k');

    struct Case {
        const char* what;
        std::function<int()> save;
        int expected;
    };
    png_text emptyKey[] = {Text(PNG_TEXT_COMPRESSION_NONE, "Fine", "x"), Text(PNG_TEXT_COMPRESSION_NONE, "", "y")};
    png_text nullKey[] = {Text(PNG_TEXT_COMPRESSION_NONE, nullptr, "y")};
    png_text longKey[] = {Text(PNG_TEXT_COMPRESSION_zTXt, key80.c_str(), "y")};
    png_text badMode[] = {Text(7, "Mode", "y")};
    // A red image over the green one, with the given text records.
    auto saveRed = [&](png_text* texts, int n) {
        SDL_Surface* s = Solid(kRed);
        int rc = TAppGuiModule::SavePNG(s, path.c_str(), texts, n);
        SDL_FreeSurface(s);
        return rc;
    };
    const std::vector<Case> cases{
        {"empty key", [&] { return saveRed(emptyKey, 2); }, -4},
        {"null key", [&] { return saveRed(nullKey, 1); }, -4},
        {"80-byte key", [&] { return saveRed(longKey, 1); }, -4},
        {"bad compression", [&] { return saveRed(badMode, 1); }, -4},
        {"empty image",
         [&] {
             SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, 0, 0, 32, SDL_PIXELFORMAT_ARGB8888);
             int rc = TAppGuiModule::SavePNG(s, path.c_str(), nullptr, 0);
             SDL_FreeSurface(s);
             return rc;
         },
         -4},
        {"null image", [&] { return TAppGuiModule::SavePNG(nullptr, path.c_str(), nullptr, 0); }, -7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out = Stdout([&] { EXPECT_EQ(c.save(), c.expected); });
        EXPECT_EQ(ReadFile(path), old);
        EXPECT_EQ(Listing(mDir.path()), std::vector<std::string>{"keep.png"}) << "no temporary file left";
    }

    SDL_Surface* s = Solid(kRed);
    EXPECT_EQ(TAppGuiModule::SavePNG(s, nullptr, nullptr, 0), -6);
    std::string out = Stdout([&] {
        EXPECT_EQ(TAppGuiModule::SavePNG(s, (mDir / "no/such/folder.png").c_str(), nullptr, 0), -3);
        EXPECT_EQ(TAppGuiModule::SavePNG(s, (mDir.path() + "/").c_str(), nullptr, 0), -3);
        EXPECT_EQ(TAppGuiModule::SavePNG(s, "", nullptr, 0), -3);
    });
    EXPECT_NE(out.find("Error opening file: No such file or directory.\n"), std::string::npos) << out;
    SDL_FreeSurface(s);
}

TEST_F(Images, ReplacingKeepsModeAndWritesThroughALink)
{
    const std::string path = mDir / "mode.png";
    ASSERT_TRUE(SavePng(Solid(kGreen), path));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const std::string link = mDir / "link.png";
    ASSERT_EQ(symlink("mode.png", link.c_str()), 0);
    ASSERT_TRUE(SavePng(Solid(kRed), link));

    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    SDL_Surface* back = IMG_Load(path.c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(SurfacePixel(back, 0, 0), kRed);
    SDL_FreeSurface(back);
    EXPECT_EQ(Listing(mDir.path()), (std::vector<std::string>{"link.png", "mode.png"}));
}

TEST(PngFiles, FullDiskKeepsTheOldFile)
{
    TempDir dir;
    const std::string path = dir / "full.png";
    ASSERT_TRUE(SavePng(Solid(kGreen), path));
    const std::string old = ReadFile(path);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Writes past 16 KiB fail with EFBIG instead of ending the process.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{16384, 16384};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::mt19937 noise(12345);
        SDL_Surface* s = MakeSurface(256, 256, [&](int, int) { return Uint32(noise()) | 0xFF; });
        int rc = TAppGuiModule::SavePNG(s, path.c_str(), nullptr, 0);
        _exit(rc == -4 ? 0 : 100 - rc);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "SavePNG must report the failed write with -4";
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"full.png"});
}

// Images above the size bound are refused before decoding (by the header)
// or, for a real file, instead of being handed out.
TEST_F(Images, ImagesAboveTheSizeBoundAreRefused)
{
    auto be32 = [](Uint32 v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    auto le16 = [](Uint32 v) { return std::string{char(v), char(v >> 8)}; };
    auto le24 = [](Uint32 v) { return std::string{char(v), char(v >> 8), char(v >> 16)}; };
    auto le32 = [](Uint32 v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    const std::string junk(64, '\x55');
    struct Case {
        const char* name;
        std::string bytes;
        const char* size;
    };
    const Case cases[] = {
        {"wide.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + be32(40000) + be32(10) + junk, "40000x10"},
        {"big.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + be32(8192) + be32(8193) + junk,
         "8192x8193"},
        {"tall.gif", "GIF89a" + le16(10) + le16(40000) + junk, "10x40000"},
        {"wide.bmp", "BM" + std::string(12, '\0') + le32(40) + le32(40000) + le32(Uint32(-10)) + junk, "40000x10"},
        {"wide.jpg",
         std::string("\xFF\xD8\xFF\xE0\x00\x10", 6) + std::string(14, 'J') +
             std::string("\xFF\xC0\x00\x11\x08\x00\x0A\x9C\x40\x03", 10) + junk,
         "40000x10"},
        {"wide.webp", "RIFF" + le32(100) + "WEBPVP8X" + le32(10) + le32(0) + le24(39999) + le24(9) + junk,
         "40000x10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mDir.path() + "/" + c.name;
        WriteFile(path, c.bytes);
        SDL_Surface* s = reinterpret_cast<SDL_Surface*>(1);
        const std::string out = Stdout([&] { s = MyUtils::LoadSurface(path); });
        EXPECT_EQ(s, nullptr);
        EXPECT_NE(out.find(std::string("APP WARNING: image ") + path + " is " + c.size), std::string::npos) << out;
    }
    // Real files at the bound and one pixel past it.
    ASSERT_TRUE(SavePng(Solid(kRed, 32768, 1), mDir / "edge.png"));
    ASSERT_TRUE(SavePng(Solid(kRed, 32769, 1), mDir / "past.png"));
    SDL_Surface* edge = MyUtils::LoadSurface(mDir.path() + "/edge.png");
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->w, 32768);
    SDL_FreeSurface(edge);
    const std::string out = Stdout([&] { EXPECT_EQ(MyUtils::LoadSurface(mDir.path() + "/past.png"), nullptr); });
    EXPECT_NE(out.find("APP WARNING: "), std::string::npos) << out;
}

TEST_F(Images, MalformedFilesAreRefusedWithoutACrash)
{
    const std::string good = FakePng(Chunk("tEXt", std::string("Key\0value", 9)));
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        int info; // GetPNGInfo result
        int texts; // records read when info is 0
        bool loaders = true;
    };
    auto bytes = [](std::string b) { return [b](const std::string& p) { WriteFile(p, b); }; };
    const std::vector<Case> cases{
        {"empty", bytes(""), -1, 0},
        {"not a png", bytes("GIF89a\x01\x00\x01\x00\x00\x00\x00;"), -1, 0},
        {"signature only", bytes(kSignature), -1, 0},
        {"cut in the header", bytes(good.substr(0, 20)), -1, 0},
        {"cut in a text chunk", bytes(good.substr(0, 8 + 25 + 10)), -1, 0},
        {"header crc", bytes(kSignature + Ihdr(1, 1, true) + Chunk("IDAT", "") + Chunk("IEND", "")), -1, 0},
        {"text crc", bytes(FakePng(Chunk("tEXt", std::string("Key\0v", 5), true) +
                                   Chunk("tEXt", std::string("Ok\0v", 4)))), 0, 1},
        {"zero width", bytes(FakePng("", 0, 1)), -1, 0},
        {"width 2^31", bytes(FakePng("", 0x80000000u, 1)), -1, 0},
        {"height 2^31-1", bytes(FakePng("", 1, 0x7FFFFFFFu)), -1, 0},
        {"text chunk of 2 GiB", bytes(kSignature + Ihdr(1, 1) + Be32(0x7FFFFFF0u) + "tEXtKey"), -1, 0},
        {"bad zlib text", bytes(FakePng(Chunk("zTXt", std::string("Z\0\0garbage", 10)) +
                                        Chunk("tEXt", std::string("Ok\0v", 4)))), 0, 1},
        {"huge sparse file",
         [&](const std::string& p) {
             WriteFile(p, kSignature + Ihdr(1, 1));
             ASSERT_EQ(truncate(p.c_str(), 1ll << 30), 0);
         },
         -1, 0},
        {"directory", [](const std::string& p) { fs::create_directory(p); }, -1, 0},
        {"missing", [](const std::string&) {}, -1, 0},
        {"fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, -1, 0, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mDir / ("bad" + std::to_string(n++) + ".png");
        c.make(path);
        TextBuffers buffers(4, 64);
        int count = 4;
        std::string out = Stdout([&] {
            EXPECT_EQ(TAppGuiModule::GetPNGInfo(path, buffers.records.data(), &count), c.info);
            if (c.loaders) {
                EXPECT_EQ(TAppGuiModule::LoadImage(path.c_str(), 0, 0, 0, 0, 0), nullptr);
                EXPECT_EQ(TAppGuiModule::LoadSurface(path.c_str(), 0, 0, 0, 0, 0), nullptr);
            }
        });
        EXPECT_EQ(count, c.info == 0 ? c.texts : 0) << out;
        EXPECT_TRUE(buffers.GuardsIntact(64));
    }
}

TEST_F(Images, CompressedTextBombStaysSmall)
{
    // Each chunk inflates to 7 MB; a reader that kept them would need most
    // of a gigabyte.
    const std::string bomb = DeflateBomb(7000000);
    std::string chunks = Chunk("tEXt", std::string("Ok\0small", 8));
    for (int i = 0; i < 120; ++i)
        chunks += Chunk("zTXt", "Bomb" + std::to_string(i) + std::string(1, '\0') + std::string(1, '\0') + bomb);
    const std::string path = mDir / "bomb.png";
    WriteFile(path, FakePng(chunks));

    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    TextBuffers buffers(200, 64);
    int count = 200;
    ASSERT_EQ(TAppGuiModule::GetPNGInfo(path, buffers.records.data(), &count), 0);
    getrusage(RUSAGE_SELF, &after);
    // The first text, and at most the few bombs that fit the reader's budget.
    EXPECT_GE(count, 1);
    EXPECT_LE(count, 10);
    EXPECT_STREQ(buffers.records[0].text, "small");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const long limitKiB = 400 * 1024; // the sanitizers' shadow memory counts too
#else
    const long limitKiB = 200 * 1024; // the whole bomb would be about 840 MB
#endif
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, limitKiB) << "KiB";
}

// --- layers, sub-images, slides

namespace {

// Renderer state that the texture operations must leave as they found it.
struct RendererSnapshot {
    SDL_Texture* target;
    Uint8 r, g, b, a;
    SDL_BlendMode blend;
    SDL_Rect viewport, clip;
    bool clipOn;
    explicit RendererSnapshot(SDL_Renderer* rr)
    {
        target = SDL_GetRenderTarget(rr);
        SDL_GetRenderDrawColor(rr, &r, &g, &b, &a);
        SDL_GetRenderDrawBlendMode(rr, &blend);
        SDL_RenderGetViewport(rr, &viewport);
        SDL_RenderGetClipRect(rr, &clip);
        clipOn = SDL_RenderIsClipEnabled(rr);
    }
    bool operator==(const RendererSnapshot& o) const
    {
        return target == o.target && r == o.r && g == o.g && b == o.b && a == o.a && blend == o.blend &&
               SDL_RectEquals(&viewport, &o.viewport) && SDL_RectEquals(&clip, &o.clip) && clipOn == o.clipOn;
    }
};

} // namespace

TEST_F(Images, LayerClearColourPerFlavour)
{
    using namespace vorel_sdl2;
    SDL_Texture* back = MakeTexture(32, 32, [](int, int) { return 0u; });
    SDL_SetRenderTarget(mRenderer, back);
    SDL_SetRenderDrawColor(mRenderer, 1, 2, 3, 4);
    SDL_SetRenderDrawBlendMode(mRenderer, SDL_BLENDMODE_MOD);
    SDL_Rect viewport{2, 3, 20, 20}, clip{4, 4, 5, 5};
    SDL_RenderSetViewport(mRenderer, &viewport);
    SDL_RenderSetClipRect(mRenderer, &clip);
    const RendererSnapshot before(mRenderer);

    const std::map<TFlavour, bool> keyed{
        {UNKNOWN_FLAVOUR, false}, {MERIDAN_FLAVOUR, false}, {CALDO_FLAVOUR, false}, {CALDO2_FLAVOUR, false},
        {PELTA_FLAVOUR, false},   {QUILO_FLAVOUR, false},   {VUNT_FLAVOUR, false},  {LORIMA_FLAVOUR, true},
        {ZEQ_FLAVOUR, true},      {TAVRIN_FLAVOUR, true}};
    for (const auto& [flavour, clearsToKey] : keyed) {
        SCOPED_TRACE(flavour);
        TerminalFlavour = flavour;
        SDL_Texture* layer = TAppGuiModule::CreateLayer(nullptr, 3, 2, 1, 200, 100, 50, 32);
        ASSERT_NE(layer, nullptr);
        Uint32 format = 0;
        int access = -1;
        SDL_QueryTexture(layer, &format, &access, nullptr, nullptr);
        EXPECT_EQ(format, Uint32(SDL_PIXELFORMAT_RGBA8888));
        EXPECT_EQ(access, SDL_TEXTUREACCESS_TARGET);
        SDL_BlendMode mode;
        SDL_GetTextureBlendMode(layer, &mode);
        EXPECT_EQ(mode, SDL_BLENDMODE_BLEND);
        EXPECT_TRUE(RendererSnapshot(mRenderer) == before);
        for (Uint32 p : Pixels(layer))
            EXPECT_EQ(p, clearsToKey ? 0xC8643200u : 0u);
        SDL_DestroyTexture(layer);
    }
    EXPECT_EQ(TAppGuiModule::CreateLayer(nullptr, 0, 5, 0, 0, 0, 0, 32), nullptr);
    EXPECT_TRUE(RendererSnapshot(mRenderer) == before);
    SDL_SetRenderTarget(mRenderer, nullptr);
    SDL_DestroyTexture(back);
}

TEST_F(Images, SubImageCopiesExactPixelsAndClips)
{
    // Distinct pixels, half of them translucent.
    auto colour = [&](int x, int y) {
        return Uint32(x * 60 + 10) << 24 | Uint32(y * 60 + 10) << 16 | 0x7700u | ((x + y) % 2 ? 0x80u : 0xFFu);
    };
    SDL_Texture* src = MakeTexture(4, 4, colour);
    // Modulation and blending of the source must not reach the copy.
    SDL_SetTextureAlphaMod(src, 90);
    SDL_SetTextureColorMod(src, 0, 255, 128);
    SDL_SetTextureBlendMode(src, SDL_BLENDMODE_ADD);

    SDL_Texture* back = MakeTexture(32, 32, [](int, int) { return 0u; });
    SDL_SetRenderTarget(mRenderer, back);
    SDL_Rect viewport{1, 1, 16, 16}, clip{2, 2, 8, 8};
    SDL_RenderSetViewport(mRenderer, &viewport);
    SDL_RenderSetClipRect(mRenderer, &clip);
    SDL_SetRenderDrawColor(mRenderer, 9, 8, 7, 6);
    const RendererSnapshot before(mRenderer);

    struct Case {
        int x, y, w, h;
    };
    // Whole, inside, past the far corner, before the near corner, taller than
    // the source, and wholly outside.
    const std::vector<Case> cases{{0, 0, 4, 4},   {1, 1, 2, 2}, {2, 2, 4, 4},
                                  {-1, -2, 3, 3}, {3, -1, 1, 6}, {10, 10, 2, 2}};
    for (Case c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.w << "x" << c.h);
        SDL_Texture* sub = TAppGuiModule::SubImage(src, c.x, c.y, c.w, c.h);
        ASSERT_NE(sub, nullptr);
        EXPECT_TRUE(RendererSnapshot(mRenderer) == before);
        std::vector<Uint32> got = Pixels(sub);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                const int sx = c.x + x, sy = c.y + y;
                const bool inside = sx >= 0 && sy >= 0 && sx < 4 && sy < 4;
                EXPECT_EQ(got[size_t(y) * c.w + x], inside ? colour(sx, sy) : 0u) << x << "," << y;
            }
        SDL_DestroyTexture(sub);
    }
    Uint8 a = 0, r = 0, g = 0, b = 0;
    SDL_BlendMode mode;
    SDL_GetTextureAlphaMod(src, &a);
    SDL_GetTextureColorMod(src, &r, &g, &b);
    SDL_GetTextureBlendMode(src, &mode);
    EXPECT_EQ(a, 90);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(g, 255);
    EXPECT_EQ(b, 128);
    EXPECT_EQ(mode, SDL_BLENDMODE_ADD);

    EXPECT_EQ(TAppGuiModule::SubImage(nullptr, 0, 0, 2, 2), nullptr);
    EXPECT_EQ(TAppGuiModule::SubImage(src, 0, 0, 0, 2), nullptr);
    EXPECT_TRUE(RendererSnapshot(mRenderer) == before);
    SDL_SetRenderTarget(mRenderer, nullptr);
    SDL_DestroyTexture(back);
    SDL_DestroyTexture(src);
}

TEST_F(Images, SlidesFromRowsAndColumns)
{
    const Uint32 colours[] = {0x110000FFu, 0x220000FFu, 0x330000FFu, 0x440000FFu};
    SDL_Texture* row = MakeTexture(400, 100, [&](int x, int) { return colours[x / 100]; });
    SDL_Texture* column = MakeTexture(100, 300, [&](int, int y) { return colours[y / 100]; });
    struct Case {
        SDL_Texture* src;
        int w, h, index;
        Uint32 colour; // 0: no slide
    };
    const std::vector<Case> cases{
        {row, 100, 100, 0, colours[0]}, {row, 100, 100, 3, colours[3]}, {row, 100, 100, 4, 0},
        {row, 100, 100, -1, 0},         {row, 0, 100, 0, 0},            {row, 100, 0, 0, 0},
        {row, 50, 50, 0, 0},            {row, 400, 100, 0, colours[0]}, {row, 400, 100, 1, 0},
        {column, 100, 100, 2, colours[2]}, {column, 100, 100, 3, 0},    {column, 100, 150, 1, colours[1]},
        {nullptr, 100, 100, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.src == row ? "row " : "column ") << c.w << "x" << c.h << " #" << c.index);
        SDL_Texture* slide = TAppGuiModule::GetSlideFromImage(c.src, c.w, c.h, c.index);
        if (!c.colour) {
            EXPECT_EQ(slide, nullptr);
            continue;
        }
        ASSERT_NE(slide, nullptr);
        int w = 0, h = 0;
        SDL_QueryTexture(slide, nullptr, nullptr, &w, &h);
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
        std::vector<Uint32> px = Pixels(slide);
        EXPECT_EQ(px.front(), c.colour);
        EXPECT_EQ(px.back(), c.w == 400 ? colours[3] : c.h == 150 ? colours[2] : c.colour);
        SDL_DestroyTexture(slide);
    }
    SDL_DestroyTexture(row);
    SDL_DestroyTexture(column);
}

TEST(Rects, EachScratchRectangleHoldsItsLastValue)
{
    SDL_Rect* a = TAppGuiModule::CreateRect(1, 2, 3, 4);
    SDL_Rect* b = TAppGuiModule::CreateRect2(5, 6, 7, 8);
    EXPECT_EQ(TAppGuiModule::CreateRect(9, 10, 11, 12), a);
    EXPECT_NE(a, b);
    EXPECT_TRUE(SDL_RectEquals(a, TAppGuiModule::CreateRect(9, 10, 11, 12)));
    const SDL_Rect second{5, 6, 7, 8};
    EXPECT_TRUE(SDL_RectEquals(b, &second));
}

// --- surfaces and pixels

TEST(Surfaces, CreateAndSubSurface)
{
    SDL_Surface* s = TAppGuiModule::CreateSurface(nullptr, 8, 4, 1, 10, 20, 30, 16);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->format->BitsPerPixel, 32);
    EXPECT_EQ(s->format->Rmask, 0x00FF0000u);
    EXPECT_EQ(s->format->Gmask, 0x0000FF00u);
    EXPECT_EQ(s->format->Bmask, 0x000000FFu);
    EXPECT_EQ(s->format->Amask, 0u);
    Uint32 key = 0;
    ASSERT_EQ(SDL_GetColorKey(s, &key), 0);
    EXPECT_EQ(key, 0x000A141Eu);
    SDL_BlendMode mode;
    SDL_GetSurfaceBlendMode(s, &mode);
    EXPECT_EQ(mode, SDL_BLENDMODE_BLEND);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(SurfacePixel(s, x, y), 0x0A141EFFu);
    SDL_FreeSurface(s);

    auto colour = [](int x, int y) { return Uint32(x * 50 + 1) << 24 | Uint32(y * 50 + 1) << 16 | 0xFF; };
    SDL_Surface* src = MakeSurface(4, 4, colour);
    SDL_SetSurfaceBlendMode(src, SDL_BLENDMODE_NONE);
    SDL_Surface* sub = TAppGuiModule::SubSurface(src, 2, 2, 4, 4);
    ASSERT_NE(sub, nullptr);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(SurfacePixel(sub, x, y), x < 2 && y < 2 ? SurfacePixel(src, x + 2, y + 2) : 0xFF00FFFFu)
                << x << "," << y;
    SDL_FreeSurface(sub);
    SDL_FreeSurface(src);
    EXPECT_EQ(TAppGuiModule::SubSurface(nullptr, 0, 0, 2, 2), nullptr);
}

TEST(Pixels, GetAndSetBySize)
{
    Uint8 buffer[8] = {0x56, 0x34, 0x12, 0x9A, 0xEE, 0xEE, 0xEE, 0xEE};
    const Uint32 expected[] = {0, 0x56, 0x3456, 0x123456, 0x9A123456};
    for (Uint8 size = 1; size <= 4; ++size) {
        SCOPED_TRACE(int(size));
        EXPECT_EQ(MyUtils::GetPixel(buffer, size), expected[size]);
        Uint8 copy[8];
        std::memset(copy, 0xCC, sizeof copy);
        Uint32 v = MyUtils::GetPixel(buffer, size);
        MyUtils::SetPixel(copy, size, reinterpret_cast<Uint8*>(&v));
        EXPECT_EQ(std::memcmp(copy, buffer, size), 0);
        EXPECT_EQ(copy[size], 0xCC);
    }
    EXPECT_EQ(MyUtils::GetPixel(buffer, 5), 0u);
    EXPECT_EQ(MyUtils::GetPixel(buffer, 0), 0u);
    Uint8 untouched[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Uint32 v = 0xFFFFFFFF;
    MyUtils::SetPixel(untouched, 5, reinterpret_cast<Uint8*>(&v));
    EXPECT_EQ(untouched[0], 1);
    EXPECT_EQ(untouched[4], 5);
}

TEST(Greyscale, LighterThanLuminanceKeepsAlphaAndTheColourKey)
{
    struct Case {
        Uint32 in, out;
    };
    // sRGB-encoded Rec. 709 luminance of the stored channel values.
    const std::vector<Case> cases{
        {0xFF0000C8u, 0x7F7F7FC8u}, {0x00FF00FFu, 0xDCDCDCFFu}, {0x0000FF10u, 0x4C4C4C10u},
        {0xFFFFFFFFu, 0xFFFFFFFFu}, {0x00000080u, 0x00000080u}, {0xFF00FFFFu, 0xFF00FFFFu}, // the key
    };
    for (Uint32 format : {SDL_PIXELFORMAT_ARGB8888, SDL_PIXELFORMAT_RGB24}) {
        SCOPED_TRACE(SDL_GetPixelFormatName(format));
        const bool alpha = format == SDL_PIXELFORMAT_ARGB8888;
        SDL_Surface* s = MakeSurface(int(cases.size()), 1, [&](int x, int) { return cases[x].in; }, format);
        ASSERT_NE(s, nullptr);
        SDL_SetColorKey(s, SDL_TRUE, SDL_MapRGB(s->format, 255, 0, 255));
        MyUtils::SDL_ConvertToGrayscale(s);
        for (size_t i = 0; i < cases.size(); ++i)
            EXPECT_EQ(SurfacePixel(s, int(i), 0), alpha ? cases[i].out : cases[i].out | 0xFF) << i;
        SDL_FreeSurface(s);
    }
    // Without a key, magenta is a colour like any other.
    SDL_Surface* s = Solid(0xFF00FFFFu, 1, 1);
    MyUtils::SDL_ConvertToGrayscale(s);
    EXPECT_EQ(SurfacePixel(s, 0, 0), 0x919191FFu);
    SDL_FreeSurface(s);
    MyUtils::SDL_ConvertToGrayscale(nullptr);
}

// A run-length encoded surface has no pixels until it is locked; it is
// converted all the same.
TEST(Greyscale, RunLengthEncodedSurfaceIsConverted)
{
    SDL_Surface* s = MakeSurface(8, 2, [](int x, int) { return x < 4 ? 0xFF0000FFu : 0xFF00FFFFu; });
    ASSERT_NE(s, nullptr);
    SDL_SetColorKey(s, SDL_TRUE, SDL_MapRGB(s->format, 255, 0, 255));
    ASSERT_EQ(SDL_SetSurfaceRLE(s, 1), 0);
    SDL_Surface* target = SDL_CreateRGBSurfaceWithFormat(0, 8, 2, 32, SDL_PIXELFORMAT_ARGB8888);
    ASSERT_EQ(SDL_BlitSurface(s, nullptr, target, nullptr), 0); // the first blit encodes it
    ASSERT_TRUE(SDL_MUSTLOCK(s));
    ASSERT_EQ(s->pixels, nullptr) << "not encoded: nothing to test";
    MyUtils::SDL_ConvertToGrayscale(s);
    ASSERT_EQ(SDL_LockSurface(s), 0);
    EXPECT_EQ(SurfacePixel(s, 0, 0), 0x7F7F7FFFu);
    EXPECT_EQ(SurfacePixel(s, 7, 1), 0xFF00FFFFu); // the key stays
    SDL_UnlockSurface(s);
    SDL_FreeSurface(target);
    SDL_FreeSurface(s);
}
