// The saved plug-in state, to the byte.

#include "AudioFixtures.h"
#include "support/HostListener.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace fixtures;

namespace
{
constexpr const char* declaration = R"(<?xml version="1.0" encoding="UTF-8"?>)";

struct Settings
{
    double bpm;
    double pitch;
    float gain;
    bool sync;
};

std::ostream& operator<< (std::ostream& os, const Settings& s)
{
    return os << "{bpm " << s.bpm << ", pitch " << s.pitch << ", gain " << s.gain << ", sync " << s.sync << "}";
}

bool operator== (const Settings& a, const Settings& b)
{
    auto same = [] (double x, double y) { return std::memcmp (&x, &y, sizeof x) == 0; };
    return same (a.bpm, b.bpm) && same (a.pitch, b.pitch) && sameBits (a.gain, b.gain) && a.sync == b.sync;
}

void put (TolvaneProcessor& p, const Settings& s)
{
    p.sourceBpm = s.bpm;
    p.pitchSemitones = s.pitch;
    p.gain = s.gain;
    p.matchDawTempo = s.sync;
}

Settings get (const TolvaneProcessor& p)
{
    return { p.sourceBpm.load(), p.pitchSemitones.load(), p.gain.load(), p.matchDawTempo.load() };
}

// Values no restore gives by itself, so that "nothing changed" shows.
const Settings before{ 77.0, 3.0, 0.25f, true };

juce::MemoryBlock save (TolvaneProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation (block);
    return block;
}

void restore (TolvaneProcessor& p, const juce::MemoryBlock& block)
{
    p.setStateInformation (block.getData(), (int) block.getSize());
}

juce::uint32 le32 (const juce::MemoryBlock& block, size_t offset)
{
    const auto* b = static_cast<const juce::uint8*> (block.getData()) + offset;
    return (juce::uint32) b[0] | (juce::uint32) b[1] << 8 | (juce::uint32) b[2] << 16 | (juce::uint32) b[3] << 24;
}

std::string textOf (const juce::MemoryBlock& block)
{
    return std::string (static_cast<const char*> (block.getData()) + 8, le32 (block, 4));
}

// A state block around the given text: magic, length field, text, optional zero byte.
juce::MemoryBlock blockOf (const std::string& text, std::optional<juce::uint32> length = {}, bool zero = true,
                           juce::uint32 magic = 0x21324356)
{
    juce::MemoryOutputStream out;
    out.writeInt ((int) magic);
    out.writeInt ((int) length.value_or ((juce::uint32) text.size()));
    out.write (text.data(), text.size());
    if (zero)
        out.writeByte (0);
    return out.getMemoryBlock();
}

std::string elementText (const std::string& attributes)
{
    return std::string (declaration) + " <BRVTolvane " + attributes + "/>";
}

class State : public ::testing::Test
{
protected:
    juce::ScopedJuceInitialiser_GUI juceInit;
    TolvaneProcessor p;

    // Restores the block on settings `before` and returns what the settings became. Whatever it
    // does, a restore comes from the host, which is not to hear of it as a change.
    Settings restoreOnBusy (const juce::MemoryBlock& block)
    {
        put (p, before);
        const testsupport::HostListener host (p);
        restore (p, block);
        EXPECT_EQ (host.reports(), 0);
        return get (p);
    }
};
} // namespace

//==============================================================================
// Saving

TEST_F (State, ANewProcessorSavesExactlyTheseBytes)
{
    const std::string text = std::string (declaration) + R"( <BRVTolvane bpm="0.0" pitch="0.0" gain="0.5" sync="0"/>)";
    ASSERT_EQ (text.size(), 94u);

    const auto block = save (p);
    ASSERT_EQ (block.getSize(), 103u);
    const juce::uint8 head[] = { 0x56, 0x43, 0x32, 0x21, 0x5E, 0x00, 0x00, 0x00 };
    EXPECT_EQ (std::memcmp (block.getData(), head, 8), 0);
    EXPECT_EQ (textOf (block), text);
    EXPECT_EQ (static_cast<const char*> (block.getData())[102], 0);
    EXPECT_EQ (block, blockOf (text));
}

TEST_F (State, SavingReplacesWhateverTheBlockHeld)
{
    juce::MemoryBlock block (5000);
    block.fillWith (0xAB);
    p.getStateInformation (block);
    EXPECT_EQ (block, save (p));
    EXPECT_EQ (block.getSize(), 103u);
}

TEST_F (State, TheLengthFieldIsTheBlockSizeMinusNine)
{
    put (p, { 128.5, -7.0, 0.699999988079071f, true });
    const auto block = save (p);
    EXPECT_EQ (le32 (block, 4), block.getSize() - 9);
    EXPECT_EQ (static_cast<const char*> (block.getData())[block.getSize() - 1], 0);
    EXPECT_EQ (textOf (block).find ('\n'), std::string::npos);
}

struct FormCase
{
    Settings settings;
    const char* attributes; // the element's attribute text, in order
};

