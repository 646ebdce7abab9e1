// libFuzzer target: any bytes as a sound file handed to loadSoundFile. The first byte chooses the
// file's extension, the rest is the file's content.
//
// Oracles: the loader's texts and limits; a failed load changes nothing while another sound plays, and a
// success publishes the new sound without touching the one playing; every file loaded reads the same
// rate, frame count and samples through libsndfile, a second reader that shares no code with the
// framework's (see secondReadAgrees for where the two may differ); playback stays finite and within ±1.

#include "FuzzChecks.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace fuzzchecks;

namespace
{
const char* const extensions[] = { "wav", "aiff", "aif", "flac", "ogg", "bwf", "WAV", "txt" };

juce::File& soundFolder()
{
    static juce::File folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                   .getNonexistentChildFile ("tolvane-fuzz-load", "", false);
    return folder;
}

// The framework's WAV and AIFF readers ask for as much zeroed memory as a metadata chunk claims,
// up to 4 GiB, before reading the few bytes that are there (see README.md: judged and left as it
// is). Under AddressSanitizer one such input takes minutes, so the harness cuts those claims down to
// what the file holds and goes on looking for other faults.
void limitMetadataClaims (std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 12)
        return;
    const bool riff = std::memcmp (bytes.data(), "RIFF", 4) == 0 || std::memcmp (bytes.data(), "RF64", 4) == 0;
    const bool form = std::memcmp (bytes.data(), "FORM", 4) == 0;
    if (! riff && ! form)
        return;

    for (size_t at = 0; at + 8 <= bytes.size(); ++at)
    {
        bool claims = false;
        for (const char* id : { "bext", "smpl", "inst", "INST", "cue " })
            claims = claims || std::memcmp (bytes.data() + at, id, 4) == 0;
        if (! claims)
            continue;

        uint8_t* size = bytes.data() + at + 4;
        const auto held = (uint32_t) std::min<size_t> (bytes.size() - at - 8, 0xFFFF);
        const uint32_t claimed = riff ? juce::ByteOrder::littleEndianInt (size) : juce::ByteOrder::bigEndianInt (size);
        if (claimed > held)
            for (int i = 0; i < 4; ++i)
                size[i] = (uint8_t) (held >> (riff ? 8 * i : 24 - 8 * i));
    }
}

// Bytes a frame takes in libsndfile's view of an uncompressed file, or 0 for a compressed one.
int frameBytesOf (const SF_INFO& info)
{
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC || (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG)
        return 0;
    switch (info.format & SF_FORMAT_SUBMASK)
    {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return info.channels;
    case SF_FORMAT_PCM_16:
        return 2 * info.channels;
    case SF_FORMAT_PCM_24:
        return 3 * info.channels;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4 * info.channels;
    default:
        return 0;
    }
}

// The same file read whole by libsndfile, and set against the sound the loader made. Returns false when
// libsndfile cannot open the file (it reads by content, and takes less than the framework in places).
// Where the two differ by design: libsndfile stops at the end of the file, the framework's WAV and AIFF
// readers go on to the length the sound chunk claims, past the end of the file; where an AIFF's counts
// disagree each takes its own; libsndfile scales n-bit integers by 2^(n-1), the framework by 2^31 - 1
// once widened to 32 bits. The frames both read are compared.
// The loader reads only the frames a WAV or AIFF file can hold and copies the first frame past its end into
// the rest: the sound must be what a new reader of the framework gives when asked for every frame at once
// (up to two million; of longer sounds the first 4,096). A new reader each time: an AIFF's sound data may
// start before the file does, and then the framework's reader reads on from wherever its last read ended.
// Returns whether the framework decodes the file's sample size (its WAV and AIFF readers decode 8, 16, 24
// and 32 bits and leave any other size unwritten: such files load as silence).
bool frameworkReadAgrees (const juce::File& file, const LoadedSound& sound)
{
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));
    require (reader != nullptr, "a file that loaded has a reader");

    const auto frames = (juce::int64) sound.channels[0].size();
    const int compared = (int) (frames <= 2000000 ? frames : 4096);
    juce::AudioBuffer<float> buffer ((int) sound.channels.size(), compared);
    buffer.clear();
    reader->read (buffer.getArrayOfWritePointers(), buffer.getNumChannels(), 0, compared);
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        require (std::memcmp (buffer.getReadPointer (ch), sound.channels[(size_t) ch].data(),
                              (size_t) compared * sizeof (float)) == 0,
                 "the sound holds what the framework's reader reads", (double) ch);

    const auto bits = reader->bitsPerSample;
    const auto name = reader->getFormatName();
    return (name != "WAV file" && name != "AIFF file") ||
           (reader->usesFloatingPointData ? bits == 32 : bits == 8 || bits == 16 || bits == 24 || bits == 32);
}

