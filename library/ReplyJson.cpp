#include "ReplyJson.h"

namespace
{
bool isTextOrNumber (const juce::var& value)
{
    return value.isString() || value.isInt() || value.isInt64() || value.isDouble();
}
} // namespace

int jsonNestingDepth (const juce::String& text)
{
    // Follows the framework's parser: it reads one array or object, takes strings in either kind of
    // quotation mark with a backslash escaping the next character, and takes the first character of a
    // negative number whatever it is.
    auto p = text.getCharPointer().findEndOfWhitespace();

    if (*p != '[' && *p != '{')
        return 0;

    int depth = 0;
    int deepest = 0;
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
            deepest = juce::jmax (deepest, ++depth);
            break;
        case ']':
        case '}':
            if (--depth == 0)
                return deepest;

            break;
        default:
            break;
        }
    }

    return deepest;
}

juce::var parseReplyJson (const juce::String& text)
{
    // The parser recurses once for every level and has no limit of its own: a text of some ten thousand
    // levels overflows the stack of the thread that reads it.
    if (jsonNestingDepth (text) > maxReplyJsonDepth)
        return {};

    return juce::JSON::parse (text);
}

juce::String jsonText (const juce::var& value) { return isTextOrNumber (value) ? value.toString() : juce::String(); }

int jsonInt (const juce::var& value) { return isTextOrNumber (value) ? (int) value : 0; }

bool jsonFlag (const juce::var& value) { return ! value.isObject() && ! value.isArray() && (bool) value; }

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
