#include "AudioFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <stdlib.h>

namespace fixtures
{
TempDir::TempDir()
{
    // mkdtemp makes a new directory atomically, so test processes run side by side never share one.
    auto pattern = juce::File::getSpecialLocation (juce::File::tempDirectory)
                       .getChildFile ("tolvane-engine-test-XXXXXX")
                       .getFullPathName()
                       .toStdString();
    if (mkdtemp (pattern.data()) == nullptr)
        throw std::runtime_error ("cannot create a temporary directory");
    dir = juce::File (pattern);
}

TempDir::~TempDir() { dir.deleteRecursively(); }

const char* extensionOf (Format format)
{
    switch (format)
    {
    case Format::wav:
        return ".wav";
    case Format::aiff:
        return ".aiff";
    case Format::flac:
        return ".flac";
    }
    return "";
}

std::unique_ptr<juce::AudioFormat> makeFormat (Format format)
{
    switch (format)
    {
    case Format::wav:
        return std::make_unique<juce::WavAudioFormat>();
    case Format::aiff:
        return std::make_unique<juce::AiffAudioFormat>();
    case Format::flac:
        return std::make_unique<juce::FlacAudioFormat>();
    }
    return {};
}

namespace
{
std::unique_ptr<juce::AudioFormatWriter> openWriter (const juce::File& file, Format format, int numChannels,
                                                     double sampleRate, int bits)
{
    file.deleteFile();
    auto audioFormat = makeFormat (format);
    auto stream = file.createOutputStream();
    if (stream == nullptr)
        throw std::runtime_error ("cannot create " + file.getFullPathName().toStdString());

    std::unique_ptr<juce::AudioFormatWriter> writer (
        audioFormat->createWriterFor (stream.get(), sampleRate, (unsigned int) numChannels, bits, {}, 0));
    if (writer == nullptr)
        throw std::runtime_error ("no writer for " + file.getFullPathName().toStdString());

    stream.release(); // the writer owns the stream now
    return writer;
}
} // namespace

void writeSound (const juce::File& file, Format format, const Channels& channels, double sampleRate, int bits)
{
    const int numChannels = (int) channels.size();
    const int numFrames = channels.empty() ? 0 : (int) channels.front().size();
    auto writer = openWriter (file, format, numChannels, sampleRate, bits);

    std::vector<const float*> pointers;
    for (auto& channel : channels)
        pointers.push_back (channel.data());

    if (numFrames > 0 && ! writer->writeFromFloatArrays (pointers.data(), numChannels, numFrames))
        throw std::runtime_error ("cannot write " + file.getFullPathName().toStdString());
}

float patternSample (int channel, juce::int64 frame)
{
    // A sawtooth of 97 steps whose phase depends on the channel, plus a channel offset.
    const auto step = (int) ((frame + channel * 13) % 97);
    return (float) (step - 48) / 64.0f + 0.01f * (float) channel;
}

void writePattern (const juce::File& file, Format format, int numChannels, juce::int64 numFrames, double sampleRate,
                   int bits)
{
    auto writer = openWriter (file, format, numChannels, sampleRate, bits);
    constexpr int slice = 1 << 16;
    juce::AudioBuffer<float> buffer (numChannels, slice);

    for (juce::int64 start = 0; start < numFrames; start += slice)
    {
        const int count = (int) std::min<juce::int64> (slice, numFrames - start);
        for (int ch = 0; ch < numChannels; ++ch)
        {
            auto* out = buffer.getWritePointer (ch);
            for (int i = 0; i < count; ++i)
                out[i] = patternSample (ch, start + i);
        }
        if (! writer->writeFromAudioSampleBuffer (buffer, 0, count))
            throw std::runtime_error ("cannot write " + file.getFullPathName().toStdString());
    }
}

Channels makeSignal (int numChannels, int numFrames)
{
    Channels channels ((size_t) numChannels, std::vector<float> ((size_t) numFrames));
    for (int ch = 0; ch < numChannels; ++ch)
        for (int i = 0; i < numFrames; ++i)
            channels[(size_t) ch][(size_t) i] =
                (float) (0.6 * std::sin (2.0 * juce::MathConstants<double>::pi * (ch + 1) * i / 97.0) + 0.05 * ch);
    return channels;
}

Channels decodeWithFramework (const juce::File& file)
{
    juce::AudioFormatManager manager;
    manager.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (manager.createReaderFor (file));
    if (reader == nullptr)
        throw std::runtime_error ("no reader for " + file.getFullPathName().toStdString());

    const int numChannels = (int) reader->numChannels;
    const int numFrames = (int) reader->lengthInSamples;
    juce::AudioBuffer<float> buffer (numChannels, numFrames);
    buffer.clear(); // what a reader leaves unwritten reads as silence, as in a sound's own zeroed channels
    reader->read (buffer.getArrayOfWritePointers(), numChannels, 0, numFrames);

    Channels channels;
    for (int ch = 0; ch < numChannels; ++ch)
        channels.emplace_back (buffer.getReadPointer (ch), buffer.getReadPointer (ch) + numFrames);
    return channels;
}

std::unique_ptr<LoadedSound> makeSound (Channels channels, double sampleRate)
{
    auto sound = std::make_unique<LoadedSound>();
    sound->sampleRate = sampleRate;
    sound->channels = std::move (channels);
    return sound;
}

LoadedSound* publishSound (TolvaneProcessor& processor, Channels channels, double sampleRate)
{
    auto sound = makeSound (std::move (channels), sampleRate);
    processor.cacheBytes += sound->channels.size() * (sound->channels.empty() ? 0 : sound->channels[0].size()) * 4;
    processor.soundCache.push_back (std::move (sound));
    auto* published = processor.soundCache.back().get();
    processor.pendingSound.exchange (published);
    return published;
}

juce::Optional<juce::AudioPlayHead::PositionInfo> TestPlayHead::getPosition() const
{
    ++queries;
    if (onQuery)
        onQuery();
    if (! givesPosition)
        return {};

    PositionInfo info;
    info.setTimeInSamples (1234);
    if (bpm.has_value())
        info.setBpm (*bpm);
    return info;
}

juce::AudioBuffer<float> runBlock (TolvaneProcessor& processor, int numChannels, int numSamples)
{
    juce::AudioBuffer<float> buffer (numChannels, numSamples);
    for (int ch = 0; ch < numChannels; ++ch)
        for (int i = 0; i < numSamples; ++i)
            buffer.setSample (ch, i, 7.0f);
    juce::MidiBuffer midi;
    processor.processBlock (buffer, midi);
    return buffer;
}

int samplesUntilStopped (TolvaneProcessor& processor, int maxSamples)
{
    // One sample a block: the block whose one sample finds the position at the end is the
    // first after which isPlaying reads false, and every block before it rendered a sample.
    for (int i = 0; i < maxSamples; ++i)
    {
        runBlock (processor, 1, 1);
        if (! processor.isPlaying.load())
            return i;
    }
    return -1;
}

Snapshot::Snapshot (const TolvaneProcessor& p)
    : hostBpm (p.hostBpm.load()),
      sourceBpm (p.sourceBpm.load()),
      pitchSemitones (p.pitchSemitones.load()),
      gain (p.gain.load()),
      matchDawTempo (p.matchDawTempo.load()),
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
    for (auto& sound : p.soundCache)
        cache.push_back (sound.get());
}

