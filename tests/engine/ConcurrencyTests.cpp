// The hand-off between the message thread and the audio thread, driven through a fixed number of
// changes against an audio thread that never waits. Registered with CONCURRENCY, so that it also
// runs under ThreadSanitizer: a data race anywhere in the engine's shared fields fails the run.

#include "AudioFixtures.h"
#include "support/HostListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

using namespace fixtures;

namespace
{
using Clock = std::chrono::steady_clock;

// Runs processBlock in a loop on its own thread, with random block and channel counts, until
// stopped. Every sample of every block must be finite and within ±1.
class AudioThread
{
public:
    static constexpr int maxChannels = 4;
    static constexpr int maxBlock = 1024;

    // playHeadDelay: how long the play head takes to answer. It is asked between the block's
    // exchange of pendingSound and its exchange of transportCommand, so a slow one widens the
    // window that a load and a command can fall into.
    explicit AudioThread (TolvaneProcessor& p, std::function<void()> afterBlock = {},
                          std::chrono::microseconds playHeadDelay = {})
        : processor (p), hook (std::move (afterBlock)), playHead (hostTempo, playHeadDelay)
    {
        for (auto& channel : storage)
            channel.assign (maxBlock, 0.0f);
        processor.setPlayHead (&playHead);
        thread = std::thread ([this] { run(); });
    }

    ~AudioThread() { stop(); }

    void stop()
    {
        keepGoing = false;
        if (thread.joinable())
            thread.join();
        processor.setPlayHead (nullptr);
    }

    std::atomic<long> blocks{ 0 };
    std::atomic<long> badSamples{ 0 };
    std::atomic<long> samples{ 0 };
    std::atomic<double> hostTempo{ 120.0 }; // what the play head reports, set from the test

private:
    struct PlayHead : juce::AudioPlayHead
    {
        PlayHead (std::atomic<double>& t, std::chrono::microseconds d) : tempo (t), delay (d) {}
        juce::Optional<PositionInfo> getPosition() const override
        {
            if (delay.count() > 0)
                for (const auto until = Clock::now() + delay; Clock::now() < until;)
                {
                }
            const auto bpm = tempo.load();
            if (bpm < 0.0)
                return {}; // a host that gives no position
            PositionInfo info;
            if (bpm > 0.0)
                info.setBpm (bpm);
            return info;
        }
        std::atomic<double>& tempo;
        std::chrono::microseconds delay;
    };

    void run()
    {
        std::mt19937 random (1234);
        std::uniform_int_distribution<int> blockSize (0, maxBlock);
        std::uniform_int_distribution<int> channelCount (1, maxChannels);
        std::uniform_int_distribution<int> rare (0, 199);
        const double rates[] = { 44100.0, 48000.0, 96000.0, 22050.0, 192000.0, 0.0 };
        juce::MidiBuffer midi;

        while (keepGoing.load())
        {
            // The host's contract: prepareToPlay never runs while processBlock does, so the audio
            // thread itself changes the rate now and then, between two blocks.
            if (rare (random) == 0)
                processor.prepareToPlay (rates[(size_t) rare (random) % std::size (rates)], maxBlock);

            int n = blockSize (random);
            if (rare (random) < 20)
                n = 0;
            const int channels = channelCount (random);
            float* pointers[maxChannels];
            for (int ch = 0; ch < channels; ++ch)
            {
                pointers[ch] = storage[(size_t) ch].data();
                std::fill (pointers[ch], pointers[ch] + n, 9.0f); // a value renderVoice must overwrite
            }
            juce::AudioBuffer<float> buffer (pointers, channels, n); // refers to the storage, allocates nothing
            processor.processBlock (buffer, midi);

            long bad = 0;
            for (int ch = 0; ch < channels; ++ch)
                for (int i = 0; i < n; ++i)
                {
                    const float v = pointers[ch][i];
                    if (! std::isfinite (v) || v < -1.0f || v > 1.0f)
                        ++bad;
                }
            badSamples += bad;
            samples += (long) n * channels;
            ++blocks;
            if (hook)
                hook();
        }
    }

