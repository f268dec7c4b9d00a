#include "TSoundMachine.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_audio.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace vorel_sdl2 {

namespace {

// The machine the channel-finished callback reports to. Read on the audio
// thread, written by OpenAudio/CloseAudio.
std::atomic<TSoundMachine*> pDefInst{nullptr};

// Holds an SDL mutex for one scope; SDL mutexes are recursive.
class MutexHold {
public:
    explicit MutexHold(SDL_mutex* m) : pM(m) { SDL_LockMutex(pM); }
    ~MutexHold() { SDL_UnlockMutex(pM); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    SDL_mutex* pM;
};

Mix_Chunk* LoadChunk(const std::string& path)
{
    SDL_RWops* rw = SDL_RWFromFile(path.c_str(), "rb");
    if (!rw)
        return nullptr; // SDL's error text names the file
    return Mix_LoadWAV_RW(rw, 1);
}

const char* OrEmpty(const char* s) { return s ? s : ""; }

} // namespace

// ---------------------------------------------------------------- TSoundEffect

TSoundEffect::TSoundEffect(const std::string& name)
    : FileName(name), pChunk(nullptr), LoopCount(1), MultiChannelPlay(false), pMutex(SDL_CreateMutex()),
      isPlaying(false), mPlayingChannels(0)
{
}

TSoundEffect::~TSoundEffect() { SDL_DestroyMutex(pMutex); }

bool TSoundEffect::IsPlaying()
{
    MutexHold hold(pMutex);
    return isPlaying;
}

void TSoundEffect::SetPlaying(bool val)
{
    MutexHold hold(pMutex);
    if (val) {
        if (mPlayingChannels == 0)
            mPlayingChannels = 1;
    } else {
        mPlayingChannels = 0;
    }
    isPlaying = mPlayingChannels > 0;
}

void TSoundEffect::LockObject() { SDL_LockMutex(pMutex); }
void TSoundEffect::UnlockObject() { SDL_UnlockMutex(pMutex); }

void TSoundEffect::ChannelStarted()
{
    ++mPlayingChannels;
    isPlaying = true;
}

void TSoundEffect::ChannelFinished()
{
    if (mPlayingChannels > 0)
        --mPlayingChannels;
    isPlaying = mPlayingChannels > 0;
}

// --------------------------------------------------------------- TSoundMachine

TSoundMachine::TSoundMachine()
    : Muted(false), pSoundEffectsMutex(SDL_CreateMutex()), pOpMutex(SDL_CreateMutex()), bAudioInitDone(false),
      bMixerOpened(false)
{
}

TSoundMachine::~TSoundMachine()
{
    CloseAudio();
    // No callback can reach this machine any more; the chunks go first.
    while (!SoundEffects.empty()) {
        TSoundEffect* effect = SoundEffects.front();
        SoundEffects.pop_front();
        if (effect->pChunk)
            Mix_FreeChunk(effect->pChunk);
        delete effect;
    }
    mByName.clear();
    SDL_DestroyMutex(pOpMutex);
    SDL_DestroyMutex(pSoundEffectsMutex);
}

std::string MixerVersionWarning(const SDL_version& compiled, const SDL_version& running)
{
    if (compiled.major == running.major && compiled.minor == running.minor && compiled.patch == running.patch)
        return {};
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "SDL_MIXER WARINING:**compiled with SDL_mixer version: %d.%d.%d"
                  "  **running with SDL_mixer version: %d.%d.%d\n",
                  compiled.major, compiled.minor, compiled.patch, running.major, running.minor, running.patch);
    return buf;
}

bool TSoundMachine::MixerOpen()
{
    int frequency = 0;
    Uint16 format = 0;
    int channels = 0;
    return Mix_QuerySpec(&frequency, &format, &channels) != 0;
}

