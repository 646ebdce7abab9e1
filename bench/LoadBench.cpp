// loadSoundFile of a 120-second 44.1 kHz stereo 24-bit file, as WAV and as FLAC, against decoding
// the same file whole with libsndfile (sf_readf_float into one interleaved float buffer) in the
// same run. Every iteration loads into a new processor, whose making and destruction are left out
// of the timing, so the session cache never fills.
//
// Figures:
// - wall time of the load / wall time of libsndfile's decode; target at most 1.5.
// - peak extra memory of one load, against the target 2 × the sound's sample bytes + 8 MiB.
//   Measured with a counting malloc: this program replaces malloc, calloc, realloc and free with
//   forwarders to glibc's own (__libc_malloc and friends) that keep the bytes in use
//   (malloc_usable_size of every block) and their high-water mark. That sees every heap byte the
//   load asks for, whether the framework, libFLAC or the engine asks, and nothing else; it does not
//   depend on what the allocator gives back to the system. The peak resident set (VmHWM in
//   /proc/self/status, reset by writing "5" to /proc/self/clear_refs) is printed beside it as a
//   cross-check; it also counts the pages of the code and stacks that the load touches.

#include "BenchSupport.h"

#include "engine/TolvaneProcessor.h"

#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <malloc.h>
#include <random>
#include <string>

//==============================================================================
// The counting malloc (glibc).

extern "C"
{
    void* __libc_malloc (size_t);
    void* __libc_calloc (size_t, size_t);
    void* __libc_realloc (void*, size_t);
    void __libc_free (void*);
    void* __libc_memalign (size_t, size_t);
}

namespace heap
{
std::atomic<long long> inUse{ 0 };
std::atomic<long long> peak{ 0 };

void add (long long bytes)
{
    const auto now = inUse += bytes;
    auto high = peak.load (std::memory_order_relaxed);
    while (now > high && ! peak.compare_exchange_weak (high, now, std::memory_order_relaxed))
    {
    }
}

void* counted (void* p)
{
    if (p != nullptr)
        add ((long long) malloc_usable_size (p));
    return p;
}

void resetPeak() { peak = inUse.load(); }
} // namespace heap

extern "C"
{
    void* malloc (size_t size) { return heap::counted (__libc_malloc (size)); }
    void* calloc (size_t count, size_t size) { return heap::counted (__libc_calloc (count, size)); }
    void* realloc (void* old, size_t size)
    {
        const auto oldSize = old != nullptr ? (long long) malloc_usable_size (old) : 0;
        void* p = __libc_realloc (old, size);
        if (p != nullptr || size == 0)
        {
            heap::inUse -= oldSize;
            heap::counted (p);
        }
        return p;
    }
    void free (void* p)
    {
        if (p != nullptr)
            heap::inUse -= (long long) malloc_usable_size (p);
        __libc_free (p);
    }
    void* memalign (size_t alignment, size_t size) { return heap::counted (__libc_memalign (alignment, size)); }
    void* aligned_alloc (size_t alignment, size_t size) { return heap::counted (__libc_memalign (alignment, size)); }
    int posix_memalign (void** out, size_t alignment, size_t size)
    {
        void* p = heap::counted (__libc_memalign (alignment, size));
        if (p == nullptr)
            return 12; // ENOMEM
        *out = p;
        return 0;
    }
}

//==============================================================================

namespace
{
constexpr int frames = 5292000; // 120 s at 44.1 kHz
constexpr double mib = 1024.0 * 1024.0;

juce::File directory;
juce::File wavFile, flacFile;

// A signal with some structure, so that FLAC compresses it about as well as music: two drifting
// tones and a little noise.
void writeFile (const juce::File& file, juce::AudioFormat& format)
{
    file.deleteFile();
    auto stream = file.createOutputStream();
    std::unique_ptr<juce::AudioFormatWriter> writer (format.createWriterFor (stream.get(), 44100.0, 2, 24, {}, 5));
    if (writer == nullptr)
        throw std::runtime_error ("no writer");
    stream.release();

    std::mt19937 random (11);
    std::normal_distribution<float> noise (0.0f, 0.01f);
    juce::AudioBuffer<float> buffer (2, 65536);
    for (int start = 0; start < frames; start += buffer.getNumSamples())
    {
        const int count = std::min (buffer.getNumSamples(), frames - start);
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < count; ++i)
            {
                const double t = (start + i) / 44100.0;
                buffer.setSample (
                    ch, i,
                    (float) (0.4 * std::sin (2.0 * juce::MathConstants<double>::pi * (220.0 + 3.0 * ch) * t) +
                             0.2 * std::sin (2.0 * juce::MathConstants<double>::pi * 331.0 * t * (1.0 + 0.001 * t))) +
                        noise (random));
            }
        writer->writeFromAudioSampleBuffer (buffer, 0, count);
    }
}

const juce::File& fileFor (int64_t which) { return which == 0 ? wavFile : flacFile; }

void BM_loadSoundFile (benchmark::State& state)
{
    const auto& file = fileFor (state.range (0));
    for (auto _ : state)
    {
        state.PauseTiming();
        auto processor = std::make_unique<TolvaneProcessor>();
        state.ResumeTiming();

        const auto text = processor->loadSoundFile (file, true);

        state.PauseTiming();
        if (! text.startsWith ("Loaded: "))
            state.SkipWithError (text.toRawUTF8());
        processor.reset();
        state.ResumeTiming();
    }
}

