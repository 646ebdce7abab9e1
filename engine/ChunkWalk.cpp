#include "ChunkWalk.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

// The walks below make the same reads and seeks, on the same kind of stream, as the framework's readers
// (juce_WavAudioFormat.cpp and juce_AiffAudioFormat.cpp, JUCE 7.0.5), so that they meet the same chunks
// at the same places, including where a chunk claims more than the file holds.

namespace
{
int chunkName (const char* name) { return (int) juce::ByteOrder::littleEndianInt (name); }

// Bytes the file holds from the stream's position, at most `claimed`.
juce::int64 held (juce::InputStream& in, juce::int64 claimed)
{
    return std::clamp<juce::int64> (in.getTotalLength() - in.getPosition(), 0, std::max<juce::int64> (claimed, 0));
}

// The readers copy a cue or sampler chunk into zeroed memory of its claimed size, then walk as many
// entries as its count asks and that size has room for: millions of entries past the end of a file of a
// few bytes, each one a few strings in a map. Every entry walked must be in the file.
bool walksEntriesPastTheFile (juce::InputStream& in, juce::uint32 claimed, int countOffset, int headerSize)
{
    constexpr int entrySize = 24;
    juce::uint8 header[40] = {};
    const auto present = held (in, claimed);
    in.read (header, (int) std::min<juce::int64> (present, headerSize));
    const auto count = (juce::int32) juce::ByteOrder::littleEndianInt (header + countOffset);
    const auto roomFor = (juce::int64) ((juce::int32) claimed - headerSize) / entrySize;
    const auto walked = count > 0 && (juce::int32) claimed >= headerSize ? std::min<juce::int64> (count, roomFor) : 0;
    return walked > std::max<juce::int64> (present - headerSize, 0) / entrySize;
}

// AIFF marker and comment lists take at least 8 bytes an entry; the reader walks every entry counted,
// past the end of the file too.
bool countsMoreEntriesThanTheFileHolds (juce::InputStream& in)
{
    const auto count = (juce::uint16) in.readShortBigEndian();
    return (juce::int64) count * 8 > held (in, std::numeric_limits<juce::int64>::max());
}

// An AIFF category chunk: the reader copies the rest of the chunk for each tag it finds, the square of
// the chunk's size (a megabyte takes half a minute), and its test for a tag that starts in the last two
// bytes reads up to two bytes past them.
bool categoriesStall (juce::InputStream& in, juce::uint32 length)
{
    constexpr juce::int64 maxBytes = 16 * 1024;
    in.skipNextBytes (4);
    const auto wanted = held (in, length < 4 ? std::numeric_limits<juce::int64>::max() : (juce::int64) length - 4);
    if (wanted > maxBytes)
        return true;

    juce::MemoryBlock tags;
    in.readIntoMemoryBlock (tags, (ssize_t) wanted);
    const auto* end = static_cast<const juce::uint8*> (tags.getData()) + tags.getSize();
    const auto mayStartATag = [] (juce::uint8 c) { return (c >= 'A' && c <= 'Z') || c >= 0x80; };
    return (tags.getSize() >= 1 && mayStartATag (end[-1])) || (tags.getSize() >= 2 && mayStartATag (end[-2]));
}

// The XML a reader hands to the framework's parser as code points. The reader takes the chunk's bytes as
// UTF-8 whatever they are (MemoryBlock::toString), and the parser steps over as many bytes as a lead byte
// announces, past the end of the text when a sequence is cut; an overlong form reads there as the ASCII
// character it encodes. So only strict UTF-8 passes: shortest forms, no surrogates, nothing above U+10FFFF.
// The parser stops at the first zero.
std::optional<std::vector<juce::uint32>> xmlUnits (const juce::MemoryBlock& block)
{
    const auto* data = static_cast<const juce::uint8*> (block.getData());
    const auto size = (size_t) (std::find (data, data + block.getSize(), 0) - data);
    std::vector<juce::uint32> units;

    for (size_t i = 0; i < size;)
    {
        const auto lead = data[i];
        const int extra = lead < 0x80             ? 0
                          : (lead & 0xE0) == 0xC0 ? 1
                          : (lead & 0xF0) == 0xE0 ? 2
                          : (lead & 0xF8) == 0xF0 ? 3
                                                  : -1;
        if (extra < 0 || i + (size_t) extra >= size)
            return {};
        juce::uint32 code = extra == 0 ? lead : (juce::uint32) (lead & (0x3F >> extra));
        for (int k = 1; k <= extra; ++k)
        {
            if ((data[i + (size_t) k] & 0xC0) != 0x80)
                return {};
            code = code << 6 | (data[i + (size_t) k] & 0x3Fu);
        }
        static constexpr juce::uint32 shortest[] = { 0, 0x80, 0x800, 0x10000 };
        if (code < shortest[extra] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return {};
        units.push_back (code);
        i += (size_t) extra + 1;
    }
    return units;
}

// A document type defines entities that the parser expands without bound (entities of entities) or for
// ever; a processing instruction inside an element, followed by text, sends its reading of the element's
// content round in a loop for ever; an element nested thousands deep overflows the stack of its recursion.
// The count of '<' bounds the nesting, whatever the parser makes of the text; metadata XML holds a few
// dozen elements, and its only processing instruction is the declaration it starts with.
bool xmlMayStallTheParser (const juce::MemoryBlock& block)
{
    constexpr size_t maxTags = 4096;
    const auto units = xmlUnits (block);
    if (! units)
        return true;

    static constexpr juce::uint32 doctype[] = { '<', '!', 'D', 'O', 'C', 'T', 'Y', 'P', 'E' };
    static constexpr juce::uint32 instruction[] = { '<', '?' };
    return std::count (units->begin(), units->end(), (juce::uint32) '<') > (std::ptrdiff_t) maxTags ||
           std::search (units->begin(), units->end(), std::begin (doctype), std::end (doctype)) != units->end() ||
           (units->size() > 1 && std::search (units->begin() + 1, units->end(), std::begin (instruction),
                                              std::end (instruction)) != units->end());
}

// A LIST chunk's sub-chunks: once the walk is at the end of the file before the end the LIST claims,
// every read gives zeros and the walk stands still for ever. A label or note shorter than its identifier,
// or a labelled text shorter than its fields, reads the rest of the file as its text, and another the
// rest again: the square of the file's size.
bool adtlStalls (juce::InputStream& in, juce::int64 listEnd)
{
    while (in.getPosition() < listEnd)
    {
        if (in.getPosition() + 8 > in.getTotalLength())
            return true;

        const auto type = in.readInt();
        const auto length = (juce::uint32) in.readInt();
        const auto end = in.getPosition() + (juce::uint32) (length + (length & 1));

        if ((type == chunkName ("labl") || type == chunkName ("note")) && (juce::int32) length < 4)
            return true;
        if (type == chunkName ("ltxt") && (juce::int32) (length - 20) < 0)
            return true;

        in.setPosition (end);
    }
    return false;
}

bool wavStalls (juce::InputStream& in)
{
    juce::uint64 end = 0;
    juce::int64 dataLength = 0;
    const auto first = in.readInt();
    const bool rf64 = first == chunkName ("RF64");

    if (rf64)
        in.skipNextBytes (4);
    else if (first == chunkName ("RIFF"))
        end = (juce::uint64) (juce::uint32) in.readInt() + (juce::uint64) in.getPosition();
    else
        return false;

    const auto startOfRiff = in.getPosition();
    if (in.readInt() != chunkName ("WAVE"))
        return false;

    if (rf64 && in.readInt() == chunkName ("ds64"))
    {
        const auto length = (juce::uint32) in.readInt();
        if (length < 28)
            return false;
        const auto chunkEnd = in.getPosition() + length + (length & 1);
        end = (juce::uint64) in.readInt64() + (juce::uint64) startOfRiff;
        dataLength = in.readInt64();
        in.setPosition (chunkEnd);
    }

    while ((juce::uint64) in.getPosition() < end && ! in.isExhausted())
    {
        const auto type = in.readInt();
        const auto length = (juce::uint32) in.readInt();
        auto chunkEnd = in.getPosition() + length + (length & 1);

        if (type == chunkName ("data"))
        {
            if (rf64 && dataLength > 0)
                chunkEnd = in.getPosition() + dataLength + (dataLength & 1);
        }
        else if (type == chunkName ("cue "))
        {
            if (walksEntriesPastTheFile (in, length, 0, 4))
                return true;
        }
        else if (type == chunkName ("smpl"))
        {
            if (walksEntriesPastTheFile (in, length, 28, 36))
                return true;
        }
        else if (type == chunkName ("LIST"))
        {
            if (in.readInt() == chunkName ("adtl") && adtlStalls (in, chunkEnd))
                return true;
        }
        else if (type == chunkName ("axml") || type == chunkName ("iXML"))
        {
            juce::MemoryBlock xml;
            in.readIntoMemoryBlock (xml, (ssize_t) length);
            if (xmlMayStallTheParser (xml))
                return true;
        }
        else if (type != chunkName ("fmt ") && type != chunkName ("bext") && type != chunkName ("inst") &&
                 type != chunkName ("INST") && type != chunkName ("acid") && type != chunkName ("Trkn") &&
                 chunkEnd <= in.getPosition())
        {
            break;
        }

        in.setPosition (chunkEnd);
    }
    return false;
}

bool aiffStalls (juce::InputStream& in)
{
    if (in.readInt() != chunkName ("FORM"))
        return false;
    const auto length = in.readIntBigEndian();
    const auto end = in.getPosition() + length;
    const auto form = in.readInt();
    if (form != chunkName ("AIFF") && form != chunkName ("AIFC"))
        return false;

    bool hasVersion = false, hasData = false, hasCommon = false;

    while (in.getPosition() < end)
    {
        const auto type = in.readInt();
        const auto chunkLength = (juce::uint32) in.readIntBigEndian();
        const auto chunkEnd = in.getPosition() + chunkLength;

        if (type == chunkName ("FVER"))
        {
            hasVersion = true;
            const auto version = in.readIntBigEndian();
            if (version != 0 && version != (int) 0xa2805140)
                break;
        }
        else if (type == chunkName ("COMM"))
        {
            // Where the reader stops at a rate or compression it does not take, so does this walk.
            hasCommon = true;
            in.readShortBigEndian();
            in.readIntBigEndian();
            in.readShortBigEndian();
            juce::uint8 rate[10] = {};
            in.read (rate, 10);
            if ((rate[0] & 0x80) != 0 || rate[0] <= 0x3F || rate[0] > 0x40 || (rate[0] == 0x40 && rate[1] > 0x1C))
                break;
            if (chunkLength > 18)
            {
                const auto compression = in.readInt();
                if (compression != chunkName ("NONE") && compression != chunkName ("twos") &&
                    compression != chunkName ("sowt") && compression != chunkName ("fl32") &&
                    compression != chunkName ("FL32"))
                    break;
            }
        }
        else if (type == chunkName ("SSND"))
        {
            hasData = true;
        }
        else if (type == chunkName ("MARK") || type == chunkName ("COMT"))
        {
            if (countsMoreEntriesThanTheFileHolds (in))
                return true;
        }
        else if (type == chunkName ("cate"))
        {
            if (categoriesStall (in, chunkLength))
                return true;
        }
        else if (type != chunkName ("INST") && type != chunkName ("basc") &&
                 ((hasVersion && hasData && hasCommon) || chunkEnd < in.getPosition() || in.isExhausted()))
        {
            break;
        }

        in.setPosition (chunkEnd + (chunkEnd & 1));
    }

    // Without a sound chunk the reader reads its samples from a position it never set.
    return ! hasData;
}
} // namespace

bool chunksMisleadTheReader (const juce::File& file)
{
    juce::FileInputStream in (file);
    if (! in.openedOk())
        return false;
    if (wavStalls (in))
        return true;
    in.setPosition (0);
    return aiffStalls (in);
}
