// Stress of the hand-off between the main thread's table operations, the
// captures writing into ring buffers and the audio callback.
//
// Every source writes one constant, 2^t, on both channels; each slot owns a
// range of 16 exponents, so every output sample of a slot's pair must be a
// bitmask of tags of that slot. The audio thread records per block the OR of
// those masks; the windows in which a tag must be absent (after its source was
// removed) or present (after a take-over) are checked once all threads stopped.

#include "ChannelTable.h"
#include "Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

// ThreadSanitizer slows the table operations down a hundredfold, the address
// checks hardly at all. LOOMWELL_STRESS_OPERATIONS in the environment overrides.
#ifdef __has_feature
#define LOOMWELL_HAS_FEATURE(x) __has_feature (x)
#else
#define LOOMWELL_HAS_FEATURE(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || LOOMWELL_HAS_FEATURE(thread_sanitizer)
#define LOOMWELL_STRESS_OPERATIONS 16000
#elif defined(__SANITIZE_ADDRESS__) || LOOMWELL_HAS_FEATURE(address_sanitizer)
#define LOOMWELL_STRESS_OPERATIONS 40000
#else
#define LOOMWELL_STRESS_OPERATIONS 120000
#endif

namespace
{
using namespace loomwell;

constexpr int blockFrames = 64;
constexpr int numOutputs = 10;
constexpr size_t numSlots = ChannelTable::numSlots;
constexpr size_t tagsPerSlot = 16;
constexpr size_t maxRecordedBlocks = size_t { 1 } << 22;

// Exponent of a slot's tag 0: 16 consecutive powers of two sum exactly.
int tagExponentBase (size_t slot) { return static_cast<int> (tagsPerSlot * slot) - 32; }
float tagValue (size_t slot, size_t tag) { return std::ldexp (1.0f, tagExponentBase (slot) + static_cast<int> (tag)); }
size_t tagBit (size_t slot, size_t tag) { return tagsPerSlot * slot + tag; }

// Stands in for the audio device: blocks back to back, so that nearly every
// table operation meets a block being mixed.
struct AudioThread
{
    explicit AudioThread (ChannelTable& t) : table (t), masks (maxRecordedBlocks, 0)
    {
        for (size_t i = 0; i < outputs.size(); ++i)
            pointers[i] = outputs[i].data();
    }

    void run()
    {
        while (! stop.load (std::memory_order_relaxed))
        {
            const auto index = static_cast<size_t> (blocksStarted.fetch_add (1, std::memory_order_seq_cst));
            mixBlock (table, pointers.data(), numOutputs, blockFrames);

            if (index < masks.size())
                masks[index] = decodeBlock (index);
        }
    }

    uint64_t decodeBlock (size_t index)
    {
        uint64_t mask = 0;

        for (size_t ch = 0; ch < 2; ++ch)
            for (float v : outputs[ch])
                if (std::bit_cast<uint32_t> (v) != 0)
                    noteBad (index, ch, v);

        for (size_t slot = 0; slot < numSlots; ++slot)
        {
            const auto pair = static_cast<size_t> (ChannelTable::slotOutputPairs[slot]);
            const auto scale = std::ldexp (1.0f, -tagExponentBase (slot));

            for (size_t ch = 2 * pair; ch <= 2 * pair + 1; ++ch)
                for (float v : outputs[ch])
                {
                    const float m = v * scale;
                    const auto bits = (m >= 0.0f && m < 65536.0f) ? static_cast<uint32_t> (m) : 0x10000u;

                    if (bits > 0xffffu || std::bit_cast<uint32_t> (static_cast<float> (bits)) != std::bit_cast<uint32_t> (m))
                        noteBad (index, ch, v);
                    else
                        mask |= uint64_t { bits } << (tagsPerSlot * slot);
                }
        }

        return mask;
    }

    void noteBad (size_t index, size_t channel, float value)
    {
        if (badSamples++ == 0) // allocates, but only once the test has failed
            firstBad = "block " + std::to_string (index) + ", output " + std::to_string (channel) + ": " + std::to_string (value);
    }

    ChannelTable& table;
    std::array<std::array<float, blockFrames>, numOutputs> outputs {};
    std::array<float*, numOutputs> pointers {};
    std::vector<uint64_t> masks;
    std::atomic<int64_t> blocksStarted { 0 };
    std::atomic<bool> stop { false };
    std::thread thread;
    int64_t badSamples = 0; // audio thread only, read after join
    std::string firstBad;
};

// A capture keeping the ring buffers of its sources topped up. The main thread
// detaches a source under the mutex before removing it, as a capture is
// stopped before its source goes.
struct Writer
{
    struct Target { RingBuffer* ringBuffer; float value; };

