#include "EditorTestSupport.h"

#include <cmath>
#include <limits>

namespace
{
struct EditorWindow : ::testing::Test
{
    void open()
    {
        editor = std::make_unique<TolvaneEditor> (processor);
        access = std::make_unique<TolvaneEditorTestAccess> (*editor);
    }

    // The first refresh has run once the tempo line has any text.
    bool waitForFirstTick()
    {
        return pumpUntil ([this] { return access->dawTempoLabel.getText().isNotEmpty(); });
    }

    void TearDown() override
    {
        access.reset();
        editor.reset();
    }

    TolvaneProcessor processor;
    std::unique_ptr<TolvaneEditor> editor;
    std::unique_ptr<TolvaneEditorTestAccess> access;
};

juce::Colour pixelAt (const juce::Image& image, int x, int y) { return image.getPixelAt (x, y); }

int countPixels (const juce::Image& image, juce::Rectangle<int> area, juce::Colour colour)
{
    int n = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            if (image.getPixelAt (x, y) == colour)
                ++n;
    return n;
}

int countDrawn (const juce::Image& image, juce::Rectangle<int> area, juce::Colour background)
{
    int n = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            if (image.getPixelAt (x, y) != background)
                ++n;
    return n;
}

float brightestIn (const juce::Image& image, juce::Rectangle<int> area)
{
    float best = 0.0f;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            best = juce::jmax (best, image.getPixelAt (x, y).getBrightness());
    return best;
}
} // namespace

TEST_F (EditorWindow, FreshProcessorOpensWithItsDefaults)
{
    open();
    auto& a = *access;

    EXPECT_EQ (editor->getWidth(), 960);
    EXPECT_EQ (editor->getHeight(), 820);
    EXPECT_FALSE (editor->isResizable());

    EXPECT_EQ (a.bpmEditor.getText(), "");
    EXPECT_EQ (a.bpmEditor.getTextToShowWhenEmpty(), "Unknown");
    EXPECT_EQ (a.pitchSlider.getValue(), 0.0);
    EXPECT_EQ (a.gainSlider.getValue(), 0.5);
    EXPECT_FALSE (a.syncToggle.getToggleState());
    EXPECT_EQ (a.status(), "Connect your account below or load a local sound.");
    EXPECT_EQ (a.playerStatusLabel.findColour (juce::Label::textColourId), juce::Colour (0xffb3cfdfu));

    EXPECT_EQ (a.loadButton.getButtonText(), "Load WAV");
    EXPECT_EQ (a.stopButton.getButtonText(), "Stop / reset");
    EXPECT_EQ (a.browseButton.getButtonText(), "Browse / buy sounds");
    EXPECT_EQ (a.accountButton.getButtonText(), "Account / downloads");
    EXPECT_EQ (a.dragButton.getButtonText(), "Drag original file to DAW");
    EXPECT_EQ (a.syncToggle.getButtonText(), "Match DAW tempo");
    EXPECT_EQ (a.bpmCaption.getText(), "Source BPM (blank if unknown)");
    EXPECT_EQ (a.pitchCaption.getText(), "Pitch: semitones (changes speed)");
    EXPECT_EQ (a.gainCaption.getText(), "Preview volume");

    EXPECT_EQ (a.pitchSlider.getMinimum(), -12.0);
    EXPECT_EQ (a.pitchSlider.getMaximum(), 12.0);
    EXPECT_EQ (a.pitchSlider.getInterval(), 1.0);
    EXPECT_EQ (a.gainSlider.getMinimum(), 0.0);
    EXPECT_EQ (a.gainSlider.getMaximum(), 1.0);
    EXPECT_EQ (a.gainSlider.getInterval(), 0.01);

    // Until the first refresh the framework's defaults stand.
    EXPECT_EQ (a.dawTempoLabel.getText(), "");
    EXPECT_TRUE (a.dragButton.isEnabled());
    EXPECT_EQ (a.playButton.getButtonText(), "Play once");

    ASSERT_TRUE (waitForFirstTick());
    EXPECT_EQ (a.dawTempoLabel.getText(), "DAW tempo unavailable");
    EXPECT_FALSE (a.dragButton.isEnabled());
    EXPECT_EQ (a.playButton.getButtonText(), "Play once");

    // Defaults written back by the sliders' first notification change nothing.
    EXPECT_EQ (processor.gain.load(), 0.5f);
    EXPECT_EQ (processor.pitchSemitones.load(), 0.0);
    EXPECT_EQ (processor.sourceBpm.load(), 0.0);
}

