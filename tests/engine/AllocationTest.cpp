// The mixing callback must not touch the heap or lock in the steady state
// (operator new and JUCE's heap blocks go through the counted allocator).

#include "ChannelTable.h"
#include "Mixer.h"
#include "RealtimeCalls.h"

#include <gtest/gtest.h>

#include <thread>

TEST (EngineAllocation, theCallbackNeitherTouchesTheHeapNorLocksOnceItsScratchFits)
{
    using namespace loomwell;
    namespace realtime = loomwell::testing::realtime;
    const auto countWhile = [] (auto&& fn)
    {
        realtime::calls = 0;
        const RealtimeScope scope ("quiet");
        realtime::steady = true;
        fn();
        realtime::steady = false;
        return realtime::calls.load();
    };
    // The counting itself.
    std::mutex m;
    int fds[2];
    ASSERT_EQ (::pipe (fds), 0);
    EXPECT_EQ (countWhile ([&] {
        int* volatile p = new int (1);
        delete p;
        const std::lock_guard lock (m);
        EXPECT_EQ (::write (fds[1], "x", 1), 1);
        std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }), 5) << "new, delete, lock, write, sleep";
    ::close (fds[0]);
    ::close (fds[1]);

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
