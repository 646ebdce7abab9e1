#pragma once

// What every fuzz input must leave true. A broken invariant aborts, which libFuzzer reports as a crash
// and saves the input that caused it.

#include "engine/TolvaneProcessor.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzzchecks
{
[[noreturn]] inline void fail (const char* what, double value = 0.0)
{
    std::fprintf (stderr, "invariant broken: %s (%.17g)\n", what, value);
    std::abort();
}

inline void require (bool condition, const char* what, double value = 0.0)
{
    if (! condition)
        fail (what, value);
}

// The four settings as a restore or a load may leave them: finite, in range, no negative zero.
inline void requireSettingsInRange (const TolvaneProcessor& p)
{
    const double bpm = p.sourceBpm.load(), pitch = p.pitchSemitones.load();
    const float gain = p.gain.load();
    require (bpm >= 0.0 && bpm <= 400.0 && ! std::signbit (bpm), "sourceBpm in [0, 400]", bpm);
    require (pitch >= -12.0 && pitch <= 12.0 && ! (pitch == 0.0 && std::signbit (pitch)), "pitchSemitones in [-12, 12]",
             pitch);
    require (gain >= 0.0f && gain <= 1.0f && ! std::signbit (gain), "gain in [0, 1]", gain);
}

// Every field of the processor but the four saved settings: what a restore must leave alone, and a failed
// load too.
struct OtherFields
{
    explicit OtherFields (const TolvaneProcessor& p)
        : hostBpm (p.hostBpm.load()),
          isPlaying (p.isPlaying.load()),
          transportCommand (p.transportCommand.load()),
          loadedFile (p.loadedFile.getFullPathName()),
          loadedIsOriginal (p.loadedIsOriginal),
          voiceSound (p.voice.sound),
          voicePosition (p.voice.position),
          voicePlaying (p.voice.playing),
          hostSampleRate (p.hostSampleRate),
          cacheBytes (p.cacheBytes),
          pendingSound (p.pendingSound.load())
    {
        for (const auto& sound : p.soundCache)
            cache.push_back (sound.get());
    }

    bool operator== (const OtherFields& o) const
    {
        return std::memcmp (&hostBpm, &o.hostBpm, sizeof hostBpm) == 0 && isPlaying == o.isPlaying &&
               transportCommand == o.transportCommand && loadedFile == o.loadedFile &&
               loadedIsOriginal == o.loadedIsOriginal && voiceSound == o.voiceSound &&
               std::memcmp (&voicePosition, &o.voicePosition, sizeof voicePosition) == 0 &&
               voicePlaying == o.voicePlaying && hostSampleRate == o.hostSampleRate && cache == o.cache &&
               cacheBytes == o.cacheBytes && pendingSound == o.pendingSound;
    }

    double hostBpm;
    bool isPlaying;
    int transportCommand;
    juce::String loadedFile;
    bool loadedIsOriginal;
    const LoadedSound* voiceSound;
    double voicePosition;
    bool voicePlaying;
    double hostSampleRate;
    std::vector<const LoadedSound*> cache;
    size_t cacheBytes;
    const LoadedSound* pendingSound;
};

// A short sound with full-scale samples, handed over as a load does.
inline LoadedSound* publishSound (TolvaneProcessor& p, size_t frames = 600)
{
    auto sound = std::make_unique<LoadedSound>();
    sound->sampleRate = 44100.0;
    sound->channels.assign (2, std::vector<float> (frames));
    for (size_t i = 0; i < frames; ++i)
    {
        sound->channels[0][i] = (i % 2 == 0) ? 1.0f : -1.0f;
        sound->channels[1][i] = std::sin ((float) i * 0.1f);
    }
    p.cacheBytes += 2 * frames * 4;
    p.soundCache.push_back (std::move (sound));
    p.pendingSound.exchange (p.soundCache.back().get());
    return p.soundCache.back().get();
}

// A sound playing, another waiting for the audio thread, a command not yet taken and a file loaded.
inline void makeBusy (TolvaneProcessor& p)
{
    p.prepareToPlay (48000.0, 64);
    publishSound (p, 4000);
    p.transportCommand.store (transportPlayOnce);
    juce::AudioBuffer<float> buffer (2, 64);
    juce::MidiBuffer midi;
    p.processBlock (buffer, midi);
    publishSound (p);
    p.transportCommand.store (transportStopReset);
    p.hostBpm.store (128.0);
    p.loadedFile = juce::File ("/sounds/kick.wav");
    p.loadedIsOriginal = false;
}

// A few blocks with a play command first; every sample written must be finite and within ±1.
inline void requireFiniteOutput (TolvaneProcessor& p, int blocks, int channels = 2, int samples = 256)
{
    juce::AudioBuffer<float> buffer (channels, samples);
    juce::MidiBuffer midi;
    p.transportCommand.store (transportPlayOnce);
    for (int b = 0; b < blocks; ++b)
    {
        buffer.clear();
        p.processBlock (buffer, midi);
        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < samples; ++i)
            {
                const float v = buffer.getSample (ch, i);
                require (std::isfinite (v) && v >= -1.0f && v <= 1.0f, "output finite and within ±1", v);
            }
    }
}
} // namespace fuzzchecks
