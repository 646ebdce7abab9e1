// The file dialog and the web browser are programs outside the plug-in. This program puts
// stand-ins for them first on PATH: the dialog records how it was asked and answers what the
// test leaves for it, the browser records the address it was given.

#include "EditorTestSupport.h"

#include "library/SiteAddress.h"

#include <cstdlib>

namespace
{
const char* const fakeDialog = R"sh(#!/bin/sh
dir="$TOLVANE_FAKE_DIR"
n=1
while [ -e "$dir/dialog-$n.args" ]; do n=$((n+1)); done
printf '%s\n' "$@" > "$dir/dialog-$n.tmp" && mv "$dir/dialog-$n.tmp" "$dir/dialog-$n.args"
i=0
while [ ! -e "$dir/dialog-$n.answer" ]; do
    i=$((i+1))
    [ "$i" -gt 600 ] && exit 1
    sleep 0.05
done
answer="$(cat "$dir/dialog-$n.answer")"
status=1
if [ -n "$answer" ]; then printf '%s\n' "$answer"; status=0; fi
touch "$dir/dialog-$n.done"
exit "$status"
)sh";

const char* const fakeBrowser = R"sh(#!/bin/sh
dir="$TOLVANE_FAKE_DIR"
n=1
while [ -e "$dir/browser-$n" ]; do n=$((n+1)); done
printf '%s' "$1" > "$dir/browser-$n.tmp" && mv "$dir/browser-$n.tmp" "$dir/browser-$n"
)sh";

struct FakeProgramsEnvironment : ::testing::Environment
{
    void SetUp() override
    {
        root = juce::File::getSpecialLocation (juce::File::tempDirectory)
                   .getNonexistentChildFile ("tolvane-fake-programs", "", false);
        const auto bin = root.getChildFile ("bin");
        const auto home = root.getChildFile ("home");
        ASSERT_TRUE (bin.createDirectory());
        ASSERT_TRUE (home.createDirectory());

        for (const auto& [name, text] : { std::pair{ "zenity", fakeDialog }, std::pair{ "xdg-open", fakeBrowser } })
        {
            auto script = bin.getChildFile (name);
            ASSERT_TRUE (script.replaceWithText (text, false, false, "\n"));
            ASSERT_TRUE (script.setExecutePermission (true));
        }

        setenv ("PATH", (bin.getFullPathName() + ":/usr/bin:/bin").toRawUTF8(), 1);
        // The dialog code changes to the home folder when no start folder is given.
        setenv ("HOME", home.getFullPathName().toRawUTF8(), 1);
        unsetenv ("KDE_FULL_SESSION");
    }

    void TearDown() override { root.deleteRecursively (false); }

    juce::File root;
};

::testing::Environment* const fakePrograms = ::testing::AddGlobalTestEnvironment (new FakeProgramsEnvironment);

struct ExternalPrograms : ::testing::Test
{
    void SetUp() override
    {
        calls = scratch.dir.getChildFile ("calls");
        ASSERT_TRUE (calls.createDirectory());
        setenv ("TOLVANE_FAKE_DIR", calls.getFullPathName().toRawUTF8(), 1);

        editor = std::make_unique<TolvaneEditor> (processor);
        access = std::make_unique<TolvaneEditorTestAccess> (*editor);
    }

    void TearDown() override
    {
        access.reset();
        editor.reset();
    }

    juce::File call (const juce::String& name) const { return calls.getChildFile (name); }

    juce::File dialog (int n, const char* suffix) const { return call ("dialog-" + juce::String (n) + suffix); }

    bool dialogOpened (int n)
    {
        return pumpUntil ([&] { return dialog (n, ".args").existsAsFile(); });
    }

    void answer (int n, const juce::String& text) { ASSERT_TRUE (dialog (n, ".answer").replaceWithText (text)); }

    juce::String initialStatus() const { return "Connect your account below or load a local sound."; }

    ScratchDir scratch;
    juce::File calls;
    TolvaneProcessor processor;
    std::unique_ptr<TolvaneEditor> editor;
    std::unique_ptr<TolvaneEditorTestAccess> access;
};
} // namespace

