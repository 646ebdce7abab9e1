// Replies from the stand-in service whose JSON nests too deep or holds values of the wrong type, through the
// real request layer and the panel's handlers.

#include "library/FlowSupport.h"

using namespace flow;

namespace
{
const juce::String meRoute ("v1%2Fme");
const juce::String catalogRoute ("v1%2Fcatalog");
const juce::String startRoute ("v1%2Fstart");
const juce::String pollRoute ("v1%2Fpoll");

const juce::String rejected ("Request rejected. Reconnect or try again.");
const juce::String expiredSignIn ("Connection expired. Sign in again.");

// The JSON values that are neither strings nor numbers.
const char* const wrongTypes[] = { R"({"a":1})", "[1,2]", "true", "false", "null" };

juce::String arrays (int depth)
{
    return juce::String::repeatedString ("[", depth) + juce::String::repeatedString ("]", depth);
}

juce::String nestedFault (int status, int depth, const char* extra = "")
{
    return R"({"type":"reply","status":)" + juce::String (status) + R"(,"body_size":)" + juce::String (2 * depth) +
           R"(,"fill":"nested")" + extra + "}";
}

juce::String fieldsFault (const juce::String& set, const juce::String& items = "[]")
{
    return R"({"type":"fields","set":)" + set + R"(,"items":)" + items + "}";
}

void startSignedIn (LibraryPanelTestAccess& a)
{
    a.signInWith (StandIn::issueToken());
    a.panel.fetchCatalog();
    ASSERT_TRUE (settle (a));
    ASSERT_EQ (a.items().size(), 8u);
}
} // namespace

// Far under the size limit, each of these took the process down inside the framework's parser.
TEST_F (FlowTest, DeepRepliesReadAsNoJson)
{
    struct Case
    {
        const char* name;
        const char* path;
        bool binary;
        juce::String fault;
        int status;
        juce::String error;
        bool parsed;
    };

    const auto message = [] (const char* text, int depth)
    { return replyFault (403, "{\"message\":\"" + juce::String (text) + "\",\"d\":" + arrays (depth) + "}"); };

    // clang-format off
    const Case cases[] = {
        { "100,000 levels", "me", false, nestedFault (200, 100000), 200, "", false },
        { "524,288 levels, the whole JSON limit", "me", false, nestedFault (200, 524288), 200, "", false },
        { "524,288 levels, chunked", "catalog", false, nestedFault (200, 524288, R"(,"content_length":"chunked")"),
          200, "", false },
        { "rejected with 100,000 levels", "me", false, nestedFault (500, 100000), 500, rejected, false },
        { "audio request rejected with 100,000 levels", "download/3", true, nestedFault (404, 100000),
          404, rejected, false },
        { "message beside arrays past the bound", "me", false, message ("Deep.", 256), 403, rejected, false },
        { "message beside arrays at the bound", "me", false, message ("At the bound.", 255), 403, "At the bound.",
          true },
    };
    // clang-format on

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        ASSERT_TRUE (StandIn::reset());
        ASSERT_TRUE (StandIn::addFault ("rest_route", c.fault));

        const auto reply = performRequest (route (c.path), "GET", {}, {}, c.binary);

        EXPECT_EQ (reply.status, c.status);
        EXPECT_EQ (reply.error, c.error);
        EXPECT_EQ (reply.json.isObject(), c.parsed);
        EXPECT_EQ (reply.json.isVoid(), ! c.parsed);
        EXPECT_EQ (reply.body.getSize(), 0u);
        EXPECT_EQ (StandIn::requests().size(), 1);
    }
}

