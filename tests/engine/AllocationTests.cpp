// Allocation failure: when memory for a sound cannot be had, loadSoundFile ends with
// std::bad_alloc after releasing what it held, with every field of the processor unchanged. And
// the length limits are tested before any memory is asked for the samples, the budget after the
// decode.
//
// This executable replaces the C library's malloc, calloc, realloc and free with forwarders to
// glibc's own (__libc_malloc and friends) that can be told to fail chosen requests of the test's
// thread. The framework's temporary AudioBuffer (juce::HeapBlock<char, true>, which throws
// std::bad_alloc when malloc gives nothing) and the sample vectors (operator new, which calls
// malloc and throws std::bad_alloc) are both reached that way. The forwarders also keep a count of
// the bytes in use (malloc_usable_size), so a leak on the way out shows to the byte.
//
// glibc only; not built under the sanitizers, whose run-time libraries own malloc themselves.

#include "AudioFixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <malloc.h>
#include <new>
#include <pthread.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
# define TOLVANE_ALLOC_HOOK 0
#elif defined(__has_feature)
# if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#  define TOLVANE_ALLOC_HOOK 0
# endif
#endif
#ifndef TOLVANE_ALLOC_HOOK
# if defined(__GLIBC__)
#  define TOLVANE_ALLOC_HOOK 1
# else
#  define TOLVANE_ALLOC_HOOK 0
# endif
#endif

#if TOLVANE_ALLOC_HOOK

extern "C"
{
    void* __libc_malloc (size_t);
    void* __libc_calloc (size_t, size_t);
    void* __libc_realloc (void*, size_t);
    void __libc_free (void*);
    void* __libc_memalign (size_t, size_t);
}

namespace hook
{
enum class Mode
{
    off,
    record,       // fail nothing, note the large requests
    failLarge,    // fail every request of at least `threshold` bytes
    failNthLarge, // fail only the `target`-th request of at least `threshold` bytes
    failNthNew    // fail only the `target`-th request of operator new, of any size
};

std::atomic<Mode> mode{ Mode::off };
pthread_t armedThread;
size_t threshold = 0;
long target = 0;
long requests = 0;      // every request of the armed thread while armed
long largeRequests = 0; // those of at least `threshold` bytes
long newRequests = 0;   // those made through operator new
bool fired = false;
size_t firedSize = 0;
constexpr int maxNoted = 64;
size_t noted[maxNoted];
std::atomic<long long> bytesInUse{ 0 };

// Whether this request fails; only the armed thread's requests are counted.
bool shouldFail (size_t size)
{
    const auto m = mode.load (std::memory_order_relaxed);
    if (m == Mode::off || ! pthread_equal (pthread_self(), armedThread))
        return false;

    ++requests;
    const bool large = size >= threshold;
    if (large)
    {
        if (largeRequests < maxNoted)
            noted[largeRequests] = size;
        ++largeRequests;
    }

    bool fail = false;
    switch (m)
    {
    case Mode::failLarge:
        fail = large;
        break;
    case Mode::failNthLarge:
        fail = large && largeRequests == target;
        break;
    default:
        break;
    }
    if (fail)
    {
        fired = true;
        firedSize = size;
    }
    return fail;
}

void* counted (void* p)
{
    if (p != nullptr)
        bytesInUse += (long long) malloc_usable_size (p);
    return p;
}

void uncount (void* p)
{
    if (p != nullptr)
        bytesInUse -= (long long) malloc_usable_size (p);
}

void arm (Mode m, size_t thresholdBytes = 1 << 20, long n = 0)
{
    threshold = thresholdBytes;
    target = n;
    requests = largeRequests = newRequests = 0;
    fired = false;
    firedSize = 0;
    armedThread = pthread_self();
    mode = m;
}

void disarm() { mode = Mode::off; }

// operator new, counted on its own; it asks malloc for the memory, so free releases it.
bool newShouldFail (size_t size)
{
    if (mode.load (std::memory_order_relaxed) != Mode::failNthNew || ! pthread_equal (pthread_self(), armedThread))
        return false;
    if (++newRequests != target)
        return false;
    fired = true;
    firedSize = size;
    return true;
}

std::vector<size_t> largeSizes() { return { noted, noted + std::min<long> (largeRequests, maxNoted) }; }
} // namespace hook

