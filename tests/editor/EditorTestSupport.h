#pragma once

#include "editor/FileDragButton.h"
#include "editor/TolvaneEditor.h"
#include "engine/TolvaneProcessor.h"
#include "library/LibraryPanel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

inline ::testing::Environment* const frameworkEnvironment =
    ::testing::AddGlobalTestEnvironment (new testsupport::FrameworkEnvironment);

using testsupport::pumpUntil;

// Runs the message loop for a while, for checks that something does not happen.
inline void pumpFor (int ms)
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + ms;

    while (juce::Time::getMillisecondCounterHiRes() < end)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
}

// A directory of the test's own under the temporary folder, deleted with the object.
struct ScratchDir
{
    ScratchDir()
        : dir (juce::File::getSpecialLocation (juce::File::tempDirectory)
                   .getNonexistentChildFile ("tolvane-editor-test", "", false))
    {
        dir.createDirectory();
    }

    ~ScratchDir() { dir.deleteRecursively (false); }

    juce::File dir;
};

// Writes a 16-bit WAV file of a quiet sine.
inline juce::File writeWav (const juce::File& file, int frames, int channels = 1, double rate = 44100.0)
{
    file.deleteFile();
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::OutputStream> stream (file.createOutputStream().release());
    std::unique_ptr<juce::AudioFormatWriter> writer (
        wav.createWriterFor (stream.get(), rate, (unsigned int) channels, 16, {}, 0));

    if (writer == nullptr)
        return {};

    stream.release(); // the writer owns it now

    juce::AudioBuffer<float> buffer (channels, frames);
    for (int ch = 0; ch < channels; ++ch)
        for (int i = 0; i < frames; ++i)
            buffer.setSample (ch, i, 0.25f * std::sin ((float) i * 0.05f));

    writer->writeFromAudioSampleBuffer (buffer, 0, frames);
    return file;
}

inline juce::MouseEvent mouseEventAt (juce::Component& component, juce::Point<float> position,
                                      juce::Point<float> downPosition, bool dragged)
{
    const auto now = juce::Time::getCurrentTime();
    return { juce::Desktop::getInstance().getMainMouseSource(),
             position,
             juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier),
             juce::MouseInputSource::defaultPressure,
             juce::MouseInputSource::defaultOrientation,
             juce::MouseInputSource::defaultRotation,
             juce::MouseInputSource::defaultTiltX,
             juce::MouseInputSource::defaultTiltY,
             &component,
             &component,
             now,
             downPosition,
             now,
             1,
             dragged };
}

// Types text into a text editor one key at a time, as the keyboard would.
inline void typeInto (juce::TextEditor& editor, const juce::String& text)
{
    for (auto c : text)
        editor.keyPressed (juce::KeyPress (0, juce::ModifierKeys(), c));
}

struct LibraryPanelTestAccess
{
    static LibraryPanel::SoundReady& onSoundReady (LibraryPanel& p) { return p.onSoundReady; }
};

struct FileDragButtonTestAccess
{
    static bool dragStarted (const FileDragButton& b) { return b.dragStarted; }
};

struct TolvaneEditorTestAccess
{
    explicit TolvaneEditorTestAccess (TolvaneEditor& e)
        : editor (e),
          loadButton (e.loadButton),
          playButton (e.playButton),
          stopButton (e.stopButton),
          browseButton (e.browseButton),
          accountButton (e.accountButton),
          dragButton (e.dragButton),
          library (e.library),
          syncToggle (e.syncToggle),
          bpmEditor (e.bpmEditor),
          pitchSlider (e.pitchSlider),
          gainSlider (e.gainSlider),
          playerStatusLabel (e.playerStatusLabel),
          dawTempoLabel (e.dawTempoLabel),
          bpmCaption (e.bpmCaption),
          pitchCaption (e.pitchCaption),
          gainCaption (e.gainCaption),
          chooser (e.chooser)
    {
    }

    // What the library panel calls once a download is saved.
    bool deliverDownload (const juce::File& file, bool original)
    {
        return LibraryPanelTestAccess::onSoundReady (library) (file, original);
    }

    juce::String status() const { return playerStatusLabel.getText(); }

    TolvaneEditor& editor;
    juce::TextButton& loadButton;
    juce::TextButton& playButton;
    juce::TextButton& stopButton;
    juce::TextButton& browseButton;
    juce::TextButton& accountButton;
    FileDragButton& dragButton;
    LibraryPanel& library;
    juce::ToggleButton& syncToggle;
    juce::TextEditor& bpmEditor;
    juce::Slider& pitchSlider;
    juce::Slider& gainSlider;
    juce::Label& playerStatusLabel;
    juce::Label& dawTempoLabel;
    juce::Label& bpmCaption;
    juce::Label& pitchCaption;
    juce::Label& gainCaption;
    std::unique_ptr<juce::FileChooser>& chooser;
};

// Clicks a button the way the framework delivers a click (asynchronously) and runs the loop
// until the click, handler included, has been handled.
inline bool click (juce::Button& button)
{
    struct Seen : juce::Button::Listener
    {
        void buttonClicked (juce::Button*) override { clicked = true; }
        bool clicked = false;
    } seen;

    button.addListener (&seen);
    button.triggerClick();
    const bool ok = pumpUntil ([&] { return seen.clicked; });
    button.removeListener (&seen);
    return ok;
}
