// Previews and owned downloads, saved in the panel's directory and loaded into a real sound engine.

#include "library/FlowSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace flow;

namespace
{
const juce::String loadedOriginal ("Owned original loaded. You can drag it into your DAW.");
const juce::String playingPreview ("Playing one preview. Unlock originals on the website.");
const juce::String notLoaded ("Audio could not be loaded. See the player status above.");
const juce::String emptyAudio ("Empty or invalid audio response.");
const juce::String noPreview ("No preview is available for this sound.");
const juce::String incomplete ("Download incomplete. Try again.");
const juce::String cannotSave ("Cannot save the temporary sound file.");

juce::String previewUrlOf (int id)
{
    return juce::String (siteRootUrl) + "wp-content/uploads/brevant-previews/preview-" + juce::String (id) + ".wav";
}

juce::String downloadRoute (int id) { return "v1%2Fdownload%2F" + juce::String (id); }
juce::String previewRoute (int id) { return "preview-" + juce::String (id) + ".wav"; }

// A valid mono WAV file of exactly `size` bytes, from the stand-in.
juce::String wavFault (int size, int status = 200)
{
    return R"({"type":"reply","status":)" + juce::String (status) + R"(,"body_size":)" + juce::String (size) +
           R"(,"fill":"wav"})";
}

juce::String bytesFault (int size)
{
    return R"({"type":"reply","status":200,"body_size":)" + juce::String (size) + R"(,"fill":"bytes"})";
}

void showItems (LibraryPanelTestAccess& a, std::vector<CatalogItem> items, int selected)
{
    a.items() = std::move (items);
    a.soundList().updateContent();

    if (selected < 0)
        a.soundList().deselectAllRows();
    else
        a.soundList().selectRow (selected);
}

CatalogItem item42() { return { 42, "Forty-two", previewUrlOf (42), true }; }

juce::StringArray filesIn (const juce::File& dir)
{
    juce::StringArray names;
    for (const auto& f : dir.findChildFiles (juce::File::findFilesAndDirectories, false))
        names.add (f.getFileName());
    names.sort (false);
    return names;
}
} // namespace

TEST_F (FlowTest, OriginalAndPreviewAreKeptSideBySide)
{
    Rig rig;
    auto& a = *rig.access;
    const auto token = StandIn::issueToken();
    a.signInWith (token);
    showItems (a, { item42() }, 0);
    ASSERT_TRUE (a.downloadButton().isEnabled());
    ASSERT_TRUE (a.playPreviewButton().isEnabled());
    ASSERT_TRUE (StandIn::addFault (downloadRoute (42), wavFault (8044)));
    ASSERT_TRUE (StandIn::addFault (previewRoute (42), wavFault (4044)));
    const auto dir = a.sessionDir();

    a.panel.downloadSelected (true);
    EXPECT_EQ (a.status(), utf8 ("Checking ownership and downloading\xe2\x80\xa6"));
    EXPECT_TRUE (a.busy());
    EXPECT_FALSE (a.downloadButton().isEnabled());
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), loadedOriginal);

    const auto owned = dir.getChildFile ("owned-42.wav");
    EXPECT_EQ (owned.getSize(), 8044);
    ASSERT_EQ (rig.handed.size(), 1u);
    EXPECT_EQ (rig.handed[0].file, owned);
    EXPECT_TRUE (rig.handed[0].original);
    EXPECT_TRUE (rig.handed[0].loaderText.startsWith ("Loaded: ")) << rig.handed[0].loaderText;
    EXPECT_EQ (rig.processor.loadedFile, owned);
    EXPECT_TRUE (rig.processor.loadedIsOriginal);

    a.panel.downloadSelected (false);
    EXPECT_EQ (a.status(), utf8 ("Loading preview\xe2\x80\xa6"));
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), playingPreview);

    const auto preview = dir.getChildFile ("preview-42.wav");
    EXPECT_EQ (preview.getSize(), 4044);
    EXPECT_EQ (owned.getSize(), 8044);
    EXPECT_EQ (filesIn (dir), juce::StringArray ({ "owned-42.wav", "preview-42.wav" }));
    ASSERT_EQ (rig.handed.size(), 2u);
    EXPECT_FALSE (rig.handed[1].original);
    EXPECT_EQ (rig.processor.loadedFile, preview);
    EXPECT_FALSE (rig.processor.loadedIsOriginal);

    // A download changes neither the list nor its selection.
    EXPECT_EQ (a.items().size(), 1u);
    EXPECT_EQ (a.soundList().getSelectedRow (0), 0);
    EXPECT_TRUE (a.downloadButton().isEnabled());

    // The token goes with the original only.
    const auto originals = requestsTo (downloadRoute (42));
    const auto previews = requestsTo (previewRoute (42));
    ASSERT_EQ (originals.size(), 1u);
    ASSERT_EQ (previews.size(), 1u);
    EXPECT_EQ (originals[0]["method"].toString(), "GET");
    EXPECT_EQ (headerOf (originals[0], "Authorization"), "Bearer " + token);
    EXPECT_EQ (previews[0]["method"].toString(), "GET");
    EXPECT_FALSE (hasHeader (previews[0], "Authorization"));
    EXPECT_EQ (previews[0]["target"].toString(), "/wp-content/uploads/brevant-previews/preview-42.wav");

    // The directory goes with the panel.
    rig.panel.reset();
    EXPECT_FALSE (dir.exists());
}