bool Snapshot::operator== (const Snapshot& o) const
{
    auto same = [] (double a, double b) { return std::memcmp (&a, &b, sizeof a) == 0; };
    return same (hostBpm, o.hostBpm) && same (sourceBpm, o.sourceBpm) && same (pitchSemitones, o.pitchSemitones) &&
           sameBits (gain, o.gain) && matchDawTempo == o.matchDawTempo && isPlaying == o.isPlaying &&
           transportCommand == o.transportCommand && loadedFile == o.loadedFile &&
           loadedIsOriginal == o.loadedIsOriginal && voiceSound == o.voiceSound &&
           same (voicePosition, o.voicePosition) && voicePlaying == o.voicePlaying &&
           same (hostSampleRate, o.hostSampleRate) && cache == o.cache && cacheBytes == o.cacheBytes &&
           pendingSound == o.pendingSound;
}

std::string Snapshot::describe() const
{
    std::ostringstream s;
    s.precision (17);
    s << "hostBpm " << hostBpm << ", sourceBpm " << sourceBpm << ", pitch " << pitchSemitones << ", gain " << gain
      << ", match " << matchDawTempo << ", isPlaying " << isPlaying << ", command " << transportCommand
      << ", loadedFile '" << loadedFile << "', original " << loadedIsOriginal << ", voice " << voiceSound << " @ "
      << voicePosition << (voicePlaying ? " playing" : " stopped") << ", rate " << hostSampleRate << ", cache "
      << cache.size() << " sounds / " << cacheBytes << " bytes, pending " << pendingSound;
    return s.str();
}

void makeBusy (TolvaneProcessor& p)
{
    // A sound that plays, moved away from its start.
    auto* playing = publishSound (p, makeSignal (2, 4096), 44100.0);
    runBlock (p, 2, 16);
    p.transportCommand = transportPlayOnce;
    runBlock (p, 2, 100);
    EXPECT_EQ (p.voice.sound, playing);
    EXPECT_TRUE (p.voice.playing);

    // A second sound still waiting in the slot.
    publishSound (p, makeSignal (1, 512), 48000.0);

    p.hostBpm = 97.0;
    p.sourceBpm = 123.0;
    p.pitchSemitones = 5.0;
    p.gain = 0.25f;
    p.matchDawTempo = true;
    p.transportCommand = 7; // a value no code posts, so any store shows
    p.loadedFile = juce::File ("/nonexistent/previous-sound.wav");
    p.loadedIsOriginal = false;
}

bool sameBits (float a, float b) { return std::memcmp (&a, &b, sizeof a) == 0; }
} // namespace fixtures