bool TSoundMachine::OpenAudio()
{
    MutexHold op(pOpMutex);
    if (bMixerOpened)
        return true;

    // A retry after a failed mixer open keeps the one subsystem reference.
    if (bAudioInitDone || SDL_Init(SDL_INIT_AUDIO) == 0) {
        bAudioInitDone = true;
        std::printf("Opening audio device...\n");
    } else {
        std::printf("Can not open audio device...\n");
    }
    if (!SDL_WasInit(SDL_INIT_AUDIO)) {
        std::printf("Can not init SDL_AUDIO subsystem. Audio won't be available.\n");
        std::fflush(stdout);
        return false;
    }

    const int drivers = SDL_GetNumAudioDrivers();
    std::printf("[SDL] %d audio backends compiled into SDL:", drivers);
    for (int i = 0; i < drivers; ++i)
        std::printf(" '%s'", OrEmpty(SDL_GetAudioDriver(i)));
    std::printf("\n");
    std::printf("[SDL] Audio driver: %s\n", OrEmpty(SDL_GetCurrentAudioDriver()));
    const int devices = SDL_GetNumAudioDevices(0);
    std::printf("[SDL] %d audio devices:", devices);
    for (int i = 0; i < devices; ++i)
        std::printf(" '%s'", OrEmpty(SDL_GetAudioDeviceName(i, 0)));
    std::printf("\n");

    SDL_version compiled;
    SDL_MIXER_VERSION(&compiled);
    const std::string warning = MixerVersionWarning(compiled, *Mix_Linked_Version());
    if (!warning.empty())
        std::fputs(warning.c_str(), stdout);

    if (Mix_OpenAudio(AUDIO_FREQUENCY, AUDIO_SAMPLE_FORMAT, AUDIO_CHANNELS, AUDIO_CHUNK_SIZE) != 0)
        std::printf("Could not open audio device.: %s\n", SDL_GetError());
    else
        bMixerOpened = true;

    int frequency = 0;
    Uint16 format = 0;
    int channels = 0;
    if (Mix_QuerySpec(&frequency, &format, &channels) != 0)
        std::printf("Opened audio at %d Hz %d bit %s\n", frequency, format & 0xFF,
                    channels > 2 ? "surround" : channels == 2 ? "stereo" : "mono");

    if (bMixerOpened) {
        Mix_AllocateChannels(MIXING_CHANNELS);
        Mix_ChannelFinished(channel_finished);
        Mix_Volume(-1, MIX_MAX_VOLUME);
    }
    std::fflush(stdout);
    pDefInst = this;
    return true;
}

void TSoundMachine::CloseAudio()
{
    MutexHold op(pOpMutex);
    if (bMixerOpened) {
        // Halting the channels on close still reports them to this machine.
        Mix_CloseAudio();
        bMixerOpened = false;
    }
    if (bAudioInitDone) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        bAudioInitDone = false;
    }
    TSoundMachine* self = this;
    pDefInst.compare_exchange_strong(self, nullptr);
    if (!MixerOpen()) {
        // Nothing plays any more, whatever the callback saw.
        MutexHold list(pSoundEffectsMutex);
        for (TSoundEffect* effect : SoundEffects)
            effect->SetPlaying(false);
    }
}

TSoundEffect* TSoundMachine::FindByName(const std::string& name)
{
    auto it = mByName.find(name);
    return it == mByName.end() ? nullptr : it->second;
}

TSoundEffect* TSoundMachine::FindByChunk(Mix_Chunk* pChunk)
{
    for (TSoundEffect* effect : SoundEffects)
        if (effect->pChunk == pChunk)
            return effect;
    return nullptr;
}

TSoundEffect* TSoundMachine::GetSoundEffect(const char* FileName)
{
    if (!FileName || !*FileName)
        return nullptr;
    MutexHold list(pSoundEffectsMutex);
    return FindByName(FileName);
}

TSoundEffect* TSoundMachine::GetSoundEffect(Mix_Chunk* pChunk)
{
    if (!pChunk)
        return nullptr;
    MutexHold list(pSoundEffectsMutex);
    return FindByChunk(pChunk);
}

Mix_Chunk* TSoundMachine::DetachChunk(TSoundEffect* effect, Mix_Chunk* replacement)
{
    MutexHold list(pSoundEffectsMutex);
    Mix_Chunk* old = effect->pChunk;
    effect->pChunk = replacement;
    // Freeing the old chunk halts its channels, and the mixer reports each
    // halt to the callback, which no longer finds the old chunk here; the
    // mark goes now, whatever the callback sees.
    effect->SetPlaying(false);
    return old;
}

bool TSoundMachine::LoadSoundEffect(const char* FileName, int LoopCount, bool MultiChannelPlay)
{
    if (!FileName || !*FileName)
        return false;
    MutexHold op(pOpMutex);
    // The mixer cannot decode without an open device; keep no record so that
    // a play after OpenAudio loads it.
    if (!MixerOpen())
        return false;

    const std::string name(FileName);
    Mix_Chunk* chunk = LoadChunk(name);
    if (!chunk) {
        std::string second;
        if (!AudioPath.empty()) {
            second = AudioPath + "/" + name;
            chunk = LoadChunk(second);
        }
        if (!chunk) {
            std::printf("Can not load %s(tried also %s).\n", FileName, second.c_str());
            std::printf("MIX_Error: %s\n", Mix_GetError());
            std::fflush(stdout);
        }
    }

    TSoundEffect* effect;
    {
        MutexHold list(pSoundEffectsMutex);
        effect = FindByName(name);
    }
    Mix_Chunk* old = nullptr;
    if (effect) {
        old = DetachChunk(effect, chunk);
    } else {
        effect = new TSoundEffect(name);
        effect->pChunk = chunk;
    }
    effect->LoopCount = std::max(LoopCount, -1);
    effect->MultiChannelPlay = MultiChannelPlay;
    {
        MutexHold list(pSoundEffectsMutex);
        if (!mByName.count(name)) {
            SoundEffects.push_back(effect);
            mByName.emplace(name, effect);
        }
    }
    // Outside the list lock: the mixer takes its own lock, which the callback
    // holds while it waits for ours.
    if (old)
        Mix_FreeChunk(old);
    return chunk != nullptr;
}

