#include "library/FlowSupport.h"

#include <cstdlib>
#include <string>

#ifndef TOLVANE_SOURCE_DIR
# error "TOLVANE_SOURCE_DIR must name the source tree"
#endif

namespace
{
juce::File browserLog;

// The shared test environment, plus the recording browser first on PATH.
class FlowEnvironment : public testsupport::FrameworkEnvironment
{
public:
    void SetUp() override
    {
        testsupport::FrameworkEnvironment::SetUp();
        browserLog = temporaryRoot().getChildFile ("browser.log");
        setenv ("TOLVANE_BROWSER_LOG", browserLog.getFullPathName().toRawUTF8(), 1);
        const juce::String recorder = juce::String (TOLVANE_SOURCE_DIR) + "/tools/xdg-open-recorder";
        const char* path = std::getenv ("PATH");
        const juce::String newPath = recorder + ":" + juce::String (path != nullptr ? path : "/usr/bin:/bin");
        setenv ("PATH", newPath.toRawUTF8(), 1);
        setenv ("TOLVANE_BROWSER_CONFIRM", "0", 1);
    }
};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment (new FlowEnvironment);

// The real panel, with a look at each run of its timer.
class WatchedPanel : public LibraryPanel
{
public:
    WatchedPanel (SoundReady soundReady, const std::function<void()>& timerWatch)
        : LibraryPanel (std::move (soundReady)), watch (timerWatch)
    {
    }

private:
    void timerCallback() override
    {
        if (watch)
            watch();
        LibraryPanelTestAccess (*this).tick();
    }

    const std::function<void()>& watch;
};
} // namespace

void FlowTest::SetUp()
{
    ASSERT_TRUE (StandIn::inHarness()) << "run through tools/harness/run.sh with the build's site host (CTest does)";
    ASSERT_TRUE (StandIn::reset());
    flow::forgetOpenedAddresses();
    flow::setBrowserConfirms (false);
}

namespace flow
{
juce::String utf8 (const char* text) { return juce::String::fromUTF8 (text); }

bool settle (LibraryPanelTestAccess& access, int timeoutMs)
{
    return pumpUntil ([&] { return ! access.busy(); }, timeoutMs);
}

juce::String route (const juce::String& path) { return juce::String (restBaseUrl) + path; }

std::vector<juce::var> requestsTo (const juce::String& targetPart)
{
    std::vector<juce::var> found;
    const auto log = StandIn::requests();

    if (const auto* entries = log.getArray())
        for (const auto& entry : *entries)
            if (entry["target"].toString().contains (targetPart))
                found.push_back (entry);

    return found;
}

juce::String headerOf (const juce::var& request, const juce::String& name)
{
    if (const auto* headers = request["headers"].getArray())
        for (const auto& pair : *headers)
            if (pair[0].toString().equalsIgnoreCase (name))
                return pair[1].toString();

    return {};
}

bool hasHeader (const juce::var& request, const juce::String& name)
{
    if (const auto* headers = request["headers"].getArray())
        for (const auto& pair : *headers)
            if (pair[0].toString().equalsIgnoreCase (name))
                return true;

    return false;
}

juce::StringArray openedAddresses()
{
    juce::StringArray lines;
    lines.addLines (browserLog.loadFileAsString());
    lines.removeEmptyStrings();
    return lines;
}

juce::StringArray waitForOpenedAddresses (int count, int timeoutMs)
{
    pumpUntil ([&] { return openedAddresses().size() >= count; }, timeoutMs);
    return openedAddresses();
}

void forgetOpenedAddresses() { browserLog.deleteFile(); }

void setBrowserConfirms (bool confirms) { setenv ("TOLVANE_BROWSER_CONFIRM", confirms ? "1" : "0", 1); }

juce::String replyFault (int status, const juce::String& body)
{
    auto* fault = new juce::DynamicObject();
    fault->setProperty ("type", "reply");
    fault->setProperty ("status", status);
    fault->setProperty ("body", body);
    return juce::JSON::toString (juce::var (fault), true);
}

juce::String jsonFault (int status, const juce::var& json)
{
    return replyFault (status, juce::JSON::toString (json, true));
}

Rig::Rig()
{
    panel = std::make_unique<WatchedPanel> (
        [this] (const juce::File& file, bool original)
        {
            const auto text = processor.loadSoundFile (file, original);
            handed.push_back ({ file, original, file.getSize(), text });
            return text.startsWith ("Loaded:");
        },
        onTimer);
    access = std::make_unique<LibraryPanelTestAccess> (*panel);
}

Rig::~Rig()
{
    access.reset();
    panel.reset();
}

bool signInThroughService (LibraryPanelTestAccess& access)
{
    access.panel.connect();

    if (! pumpUntil ([&] { return access.polling() && ! access.busy(); }))
    {
        ADD_FAILURE() << "no sign-in to poll; status: " << access.status();
        return false;
    }

    access.holdTicks();

    if (! StandIn::confirm (access.userCode()))
        return false;

    access.tick();

    // The poll, then me, then the catalog; the catalog's status line ends the road.
    if (! pumpUntil ([&] { return ! access.busy() && access.status().endsWith ("Buy/unlock sounds on the website."); }))
    {
        ADD_FAILURE() << "not signed in; status: " << access.status();
        return false;
    }

    return true;
}
juce::String statusLine (const juce::String& name, const juce::String& credits, const juce::String& total, int page,
                         int pages)
{
    const auto dot = utf8 (" \xc2\xb7 ");
    return name + dot + credits + " credits" + dot + total + " sounds" + dot + "Page " + juce::String (page) + "/" +
           juce::String (pages) + dot + "Buy/unlock sounds on the website.";
}

std::vector<int> idsOf (const std::vector<CatalogItem>& items)
{
    std::vector<int> ids;
    for (const auto& item : items)
        ids.push_back (item.id);
    return ids;
}

} // namespace flow
