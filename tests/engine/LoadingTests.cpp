// loadSoundFile and the session cache, on files written with the framework's writers.

#include "AudioFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <future>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace fixtures;

namespace
{
const juce::String cannotRead = "Cannot read this audio file.";
const juce::String tooLong = "Prototype limit: choose a sound no longer than 2 minutes / 12 million frames.";
const juce::String readFailed = "Audio read failed.";
const juce::String cacheFull = "Session cache full (256 MB). Remove and reopen Tolvane to clear it.";

juce::String loadedText (const juce::File& file)
{
    return "Loaded: " + file.getFileName() + ". Enter source BPM if known.";
}

int openFileDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator ("/proc/self/fd"))
        ++count;
    return count;
}

// The largest difference a format of this many bits may leave between a written and a read sample.
float quantum (int bits) { return bits >= 32 ? 0.0f : 1.0f / (float) (1 << (bits - 1)) + 1.0e-7f; }

size_t frameCountOf (const LoadedSound& sound) { return sound.channels.empty() ? 0 : sound.channels[0].size(); }

#define EXPECT_UNCHANGED(before, p)                                                                                    \
 EXPECT_TRUE (before == Snapshot (p)) << "before: " << before.describe() << "\nafter:  " << Snapshot (p).describe()

class Loading : public ::testing::Test
{
protected:
    juce::ScopedJuceInitialiser_GUI juceInit;
    TempDir temp;
    TolvaneProcessor p;

    juce::File write (const juce::String& name, Format format, const Channels& channels, double rate, int bits)
    {
        auto file = temp.file (name);
        writeSound (file, format, channels, rate, bits);
        return file;
    }
};
} // namespace

//==============================================================================
// Formats, channel counts and rates

struct FormatCase
{
    Format format;
    int channels;
    double rate;
    int bits;
};

class LoadingFormats : public Loading, public ::testing::WithParamInterface<FormatCase>
{
};

TEST_P (LoadingFormats, DecodesTheWholeFileAndPublishesIt)
{
    const auto& c = GetParam();
    constexpr int frames = 3001;
    const auto written = makeSignal (c.channels, frames);
    auto file = write ("sound" + juce::String (extensionOf (c.format)), c.format, written, c.rate, c.bits);
    const auto reference = decodeWithFramework (file);

    const int fdsBefore = openFileDescriptors();
    const auto text = p.loadSoundFile (file, true);
    EXPECT_EQ (openFileDescriptors(), fdsBefore) << "the reader and its stream are closed";

    ASSERT_EQ (text, loadedText (file));
    ASSERT_EQ (p.soundCache.size(), 1u);
    const auto& sound = *p.soundCache[0];
    const int kept = std::min (c.channels, 2);
    EXPECT_EQ (sound.sampleRate, c.rate);
    ASSERT_EQ ((int) sound.channels.size(), kept);
    for (int ch = 0; ch < kept; ++ch)
    {
        ASSERT_EQ (sound.channels[(size_t) ch].size(), (size_t) frames);
        EXPECT_EQ (sound.channels[(size_t) ch], reference[(size_t) ch]) << "channel " << ch;
        for (int i = 0; i < frames; ++i)
            ASSERT_NEAR (sound.channels[(size_t) ch][(size_t) i], written[(size_t) ch][(size_t) i], quantum (c.bits))
                << "channel " << ch << " frame " << i;
    }
    EXPECT_EQ (p.cacheBytes, (size_t) kept * frames * 4);
    EXPECT_EQ (p.pendingSound.load(), p.soundCache[0].get());
    EXPECT_EQ (p.loadedFile, file);
    EXPECT_TRUE (p.loadedIsOriginal);
    EXPECT_EQ (p.sourceBpm.load(), 0.0);
    EXPECT_EQ (p.pitchSemitones.load(), 0.0);
    EXPECT_EQ (p.transportCommand.load(), transportStopReset);
}

std::vector<FormatCase> formatCases()
{
    std::vector<FormatCase> cases;
    for (auto format : { Format::wav, Format::aiff, Format::flac })
        for (int channels : { 1, 2, 6 })
            for (double rate : { 44100.0, 48000.0, 96000.0, 192000.0 })
                cases.push_back ({ format, channels, rate, 16 });
    // Other sample formats.
    cases.push_back ({ Format::wav, 2, 44100.0, 8 });
    cases.push_back ({ Format::wav, 2, 48000.0, 24 });
    cases.push_back ({ Format::wav, 2, 96000.0, 32 });
    cases.push_back ({ Format::aiff, 2, 44100.0, 8 });
    cases.push_back ({ Format::aiff, 1, 48000.0, 24 });
    cases.push_back ({ Format::flac, 2, 44100.0, 24 });
    cases.push_back ({ Format::flac, 6, 96000.0, 24 });
    cases.push_back ({ Format::wav, 6, 22050.0, 24 });
    return cases;
}

INSTANTIATE_TEST_SUITE_P (Table, LoadingFormats, ::testing::ValuesIn (formatCases()),
                          [] (const auto& info)
                          {
                              const auto& c = info.param;
                              return std::string (extensionOf (c.format) + 1) + "_" + std::to_string (c.channels) +
                                     "ch_" + std::to_string ((int) c.rate) + "Hz_" + std::to_string (c.bits) + "bit";
                          });

TEST_F (Loading, KeepsTheFirstTwoOfSixChannels)
{
    Channels six;
    for (int ch = 0; ch < 6; ++ch)
        six.push_back (std::vector<float> (500, 0.1f * (float) (ch + 1)));
    auto file = write ("six.wav", Format::wav, six, 48000.0, 24);
    ASSERT_TRUE (p.loadSoundFile (file, true).startsWith ("Loaded: "));
    const auto& sound = *p.soundCache.back();
    ASSERT_EQ (sound.channels.size(), 2u);
    EXPECT_NEAR (sound.channels[0][10], 0.1f, quantum (24));
    EXPECT_NEAR (sound.channels[1][10], 0.2f, quantum (24));
    EXPECT_EQ (p.cacheBytes, 500u * 8u);
}

TEST_F (Loading, FloatSamplesAboveFullScaleAreKept)
{
    auto file = write ("loud.wav", Format::wav, { { 1.5f, -2.0f, 0.25f } }, 44100.0, 32);
    ASSERT_TRUE (p.loadSoundFile (file, true).startsWith ("Loaded: "));
    EXPECT_EQ (p.soundCache.back()->channels[0], (std::vector<float>{ 1.5f, -2.0f, 0.25f }));
}

TEST_F (Loading, AOneFrameFileLoads)
{
    auto file = write ("one.aiff", Format::aiff, { { 0.5f } }, 44100.0, 16);
    EXPECT_EQ (p.loadSoundFile (file, true), loadedText (file));
    EXPECT_EQ (frameCountOf (*p.soundCache.back()), 1u);
    EXPECT_EQ (p.cacheBytes, 4u);
}

TEST_F (Loading, OtherFormatsOfTheManagerLoadToo)
{
    // The editor narrows local files to WAV, AIFF and FLAC; loadSoundFile takes every registered format.
    auto file = temp.file ("tone.ogg");
    {
        juce::OggVorbisAudioFormat ogg;
        auto stream = file.createOutputStream();
        ASSERT_NE (stream, nullptr);
        std::unique_ptr<juce::AudioFormatWriter> writer (ogg.createWriterFor (stream.get(), 44100.0, 2, 16, {}, 5));
        ASSERT_NE (writer, nullptr);
        stream.release();
        const auto signal = makeSignal (2, 44100);
        const float* pointers[] = { signal[0].data(), signal[1].data() };
        writer->writeFromFloatArrays (pointers, 2, 44100);
    }
    EXPECT_EQ (p.loadSoundFile (file, true), loadedText (file));
    EXPECT_EQ (p.soundCache.back()->sampleRate, 44100.0);
    EXPECT_EQ (p.soundCache.back()->channels.size(), 2u);
}

