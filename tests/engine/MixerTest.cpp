#include "ChannelTable.h"
#include "Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

using namespace loomwell;

namespace
{

constexpr float garbage = 7.5f;

// Per-channel output blocks, prefilled with garbage so that a channel the
// mixer forgets to clear shows up.
struct Outputs
{
    Outputs (int numChannels, int numFrames)
        : data (static_cast<size_t> (numChannels), std::vector<float> (static_cast<size_t> (numFrames), garbage))
    {
        for (auto& d : data)
            ptrs.push_back (d.data());
    }

    void mix (ChannelTable& table, int numFrames)
    {
        mixBlock (table, ptrs.data(), static_cast<int> (ptrs.size()), numFrames);
    }

    std::vector<std::vector<float>> data;
    std::vector<float*> ptrs;
};

struct Stereo
{
    std::vector<float> left, right;

    std::vector<float> interleaved() const
    {
        std::vector<float> out;

        for (size_t j = 0; j < left.size(); ++j)
        {
            out.push_back (left[j]);
            out.push_back (right[j]);
        }

        return out;
    }
};

Stereo makeStereo (int frames, float leftStart, float rightStart, float step)
{
    Stereo s;

    for (int j = 0; j < frames; ++j)
    {
        s.left.push_back (leftStart + step * static_cast<float> (j));
        s.right.push_back (rightStart - step * static_cast<float> (j));
    }

    return s;
}

std::vector<float> zeros (size_t n) { return std::vector<float> (n, 0.0f); }

class MixerTest : public ::testing::Test
{
protected:
    void SetUp() override { table.rebuildSlotEntries(); }

    int32_t addWithSamples (uint32_t slot, const std::string& id, const Stereo& s)
    {
        const auto channelId = table.addChannel (slot, id, id);
        const auto block = s.interleaved();
        table.ringBufferFor (channelId)->write (block.data(), static_cast<int> (block.size()));
        return channelId;
    }

    float levelOf (int32_t channelId) const
    {
        for (const auto& s : table.copyChannelStates())
            if (s.channelId == channelId)
                return s.level;

        ADD_FAILURE() << "no entry " << channelId;
        return -1.0f;
    }

    void expectSilentExcept (const Outputs& outs, std::initializer_list<size_t> heard)
    {
        for (size_t i = 0; i < outs.data.size(); ++i)
        {
            if (std::find (heard.begin(), heard.end(), i) == heard.end())
            {
                EXPECT_EQ (outs.data[i], zeros (outs.data[i].size())) << "output " << i;
            }
        }
    }

    ChannelTable table;
};

} // namespace

TEST_F (MixerTest, WithoutActiveSourcesEveryOutputIsSilent)
{
    ChannelTable neverOpened;
    Outputs first (10, 64);
    first.mix (neverOpened, 64);
    expectSilentExcept (first, {});

    // Idle slot entries are neither read nor metered, whatever their buffers hold.
    const auto block = makeStereo (64, 0.5f, 0.5f, 0.0f).interleaved();

    for (const auto& s : table.copyChannelStates())
        table.ringBufferFor (s.channelId)->write (block.data(), 128);

    Outputs outs (10, 64);
    outs.mix (table, 64);
    expectSilentExcept (outs, {});

    for (const auto& s : table.copyChannelStates())
    {
        EXPECT_EQ (table.ringBufferFor (s.channelId)->fill(), 128);
        EXPECT_EQ (s.level, 0.0f);
    }
}

TEST_F (MixerTest, OneSourcePlaysExactlyOnItsSlotPair)
{
    const auto src = makeStereo (256, 0.0f, 0.9f, 0.003f);
    const auto id = addWithSamples (0, "music", src);

    Outputs outs (10, 256);
    outs.mix (table, 256);
    EXPECT_EQ (outs.data[4], src.left);
    EXPECT_EQ (outs.data[5], src.right);
    expectSilentExcept (outs, { 4, 5 });
    EXPECT_EQ (levelOf (id), 0.9f);
    EXPECT_EQ (table.ringBufferFor (id)->fill(), 0);
}

TEST_F (MixerTest, SourcesOfOneSlotAreSummedWithoutLimiting)
{
    const auto a = makeStereo (128, 0.7f, -0.2f, 0.001f);
    const auto b = makeStereo (128, 0.6f, -0.9f, 0.001f);
    addWithSamples (1, "game.a", a);
    addWithSamples (1, "game.b", b);

    Outputs outs (10, 128);
    outs.mix (table, 128);

    for (size_t j = 0; j < 128; ++j)
    {
        EXPECT_EQ (outs.data[2][j], a.left[j] + b.left[j]) << j;
        EXPECT_EQ (outs.data[3][j], a.right[j] + b.right[j]) << j;
    }

    EXPECT_GT (outs.data[2][127], 1.0f); // e.g. 1.3 + 0.254, not clipped
    EXPECT_LT (outs.data[3][127], -1.0f);
    expectSilentExcept (outs, { 2, 3 });
}

