#include "EditorTestSupport.h"

namespace
{
struct Intake : ::testing::Test
{
    void SetUp() override
    {
        processor.prepareToPlay (44100.0, 256);
        editor = std::make_unique<TolvaneEditor> (processor);
        access = std::make_unique<TolvaneEditorTestAccess> (*editor);
    }

    void TearDown() override
    {
        access.reset();
        editor.reset();
    }

    juce::File wav (const char* name, int frames = 4410) { return writeWav (scratch.dir.getChildFile (name), frames); }

    juce::File textFile (const char* name)
    {
        auto f = scratch.dir.getChildFile (name);
        f.replaceWithText ("not audio");
        return f;
    }

    void drop (const juce::File& f) { editor->filesDropped ({ f.getFullPathName() }, 5, 5); }

    // Sets the controls the way a user would, so a load can be seen to reset them.
    void setControls (const char* bpmText, int pitchSteps)
    {
        typeInto (access->bpmEditor, bpmText);
        for (int i = 0; i < pitchSteps; ++i)
            access->pitchSlider.keyPressed (juce::KeyPress (juce::KeyPress::upKey));
        ASSERT_TRUE (pumpUntil ([&] { return processor.sourceBpm.load() > 0.0; }));
    }

    bool renderOneBlock()
    {
        juce::AudioBuffer<float> block (2, 256);
        juce::MidiBuffer midi;
        processor.processBlock (block, midi);
        return processor.isPlaying.load();
    }

    ScratchDir scratch;
    TolvaneProcessor processor;
    std::unique_ptr<TolvaneEditor> editor;
    std::unique_ptr<TolvaneEditorTestAccess> access;
};
} // namespace

TEST_F (Intake, DropFilterTakesOneLocalSoundFile)
{
    const struct
    {
        juce::StringArray paths;
        bool accepted;
    } cases[] = {
        { { "/sounds/Kick.WAV" }, true },
        { { "/sounds/Loop.Flac" }, true },
        { { "/sounds/pad.aif" }, true },
        { { "/sounds/pad.AIFF" }, true },
        { { "/sounds/kick.wav.txt" }, false },
        { { "/sounds/kickwav" }, false },
        { { "/sounds/kick.ogg" }, false },
        { { "/sounds/kick.mp3" }, false },
        { { "/sounds/a.wav", "/sounds/b.wav" }, false },
        { {}, false },
    };

    for (const auto& c : cases)
        EXPECT_EQ (editor->isInterestedInFileDrag (c.paths), c.accepted) << c.paths.joinIntoString (", ");
}

TEST_F (Intake, RefusedDropsLoadNothingAndSayNothing)
{
    const auto a = wav ("a.wav");
    const auto b = wav ("b.wav");
    const auto ogg = scratch.dir.getChildFile ("kick.ogg");
    ASSERT_TRUE (a.copyFileTo (ogg));

    editor->filesDropped ({ a.getFullPathName(), b.getFullPathName() }, 0, 0);
    editor->filesDropped ({ ogg.getFullPathName() }, 0, 0);

    EXPECT_EQ (access->status(), "Connect your account below or load a local sound.");
    EXPECT_EQ (processor.loadedFile, juce::File());
    EXPECT_TRUE (processor.soundCache.empty());
}

TEST_F (Intake, SuccessfulDropLoadsAnOriginalAndResetsTheControls)
{
    const auto file = wav ("Kick.WAV");
    setControls ("128", 3);
    ASSERT_EQ (processor.pitchSemitones.load(), 3.0);

    drop (file);

    EXPECT_EQ (access->status(), "Loaded: Kick.WAV. Enter source BPM if known.");
    EXPECT_EQ (access->bpmEditor.getText(), "");
    EXPECT_EQ (access->pitchSlider.getValue(), 0.0);
    EXPECT_EQ (processor.loadedFile, file);
    EXPECT_TRUE (processor.loadedIsOriginal);
    EXPECT_EQ (processor.sourceBpm.load(), 0.0);
    EXPECT_EQ (processor.transportCommand.load(), 2);

    // The slider's own notification stores the 0 that the loader already set.
    pumpFor (50);
    EXPECT_EQ (processor.pitchSemitones.load(), 0.0);

    // An original waits for "Play once".
    EXPECT_FALSE (renderOneBlock());
}

TEST_F (Intake, FailedDropShowsTheReasonAndKeepsEverything)
{
    const auto good = wav ("good.wav");
    drop (good);
    ASSERT_TRUE (access->status().startsWith ("Loaded:"));
    setControls ("90", 2);
    processor.transportCommand = 0;

    drop (textFile ("broken.wav"));

    EXPECT_EQ (access->status(), "Cannot read this audio file.");
    EXPECT_EQ (access->bpmEditor.getText(), "90");
    EXPECT_EQ (access->pitchSlider.getValue(), 2.0);
    EXPECT_EQ (processor.sourceBpm.load(), 90.0);
    EXPECT_EQ (processor.pitchSemitones.load(), 2.0);
    EXPECT_EQ (processor.loadedFile, good);
    EXPECT_EQ (processor.transportCommand.load(), 0);
    EXPECT_EQ (processor.soundCache.size(), 1u);

    // A dropped name that is not there at all fails the same way.
    editor->filesDropped ({ scratch.dir.getChildFile ("gone.flac").getFullPathName() }, 0, 0);
    EXPECT_EQ (access->status(), "Cannot read this audio file.");
    EXPECT_EQ (processor.loadedFile, good);
}

TEST_F (Intake, PreviewFromThePanelStartsAtOnce)
{
    const auto preview = wav ("preview-7.wav");

    ASSERT_TRUE (access->deliverDownload (preview, false));

    EXPECT_EQ (processor.transportCommand.load(), 1);
    EXPECT_EQ (access->status(), "Loaded: preview-7.wav. Enter source BPM if known.");
    EXPECT_FALSE (processor.loadedIsOriginal);
    EXPECT_TRUE (renderOneBlock());
    EXPECT_GT (processor.voice.position, 0.0);
}

TEST_F (Intake, OriginalFromThePanelWaitsForPlay)
{
    const auto original = wav ("owned-7.wav");

    ASSERT_TRUE (access->deliverDownload (original, true));

    EXPECT_EQ (processor.transportCommand.load(), 2);
    EXPECT_TRUE (processor.loadedIsOriginal);
    EXPECT_FALSE (renderOneBlock());

    ASSERT_TRUE (click (access->playButton));
    EXPECT_TRUE (renderOneBlock());
}

TEST_F (Intake, PreviewThatFailsPostsNoCommand)
{
    const auto good = wav ("owned-1.wav");
    ASSERT_TRUE (access->deliverDownload (good, true));
    processor.transportCommand = 0;

    EXPECT_FALSE (access->deliverDownload (textFile ("preview-2.wav"), false));

    EXPECT_EQ (processor.transportCommand.load(), 0);
    EXPECT_EQ (access->status(), "Cannot read this audio file.");
    EXPECT_EQ (processor.loadedFile, good);
    EXPECT_TRUE (processor.loadedIsOriginal);
}
