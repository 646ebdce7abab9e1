// Edits in the real editor window on an X server, heard as a host's plug-in wrapper hears them: one
// report of a change of the saved state for every edit that changes a setting, and none for opening
// the editor, for a restored state or for an edit that leaves the value as it was. Clicks and keys go
// in through the window's peer, as the desktop delivers them.

#include "EditorTestSupport.h"
#include "support/DesktopWindow.h"
#include "support/HostListener.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <vector>

namespace
{
// Messages are handled in the order they were posted: once this one has run, so has every handler
// that the steps before it posted (a text box reports its changes that way, a slider its write-back).
bool handlePendingMessages()
{
    auto done = std::make_shared<std::atomic<bool>> (false);
    juce::MessageManager::callAsync ([done] { *done = true; });
    return pumpUntil ([&] { return done->load(); });
}

// A point of the slider's track past either end, right of its value box: a click there sets the
// range's end.
juce::Point<int> trackEnd (const juce::Slider& slider, bool maximum)
{
    return { maximum ? slider.getWidth() - 2 : slider.getTextBoxWidth() + 2, slider.getHeight() / 2 };
}

void restore (TolvaneProcessor& processor, const juce::String& attributes)
{
    const auto xml = juce::parseXML ("<BRVTolvane " + attributes + "/>");
    ASSERT_NE (xml, nullptr);
    juce::MemoryBlock block;
    juce::AudioProcessor::copyXmlToBinary (*xml, block);
    processor.setStateInformation (block.getData(), (int) block.getSize());
}

struct Settings
{
    double bpm, pitch;
    float gain;
    bool sync;

    bool operator== (const Settings& o) const
    {
        return bpm == o.bpm && pitch == o.pitch && gain == o.gain && sync == o.sync;
    }
};

std::ostream& operator<< (std::ostream& os, const Settings& s)
{
    return os << "{bpm " << s.bpm << ", pitch " << s.pitch << ", gain " << s.gain << ", sync " << s.sync << "}";
}

Settings settingsOf (const TolvaneProcessor& p)
{
    return { p.sourceBpm.load(), p.pitchSemitones.load(), p.gain.load(), p.matchDawTempo.load() };
}

struct Step
{
    const char* what;
    std::function<void()> act;
    int reports;       // the state changes the host hears of in this step
    Settings after;    // the processor's settings after it
    const char* shown; // the tempo box's text after it
};
} // namespace

