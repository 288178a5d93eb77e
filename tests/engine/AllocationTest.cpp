// The mixing callback must not touch the heap or lock in the steady state. This binary replaces the C
// allocator (operator new and JUCE's heap blocks go through it) and pthread_mutex_lock to count such calls.

#include "ChannelTable.h"
#include "Mixer.h"

#include <gtest/gtest.h>

#include <pthread.h>

namespace
{
thread_local bool counting = false;
std::atomic<long> calls { 0 };
void note() noexcept { if (counting) calls.fetch_add (1, std::memory_order_relaxed); }
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

// glibc's own lock functions, reached through the second names it exports
// them under, the usual ones being replaced below.
__asm__ (".symver loomwellLibcMutexLock, __pthread_mutex_lock@GLIBC_2.2.5");
__asm__ (".symver loomwellLibcMutexTrylock, __pthread_mutex_trylock@GLIBC_2.2.5");

void* malloc (size_t n) noexcept { note(); return __libc_malloc (n); }
void* calloc (size_t c, size_t n) noexcept { note(); return __libc_calloc (c, n); }
void* realloc (void* p, size_t n) noexcept { note(); return __libc_realloc (p, n); }
void* aligned_alloc (size_t a, size_t n) noexcept { note(); return __libc_memalign (a, n); }
void free (void* p) noexcept { if (p != nullptr) note(); __libc_free (p); }
int pthread_mutex_lock (pthread_mutex_t* m) noexcept { note(); return loomwellLibcMutexLock (m); }
int pthread_mutex_trylock (pthread_mutex_t* m) noexcept { note(); return loomwellLibcMutexTrylock (m); }
}

TEST (EngineAllocation, theCallbackNeitherTouchesTheHeapNorLocksOnceItsScratchFits)
{
    using namespace loomwell;
    const auto countWhile = [] (auto&& fn) { calls = 0; counting = true; fn(); counting = false; return calls.load(); };
    std::mutex m;
    EXPECT_EQ (countWhile ([&] { int* volatile p = new int (1); delete p; const std::lock_guard lock (m); }), 3);

    // Sixteen sources, four per slot, each with a ring buffer full of 0.25.
    ChannelTable table;
    table.rebuildSlotEntries();
    int serial = 0;
    const auto add = [&] (uint32_t slot)
    {
        const std::vector<float> full (RingBuffer::defaultCapacity - 2, 0.25f);
        table.ringBufferFor (table.addChannel (slot, "app." + std::to_string (serial++), "App"))->write (full.data(), int (full.size()));
    };
    for (uint32_t i = 0; i < 16; ++i)
        add (i / 4);

    constexpr int prepared = 512, longer = 2048;
    table.prepareToMix (prepared);
    std::array<std::array<float, longer>, 10> outputs {};
    std::array<float*, 10> pointers {};
    for (size_t ch = 0; ch < 10; ++ch)
        pointers[ch] = outputs[ch].data();
    const auto mix = [&] (int frames) { mixBlock (table, pointers.data(), 10, frames); };

    const auto blocks = [&] (std::initializer_list<int> sizes) { for (const int frames : sizes) mix (frames); };
    EXPECT_EQ (countWhile ([&] { for (int round = 0; round < 5; ++round) blocks ({ prepared, 128, 1, 0, 300, prepared }); }), 0);
    EXPECT_EQ (outputs[4][0], 1.0f); // four sources of 0.25 per slot: really mixed
    EXPECT_EQ (outputs[9][0], 1.0f);

    // A block longer than prepared grows the scratch, once: neither a source
    // added after it nor a longer block of the same length grows anything.
    EXPECT_GT (countWhile ([&] { mix (longer); }), 0);
    ASSERT_TRUE (table.removeChannel (3, "app.15").changed());
    add (3);
    EXPECT_EQ (countWhile ([&] { blocks ({ longer, prepared, 1024, longer }); }), 0);
}
