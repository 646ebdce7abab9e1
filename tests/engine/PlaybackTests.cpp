// renderVoice, processBlock, the transport commands, the hand-off and the processor's
// fixed answers to the framework.

#include "AudioFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
# include <xmmintrin.h>
# define TOLVANE_TEST_MXCSR 1
#endif

using namespace fixtures;

namespace
{
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr float marker = 7.0f; // what the output holds before a call
constexpr int guard = 4;       // samples after numSamples that must stay untouched

double clampRatio (double r) { return r > 4.0 ? 4.0 : (r < 0.25 ? 0.25 : r); }

// renderVoice written out again, step by step, for comparison.
void referenceRender (Voice& voice, Channels& out, int numChannels, int numSamples, double hostRate, double ratio,
                      float gain)
{
    for (int j = 0; j < numChannels; ++j)
        for (int i = 0; i < numSamples; ++i)
            out[(size_t) j][(size_t) i] = 0.0f;

    if (! voice.playing || voice.sound == nullptr || ! (hostRate > 0.0) || std::isnan (ratio) || std::isinf (ratio))
        return;

    const double rateQuotient = voice.sound->sampleRate / hostRate;
    const double step = rateQuotient * clampRatio (ratio);
    const auto& src = voice.sound->channels;
    const size_t n = src.empty() ? 0 : src[0].size();
    const int m = (int) src.size();

    for (int i = 0; i < numSamples; ++i)
    {
        if (voice.position >= (double) n)
        {
            voice.playing = false;
            return;
        }
        const std::int32_t idx = (std::int32_t) voice.position;
        const float frac = (float) (voice.position - (double) idx);
        const size_t next = std::min ((size_t) idx + 1, n - 1);
        for (int j = 0; j < numChannels; ++j)
        {
            const auto& s = src[(size_t) std::min (j, m - 1)];
            const float difference = s[next] - s[(size_t) idx];
            const float scaled = difference * frac;
            float value = scaled + s[(size_t) idx];
            value = value * gain;
            if (value > 1.0f)
                value = 1.0f;
            if (value < -1.0f)
                value = -1.0f;
            out[(size_t) j][(size_t) i] = value;
        }
        voice.position = step + voice.position;
    }
}

// Calls renderVoice on channels prefilled with the marker and checks that nothing past numSamples moved.
Channels render (Voice& voice, int numChannels, int numSamples, double hostRate, double ratio, float gain)
{
    Channels out ((size_t) numChannels, std::vector<float> ((size_t) std::max (numSamples, 0) + guard, marker));
    std::vector<float*> pointers;
    for (auto& channel : out)
        pointers.push_back (channel.data());
    renderVoice (voice, pointers.data(), numChannels, numSamples, hostRate, ratio, gain);

    for (auto& channel : out)
    {
        for (size_t i = channel.size() - guard; i < channel.size(); ++i)
            EXPECT_EQ (channel[i], marker) << "renderVoice wrote past numSamples";
        channel.resize (channel.size() - guard);
    }
    return out;
}

Voice playingVoice (LoadedSound& sound, double position = 0.0)
{
    Voice voice;
    voice.sound = &sound;
    voice.position = position;
    voice.playing = true;
    return voice;
}

// Test data with values beyond full scale, to exercise the clip.
Channels loudSignal (int numChannels, int numFrames)
{
    auto channels = makeSignal (numChannels, numFrames);
    for (auto& channel : channels)
        for (size_t i = 0; i < channel.size(); i += 7)
            channel[i] *= (i % 2 == 0) ? 2.5f : -2.5f;
    return channels;
}

bool allZero (const Channels& out)
{
    for (auto& channel : out)
        for (auto v : channel)
            if (! sameBits (v, 0.0f))
                return false;
    return true;
}
} // namespace

//==============================================================================
// renderVoice

struct SilentCase
{
    const char* name;
    bool playing;
    bool withSound;
    double hostRate;
    double ratio;
};

class RenderVoiceSilent : public ::testing::TestWithParam<SilentCase>
{
};

TEST_P (RenderVoiceSilent, WritesZerosAndLeavesTheVoiceAlone)
{
    const auto& c = GetParam();
    auto sound = makeSound (makeSignal (2, 100), 44100.0);
    Voice voice;
    voice.sound = c.withSound ? sound.get() : nullptr;
    voice.position = 12.5;
    voice.playing = c.playing;

    auto out = render (voice, 3, 32, c.hostRate, c.ratio, 1.0f);

    EXPECT_TRUE (allZero (out)) << c.name;
    EXPECT_EQ (voice.sound, c.withSound ? sound.get() : nullptr);
    EXPECT_EQ (voice.position, 12.5);
    EXPECT_EQ (voice.playing, c.playing);
}

INSTANTIATE_TEST_SUITE_P (Conditions, RenderVoiceSilent,
                          ::testing::Values (SilentCase{ "not playing", false, true, 44100.0, 1.0 },
                                             SilentCase{ "no sound", true, false, 44100.0, 1.0 },
                                             SilentCase{ "host rate 0", true, true, 0.0, 1.0 },
                                             SilentCase{ "host rate below 0", true, true, -44100.0, 1.0 },
                                             // A NaN rate would otherwise become a NaN read index.
                                             SilentCase{ "host rate NaN", true, true, notANumber, 1.0 },
                                             // Rates no device runs at would give a step too small to move.
                                             SilentCase{ "host rate +inf", true, true, infinity, 1.0 },
                                             SilentCase{ "host rate 1e300", true, true, 1e300, 1.0 },
                                             SilentCase{ "host rate just above 10 MHz", true, true,
                                                         std::nextafter (1e7, infinity), 1.0 },
                                             SilentCase{ "ratio NaN", true, true, 44100.0, notANumber },
                                             SilentCase{ "ratio +inf", true, true, 44100.0, infinity },
                                             SilentCase{ "ratio -inf", true, true, 44100.0, -infinity }),
                          [] (const auto& info) { return std::string ("case") + std::to_string (info.index); });

struct ArithmeticCase
{
    int sourceChannels;
    double sourceRate;
    int outputChannels;
    int numSamples;
    double hostRate;
    double ratio;
    float gain;
    double startPosition;
};

class RenderVoiceArithmetic : public ::testing::TestWithParam<ArithmeticCase>
{
};

TEST_P (RenderVoiceArithmetic, MatchesTheReferenceStepsBitForBit)
{
    const auto& c = GetParam();
    auto sound = makeSound (loudSignal (c.sourceChannels, 1500), c.sourceRate);

    auto voice = playingVoice (*sound, c.startPosition);
    auto expectedVoice = voice;
    Channels expected ((size_t) c.outputChannels, std::vector<float> ((size_t) c.numSamples));

    auto out = render (voice, c.outputChannels, c.numSamples, c.hostRate, c.ratio, c.gain);
    referenceRender (expectedVoice, expected, c.outputChannels, c.numSamples, c.hostRate, c.ratio, c.gain);

    for (int j = 0; j < c.outputChannels; ++j)
        for (int i = 0; i < c.numSamples; ++i)
            ASSERT_TRUE (sameBits (out[(size_t) j][(size_t) i], expected[(size_t) j][(size_t) i]))
                << "channel " << j << " sample " << i << ": " << out[(size_t) j][(size_t) i] << " vs "
                << expected[(size_t) j][(size_t) i];

    EXPECT_EQ (voice.position, expectedVoice.position); // the same sum, step by step
    EXPECT_EQ (voice.playing, expectedVoice.playing);
    for (auto& channel : out)
        for (auto v : channel)
            ASSERT_TRUE (v >= -1.0f && v <= 1.0f);
}

