#include "FileDragButton.h"

#include "engine/TolvaneProcessor.h"

FileDragButton::FileDragButton (const juce::String& text, TolvaneProcessor* processorToDragFrom)
    : juce::TextButton (text), processor (processorToDragFrom)
{
}

FileDragButton::~FileDragButton() = default;

void FileDragButton::mouseDrag (const juce::MouseEvent&) {}

void FileDragButton::mouseUp (const juce::MouseEvent& event)
{
    dragStarted = false;
    juce::Button::mouseUp (event);
}
