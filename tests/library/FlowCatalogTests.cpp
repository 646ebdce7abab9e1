// Catalog browsing against the stand-in service's demo catalog (36 sounds, 8 a page).

#include "library/FlowSupport.h"

using namespace flow;

namespace
{
const juce::String catalogRoute ("v1%2Fcatalog");

std::vector<int> range (int first, int last)
{
    std::vector<int> ids;
    for (int id = first; id <= last; ++id)
        ids.push_back (id);
    return ids;
}

// The search value of a logged catalog request as the service decodes it; void when it was not sent.
juce::var searchValueOf (const juce::var& request)
{
    const auto target = request["target"].toString();
    const auto query = target.fromFirstOccurrenceOf ("?", false, false);

    for (const auto& part : juce::StringArray::fromTokens (query, "&", ""))
        if (part.upToFirstOccurrenceOf ("=", false, false) == "search")
            return juce::URL::removeEscapeChars (part.fromFirstOccurrenceOf ("=", false, false));

    return {};
}

void startSignedIn (LibraryPanelTestAccess& a)
{
    a.signInWith (StandIn::issueToken());
    a.panel.fetchCatalog();
    ASSERT_TRUE (settle (a));
}
} // namespace

TEST_F (FlowTest, PagesThroughTheCatalogWithinItsEdges)
{
    Rig rig;
    auto& a = *rig.access;
    startSignedIn (a);

    EXPECT_EQ (a.status(), statusLine ("Demo Studio", "3", "36", 1, 5));
    EXPECT_EQ (idsOf (a.items()), range (1, 8));
    EXPECT_EQ (a.totalPages(), 5);
    EXPECT_EQ (a.soundList().getModel()->getNumRows(), 8);
    EXPECT_EQ (a.items()[2].name, "Deep Kick 03");
    EXPECT_TRUE (a.items()[2].owned);
    EXPECT_FALSE (a.items()[3].owned);
    EXPECT_EQ (a.items()[3].previewUrl,
               juce::String (siteRootUrl) + "wp-content/uploads/brevant-previews/preview-4.wav");
    EXPECT_FALSE (a.prevButton().isEnabled());
    EXPECT_TRUE (a.nextButton().isEnabled());

    // Previous on the first page sends nothing.
    a.panel.previousPage();
    EXPECT_FALSE (a.busy());
    EXPECT_EQ (a.page(), 1);

    // A selection does not survive the next page.
    a.soundList().selectRow (2);
    EXPECT_TRUE (a.downloadButton().isEnabled());
    EXPECT_TRUE (a.playPreviewButton().isEnabled());

    for (int expected = 2; expected <= 5; ++expected)
    {
        a.panel.nextPage();
        EXPECT_TRUE (a.busy());
        ASSERT_TRUE (settle (a));
        EXPECT_EQ (a.page(), expected);
        EXPECT_EQ (a.status(), statusLine ("Demo Studio", "3", "36", expected, 5));
        EXPECT_EQ (a.soundList().getSelectedRow (0), -1);
        EXPECT_FALSE (a.downloadButton().isEnabled());
        EXPECT_FALSE (a.playPreviewButton().isEnabled());
    }

    EXPECT_EQ (idsOf (a.items()), range (33, 36));
    EXPECT_TRUE (a.prevButton().isEnabled());
    EXPECT_FALSE (a.nextButton().isEnabled());

    // Next on the last page sends nothing.
    a.panel.nextPage();
    EXPECT_FALSE (a.busy());
    EXPECT_EQ (a.page(), 5);

    a.panel.previousPage();
    ASSERT_TRUE (settle (a));
    EXPECT_EQ (a.page(), 4);
    EXPECT_EQ (idsOf (a.items()), range (25, 32));

    const auto requests = requestsTo (catalogRoute);
    ASSERT_EQ (requests.size(), 6u);
    const int pages[] = { 1, 2, 3, 4, 5, 4 };
    for (size_t i = 0; i < requests.size(); ++i)
    {
        EXPECT_TRUE (requests[i]["target"].toString().contains ("&page=" + juce::String (pages[i]) + "&"));
        EXPECT_EQ (headerOf (requests[i], "Authorization"), "Bearer " + a.accessToken());
    }
}

TEST_F (FlowTest, FailedNextKeepsTheListButMovesThePage)
{
    Rig rig;
    auto& a = *rig.access;
    startSignedIn (a);
    a.panel.nextPage();
    ASSERT_TRUE (settle (a));
    ASSERT_EQ (idsOf (a.items()), range (9, 16));

    ASSERT_TRUE (StandIn::addFault (catalogRoute, replyFault (503, R"({"message":"Catalog offline."})")));
    a.panel.nextPage();
    ASSERT_TRUE (settle (a));

    EXPECT_EQ (a.page(), 3);
    EXPECT_EQ (a.totalPages(), 5);
    EXPECT_EQ (idsOf (a.items()), range (9, 16));
    EXPECT_EQ (a.status(), "Catalog offline.");
    EXPECT_TRUE (a.prevButton().isEnabled());
    EXPECT_TRUE (a.nextButton().isEnabled());
    EXPECT_FALSE (a.accessToken().isEmpty());
}

