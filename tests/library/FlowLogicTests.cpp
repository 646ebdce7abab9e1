// The parts of sign-in, catalog and downloads that need no service: the poll deadline, the poll body,
// the catalog address, the file names and the row drawing.

#include "library/FlowSupport.h"

using namespace flow;

TEST (FlowLogic, PollDeadlineHoldsAcrossACounterWrap)
{
    struct Case
    {
        juce::uint32 deadline, now;
        bool before;
    };

    const juce::uint32 lateStart = 0xfffffff0u;
    const juce::uint32 wrappedDeadline = lateStart + 600000u; // 599984 after the wrap

    const Case cases[] = {
        { 1000, 999, true },
        { 1000, 1000, false },
        { 1000, 1001, false },
        { wrappedDeadline, lateStart, true },
        { wrappedDeadline, 0xffffffffu, true },
        { wrappedDeadline, 0, true },
        { wrappedDeadline, wrappedDeadline - 1, true },
        { wrappedDeadline, wrappedDeadline, false },
        { wrappedDeadline, wrappedDeadline + 1, false },
        // A deadline just before the wrap, read after it.
        { 0xfffffff0u, 5, false },
        { 10, 10 + 0x7fffffffu, false },
    };

    ASSERT_EQ (wrappedDeadline, 599984u);

    for (const auto& c : cases)
        EXPECT_EQ (isBeforePollDeadline (c.deadline, c.now), c.before) << c.deadline << " at " << c.now;
}

TEST (FlowLogic, PollBodyIsTheFrameworksMultiLineJson)
{
    const juce::String user ("ABCDEFGHJK");
    const juce::String device ("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-");
    ASSERT_EQ (device.length(), 64);

    const auto body = makePollBody (user, device);
    const juce::String expected =
        "{\r\n  \"user_code\": \"" + user + "\",\r\n  \"device_code\": \"" + device + "\"\r\n}";
    EXPECT_EQ (body, expected);
    EXPECT_EQ (body.getNumBytesAsUTF8(), 119u);

    // For ASCII codes the framework writes the same bytes.
    auto* object = new juce::DynamicObject();
    object->setProperty ("user_code", user);
    object->setProperty ("device_code", device);
    EXPECT_EQ (juce::JSON::toString (juce::var (object), false, 15), body);
}

TEST (FlowLogic, PollBodyEscapesOnlyWhatJsonRequires)
{
    struct Case
    {
        juce::String code;
        const char* written; // between the quotation marks, as UTF-8
    };

    const Case cases[] = {
        // Letters beyond ASCII travel as their UTF-8 bytes.
        { utf8 ("\xc3\x84\xc3\x96\xc3\x9c\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f\xc3\xa9\xc3\xa8\xc3\xaa"),
          "\xc3\x84\xc3\x96\xc3\x9c\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f\xc3\xa9\xc3\xa8\xc3\xaa" },
        { utf8 ("\xe2\x82\xac\xf0\x9f\x8e\xb5\x7f"), "\xe2\x82\xac\xf0\x9f\x8e\xb5\x7f" },
        { "a\"b\\c/", "a\\\"b\\\\c/" },
        { "\t\n\r\b\f", "\\t\\n\\r\\b\\f" },
        { juce::String::charToString (1) + juce::String::charToString (7) + juce::String::charToString (31),
          "\\u0001\\u0007\\u001f" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.written);
        const auto body = makePollBody (c.code, "D");
        const auto expected = "{\r\n  \"user_code\": \"" + utf8 (c.written) + "\",\r\n  \"device_code\": \"D\"\r\n}";
        EXPECT_EQ (body, expected);

        // Whatever it holds, the service reads back the code that was sent.
        const auto parsed = juce::JSON::parse (body);
        EXPECT_EQ (parsed["user_code"].toString(), c.code);
        EXPECT_EQ (parsed["device_code"].toString(), "D");
    }
}

