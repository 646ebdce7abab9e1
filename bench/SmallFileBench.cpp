// loadSoundFile of the slowest sound files of at most 4 KiB found, WAV, AIFF and FLAC: files whose
// sound chunk claims far more frames than they hold, the largest decode a few bytes of FLAC can make,
// lists that count more entries than the file holds, label walks off the end of the file, XML
// metadata the framework's parser expands or nests, category tags. The program writes them into a
// temporary folder and removes it at the end. Every load goes into a new processor, whose making and
// destruction are left out of the timing.
//
// Figure: wall time per load (or refusal), and its ratio to loading a normal small file, 1,000 frames
// of 16-bit stereo WAV (4 KiB). Target: no file takes more than 100 ms.

#include "BenchSupport.h"

#include "engine/TolvaneProcessor.h"

#include <FLAC/stream_encoder.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
juce::File directory;

juce::MemoryBlock chunk (const char* id, juce::uint32 claimed, const juce::MemoryBlock& payload, bool bigEndian)
{
    juce::MemoryOutputStream out;
    out.write (id, 4);
    if (bigEndian)
        out.writeIntBigEndian ((int) claimed);
    else
        out.writeInt ((int) claimed);
    out << payload;
    return out.getMemoryBlock();
}

juce::MemoryBlock text (const std::string& s) { return { s.data(), s.size() }; }

// A RIFF or RF64 WAVE header with a "fmt " chunk, a data chunk claiming dataBytes, then `rest`.
juce::MemoryBlock wav (int channels, int bits, int rate, juce::uint64 dataBytes, const juce::MemoryBlock& rest = {},
                       bool rf64 = false)
{
    const int frameBytes = channels * bits / 8;
    juce::MemoryOutputStream out;
    out.write (rf64 ? "RF64" : "RIFF", 4);
    out.writeInt (rf64 ? -1 : 0x7FFFFFF0);
    out.write ("WAVE", 4);
    if (rf64)
    {
        out.write ("ds64", 4);
        out.writeInt (28);
        out.writeInt64 (0x7FFFFFFFFFFF);
        out.writeInt64 ((juce::int64) dataBytes);
        out.writeInt64 (0);
        out.writeInt (0);
    }
    out.write ("fmt ", 4);
    out.writeInt (16);
    out.writeShort (bits == 32 ? 3 : 1);
    out.writeShort ((short) channels);
    out.writeInt (rate);
    out.writeInt (rate * frameBytes);
    out.writeShort ((short) frameBytes);
    out.writeShort ((short) bits);
    out << rest;
    out.write ("data", 4);
    out.writeInt (rf64 ? -1 : (int) (juce::uint32) dataBytes);
    return out.getMemoryBlock();
}

juce::MemoryBlock aiff (int channels, int bits, juce::uint32 frames, const juce::MemoryBlock& chunks)
{
    juce::MemoryOutputStream body;
    body.write ("AIFF", 4);
    juce::MemoryOutputStream common;
    common.writeShortBigEndian ((short) channels);
    common.writeIntBigEndian ((int) frames);
    common.writeShortBigEndian ((short) bits);
    const juce::uint8 rate192000[10] = { 0x40, 0x10, 0xBB, 0x80, 0, 0, 0, 0, 0, 0 };
    common.write (rate192000, 10);
    body << chunk ("COMM", 18, common.getMemoryBlock(), true) << chunks;
    juce::MemoryOutputStream sound;
    sound.writeInt64 (0);
    body << chunk ("SSND", 8 + frames * (juce::uint32) (channels * bits / 8), sound.getMemoryBlock(), true);
    return chunk ("FORM", (juce::uint32) body.getDataSize(), body.getMemoryBlock(), true);
}

// A FLAC stream of silence written by libFLAC in blocks of 65,535 frames: constant subframes of a few bytes,
// the most frames a few bytes can decode to.
juce::MemoryBlock flacOfSilence (unsigned channels, unsigned rate, int frames)
{
    const auto file = directory.getChildFile ("encoded.flac");
    auto* encoder = FLAC__stream_encoder_new();
    FLAC__stream_encoder_set_channels (encoder, channels);
    FLAC__stream_encoder_set_bits_per_sample (encoder, 16);
    FLAC__stream_encoder_set_sample_rate (encoder, rate);
    FLAC__stream_encoder_set_streamable_subset (encoder, false);
    FLAC__stream_encoder_set_blocksize (encoder, 65535);
    FLAC__stream_encoder_set_total_samples_estimate (encoder, (FLAC__uint64) frames);
    FLAC__stream_encoder_init_file (encoder, file.getFullPathName().toRawUTF8(), nullptr, nullptr);
    std::vector<FLAC__int32> silence ((size_t) 65536 * channels, 0);
    for (int done = 0; done < frames;)
    {
        const int count = std::min (65536, frames - done);
        FLAC__stream_encoder_process_interleaved (encoder, silence.data(), (unsigned) count);
        done += count;
    }
    FLAC__stream_encoder_finish (encoder);
    FLAC__stream_encoder_delete (encoder);
    juce::MemoryBlock bytes;
    file.loadFileAsData (bytes);
    file.deleteFile();
    return bytes;
}

