// libFuzzer target: any bytes as a saved state block handed to setStateInformation.

#include "FuzzChecks.h"

#include <cstring>

using namespace fuzzchecks;

namespace
{
struct Settings
{
    double bpm, pitch;
    float gain;
    bool sync;

    static Settings of (const TolvaneProcessor& p)
    {
        return { p.sourceBpm.load(), p.pitchSemitones.load(), p.gain.load(), p.matchDawTempo.load() };
    }

    void putInto (TolvaneProcessor& p) const
    {
        p.sourceBpm = bpm;
        p.pitchSemitones = pitch;
        p.gain = gain;
        p.matchDawTempo = sync;
    }

    bool operator== (const Settings& o) const
    {
        return std::memcmp (&bpm, &o.bpm, sizeof bpm) == 0 && std::memcmp (&pitch, &o.pitch, sizeof pitch) == 0 &&
               std::memcmp (&gain, &o.gain, sizeof gain) == 0 && sync == o.sync;
    }
};

// Settings no restore gives by itself, so that a change shows.
constexpr Settings before{ 77.0, 3.0, 0.25f, true };

// A short sound with full-scale samples, so that playback with the restored settings is exercised.
void publishSound (TolvaneProcessor& p)
{
    auto sound = std::make_unique<LoadedSound>();
    sound->sampleRate = 44100.0;
    sound->channels.assign (2, std::vector<float> (600));
    for (size_t i = 0; i < 600; ++i)
    {
        sound->channels[0][i] = (i % 2 == 0) ? 1.0f : -1.0f;
        sound->channels[1][i] = std::sin ((float) i * 0.1f);
    }
    p.soundCache.push_back (std::move (sound));
    p.pendingSound.exchange (p.soundCache.back().get());
}
} // namespace

// Kept for the life of the process; a global pointer keeps it reachable for the leak checker.
juce::ScopedJuceInitialiser_GUI* juceInit = nullptr;

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    juceInit = new juce::ScopedJuceInitialiser_GUI();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    TolvaneProcessor p;
    before.putInto (p);

    p.setStateInformation (data, (int) std::min<size_t> (size, 0x7FFFFFFF));
    const auto after = Settings::of (p);

    if (! (after == before))
        requireSettingsInRange (p);

    // Whatever was restored saves as a block the restore reads back to the same settings.
    juce::MemoryBlock saved;
    p.getStateInformation (saved);
    require (saved.getSize() > 9, "saved block longer than 9 bytes", (double) saved.getSize());
    require (juce::ByteOrder::littleEndianInt (saved.getData()) == 0x21324356u, "saved block magic");
    require (juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (saved.getData(), 4)) == saved.getSize() - 9,
             "saved length field", (double) saved.getSize());
    require (static_cast<const char*> (saved.getData())[saved.getSize() - 1] == 0, "saved block ends in a zero byte");

    TolvaneProcessor q;
    Settings{ 1.0, 1.0, 1.0f, false }.putInto (q);
    q.setStateInformation (saved.getData(), (int) saved.getSize());
    require (Settings::of (q) == after, "a saved block restores to the settings it was saved from");

    publishSound (p);
    p.prepareToPlay (48000.0, 256);
    requireFiniteOutput (p, 3);
    return 0;
}
