// The whole road in the real plug-in window on an X server, against the stand-in service: sign in
// through the browser, list, page, search, play a preview, download an original, play it, see the drag
// button enabled, close. Clicks and keys go in through the window's peer, as the desktop delivers them.
// What the list shows is read back from the X server, where only what the window repainted changes.

#include "editor/TolvaneEditor.h"
#include "library/FlowSupport.h"
#include "library/ScreenGrab.h"
#include "support/DesktopWindow.h"

#include <cstdlib>

using namespace flow;
using testsupport::ignoreXErrorsAsAHostDoes;
using Window = testsupport::DesktopWindow;

struct TolvaneEditorTestAccess
{
    static LibraryPanel& library (TolvaneEditor& e) { return e.library; }
    static juce::Label& playerStatus (TolvaneEditor& e) { return e.playerStatusLabel; }
    static juce::TextButton& playButton (TolvaneEditor& e) { return e.playButton; }
    static juce::TextButton& dragButton (TolvaneEditor& e) { return e.dragButton; }
};

namespace
{
using EditorAccess = TolvaneEditorTestAccess;

// Runs the engine as the audio device would, until it reports playing; returns the loudest sample.
float playBlocks (TolvaneProcessor& processor, int blocks)
{
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    float peak = 0.0f;

    for (int i = 0; i < blocks; ++i)
    {
        buffer.clear();
        processor.processBlock (buffer, midi);
        peak = juce::jmax (peak, buffer.getMagnitude (0, 0, 512), buffer.getMagnitude (1, 0, 512));
    }

    return peak;
}

const juce::String catalogRoute ("v1%2Fcatalog");

// Sounds of the stand-in's demo catalog: four of each kind, numbered in catalog order from firstId;
// the demo account owns every third.
std::vector<CatalogItem> demoSounds (const std::vector<const char*>& kinds, int firstId)
{
    std::vector<CatalogItem> sounds;

    for (const auto* kind : kinds)
    {
        for (int variant = 1; variant <= 4; ++variant)
        {
            const int id = firstId + (int) sounds.size();
            sounds.push_back ({ id, utf8 (kind) + " 0" + juce::String (variant), {}, id % 3 == 0 });
        }
    }

    return sounds;
}

juce::String describe (const std::vector<CatalogItem>& items)
{
    juce::StringArray rows;
    for (const auto& item : items)
        rows.add (juce::String (item.id) + " " + item.name + (item.owned ? " (owned)" : ""));
    return rows.joinIntoString (", ");
}

// The list as it must look with these items, drawn afresh by a panel of the same size on no screen.
juce::Image listDrawnFor (const std::vector<CatalogItem>& items, juce::Rectangle<int> panelBounds, int selectedRow = -1)
{
    LibraryPanel reference ([] (const juce::File&, bool) { return false; });
    LibraryPanelTestAccess r (reference);
    reference.setBounds (panelBounds);
    r.items() = items;
    r.soundList().updateContent();

    if (selectedRow >= 0)
        r.soundList().selectRow (selectedRow);

    return r.soundList().createComponentSnapshot (r.soundList().getLocalBounds(), true, 1.0f);
}

// Waits, bounded, until the window's list on the X server is pixel for pixel the expected image;
// returns the number of pixels that still differ (-1: the screen could not be read).
int differingOnScreen (juce::ListBox& list, const juce::Image& expected)
{
    int differing = -1;
    pumpUntil (
        [&]
        {
            differing = screen::differingPixels (screen::grab (list), expected);
            return differing == 0;
        },
        5000);
    return differing;
}
} // namespace

