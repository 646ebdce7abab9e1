// Device-code sign-in and sign-out against the stand-in service.

#include "library/FlowSupport.h"

using namespace flow;

namespace
{
const juce::String startRoute ("v1%2Fstart");
const juce::String pollRoute ("v1%2Fpoll");
const juce::String meRoute ("v1%2Fme");
const juce::String catalogRoute ("v1%2Fcatalog");
const juce::String logoutRoute ("v1%2Flogout");

const juce::String invalidConnection ("Invalid connection response.");
const juce::String invalidSession ("Invalid session response.");
const juce::String expired ("Connection request expired. Try again.");
const juce::String cannotReach ("Cannot reach Brevant. Try again.");
const juce::String tooLarge ("Response exceeds Tolvane's download limit.");
const juce::String revoked ("Disconnected. This session has been revoked.");
const juce::String signedOutLocally ("Signed out locally. Server session expires within one hour.");

juce::String confirmText (const juce::String& userCode)
{
    return "Confirm code " + userCode + " on the website. This connection lasts one hour.";
}

juce::String confirmPrefix() { return juce::String (siteRootUrl) + "wp-admin/admin-post.php?"; }

juce::String startBody (const juce::String& device, const juce::String& user, const juce::String& url)
{
    auto* o = new juce::DynamicObject();
    o->setProperty ("device_code", device);
    o->setProperty ("user_code", user);
    o->setProperty ("verification_url", url);
    return juce::JSON::toString (juce::var (o), true);
}

juce::String tokenBody (const juce::String& token)
{
    auto* o = new juce::DynamicObject();
    o->setProperty ("access_token", token);
    return juce::JSON::toString (juce::var (o), true);
}

juce::String messageBody (const juce::String& message)
{
    auto* o = new juce::DynamicObject();
    o->setProperty ("message", message);
    return juce::JSON::toString (juce::var (o), true);
}

juce::String codeOf (int length, const char* fill = "d") { return juce::String::repeatedString (fill, length); }

// The difference of two counter values, read the way the panel reads its deadline.
juce::int64 ahead (juce::uint32 deadline, juce::uint32 now) { return (std::int32_t) (deadline - now); }

// Starts a sign-in with the service's own start reply and leaves the ticks to the test.
bool startPolling (LibraryPanelTestAccess& access)
{
    access.panel.connect();

    if (! pumpUntil ([&] { return access.polling() && ! access.busy(); }))
    {
        ADD_FAILURE() << "no sign-in to poll; status: " << access.status();
        return false;
    }

    access.holdTicks();
    return true;
}
} // namespace

