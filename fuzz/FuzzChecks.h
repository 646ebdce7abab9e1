#pragma once

// What every fuzz input must leave true. A broken invariant aborts, which libFuzzer reports as a crash
// and saves the input that caused it.

#include "engine/TolvaneProcessor.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

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