TEST_F (MixerTest, ShortBufferPlaysWhatItHasThenSilence)
{
    const auto src = makeStereo (300, 0.1f, -0.1f, 0.001f);
    const auto id = addWithSamples (0, "music", src);
    ASSERT_EQ (table.ringBufferFor (id)->fill(), 600);

    Outputs outs (10, 512);
    outs.mix (table, 512);
    EXPECT_EQ (table.ringBufferFor (id)->getShortReads(), 1u);

    auto expectedLeft = src.left, expectedRight = src.right;
    expectedLeft.resize (512, 0.0f);
    expectedRight.resize (512, 0.0f);
    EXPECT_EQ (outs.data[4], expectedLeft);
    EXPECT_EQ (outs.data[5], expectedRight);
    EXPECT_EQ (table.ringBufferFor (id)->fill(), 0);

    // An empty buffer gives a silent block and a level of 0.
    outs.mix (table, 512);
    expectSilentExcept (outs, {});
    EXPECT_EQ (levelOf (id), 0.0f);
    EXPECT_EQ (table.ringBufferFor (id)->getShortReads(), 2u);

    // A full block, in place or across the end of the array, is not short.
    const auto full = makeStereo (512, 0.1f, -0.1f, 0.0f).interleaved();
    for (int i = 0; i < 100; ++i)
    {
        table.ringBufferFor (id)->write (full.data(), 1024);
        outs.mix (table, 512);
    }
    EXPECT_EQ (table.ringBufferFor (id)->getShortReads(), 2u);
    EXPECT_EQ (table.ringBufferFor (id)->getDroppedSamples(), 0u);
}

// Slack a capture took goes back only once it is returnable, and only where
// the samples to drop are silence: dropping sound would be heard.
TEST_F (MixerTest, ReturnableSlackIsDroppedOnlyWhereItIsSilence)
{
    const auto id = table.addChannel (0, "music", "music");
    auto& ring = *table.ringBufferFor (id);
    const auto loud = makeStereo (512, 0.5f, -0.5f, 0.0f).interleaved();
    ring.write (loud.data(), 1024);
    ring.tookSlack (512);
    EXPECT_EQ (ring.returnableSlack(), 0);
    for (int i = 0; i < RingBuffer::clearWritesBeforeReturn; ++i)
        ring.noteWriteClear (true);
    ASSERT_EQ (ring.returnableSlack(), 512);

    // The block after this one is sound: it stays.
    Outputs outs (10, 256);
    outs.mix (table, 256);
    EXPECT_EQ (ring.fill(), 512);
    EXPECT_EQ (ring.returnableSlack(), 512);

    // Silence behind the last of the sound: one slack's worth of it goes.
    const std::vector<float> silence (1024, 0.0f);
    ring.write (silence.data(), 1024);
    outs.mix (table, 256);
    EXPECT_EQ (outs.data[4][255], 0.5f);
    EXPECT_EQ (ring.fill(), 512);
    EXPECT_EQ (ring.returnableSlack(), 0);

    // A write too close to a read holds back whatever is owed.
    ring.tookSlack (512);
    for (int i = 0; i < RingBuffer::clearWritesBeforeReturn; ++i)
        ring.noteWriteClear (true);
    ring.noteWriteClear (false);
    EXPECT_EQ (ring.returnableSlack(), 0);
}

TEST_F (MixerTest, LevelIsThePeakMagnitudeOverBothChannels)
{
    Stereo src;

    for (int j = 0; j < 64; ++j)
    {
        src.left.push_back (j == 20 ? 0.5f : -0.3f);
        src.right.push_back (j == 40 ? -0.8f : 0.6f);
    }

    const auto id = addWithSamples (2, "a", src);
    Outputs outs (10, 64);
    outs.mix (table, 64);
    EXPECT_EQ (levelOf (id), 0.8f);
}

TEST_F (MixerTest, PairsBeyondTheDeviceAreConsumedAndMeteredButNotHeard)
{
    const auto onB = makeStereo (64, 0.4f, 0.2f, 0.0f);
    const auto onA = makeStereo (64, 0.1f, 0.3f, 0.001f);
    const auto idB = addWithSamples (3, "b", onB);
    addWithSamples (2, "a", onA);

    Outputs outs (8, 64); // no channels 8 and 9 to write into
    outs.mix (table, 64);
    EXPECT_EQ (outs.data[6], onA.left);
    EXPECT_EQ (outs.data[7], onA.right);
    expectSilentExcept (outs, { 6, 7 });
    EXPECT_EQ (table.ringBufferFor (idB)->fill(), 0);
    EXPECT_EQ (levelOf (idB), 0.4f);
}