extern "C"
{
    void* malloc (size_t size)
    {
        if (hook::shouldFail (size))
        {
            errno = ENOMEM;
            return nullptr;
        }
        return hook::counted (__libc_malloc (size));
    }

    void* calloc (size_t count, size_t size)
    {
        if (hook::shouldFail (count * size))
        {
            errno = ENOMEM;
            return nullptr;
        }
        return hook::counted (__libc_calloc (count, size));
    }

    void* realloc (void* old, size_t size)
    {
        if (old == nullptr)
            return malloc (size);
        if (size != 0 && hook::shouldFail (size))
        {
            errno = ENOMEM;
            return nullptr;
        }
        const auto oldSize = (long long) malloc_usable_size (old);
        void* p = __libc_realloc (old, size);
        if (p != nullptr || size == 0)
        {
            hook::bytesInUse -= oldSize;
            hook::counted (p);
        }
        return p;
    }

    void free (void* p)
    {
        hook::uncount (p);
        __libc_free (p);
    }

    void* memalign (size_t alignment, size_t size) { return hook::counted (__libc_memalign (alignment, size)); }

    void* aligned_alloc (size_t alignment, size_t size) { return hook::counted (__libc_memalign (alignment, size)); }

    int posix_memalign (void** out, size_t alignment, size_t size)
    {
        void* p = hook::counted (__libc_memalign (alignment, size));
        if (p == nullptr)
            return ENOMEM;
        *out = p;
        return 0;
    }
}

