// libFuzzer target: any bytes as a saved state block handed to setStateInformation.
//
// Oracles: a block either sets all four settings or changes nothing, and it touches no other field;
// every block it accepts is also one strict XML reader of its own takes (StrictXml.h), with the
// settings that reader's attributes give; the same block cut anywhere inside its element changes
// nothing; whatever was restored saves as a block that restores to the same settings; playback stays
// finite and within ±1.

#include "FuzzChecks.h"
#include "StrictXml.h"

#include <cmath>
#include <cstring>

using namespace fuzzchecks;

namespace
{
struct Settings
{
    double bpm, pitch;
    float gain;
    bool sync;

    static Settings of (const TolvaneProcessor& p)
    {
        return { p.sourceBpm.load(), p.pitchSemitones.load(), p.gain.load(), p.matchDawTempo.load() };
    }

    void putInto (TolvaneProcessor& p) const
    {
        p.sourceBpm = bpm;
        p.pitchSemitones = pitch;
        p.gain = gain;
        p.matchDawTempo = sync;
    }

    bool operator== (const Settings& o) const
    {
        return std::memcmp (&bpm, &o.bpm, sizeof bpm) == 0 && std::memcmp (&pitch, &o.pitch, sizeof pitch) == 0 &&
               std::memcmp (&gain, &o.gain, sizeof gain) == 0 && sync == o.sync;
    }
};

// Two sets of settings that no restore gives by itself and that differ in every field: a block that
// leaves both processors with the same settings set all four, one that leaves each as it was changed
// nothing, and anything else is a partial change.
constexpr Settings before{ 77.0, 3.0, 0.25f, true };
constexpr Settings other{ 5.5, -7.25, 0.875f, false };

Settings restoredOnto (const Settings& start, const void* data, size_t size)
{
    TolvaneProcessor p;
    start.putInto (p);
    p.setStateInformation (data, (int) std::min<size_t> (size, 0x7FFFFFFF));
    return Settings::of (p);
}

// The text of a state block as the framework frames it: magic, a positive 32-bit length, the bytes up to
// that length, the end of the block or a zero byte, whichever comes first.
bool framedText (const uint8_t* data, size_t size, const uint8_t*& text, size_t& length)
{
    if (size <= 8 || std::memcmp (data, "VC2!", 4) != 0)
        return false;
    const auto claimed =
        (int32_t) ((uint32_t) data[4] | (uint32_t) data[5] << 8 | (uint32_t) data[6] << 16 | (uint32_t) data[7] << 24);
    if (claimed <= 0)
        return false;
    text = data + 8;
    length = std::min<size_t> (size - 8, (size_t) claimed);
    length = (size_t) (std::find (text, text + length, 0) - text);
    return true;
}

// The four attributes the strict reader read, in the plainest form a block can hold them: ASCII, every
// other character a reference.
juce::MemoryBlock plainBlock (const strictxml::Element& element)
{
    std::string text = "<BRVTolvane";
    for (const char* name : { "bpm", "pitch", "gain", "sync" })
    {
        const auto found = element.attributes.find (std::u32string (name, name + std::strlen (name)));
        if (found == element.attributes.end())
            continue;
        text += std::string (" ") + name + "=\"";
        for (char32_t c : found->second)
        {
            if (c >= 0x20 && c < 0x7F && c != '"' && c != '&' && c != '<')
                text += (char) c;
            else
            {
                char reference[16];
                std::snprintf (reference, sizeof reference, "&#x%X;", (unsigned) c);
                text += reference;
            }
        }
        text += "\"";
    }
    text += "/>";

    juce::MemoryOutputStream out;
    out.writeInt (0x21324356);
    out.writeInt ((int) text.size());
    out.write (text.data(), text.size());
    out.writeByte (0);
    return out.getMemoryBlock();
}

bool isOurTag (const std::u32string& tag)
{
    const std::u32string ours = U"brvtolvane";
    if (tag.size() != ours.size())
        return false;
    for (size_t i = 0; i < tag.size(); ++i)
        if ((tag[i] >= 'A' && tag[i] <= 'Z' ? tag[i] + 32 : tag[i]) != ours[i])
            return false;
    return true;
}

void requireStrictReaderAgrees (const uint8_t* data, size_t size, const Settings& accepted)
{
    const uint8_t* text = nullptr;
    size_t length = 0;
    require (framedText (data, size, text, length), "an accepted block is framed as the framework frames one");
    const auto element = strictxml::read (text, length);
    require (element.has_value(), "an accepted block is a document the strict XML reader takes");
    require (isOurTag (element->tag), "an accepted block's element is BRVTolvane in some letter case");

    const auto plain = plainBlock (*element);
    if (plain.getSize() < 60000) // longer values would not fit the product's window in this form
        require (restoredOnto (before, plain.getData(), plain.getSize()) == accepted,
                 "an accepted block gives the settings of the attributes the strict reader read");

    // Cut inside the element, by the block's size and by its length field.
    const auto end = element->endByte;
    for (const size_t cut : { end - 1, end / 2, (size_t) data[size - 1] * 131 % end })
    {
        require (restoredOnto (before, data, 8 + cut) == before, "a block cut inside its element changes nothing",
                 (double) cut);
        juce::MemoryBlock shorter (data, size);
        const auto field = (juce::uint32) cut;
        std::memcpy (static_cast<char*> (shorter.getData()) + 4, &field, 4);
        require (restoredOnto (before, shorter.getData(), shorter.getSize()) == before,
                 "a length field that cuts the element changes nothing", (double) cut);
    }
}
} // namespace