INSTANTIATE_TEST_SUITE_P (Table, RenderVoiceArithmetic,
                          ::testing::Values (
                              // src ch, src rate, out ch, samples, host rate, ratio, gain, start
                              ArithmeticCase{ 2, 44100.0, 2, 512, 44100.0, 1.0, 1.0f, 0.0 },
                              ArithmeticCase{ 2, 44100.0, 2, 512, 44100.0, 1.37, 0.5f, 0.0 },
                              ArithmeticCase{ 2, 48000.0, 2, 700, 44100.0, 1.37, 0.7f, 3.25 },
                              ArithmeticCase{ 1, 96000.0, 2, 300, 44100.0, 4.0, 1.0f,
                                              0.0 }, // steps of about 8.7 frames
                              ArithmeticCase{ 1, 96000.0, 2, 300, 44100.0, 9.0, 1.0f, 0.0 }, // ratio clamped to 4
                              ArithmeticCase{ 2, 8000.0, 4, 900, 48000.0, 0.1, 0.9f, 0.0 },  // clamped to 0.25
                              ArithmeticCase{ 2, 8000.0, 1, 900, 48000.0, -3.0, 0.9f, 0.0 }, // clamped to 0.25
                              ArithmeticCase{ 2, 192000.0, 3, 1000, 48000.0, 0.73, 1.0f, 10.75 },
                              ArithmeticCase{ 1, 22050.0, 1, 2000, 96000.0, 2.5, 0.0f, 0.0 },
                              ArithmeticCase{ 2, 44100.0, 2, 2000, 44100.0, 1.0, 1.0f, 1000.0 }, // runs off the end
                              ArithmeticCase{ 2, 44100.0, 6, 64, 44100.0, 0.25, 0.3f, 1498.9 },  // last frame held
                              ArithmeticCase{ 1, 44100.0, 2, 1, 44100.0, 1.0, 1.0f, 0.5 }));

TEST (RenderVoice, PlaysAtDeviceRatesUpTo10MHz)
{
    auto sound = makeSound ({ { 0.5f, 0.5f } }, 44100.0);
    auto voice = playingVoice (*sound);
    const auto out = render (voice, 1, 4, 1e7, 4.0, 1.0f);
    EXPECT_EQ (voice.position, 4 * (44100.0 / 1e7 * 4.0));
    EXPECT_EQ (out[0], std::vector<float> (4, 0.5f));
}

TEST (RenderVoice, HugeFiniteSamplesAreRenderedBitForBit)
{
    // Neighbours that differ by a finite amount, however large: the output is the arithmetic's, clipped.
    constexpr float big = std::numeric_limits<float>::max();
    auto sound = makeSound ({ { 1e38f, -1e38f, 1.5e38f, 0.0f, -big, -1e-30f, 3e37f, -2e38f },
                              { 0.5f, 1e30f, -1e30f, 2e-38f, -0.0f, 1e38f, 0.0f, -1e38f } },
                            44100.0);
    for (const float gain : { 0.0f, 1e-38f, 3e-38f, 0.5f, 1.0f })
        for (const double ratio : { 0.3, 1.0, 1.37 })
        {
            auto voice = playingVoice (*sound, 0.25);
            auto expectedVoice = voice;
            Channels expected (2, std::vector<float> (40));
            const auto out = render (voice, 2, 40, 44100.0, ratio, gain);
            referenceRender (expectedVoice, expected, 2, 40, 44100.0, ratio, gain);
            for (size_t j = 0; j < 2; ++j)
                for (size_t i = 0; i < 40; ++i)
                    ASSERT_TRUE (sameBits (out[j][i], expected[j][i]))
                        << "gain " << gain << ", ratio " << ratio << ", channel " << j << ", sample " << i << ": "
                        << out[j][i] << " vs " << expected[j][i];
        }
}

TEST (RenderVoice, SamplesThatAreNotFiniteGiveFiniteOutput)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float big = std::numeric_limits<float>::max();
    const float nan = std::nanf ("");
    // Each pair of neighbours makes the interpolation NaN somewhere: a NaN sample, inf - inf, inf x 0,
    // or a difference that overflows.
    auto sound = makeSound ({ { nan, 0.5f, inf, inf, -inf, 0.25f, big, -big, -big, big, 0.0f } }, 44100.0);
    for (const float gain : { 0.0f, 0.5f, 1.0f })
        for (const double ratio : { 0.25, 0.5, 1.0 })
        {
            auto voice = playingVoice (*sound);
            const auto out = render (voice, 2, 64, 44100.0, ratio, gain);
            for (const auto& channel : out)
                for (const float v : channel)
                    ASSERT_TRUE (std::isfinite (v) && v >= -1.0f && v <= 1.0f)
                        << "gain " << gain << ", ratio " << ratio << ": " << v;
            // The NaN of frame 0 is silence; a finite sample next to it still sounds.
            EXPECT_TRUE (sameBits (out[0][0], 0.0f)) << out[0][0];
        }
    auto voice = playingVoice (*sound, 5.0);
    EXPECT_EQ (render (voice, 1, 1, 44100.0, 1.0, 1.0f)[0][0], 0.25f);
}

TEST (RenderVoice, StepIsTheRateQuotientTimesTheRatioWithTheDivisionFirst)
{
    for (const double ratio : { 0.3, 1.37 })
    {
        auto sound = makeSound (makeSignal (1, 10), 48000.0);
        auto voice = playingVoice (*sound);
        render (voice, 1, 1, 44100.0, ratio, 1.0f);

        const double divisionFirst = (48000.0 / 44100.0) * ratio;
        const double multiplicationFirst = (48000.0 * ratio) / 44100.0;
        ASSERT_NE (divisionFirst, multiplicationFirst) << "the case does not tell the two orders apart";
        EXPECT_EQ (voice.position, divisionFirst);
    }
}

TEST (RenderVoice, TheClampComesBeforeTheRateScaling)
{
    // A 96 kHz sound on a 44.1 kHz device at speed ratio 4 steps about 8.7 frames a sample.
    for (const double ratio : { 4.0, 100.0 })
    {
        auto sound = makeSound (makeSignal (1, 100), 96000.0);
        auto voice = playingVoice (*sound);
        render (voice, 1, 1, 44100.0, ratio, 1.0f);
        EXPECT_EQ (voice.position, (96000.0 / 44100.0) * 4.0);
        EXPECT_NEAR (voice.position, 8.7075, 1e-4);
    }
}