TEST_F (FlowTest, FetchingAgainReplacesTheFile)
{
    Rig rig;
    auto& a = *rig.access;
    a.signInWith (StandIn::issueToken());
    showItems (a, { item42() }, 0);
    ASSERT_TRUE (StandIn::addFault (previewRoute (42), wavFault (3000)));
    ASSERT_TRUE (StandIn::addFault (previewRoute (42), wavFault (5000)));

    for (int i = 0; i < 2; ++i)
    {
        a.panel.downloadSelected (false);
        ASSERT_TRUE (settle (a));
        EXPECT_EQ (a.status(), playingPreview);
    }

    ASSERT_EQ (rig.handed.size(), 2u);
    EXPECT_EQ (rig.handed[0].sizeWhenHanded, 3000);
    EXPECT_EQ (rig.handed[1].sizeWhenHanded, 5000);
    EXPECT_EQ (a.sessionDir().getChildFile ("preview-42.wav").getSize(), 5000);
    EXPECT_EQ (filesIn (a.sessionDir()), juce::StringArray ({ "preview-42.wav" }));
}

// Other local users can read neither the folder nor the sounds in it, whatever the process lets them.
TEST_F (FlowTest, DownloadsAreReadableByTheirOwnerOnly)
{
    const OpenUmask open;
    Rig rig;
    auto& a = *rig.access;
    a.signInWith (StandIn::issueToken());
    showItems (a, { item42() }, 0);
    ASSERT_TRUE (StandIn::addFault (downloadRoute (42), wavFault (8044)));
    ASSERT_TRUE (StandIn::addFault (previewRoute (42), wavFault (4044), 2));
    ASSERT_TRUE (StandIn::addFault (downloadRoute (42), bytesFault (100)));

    const auto dir = a.sessionDir();
    const auto preview = dir.getChildFile ("preview-42.wav");

    struct Step
    {
        bool original;
        juce::String status;
    };

    // An original, a preview, the preview again (a new file replaces it), and an original that does
    // not load, which brings the earlier one back.
    for (const auto& step : { Step{ true, loadedOriginal }, Step{ false, playingPreview },
                              Step{ false, playingPreview }, Step{ true, notLoaded } })
    {
        a.panel.downloadSelected (step.original);
        ASSERT_TRUE (settle (a));
        EXPECT_EQ (a.status(), step.status);
        EXPECT_EQ (modeOf (dir), "0700");

        for (const auto& name : filesIn (dir))
            EXPECT_EQ (modeOf (dir.getChildFile (name)), "0600") << name;
    }

    EXPECT_EQ (filesIn (dir), juce::StringArray ({ "owned-42.wav", "preview-42.wav" }));
    EXPECT_EQ (rig.processor.loadedFile, preview);
}

