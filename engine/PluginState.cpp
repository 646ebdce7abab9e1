#include "TolvaneProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace
{
constexpr juce::uint32 stateMagic = 0x21324356; // "VC2!", the framework's XML block magic

bool isSpace (char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool startsWith (const char* text, size_t length, size_t at, const char* prefix)
{
    const auto n = std::strlen (prefix);
    return at <= length && length - at >= n && std::memcmp (text + at, prefix, n) == 0;
}

// An entity reference inside an attribute value, starting at the '&': one of XML's five named
// ones or a character number naming a character XML allows. Returns its length, or 0.
size_t referenceLength (const char* text, size_t length, size_t at)
{
    for (const char* named : { "&amp;", "&lt;", "&gt;", "&quot;", "&apos;" })
        if (startsWith (text, length, at, named))
            return std::strlen (named);

    if (! startsWith (text, length, at, "&#"))
        return 0;

    const bool hex = startsWith (text, length, at, "&#x");
    size_t i = at + (hex ? 3 : 2);
    const size_t firstDigit = i;
    juce::uint32 code = 0;

    for (; i < length && text[i] != ';'; ++i)
    {
        const int digit = hex ? juce::CharacterFunctions::getHexDigitValue ((juce::juce_wchar) (juce::uint8) text[i])
                              : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0 || i - firstDigit >= 7)
            return 0;
        code = code * (hex ? 16u : 10u) + (juce::uint32) digit;
    }

    const bool allowed = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                         (code >= 0xE000 && code <= 0x10FFFF && code != 0xFFFE && code != 0xFFFF);
    return i < length && i > firstDigit && allowed ? i + 1 - at : 0;
}

// The product writes nothing but a declaration and one element with attributes. The framework's
// parser over-reads or never ends on some other constructs (invalid UTF-8, entities in text, processing
// instructions, document types, deep nesting), and hands back what it built so far when the text
// ends inside the element. So only this shape goes to it: white space, an optional "<?xml ... ?>"
// declaration, white space, then one start tag free of '<' and of stray '&', ending in "/>" or in
// ">" followed by white space and an end tag. Returns the length of the text up to the end of
// that element, or 0 to refuse. What follows the element is never parsed.
size_t plainElementLength (const char* text, size_t length)
{
    size_t i = 0;
    auto skipSpace = [&]
    {
        while (i < length && isSpace (text[i]))
            ++i;
    };

    skipSpace();
    if (startsWith (text, length, i, "<?xml"))
    {
        const char close[] = { '?', '>' };
        const auto* end = std::search (text + i + 5, text + length, close, close + 2);
        if (end == text + length)
            return 0;
        i = (size_t) (end - text) + 2;
        skipSpace();
    }

    if (i >= length || text[i] != '<' || startsWith (text, length, i, "<!") || startsWith (text, length, i, "<?"))
        return 0;

    char quote = 0;
    for (++i; i < length; ++i)
    {
        const char c = text[i];

        if (c == '<')
            return 0;

        if (quote != 0)
        {
            if (c == quote)
                quote = 0;
            else if (c == '&')
            {
                const auto reference = referenceLength (text, length, i);
                if (reference == 0)
                    return 0;
                i += reference - 1;
            }
        }
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == '&')
            return 0;
        else if (c == '>')
            break;
    }

    if (i >= length)
        return 0;

    if (text[i - 1] == '/')
        return i + 1;

    // Content is white space only, then the end tag.
    ++i;
    skipSpace();
    if (! startsWith (text, length, i, "</"))
        return 0;

    for (i += 2; i < length; ++i)
    {
        if (text[i] == '<' || text[i] == '&')
            return 0;
        if (text[i] == '>')
            return i + 1;
    }

    return 0;
}

