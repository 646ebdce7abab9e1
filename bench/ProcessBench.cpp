// processBlock at 48 kHz in blocks of 64 and 512 frames, while a stereo 44.1 kHz sound plays with
// tempo matching on (host 120 BPM from a play head, source 100 BPM) and pitch +2: the full path
// of one block, from the hand-off check through the play-head query, the power and renderVoice.
//
// Figure: CPU time per block as a share of the block's real-time duration (64 frames: 1.333 ms;
// 512 frames: 10.667 ms). Target: below 0.5 %.

#include "BenchSupport.h"

#include "engine/TolvaneProcessor.h"

#include <cstdio>
#include <random>

namespace
{
constexpr double deviceRate = 48000.0;

class TempoPlayHead : public juce::AudioPlayHead
{
public:
    juce::Optional<PositionInfo> getPosition() const override
    {
        PositionInfo info;
        info.setBpm (120.0);
        info.setTimeInSamples (0);
        info.setIsPlaying (true);
        return info;
    }
};

void BM_processBlock (benchmark::State& state)
{
    const int blockSize = (int) state.range (0);
    TolvaneProcessor processor;
    processor.prepareToPlay (deviceRate, blockSize);
    TempoPlayHead playHead;
    processor.setPlayHead (&playHead);

    // A two-minute stereo sound, handed over as loadSoundFile does.
    auto sound = std::make_unique<LoadedSound>();
    sound->sampleRate = 44100.0;
    std::mt19937 random (3);
    std::uniform_real_distribution<float> value (-0.9f, 0.9f);
    sound->channels.assign (2, std::vector<float> (5292000));
    for (auto& channel : sound->channels)
        for (auto& v : channel)
            v = value (random);
    processor.soundCache.push_back (std::move (sound));
    processor.pendingSound.exchange (processor.soundCache.back().get());
    processor.matchDawTempo = true;
    processor.sourceBpm = 100.0;
    processor.pitchSemitones = 2.0;
    processor.transportCommand = transportPlayOnce;

    juce::AudioBuffer<float> buffer (2, blockSize);
    juce::MidiBuffer midi;
    for (auto _ : state)
    {
        processor.processBlock (buffer, midi);
        if (! processor.isPlaying.load (std::memory_order_relaxed))
            processor.transportCommand = transportPlayOnce; // at the end of the sound, play it again
        benchmark::DoNotOptimize (buffer.getReadPointer (0));
        benchmark::ClobberMemory();
    }
    processor.setPlayHead (nullptr);
    state.SetItemsProcessed ((int64_t) state.iterations() * blockSize);
}

BENCHMARK (BM_processBlock)->Arg (64)->Arg (512);
} // namespace

int main (int argc, char** argv)
{
    return bench::run (
        argc, argv,
        [] (const bench::Results& results)
        {
            for (const int blockSize : { 64, 512 })
            {
                const auto* r = bench::find (results, "BM_processBlock/" + std::to_string (blockSize));
                if (r == nullptr)
                    continue;
                const double blockNs = blockSize / deviceRate * 1.0e9;
                const double share = r->cpuNs / blockNs * 100.0;
                std::printf ("processBlock, 48 kHz, %d frames: %.0f ns CPU per block of %.3f ms = %.4f %% of real time "
                             "(target < 0.5 %%) %s\n",
                             blockSize, r->cpuNs, blockNs / 1.0e6, share, share < 0.5 ? "met" : "NOT met");
            }
        });
}
