#pragma once

// Shared by the sign-in, catalog and download tests: the panel's insides, the message loop, the
// stand-in's request log and the recording browser.

#include "engine/TolvaneProcessor.h"
#include "library/LibraryPanel.h"
#include "library/StandIn.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

struct LibraryPanelTestAccess
{
    explicit LibraryPanelTestAccess (LibraryPanel& p) : panel (p) {}

    juce::String status() const { return panel.statusLabel.getText(); }
    bool busy() const { return panel.busy; }
    bool polling() const { return panel.isTimerRunning(); }
    int timerInterval() const { return panel.getTimerInterval(); }

    // One poll tick, as the timer would run it.
    void tick() { panel.LibraryPanel::timerCallback(); }

    // Keeps the sign-in polling but moves the real ticks out of the test's way, so that the test
    // decides when a tick runs.
    void holdTicks() { panel.startTimer (3600 * 1000); }

    juce::String& accessToken() { return panel.accessToken; }
    juce::String& deviceCode() { return panel.deviceCode; }
    juce::String& userCode() { return panel.userCode; }
    juce::String& accountName() { return panel.accountName; }
    juce::uint32& pollDeadlineMs() { return panel.pollDeadlineMs; }
    std::vector<CatalogItem>& items() { return panel.items; }
    int& page() { return panel.page; }
    int& totalPages() { return panel.totalPages; }
    int& credits() { return panel.credits; }
    juce::File& sessionDir() { return panel.sessionDir; }

    juce::TextButton& connectButton() { return panel.connectButton; }
    juce::TextButton& disconnectButton() { return panel.disconnectButton; }
    juce::TextButton& searchButton() { return panel.searchButton; }
    juce::TextButton& prevButton() { return panel.prevButton; }
    juce::TextButton& nextButton() { return panel.nextButton; }
    juce::TextButton& playPreviewButton() { return panel.playPreviewButton; }
    juce::TextButton& downloadButton() { return panel.downloadButton; }
    juce::TextEditor& searchBox() { return panel.searchBox; }
    juce::ListBox& soundList() { return panel.soundList; }

    // Puts the panel into the signed-in state with a token the service has issued.
    void signInWith (const juce::String& token)
    {
        panel.accessToken = token;
        panel.page = 1;
        panel.updateButtons();
    }

    LibraryPanel& panel;
};

namespace flow
{
juce::String utf8 (const char* text);

using testsupport::modeOf;
using testsupport::OpenUmask;
using testsupport::pumpUntil;

// Runs until the panel has no request in flight.
bool settle (LibraryPanelTestAccess& access, int timeoutMs = 8000);

juce::String route (const juce::String& path);

// Requests logged by the stand-in whose raw target contains the text, oldest first.
std::vector<juce::var> requestsTo (const juce::String& targetPart);

// The value of a request header, or an empty text when it was not sent.
juce::String headerOf (const juce::var& request, const juce::String& name);
bool hasHeader (const juce::var& request, const juce::String& name);

// Addresses the recording browser was asked to open, in order.
juce::StringArray openedAddresses();
// Waits until at least `count` addresses were opened.
juce::StringArray waitForOpenedAddresses (int count, int timeoutMs = 8000);
void forgetOpenedAddresses();
// Makes the recording browser click "Confirm" on the sign-in page it is given, or not.
void setBrowserConfirms (bool confirms);

juce::String replyFault (int status, const juce::String& body);

// The status line of a shown catalog page.
juce::String statusLine (const juce::String& name, const juce::String& credits, const juce::String& total, int page,
                         int pages);
// The ids of the items, in order.
std::vector<int> idsOf (const std::vector<CatalogItem>& items);
juce::String jsonFault (int status, const juce::var& json);

// A panel wired to a real sound engine, as the editor would wire it.
struct Rig
{
    Rig();
    ~Rig();

    struct Handed
    {
        juce::File file;
        bool original;
        juce::int64 sizeWhenHanded;
        juce::String loaderText;
    };

    TolvaneProcessor processor;
    std::vector<Handed> handed;
    // Called on the message thread each time the panel's own timer fires, before the panel's
    // tick runs; not for the test's own tick().
    std::function<void()> onTimer;
    std::unique_ptr<LibraryPanel> panel;
    std::unique_ptr<LibraryPanelTestAccess> access;
};

// The real sign-in: connect, the service's start reply, a confirmation on the site, one poll,
// the me and catalog replies. Returns false (with a failure recorded) when any step does not come.
bool signInThroughService (LibraryPanelTestAccess& access);
} // namespace flow

// Each case needs the stand-in of its own harness, fresh.
class FlowTest : public ::testing::Test
{
protected:
    void SetUp() override;
};
