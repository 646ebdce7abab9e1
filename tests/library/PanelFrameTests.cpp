#include "library/LibraryPanel.h"
#include "support/TestSupport.h"
#include "support/ThreadHolds.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

struct LibraryPanelTestAccess
{
    explicit LibraryPanelTestAccess (LibraryPanel& p) : panel (p) {}

    juce::TextButton& connect() { return panel.connectButton; }
    juce::TextButton& disconnect() { return panel.disconnectButton; }
    juce::TextButton& search() { return panel.searchButton; }
    juce::TextButton& prev() { return panel.prevButton; }
    juce::TextButton& next() { return panel.nextButton; }
    juce::TextButton& preview() { return panel.playPreviewButton; }
    juce::TextButton& download() { return panel.downloadButton; }
    juce::TextEditor& searchBox() { return panel.searchBox; }
    juce::ListBox& list() { return panel.soundList; }
    juce::Label& status() { return panel.statusLabel; }
    juce::ThreadPool& pool() { return panel.pool; }
    juce::File sessionDir() const { return panel.sessionDir; }

    // The eight controls that the enabling rule drives, in its order.
    std::vector<juce::Component*> controls()
    {
        return { &connect(), &disconnect(), &search(), &searchBox(), &prev(), &next(), &preview(), &download() };
    }

    std::vector<bool> enabled()
    {
        std::vector<bool> result;
        for (auto* c : controls())
            result.push_back (c->isEnabled());
        return result;
    }

    void signIn() { panel.accessToken = juce::String::repeatedString ("a", 64); }
    void setBusy (bool b) { panel.busy = b; }
    void setPages (int page, int total)
    {
        panel.page = page;
        panel.totalPages = total;
    }
    void startPolling() { static_cast<juce::Timer&> (panel).startTimer (60 * 1000); }
    void stopPolling() { static_cast<juce::Timer&> (panel).stopTimer(); }
    bool polling() { return static_cast<juce::Timer&> (panel).isTimerRunning(); }

    void setItems (std::vector<CatalogItem> items)
    {
        panel.items = std::move (items);
        panel.soundList.updateContent();
    }
    std::vector<CatalogItem>& items() { return panel.items; }

    void update() { panel.updateButtons(); }

    LibraryPanel& panel;
};

namespace
{
::testing::Environment* const frameworkEnvironment =
    ::testing::AddGlobalTestEnvironment (new testsupport::FrameworkEnvironment);

LibraryPanel::SoundReady refuseEverything()
{
    return [] (const juce::File&, bool) { return false; };
}

const juce::String trustedPreview = juce::String (siteRootUrl) + "wp-content/uploads/previews/12-kick.wav";

struct Panel : ::testing::Test
{
    LibraryPanel panel{ refuseEverything() };
    LibraryPanelTestAccess access{ panel };
};
} // namespace

TEST_F (Panel, NewPanelOffersOnlyConnect)
{
    EXPECT_EQ (access.status().getText(), "Connect your Brevant account to browse your sound library.");
    EXPECT_EQ (access.list().getModel(), &panel);
    EXPECT_EQ (panel.getNumRows(), 0);
    EXPECT_EQ (access.enabled(), (std::vector<bool>{ true, false, false, false, false, false, false, false }));
    EXPECT_TRUE (access.list().isEnabled());
    EXPECT_TRUE (access.status().isEnabled());
    EXPECT_FALSE (access.polling());
    EXPECT_EQ (access.pool().getNumThreads(), 1);

    EXPECT_EQ (access.connect().getButtonText(), "Connect account");
    EXPECT_EQ (access.disconnect().getButtonText(), "Disconnect");
    EXPECT_EQ (access.search().getButtonText(), "Search");
    EXPECT_EQ (access.prev().getButtonText(), "Previous");
    EXPECT_EQ (access.next().getButtonText(), "Next");
    EXPECT_EQ (access.preview().getButtonText(), "Play preview");
    EXPECT_EQ (access.download().getButtonText(), "Download unlocked sound");
    EXPECT_EQ (access.list().getName(), "Sounds");
}

