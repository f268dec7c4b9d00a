// The sound machine against SDL's disk audio driver: the mix lands in a file
// per capture, which the tests read back after closing the device.
#include "TActionMan.h"
#include "TSoundMachine.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

using vorel_sdl2::TSoundEffect;
using vorel_sdl2::TSoundMachine;
namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;

// ActionPlay has the form of a member action handler, so TahMemberLarge can
// bind it once the action manager lands.
static_assert(std::is_same_v<decltype(&TSoundMachine::ActionPlay), void (TSoundMachine::*)(std::string, void*, void*)>);

// The one place where ActionPlay is invoked as an action handler would be.
// With TahMemberLarge available: build
//   TahMemberLarge<TSoundMachine>(&m, &TSoundMachine::ActionPlay, userData, ahtExecuteEndless)
// and call its execute("Sound.Play", actionData) instead.
// Plays through the member action handler, as an action registered with
// ActionPlay would.
void RunActionPlay(TSoundMachine& m, void* actionData, void* userData)
{
    vorel_sdl2::TahMemberLarge<TSoundMachine> handler(&m, &TSoundMachine::ActionPlay, userData,
                                                      vorel_sdl2::TActionHandler::ahtExecuteEndless);
    handler.execute("Sound.Play", actionData);
}

// Stereo 16-bit PCM at the device rate: a cosine of the given period (frames)
// and amplitude; period 0 gives a constant level.
void WriteWav(const std::string& path, int frames, int period, int amplitude)
{
    std::vector<int16_t> pcm;
    pcm.reserve(frames * 2);
    for (int i = 0; i < frames; ++i) {
        const double v = period ? amplitude * std::cos(2.0 * M_PI * i / period) : amplitude;
        const auto s = static_cast<int16_t>(std::lround(v));
        pcm.push_back(s);
        pcm.push_back(s);
    }
    const uint32_t dataBytes = pcm.size() * 2;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);            // PCM
    u16(2);            // channels
    u32(kRate);
    u32(kRate * 4);    // bytes per second
    u16(4);            // block align
    u16(16);           // bits
    out.write("data", 4);
    u32(dataBytes);
    out.write(reinterpret_cast<const char*>(pcm.data()), dataBytes);
}

// Polls every millisecond, or as fast as it can when spin is set.
bool WaitFor(const std::function<bool()>& done, int ms = 3000, bool spin = false)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        if (spin)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Left channel of a captured mix.
struct Mix {
    std::vector<int16_t> left;

    // First and one past the last frame that is not silent.
    std::pair<size_t, size_t> Span() const
    {
        size_t first = 0, last = 0;
        bool any = false;
        for (size_t i = 0; i < left.size(); ++i)
            if (left[i] != 0) {
                if (!any)
                    first = i;
                any = true;
                last = i + 1;
            }
        return any ? std::make_pair(first, last) : std::make_pair<size_t, size_t>(0, 0);
    }
    size_t Sounding() const { return Span().second - Span().first; }
    double Rms(size_t from, size_t to) const
    {
        double sum = 0;
        for (size_t i = from; i < to; ++i)
            sum += double(left[i]) * left[i];
        return to > from ? std::sqrt(sum / (to - from)) : 0.0;
    }
    double Rms() const { return Rms(Span().first, Span().second); }
};

class SoundMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vorel-sound-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // The mix goes to a file; set here too, since the test's own
        // environment may not carry the driver.
        setenv("SDL_AUDIODRIVER", "disk", 1);
        // Faster than real time, but bounded, so captures stay small.
        setenv("SDL_DISKAUDIODELAY", "1", 1);
        setenv("SDL_DISKAUDIOFILE", (dir + "/out.raw").c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string Wav(const std::string& name, int frames, int period = 100, int amplitude = 10000)
    {
        const std::string path = dir + "/" + name;
        WriteWav(path, frames, period, amplitude);
        return path;
    }

    // Opens audio into a fresh file, runs body, waits for every channel to
    // end, closes audio and returns the left channel of what was mixed.
    Mix Capture(TSoundMachine& m, const std::function<void()>& body)
    {
        const std::string file = dir + "/capture-" + std::to_string(++captures) + ".raw";
        capturing = file;
        setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
        EXPECT_TRUE(m.OpenAudio());
        body();
        EXPECT_TRUE(WaitFor([] { return Mix_Playing(-1) == 0; })) << "a channel never ended";
        m.CloseAudio();
        std::ifstream in(file, std::ios::binary);
        std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Mix mix;
        for (size_t i = 0; i + 3 < raw.size(); i += 4)
            mix.left.push_back(int16_t(uint8_t(raw[i]) | (uint8_t(raw[i + 1]) << 8)));
        return mix;
    }

    // Frames the running capture holds so far. The driver writes through a
    // stdio buffer, so the file trails the mix by a few chunks at most.
    size_t CapturedFrames() const
    {
        std::error_code ec;
        const auto bytes = fs::file_size(capturing, ec);
        return ec ? 0 : size_t(bytes / 4);
    }
    // Waits until the capture has grown by frames more than it holds now.
    bool MixOn(size_t frames) const
    {
        const size_t from = CapturedFrames();
        return WaitFor([&] { return CapturedFrames() >= from + frames; });
    }

    std::string dir;
    std::string capturing;
    int captures = 0;
};

// What the file may trail the mix by (stdio buffer and the chunk in hand).
constexpr size_t kLag = 4 * TSoundMachine::AUDIO_CHUNK_SIZE;

constexpr int kFrames = 4400; // 44 whole periods of 100 frames
const double kToneRms = 10000 / std::sqrt(2.0);