    TolvaneProcessor& processor;
    std::function<void()> hook;
    std::array<std::vector<float>, maxChannels> storage;
    PlayHead playHead;
    std::atomic<bool> keepGoing{ true };
    std::thread thread;
};

// Small sound files of every kind, some with samples beyond full scale.
std::vector<juce::File> writeSoundFiles (TempDir& temp)
{
    std::vector<juce::File> files;
    int index = 0;
    for (auto format : { Format::wav, Format::aiff, Format::flac })
        for (int channels : { 1, 2, 6 })
            for (double rate : { 44100.0, 48000.0, 96000.0, 192000.0 })
            {
                auto file = temp.file ("sound" + juce::String (index++) + extensionOf (format));
                writeSound (file, format, makeSignal (channels, 500 + 700 * (index % 5)), rate, 16);
                files.push_back (file);
            }
    auto loud = makeSignal (2, 2000);
    for (auto& channel : loud)
        for (auto& v : channel)
            v *= 3.0f;
    files.push_back (temp.file ("loud.wav"));
    writeSound (files.back(), Format::wav, loud, 48000.0, 32);
    files.push_back (temp.file ("broken.wav"));
    files.back().replaceWithText ("not a sound");
    return files;
}

// Waits, yielding, until the condition holds. The bound only keeps a broken build from hanging:
// a starved thread gets there long before it.
template <typename Condition> bool waitUntil (Condition condition)
{
    const auto giveUp = Clock::now() + std::chrono::seconds (60);
    while (! condition())
    {
        if (Clock::now() > giveUp)
            return condition();
        std::this_thread::yield();
    }
    return true;
}

std::vector<juce::MemoryBlock> stateBlocks()
{
    std::vector<juce::MemoryBlock> blocks;
    auto blockOf = [] (const std::string& text)
    {
        juce::MemoryOutputStream out;
        out.writeInt (0x21324356);
        out.writeInt ((int) text.size());
        out.write (text.data(), text.size());
        out.writeByte (0);
        return out.getMemoryBlock();
    };
    blocks.push_back (blockOf (R"(<BRVTolvane bpm="120" pitch="7" gain="1" sync="1"/>)"));
    blocks.push_back (blockOf (R"(<BRVTolvane bpm="0.5" pitch="-12" gain="0.01" sync="0"/>)"));
    blocks.push_back (blockOf (R"(<BRVTolvane bpm="nan" pitch="inf" gain="1e9" sync="yes"/>)"));
    blocks.push_back (blockOf (R"(<BRVTolvane bpm="400" pitch="2.5")"));
    blocks.push_back (blockOf ("<Other/>"));
    blocks.push_back (juce::MemoryBlock (5));
    return blocks;
}
} // namespace

TEST (EngineConcurrency, TheAudioThreadStaysCleanWhileEverythingChanges)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    TempDir temp;
    const auto files = writeSoundFiles (temp);
    const auto blocks = stateBlocks();
    // Long enough to be still playing at the end of the block that starts it, whatever the rate,
    // pitch or tempo the chaos has left behind (at most 4 frames a sample at 22.05 kHz).
    const auto longSound = temp.file ("long.wav");
    writeSound (longSound, Format::wav, makeSignal (1, 8 * AudioThread::maxBlock), 22050.0, 16);

    TolvaneProcessor p;
    p.prepareToPlay (48000.0, AudioThread::maxBlock);
    // Loads that reset a setting tell the host, on this thread only, while the audio thread runs.
    const testsupport::HostListener host (p);

    // Set by the test: the audio thread stops after the first block that ends playing and waits
    // there, so that the test sees the published play state for certain.
    std::atomic<bool> holdWhenPlaying{ false };
    std::atomic<bool> held{ false };
    std::atomic<long> playingBlocks{ 0 };
    AudioThread audio (p,
                       [&]
                       {
                           if (! p.voice.playing)
                               return;
                           ++playingBlocks;
                           if (holdWhenPlaying.load())
                           {
                               held = true;
                               while (holdWhenPlaying.load())
                                   std::this_thread::yield();
                               held = false;
                           }
                       });

    std::mt19937 random (99);
    std::uniform_int_distribution<int> pick (0, 1 << 20);
    auto uniform = [&] (double low, double high) { return low + (high - low) * (pick (random) / double (1 << 20)); };

    // A fixed number of changes, and the audio thread made to run blocks in between, so that the
    // two threads meet as often on a busy machine as on an idle one.
    constexpr int changes = 20000;
    constexpr int changesPerBlock = 32;
    constexpr int changesPerPlayCheck = 2500;
    long loads = 0, successes = 0;
    for (int change = 1; change <= changes; ++change)
    {
        switch (pick (random) % 9)
        {
        case 0: // a sound, loaded as the editor does; a preview starts at once
        {
            const auto& file = files[(size_t) pick (random) % files.size()];
            const bool preview = pick (random) % 2 == 0;
            ++loads;
            if (p.loadSoundFile (file, ! preview).startsWith ("Loaded: "))
            {
                ++successes;
                if (preview)
                    p.transportCommand = transportPlayOnce;
            }
            break;
        }
        case 1:
            p.transportCommand = pick (random) % 4; // 0 to 3: none, play, stop, unknown
            break;
        case 2:
            p.sourceBpm = pick (random) % 5 == 0 ? 0.0 : uniform (1.0, 400.0);
            break;
        case 3:
            p.pitchSemitones = std::round (uniform (-12.0, 12.0));
            break;
        case 4:
            p.gain = (float) uniform (0.0, 1.0);
            break;
        case 5:
            p.matchDawTempo = pick (random) % 2 == 0;
            audio.hostTempo = pick (random) % 4 == 0 ? -1.0 : uniform (0.0, 300.0);
            break;
        case 6:
        {
            const auto& block = blocks[(size_t) pick (random) % blocks.size()];
            p.setStateInformation (block.getData(), (int) block.getSize());
            break;
        }
        case 7:
        {
            juce::MemoryBlock state;
            p.getStateInformation (state);
            break;
        }
        default:
            // What the editor's timer reads.
            (void) p.isPlaying.load();
            (void) p.hostBpm.load();
            p.transportCommand = transportPlayOnce;
            break;
        }

        if (change % changesPerBlock == 0)
        {
            const auto before = audio.blocks.load();
            ASSERT_TRUE (waitUntil ([&] { return audio.blocks.load() > before; })) << "the audio thread stalled";
        }

        if (change % changesPerPlayCheck == 0)
        {
            // A sound started in the middle of it all plays, and the message thread sees it play.
            SCOPED_TRACE (change);
            holdWhenPlaying = true;
            ASSERT_TRUE (p.loadSoundFile (longSound, false).startsWith ("Loaded: "));
            p.transportCommand = transportPlayOnce;
            const bool reached = waitUntil ([&] { return held.load(); });
            const bool seenPlaying = reached && p.isPlaying.load();
            holdWhenPlaying = false;
            ASSERT_TRUE (reached) << "nothing played";
            EXPECT_TRUE (seenPlaying);
        }
    }
    audio.stop();

    EXPECT_EQ (audio.badSamples.load(), 0) << "of " << audio.samples.load() << " samples";
    EXPECT_GT (successes, loads / 2) << "of " << loads << " loads";
    EXPECT_GT (host.stateChanges(), 0);
    EXPECT_EQ (host.reportsOffTheMessageThread(), 0);
    std::cout << "[          ] " << audio.blocks.load() << " blocks (" << playingBlocks.load() << " playing), " << loads
              << " loads (" << successes << " loaded); " << p.soundCache.size() << " sounds cached, " << p.cacheBytes
              << " bytes\n";
}