// Every kind of start reply: refused, malformed, valid.
TEST_F (FlowTest, StartReplyIsCheckedBeforePolling)
{
    const auto dev = codeOf (64);
    const juce::String user ("ABCDEFGHJK");
    const auto nonAsciiUser = utf8 ("\xc3\x84\xc3\x96\xc3\x9c\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f\xc3\xa9\xc3\xa8\xc3\xaa");
    const auto url = confirmPrefix() + "action=brv_tolvane_confirm&user_code=" + user;
    const juce::String host (siteHost);
    const auto marker = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("shell-ran");
    const auto touch = "touch " + marker.getFullPathName();
    const auto shellUrl = confirmPrefix() + "a=\"$(" + touch + ")\"&b=`" + touch + "`;" + touch + "#'$(" + touch + ")'";

    struct Case
    {
        const char* name;
        juce::String fault;
        juce::String status;     // expected status text; empty: the confirmation text
        juce::String userCodeIs; // what userCode holds afterwards
        juce::String url;        // the address the browser gets, for a valid reply
    };

    const Case cases[] = {
        { "refused with a message", replyFault (503, messageBody ("Sign-in is paused.")), "Sign-in is paused.", "",
          "" },
        { "refused without a message", replyFault (500, "<html>busy</html>"),
          "Request rejected. Reconnect or try again.", "", "" },
        { "device code of 63", replyFault (200, startBody (codeOf (63), user, url)), invalidConnection, user, "" },
        { "device code of 65", replyFault (200, startBody (codeOf (65), user, url)), invalidConnection, user, "" },
        { "user code of 9", replyFault (200, startBody (dev, codeOf (9, "U"), url)), invalidConnection, codeOf (9, "U"),
          "" },
        { "user code of 11", replyFault (200, startBody (dev, codeOf (11, "U"), url)), invalidConnection,
          codeOf (11, "U"), "" },
        { "another host",
          replyFault (200, startBody (dev, user, "https://other.example/wp-admin/admin-post.php?action=x")),
          invalidConnection, user, "" },
        { "another scheme",
          replyFault (200, startBody (dev, user, "http://" + host + "/wp-admin/admin-post.php?action=x")),
          invalidConnection, user, "" },
        { "host in capitals",
          replyFault (200,
                      startBody (dev, user, "https://" + host.toUpperCase() + "/wp-admin/admin-post.php?action=x")),
          invalidConnection, user, "" },
        { "path in capitals",
          replyFault (200, startBody (dev, user, juce::String (siteRootUrl) + "WP-ADMIN/admin-post.php?action=x")),
          invalidConnection, user, "" },
        { "no question mark",
          replyFault (200, startBody (dev, user, juce::String (siteRootUrl) + "wp-admin/admin-post.php")),
          invalidConnection, user, "" },
        { "a JSON array", replyFault (200, "[\"device_code\",\"user_code\"]"), invalidConnection, "", "" },
        { "not JSON", replyFault (200, "device_code=" + dev), invalidConnection, "", "" },
        { "valid", replyFault (200, startBody (dev, user, url)), "", user, url },
        { "valid with status 202", replyFault (202, startBody (dev, user, url)), "", user, url },
        { "bare prefix", replyFault (200, startBody (dev, user, confirmPrefix())), "", user, confirmPrefix() },
        { "ten non-ASCII letters", replyFault (200, startBody (dev, nonAsciiUser, url)), "", nonAsciiUser, url },
        // The browser is started through a shell: the address must reach it as one inert argument.
        { "shell characters in the query", replyFault (200, startBody (dev, user, shellUrl)), "", user, shellUrl },
    };

    juce::StringArray expectedOpened;

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        ASSERT_TRUE (StandIn::addFault (startRoute, c.fault));

        Rig rig;
        auto& a = *rig.access;
        a.panel.connect();
        EXPECT_EQ (a.status(), utf8 ("Requesting account connection\xe2\x80\xa6"));
        EXPECT_TRUE (a.busy());
        EXPECT_FALSE (a.connectButton().isEnabled());
        const auto before = juce::Time::getMillisecondCounter();
        ASSERT_TRUE (settle (a));
        const auto after = juce::Time::getMillisecondCounter();

        EXPECT_EQ (a.userCode(), c.userCodeIs);
        EXPECT_TRUE (a.accessToken().isEmpty());

        if (c.url.isEmpty())
        {
            EXPECT_EQ (a.status(), c.status);
            EXPECT_FALSE (a.polling());
            EXPECT_TRUE (a.deviceCode().isEmpty());
            EXPECT_TRUE (a.connectButton().isEnabled());
            EXPECT_FALSE (a.disconnectButton().isEnabled());
        }
        else
        {
            EXPECT_EQ (a.status(), confirmText (c.userCodeIs));
            EXPECT_TRUE (a.polling());
            EXPECT_EQ (a.timerInterval(), 5000);
            EXPECT_EQ (a.deviceCode(), dev);
            EXPECT_GE (ahead (a.pollDeadlineMs(), before), 600000);
            EXPECT_LE (ahead (a.pollDeadlineMs(), after), 600000);
            EXPECT_FALSE (a.connectButton().isEnabled());
            EXPECT_TRUE (a.disconnectButton().isEnabled());
            // The framework hands the browser the address with its query escaped again.
            expectedOpened.add (juce::URL (c.url).toString (true));
        }
    }

    // Launches are asynchronous; once the valid ones have all arrived, nothing else may be among them.
    auto opened = waitForOpenedAddresses (expectedOpened.size());
    opened.sort (false);
    expectedOpened.sort (false);
    EXPECT_EQ (opened, expectedOpened);
    EXPECT_TRUE (opened.contains (confirmPrefix()));
    EXPECT_FALSE (marker.exists()) << "the address was run as a command";
}

