// What a reply's JSON may hold before it is read as no JSON at all, and how its numbers are read. The
// framework's parser recurses once for every level and would overflow the stack of the thread that reads a
// deep enough text; it adds members in quadratic time; its number readers overflow.

#include "library/ReplyJson.h"

#include <gtest/gtest.h>

#include <limits>

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
        // After a minus the parser wants a digit and stops at anything else; the count skips it.
        { "quotation mark after a minus", R"([-"5,[[1]],"x"])", 3 },
        { "bracket after a minus", "[- [1]", 1 },
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
        EXPECT_EQ (jsonShape (c.text).depth, c.depth) << c.text.substring (0, 80);

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
        { "beside a negative number", "[-5," + arrays (maxReplyJsonDepth - 1) + ",\"x\"]",
          "[-5," + arrays (maxReplyJsonDepth) + ",\"x\"]" },
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
        EXPECT_EQ (jsonShape (text).depth, depth);
        EXPECT_TRUE (parseReplyJson (text).isVoid());
    }

    EXPECT_TRUE (parseReplyJson (objects (100000)).isVoid());
    EXPECT_TRUE (parseReplyJson (R"({"message":"deep","d":)" + arrays (100000) + "}").isVoid());
}

namespace
{
// {"k0":0,"k1":0,…}, after `first` members when given.
juce::String distinctNames (int count, const juce::String& first = {})
{
    juce::MemoryOutputStream out;
    out << "{" << first;

    for (int i = 0; i < count; ++i)
        out << (i > 0 || first.isNotEmpty() ? "," : "") << "\"k" << i << "\":0";

    out << "}";
    return out.toString();
}

// The members of every object the parser built, and its arrays and objects.
int membersOf (const juce::var& value)
{
    int count = 0;

    if (const auto* elements = value.getArray())
        for (const auto& element : *elements)
            count += membersOf (element);

    if (auto* object = value.getDynamicObject())
        for (const auto& property : object->getProperties())
            count += 1 + membersOf (property.value);

    return count;
}

int containersOf (const juce::var& value)
{
    int count = 0;

    if (const auto* elements = value.getArray())
        for (const auto& element : *elements)
            count += containersOf (element);

    if (auto* object = value.getDynamicObject())
        for (const auto& property : object->getProperties())
            count += containersOf (property.value);

    return count + (value.isArray() || value.isObject() ? 1 : 0);
}

juce::MemoryBlock blockOf (const juce::String& text) { return { text.toRawUTF8(), text.getNumBytesAsUTF8() }; }

constexpr int intMax = std::numeric_limits<int>::max();
constexpr int intMin = std::numeric_limits<int>::min();
} // namespace

TEST (ReplyJson, MembersAndContainersCountWhatTheParserWouldBuild)
{
    struct Case
    {
        const char* name;
        juce::String text;
        int members;
        int containers;
        int builtMembers; // -1: not JSON
    };

    // clang-format off
    const Case cases[] = {
        { "empty text", "", 0, 0, -1 },
        { "empty object", "{}", 0, 1, 0 },
        { "one", R"({"a":1})", 1, 1, 1 },
        { "nested", R"({"a":{"b":1,"c":[{"d":2},{"e":3,"f":4}]}})", 6, 5, 6 },
        { "objects in an array", R"([{"a":1},{"b":2},{}])", 2, 4, 2 },
        { "colons inside strings", R"({"a:b":"c:d","e":'f:g',"h":["i:"]})", 3, 2, 3 },
        { "colon after an escaped quotation mark", R"({"a\":b":"\\",":":1})", 2, 1, 2 },
        { "brackets inside strings", R"(["[{", {"}]":"[["}])", 1, 2, 1 },
        // The parser replaces a name's value; it still searched for it.
        { "one name twice", R"({"a":1,"a":2})", 2, 1, 1 },
        { "nothing after the first value counts", R"({"a":1} {"b":2,"c":[3]})", 1, 1, 1 },
        { "text before any bracket", R"(x{"a":1})", 0, 0, -1 },
        { "colon in an array", "[1:2]", 1, 1, -1 },
        { "never closed", R"({"a":{"b":1)", 2, 2, -1 },
    };
    // clang-format on

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto shape = jsonShape (c.text);
        EXPECT_EQ (shape.members, c.members);
        EXPECT_EQ (shape.containers, c.containers);

        const auto parsed = juce::JSON::parse (c.text);
        EXPECT_EQ (parsed.isVoid() ? -1 : membersOf (parsed), c.builtMembers);

        if (! parsed.isVoid())
        {
            EXPECT_EQ (containersOf (parsed), c.containers);
        }
    }
}