class StateNumberForms : public State, public ::testing::WithParamInterface<FormCase>
{
};

TEST_P (StateNumberForms, AreWrittenAsTheFrameworkWritesDoubles)
{
    const auto& c = GetParam();
    put (p, c.settings);
    const auto block = save (p);
    EXPECT_EQ (textOf (block), elementText (c.attributes));
    EXPECT_EQ (block, blockOf (elementText (c.attributes)));
}

INSTANTIATE_TEST_SUITE_P (
    Table, StateNumberForms,
    ::testing::Values (
        FormCase{ { 0.0, 0.0, 0.5f, false }, R"(bpm="0.0" pitch="0.0" gain="0.5" sync="0")" },
        FormCase{ { 120.0, -3.0, 0.5f, true }, R"(bpm="120.0" pitch="-3.0" gain="0.5" sync="1")" },
        FormCase{ { 400.0, -12.0, 1.0f, false }, R"(bpm="400.0" pitch="-12.0" gain="1.0" sync="0")" },
        FormCase{ { 1.0, 12.0, 0.0f, true }, R"(bpm="1.0" pitch="12.0" gain="0.0" sync="1")" },
        FormCase{ { 128.5, 2.5, 0.7f, false }, R"(bpm="128.5" pitch="2.5" gain="0.699999988079071" sync="0")" },
        FormCase{ { 123.45, -0.5, 0.01f, false }, R"(bpm="123.45" pitch="-0.5" gain="0.009999999776482582" sync="0")" },
        FormCase{ { 99.9, 0.0, 0.33f, false },
                  R"(bpm="99.90000000000001" pitch="0.0" gain="0.3300000131130219" sync="0")" },
        FormCase{ { 87.3, 3.14159, 0.1f, false }, R"(bpm="87.3" pitch="3.14159" gain="0.1000000014901161" sync="0")" },
        FormCase{ { 0.5, 0.0001234, 0.99f, false },
                  R"(bpm="0.5" pitch="0.0001234" gain="0.9900000095367432" sync="0")" },
        FormCase{ { 1.0e-7, -3.0e-6, 0.5f, false }, R"(bpm="1.0e-7" pitch="-3.0e-6" gain="0.5" sync="0")" },
        FormCase{ { 1.0e-5, 1.5e-6, 0.5f, false }, R"(bpm="1.0e-5" pitch="1.5e-6" gain="0.5" sync="0")" },
        FormCase{ { 2.0e6, 1234567.0, 0.5f, false }, R"(bpm="2.0e6" pitch="1.234567e6" gain="0.5" sync="0")" }),
    [] (const auto& info) { return std::string ("case") + std::to_string (info.index); });

TEST_F (State, EveryValueTheEditorGivesSurvivesARoundTrip)
{
    std::vector<double> tempos{ 0.0, 99.9, 120.5, 128.25, 87.3, 133.33, 1.5, 399.99 };
    for (int bpm = 1; bpm <= 400; ++bpm)
        tempos.push_back (bpm);

    for (size_t i = 0; i < tempos.size(); ++i)
    {
        const Settings s{ tempos[i], (double) ((int) i % 25 - 12), (float) (int) (i % 101) / 100.0f, i % 2 == 0 };
        put (p, s);
        TolvaneProcessor other;
        restore (other, save (p));
        ASSERT_EQ (get (other), s) << textOf (save (p));
    }
    for (int step = 0; step <= 100; ++step)
    {
        const Settings s{ 0.0, 0.0, (float) step * 0.01f, false }; // the slider's own values
        put (p, s);
        TolvaneProcessor other;
        restore (other, save (p));
        ASSERT_EQ (get (other), s) << textOf (save (p));
    }
}

TEST_F (State, SavingStoresNothingButTheFourSettings)
{
    const auto clean = save (p);
    publishSound (p, makeSignal (2, 100), 48000.0);
    p.transportCommand = transportPlayOnce;
    runBlock (p, 2, 10);
    p.hostBpm = 140.0;
    p.loadedFile = juce::File ("/somewhere/kick.wav");
    p.loadedIsOriginal = false;
    EXPECT_EQ (save (p), clean);
}

//==============================================================================
// Restoring: values

struct RestoreCase
{
    const char* attributes;
    Settings expected;
};

class StateRestoreValues : public State, public ::testing::WithParamInterface<RestoreCase>
{
};

TEST_P (StateRestoreValues, AreReadClampedAndDefaulted)
{
    const auto& c = GetParam();
    EXPECT_EQ (restoreOnBusy (blockOf (elementText (c.attributes))), c.expected) << c.attributes;
}

