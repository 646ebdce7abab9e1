#include "LibraryPanel.h"

#include <filesystem>
#include <new>
#include <system_error>

namespace
{
void setStatus (juce::Label& label, const juce::String& text) { label.setText (text, juce::dontSendNotification); }

// An earlier download of the same name is moved aside until the new one has loaded: the engine may
// still hold it as its current sound, so a failed fetch must not leave it pointing at nothing.
struct EarlierFile
{
    explicit EarlierFile (const juce::File& target) : file (target)
    {
        if (! file.existsAsFile())
            return;

        const auto aside = file.getSiblingFile (file.getFileName() + ".earlier");
        aside.deleteFile();

        if (file.moveFileTo (aside))
            kept = aside;
    }

    void restore() const
    {
        if (kept != juce::File())
            kept.moveFileTo (file);
    }

    void discard() const
    {
        if (kept != juce::File())
            kept.deleteFile();
    }

    juce::File file, kept;
};

// The framework creates files that every user may read. The panel's directory already shuts the
// others out; the file does so on its own as well.
bool keepToOwner (const juce::File& file)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::permissions (file.getFullPathName().toStdString(), fs::perms::owner_read | fs::perms::owner_write,
                     fs::perm_options::replace, error);
    return ! error;
}
} // namespace

juce::String downloadFileName (int id, bool original)
{
    return juce::String (original ? "owned-" : "preview-") + juce::String (id) + ".wav";
}

void LibraryPanel::downloadSelected (bool original)
{
    const int row = soundList.getSelectedRow (0);

    if (busy || accessToken.isEmpty() || row < 0 || row >= (int) items.size())
        return;

    const CatalogItem item = items[(size_t) row];

    if (original && ! item.owned)
        return;

    if (! original && ! isTrustedPreviewUrl (item.previewUrl))
    {
        setStatus (statusLabel, "No preview is available for this sound.");
        return;
    }

    setStatus (statusLabel, juce::String::fromUTF8 (original ? "Checking ownership and downloading\xe2\x80\xa6"
                                                             : "Loading preview\xe2\x80\xa6"));

    const auto url = original ? juce::String (restBaseUrl) + "download/" + juce::String (item.id) : item.previewUrl;
    // A preview lives on the public site: it never gets the token.
    const auto token = original ? accessToken : juce::String();

    sendRequest (url, "GET", {}, token, true,
                 [this, item, original] (Reply reply) { onDownloadReply (item, original, std::move (reply)); });
}

void LibraryPanel::onDownloadReply (const CatalogItem& item, bool original, Reply reply)
{
    if (reply.error.isNotEmpty())
    {
        setStatus (statusLabel, reply.error);
        return;
    }

    if (reply.body.getSize() < 12)
    {
        setStatus (statusLabel, "Empty or invalid audio response.");
        return;
    }

    const auto file = sessionDir.getChildFile (downloadFileName (item.id, original));
    const EarlierFile earlier (file);

    const bool written = file.replaceWithData (reply.body.getData(), reply.body.getSize());

    if (! written || ! keepToOwner (file))
    {
        if (written)
            file.deleteFile();

        earlier.restore();
        setStatus (statusLabel, "Cannot save the temporary sound file.");
        return;
    }

    bool loaded = false;

    try
    {
        loaded = onSoundReady (file, original);
    }
    catch (const std::bad_alloc&)
    {
        // The engine gave back what it held; the sound is simply not loaded.
        loaded = false;
    }

    if (loaded)
    {
        earlier.discard();
        setStatus (statusLabel, original ? "Owned original loaded. You can drag it into your DAW."
                                         : "Playing one preview. Unlock originals on the website.");
        return;
    }

    file.deleteFile();
    earlier.restore();
    setStatus (statusLabel, "Audio could not be loaded. See the player status above.");
}