TEST_F (FlowTest, WholeRoadInTheRealWindow)
{
    ASSERT_NE (std::getenv ("DISPLAY"), nullptr) << "needs an X server (run under Xvfb)";
    ASSERT_TRUE (ignoreXErrorsAsAHostDoes());
    setBrowserConfirms (true);

    TolvaneProcessor processor;
    processor.prepareToPlay (44100.0, 512);
    Window window (processor);
    ASSERT_NE (window.editor, nullptr);
    auto& editor = dynamic_cast<TolvaneEditor&> (*window.editor);
    ASSERT_TRUE (pumpUntil ([&] { return window.peer() != nullptr && editor.isShowing(); }));

    auto& panel = EditorAccess::library (editor);
    LibraryPanelTestAccess a (panel);
    const juce::Component::SafePointer<LibraryPanel> panelAlive (&panel);
    const auto sessionDir = a.sessionDir();
    ASSERT_TRUE (sessionDir.isDirectory());
    // The editor's refresh disables it: nothing is loaded.
    EXPECT_TRUE (pumpUntil ([&] { return ! EditorAccess::dragButton (editor).isEnabled(); }, 2000));

    // Sign in: the browser gets the confirmation page and confirms; the first real poll gets the token.
    ASSERT_TRUE (window.click (a.connectButton()));
    ASSERT_TRUE (
        pumpUntil ([&] { return ! a.busy() && a.status().endsWith ("Buy/unlock sounds on the website."); }, 12000))
        << a.status();
    const auto opened = openedAddresses();
    ASSERT_EQ (opened.size(), 1);
    EXPECT_TRUE (opened[0].startsWith (juce::String (siteRootUrl) + "wp-admin/admin-post.php?"));
    EXPECT_EQ (a.items().size(), 8u);
    EXPECT_TRUE (a.status().contains ("Page 1/5"));

    // Page forward and back.
    ASSERT_TRUE (window.click (a.nextButton()));
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.page(), 2);
    EXPECT_EQ (a.items().front().id, 9);
    ASSERT_TRUE (window.click (a.prevButton()));
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.page(), 1);

    // Search by typing into the box and pressing Return.
    ASSERT_TRUE (window.click (a.searchBox()));
    window.type ("kick");
    EXPECT_EQ (a.searchBox().getText(), "kick");
    const auto searchesBefore = requestsTo (catalogRoute).size();
    window.pressReturn(); // the text box reports Return asynchronously
    ASSERT_TRUE (pumpUntil ([&] { return requestsTo (catalogRoute).size() > searchesBefore; }));
    ASSERT_TRUE (settle (a));
    ASSERT_EQ (a.items().size(), 4u);
    EXPECT_TRUE (a.items()[0].name.startsWith ("Deep Kick"));
    EXPECT_TRUE (requestsTo (catalogRoute).back()["target"].toString().endsWith ("&page=1&search=kick"));

    // A preview of a sound not owned (id 1) plays at once.
    ASSERT_FALSE (a.items()[0].owned);
    ASSERT_TRUE (window.clickRow (a.soundList(), 0));
    ASSERT_EQ (a.soundList().getSelectedRow (0), 0);
    ASSERT_TRUE (a.playPreviewButton().isEnabled());
    EXPECT_FALSE (a.downloadButton().isEnabled());
    ASSERT_TRUE (window.click (a.playPreviewButton()));
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), "Playing one preview. Unlock originals on the website.");
    EXPECT_TRUE (EditorAccess::playerStatus (editor).getText().startsWith ("Loaded: "));
    EXPECT_EQ (processor.loadedFile, sessionDir.getChildFile ("preview-1.wav"));
    EXPECT_GT (playBlocks (processor, 4), 0.01f);
    EXPECT_TRUE (processor.isPlaying.load());
    EXPECT_FALSE (EditorAccess::dragButton (editor).isEnabled());

    // The original of an owned sound (id 3): downloaded, then played with "Play once".
    ASSERT_TRUE (a.items()[2].owned);
    ASSERT_TRUE (window.clickRow (a.soundList(), 2));
    ASSERT_TRUE (a.downloadButton().isEnabled());
    ASSERT_TRUE (window.click (a.downloadButton()));
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), "Owned original loaded. You can drag it into your DAW.");
    const auto original = sessionDir.getChildFile ("owned-3.wav");
    EXPECT_EQ (processor.loadedFile, original);
    EXPECT_TRUE (processor.loadedIsOriginal);
    EXPECT_TRUE (sessionDir.getChildFile ("preview-1.wav").existsAsFile());

    playBlocks (processor, 1); // takes the new sound and the loader's stop
    EXPECT_FALSE (processor.isPlaying.load());
    ASSERT_TRUE (window.click (EditorAccess::playButton (editor)));
    EXPECT_GT (playBlocks (processor, 4), 0.01f);
    EXPECT_TRUE (processor.isPlaying.load());
    EXPECT_TRUE (pumpUntil ([&] { return EditorAccess::dragButton (editor).isEnabled(); }, 2000));
    EXPECT_TRUE (pumpUntil ([&] { return EditorAccess::playButton (editor).getButtonText() != "Play once"; }, 2000));

    // Closing the window takes the panel and its directory with it.
    window.close();
    EXPECT_EQ (panelAlive.getComponent(), nullptr);
    EXPECT_FALSE (sessionDir.exists());
}