// The framework's own reader returns whatever element it built before a parse error, so a block
// cut inside the element would still change settings; plainElementLength refuses those and more.
// The parser (7.0.5) also reports nothing when the text ends inside the start tag after a whole
// attribute, after "name=" or right after the tag name. Parsing the text followed by a quote and a
// "<" turns such endings into errors, while a complete element is unaffected: the parser stops
// after the outermost element and never looks at what follows.
std::unique_ptr<juce::XmlElement> readStateXml (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 8 || juce::ByteOrder::littleEndianInt (data) != stateMagic)
        return {};

    const auto length = (int) juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (data, 4));
    if (length <= 0)
        return {};

    // A zero byte ends the text.
    const auto* text = static_cast<const char*> (data) + 8;
    const auto available = (size_t) juce::jmin (sizeInBytes - 8, length);
    const auto textLength = (size_t) (std::find (text, text + available, '\0') - text);

    if (! juce::CharPointer_UTF8::isValidString (text, (int) textLength))
        return {};

    const auto elementLength = plainElementLength (text, textLength);
    if (elementLength == 0)
        return {};

    juce::XmlDocument document (juce::String::fromUTF8 (text, (int) elementLength) + "\"<");
    auto element = document.getDocumentElement();

    if (document.getLastParseError().isNotEmpty())
        return {};

    return element;
}

// The framework's number reader gathers an exponent's digits in an int, which overflows (undefined)
// past nine significant digits. Any exponent that long gives infinity or zero, and so does one of
// nine nines, so such a run of digits is read as 999999999.
juce::String withBoundedExponents (const juce::String& text)
{
    auto bytes = text.toStdString();
    const auto isDigit = [&] (size_t at) { return at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9'; };

    for (size_t i = 0; i < bytes.size(); ++i)
    {
        if (bytes[i] != 'e' && bytes[i] != 'E')
            continue;
        size_t start = i + 1;
        if (start < bytes.size() && (bytes[start] == '+' || bytes[start] == '-'))
            ++start;
        size_t significant = start;
        while (significant < bytes.size() && bytes[significant] == '0')
            ++significant;
        size_t end = significant;
        while (isDigit (end))
            ++end;
        if (end - significant > 9)
            bytes.replace (start, end - start, "999999999");
    }
    return juce::String::fromUTF8 (bytes.data(), (int) bytes.size());
}

// A value reading as NaN would pass every clamp and reach the audio thread.
double readNumber (const juce::XmlElement& xml, const char* name, double fallback)
{
    if (! xml.hasAttribute (name))
        return fallback;
    const auto value = withBoundedExponents (xml.getStringAttribute (name)).getDoubleValue();
    return std::isnan (value) ? fallback : value;
}

// "-0.0" reads as negative zero, which would save back as "-0.0" rather than "0.0".
double withoutNegativeZero (double value) { return value == 0.0 ? 0.0 : value; }
} // namespace

void TolvaneProcessor::getStateInformation (juce::MemoryBlock& destination)
{
    juce::XmlElement xml ("BRVTolvane");
    xml.setAttribute ("bpm", sourceBpm.load());
    xml.setAttribute ("pitch", pitchSemitones.load());
    xml.setAttribute ("gain", (double) gain.load());
    xml.setAttribute ("sync", matchDawTempo.load() ? 1 : 0);
    copyXmlToBinary (xml, destination);
}

void TolvaneProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    const auto xml = readStateXml (data, sizeInBytes);

    if (xml == nullptr || ! xml->getTagName().equalsIgnoreCase ("BRVTolvane"))
        return;

    const auto bpm = readNumber (*xml, "bpm", 0.0);
    sourceBpm.store (withoutNegativeZero (bpm < 0.0 ? 0.0 : std::min (bpm, 400.0)));

    const auto pitch = readNumber (*xml, "pitch", 0.0);
    pitchSemitones.store (withoutNegativeZero (pitch < -12.0 ? -12.0 : std::min (pitch, 12.0)));

    const auto level = readNumber (*xml, "gain", 0.5);
    gain.store ((float) withoutNegativeZero (level < 0.0 ? 0.0 : std::min (level, 1.0)));

    matchDawTempo.store (xml->getBoolAttribute ("sync", false));
}