    void run()
    {
        std::vector<float> chunk (4096);

        while (! stop.load (std::memory_order_relaxed))
        {
            {
                const std::lock_guard lock (mutex);

                for (const auto& t : targets)
                {
                    const auto room = std::min (static_cast<int> (chunk.size()),
                                                t.ringBuffer->getCapacity() - 1 - t.ringBuffer->fill());
                    std::fill_n (chunk.begin(), room, t.value);
                    t.ringBuffer->write (chunk.data(), room);
                }
            }

            std::this_thread::sleep_for (std::chrono::microseconds (100));
        }
    }

    std::mutex mutex;
    std::vector<Target> targets;
    std::atomic<bool> stop { false };
    std::thread thread;
};

struct Source
{
    size_t tag;
    std::string id;
    int32_t channelId;
    RingBuffer* ringBuffer;
    size_t writer;
    int64_t heardFrom = -1, heardBy = -1; // after a take-over: blocks of which one must play it
};

struct Window { size_t bit; int64_t from, to; }; // blocks [from, to)

struct SlotModel
{
    std::vector<Source> sources; // slot entry's first, then the extra entries in list order
    std::deque<size_t> freeTags; // oldest freed first, so that a tag rests before reuse
    std::array<size_t, tagsPerSlot> silentWindow {}; // index in mustBeSilent of each tag's last window
};

// Owns the threads, so that a failed assertion still stops and joins them.
struct Rig
{
    Rig()
    {
        table.rebuildSlotEntries();
        table.prepareToMix (blockFrames);
        audio.thread = std::thread ([this] { audio.run(); });

        for (auto& w : writers)
            w.thread = std::thread ([&w] { w.run(); });
    }

    ~Rig() { stopThreads(); }

    void stopThreads()
    {
        writers[0].stop = writers[1].stop = audio.stop = true;

        for (auto* t : { &writers[0].thread, &writers[1].thread, &audio.thread })
            if (t->joinable())
                t->join();
    }

    // Blocks started so far; a block with this index or above starts later.
    int64_t blocks() const { return audio.blocksStarted.load (std::memory_order_seq_cst); }

    ChannelTable table;
    AudioThread audio { table };
    std::array<Writer, 2> writers;
};

} // namespace

