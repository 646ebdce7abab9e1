#include "TolvaneEditor.h"

// Placeholder window until the full editor lands.
TolvaneEditor::TolvaneEditor (TolvaneProcessor& p)
    : juce::AudioProcessorEditor (p),
      processorRef (p),
      dragButton ("Drag original file to DAW", &p),
      library ([this] (const juce::File& file, bool original) { return loadSound (file, original); })
{
    setSize (960, 820);
}

TolvaneEditor::~TolvaneEditor() = default;

void TolvaneEditor::paint (juce::Graphics& g) { g.fillAll (juce::Colour (0xff0b121bu)); }
void TolvaneEditor::resized() {}
bool TolvaneEditor::isInterestedInFileDrag (const juce::StringArray&) { return false; }
void TolvaneEditor::filesDropped (const juce::StringArray&, int, int) {}
void TolvaneEditor::timerCallback() {}
bool TolvaneEditor::loadSound (const juce::File&, bool) { return false; }
void TolvaneEditor::chooseLocalFile() {}