TEST_F (ExternalPrograms, DialogAsksForOneLocalSoundAndLoadsTheChoice)
{
    const auto file = writeWav (scratch.dir.getChildFile ("Chosen Pad.aif.wav"), 2000);

    ASSERT_TRUE (click (access->loadButton));
    ASSERT_TRUE (dialogOpened (1));

    juce::StringArray args;
    args.addLines (dialog (1, ".args").loadFileAsString());
    args.removeEmptyStrings();
    EXPECT_TRUE (args.contains ("--file-selection"));
    EXPECT_TRUE (args.contains ("--title=Choose a downloaded sound"));
    EXPECT_TRUE (args.contains ("--file-filter=*.wav *.aif *.aiff *.flac"));
    // One existing file: not a save dialog, no folders, no multiple choice, no proposed name.
    for (const auto& arg : args)
    {
        EXPECT_FALSE (arg == "--save" || arg == "--directory" || arg == "--multiple" || arg.startsWith ("--filename"))
            << arg;
    }

    // The message thread goes on while the dialog is open.
    EXPECT_TRUE (pumpUntil ([this] { return access->dawTempoLabel.getText().isNotEmpty(); }));

    answer (1, file.getFullPathName());
    ASSERT_TRUE (pumpUntil ([this] { return access->status().startsWith ("Loaded:"); }));
    EXPECT_EQ (access->status(), "Loaded: Chosen Pad.aif.wav. Enter source BPM if known.");
    EXPECT_EQ (processor.loadedFile, file);
    EXPECT_TRUE (processor.loadedIsOriginal);
}

TEST_F (ExternalPrograms, ChoiceThatIsNoFileLoadsNothing)
{
    const juce::File answers[] = { scratch.dir.getChildFile ("missing.wav"), scratch.dir };

    for (int i = 0; i < 2; ++i)
    {
        ASSERT_TRUE (click (access->loadButton));
        ASSERT_TRUE (dialogOpened (i + 1));
        answer (i + 1, answers[i].getFullPathName());
        // The chooser holds the result before it calls back, in the same step.
        ASSERT_TRUE (pumpUntil ([&] { return access->chooser->getResult() == answers[i]; }));
        EXPECT_EQ (access->status(), initialStatus());
        EXPECT_EQ (processor.loadedFile, juce::File());
    }
}

TEST_F (ExternalPrograms, CancelledDialogChangesNothing)
{
    ASSERT_TRUE (click (access->loadButton));
    ASSERT_TRUE (dialogOpened (1));
    answer (1, {});
    ASSERT_TRUE (pumpUntil ([this] { return dialog (1, ".done").existsAsFile(); }));

    // The framework looks at the dialog program every 100 ms; give it a few rounds.
    pumpFor (500);
    EXPECT_EQ (access->status(), initialStatus());
    EXPECT_EQ (processor.loadedFile, juce::File());
    EXPECT_TRUE (processor.soundCache.empty());
}

TEST_F (ExternalPrograms, OnlyTheLatestDialogCanLoad)
{
    const auto first = writeWav (scratch.dir.getChildFile ("first.wav"), 2000);
    const auto second = writeWav (scratch.dir.getChildFile ("second.wav"), 2000);

    ASSERT_TRUE (click (access->loadButton));
    ASSERT_TRUE (dialogOpened (1));
    ASSERT_TRUE (click (access->loadButton));
    ASSERT_TRUE (dialogOpened (2));

    answer (1, first.getFullPathName());
    answer (2, second.getFullPathName());
    ASSERT_TRUE (pumpUntil ([this] { return access->status().startsWith ("Loaded:"); }));
    EXPECT_EQ (processor.loadedFile, second);

    // The first dialog was dropped with its chooser, so nothing can deliver its answer any more.
    EXPECT_EQ (processor.soundCache.size(), 1u);
}

TEST_F (ExternalPrograms, ClosedEditorIgnoresItsOpenDialog)
{
    const auto file = writeWav (scratch.dir.getChildFile ("late.wav"), 2000);

    ASSERT_TRUE (click (access->loadButton));
    ASSERT_TRUE (dialogOpened (1));
    access.reset();
    editor.reset();

    answer (1, file.getFullPathName());
    pumpFor (300);
    EXPECT_EQ (processor.loadedFile, juce::File());
    EXPECT_TRUE (processor.soundCache.empty());
}

TEST_F (ExternalPrograms, WebPageButtonsOpenTheSitePagesSignedOut)
{
    ASSERT_TRUE (click (access->browseButton));
    ASSERT_TRUE (pumpUntil ([this] { return call ("browser-1").existsAsFile(); }));
    EXPECT_EQ (call ("browser-1").loadFileAsString(), juce::String (siteRootUrl) + "sound-library-preview/");

    ASSERT_TRUE (click (access->accountButton));
    ASSERT_TRUE (pumpUntil ([this] { return call ("browser-2").existsAsFile(); }));
    EXPECT_EQ (call ("browser-2").loadFileAsString(), juce::String (siteRootUrl) + "my-account-2/");

    EXPECT_EQ (access->status(), initialStatus());
}
