#include "ChannelTable.h"
#include "Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace loomwell;

namespace
{

constexpr auto outsideSlot = static_cast<uint32_t> (-1);

bool isSlotPair (int32_t pair)
{
    return std::find (ChannelTable::slotOutputPairs.begin(), ChannelTable::slotOutputPairs.end(), pair)
           != ChannelTable::slotOutputPairs.end();
}

// Walks everything the table exposes and checks what must hold between two
// operations.
void expectInvariants (const ChannelTable& table)
{
    const auto states = table.copyChannelStates();

    if (states.empty())
        return;

    ASSERT_GE (states.size(), 4u);
    std::map<int32_t, int> activePerPair;
    std::set<int32_t> ids;

    for (size_t i = 0; i < states.size(); ++i)
    {
        const auto& s = states[i];
        SCOPED_TRACE ("entry " + std::to_string (i));
        EXPECT_TRUE (ids.insert (s.channelId).second) << "duplicate id " << s.channelId;

        if (i < 4)
        {
            EXPECT_EQ (s.outputPair, ChannelTable::slotOutputPairs[i]);
        }
        else
        {
            EXPECT_TRUE (s.active && isSlotPair (s.outputPair));
        }

        if (s.active)
        {
            EXPECT_LE (++activePerPair[s.outputPair], 4);
        }
    }

    for (size_t i = 0; i < 4; ++i)
    {
        const auto& s = states[i];

        if (s.active)
            continue;

        SCOPED_TRACE ("idle slot entry " + std::to_string (i));
        EXPECT_EQ (s.sourceKind, sourceKindApplication);
        EXPECT_EQ (s.bundleId, "");
        EXPECT_EQ (s.name, ChannelTable::slotNames[i]);
        EXPECT_EQ (s.deviceId, 0u);
        EXPECT_EQ (activePerPair[s.outputPair], 0);
    }
}

#define CHECK_INVARIANTS(table)             \
    {                                       \
        SCOPED_TRACE ("table invariants");  \
        expectInvariants (table);           \
    }

std::vector<std::string> idsOf (const std::vector<SlotSourceInfo>& infos)
{
    std::vector<std::string> out;

    for (const auto& i : infos)
        out.push_back (i.bundleId);

    return out;
}

std::vector<float> samples (int count, float first)
{
    std::vector<float> v (static_cast<size_t> (count));

    for (size_t i = 0; i < v.size(); ++i)
        v[i] = first + 0.001f * static_cast<float> (i);

    return v;
}

bool sameStates (const std::vector<ChannelState>& a, const std::vector<ChannelState>& b)
{
    return std::equal (a.begin(), a.end(), b.begin(), b.end(), [] (const auto& x, const auto& y)
    {
        return x.channelId == y.channelId && x.sourceKind == y.sourceKind && x.bundleId == y.bundleId
               && x.name == y.name && x.deviceId == y.deviceId && x.level == y.level
               && x.outputPair == y.outputPair && x.active == y.active;
    });
}

class ChannelTableTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        table.rebuildSlotEntries();
        base = table.copyChannelStates().at (0).channelId;
    }

    int32_t slotId (int slot) const { return base + slot; }

    ChannelTable table;
    int32_t base = -1;
};

} // namespace

TEST_F (ChannelTableTest, RebuildGivesFourIdleSlotEntries)
{
    const auto states = table.copyChannelStates();
    ASSERT_EQ (states.size(), 4u);

    for (size_t i = 0; i < 4; ++i)
    {
        EXPECT_EQ (states[i].name, ChannelTable::slotNames[i]);
        EXPECT_EQ (states[i].outputPair, (std::array<int32_t, 4> { 2, 1, 3, 4 }[i]));
        EXPECT_EQ (states[i].channelId, base + static_cast<int32_t> (i));
        EXPECT_FALSE (states[i].active);
        EXPECT_TRUE (table.channelsForSlot (static_cast<uint32_t> (i)).empty());
    }

    CHECK_INVARIANTS (table);

    // Ids are never issued twice, not even across a rebuild.
    ASSERT_GE (table.addChannel (0, "a", "A app"), 0);
    const auto extra = table.addChannel (0, "b", "B app");
    table.rebuildSlotEntries();
    const auto rebuilt = table.copyChannelStates();
    ASSERT_EQ (rebuilt.size(), 4u);
    EXPECT_EQ (rebuilt[0].channelId, extra + 1);
    EXPECT_EQ (table.ringBufferFor (extra), nullptr);
    EXPECT_TRUE (table.channelsForSlot (0).empty());
    CHECK_INVARIANTS (table);
}

