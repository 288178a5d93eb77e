// The mixing callback must not touch the heap or lock in the steady state.
// This binary replaces the C allocator, which operator new and JUCE's heap
// blocks go through, and pthread_mutex_lock, and counts the calls a thread
// makes while it counts.

#include "ChannelTable.h"
#include "Mixer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <malloc.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

namespace
{
thread_local bool counting = false;
std::atomic<long> heapCalls { 0 }, locks { 0 };
void noteHeap() noexcept { if (counting) heapCalls.fetch_add (1, std::memory_order_relaxed); }
void noteLock() noexcept { if (counting) locks.fetch_add (1, std::memory_order_relaxed); }
} // namespace

extern "C"
{
void* __libc_malloc (size_t);
void* __libc_calloc (size_t, size_t);
void* __libc_realloc (void*, size_t);
void* __libc_memalign (size_t, size_t);
void __libc_free (void*);
int loomwellLibcMutexLock (pthread_mutex_t*);
int loomwellLibcMutexTrylock (pthread_mutex_t*);
}

// glibc's own lock functions, reached through the second names it exports
// them under, the usual ones being replaced below.
__asm__ (".symver loomwellLibcMutexLock, __pthread_mutex_lock@GLIBC_2.2.5");
__asm__ (".symver loomwellLibcMutexTrylock, __pthread_mutex_trylock@GLIBC_2.2.5");

extern "C"
{
void* malloc (size_t n) noexcept { noteHeap(); return __libc_malloc (n); }
void* calloc (size_t c, size_t n) noexcept { noteHeap(); return __libc_calloc (c, n); }
void* realloc (void* p, size_t n) noexcept { noteHeap(); return __libc_realloc (p, n); }
void* memalign (size_t a, size_t n) noexcept { noteHeap(); return __libc_memalign (a, n); }
void* aligned_alloc (size_t a, size_t n) noexcept { noteHeap(); return __libc_memalign (a, n); }
void free (void* p) noexcept { if (p != nullptr) noteHeap(); __libc_free (p); }
int pthread_mutex_lock (pthread_mutex_t* m) noexcept { noteLock(); return loomwellLibcMutexLock (m); }
int pthread_mutex_trylock (pthread_mutex_t* m) noexcept { noteLock(); return loomwellLibcMutexTrylock (m); }

int posix_memalign (void** out, size_t a, size_t n) noexcept
{
    if (a < sizeof (void*) || (a & (a - 1)) != 0)
        return EINVAL;

    noteHeap();
    *out = __libc_memalign (a, n);
    return *out != nullptr ? 0 : ENOMEM;
}
}

namespace
{
using namespace loomwell;
using Counts = std::array<long, 2>; // heap calls, locks
constexpr Counts none { 0, 0 };
constexpr int numOutputs = 10, prepared = 512, longer = 2048;

template <typename Fn>
Counts countWhile (Fn&& fn)
{
    heapCalls = 0;
    locks = 0;
    counting = true;
    fn();
    counting = false;
    return { heapCalls.load(), locks.load() };
}

// Sixteen sources, four per slot, each with a ring buffer full of 0.25.
struct FullTable
{
    FullTable()
    {
        table.rebuildSlotEntries();

        for (uint32_t i = 0; i < 16; ++i)
            add (i / 4);

        for (size_t ch = 0; ch < numOutputs; ++ch)
            pointers[ch] = outputs[ch].data();

        table.prepareToMix (prepared);
    }

    void add (uint32_t slot)
    {
        const std::vector<float> full (RingBuffer::defaultCapacity - 2, 0.25f);
        const auto id = table.addChannel (slot, "app." + std::to_string (serial++), "App");
        table.ringBufferFor (id)->write (full.data(), static_cast<int> (full.size()));
    }

    void mix (int frames) { mixBlock (table, pointers.data(), numOutputs, frames); }

    ChannelTable table;
    int serial = 0;
    std::array<std::array<float, longer>, numOutputs> outputs {};
    std::array<float*, numOutputs> pointers {};
};
} // namespace

TEST (EngineAllocation, theCallbackNeitherTouchesTheHeapNorLocksOnceItsScratchFits)
{
    std::mutex m;
    EXPECT_EQ (countWhile ([&] { int* volatile p = new int (1); delete p; const std::lock_guard lock (m); }),
               (Counts { 2, 1 }));

    FullTable t;
    EXPECT_EQ (countWhile ([&]
    {
        for (int round = 0; round < 5; ++round)
            for (const int frames : { prepared, 128, 1, 0, 300, prepared })
                t.mix (frames);
    }), none);
    EXPECT_FLOAT_EQ (t.outputs[4][0], 1.0f); // four sources of 0.25 per slot: really mixed
    EXPECT_FLOAT_EQ (t.outputs[9][0], 1.0f);

    // A block longer than prepared grows the scratch, once: neither a source
    // added after it nor a longer block of the same length grows anything.
    EXPECT_GT (countWhile ([&] { t.mix (longer); })[0], 0);
    ASSERT_TRUE (t.table.removeChannel (3, "app.15").changed());
    t.add (3);
    EXPECT_EQ (countWhile ([&]
    {
        for (const int frames : { longer, prepared, 1024, longer })
            t.mix (frames);
    }), none);
}