INSTANTIATE_TEST_SUITE_P (
    Table, StateRestoreValues,
    ::testing::Values (RestoreCase{ R"(bpm="120.0" pitch="-3.0" gain="0.5" sync="1")", { 120.0, -3.0, 0.5f, true } },
                       RestoreCase{ "", { 0.0, 0.0, 0.5f, false } }, // no attributes: every default
                       RestoreCase{ R"(bpm="450")", { 400.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(bpm="-5")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(bpm="0.5" pitch="2.5" gain="0.123")", { 0.5, 2.5, 0.123f, false } },
                       RestoreCase{ R"(pitch="13.5")", { 0.0, 12.0, 0.5f, false } },
                       RestoreCase{ R"(pitch="-20")", { 0.0, -12.0, 0.5f, false } },
                       RestoreCase{ R"(gain="1.5")", { 0.0, 0.0, 1.0f, false } },
                       RestoreCase{ R"(gain="-0.1")", { 0.0, 0.0, 0.0f, false } },
                       RestoreCase{ R"(gain="loud")", { 0.0, 0.0, 0.0f, false } },
                       RestoreCase{ R"(gain="")", { 0.0, 0.0, 0.0f, false } },
                       RestoreCase{ R"(gain="0.7")", { 0.0, 0.0, 0.7f, false } },
                       RestoreCase{ R"(gain="0.699999988079071")", { 0.0, 0.0, 0.7f, false } },
                       RestoreCase{ R"(bpm="  98.5xyz" pitch="+4" gain=".25e0")", { 98.5, 4.0, 0.25f, false } },
                       RestoreCase{ R"(bpm="1e999" pitch="1e2")", { 400.0, 12.0, 0.5f, false } },
                       // Exponents of any length: the framework's reader would overflow an int on these.
                       RestoreCase{ R"(bpm="1e35935802303" pitch="-2e0000000000000000001" gain="5e-99999999999")",
                                    { 400.0, -12.0, 0.0f, false } },
                       RestoreCase{ R"(bpm="0.5e+1234567890123x" pitch="-7E-00000000000000000000000" gain="1e9")",
                                    { 400.0, -7.0, 1.0f, false } },
                       // Ten digits: one past an int, and one that wraps to 1.
                       RestoreCase{ R"(bpm="1e2147483648" gain="5e-4294967297")", { 400.0, 0.0, 0.0f, false } },
                       RestoreCase{ R"(bpm="1e4294967297" pitch="-1e2147483648")", { 400.0, -12.0, 0.5f, false } },
                       RestoreCase{ R"(bpm="1e999999999" gain="5e-999999999")", { 400.0, 0.0, 0.0f, false } },
                       // Only the number's own exponent counts.
                       RestoreCase{ R"(bpm="2e1x e99999999999" pitch="1.5 e4294967297")", { 20.0, 1.5, 0.5f, false } },
                       // Infinite values are clamped like any other.
                       RestoreCase{ R"(bpm="inf" pitch="-INF" gain="Inf")", { 400.0, -12.0, 1.0f, false } },
                       RestoreCase{ R"(bpm="-inf" pitch="inf" gain="-inf")", { 0.0, 12.0, 0.0f, false } },
                       // Not-a-number would reach the audio thread unclamped: it takes the attribute's default.
                       RestoreCase{ R"(bpm="nan" pitch="NaN" gain="nan")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(bpm="-nan" pitch="NAN" gain="-NaN" sync="1")", { 0.0, 0.0, 0.5f, true } },
                       RestoreCase{ R"(bpm="200" gain="nanny")", { 200.0, 0.0, 0.5f, false } },
                       // Names are compared with letter case.
                       RestoreCase{ R"(BPM="120" pitch="2")", { 0.0, 2.0, 0.5f, false } },
                       RestoreCase{ R"(Gain="0.9" SYNC="1")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(bpm="10" BPM="20" Bpm="30")", { 10.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(extra="x" gain="0.3" other="7")", { 0.0, 0.0, 0.3f, false } },
                       // sync: the first character after leading white space.
                       RestoreCase{ R"(sync="yes")", { 0.0, 0.0, 0.5f, true } },
                       RestoreCase{ R"(sync="True")", { 0.0, 0.0, 0.5f, true } },
                       RestoreCase{ R"(sync=" 1")", { 0.0, 0.0, 0.5f, true } },
                       RestoreCase{ R"(sync="t")", { 0.0, 0.0, 0.5f, true } },
                       RestoreCase{ R"(sync="Y")", { 0.0, 0.0, 0.5f, true } },
                       RestoreCase{ R"(sync="1.0")", { 0.0, 0.0, 0.5f, true } },
                       RestoreCase{ R"(sync="no")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(sync="0")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(sync="false")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(sync="")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(sync="  ")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(sync="2")", { 0.0, 0.0, 0.5f, false } },
                       RestoreCase{ R"(sync="on")", { 0.0, 0.0, 0.5f, false } }),
    [] (const auto& info) { return std::string ("case") + std::to_string (info.index); });

TEST_F (State, TheTagIsComparedIgnoringCase)
{
    for (const char* tag : { "BRVTolvane", "brvtolvane", "BRVTOLVANE", "bRvToLvAnE" })
    {
        const auto text = std::string ("<") + tag + R"( bpm="111" sync="0"/>)";
        EXPECT_EQ (restoreOnBusy (blockOf (text)), (Settings{ 111.0, 0.0, 0.5f, false })) << tag;
    }
    for (const char* tag : { "BRVTolvan", "BRVTolvane2", "Tolvane", "PLUGINSTATE" })
    {
        const auto text = std::string ("<") + tag + R"( bpm="111" sync="0"/>)";
        EXPECT_EQ (restoreOnBusy (blockOf (text)), before) << tag;
    }
    // The outermost element counts, not one inside it.
    EXPECT_EQ (restoreOnBusy (blockOf (R"(<Other><BRVTolvane bpm="111"/></Other>)")), before);
}

TEST_F (State, AnyWellFormedTextIsRead)
{
    const Settings expected{ 60.0, -1.0, 0.75f, true };
    for (const std::string& text :
         { std::string (R"(<BRVTolvane bpm="60" pitch="-1" gain="0.75" sync="1"/>)"),
           std::string (declaration) + "\n<BRVTolvane\n  bpm='60'\n  pitch = \"-1\"\tgain=\"0.75\" sync=\"1\" />\n",
           std::string (R"(<BRVTolvane bpm="60" pitch="-1" gain="0.75" sync="1"></BRVTolvane>)"),
           std::string (" \r\n") + declaration + R"(<BRVTolvane bpm="60" pitch="-1" gain="0.75" sync="1">)" +
               " \n\t</BRVTolvane>",
           // References XML defines, in values.
           std::string (
               R"(<BRVTolvane bpm="&#54;0" pitch="&#x2D;1" gain='0.75' sync="1" note="&lt;&amp;&gt;&quot;&apos;"/>)"),
           std::string (R"(<BRVTolvane bpm="6&#x30;" pitch="-1" gain="&#48;.75" sync="&#x31;"></BRVTolvane>)"),
           // Declarations as XML spells them.
           std::string (R"(<?xml version="1.0"?><BRVTolvane bpm="60" pitch="-1" gain="0.75" sync="1"/>)"),
           std::string (R"(<?xml version='1.1' encoding='utf-8' standalone='yes' ?>)") +
               R"(<BRVTolvane bpm="60" pitch="-1" gain="0.75" sync="1"/>)",
           std::string (R"(<?xml version = "1.0" standalone="no"?>)") +
               R"(<BRVTolvane bpm="60" pitch="-1" gain="0.75" sync="1"/>)",
           // Other attributes, a name with every character a name may hold, and '>' in a value.
           std::string (R"(<BRVTolvane a:b_c-d.9="x>y" bpm="60" pitch="-1" gain="0.75" sync="1" _="'"/>)") })
        EXPECT_EQ (restoreOnBusy (blockOf (text)), expected) << text;
}

TEST_F (State, UpToSixtyFourAttributesAreRead)
{
    std::string attributes = R"(bpm="60" pitch="-1" gain="0.75" sync="1")";
    for (int i = 4; i < 64; ++i)
        attributes += " extra" + std::to_string (i) + "=\"" + std::to_string (i) + "\"";
    EXPECT_EQ (restoreOnBusy (blockOf (elementText (attributes))), (Settings{ 60.0, -1.0, 0.75f, true }));

    EXPECT_EQ (restoreOnBusy (blockOf (elementText (attributes + R"( one="more")"))), before);
    EXPECT_EQ (restoreOnBusy (blockOf (elementText (R"(one="more" )" + attributes))), before);
}

TEST_F (State, OnlyTheFirst64KiBOfTextAreLookedAt)
{
    const Settings expected{ 60.0, 0.0, 0.5f, false };
    const std::string element = R"(<BRVTolvane bpm="60"/>)";
    const auto padded = [] (size_t n) { return std::string (n, ' '); };

    // An element that ends within them, followed by far more text, is read.
    EXPECT_EQ (restoreOnBusy (blockOf (padded (65536 - element.size()) + element)), expected);
    EXPECT_EQ (restoreOnBusy (blockOf (element + padded (1 << 20) + "\xFF")), expected);
    // One that does not is refused, however the block goes on.
    EXPECT_EQ (restoreOnBusy (blockOf (padded (65537 - element.size()) + element)), before);
    EXPECT_EQ (restoreOnBusy (blockOf (R"(<BRVTolvane bpm="60" note=")" + std::string (70000, 'x') + "\"/>")), before);
}

//==============================================================================
// Text that is not one well-formed element of ours changes nothing. Many of these passed an earlier
// check and then made the framework's parser read other characters than the check had seen.

struct RefusedText
{
    const char* what;
    std::string text;
};

class StateRefusedTexts : public State, public ::testing::WithParamInterface<RefusedText>
{
};

TEST_P (StateRefusedTexts, ChangeNothing)
{
    const auto& c = GetParam();
    EXPECT_EQ (restoreOnBusy (blockOf (c.text)), before) << c.what;
    EXPECT_EQ (restoreOnBusy (blockOf (c.text, {}, false)), before) << c.what << " (no zero byte)";
}

std::string repeated (const std::string& piece, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

// Overlong UTF-8: each of these two-byte forms decodes as one ASCII character.
const std::string quote2 = "\xC0\xA2", less2 = "\xC0\xBC", greater2 = "\xC0\xBE", question2 = "\xC0\xBF",
                  ampersand2 = "\xC0\xA6";

INSTANTIATE_TEST_SUITE_P (
    Table, StateRefusedTexts,
    ::testing::Values (
        RefusedText{ "an overlong quote ends bpm early, and pitch 7 is read from inside its value",
                     elementText ("bpm=\"1" + quote2 + " pitch=" + quote2 + "7\" gain=\"0.5\"") },
        RefusedText{ "an overlong ?> ends the declaration early, and an element hidden inside it is read",
                     "<?xml version=\"1.0\"" + question2 + greater2 +
                         R"(<BRVTolvane bpm="333" pitch="11" gain="0.9" sync="1"/>?> <BRVTolvane bpm="2"/>)" },
        RefusedText{ "a processing instruction followed by text, on which the parser never returns",
                     elementText ("bpm=\"60\" x=\"" + quote2 + greater2 + less2 + "?x?" + greater2 + "y\"") },
        RefusedText{ "a document type after an overlong ?>, whose entities the parser never ends expanding",
                     "<?xml version=\"1.0\"" + question2 + greater2 +
                         R"(<!DOCTYPE t [<!ENTITY a "&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY b "&c;&c;&c;&c;&c;&c;&c;&c;">)"
                         R"(<!ENTITY c "&d;&d;&d;&d;&d;&d;&d;&d;"><!ENTITY d "0">] ?> <BRVTolvane bpm=")" +
                         ampersand2 + "a;\"/>" },
        RefusedText{
            "20,000 nested children, on which the parser's recursion overflows the stack",
            elementText ("bpm=\"60\" x=\"" + quote2 + greater2 + repeated (less2 + "a" + greater2, 20000) + "\"") },
        RefusedText{ "an overlong ampersand starting a reference that the end of the text cuts",
                     elementText ("bpm=\"60\" x=\"" + quote2 + greater2 + ampersand2 + "#x\"") },
        RefusedText{ "three- and four-byte overlong forms of '<'",
                     elementText ("bpm=\"60\" x=\"\xE0\x80\xBC\xF0\x80\x80\xBC\"") },
        RefusedText{ "an encoded surrogate", elementText ("bpm=\"60\xED\xA0\x80\"") },
        RefusedText{ "a character above U+10FFFF", elementText ("bpm=\"60\" note=\"\xF4\x90\x80\x80\"") },
        RefusedText{ "valid UTF-8 that is not ASCII", elementText ("bpm=\"60\" note=\"caf\xC3\xA9\"") },
        RefusedText{ "an unquoted value between quoted ones", elementText (R"(bpm="60" gain=0.9 pitch="2")") },
        RefusedText{ "an unquoted value first", elementText (R"(gain=0.9 bpm="60" pitch="2")") },
        RefusedText{ "a duplicate attribute", elementText (R"(bpm="10" bpm="20")") },
        RefusedText{ "a duplicate attribute among others", elementText (R"(bpm="10" pitch="1" gain="1" bpm="20")") },
        RefusedText{ "no white space between attributes", elementText (R"(bpm="60"pitch="1")") },
        RefusedText{ "an end tag naming another element", R"(<BRVTolvane bpm="60"></Other>)" },
        RefusedText{ "an end tag in other letter case", R"(<BRVTolvane bpm="60"></brvtolvane>)" },
        RefusedText{ "an end tag with attributes", R"(<BRVTolvane bpm="60"></BRVTolvane x="1">)" },
        RefusedText{ "a form feed inside the tag", "<BRVTolvane\fbpm=\"60\"/>" },
        RefusedText{ "a vertical tab inside the tag", "<BRVTolvane bpm=\"60\"\vpitch=\"2\"/>" },
        RefusedText{ "a control character in a value", "<BRVTolvane bpm=\"60\x01\"/>" },
        RefusedText{ "a form feed between declaration and element", std::string (declaration) + "\f<BRVTolvane/>" },
        RefusedText{ "a name starting with a digit", R"(<BRVTolvane 1bpm="60"/>)" },
        RefusedText{ "an empty attribute name", R"(<BRVTolvane ="60"/>)" },
        RefusedText{ "a gap after '<'", R"(< BRVTolvane bpm="60"/>)" },
        RefusedText{ "a declaration without a version", R"(<?xml encoding="UTF-8"?><BRVTolvane bpm="60"/>)" },
        RefusedText{ "a declaration of another version", R"(<?xml version="2.0"?><BRVTolvane bpm="60"/>)" },
        RefusedText{ "a declaration with an empty encoding",
                     R"(<?xml version="1.0" encoding=""?><BRVTolvane bpm="60"/>)" },
        RefusedText{ "a declaration with other words", R"(<?xml version="1.0" hello?><BRVTolvane bpm="60"/>)" },
        RefusedText{ "a declaration out of order",
                     R"(<?xml version="1.0" standalone="yes" encoding="UTF-8"?><BRVTolvane bpm="60"/>)" },
        RefusedText{ "a processing instruction named like the declaration", R"(<?xml-model x?><BRVTolvane/>)" },
        RefusedText{ "two declarations", std::string (declaration) + declaration + R"(<BRVTolvane bpm="60"/>)" },
        RefusedText{ "65 attributes", elementText (repeated ("", 0) +
                                                   []
                                                   {
                                                       std::string a;
                                                       for (int i = 0; i < 65; ++i)
                                                           a += " a" + std::to_string (i) + "=\"1\"";
                                                       return a;
                                                   }()) },
        RefusedText{ "200,000 distinct attributes", elementText (
                                                        []
                                                        {
                                                            std::string a;
                                                            for (int i = 0; i < 200000; ++i)
                                                                a += " name" + std::to_string (i) + "=\"\"";
                                                            return a;
                                                        }()) }),
    [] (const auto& info) { return std::string ("case") + std::to_string (info.index); });

TEST_F (State, TextBeyondOneElementWithAttributesChangesNothing)
{
    // The product writes a declaration and one element with attributes, nothing else. Other XML is refused
    // before the framework's parser sees it: some of it makes the parser over-read, loop or recurse without end.
    std::string nested;
    for (int i = 0; i < 10000; ++i)
        nested += "<a>";
    const std::string invalidUtf8[] = {
        std::string (R"(<?xml version="1.0" encoding="UTF-8)") + "\xF0" + R"("?> <BRVTolvane bpm="60"/>)",
        std::string (R"(<BRVTolvane bpm="60" pitch="1)") + "\xC3" + R"("/>)",
        std::string (R"(<BRVTolvane bpm="60" pitch="1"/>)") + "\xE2\x82",
        std::string (R"(<BRVTolvane bpm="60" pitch="1"/)") + "\xFF>",
    };
    for (const std::string& text :
         { std::string (R"(<BRVTolvane bpm="120.0">&<a>&#x;</BRVTolvane>)"),
           std::string (R"(<BRVTolvane bpm="120.0"><?x?>a</BRVTolvane>)"),
           std::string (R"(<!DOCTYPE t [<!ENTITY a "&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY b "&a;&a;">]>)") +
               R"(<BRVTolvane bpm="60">&a;</BRVTolvane>)",
           std::string (R"(<!DOCTYPE BRVTolvane><BRVTolvane bpm="60"/>)"),
           std::string (R"(<BRVTolvane bpm="60">)") + nested + "</BRVTolvane>",
           // Cut short inside the start tag after "<!--", after "<?" and after "&" in a value.
           std::string (R"(<BRVTolvane bpm="100.0" pitch="5" <!--)"),
           std::string (R"(<BRVTolvane bpm="100.0" pitch="5" <?)"),
           std::string (R"(<BRVTolvane bpm="100.0" pitch="5&)"),
           std::string (R"(<BRVTolvane bpm="100.0" <!-- x --> pitch="5"/>)"),
           std::string (R"(<BRVTolvane bpm="100.0" <?x?> pitch="5"/>)"),
           // Comments, processing instructions, CDATA, text and children.
           std::string (R"(<!-- saved --><BRVTolvane bpm="60"/>)"), std::string (R"(<?php x?><BRVTolvane bpm="60"/>)"),
           std::string (declaration) + R"(<?x?><BRVTolvane bpm="60"/>)",
           std::string (R"(<BRVTolvane bpm="60"><![CDATA[x]]></BRVTolvane>)"),
           std::string (R"(<BRVTolvane bpm="60">text</BRVTolvane>)"),
           std::string (R"(<BRVTolvane bpm="60"><child a="1"/></BRVTolvane>)"),
           std::string (R"(<BRVTolvane bpm="60"> <!-- c --> </BRVTolvane>)"),
           std::string (R"(<BRVTolvane bpm="60">&#32;</BRVTolvane>)"),
           // References XML does not define, or naming no character XML allows.
           std::string (R"(<BRVTolvane bpm="&b;"/>)"), std::string (R"(<BRVTolvane bpm="&#x;"/>)"),
           std::string (R"(<BRVTolvane bpm="&#;"/>)"), std::string (R"(<BRVTolvane bpm="&#0;"/>)"),
           std::string (R"(<BRVTolvane bpm="&#xD800;"/>)"), std::string (R"(<BRVTolvane bpm="&#x110000;"/>)"),
           std::string (R"(<BRVTolvane bpm="&#xFFFE;60"/>)"), std::string (R"(<BRVTolvane bpm="6&#65534;0"/>)"),
           std::string (R"(<BRVTolvane bpm="60&#xFFFF;"/>)"), std::string (R"(<BRVTolvane bpm="60&#65535;"/>)"),
           std::string (R"(<BRVTolvane bpm="&#99999999999999;"/>)"), std::string (R"(<BRVTolvane bpm="&AMP;"/>)"),
           std::string (R"(<BRVTolvane bpm="6&0"/>)"), std::string (R"(<BRVTolvane bpm="60" & pitch="1"/>)"),
           std::string (R"(<BRVTolvane bpm="6<0"/>)"),
           // Text before the element, and an end tag that does not end.
           std::string ("\xEF\xBB\xBF") + R"(<BRVTolvane bpm="60"/>)", std::string (R"(x<BRVTolvane bpm="60"/>)"),
           std::string (R"(<BRVTolvane bpm="60"></BRVTolvane)"), std::string (R"(<BRVTolvane bpm="60"></<a>)"),
           invalidUtf8[0], invalidUtf8[1], invalidUtf8[2], invalidUtf8[3] })
    {
        EXPECT_EQ (restoreOnBusy (blockOf (text)), before) << text;
        EXPECT_EQ (restoreOnBusy (blockOf (text, {}, false)), before) << text << " (no zero byte)";
    }
}

TEST_F (State, ARestoredNegativeZeroIsZero)
{
    // So that a state of default values saves back as the block a new processor writes.
    const auto fresh = save (p);
    EXPECT_EQ (restoreOnBusy (blockOf (elementText (R"(bpm="-0.0" pitch="-0.0" gain="-0.0" sync="0")"))),
               (Settings{ 0.0, 0.0, 0.0f, false }));
    EXPECT_EQ (restoreOnBusy (blockOf (elementText (R"(bpm="-0" pitch="-0.0" gain="0.5" sync="0")"))),
               (Settings{ 0.0, 0.0, 0.5f, false }));
    const auto again = save (p);
    EXPECT_EQ (again.getSize(), 103u);
    EXPECT_TRUE (again == fresh) << textOf (again);
    EXPECT_EQ (restoreOnBusy (blockOf (elementText (R"(pitch="-1e-300")"))), (Settings{ 0.0, -1e-300, 0.5f, false }));
}

TEST_F (State, WhatFollowsTheElementIsNotLookedAt)
{
    // The parser stops after the outermost element and reports nothing about what follows it.
    const Settings expected{ 60.0, 0.0, 0.5f, false };
    for (const std::string& text :
         { std::string (R"(<BRVTolvane bpm="60"/> trailing words)"),
           std::string (R"(<BRVTolvane bpm="60"/><another/>)"), std::string (R"(<BRVTolvane bpm="60"/>")"),
           std::string (R"(<BRVTolvane bpm="60"/><!-- cut comm)") })
        EXPECT_EQ (restoreOnBusy (blockOf (text)), expected) << text;
}

TEST_F (State, ParseErrorsChangeNothing)
{
    for (const std::string& text : { std::string(), std::string ("   "), std::string ("not xml at all"),
                                     std::string (R"(<?xml version="1.0" <BRVTolvane bpm="60"/>)"),
                                     std::string (R"(<BRVTolvane bpm="60" pitch="-1"><child></BRVTolvane>)"),
                                     std::string (R"(<BRVTolvane bpm="60" =""/>)"),
                                     std::string (R"(<BRVTolvane bpm 60/>)"), std::string (R"(< />)") })
        EXPECT_EQ (restoreOnBusy (blockOf (text)), before) << text;
}

//==============================================================================
// Restoring: the block around the text

TEST_F (State, BlocksOfEightBytesOrFewerChangeNothing)
{
    put (p, { 120.0, 5.0, 0.9f, false });
    const auto good = save (p);
    for (size_t size = 0; size <= 8; ++size)
    {
        put (p, before);
        p.setStateInformation (good.getData(), (int) size);
        EXPECT_EQ (get (p), before) << size << " bytes";
    }
    p.setStateInformation (nullptr, 0);
    p.setStateInformation (nullptr, 103);
    p.setStateInformation (good.getData(), -1);
    EXPECT_EQ (get (p), before);
}

TEST_F (State, NineBytesChangeNothing)
{
    for (const char c : { '<', 'x', '\0' })
        EXPECT_EQ (restoreOnBusy (blockOf (std::string (1, c), 1, false)), before);
}

TEST_F (State, AWrongMagicNumberChangesNothing)
{
    const auto text = elementText (R"(bpm="60")");
    for (juce::uint32 magic : { 0x21324357u, 0x56433221u, 0x3F324356u, 0u })
        EXPECT_EQ (restoreOnBusy (blockOf (text, {}, true, magic)), before) << std::hex << magic;
}

TEST_F (State, ALengthOfZeroOrWithTheTopBitSetChangesNothing)
{
    const auto text = elementText (R"(bpm="60")");
    for (juce::uint32 length : { 0u, 0xFFFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFF00u })
        EXPECT_EQ (restoreOnBusy (blockOf (text, length)), before) << std::hex << length;
}

TEST_F (State, ALengthBeyondTheBlockTakesTheTextToItsEnd)
{
    const auto text = elementText (R"(bpm="60" sync="1")");
    const Settings expected{ 60.0, 0.0, 0.5f, true };
    for (juce::uint32 length : { (juce::uint32) text.size() + 1, 1000u, 0x7FFFFFFFu })
    {
        EXPECT_EQ (restoreOnBusy (blockOf (text, length)), expected) << length;
        EXPECT_EQ (restoreOnBusy (blockOf (text, length, false)), expected) << length << " without the zero byte";
    }
    // A zero byte ends the text, whatever follows it.
    EXPECT_EQ (restoreOnBusy (blockOf (text + std::string (1, '\0') + "<garbage", 2000)), expected);
    EXPECT_EQ (restoreOnBusy (blockOf (text, {}, false)), expected) << "no zero byte at all";
}

TEST_F (State, ABlockCutAnywhereInsideTheElementChangesNothing)
{
    // Settings whose block holds every attribute, restored onto other settings.
    put (p, { 120.0, -3.0, 0.7f, true });
    const auto good = save (p);
    const size_t complete = 8 + textOf (good).size(); // 102: the text up to "/>", without the zero byte

    for (size_t size = 0; size <= good.getSize(); ++size)
    {
        juce::MemoryBlock cut (good.getData(), size);
        const auto after = restoreOnBusy (cut);
        if (size < complete)
            ASSERT_EQ (after, before) << "cut to " << size << " bytes: "
                                      << std::string (static_cast<const char*> (good.getData()) +
                                                          std::min<size_t> (size, 8),
                                                      size > 8 ? size - 8 : 0);
        else
            ASSERT_EQ (after, (Settings{ 120.0, -3.0, 0.7f, true })) << size;
    }

    // The same cuts made by the length field of a whole block.
    const auto text = textOf (good);
    for (juce::uint32 length = 1; length <= text.size(); ++length)
    {
        const auto after = restoreOnBusy (blockOf (text, length));
        if (length < text.size())
            ASSERT_EQ (after, before) << "length " << length << ": " << text.substr (0, length);
        else
            ASSERT_EQ (after, (Settings{ 120.0, -3.0, 0.7f, true }));
    }
}

TEST_F (State, TextCutAfterACompleteAttributeChangesNothing)
{
    // The framework's parser returns the element built so far for these without reporting anything.
    for (const char* text :
         { "<BRVTolvane", "<BRVTolvane ", R"(<BRVTolvane bpm="60")", R"(<BRVTolvane bpm="60" )",
           R"(<BRVTolvane bpm="60" pitch=)", R"(<BRVTolvane bpm="60" pitch= )", R"(<BRVTolvane bpm="60" pitch)",
           R"(<BRVTolvane bpm="60" pitch="1)", R"(<BRVTolvane bpm="60"/)", R"(<BRVTolvane bpm="60">)",
           R"(<BRVTolvane bpm="60"><child/>)" })
    {
        EXPECT_EQ (restoreOnBusy (blockOf (text)), before) << text;
        EXPECT_EQ (restoreOnBusy (blockOf (std::string (declaration) + " " + text)), before) << text;
    }
}

TEST_F (State, RestoringTouchesNothingButTheFourSettings)
{
    TempDir temp;
    auto file = temp.file ("kick.wav");
    writeSound (file, Format::wav, makeSignal (2, 4000), 44100.0, 16);
    ASSERT_TRUE (p.loadSoundFile (file, false).startsWith ("Loaded: "));
    p.transportCommand = transportPlayOnce;
    runBlock (p, 2, 100);
    ASSERT_TRUE (p.isPlaying.load());
    publishSound (p, makeSignal (1, 10), 22050.0); // and one waiting
    p.transportCommand = transportStopReset;       // and a command not yet taken
    p.hostBpm = 128.0;

    for (const auto& block : { blockOf (elementText (R"(bpm="140" pitch="-2" gain="0.3" sync="1")")),
                               blockOf (elementText ("")), blockOf ("<Other/>"), juce::MemoryBlock (3) })
    {
        Snapshot expected (p);
        restore (p, block);
        Snapshot after (p);
        // Only the four settings may differ.
        expected.sourceBpm = after.sourceBpm;
        expected.pitchSemitones = after.pitchSemitones;
        expected.gain = after.gain;
        expected.matchDawTempo = after.matchDawTempo;
        EXPECT_TRUE (expected == after) << expected.describe() << "\n" << after.describe();
    }
}

TEST_F (State, TheNextBlockUsesTheRestoredSettings)
{
    p.prepareToPlay (44100.0, 512);
    publishSound (p, makeSignal (2, 1000), 44100.0);
    p.transportCommand = transportPlayOnce;
    runBlock (p, 2, 0);

    restore (p, blockOf (elementText (R"(pitch="12" gain="1")")));
    auto block = runBlock (p, 2, 4);
    EXPECT_EQ (p.voice.position, 8.0);
    EXPECT_EQ (block.getSample (0, 1), p.voice.sound->channels[0][2]);
}