// Replies that hold no sound, or one that does not load.
TEST_F (FlowTest, RepliesWithoutALoadableSound)
{
    struct Case
    {
        const char* name;
        bool original;
        juce::String fault;
        juce::String status;
        bool handedOver;
    };

    const Case cases[] = {
        { "11 bytes", true, bytesFault (11), emptyAudio, false },
        { "no bytes", false, bytesFault (0), emptyAudio, false },
        { "a WAV with status 202", true, wavFault (4044, 202), emptyAudio, false },
        { "12 bytes that are no sound", true, bytesFault (12), notLoaded, true },
        { "12 bytes that are no sound, preview", false, bytesFault (12), notLoaded, true },
        // Cut short by the transport: nothing of it may reach the engine or the folder.
        { "a WAV sent chunked and reset after 3,000 of 8,924 bytes", true,
          R"({"type":"reply","status":200,"body_size":8924,"fill":"wav","content_length":"chunked","reset_after":3000})",
          incomplete, false },
        { "26 of 1,000 declared bytes, closed together with the head", true,
          R"({"type":"reply","status":200,"body_size":26,"fill":"bytes","content_length":1000})", incomplete, false },
        { "refused", true, replyFault (403, R"({"message":"This sound is not unlocked for your account."})"),
          "This sound is not unlocked for your account.", false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        Rig rig;
        auto& a = *rig.access;
        a.signInWith (StandIn::issueToken());
        showItems (a, { item42() }, 0);
        ASSERT_TRUE (StandIn::addFault (c.original ? downloadRoute (42) : previewRoute (42), c.fault));

        a.panel.downloadSelected (c.original);
        ASSERT_TRUE (settle (a, 15000));
        EXPECT_EQ (a.status(), c.status);
        EXPECT_EQ (filesIn (a.sessionDir()), juce::StringArray()) << "nothing stays behind";
        ASSERT_EQ (rig.handed.size(), c.handedOver ? 1u : 0u);

        if (c.handedOver)
        {
            EXPECT_EQ (rig.handed[0].sizeWhenHanded, 12);
            EXPECT_EQ (rig.handed[0].original, c.original);
            EXPECT_FALSE (rig.handed[0].loaderText.startsWith ("Loaded:"));
        }
    }
}

// A failed fetch of a sound that was loaded before leaves the earlier file in place: the engine still
// holds it as its sound, to be dragged out.
TEST_F (FlowTest, FailedRefetchKeepsTheEarlierFile)
{
    Rig rig;
    auto& a = *rig.access;
    a.signInWith (StandIn::issueToken());
    showItems (a, { item42() }, 0);
    ASSERT_TRUE (StandIn::addFault (downloadRoute (42), wavFault (8044)));
    ASSERT_TRUE (StandIn::addFault (downloadRoute (42), bytesFault (100)));

    a.panel.downloadSelected (true);
    ASSERT_TRUE (settle (a));
    ASSERT_EQ (a.status(), loadedOriginal);
    const auto owned = a.sessionDir().getChildFile ("owned-42.wav");
    juce::MemoryBlock before;
    ASSERT_TRUE (owned.loadFileAsData (before));

    a.panel.downloadSelected (true);
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), notLoaded);
    ASSERT_EQ (rig.handed.size(), 2u);
    EXPECT_EQ (rig.handed[1].sizeWhenHanded, 100);

    juce::MemoryBlock after;
    ASSERT_TRUE (owned.loadFileAsData (after));
    EXPECT_EQ (after, before);
    EXPECT_EQ (rig.processor.loadedFile, owned);
    EXPECT_TRUE (rig.processor.loadedFile.existsAsFile());
    EXPECT_EQ (filesIn (a.sessionDir()), juce::StringArray ({ "owned-42.wav" }));
}

TEST_F (FlowTest, UntrustedPreviewOrUnownedOriginalSendsNothing)
{
    Rig rig;
    auto& a = *rig.access;
    a.signInWith (StandIn::issueToken());

    const juce::String untrusted[] = {
        "https://other.example/wp-content/uploads/brevant-previews/preview-42.wav",
        juce::String (siteRootUrl) + "wp-content/uploads/x.wav?u=a@b",
        juce::String (siteRootUrl) + "wp-content\\x.wav",
        "https://" + juce::String (siteHost).toUpperCase() + "/preview-42.wav",
        "",
    };

    for (const auto& url : untrusted)
    {
        SCOPED_TRACE (url);
        showItems (a, { { 42, "Forty-two", url, false } }, 0);
        a.panel.updateButtons();
        EXPECT_FALSE (a.playPreviewButton().isEnabled());
        EXPECT_FALSE (a.downloadButton().isEnabled());

        a.panel.downloadSelected (false);
        EXPECT_EQ (a.status(), noPreview);
        EXPECT_FALSE (a.busy());

        // Not owned: the download action says nothing and sends nothing.
        a.panel.downloadSelected (true);
        EXPECT_EQ (a.status(), noPreview);
        EXPECT_FALSE (a.busy());
    }

    // Nothing selected, or signed out: no action at all.
    showItems (a, { item42() }, -1);
    a.panel.downloadSelected (false);
    a.panel.downloadSelected (true);
    EXPECT_FALSE (a.busy());
    a.soundList().selectRow (0);
    a.accessToken().clear();
    a.panel.downloadSelected (false);
    a.panel.downloadSelected (true);
    EXPECT_FALSE (a.busy());
    EXPECT_EQ (a.status(), noPreview);

    EXPECT_EQ (StandIn::requests().size(), 0);
    EXPECT_TRUE (rig.handed.empty());
}

