// The GUI module (full build only): the application module that owns the one
// window, its renderer, an off-screen back buffer and the top-level
// components, and composes, presents and paces one frame per draw().
//
// A host derives its own GUI module (it implements Unload), assigns it to
// TApplication::pAppGUI before Run, and in its Load override, which the draw
// thread calls, creates the window (CreateWindow) before calling
// TAppGuiModule::Load, which places the window on the display chosen by the
// SCREEN_INDEX parameter. The host's DrawOnce calls draw() once per frame;
// the host's Destroy calls Destroy(), which deletes the loader, the
// components and the module itself and releases images, back buffer,
// renderer and window.
//
// Threads: window, renderer and drawing belong to the draw thread (a
// CreateWindow from another thread works but prints a warning), and every
// renderer call, clear and present included, is made on it: SDL renderers
// (and the OpenGL context behind this one) are single-thread objects. Work
// for the renderer from other threads is deferred to the draw thread: a
// component added there gets its load() at the start of the next frame;
// deferred draw calls (TApplication::DeferToDraw) carry anything else; the
// texture operations below refuse (null, "APP WARNING: " line) on another
// thread while the module has a renderer. draw() holds
// the application's draw lock while it runs deferred draw calls, draw-context
// actions and tasks and composes the components; pacing and present run
// outside it. mainLogic runs on the main thread under the same lock (the main
// loop try-locks it). The component list has no lock of its own: change it
// under the draw lock. draw() holds it while it calls components, deferred
// draw calls and draw actions and tasks, and SetupGraphics runs under it;
// anywhere else (DrawOnce outside draw() included) take it with
// lockDrawMutex, or defer the change to the draw thread.
//
// Failure: host code called from draw (deferred calls, components, the two
// draw hooks) is fenced; an exception is reported with a fixed line on
// standard output and the frame goes on. draw without a renderer still waits
// out its frame time. Tick differences are unsigned 32-bit, so the 49.7-day
// wrap of the tick counter changes nothing.
#pragma once

#ifndef VOREL_NOGFX

#include "TAppModule.h"
#include "TGuiComponent.h"

#include <SDL2/SDL_pixels.h>
#include <SDL2/SDL_rect.h>
#include <SDL2/SDL_render.h>
#include <SDL2/SDL_video.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

struct SDL_Renderer;

namespace vorel_sdl2 {

class TAppGuiModule : public TAppModule {
public:
    TAppGuiModule();
    // Releases the list only; Destroy does the teardown.
    ~TAppGuiModule() override;

    // Chooses the display (SCREEN_INDEX, 1-based) and places the window on
    // it; 0 when a display was chosen, -1 when none is known.
    int Load(void* hInitData) override;

    // Teardown in an order that keeps every pointer valid while it is used:
    // loader and components (whose destructors may free textures), then
    // cached images, then back buffer, renderer and window; the static
    // renderer and window pointers that named them are cleared. Returns
    // TAppModule::Destroy's result: with an application set, the module is
    // unregistered and deleted.
    virtual int Destroy();
    virtual void OnShow();
    virtual void OnHide();
    virtual void Show();
    virtual void Hide();
    // Requests a re-read of the window size at the next frame.
    virtual void RefreshSize();
    // One frame: 0 after a frame, 1 when terminating, 2 without a renderer.
    virtual int draw();
    // mainLogic of every top-level component, visible or not; the main loop
    // calls it at most once per drawn frame.
    virtual void mainLogic();

    // Window, renderer (vsync per the application's VSYNC, taking effect only
    // when the renderer grants it) and back buffer. 0, or -2 (no window), -3
    // (no renderer: the OpenGL driver is asked for first, then any driver),
    // -4 (no back buffer). AtIndex is not used.
    int CreateWindow(std::string WindowTitle, int x, int y, int w, int h, Uint32 CreateWindowFlags,
                     int DriverIndex4Renderer, Uint32 CreateRendererFlags, int AtIndex);
    // Releases the cached textures (MyUtils::loaderTexture), then destroys
    // back buffer, renderer and window.
    void DestroyWindow();

    SDL_Rect GetScreenBounds(int* screen_index) const;
    SDL_Rect GetCombinedScreenBounds() const;

    float getFPS(float* nonVSyncFPS);
    SDL_Renderer* GetRenderer() const { return mpGUIRenderer; }
    void SetRenderer(SDL_Renderer* pRenderer) { mpGUIRenderer = pRenderer; }
    SDL_Window* getWindow() { return mpWindow; }

