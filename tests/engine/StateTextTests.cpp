// The state block as text: the framework's base64 form with a size prefix, in which the LV2
// wrapper hands the state to its host and the standalone wrapper keeps it in its settings file.
// Both read it back with MemoryBlock::fromBase64Encoding, whose size prefix comes from outside.

#include "AudioFixtures.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace
{
// MemoryBlock's own comparison hands a null pointer to memcmp for an empty block.
std::string bytesOf (const juce::MemoryBlock& block)
{
    return block.isEmpty() ? std::string() : std::string (static_cast<const char*> (block.getData()), block.getSize());
}

// Every length, every byte value: what the framework writes, it reads back.
TEST (StateText, EveryEncodedBlockReadsBack)
{
    std::mt19937 rng (3);
    for (size_t size = 0; size <= 600; ++size)
    {
        juce::MemoryBlock original (size);
        for (size_t i = 0; i < size; ++i)
            original[i] = (char) (rng() & 0xff);

        juce::MemoryBlock decoded ("old", 3);
        ASSERT_TRUE (decoded.fromBase64Encoding (original.toBase64Encoding())) << size;
        ASSERT_EQ (bytesOf (decoded), bytesOf (original)) << size;
    }
}

// A processor's own state survives the trip through the text.
TEST (StateText, AProcessorStateReadsBackWhole)
{
    TolvaneProcessor source;
    source.sourceBpm = 128.5;
    source.pitchSemitones = -7.0;
    source.gain = 0.7f;
    source.matchDawTempo = true;
    juce::MemoryBlock saved;
    source.getStateInformation (saved);

    juce::MemoryBlock decoded;
    ASSERT_TRUE (decoded.fromBase64Encoding (saved.toBase64Encoding()));
    TolvaneProcessor target;
    target.setStateInformation (decoded.getData(), (int) decoded.getSize());
    EXPECT_EQ (target.sourceBpm.load(), 128.5);
    EXPECT_EQ (target.pitchSemitones.load(), -7.0);
    EXPECT_EQ (target.gain.load(), 0.7f);
    EXPECT_TRUE (target.matchDawTempo.load());
}

struct PrefixCase
{
    const char* text;
    bool accepted;
    size_t size; // when accepted
};

void PrintTo (const PrefixCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class StateTextPrefix : public ::testing::TestWithParam<PrefixCase>
{
};

// A size prefix that is negative, or more than the characters after the dot can fill (6 bits a
// character), is refused before anything is allocated, the block left as it was; one the text can
// fill is read as before, leading white space and all.
TEST_P (StateTextPrefix, IsReadOnlyWhenTheTextCanFillIt)
{
    const auto& c = GetParam();
    juce::MemoryBlock block ("old", 3);
    const auto before = block;

    EXPECT_EQ (block.fromBase64Encoding (c.text), c.accepted);
    if (c.accepted)
        EXPECT_EQ (block.getSize(), c.size);
    else
        EXPECT_EQ (bytesOf (block), bytesOf (before));
}

INSTANTIATE_TEST_SUITE_P (
    Prefixes, StateTextPrefix,
    ::testing::Values (PrefixCase{ "-1.AAAA", false, 0 }, PrefixCase{ "-2147483648.AAAA", false, 0 },
                       PrefixCase{ "-9223372036854775808.AAAA", false, 0 }, PrefixCase{ "4294967295.AAAA", false, 0 },
                       PrefixCase{ "2147483647.AA", false, 0 }, PrefixCase{ "18446744073709551615.AAAA", false, 0 },
                       PrefixCase{ "999999999999999999999999999999.AAAA", false, 0 },
                       PrefixCase{ "4.AAAAA", false, 0 },  // 30 bits
                       PrefixCase{ "1.", false, 0 },       // nothing to fill it
                       PrefixCase{ "1.!!!!!!", false, 0 }, // no character of the code
                       PrefixCase{ "no dot at all", false, 0 }, PrefixCase{ "4.AAAAAA", true, 4 }, // 36 bits
                       PrefixCase{ " 3.AAAA", true, 3 },      // white space before the number
                       PrefixCase{ "3.AA!AA", true, 3 },      // a character outside the code is skipped
                       PrefixCase{ "3.AAAAAAAAAA", true, 3 }, // more text than the prefix needs
                       PrefixCase{ "0.", true, 0 }, PrefixCase{ "-0.AA", true, 0 },
                       PrefixCase{ ".AAAA", true, 0 },    // no number reads as 0
                       PrefixCase{ "3x.AAAA", true, 3 }), // the number ends at the first other character
    [] (const ::testing::TestParamInfo<PrefixCase>& info) { return "case" + std::to_string (info.index); });
} // namespace