TEST_F (Loading, ExtensionsAreComparedIgnoringCase)
{
    auto signal = makeSignal (1, 100);
    for (auto [name, format] : { std::pair{ "KICK.WAV", Format::wav }, std::pair{ "Snare.Aif", Format::aiff },
                                 std::pair{ "hat.FLAC", Format::flac } })
    {
        auto file = write (name, format, signal, 44100.0, 16);
        EXPECT_EQ (p.loadSoundFile (file, true), loadedText (file));
    }
}

//==============================================================================
// What a success writes

TEST_F (Loading, TheSuccessTextNamesTheFile)
{
    auto file = write ("kick.wav", Format::wav, makeSignal (2, 100), 44100.0, 16);
    EXPECT_EQ (p.loadSoundFile (file, true), "Loaded: kick.wav. Enter source BPM if known.");
}

TEST_F (Loading, ASuccessPublishesTheSoundAndResetsTheSettings)
{
    makeBusy (p);
    const Snapshot before (p);
    auto file = write ("new.flac", Format::flac, makeSignal (2, 700), 96000.0, 24);

    EXPECT_EQ (p.loadSoundFile (file, true), loadedText (file));

    ASSERT_EQ (p.soundCache.size(), before.cache.size() + 1);
    for (size_t i = 0; i < before.cache.size(); ++i)
        EXPECT_EQ (p.soundCache[i].get(), before.cache[i]) << "the cache is append only";
    auto* added = p.soundCache.back().get();
    EXPECT_EQ (p.cacheBytes, before.cacheBytes + 700u * 8u);
    EXPECT_EQ (p.pendingSound.load(), added) << "the sound still pending before is replaced";
    EXPECT_EQ (p.loadedFile, file);
    EXPECT_TRUE (p.loadedIsOriginal);
    EXPECT_EQ (p.sourceBpm.load(), 0.0);
    EXPECT_EQ (p.pitchSemitones.load(), 0.0);
    EXPECT_EQ (p.transportCommand.load(), transportStopReset);
    // Untouched by a load:
    EXPECT_EQ (p.gain.load(), before.gain);
    EXPECT_EQ (p.matchDawTempo.load(), before.matchDawTempo);
    EXPECT_EQ (p.hostBpm.load(), before.hostBpm);
    EXPECT_EQ (p.voice.sound, before.voiceSound) << "the audio thread takes the sound at its next block";
}

TEST_F (Loading, ALoadWhileAnotherSoundPlaysStopsItAtTheNextBlock)
{
    auto first = write ("first.wav", Format::wav, makeSignal (2, 5000), 44100.0, 16);
    auto second = write ("second.wav", Format::wav, makeSignal (2, 5000), 44100.0, 16);
    ASSERT_TRUE (p.loadSoundFile (first, true).startsWith ("Loaded: "));
    p.transportCommand = transportPlayOnce;
    runBlock (p, 2, 256);
    ASSERT_TRUE (p.isPlaying.load());
    p.sourceBpm = 120.0;
    p.pitchSemitones = 5.0;

    ASSERT_TRUE (p.loadSoundFile (second, false).startsWith ("Loaded: "));
    EXPECT_EQ (p.sourceBpm.load(), 0.0);
    EXPECT_EQ (p.pitchSemitones.load(), 0.0);
    auto block = runBlock (p, 2, 256);
    EXPECT_FALSE (p.isPlaying.load());
    EXPECT_EQ (block.getMagnitude (0, 256), 0.0f);
    EXPECT_EQ (p.voice.sound, p.soundCache.back().get());
    EXPECT_EQ (p.voice.position, 0.0);
}

TEST_F (Loading, APreviewStaysMarkedUntilTheNextSuccess)
{
    auto preview = write ("preview-3.wav", Format::wav, makeSignal (2, 100), 44100.0, 16);
    auto original = write ("owned-3.wav", Format::wav, makeSignal (2, 100), 44100.0, 16);

    ASSERT_TRUE (p.loadSoundFile (preview, false).startsWith ("Loaded: "));
    EXPECT_FALSE (p.loadedIsOriginal);
    EXPECT_EQ (p.loadSoundFile (temp.file ("missing.wav"), true), cannotRead);
    EXPECT_FALSE (p.loadedIsOriginal);
    EXPECT_EQ (p.loadedFile, preview);
    ASSERT_TRUE (p.loadSoundFile (original, true).startsWith ("Loaded: "));
    EXPECT_TRUE (p.loadedIsOriginal);
    EXPECT_EQ (p.loadedFile, original);
}

TEST_F (Loading, TheSameFileTwiceIsCachedTwice)
{
    auto file = write ("twice.wav", Format::wav, makeSignal (2, 1000), 44100.0, 16);
    ASSERT_TRUE (p.loadSoundFile (file, true).startsWith ("Loaded: "));
    ASSERT_TRUE (p.loadSoundFile (file, true).startsWith ("Loaded: "));
    ASSERT_EQ (p.soundCache.size(), 2u);
    EXPECT_NE (p.soundCache[0].get(), p.soundCache[1].get());
    EXPECT_EQ (p.soundCache[0]->channels, p.soundCache[1]->channels);
    EXPECT_EQ (p.cacheBytes, 2u * 1000u * 8u);
    EXPECT_EQ (p.pendingSound.load(), p.soundCache[1].get());
}

//==============================================================================
// Failures: the exact texts, and no field changes

struct BadFile
{
    const char* name;
    std::function<juce::File (TempDir&)> make;
    juce::String expected;
};

class LoadingFailures : public Loading, public ::testing::WithParamInterface<BadFile>
{
};

TEST_P (LoadingFailures, GiveTheirTextAndChangeNothing)
{
    const auto& c = GetParam();
    auto file = c.make (temp);
    makeBusy (p);
    const Snapshot before (p);
    const int fdsBefore = openFileDescriptors();

    EXPECT_EQ (p.loadSoundFile (file, true), c.expected) << c.name;
    EXPECT_FALSE (p.loadSoundFile (file, true).startsWith ("Loaded:"));

    EXPECT_UNCHANGED (before, p);
    EXPECT_EQ (openFileDescriptors(), fdsBefore) << "no reader or stream outlives the call";
}

juce::File writeWav (TempDir& temp, const char* name, const Channels& channels, double rate = 44100.0)
{
    auto file = temp.file (name);
    writeSound (file, Format::wav, channels, rate, 16);
    return file;
}

// A WAV file whose "fmt " chunk has the field at the given offset overwritten (little-endian).
juce::File patchedWav (TempDir& temp, const char* name, int offsetInFormatChunk, juce::uint32 value, int size)
{
    auto file = writeWav (temp, name, makeSignal (2, 100));
    juce::MemoryBlock bytes;
    file.loadFileAsData (bytes);
    const auto* data = static_cast<const char*> (bytes.getData());
    const auto* found = std::search (data, data + bytes.getSize(), "fmt ", "fmt " + 4);
    if (found == data + bytes.getSize())
        throw std::runtime_error ("no fmt chunk");
    const auto chunk = found - data;
    for (int i = 0; i < size; ++i)
        static_cast<juce::uint8*> (bytes.getData())[chunk + 8 + offsetInFormatChunk + i] =
            (juce::uint8) (value >> (8 * i));
    file.replaceWithData (bytes.getData(), bytes.getSize());
    return file;
}

