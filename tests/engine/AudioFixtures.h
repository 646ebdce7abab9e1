#pragma once

// Shared fixtures of the engine tests: temporary sound files written with the framework's own
// writers, sounds built in memory, a scriptable play head and snapshots of the processor's fields.

#include "engine/TolvaneProcessor.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fixtures
{
using Channels = std::vector<std::vector<float>>;

// A fresh directory in the system's temporary folder, deleted with everything in it by the destructor.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir (const TempDir&) = delete;
    TempDir& operator= (const TempDir&) = delete;

    juce::File file (const juce::String& name) const { return dir.getChildFile (name); }
    const juce::File& path() const { return dir; }

private:
    juce::File dir;
};

enum class Format
{
    wav,
    aiff,
    flac
};

const char* extensionOf (Format format); // ".wav", ".aiff", ".flac"
std::unique_ptr<juce::AudioFormat> makeFormat (Format format);

// Writes every frame of the channels (all of one length) with the format's writer.
// Float samples are written as 32-bit float data when bits is 32 and the format is WAV.
void writeSound (const juce::File& file, Format format, const Channels& channels, double sampleRate, int bits);

// Writes numFrames frames of patternSample in slices, for the long files of the limit tests.
void writePattern (const juce::File& file, Format format, int numChannels, juce::int64 numFrames, double sampleRate,
                   int bits);

// The deterministic test signal of writePattern: within ±0.75, different on every channel.
float patternSample (int channel, juce::int64 frame);

// A test signal for small fixtures: a sine of its own frequency on every channel, below full scale.
Channels makeSignal (int numChannels, int numFrames);

// The whole file decoded by a fresh reader of the framework, independent of the processor.
Channels decodeWithFramework (const juce::File& file);

// A sound built in memory.
std::unique_ptr<LoadedSound> makeSound (Channels channels, double sampleRate);

// Hands a sound built in memory to the processor the way loadSoundFile does, without a file:
// appended to soundCache (which owns it), counted, then exchanged into pendingSound.
LoadedSound* publishSound (TolvaneProcessor& processor, Channels channels, double sampleRate);

// A play head whose answer the test sets; onQuery runs inside getPosition, on the caller's thread.
class TestPlayHead : public juce::AudioPlayHead
{
public:
    juce::Optional<PositionInfo> getPosition() const override;

    bool givesPosition = true;
    std::optional<double> bpm;
    std::function<void()> onQuery;
    mutable int queries = 0;
};

// One call of processBlock on a buffer prefilled with a marker value, so untouched samples show.
juce::AudioBuffer<float> runBlock (TolvaneProcessor& processor, int numChannels, int numSamples);

// Runs blocks of one sample until isPlaying turns false; returns how many samples the voice
// rendered before it found its end, or -1 when it still plays after maxSamples.
int samplesUntilStopped (TolvaneProcessor& processor, int maxSamples = 1000000);

// Every field of the processor a failed load or a restore must leave alone.
struct Snapshot
{
    explicit Snapshot (const TolvaneProcessor& p);

    double hostBpm, sourceBpm, pitchSemitones;
    float gain;
    bool matchDawTempo, isPlaying;
    int transportCommand;
    juce::String loadedFile;
    bool loadedIsOriginal;
    LoadedSound* voiceSound;
    double voicePosition;
    bool voicePlaying;
    double hostSampleRate;
    std::vector<const LoadedSound*> cache;
    size_t cacheBytes;
    LoadedSound* pendingSound;

    bool operator== (const Snapshot& other) const;
    std::string describe() const;
};

// Puts non-default values in every setting and a played sound in the voice, to show any change.
void makeBusy (TolvaneProcessor& processor);

// Bit-exact comparison of floats (0.0f and -0.0f differ, NaNs compare by their bits).
bool sameBits (float a, float b);
} // namespace fixtures