TEST_F (EditorWindow, ChildrenAreStackedAndPlacedAsDesigned)
{
    open();
    auto& a = *access;

    const juce::Component* expectedOrder[] = {
        &a.library,       &a.loadButton, &a.playButton,   &a.stopButton,  &a.browseButton, &a.accountButton,
        &a.dragButton,    &a.syncToggle, &a.bpmEditor,    &a.pitchSlider, &a.gainSlider,   &a.playerStatusLabel,
        &a.dawTempoLabel, &a.bpmCaption, &a.pitchCaption, &a.gainCaption
    };

    ASSERT_EQ (editor->getNumChildComponents(), (int) std::size (expectedOrder));
    for (int i = 0; i < editor->getNumChildComponents(); ++i)
    {
        EXPECT_EQ (editor->getChildComponent (i), expectedOrder[i]) << "child " << i;
        EXPECT_TRUE (editor->getChildComponent (i)->isVisible()) << "child " << i;
    }

    const struct
    {
        juce::Component* child;
        juce::Rectangle<int> bounds;
    } layout[] = {
        { &a.browseButton, { 24, 100, 220, 40 } },      { &a.accountButton, { 254, 100, 220, 40 } },
        { &a.loadButton, { 484, 100, 250, 40 } },       { &a.playButton, { 24, 157, 100, 40 } },
        { &a.stopButton, { 134, 157, 130, 40 } },       { &a.dragButton, { 280, 157, 454, 40 } },
        { &a.bpmCaption, { 24, 215, 260, 24 } },        { &a.bpmEditor, { 24, 243, 180, 35 } },
        { &a.syncToggle, { 235, 243, 240, 35 } },       { &a.dawTempoLabel, { 485, 243, 250, 35 } },
        { &a.pitchCaption, { 24, 291, 330, 24 } },      { &a.gainCaption, { 400, 291, 330, 24 } },
        { &a.pitchSlider, { 24, 320, 340, 40 } },       { &a.gainSlider, { 400, 320, 334, 40 } },
        { &a.playerStatusLabel, { 24, 373, 710, 40 } }, { &a.library, { 24, 425, 912, 295 } },
    };

    for (const auto& entry : layout)
        EXPECT_EQ (entry.child->getBounds(), entry.bounds) << entry.child->getName();

    // Only the panel follows the width.
    editor->setSize (1000, 820);
    EXPECT_EQ (a.library.getBounds(), juce::Rectangle<int> (24, 425, 952, 295));
    EXPECT_EQ (a.playerStatusLabel.getBounds(), juce::Rectangle<int> (24, 373, 710, 40));
}

TEST_F (EditorWindow, PaintsBackgroundTitleSubtitleAndNote)
{
    open();
    const auto image = editor->createComponentSnapshot (editor->getLocalBounds(), true, 1.0f);
    ASSERT_EQ (image.getWidth(), 960);

    const juce::Colour background (0xff0b121bu);
    EXPECT_EQ (pixelAt (image, 2, 2), background);
    EXPECT_EQ (pixelAt (image, 950, 810), background);
    EXPECT_EQ (pixelAt (image, 12, 500), background);

    // Fonts are present on this machine, so each text shows as pixels of its colour.
    EXPECT_GT (countPixels (image, { 24, 16, 500, 45 }, juce::Colour (0xff39c8eeu)), 50);
    EXPECT_EQ (countPixels (image, { 0, 100, 960, 720 }, juce::Colour (0xff39c8eeu)), 0);
    EXPECT_GT (brightestIn (image, { 25, 62, 800, 24 }), 0.75f);
    EXPECT_GT (countDrawn (image, { 25, 62, 800, 24 }, background), 100);

    // The note: three separate lines of text below the panel, and nothing under them.
    int lines = 0;
    bool inLine = false;
    for (int y = 730; y < 810; ++y)
    {
        const bool drawn = countDrawn (image, { 24, y, 912, 1 }, background) > 0;
        if (drawn && ! inLine)
            ++lines;
        inLine = drawn;
    }
    EXPECT_EQ (lines, 3);
    EXPECT_GT (brightestIn (image, { 24, 730, 912, 80 }), 0.75f);
}

TEST (EditorTexts, NonAsciiCharactersCountOnce)
{
    TolvaneProcessor processor;
    processor.isPlaying = true;
    TolvaneEditor editor (processor);
    TolvaneEditorTestAccess access (editor);
    ASSERT_TRUE (pumpUntil ([&] { return access.playButton.getButtonText() != "Play once"; }));
    EXPECT_EQ (access.playButton.getButtonText(), juce::String::fromUTF8 ("Playing\xe2\x80\xa6"));
    EXPECT_EQ (access.playButton.getButtonText().length(), 8);
}