TEST_F (ChannelTableTest, AddsFillTheSlotEntryThenAppendPerOutputPair)
{
    EXPECT_EQ (table.addChannel (0, "app.one", "One"), slotId (0));
    const auto second = table.addChannel (0, "app.two", "Two");
    EXPECT_EQ (second, base + 4);
    CHECK_INVARIANTS (table);

    const auto states = table.copyChannelStates();
    ASSERT_EQ (states.size(), 5u);
    EXPECT_TRUE (states[0].active);
    EXPECT_EQ (states[4].outputPair, 2);
    EXPECT_EQ (states[4].channelId, second);

    const std::vector<SlotSourceInfo> expected { { slotId (0), sourceKindApplication, "app.one", "One", 0 },
                                                 { second, sourceKindApplication, "app.two", "Two", 0 } };
    EXPECT_EQ (table.channelsForSlot (0), expected);
    EXPECT_TRUE (table.channelsForSlot (1).empty());

    // Four sources on slot 1 do not count against slot 0, which still takes its last two.
    for (int i = 0; i < 4; ++i)
        EXPECT_GE (table.addChannel (1, "game." + std::to_string (i), "G"), 0);

    EXPECT_GE (table.addChannel (0, "app.three", "Three"), 0);
    EXPECT_GE (table.addChannel (0, "app.four", "Four"), 0);
    CHECK_INVARIANTS (table);

    // A full slot refuses a fifth source and stays as it is; a removal frees a place.
    const auto before = table.copyChannelStates();
    EXPECT_EQ (table.addChannel (0, "app.five", "Five"), -1);
    EXPECT_EQ (table.addInputChannel (1, "uid", "Mic", 7), -1);
    EXPECT_TRUE (sameStates (table.copyChannelStates(), before));

    EXPECT_TRUE (table.removeChannel (0, "app.three").changed());
    EXPECT_GE (table.addChannel (0, "app.five", "Five"), 0);
    EXPECT_EQ (idsOf (table.channelsForSlot (0)),
               (std::vector<std::string> { "app.one", "app.two", "app.four", "app.five" }));
    CHECK_INVARIANTS (table);
}

TEST_F (ChannelTableTest, RemovingAnExtraEntryKeepsTheOthersInOrder)
{
    table.addChannel (3, "a", "A");
    const auto b = table.addChannel (3, "b", "B");
    const auto c = table.addChannel (3, "c", "C");
    const auto d = table.addChannel (3, "d", "D");
    const auto bBuffer = table.ringBufferFor (b);

    const auto outcome = table.removeChannel (3, "b");
    EXPECT_EQ (outcome.removedChannelId, b);
    EXPECT_EQ (outcome.movedFromChannelId, -1);
    EXPECT_EQ (outcome.movedToChannelId, -1);
    EXPECT_NE (bBuffer, nullptr);
    EXPECT_EQ (table.ringBufferFor (b), nullptr);

    const auto states = table.copyChannelStates();
    ASSERT_EQ (states.size(), 6u);
    EXPECT_EQ (states[4].channelId, c);
    EXPECT_EQ (states[5].channelId, d);
    EXPECT_EQ (idsOf (table.channelsForSlot (3)), (std::vector<std::string> { "a", "c", "d" }));
    EXPECT_EQ (table.parkedObjectCount(), 0u); // nothing was mixing: freed at once
    CHECK_INVARIANTS (table);
}