TEST_F (FlowTest, DeepCatalogRepliesFollowTheRulesForNonJson)
{
    Rig rig;
    auto& a = *rig.access;
    startSignedIn (a);

    // Success without JSON: a catalog with every key missing.
    ASSERT_TRUE (StandIn::addFault (catalogRoute, nestedFault (200, 524288)));
    a.panel.search();
    ASSERT_TRUE (settle (a));
    EXPECT_TRUE (a.items().empty());
    EXPECT_EQ (a.status(), statusLine ("", "0", "", 1, 1));

    // A refused token ends the sign-in; the text is the one for a rejection without a message.
    ASSERT_TRUE (StandIn::addFault (catalogRoute, nestedFault (401, 100000)));
    a.panel.search();
    ASSERT_TRUE (settle (a));
    EXPECT_TRUE (a.accessToken().isEmpty());
    EXPECT_EQ (a.status(), rejected);
    EXPECT_TRUE (a.connectButton().isEnabled());
}

// The service's own refusal of a request without a token, its "message" replaced.
TEST_F (FlowTest, RejectionMessageIsShownOnlyAsTextOrNumber)
{
    struct Case
    {
        const char* message;
        juce::String error;
    };

    const Case cases[] = {
        { R"({"a":1})", rejected },
        { R"(["Text in an array."])", rejected },
        { "true", rejected },
        { "false", rejected },
        { "null", "" },
        { R"("Text.")", "Text." },
        { R"("")", "" },
        { "42", "42" },
        { "-2.5", "-2.5" },
        { "12345678901", "12345678901" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.message);
        ASSERT_TRUE (StandIn::reset());
        ASSERT_TRUE (StandIn::addFault (meRoute, fieldsFault (R"({"message":)" + juce::String (c.message) + "}")));

        const auto reply = performRequest (route ("me"), "GET", {}, {}, false);

        EXPECT_EQ (reply.status, 401);
        EXPECT_EQ (reply.error, c.error);
        EXPECT_EQ (reply.json.getProperty ("code", {}).toString(), "rest_forbidden");
    }
}

// The demo catalog's first page with some of its fields replaced.
TEST_F (FlowTest, CatalogFieldsOfTheWrongTypeShowNothingOfTheirOwn)
{
    Rig rig;
    auto& a = *rig.access;
    startSignedIn (a);

    for (const juce::String value : wrongTypes)
    {
        SCOPED_TRACE (value);
        const auto set = juce::String (R"({"total":V,"name":V,"credits":V,"pages":V})").replace ("V", value);
        // Elements 2 to 5 of the page (ids 2 to 5), one field each.
        const auto items =
            juce::String (R"([{},{"name":V},{"id":V},{"owned":V},{"preview_url":V}])").replace ("V", value);
        ASSERT_TRUE (StandIn::addFault (catalogRoute, fieldsFault (set, items)));

        a.panel.search();
        ASSERT_TRUE (settle (a));

        ASSERT_EQ (idsOf (a.items()), (std::vector<int>{ 1, 4, 5, 6, 7, 8 }));
        EXPECT_EQ (a.items()[0].name, "Deep Kick 01");
        EXPECT_EQ (a.items()[1].owned, value == "true");
        EXPECT_EQ (a.items()[2].previewUrl, "");
        EXPECT_EQ (a.items()[3].previewUrl,
                   juce::String (siteRootUrl) + "wp-content/uploads/brevant-previews/preview-6.wav");
        EXPECT_EQ (a.totalPages(), 1);
        EXPECT_EQ (a.status(), statusLine ("", "0", "", 1, 1));
    }

    // Strings and numbers keep the framework's conversions.
    ASSERT_TRUE (StandIn::addFault (
        catalogRoute,
        fieldsFault (R"({"total":1.5,"name":7,"credits":"12","pages":2.9})",
                     R"([{"name":2.5},{"name":12345678901,"id":"2"},{"id":3.9},{"owned":1},{"preview_url":5}])")));
    a.panel.search();
    ASSERT_TRUE (settle (a));

    ASSERT_EQ (idsOf (a.items()), (std::vector<int>{ 1, 2, 3, 4, 5, 6, 7, 8 }));
    EXPECT_EQ (a.items()[0].name, "2.5");
    EXPECT_EQ (a.items()[1].name, "12345678901");
    EXPECT_TRUE (a.items()[3].owned);
    EXPECT_EQ (a.items()[4].previewUrl, "5");
    EXPECT_EQ (a.totalPages(), 2);
    EXPECT_EQ (a.status(), statusLine ("7", "12", "1.5", 1, 2));
}

