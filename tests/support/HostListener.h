#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>

namespace testsupport
{
// Listens to a processor as a host's plug-in wrapper does: the LV2 wrapper tells its host that the
// state changed when the processor reports a change of non-parameter state. Counts what it hears.
class HostListener : private juce::AudioProcessorListener
{
public:
    explicit HostListener (juce::AudioProcessor& p) : processor (p) { processor.addListener (this); }
    ~HostListener() override { processor.removeListener (this); }

    HostListener (const HostListener&) = delete;
    HostListener& operator= (const HostListener&) = delete;

    // Reports of a change of the state that a host saves.
    int stateChanges() const { return stateChangeCount.load(); }
    // Every report, of any kind.
    int reports() const { return reportCount.load(); }
    // Reports that came from any thread other than the message thread.
    int reportsOffTheMessageThread() const { return offMessageThreadCount.load(); }

private:
    void audioProcessorParameterChanged (juce::AudioProcessor*, int, float) override { heard (false); }

    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails& details) override
    {
        heard (details.nonParameterStateChanged);
    }

    void heard (bool stateChanged)
    {
        if (! juce::MessageManager::existsAndIsCurrentThread())
            ++offMessageThreadCount;
        if (stateChanged)
            ++stateChangeCount;
        ++reportCount;
    }

    juce::AudioProcessor& processor;
    std::atomic<int> stateChangeCount{ 0 };
    std::atomic<int> reportCount{ 0 };
    std::atomic<int> offMessageThreadCount{ 0 };
};
} // namespace testsupport
