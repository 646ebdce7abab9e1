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