void* operator new (size_t size)
{
    if (hook::newShouldFail (size))
        throw std::bad_alloc();
    if (void* p = malloc (size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* operator new[] (size_t size) { return operator new (size); }
void operator delete (void* p) noexcept { free (p); }
void operator delete[] (void* p) noexcept { free (p); }
void operator delete (void* p, size_t) noexcept { free (p); }
void operator delete[] (void* p, size_t) noexcept { free (p); }

using namespace fixtures;

namespace
{
const juce::String tooLong = "Prototype limit: choose a sound no longer than 2 minutes / 12 million frames.";
const juce::String cacheFull = "Session cache full (256 MB). Remove and reopen Tolvane to clear it.";

int openFileDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator ("/proc/self/fd"))
        ++count;
    return count;
}

enum class Outcome
{
    loaded,
    failureText,
    badAlloc
};

class AllocationFailure : public ::testing::Test
{
protected:
    static inline std::unique_ptr<TempDir> dir;
    static void SetUpTestSuite() { dir = std::make_unique<TempDir>(); }
    static void TearDownTestSuite() { dir.reset(); }

    static juce::File soundFile (const juce::String& name, Format format, int channels, int frames)
    {
        auto file = dir->file (name);
        if (! file.existsAsFile())
            writeSound (file, format, makeSignal (channels, frames), 44100.0, 16);
        return file;
    }

    void SetUp() override
    {
        // One load first, so that whatever the framework creates once and keeps is there already.
        TolvaneProcessor warm;
        for (auto format : { Format::wav, Format::aiff, Format::flac })
            warm.loadSoundFile (soundFile (juce::String ("warm") + extensionOf (format), format, 2, 100), true);
        makeBusy (p);
    }

    void TearDown() override { hook::disarm(); }

    // Loads with the hook armed as asked and checks that a failure left everything as it was.
    Outcome load (const juce::File& file, hook::Mode m, size_t threshold, long n, juce::String* text = nullptr,
                  bool checkResources = true)
    {
        const Snapshot before (p);
        const auto bytesBefore = hook::bytesInUse.load();
        const int fdsBefore = openFileDescriptors();

        Outcome outcome;
        char resultText[256] = {}; // kept off the heap, so that the byte count below sees only the load
        hook::arm (m, threshold, n);
        try
        {
            auto result = p.loadSoundFile (file, true);
            hook::disarm();
            outcome = result.startsWith ("Loaded: ") ? Outcome::loaded : Outcome::failureText;
            result.copyToUTF8 (resultText, sizeof (resultText));
        }
        catch (const std::bad_alloc&)
        {
            hook::disarm();
            outcome = Outcome::badAlloc;
        }
        const auto bytesAfter = hook::bytesInUse.load();
        const int fdsAfter = openFileDescriptors();
        if (text != nullptr)
            *text = juce::String::fromUTF8 (resultText);

        if (outcome != Outcome::loaded)
        {
            EXPECT_TRUE (before == Snapshot (p)) << "the failing request (" << hook::firedSize
                                                 << " bytes) left the processor changed\nbefore: " << before.describe()
                                                 << "\nafter:  " << Snapshot (p).describe();
            if (checkResources)
            {
                EXPECT_EQ (bytesAfter, bytesBefore) << "memory left held after a failed load";
                EXPECT_EQ (fdsAfter, fdsBefore) << "a reader or stream outlived the call";
            }
            leakedLast = bytesAfter != bytesBefore || fdsAfter != fdsBefore;
        }
        return outcome;
    }

    juce::ScopedJuceInitialiser_GUI juceInit;
    TolvaneProcessor p;
    bool leakedLast = false;
};
} // namespace

TEST_F (AllocationFailure, TheFirstChannelFailing)
{
    constexpr int frames = 500000;
    const auto file = soundFile ("long.wav", Format::wav, 2, frames);
    EXPECT_EQ (load (file, hook::Mode::failLarge, 1 << 20, 0), Outcome::badAlloc);
    ASSERT_TRUE (hook::fired);
    // The first large request is the first channel's samples: the decode needs no second copy.
    EXPECT_EQ (hook::firedSize, (size_t) frames * 4);

    // Nothing is spoiled: the same load goes through once memory is there.
    EXPECT_EQ (load (file, hook::Mode::record, 1 << 20, 0), Outcome::loaded);
}

TEST_F (AllocationFailure, EachLargeRequestFailingInTurn)
{
    constexpr int frames = 400000;
    for (auto [name, format] : { std::pair{ "big.wav", Format::wav }, std::pair{ "big.aiff", Format::aiff },
                                 std::pair{ "big.flac", Format::flac } })
    {
        const auto file = soundFile (name, format, 2, frames);

        // What a load asks for in large pieces: each channel's vector, decoded into in place.
        TolvaneProcessor probe;
        hook::arm (hook::Mode::record, 1 << 20);
        const auto text = probe.loadSoundFile (file, true);
        hook::disarm();
        ASSERT_TRUE (text.startsWith ("Loaded: ")) << text;
        const auto sizes = hook::largeSizes();
        ASSERT_EQ (sizes.size(), 2u) << name;
        EXPECT_EQ (sizes[0], (size_t) frames * 4);
        EXPECT_EQ (sizes[1], (size_t) frames * 4);

        for (long n = 1; n <= 2; ++n)
        {
            EXPECT_EQ (load (file, hook::Mode::failNthLarge, 1 << 20, n), Outcome::badAlloc) << name << ", piece " << n;
            EXPECT_EQ (hook::firedSize, sizes[(size_t) n - 1]);
        }
        EXPECT_EQ (load (file, hook::Mode::failNthLarge, 1 << 20, 3), Outcome::loaded) << name;
        makeBusy (p);
    }
}

TEST_F (AllocationFailure, EveryOperatorNewFailingInTurn)
{
    // Every allocation of a load that goes through operator new (the framework's reader and its
    // stream, the sound, its vectors, the cache list, strings) made to fail, one at a time, until
    // a load goes through untouched: whatever fails, every field of the processor is as it was,
    // or the load succeeded whole. (The framework's own arrays take raw malloc without a check, so
    // a sweep over every malloc would only crash inside the framework.)
    //
    // Memory and file descriptors are checked for every failure after the reader exists. Inside
    // juce::AudioFormatManager::createReaderFor a failure can leak the stream the framework has
    // already handed to a reader that was never built; that is the framework's, and only reported.
    for (auto [name, format] : { std::pair{ "small.wav", Format::wav }, std::pair{ "small.aiff", Format::aiff },
                                 std::pair{ "small.flac", Format::flac } })
    {
        const auto file = soundFile (name, format, 2, 3000);

        // How many operator new requests come before the reader exists: the loader's look at what kind of
        // file the path names (a path object), then the framework's to give the reader.
        hook::arm (hook::Mode::failNthNew, 0, std::numeric_limits<long>::max());
        [[maybe_unused]] const bool regular =
            std::filesystem::is_regular_file (std::filesystem::path (file.getFullPathName().toStdString()));
        std::unique_ptr<juce::AudioFormatReader> (p.formatManager.createReaderFor (file)).reset();
        hook::disarm();
        const long readerRequests = hook::newRequests;

        int badAllocs = 0, texts = 0, frameworkLeaks = 0;
        long n = 1;
        for (; n <= 5000; ++n)
        {
            juce::String text;
            const auto outcome = load (file, hook::Mode::failNthNew, 0, n, &text, n > readerRequests);
            if (::testing::Test::HasFailure())
                FAIL() << name << ": operator new request " << n << " (" << hook::firedSize << " bytes) failing gave '"
                       << text << "'";
            if (outcome == Outcome::badAlloc)
                ++badAllocs;
            else if (outcome == Outcome::failureText)
                ++texts;
            else
            {
                makeBusy (p);
                if (! hook::fired)
                    break; // loaded without meeting the failure: every request was tried
            }
            if (outcome != Outcome::loaded && leakedLast)
                ++frameworkLeaks;
        }
        EXPECT_LE (n, 5000) << name;
        EXPECT_GT (badAllocs, 0) << name;
        std::cout << "[          ] " << name << ": " << n - 1 << " operator new requests a load (" << readerRequests
                  << " for the reader); " << badAllocs << " failures ended in std::bad_alloc, " << texts
                  << " in a failure text; " << frameworkLeaks << " left memory inside createReaderFor\n";
    }
}

TEST_F (AllocationFailure, LengthLimitsAskForNoSampleMemory)
{
    // Real files one frame over each limit; any request of 1 MiB or more would fail the load.
    for (auto [name, frames, rate] :
         { std::tuple{ "over-120s.wav", 5292001, 44100.0 }, std::tuple{ "over-12M.wav", 12000001, 192000.0 } })
    {
        auto file = dir->file (name);
        writePattern (file, Format::wav, 1, frames, rate, 8);
        juce::String text;
        EXPECT_EQ (load (file, hook::Mode::failLarge, 1 << 20, 0, &text), Outcome::failureText) << name;
        EXPECT_EQ (text, tooLong);
        EXPECT_EQ (hook::largeRequests, 0) << name;
        file.deleteFile();
    }
}

TEST_F (AllocationFailure, TheBudgetIsTestedAfterTheDecode)
{
    constexpr int frames = 300000;
    const auto file = soundFile ("budget.wav", Format::wav, 2, frames);
    // One float too many for the budget.
    p.cacheBytes = TolvaneProcessor::cacheBudgetBytes - (size_t) frames * 8 + 4;
    juce::String text;
    EXPECT_EQ (load (file, hook::Mode::record, 1 << 20, 0, &text), Outcome::failureText);
    EXPECT_EQ (text, cacheFull);
    // The whole decode happened before the refusal, and all of it was given back.
    EXPECT_EQ (hook::largeSizes().size(), 2u);

    p.cacheBytes -= 4; // now it fits to the byte
    EXPECT_EQ (load (file, hook::Mode::record, 1 << 20, 0, &text), Outcome::loaded) << text;
    EXPECT_EQ (p.cacheBytes, TolvaneProcessor::cacheBudgetBytes);
}

namespace
{
struct TempoPlayHead : juce::AudioPlayHead
{
    juce::Optional<PositionInfo> getPosition() const override
    {
        if (! givesPosition)
            return {};
        PositionInfo info;
        info.setBpm (120.0);
        return info;
    }

    bool givesPosition = true;
};
} // namespace

// The audio thread's whole block (hand-off, play-head query, command, resampling at another rate,
// tempo match and pitch) asks the heap for nothing.
TEST_F (AllocationFailure, ProcessBlockNeverTouchesTheHeap)
{
    ASSERT_TRUE (p.loadSoundFile (soundFile ("realtime.wav", Format::wav, 2, 20000), true).startsWith ("Loaded: "));
    TempoPlayHead head;
    p.setPlayHead (&head);
    p.prepareToPlay (48000.0, 512);
    p.sourceBpm = 100.0;
    p.matchDawTempo = true;
    p.pitchSemitones = 3.0;

    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    bool played = false;

    hook::arm (hook::Mode::record, 0);
    for (int block = 0; block < 60; ++block)
    {
        if (block == 1 || block == 31)
            p.transportCommand = transportPlayOnce;
        if (block == 30)
            p.transportCommand = transportStopReset;
        p.processBlock (buffer, midi);
        played = played || p.isPlaying.load();
    }
    hook::disarm();
    p.setPlayHead (nullptr);

    EXPECT_TRUE (played);
    EXPECT_DOUBLE_EQ (p.hostBpm.load(), 120.0);
    EXPECT_EQ (hook::requests, 0) << "heap requests made by processBlock";
}

// The LV2 build, which keeps the tempo of the host's latest position, too.
TEST_F (AllocationFailure, ProcessBlockOfTheLv2BuildNeverTouchesTheHeap)
{
    juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_LV2);
    TolvaneProcessor lv2;
    juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_Undefined);
    ASSERT_TRUE (lv2.loadSoundFile (soundFile ("realtime.wav", Format::wav, 2, 20000), true).startsWith ("Loaded: "));
    TempoPlayHead head;
    lv2.setPlayHead (&head);
    lv2.prepareToPlay (48000.0, 512);
    lv2.sourceBpm = 100.0;
    lv2.matchDawTempo = true;

    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    bool played = false;

    hook::arm (hook::Mode::record, 0);
    for (int block = 0; block < 40; ++block)
    {
        head.givesPosition = block % 10 == 0;
        if (block == 1)
            lv2.transportCommand = transportPlayOnce;
        lv2.processBlock (buffer, midi);
        played = played || lv2.isPlaying.load();
    }
    hook::disarm();
    lv2.setPlayHead (nullptr);

    EXPECT_TRUE (played);
    EXPECT_DOUBLE_EQ (lv2.hostBpm.load(), 120.0) << "held from the position of block 30";
    EXPECT_EQ (hook::requests, 0) << "heap requests made by processBlock";
}

#else

TEST (AllocationFailure, NeedsGlibcWithoutSanitizers)
{
    GTEST_SKIP() << "the malloc replacement of this test runs only on glibc, without sanitizers";
}

#endif