TEST (RenderVoice, InterpolatesInFloatWithAFloatFraction)
{
    // At position 0.3265…, between -0.3 and 0.7, float and double arithmetic round differently.
    auto sound = makeSound ({ { -0.3f, 0.7f, 0.1f } }, 48000.0);
    auto voice = playingVoice (*sound, (48000.0 / 44100.0) * 0.3);
    auto out = render (voice, 1, 1, 44100.0, 1.0, 1.0f);

    const double position = (48000.0 / 44100.0) * 0.3;
    const float a = -0.3f, b = 0.7f;
    const float frac = (float) position;
    const float inFloat = (b - a) * frac + a;
    const float inDouble = (float) (((double) b - (double) a) * position + (double) a);
    ASSERT_FALSE (sameBits (inFloat, inDouble)) << "the case does not tell float and double apart";
    EXPECT_TRUE (sameBits (out[0][0], inFloat)) << out[0][0] << " vs " << inFloat;
}

TEST (RenderVoice, HalfwayBetweenPointTwoAndPointSixGivesPointFour)
{
    auto sound = makeSound ({ { 0.2f, 0.6f } }, 44100.0);
    auto voice = playingVoice (*sound, 0.5);
    auto out = render (voice, 1, 1, 44100.0, 1.0, 1.0f);
    EXPECT_TRUE (sameBits (out[0][0], (0.6f - 0.2f) * 0.5f + 0.2f));
    EXPECT_NEAR (out[0][0], 0.4f, 1e-6f);
}

TEST (RenderVoice, HoldsTheLastFrame)
{
    auto sound = makeSound ({ { 0.2f, 0.4f, 0.8f } }, 44100.0);
    auto voice = playingVoice (*sound, 2.5); // n - 0.5
    auto out = render (voice, 1, 1, 44100.0, 1.0, 0.5f);
    EXPECT_TRUE (sameBits (out[0][0], 0.8f * 0.5f));
    EXPECT_EQ (voice.position, 3.5);
    EXPECT_TRUE (voice.playing);

    // Between the last two frames it still interpolates.
    voice = playingVoice (*sound, 1.5);
    out = render (voice, 1, 1, 44100.0, 1.0, 1.0f);
    EXPECT_TRUE (sameBits (out[0][0], (0.8f - 0.4f) * 0.5f + 0.4f));
}

TEST (RenderVoice, AppliesTheGainBeforeTheClip)
{
    auto sound = makeSound ({ { 1.5f, -2.0f, 1.0f, -1.0f, 0.999f } }, 44100.0);
    struct Row
    {
        float gain;
        float expected[5];
    };
    for (const Row& row :
         { Row{ 1.0f, { 1.0f, -1.0f, 1.0f, -1.0f, 0.999f } }, Row{ 0.5f, { 0.75f, -1.0f, 0.5f, -0.5f, 0.999f * 0.5f } },
           Row{ 0.4f, { 1.5f * 0.4f, -0.8f, 0.4f, -0.4f, 0.999f * 0.4f } },
           Row{ 0.0f, { 0.0f, -0.0f, 0.0f, -0.0f, 0.0f } } })
    {
        auto voice = playingVoice (*sound);
        auto out = render (voice, 1, 5, 44100.0, 1.0, row.gain);
        for (int i = 0; i < 5; ++i)
            EXPECT_TRUE (sameBits (out[0][(size_t) i], row.expected[i]))
                << "gain " << row.gain << " sample " << i << ": " << out[0][(size_t) i];
    }
}

TEST (RenderVoice, MapsOutputChannelsToSourceChannels)
{
    auto mono = makeSound (makeSignal (1, 64), 44100.0);
    auto stereo = makeSound (makeSignal (2, 64), 44100.0);

    // A mono sound goes to every output alike.
    auto voice = playingVoice (*mono);
    auto out = render (voice, 4, 64, 44100.0, 1.0, 1.0f);
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 64; ++i)
            EXPECT_EQ (out[(size_t) j][(size_t) i], mono->channels[0][(size_t) i]);

    // A stereo sound on a mono output: only the left channel.
    voice = playingVoice (*stereo);
    out = render (voice, 1, 64, 44100.0, 1.0, 1.0f);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ (out[0][(size_t) i], stereo->channels[0][(size_t) i]);

    // On four outputs, channels 1, 2 and 3 carry the right channel.
    voice = playingVoice (*stereo);
    out = render (voice, 4, 64, 44100.0, 1.0, 1.0f);
    for (int i = 0; i < 64; ++i)
    {
        EXPECT_EQ (out[0][(size_t) i], stereo->channels[0][(size_t) i]);
        for (int j = 1; j < 4; ++j)
            EXPECT_EQ (out[(size_t) j][(size_t) i], stereo->channels[1][(size_t) i]);
    }
}

TEST (RenderVoice, StopsAtTheEndAndLeavesTheRestSilent)
{
    auto sound = makeSound (makeSignal (2, 100), 44100.0);

    auto voice = playingVoice (*sound);
    auto out = render (voice, 2, 150, 44100.0, 1.0, 1.0f);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ (out[1][(size_t) i], sound->channels[1][(size_t) i]);
    for (int i = 100; i < 150; ++i)
        EXPECT_TRUE (sameBits (out[0][(size_t) i], 0.0f) && sameBits (out[1][(size_t) i], 0.0f));
    EXPECT_FALSE (voice.playing);
    EXPECT_EQ (voice.position, 100.0);

    // A block that ends with the last frame does not see the end yet; the next one does at once.
    voice = playingVoice (*sound);
    render (voice, 2, 100, 44100.0, 1.0, 1.0f);
    EXPECT_TRUE (voice.playing);
    EXPECT_EQ (voice.position, 100.0);
    out = render (voice, 2, 10, 44100.0, 1.0, 1.0f);
    EXPECT_TRUE (allZero (out));
    EXPECT_FALSE (voice.playing);
    EXPECT_EQ (voice.position, 100.0);
}

TEST (RenderVoice, ABlockOfNoSamplesRendersNothing)
{
    auto sound = makeSound (makeSignal (2, 100), 44100.0);
    for (const int numSamples : { 0, -5 })
    {
        auto voice = playingVoice (*sound, 3.0);
        render (voice, 2, numSamples, 44100.0, 1.0, 1.0f); // checks that no sample was written
        EXPECT_EQ (voice.position, 3.0);
        EXPECT_TRUE (voice.playing);
    }
}

TEST (RenderVoice, ASoundWithoutFramesStopsAtTheFirstSample)
{
    for (auto channels : { Channels{}, Channels{ {} } })
    {
        auto sound = makeSound (channels, 44100.0);
        auto voice = playingVoice (*sound);
        auto out = render (voice, 2, 8, 44100.0, 1.0, 1.0f);
        EXPECT_TRUE (allZero (out));
        EXPECT_FALSE (voice.playing);
        EXPECT_EQ (voice.position, 0.0);
    }
}

//==============================================================================
// The processor's fixed answers