// Only the stream header: 12 million frames claimed, none there.
juce::MemoryBlock flacClaiming (juce::uint64 frames)
{
    juce::MemoryOutputStream out;
    out.write ("fLaC", 4);
    out.writeIntBigEndian ((int) 0x80000022); // last metadata block, STREAMINFO, 34 bytes
    out.writeShortBigEndian (4096);
    out.writeShortBigEndian (4096);
    for (int i = 0; i < 6; ++i)
        out.writeByte (0);
    const juce::uint64 packed = (juce::uint64) 192000 << 44 | (juce::uint64) 1 << 41 | (juce::uint64) 15 << 36 | frames;
    out.writeInt64BigEndian ((juce::int64) packed);
    for (int i = 0; i < 16; ++i)
        out.writeByte (0);
    return out.getMemoryBlock();
}

struct Shape
{
    const char* name;
    juce::File file;
};

std::vector<Shape>& shapes() // shapes()[0] is the baseline
{
    static std::vector<Shape> all;
    return all;
}

void add (const char* name, const char* fileName, const juce::MemoryBlock& content)
{
    auto file = directory.getChildFile (fileName);
    file.replaceWithData (content.getData(), content.getSize());
    if (content.getSize() > 4096)
        std::printf ("note: %s is %zu bytes, more than 4 KiB\n", name, content.getSize());
    shapes().push_back ({ name, file });
}

void writeShapes()
{
    {
        juce::MemoryOutputStream frames;
        for (int i = 0; i < 2000; ++i)
            frames.writeShort ((short) (i * 37));
        auto normal = wav (2, 16, 44100, 4000);
        normal.append (frames.getData(), frames.getDataSize());
        add ("a normal small WAV, 1,000 stereo 16-bit frames", "normal.wav", normal);
    }

    add ("WAV of 44 bytes claiming 12 million stereo 16-bit frames", "claim16.wav", wav (2, 16, 100000, 48000000));
    add ("WAV of 44 bytes claiming 12 million stereo 8-bit frames", "claim8.wav", wav (2, 8, 100000, 24000000));
    add ("WAV of 44 bytes claiming 4 GiB of 1,396-channel frames", "wide.wav",
         wav (1396, 32, 100000, 769000ull * 5584));
    add ("RF64 of 80 bytes claiming 12 million 1,396-channel frames", "wide-rf64.wav",
         wav (1396, 32, 100000, 12000000ull * 5584, {}, true));
    {
        juce::MemoryOutputStream cues;
        cues.writeInt (0x7FFFFFFF);
        add ("WAV whose cue chunk claims 16 MiB of cue points", "cues.wav",
             wav (1, 16, 44100, 20, chunk ("cue ", 1 << 24, cues.getMemoryBlock(), false)));
        juce::MemoryBlock loops (28, true);
        loops.append ("\xFF\xFF\xFF\x7F", 4);
        add ("WAV whose sampler chunk claims 16 MiB of loops", "loops.wav",
             wav (1, 16, 44100, 20, chunk ("smpl", 1 << 24, loops, false)));
    }
    {
        auto labels = text ("adtl");
        labels.append (chunk ("labl", 8, text (std::string ("\1\0\0\0kick", 8)), false).getData(), 16);
        add ("WAV whose label list runs off the end of the file", "labels.wav",
             wav (1, 16, 44100, 20, chunk ("LIST", 4096, labels, false)));
        auto shortLabels = text ("adtl");
        for (int i = 0; i < 480; ++i)
            shortLabels.append (chunk ("labl", 0xFFFFFFFF, {}, false).getData(), 8);
        add ("WAV of 480 labels each reading the rest of the file", "shortlabels.wav",
             wav (1, 16, 44100, 20, chunk ("LIST", (juce::uint32) shortLabels.getSize(), shortLabels, false)));
    }
    {
        const std::string entities =
            R"(<!DOCTYPE t [<!ENTITY a "&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY b "&a;&a;">]><t>&a;</t>)";
        add ("WAV whose iXML defines entities of entities", "entities.wav",
             wav (1, 16, 44100, 20, chunk ("iXML", (juce::uint32) entities.size(), text (entities), false)));
        std::string nested;
        for (int i = 0; i < 550; ++i)
            nested += "<a>";
        for (int i = 0; i < 550; ++i)
            nested += "</a>";
        add ("WAV whose iXML nests 550 elements", "nested.wav",
             wav (1, 16, 44100, 20, chunk ("iXML", (juce::uint32) nested.size(), text (nested), false)));
        std::string attributes = "<t";
        for (int i = 0; attributes.size() < 3900; ++i)
            attributes += " a" + std::to_string (i) + "=''";
        attributes += "/>";
        add ("WAV whose iXML holds 600 attributes", "attributes.wav",
             wav (1, 16, 44100, 20, chunk ("iXML", (juce::uint32) attributes.size(), text (attributes), false)));
    }
    {
        const auto comments = chunk ("COMT", 2, juce::MemoryBlock ("\xFF\xFF", 2), true);
        juce::MemoryBlock five;
        for (int i = 0; i < 5; ++i)
            five.append (comments.getData(), comments.getSize());
        add ("AIFF of 104 bytes with five comment chunks of 65,535 notes", "comments.aiff", aiff (1, 16, 10, five));
        add ("AIFF with a marker chunk of 65,535 markers", "markers.aiff",
             aiff (1, 16, 10, chunk ("MARK", 2, juce::MemoryBlock ("\xFF\xFF", 2), true)));
        add ("AIFF of 54 bytes claiming 12 million stereo 16-bit frames", "claim16.aiff", aiff (2, 16, 12000000, {}));
        juce::MemoryBlock tags (4, true);
        juce::MemoryBlock tag (50, true);
        tag.copyFrom ("Abc", 0, 3);
        while (tags.getSize() + 50 < 3900)
            tags.append (tag.getData(), 50);
        add ("AIFF with 4 KiB of category tags", "tags.aiff",
             aiff (1, 16, 10, chunk ("cate", (juce::uint32) tags.getSize(), tags, true)));
    }
    add ("FLAC of 3 KiB decoding to 12 million stereo frames at 192 kHz", "silence.flac",
         flacOfSilence (2, 192000, 12000000));
    add ("FLAC of 42 bytes claiming 12 million stereo frames", "claim.flac", flacClaiming (12000000));
}

