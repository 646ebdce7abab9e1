// Writes the starting corpus of the two fuzz targets: state blocks the product writes and a few
// it must refuse, and small sound files of every readable format written with the framework's
// own writers. Usage: tolvane_fuzz_seeds <state folder> <load folder>

#include "engine/TolvaneProcessor.h"

#include <cmath>
#include <cstdio>

namespace
{
void writeBytes (const juce::File& folder, const juce::String& name, const void* data, size_t size)
{
    if (! folder.getChildFile (name).replaceWithData (data, size))
        throw std::runtime_error (("cannot write " + name).toStdString());
}

juce::MemoryBlock blockAround (const std::string& text)
{
    juce::MemoryOutputStream out;
    out.writeInt (0x21324356);
    out.writeInt ((int) text.size());
    out.write (text.data(), text.size());
    out.writeByte (0);
    return out.getMemoryBlock();
}

void writeStateSeeds (const juce::File& folder)
{
    struct Values
    {
        double bpm, pitch;
        float gain;
        bool sync;
    };
    int index = 0;
    for (const Values& v : { Values{ 0.0, 0.0, 0.5f, false }, Values{ 120.0, -3.0, 0.7f, true },
                             Values{ 400.0, 12.0, 1.0f, true }, Values{ 0.5, -12.0, 0.0f, false } })
    {
        TolvaneProcessor p;
        p.sourceBpm = v.bpm;
        p.pitchSemitones = v.pitch;
        p.gain = v.gain;
        p.matchDawTempo = v.sync;
        juce::MemoryBlock block;
        p.getStateInformation (block);
        writeBytes (folder, "saved-" + juce::String (index++), block.getData(), block.getSize());
    }

    // Other shapes the parser meets: an end tag, quotes and entities, and text that must be refused.
    const char* texts[] = {
        R"(<?xml version="1.0" encoding="UTF-8"?> <BRVTolvane bpm="98.5" pitch="2.5" gain="0.25" sync="yes"></BRVTolvane>)",
        R"(<brvtolvane bpm='1&#50;0' pitch="&#x2d;1" gain="0.5&amp;" sync=" 1"/>)",
        R"(<BRVTolvane bpm="nan" pitch="-0.0" gain="inf" sync="t"/>)",
        R"(<BRVTolvane bpm="1e35935802303" pitch="-2e-0000000000001" gain="0.000000000000000000000001e+30"/>)",
        R"(<BRVTolvane bpm="120.0">&<a>&#x;</BRVTolvane>)",
        R"(<BRVTolvane bpm="120.0"><?x?>a</BRVTolvane>)",
        R"(<!DOCTYPE a [<!ENTITY b "&c;&c;"><!ENTITY c "x">]><BRVTolvane bpm="&b;"/>)",
        R"(<BRVTolvane bpm="100.0" pitch="5&)",
        R"(<BRVTolvane bpm="100.0" <!-- x --> pitch="5"/>)",
        // Overlong UTF-8 standing for a quote, a bracket, a question mark and an ampersand.
        "<?xml version=\"1.0\"?> <BRVTolvane bpm=\"1\xC0\xA2 pitch=\xC0\xA2"
        "7\" gain=\"0.5\"/>",
        "<?xml version=\"1.0\"\xC0\xBF\xC0\xBE<BRVTolvane bpm=\"333\"/>?> <BRVTolvane bpm=\"2\"/>",
        "<BRVTolvane bpm=\"60\" x=\"\xC0\xA2\xC0\xBE\xC0\xBC?x?\xC0\xBEy\"/>",
        "<BRVTolvane bpm=\"60\" x=\"\xC0\xA2\xC0\xBE\xC0\xA6#x\"/>",
        "<BRVTolvane bpm=\"60\xED\xA0\x80\" pitch=\"\xF4\x90\x80\x80\"/>",
        // Not well-formed: unquoted, duplicate, mismatched, control characters.
        R"(<BRVTolvane bpm="60" gain=0.9 pitch="2"/>)",
        R"(<BRVTolvane bpm="10" bpm="20"/>)",
        R"(<BRVTolvane bpm="60"></Other>)",
        "<BRVTolvane\fbpm=\"60\"\vpitch=\"2\"/>",
        R"(<?xml version='1.1' encoding='utf-8' standalone='no' ?><BRVTolvane bpm='6&#x30;' sync="&#65534;"/>)",
    };
    for (const char* text : texts)
    {
        const auto block = blockAround (text);
        writeBytes (folder, "text-" + juce::String (index++), block.getData(), block.getSize());
    }
}

// One byte choosing the extension (its index in the load target's list), then the file.
void writeSound (const juce::File& folder, const juce::String& name, int extensionIndex, juce::AudioFormat& format,
                 int channels, int frames, double rate, int bits)
{
    juce::MemoryOutputStream* out = new juce::MemoryOutputStream();
    out->writeByte ((char) extensionIndex);
    std::unique_ptr<juce::AudioFormatWriter> writer (
        format.createWriterFor (out, rate, (unsigned int) channels, bits, {}, bits == 16 ? 0 : 0));
    if (writer == nullptr)
        throw std::runtime_error (("no writer for " + name).toStdString());

    juce::AudioBuffer<float> buffer (channels, frames);
    for (int ch = 0; ch < channels; ++ch)
        for (int i = 0; i < frames; ++i)
            buffer.setSample (ch, i, 0.8f * std::sin ((float) i * 0.05f * (float) (ch + 1)));
    writer->writeFromAudioSampleBuffer (buffer, 0, frames);
    writer->flush();
    const auto bytes = out->getMemoryBlock();
    writer.reset(); // deletes the stream
    writeBytes (folder, name, bytes.getData(), bytes.getSize());
}