// A WAV file of the given header fields and payload, byte by byte. dataSize is what the "data" chunk
// claims, which may be more than the payload.
juce::File rawWav (TempDir& temp, const char* name, int format, int channels, int rate, juce::uint32 bytesPerSecond,
                   int blockAlign, int bits, juce::uint32 dataSize, const juce::MemoryBlock& payload = {})
{
    juce::MemoryOutputStream out;
    out.write ("RIFF", 4);
    out.writeInt ((int) (36 + payload.getSize()));
    out.write ("WAVEfmt ", 8);
    out.writeInt (16);
    out.writeShort ((short) format);
    out.writeShort ((short) channels);
    out.writeInt (rate);
    out.writeInt ((int) bytesPerSecond);
    out.writeShort ((short) blockAlign);
    out.writeShort ((short) bits);
    out.write ("data", 4);
    out.writeInt ((int) dataSize);
    out << payload;
    auto file = temp.file (name);
    file.replaceWithData (out.getData(), out.getDataSize());
    return file;
}

// An AIFF file at 44,100 Hz with the given header fields and no sample bytes, with or without
// a sound data chunk.
juce::File rawAiff (TempDir& temp, const char* name, int channels, juce::uint32 frames, int bits,
                    bool withSoundChunk = true)
{
    juce::MemoryOutputStream out;
    out.write ("FORM", 4);
    out.writeIntBigEndian (4 + 26 + (withSoundChunk ? 16 : 0));
    out.write ("AIFFCOMM", 8);
    out.writeIntBigEndian (18);
    out.writeShortBigEndian ((short) channels);
    out.writeIntBigEndian ((int) frames);
    out.writeShortBigEndian ((short) bits);
    const juce::uint8 rate44100[10] = { 0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0 }; // 80-bit extended
    out.write (rate44100, sizeof rate44100);
    if (! withSoundChunk)
    {
        auto file = temp.file (name);
        file.replaceWithData (out.getData(), out.getDataSize());
        return file;
    }
    out.write ("SSND", 4);
    out.writeIntBigEndian (8 + (int) (frames * (juce::uint32) channels * (juce::uint32) bits / 8));
    out.writeIntBigEndian (0);
    out.writeIntBigEndian (0);
    auto file = temp.file (name);
    file.replaceWithData (out.getData(), out.getDataSize());
    return file;
}

// Chunk files assembled byte by byte: a short 16-bit mono sound of 10 frames, then the given chunks.
// Each chunk's claimed length may differ from the bytes that follow it.
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

juce::MemoryBlock wavChunk (const char* id, juce::uint32 claimed, const juce::MemoryBlock& payload = {})
{
    return chunk (id, claimed, payload, false);
}

juce::MemoryBlock aiffChunk (const char* id, juce::uint32 claimed, const juce::MemoryBlock& payload = {})
{
    return chunk (id, claimed, payload, true);
}

juce::MemoryBlock bytes (std::initializer_list<int> values)
{
    juce::MemoryBlock block;
    for (int v : values)
        block.append (&v, 1);
    return block;
}

juce::MemoryBlock text (const std::string& s) { return { s.data(), s.size() }; }

juce::MemoryBlock repeated (const juce::MemoryBlock& piece, int times)
{
    juce::MemoryBlock block;
    for (int i = 0; i < times; ++i)
        block.append (piece.getData(), piece.getSize());
    return block;
}

juce::File saved (TempDir& temp, const char* name, const juce::MemoryBlock& content)
{
    auto file = temp.file (name);
    file.replaceWithData (content.getData(), content.getSize());
    return file;
}

juce::File wavWithChunks (TempDir& temp, const char* name, std::initializer_list<juce::MemoryBlock> chunks)
{
    juce::MemoryOutputStream body;
    body.write ("WAVE", 4);
    juce::MemoryOutputStream format;
    format.writeShort (1);
    format.writeShort (1);
    format.writeInt (44100);
    format.writeInt (88200);
    format.writeShort (2);
    format.writeShort (16);
    body << wavChunk ("fmt ", 16, format.getMemoryBlock()) << wavChunk ("data", 20, juce::MemoryBlock (20, true));
    for (const auto& c : chunks)
        body << c;
    juce::MemoryOutputStream out;
    out << wavChunk ("RIFF", (juce::uint32) body.getDataSize(), body.getMemoryBlock());
    return saved (temp, name, out.getMemoryBlock());
}

juce::File aiffWithChunks (TempDir& temp, const char* name, std::initializer_list<juce::MemoryBlock> chunks)
{
    juce::MemoryOutputStream body;
    body.write ("AIFF", 4);
    juce::MemoryOutputStream common;
    common.writeShortBigEndian (1);
    common.writeIntBigEndian (10);
    common.writeShortBigEndian (16);
    common << bytes ({ 0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0 }); // 44,100 Hz
    body << aiffChunk ("COMM", 18, common.getMemoryBlock());
    for (const auto& c : chunks)
        body << c;
    body << aiffChunk ("SSND", 28, juce::MemoryBlock (28, true));
    juce::MemoryOutputStream out;
    out << aiffChunk ("FORM", (juce::uint32) body.getDataSize(), body.getMemoryBlock());
    return saved (temp, name, out.getMemoryBlock());
}

std::string nestedXml (int depth)
{
    std::string xml;
    for (int i = 0; i < depth; ++i)
        xml += "<a>";
    for (int i = 0; i < depth; ++i)
        xml += "</a>";
    return xml;
}

