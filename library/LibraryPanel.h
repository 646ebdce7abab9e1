#pragma once

#include "SiteAddress.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// One sound of the catalog page on show.
struct CatalogItem
{
    int id = 0;
    juce::String name;
    juce::String previewUrl;
    bool owned = false;
};

// Ends requests from another thread: the transfer in flight at once, and every later one before it opens.
// A request's own deadline uses it too, for its transfer only.
class RequestCancel
{
public:
    // Any thread; for good.
    void cancel();
    bool isCancelled();

    // The request's own thread: the stream now in flight; false when already cancelled.
    bool attach (juce::WebInputStream& stream);
    void detach();

    // Any thread: ends the stream in flight, if any, without cancelling later ones.
    void cancelStream();

private:
    std::mutex lock;
    juce::WebInputStream* current = nullptr;
    bool cancelled = false;
};

// Whether a preview may be fetched from this address: only from the service's own site.
bool isTrustedPreviewUrl (const juce::String& url);

class LibraryPanel : public juce::Component, private juce::Timer, public juce::ListBoxModel
{
public:
    using SoundReady = std::function<bool (const juce::File&, bool original)>;

    // The whole result of one web request; an empty error means success.
    struct Reply
    {
        int status = 0;
        juce::String error;
        juce::var json;
        juce::MemoryBlock body;
    };

    // A request running on the panel's pool thread.
    class Job : public juce::ThreadPoolJob
    {
    public:
        explicit Job (std::function<void()> requestTask);
        ~Job() override;
        JobStatus runJob() override;

        std::function<void()> task;
    };

    explicit LibraryPanel (SoundReady soundReady);
    ~LibraryPanel() override;

    void resized() override;

    int getNumRows() override;
    void paintListBoxItem (int rowNumber, juce::Graphics& g, int width, int height, bool rowIsSelected) override;
    void selectedRowsChanged (int lastRowSelected) override;

    void updateButtons();

    // Web request layer.
    void sendRequest (juce::String url, juce::String method, juce::String body, juce::String token, bool binary,
                      std::function<void (Reply)> callback);

    // Sign-in and sign-out.
    void connect();
    void onStartReply (Reply reply);
    void onPollReply (Reply reply);
    void onMeReply (Reply reply);
    void disconnect();
    void onLogoutReply (Reply reply);

    // Catalog.
    void fetchCatalog();
    void onCatalogReply (Reply reply);
    void search();
    void previousPage();
    void nextPage();

    // Previews and owned downloads.
    void downloadSelected (bool original);
    void onDownloadReply (const CatalogItem& item, bool original, Reply reply);

private:
    void timerCallback() override;

    // Shows the current items; run after every change to them.
    void refreshList();

    friend struct LibraryPanelTestAccess;

    // The request task and the reply delivery of the web request layer.
    struct RequestTask;
    struct ReplyDelivery;

    SoundReady onSoundReady;
    juce::TextButton connectButton{ "Connect account" };
    juce::TextButton disconnectButton{ "Disconnect" };
    juce::TextButton searchButton{ "Search" };
    juce::TextButton prevButton{ "Previous" };
    juce::TextButton nextButton{ "Next" };
    juce::TextButton playPreviewButton{ "Play preview" };
    juce::TextButton downloadButton{ "Download unlocked sound" };
    juce::TextEditor searchBox;
    juce::ListBox soundList{ "Sounds", this };
    juce::Label statusLabel;
    // Shared with every request job, so that the destructor can end the one in flight.
    std::shared_ptr<RequestCancel> requestCancel = std::make_shared<RequestCancel>();
    juce::ThreadPool pool{ 1 };
    juce::File sessionDir;
    juce::String accessToken;
    juce::String deviceCode;
    juce::String userCode;
    juce::String accountName;
    std::vector<CatalogItem> items;
    juce::uint32 pollDeadlineMs = 0;
    int page = 1;
    int totalPages = 1;
    int credits = 0;
    bool busy = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LibraryPanel)
};

// Sends one request and reads its reply, on the pool thread. Never throws.
LibraryPanel::Reply performRequest (const juce::String& url, const juce::String& method, const juce::String& body,
                                    const juce::String& token, bool binary);

// The same, ended early when `cancel` is cancelled from another thread.
LibraryPanel::Reply performRequest (const juce::String& url, const juce::String& method, const juce::String& body,
                                    const juce::String& token, bool binary, RequestCancel& cancel);

// Whether a sign-in poll may still go out at nowMs; right across a wrap of the millisecond counter.
bool isBeforePollDeadline (juce::uint32 deadlineMs, juce::uint32 nowMs);

// The body of one sign-in poll, byte for byte what the service expects.
juce::String makePollBody (const juce::String& userCode, const juce::String& deviceCode);

// The address of one catalog page for a search text.
juce::String catalogUrl (int page, const juce::String& searchText);

// The name under which a downloaded sound is kept in the panel's directory.
juce::String downloadFileName (int id, bool original);
