#include "FileDragButton.h"

#include "engine/TolvaneProcessor.h"

FileDragButton::FileDragButton (const juce::String& text, TolvaneProcessor* processorToDragFrom)
    : juce::TextButton (text), processor (processorToDragFrom)
{
}

FileDragButton::~FileDragButton() = default;

void FileDragButton::mouseDrag (const juce::MouseEvent& event)
{
    // The button's own drag handling is skipped on purpose: once held, it stays pressed.
    if (dragStarted)
        return;

    if (event.getDistanceFromDragStart() <= dragThresholdPixels)
        return;

    // Checked again here: the enablement from the last refresh may already be stale.
    if (! processor->loadedIsOriginal)
        return;

    const auto file = processor->loadedFile;

    if (! file.existsAsFile())
        return;

    dragStarted = true;
    juce::DragAndDropContainer::performExternalDragDropOfFiles ({ file.getFullPathName() }, false, this);
}

void FileDragButton::mouseUp (const juce::MouseEvent& event)
{
    dragStarted = false;
    juce::Button::mouseUp (event);
}
