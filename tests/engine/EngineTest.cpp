#include "ChannelTable.h"
#include "Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <random>
#include <set>
#include <thread>

using namespace loomwell;
using namespace std::chrono_literals;

namespace
{
// One block mixed into `channels` outputs prefilled with garbage, so that an output left uncleared shows.
std::vector<std::vector<float>> mix (ChannelTable& table, int channels, int frames)
{
    std::vector<std::vector<float>> out (size_t (channels), std::vector<float> (size_t (frames), 7.5f));
    std::vector<float*> pointers;
    for (auto& o : out)
        pointers.push_back (o.data());
    mixBlock (table, pointers.data(), channels, frames);
    return out;
}

// Frames whose left samples run from l by step, and whose right ones from r by -step.
std::vector<float> stereo (int frames, float l, float r, float step)
{
    std::vector<float> v;
    for (int j = 0; j < frames; ++j)
        v.insert (v.end(), { l + step * float (j), r - step * float (j) });
    return v;
}

// Channel c of 64 frames: of the sources' frames summed, then silence.
std::vector<float> channel (size_t c, const std::vector<float>& a, const std::vector<float>& b = {})
{
    std::vector<float> v (64, 0.0f);
    for (size_t j = 0; 2 * j + c < a.size(); ++j)
        v[j] = a[2 * j + c] + (b.empty() ? 0.0f : b[2 * j + c]);
    return v;
}

constexpr int running = 1 << 30; // when a capture that nothing stopped yet stops
#if defined(__SANITIZE_THREAD__) // slows the table operations down a hundredfold
constexpr int operations = 16000;
#else
constexpr int operations = 60000;
#endif

// An entry of the reference model. Its source plays its tag t, 2^(t - 33), t being one of 16 s ... 16 s + 15
// on slot s: sums of them are exact.
struct Entry { uint32_t slot; SlotSourceInfo info; bool active; size_t tag; };

std::string show (uint32_t slot, const SlotSourceInfo& s, bool active)
{
    return std::to_string (s.channelId) + (active ? " on " : " idle on ") + std::to_string (slot) + ": "
           + std::to_string (s.sourceKind) + " '" + s.bundleId + "' '" + s.name + "' " + std::to_string (s.deviceId);
}
} // namespace

// A full buffer keeps what it holds and drops the newest, in whole frames (a half frame kept would swap
// left and right for the rest of its life); one place stays free, so that a full buffer does not look empty.
TEST (RingBuffer, AFullBufferDropsTheNewestWholeFrames)
{
    constexpr int capacity = RingBuffer::defaultCapacity;
    const auto all = stereo (capacity / 2, 1.0f, -1.0f, 1.0f);
    std::vector<float> out (capacity);
    RingBuffer rb;
    rb.write (all.data(), capacity);
    rb.write (all.data(), 10);
    EXPECT_EQ (rb.writeSilence (10), 0); // not counted as dropped: it was never audio
    EXPECT_EQ (rb.getDroppedSamples(), 12u);
    EXPECT_EQ (rb.read (out.data(), capacity - 2), capacity - 2); // as the mixer reads: whole frames
    rb.write (all.data(), 4);
    ASSERT_EQ (rb.read (out.data(), capacity), 4);
    EXPECT_EQ (std::vector<float> (out.begin(), out.begin() + 4), std::vector<float> (all.begin(), all.begin() + 4));
}

// Sources are added at unity into their slot's pair (Music 4/5, Game 2/3, A 6/7), unlimited; a source
// short of samples plays what it has, then silence; a block across the end of a ring buffer's array plays
// in order; the level is the peak of both channels. An eight-channel device has no outputs for B: its
// source is still read, so that its buffer does not fill up, and metered. A block of no frames takes
// nothing and meters silence.
TEST (Mixer, MixesEverySourceAtUnityIntoItsSlotPair)
{
    ChannelTable table;
    table.rebuildSlotEntries();
    table.prepareToMix (16); // longer blocks go through a grown scratch
    constexpr float step = 1.0f / 1024, last = 63 * step;
    const auto music = stereo (64, 0.25f, -0.75f, step), gameA = stereo (64, 0.625f, -0.25f, step),
               gameB = stereo (64, 0.5f, -0.875f, step), shortA = stereo (20, 0.5f, 0.375f, 0.0f);
    const std::vector<float> filler (RingBuffer::defaultCapacity - 40);
    std::vector<int32_t> ids;
    for (const auto& [slot, samples] : { std::pair { 0u, &filler }, { 1u, &gameA }, { 1u, &gameB }, { 2u, &shortA },
                                         { 3u, &music } })
    {
        ids.push_back (table.addChannel (slot, "app" + std::to_string (ids.size()), "App"));
        table.ringBufferFor (ids.back())->write (samples->data(), int (samples->size()));
    }
    table.ringBufferFor (ids[0])->consume (int (filler.size()));
    table.ringBufferFor (ids[0])->write (music.data(), 128);

    const auto out = mix (table, 8, 64);
    const std::vector<std::vector<float>> expected { channel (0, {}), channel (1, {}),
                                                     channel (0, gameA, gameB), channel (1, gameA, gameB), // beyond 1.0
                                                     channel (0, music), channel (1, music), channel (0, shortA), channel (1, shortA) };
    EXPECT_EQ (out, expected);

    std::vector<float> levels;
    for (const auto& s : table.copyChannelStates())
    {
        levels.push_back (s.level);
        EXPECT_EQ (table.ringBufferFor (s.channelId)->fill(), 0);
        EXPECT_EQ (table.ringBufferFor (s.channelId)->getShortReads(), s.channelId == ids[3] ? 1u : 0u);
        table.ringBufferFor (s.channelId)->write (music.data(), 2);
    }
    EXPECT_EQ (levels, (std::vector<float> { 0.75f + last, 0.625f + last, 0.5f, 0.75f + last, 0.875f + last }));

    mix (table, 8, 0);
    for (const auto& s : table.copyChannelStates())
        EXPECT_TRUE (s.level == 0.0f && table.ringBufferFor (s.channelId)->fill() == 2);

    // Short again, with the scratch holding an earlier short block: still samples, then silence.
    EXPECT_EQ (mix (table, 8, 64)[4], channel (0, { music[0], music[1] }));
}