void BM_libsndfileDecode (benchmark::State& state)
{
    const auto& file = fileFor (state.range (0));
    for (auto _ : state)
    {
        SF_INFO info{};
        SNDFILE* sf = sf_open (file.getFullPathName().toRawUTF8(), SFM_READ, &info);
        if (sf == nullptr)
        {
            state.SkipWithError ("libsndfile cannot open the file");
            break;
        }
        std::vector<float> samples ((size_t) info.frames * (size_t) info.channels);
        const auto got = sf_readf_float (sf, samples.data(), info.frames);
        sf_close (sf);
        if (got != info.frames)
            state.SkipWithError ("short read");
        benchmark::DoNotOptimize (samples.data());
        benchmark::ClobberMemory();
    }
}

// The framework's part of a load alone: the reader and one read into one buffer, as the engine
// does it, without the copy into the sound's own vectors. Shows where the load's time goes.
void BM_juceDecode (benchmark::State& state)
{
    const auto& file = fileFor (state.range (0));
    juce::AudioFormatManager manager;
    manager.registerBasicFormats();
    for (auto _ : state)
    {
        std::unique_ptr<juce::AudioFormatReader> reader (manager.createReaderFor (file));
        juce::AudioBuffer<float> buffer ((int) reader->numChannels, (int) reader->lengthInSamples);
        reader->read (&buffer, 0, buffer.getNumSamples(), 0, true, true);
        benchmark::DoNotOptimize (buffer.getReadPointer (0));
        benchmark::ClobberMemory();
    }
}

BENCHMARK (BM_loadSoundFile)->Arg (0)->Arg (1)->Unit (benchmark::kMillisecond)->UseRealTime()->MinTime (2.0);
BENCHMARK (BM_libsndfileDecode)->Arg (0)->Arg (1)->Unit (benchmark::kMillisecond)->UseRealTime()->MinTime (2.0);
BENCHMARK (BM_juceDecode)->Arg (0)->Arg (1)->Unit (benchmark::kMillisecond)->UseRealTime()->MinTime (2.0);

long long statusKiB (const char* field)
{
    std::ifstream status ("/proc/self/status");
    std::string line;
    while (std::getline (status, line))
        if (line.rfind (field, 0) == 0)
            return std::stoll (line.substr (std::string (field).size()));
    return -1;
}

void printMemory (const char* label, const juce::File& file)
{
    auto processor = std::make_unique<TolvaneProcessor>();

    const bool rssReset = []
    {
        std::ofstream clear ("/proc/self/clear_refs");
        clear << "5";
        return clear.good();
    }();
    const auto rssBefore = statusKiB ("VmRSS:");

    heap::resetPeak();
    const auto before = heap::inUse.load();
    const auto text = processor->loadSoundFile (file, true);
    const auto peakExtra = (double) (heap::peak.load() - before);
    const auto kept = (double) (heap::inUse.load() - before);

    const auto rssPeakExtra = (double) (statusKiB ("VmHWM:") - rssBefore) * 1024.0;
    const auto sampleBytes = (double) processor->cacheBytes;
    const auto target = 2.0 * sampleBytes + 8.0 * mib;
    std::printf ("loadSoundFile, %s: peak extra heap %.2f MiB during the load (%.2f MiB kept after it); the sound's "
                 "samples %.2f MiB; target <= %.2f MiB (2 x samples + 8 MiB) %s; ratio to samples %.3f\n",
                 label, peakExtra / mib, kept / mib, sampleBytes / mib, target / mib,
                 peakExtra <= target ? "met" : "NOT met", peakExtra / sampleBytes);
    if (rssReset)
        std::printf ("    cross-check: peak resident set grew by %.2f MiB\n", rssPeakExtra / mib);
    if (! text.startsWith ("Loaded: "))
        std::printf ("    the load failed: %s\n", text.toRawUTF8());
}
} // namespace

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    directory =
        juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile ("tolvane-bench", {});
    directory.createDirectory();
    wavFile = directory.getChildFile ("120s-stereo-24bit.wav");
    flacFile = directory.getChildFile ("120s-stereo-24bit.flac");
    juce::WavAudioFormat wav;
    juce::FlacAudioFormat flac;
    writeFile (wavFile, wav);
    writeFile (flacFile, flac);
    std::printf ("fixtures: %s (%.1f MiB), %s (%.1f MiB)\n", wavFile.getFileName().toRawUTF8(),
                 (double) wavFile.getSize() / mib, flacFile.getFileName().toRawUTF8(),
                 (double) flacFile.getSize() / mib);

    const int rc = bench::run (
        argc, argv,
        [] (const bench::Results& results)
        {
            for (const auto& [arg, label] : { std::pair{ "0", "WAV" }, std::pair{ "1", "FLAC" } })
            {
                const auto* ours =
                    bench::find (results, std::string ("BM_loadSoundFile/") + arg + "/min_time:2.000/real_time");
                const auto* base =
                    bench::find (results, std::string ("BM_libsndfileDecode/") + arg + "/min_time:2.000/real_time");
                if (ours != nullptr && base != nullptr)
                    std::printf (
                        "loadSoundFile, 120 s stereo 24-bit %s: %.1f ms; libsndfile whole decode %.1f ms; ratio %.2f "
                        "(target <= 1.5) %s\n",
                        label, ours->realNs / 1.0e6, base->realNs / 1.0e6, ours->realNs / base->realNs,
                        ours->realNs / base->realNs <= 1.5 ? "met" : "NOT met");
                const auto* framework =
                    bench::find (results, std::string ("BM_juceDecode/") + arg + "/min_time:2.000/real_time");
                if (ours != nullptr && framework != nullptr)
                    std::printf (
                        "    of which the framework's reader and its read into one buffer: %.1f ms (%.0f %%)\n",
                        framework->realNs / 1.0e6, 100.0 * framework->realNs / ours->realNs);
            }
            printMemory ("120 s stereo 24-bit WAV", wavFile);
            printMemory ("120 s stereo 24-bit FLAC", flacFile);
        });

    directory.deleteRecursively();
    return rc;
}
