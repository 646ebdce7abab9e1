#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

namespace screen
{
// The pixels that the X server holds for an area of a component in a window on the desktop: what the
// window has really painted there, not a fresh paint. An invalid image when they cannot be read.
juce::Image grab (juce::Component& target);

// How many pixels of two images of one size differ in any colour channel; -1 when the sizes differ.
int differingPixels (const juce::Image& a, const juce::Image& b);
} // namespace screen
