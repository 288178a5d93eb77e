// The mixing callback must not allocate, free or lock in the steady state.
// This binary replaces the allocator and pthread_mutex_lock, and counts the
// calls made on a thread while it is marked as the audio thread.

#include "ChannelTable.h"
#include "Mixer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <malloc.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <vector>

namespace
{
thread_local bool countingHere = false;
std::atomic<long> allocations { 0 };
std::atomic<long> releases { 0 };
std::atomic<long> locks { 0 };

void noteAllocation() noexcept { if (countingHere) allocations.fetch_add (1, std::memory_order_relaxed); }
void noteRelease (void* p) noexcept { if (countingHere && p != nullptr) releases.fetch_add (1, std::memory_order_relaxed); }
void noteLock() noexcept { if (countingHere) locks.fetch_add (1, std::memory_order_relaxed); }

void* allocateOrThrow (std::size_t size, std::size_t alignment)
{
    if (void* p = alignment <= alignof (std::max_align_t) ? malloc (size) : memalign (alignment, size))
        return p;

    throw std::bad_alloc();
}

// Counts from construction to destruction.
struct CountingScope
{
    CountingScope() { allocations = 0; releases = 0; locks = 0; countingHere = true; }
    ~CountingScope() { countingHere = false; }
    CountingScope (const CountingScope&) = delete;
    CountingScope& operator= (const CountingScope&) = delete;
};
} // namespace

extern "C"
{
void* __libc_malloc (std::size_t);
void* __libc_calloc (std::size_t, std::size_t);
void* __libc_realloc (void*, std::size_t);
void* __libc_memalign (std::size_t, std::size_t);
void __libc_free (void*);
int loomwellLibcMutexLock (pthread_mutex_t*);
int loomwellLibcMutexTrylock (pthread_mutex_t*);
}

// The forwarders reach glibc's own lock functions through the second names
// it exports them under, the usual ones being replaced below.
__asm__ (".symver loomwellLibcMutexLock, __pthread_mutex_lock@GLIBC_2.2.5");
__asm__ (".symver loomwellLibcMutexTrylock, __pthread_mutex_trylock@GLIBC_2.2.5");

extern "C"
{
void* malloc (std::size_t n) noexcept { noteAllocation(); return __libc_malloc (n); }
void* calloc (std::size_t c, std::size_t n) noexcept { noteAllocation(); return __libc_calloc (c, n); }
void* realloc (void* p, std::size_t n) noexcept { noteAllocation(); return __libc_realloc (p, n); }
void* memalign (std::size_t a, std::size_t n) noexcept { noteAllocation(); return __libc_memalign (a, n); }
void* aligned_alloc (std::size_t a, std::size_t n) noexcept { noteAllocation(); return __libc_memalign (a, n); }
void free (void* p) noexcept { noteRelease (p); __libc_free (p); }

int posix_memalign (void** out, std::size_t a, std::size_t n) noexcept
{
    if (a < sizeof (void*) || (a & (a - 1)) != 0)
        return EINVAL;

    noteAllocation();
    *out = __libc_memalign (a, n);
    return *out != nullptr ? 0 : ENOMEM;
}

int pthread_mutex_lock (pthread_mutex_t* m) noexcept { noteLock(); return loomwellLibcMutexLock (m); }
int pthread_mutex_trylock (pthread_mutex_t* m) noexcept { noteLock(); return loomwellLibcMutexTrylock (m); }
}