    bool IsVisible() const { return Visible != 0; }
    void StopRendering() { mDrawEnabled = false; }
    void StartRendering() { mDrawEnabled = true; }
    bool IsRendering() const { return mDrawEnabled; }
    void RotateScreen(bool rotate) { ScreenRotate = rotate; }
    bool IsScreenRotated() const { return ScreenRotate; }
    // Values below 1 are ignored.
    void SetTargetFPS(int fps);
    int GetTargetFPS() const { return mTargetFPS; }
    bool IsVsync() const { return mVsync; }
    // Restarts frame timing from now, e.g. after a long pause in drawing.
    void updateLastDrawTime();
    // Switches the window to desktop full screen; 0 or SDL's error code.
    int WindowToFullscreen();

    // True on the draw thread, or while no GUI module has a renderer; on any
    // other thread prints a warning naming the operation and returns false.
    static bool OnRendererThread(const char* operation);

    static void SetGlobalPixelFormat(SDL_PixelFormat* fmt);
    static void SetRendererStatic(SDL_Renderer* pRenderer);
    static void SetWindowStatic(SDL_Window* pWindow);

    // --- Images. The texture operations draw with mpGUIRendererStatic (so
    // they work once a window exists, on the draw thread) and leave its render target, draw colour, draw blend mode,
    // viewport, clip rectangle and scale as they found them. A returned
    // texture or surface belongs to the caller; failures yield null. Arguments
    // that only the signature keeps (alphablend, TransparentColor, the colour
    // of LoadImage and LoadSurface, transparent, BitDepth, the format
    // references) are not used.

    // The file (extension fallback as in MyUtils::LoadTexture) copied into a
    // render-target texture; null for an empty name or a file that does not
    // load (with a line on standard output).
    static SDL_Texture* LoadImage(const char* file, int alphablend, int TransparentColor, int tR, int tG, int tB);
    // The rectangle {x, y, w, h} of pSrc in a new w x h render-target texture
    // (blend mode blend). Pixels are copied unmodulated and unblended, alpha
    // included; the part of the rectangle outside the source stays
    // transparent black (nothing is stretched). Null for a null source or a
    // size below 1.
    static SDL_Texture* SubImage(SDL_Texture* pSrc, int x, int y, int w, int h);
    // A width x height RGBA8888 render-target texture (blend mode blend),
    // cleared to (tR, tG, tB, 0) on the ZEQ, LORIMA and TAVRIN flavours and
    // to transparent black on every other. Null, with the renderer
    // untouched, when the texture cannot be made.
    static SDL_Texture* CreateLayer(SDL_Texture* pFormatReference, int width, int height, int transparent, int tR,
                                    int tG, int tB, int BitDepth);
    // The file as a surface (blend mode blend); null for an empty name or a
    // file that does not load (with a line on standard output).
    static SDL_Surface* LoadSurface(const char* file, int alphablend, int TransparentColor, int tR, int tG, int tB);
    // A 32-bit RGB surface without alpha, blend mode blend, colour key
    // (tR, tG, tB) and filled with it.
    static SDL_Surface* CreateSurface(SDL_Surface* pFormatReference, int width, int height, int transparent, int tR,
                                      int tG, int tB, int BitDepth);
    // The rectangle {x, y, w, h} of pSrc blitted onto a magenta-keyed
    // CreateSurface; what lies outside the source stays magenta.
    static SDL_Surface* SubSurface(SDL_Surface* pSrc, int x, int y, int w, int h);
    // Two scratch rectangles: each call overwrites its own one.
    static SDL_Rect* CreateRect(int x, int y, int w, int h);
    static SDL_Rect* CreateRect2(int x, int y, int w, int h);
    // Frame SlideIndex of a strip of equal slides laid out in one row (the
    // source is SlideHeight high; this wins when both hold) or one column
    // (SlideWidth wide), as SubImage. Null for a null source, a negative or
    // too large index, a slide size below 1 or a source of neither shape.
    static SDL_Texture* GetSlideFromImage(SDL_Texture* pSourceImage, int SlideWidth, int SlideHeight,
                                          int SlideIndex);