TEST (ReplyJson, MoreMembersOrContainersThanTheBoundsIsNotJson)
{
    ASSERT_EQ (maxReplyJsonMembers, 4096);
    ASSERT_EQ (maxReplyJsonContainers, 4096);

    // 64 objects of 64 distinct names make the bound of members.
    const auto spread = [] (int extra)
    {
        juce::StringArray objects;

        for (int i = 0; i < 64; ++i)
            objects.add (distinctNames (64 + (i == 63 ? extra : 0)).replace ("\"k", "\"o" + juce::String (i) + "k"));

        return "[" + objects.joinIntoString (",") + "]";
    };

    const auto oneName = [] (int count) { return "{" + repeated ("\"a\":0,", count - 1) + "\"a\":0}"; };
    const auto emptyArrays = [] (int count) { return "[" + repeated ("[],", count - 2) + "[]]"; };
    const auto emptyObjects = [] (int count) { return "[" + repeated ("{},", count - 2) + "{}]"; };
    // Arrays nested as deep as allowed, and empty ones, to the bound of containers.
    const auto nested = [] (int extra)
    { return "{\"a\":[" + repeated ((arrays (254) + ",").toRawUTF8(), 16) + repeated ("[],", 30 + extra) + "0]}"; };

    struct Case
    {
        const char* name;
        juce::String atBound;
        juce::String pastBound;
        bool members;
    };

    const Case cases[] = {
        { "distinct names in one object", distinctNames (maxReplyJsonMembers), distinctNames (maxReplyJsonMembers + 1),
          true },
        { "one name over and over", oneName (maxReplyJsonMembers), oneName (maxReplyJsonMembers + 1), true },
        { "names spread over objects", spread (0), spread (1), true },
        { "beside a message", distinctNames (maxReplyJsonMembers - 1, R"("message":"Kept.")"),
          distinctNames (maxReplyJsonMembers, R"("message":"Lost.")"), true },
        { "empty arrays", emptyArrays (maxReplyJsonContainers), emptyArrays (maxReplyJsonContainers + 1), false },
        { "empty objects", emptyObjects (maxReplyJsonContainers), emptyObjects (maxReplyJsonContainers + 1), false },
        { "nested arrays", nested (0), nested (1), false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto shape = jsonShape (c.atBound);
        EXPECT_EQ (c.members ? shape.members : shape.containers, 4096);
        EXPECT_LE (shape.members, maxReplyJsonMembers);
        EXPECT_LE (shape.containers, maxReplyJsonContainers);
        EXPECT_FALSE (parseReplyJson (c.atBound).isVoid());
        EXPECT_TRUE (parseReplyJson (c.pastBound).isVoid());
    }

    EXPECT_EQ (rejectionMessage (parseReplyJson (cases[3].atBound), "fallback"), "Kept.");
    EXPECT_EQ (rejectionMessage (parseReplyJson (cases[3].pastBound), "fallback"), "fallback");
}

TEST (ReplyJson, BodyLongerThanTheJsonLimitIsNotJson)
{
    ASSERT_EQ (maxReplyJsonBytes, 1048576);

    // ["xxx…"] of exactly the limit.
    const auto atLimit = "[\"" + repeated ("x", (int) maxReplyJsonBytes - 4) + "\"]";
    ASSERT_EQ ((juce::int64) atLimit.getNumBytesAsUTF8(), maxReplyJsonBytes);

    const auto parsed = parseReplyJson (blockOf (atLimit));
    ASSERT_TRUE (parsed.isArray());
    EXPECT_EQ (parsed[0].toString().length(), (int) maxReplyJsonBytes - 4);

    // Valid JSON all the same.
    EXPECT_TRUE (parseReplyJson (blockOf (atLimit + " ")).isVoid());
    EXPECT_TRUE (parseReplyJson (blockOf (R"({"message":"Long."})" + repeated (" ", 33554432 - 19))).isVoid());

    // The text of a body honours a byte-order mark, UTF-8 otherwise.
    EXPECT_EQ (parseReplyJson (blockOf (utf8 ("\xef\xbb\xbf{\"a\":\"\xc3\xa9\"}")))["a"].toString(), utf8 ("\xc3\xa9"));
    EXPECT_TRUE (parseReplyJson (juce::MemoryBlock()).isVoid());
}

// Each of these read past the end of the text inside the framework's parser, or would have taken a minus's
// next character, whatever it is, as a digit.
TEST (ReplyJson, TextEndingInsideANumberIsNotJson)
{
    for (const char* text : { "[-", "[- ", "[-\n", R"({"credits":-)", "[1", "[1.", "[1e", "[1e+", "[0.5E-",
                              R"({"a":12)", R"([-"5,[[1]],"x"])", "[-x]", "[--1]", "[-.5]", "[-]" })
    {
        SCOPED_TRACE (text);
        EXPECT_TRUE (parseReplyJson (juce::String (text)).isVoid());
        EXPECT_TRUE (juce::JSON::parse (juce::String (text)).isVoid());
    }

    // The framework's own forms stay: blanks after a minus, a bare fraction or exponent.
    EXPECT_EQ (juce::JSON::toString (parseReplyJson (juce::String ("[-1, - 2,-0,1e2,-3.5]")), true),
               "[-1, -2, 0, 100.0, -3.5]");
}

TEST (ReplyJson, NumbersOutsideIntReadAsTheNearestInt)
{
    struct Case
    {
        const char* value; // as the reply holds it
        int asInt;
        bool asFlag;
        const char* asText; // nullptr: not checked
    };

    // clang-format off
    const Case cases[] = {
        // In range, as the framework converts them.
        { "42", 42, true, "42" },
        { "-7", -7, true, "-7" },
        { "0", 0, false, "0" },
        { "2.9", 2, true, "2.9" },
        { "-2.9", -2, true, "-2.9" },
        { "1e2", 100, true, "100.0" },
        { "2147483647", intMax, true, "2147483647" },
        { "-2147483648", intMin, true, "-2147483648" },
        { "2147483647.9", intMax, true, nullptr },
        { R"("12")", 12, true, "12" },
        { R"(" 42 apples")", 42, true, " 42 apples" },
        { R"("+5")", 5, true, "+5" },
        { R"("2.9")", 2, true, "2.9" },
        { R"("1e300")", 1, true, "1e300" },
        { R"("-2147483648")", intMin, true, "-2147483648" },
        { R"("apples")", 0, false, "apples" },
        { R"("0")", 0, false, "0" },
        { R"(" Yes ")", 0, true, " Yes " },
        { R"("TRUE")", 0, true, "TRUE" },
        // Beyond int, as 64-bit integers.
        { "2147483648", intMax, true, "2147483648" },
        { "-2147483649", intMin, true, "-2147483649" },
        { "12345678901", intMax, true, "12345678901" },
        { "9223372036854775807", intMax, true, "9223372036854775807" },
        // Beyond 64 bits: read as doubles.
        { "99999999999999999999", intMax, true, nullptr },
        { "-99999999999999999999", intMin, true, nullptr },
        { "9223372036854775808", intMax, true, nullptr },
        { "-9223372036854775808", intMin, true, nullptr },
        // Doubles beyond int, and exponents beyond any double.
        { "1e300", intMax, true, nullptr },
        { "-1e300", intMin, true, nullptr },
        { "1e9999999999", intMax, true, nullptr },
        { "-1e9999999999", intMin, true, nullptr },
        { "1e-9999999999", 0, false, nullptr },
        { "1e99999999999999999999999999999", intMax, true, nullptr },
        // Numeric strings beyond int.
        { R"("99999999999")", intMax, true, "99999999999" },
        { R"("-99999999999999999999999")", intMin, true, nullptr },
        { R"("4294967296")", intMax, true, nullptr },
    };
    // clang-format on

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.value);
        const auto json = parseReplyJson ("{\"v\":" + juce::String (c.value) + "}");
        ASSERT_TRUE (json.isObject());
        EXPECT_EQ (jsonInt (json["v"]), c.asInt);
        EXPECT_EQ (jsonFlag (json["v"]), c.asFlag);

        if (c.asText != nullptr)
        {
            EXPECT_EQ (jsonText (json["v"]), c.asText);
        }
    }

    // A thousand digits or more before the point made the exponent the reader writes out wrong.
    for (const int digits : { 309, 400, 1000, 5000, 100000 })
    {
        SCOPED_TRACE (digits);
        const auto json = parseReplyJson ("[" + repeated ("9", digits) + ",-" + repeated ("9", digits) + ".5]");
        ASSERT_TRUE (json.isArray());
        EXPECT_EQ ((double) json[0], std::numeric_limits<double>::infinity());
        EXPECT_EQ ((double) json[1], -std::numeric_limits<double>::infinity());
        EXPECT_EQ (jsonInt (json[0]), intMax);
        EXPECT_EQ (jsonInt (json[1]), intMin);
    }
}