bool TSoundMachine::RemoveSoundEffect(const char* FileName)
{
    if (!FileName || !*FileName)
        return false;
    MutexHold op(pOpMutex);
    TSoundEffect* effect;
    {
        MutexHold list(pSoundEffectsMutex);
        effect = FindByName(FileName);
        if (!effect)
            return false;
        mByName.erase(effect->FileName);
        SoundEffects.remove(effect);
    }
    // Unlinked: a callback for its chunk finds nothing from here on.
    if (effect->pChunk)
        Mix_FreeChunk(effect->pChunk);
    delete effect;
    return true;
}

int TSoundMachine::PlaySound(const char* FileName, int LoopCount)
{
    if (Muted || !FileName || !*FileName)
        return 0;
    MutexHold op(pOpMutex);
    if (!MixerOpen())
        return 0;

    TSoundEffect* effect = GetSoundEffect(FileName);
    if (!effect) {
        // First use: a multi-channel effect that plays once by default.
        if (!LoadSoundEffect(FileName, LoopCount >= 0 ? LoopCount : 0, true))
            return 0;
        effect = GetSoundEffect(FileName);
    }
    if (!effect || !effect->pChunk)
        return 0;

    effect->LockObject();
    const bool marked = effect->isPlaying;
    effect->UnlockObject();
    if (marked && PlaysNow(effect) && !effect->MultiChannelPlay)
        return -1;

    // Marked before the mixer can start it: a short sound may finish (and
    // its callback run) before Mix_PlayChannelTimed returns.
    effect->LockObject();
    effect->ChannelStarted();
    effect->UnlockObject();

    const int loops = LoopCount == -1 ? effect->LoopCount : std::max(LoopCount, -1);
    const int channel = Mix_PlayChannelTimed(-1, effect->pChunk, loops, -1);
    if (channel < 0) {
        effect->LockObject();
        effect->ChannelFinished();
        effect->UnlockObject();
    }
    return channel;
}

bool TSoundMachine::PlaysNow(TSoundEffect* effect)
{
    int idle = -1;
    const int channels = AllocatedChannels();
    for (int channel = 0; channel < channels; ++channel) {
        if (Mix_Playing(channel)) {
            if (Mix_GetChunk(channel) == effect->pChunk)
                return true;
        } else if (idle < 0) {
            idle = channel;
        }
    }
    // No channel plays it and none can start (we hold the operation lock).
    // Halting an idle channel waits for the mixer's lock, so a mix in
    // progress has reported its ends before the leftover mark is dropped.
    if (idle >= 0)
        Mix_HaltChannel(idle);
    effect->SetPlaying(false);
    return false;
}

void TSoundMachine::StopSound(int channel)
{
    MutexHold op(pOpMutex);
    if (!MixerOpen() || !ValidChannel(channel))
        return;
    Mix_HaltChannel(channel);
    if (channel == -1) {
        // Everything is silent now, including ends the mixer never reported.
        MutexHold list(pSoundEffectsMutex);
        for (TSoundEffect* effect : SoundEffects)
            effect->SetPlaying(false);
    }
}

// Under the operation lock: the mixer's channel array is freed and replaced
// by CloseAudio and OpenAudio.
void TSoundMachine::SetVolume(int percent, int channel)
{
    MutexHold op(pOpMutex);
    if (!MixerOpen() || !ValidChannel(channel))
        return;
    percent = std::clamp(percent, 0, 100);
    Mix_Volume(channel, (int)(128.0 * (percent / 100.0)));
}

int TSoundMachine::GetVolume(int channel)
{
    MutexHold op(pOpMutex);
    if (!MixerOpen() || !ValidChannel(channel))
        return -1;
    return (int)(100.0 * (Mix_Volume(channel, -1) / 128.0));
}

void TSoundMachine::ActionPlay(std::string ActionName, void* hActionData, void* hUserData)
{
    if (Muted)
        return;
    const char* user = static_cast<const char*>(hUserData);
    const char* data = static_cast<const char*>(hActionData);
    if (user && *user)
        PlaySound(user, -1);
    else if (data && *data)
        PlaySound(data, -1);
}

void TSoundMachine::SetAudioPath(std::string path)
{
    MutexHold op(pOpMutex);
    AudioPath = std::move(path);
}

void channel_finished(int Channel)
{
    TSoundMachine* machine = pDefInst.load();
    if (!machine)
        return;
    Mix_Chunk* chunk = Mix_GetChunk(Channel);
    if (!chunk)
        return;
    // The list lock stays held so that a removal cannot delete the effect
    // between the lookup and the update.
    MutexHold list(machine->pSoundEffectsMutex);
    if (TSoundEffect* effect = machine->FindByChunk(chunk)) {
        effect->LockObject();
        effect->ChannelFinished();
        effect->UnlockObject();
    }
}

void MyAudioCallback(void* data, Uint8* stream, int len) {}

} // namespace vorel_sdl2
