#include "RingBuffer.h"

#include <gtest/gtest.h>

#include <vector>

using loomwell::RingBuffer;

namespace
{
constexpr int capacity = RingBuffer::defaultCapacity;

// Frames whose left sample is +n and right sample -n, n counting from `first`.
std::vector<float> frames (int count, int first)
{
    std::vector<float> v;
    for (int n = first; n < first + count; ++n)
        v.insert (v.end(), { float (n), -float (n) });
    return v;
}
} // namespace

// A full buffer keeps what it holds and drops the newest, in whole frames:
// a half frame kept would swap left and right for the rest of its life.
// One place stays free, so that a full buffer does not look empty.
TEST (RingBuffer, AFullBufferDropsTheNewestWholeFrames)
{
    RingBuffer rb;
    rb.write (frames (capacity / 2, 1).data(), capacity);
    rb.write (frames (5, 0).data(), 10);
    EXPECT_EQ (rb.fill(), capacity - 2);
    EXPECT_EQ (rb.getDroppedSamples(), 12u);
    EXPECT_EQ (rb.writeSilence (10), 0);

    std::vector<float> out (capacity);
    ASSERT_EQ (rb.read (out.data(), capacity - 2), capacity - 2);
    EXPECT_EQ (out[capacity - 4], float (capacity / 2 - 1));

    const auto next = frames (2, 1000);
    rb.write (next.data(), 4);
    ASSERT_EQ (rb.read (out.data(), 4), 4);
    EXPECT_EQ (std::vector<float> (out.begin(), out.begin() + 4), next);
    EXPECT_EQ (rb.getShortReads(), 0u);
    EXPECT_EQ (rb.getDroppedSamples(), 12u); // the silence that did not fit was never audio
}

// The mixer reads in place: peek shows the stored samples up to the end of
// the array and then from its start, without taking them; consume takes them.
TEST (RingBuffer, ReadsWrapAroundTheEndOfTheArrayAndShortReadsAreCounted)
{
    RingBuffer rb;
    std::vector<float> out (capacity);
    rb.write (out.data(), capacity - 6);
    ASSERT_EQ (rb.read (out.data(), capacity - 6), capacity - 6);

    const auto block = frames (5, 1);
    rb.write (block.data(), 10);
    EXPECT_EQ (rb.getWritePos(), 4);
    const auto s = rb.peek (8);
    ASSERT_EQ (s.firstCount, 6);
    ASSERT_EQ (s.secondCount, 2);
    EXPECT_EQ (std::vector<float> (s.first, s.first + 6), std::vector<float> (block.begin(), block.begin() + 6));
    EXPECT_EQ (std::vector<float> (s.second, s.second + 2), std::vector<float> (block.begin() + 6, block.begin() + 8));
    EXPECT_EQ (rb.fill(), 10);

    rb.consume (s.total());
    out.assign (4, -7.0f);
    EXPECT_EQ (rb.read (out.data(), 4), 2); // short: the reader pads it itself
    EXPECT_EQ (out, (std::vector<float> { 5, -5, -7, -7 }));
    EXPECT_EQ (rb.read (out.data(), 4), 0);
    EXPECT_EQ (rb.getShortReads(), 2u);

    rb.write (block.data(), 10);
    rb.reset();
    EXPECT_EQ (rb.fill(), 0);
    EXPECT_EQ (rb.peek (10).total(), 0);
}