bool secondReadAgrees (const juce::File& file, const LoadedSound& sound)
{
    SF_INFO info{};
    SNDFILE* sf = sf_open (file.getFullPathName().toRawUTF8(), SFM_READ, &info);
    if (sf == nullptr)
        return false;

    // libsndfile's log says so when a sound chunk claims more than the file holds, "data : 288 (should be 226)",
    // and when an AIFF's common chunk counts other frames than its sound chunk holds (its sound data may start
    // past the end of the file): "Frame count read from 'COMM' chunk (10) not equal to frame count calculated
    // from length of 'SSND' chunk (0)".
    char log[8192] = {};
    sf_command (sf, SFC_GET_LOG_INFO, log, sizeof log - 1);
    // It also says when it stopped walking the chunks early ("Exiting parser"), or skipped ahead over bytes it
    // could not take for a chunk ("Resynching"): then the framework's reader, which walks on, may take its
    // sound from another chunk. And it gives a WAV's block align, by which it may step from frame to frame
    // where the framework's reader steps by channels x bits.
    bool soundChunkCut = false, framesDisagree = false, walkedOtherwise = false;
    int channels = 0, bits = 0, blockAlign = 0;
    for (const auto& line : juce::StringArray::fromLines (log))
    {
        const auto trimmed = line.trimStart();
        const auto field = [&] (const char* name, int& value)
        {
            if (trimmed.startsWith (name))
                value = trimmed.fromFirstOccurrenceOf (":", false, false).getIntValue();
        };
        field ("Channels", channels);
        field ("Bit Width", bits);
        field ("Block Align", blockAlign);
        soundChunkCut = soundChunkCut || ((trimmed.startsWith ("data") || trimmed.startsWith ("SSND")) &&
                                          trimmed.contains ("should be"));
        framesDisagree = framesDisagree || trimmed.contains ("not equal to frame count");
        walkedOtherwise = walkedOtherwise || trimmed.contains ("Exiting parser") || trimmed.contains ("Resynching");
    }

    const auto frames = (sf_count_t) sound.channels[0].size();
    require (info.samplerate == (int) sound.sampleRate, "libsndfile reads the same rate", (double) info.samplerate);
    require (info.channels >= (int) sound.channels.size(), "libsndfile reads the channels kept",
             (double) info.channels);

    // Where an AIFF's two counts disagree, the framework takes the smaller and libsndfile the sound chunk's.
    const bool compressed = frameBytesOf (info) == 0;
    if ((walkedOtherwise && info.frames != frames) || (blockAlign != 0 && blockAlign != channels * bits / 8))
    {
        sf_close (sf);
        return false;
    }
    const bool pastTheEnd = ! compressed && info.frames < frames && (soundChunkCut || framesDisagree);
    // The framework's FLAC reader keeps the low 32 bits of the stream's 36-bit length.
    const bool flacLengthCut = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC && info.frames > 0xFFFFFFFF &&
                               (info.frames & 0xFFFFFFFF) == frames;
    // libsndfile counts SF_COUNT_MAX frames for a stream that does not say its length; it then reads what
    // there is, like the framework's reader.
    const bool lengthUnknown = compressed && info.frames == SF_COUNT_MAX;
    require (info.frames == frames || pastTheEnd || flacLengthCut || lengthUnknown ||
                 (framesDisagree && info.frames > frames),
             "libsndfile reads the same frame count", (double) info.frames);

    // Read in blocks: its channel and frame counts may be far beyond what the sound holds.
    const auto wanted = std::min (frames, info.frames);
    std::vector<float> block ((size_t) 4096 * (size_t) info.channels);
    sf_count_t got = 0;
    while (got < wanted)
    {
        const auto n = sf_readf_float (sf, block.data(), std::min<sf_count_t> (4096, wanted - got));
        if (n <= 0)
            break;
        for (size_t ch = 0; ch < sound.channels.size(); ++ch)
            for (sf_count_t i = 0; i < n; ++i)
            {
                const float a = sound.channels[ch][(size_t) (got + i)];
                const float b = block[(size_t) i * (size_t) info.channels + ch];
                require ((std::isnan (a) && std::isnan (b)) || std::abs (a - b) <= 1.0e-6f ||
                             (std::isinf (a) && a == b),
                         "libsndfile reads the same samples", (double) (got + i));
            }
        got += n;
    }
    sf_close (sf);

    require (got == wanted || compressed, "libsndfile reads the frames it counts", (double) got);
    // Where a compressed stream ends before its header's length, the framework's readers give silence.
    if (compressed)
        for (const auto& channel : sound.channels)
            for (sf_count_t i = got; i < frames; ++i)
                require (channel[(size_t) i] == 0.0f, "frames past the end of the stream are silent", (double) i);
    return true;
}