TEST (FlowLogic, CatalogAddressEscapesTheSearchText)
{
    struct Case
    {
        int page;
        juce::String text;
        juce::String tail;
    };

    const Case cases[] = {
        { 2, utf8 ("a b+c/\xc3\xa9"), "catalog&page=2&search=a%20b%2Bc%2F%C3%A9" },
        { 1, "(x)~_-.", "catalog&page=1&search=(x)~_-." },
        { 1, "", "catalog&page=1&search=" },
        { 12, " &=%#?'\"*!,$;:@", "catalog&page=12&search=%20%26%3D%25%23%3F%27%22%2A%21%2C%24%3B%3A%40" },
        { 3, "  Kick ", "catalog&page=3&search=%20%20Kick%20" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (catalogUrl (c.page, c.text), juce::String (restBaseUrl) + c.tail) << c.text;
}

TEST (FlowLogic, DownloadFileNames)
{
    EXPECT_EQ (downloadFileName (42, true), "owned-42.wav");
    EXPECT_EQ (downloadFileName (42, false), "preview-42.wav");
    EXPECT_EQ (downloadFileName (7, true), "owned-7.wav");
    EXPECT_EQ (downloadFileName (2147483647, false), "preview-2147483647.wav");
}

namespace
{
struct RowImage
{
    static constexpr int width = 400;
    static constexpr int height = 28;

    RowImage (LibraryPanel& panel, int row, bool selected) : image (juce::Image::ARGB, width, height, true)
    {
        juce::Graphics g (image);
        panel.paintListBoxItem (row, g, width, height, selected);
    }

    bool blank() const
    {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (image.getPixelAt (x, y).getAlpha() != 0)
                    return false;
        return true;
    }

    // Leftmost and rightmost columns holding a pixel near the colour, or -1.
    juce::Range<int> columnsOf (juce::Colour colour) const
    {
        int first = -1, last = -1;
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < height; ++y)
            {
                const auto p = image.getPixelAt (x, y);
                if (p.getAlpha() > 200 && std::abs (p.getRed() - colour.getRed()) < 40 &&
                    std::abs (p.getGreen() - colour.getGreen()) < 40 && std::abs (p.getBlue() - colour.getBlue()) < 40)
                {
                    first = first < 0 ? x : first;
                    last = x;
                    break;
                }
            }
        return { first, last };
    }

    juce::Image image;
};
} // namespace

TEST (FlowLogic, RowsShowNameAndOwnership)
{
    Rig rig;
    auto& a = *rig.access;
    a.items() = { { 1, "Deep Kick 01", "", true },
                  { 2, "Dusty Snare 02", "", false },
                  { 3, juce::String::repeatedString ("Very long name ", 40), "", false } };

    const juce::Colour white (0xffffffff), cyan (0xff39c8ee), selection (0xff17485b);

    // Rows outside the list draw nothing.
    EXPECT_TRUE (RowImage (a.panel, -1, true).blank());
    EXPECT_TRUE (RowImage (a.panel, 3, true).blank());

    const RowImage owned (a.panel, 0, true);
    EXPECT_EQ (owned.image.getPixelAt (2, 2), selection);
    EXPECT_EQ (owned.image.getPixelAt (RowImage::width - 2, RowImage::height - 2), selection);

    const RowImage plain (a.panel, 1, false);
    EXPECT_EQ (plain.image.getPixelAt (2, 2).getAlpha(), 0) << "an unselected row leaves the background";

    for (const auto* row : { &owned, &plain })
    {
        const auto name = row->columnsOf (white);
        ASSERT_GE (name.getStart(), 8);
        EXPECT_LT (name.getEnd(), RowImage::width - 130);
        const auto tag = row->columnsOf (cyan);
        ASSERT_GE (tag.getStart(), RowImage::width - 125);
        EXPECT_LT (tag.getEnd(), RowImage::width - 5);
        EXPECT_GT (tag.getEnd(), RowImage::width - 30) << "the tag is right-aligned";
    }

    // "1 credit on website" is the longer tag, so it starts further left.
    EXPECT_LT (plain.columnsOf (cyan).getStart(), owned.columnsOf (cyan).getStart());

    // A name too long for its column ends inside it.
    const RowImage longName (a.panel, 2, false);
    EXPECT_LE (longName.columnsOf (white).getEnd(), 8 + RowImage::width - 130);
    EXPECT_GT (longName.columnsOf (white).getEnd(), RowImage::width - 200);
}