void* operator new (std::size_t n) { return allocateOrThrow (n, alignof (std::max_align_t)); }
void* operator new[] (std::size_t n) { return allocateOrThrow (n, alignof (std::max_align_t)); }
void* operator new (std::size_t n, std::align_val_t a) { return allocateOrThrow (n, static_cast<std::size_t> (a)); }
void* operator new[] (std::size_t n, std::align_val_t a) { return allocateOrThrow (n, static_cast<std::size_t> (a)); }
void* operator new (std::size_t n, const std::nothrow_t&) noexcept { return malloc (n); }
void* operator new[] (std::size_t n, const std::nothrow_t&) noexcept { return malloc (n); }
void* operator new (std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return memalign (static_cast<std::size_t> (a), n); }
void* operator new[] (std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return memalign (static_cast<std::size_t> (a), n); }
void operator delete (void* p) noexcept { free (p); }
void operator delete[] (void* p) noexcept { free (p); }
void operator delete (void* p, std::size_t) noexcept { free (p); }
void operator delete[] (void* p, std::size_t) noexcept { free (p); }
void operator delete (void* p, std::align_val_t) noexcept { free (p); }
void operator delete[] (void* p, std::align_val_t) noexcept { free (p); }
void operator delete (void* p, std::size_t, std::align_val_t) noexcept { free (p); }
void operator delete[] (void* p, std::size_t, std::align_val_t) noexcept { free (p); }
void operator delete (void* p, const std::nothrow_t&) noexcept { free (p); }
void operator delete[] (void* p, const std::nothrow_t&) noexcept { free (p); }
void operator delete (void* p, std::align_val_t, const std::nothrow_t&) noexcept { free (p); }
void operator delete[] (void* p, std::align_val_t, const std::nothrow_t&) noexcept { free (p); }

namespace
{
using namespace loomwell;

constexpr int numOutputs = 10;
constexpr int largestBlock = 2048;

// Sixteen sources, four per slot, each with a ring buffer full of audio.
struct FullTable
{
    FullTable()
    {
        table.rebuildSlotEntries();
        const std::vector<float> full (static_cast<size_t> (RingBuffer::defaultCapacity - 2), 0.25f);

        for (uint32_t slot = 0; slot < ChannelTable::numSlots; ++slot)
            for (int i = 0; i < ChannelTable::maxSourcesPerSlot; ++i)
            {
                const auto id = table.addChannel (slot, "app." + std::to_string (4 * slot + uint32_t (i)), "App");
                table.ringBufferFor (id)->write (full.data(), static_cast<int> (full.size()));
            }

        for (size_t ch = 0; ch < numOutputs; ++ch)
        {
            outputs[ch].assign (largestBlock, 0.0f);
            pointers[ch] = outputs[ch].data();
        }

        table.prepareToMix (512);
        mix (512); // warm-up
    }

    void mix (int frames) { mixBlock (table, pointers.data(), numOutputs, frames); }

    ChannelTable table;
    std::array<std::vector<float>, numOutputs> outputs;
    std::array<float*, numOutputs> pointers {};
};
} // namespace

TEST (EngineAllocation, theCountersSeeWhatTheyShould)
{
    std::mutex m;
    {
        const CountingScope scope;
        int* volatile number = new int (1);
        delete number;
        void* volatile block = malloc (8);
        free (block);
        const std::lock_guard lock (m);
    }
    EXPECT_EQ (allocations.load(), 2);
    EXPECT_EQ (releases.load(), 2);
    EXPECT_EQ (locks.load(), 1);
}

TEST (EngineAllocation, steadyStateBlocksNeitherAllocateNorLock)
{
    FullTable t;
    constexpr std::array sizes { 512, 128, 256, 512, 1 };
    {
        const CountingScope scope;

        for (size_t i = 0; i < 60; ++i)
            t.mix (sizes[i % sizes.size()]);
    }
    EXPECT_EQ (allocations.load(), 0);
    EXPECT_EQ (releases.load(), 0);
    EXPECT_EQ (locks.load(), 0);

    // Four sources at 0.25 per slot sum to 1.0: the blocks were really mixed.
    EXPECT_FLOAT_EQ (t.outputs[4][0], 1.0f);
    EXPECT_FLOAT_EQ (t.outputs[9][0], 1.0f);
}

TEST (EngineAllocation, onlyABlockLongerThanAnyBeforeGrowsTheBuffers)
{
    FullTable t;
    {
        const CountingScope scope;
        t.mix (largestBlock);
    }
    EXPECT_GT (allocations.load(), 0);
    {
        const CountingScope scope;

        for (const int frames : { 512, largestBlock, 128, 1024, largestBlock })
            t.mix (frames);
    }
    EXPECT_EQ (allocations.load(), 0);
    EXPECT_EQ (releases.load(), 0);
    EXPECT_EQ (locks.load(), 0);
}
