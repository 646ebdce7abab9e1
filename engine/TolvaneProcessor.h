#pragma once

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>
#include <memory>
#include <vector>

// One decoded sound. Never changed once handed to the audio thread.
struct LoadedSound
{
    double sampleRate = 44100.0;
    std::vector<std::vector<float>> channels;
};

// Audio-thread playback state.
struct Voice
{
    LoadedSound* sound = nullptr;
    double position = 0.0;
    bool playing = false;
};

// Codes of the one-command mailbox from the message thread to the audio thread.
enum TransportCode : int
{
    transportNone = 0,
    transportPlayOnce = 1,
    transportStopReset = 2
};

void renderVoice (Voice& voice, float* const* outputs, int numChannels, int numSamples, double hostRate,
                  double speedRatio, float gain);

class TolvaneProcessor : public juce::AudioProcessor
{
public:
    TolvaneProcessor();
    ~TolvaneProcessor() override;

    const juce::String getName() const override;
    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;
    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;
    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;
    void getStateInformation (juce::MemoryBlock& destination) override;
    void setStateInformation (const void* data, int sizeInBytes) override;
    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    // Message thread only. Returns a status text; success begins with "Loaded: ".
    // Throws std::bad_alloc when memory for the sound cannot be had, with every field unchanged.
    juce::String loadSoundFile (const juce::File& file, bool original);

    // Message thread only, never the audio thread: the host's listeners run on the calling thread.
    // A host learns of a change of the saved settings only from this (there are no parameters), and
    // marks its session unsaved; call it once for each change the user makes.
    void reportSettingsChanged();

    static constexpr size_t cacheBudgetBytes = 268435456; // 256 MiB of samples
    static constexpr juce::int64 maxFrames = 12000000;
    static constexpr double maxSeconds = 120.0;

    std::atomic<double> hostBpm{ 0.0 };
    std::atomic<double> sourceBpm{ 0.0 };
    std::atomic<double> pitchSemitones{ 0.0 };
    std::atomic<float> gain{ 0.5f };
    std::atomic<bool> matchDawTempo{ false };
    std::atomic<bool> isPlaying{ false };
    std::atomic<int> transportCommand{ transportNone };
    juce::File loadedFile;
    bool loadedIsOriginal = true;

    // Audio thread only.
    Voice voice;

    juce::AudioFormatManager formatManager;
    double hostSampleRate = 44100.0;
    std::vector<std::unique_ptr<LoadedSound>> soundCache;
    size_t cacheBytes = 0;
    std::atomic<LoadedSound*> pendingSound{ nullptr };

private:
    // Audio thread only: the tempo of the latest position an LV2 host sent.
    double lastPositionBpm = 0.0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TolvaneProcessor)
};
