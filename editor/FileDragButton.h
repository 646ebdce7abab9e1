#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

class TolvaneProcessor;

// Drags the processor's loaded original file out to another application.
class FileDragButton : public juce::TextButton
{
public:
    FileDragButton (const juce::String& text, TolvaneProcessor* processorToDragFrom);
    ~FileDragButton() override;

    void mouseDrag (const juce::MouseEvent& event) override;
    void mouseUp (const juce::MouseEvent& event) override;

private:
    friend struct FileDragButtonTestAccess;

    // A press that moves no further than this is still a click.
    static constexpr int dragThresholdPixels = 8;

    TolvaneProcessor* processor;
    bool dragStarted = false;
};