TEST_F(SoundMachine, PlaysAtTheLengthAndLevelAsked)
{
    struct Case {
        const char* what;
        std::function<int(TSoundMachine&, const char*)> play;
        size_t frames;
        double rms;
    };
    const std::vector<Case> cases = {
        {"first use plays once", [](TSoundMachine& m, const char* f) { return m.PlaySound(f, -1); }, kFrames,
         kToneRms},
        {"two extra loops asked", [](TSoundMachine& m, const char* f) { return m.PlaySound(f, 2); }, 3 * kFrames,
         kToneRms},
        {"the effect's own loop count",
         [](TSoundMachine& m, const char* f) {
             m.LoadSoundEffect(f, 2, false);
             return m.PlaySound(f, -1);
         },
         3 * kFrames, kToneRms},
        {"every channel at 50 %",
         [](TSoundMachine& m, const char* f) {
             m.SetVolume(50, -1);
             return m.PlaySound(f, 0);
         },
         kFrames, kToneRms * 64 / 128},
        // The first free channel is 0; 33 % is 42 on the mixer's scale.
        {"channel 0 at 33 %",
         [](TSoundMachine& m, const char* f) {
             m.SetVolume(33, 0);
             return m.PlaySound(f, 0);
         },
         kFrames, kToneRms * 42 / 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TSoundMachine m;
        const std::string tone = Wav("tone.wav", kFrames);
        int channel = -100;
        const Mix mix = Capture(m, [&] { channel = c.play(m, tone.c_str()); });
        EXPECT_EQ(channel, 0);
        EXPECT_EQ(mix.Sounding(), c.frames);
        EXPECT_NEAR(mix.Rms(), c.rms, c.rms * 0.01);
        EXPECT_FALSE(m.GetSoundEffect(tone.c_str())->IsPlaying());
    }
}

TEST_F(SoundMachine, OpenAudioReportsTheDeviceOnce)
{
    TSoundMachine m;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m.OpenAudio());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Opening audio device...\n[SDL] ", 0), 0u) << out;
    EXPECT_NE(out.find("[SDL] Audio driver: disk\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nOpened audio at 44100 Hz 16 bit stereo\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("WARINING"), std::string::npos) << "built and running against the same SDL_mixer";
    EXPECT_EQ(Mix_AllocateChannels(-1), 16);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(m.OpenAudio());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    m.CloseAudio();
    EXPECT_FALSE(SDL_WasInit(SDL_INIT_AUDIO));
    EXPECT_EQ(m.PlaySound(Wav("t.wav", 100).c_str(), 0), 0);
}

TEST_F(SoundMachine, FailedOpenKeepsRunningAndCanBeRetried)
{
    TSoundMachine m;
    const std::string tone = Wav("tone.wav", kFrames);
    setenv("SDL_DISKAUDIOFILE", (dir + "/no-such-folder/out.raw").c_str(), 1);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(m.OpenAudio());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\nCould not open audio device.: "), std::string::npos) << out;
    EXPECT_EQ(out.find("Opened audio at"), std::string::npos) << out;
    EXPECT_EQ(m.PlaySound(tone.c_str(), 0), 0);
    EXPECT_EQ(m.GetSoundEffect(tone.c_str()), nullptr);
    EXPECT_EQ(m.GetVolume(0), -1);
    m.StopSound(-1);
    m.SetVolume(50, -1);

    setenv("SDL_DISKAUDIOFILE", (dir + "/out.raw").c_str(), 1);
    EXPECT_TRUE(m.OpenAudio());
    EXPECT_EQ(m.PlaySound(tone.c_str(), 0), 0); // channel 0: it plays now
    EXPECT_NE(m.GetSoundEffect(tone.c_str()), nullptr);
    m.CloseAudio();
    EXPECT_FALSE(SDL_WasInit(SDL_INIT_AUDIO)) << "one subsystem reference for both attempts";
}

TEST(SoundMachineVersion, WarnsOnlyWhenTheVersionsDiffer)
{
    struct Case {
        SDL_version compiled, running;
        const char* text;
    };
    const std::vector<Case> cases = {
        {{2, 0, 2}, {2, 0, 2}, ""},
        {{2, 0, 2}, {2, 6, 2},
         "SDL_MIXER WARINING:**compiled with SDL_mixer version: 2.0.2  **running with SDL_mixer version: 2.6.2\n"},
        {{2, 6, 2}, {2, 6, 3},
         "SDL_MIXER WARINING:**compiled with SDL_mixer version: 2.6.2  **running with SDL_mixer version: 2.6.3\n"},
        {{2, 6, 2}, {3, 6, 2},
         "SDL_MIXER WARINING:**compiled with SDL_mixer version: 2.6.2  **running with SDL_mixer version: 3.6.2\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vorel_sdl2::MixerVersionWarning(c.compiled, c.running), c.text);
}

TEST_F(SoundMachine, OverlappingEffectsMix)
{
    TSoundMachine m;
    const std::string a = Wav("a.wav", 22000, 100, 6000);
    const std::string b = Wav("b.wav", 22000, 40, 8000);
    int ca = -1, cb = -1;
    const Mix mix = Capture(m, [&] {
        ca = m.PlaySound(a.c_str(), 0);
        cb = m.PlaySound(b.c_str(), 0);
    });
    EXPECT_EQ(ca, 0);
    EXPECT_EQ(cb, 1);
    // The two may start a mixing buffer apart; the middle has both.
    const size_t from = mix.Span().first + 4096;
    EXPECT_NEAR(mix.Rms(from, from + 12000), std::sqrt((6000.0 * 6000 + 8000.0 * 8000) / 2), 71);
}

TEST_F(SoundMachine, SingleChannelEffectRefusesAnOverlapAndReplaysAfterItsEnd)
{
    TSoundMachine m;
    const std::string tone = Wav("tone.wav", kFrames);
    ASSERT_TRUE(m.OpenAudio());
    ASSERT_TRUE(m.LoadSoundEffect(tone.c_str(), 0, false));
    TSoundEffect* effect = m.GetSoundEffect(tone.c_str());

    const int forever = m.PlaySound(tone.c_str(), -2);
    ASSERT_GE(forever, 0);
    EXPECT_TRUE(effect->IsPlaying());
    EXPECT_EQ(m.PlaySound(tone.c_str(), -1), -1);
    EXPECT_EQ(m.PlaySound(tone.c_str(), 0), -1);
    m.StopSound(forever);
    EXPECT_FALSE(effect->IsPlaying());

    ASSERT_GE(m.PlaySound(tone.c_str(), -1), 0);
    EXPECT_TRUE(WaitFor([&] { return !effect->IsPlaying(); })) << "the end of the sound was never seen";
    EXPECT_GE(m.PlaySound(tone.c_str(), -1), 0);
    m.CloseAudio();
    EXPECT_FALSE(effect->IsPlaying());
}

// SDL_mixer never reports the end of a looped sound that is shorter than a
// mixing buffer; the effect must not be refused for good.
TEST_F(SoundMachine, ShortLoopedEffectPlaysAgainAfterAnUnreportedEnd)
{
    TSoundMachine m;
    const std::string tick = Wav("tick.wav", 300);
    ASSERT_TRUE(m.OpenAudio());
    for (bool stopAll : {false, true}) {
        SCOPED_TRACE(stopAll ? "after StopSound(-1)" : "at the next play");
        ASSERT_TRUE(m.LoadSoundEffect(tick.c_str(), 1, false));
        const int channel = m.PlaySound(tick.c_str(), -1);
        ASSERT_GE(channel, 0);
        ASSERT_TRUE(WaitFor([&] { return Mix_Playing(channel) == 0; }));
        if (stopAll) {
            m.StopSound(-1);
            EXPECT_FALSE(m.GetSoundEffect(tick.c_str())->IsPlaying());
        }
        EXPECT_GE(m.PlaySound(tick.c_str(), 0), 0);
        EXPECT_TRUE(WaitFor([&] { return !m.GetSoundEffect(tick.c_str())->IsPlaying(); }));
    }
}

TEST_F(SoundMachine, MultiChannelEffectPlaysUntilItsLastChannelEnds)
{
    TSoundMachine m;
    const std::string tone = Wav("tone.wav", kFrames);
    ASSERT_TRUE(m.OpenAudio());
    const int first = m.PlaySound(tone.c_str(), -2);
    const int second = m.PlaySound(tone.c_str(), -2);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_NE(first, second);
    TSoundEffect* effect = m.GetSoundEffect(tone.c_str());
    EXPECT_TRUE(effect->MultiChannelPlay);
    EXPECT_EQ(effect->LoopCount, 0);
    m.StopSound(first);
    EXPECT_TRUE(effect->IsPlaying());
    m.StopSound(second);
    EXPECT_FALSE(effect->IsPlaying());
}

TEST_F(SoundMachine, StopSoundSilencesAndMuteKeepsQuiet)
{
    TSoundMachine m;
    const std::string tone = Wav("tone.wav", kFrames);

    const Mix stopped = Capture(m, [&] {
        const int channel = m.PlaySound(tone.c_str(), -2);
        ASSERT_GE(channel, 0);
        ASSERT_TRUE(MixOn(2 * kFrames + kLag)) << "the mix never went on";
        m.StopSound(channel);
        ASSERT_TRUE(MixOn(8192 + 2 * kLag));
    });
    EXPECT_GT(stopped.Sounding(), size_t(kFrames)) << "it looped until stopped";
    EXPECT_GT(stopped.left.size() - stopped.Span().second, 8192u) << "silence after the stop";

    const Mix muted = Capture(m, [&] {
        m.Mute();
        EXPECT_TRUE(m.IsMute());
        EXPECT_EQ(m.PlaySound(tone.c_str(), 0), 0);
        RunActionPlay(m, nullptr, const_cast<char*>(tone.c_str()));
        ASSERT_TRUE(MixOn(kFrames + kLag));
    });
    EXPECT_GT(muted.left.size(), 0u);
    EXPECT_EQ(muted.Sounding(), 0u);

    const Mix unmuted = Capture(m, [&] {
        m.Unmute();
        EXPECT_FALSE(m.IsMute());
        EXPECT_EQ(m.PlaySound(tone.c_str(), 0), 0);
    });
    EXPECT_EQ(unmuted.Sounding(), size_t(kFrames));
}

TEST_F(SoundMachine, ChannelsOutsideTheMixerAreIgnored)
{
    TSoundMachine m;
    EXPECT_EQ(m.GetVolume(0), -1) << "audio not open";
    ASSERT_TRUE(m.OpenAudio());
    const std::string tone = Wav("tone.wav", kFrames);
    const int channel = m.PlaySound(tone.c_str(), -2);
    ASSERT_GE(channel, 0);

    for (int bad : {-2, 16, 1000, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(bad);
        m.StopSound(bad);
        m.SetVolume(10, bad);
        EXPECT_EQ(m.GetVolume(bad), -1);
    }
    EXPECT_TRUE(m.GetSoundEffect(tone.c_str())->IsPlaying());
    EXPECT_EQ(m.GetVolume(-1), 100);
    EXPECT_EQ(m.GetVolume(15), 100);

    struct Case {
        int percent, channel, mixer, readBack;
    };
    for (const Case& c : std::vector<Case>{{50, -1, 64, 50}, {33, 0, 42, 32}, {150, 1, 128, 100}, {-5, 2, 0, 0}}) {
        SCOPED_TRACE(c.percent);
        m.SetVolume(c.percent, c.channel);
        const int probe = c.channel < 0 ? 7 : c.channel;
        EXPECT_EQ(Mix_Volume(probe, -1), c.mixer);
        EXPECT_EQ(m.GetVolume(probe), c.readBack);
    }
}

TEST_F(SoundMachine, NothingIsKeptBeforeOpenAudio)
{
    TSoundMachine m;
    const std::string tone = Wav("tone.wav", kFrames);
    EXPECT_EQ(m.PlaySound(tone.c_str(), 0), 0);
    EXPECT_FALSE(m.LoadSoundEffect(tone.c_str(), 0, false));
    EXPECT_EQ(m.GetSoundEffect(tone.c_str()), nullptr);

    ASSERT_TRUE(m.OpenAudio());
    EXPECT_EQ(m.PlaySound(tone.c_str(), 0), 0); // channel 0
    ASSERT_NE(m.GetSoundEffect(tone.c_str()), nullptr);
    EXPECT_TRUE(m.GetSoundEffect(tone.c_str())->IsPlaying());
}

TEST_F(SoundMachine, FilesAreFoundUnderTheAudioPathAndMissingOnesReported)
{
    TSoundMachine m;
    fs::create_directory(dir + "/sounds");
    WriteWav(dir + "/sounds/only-here.wav", kFrames, 100, 10000);
    ASSERT_TRUE(m.OpenAudio());

    // Relative names are tried as given first (from the test's working folder).
    testing::internal::CaptureStdout();
    const bool missing = m.LoadSoundEffect("only-here.wav", 0, false);
    const std::string noPath = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(missing);
    EXPECT_EQ(noPath.rfind("Can not load only-here.wav(tried also ).\nMIX_Error: ", 0), 0u) << noPath;

    m.SetAudioPath(dir + "/sounds");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(m.LoadSoundEffect("only-here.wav", 0, false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_GE(m.PlaySound("only-here.wav", 0), 0);

    // A failed load is remembered: no retry, no second message, until loaded again.
    const std::string late = dir + "/late.wav";
    testing::internal::CaptureStdout();
    EXPECT_EQ(m.PlaySound(late.c_str(), 0), 0);
    const std::string first = testing::internal::GetCapturedStdout();
    EXPECT_EQ(first.rfind("Can not load " + late + "(tried also " + dir + "/sounds/" + late + ").\nMIX_Error: ", 0),
              0u)
        << first;
    WriteWav(late, kFrames, 100, 10000);
    testing::internal::CaptureStdout();
    EXPECT_EQ(m.PlaySound(late.c_str(), 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(m.GetSoundEffect(late.c_str()), nullptr);
    EXPECT_EQ(m.GetSoundEffect(late.c_str())->pChunk, nullptr);
    EXPECT_TRUE(m.LoadSoundEffect(late.c_str(), 0, true));
    EXPECT_GE(m.PlaySound(late.c_str(), 0), 0);
}

TEST_F(SoundMachine, NullAndEmptyNamesAndUnknownEffects)
{
    TSoundMachine m;
    ASSERT_TRUE(m.OpenAudio());
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(m.PlaySound(name, 0), 0);
        EXPECT_FALSE(m.LoadSoundEffect(name, 0, true));
        EXPECT_EQ(m.GetSoundEffect(name), nullptr);
        EXPECT_FALSE(m.RemoveSoundEffect(name));
    }
    EXPECT_EQ(m.GetSoundEffect(static_cast<Mix_Chunk*>(nullptr)), nullptr);
    EXPECT_FALSE(m.RemoveSoundEffect("never-loaded.wav"));

    const std::string tone = Wav("tone.wav", kFrames);
    ASSERT_TRUE(m.LoadSoundEffect(tone.c_str(), 0, true));
    TSoundEffect* effect = m.GetSoundEffect(tone.c_str());
    EXPECT_EQ(m.GetSoundEffect(effect->pChunk), effect);
    EXPECT_TRUE(m.RemoveSoundEffect(tone.c_str()));
    EXPECT_EQ(m.GetSoundEffect(tone.c_str()), nullptr);
    EXPECT_FALSE(m.RemoveSoundEffect(tone.c_str()));
}

TEST_F(SoundMachine, ReloadOrRemovalWhilePlayingLeavesNothingStuck)
{
    TSoundMachine m;
    const std::string tone = Wav("tone.wav", kFrames);
    ASSERT_TRUE(m.OpenAudio());
    ASSERT_TRUE(m.LoadSoundEffect(tone.c_str(), 0, false));
    TSoundEffect* effect = m.GetSoundEffect(tone.c_str());
    const int channel = m.PlaySound(tone.c_str(), -2);
    ASSERT_GE(channel, 0);

    ASSERT_TRUE(m.LoadSoundEffect(tone.c_str(), 0, false));
    EXPECT_EQ(m.GetSoundEffect(tone.c_str()), effect) << "reloaded in place";
    EXPECT_FALSE(effect->IsPlaying());
    EXPECT_EQ(Mix_Playing(channel), 0) << "the old sound went with its chunk";
    const int again = m.PlaySound(tone.c_str(), -2);
    EXPECT_GE(again, 0);

    // A reload that fails leaves the effect silent, not stuck.
    fs::remove(tone);
    EXPECT_FALSE(m.LoadSoundEffect(tone.c_str(), 0, false));
    EXPECT_FALSE(effect->IsPlaying());
    EXPECT_EQ(Mix_Playing(-1), 0);
    EXPECT_EQ(m.PlaySound(tone.c_str(), 0), 0);

    const std::string other = Wav("other.wav", kFrames);
    const int forever = m.PlaySound(other.c_str(), -2);
    ASSERT_GE(forever, 0);
    EXPECT_TRUE(m.RemoveSoundEffect(other.c_str()));
    EXPECT_EQ(Mix_Playing(forever), 0);
    EXPECT_GE(m.PlaySound(other.c_str(), 0), 0) << "loads afresh";
}

// The callback of a sound shorter than a mixing buffer can run before
// Mix_PlayChannelTimed returns; the effect must still end up not playing.
// The window is narrow, so it is tried for a few seconds.
TEST_F(SoundMachine, ShortEffectNeverStaysPlaying)
{
    setenv("SDL_DISKAUDIODELAY", "0", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    TSoundMachine m;
    const std::string blip = Wav("blip.wav", 1, 0, 5000);
    ASSERT_TRUE(m.OpenAudio());
    ASSERT_TRUE(m.LoadSoundEffect(blip.c_str(), 0, false));
    TSoundEffect* effect = m.GetSoundEffect(blip.c_str());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
        const int channel = m.PlaySound(blip.c_str(), -1);
        ASSERT_GE(channel, 0) << "play " << i;
        // Waiting on the mixer alone keeps out of the effect's lock.
        ASSERT_TRUE(WaitFor([&] { return Mix_Playing(channel) == 0; }, 2000, true));
        ASSERT_TRUE(WaitFor([&] { return !effect->IsPlaying(); }, 2000)) << "stuck after play " << i;
    }
}

TEST_F(SoundMachine, ActionPlayTakesUserDataFirst)
{
    char a[] = "a.wav";
    char b[] = "b.wav";
    char empty[] = "";
    struct Case {
        const char* what;
        void* actionData;
        void* userData;
        bool muted;
        bool playsA, playsB;
    };
    const std::vector<Case> cases = {
        {"user data", nullptr, a, false, true, false},
        {"action data", b, nullptr, false, false, true},
        {"both: user data wins", b, a, false, true, false},
        {"empty user data: action data", b, empty, false, false, true},
        {"neither", nullptr, empty, false, false, false},
        {"muted", b, a, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path cwd = fs::current_path();
        fs::current_path(dir);
        Wav("a.wav", 3 * kRate);
        Wav("b.wav", 3 * kRate);
        {
            TSoundMachine m;
            ASSERT_TRUE(m.OpenAudio());
            if (c.muted)
                m.Mute();
            RunActionPlay(m, c.actionData, c.userData);
            auto playing = [&](const char* name) {
                TSoundEffect* e = m.GetSoundEffect(name);
                return e && e->IsPlaying();
            };
            EXPECT_EQ(playing("a.wav"), c.playsA);
            EXPECT_EQ(playing("b.wav"), c.playsB);
        }
        fs::current_path(cwd);
    }
}

// Plays, stops, removes and reloads from several threads while the audio
// thread finishes sounds as fast as it can. Run in a child with an alarm, so
// a deadlock fails the test instead of hanging it.
TEST_F(SoundMachine, ConcurrentPlayRemoveReloadNeitherDeadlocksNorSticks)
{
    setenv("SDL_DISKAUDIODELAY", "0", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    std::vector<std::string> names;
    for (int i = 0; i < 4; ++i)
        names.push_back(Wav("fx" + std::to_string(i) + ".wav", 1 + 300 * i, 50, 4000));

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(30);
        int failures = 0;
        {
            TSoundMachine m;
            if (!m.OpenAudio())
                _exit(10);
            std::atomic<bool> stop{false};
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([&, t] {
                    std::mt19937 rng(t);
                    while (!stop) {
                        const std::string& name = names[rng() % names.size()];
                        switch (rng() % 8) {
                        case 0: m.RemoveSoundEffect(name.c_str()); break;
                        case 1: m.LoadSoundEffect(name.c_str(), rng() % 2, rng() % 2); break;
                        case 2: m.StopSound(int(rng() % 17) - 1); break;
                        case 3: RunActionPlay(m, const_cast<char*>(name.c_str()), nullptr); break;
                        default: m.PlaySound(name.c_str(), int(rng() % 3) - 1); break;
                        }
                    }
                });
            std::this_thread::sleep_for(std::chrono::seconds(3));
            stop = true;
            for (auto& th : threads)
                th.join();

            // Once the mixer is quiet every effect plays again.
            if (!WaitFor([] { return Mix_Playing(-1) == 0; }, 5000))
                _exit(11);
            auto fail = [&](const char* what, const std::string& name) {
                std::fprintf(stderr, "%s: %s\n", what, name.c_str());
                ++failures;
            };
            for (const std::string& name : names) {
                if (m.GetSoundEffect(name.c_str()) && m.PlaySound(name.c_str(), 0) < 0)
                    fail("stuck", name);
                m.LoadSoundEffect(name.c_str(), 0, false);
                TSoundEffect* e = m.GetSoundEffect(name.c_str());
                if (m.PlaySound(name.c_str(), -1) < 0)
                    fail("not replayable", name);
                if (!WaitFor([&] { return !e->IsPlaying(); }, 5000))
                    fail("never ended", name);
            }
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) << "deadlock: the child hung";
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "effects stuck or not replayable";
}

// Volume calls race the mixer being opened and closed (its channel array
// is freed and made again each time). Run in a child: a use of the freed
// array ends it by a signal.
TEST_F(SoundMachine, VolumeCallsRacingOpenAndCloseAreSafe)
{
    setenv("SDL_DISKAUDIODELAY", "0", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(60);
        {
            TSoundMachine m;
            std::atomic<bool> stop{false};
            std::thread volume([&] {
                for (int i = 0; !stop; ++i) {
                    m.SetVolume(i % 101, i % 17 - 1);
                    m.GetVolume(i % 16);
                }
            });
            for (int cycle = 0; cycle < 300; ++cycle) {
                m.OpenAudio();
                m.CloseAudio();
            }
            stop = true;
            volume.join();
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A host that allocates more mixer channels: a single-channel effect on a
// channel above 15 still refuses an overlap, and those channels take volume.
TEST_F(SoundMachine, EveryAllocatedChannelCounts)
{
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("SDL_DISKAUDIODELAY", "20", 1); // about real time: the tones outlast the test
    TSoundMachine m;
    ASSERT_TRUE(m.OpenAudio());
    Mix_AllocateChannels(24);
    const std::string bed = Wav("bed.wav", 44100 * 20);
    const std::string single = Wav("single.wav", 44100 * 20);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(m.PlaySound(bed.c_str(), 0), i);
    ASSERT_TRUE(m.LoadSoundEffect(single.c_str(), 0, false));
    EXPECT_EQ(m.PlaySound(single.c_str(), -1), 16);
    EXPECT_EQ(m.PlaySound(single.c_str(), -1), -1) << "an overlap of a single-channel effect";
    m.SetVolume(50, 20);
    EXPECT_EQ(m.GetVolume(20), 50);
    EXPECT_EQ(m.GetVolume(24), -1);
    m.StopSound(-1);
    m.CloseAudio();
}

} // namespace