TEST_F (ChannelTableTest, SlotEntryTakesOverTheFirstExtraSourceWithItsBuffer)
{
    ASSERT_EQ (table.addChannel (0, "app.one", "One"), slotId (0));
    const auto four = table.addInputChannel (0, "usb-mic", "Mic", 42);
    const auto five = table.addChannel (0, "app.three", "Three");
    table.addChannel (1, "app.game", "Game app");
    const auto gameExtra = table.addChannel (1, "app.game2", "Game app 2");

    // What the capture of entry 4 wrote before the removal must still be heard.
    auto* movedBuffer = table.ringBufferFor (four);
    const auto written = samples (100, 0.25f);
    movedBuffer->write (written.data(), 100);
    table.ringBufferFor (slotId (0))->write (written.data(), 10);

    const auto outcome = table.removeChannel (0, "app.one");
    EXPECT_EQ (outcome.removedChannelId, slotId (0));
    EXPECT_EQ (outcome.movedFromChannelId, four);
    EXPECT_EQ (outcome.movedToChannelId, slotId (0));

    const std::vector<SlotSourceInfo> expected { { slotId (0), sourceKindInputDevice, "usb-mic", "Mic", 42 },
                                                 { five, sourceKindApplication, "app.three", "Three", 0 } };
    EXPECT_EQ (table.channelsForSlot (0), expected);
    EXPECT_EQ (table.ringBufferFor (four), nullptr);
    ASSERT_EQ (table.ringBufferFor (slotId (0)), movedBuffer);

    std::vector<float> out (200);
    ASSERT_EQ (movedBuffer->read (out.data(), 200), 100);
    EXPECT_EQ (std::vector<float> (out.begin(), out.begin() + 100), written);

    const auto states = table.copyChannelStates();
    ASSERT_EQ (states.size(), 6u);
    EXPECT_EQ (states[4].channelId, five);
    EXPECT_EQ (states[5].channelId, gameExtra);
    EXPECT_EQ (table.channelsForSlot (1).size(), 2u);
    CHECK_INVARIANTS (table);

    // The source that moved is removed under its own identifier, from the slot entry.
    EXPECT_EQ (table.removeChannel (0, "usb-mic").movedFromChannelId, five);
    EXPECT_EQ (table.removeChannel (0, "app.three").removedChannelId, slotId (0));
    EXPECT_TRUE (table.channelsForSlot (0).empty());
    CHECK_INVARIANTS (table);
}

// A capture that has not let go of its buffer when its source goes (a stop
// that came late) keeps writing into memory of its own, never into the next
// source's buffer.
TEST_F (ChannelTableTest, AWriterThatOutlivesItsSourceKeepsItsOwnBuffer)
{
    ASSERT_EQ (table.addChannel (1, "app.late", "Late"), slotId (1));
    auto lateWriter = table.shareRingBuffer (slotId (1));
    ASSERT_NE (lateWriter, nullptr);

    table.removeChannel (1, "app.late");
    ASSERT_EQ (table.addChannel (1, "app.next", "Next"), slotId (1));
    EXPECT_NE (table.ringBufferFor (slotId (1)), lateWriter.get());

    const auto block = samples (64, 0.25f);
    lateWriter->write (block.data(), 64);
    EXPECT_EQ (table.ringBufferFor (slotId (1))->fill(), 0);
    EXPECT_EQ (lateWriter->fill(), 64);

    // Once no one else holds it, an idle entry's buffer is emptied in place.
    lateWriter.reset();
    auto* current = table.ringBufferFor (slotId (1));
    table.removeChannel (1, "app.next");
    EXPECT_EQ (table.ringBufferFor (slotId (1)), current);
    EXPECT_EQ (table.parkedObjectCount(), 0u);
}

TEST_F (ChannelTableTest, LastSourceLeavesAnEmptyIdleSlotEntryThatIsReused)
{
    ASSERT_EQ (table.addInputChannel (2, "usb-line", "Line In", 9), slotId (2));
    auto states = table.copyChannelStates();
    EXPECT_EQ (states[2].sourceKind, sourceKindInputDevice);
    EXPECT_EQ (states[2].deviceId, 9u);

    // Give the entry a level and buffered samples the next source must not inherit.
    const auto block = samples (64, 0.5f);
    table.ringBufferFor (slotId (2))->write (block.data(), 64);
    std::vector<std::vector<float>> outs (10, std::vector<float> (16));
    std::vector<float*> ptrs;

    for (auto& o : outs)
        ptrs.push_back (o.data());

    mixBlock (table, ptrs.data(), 10, 16);
    ASSERT_GT (table.copyChannelStates()[2].level, 0.0f);

    const auto outcome = table.removeChannel (2, "usb-line");
    EXPECT_EQ (outcome.removedChannelId, slotId (2));
    EXPECT_EQ (outcome.movedToChannelId, -1);
    states = table.copyChannelStates();
    ASSERT_EQ (states.size(), 4u);
    EXPECT_FALSE (states[2].active);
    EXPECT_EQ (states[2].name, "A");
    EXPECT_EQ (states[2].level, 0.0f);
    EXPECT_EQ (table.ringBufferFor (slotId (2))->fill(), 0);
    EXPECT_TRUE (table.channelsForSlot (2).empty());
    CHECK_INVARIANTS (table);

    // A late write after the removal must not reach the next source either.
    table.ringBufferFor (slotId (2))->write (block.data(), 32);
    EXPECT_EQ (table.addChannel (2, "app.x", "X"), slotId (2));
    EXPECT_EQ (table.ringBufferFor (slotId (2))->fill(), 0);
    states = table.copyChannelStates();
    EXPECT_EQ (states[2].sourceKind, sourceKindApplication);
    EXPECT_EQ (states[2].deviceId, 0u);
    EXPECT_EQ (table.parkedObjectCount(), 0u);
    CHECK_INVARIANTS (table);
}