INSTANTIATE_TEST_SUITE_P (
    Table, LoadingFailures,
    ::testing::Values (
        BadFile{ "an empty WAV file",
                 [] (TempDir& t) {
                     return writeWav (t, "empty.wav", { {}, {} });
                 },
                 cannotRead },
        BadFile{ "a file of no bytes",
                 [] (TempDir& t)
                 {
                     auto f = t.file ("nothing.wav");
                     f.create();
                     return f;
                 },
                 cannotRead },
        BadFile{ "a text file",
                 [] (TempDir& t)
                 {
                     auto f = t.file ("notes.wav");
                     f.replaceWithText ("This is not a sound, just some words about one.\n");
                     return f;
                 },
                 cannotRead },
        BadFile{ "an extension no format claims",
                 [] (TempDir& t)
                 {
                     auto f = writeWav (t, "sound.wav", makeSignal (2, 100));
                     auto renamed = t.file ("sound.xyz");
                     f.moveFileTo (renamed);
                     return renamed;
                 },
                 cannotRead },
        BadFile{ "FLAC contents named .wav",
                 [] (TempDir& t)
                 {
                     auto f = t.file ("really-flac.flac");
                     writeSound (f, Format::flac, makeSignal (2, 100), 44100.0, 16);
                     auto renamed = t.file ("really-flac.wav");
                     f.moveFileTo (renamed);
                     return renamed;
                 },
                 cannotRead },
        BadFile{ "WAV contents named .ogg",
                 [] (TempDir& t)
                 {
                     auto f = writeWav (t, "wave.wav", makeSignal (1, 100));
                     auto renamed = t.file ("wave.ogg");
                     f.moveFileTo (renamed);
                     return renamed;
                 },
                 cannotRead },
        BadFile{ "a file that does not exist", [] (TempDir& t) { return t.file ("absent.wav"); }, cannotRead },
        BadFile{ "a directory",
                 [] (TempDir& t)
                 {
                     auto d = t.file ("folder.wav");
                     d.createDirectory();
                     return d;
                 },
                 cannotRead },
        BadFile{ "a WAV header with rate 0", [] (TempDir& t) { return patchedWav (t, "rate0.wav", 4, 0, 4); },
                 cannotRead },
        BadFile{ "a WAV header with no channels", [] (TempDir& t) { return patchedWav (t, "mute.wav", 2, 0, 2); },
                 cannotRead },
        // The framework's readers loop for ever on a frame wider than 5,760 bytes.
        BadFile{ "2,000 channels of 32-bit float in a 44-byte WAV",
                 [] (TempDir& t) { return rawWav (t, "wide.wav", 3, 2000, 44100, 8000u * 44100u, 8000, 32, 32000); },
                 cannotRead },
        BadFile{ "1,441 channels of 32-bit PCM, a frame of 5,764 bytes",
                 [] (TempDir& t) { return rawWav (t, "wide2.wav", 1, 1441, 8000, 5764u * 8000u, 5764, 32, 5764); },
                 cannotRead },
        // Sample size above 64 bits: the reader takes the frame from the byte rate and reports
        // 8 x 5,800 / 1,500 rounded down, 30 bits, although the frame is 5,800 bytes.
        BadFile{ "a WAV whose frame comes from its byte rate",
                 [] (TempDir& t) { return rawWav (t, "byterate.wav", 1, 1500, 8000, 5800u * 8000u, 0, 100, 5800); },
                 cannotRead },
        BadFile{ "2,000 channels of 32-bit samples in an AIFF",
                 [] (TempDir& t) { return rawAiff (t, "wide.aiff", 2000, 1, 32); }, cannotRead },
        BadFile{ "a 65,535-bit sample in an AIFF", [] (TempDir& t) { return rawAiff (t, "deep.aiff", 1, 1, 65535); },
                 cannotRead },
        // Its AIFF reader divides by the frame's whole bytes, which are 0 here.
        BadFile{ "an AIFF of 0-bit samples", [] (TempDir& t) { return rawAiff (t, "nobits.aiff", 2, 51712, 0, false); },
                 cannotRead },
        BadFile{ "an AIFF of 4-bit mono samples",
                 [] (TempDir& t) { return rawAiff (t, "nibble.aiff", 1, 100, 4, false); }, cannotRead },
        // Lists that count far more entries than the file holds, each a few strings in a map: seconds for
        // a few bytes.
        BadFile{ "an AIFF of 104 bytes with five comment chunks of 65,535 notes",
                 [] (TempDir& t)
                 {
                     const auto comments = aiffChunk ("COMT", 2, bytes ({ 0xFF, 0xFF }));
                     return aiffWithChunks (t, "comments.aiff", { comments, comments, comments, comments, comments });
                 },
                 cannotRead },
        BadFile{ "an AIFF with a marker chunk of 65,535 markers",
                 [] (TempDir& t) {
                     return aiffWithChunks (t, "markers.aiff", { aiffChunk ("MARK", 2, bytes ({ 0xFF, 0xFF })) });
                 },
                 cannotRead },
        BadFile{ "a WAV with a cue chunk claiming 16 MiB of cue points",
                 [] (TempDir& t) {
                     return wavWithChunks (t, "cues.wav",
                                           { wavChunk ("cue ", 1 << 24, bytes ({ 0xFF, 0xFF, 0xFF, 0x7F })) });
                 },
                 cannotRead },
        BadFile{
            "a WAV whose cue count is cut by the end of the file",
            [] (TempDir& t) {
                return wavWithChunks (t, "cuecut.wav", { wavChunk ("cue ", 1 << 24, bytes ({ 0xFF, 0xFF, 0xFF })) });
            },
            cannotRead },
        BadFile{ "a WAV with a sampler chunk claiming 16 MiB of loops",
                 [] (TempDir& t)
                 {
                     auto loops = juce::MemoryBlock (28, true);
                     loops.append ("\xFF\xFF\xFF\x7F", 4);
                     return wavWithChunks (t, "loops.wav", { wavChunk ("smpl", 1 << 24, loops) });
                 },
                 cannotRead },
        // The framework's reader walks a label list that runs off the end of the file for ever.
        BadFile{ "a WAV whose label list claims more than the file holds",
                 [] (TempDir& t)
                 {
                     auto labels = text ("adtl");
                     labels.append (wavChunk ("labl", 8, text (std::string ("\1\0\0\0kick", 8))).getData(), 16);
                     return wavWithChunks (t, "labels.wav", { wavChunk ("LIST", 4096, labels) });
                 },
                 cannotRead },
        BadFile{ "a WAV whose labels are shorter than their identifiers, each reading the rest of the file",
                 [] (TempDir& t)
                 {
                     auto labels = text ("adtl");
                     const auto label = wavChunk ("labl", 0xFFFFFFFF);
                     for (int i = 0; i < 100; ++i)
                         labels.append (label.getData(), label.getSize());
                     return wavWithChunks (t, "shortlabels.wav", { wavChunk ("LIST", 4 + 800, labels) });
                 },
                 cannotRead },
        BadFile{ "a WAV whose labelled text is shorter than its fields",
                 [] (TempDir& t)
                 {
                     auto labels = text ("adtl");
                     labels.append (wavChunk ("ltxt", 12, juce::MemoryBlock (12, true)).getData(), 20);
                     return wavWithChunks (t, "shortltxt.wav", { wavChunk ("LIST", 4 + 20, labels) });
                 },
                 cannotRead },
        // XML metadata the framework's parser expands without end or recurses on past its stack.
        BadFile{ "a WAV whose iXML defines entities of entities",
                 [] (TempDir& t)
                 {
                     const std::string xml = R"(<!DOCTYPE t [<!ENTITY a "&b;&b;&b;&b;&b;&b;&b;&b;">)"
                                             R"(<!ENTITY b "&a;&a;">]><t>&a;</t>)";
                     return wavWithChunks (t, "entities.wav",
                                           { wavChunk ("iXML", (juce::uint32) xml.size(), text (xml)) });
                 },
                 cannotRead },
        BadFile{ "a WAV whose iXML ends inside a UTF-8 sequence, which the parser steps past the end of the text",
                 [] (TempDir& t)
                 {
                     const std::string xml = "<t>caf\xC3";
                     return wavWithChunks (t, "cututf8.wav",
                                           { wavChunk ("iXML", (juce::uint32) xml.size(), text (xml)) });
                 },
                 cannotRead },
        BadFile{ "a WAV whose iXML holds bytes that start no UTF-8 sequence",
                 [] (TempDir& t)
                 {
                     const std::string xml = "<t>a &amp; b</\xFF\xFF\xFF\xFF\xFF\xFF\x01t\xB9\xC3\x9E\xC1<a/></t>";
                     return wavWithChunks (t, "notutf8.wav",
                                           { wavChunk ("iXML", (juce::uint32) xml.size(), text (xml)) });
                 },
                 cannotRead },
        BadFile{ "a WAV whose axml is UTF-16",
                 [] (TempDir& t)
                 {
                     juce::MemoryBlock xml = bytes ({ 0xFF, 0xFE });
                     for (char c : std::string (R"(<!DOCTYPE t [<!ENTITY a "x">]><t>&a;</t>)"))
                         xml.append (bytes ({ c, 0 }).getData(), 2);
                     return wavWithChunks (t, "utf16.wav", { wavChunk ("axml", (juce::uint32) xml.getSize(), xml) });
                 },
                 cannotRead },
        BadFile{ "a WAV whose iXML holds a processing instruction and text inside an element",
                 [] (TempDir& t)
                 {
                     const std::string xml = R"(<?xml version="1.0"?><BWFXML><?x?>text</BWFXML>)";
                     return wavWithChunks (t, "instruction.wav",
                                           { wavChunk ("iXML", (juce::uint32) xml.size(), text (xml)) });
                 },
                 cannotRead },
        BadFile{ "a WAV whose iXML holds 4,098 tags",
                 [] (TempDir& t)
                 {
                     const auto xml = nestedXml (2049);
                     return wavWithChunks (t, "deep.wav", { wavChunk ("iXML", (juce::uint32) xml.size(), text (xml)) });
                 },
                 cannotRead },
        BadFile{ "a WAV whose iXML hides its brackets in overlong UTF-8",
                 [] (TempDir& t)
                 {
                     const std::string xml = "<t>\xC0\xBC!DOCTYPE t [\xC0\xBC!ENTITY a \"x\"\xC0\xBE]\xC0\xBE</t>";
                     return wavWithChunks (t, "overlong.wav",
                                           { wavChunk ("iXML", (juce::uint32) xml.size(), text (xml)) });
                 },
                 cannotRead },
        // Its AIFF category reader tests for a tag in the last bytes by reading past them, and copies the
        // rest of the chunk for every tag.
        BadFile{
            "an AIFF whose category chunk ends in a tag's first letter",
            [] (TempDir& t)
            {
                auto tags = juce::MemoryBlock (4 + 50, true);
                tags.append ("A", 1);
                return aiffWithChunks (t, "cate.aiff", { aiffChunk ("cate", 55, tags), juce::MemoryBlock (1, true) });
            },
            cannotRead },
        BadFile{ "an AIFF without a sound chunk",
                 [] (TempDir& t) { return rawAiff (t, "nosound.aiff", 2, 10, 16, false); }, cannotRead },
        BadFile{ "an AIFF whose sound chunk lies past the end its FORM claims",
                 [] (TempDir& t)
                 {
                     auto file = rawAiff (t, "outside.aiff", 2, 10, 16);
                     juce::MemoryBlock content;
                     file.loadFileAsData (content);
                     static_cast<char*> (content.getData())[7] = 30; // FORM: "AIFF" and COMM only
                     file.replaceWithData (content.getData(), content.getSize());
                     return file;
                 },
                 cannotRead },
        BadFile{ "an AIFF with a category chunk of 17 KiB",
                 [] (TempDir& t)
                 {
                     const auto tags = juce::MemoryBlock (4 + 17 * 1024, true);
                     return aiffWithChunks (t, "bigcate.aiff",
                                            { aiffChunk ("cate", (juce::uint32) tags.getSize(), tags) });
                 },
                 cannotRead }),
    [] (const auto& info) { return std::string ("case") + std::to_string (info.index); });