void BM_load (benchmark::State& state)
{
    const auto& shape = shapes()[(size_t) state.range (0)];
    state.SetLabel (shape.name);
    for (auto _ : state)
    {
        state.PauseTiming();
        auto processor = std::make_unique<TolvaneProcessor>();
        state.ResumeTiming();

        benchmark::DoNotOptimize (processor->loadSoundFile (shape.file, true));

        state.PauseTiming();
        processor.reset();
        state.ResumeTiming();
    }
}
} // namespace

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    directory =
        juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile ("tolvane-bench", {});
    directory.createDirectory();
    writeShapes();

    for (size_t i = 0; i < shapes().size(); ++i)
        benchmark::RegisterBenchmark ("BM_load", BM_load)
            ->Arg ((int64_t) i)
            ->Unit (benchmark::kMillisecond)
            ->UseRealTime();

    const int rc =
        bench::run (argc, argv,
                    [] (const bench::Results& results)
                    {
                        const auto* base = bench::find (results, "BM_load/0/real_time");
                        double worst = 0.0;
                        std::string worstName;
                        for (size_t i = 0; i < shapes().size(); ++i)
                        {
                            const auto* r = bench::find (results, "BM_load/" + std::to_string (i) + "/real_time");
                            if (r == nullptr)
                                continue;
                            TolvaneProcessor processor;
                            const auto status = processor.loadSoundFile (shapes()[i].file, true);
                            std::printf ("load, %s (%lld bytes): %.3f ms", shapes()[i].name,
                                         (long long) shapes()[i].file.getSize(), r->realNs / 1.0e6);
                            if (base != nullptr)
                                std::printf ("; ratio to the normal small file %.1f", r->realNs / base->realNs);
                            std::printf ("; %s\n", status.startsWith ("Loaded: ") ? "loads" : status.toRawUTF8());
                            if (i > 0 && r->realNs > worst)
                            {
                                worst = r->realNs;
                                worstName = shapes()[i].name;
                            }
                        }
                        std::printf ("slowest: %s, %.1f ms (target <= 100 ms) %s\n", worstName.c_str(), worst / 1.0e6,
                                     worst <= 100.0e6 ? "met" : "NOT met");
                    });

    directory.deleteRecursively();
    return rc;
}
