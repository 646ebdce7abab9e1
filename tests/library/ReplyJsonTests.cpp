// How deep a reply's JSON may nest before it is read as no JSON at all. The framework's parser recurses
// once for every level and would overflow the stack of the thread that reads a deep enough text.

#include "library/ReplyJson.h"

#include <gtest/gtest.h>

namespace
{
juce::String repeated (const char* text, int times) { return juce::String::repeatedString (text, times); }

juce::String arrays (int depth) { return repeated ("[", depth) + repeated ("]", depth); }

juce::String objects (int depth) { return repeated ("{\"k\":", depth - 1) + "{}" + repeated ("}", depth - 1); }

// Arrays and objects in turn, a value beside each level.
juce::String mixed (int depth)
{
    juce::String open, close;

    for (int level = 0; level < depth; ++level)
    {
        const bool array = level % 2 == 0;
        open << (array ? "[1,\"]\"," : "{\"k}\":true,\"v\":");
        close = (array ? "]" : "}") + close;
    }

    return open + "0" + close;
}

// The depth of what the parser built.
int depthOf (const juce::var& value)
{
    int deepest = 0;

    if (const auto* elements = value.getArray())
    {
        for (const auto& element : *elements)
            deepest = juce::jmax (deepest, depthOf (element));

        return deepest + 1;
    }

    if (auto* object = value.getDynamicObject())
    {
        for (const auto& property : object->getProperties())
            deepest = juce::jmax (deepest, depthOf (property.value));

        return deepest + 1;
    }

    return 0;
}

juce::String utf8 (const char* text) { return juce::String::fromUTF8 (text); }
} // namespace

TEST (ReplyJson, NestingCountsWhatTheParserWouldEnter)
{
    struct Case
    {
        const char* name;
        juce::String text;
        int depth;
    };

    // clang-format off
    const Case cases[] = {
        { "empty text", "", 0 },
        { "empty array", "[]", 1 },
        { "empty object", " \r\n\t{}", 1 },
        { "arrays", "[[[1],[]],[[[2]]]]", 4 },
        { "objects", R"({"a":{"b":{"c":{}}},"d":{}})", 4 },
        { "mixed", R"({"items":[{"id":1,"tags":[["x"]]}],"pages":2})", 5 },
        { "brackets inside strings", R"(["[[[[", "{{{{", {"]]]":"}}}"}])", 2 },
        { "escaped quotation mark", R"(["a\"[[[[", "]]]]\"", [1]])", 2 },
        { "escaped backslash ends the string", R"(["\\", [[1]]])", 3 },
        { "escape spelled out in hexadecimal", R"(["\u0022[[[", 1])", 1 },
        { "single quotation marks", R"(['[["[', 1])", 1 },
        { "double quotation mark inside single ones", R"(['"', [[1]]])", 3 },
        { "single quotation mark inside double ones", R"(["'", [[1]]])", 3 },
        // The parser takes the first character after a minus as a digit, a quotation mark too.
        { "quotation mark read as a digit", R"([-"5,[[1]],"x"])", 3 },
        { "bracket read as a digit", "[- [1]", 1 },
        { "exponent sign", R"([1e-5,"[[",[2.5E+3]])", 2 },
        { "letters beyond ASCII", utf8 ("[\"\xc3\xa9[\",{\"\xc3\xbc\":[\"\xf0\x9f\x8e\xb5\"]}]"), 3 },
        { "nothing after the first value counts", "[[1]] [[[[[[", 2 },
        { "text before any bracket", "x[[[[", 0 },
        { "string before any bracket", "\"[[[[\"", 0 },
        { "never closed", "[[[", 3 },
        { "unterminated string", R"([["]]]]]])", 2 },
        { "backslash at the end", "[\"\\", 1 },
        { "closing brackets of the wrong kind", "[{]]]", 2 },
        { "mixed at the bound", mixed (maxReplyJsonDepth), maxReplyJsonDepth },
        { "objects one past the bound", objects (maxReplyJsonDepth + 1), maxReplyJsonDepth + 1 },
    };
    // clang-format on

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        EXPECT_EQ (jsonNestingDepth (c.text), c.depth) << c.text.substring (0, 80);

        // Where the framework reads the text, it builds exactly that deep.
        const auto parsed = juce::JSON::parse (c.text);

        if (! parsed.isVoid())
        {
            EXPECT_EQ (depthOf (parsed), c.depth);
        }
    }
}

TEST (ReplyJson, DeeperThanTheBoundIsNotJson)
{
    ASSERT_EQ (maxReplyJsonDepth, 256);

    struct Case
    {
        const char* name;
        juce::String atBound;
        juce::String pastBound;
    };

    const auto stringful = repeated ("[\"]]]\",", maxReplyJsonDepth - 1) + "[\"" + repeated ("[", 300) + "\"]" +
                           repeated ("]", maxReplyJsonDepth - 1);

    const Case cases[] = {
        { "arrays", arrays (maxReplyJsonDepth), arrays (maxReplyJsonDepth + 1) },
        { "objects", objects (maxReplyJsonDepth), objects (maxReplyJsonDepth + 1) },
        { "mixed", mixed (maxReplyJsonDepth), mixed (maxReplyJsonDepth + 1) },
        { "brackets in strings do not count", stringful, "[" + stringful + "]" },
        { "hidden behind a minus", "[-\"5," + arrays (maxReplyJsonDepth - 1) + ",\"x\"]",
          "[-\"5," + arrays (maxReplyJsonDepth) + ",\"x\"]" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto parsed = parseReplyJson (c.atBound);
        ASSERT_FALSE (parsed.isVoid());
        EXPECT_EQ (depthOf (parsed), maxReplyJsonDepth);
        EXPECT_TRUE (parseReplyJson (c.pastBound).isVoid());
    }
}

// Each of these took the process down inside the parser.
TEST (ReplyJson, VeryDeepTextsEndAsNoJson)
{
    for (const int depth : { 10000, 100000, 524288 })
    {
        SCOPED_TRACE (depth);
        const auto text = arrays (depth);
        EXPECT_EQ (jsonNestingDepth (text), depth);
        EXPECT_TRUE (parseReplyJson (text).isVoid());
    }

    EXPECT_TRUE (parseReplyJson (objects (100000)).isVoid());
    EXPECT_TRUE (parseReplyJson (R"({"message":"deep","d":)" + arrays (100000) + "}").isVoid());
}
