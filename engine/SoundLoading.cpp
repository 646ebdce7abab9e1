#include "TolvaneProcessor.h"

#include "ChunkWalk.h"

#include <filesystem>

namespace
{
// Opening a named pipe, a device or a socket can block until something writes to it.
bool isRegularFile (const juce::File& file)
{
    std::error_code error;
    return std::filesystem::is_regular_file (std::filesystem::path (file.getFullPathName().toStdString()), error);
}

// The framework's WAV and AIFF readers convert at most 5,760 bytes of frames a pass, and a frame
// wider than that makes them loop for ever. The sample size they report may be the frame's size
// per channel rounded down to whole bits, so a frame can be up to a bit per channel wider than
// channels x bits; this refuses every file whose frame could pass 5,760 bytes.
bool frameMayOutgrowTheReaders (const juce::AudioFormatReader& reader)
{
    return (juce::uint64) reader.numChannels * ((juce::uint64) reader.bitsPerSample + 1) > 8u * 5761u;
}

// The framework's AIFF reader divides by the frame's whole bytes, (channels x bits) / 8, which is 0
// for a frame under 8 bits: a division by zero. Its WAV reader refuses such frames itself.
bool frameIsNarrowerThanAByte (const juce::AudioFormatReader& reader)
{
    return (juce::uint64) reader.numChannels * reader.bitsPerSample < 8 && reader.getFormatName() == "AIFF file";
}

// The framework's WAV and AIFF readers take the data chunk's claim for the sound's length and read each
// claimed frame past the end of the file as zero bytes, at most 5,760 bytes a pass: a file of a few bytes
// claiming gigabytes takes seconds. Every frame from where the file ends on reads the same, so only the
// frames the file could hold are worth reading, and one more that it cannot, to copy into the rest. The
// frame the readers step by is never narrower than channels x bits, whole bytes.
juce::int64 framesWorthReading (const juce::AudioFormatReader& reader, juce::int64 fileSize, juce::int64 frames)
{
    const auto name = reader.getFormatName();
    const auto frameBytes = (juce::int64) reader.numChannels * (juce::int64) reader.bitsPerSample / 8;
    if ((name != "WAV file" && name != "AIFF file") || frameBytes <= 0)
        return frames;
    return std::min (frames, fileSize / frameBytes + 2);
}
} // namespace

juce::String TolvaneProcessor::loadSoundFile (const juce::File& file, bool original)
{
    if (! isRegularFile (file) || chunksMisleadTheReader (file))
        return "Cannot read this audio file.";

    std::unique_ptr<juce::AudioFormatReader> reader (formatManager.createReaderFor (file));

    // "Not above 0" also refuses a NaN rate, which would otherwise pass every limit below.
    if (reader == nullptr || reader->lengthInSamples < 1 || ! (reader->sampleRate > 0.0) ||
        frameMayOutgrowTheReaders (*reader) || frameIsNarrowerThanAByte (*reader))
        return "Cannot read this audio file.";

    const auto frames = reader->lengthInSamples;

    // Both length limits come before any sample memory is asked for.
    if ((double) frames > reader->sampleRate * maxSeconds || frames > maxFrames)
        return "Prototype limit: choose a sound no longer than 2 minutes / 12 million frames.";

    const int k = (int) std::min (reader->numChannels, 2u);
    const int n = (int) frames;

    if (k < 1)
        return "Audio read failed.";

    // Decoded straight into the sound's own channels, so a load holds one copy of the samples.
    auto sound = std::make_unique<LoadedSound>();
    sound->sampleRate = reader->sampleRate;
    sound->channels.reserve ((size_t) k);
    float* channelData[2] = {};
    for (int ch = 0; ch < k; ++ch)
        channelData[ch] = sound->channels.emplace_back ((size_t) n).data();

    const auto worthReading = (int) framesWorthReading (*reader, file.getSize(), n);
    juce::AudioBuffer<float> decoded (channelData, k, worthReading);

    if (! reader->read (&decoded, 0, worthReading, 0, true, true))
        return "Audio read failed.";

    for (auto& channel : sound->channels)
        std::fill (channel.begin() + worthReading, channel.end(), channel[(size_t) worthReading - 1]);

    const auto newTotal = (juce::uint64) cacheBytes + (juce::uint64) k * (juce::uint64) n * 4u;

    if (newTotal > cacheBudgetBytes)
        return "Session cache full (256 MB). Remove and reopen Tolvane to clear it.";

    // The steps below that can throw are growing the cache list and making the status text:
    // do both while nothing has changed.
    soundCache.reserve (soundCache.size() + 1);
    auto status = "Loaded: " + file.getFileName() + ". Enter source BPM if known.";

    cacheBytes = (size_t) newTotal;
    soundCache.push_back (std::move (sound));
    pendingSound.exchange (soundCache.back().get());
    loadedFile = file;
    loadedIsOriginal = original;
    // The reset is a change of the saved settings only where one of them was not 0 already.
    const bool tempoReset = sourceBpm.exchange (0.0) != 0.0;
    const bool pitchReset = pitchSemitones.exchange (0.0) != 0.0;
    transportCommand.store (transportStopReset);

    if (tempoReset || pitchReset)
        reportSettingsChanged();

    return status;
}