// Replies with keys missing or of other types, and elements that are not listed.
TEST_F (FlowTest, CatalogReplyDefaultsAndFilters)
{
    const juce::String mixedItems = R"({"items":[{"id":0,"name":"Zero"},{"id":-2,"name":"Negative"},{"name":"No id"},
        {"id":5,"name":""},{"id":6},{"id":"7","name":"Seven","owned":true,"preview_url":"ftp://x/7.wav"},
        5,"text",{"id":8,"name":"Eight","owned":false}],"pages":3,"name":"N","credits":2,"total":9})";

    struct Case
    {
        const char* name;
        juce::String body;
        std::vector<int> ids;
        int totalPages;
        juce::String status;
    };

    const Case cases[] = {
        { "every key missing", "{}", {}, 1, statusLine ("", "0", "", 1, 1) },
        { "not JSON", "<html>catalog</html>", {}, 1, statusLine ("", "0", "", 1, 1) },
        { "no pages", R"({"pages":0,"name":"N","credits":1,"total":0})", {}, 1, statusLine ("N", "1", "0", 1, 1) },
        { "negative pages",
          R"({"pages":-3,"name":"N","credits":1,"total":0})",
          {},
          1,
          statusLine ("N", "1", "0", 1, 1) },
        { "numbers as text",
          R"({"pages":"4","name":"N","credits":"7","total":"many"})",
          {},
          4,
          statusLine ("N", "7", "many", 1, 4) },
        { "items not an array",
          R"({"items":{"id":1,"name":"One"},"pages":2,"name":"N","credits":0,"total":1})",
          {},
          2,
          statusLine ("N", "0", "1", 1, 2) },
        { "elements filtered", mixedItems, { 7, 8 }, 3, statusLine ("N", "2", "9", 1, 3) },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        Rig rig;
        auto& a = *rig.access;
        startSignedIn (a);
        ASSERT_EQ (a.items().size(), 8u);
        ASSERT_TRUE (StandIn::addFault (catalogRoute, replyFault (200, c.body)));

        a.panel.search();
        ASSERT_TRUE (settle (a));
        EXPECT_EQ (idsOf (a.items()), c.ids);
        EXPECT_EQ (a.totalPages(), c.totalPages);
        EXPECT_EQ (a.status(), c.status);
        EXPECT_EQ (a.nextButton().isEnabled(), c.totalPages > 1);

        if (c.ids.size() == 2)
        {
            EXPECT_EQ (a.items()[0].name, "Seven");
            EXPECT_TRUE (a.items()[0].owned);
            EXPECT_EQ (a.items()[0].previewUrl, "ftp://x/7.wav");
            EXPECT_FALSE (a.items()[1].owned);
            EXPECT_TRUE (a.items()[1].previewUrl.isEmpty());
        }
    }
}

// The search text as the URL carries it and as the service reads it.
TEST_F (FlowTest, SearchTextReachesTheServiceExactly)
{
    struct Case
    {
        juce::String text;
        juce::String escaped;
        int total;
    };

    const Case cases[] = {
        { utf8 ("a b+c/\xc3\xa9"), "a%20b%2Bc%2F%C3%A9", 0 },
        { "(x)~_-.", "(x)~_-.", 0 },
        { "&=%#?", "%26%3D%25%23%3F", 0 },
        { "", "", 36 },
        { "kick", "kick", 4 },
        { utf8 ("Cr\xc3\xa8me"), "Cr%C3%A8me", 4 },
    };

    Rig rig;
    auto& a = *rig.access;
    a.signInWith (StandIn::issueToken());

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.text);
        const auto sentBefore = requestsTo (catalogRoute).size();
        a.page() = 3;
        a.searchBox().setText (c.text);
        a.panel.search();
        ASSERT_TRUE (settle (a));

        const auto sent = requestsTo (catalogRoute);
        ASSERT_EQ (sent.size(), sentBefore + 1);
        const auto target = sent.back()["target"].toString();

        // An empty value travels as the bare name.
        if (c.escaped.isEmpty())
            EXPECT_TRUE (target.endsWith ("&page=1&search")) << target;
        else
            EXPECT_TRUE (target.endsWith ("&page=1&search=" + c.escaped)) << target;

        EXPECT_EQ (searchValueOf (sent.back()).toString(), c.text);
        EXPECT_EQ (a.page(), 1);
        EXPECT_EQ (a.status(), statusLine ("Demo Studio", "3", juce::String (c.total), 1, c.total > 8 ? 5 : 1));
    }
}

TEST_F (FlowTest, ReturnInTheSearchBoxSearchesFromTheFirstPage)
{
    Rig rig;
    auto& a = *rig.access;
    startSignedIn (a);
    a.panel.nextPage();
    ASSERT_TRUE (settle (a));

    a.searchBox().setText ("pad");
    ASSERT_TRUE (a.searchBox().onReturnKey != nullptr);
    a.searchBox().onReturnKey();
    ASSERT_TRUE (settle (a));

    EXPECT_EQ (a.page(), 1);
    EXPECT_EQ (a.status(), statusLine ("Demo Studio", "3", "8", 1, 1));
    for (const auto& item : a.items())
        EXPECT_TRUE (item.name.containsIgnoreCase ("pad")) << item.name;
}