// Files the readers take as they are, odd or not: each loads every frame as the framework's own reader
// reads it, frames past the end of the file included.
struct OddFile
{
    const char* name;
    std::function<juce::File (TempDir&)> make;
};

class LoadingOddFiles : public Loading, public ::testing::WithParamInterface<OddFile>
{
};

TEST_P (LoadingOddFiles, LoadAsTheFrameworksReaderReadsThem)
{
    const auto& c = GetParam();
    auto file = c.make (temp);
    const auto reference = decodeWithFramework (file);

    ASSERT_EQ (p.loadSoundFile (file, true), loadedText (file)) << c.name;
    const auto& sound = *p.soundCache.back();
    ASSERT_EQ (sound.channels.size(), std::min<size_t> (reference.size(), 2)) << c.name;
    for (size_t ch = 0; ch < sound.channels.size(); ++ch)
    {
        ASSERT_EQ (sound.channels[ch].size(), reference[ch].size()) << c.name;
        for (size_t i = 0; i < reference[ch].size(); ++i)
            ASSERT_TRUE (sameBits (sound.channels[ch][i], reference[ch][i]))
                << c.name << ": channel " << ch << " frame " << i << ": " << sound.channels[ch][i] << " vs "
                << reference[ch][i];
    }
}

// A file of `frames` frames written by the framework, whose sound chunk then claims `claimedFrames`, its
// last `cutBytes` bytes cut off.
juce::File claimingMore (TempDir& temp, const char* name, Format format, int channels, int bits, int frames,
                         juce::uint32 claimedFrames, int cutBytes = 0)
{
    auto file = temp.file (name);
    writeSound (file, format, makeSignal (channels, frames), 44100.0, bits);
    juce::MemoryBlock content;
    file.loadFileAsData (content);
    auto* data = static_cast<char*> (content.getData());
    const auto at = [&] (const char* id)
    { return (size_t) (std::search (data, data + content.getSize(), id, id + 4) - data); };
    const auto frameBytes = (juce::uint32) (channels * bits / 8);
    if (format == Format::wav)
    {
        const auto dataAt = at ("data");
        const auto claimed = claimedFrames * frameBytes;
        std::memcpy (data + dataAt + 4, &claimed, 4);
    }
    else
    {
        const auto put = [&] (size_t offset, juce::uint32 v)
        {
            for (int i = 0; i < 4; ++i)
                data[offset + (size_t) i] = (char) (v >> (24 - 8 * i));
        };
        put (at ("COMM") + 10, claimedFrames);
        put (at ("SSND") + 4, 8 + claimedFrames * frameBytes);
    }
    content.setSize (content.getSize() - (size_t) cutBytes);
    file.replaceWithData (content.getData(), content.getSize());
    return file;
}

juce::File writeWithMetadata (TempDir& temp, const char* name, Format format, const juce::StringPairArray& metadata)
{
    auto file = temp.file (name);
    auto audioFormat = makeFormat (format);
    auto stream = file.createOutputStream();
    std::unique_ptr<juce::AudioFormatWriter> writer (
        audioFormat->createWriterFor (stream.get(), 44100.0, 2, 16, metadata, 0));
    if (writer == nullptr)
        throw std::runtime_error ("no writer");
    stream.release();
    const auto signal = makeSignal (2, 500);
    const float* pointers[] = { signal[0].data(), signal[1].data() };
    writer->writeFromFloatArrays (pointers, 2, 500);
    return file;
}

juce::StringPairArray pairs (std::initializer_list<std::pair<const char*, const char*>> entries)
{
    juce::StringPairArray values;
    for (auto [key, value] : entries)
        values.set (key, value);
    return values;
}