class Processor : public ::testing::Test
{
protected:
    juce::ScopedJuceInitialiser_GUI juceInit;
    TolvaneProcessor p;
};

TEST_F (Processor, StartsWithTheValuesOfTheTable)
{
    EXPECT_EQ (p.hostBpm.load(), 0.0);
    EXPECT_EQ (p.sourceBpm.load(), 0.0);
    EXPECT_EQ (p.pitchSemitones.load(), 0.0);
    EXPECT_EQ (p.gain.load(), 0.5f);
    EXPECT_FALSE (p.matchDawTempo.load());
    EXPECT_FALSE (p.isPlaying.load());
    EXPECT_EQ (p.transportCommand.load(), 0);
    EXPECT_EQ (p.loadedFile, juce::File());
    EXPECT_TRUE (p.loadedIsOriginal);
    EXPECT_EQ (p.voice.sound, nullptr);
    EXPECT_EQ (p.voice.position, 0.0);
    EXPECT_FALSE (p.voice.playing);
    EXPECT_EQ (p.hostSampleRate, 44100.0);
    EXPECT_TRUE (p.soundCache.empty());
    EXPECT_EQ (p.cacheBytes, 0u);
    EXPECT_EQ (p.pendingSound.load(), nullptr);

    LoadedSound sound;
    EXPECT_EQ (sound.sampleRate, 44100.0);
    EXPECT_TRUE (sound.channels.empty());
}

TEST_F (Processor, RegistersTheBasicFormats)
{
    ASSERT_GE (p.formatManager.getNumKnownFormats(), 3);
    EXPECT_EQ (p.formatManager.getKnownFormat (0)->getFormatName(), "WAV file");
    EXPECT_EQ (p.formatManager.getKnownFormat (1)->getFormatName(), "AIFF file");
    EXPECT_EQ (p.formatManager.getKnownFormat (2)->getFormatName(), "FLAC file");
    EXPECT_EQ (p.formatManager.getDefaultFormat()->getFormatName(), "WAV file");
}

TEST_F (Processor, GivesTheFixedAnswers)
{
    EXPECT_EQ (p.getName(), "Brevant Tolvane");
    EXPECT_EQ (p.getTailLengthSeconds(), 0.0);
    EXPECT_FALSE (p.acceptsMidi());
    EXPECT_FALSE (p.producesMidi());
    EXPECT_TRUE (p.hasEditor());
    EXPECT_EQ (p.getNumPrograms(), 1);
    EXPECT_EQ (p.getCurrentProgram(), 0);
    p.setCurrentProgram (3);
    p.changeProgramName (0, "renamed");
    EXPECT_EQ (p.getCurrentProgram(), 0);
    EXPECT_EQ (p.getProgramName (0), juce::String());
    EXPECT_FALSE (p.supportsDoublePrecisionProcessing());
    EXPECT_FALSE (p.isMidiEffect());
    EXPECT_EQ (p.getParameters().size(), 0);
}

TEST_F (Processor, HasOneStereoOutputBusNamedPreview)
{
    EXPECT_EQ (p.getBusCount (true), 0);
    ASSERT_EQ (p.getBusCount (false), 1);
    auto* bus = p.getBus (false, 0);
    EXPECT_EQ (bus->getName(), "Preview");
    EXPECT_EQ (bus->getDefaultLayout(), juce::AudioChannelSet::stereo());
    EXPECT_TRUE (bus->isEnabledByDefault());
    EXPECT_EQ (p.getMainBusNumOutputChannels(), 2);
}

TEST_F (Processor, SupportsStereoAndMonoOutputsOnly)
{
    auto layout = [] (juce::AudioChannelSet out, std::optional<juce::AudioChannelSet> in = {})
    {
        juce::AudioProcessor::BusesLayout l;
        l.outputBuses.add (out);
        if (in)
            l.inputBuses.add (*in);
        return l;
    };
    EXPECT_TRUE (p.isBusesLayoutSupported (layout (juce::AudioChannelSet::stereo())));
    EXPECT_TRUE (p.isBusesLayoutSupported (layout (juce::AudioChannelSet::mono())));
    EXPECT_TRUE (
        p.isBusesLayoutSupported (layout (juce::AudioChannelSet::mono(), juce::AudioChannelSet::create5point1())));
    EXPECT_FALSE (p.isBusesLayoutSupported (layout (juce::AudioChannelSet::create5point1())));
    EXPECT_FALSE (p.isBusesLayoutSupported (layout (juce::AudioChannelSet::quadraphonic())));
    EXPECT_FALSE (p.isBusesLayoutSupported (layout (juce::AudioChannelSet::disabled())));
    EXPECT_FALSE (p.isBusesLayoutSupported (juce::AudioProcessor::BusesLayout{}));
}

TEST_F (Processor, TheFactoryMakesANewProcessor)
{
    std::unique_ptr<juce::AudioProcessor> made (createPluginFilter());
    ASSERT_NE (dynamic_cast<TolvaneProcessor*> (made.get()), nullptr);
    std::unique_ptr<juce::AudioProcessor> another (createPluginFilter());
    EXPECT_NE (made.get(), another.get());
}

TEST_F (Processor, PrepareToPlayKeepsTheRateOnly)
{
    p.prepareToPlay (96000.0, 4096);
    EXPECT_EQ (p.hostSampleRate, 96000.0);
    p.prepareToPlay (22050.0, 16);
    EXPECT_EQ (p.hostSampleRate, 22050.0);
    p.releaseResources();
    EXPECT_EQ (p.hostSampleRate, 22050.0);
}

//==============================================================================
// processBlock

class ProcessBlock : public Processor
{
protected:
    void SetUp() override
    {
        p.prepareToPlay (44100.0, 512);
        p.gain = 1.0f; // output samples equal source samples unless a test sets another gain
    }

    // Publishes a sound, lets the block take it and starts it.
    LoadedSound* startSound (Channels channels, double rate = 44100.0)
    {
        auto* sound = publishSound (p, std::move (channels), rate);
        p.transportCommand = transportPlayOnce;
        runBlock (p, 2, 0);
        EXPECT_EQ (p.voice.sound, sound);
        EXPECT_TRUE (p.voice.playing);
        return sound;
    }
};

TEST_F (ProcessBlock, IsSilentBeforeAnySoundAndPlayChangesNothing)
{
    for (const int command : { 0, 1, 2, 1 })
    {
        p.transportCommand = command;
        auto block = runBlock (p, 2, 64);
        EXPECT_EQ (block.getMagnitude (0, 64), 0.0f);
        EXPECT_EQ (p.voice.sound, nullptr);
        EXPECT_FALSE (p.voice.playing);
        EXPECT_EQ (p.voice.position, 0.0);
        EXPECT_FALSE (p.isPlaying.load());
        EXPECT_EQ (p.transportCommand.load(), 0) << "command " << command << " was not taken";
    }
}