TEST_F (Panel, ChildrenControlsAndCallbacksAreSetUp)
{
    const juce::Component* order[] = { &access.connect(), &access.disconnect(), &access.search(),   &access.prev(),
                                       &access.next(),    &access.preview(),    &access.download(), &access.searchBox(),
                                       &access.list(),    &access.status() };
    ASSERT_EQ (panel.getNumChildComponents(), 10);
    for (int i = 0; i < 10; ++i)
    {
        EXPECT_EQ (panel.getChildComponent (i), order[i]) << i;
        EXPECT_TRUE (order[i]->isVisible()) << i;
    }

    EXPECT_EQ (access.searchBox().getTextToShowWhenEmpty(), "Search sound names");
    EXPECT_FALSE (access.searchBox().isMultiLine());
    EXPECT_EQ (access.searchBox().getPasswordCharacter(), 0u);
    EXPECT_EQ (access.list().getRowHeight(), 28);
    EXPECT_EQ (access.list().findColour (juce::ListBox::backgroundColourId), juce::Colour (0xff111e2au));

    for (auto* b : { &access.connect(), &access.disconnect(), &access.search(), &access.prev(), &access.next(),
                     &access.preview(), &access.download() })
        EXPECT_TRUE (b->onClick != nullptr) << b->getButtonText();
    EXPECT_TRUE (access.searchBox().onReturnKey != nullptr);
}

TEST_F (Panel, SearchBoxKeepsAtMost120CharactersOfAnyKind)
{
    access.signIn();
    access.update();

    auto& box = access.searchBox();
    const auto typed =
        juce::String::fromUTF8 ("Kick & Snare \xc3\xa9t\xc3\xa9 #1 / 100% ") + juce::String::repeatedString ("x", 130);
    for (auto c : typed)
        box.keyPressed (juce::KeyPress (0, juce::ModifierKeys(), c));

    EXPECT_EQ (box.getText().length(), 120);
    EXPECT_EQ (box.getText(), typed.substring (0, 120));

    // Pasting past the limit is cut off the same way.
    box.clear();
    box.insertTextAtCaret (juce::String::repeatedString ("ab", 100));
    EXPECT_EQ (box.getText(), juce::String::repeatedString ("ab", 60));
}

TEST_F (Panel, LayoutFollowsTheSizeAndClampsAtSmallSizes)
{
    using R = juce::Rectangle<int>;
    const struct
    {
        int width, height;
        std::vector<R> bounds; // connect, disconnect, searchBox, search, status, list, prev, next, preview, download
    } cases[] = {
        { 912,
          295,
          { R (0, 0, 150, 32), R (150, 0, 110, 32), R (268, 0, 546, 32), R (822, 0, 90, 32), R (0, 32, 912, 38),
            R (0, 74, 912, 183), R (0, 261, 90, 34), R (90, 261, 90, 34), R (532, 261, 160, 34),
            R (692, 261, 220, 34) } },
        { 300,
          100,
          { R (0, 0, 150, 32), R (150, 0, 110, 32), R (268, 0, 0, 32), R (260, 0, 40, 32), R (0, 32, 300, 38),
            R (0, 74, 300, 0), R (0, 70, 90, 30), R (90, 70, 90, 30), R (180, 70, 0, 30), R (180, 70, 120, 30) } },
        { 200,
          60,
          { R (0, 0, 150, 32), R (150, 0, 50, 32), R (208, 0, 0, 32), R (200, 0, 0, 32), R (0, 32, 200, 28),
            R (0, 64, 200, 0), R (0, 60, 90, 0), R (90, 60, 90, 0), R (180, 60, 0, 0), R (180, 60, 20, 0) } },
    };

    for (const auto& c : cases)
    {
        panel.setSize (c.width, c.height);
        const juce::Component* children[] = { &access.connect(), &access.disconnect(), &access.searchBox(),
                                              &access.search(),  &access.status(),     &access.list(),
                                              &access.prev(),    &access.next(),       &access.preview(),
                                              &access.download() };
        for (size_t i = 0; i < std::size (children); ++i)
            EXPECT_EQ (children[i]->getBounds(), c.bounds[i]) << c.width << "x" << c.height << " child " << i;
    }
}

