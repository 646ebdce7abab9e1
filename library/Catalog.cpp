#include "LibraryPanel.h"
#include "ReplyJson.h"

namespace
{
const juce::String dot = juce::String::fromUTF8 (" \xc2\xb7 ");
}

juce::String catalogUrl (int page, const juce::String& searchText)
{
    // Escaped here and again by juce::URL's own parameter escaping, which decodes and re-encodes the
    // same bytes, so the service sees exactly this value.
    return juce::String (restBaseUrl) + "catalog" + "&page=" + juce::String (page) +
           "&search=" + juce::URL::addEscapeChars (searchText, true, true);
}

int LibraryPanel::getNumRows() { return (int) items.size(); }

void LibraryPanel::selectedRowsChanged (int) { updateButtons(); }

void LibraryPanel::paintListBoxItem (int rowNumber, juce::Graphics& g, int width, int height, bool rowIsSelected)
{
    if (rowNumber < 0 || rowNumber >= (int) items.size())
        return;

    const auto& item = items[(size_t) rowNumber];

    if (rowIsSelected)
        g.fillAll (juce::Colour (0xff17485b));

    g.setColour (juce::Colour (0xffffffff));
    g.setFont (14.0f);
    g.drawText (item.name, 8, 0, width - 130, height, juce::Justification::centredLeft, true);

    g.setColour (juce::Colour (0xff39c8ee));
    g.drawText (item.owned ? "Unlocked" : "1 credit on website", width - 125, 0, 120, height,
                juce::Justification::centredRight, true);
}

void LibraryPanel::fetchCatalog()
{
    if (accessToken.isEmpty() || busy)
        return;

    sendRequest (catalogUrl (page, searchBox.getText()), "GET", {}, accessToken, false,
                 [this] (Reply reply) { onCatalogReply (std::move (reply)); });
}

void LibraryPanel::onCatalogReply (Reply reply)
{
    if (reply.error.isNotEmpty())
    {
        statusLabel.setText (reply.error, juce::dontSendNotification);
        return;
    }

    const auto& json = reply.json;
    items.clear();

    if (const auto* elements = json["items"].getArray())
    {
        for (const auto& element : *elements)
        {
            CatalogItem item;
            item.id = jsonInt (element["id"]);
            item.name = jsonText (element["name"]);
            item.owned = jsonFlag (element["owned"]);
            item.previewUrl = jsonText (element["preview_url"]);

            if (item.id > 0 && item.name.isNotEmpty())
                items.push_back (std::move (item));
        }
    }

    totalPages = juce::jmax (1, jsonInt (json["pages"]));
    accountName = jsonText (json["name"]);
    credits = jsonInt (json["credits"]);

    soundList.deselectAllRows();
    refreshList();

    statusLabel.setText (accountName + dot + juce::String (credits) + " credits" + dot + jsonText (json["total"]) +
                             " sounds" + dot + "Page " + juce::String (page) + "/" + juce::String (totalPages) + dot +
                             "Buy/unlock sounds on the website.",
                         juce::dontSendNotification);
}

void LibraryPanel::search()
{
    page = 1;
    fetchCatalog();
}

void LibraryPanel::previousPage()
{
    if (page <= 1)
        return;

    --page;
    fetchCatalog();
}

void LibraryPanel::nextPage()
{
    if (page >= totalPages)
        return;

    ++page;
    fetchCatalog();
}
