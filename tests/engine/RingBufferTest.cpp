#include "RingBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

using loomwell::RingBuffer;

namespace
{

std::vector<float> ramp (int count, float first)
{
    std::vector<float> v (static_cast<size_t> (count));
    std::iota (v.begin(), v.end(), first);
    return v;
}

constexpr int capacity = RingBuffer::defaultCapacity;

} // namespace

TEST (RingBuffer, NewBufferIsEmpty)
{
    RingBuffer rb;
    std::vector<float> out (16, -1.0f);

    EXPECT_EQ (rb.getCapacity(), 48000);
    EXPECT_EQ (rb.read (out.data(), 16), 0);
    EXPECT_EQ (out[0], -1.0f); // nothing copied: the caller fills in silence
}

// One place always stays free, so a full buffer holds capacity - 1 samples and
// later writes store only what fits, never overwriting what is stored.
TEST (RingBuffer, StoresAtMostCapacityMinusOne)
{
    RingBuffer rb;
    const auto block = ramp (capacity, 0.0f);
    rb.write (block.data(), capacity);
    EXPECT_EQ (rb.fill(), capacity - 1);

    rb.write (block.data(), 10);
    EXPECT_EQ (rb.fill(), capacity - 1);
    EXPECT_EQ (rb.getDroppedSamples(), 11u); // one of the first write, all of the second

    std::vector<float> out (static_cast<size_t> (capacity));
    ASSERT_EQ (rb.read (out.data(), capacity), capacity - 1);
    EXPECT_EQ (out[0], 0.0f);
    EXPECT_EQ (out[static_cast<size_t> (capacity - 2)], static_cast<float> (capacity - 2));

    RingBuffer nearlyFull;
    nearlyFull.write (block.data(), capacity - 2);
    const auto next = ramp (960, 1.0e6f);
    nearlyFull.write (next.data(), 960);
    EXPECT_EQ (nearlyFull.fill(), capacity - 1); // exactly one of the 960 stored
    EXPECT_EQ (nearlyFull.getDroppedSamples(), 959u);
    EXPECT_EQ (nearlyFull.getShortReads(), 0u);
}

TEST (RingBuffer, WriteWrapsAroundTheEndOfTheArray)
{
    RingBuffer rb;
    const auto head = ramp (capacity - 10, 0.0f);
    rb.write (head.data(), capacity - 10);

    // Consume 11 so that the room is exactly 20 with writePos ten places
    // before the end.
    std::vector<float> out (static_cast<size_t> (capacity));
    ASSERT_EQ (rb.read (out.data(), 11), 11);
    ASSERT_EQ (rb.getWritePos(), capacity - 10);
    ASSERT_EQ (rb.fill(), capacity - 1 - 20);

    const auto tail = ramp (20, 100000.0f);
    rb.write (tail.data(), 20);
    EXPECT_EQ (rb.getWritePos(), 10);
    EXPECT_EQ (rb.fill(), capacity - 1);

    const int older = capacity - 10 - 11;
    ASSERT_EQ (rb.read (out.data(), older), older);
    EXPECT_EQ (out[0], 11.0f);
    EXPECT_EQ (out[static_cast<size_t> (older - 1)], static_cast<float> (capacity - 11));

    // The read crosses the end too: ten from the end of the array, ten from its start.
    ASSERT_EQ (rb.read (out.data(), 1024), 20);
    EXPECT_EQ (std::vector<float> (out.begin(), out.begin() + 20), tail);
    EXPECT_EQ (rb.getReadPos(), 10);
    EXPECT_EQ (rb.read (out.data(), 1), 0);
}

TEST (RingBuffer, ShortReadThenEmptyAndReset)
{
    RingBuffer rb;
    const auto block = ramp (600, 1.0f);
    rb.write (block.data(), 600);

    std::vector<float> out (1024, -1.0f);
    ASSERT_EQ (rb.read (out.data(), 1024), 600);
    EXPECT_EQ (std::vector<float> (out.begin(), out.begin() + 600), block);
    EXPECT_EQ (out[600], -1.0f); // the tail is the reader's business
    EXPECT_EQ (rb.read (out.data(), 1024), 0);

    rb.write (block.data(), 600);
    rb.reset();
    EXPECT_EQ (rb.fill(), 0);
    EXPECT_EQ (rb.read (out.data(), 1024), 0);
    EXPECT_EQ (rb.getReadPos(), 0);
    EXPECT_EQ (rb.getWritePos(), 0);

    // After a reset the buffer starts over from the beginning of the array.
    rb.write (block.data(), 3);
    ASSERT_EQ (rb.read (out.data(), 1024), 3);
    EXPECT_EQ (out[0], 1.0f);
}

// The mixer reads in place: what peek shows across the end of the array is
// what read would have copied, and consume takes exactly that many.
TEST (RingBuffer, PeekShowsTheStoredSamplesInPlace)
{
    RingBuffer ring;
    EXPECT_EQ (ring.peek (64).total(), 0);

    std::vector<float> filler (static_cast<size_t> (ring.getCapacity() - 3), 0.0f);
    ring.write (filler.data(), static_cast<int> (filler.size()));
    ring.consume (static_cast<int> (filler.size()));

    const std::vector<float> block { 1, 2, 3, 4, 5, 6, 7 };
    ring.write (block.data(), 7);

    const auto s = ring.peek (6);
    ASSERT_EQ (s.firstCount, 3);
    ASSERT_EQ (s.secondCount, 3);
    EXPECT_EQ (std::vector<float> (s.first, s.first + 3), std::vector<float> ({ 1, 2, 3 }));
    EXPECT_EQ (std::vector<float> (s.second, s.second + 3), std::vector<float> ({ 4, 5, 6 }));
    EXPECT_EQ (ring.fill(), 7); // peeking takes nothing

    ring.consume (s.total());
    float last = 0.0f;
    EXPECT_EQ (ring.read (&last, 4), 1);
    EXPECT_EQ (last, 7.0f);
}