TEST_F (Panel, EnablingFollowsSignInBusyPageAndSelection)
{
    // connect, disconnect, search, searchBox, prev, next, preview, download
    using E = std::vector<bool>;
    const E none (8, false);

    // Polling a sign-in: only the way out.
    access.startPolling();
    access.update();
    EXPECT_EQ (access.enabled(), (E{ false, true, false, false, false, false, false, false }));
    access.setBusy (true);
    access.update();
    EXPECT_EQ (access.enabled(), none);
    access.setBusy (false);
    access.stopPolling();

    access.signIn();
    const struct
    {
        int page, total;
        bool prev, next;
    } pages[] = { { 1, 1, false, false }, { 2, 3, true, true }, { 3, 3, true, false }, { 1, 4, false, true } };
    for (const auto& p : pages)
    {
        access.setPages (p.page, p.total);
        access.update();
        EXPECT_EQ (access.enabled(), (E{ false, true, true, true, p.prev, p.next, false, false }))
            << p.page << " of " << p.total;
    }

    // Busy wins over everything, also over a sign-in being polled; rows can still be chosen.
    access.setPages (2, 3);
    access.startPolling();
    access.setBusy (true);
    access.update();
    EXPECT_EQ (access.enabled(), none);
    EXPECT_TRUE (access.list().isEnabled());
    access.setBusy (false);
    access.stopPolling();
}

TEST_F (Panel, RowButtonsFollowTheSelectedItem)
{
    const auto elsewhere = juce::String ("https://cdn.example.org/previews/1.wav");
    access.signIn();
    access.setItems ({ { 1, "Owned, trusted", trustedPreview, true },
                       { 2, "Owned, foreign preview", elsewhere, true },
                       { 3, "Not owned, trusted", trustedPreview, false },
                       { 4, "Not owned, no preview", "", false } });
    access.update();

    auto previewAndDownload = [this] {
        return std::pair{ access.preview().isEnabled(), access.download().isEnabled() };
    };
    EXPECT_EQ (previewAndDownload(), std::pair (false, false)) << "no row selected";

    const struct
    {
        int row;
        bool preview, download;
    } rows[] = { { 0, true, true }, { 1, false, true }, { 2, true, false }, { 3, false, false } };

    // Selecting a row is what updates the buttons.
    for (const auto& r : rows)
    {
        access.list().selectRow (r.row);
        EXPECT_EQ (previewAndDownload(), std::pair (r.preview, r.download)) << "row " << r.row;
    }

    // A selection beyond the items on show enables neither.
    access.list().selectRow (0);
    ASSERT_EQ (previewAndDownload(), std::pair (true, true));
    access.list().selectRow (3);
    access.items().resize (2);
    access.update();
    EXPECT_EQ (access.list().getSelectedRow(), 3);
    EXPECT_EQ (previewAndDownload(), std::pair (false, false));

    // Signed in but busy, or signed out, a valid selection enables neither either.
    access.setItems ({ { 1, "Owned, trusted", trustedPreview, true } });
    access.list().selectRow (0);
    ASSERT_EQ (previewAndDownload(), std::pair (true, true));
    access.setBusy (true);
    access.update();
    EXPECT_EQ (previewAndDownload(), std::pair (false, false));
    access.setBusy (false);
}

TEST (PreviewAddress, OnlyTheSiteItselfIsTrusted)
{
    const juce::String root (siteRootUrl);
    const juce::String host (siteHost);

    const struct
    {
        juce::String url;
        bool trusted;
    } cases[] = {
        { root + "wp-content/uploads/previews/12-kick.wav", true },
        { root + "?rest_route=/brv-tolvane/v1/preview&id=3", true },
        { root + "previews/a%20b.wav#start", true },
        { root, true },
        { "https://" + host.toUpperCase() + "/previews/1.wav", false },
        { "HTTPS://" + host + "/previews/1.wav", false },
        { "http://" + host + "/previews/1.wav", false },
        { "https://" + host + ":443/previews/1.wav", false },
        { "https://" + host + ":8443/previews/1.wav", false },
        { "https://" + host + ".evil.example/previews/1.wav", false },
        { "https://cdn." + host + "/previews/1.wav", false },
        { "https://evil.example/" + root, false },
        { "https://" + host, false },
        { root + "@evil.example/1.wav", false },
        { "https://user@" + host + "/previews/1.wav", false },
        { root + "previews/1.wav?from=a@b", false },
        { root + "previews\\1.wav", false },
        { root + "\\\\evil.example\\1.wav", false },
        { " " + root + "previews/1.wav", false },
        { "", false },
    };

    for (const auto& c : cases)
        EXPECT_EQ (isTrustedPreviewUrl (c.url), c.trusted) << c.url;
}