    // Writes pImage as an 8-bit RGB PNG (alpha is not kept) with the
    // MetadataCount png_text records at pPngMetadata (may be null) before the
    // image data. The file is written under a temporary name in the same
    // folder and renamed over FileName only once every write, the flush and
    // the close succeeded, so a failure leaves an existing file as it was.
    // Keys must be 1 to 79 bytes. Returns 0, -2 (out of memory or the image
    // cannot be converted), -3 (no file can be created there), -4 (libpng
    // refused the data, a key is empty or too long, or writing, closing or
    // renaming failed), -5 (libpng structures not created), -6 (null file
    // name), -7 (null image).
    static int SavePNG(SDL_Surface* pImage, const char* FileName, void* pPngMetadata, int MetadataCount);
    // Reads the text records before the image data of a PNG file.
    // pPngMetadata points to *pMetadataCount caller-owned png_text records;
    // for each one the caller provides:
    //   key         a buffer of at least 80 bytes (or null: key not copied);
    //   text        a buffer (or null: text not copied) whose capacity in
    //               bytes, terminator included, is in text_length.
    // On return *pMetadataCount is the number of records filled, at most the
    // capacity passed in and the number in the file. For each: compression as
    // in the file; key and text copied, truncated to 79 bytes and to
    // capacity - 1 bytes and always terminated; text_length the full length
    // of the text in the file (for iTXt records itxt_length too), so a value
    // not below the capacity means the text was cut. lang and lang_key are
    // left alone. 0 on success; -1 for a null argument, or (with
    // *pMetadataCount set to 0) a file that cannot be opened, is not a
    // regular file or is not a readable PNG. Reading takes at most 64 MiB
    // whatever the file holds: text chunks beyond that, beyond 256 or (when
    // compressed) beyond 8 MB each are skipped.
    static int GetPNGInfo(std::string Filename, void* pPngMetadata, int* pMetadataCount);

    // Top-level components; the module owns them. A pointer already listed
    // (here or in any component), a pending deletion or a duplicate name is
    // refused with a null result.
    TGuiComponent* AddComponent(TGuiComponent* pNewComponent);
    TGuiComponent* FindComponentByName(std::string sComponent);
    bool FindComponent(TGuiComponent* pComponent);
    bool RemoveComponent(TGuiComponent* pComponent, bool deleteInstance);
    bool RemoveComponent(std::string sComponent, bool deleteInstance);
    bool BringComponentToFront(TGuiComponent* pComponent);
    bool SendComponentToBack(TGuiComponent* pComponent);
    // Setting a new loader does not delete the old one.
    void SetLoader(TGuiComponent* loader) { pLoader = loader; }
    TGuiComponent* Loader() { return pLoader; }

    static SDL_PixelFormat mGlobalPixelFormat;
    static SDL_Renderer* mpGUIRendererStatic;
    static SDL_Window* mpWindowStatic;
    static std::vector<SDL_Rect> Displays;

protected:
    virtual void BeforeDrawComponents();
    virtual void AfterDrawComponents();

    int Visible;
    TGuiComponentList GuiComponentList;
    TGuiComponent* pLoader;
    // Set by any thread (RefreshSize), taken by the draw thread.
    std::atomic<bool> mbRefreshSize;
    SDL_Texture* mpBackBuffer;
    SDL_Rect WindowNativeSize;
    SDL_Rect WindowCurrentSize;
    int selected_screen;
    bool ScreenRotate;
    SDL_Window* mpWindow;
    SDL_Renderer* mpGUIRenderer;
    // Written by the draw thread, read by getFPS on any thread.
    std::atomic<float> mFPS;
    std::atomic<float> mFPS_noVsync;
    unsigned long mNumFrames;
    Uint32 mLastDrawTime;
    int64_t mSleepDiff;
    int mTargetFPS;
    bool mDrawEnabled;
    bool mVsync;
    TGuiComponent* mLoadingScreen;

private:
    // Anchor of GuiComponentList (see TGuiListAnchor).
    TGuiListAnchorPtr mpTopLevel;
    // The pacing point of the previous frame (after its sleep, before its
    // present): measuring from there counts the present into the budget, so
    // a 16 ms budget gives a 16 ms period.
    Uint32 mLastPaceTime;

    // Sleeps out the rest of the frame budget (unless a vsync present will
    // pace the frame); returns the tick after it.
    Uint32 PaceFrame(Uint32 budgetMs, bool presenting);
    void ComposeFrame(bool running);
    // Text value of the SCREEN_INDEX parameter (created with "1" when missing).
    std::string ScreenIndexParam();
};

} // namespace vorel_sdl2

#endif