// The list on screen follows every change of the catalog on show, also when the row count stays the
// same and no row number or selection changes: Next, a search with as many rows, a click, sign-out.
TEST_F (FlowTest, ListOnScreenShowsTheItemsOnShow)
{
    ASSERT_NE (std::getenv ("DISPLAY"), nullptr) << "needs an X server (run under Xvfb)";
    ASSERT_TRUE (ignoreXErrorsAsAHostDoes());
    setBrowserConfirms (true);

    TolvaneProcessor processor;
    Window window (processor);
    ASSERT_NE (window.editor, nullptr);
    auto& editor = dynamic_cast<TolvaneEditor&> (*window.editor);
    ASSERT_TRUE (pumpUntil ([&] { return window.peer() != nullptr && editor.isShowing(); }));

    auto& panel = EditorAccess::library (editor);
    LibraryPanelTestAccess a (panel);
    auto& list = a.soundList();
    const auto bounds = panel.getBounds();

    ASSERT_TRUE (window.click (a.connectButton()));
    ASSERT_TRUE (
        pumpUntil ([&] { return ! a.busy() && a.status().endsWith ("Buy/unlock sounds on the website."); }, 12000))
        << a.status();

    struct Step
    {
        const char* what;
        std::function<void()> act;
        std::vector<CatalogItem> items;
        const char* status;
        int selectedRow;
    };

    const std::vector<Step> steps = {
        { "first page after sign-in", [] {}, demoSounds ({ "Deep Kick", "Dusty Snare" }, 1), "Page 1/5", -1 },
        { "Next", [&] { EXPECT_TRUE (window.click (a.nextButton())); }, demoSounds ({ "Closed Hat", "Open Hat" }, 9),
          "Page 2/5", -1 },
        { "search for Pad",
          [&]
          {
              EXPECT_TRUE (window.click (a.searchBox()));
              window.type ("Pad");
              const auto searchesBefore = requestsTo (catalogRoute).size();
              window.pressReturn(); // the text box reports Return asynchronously
              EXPECT_TRUE (pumpUntil ([&] { return requestsTo (catalogRoute).size() > searchesBefore; }));
          },
          demoSounds ({ "Warm Pad", "Cr\xc3\xa8me Pad" }, 29), "8 sounds \xc2\xb7 Page 1/1", -1 },
        { "third row clicked", [&] { EXPECT_TRUE (window.clickRow (list, 2)); },
          demoSounds ({ "Warm Pad", "Cr\xc3\xa8me Pad" }, 29), "Page 1/1", 2 },
        { "Disconnect",
          [&] { EXPECT_TRUE (window.click (a.disconnectButton())); },
          {},
          "Disconnected. This session has been revoked.",
          -1 },
    };

    juce::Image previous;

    for (const auto& step : steps)
    {
        SCOPED_TRACE (step.what);
        step.act();
        ASSERT_TRUE (settle (a));
        ASSERT_EQ (describe (a.items()), describe (step.items));
        ASSERT_TRUE (a.status().contains (utf8 (step.status))) << a.status();
        ASSERT_EQ (list.getSelectedRow (0), step.selectedRow);

        const auto expected = listDrawnFor (step.items, bounds, step.selectedRow);
        EXPECT_EQ (differingOnScreen (list, expected), 0)
            << "the list on screen is not the one drawn for " << describe (step.items);
        const auto shown = screen::grab (list);

        if (previous.isValid())
        {
            EXPECT_GT (screen::differingPixels (previous, shown), 0) << "the list on screen did not change";
        }

        previous = shown;
    }
}