TEST_F (ProcessBlock, TakesThePendingSoundStoppedAtItsStart)
{
    auto* first = startSound (makeSignal (2, 1000));
    runBlock (p, 2, 100);
    EXPECT_EQ (p.voice.position, 100.0);

    auto* second = publishSound (p, makeSignal (1, 1000), 48000.0);
    auto block = runBlock (p, 2, 64);
    EXPECT_NE (first, second);
    EXPECT_EQ (p.voice.sound, second);
    EXPECT_EQ (p.voice.position, 0.0);
    EXPECT_FALSE (p.voice.playing);
    EXPECT_FALSE (p.isPlaying.load());
    EXPECT_EQ (p.pendingSound.load(), nullptr);
    EXPECT_EQ (block.getMagnitude (0, 64), 0.0f);

    // It stays stopped until command 1.
    runBlock (p, 2, 64);
    EXPECT_FALSE (p.voice.playing);
    p.transportCommand = transportPlayOnce;
    block = runBlock (p, 2, 64);
    EXPECT_TRUE (p.isPlaying.load());
    EXPECT_EQ (block.getSample (1, 0), second->channels[0][0]);
}

TEST_F (ProcessBlock, ASoundReplacedInTheSlotIsNeverPlayed)
{
    auto* skipped = publishSound (p, makeSignal (2, 100), 44100.0);
    auto* taken = publishSound (p, makeSignal (2, 100), 44100.0);
    runBlock (p, 2, 8);
    EXPECT_EQ (p.voice.sound, taken);
    EXPECT_EQ (p.soundCache.size(), 2u);
    EXPECT_EQ (p.soundCache[0].get(), skipped);
}

struct TempoCase
{
    const char* name;
    bool playHead;
    bool givesPosition;
    std::optional<double> bpm;
    double expected;
};

class HostTempo : public ProcessBlock, public ::testing::WithParamInterface<TempoCase>
{
};

TEST_P (HostTempo, IsStoredEveryBlock)
{
    const auto& c = GetParam();
    TestPlayHead head;
    head.givesPosition = c.givesPosition;
    head.bpm = c.bpm;
    if (c.playHead)
        p.setPlayHead (&head);

    for (int block = 0; block < 3; ++block)
    {
        p.hostBpm = 42.0;
        runBlock (p, 2, block == 1 ? 0 : 32);
        if (std::isnan (c.expected))
            EXPECT_TRUE (std::isnan (p.hostBpm.load())) << c.name;
        else
            EXPECT_EQ (p.hostBpm.load(), c.expected) << c.name;
    }
    EXPECT_EQ (head.queries, c.playHead ? 3 : 0) << "one query a block";
}

INSTANTIATE_TEST_SUITE_P (Table, HostTempo,
                          ::testing::Values (TempoCase{ "no play head", false, false, std::nullopt, 0.0 },
                                             TempoCase{ "no position", true, false, 120.0, 0.0 },
                                             TempoCase{ "no tempo", true, true, std::nullopt, 0.0 },
                                             TempoCase{ "tempo", true, true, 133.5, 133.5 },
                                             TempoCase{ "zero", true, true, 0.0, 0.0 },
                                             TempoCase{ "negative, unchanged", true, true, -5.0, -5.0 },
                                             TempoCase{ "huge, unchanged", true, true, 1.0e6, 1.0e6 },
                                             TempoCase{ "NaN, unchanged", true, true, notANumber, notANumber }),
                          [] (const auto& info) { return std::string ("case") + std::to_string (info.index); });

// The framework's LV2 wrapper gives a position only in the blocks where the host sent one (hosts
// send one when the transport changes); an LV2 processor keeps the tempo of the latest position,
// every other format reads each block afresh.
class HeldHostTempo : public ::testing::TestWithParam<juce::AudioProcessor::WrapperType>
{
protected:
    juce::ScopedJuceInitialiser_GUI juceInit;
    std::unique_ptr<TolvaneProcessor> p;
    TestPlayHead head;

    void SetUp() override
    {
        juce::AudioProcessor::setTypeOfNextNewPlugin (GetParam());
        p = std::make_unique<TolvaneProcessor>();
        juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_Undefined);
        ASSERT_EQ (p->wrapperType, GetParam());
        p->prepareToPlay (44100.0, 512);
        p->setPlayHead (&head);
    }

    bool isLv2() const { return GetParam() == juce::AudioProcessor::wrapperType_LV2; }
};

TEST_P (HeldHostTempo, FollowsTheLatestPosition)
{
    struct Block
    {
        const char* what;
        bool position;
        std::optional<double> bpm;
        int samples;
        double lv2, others;
    };
    const Block blocks[] = {
        { "before any position", false, std::nullopt, 32, 0.0, 0.0 },
        { "first position", true, 97.5, 32, 97.5, 97.5 },
        { "no position", false, std::nullopt, 32, 97.5, 0.0 },
        { "no position, no samples", false, std::nullopt, 0, 97.5, 0.0 },
        { "no position again", false, std::nullopt, 32, 97.5, 0.0 },
        { "new tempo", true, 120.0, 32, 120.0, 120.0 },
        { "no position after it", false, std::nullopt, 32, 120.0, 0.0 },
        { "position without tempo", true, std::nullopt, 32, 0.0, 0.0 },
        { "no position after that", false, std::nullopt, 32, 0.0, 0.0 },
        { "tempo again", true, 60.25, 32, 60.25, 60.25 },
        { "position with tempo 0", true, 0.0, 32, 0.0, 0.0 },
        { "no position at the end", false, std::nullopt, 32, 0.0, 0.0 },
    };

    for (const auto& b : blocks)
    {
        head.givesPosition = b.position;
        head.bpm = b.bpm;
        p->hostBpm = 42.0;
        runBlock (*p, 2, b.samples);
        EXPECT_EQ (p->hostBpm.load(), isLv2() ? b.lv2 : b.others) << b.what;
    }
}

TEST_P (HeldHostTempo, MatchesTheHeldTempo)
{
    p->gain = 1.0f;
    publishSound (*p, makeSignal (2, 10000), 44100.0);
    p->transportCommand = transportPlayOnce;
    p->matchDawTempo = true;
    p->sourceBpm = 100.0;

    head.bpm = 200.0;
    runBlock (*p, 2, 1);
    ASSERT_EQ (p->voice.position, 2.0);

    head.givesPosition = false;
    runBlock (*p, 2, 1);
    EXPECT_EQ (p->voice.position, isLv2() ? 4.0 : 3.0);
}

INSTANTIATE_TEST_SUITE_P (Formats, HeldHostTempo,
                          ::testing::Values (juce::AudioProcessor::wrapperType_LV2,
                                             juce::AudioProcessor::wrapperType_Standalone,
                                             juce::AudioProcessor::wrapperType_Undefined),
                          [] (const auto& info)
                          { return std::string (juce::AudioProcessor::getWrapperTypeDescription (info.param)); });