// The real road: the browser confirms on the site's page, the first poll 5 s after the start
// still hears "pending", the next one gets the token, then me and the catalog follow. The timer
// keeps its period throughout.
TEST_F (FlowTest, PollsEveryFiveSecondsUntilTheBrowserConfirms)
{
    setBrowserConfirms (true);
    ASSERT_TRUE (StandIn::addFault (pollRoute, replyFault (202, R"({"status":"pending"})")));
    // The second poll waits at the service until the browser's confirmation is in, however slow
    // the browser is; released before it comes, it passes straight through.
    ASSERT_TRUE (StandIn::addFault (pollRoute, R"({"type":"hold"})"));

    Rig rig;
    auto& a = *rig.access;

    // What the panel looked like each time its timer fired, just before its tick ran.
    struct TimerRun
    {
        double at;
        bool busy;
        bool polling;
        juce::String status;
        bool signedIn;
    };
    std::vector<TimerRun> runs;
    rig.onTimer = [&]
    {
        runs.push_back ({ juce::Time::getMillisecondCounterHiRes(), a.busy(), a.polling(), a.status(),
                          a.accessToken().isNotEmpty() });
    };

    const auto connectedAt = juce::Time::getMillisecondCounterHiRes();
    a.panel.connect();
    ASSERT_TRUE (pumpUntil ([&] { return a.polling(); }));
    const auto userCode = a.userCode();

    const auto opened = waitForOpenedAddresses (1, 30000);
    ASSERT_EQ (opened.size(), 1);
    EXPECT_TRUE (opened[0].startsWith (confirmPrefix()));
    EXPECT_TRUE (opened[0].contains ("user_code=" + userCode));
    // The page's form was submitted, as the user's click does.
    ASSERT_TRUE (pumpUntil ([] { return requestsTo ("/wp-admin/admin-post.php").size() >= 2; }, 30000));
    const auto page = requestsTo ("/wp-admin/admin-post.php");
    ASSERT_EQ (page.size(), 2u);
    EXPECT_EQ (page[1]["method"].toString(), "POST");
    ASSERT_TRUE (StandIn::release());

    // Only cheap conditions from here, so that the loop runs each timer call as soon as it is posted.
    ASSERT_TRUE (
        pumpUntil ([&] { return ! a.busy() && a.status().endsWith ("Buy/unlock sounds on the website."); }, 60000))
        << a.status();

    // Every run came while the sign-in waited for its token; each one that found the panel free sent
    // one poll, and the poll after the confirmation got the token.
    ASSERT_GE (runs.size(), 2u);
    int freeRuns = 0;
    for (const auto& run : runs)
    {
        EXPECT_TRUE (run.polling);
        EXPECT_FALSE (run.signedIn);
        EXPECT_EQ (run.status, confirmText (userCode));
        freeRuns += run.busy ? 0 : 1;
    }
    EXPECT_FALSE (runs[0].busy);
    EXPECT_EQ (freeRuns, 2);
    EXPECT_EQ (requestsTo (pollRoute).size(), 2u);

    // The framework's timer counts each period from when it posts the call, and posts again every
    // 300 ms while the message loop has not taken it, so a run that came late is followed by one up
    // to 300 ms early; a new timer's first period counts from the timer thread's last wake-up, at
    // most 100 ms before. 100 ms more is left for the timer thread itself being kept off the CPU.
    // Nothing but a busy loop delays a run, and this loop only pumps.
    EXPECT_GE (runs[0].at - connectedAt, 5000.0 - 100.0 - 100.0);
    for (size_t i = 1; i < runs.size(); ++i)
    {
        const double gap = runs[i].at - runs[i - 1].at;
        EXPECT_GE (gap, 5000.0 - 300.0 - 100.0) << "between runs " << i - 1 << " and " << i;
        EXPECT_LT (gap, 7000.0) << "between runs " << i - 1 << " and " << i;
    }

    std::cout << "[          ] timer runs at";
    for (const auto& run : runs)
        std::cout << " " << juce::roundToInt (run.at - connectedAt) << (run.busy ? " (busy)" : "");
    std::cout << " ms after connecting\n";

    EXPECT_EQ (a.accessToken().length(), 64);
    EXPECT_FALSE (a.polling());
    EXPECT_TRUE (a.deviceCode().isEmpty());
    EXPECT_EQ (a.accountName(), "Demo Studio");
    EXPECT_EQ (a.credits(), 3);
    EXPECT_FALSE (a.items().empty());
    EXPECT_EQ (requestsTo (meRoute).size(), 1u);
    EXPECT_EQ (headerOf (requestsTo (meRoute)[0], "Authorization"), "Bearer " + a.accessToken());
    EXPECT_TRUE (a.disconnectButton().isEnabled());
    EXPECT_FALSE (a.connectButton().isEnabled());
}

