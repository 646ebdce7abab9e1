#include "engine/TolvaneProcessor.h"

#include <gtest/gtest.h>

TEST (Smoke, NewProcessorIsSilent)
{
    juce::ScopedJuceInitialiser_GUI gui;
    TolvaneProcessor p;
    juce::AudioBuffer<float> buffer (2, 64);
    buffer.applyGain (0.0f);
    buffer.setSample (0, 0, 1.0f);
    juce::MidiBuffer midi;
    p.processBlock (buffer, midi);
    EXPECT_EQ (buffer.getMagnitude (0, 64), 0.0f);
}