TEST_F (MixerTest, EmptyBlockTouchesNoOutputAndZeroesLevels)
{
    const auto src = makeStereo (64, 0.5f, 0.5f, 0.001f);
    const auto slotEntry = addWithSamples (0, "one", src);
    const auto extra = addWithSamples (0, "two", src);

    Outputs warmUp (10, 32);
    warmUp.mix (table, 32);
    ASSERT_GT (levelOf (slotEntry), 0.0f);
    ASSERT_GT (levelOf (extra), 0.0f);

    Outputs outs (10, 16);
    outs.mix (table, 0);

    for (const auto& d : outs.data)
        EXPECT_EQ (d, std::vector<float> (16, garbage));

    EXPECT_EQ (levelOf (slotEntry), 0.0f);
    EXPECT_EQ (levelOf (extra), 0.0f);
    EXPECT_EQ (table.ringBufferFor (slotEntry)->fill(), 64); // nothing consumed

    // The next real block still works after the empty one.
    Outputs after (10, 32);
    after.mix (table, 32);
    EXPECT_EQ (after.data[4][0], src.left[32] + src.left[32]);
}

TEST_F (MixerTest, BlockLongerThanPreparedStillMixesEverything)
{
    table.prepareToMix (128);
    const auto src = makeStereo (1024 + 128, -0.5f, 0.5f, 0.0005f);
    addWithSamples (1, "game", src);

    Outputs longBlock (10, 1024);
    longBlock.mix (table, 1024);
    EXPECT_EQ (longBlock.data[2], std::vector<float> (src.left.begin(), src.left.begin() + 1024));
    EXPECT_EQ (longBlock.data[3], std::vector<float> (src.right.begin(), src.right.begin() + 1024));
    expectSilentExcept (longBlock, { 2, 3 });

    Outputs shortBlock (10, 128);
    shortBlock.mix (table, 128);
    EXPECT_EQ (shortBlock.data[2], std::vector<float> (src.left.begin() + 1024, src.left.end()));
    EXPECT_EQ (shortBlock.data[3], std::vector<float> (src.right.begin() + 1024, src.right.end()));
}

// The callback must follow the table: a source that moved into the slot entry
// is heard from where its capture left off, and a removed one is not heard.
TEST_F (MixerTest, FollowsRemovalsAndTakeOvers)
{
    const auto one = makeStereo (32, 0.1f, 0.1f, 0.0f);
    const auto two = makeStereo (32, 0.2f, -0.3f, 0.001f);
    addWithSamples (0, "one", one);
    addWithSamples (0, "two", two);
    addWithSamples (1, "game", one);

    ASSERT_TRUE (table.removeChannel (1, "game").changed());
    ASSERT_EQ (table.removeChannel (0, "one").movedToChannelId, table.copyChannelStates()[0].channelId);

    Outputs outs (10, 32);
    outs.mix (table, 32);
    EXPECT_EQ (outs.data[4], two.left);
    EXPECT_EQ (outs.data[5], two.right);
    expectSilentExcept (outs, { 4, 5 });
}

// A block that wraps around the end of the ring buffer's array is mixed in
// place when the wrap falls between frames, and through the scratch when a
// frame straddles it (a writer once stored an odd number of samples).
TEST_F (MixerTest, BlocksThatWrapAroundTheRingBufferPlayInOrder)
{
    for (const int skew : { 0, 1 })
    {
        SCOPED_TRACE ("skew " + std::to_string (skew));
        table.rebuildSlotEntries();
        const auto id = table.addChannel (0, "wrap", "Wrap");
        auto* ring = table.ringBufferFor (id);

        // Move both positions to 100 (+ skew) places before the end of the array.
        std::vector<float> filler (static_cast<size_t> (ring->getCapacity() - 100 - skew), 0.0f);
        ring->write (filler.data(), static_cast<int> (filler.size()));
        ASSERT_EQ (ring->read (filler.data(), static_cast<int> (filler.size())), static_cast<int> (filler.size()));

        const auto src = makeStereo (128, 0.25f, -0.5f, 0.001f);
        const auto block = src.interleaved();
        ring->write (block.data(), static_cast<int> (block.size()));

        Outputs outs (10, 128);
        outs.mix (table, 128);
        EXPECT_EQ (outs.data[4], src.left);
        EXPECT_EQ (outs.data[5], src.right);
        expectSilentExcept (outs, { 4, 5 });
        EXPECT_EQ (ring->fill(), 0);
        EXPECT_EQ (levelOf (id), -src.right.back());
    }
}