TEST_F (FlowTest, StartAndPollRequestsOnTheWire)
{
    Rig rig;
    auto& a = *rig.access;
    ASSERT_TRUE (startPolling (a));
    a.tick();
    EXPECT_TRUE (a.busy());
    ASSERT_TRUE (settle (a));

    const auto starts = requestsTo (startRoute);
    ASSERT_EQ (starts.size(), 1u);
    EXPECT_EQ (starts[0]["method"].toString(), "POST");
    EXPECT_EQ (StandIn::bodyOf (starts[0]).toString(), "{}");
    EXPECT_FALSE (hasHeader (starts[0], "Authorization"));

    const auto polls = requestsTo (pollRoute);
    ASSERT_EQ (polls.size(), 1u);
    EXPECT_EQ (polls[0]["method"].toString(), "POST");
    EXPECT_FALSE (hasHeader (polls[0], "Authorization"));
    const auto body = StandIn::bodyOf (polls[0]);
    // Still pending, so the panel keeps both codes.
    ASSERT_TRUE (a.polling());
    ASSERT_EQ (a.userCode().length(), 10);
    ASSERT_EQ (a.deviceCode().length(), 64);
    const juce::String expected =
        "{\r\n  \"user_code\": \"" + a.userCode() + "\",\r\n  \"device_code\": \"" + a.deviceCode() + "\"\r\n}";
    EXPECT_EQ (body.getSize(), 119u);
    EXPECT_EQ (body.toString(), expected);
}