TEST_F (FlowTest, RefusedPreviewSignsOut)
{
    Rig rig;
    auto& a = *rig.access;
    a.signInWith (StandIn::issueToken());
    showItems (a, { item42() }, 0);
    ASSERT_TRUE (StandIn::addFault (previewRoute (42), replyFault (401, R"({"message":"Preview needs a session."})")));

    a.panel.downloadSelected (false);
    ASSERT_TRUE (settle (a));

    EXPECT_EQ (a.status(), "Preview needs a session.");
    EXPECT_TRUE (a.accessToken().isEmpty());
    EXPECT_TRUE (a.items().empty());
    EXPECT_TRUE (a.connectButton().isEnabled());
    EXPECT_TRUE (rig.handed.empty());
    EXPECT_EQ (filesIn (a.sessionDir()), juce::StringArray());
}

TEST_F (FlowTest, CatalogSoundsDownloadAndLoad)
{
    Rig rig;
    auto& a = *rig.access;
    a.signInWith (StandIn::issueToken());
    a.panel.fetchCatalog();
    ASSERT_TRUE (settle (a));
    ASSERT_EQ (a.items().size(), 8u);

    // Sound 3 is owned; the download does not need its preview address.
    a.items()[2].previewUrl.clear();
    a.soundList().selectRow (2);
    ASSERT_TRUE (a.downloadButton().isEnabled());
    EXPECT_FALSE (a.playPreviewButton().isEnabled());
    a.panel.downloadSelected (true);
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), loadedOriginal);
    EXPECT_EQ (rig.processor.loadedFile, a.sessionDir().getChildFile ("owned-3.wav"));
    EXPECT_EQ (requestsTo (downloadRoute (3)).size(), 1u);

    // Sound 1 is not owned: its preview plays.
    a.soundList().selectRow (0);
    EXPECT_FALSE (a.downloadButton().isEnabled());
    ASSERT_TRUE (a.playPreviewButton().isEnabled());
    a.panel.downloadSelected (false);
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), playingPreview);
    EXPECT_EQ (rig.processor.loadedFile, a.sessionDir().getChildFile ("preview-1.wav"));
    EXPECT_FALSE (rig.processor.loadedIsOriginal);
}

TEST_F (FlowTest, UnwritableDirectoryIsReported)
{
    Rig rig;
    auto& a = *rig.access;
    a.signInWith (StandIn::issueToken());
    showItems (a, { item42() }, 0);
    ASSERT_TRUE (StandIn::addFault (previewRoute (42), wavFault (4044)));
    ASSERT_TRUE (a.sessionDir().deleteRecursively());

    a.panel.downloadSelected (false);
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), "Cannot save the temporary sound file.");
    EXPECT_TRUE (rig.handed.empty());
}