void writeLoadSeeds (const juce::File& folder)
{
    juce::WavAudioFormat wav;
    juce::AiffAudioFormat aiff;
    juce::FlacAudioFormat flac;
    juce::OggVorbisAudioFormat ogg;

    writeSound (folder, "mono16.wav", 0, wav, 1, 64, 44100.0, 16);
    writeSound (folder, "stereo24.wav", 0, wav, 2, 48, 48000.0, 24);
    writeSound (folder, "stereo32f.wav", 0, wav, 2, 40, 96000.0, 32);
    writeSound (folder, "six8.wav", 5, wav, 6, 20, 22050.0, 8);
    writeSound (folder, "stereo16.aiff", 1, aiff, 2, 50, 44100.0, 16);
    writeSound (folder, "mono24.aif", 2, aiff, 1, 50, 8000.0, 24);
    writeSound (folder, "stereo16.flac", 3, flac, 2, 300, 44100.0, 16);
    writeSound (folder, "stereo.ogg", 4, ogg, 2, 2000, 44100.0, 16);

    // Chunks the framework's readers have been seen to stall or over-read on, and metadata they take.
    const auto raw = [&] (const juce::String& name, int extensionIndex, const juce::MemoryBlock& content)
    {
        juce::MemoryBlock bytes;
        bytes.append (&extensionIndex, 1);
        bytes.append (content.getData(), content.getSize());
        writeBytes (folder, name, bytes.getData(), bytes.getSize());
    };
    const auto chunk = [] (const char* id, juce::uint32 claimed, const juce::MemoryBlock& payload, bool bigEndian)
    {
        juce::MemoryOutputStream out;
        out.write (id, 4);
        if (bigEndian)
            out.writeIntBigEndian ((int) claimed);
        else
            out.writeInt ((int) claimed);
        out << payload;
        return out.getMemoryBlock();
    };
    const auto wavWith = [&] (const juce::MemoryBlock& chunks)
    {
        juce::MemoryOutputStream body;
        body.write ("WAVE", 4);
        juce::MemoryOutputStream format;
        format.writeShort (1);
        format.writeShort (2);
        format.writeInt (44100);
        format.writeInt (176400);
        format.writeShort (4);
        format.writeShort (16);
        body << chunk ("fmt ", 16, format.getMemoryBlock(), false) << chunks
             << chunk ("data", 40, juce::MemoryBlock (40, true), false);
        return chunk ("RIFF", (juce::uint32) body.getDataSize(), body.getMemoryBlock(), false);
    };
    const auto aiffWith = [&] (const juce::MemoryBlock& chunks)
    {
        juce::MemoryOutputStream body;
        body.write ("AIFF", 4);
        juce::MemoryOutputStream common;
        common.writeShortBigEndian (2);
        common.writeIntBigEndian (10);
        common.writeShortBigEndian (16);
        const juce::uint8 rate[10] = { 0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0 };
        common.write (rate, 10);
        body << chunk ("COMM", 18, common.getMemoryBlock(), true) << chunks
             << chunk ("SSND", 48, juce::MemoryBlock (48, true), true);
        return chunk ("FORM", (juce::uint32) body.getDataSize(), body.getMemoryBlock(), true);
    };
    const auto text = [] (const std::string& t) { return juce::MemoryBlock (t.data(), t.size()); };

    raw ("comments.aiff", 1, aiffWith (chunk ("COMT", 2, text ("\xFF\xFF"), true)));
    raw ("markers.aiff", 1, aiffWith (chunk ("MARK", 12, text (std::string ("\0\1\0\1\0\0\0\0\1a\0\0", 12)), true)));
    raw ("cate.aiff", 1, aiffWith (chunk ("cate", 56, juce::MemoryBlock (56, true), true)));
    raw ("cues.wav", 0,
         wavWith (chunk ("cue ", 28, text (std::string ("\1\0\0\0", 4) + std::string (24, '\0')), false)));
    raw ("loops.wav", 0, wavWith (chunk ("smpl", 60, juce::MemoryBlock (60, true), false)));
    raw ("labels.wav", 0,
         wavWith (chunk ("LIST", 20, text (std::string ("adtllabl\x08\0\0\0\1\0\0\0kick", 20)), false)));
    const std::string xml = R"(<?xml version="1.0"?><BWFXML><NOTE>a &amp; b</NOTE><a><a/></a></BWFXML>)";
    raw ("ixml.wav", 0, wavWith (chunk ("iXML", (juce::uint32) xml.size(), text (xml), false)));
    raw ("rf64.wav", 0,
         [&]
         {
             juce::MemoryOutputStream out;
             out.write ("RF64", 4);
             out.writeInt (-1);
             out.write ("WAVEds64", 8);
             out.writeInt (28);
             out.writeInt64 (100);
             out.writeInt64 (40);
             out.writeInt64 (0);
             out.writeInt (0);
             juce::MemoryBlock rest (wavWith ({}));
             out.write (static_cast<const char*> (rest.getData()) + 12, rest.getSize() - 12);
             return out.getMemoryBlock();
         }());
}
} // namespace

int main (int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf (stderr, "usage: %s <state seed folder> <load seed folder>\n", argv[0]);
        return 2;
    }
    juce::ScopedJuceInitialiser_GUI juce;
    const juce::File stateFolder (juce::File::getCurrentWorkingDirectory().getChildFile (argv[1]));
    const juce::File loadFolder (juce::File::getCurrentWorkingDirectory().getChildFile (argv[2]));
    if (! stateFolder.createDirectory() || ! loadFolder.createDirectory())
    {
        std::fprintf (stderr, "cannot create the seed folders\n");
        return 1;
    }
    writeStateSeeds (stateFolder);
    writeLoadSeeds (loadFolder);
    return 0;
}