TEST (EngineConcurrency, churnOfSourcesNeverLeaksRemovedAudioAndKeepsMovedSources)
{
    Rig rig;
    auto& table = rig.table;
    const auto states = table.copyChannelStates();
    std::array<SlotModel, numSlots> slots;
    std::vector<Window> mustBeSilent, mustBeHeard;

    for (auto& s : slots)
    {
        for (size_t t = 0; t < tagsPerSlot; ++t)
            s.freeTags.push_back (t);

        s.silentWindow.fill (std::numeric_limits<size_t>::max());
    }

    const char* env = std::getenv ("LOOMWELL_STRESS_OPERATIONS");
    const int operations = env != nullptr ? std::atoi (env) : LOOMWELL_STRESS_OPERATIONS;
    std::mt19937 rng (20240611u);
    int serial = 0, done = 0, takeOvers = 0, parkedSeen = 0;

    const auto retire = [&] (size_t slot, const Source& s, int64_t stillThereAt)
    {
        // Block heardBy + 1 ended while the source was still on the list.
        if (s.heardFrom >= 0 && stillThereAt >= s.heardBy + 2)
            mustBeHeard.push_back ({ tagBit (slot, s.tag), s.heardFrom, s.heardBy + 1 });
    };

    for (; done < operations && static_cast<size_t> (rig.blocks()) + 4096 < maxRecordedBlocks; ++done)
    {
        // Half the time the table may not wait for the callback, so that the
        // parking of removed objects and the replacing of ring buffers run too.
        if (done % 1000 == 0)
            table.setReaderWaitLimit (std::chrono::milliseconds ((done / 1000) % 2 == 0 ? 250 : 0));

        const auto slot = static_cast<size_t> (rng() % numSlots);
        auto& model = slots[slot];
        auto& sources = model.sources;

        if (sources.empty() || (sources.size() < 4 && rng() % 2 == 0))
        {
            const auto tag = model.freeTags.front();
            model.freeTags.pop_front();

            // The block started last may pick up the new source; those before it have ended.
            if (const auto w = model.silentWindow[tag]; w < mustBeSilent.size())
                mustBeSilent[w].to = rig.blocks() - 1;

            const auto id = "source-" + std::to_string (serial++);
            const auto channelId = rng() % 4 == 0 ? table.addInputChannel (uint32_t (slot), id, id, 7u)
                                                  : table.addChannel (uint32_t (slot), id, id);
            ASSERT_GE (channelId, 0);
            ASSERT_EQ (sources.empty(), channelId == states[slot].channelId);
            auto* ringBuffer = table.ringBufferFor (channelId);
            ASSERT_NE (ringBuffer, nullptr);

            // The capture's first delivery, made before its writer takes over:
            // even a short-lived source has samples to be heard or leaked.
            const std::vector<float> firstDelivery (16 * blockFrames, tagValue (slot, tag));
            ringBuffer->write (firstDelivery.data(), static_cast<int> (firstDelivery.size()));
            const auto writer = static_cast<size_t> (serial) % rig.writers.size();
            {
                const std::lock_guard lock (rig.writers[writer].mutex);
                rig.writers[writer].targets.push_back ({ ringBuffer, tagValue (slot, tag) });
            }
            sources.push_back ({ tag, id, channelId, ringBuffer, writer });
        }
        else
        {
            // Prefer the slot entry's source: its removal is what moves sources.
            const auto victim = rng() % 2 == 0 ? size_t { 0 } : rng() % sources.size();
            const auto gone = sources[victim];
            {
                auto& w = rig.writers[gone.writer];
                const std::lock_guard lock (w.mutex);
                std::erase_if (w.targets, [&] (const auto& t) { return t.ringBuffer == gone.ringBuffer; });
            }
            retire (slot, gone, rig.blocks());

            const auto outcome = table.removeChannel (uint32_t (slot), gone.id);
            const auto removedAt = rig.blocks();
            ASSERT_EQ (outcome.removedChannelId, gone.channelId);
            sources.erase (sources.begin() + static_cast<std::ptrdiff_t> (victim));
            model.silentWindow[gone.tag] = mustBeSilent.size();
            mustBeSilent.push_back ({ tagBit (slot, gone.tag), removedAt, std::numeric_limits<int64_t>::max() });
            model.freeTags.push_back (gone.tag);

            if (victim == 0 && ! sources.empty())
            {
                // The oldest extra entry moves into the slot entry, ring buffer and all.
                auto& moved = sources.front();
                ++takeOvers;
                ASSERT_EQ (outcome.movedFromChannelId, moved.channelId);
                ASSERT_EQ (outcome.movedToChannelId, gone.channelId);
                ASSERT_EQ (table.ringBufferFor (gone.channelId), moved.ringBuffer);
                moved.channelId = gone.channelId;

                // More than one block of samples: a block still running on the
                // old list cannot take them all, so a later block must play some.
                if (moved.ringBuffer->fill() > 2 * blockFrames)
                {
                    moved.heardFrom = removedAt;
                    moved.heardBy = rig.blocks();
                }
            }
            else
            {
                ASSERT_EQ (outcome.movedFromChannelId, -1);
                ASSERT_EQ (outcome.movedToChannelId, -1);
            }
        }

        parkedSeen += table.parkedObjectCount() > 0 ? 1 : 0;

        if (done % 64 == 0)
        {
            const auto listed = table.channelsForSlot (uint32_t (slot));
            ASSERT_EQ (listed.size(), sources.size());

            for (size_t i = 0; i < listed.size(); ++i)
                EXPECT_TRUE (listed[i].channelId == sources[i].channelId && listed[i].bundleId == sources[i].id);
        }
    }

    const auto lastBlock = rig.blocks();

    for (size_t slot = 0; slot < numSlots; ++slot)
        for (const auto& s : slots[slot].sources)
            retire (slot, s, lastBlock);

    rig.stopThreads();
    const auto& masks = rig.audio.masks;
    const auto recorded = std::min (rig.blocks(), static_cast<int64_t> (masks.size()));
    const auto carries = [&] (int64_t block, size_t bit) { return ((masks[static_cast<size_t> (block)] >> bit) & 1u) != 0; };

    std::cout << "[ stress   ] " << done << " operations, " << takeOvers << " take-overs, " << mustBeHeard.size()
              << " checked for being heard, " << recorded << " blocks, parked objects after " << parkedSeen
              << " operations" << std::endl;

    EXPECT_EQ (rig.audio.badSamples, 0) << "first in " << rig.audio.firstBad;

    int64_t leaks = 0, unheard = 0;

    for (const auto& w : mustBeSilent)
        for (auto b = w.from; b < std::min (w.to, recorded); ++b)
            if (carries (b, w.bit) && leaks++ == 0)
                ADD_FAILURE() << "tag bit " << w.bit << ", removed before block " << w.from << ", heard in block " << b;

    for (const auto& w : mustBeHeard)
    {
        bool heard = false;

        for (auto b = w.from; b < std::min (w.to, recorded) && ! heard; ++b)
            heard = carries (b, w.bit);

        if (! heard && unheard++ == 0)
            ADD_FAILURE() << "moved source, tag bit " << w.bit << ", not heard in blocks " << w.from << " to " << w.to - 1;
    }

    EXPECT_EQ (leaks, 0);
    EXPECT_EQ (unheard, 0);
    EXPECT_GT (mustBeHeard.size(), 0u);
}
