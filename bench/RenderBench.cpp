// renderVoice against the framework's own linear interpolator (juce::Interpolators::Linear, also
// known as juce::LinearInterpolator): a stereo sound rendered to a stereo output in blocks of 512
// frames at speed ratios 1.0 and 1.37, equal device and sound rates so that the step is the ratio.
//
// The baseline is one juce::LinearInterpolator per channel producing the same number of frames
// from the same source data with process(); it does less than renderVoice, which also applies the
// gain, clips every sample to ±1 and tests the end of the sound at every frame.
//
// Figure: nanoseconds per output frame (both channels), and the ratio renderVoice / JUCE, which
// the target wants at 1.0 or below.

#include "BenchSupport.h"

#include "engine/TolvaneProcessor.h"

#include <cstdio>
#include <random>

namespace
{
constexpr int soundFrames = 441000; // 10 s at 44.1 kHz
constexpr int block = 512;
constexpr double rate = 44100.0;

const LoadedSound& sound()
{
    static const LoadedSound s = []
    {
        LoadedSound made;
        made.sampleRate = rate;
        std::mt19937 random (7);
        std::uniform_real_distribution<float> value (-0.9f, 0.9f);
        made.channels.assign (2, std::vector<float> (soundFrames));
        for (auto& channel : made.channels)
            for (auto& v : channel)
                v = value (random);
        return made;
    }();
    return s;
}

void BM_renderVoice (benchmark::State& state)
{
    const double ratio = (double) state.range (0) / 100.0;
    const auto& s = sound();
    Voice voice;
    voice.sound = const_cast<LoadedSound*> (&s);
    voice.playing = true;
    std::vector<float> left (block), right (block);
    float* outputs[] = { left.data(), right.data() };

    for (auto _ : state)
    {
        // Start again well before the end, so that every block renders all of its frames.
        if (voice.position + block * ratio + 2.0 >= (double) soundFrames)
            voice.position = 0.0;
        renderVoice (voice, outputs, 2, block, rate, ratio, 0.8f);
        benchmark::DoNotOptimize (left.data());
        benchmark::DoNotOptimize (right.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed ((int64_t) state.iterations() * block);
}

void BM_juceLinearInterpolator (benchmark::State& state)
{
    const double ratio = (double) state.range (0) / 100.0;
    const auto& s = sound();
    juce::LinearInterpolator leftInterpolator, rightInterpolator;
    std::vector<float> left (block), right (block);
    int inputPosition = 0;

    for (auto _ : state)
    {
        if (inputPosition + block * ratio + 8.0 >= (double) soundFrames)
        {
            inputPosition = 0;
            leftInterpolator.reset();
            rightInterpolator.reset();
        }
        const int used = leftInterpolator.process (ratio, s.channels[0].data() + inputPosition, left.data(), block);
        rightInterpolator.process (ratio, s.channels[1].data() + inputPosition, right.data(), block);
        inputPosition += used;
        benchmark::DoNotOptimize (left.data());
        benchmark::DoNotOptimize (right.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed ((int64_t) state.iterations() * block);
}

BENCHMARK (BM_renderVoice)->Arg (100)->Arg (137);
BENCHMARK (BM_juceLinearInterpolator)->Arg (100)->Arg (137);
} // namespace

int main (int argc, char** argv)
{
    return bench::run (
        argc, argv,
        [] (const bench::Results& results)
        {
            for (const char* arg : { "100", "137" })
            {
                const auto* ours = bench::find (results, std::string ("BM_renderVoice/") + arg);
                const auto* juce = bench::find (results, std::string ("BM_juceLinearInterpolator/") + arg);
                if (ours == nullptr || juce == nullptr)
                    continue;
                const double oursPerFrame = ours->cpuNs / block, jucePerFrame = juce->cpuNs / block;
                std::printf (
                    "renderVoice, stereo, speed ratio %.2f: %.3f ns per output frame; JUCE linear interpolator "
                    "%.3f ns; ratio %.2f (target <= 1.0) %s\n",
                    std::atof (arg) / 100.0, oursPerFrame, jucePerFrame, oursPerFrame / jucePerFrame,
                    oursPerFrame / jucePerFrame <= 1.0 ? "met" : "NOT met");
            }
        });
}
