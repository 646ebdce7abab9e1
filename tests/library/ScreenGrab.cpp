#include "library/ScreenGrab.h"

// After the framework's headers: Xlib's macros (None, Bool, Status, ...) would clash with them.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace
{
juce::uint8 channel (unsigned long pixel, unsigned long mask)
{
    if (mask == 0)
        return 0;

    int shift = 0;
    while (((mask >> shift) & 1) == 0)
        ++shift;

    const auto top = mask >> shift;
    return (juce::uint8) (((pixel & mask) >> shift) * 255 / top);
}
} // namespace

namespace screen
{
juce::Image grab (juce::Component& target)
{
    auto* peer = target.getPeer();

    if (peer == nullptr || ! target.isShowing())
        return {};

    const auto scale = peer->getPlatformScaleFactor();
    const auto area = (peer->getComponent().getLocalArea (&target, target.getLocalBounds()).toDouble() * scale)
                          .getSmallestIntegerContainer();

    // A connection of its own: the framework's stays untouched, and the read is a round trip that the
    // server answers from the window's contents as they are.
    auto* display = XOpenDisplay (nullptr);

    if (display == nullptr)
        return {};

    const auto window = (::Window) (juce::pointer_sized_uint) peer->getNativeHandle();
    auto* pixels = XGetImage (display, window, area.getX(), area.getY(), (unsigned) area.getWidth(),
                              (unsigned) area.getHeight(), AllPlanes, ZPixmap);
    juce::Image result;

    if (pixels != nullptr)
    {
        result = juce::Image (juce::Image::RGB, area.getWidth(), area.getHeight(), false);
        juce::Image::BitmapData out (result, juce::Image::BitmapData::writeOnly);

        for (int y = 0; y < area.getHeight(); ++y)
        {
            for (int x = 0; x < area.getWidth(); ++x)
            {
                const auto p = XGetPixel (pixels, x, y);
                out.setPixelColour (x, y,
                                    juce::Colour (channel (p, pixels->red_mask), channel (p, pixels->green_mask),
                                                  channel (p, pixels->blue_mask)));
            }
        }

        XDestroyImage (pixels);
    }

    XCloseDisplay (display);
    return result;
}

int differingPixels (const juce::Image& a, const juce::Image& b)
{
    if (! a.isValid() || ! b.isValid() || a.getBounds() != b.getBounds())
        return -1;

    int count = 0;

    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x)
            if (a.getPixelAt (x, y).withAlpha ((juce::uint8) 255) != b.getPixelAt (x, y).withAlpha ((juce::uint8) 255))
                ++count;

    return count;
}
} // namespace screen
