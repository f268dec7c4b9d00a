// The sound machine (full build only): short sound effects over SDL_mixer,
// played from any thread.
//
// TApplication is a TSoundMachine; the host calls OpenAudio when it wants
// sound, then plays effects by file name (PlaySound loads an effect on first
// use) or registers ActionPlay as a member action handler. Effects are kept
// by file name until removed or until the machine is destroyed.
//
// Threads: every operation may be called from any thread. Loading, removing,
// playing and stopping are serialised on one recursive mutex, which the
// mixer's channel-finished callback (audio thread, inside the mixer's lock)
// never takes; the callback only takes the effect-list lock and then an
// effect's lock, and nothing calls into the mixer while holding either of
// those, so the two threads cannot wait on each other. An effect is marked
// playing before the mixer may start it and the mark is cleared when its
// chunk is replaced or freed, so an effect never stays "playing" for good.
// Failures (no device, missing files) are printed and reported by results;
// nothing throws.
#pragma once

#ifndef VOREL_NOGFX

#include <SDL2/SDL_mixer.h>
#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_stdinc.h>
#include <SDL2/SDL_version.h>

#include <atomic>
#include <list>
#include <string>
#include <unordered_map>

namespace vorel_sdl2 {

class TSoundMachine;

// One loaded effect. Its chunk belongs to the sound machine, which frees it
// before it deletes the effect.
class TSoundEffect {
public:
    explicit TSoundEffect(const std::string& FileName);
    ~TSoundEffect();
    TSoundEffect(const TSoundEffect&) = delete;
    TSoundEffect& operator=(const TSoundEffect&) = delete;

    // True while at least one channel plays the effect, as reported by the
    // mixer's channel-finished callback. SDL_mixer does not report the end
    // of a looped sound whose last round starts and ends inside one mixing
    // buffer (sounds shorter than 1024 frames); such a mark is dropped at the
    // effect's next PlaySound and by StopSound(-1), so the effect still
    // plays again.
    bool IsPlaying();
    // true marks the effect playing (if it was not), false clears the mark
    // whatever the number of channels.
    void SetPlaying(bool val);
    void LockObject();
    void UnlockObject();

    std::string FileName;
    Mix_Chunk* pChunk;
    int LoopCount;
    bool MultiChannelPlay;
    SDL_mutex* pMutex;
    bool isPlaying;

private:
    friend class TSoundMachine;
    friend void channel_finished(int Channel);
    // Channel bookkeeping behind isPlaying; both under pMutex.
    void ChannelStarted();
    void ChannelFinished();
    int mPlayingChannels;
};

class TSoundMachine {
public:
    // Fixed device parameters.
    static constexpr int AUDIO_FREQUENCY = 44100;
    static constexpr Uint16 AUDIO_SAMPLE_FORMAT = AUDIO_S16LSB;
    static constexpr int AUDIO_CHANNELS = 2;
    static constexpr int AUDIO_CHUNK_SIZE = 1024;
    static constexpr int MIXING_CHANNELS = 16;

    TSoundMachine();
    ~TSoundMachine();
    TSoundMachine(const TSoundMachine&) = delete;
    TSoundMachine& operator=(const TSoundMachine&) = delete;

    // Opens the audio subsystem and the mixer, printing what it finds. False
    // only when the audio subsystem is unavailable; a mixer that cannot be
    // opened is reported and later plays return 0. A second call while open
    // changes nothing and returns true.
    bool OpenAudio();
    // Undoes what OpenAudio did (nothing if it did nothing). Effects keep
    // their chunks.
    void CloseAudio();

    // Plays the effect of that name on the first free channel, loading it on
    // first use as a multi-channel effect. LoopCount -1 uses the effect's own
    // count, below -1 loops for ever. Returns the channel (>= 0); 0 when muted,
    // audio is not open, the name is empty or the effect has no sound; -1 when
    // the effect plays and may not overlap; or the mixer's negative result.
    int PlaySound(const char* FileName, int LoopCount);
    // Loads (or reloads in place) an effect; tries FileName, then AudioPath +
    // "/" + FileName. True when the sound was loaded. A failed load keeps the
    // effect without sound (later plays return 0 without retrying); before
    // OpenAudio nothing is kept, so a later play loads it.
    bool LoadSoundEffect(const char* FileName, int LoopCount, bool MultiChannelPlay);
    TSoundEffect* GetSoundEffect(const char* FileName);
    TSoundEffect* GetSoundEffect(Mix_Chunk* pChunk);
    bool RemoveSoundEffect(const char* FileName);

    // Channels are -1 (every channel) or 0 to one below the number of mixer
    // channels allocated (MIXING_CHANNELS unless the host allocates more);
    // any other number does nothing and GetVolume returns -1 (as it does
    // while audio is closed). All three hold the operation lock, so they
    // never meet a mixer that OpenAudio or CloseAudio is replacing.
    void StopSound(int channel);
    void SetVolume(int percent, int channel);
    int GetVolume(int channel);

    // Member action handler: plays hUserData as a file name when it is a
    // non-empty C string, else hActionData when that is one.
    void ActionPlay(std::string ActionName, void* hActionData, void* hUserData);

    void Mute() { Muted = true; }
    void Unmute() { Muted = false; }
    bool IsMute() const { return Muted; }
    void SetAudioPath(std::string path);

protected:
    std::atomic<bool> Muted;
    std::string AudioPath;
    std::list<TSoundEffect*> SoundEffects;
    SDL_mutex* pSoundEffectsMutex;

private:
    friend void channel_finished(int Channel);
    // Caller holds pOpMutex (the channel count changes with open and close).
    static bool ValidChannel(int channel) { return channel >= -1 && channel < AllocatedChannels(); }
    static int AllocatedChannels() { return Mix_AllocateChannels(-1); }
    static bool MixerOpen();
    // Under pSoundEffectsMutex.
    TSoundEffect* FindByName(const std::string& name);
    TSoundEffect* FindByChunk(Mix_Chunk* pChunk);
    // Whether a channel plays the effect's chunk now (every allocated channel
    // is asked); if none does, clears a mark the callback left behind.
    // Caller holds pOpMutex.
    bool PlaysNow(TSoundEffect* effect);
    // Takes the effect's chunk away from it and clears its playing mark, so a
    // late callback for the old chunk finds nothing. Caller holds pOpMutex.
    Mix_Chunk* DetachChunk(TSoundEffect* effect, Mix_Chunk* replacement);

    // Serialises load, remove, play, stop, volume, open and close; never taken by
    // the channel-finished callback.
    SDL_mutex* pOpMutex;
    // Name index into SoundEffects; under pSoundEffectsMutex.
    std::unordered_map<std::string, TSoundEffect*> mByName;
    bool bAudioInitDone;
    bool bMixerOpened;
};

// The mixer's channel-finished callback: marks the effect of the finished
// channel's chunk as one channel fewer playing.
void channel_finished(int Channel);
// Does nothing; kept for hosts that want a raw audio callback to register.
void MyAudioCallback(void* data, Uint8* stream, int len);

// The version mismatch warning printed by OpenAudio, or empty when the two
// versions are the same.
std::string MixerVersionWarning(const SDL_version& compiled, const SDL_version& running);

} // namespace vorel_sdl2

#endif
