#include "LibraryPanel.h"
#include "ReplyJson.h"

#include <cstdint>

namespace
{
const juce::uint32 pollWindowMs = 600000;
const int pollIntervalMs = 5000;

juce::String utf8 (const char* text) { return juce::String::fromUTF8 (text); }

void setStatus (juce::Label& label, const juce::String& text) { label.setText (text, juce::dontSendNotification); }

// The framework's string escaping, except that characters from 127 up travel as their UTF-8
// bytes: this framework version writes them as \u escapes (and BEL as the non-JSON "\a").
void appendJsonString (juce::MemoryOutputStream& out, const juce::String& text)
{
    out << '"';

    for (auto p = text.getCharPointer(); ! p.isEmpty();)
    {
        const auto c = p.getAndAdvance();

        switch (c)
        {
        case '"':
            out << "\\\"";
            break;
        case '\\':
            out << "\\\\";
            break;
        case '\b':
            out << "\\b";
            break;
        case '\f':
            out << "\\f";
            break;
        case '\t':
            out << "\\t";
            break;
        case '\r':
            out << "\\r";
            break;
        case '\n':
            out << "\\n";
            break;
        default:
            if (c < 32)
                out << "\\u" << juce::String::toHexString ((int) c).paddedLeft ('0', 4);
            else
                out << juce::String::charToString (c);
            break;
        }
    }

    out << '"';
}

// A token goes into a header line, so only visible ASCII is taken.
bool isPlausibleToken (const juce::String& token)
{
    if (token.length() != 64)
        return false;

    for (auto p = token.getCharPointer(); ! p.isEmpty();)
    {
        const auto c = p.getAndAdvance();

        if (c <= 32 || c >= 127)
            return false;
    }

    return true;
}
} // namespace

bool isBeforePollDeadline (juce::uint32 deadlineMs, juce::uint32 nowMs)
{
    // Read as a signed distance so that a wrap of the 32-bit counter changes nothing.
    return (std::int32_t) (deadlineMs - nowMs) > 0;
}

juce::String makePollBody (const juce::String& userCode, const juce::String& deviceCode)
{
    juce::MemoryOutputStream out;
    out << "{\r\n  \"user_code\": ";
    appendJsonString (out, userCode);
    out << ",\r\n  \"device_code\": ";
    appendJsonString (out, deviceCode);
    out << "\r\n}";
    return out.toUTF8();
}

void LibraryPanel::connect()
{
    if (busy)
        return;

    setStatus (statusLabel, utf8 ("Requesting account connection\xe2\x80\xa6"));
    sendRequest (juce::String (restBaseUrl) + "start", "POST", "{}", {}, false,
                 [this] (Reply reply) { onStartReply (std::move (reply)); });
}

void LibraryPanel::onStartReply (Reply reply)
{
    if (reply.error.isNotEmpty())
    {
        setStatus (statusLabel, reply.error);
        return;
    }

    deviceCode = jsonText (reply.json["device_code"]);
    userCode = jsonText (reply.json["user_code"]);
    const auto verificationUrl = jsonText (reply.json["verification_url"]);

    const bool valid = deviceCode.length() == 64 && userCode.length() == 10 &&
                       verificationUrl.startsWith (juce::String (siteRootUrl) + "wp-admin/admin-post.php?");

    if (! valid)
    {
        setStatus (statusLabel, "Invalid connection response.");
        deviceCode.clear();
        return;
    }

    pollDeadlineMs = juce::Time::getMillisecondCounter() + pollWindowMs;
    setStatus (statusLabel, "Confirm code " + userCode + " on the website. This connection lasts one hour.");
    // The framework re-escapes every query value before the address reaches the shell.
    juce::URL (verificationUrl).launchInDefaultBrowser();
    startTimer (pollIntervalMs);
}

void LibraryPanel::timerCallback()
{
    if (busy)
        return;

    if (isBeforePollDeadline (pollDeadlineMs, juce::Time::getMillisecondCounter()))
    {
        sendRequest (juce::String (restBaseUrl) + "poll", "POST", makePollBody (userCode, deviceCode), {}, false,
                     [this] (Reply reply) { onPollReply (std::move (reply)); });
        return;
    }

    stopTimer();
    deviceCode.clear();
    setStatus (statusLabel, "Connection request expired. Try again.");
    updateButtons();
}

void LibraryPanel::onPollReply (Reply reply)
{
    if (reply.status == 202 && reply.error.isEmpty())
        return;

    stopTimer();
    deviceCode.clear();

    if (reply.error.isNotEmpty())
    {
        setStatus (statusLabel, reply.error);
        return;
    }

    accessToken = jsonText (reply.json["access_token"]);

    if (! isPlausibleToken (accessToken))
    {
        accessToken.clear();
        setStatus (statusLabel, "Invalid session response.");
        return;
    }

    page = 1;
    sendRequest (juce::String (restBaseUrl) + "me", "GET", {}, accessToken, false,
                 [this] (Reply meReply) { onMeReply (std::move (meReply)); });
}

void LibraryPanel::onMeReply (Reply reply)
{
    if (reply.error.isNotEmpty())
    {
        setStatus (statusLabel, reply.error);
        return;
    }

    accountName = jsonText (reply.json["name"]);
    credits = jsonInt (reply.json["credits"]);
    fetchCatalog();
}

void LibraryPanel::disconnect()
{
    if (busy)
        return;

    stopTimer();
    deviceCode.clear();
    const auto oldToken = accessToken;
    accessToken.clear();
    items.clear();
    refreshList();

    if (oldToken.isEmpty())
    {
        setStatus (statusLabel, "Disconnected.");
        updateButtons();
        return;
    }

    sendRequest (juce::String (restBaseUrl) + "logout", "POST", "{}", oldToken, false,
                 [this] (Reply reply) { onLogoutReply (std::move (reply)); });
}

void LibraryPanel::onLogoutReply (Reply reply)
{
    setStatus (statusLabel, reply.error.isEmpty() ? "Disconnected. This session has been revoked."
                                                  : "Signed out locally. Server session expires within one hour.");
}