TEST_F (ProcessBlock, TakesTheSoundBeforeAndTheCommandAfterThePlayHeadQuery)
{
    auto* ready = publishSound (p, makeSignal (2, 1000), 44100.0);
    runBlock (p, 2, 0);
    ASSERT_EQ (p.voice.sound, ready);

    TestPlayHead head;
    head.bpm = 100.0;
    LoadedSound* lateSound = nullptr;
    head.onQuery = [&]
    {
        // A command posted during the query is taken in the same block...
        p.transportCommand = transportPlayOnce;
    };
    p.setPlayHead (&head);
    runBlock (p, 2, 16);
    EXPECT_TRUE (p.voice.playing);
    EXPECT_EQ (p.transportCommand.load(), 0);

    // ...while a sound published during the query waits for the next block.
    bool armed = true;
    head.onQuery = [&]
    {
        if (std::exchange (armed, false))
            lateSound = publishSound (p, makeSignal (1, 1000), 44100.0);
    };
    runBlock (p, 2, 16);
    EXPECT_EQ (p.voice.sound, ready);
    EXPECT_TRUE (p.voice.playing);
    EXPECT_EQ (p.pendingSound.load(), lateSound);
    runBlock (p, 2, 16);
    EXPECT_EQ (p.voice.sound, lateSound);
    EXPECT_FALSE (p.voice.playing);
}

TEST_F (ProcessBlock, TakesEveryCommandOnceAndIgnoresUnknownOnes)
{
    auto* sound = startSound (makeSignal (2, 1000));
    runBlock (p, 2, 10);
    for (const int command : { 7, -1, 3, 1000000 })
    {
        p.transportCommand = command;
        runBlock (p, 2, 10);
        EXPECT_EQ (p.transportCommand.load(), 0);
        EXPECT_EQ (p.voice.sound, sound);
        EXPECT_TRUE (p.voice.playing);
    }
    EXPECT_EQ (p.voice.position, 50.0);
}

TEST_F (ProcessBlock, DropsPlayWithoutFrames)
{
    for (auto channels : { Channels{}, Channels{ {} }, Channels{ {}, {} } })
    {
        TolvaneProcessor q;
        auto* sound = publishSound (q, channels, 44100.0);
        runBlock (q, 2, 8);
        q.transportCommand = transportPlayOnce;
        auto block = runBlock (q, 2, 8);
        EXPECT_EQ (q.voice.sound, sound);
        EXPECT_FALSE (q.voice.playing);
        EXPECT_FALSE (q.isPlaying.load());
        EXPECT_EQ (q.transportCommand.load(), 0) << "a dropped command is not kept";
        EXPECT_EQ (block.getMagnitude (0, 8), 0.0f);
    }
}

TEST_F (ProcessBlock, StopWithoutASoundLeavesTheVoiceEmpty)
{
    p.transportCommand = transportStopReset;
    runBlock (p, 2, 8);
    EXPECT_EQ (p.voice.sound, nullptr);
    EXPECT_FALSE (p.voice.playing);
    EXPECT_EQ (p.transportCommand.load(), 0);
}

struct SpeedCase
{
    const char* name;
    double pitch;
    bool match;
    double source;
    std::optional<double> hostBpm; // nullopt: no play head
    double expected;               // the speed ratio, NaN for "silent"
};

class SpeedRatio : public ProcessBlock, public ::testing::WithParamInterface<SpeedCase>
{
};

TEST_P (SpeedRatio, SetsTheStepOfTheVoice)
{
    const auto& c = GetParam();
    TestPlayHead head;
    if (c.hostBpm)
    {
        head.bpm = *c.hostBpm;
        p.setPlayHead (&head);
    }
    startSound (makeSignal (2, 10000)); // equal rates: the step is the speed ratio itself

    p.pitchSemitones = c.pitch;
    p.matchDawTempo = c.match;
    p.sourceBpm = c.source;
    auto block = runBlock (p, 2, 1);

    if (std::isnan (c.expected))
    {
        EXPECT_EQ (p.voice.position, 0.0) << c.name;
        EXPECT_TRUE (p.voice.playing) << c.name;
        EXPECT_TRUE (p.isPlaying.load()) << c.name;
        EXPECT_EQ (block.getSample (0, 0), 0.0f) << c.name;
    }
    else
    {
        EXPECT_EQ (p.voice.position, c.expected) << c.name;
    }
    if (c.hostBpm && ! std::isnan (*c.hostBpm))
    {
        EXPECT_EQ (p.hostBpm.load(), *c.hostBpm) << "the host tempo is shown whatever the ratio";
    }
}

INSTANTIATE_TEST_SUITE_P (
    Table, SpeedRatio,
    ::testing::Values (SpeedCase{ "unity", 0.0, false, 0.0, std::nullopt, 1.0 },
                       SpeedCase{ "octave up", 12.0, false, 0.0, std::nullopt, 2.0 },
                       SpeedCase{ "octave down", -12.0, false, 0.0, std::nullopt, 0.5 },
                       SpeedCase{ "fifth", 7.0, false, 0.0, std::nullopt, std::pow (2.0, 7.0 / 12.0) },
                       SpeedCase{ "restored fraction", 2.5, false, 0.0, std::nullopt, std::pow (2.0, 2.5 / 12.0) },
                       SpeedCase{ "match 100 to 120", 0.0, true, 100.0, 120.0, 1.2 },
                       SpeedCase{ "match 60 to 180, octave up, clamped", 12.0, true, 60.0, 180.0, 4.0 },
                       SpeedCase{ "match 120 to 60", 0.0, true, 120.0, 60.0, 0.5 },
                       SpeedCase{ "match 120 to 60, octave down", -12.0, true, 120.0, 60.0, 0.25 },
                       SpeedCase{ "match 120 to 50, octave down, clamped", -12.0, true, 120.0, 50.0, 0.25 },
                       SpeedCase{ "match with source 0", 12.0, true, 0.0, 120.0, 2.0 },
                       SpeedCase{ "match without host tempo", 0.0, true, 100.0, std::nullopt, 1.0 },
                       SpeedCase{ "match with negative host tempo", 0.0, true, 100.0, -120.0, 1.0 },
                       SpeedCase{ "match with NaN host tempo", 0.0, true, 100.0, notANumber, 1.0 },
                       SpeedCase{ "match off ignores the host", 0.0, false, 100.0, 120.0, 1.0 },
                       SpeedCase{ "pitch far up", 30.0, false, 0.0, std::nullopt, 4.0 },
                       SpeedCase{ "pitch far down", -30.0, false, 0.0, std::nullopt, 0.25 },
                       SpeedCase{ "pitch +inf", infinity, false, 0.0, std::nullopt, 4.0 },
                       SpeedCase{ "pitch -inf", -infinity, false, 0.0, std::nullopt, 0.25 },
                       SpeedCase{ "source +inf", 0.0, true, infinity, 120.0, 0.25 },
                       SpeedCase{ "host +inf", 0.0, true, 100.0, infinity, 4.0 },
                       SpeedCase{ "pitch NaN passes the clamp and silences", notANumber, false, 0.0, std::nullopt,
                                  notANumber },
                       SpeedCase{ "match, NaN source", 0.0, true, notANumber, 120.0, 1.0 }),
    [] (const auto& info) { return std::string ("case") + std::to_string (info.index); });

