#include "LibraryPanel.h"

#include <filesystem>
#include <system_error>

namespace
{
const juce::Colour listBackground (0xff111e2au);
const juce::Colour promptColour (0xff808080u);

constexpr int searchBoxMaxLength = 120;
constexpr int rowHeight = 28;

// Moves both sides in; an extent that would turn negative stays at 0.
juce::Rectangle<int> insetHorizontally (juce::Rectangle<int> r, int d)
{
    return { r.getX() + d, r.getY(), juce::jmax (0, r.getWidth() - 2 * d), r.getHeight() };
}

juce::Rectangle<int> insetVertically (juce::Rectangle<int> r, int d)
{
    return { r.getX(), r.getY() + d, r.getWidth(), juce::jmax (0, r.getHeight() - 2 * d) };
}

// The temporary folder is shared by every local user, and the owned originals go in here. Only a
// directory this call makes itself is used, so a name already there in any form (another user's
// folder, a link, even one that points nowhere yet) counts as taken; the new one is closed to
// everyone else before anything goes in. When nothing can be made, the name that failed is kept:
// it does not exist, so saving a sound reports the failure.
juce::File createPrivateSessionDir (const juce::File& tempFolder)
{
    namespace fs = std::filesystem;
    tempFolder.createDirectory();

    for (int number = 1;; ++number)
    {
        const auto dir = tempFolder.getChildFile (number == 1 ? juce::String ("brevant-tolvane")
                                                              : "brevant-tolvane(" + juce::String (number) + ")");
        const fs::path path (dir.getFullPathName().toStdString());
        std::error_code error;

        if (fs::create_directory (path, error))
        {
            // Should this fail, the files inside are still made private one by one, or not kept.
            fs::permissions (path, fs::perms::owner_all, fs::perm_options::replace, error);
            return dir;
        }

        if (error && error != std::errc::file_exists)
            return dir;
    }
}
} // namespace

bool isTrustedPreviewUrl (const juce::String& url)
{
    if (! url.startsWith (siteRootUrl))
        return false;

    if (juce::URL (url).getDomain() != juce::String (siteHost))
        return false;

    // An "@" could smuggle a user-info part or another host past a careless parser; a backslash
    // is read as a slash by some, so neither is allowed anywhere.
    return ! url.containsChar ('@') && ! url.containsChar ('\\');
}

LibraryPanel::LibraryPanel (SoundReady soundReady) : onSoundReady (std::move (soundReady))
{
    addAndMakeVisible (connectButton);
    addAndMakeVisible (disconnectButton);
    addAndMakeVisible (searchButton);
    addAndMakeVisible (prevButton);
    addAndMakeVisible (nextButton);
    addAndMakeVisible (playPreviewButton);
    addAndMakeVisible (downloadButton);
    addAndMakeVisible (searchBox);
    addAndMakeVisible (soundList);
    addAndMakeVisible (statusLabel);

    searchBox.setTextToShowWhenEmpty ("Search sound names", promptColour);
    searchBox.setInputRestrictions (searchBoxMaxLength);

    soundList.setRowHeight (rowHeight);
    soundList.setColour (juce::ListBox::backgroundColourId, listBackground);

    statusLabel.setText ("Connect your Brevant account to browse your sound library.", juce::dontSendNotification);

    connectButton.onClick = [this] { connect(); };
    disconnectButton.onClick = [this] { disconnect(); };
    searchButton.onClick = [this] { search(); };
    searchBox.onReturnKey = searchButton.onClick;
    prevButton.onClick = [this] { previousPage(); };
    nextButton.onClick = [this] { nextPage(); };
    playPreviewButton.onClick = [this] { downloadSelected (false); };
    downloadButton.onClick = [this] { downloadSelected (true); };

    // A name left over from another panel or an earlier run is never reused.
    sessionDir = createPrivateSessionDir (juce::File::getSpecialLocation (juce::File::tempDirectory));

    updateButtons();
}

LibraryPanel::~LibraryPanel()
{
    stopTimer();
    // Ends a running request at once and waits for its job to return; its reply then finds the panel gone.
    requestCancel->cancel();
    pool.removeAllJobs (true, -1);
    // Links inside are removed as links: what they point at is not ours.
    sessionDir.deleteRecursively (false);
}

void LibraryPanel::resized()
{
    auto area = getLocalBounds();

    auto topRow = area.removeFromTop (32);
    connectButton.setBounds (topRow.removeFromLeft (150));
    disconnectButton.setBounds (topRow.removeFromLeft (110));
    searchButton.setBounds (topRow.removeFromRight (90));
    searchBox.setBounds (insetHorizontally (topRow, 8));

    statusLabel.setBounds (area.removeFromTop (38));

    auto buttonRow = area.removeFromBottom (34);
    prevButton.setBounds (buttonRow.removeFromLeft (90));
    nextButton.setBounds (buttonRow.removeFromLeft (90));
    downloadButton.setBounds (buttonRow.removeFromRight (220));
    playPreviewButton.setBounds (buttonRow.removeFromRight (160));

    soundList.setBounds (insetVertically (area, 4));
}

void LibraryPanel::refreshList()
{
    soundList.updateContent();
    // The list box repaints by itself only rows whose number or selection changed; a row whose
    // item changed underneath would keep showing the old one.
    soundList.repaint();
}

void LibraryPanel::updateButtons()
{
    const bool signedIn = accessToken.isNotEmpty();
    const bool polling = isTimerRunning();
    const bool active = signedIn && ! busy;
    const int sel = soundList.getSelectedRow (0);
    const bool rowValid = active && sel >= 0 && sel < (int) items.size();

    connectButton.setEnabled (! busy && ! signedIn && ! polling);
    disconnectButton.setEnabled (! busy && (signedIn || polling));
    searchButton.setEnabled (active);
    searchBox.setEnabled (active);
    prevButton.setEnabled (active && page > 1);
    nextButton.setEnabled (active && page < totalPages);
    playPreviewButton.setEnabled (rowValid && isTrustedPreviewUrl (items[(size_t) sel].previewUrl));
    downloadButton.setEnabled (rowValid && items[(size_t) sel].owned);
}