// Kept for the life of the process; a global pointer keeps it reachable for the leak checker.
juce::ScopedJuceInitialiser_GUI* juceInit = nullptr;

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    juceInit = new juce::ScopedJuceInitialiser_GUI();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    TolvaneProcessor p;
    makeBusy (p);
    before.putInto (p);
    const OtherFields untouched (p);

    p.setStateInformation (data, (int) std::min<size_t> (size, 0x7FFFFFFF));
    require (OtherFields (p) == untouched, "a restore touches nothing but the four settings");

    const auto after = Settings::of (p);
    const auto onOther = restoredOnto (other, data, size);
    if (after == onOther)
    {
        requireSettingsInRange (p);
        requireStrictReaderAgrees (data, size, after);
    }
    else
    {
        require (after == before && onOther == other, "a block sets all four settings or none");
    }

    // Whatever was restored saves as a block the restore reads back to the same settings.
    juce::MemoryBlock saved;
    p.getStateInformation (saved);
    require (saved.getSize() > 9, "saved block longer than 9 bytes", (double) saved.getSize());
    require (juce::ByteOrder::littleEndianInt (saved.getData()) == 0x21324356u, "saved block magic");
    require (juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (saved.getData(), 4)) == saved.getSize() - 9,
             "saved length field", (double) saved.getSize());
    require (static_cast<const char*> (saved.getData())[saved.getSize() - 1] == 0, "saved block ends in a zero byte");
    // Sixteen significant digits hold every float gain and every value the editor gives, but not every
    // double a block may hold: those come back within a unit of the sixteenth digit, and the framework's
    // reader keeps no more than 17 digits after the point, the zeros after it included (under 1e-17 off).
    TolvaneProcessor q;
    q.setStateInformation (saved.getData(), (int) saved.getSize());
    const auto again = Settings::of (q);
    const auto close = [] (double a, double b) { return std::abs (a - b) <= 1.0e-15 * std::abs (a) + 1.0e-17; };
    require (close (again.bpm, after.bpm) && close (again.pitch, after.pitch) && again.gain == after.gain &&
                 again.sync == after.sync,
             "a saved block restores to the settings it was saved from");

    p.prepareToPlay (48000.0, 256);
    requireFiniteOutput (p, 3);
    return 0;
}