TEST_F (FlowTest, AccountFieldsOfTheWrongTypeReadAsEmpty)
{
    Rig rig;
    auto& a = *rig.access;

    struct Case
    {
        juce::String fields;
        juce::String name;
        int credits;
    };

    std::vector<Case> cases;

    for (const juce::String value : wrongTypes)
        cases.push_back ({ juce::String (R"({"name":V,"credits":V})").replace ("V", value), "", 0 });

    cases.push_back ({ R"({"name":12,"credits":"4"})", "12", 4 });
    cases.push_back ({ R"({"name":"Studio","credits":2.5})", "Studio", 2 });

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fields);
        ASSERT_TRUE (StandIn::reset());
        const auto token = StandIn::issueToken();
        a.signInWith (token);
        ASSERT_TRUE (StandIn::addFault (meRoute, fieldsFault (c.fields)));
        // The catalog that follows fails, so what the account reply set stays in view.
        ASSERT_TRUE (StandIn::addFault (catalogRoute, replyFault (503, R"({"message":"Catalog offline."})")));
        a.accountName() = "Before";
        a.credits() = 99;

        a.panel.sendRequest (route ("me"), "GET", {}, token, false,
                             [&] (LibraryPanel::Reply reply) { a.panel.onMeReply (std::move (reply)); });
        ASSERT_TRUE (pumpUntil ([&] { return ! a.busy() && requestsTo (catalogRoute).size() == 1; }));
        ASSERT_TRUE (settle (a));

        EXPECT_EQ (a.status(), "Catalog offline.");
        EXPECT_EQ (a.accountName(), c.name);
        EXPECT_EQ (a.credits(), c.credits);
    }
}

TEST_F (FlowTest, SignInCodesOfTheWrongTypeAreInvalid)
{
    for (const juce::String value : wrongTypes)
    {
        for (const char* field : { "device_code", "user_code", "verification_url" })
        {
            SCOPED_TRACE (field + (" = " + value));
            ASSERT_TRUE (StandIn::reset());
            Rig rig;
            auto& a = *rig.access;
            ASSERT_TRUE (
                StandIn::addFault (startRoute, fieldsFault ("{\"" + juce::String (field) + "\":" + value + "}")));

            a.panel.connect();
            ASSERT_TRUE (settle (a));
            EXPECT_EQ (a.status(), "Invalid connection response.");
            EXPECT_FALSE (a.polling());
            EXPECT_TRUE (a.deviceCode().isEmpty());
        }

        SCOPED_TRACE ("access_token = " + value);
        ASSERT_TRUE (StandIn::reset());
        forgetOpenedAddresses();
        Rig rig;
        auto& a = *rig.access;
        a.panel.connect();
        ASSERT_TRUE (pumpUntil ([&] { return a.polling() && ! a.busy(); }));
        a.holdTicks();
        // The browser opens on its own; it is done before the next sign-in starts.
        ASSERT_EQ (waitForOpenedAddresses (1).size(), 1);
        ASSERT_TRUE (StandIn::confirm (a.userCode()));
        ASSERT_TRUE (StandIn::addFault (pollRoute, fieldsFault ("{\"access_token\":" + value + "}")));

        a.tick();
        ASSERT_TRUE (settle (a));
        EXPECT_EQ (a.status(), "Invalid session response.");
        EXPECT_TRUE (a.accessToken().isEmpty());
        EXPECT_FALSE (a.polling());
        EXPECT_TRUE (requestsTo (meRoute).empty());
    }
}