TEST (SettingsWindow, EveryEditThatChangesASettingTellsTheHostOnce)
{
    ASSERT_NE (std::getenv ("DISPLAY"), nullptr) << "needs an X server (run under Xvfb)";
    ASSERT_TRUE (testsupport::ignoreXErrorsAsAHostDoes());

    ScratchDir scratch;
    const auto sound = writeWav (scratch.dir.getChildFile ("kick.wav"), 2000);

    TolvaneProcessor processor;
    const testsupport::HostListener host (processor);

    // A restored state whose pitch and gain the sliders round onto their steps: the editor writes
    // them back when it opens.
    restore (processor, R"(bpm="92.5" pitch="2.6" gain="0.123" sync="1")");

    auto window = std::make_unique<testsupport::DesktopWindow> (processor);
    ASSERT_NE (window->editor, nullptr);
    auto editor = [&]() -> TolvaneEditor& { return dynamic_cast<TolvaneEditor&> (*window->editor); };
    ASSERT_TRUE (pumpUntil ([&] { return window->peer() != nullptr && editor().isShowing(); }));
    auto access = std::make_unique<TolvaneEditorTestAccess> (editor());
    auto& a = *access;

    const auto clickSlider = [&] (juce::Slider& slider, bool maximum)
    { EXPECT_TRUE (window->clickAt (slider, trackEnd (slider, maximum))); };
    const auto key = [&] (int code) { window->pressKey (juce::KeyPress (code)); };

    const std::vector<Step> opening = {
        { "opening the editor on a restored state",
          [&]
          {
              EXPECT_TRUE (
                  pumpUntil ([&] { return processor.gain.load() == 0.12f && processor.pitchSemitones == 3.0; }))
                  << "the write-back of the rounded values";
          },
          0,
          { 92.5, 3.0, 0.12f, true },
          "92.5" },
    };

    const std::vector<Step> edits = {
        { "pitch to its maximum", [&] { clickSlider (a.pitchSlider, true); }, 1, { 92.5, 12.0, 0.12f, true }, "92.5" },
        { "pitch to its maximum again",
          [&] { clickSlider (a.pitchSlider, true); },
          0,
          { 92.5, 12.0, 0.12f, true },
          "92.5" },
        { "pitch to its minimum",
          [&] { clickSlider (a.pitchSlider, false); },
          1,
          { 92.5, -12.0, 0.12f, true },
          "92.5" },
        { "volume to its maximum", [&] { clickSlider (a.gainSlider, true); }, 1, { 92.5, -12.0, 1.0f, true }, "92.5" },
        { "volume to its maximum again",
          [&] { clickSlider (a.gainSlider, true); },
          0,
          { 92.5, -12.0, 1.0f, true },
          "92.5" },
        { "Match DAW tempo off",
          [&] { EXPECT_TRUE (window->click (a.syncToggle)); },
          1,
          { 92.5, -12.0, 1.0f, false },
          "92.5" },
        { "Match DAW tempo on",
          [&] { EXPECT_TRUE (window->click (a.syncToggle)); },
          1,
          { 92.5, -12.0, 1.0f, true },
          "92.5" },
        { "tempo box: a trailing zero (92.50)",
          [&]
          {
              EXPECT_TRUE (window->click (a.bpmEditor));
              key (juce::KeyPress::endKey);
              window->type ("0");
          },
          0,
          { 92.5, -12.0, 1.0f, true },
          "92.50" },
        { "tempo box: back to 92.5",
          [&] { key (juce::KeyPress::backspaceKey); },
          0,
          { 92.5, -12.0, 1.0f, true },
          "92.5" },
        { "tempo box: 92.", [&] { key (juce::KeyPress::backspaceKey); }, 1, { 92.0, -12.0, 1.0f, true }, "92." },
        { "tempo box: 92", [&] { key (juce::KeyPress::backspaceKey); }, 0, { 92.0, -12.0, 1.0f, true }, "92" },
        { "tempo box: 9", [&] { key (juce::KeyPress::backspaceKey); }, 1, { 9.0, -12.0, 1.0f, true }, "9" },
        { "tempo box: empty", [&] { key (juce::KeyPress::backspaceKey); }, 1, { 0.0, -12.0, 1.0f, true }, "" },
        { "tempo box: a letter, refused", [&] { window->type ("x"); }, 0, { 0.0, -12.0, 1.0f, true }, "" },
        { "tempo box: 1", [&] { window->type ("1"); }, 1, { 1.0, -12.0, 1.0f, true }, "1" },
        { "tempo box: 12", [&] { window->type ("2"); }, 1, { 12.0, -12.0, 1.0f, true }, "12" },
        { "tempo box: 120", [&] { window->type ("0"); }, 1, { 120.0, -12.0, 1.0f, true }, "120" },
        { "tempo box: 1200, out of range", [&] { window->type ("0"); }, 1, { 0.0, -12.0, 1.0f, true }, "1200" },
        { "tempo box: 12000, still none", [&] { window->type ("0"); }, 0, { 0.0, -12.0, 1.0f, true }, "12000" },
        { "tempo box: 120 again",
          [&] { key (juce::KeyPress::backspaceKey), key (juce::KeyPress::backspaceKey); },
          1,
          { 120.0, -12.0, 1.0f, true },
          "120" },
        { "pitch up from its minimum",
          [&] { clickSlider (a.pitchSlider, true); },
          1,
          { 120.0, 12.0, 1.0f, true },
          "120" },
        // The load resets tempo and pitch (one change), and so do the box and the slider after it.
        { "a sound dropped, resetting tempo and pitch",
          [&]
          {
              editor().filesDropped ({ sound.getFullPathName() }, 10, 10);
              EXPECT_TRUE (a.status().startsWith ("Loaded: ")) << a.status();
          },
          1,
          { 0.0, 0.0, 1.0f, true },
          "" },
        { "the same sound again, with tempo and pitch at 0",
          [&] { editor().filesDropped ({ sound.getFullPathName() }, 10, 10); },
          0,
          { 0.0, 0.0, 1.0f, true },
          "" },
        { "a preview downloaded, with tempo and pitch at 0",
          [&] { EXPECT_TRUE (a.deliverDownload (sound, false)); },
          0,
          { 0.0, 0.0, 1.0f, true },
          "" },
        { "a state restored while the editor is open",
          [&] { restore (processor, R"(bpm="140.0" pitch="-5.0" gain="0.25" sync="0")"); },
          0,
          { 140.0, -5.0, 0.25f, false },
          "" },
        { "a preview downloaded after the restore",
          [&] { EXPECT_TRUE (a.deliverDownload (sound, false)); },
          1,
          { 0.0, 0.0, 0.25f, false },
          "" },
        { "Play once and Stop / reset",
          [&]
          {
              EXPECT_TRUE (window->click (a.playButton));
              EXPECT_TRUE (window->click (a.stopButton));
          },
          0,
          { 0.0, 0.0, 0.25f, false },
          "" },
    };

    const auto run = [&] (const std::vector<Step>& steps)
    {
        for (const auto& step : steps)
        {
            SCOPED_TRACE (step.what);
            const int before = host.stateChanges();
            step.act();
            ASSERT_TRUE (handlePendingMessages());
            EXPECT_EQ (host.stateChanges() - before, step.reports);
            EXPECT_EQ (settingsOf (processor), step.after);
            EXPECT_EQ (access->bpmEditor.getText(), step.shown);
        }
    };

    run (opening);
    run (edits);
    EXPECT_EQ (a.pitchSlider.getValue(), 0.0);

    // A new window on a state the sliders round again, as when the host opens the editor once more.
    access.reset();
    window.reset();
    restore (processor, R"(bpm="120.0" pitch="-4.4" gain="0.678" sync="1")");
    window = std::make_unique<testsupport::DesktopWindow> (processor);
    ASSERT_NE (window->editor, nullptr);
    ASSERT_TRUE (pumpUntil ([&] { return window->peer() != nullptr && editor().isShowing(); }));
    access = std::make_unique<TolvaneEditorTestAccess> (editor());

    run ({
        { "reopening the editor on a restored state",
          [&]
          {
              EXPECT_TRUE (
                  pumpUntil ([&] { return processor.gain.load() == 0.68f && processor.pitchSemitones == -4.0; }))
                  << "the write-back of the rounded values";
          },
          0,
          { 120.0, -4.0, 0.68f, true },
          "120" },
        { "volume to its minimum",
          [&] { clickSlider (access->gainSlider, false); },
          1,
          { 120.0, -4.0, 0.0f, true },
          "120" },
    });

    // Every report was of the saved state, and came from the message thread.
    EXPECT_EQ (host.reports(), host.stateChanges());
    EXPECT_EQ (host.reportsOffTheMessageThread(), 0);
}