TEST_F (ProcessBlock, PublishesThePlayStateAtTheEndOfEachBlock)
{
    startSound (makeSignal (2, 100));
    runBlock (p, 2, 64);
    EXPECT_TRUE (p.isPlaying.load());
    auto block = runBlock (p, 2, 64); // 36 samples, then the end
    EXPECT_FALSE (p.isPlaying.load());
    EXPECT_NE (block.getSample (0, 35), 0.0f);
    for (int i = 36; i < 64; ++i)
        EXPECT_EQ (block.getSample (0, i), 0.0f);

    // A sound that ends with the last sample of a block stops in the next.
    startSound (makeSignal (2, 128));
    runBlock (p, 2, 64);
    runBlock (p, 2, 64);
    EXPECT_TRUE (p.isPlaying.load());
    block = runBlock (p, 2, 64);
    EXPECT_FALSE (p.isPlaying.load());
    EXPECT_EQ (block.getMagnitude (0, 64), 0.0f);
}

TEST_F (ProcessBlock, RendersNFramesInNSamples)
{
    for (const int n : { 1, 2, 100, 1000 })
    {
        startSound (makeSignal (1, n));
        EXPECT_EQ (samplesUntilStopped (p), n);
    }
}

TEST_F (ProcessBlock, PitchChangesThePlayingTime)
{
    startSound (makeSignal (1, 1000));
    p.pitchSemitones = 12.0;
    EXPECT_EQ (samplesUntilStopped (p), 500);

    p.pitchSemitones = -12.0;
    p.transportCommand = transportPlayOnce;
    EXPECT_EQ (samplesUntilStopped (p), 2000);
}

TEST_F (ProcessBlock, PlaysAgainFromTheStartOnceFinished)
{
    auto* sound = startSound (makeSignal (2, 100));
    runBlock (p, 2, 200);
    ASSERT_FALSE (p.isPlaying.load());
    p.transportCommand = transportPlayOnce;
    auto block = runBlock (p, 2, 10);
    EXPECT_TRUE (p.isPlaying.load());
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ (block.getSample (1, i), sound->channels[1][(size_t) i]);
}

