// Runs in a program of its own: it replaces the global allocation functions so that large
// allocations can be made to fail on demand, the way they fail when memory runs out.

#include "EditorTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<bool> failLargeAllocations{ false };
constexpr std::size_t largeAllocationBytes = 1 << 20;

void* allocate (std::size_t size)
{
    if (failLargeAllocations.load() && size >= largeAllocationBytes)
        throw std::bad_alloc();

    if (void* p = std::malloc (size == 0 ? 1 : size))
        return p;

    throw std::bad_alloc();
}

void* allocateNoThrow (std::size_t size) noexcept
{
    try
    {
        return allocate (size);
    }
    catch (...)
    {
        return nullptr;
    }
}

// Makes large allocations fail while it lives.
struct ScopedOutOfMemory
{
    ScopedOutOfMemory() { failLargeAllocations = true; }
    ~ScopedOutOfMemory() { failLargeAllocations = false; }
};
} // namespace

void* operator new (std::size_t size) { return allocate (size); }
void* operator new[] (std::size_t size) { return allocate (size); }
void* operator new (std::size_t size, const std::nothrow_t&) noexcept { return allocateNoThrow (size); }
void* operator new[] (std::size_t size, const std::nothrow_t&) noexcept { return allocateNoThrow (size); }
void operator delete (void* p) noexcept { std::free (p); }
void operator delete[] (void* p) noexcept { std::free (p); }
void operator delete (void* p, std::size_t) noexcept { std::free (p); }
void operator delete[] (void* p, std::size_t) noexcept { std::free (p); }
void operator delete (void* p, const std::nothrow_t&) noexcept { std::free (p); }
void operator delete[] (void* p, const std::nothrow_t&) noexcept { std::free (p); }

namespace
{
struct OutOfMemory : ::testing::Test
{
    void SetUp() override
    {
        editor = std::make_unique<TolvaneEditor> (processor);
        access = std::make_unique<TolvaneEditorTestAccess> (*editor);

        small = writeWav (scratch.dir.getChildFile ("small.wav"), 4410);
        // Ten seconds of mono: each sample vector of it is far above the failure size.
        big = writeWav (scratch.dir.getChildFile ("big.wav"), 441000);
    }

    void TearDown() override
    {
        access.reset();
        editor.reset();
    }

    ScratchDir scratch;
    TolvaneProcessor processor;
    std::unique_ptr<TolvaneEditor> editor;
    std::unique_ptr<TolvaneEditorTestAccess> access;
    juce::File small, big;
};
} // namespace

TEST (AllocationFailure, TheReplacementReallyFails)
{
    ScopedOutOfMemory oom;
    EXPECT_THROW (::operator delete (::operator new (largeAllocationBytes)), std::bad_alloc);
    EXPECT_NO_THROW (::operator delete (::operator new (64)));
}

TEST_F (OutOfMemory, DroppedFileShowsOneLineAndKeepsTheCurrentSound)
{
    editor->filesDropped ({ small.getFullPathName() }, 0, 0);
    ASSERT_TRUE (access->status().startsWith ("Loaded:"));
    typeInto (access->bpmEditor, "100");
    ASSERT_TRUE (pumpUntil ([this] { return processor.sourceBpm.load() == 100.0; }));
    processor.transportCommand = 0;
    const auto cachedBytes = processor.cacheBytes;

    {
        ScopedOutOfMemory oom;
        editor->filesDropped ({ big.getFullPathName() }, 0, 0);
    }

    EXPECT_EQ (access->status(), "Not enough memory to load this sound.");
    EXPECT_EQ (processor.loadedFile, small);
    EXPECT_EQ (processor.cacheBytes, cachedBytes);
    EXPECT_EQ (processor.soundCache.size(), 1u);
    EXPECT_EQ (processor.transportCommand.load(), 0);
    EXPECT_EQ (processor.sourceBpm.load(), 100.0);
    EXPECT_EQ (access->bpmEditor.getText(), "100");

    // With memory back the same file loads.
    editor->filesDropped ({ big.getFullPathName() }, 0, 0);
    EXPECT_EQ (access->status(), "Loaded: big.wav. Enter source BPM if known.");
    EXPECT_EQ (processor.loadedFile, big);
}

TEST_F (OutOfMemory, PreviewFromThePanelReportsFailureAndDoesNotStart)
{
    bool loaded = true;
    {
        ScopedOutOfMemory oom;
        loaded = access->deliverDownload (big, false);
    }

    EXPECT_FALSE (loaded);
    EXPECT_EQ (access->status(), "Not enough memory to load this sound.");
    EXPECT_EQ (processor.transportCommand.load(), 0);
    EXPECT_EQ (processor.loadedFile, juce::File());
    EXPECT_TRUE (processor.soundCache.empty());
}