TEST_F (EditorWindow, RestoredTempoIsShownAsAStreamWritesIt)
{
    const struct
    {
        double bpm;
        const char* shown;
    } cases[] = {
        { 92.5, "92.5" },
        { 120.0, "120" },
        { 123.4567, "123.457" },
        { 400.0, "400" },
        { 0.0, "" },
        { -5.0, "" },
        { std::numeric_limits<double>::quiet_NaN(), "" },
    };

    for (const auto& c : cases)
    {
        processor.sourceBpm = c.bpm;
        open();
        EXPECT_EQ (access->bpmEditor.getText(), c.shown) << c.bpm;

        // The initial text is not written back, not even once the loop has run.
        ASSERT_TRUE (waitForFirstTick());
        if (std::isnan (c.bpm))
            EXPECT_TRUE (std::isnan (processor.sourceBpm.load()));
        else
            EXPECT_EQ (processor.sourceBpm.load(), c.bpm);
        TearDown();
    }
}

TEST_F (EditorWindow, RestoredSlidersSnapToTheirStepsAndWriteBack)
{
    processor.gain = 0.123f;
    processor.pitchSemitones = 2.6;
    processor.matchDawTempo = true;
    open();

    EXPECT_DOUBLE_EQ (access->gainSlider.getValue(), 0.12);
    EXPECT_EQ (access->pitchSlider.getValue(), 3.0);
    EXPECT_TRUE (access->syncToggle.getToggleState());

    // The write-back waits for the message loop.
    EXPECT_EQ (processor.gain.load(), 0.123f);
    EXPECT_EQ (processor.pitchSemitones.load(), 2.6);

    EXPECT_TRUE (pumpUntil ([this] { return processor.gain.load() == 0.12f; }));
    EXPECT_TRUE (pumpUntil ([this] { return processor.pitchSemitones.load() == 3.0; }));
    EXPECT_TRUE (processor.matchDawTempo.load());
}

TEST_F (EditorWindow, HostTempoLineFollowsEveryTick)
{
    open();

    // Alternating cases, so every step changes the text the refresh must write.
    const struct
    {
        double hostBpm;
        const char* shown;
    } cases[] = {
        { 120.0, "DAW: 120.0 BPM" },  { 0.0, "DAW tempo unavailable" },
        { 127.96, "DAW: 128.0 BPM" }, { -1.0, "DAW tempo unavailable" },
        { 1.0, "DAW: 1.0 BPM" },      { std::numeric_limits<double>::quiet_NaN(), "DAW tempo unavailable" },
        { 92.44, "DAW: 92.4 BPM" },
    };

    for (const auto& c : cases)
    {
        processor.hostBpm = c.hostBpm;
        EXPECT_TRUE (pumpUntil ([&] { return access->dawTempoLabel.getText() == c.shown; }))
            << c.hostBpm << " shows " << access->dawTempoLabel.getText();
    }
}

TEST_F (EditorWindow, TempoBoxTakesWhatTheUserTypes)
{
    open();

    const struct
    {
        const char* typed;
        const char* shown;
        double stored;
    } cases[] = {
        { "120", "120", 120.0 },     { "1", "1", 1.0 },
        { "400", "400", 400.0 },     { "0.99", "0.99", 0.0 },
        { "400.01", "400.01", 0.0 }, { "12.5.3", "12.5.3", 12.5 },
        { ".", ".", 0.0 },           { "0120", "0120", 120.0 },
        { "1a2b0", "120", 120.0 },   { "12345678", "1234567", 0.0 },
        { "92.5", "92.5", 92.5 },    { "-5", "5", 5.0 },
    };

    for (const auto& c : cases)
    {
        access->bpmEditor.clear();
        // A value no handler could store, so the write is seen whatever it is.
        processor.sourceBpm = -123.0;
        typeInto (access->bpmEditor, c.typed);
        EXPECT_EQ (access->bpmEditor.getText(), c.shown) << c.typed;
        EXPECT_TRUE (pumpUntil ([this] { return processor.sourceBpm.load() != -123.0; })) << c.typed;
        EXPECT_EQ (processor.sourceBpm.load(), c.stored) << c.typed;
    }

    // Deleting the last character leaves an empty box, which means no tempo.
    access->bpmEditor.clear();
    typeInto (access->bpmEditor, "7");
    ASSERT_TRUE (pumpUntil ([this] { return processor.sourceBpm.load() == 7.0; }));
    access->bpmEditor.keyPressed (juce::KeyPress (juce::KeyPress::backspaceKey));
    EXPECT_EQ (access->bpmEditor.getText(), "");
    EXPECT_TRUE (pumpUntil ([this] { return processor.sourceBpm.load() == 0.0; }));

    // Letters alone leave the box empty.
    typeInto (access->bpmEditor, "loud");
    EXPECT_EQ (access->bpmEditor.getText(), "");
}

