#pragma once

#include "FileDragButton.h"
#include "engine/TolvaneProcessor.h"
#include "library/LibraryPanel.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

class TolvaneEditor : public juce::AudioProcessorEditor, private juce::Timer, public juce::FileDragAndDropTarget
{
public:
    explicit TolvaneEditor (TolvaneProcessor& p);
    ~TolvaneEditor() override;

    void paint (juce::Graphics& g) override;
    void resized() override;

    bool isInterestedInFileDrag (const juce::StringArray& files) override;
    void filesDropped (const juce::StringArray& files, int x, int y) override;

private:
    void timerCallback() override;

    bool loadSound (const juce::File& file, bool original);
    void chooseLocalFile();

    friend struct TolvaneEditorTestAccess;

    TolvaneProcessor& processorRef;
    juce::TextButton loadButton{ "Load WAV" };
    juce::TextButton playButton{ "Play once" };
    juce::TextButton stopButton{ "Stop / reset" };
    juce::TextButton browseButton{ "Browse / buy sounds" };
    juce::TextButton accountButton{ "Account / downloads" };
    FileDragButton dragButton;
    LibraryPanel library;
    juce::ToggleButton syncToggle{ "Match DAW tempo" };
    juce::TextEditor bpmEditor;
    juce::Slider pitchSlider;
    juce::Slider gainSlider;
    juce::Label playerStatusLabel;
    juce::Label dawTempoLabel;
    juce::Label bpmCaption;
    juce::Label pitchCaption;
    juce::Label gainCaption;
    std::unique_ptr<juce::FileChooser> chooser;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TolvaneEditor)
};
