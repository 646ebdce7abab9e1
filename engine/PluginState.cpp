#include "TolvaneProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace
{
constexpr juce::uint32 stateMagic = 0x21324356; // "VC2!", the framework's XML block magic

// The product writes four attributes; a block with more than this many is not one of ours.
constexpr size_t maxAttributes = 64;

// The product's text is 94 bytes. Only this much of a block is ever looked at, so that a block of any
// size costs microseconds; an element that does not end within it is refused.
constexpr size_t maxTextLength = 64 * 1024;

bool isSpace (char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit (char c) { return c >= '0' && c <= '9'; }
bool isLetter (char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isNameStart (char c) { return isLetter (c) || c == '_' || c == ':'; }
bool isNameChar (char c) { return isNameStart (c) || isDigit (c) || c == '-' || c == '.'; }

// Inside the element: printable ASCII and XML's white space; other control characters are not XML.
bool isTextByte (char c)
{
    const auto b = (unsigned char) c;
    return (b >= 0x20 && b < 0x7F) || b == '\t' || b == '\n' || b == '\r';
}

// An entity reference inside an attribute value, starting at the '&': one of XML's five named
// ones or a character number naming a character XML allows. Returns its length, or 0.
size_t referenceLength (std::string_view text, size_t at)
{
    const auto rest = text.substr (at);
    for (std::string_view named : { "&amp;", "&lt;", "&gt;", "&quot;", "&apos;" })
        if (rest.substr (0, named.size()) == named)
            return named.size();

    if (rest.substr (0, 2) != "&#")
        return 0;

    const bool hex = rest.substr (0, 3) == "&#x";
    size_t i = hex ? 3 : 2;
    const size_t firstDigit = i;
    juce::uint32 code = 0;

    for (; i < rest.size() && rest[i] != ';'; ++i)
    {
        const int digit = hex ? juce::CharacterFunctions::getHexDigitValue ((juce::juce_wchar) (juce::uint8) rest[i])
                              : (isDigit (rest[i]) ? rest[i] - '0' : -1);
        if (digit < 0 || i - firstDigit >= 7)
            return 0;
        code = code * (hex ? 16u : 10u) + (juce::uint32) digit;
    }

    const bool allowed = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                         (code >= 0xE000 && code <= 0x10FFFF && code != 0xFFFE && code != 0xFFFF);
    return i < rest.size() && i > firstDigit && allowed ? i + 1 : 0;
}

struct Attribute
{
    std::string_view name;
    std::string_view quoted; // the value with its quotes, references not yet decoded
};

struct PlainElement
{
    std::string_view tag;
    std::vector<Attribute> attributes;
};

// Reads what the product writes, held to XML's rules: white space, an optional declaration, white space,
// then one element with quoted attributes, each name once, and either "/>" or white space and the
// matching end tag. Nothing else passes: no comment, processing instruction, document type, text or
// child, each of which the framework's parser has been seen to over-read, loop or recurse on without
// end. What follows the element is not looked at, as the framework's parser does not look at it.
class PlainElementReader
{
public:
    explicit PlainElementReader (std::string_view t) : text (t) {}

    std::optional<PlainElement> read()
    {
        skipSpace();
        if (skip ("<?xml") && ! declaration())
            return {};
        skipSpace();

        if (! skip ("<"))
            return {};
        PlainElement element{ name(), {} };
        if (element.tag.empty())
            return {};

        for (;;)
        {
            const bool spaced = skipSpace() > 0;
            if (skip ("/>"))
                return element;
            if (skip (">"))
            {
                skipSpace();
                if (! skip ("</") || name() != element.tag)
                    return {};
                skipSpace();
                if (! skip (">"))
                    return {};
                return element;
            }

            const auto attributeName = name();
            if (! spaced || attributeName.empty() || ! equals())
                return {};
            const auto value = quotedValue();
            if (value.empty() || element.attributes.size() == maxAttributes ||
                std::any_of (element.attributes.begin(), element.attributes.end(),
                             [&] (const Attribute& a) { return a.name == attributeName; }))
                return {};
            element.attributes.push_back ({ attributeName, value });
        }
    }

private:
    std::string_view text;
    size_t at = 0;

    char peek() const { return at < text.size() ? text[at] : '\0'; }

    bool skip (std::string_view s)
    {
        if (text.substr (at, s.size()) != s)
            return false;
        at += s.size();
        return true;
    }

    size_t skipSpace()
    {
        const auto from = at;
        while (isSpace (peek()))
            ++at;
        return at - from;
    }

    std::string_view name()
    {
        const auto from = at;
        if (isNameStart (peek()))
            while (isNameChar (peek()))
                ++at;
        return text.substr (from, at - from);
    }

    bool equals()
    {
        skipSpace();
        if (! skip ("="))
            return false;
        skipSpace();
        return true;
    }

    // Empty when the value is not properly quoted or holds what XML does not allow there.
    std::string_view quotedValue()
    {
        const auto from = at;
        const char quote = peek();
        if (quote != '"' && quote != '\'')
            return {};

        for (++at; at < text.size(); ++at)
        {
            const char c = text[at];
            if (c == quote)
                return text.substr (from, ++at - from);
            if (! isTextByte (c) || c == '<')
                return {};
            if (c == '&')
            {
                const auto reference = referenceLength (text, at);
                if (reference == 0)
                    return {};
                at += reference - 1;
            }
        }
        return {};
    }

    // After "<?xml": version, then optionally encoding and standalone, as XML spells them.
    bool declaration()
    {
        const auto version = [] (std::string_view v)
        { return v.size() > 2 && v.substr (0, 2) == "1." && std::all_of (v.begin() + 2, v.end(), isDigit); };
        const auto encoding = [] (std::string_view v)
        {
            return ! v.empty() && isLetter (v[0]) &&
                   std::all_of (v.begin(), v.end(),
                                [] (char c)
                                { return isLetter (c) || isDigit (c) || c == '.' || c == '_' || c == '-'; });
        };
        const auto yesOrNo = [] (std::string_view v) { return v == "yes" || v == "no"; };

        if (! pseudoAttribute ("version", version))
            return false;
        for (auto [pseudoName, allowed] :
             { std::pair<std::string_view, bool (*) (std::string_view)>{ "encoding", encoding },
               { "standalone", yesOrNo } })
        {
            const auto before = at;
            if (! pseudoAttribute (pseudoName, allowed))
                at = before;
        }
        skipSpace();
        return skip ("?>");
    }

    template <typename Allowed> bool pseudoAttribute (std::string_view expected, Allowed allowed)
    {
        if (skipSpace() == 0 || name() != expected || ! equals())
            return false;
        const auto value = quotedValue();
        return value.size() >= 2 && allowed (value.substr (1, value.size() - 2));
    }
};

// Only the tag and the attributes the restore reads go to the framework's parser: it keeps every name it
// reads in a process-wide pool, whose inserts cost more the larger it grows and which keeps them for a while.
std::unique_ptr<juce::XmlElement> readStateXml (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 8 || juce::ByteOrder::littleEndianInt (data) != stateMagic)
        return {};

    const auto length = (int) juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (data, 4));
    if (length <= 0)
        return {};

    // A zero byte ends the text. The product writes nothing but ASCII, so any byte from 0x80 up refuses
    // the block: then each byte is one character to the framework's parser as it is here, and no overlong
    // or otherwise odd UTF-8 form can read as a quote, a bracket or an ampersand there while it is an
    // ordinary byte here.
    const auto* text = static_cast<const char*> (data) + 8;
    const auto available = std::min ({ (size_t) sizeInBytes - 8, (size_t) length, maxTextLength });
    const auto textLength = (size_t) (std::find (text, text + available, '\0') - text);

    if (std::any_of (text, text + textLength, [] (char c) { return (unsigned char) c >= 0x80; }))
        return {};

    const auto element = PlainElementReader (std::string_view (text, textLength)).read();
    if (! element || ! juce::String (element->tag.data(), element->tag.size()).equalsIgnoreCase ("BRVTolvane"))
        return {};

    std::string known = "<BRVTolvane";
    for (const auto& attribute : element->attributes)
        if (attribute.name == "bpm" || attribute.name == "pitch" || attribute.name == "gain" ||
            attribute.name == "sync")
            known.append (" ").append (attribute.name).append ("=").append (attribute.quoted);
    known += "/>";

    juce::XmlDocument document (juce::String (known.data(), known.size()));
    auto xml = document.getDocumentElement();
    return document.getLastParseError().isEmpty() ? std::move (xml) : nullptr;
}

// The framework's number reader gathers an exponent's digits in an int, which overflows (undefined)
// past nine significant digits. Any exponent that long gives infinity or zero, and so does one of
// nine nines, so such a run of digits is read as 999999999. The reader stops at the first letter
// that is not an exponent's, so only the first e can be the exponent of the number it reads.
juce::String withBoundedExponent (const juce::String& text)
{
    const auto bytes = text.toStdString();
    const auto e = bytes.find_first_of ("eE");
    if (e == std::string::npos)
        return text;

    size_t start = e + 1;
    if (start < bytes.size() && (bytes[start] == '+' || bytes[start] == '-'))
        ++start;
    size_t significant = start;
    while (significant < bytes.size() && bytes[significant] == '0')
        ++significant;
    size_t end = significant;
    while (end < bytes.size() && isDigit (bytes[end]))
        ++end;
    if (end - significant <= 9)
        return text;

    const auto bounded = bytes.substr (0, start) + "999999999" + bytes.substr (end);
    return juce::String::fromUTF8 (bounded.data(), (int) bounded.size());
}

// A value reading as NaN would pass every clamp and reach the audio thread.
double readNumber (const juce::XmlElement& xml, const char* name, double fallback)
{
    if (! xml.hasAttribute (name))
        return fallback;
    const auto value = withBoundedExponent (xml.getStringAttribute (name)).getDoubleValue();
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

    if (xml == nullptr)
        return;

    const auto bpm = readNumber (*xml, "bpm", 0.0);
    sourceBpm.store (withoutNegativeZero (bpm < 0.0 ? 0.0 : std::min (bpm, 400.0)));

    const auto pitch = readNumber (*xml, "pitch", 0.0);
    pitchSemitones.store (withoutNegativeZero (pitch < -12.0 ? -12.0 : std::min (pitch, 12.0)));

    const auto level = readNumber (*xml, "gain", 0.5);
    gain.store ((float) withoutNegativeZero (level < 0.0 ? 0.0 : std::min (level, 1.0)));

    matchDawTempo.store (xml->getBoolAttribute ("sync", false));
}