INSTANTIATE_TEST_SUITE_P (
    Table, LoadingOddFiles,
    ::testing::Values (
        // Its AIFF reader leaves frames of under 8 bits a channel unread: silence, at one byte a frame.
        OddFile{ "a stereo 4-bit AIFF", [] (TempDir& t) { return rawAiff (t, "nibbles.aiff", 2, 300, 4); } },
        // Past the end of the file the 8-bit WAV reader gives -1: zero bytes are its lowest value.
        OddFile{ "an 8-bit stereo WAV claiming a million frames",
                 [] (TempDir& t) { return claimingMore (t, "claims8.wav", Format::wav, 2, 8, 300, 1000000); } },
        OddFile{ "a 16-bit mono WAV claiming more, cut inside its last frame",
                 [] (TempDir& t) { return claimingMore (t, "cut16.wav", Format::wav, 1, 16, 301, 700000, 1); } },
        OddFile{ "a 24-bit six-channel WAV claiming more",
                 [] (TempDir& t) { return claimingMore (t, "claims24.wav", Format::wav, 6, 24, 200, 100000, 7); } },
        OddFile{ "a 32-bit float WAV claiming more",
                 [] (TempDir& t) { return claimingMore (t, "claims32.wav", Format::wav, 2, 32, 250, 300000, 3); } },
        OddFile{ "a 16-bit stereo AIFF claiming more",
                 [] (TempDir& t) { return claimingMore (t, "claims16.aiff", Format::aiff, 2, 16, 300, 500000, 2); } },
        // Its sound data then starts at byte 0, the header read as samples; the file ends inside a frame.
        OddFile{ "a 16-bit stereo AIFF claiming more, its data offset pointing back to the start of the file",
                 [] (TempDir& t)
                 {
                     auto file = claimingMore (t, "back.aiff", Format::aiff, 2, 16, 300, 500000, 1);
                     juce::MemoryBlock content;
                     file.loadFileAsData (content);
                     auto* data = static_cast<char*> (content.getData());
                     const auto ssnd = (int) (std::search (data, data + content.getSize(), "SSND", "SSND" + 4) - data);
                     const auto offset = (juce::uint32) - (ssnd + 16);
                     for (int i = 0; i < 4; ++i)
                         data[ssnd + 8 + i] = (char) (offset >> (24 - 8 * i));
                     file.replaceWithData (content.getData(), content.getSize());
                     return file;
                 } },
        OddFile{ "an 8-bit mono AIFF claiming more",
                 [] (TempDir& t) { return claimingMore (t, "claims8.aiff", Format::aiff, 1, 8, 300, 500000); } },
        // Metadata as the framework writes it, and as other programs do.
        OddFile{ "a WAV with cue points, loops, labels, notes and a region",
                 [] (TempDir& t)
                 {
                     return writeWithMetadata (
                         t, "marked.wav", Format::wav,
                         pairs ({ { "NumCuePoints", "2" },         { "Cue0Identifier", "1" },
                                  { "Cue0Offset", "100" },         { "Cue1Identifier", "2" },
                                  { "Cue1Offset", "300" },         { "NumCueLabels", "2" },
                                  { "CueLabel0Identifier", "1" },  { "CueLabel0Text", "start" },
                                  { "CueLabel1Identifier", "2" },  { "CueLabel1Text", "" },
                                  { "NumCueNotes", "1" },          { "CueNote0Identifier", "1" },
                                  { "CueNote0Text", "a note" },    { "NumCueRegions", "1" },
                                  { "CueRegion0Identifier", "2" }, { "CueRegion0SampleLength", "50" },
                                  { "CueRegion0Text", "loop" },    { "NumSampleLoops", "2" },
                                  { "Loop0Start", "10" },          { "Loop0End", "400" },
                                  { "Loop1Start", "20" },          { "Loop1End", "30" } }));
                 } },
        OddFile{ "an AIFF with markers and comments",
                 [] (TempDir& t)
                 {
                     return writeWithMetadata (t, "marked.aiff", Format::aiff,
                                               pairs ({ { "NumCuePoints", "2" },
                                                        { "Cue0Identifier", "1" },
                                                        { "Cue0Offset", "100" },
                                                        { "Cue1Identifier", "2" },
                                                        { "Cue1Offset", "300" },
                                                        { "NumCueLabels", "1" },
                                                        { "CueLabel0Identifier", "1" },
                                                        { "CueLabel0Text", "start" },
                                                        { "NumCueNotes", "2" },
                                                        { "CueNote0TimeStamp", "5" },
                                                        { "CueNote0Text", "odd" },
                                                        { "CueNote1Text", "even!" },
                                                        { "MidiUnityNote", "60" } }));
                 } },
        OddFile{ "a WAV with iXML of comments, a declaration, references and nested elements",
                 [] (TempDir& t)
                 {
                     const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?><!-- recorder -->)"
                                             R"(<BWFXML><IXML_VERSION>1.5</IXML_VERSION><NOTE>a &amp; b &#x263A;)"
                                             "caf\xC3\xA9</NOTE>" +
                                             nestedXml (200) + "</BWFXML>";
                     return wavWithChunks (t, "ixml.wav",
                                           { wavChunk ("iXML", (juce::uint32) xml.size(), text (xml)),
                                             wavChunk ("axml", 10, text ("<a>\xC2\xA9</a>")) });
                 } },
        OddFile{ "a WAV whose iXML holds 4,096 tags",
                 [] (TempDir& t)
                 {
                     const auto xml = nestedXml (2048);
                     return wavWithChunks (t, "tags.wav", { wavChunk ("iXML", (juce::uint32) xml.size(), text (xml)) });
                 } },
        OddFile{ "a WAV with a label list and cues that fit",
                 [] (TempDir& t)
                 {
                     auto labels = text ("adtl");
                     labels.append (wavChunk ("labl", 9, text (std::string ("\1\0\0\0kick\0\0", 10))).getData(), 18);
                     labels.append (wavChunk ("note", 4, text (std::string ("\1\0\0\0", 4))).getData(), 12);
                     auto cues = bytes ({ 1, 0, 0, 0 });
                     cues.append (juce::MemoryBlock (24, true).getData(), 24);
                     return wavWithChunks (
                         t, "fits.wav",
                         { wavChunk ("LIST", (juce::uint32) labels.getSize(), labels), wavChunk ("cue ", 28, cues) });
                 } },
        OddFile{ "an AIFF with a category chunk of two tags",
                 [] (TempDir& t)
                 {
                     auto tags = juce::MemoryBlock (4, true);
                     auto tag = juce::MemoryBlock (50, true);
                     tag.copyFrom ("Loops", 0, 5);
                     tags.append (tag.getData(), 50);
                     tag.copyFrom ("Drums", 0, 5);
                     tags.append (tag.getData(), 50);
                     return aiffWithChunks (t, "tags.aiff",
                                            { aiffChunk ("cate", (juce::uint32) tags.getSize(), tags) });
                 } }),
    [] (const auto& info) { return std::string ("case") + std::to_string (info.index); });

TEST_F (Loading, WideFramesWithinTheReadersPassLoad)
{
    // 1,396 channels of 32-bit samples: 5,584 bytes a frame, the widest this many bits can describe
    // for sure. The first two channels are kept.
    juce::MemoryBlock frame (1396 * 4, true);
    static_cast<float*> (frame.getData())[0] = 0.25f;
    static_cast<float*> (frame.getData())[1] = -0.5f;
    auto file = rawWav (temp, "many.wav", 3, 1396, 44100, 5584u * 44100u, 5584, 32, 5584, frame);
    ASSERT_EQ (p.loadSoundFile (file, true), loadedText (file));
    EXPECT_EQ (p.soundCache.back()->channels, (Channels{ { 0.25f }, { -0.5f } }));
}

// Runs a load on another thread and gives up after a while, so that a load that blocks fails the test
// instead of hanging it; unblock() must make the blocked load return.
juce::String loadWithin (TolvaneProcessor& p, const juce::File& file, const std::function<void()>& unblock)
{
    auto result = std::async (std::launch::async, [&] { return p.loadSoundFile (file, true); });
    if (result.wait_for (std::chrono::seconds (20)) != std::future_status::ready)
    {
        unblock();
        result.wait();
        return "the load blocked";
    }
    return result.get();
}