TEST_F (ProcessBlock, PlayWhilePlayingGoesOnWithoutAJump)
{
    auto* sound = startSound (makeSignal (2, 1000));
    runBlock (p, 2, 30);
    p.transportCommand = transportPlayOnce;
    auto block = runBlock (p, 2, 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ (block.getSample (0, i), sound->channels[0][(size_t) (30 + i)]);
}

TEST_F (ProcessBlock, PlayRightAfterTheLastFrameStartsAgain)
{
    // The position reached the end with the last sample of the block: still Playing, then 1.
    auto* sound = startSound (makeSignal (2, 64));
    runBlock (p, 2, 64);
    ASSERT_TRUE (p.voice.playing);
    ASSERT_EQ (p.voice.position, 64.0);
    p.transportCommand = transportPlayOnce;
    auto block = runBlock (p, 2, 8);
    EXPECT_TRUE (p.isPlaying.load());
    EXPECT_EQ (block.getSample (0, 0), sound->channels[0][0]);
}

TEST_F (ProcessBlock, StopThenPlayStartsFromTheStart)
{
    auto* sound = startSound (makeSignal (2, 1000));
    runBlock (p, 2, 300);
    p.transportCommand = transportStopReset;
    auto block = runBlock (p, 2, 16);
    EXPECT_FALSE (p.isPlaying.load());
    EXPECT_EQ (p.voice.position, 0.0);
    EXPECT_EQ (block.getMagnitude (0, 16), 0.0f);
    p.transportCommand = transportPlayOnce;
    block = runBlock (p, 2, 16);
    EXPECT_EQ (block.getSample (0, 0), sound->channels[0][0]);
}

TEST_F (ProcessBlock, TheLaterOfTwoCommandsWins)
{
    startSound (makeSignal (2, 1000));
    runBlock (p, 2, 100);

    p.transportCommand = transportPlayOnce;
    p.transportCommand = transportStopReset;
    runBlock (p, 2, 16);
    EXPECT_FALSE (p.isPlaying.load());

    p.transportCommand = transportStopReset;
    p.transportCommand = transportPlayOnce;
    runBlock (p, 2, 16);
    EXPECT_TRUE (p.isPlaying.load());
}

TEST_F (ProcessBlock, ABlockOfNoSamplesStillTakesTheSoundAndTheCommand)
{
    auto* sound = publishSound (p, makeSignal (2, 100), 44100.0);
    p.transportCommand = transportPlayOnce;
    auto block = runBlock (p, 2, 0);
    EXPECT_EQ (block.getNumSamples(), 0);
    EXPECT_EQ (p.voice.sound, sound);
    EXPECT_TRUE (p.voice.playing);
    EXPECT_TRUE (p.isPlaying.load());
    EXPECT_EQ (p.voice.position, 0.0);
    runBlock (p, 2, 0);
    EXPECT_EQ (p.voice.position, 0.0);
}

TEST_F (ProcessBlock, AZeroDeviceRateSilencesWithoutStopping)
{
    auto* sound = startSound (makeSignal (2, 1000));
    runBlock (p, 2, 40);
    p.prepareToPlay (0.0, 512);
    auto block = runBlock (p, 2, 64);
    EXPECT_EQ (block.getMagnitude (0, 64), 0.0f);
    EXPECT_EQ (p.voice.position, 40.0);
    EXPECT_TRUE (p.isPlaying.load());

    p.prepareToPlay (44100.0, 512);
    block = runBlock (p, 2, 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ (block.getSample (0, i), sound->channels[0][(size_t) (40 + i)]);
}

TEST_F (ProcessBlock, ConvertsTheSoundRateToTheDeviceRate)
{
    startSound (makeSignal (2, 1000), 48000.0);
    runBlock (p, 2, 1);
    EXPECT_EQ (p.voice.position, 48000.0 / 44100.0);

    p.prepareToPlay (96000.0, 512);
    const double before = p.voice.position;
    runBlock (p, 2, 1);
    EXPECT_EQ (p.voice.position, (48000.0 / 96000.0) + before);
}

TEST_F (ProcessBlock, GainZeroIsSilentWhilePlaying)
{
    p.gain = 0.0f;
    startSound (makeSignal (2, 300));
    for (int b = 0; b < 4; ++b)
    {
        auto block = runBlock (p, 2, 64);
        EXPECT_EQ (block.getMagnitude (0, 64), 0.0f);
        EXPECT_TRUE (p.isPlaying.load());
    }
    runBlock (p, 2, 64);
    EXPECT_FALSE (p.isPlaying.load());
}

TEST_F (ProcessBlock, FullScaleAtGainOneStaysWithinOne)
{
    Channels loud (2, std::vector<float> (256));
    for (size_t i = 0; i < 256; ++i)
    {
        loud[0][i] = (i % 2) ? 1.0f : -1.0f;
        loud[1][i] = (i % 3) ? 3.0f : -3.0f;
    }
    p.gain = 1.0f;
    p.pitchSemitones = 1.0; // interpolate between the extremes
    startSound (loud);
    auto block = runBlock (p, 2, 256);
    EXPECT_LE (block.getMagnitude (0, 256), 1.0f);
    EXPECT_EQ (block.getMagnitude (1, 0, 256), 1.0f);
}

TEST_F (ProcessBlock, UsesTheGainAndWritesEveryChannelOfTheBuffer)
{
    p.gain = 0.25f;
    auto* sound = startSound (makeSignal (2, 100));
    for (const int channels : { 1, 2, 3, 6 })
    {
        p.transportCommand = transportStopReset;
        runBlock (p, channels, 0);
        p.transportCommand = transportPlayOnce;
        auto block = runBlock (p, channels, 120);
        for (int j = 0; j < channels; ++j)
        {
            const auto& src = sound->channels[(size_t) std::min (j, 1)];
            for (int i = 0; i < 100; ++i)
                ASSERT_EQ (block.getSample (j, i), src[(size_t) i] * 0.25f) << channels << " channels, " << j;
            for (int i = 100; i < 120; ++i)
                ASSERT_EQ (block.getSample (j, i), 0.0f);
        }
    }
}

TEST_F (ProcessBlock, LeavesTheMidiBufferAlone)
{
    startSound (makeSignal (2, 100));
    juce::AudioBuffer<float> buffer (2, 32);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 5);
    p.processBlock (buffer, midi);
    ASSERT_EQ (midi.getNumEvents(), 1);
    const auto event = *midi.begin();
    EXPECT_EQ (event.samplePosition, 5);
    EXPECT_TRUE (event.getMessage().isNoteOn());
    EXPECT_EQ (event.getMessage().getNoteNumber(), 60);
}

#if TOLVANE_TEST_MXCSR
TEST_F (ProcessBlock, TurnsDenormalsOffForTheBlockOnly)
{
    constexpr unsigned ftzDaz = 0x8040;
    const auto saved = _mm_getcsr();
    _mm_setcsr (saved & ~ftzDaz);

    unsigned during = 0;
    TestPlayHead head;
    head.onQuery = [&] { during = _mm_getcsr(); };
    p.setPlayHead (&head);

    // A sound of denormal samples: with denormals-are-zero they read as 0.
    const float tiny = std::numeric_limits<float>::denorm_min() * 1000.0f;
    ASSERT_TRUE (std::fpclassify (tiny) == FP_SUBNORMAL);
    p.gain = 1.0f;
    startSound ({ std::vector<float> (64, tiny) });
    auto block = runBlock (p, 1, 64);
    const auto after = _mm_getcsr();
    _mm_setcsr (saved);

    EXPECT_EQ (during & ftzDaz, ftzDaz) << "flush-to-zero and denormals-are-zero during the block";
    EXPECT_EQ (after & ftzDaz, 0u) << "the previous setting comes back";
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ (block.getSample (0, i), 0.0f);
}
#endif

//==============================================================================
// The preview-start window: a start posted after a load that lands between the block's two
// exchanges waits for the block that installs the new sound.

class PreviewStart : public ProcessBlock
{
protected:
    TempDir temp;
    juce::File previewFile = temp.file ("preview-17.wav");
    Channels previewSignal = makeSignal (2, 2000);

    void SetUp() override
    {
        ProcessBlock::SetUp();
        writeSound (previewFile, Format::wav, previewSignal, 44100.0, 16);
    }

    // The editor's preview path: load (which posts 2), then post 1.
    void loadPreviewAndStart()
    {
        const auto text = p.loadSoundFile (previewFile, false);
        ASSERT_TRUE (text.startsWith ("Loaded: ")) << text;
        p.transportCommand = transportPlayOnce;
    }
};

TEST_F (PreviewStart, StartsInTheBlockThatTakesTheSound)
{
    auto* previous = startSound (makeSignal (2, 5000));
    runBlock (p, 2, 100);
    loadPreviewAndStart();
    auto block = runBlock (p, 2, 64);
    EXPECT_NE (p.voice.sound, previous);
    EXPECT_EQ (p.voice.sound, p.soundCache.back().get());
    EXPECT_TRUE (p.isPlaying.load());
    EXPECT_NE (block.getMagnitude (0, 64), 0.0f);
}

TEST_F (PreviewStart, ALoadBetweenTheTwoExchangesStillStartsThePreview)
{
    // The play head is asked between the sound exchange and the command exchange, so a load and
    // the post of 1 made inside the query fall exactly into the window.
    auto* previous = startSound (makeSignal (2, 5000));
    runBlock (p, 2, 100);
    p.transportCommand = transportStopReset;
    runBlock (p, 2, 0);
    ASSERT_FALSE (p.voice.playing);
    const double previousPosition = p.voice.position;

    TestPlayHead head;
    bool armed = true;
    head.onQuery = [&]
    {
        if (std::exchange (armed, false))
            loadPreviewAndStart();
    };
    p.setPlayHead (&head);

    auto block = runBlock (p, 2, 64);
    // This block met the command with the previous sound: it neither starts that sound...
    EXPECT_EQ (p.voice.sound, previous);
    EXPECT_FALSE (p.voice.playing);
    EXPECT_EQ (p.voice.position, previousPosition);
    EXPECT_EQ (block.getMagnitude (0, 64), 0.0f);
    // ...nor drops the start: it stays in the slot for the block that installs the new sound.
    EXPECT_EQ (p.transportCommand.load(), transportPlayOnce);

    block = runBlock (p, 2, 64);
    auto* preview = p.soundCache.back().get();
    EXPECT_EQ (p.voice.sound, preview);
    EXPECT_TRUE (p.voice.playing);
    EXPECT_TRUE (p.isPlaying.load());
    EXPECT_EQ (p.transportCommand.load(), 0);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ (block.getSample (1, i), preview->channels[1][(size_t) i] * p.gain.load());
}

TEST_F (PreviewStart, ANewerCommandWinsOverTheKeptStart)
{
    startSound (makeSignal (2, 5000));
    TestPlayHead head;
    bool armed = true;
    head.onQuery = [&]
    {
        if (std::exchange (armed, false))
            loadPreviewAndStart();
    };
    p.setPlayHead (&head);
    runBlock (p, 2, 64);
    ASSERT_EQ (p.transportCommand.load(), transportPlayOnce);

    p.transportCommand = transportStopReset; // the user stops before the next block
    runBlock (p, 2, 64);
    EXPECT_EQ (p.voice.sound, p.soundCache.back().get());
    EXPECT_FALSE (p.voice.playing);
    EXPECT_EQ (p.transportCommand.load(), 0);
}

TEST_F (PreviewStart, AStartWithoutANewSoundIsNotKept)
{
    // Only a sound waiting in the slot keeps a start: otherwise 1 acts, or is dropped, at once.
    TestPlayHead head;
    head.onQuery = [&] { p.transportCommand = transportPlayOnce; };
    p.setPlayHead (&head);
    runBlock (p, 2, 8);
    EXPECT_EQ (p.transportCommand.load(), 0);
    EXPECT_FALSE (p.voice.playing);
}