// What one poll reply does to a sign-in that is being polled.
TEST_F (FlowTest, PollReplyEndsOrKeepsThePolling)
{
    struct Case
    {
        const char* name;
        juce::String fault;  // empty: the service's own answer
        bool confirmFirst;   // the user has confirmed on the site
        juce::String status; // empty: the confirmation text stays
        bool stillPolling;
        bool signedIn;
    };

    const auto lineBreakToken = codeOf (31, "t") + "\r\n" + codeOf (31, "t");
    const auto blankToken = codeOf (32, "t") + " " + codeOf (31, "t");
    const Case cases[] = {
        { "not confirmed yet", {}, false, {}, true, false },
        { "refused", replyFault (500, messageBody ("Poll refused.")), false, "Poll refused.", false, false },
        // An empty message is no error text, so the reply is read for a token it does not hold.
        { "refused with an empty message", replyFault (400, messageBody ("")), false, invalidSession, false, false },
        { "connection dropped", R"({"type":"no_answer","ms":0})", false, cannotReach, false, false },
        { "202 that fails to read", R"({"type":"reply","status":202,"body_size":1048577,"fill":"json"})", false,
          tooLarge, false, false },
        { "200 without a token", replyFault (200, "{}"), false, invalidSession, false, false },
        { "token of 63", replyFault (200, tokenBody (codeOf (63, "t"))), false, invalidSession, false, false },
        { "token of 65", replyFault (200, tokenBody (codeOf (65, "t"))), false, invalidSession, false, false },
        { "token with a line break", replyFault (200, tokenBody (lineBreakToken)), false, invalidSession, false,
          false },
        { "token with a blank", replyFault (200, tokenBody (blankToken)), false, invalidSession, false, false },
        { "confirmed", {}, true, {}, false, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        ASSERT_TRUE (StandIn::reset());
        Rig rig;
        auto& a = *rig.access;
        ASSERT_TRUE (startPolling (a));
        const auto waiting = a.status();
        const auto device = a.deviceCode();

        if (c.fault.isNotEmpty())
        {
            ASSERT_TRUE (StandIn::addFault (pollRoute, c.fault));
        }

        if (c.confirmFirst)
        {
            ASSERT_TRUE (StandIn::confirm (a.userCode()));
        }

        a.page() = 4; // a completed sign-in starts at page 1
        a.tick();
        EXPECT_TRUE (a.busy());
        ASSERT_TRUE (settle (a));

        EXPECT_EQ (a.polling(), c.stillPolling);
        EXPECT_EQ (a.deviceCode(), c.stillPolling ? device : juce::String());

        if (c.signedIn)
        {
            ASSERT_TRUE (pumpUntil ([&] { return ! a.busy() && ! requestsTo (catalogRoute).empty(); }));
            EXPECT_EQ (a.accessToken().length(), 64);
            EXPECT_EQ (a.page(), 1);
            EXPECT_TRUE (requestsTo (catalogRoute)[0]["target"].toString().contains ("&page=1&"));
            EXPECT_EQ (a.status(), utf8 ("Demo Studio \xc2\xb7 3 credits \xc2\xb7 36 sounds \xc2\xb7 Page 1/5 \xc2\xb7 "
                                         "Buy/unlock sounds on the website."));
            continue;
        }

        EXPECT_TRUE (a.accessToken().isEmpty());
        EXPECT_EQ (a.status(), c.stillPolling ? waiting : c.status);
        EXPECT_EQ (a.connectButton().isEnabled(), ! c.stillPolling);
        EXPECT_EQ (a.disconnectButton().isEnabled(), c.stillPolling);
        EXPECT_TRUE (requestsTo (meRoute).empty());
    }
}

TEST_F (FlowTest, DeadlineEndsTheSignIn)
{
    Rig rig;
    auto& a = *rig.access;
    ASSERT_TRUE (startPolling (a));

    // Time left: the tick polls. (The exact edge is the deadline test's.)
    a.pollDeadlineMs() = juce::Time::getMillisecondCounter() + 10000;
    a.tick();
    EXPECT_TRUE (a.busy());
    ASSERT_TRUE (settle (a));
    ASSERT_EQ (requestsTo (pollRoute).size(), 1u);

    // The deadline passes while the next poll is on the wire, held by the service: a tick then
    // does nothing at all.
    ASSERT_TRUE (StandIn::addFault (pollRoute, R"({"type":"hold"})"));
    a.pollDeadlineMs() = juce::Time::getMillisecondCounter() + 10000;
    a.tick();
    ASSERT_TRUE (a.busy());
    ASSERT_TRUE (pumpUntil ([] { return StandIn::held() == 1; }, 30000)) << "the poll never reached the service";
    a.pollDeadlineMs() = juce::Time::getMillisecondCounter() - 1;
    a.tick();
    EXPECT_TRUE (a.busy());
    EXPECT_TRUE (a.polling());
    EXPECT_EQ (a.status(), confirmText (a.userCode()));
    ASSERT_TRUE (StandIn::release());
    ASSERT_TRUE (settle (a));
    EXPECT_TRUE (a.polling()) << "a pending answer keeps the sign-in";
    EXPECT_EQ (a.status(), confirmText (a.userCode()));
    EXPECT_EQ (requestsTo (pollRoute).size(), 2u);

    // The first tick that finds the panel free ends it, and polls no more.
    a.tick();
    EXPECT_FALSE (a.busy());
    EXPECT_FALSE (a.polling());
    EXPECT_TRUE (a.deviceCode().isEmpty());
    EXPECT_EQ (a.status(), expired);
    EXPECT_TRUE (a.connectButton().isEnabled());
    EXPECT_FALSE (a.disconnectButton().isEnabled());
    EXPECT_EQ (requestsTo (pollRoute).size(), 2u);

    // The user starts again.
    a.panel.connect();
    ASSERT_TRUE (pumpUntil ([&] { return a.polling() && ! a.busy(); }));
    EXPECT_EQ (requestsTo (startRoute).size(), 2u);
}

TEST_F (FlowTest, SignOutWhilePollingSendsNothing)
{
    Rig rig;
    auto& a = *rig.access;
    ASSERT_TRUE (startPolling (a));

    a.panel.disconnect();
    EXPECT_FALSE (a.busy());
    EXPECT_FALSE (a.polling());
    EXPECT_TRUE (a.deviceCode().isEmpty());
    EXPECT_EQ (a.status(), "Disconnected.");
    EXPECT_TRUE (a.connectButton().isEnabled());
    EXPECT_FALSE (a.disconnectButton().isEnabled());
    EXPECT_TRUE (requestsTo (logoutRoute).empty());
    EXPECT_TRUE (requestsTo (pollRoute).empty());
}

TEST_F (FlowTest, SignOutDropsTheTokenBeforeAskingTheServiceToRevokeIt)
{
    Rig rig;
    auto& a = *rig.access;
    ASSERT_TRUE (signInThroughService (a));
    const auto token = a.accessToken();
    ASSERT_FALSE (a.items().empty());
    a.panel.nextPage();
    ASSERT_TRUE (settle (a));
    ASSERT_EQ (a.page(), 2);

    a.panel.disconnect();
    // Gone locally before any reply.
    EXPECT_TRUE (a.accessToken().isEmpty());
    EXPECT_TRUE (a.items().empty());
    EXPECT_EQ (a.soundList().getModel()->getNumRows(), 0);
    EXPECT_TRUE (a.busy());
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.status(), revoked);
    EXPECT_TRUE (a.connectButton().isEnabled());

    const auto logouts = requestsTo (logoutRoute);
    ASSERT_EQ (logouts.size(), 1u);
    EXPECT_EQ (logouts[0]["method"].toString(), "POST");
    EXPECT_EQ (StandIn::bodyOf (logouts[0]).toString(), "{}");
    EXPECT_EQ (headerOf (logouts[0], "Authorization"), "Bearer " + token);
    EXPECT_EQ (performRequest (route ("me"), "GET", {}, token, false).status, 401) << "the service revoked it";

    // A second sign-in starts again at page 1.
    ASSERT_TRUE (signInThroughService (a));
    EXPECT_EQ (a.page(), 1);
    EXPECT_NE (a.accessToken(), token);
    EXPECT_TRUE (requestsTo (catalogRoute).back()["target"].toString().contains ("&page=1&"));
}