namespace
{
// A temporary folder of the test's own: the panel's directory name depends on what is in it,
// and other tests running at the same time use the machine's.
struct OwnTempFolder : ::testing::Test
{
    void SetUp() override
    {
        const char* previous = std::getenv ("TMPDIR");
        if (previous != nullptr)
            savedTmpDir = previous;

        folder = juce::File (previous != nullptr ? previous : "/tmp")
                     .getNonexistentChildFile ("tolvane-panel-test", "", false);
        ASSERT_TRUE (folder.createDirectory());
        setenv ("TMPDIR", folder.getFullPathName().toRawUTF8(), 1);
        ASSERT_EQ (juce::File::getSpecialLocation (juce::File::tempDirectory), folder);
    }

    void TearDown() override
    {
        if (savedTmpDir)
            setenv ("TMPDIR", savedTmpDir->c_str(), 1);
        else
            unsetenv ("TMPDIR");
        folder.deleteRecursively (false);
    }

    juce::File child (const char* name) const { return folder.getChildFile (name); }

    juce::File folder;
    std::optional<std::string> savedTmpDir;
};
} // namespace

TEST_F (OwnTempFolder, PanelMakesItsDirectoryAndRemovesItWithEverythingInIt)
{
    juce::File dir;
    {
        LibraryPanel panel (refuseEverything());
        dir = LibraryPanelTestAccess (panel).sessionDir();
        EXPECT_EQ (dir, child ("brevant-tolvane"));
        ASSERT_TRUE (dir.isDirectory());

        ASSERT_TRUE (dir.getChildFile ("owned-4.wav").replaceWithText ("RIFF"));
        ASSERT_TRUE (dir.getChildFile ("nested").createDirectory());
        ASSERT_TRUE (dir.getChildFile ("nested/preview-4.wav").replaceWithText ("RIFF"));
    }
    EXPECT_FALSE (dir.exists());
    EXPECT_EQ (folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
}

TEST_F (OwnTempFolder, TakenNamesAreSkippedAndLeftAlone)
{
    // A file of that name, then a directory of the next one.
    ASSERT_TRUE (child ("brevant-tolvane").replaceWithText ("someone else's"));
    {
        LibraryPanel panel (refuseEverything());
        EXPECT_EQ (LibraryPanelTestAccess (panel).sessionDir(), child ("brevant-tolvane(2)"));
        EXPECT_TRUE (child ("brevant-tolvane(2)").isDirectory());
    }
    EXPECT_EQ (child ("brevant-tolvane").loadFileAsString(), "someone else's");
    EXPECT_FALSE (child ("brevant-tolvane(2)").exists());

    ASSERT_TRUE (child ("brevant-tolvane").deleteFile());
    ASSERT_TRUE (child ("brevant-tolvane").createDirectory());
    ASSERT_TRUE (child ("brevant-tolvane/keep.wav").replaceWithText ("kept"));
    ASSERT_TRUE (child ("brevant-tolvane(2)").replaceWithText ("also taken"));
    {
        LibraryPanel panel (refuseEverything());
        EXPECT_EQ (LibraryPanelTestAccess (panel).sessionDir(), child ("brevant-tolvane(3)"));
    }
    EXPECT_EQ (child ("brevant-tolvane/keep.wav").loadFileAsString(), "kept");
    EXPECT_EQ (child ("brevant-tolvane(2)").loadFileAsString(), "also taken");
    EXPECT_FALSE (child ("brevant-tolvane(3)").exists());
}

namespace
{
namespace fs = std::filesystem;

fs::path pathOf (const juce::File& f) { return f.getFullPathName().toStdString(); }

using testsupport::modeOf;
using testsupport::OpenUmask;

} // namespace

TEST_F (OwnTempFolder, DirectoryIsPrivateToItsOwner)
{
    OpenUmask open;
    ASSERT_TRUE (child ("probe").createDirectory());
    ASSERT_EQ (modeOf (child ("probe")), "0777") << "the framework's own directories are open";

    LibraryPanel panel (refuseEverything());
    const auto dir = LibraryPanelTestAccess (panel).sessionDir();
    EXPECT_EQ (dir, child ("brevant-tolvane"));
    ASSERT_TRUE (fs::is_directory (fs::symlink_status (pathOf (dir))));
    EXPECT_EQ (modeOf (dir), "0700");
}

TEST_F (OwnTempFolder, LinksOfTheNameAreTakenAndLeftAlone)
{
    // A link to someone's folder, and one that points nowhere yet: whoever owns its target could
    // make it later and receive the downloads.
    const auto target = child ("their-folder");
    ASSERT_TRUE (target.createDirectory());
    ASSERT_TRUE (target.getChildFile ("theirs.txt").replaceWithText ("theirs"));
    const auto notYet = child ("not-yet");

    struct Case
    {
        const char* what;
        juce::File linkTarget;
    };

    for (const auto& c : { Case{ "link to a folder", target }, Case{ "dangling link", notYet } })
    {
        SCOPED_TRACE (c.what);
        ASSERT_TRUE (c.linkTarget.createSymbolicLink (child ("brevant-tolvane"), true));
        {
            LibraryPanel panel (refuseEverything());
            const auto dir = LibraryPanelTestAccess (panel).sessionDir();
            EXPECT_EQ (dir.getFullPathName(), child ("brevant-tolvane(2)").getFullPathName());
            EXPECT_TRUE (fs::is_directory (fs::symlink_status (pathOf (dir))));
            EXPECT_EQ (modeOf (dir), "0700");
        }
        EXPECT_TRUE (child ("brevant-tolvane").isSymbolicLink());
        EXPECT_EQ (child ("brevant-tolvane").getLinkedTarget().getFullPathName(), c.linkTarget.getFullPathName());
        EXPECT_FALSE (child ("brevant-tolvane(2)").exists());
        ASSERT_TRUE (child ("brevant-tolvane").deleteFile());
    }

    EXPECT_EQ (target.getChildFile ("theirs.txt").loadFileAsString(), "theirs");
    EXPECT_EQ (target.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1);
    EXPECT_FALSE (notYet.exists());
}

TEST_F (OwnTempFolder, AnotherUsersFolderOfTheNameIsTaken)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";

    // Open to all, so that nothing but its owner stops the panel from using it.
    OpenUmask open;
    const auto theirs = child ("brevant-tolvane");
    ASSERT_TRUE (theirs.createDirectory());
    ASSERT_EQ (::chown (theirs.getFullPathName().toRawUTF8(), 65534, 65534), 0);
    {
        LibraryPanel panel (refuseEverything());
        EXPECT_EQ (LibraryPanelTestAccess (panel).sessionDir().getFullPathName(),
                   child ("brevant-tolvane(2)").getFullPathName());
    }
    EXPECT_TRUE (theirs.isDirectory());
    EXPECT_EQ (theirs.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
    struct stat info
    {
    };
    ASSERT_EQ (::stat (theirs.getFullPathName().toRawUTF8(), &info), 0);
    EXPECT_EQ (info.st_uid, 65534u);
}

TEST_F (OwnTempFolder, TwoPanelsKeepTwoDirectories)
{
    auto first = std::make_unique<LibraryPanel> (refuseEverything());
    auto second = std::make_unique<LibraryPanel> (refuseEverything());
    const auto firstDir = LibraryPanelTestAccess (*first).sessionDir();
    const auto secondDir = LibraryPanelTestAccess (*second).sessionDir();

    EXPECT_EQ (firstDir, child ("brevant-tolvane"));
    EXPECT_EQ (secondDir, child ("brevant-tolvane(2)"));
    ASSERT_TRUE (firstDir.getChildFile ("owned-1.wav").replaceWithText ("first"));
    ASSERT_TRUE (secondDir.getChildFile ("owned-1.wav").replaceWithText ("second"));

    second.reset();
    EXPECT_FALSE (secondDir.exists());
    EXPECT_EQ (firstDir.getChildFile ("owned-1.wav").loadFileAsString(), "first");

    first.reset();
    EXPECT_FALSE (firstDir.exists());
}

TEST_F (OwnTempFolder, LinksInsideAreRemovedButNotFollowed)
{
    const auto outside = child ("outside");
    ASSERT_TRUE (outside.createDirectory());
    ASSERT_TRUE (outside.getChildFile ("precious.wav").replaceWithText ("keep me"));
    const auto outsideFile = child ("single.wav");
    ASSERT_TRUE (outsideFile.replaceWithText ("keep me too"));

    juce::File dir;
    {
        LibraryPanel panel (refuseEverything());
        dir = LibraryPanelTestAccess (panel).sessionDir();
        ASSERT_TRUE (outside.createSymbolicLink (dir.getChildFile ("link-to-dir"), false));
        ASSERT_TRUE (outsideFile.createSymbolicLink (dir.getChildFile ("link-to-file"), false));
        ASSERT_TRUE (dir.getChildFile ("link-to-dir").isSymbolicLink());
    }

    EXPECT_FALSE (dir.exists());
    EXPECT_EQ (outside.getChildFile ("precious.wav").loadFileAsString(), "keep me");
    EXPECT_EQ (outsideFile.loadFileAsString(), "keep me too");
}

TEST_F (OwnTempFolder, MissingTempFolderLeavesAWorkingPanel)
{
    // The directory cannot be made: the panel still comes up, names it, and goes quietly.
    const auto blocker = child ("not-a-folder");
    ASSERT_TRUE (blocker.replaceWithText ("x"));
    setenv ("TMPDIR", blocker.getChildFile ("sub").getFullPathName().toRawUTF8(), 1);
    {
        LibraryPanel panel (refuseEverything());
        LibraryPanelTestAccess access (panel);
        EXPECT_EQ (access.sessionDir(), blocker.getChildFile ("sub/brevant-tolvane"));
        EXPECT_FALSE (access.sessionDir().exists());
        EXPECT_TRUE (access.connect().isEnabled());
    }
    EXPECT_EQ (blocker.loadFileAsString(), "x");
}

namespace
{
// Twice what the framework waited for a pool's thread before it killed it.
constexpr int holdMs = 1000;

// Runs until it is told to stop; its deletion then holds its thread past the pool's stop. The pool deletes
// a finished job after it has let go of it, when its destructor no longer waits for the job.
class JobThatEndsLate : public juce::ThreadPoolJob, private juce::Thread::Listener
{
public:
    JobThatEndsLate (const testsupport::FrameworkLog& logToUse, juce::WaitableEvent& runningNow,
                     std::atomic<bool>& heldThere, std::atomic<bool>& endedThere)
        : juce::ThreadPoolJob ("ends late"), log (logToUse), running (runningNow), held (heldThere), ended (endedThere)
    {
        addListener (this);
    }

    ~JobThatEndsLate() override
    {
        removeListener (this);
        held = testsupport::holdThisThreadPastItsStop (log, holdMs);
        ended = true;
    }

    JobStatus runJob() override
    {
        running.signal();
        told.wait (10000);
        return jobHasFinished;
    }

private:
    void exitSignalSent() override { told.signal(); }

    const testsupport::FrameworkLog& log;
    juce::WaitableEvent& running;
    std::atomic<bool>& held;
    std::atomic<bool>& ended;
    juce::WaitableEvent told;
};
} // namespace

// However late a pool's thread runs, the pool's destructor waits for it and never kills it.
TEST (ThreadStops, PoolWaitsForAThreadHeldPastItsStop)
{
    const testsupport::FrameworkLog log;
    juce::WaitableEvent running;
    std::atomic<bool> held{ false }, ended{ false };

    {
        juce::ThreadPool pool (1);
        pool.addJob (new JobThatEndsLate (log, running, held, ended), true);
        ASSERT_TRUE (running.wait (10000));
    }

    EXPECT_EQ (log.forcedKills(), 0);
    EXPECT_TRUE (held);
    EXPECT_TRUE (ended) << "the pool's destructor returned while its thread still ran";
}

// The panel's destructor ends its request thread cleanly and returns, however late that thread, or every
// thread but the message thread, runs. Held from outside, from before the destructor until well after the
// framework's old 500 ms.
TEST (ThreadStops, PanelWaitsForItsIdleThreadsHoweverLateTheyRun)
{
    for (const bool everyThread : { false, true })
    {
        SCOPED_TRACE (everyThread ? "every thread but the message thread" : "the request thread");
        const testsupport::FrameworkLog log;
        auto panel = std::make_unique<LibraryPanel> (refuseEverything());
        pid_t requestThread = 0;
        // The thread names itself once it runs.
        ASSERT_TRUE (
            testsupport::pumpUntil ([&] { return (requestThread = testsupport::threadNamed ("Pool")) != 0; }, 5000));

        std::vector<pid_t> threads{ requestThread };

        if (everyThread)
        {
            threads.clear();

            for (auto t : testsupport::threadsOfThisProcess())
                if (t != testsupport::thisThread())
                    threads.push_back (t);
        }

        testsupport::ThreadHold hold (threads, holdMs);
        ASSERT_TRUE (hold.holding()) << hold.error;

        panel.reset();

        EXPECT_TRUE (hold.released()) << "the destructor returned while its thread was held";
        EXPECT_EQ (log.forcedKills(), 0);
    }
}
