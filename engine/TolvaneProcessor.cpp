#include "TolvaneProcessor.h"

#include "editor/TolvaneEditor.h"

#include <cmath>

namespace
{
double clampSpeedRatio (double ratio)
{
    // NaN falls through both tests on purpose: renderVoice turns it into silence.
    if (ratio > 4.0)
        return 4.0;
    if (ratio < 0.25)
        return 0.25;
    return ratio;
}

// No audio device runs faster: the fastest converters offer 768 kHz, a few 1,536 kHz. Far above it
// (+inf, 1e300) the step rounds to nothing and the first frame would sound for ever.
constexpr double maxDeviceRate = 10000000.0;

size_t frameCount (const LoadedSound& sound) { return sound.channels.empty() ? 0 : sound.channels.front().size(); }
} // namespace

void renderVoice (Voice& voice, float* const* outputs, int numChannels, int numSamples, double hostRate,
                  double speedRatio, float gain)
{
    for (int ch = 0; ch < numChannels; ++ch)
        std::fill (outputs[ch], outputs[ch] + std::max (numSamples, 0), 0.0f);

    // Written as "not within" so that a NaN or infinite rate is silence too, never a NaN read index.
    if (! voice.playing || voice.sound == nullptr || ! (hostRate > 0.0 && hostRate <= maxDeviceRate) ||
        ! std::isfinite (speedRatio))
        return;

    const auto& sound = *voice.sound;
    const double step = (sound.sampleRate / hostRate) * clampSpeedRatio (speedRatio);

    if (numSamples <= 0)
        return;

    const auto n = frameCount (sound);
    if (n == 0)
    {
        // The end test of the first sample: a sound without frames has nothing to play.
        voice.playing = false;
        return;
    }

    // Output 0 reads the first source channel, every further output the last one.
    const float* const firstSource = sound.channels.front().data();
    const float* const lastSource = sound.channels.back().data();

    for (int i = 0; i < numSamples; ++i)
    {
        if (voice.position >= (double) n)
        {
            voice.playing = false;
            return;
        }

        const auto idx = (int32_t) voice.position;
        const auto frac = (float) (voice.position - idx);
        const auto next = std::min ((size_t) idx + 1, n - 1);

        for (int j = 0; j < numChannels; ++j)
        {
            const float* const src = j == 0 ? firstSource : lastSource;
            float value = (src[next] - src[idx]) * frac + src[idx];
            value = value * gain;
            // NaN, from a sample that is not finite or a difference that overflows, becomes silence.
            if (! (value <= 1.0f))
                value = value > 1.0f ? 1.0f : 0.0f;
            else if (value < -1.0f)
                value = -1.0f;
            outputs[j][i] = value;
        }

        voice.position = step + voice.position;
    }
}

TolvaneProcessor::TolvaneProcessor()
    : juce::AudioProcessor (BusesProperties().withOutput ("Preview", juce::AudioChannelSet::stereo(), true))
{
    formatManager.registerBasicFormats();
}

TolvaneProcessor::~TolvaneProcessor() = default;

const juce::String TolvaneProcessor::getName() const { return "Brevant Tolvane"; }

void TolvaneProcessor::prepareToPlay (double sampleRate, int) { hostSampleRate = sampleRate; }

void TolvaneProcessor::releaseResources() {}

void TolvaneProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    juce::ScopedNoDenormals noDenormals;

    if (auto* arrived = pendingSound.exchange (nullptr))
    {
        voice.sound = arrived;
        voice.position = 0.0;
        voice.playing = false;
    }

    double bpm = 0.0;
    if (auto* playHead = getPlayHead())
    {
        const auto position = playHead->getPosition();
        if (position.hasValue())
            bpm = position->getBpm().orFallback (0.0);

        // An LV2 host sends a position only when its transport changes, and the framework's LV2
        // wrapper forgets it at the start of the next block: there a block without a position keeps
        // the tempo of the last one (0 when that one had none, or before the first).
        if (wrapperType == wrapperType_LV2)
        {
            if (position.hasValue())
                lastPositionBpm = bpm;
            else
                bpm = lastPositionBpm;
        }
    }

    hostBpm.store (bpm);

    switch (transportCommand.exchange (transportNone))
    {
    case transportPlayOnce:
        if (pendingSound.load() != nullptr)
        {
            // The sound this start was posted for arrived after this block took the slot:
            // keep the start for the block that installs it, unless a newer command came.
            int expected = transportNone;
            transportCommand.compare_exchange_strong (expected, transportPlayOnce);
        }
        else if (voice.sound != nullptr && frameCount (*voice.sound) >= 1)
        {
            if (voice.position >= (double) frameCount (*voice.sound))
                voice.position = 0.0;
            voice.playing = true;
        }
        break;

    case transportStopReset:
        voice.playing = false;
        voice.position = 0.0;
        break;

    default:
        break;
    }

    const double pitch = pitchSemitones.load();
    const bool match = matchDawTempo.load();
    const double source = sourceBpm.load();
    const double tempoRatio = (match && source > 0.0 && bpm > 0.0) ? bpm / source : 1.0;
    const double speedRatio = clampSpeedRatio (std::pow (2.0, pitch / 12.0) * tempoRatio);

    renderVoice (voice, buffer.getArrayOfWritePointers(), buffer.getNumChannels(), buffer.getNumSamples(),
                 hostSampleRate, speedRatio, gain.load());

    isPlaying.store (voice.playing);

#ifdef TOLVANE_TEMPO_PROBE
    // Only in the test build of the LV2 bundle: the outputs carry the tempo this block used, plus
    // one so that a block without a tempo differs from silence, in thousandths.
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        juce::FloatVectorOperations::fill (buffer.getWritePointer (ch), (float) ((bpm + 1.0) / 1000.0),
                                           buffer.getNumSamples());
#endif
}

double TolvaneProcessor::getTailLengthSeconds() const { return 0.0; }
bool TolvaneProcessor::acceptsMidi() const { return false; }
bool TolvaneProcessor::producesMidi() const { return false; }
juce::AudioProcessorEditor* TolvaneProcessor::createEditor() { return new TolvaneEditor (*this); }
bool TolvaneProcessor::hasEditor() const { return true; }
int TolvaneProcessor::getNumPrograms() { return 1; }
int TolvaneProcessor::getCurrentProgram() { return 0; }
void TolvaneProcessor::setCurrentProgram (int) {}
const juce::String TolvaneProcessor::getProgramName (int) { return {}; }
void TolvaneProcessor::changeProgramName (int, const juce::String&) {}

void TolvaneProcessor::reportSettingsChanged()
{
    updateHostDisplay (ChangeDetails().withNonParameterStateChanged (true));
}

bool TolvaneProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto main = layouts.getMainOutputChannelSet();
    return main == juce::AudioChannelSet::stereo() || main == juce::AudioChannelSet::mono();
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter() { return new TolvaneProcessor(); }