TEST_F (FlowTest, FailedLogoutStillSignsOutLocally)
{
    const juce::String faults[] = {
        replyFault (500, messageBody ("Logout is broken.")),
        R"({"type":"no_answer","ms":0})",
        replyFault (401, messageBody ("Already gone.")),
    };

    for (const auto& fault : faults)
    {
        SCOPED_TRACE (fault);
        Rig rig;
        auto& a = *rig.access;
        a.signInWith (StandIn::issueToken());
        ASSERT_TRUE (StandIn::addFault (logoutRoute, fault));

        a.panel.disconnect();
        EXPECT_TRUE (a.accessToken().isEmpty());
        ASSERT_TRUE (settle (a));
        EXPECT_EQ (a.status(), signedOutLocally);
        EXPECT_TRUE (a.connectButton().isEnabled());
    }
}

TEST_F (FlowTest, FailedAccountReplyKeepsTheSignInWithoutACatalog)
{
    Rig rig;
    auto& a = *rig.access;
    ASSERT_TRUE (startPolling (a));
    ASSERT_TRUE (StandIn::addFault (meRoute, replyFault (500, messageBody ("Account unavailable."))));
    ASSERT_TRUE (StandIn::confirm (a.userCode()));
    a.tick();
    ASSERT_TRUE (pumpUntil ([&] { return ! a.busy() && requestsTo (meRoute).size() == 1; }));

    EXPECT_EQ (a.status(), "Account unavailable.");
    EXPECT_EQ (a.accessToken().length(), 64);
    EXPECT_TRUE (a.items().empty());
    EXPECT_TRUE (requestsTo (catalogRoute).empty());
    EXPECT_TRUE (a.searchButton().isEnabled());
    EXPECT_TRUE (a.disconnectButton().isEnabled());

    // Search fetches the catalog.
    a.panel.search();
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (requestsTo (catalogRoute).size(), 1u);
    EXPECT_EQ (a.items().size(), 8u);
}

TEST_F (FlowTest, RefusedTokenOnTheAccountReplySignsOut)
{
    Rig rig;
    auto& a = *rig.access;
    ASSERT_TRUE (startPolling (a));
    ASSERT_TRUE (StandIn::addFault (meRoute, replyFault (401, messageBody ("Token refused."))));
    ASSERT_TRUE (StandIn::confirm (a.userCode()));
    a.tick();
    ASSERT_TRUE (pumpUntil ([&] { return ! a.busy() && requestsTo (meRoute).size() == 1; }));

    EXPECT_EQ (a.status(), "Token refused.");
    EXPECT_TRUE (a.accessToken().isEmpty());
    EXPECT_TRUE (requestsTo (catalogRoute).empty());
    EXPECT_TRUE (a.connectButton().isEnabled());
}

TEST_F (FlowTest, ConnectAndSignOutWaitWhileARequestIsInFlight)
{
    Rig rig;
    auto& a = *rig.access;
    const auto token = StandIn::issueToken();
    a.signInWith (token);
    ASSERT_TRUE (StandIn::addFault (catalogRoute, R"({"type":"delay","ms":1500})"));

    a.panel.search();
    ASSERT_TRUE (a.busy());
    const auto status = a.status();
    a.panel.disconnect();
    a.panel.connect();
    EXPECT_EQ (a.accessToken(), token);
    EXPECT_EQ (a.status(), status);
    ASSERT_TRUE (settle (a));
    EXPECT_TRUE (requestsTo (logoutRoute).empty());
    EXPECT_TRUE (requestsTo (startRoute).empty());
    EXPECT_EQ (a.accessToken(), token);
}