// $TMPDIR on a file system of its own of `kib` KiB, for one test. The harness gives each test process a
// mount namespace of its own, so nothing outside sees it.
class SmallTempFolder
{
public:
    explicit SmallTempFolder (int kib)
        : dir (juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("small-tmp"))
    {
        dir.createDirectory();
        const auto options = "size=" + std::to_string (kib) + "k,mode=0700";

        if (::mount ("tolvane-small-tmp", path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
            mounted = true;
        else
            mountError = std::strerror (errno);

        if (const char* previous = std::getenv ("TMPDIR"))
            savedTmp = previous;

        setenv ("TMPDIR", path().c_str(), 1);
    }

    ~SmallTempFolder()
    {
        setenv ("TMPDIR", savedTmp.c_str(), 1);

        if (mounted)
            ::umount2 (path().c_str(), MNT_DETACH);

        dir.deleteRecursively();
    }

    // Takes up every byte left.
    bool fill() const
    {
        const int fd = ::open ((path() + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

        if (fd < 0)
            return false;

        const std::string block (4096, 'x');
        ssize_t written = 0;

        while ((written = ::write (fd, block.data(), block.size())) > 0)
        {
        }

        const bool full = written < 0 && errno == ENOSPC;
        ::close (fd);
        return full;
    }

    std::string path() const { return dir.getFullPathName().toStdString(); }

    juce::File dir;
    bool mounted = false;
    std::string mountError;
    std::string savedTmp;
};

// A sound that does not fit on the disk never reaches the engine, and a short file never takes the place of
// the earlier one.
TEST_F (FlowTest, SoundThatDoesNotFitOnTheDiskIsNotSaved)
{
    struct Case
    {
        const char* name;
        bool fillFirst;
        int earlierSize; // 0: no earlier file of the name
        int size;
    };

    const Case cases[] = {
        { "larger than the folder", false, 0, 176504 },
        { "folder already full", true, 0, 176504 },
        // Small enough to sit in the writer's buffer until the file is closed.
        { "folder already full, small sound", true, 0, 4044 },
        { "larger than what the earlier file leaves", false, 8044, 176504 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        ASSERT_TRUE (StandIn::reset());
        const SmallTempFolder small (100);
        ASSERT_TRUE (small.mounted) << "cannot mount a tmpfs: " << small.mountError;

        Rig rig;
        auto& a = *rig.access;
        a.signInWith (StandIn::issueToken());
        showItems (a, { item42() }, 0);
        const auto owned = a.sessionDir().getChildFile ("owned-42.wav");
        ASSERT_TRUE (a.sessionDir().isAChildOf (small.dir));
        juce::MemoryBlock earlier;

        if (c.earlierSize > 0)
        {
            ASSERT_TRUE (StandIn::addFault (downloadRoute (42), wavFault (c.earlierSize)));
            a.panel.downloadSelected (true);
            ASSERT_TRUE (settle (a));
            ASSERT_EQ (a.status(), loadedOriginal);
            ASSERT_TRUE (owned.loadFileAsData (earlier));
        }

        if (c.fillFirst)
        {
            ASSERT_TRUE (small.fill());
        }

        const auto handedBefore = rig.handed.size();
        ASSERT_TRUE (StandIn::addFault (downloadRoute (42), wavFault (c.size)));
        a.panel.downloadSelected (true);
        ASSERT_TRUE (settle (a));

        EXPECT_EQ (a.status(), cannotSave);
        // The message is built only on a failure, when there is a file handed over.
        EXPECT_EQ (rig.handed.size(), handedBefore)
            << "handed a file of " << rig.handed.back().sizeWhenHanded << " bytes to the loader";

        if (c.earlierSize > 0)
        {
            juce::MemoryBlock after;
            ASSERT_TRUE (owned.loadFileAsData (after));
            EXPECT_EQ (after.getSize(), earlier.getSize());
            EXPECT_TRUE (after == earlier);
            EXPECT_EQ (rig.processor.loadedFile, owned);
            EXPECT_EQ (filesIn (a.sessionDir()).joinIntoString (" "), "owned-42.wav");
        }
        else
        {
            EXPECT_EQ (filesIn (a.sessionDir()).joinIntoString (" "), "") << "nothing stays behind";
        }
    }
}

// An engine that runs out of memory while decoding reports a sound that did not load.
TEST_F (FlowTest, LoaderOutOfMemoryCountsAsNotLoaded)
{
    int calls = 0;
    LibraryPanel panel (
        [&calls] (const juce::File&, bool) -> bool
        {
            ++calls;
            throw std::bad_alloc();
        });
    LibraryPanelTestAccess a (panel);
    a.signInWith (StandIn::issueToken());
    showItems (a, { item42() }, 0);
    ASSERT_TRUE (StandIn::addFault (previewRoute (42), wavFault (4044)));

    a.panel.downloadSelected (false);
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (calls, 1);
    EXPECT_EQ (a.status(), notLoaded);
    EXPECT_EQ (filesIn (a.sessionDir()), juce::StringArray());
}
