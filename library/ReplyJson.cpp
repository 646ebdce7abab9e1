#include "ReplyJson.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace
{
bool isTextOrNumber (const juce::var& value)
{
    return value.isString() || value.isInt() || value.isInt64() || value.isDouble();
}

int nearestInt (juce::int64 value)
{
    return (int) juce::jlimit ((juce::int64) std::numeric_limits<int>::min(),
                               (juce::int64) std::numeric_limits<int>::max(), value);
}
} // namespace

JsonShape jsonShape (const juce::String& text)
{
    // Follows the framework's parser: it reads one array or object and takes strings in either kind of
    // quotation mark, with a backslash escaping the next character. It stops at a minus not followed by a
    // digit, so what follows a minus never starts a string.
    auto p = text.getCharPointer().findEndOfWhitespace();

    if (*p != '[' && *p != '{')
        return {};

    JsonShape shape;
    int depth = 0;
    juce::juce_wchar quote = 0;

    while (! p.isEmpty())
    {
        const auto c = p.getAndAdvance();

        if (quote != 0)
        {
            if (c == '\\')
            {
                if (p.isEmpty())
                    break;

                ++p;
            }
            else if (c == quote)
            {
                quote = 0;
            }

            continue;
        }

        switch (c)
        {
        case '"':
        case '\'':
            quote = c;
            break;
        case '-':
            p = p.findEndOfWhitespace();

            if (! p.isEmpty())
                ++p;

            break;
        case '[':
        case '{':
            shape.depth = juce::jmax (shape.depth, ++depth);
            ++shape.containers;
            break;
        case ']':
        case '}':
            if (--depth == 0)
                return shape;

            break;
        case ':':
            // Outside a string the parser takes a colon only after a member's name.
            ++shape.members;
            break;
        default:
            break;
        }
    }

    return shape;
}

juce::var parseReplyJson (const juce::String& text)
{
    // The parser recurses once for every level and has no limit of its own: a text of some ten thousand
    // levels overflows the stack of the thread that reads it. It adds each member to its object by a linear
    // search and interns each new name in the process-wide string pool by a sorted insert, so a megabyte of
    // distinct names takes seconds. A megabyte of nested arrays takes a tenth of a second.
    const auto shape = jsonShape (text);

    if (shape.depth > maxReplyJsonDepth || shape.members > maxReplyJsonMembers ||
        shape.containers > maxReplyJsonContainers)
        return {};

    // The pool keeps every name until it next collects, at most every 30 s; a server answering each request
    // with new names would otherwise make every insert slower than the last.
    juce::StringPool::getGlobalPool().garbageCollect();

    return juce::JSON::parse (text);
}

juce::var parseReplyJson (const juce::MemoryBlock& body)
{
    // Not even made into text: an audio reply may be 32 times longer.
    if ((juce::int64) body.getSize() > maxReplyJsonBytes)
        return {};

    return parseReplyJson (juce::String::createStringFromData (body.getData(), (int) body.getSize()));
}

juce::String jsonText (const juce::var& value) { return isTextOrNumber (value) ? value.toString() : juce::String(); }

int jsonInt (const juce::var& value)
{
    // The framework's own conversions are undefined out of range: a double's cast, and the C library's atoi
    // behind a string's.
    if (value.isDouble())
    {
        const double number = value;

        if (std::isnan (number))
            return 0;

        if (number <= (double) std::numeric_limits<int>::min())
            return std::numeric_limits<int>::min();

        if (number >= (double) std::numeric_limits<int>::max())
            return std::numeric_limits<int>::max();

        return (int) number;
    }

    if (value.isString())
        return nearestInt (std::strtoll (value.toString().toRawUTF8(), nullptr, 10));

    if (value.isInt() || value.isInt64())
        return nearestInt ((juce::int64) value);

    return 0;
}

bool jsonFlag (const juce::var& value)
{
    if (value.isObject() || value.isArray())
        return false;

    // The framework's rule for text, with its number read as jsonInt does.
    if (value.isString())
    {
        const auto text = value.toString().trim();
        return jsonInt (value) != 0 || text.equalsIgnoreCase ("true") || text.equalsIgnoreCase ("yes");
    }

    return (bool) value;
}

juce::String rejectionMessage (const juce::var& json, const juce::String& fallback)
{
    const juce::Identifier key ("message");

    if (auto* object = json.getDynamicObject(); object != nullptr && object->hasProperty (key))
    {
        const auto& message = object->getProperty (key);

        if (message.isVoid())
            return {};

        if (isTextOrNumber (message))
            return message.toString();
    }

    return fallback;
}