TEST_F (ChannelTableTest, RequestsThatMatchNothingChangeNothing)
{
    ChannelTable never;
    EXPECT_EQ (never.addChannel (0, "a", "A"), -1);
    EXPECT_EQ (never.addInputChannel (0, "u", "U", 1), -1);
    EXPECT_FALSE (never.removeChannel (0, "a").changed());
    EXPECT_TRUE (never.channelsForSlot (0).empty());
    EXPECT_TRUE (never.copyChannelStates().empty());
    EXPECT_EQ (never.ringBufferFor (0), nullptr);

    table.addChannel (0, "x", "X");
    table.addChannel (0, "y", "Y");
    table.addChannel (1, "y", "Y");
    const auto before = table.copyChannelStates();

    for (const auto slot : { 4u, outsideSlot })
    {
        EXPECT_EQ (table.addChannel (slot, "z", "Z"), -1);
        EXPECT_EQ (table.addInputChannel (slot, "u", "U", 3), -1);
        EXPECT_FALSE (table.removeChannel (slot, "x").changed());
        EXPECT_TRUE (table.channelsForSlot (slot).empty());
    }

    EXPECT_FALSE (table.removeChannel (1, "x").changed()); // on slot 0, not on slot 1
    EXPECT_FALSE (table.removeChannel (0, "X").changed()); // identifiers compare exactly
    EXPECT_FALSE (table.removeChannel (2, "").changed());  // an idle slot carries nothing
    EXPECT_FALSE (table.removeChannel (3, "").changed());
    EXPECT_TRUE (sameStates (table.copyChannelStates(), before));
    CHECK_INVARIANTS (table);

    // The same identifier on two slots: only the named slot loses it.
    EXPECT_EQ (table.removeChannel (1, "y").removedChannelId, slotId (1));
    EXPECT_EQ (idsOf (table.channelsForSlot (0)), (std::vector<std::string> { "x", "y" }));
    CHECK_INVARIANTS (table);
}

// The audio callback is inside a block (beginMix without endMix) and stays
// there: operations must neither hang nor free or reset anything it may read.
TEST_F (ChannelTableTest, StuckCallbackKeepsWhatItHoldsAlive)
{
    table.setReaderWaitLimit (std::chrono::milliseconds (5));
    table.addChannel (0, "app.one", "One");
    const auto extra = table.addChannel (0, "app.two", "Two");
    table.addChannel (2, "app.a", "A app");

    const auto block = samples (40, 0.1f);

    for (const auto id : { slotId (0), extra, slotId (2) })
        table.ringBufferFor (id)->write (block.data(), 40);

    auto* heldSlotBuffer = table.ringBufferFor (slotId (2));
    auto* heldExtraBuffer = table.ringBufferFor (extra);
    const auto& held = table.beginMix();
    ASSERT_EQ (held.entries.size(), 3u);

    EXPECT_TRUE (table.removeChannel (2, "app.a").changed());
    EXPECT_TRUE (table.removeChannel (0, "app.two").changed());
    EXPECT_GT (table.parkedObjectCount(), 0u);

    EXPECT_EQ (table.addChannel (2, "app.b", "B app"), slotId (2));
    auto* fresh = table.ringBufferFor (slotId (2));
    EXPECT_NE (fresh, heldSlotBuffer);
    EXPECT_EQ (fresh->fill(), 0);
    CHECK_INVARIANTS (table);

    // Everything the stuck block holds is still there, samples included.
    std::vector<float> out (80);

    for (const auto& e : held.entries)
    {
        EXPECT_TRUE (e.outputPair == 2 || e.outputPair == 3);
        ASSERT_EQ (e.ringBuffer->read (out.data(), 80), 40);
        EXPECT_EQ (std::vector<float> (out.begin(), out.begin() + 40), block);
    }

    EXPECT_TRUE (std::any_of (held.entries.begin(), held.entries.end(),
                              [&] (const auto& e) { return e.ringBuffer == heldSlotBuffer; }));
    EXPECT_TRUE (std::any_of (held.entries.begin(), held.entries.end(),
                              [&] (const auto& e) { return e.ringBuffer == heldExtraBuffer; }));
    EXPECT_GT (table.parkedObjectCount(), 0u);

    table.endMix();
    EXPECT_GE (table.addChannel (3, "app.c", "C app"), 0);
    EXPECT_EQ (table.parkedObjectCount(), 0u);
    CHECK_INVARIANTS (table);
}