TEST (EngineConcurrency, EveryPreviewStartsWhateverTheTiming)
{
    // The editor's preview path, a load and then command 1, raced against a free-running audio
    // thread whose host answers slowly: with the window between the two exchanges closed, every
    // preview starts. (With the window open, most previews here arrive stopped.)
    juce::ScopedJuceInitialiser_GUI juceInit;
    TempDir temp;
    std::vector<juce::File> files;
    for (int i = 0; i < 4; ++i)
    {
        files.push_back (temp.file ("preview-" + juce::String (i) + ".wav"));
        // Longer than the largest block, so a started preview is still playing at the block's end.
        writeSound (files.back(), Format::wav, makeSignal (2, 3000 + i), 48000.0, 16);
    }

    TolvaneProcessor p;
    p.prepareToPlay (48000.0, AudioThread::maxBlock);
    std::atomic<const LoadedSound*> lastStarted{ nullptr };
    AudioThread audio (
        p,
        [&]
        {
            // Runs on the audio thread after each block: voice belongs to it.
            if (p.voice.playing)
                lastStarted = p.voice.sound;
        },
        std::chrono::microseconds (50));

    constexpr int previews = 300;
    int missed = 0;
    for (int i = 0; i < previews; ++i)
    {
        const auto text = p.loadSoundFile (files[(size_t) i % files.size()], false);
        ASSERT_TRUE (text.startsWith ("Loaded: ")) << text;
        p.transportCommand = transportPlayOnce;
        const LoadedSound* preview = p.soundCache.back().get();

        // The outcome is settled once the audio thread has taken both the sound and the command
        // and has finished the block that took the later of them; nothing else posts meanwhile.
        ASSERT_TRUE (
            waitUntil ([&] { return p.pendingSound.load() == nullptr && p.transportCommand.load() == transportNone; }))
            << "the audio thread stalled";
        const auto taken = audio.blocks.load();
        ASSERT_TRUE (waitUntil ([&] { return audio.blocks.load() > taken + 1; })) << "the audio thread stalled";
        if (lastStarted.load() != preview)
            ++missed;
    }
    audio.stop();

    EXPECT_EQ (missed, 0) << "of " << previews << " previews";
    EXPECT_EQ (audio.badSamples.load(), 0);
    std::cout << "[          ] " << previews << " previews over " << audio.blocks.load() << " blocks\n";
}
