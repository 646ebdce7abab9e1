#include "TolvaneProcessor.h"

#include <cmath>

namespace
{
constexpr juce::uint32 stateMagic = 0x21324356; // "VC2!", the framework's XML block magic

// The framework's own reader returns whatever element it built before a parse error,
// so a block cut inside the element would still change settings. Refuse such text.
// The framework's parser (7.0.5) also reports nothing when the text ends inside the start tag
// after a whole attribute, after "name=" or right after the tag name: it hands back the element
// read so far. Parsing the text followed by a quote and a "<" turns exactly those endings into
// errors (an unmatched quote, or a character not allowed in a tag), while a complete element is
// unaffected: the parser stops after the outermost element and never looks at what follows.
std::unique_ptr<juce::XmlElement> readStateXml (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 8 || juce::ByteOrder::littleEndianInt (data) != stateMagic)
        return {};

    const auto length = (int) juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (data, 4));
    if (length <= 0)
        return {};

    // A zero byte ends the text; the sentinel goes after it.
    const auto text =
        juce::String::fromUTF8 (static_cast<const char*> (data) + 8, juce::jmin (sizeInBytes - 8, length));
    juce::XmlDocument document (text + "\"<");
    auto element = document.getDocumentElement();

    if (document.getLastParseError().isNotEmpty())
        return {};

    return element;
}

// A value reading as NaN would pass every clamp and reach the audio thread.
double readNumber (const juce::XmlElement& xml, const char* name, double fallback)
{
    const auto value = xml.getDoubleAttribute (name, fallback);
    return std::isnan (value) ? fallback : value;
}
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
    sourceBpm.store (bpm < 0.0 ? 0.0 : std::min (bpm, 400.0));

    const auto pitch = readNumber (*xml, "pitch", 0.0);
    pitchSemitones.store (pitch < -12.0 ? -12.0 : std::min (pitch, 12.0));

    const auto level = readNumber (*xml, "gain", 0.5);
    gain.store ((float) (level < 0.0 ? 0.0 : std::min (level, 1.0)));

    matchDawTempo.store (xml->getBoolAttribute ("sync", false));
}