TEST_F (Loading, FilesThatAreNotRegularFilesAreRefusedWithoutOpening)
{
    makeBusy (p);
    const Snapshot before (p);

    // A named pipe blocks whoever opens it for reading until a writer comes.
    const auto pipe = temp.file ("x.wav");
    ASSERT_EQ (mkfifo (pipe.getFullPathName().toRawUTF8(), 0600), 0);
    const auto unblockPipe = [&]
    {
        const int fd = open (pipe.getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            close (fd);
    };
    EXPECT_EQ (loadWithin (p, pipe, unblockPipe), cannotRead);

    // A device, reached through a link with an accepted extension.
    const auto device = temp.file ("zero.wav");
    ASSERT_TRUE (juce::File ("/dev/zero").createSymbolicLink (device, false));
    EXPECT_EQ (loadWithin (p, device, [] {}), cannotRead);

    EXPECT_UNCHANGED (before, p);

    // A link to a regular file is followed.
    const auto real = write ("real.wav", Format::wav, makeSignal (1, 50), 44100.0, 16);
    const auto link = temp.file ("link.wav");
    ASSERT_TRUE (real.createSymbolicLink (link, false));
    EXPECT_EQ (p.loadSoundFile (link, true), loadedText (link));
}

TEST_F (Loading, FloatSamplesThatAreNotFiniteAreKeptAndPlaySafely)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float big = std::numeric_limits<float>::max();
    const Channels samples{ { 0.5f, std::nanf (""), 0.25f, inf, -inf, 0.0f, big, -big, big, 0.1f },
                            { -inf, inf, std::nanf (""), -big, big, 1e30f, -1e30f, 0.0f, inf, -0.2f } };
    auto file = write ("poison.wav", Format::wav, samples, 44100.0, 32);
    ASSERT_EQ (p.loadSoundFile (file, true), loadedText (file));

    // Kept bit for bit.
    const auto& kept = p.soundCache.back()->channels;
    ASSERT_EQ (kept.size(), 2u);
    for (size_t ch = 0; ch < 2; ++ch)
        for (size_t i = 0; i < samples[ch].size(); ++i)
            EXPECT_TRUE (sameBits (kept[ch][i], samples[ch][i])) << ch << ", " << i;

    // Played at several speeds and gains, 0 among them: every output sample finite and within ±1.
    for (const float gain : { 0.0f, 0.5f, 1.0f })
        for (const double pitch : { 0.0, -12.0, 5.5 })
        {
            p.gain = gain;
            p.pitchSemitones = pitch;
            p.transportCommand = transportStopReset;
            runBlock (p, 2, 1);
            p.transportCommand = transportPlayOnce;
            for (int block = 0; block < 6; ++block)
            {
                const auto out = runBlock (p, 2, 8);
                for (int ch = 0; ch < 2; ++ch)
                    for (int i = 0; i < 8; ++i)
                    {
                        const float v = out.getSample (ch, i);
                        ASSERT_TRUE (std::isfinite (v) && v >= -1.0f && v <= 1.0f)
                            << "gain " << gain << ", pitch " << pitch << ": " << v;
                    }
            }
        }
}

//==============================================================================
// Readers the framework's formats never give: a test format registered in the processor's manager.

namespace
{
struct FakeReaderSetup
{
    double sampleRate = 44100.0;
    juce::int64 length = 100;
    unsigned int channels = 2;
    bool readFails = false;

    // What the reader saw.
    int readsCalled = 0;
    juce::int64 framesRead = 0;
    juce::int64 firstFrameAsked = -1;
    int channelsAsked = 0;
};

std::atomic<int> liveReaders{ 0 };

class FakeReader : public juce::AudioFormatReader
{
public:
    FakeReader (juce::InputStream* in, FakeReaderSetup& s) : juce::AudioFormatReader (in, "Fake"), setup (s)
    {
        sampleRate = setup.sampleRate;
        lengthInSamples = setup.length;
        numChannels = setup.channels;
        bitsPerSample = 32;
        usesFloatingPointData = true;
        ++liveReaders;
    }
    ~FakeReader() override { --liveReaders; }

    bool readSamples (int* const* dest, int numDest, int offset, juce::int64 start, int num) override
    {
        ++setup.readsCalled;
        if (setup.firstFrameAsked < 0)
            setup.firstFrameAsked = start;
        setup.framesRead += num;
        int asked = 0;
        for (int ch = 0; ch < numDest; ++ch)
            if (dest[ch] != nullptr)
            {
                ++asked;
                auto* out = reinterpret_cast<float*> (dest[ch]) + offset;
                for (int i = 0; i < num; ++i)
                    out[i] = 0.01f * (float) ch + 0.001f * (float) ((start + i) % 100);
            }
        setup.channelsAsked = std::max (setup.channelsAsked, asked);
        return ! setup.readFails;
    }

private:
    FakeReaderSetup& setup;
};

class FakeFormat : public juce::AudioFormat
{
public:
    explicit FakeFormat (FakeReaderSetup& s) : juce::AudioFormat ("Fake", ".fake"), setup (s) {}
    juce::Array<int> getPossibleSampleRates() override { return {}; }
    juce::Array<int> getPossibleBitDepths() override { return {}; }
    bool canDoStereo() override { return true; }
    bool canDoMono() override { return true; }
    juce::AudioFormatReader* createReaderFor (juce::InputStream* in, bool) override
    {
        return new FakeReader (in, setup);
    }
    juce::AudioFormatWriter* createWriterFor (juce::OutputStream*, double, unsigned int, int,
                                              const juce::StringPairArray&, int) override
    {
        return nullptr;
    }

private:
    FakeReaderSetup& setup;
};

class LoadingFakeReader : public Loading
{
protected:
    FakeReaderSetup setup;
    juce::File file = temp.file ("made-up.fake");

    void SetUp() override
    {
        file.create();
        p.formatManager.registerFormat (new FakeFormat (setup), false);
    }

    void expectFailure (const juce::String& expected, int expectedReads)
    {
        makeBusy (p);
        const Snapshot before (p);
        EXPECT_EQ (p.loadSoundFile (file, true), expected);
        EXPECT_UNCHANGED (before, p);
        EXPECT_EQ (setup.readsCalled, expectedReads);
        EXPECT_EQ (liveReaders.load(), 0) << "the reader is destroyed on every path";
    }
};
} // namespace

TEST_F (LoadingFakeReader, NoFramesOrNoRateCannotBeRead)
{
    for (auto [length, rate] : { std::pair<juce::int64, double>{ 0, 44100.0 },
                                 { -5, 44100.0 },
                                 { 100, 0.0 },
                                 { 100, -44100.0 },
                                 // NaN passes every length limit and would play with a NaN step: refused as unreadable.
                                 { 100, std::numeric_limits<double>::quiet_NaN() } })
    {
        setup = {};
        setup.length = length;
        setup.sampleRate = rate;
        expectFailure (cannotRead, 0);
    }
}

TEST_F (LoadingFakeReader, LengthLimitsComeBeforeAnyAllocation)
{
    // Four terabytes of samples, had anything been allocated for them.
    for (auto [length, rate] : { std::pair<juce::int64, double>{ juce::int64 (1) << 40, 44100.0 },
                                 { juce::int64 (1) << 40, 1.0e12 }, // 1.1 s, but far too many frames
                                 { 12000001, 1.0e9 },
                                 { 5292001, 44100.0 },
                                 { 121, 1.0 } })
    {
        setup = {};
        setup.length = length;
        setup.sampleRate = rate;
        expectFailure (tooLong, 0);
    }
}