TEST_F (EditorWindow, TransportButtonsWithoutASound)
{
    open();

    ASSERT_TRUE (click (access->playButton));
    EXPECT_EQ (access->status(), "Load a sound first.");
    EXPECT_EQ (processor.transportCommand.load(), 0);

    ASSERT_TRUE (click (access->stopButton));
    EXPECT_EQ (processor.transportCommand.load(), 2);
    EXPECT_EQ (access->status(), "Load a sound first.");
}

TEST_F (EditorWindow, SettingsControlsWriteTheProcessor)
{
    open();
    ASSERT_TRUE (waitForFirstTick());

    ASSERT_TRUE (click (access->syncToggle));
    EXPECT_TRUE (processor.matchDawTempo.load());
    ASSERT_TRUE (click (access->syncToggle));
    EXPECT_FALSE (processor.matchDawTempo.load());

    EXPECT_TRUE (access->pitchSlider.keyPressed (juce::KeyPress (juce::KeyPress::upKey)));
    EXPECT_EQ (processor.pitchSemitones.load(), 1.0);
    for (int i = 0; i < 20; ++i)
        access->pitchSlider.keyPressed (juce::KeyPress (juce::KeyPress::downKey));
    EXPECT_EQ (processor.pitchSemitones.load(), -12.0);

    EXPECT_TRUE (access->gainSlider.keyPressed (juce::KeyPress (juce::KeyPress::rightKey)));
    EXPECT_EQ (processor.gain.load(), 0.51f);
    for (int i = 0; i < 60; ++i)
        access->gainSlider.keyPressed (juce::KeyPress (juce::KeyPress::rightKey));
    EXPECT_EQ (processor.gain.load(), 1.0f);
}

TEST_F (EditorWindow, PlayButtonTextFollowsPlayback)
{
    ScratchDir scratch;
    const auto file = writeWav (scratch.dir.getChildFile ("Long.wav"), 44100);
    processor.prepareToPlay (44100.0, 256);
    open();

    editor->filesDropped ({ file.getFullPathName() }, 10, 10);
    ASSERT_TRUE (access->status().startsWith ("Loaded:")) << access->status();

    ASSERT_TRUE (click (access->playButton));
    EXPECT_EQ (processor.transportCommand.load(), 1);

    juce::AudioBuffer<float> block (2, 256);
    juce::MidiBuffer midi;
    processor.processBlock (block, midi);
    ASSERT_TRUE (processor.isPlaying.load());
    EXPECT_TRUE (pumpUntil (
        [this] { return access->playButton.getButtonText() == juce::String::fromUTF8 ("Playing\xe2\x80\xa6"); }));

    ASSERT_TRUE (click (access->stopButton));
    processor.processBlock (block, midi);
    ASSERT_FALSE (processor.isPlaying.load());
    EXPECT_TRUE (pumpUntil ([this] { return access->playButton.getButtonText() == "Play once"; }));
}

TEST_F (EditorWindow, DragButtonIsEnabledOnlyForAnOriginalOnDisk)
{
    ScratchDir scratch;
    const auto original = writeWav (scratch.dir.getChildFile ("Original.wav"), 2000);
    const auto preview = writeWav (scratch.dir.getChildFile ("preview-3.wav"), 2000);
    open();
    ASSERT_TRUE (waitForFirstTick());
    EXPECT_FALSE (access->dragButton.isEnabled());

    editor->filesDropped ({ original.getFullPathName() }, 0, 0);
    EXPECT_TRUE (pumpUntil ([this] { return access->dragButton.isEnabled(); }));

    // The file leaving the disk disables the button; its return enables it again.
    ASSERT_TRUE (original.moveFileTo (scratch.dir.getChildFile ("elsewhere.wav")));
    EXPECT_TRUE (pumpUntil ([this] { return ! access->dragButton.isEnabled(); }));
    ASSERT_TRUE (scratch.dir.getChildFile ("elsewhere.wav").moveFileTo (original));
    EXPECT_TRUE (pumpUntil ([this] { return access->dragButton.isEnabled(); }));

    ASSERT_TRUE (access->deliverDownload (preview, false));
    EXPECT_TRUE (pumpUntil ([this] { return ! access->dragButton.isEnabled(); }));
    ASSERT_TRUE (preview.existsAsFile());
}