// libsndfile (1.2.0) itself loops for ever on some files, among them a label list holding a sub-chunk of
// 0xFFFFFFF8 bytes: it reads in a child process, given ten seconds. Returns false when it did not compare.
bool secondReadAgreesWithin (const juce::File& file, const LoadedSound& sound)
{
    std::fflush (stderr);
    const pid_t child = fork();
    if (child == 0)
    {
        std::signal (SIGABRT, SIG_DFL); // a broken invariant is the parent's to report
        _exit (secondReadAgrees (file, sound) ? 0 : 3);
    }
    require (child > 0, "fork for libsndfile's read");

    int status = 0;
    const auto deadline = juce::Time::getMillisecondCounterHiRes() + 10000.0;
    while (waitpid (child, &status, WNOHANG) == 0)
    {
        if (juce::Time::getMillisecondCounterHiRes() > deadline)
        {
            kill (child, SIGKILL);
            waitpid (child, &status, 0);
            return false;
        }
        usleep (1000);
    }
    require (WIFEXITED (status), "libsndfile reads the file as the loader did (see the message above)");
    return WEXITSTATUS (status) == 0;
}

bool isFailureText (const juce::String& text)
{
    return text == "Cannot read this audio file." ||
           text == "Prototype limit: choose a sound no longer than 2 minutes / 12 million frames." ||
           text == "Audio read failed." ||
           text == "Session cache full (256 MB). Remove and reopen Tolvane to clear it.";
}
} // namespace

// Kept for the life of the process; a global pointer keeps it reachable for the leak checker.
juce::ScopedJuceInitialiser_GUI* juceInit = nullptr;

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    juceInit = new juce::ScopedJuceInitialiser_GUI();
    if (! soundFolder().createDirectory())
        throw std::runtime_error ("cannot create the fuzzer's temporary folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;

    const auto file = soundFolder().getChildFile (juce::String ("sound.") + extensions[data[0] % 8]);
    std::vector<uint8_t> bytes (data + 1, data + size);
    limitMetadataClaims (bytes);
    if (! file.replaceWithData (bytes.data(), bytes.size()))
        fail ("cannot write the input to a temporary file");

    TolvaneProcessor p;
    makeBusy (p);
    p.sourceBpm = 90.0;
    p.pitchSemitones = 2.0;
    p.gain = 1.0f;
    p.matchDawTempo = true;
    const OtherFields before (p);

    juce::String status;
    try
    {
        status = p.loadSoundFile (file, true);
    }
    catch (const std::bad_alloc&)
    {
        // The documented way out when memory runs short: nothing may have changed.
        status = "out of memory";
    }

    require (p.gain.load() == 1.0f && p.matchDawTempo.load(), "gain and tempo match untouched by a load");
    require (p.voice.sound == before.voiceSound && p.voice.playing == before.voicePlaying &&
                 p.isPlaying.load() == before.isPlaying,
             "the sound playing plays on until the audio thread's next block");

    if (status.startsWith ("Loaded: "))
    {
        require (status == "Loaded: " + file.getFileName() + ". Enter source BPM if known.", "success text");
        require (p.soundCache.size() == before.cache.size() + 1 &&
                     std::equal (before.cache.begin(), before.cache.end(), p.soundCache.begin(),
                                 [] (const LoadedSound* a, const auto& b) { return a == b.get(); }),
                 "the cache only grows");
        require (p.pendingSound.load() == p.soundCache.back().get(), "sound published");
        const auto& sound = *p.soundCache.back();
        const auto k = sound.channels.size();
        require (k == 1 || k == 2, "one or two channels", (double) k);
        const auto n = sound.channels[0].size();
        require (sound.channels.back().size() == n, "channels of one length");
        require (n >= 1 && n <= 12000000, "frames within the limit", (double) n);
        require (sound.sampleRate > 0.0 && ! ((double) n > sound.sampleRate * 120.0), "duration within the limit",
                 sound.sampleRate);
        require (p.cacheBytes == before.cacheBytes + k * n * 4, "cacheBytes counts the sound", (double) p.cacheBytes);
        require (p.loadedFile == file && p.loadedIsOriginal, "loadedFile and loadedIsOriginal");
        require (p.sourceBpm.load() == 0.0 && p.pitchSemitones.load() == 0.0, "settings reset by a load");
        require (p.transportCommand.load() == transportStopReset, "stop posted by a load");
        if (frameworkReadAgrees (file, sound))
            secondReadAgreesWithin (file, sound);
    }
    else
    {
        require (isFailureText (status) || status == "out of memory", "a failure text of the loader");
        require (OtherFields (p) == before, "a failed load changes nothing");
        require (p.sourceBpm.load() == 90.0 && p.pitchSemitones.load() == 2.0, "settings untouched");
    }
    file.deleteFile();

    // Played at full gain on a device slower and one faster than most files.
    p.prepareToPlay (22050.0, 256);
    requireFiniteOutput (p, 2);
    p.prepareToPlay (192000.0, 256);
    requireFiniteOutput (p, 2, 1);
    return 0;
}