// Random operations, slots out of range and identifiers shared by sources included, against a model: up to
// four sources a slot, the first on the slot entry, the extra entries following in the order they came;
// removing the slot entry's source moves the first extra one into it, capture, ring buffer and all; an
// idle slot entry is named after its slot; ids are never issued twice. Meanwhile a capture writes into the
// ring buffers (at times past its source's removal) and the callback mixes back to back. A tag's generation
// is even while no source has it: a block begun and ended within one even generation must not carry it.
TEST (ChannelTable, randomOperationsFollowTheModelAndLeakNoAudioWhileMixing)
{
    ChannelTable table;
    table.prepareToMix (64);
    const auto& pairs = ChannelTable::slotOutputPairs;
    std::atomic<int64_t> badSamples { 0 }, leaks { 0 };
    std::array<std::atomic<uint32_t>, 64> generation {};
    struct Capture { std::shared_ptr<RingBuffer> ring; size_t tag; int stopsAt; };
    std::vector<Capture> captures; // under mutex
    std::mutex mutex;
    std::jthread audio ([&] (std::stop_token stop)
    {
        for (std::array<uint32_t, 64> before {}; ! stop.stop_requested();)
        {
            std::copy (generation.begin(), generation.end(), before.begin());
            const auto out = mix (table, 10, 64);
            uint64_t heard = 0;
            for (size_t ch = 0; ch < out.size(); ++ch)
            {
                const auto slot = size_t (std::find (pairs.begin(), pairs.end(), int32_t (ch / 2)) - pairs.begin());
                const auto tagsOfSlot = slot < 4 ? uint64_t { 0xffff } << (16 * slot) : 0;
                for (const float v : out[ch])
                {
                    const auto tags = v >= 0.0f && v < 0x1p31f ? uint64_t (std::ldexp (v, 33)) : ~uint64_t { 0 };
                    badSamples += (tags & ~tagsOfSlot) != 0 || std::ldexp (float (tags), -33) != v ? 1 : 0;
                    heard |= tags & tagsOfSlot;
                }
            }
            for (size_t t = 0; t < 64; ++t)
                leaks += (heard >> t & 1u) != 0 && before[t] % 2 == 0 && generation[t] == before[t] ? 1 : 0;
        }
    });
    std::jthread capture ([&] (std::stop_token stop)
    {
        for (std::vector<float> chunk (4096); ! stop.stop_requested(); std::this_thread::sleep_for (100us))
        {
            const std::lock_guard lock (mutex);
            for (const auto& c : captures)
            {
                std::fill (chunk.begin(), chunk.end(), std::ldexp (1.0f, int (c.tag) - 33));
                c.ring->write (chunk.data(), std::min (4096, c.ring->getCapacity() - 2 - c.ring->fill()));
            }
        }
    });
    std::mt19937 rng (5);
    std::vector<Entry> model; // the slot entries, then the extra entries in the order they came
    std::set<int32_t> issued;
    std::deque<size_t> freeTags[4]; // oldest freed first: a tag rests before it is reused
    for (size_t t = 0; t < 64; ++t)
        freeTags[t / 16].push_back (t);
    const auto idle = [] (uint32_t slot, int32_t channelId)
    {
        return Entry { slot, { channelId, sourceKindApplication, "", ChannelTable::slotNames[slot], 0 }, false, 0 };
    };
    const auto stopCaptures = [&] (int step, const Entry* of) // of a source about to go: now, or as a stream stopping late
    {
        const std::lock_guard lock (mutex);
        for (auto& c : captures)
            if (of != nullptr && of->active && c.tag == of->tag && c.stopsAt == running)
                c.stopsAt = rng() % 2 == 0 ? step : step + 1 + int (rng() % 3);
        std::erase_if (captures, [&] (const Capture& c) { return c.stopsAt <= step; });
    };
    const auto sourceGone = [&] (const Entry& e) { if (e.active) ++generation[e.tag], freeTags[e.slot].push_back (e.tag); };

    for (int step = 0; step < operations; ++step)
    {
        // Half the time the table may not wait for the callback: parking and replacing run too.
        if (step % 1000 == 0)
            table.setReaderWaitLimit (std::chrono::milliseconds ((step / 1000) % 2 == 0 ? 250 : 0));

        const auto slot = rng() % 6 == 0 ? (rng() % 2 == 0 ? 4u : ~0u) : uint32_t (rng() % 4);
        const auto id = std::string (1, char ('a' + rng() % 5));
        const auto op = rng() % 16;
        const auto onSlot = [&] (const Entry& e) { return e.slot == slot && e.active; };
        const auto extras = model.begin() + std::min<ptrdiff_t> (4, ssize (model));

        if (op == 0)
        {
            std::for_each (model.begin(), model.end(), [&] (const Entry& e) { stopCaptures (step, &e); });
            table.rebuildSlotEntries();
            std::for_each (model.begin(), model.end(), sourceGone);
            model.clear();
            for (uint32_t i = 0; i < 4; ++i)
                model.push_back (idle (i, table.copyChannelStates().at (i).channelId));
            for (const auto& e : model)
                ASSERT_TRUE (issued.insert (e.info.channelId).second);
        }
        else if (op < 9)
        {
            const bool input = op % 2 == 0;
            const bool fits = ! model.empty() && slot < 4 && std::count_if (model.begin(), model.end(), onSlot) < 4;
            const auto name = "name " + std::to_string (step);
            Entry e { slot, { -1, input ? sourceKindInputDevice : sourceKindApplication, id, name, input ? uint32_t (step) : 0u }, true, 0 };
            if (fits)
                e.tag = freeTags[slot].front(), freeTags[slot].pop_front(), ++generation[e.tag];
            e.info.channelId = input ? table.addInputChannel (slot, id, name, e.info.deviceId) : table.addChannel (slot, id, name);
            ASSERT_EQ (e.info.channelId == -1, ! fits);
            if (! fits)
                continue;
            ASSERT_TRUE (model[slot].active ? issued.insert (e.info.channelId).second : e.info.channelId == model[slot].info.channelId);

            // The capture's first delivery: even a short-lived source has samples to be heard or leaked.
            const auto ring = table.shareRingBuffer (e.info.channelId);
            const std::vector<float> first (1024, std::ldexp (1.0f, int (e.tag) - 33));
            ring->write (first.data(), int (first.size()));
            model[slot].active ? model.push_back (e) : void (model[slot] = e);
            const std::lock_guard lock (mutex);
            captures.push_back ({ ring, e.tag, running });
        }
        else
        {
            // The table looks among the extra entries first, then at the slot entry.
            const auto named = [&] (const Entry& e) { return onSlot (e) && e.info.bundleId == id; };
            auto victim = std::find_if (extras, model.end(), named);
            if (victim == model.end() && slot < 4 && ! model.empty() && named (model[slot]))
                victim = model.begin() + slot;
            const bool found = victim != model.end();
            stopCaptures (step, found ? &*victim : nullptr);

            const auto outcome = table.removeChannel (slot, id);
            const auto successor = found && victim < extras ? std::find_if (extras, model.end(), onSlot) : model.end();
            const bool moves = successor != model.end();
            ASSERT_EQ (outcome.removedChannelId, found ? victim->info.channelId : -1);
            ASSERT_EQ (outcome.movedFromChannelId, moves ? successor->info.channelId : -1);
            ASSERT_EQ (outcome.movedToChannelId, moves ? victim->info.channelId : -1);
            if (! found)
                continue;

            sourceGone (*victim);
            if (moves)
                successor->info.channelId = victim->info.channelId, *victim = *successor;
            else if (victim < extras)
                *victim = idle (slot, victim->info.channelId);
            if (moves || victim >= extras)
                model.erase (moves ? successor : victim);
        }

        stopCaptures (step, nullptr);
        std::vector<std::string> shown, modelled;
        for (const auto& s : table.copyChannelStates())
            shown.push_back (show (uint32_t (std::find (pairs.begin(), pairs.end(), s.outputPair) - pairs.begin()),
                                   { s.channelId, s.sourceKind, s.bundleId, s.name, s.deviceId }, s.active));
        for (const uint32_t s : { 0u, 1u, 2u, 3u, 4u, ~0u })
            for (const auto& listed : table.channelsForSlot (s))
                shown.push_back ("listed " + show (s, listed, true));
        for (const auto& e : model)
            modelled.push_back (show (e.slot, e.info, e.active));
        for (const uint32_t s : { 0u, 1u, 2u, 3u })
            for (const auto& e : model)
                if (e.slot == s && e.active)
                    modelled.push_back ("listed " + show (s, e.info, true));
        ASSERT_EQ (shown, modelled) << "step " << step;
    }

    audio = {};
    capture = {};
    EXPECT_EQ (badSamples.load(), 0);
    EXPECT_EQ (leaks.load(), 0);
    table.removeChannel (0, "none"); // what waited for the callback to let go goes now
    EXPECT_EQ (table.parkedObjectCount(), 0u);
}
