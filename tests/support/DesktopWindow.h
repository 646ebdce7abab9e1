#pragma once

// The plug-in's editor in a window of its own on an X server, driven as the desktop drives it:
// clicks and keys go in through the window's peer.

#include <juce_audio_processors/juce_audio_processors.h>

#include <dlfcn.h>

namespace testsupport
{
// A plug-in's host installs the X error handlers (the framework does so only in its own applications).
// This program is the host here: on a bare X server without a window manager the framework asks for
// atoms that do not exist, and the default handler would end the process over it.
inline bool ignoreXErrorsAsAHostDoes()
{
    using Handler = int (*) (void* display, void* event);
    using SetHandler = Handler (*) (Handler);

    void* x11 = dlopen ("libX11.so.6", RTLD_NOW | RTLD_GLOBAL);
    auto* set = x11 != nullptr ? reinterpret_cast<SetHandler> (dlsym (x11, "XSetErrorHandler")) : nullptr;

    if (set == nullptr)
        return false;

    set ([] (void*, void*) { return 0; });
    return true;
}

class DesktopWindow
{
public:
    explicit DesktopWindow (juce::AudioProcessor& processor) : editor (processor.createEditorIfNeeded())
    {
        if (editor == nullptr)
            return;

        editor->setTopLeftPosition (20, 20);
        editor->addToDesktop (juce::ComponentPeer::windowHasTitleBar);
        editor->setVisible (true);
    }

    ~DesktopWindow() { close(); }

    void close() { delete editor.getComponent(); }

    juce::ComponentPeer* peer() const { return editor != nullptr ? editor->getPeer() : nullptr; }

    // A left click at a point of a component, down and up, through the window.
    bool clickAt (juce::Component& target, juce::Point<int> local)
    {
        auto* p = peer();

        if (p == nullptr || ! target.isShowing())
            return false;

        const auto at = editor->getLocalPoint (&target, local).toFloat();
        const auto source = juce::MouseInputSource::InputSourceType::mouse;
        p->handleMouseEvent (source, at, {}, juce::MouseInputSource::defaultPressure,
                             juce::MouseInputSource::defaultOrientation, nextTime());
        p->handleMouseEvent (source, at, juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier),
                             juce::MouseInputSource::defaultPressure, juce::MouseInputSource::defaultOrientation,
                             nextTime());
        p->handleMouseEvent (source, at, {}, juce::MouseInputSource::defaultPressure,
                             juce::MouseInputSource::defaultOrientation, nextTime());
        return true;
    }

    bool click (juce::Component& target) { return clickAt (target, target.getLocalBounds().getCentre()); }

    bool clickRow (juce::ListBox& list, int row) { return clickAt (list, list.getRowPosition (row, true).getCentre()); }

    void type (const juce::String& text)
    {
        for (auto c : text)
            peer()->handleKeyPress (juce::KeyPress ((int) c, {}, c));
    }

    void pressKey (const juce::KeyPress& key) { peer()->handleKeyPress (key); }

    void pressReturn() { pressKey (juce::KeyPress (juce::KeyPress::returnKey)); }

    juce::Component::SafePointer<juce::AudioProcessorEditor> editor;

private:
    // Far enough apart that no two clicks make a double-click.
    juce::int64 nextTime()
    {
        time = juce::jmax (time + 1000, juce::Time::currentTimeMillis());
        return time;
    }

    juce::int64 time = 0;
};
} // namespace testsupport