TEST_F (LoadingFakeReader, TheDurationTestUsesTheRateTimes120)
{
    // 120 frames at 1 Hz is exactly 2 minutes; a fractional rate works the same way.
    setup.length = 120;
    setup.sampleRate = 1.0;
    EXPECT_TRUE (p.loadSoundFile (file, true).startsWith ("Loaded: "));
    setup = {};
    setup.length = 1201;
    setup.sampleRate = 10.005; // 1200.6 frames allowed
    expectFailure (tooLong, 0);
}

TEST_F (LoadingFakeReader, NoChannelsIsAReadFailure)
{
    setup.channels = 0;
    expectFailure (readFailed, 0);
}

TEST_F (LoadingFakeReader, AFailedReadIsAReadFailure)
{
    setup.readFails = true;
    expectFailure (readFailed, 1);
}

TEST_F (LoadingFakeReader, ReadsAllFramesFromTheStartInOneCall)
{
    for (unsigned int channels : { 1u, 2u, 6u })
    {
        setup = {};
        setup.channels = channels;
        setup.length = 5000;
        setup.sampleRate = 32000.0;
        ASSERT_EQ (p.loadSoundFile (file, false), loadedText (file));
        EXPECT_EQ (liveReaders.load(), 0);
        EXPECT_EQ (setup.readsCalled, 1);
        EXPECT_EQ (setup.framesRead, 5000);
        EXPECT_EQ (setup.firstFrameAsked, 0);
        EXPECT_EQ (setup.channelsAsked, (int) std::min (channels, 2u));

        const auto& sound = *p.soundCache.back();
        EXPECT_EQ (sound.sampleRate, 32000.0);
        ASSERT_EQ (sound.channels.size(), (size_t) std::min (channels, 2u));
        for (size_t ch = 0; ch < sound.channels.size(); ++ch)
        {
            ASSERT_EQ (sound.channels[ch].size(), 5000u);
            EXPECT_EQ (sound.channels[ch][1234], 0.01f * (float) ch + 0.001f * 34.0f);
        }
    }
}

//==============================================================================
// The limits, on real files at the limits. The long files are written once per test process, the
// first time a test of the suite asks for them, and deleted with the suite.

class LoadingLimits : public ::testing::Test
{
protected:
    static inline std::unique_ptr<TempDir> dir;

    static void SetUpTestSuite() { dir = std::make_unique<TempDir>(); }
    static void TearDownTestSuite() { dir.reset(); }

    // 8-bit WAVs keep the files small: one byte a sample.
    static juce::File longFile (const juce::String& name, int channels, juce::int64 frames, double rate)
    {
        auto file = dir->file (name);
        if (! file.existsAsFile())
            writePattern (file, Format::wav, channels, frames, rate, 8);
        return file;
    }

    static void expectPattern (const LoadedSound& sound, juce::int64 frames)
    {
        for (size_t ch = 0; ch < sound.channels.size(); ++ch)
        {
            ASSERT_EQ (sound.channels[ch].size(), (size_t) frames);
            for (juce::int64 i : { juce::int64 (0), juce::int64 (1), frames / 2, frames - 2, frames - 1 })
                ASSERT_NEAR (sound.channels[ch][(size_t) i], patternSample ((int) ch, i), quantum (8))
                    << "channel " << ch << " frame " << i;
        }
    }

    juce::ScopedJuceInitialiser_GUI juceInit;
    TolvaneProcessor p;
};

TEST_F (LoadingLimits, ExactlyTwoMinutesAt44100Loads)
{
    auto file = longFile ("120s-44100.wav", 1, 5292000, 44100.0);
    ASSERT_EQ (p.loadSoundFile (file, true), loadedText (file));
    EXPECT_EQ (p.cacheBytes, 5292000u * 4u);
    expectPattern (*p.soundCache.back(), 5292000);
}

TEST_F (LoadingLimits, OneFrameMoreThanTwoMinutesIsRefused)
{
    auto file = longFile ("120s-plus-one-44100.wav", 1, 5292001, 44100.0);
    makeBusy (p);
    const Snapshot before (p);
    EXPECT_EQ (p.loadSoundFile (file, true), tooLong);
    EXPECT_UNCHANGED (before, p);
}

TEST_F (LoadingLimits, TwoMinutesHoldAtEveryRate)
{
    // At 96 kHz the duration limit refuses a file below 12,000,000 frames.
    auto file = longFile ("120s-plus-one-96000.wav", 1, 11520001, 96000.0);
    EXPECT_EQ (p.loadSoundFile (file, true), tooLong);
    EXPECT_TRUE (p.soundCache.empty());
}

TEST_F (LoadingLimits, TwelveMillionFramesAt192000Load)
{
    auto file = longFile ("12M-192000.wav", 1, 12000000, 192000.0);
    ASSERT_EQ (p.loadSoundFile (file, true), loadedText (file));
    EXPECT_EQ (p.cacheBytes, 12000000u * 4u);
    EXPECT_EQ (p.soundCache.back()->sampleRate, 192000.0);
    expectPattern (*p.soundCache.back(), 12000000);
}

TEST_F (LoadingLimits, OneFrameMoreThanTwelveMillionIsRefused)
{
    // 62.5 s: far below two minutes, but one frame over the frame limit.
    auto file = longFile ("12M-plus-one-192000.wav", 1, 12000001, 192000.0);
    makeBusy (p);
    const Snapshot before (p);
    EXPECT_EQ (p.loadSoundFile (file, true), tooLong);
    EXPECT_UNCHANGED (before, p);
}

TEST_F (LoadingLimits, TheCacheHoldsSixStereoTwoMinuteSoundsAndFillsToTheByte)
{
    const auto full = longFile ("full-a.wav", 2, 5292000, 44100.0);
    const auto other = dir->file ("full-b.wav");
    if (! other.existsAsFile())
    {
        ASSERT_TRUE (full.copyFileTo (other));
    }

    for (int i = 0; i < 5; ++i)
        ASSERT_EQ (p.loadSoundFile (full, true), loadedText (full)) << "load " << i + 1;
    ASSERT_EQ (p.loadSoundFile (other, false), loadedText (other));
    ASSERT_EQ (p.cacheBytes, 254016000u);
    expectPattern (*p.soundCache.back(), 5292000);

    // The seventh does not fit: the sixth stays the current sound.
    {
        const Snapshot before (p);
        EXPECT_EQ (p.loadSoundFile (full, true), cacheFull);
        EXPECT_UNCHANGED (before, p);
        EXPECT_EQ (p.loadedFile, other);
        EXPECT_FALSE (p.loadedIsOriginal);
        EXPECT_EQ (p.pendingSound.load(), p.soundCache[5].get());
    }

    // A smaller sound still fits: 3,604,864 mono frames bring the total to exactly 256 MiB.
    const auto filler = longFile ("filler.wav", 1, 3604864, 44100.0);
    ASSERT_EQ (p.loadSoundFile (filler, true), loadedText (filler));
    EXPECT_EQ (p.cacheBytes, (size_t) 268435456);
    EXPECT_EQ (p.soundCache.size(), 7u);

    // From now on every readable sound within the length limits is refused, even one frame.
    const auto tiny = longFile ("tiny.wav", 1, 1, 44100.0);
    const Snapshot before (p);
    EXPECT_EQ (p.loadSoundFile (tiny, true), cacheFull);
    EXPECT_UNCHANGED (before, p);
    // Other failures keep their own texts.
    EXPECT_EQ (p.loadSoundFile (dir->file ("absent.wav"), true), cannotRead);
    EXPECT_EQ (p.loadSoundFile (longFile ("12M-plus-one-192000.wav", 1, 12000001, 192000.0), true), tooLong);
}
