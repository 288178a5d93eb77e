#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace loomwell
{

// Single-producer, single-consumer FIFO of interleaved stereo samples. The
// capture that feeds a source is the only writer; the console's audio
// callback is the only reader. Each side writes only its own position,
// publishes it with release order after copying, and reads the other side's
// position with acquire order. One place always stays empty, so equal
// positions mean "empty".
class RingBuffer
{
public:
    static constexpr int32_t defaultCapacity = 48000;

    RingBuffer();
    RingBuffer (const RingBuffer&) = delete;
    RingBuffer& operator= (const RingBuffer&) = delete;

    // Stores as many of the samples as there is room for, in whole frames
    // (a half frame stored would swap left and right of everything after
    // it); the newest ones that do not fit are dropped. Writer thread only.
    void write (const float* src, int count) noexcept;

    // Stores up to `count` zeros, as far as there is room for whole frames
    // (what does not fit is not counted as dropped: it was never audio), and
    // returns how many it stored. Writer thread only.
    int writeSilence (int count) noexcept;

    // Copies up to `wanted` samples and returns how many it copied. Reader
    // thread only; the reader fills whatever is missing with silence itself.
    // A read that finds fewer than `wanted` counts as short.
    int read (float* dst, int wanted) noexcept;

    // The reader's view of up to `wanted` stored samples, in place: the
    // part up to the end of the array, then the part from its start.
    struct Stretches
    {
        const float* first = nullptr;
        int firstCount = 0;
        const float* second = nullptr;
        int secondCount = 0;

        int total() const noexcept { return firstCount + secondCount; }
    };

    // Reader thread only. peek() shows the samples without taking them;
    // consume() then takes the first `count` of them (at most what peek showed).
    Stretches peek (int wanted) const noexcept;
    void consume (int count) noexcept;

    // Empties the buffer (the samples are left as they are). Only while no
    // writer is attached and the reader cannot be reading: see ChannelTable.
    void reset() noexcept;

    int32_t getCapacity() const noexcept { return capacity; }
    int32_t getReadPos() const noexcept { return readPos.load (std::memory_order_acquire); }
    int32_t getWritePos() const noexcept { return writePos.load (std::memory_order_acquire); }

    // Number of stored samples, as seen from any thread (a momentary value).
    int32_t fill() const noexcept { return fillOf (getWritePos(), getReadPos()); }

    // How the two sides have kept pace since the buffer was made, readable
    // from any thread: samples the writer had to drop because the buffer was
    // full (the reader fell behind, or is not running), and reads that found
    // fewer samples than they wanted (the writer fell behind, or has
    // nothing). Each count is kept by its own side only, so counting costs
    // neither side a lock or a shared write.
    uint64_t getDroppedSamples() const noexcept { return droppedSamples.load (std::memory_order_relaxed); }
    uint64_t getShortReads() const noexcept { return shortReads.load (std::memory_order_relaxed); }

private:
    int32_t fillOf (int32_t w, int32_t r) const noexcept
    {
        const auto d = w - r;
        return d < 0 ? d + capacity : d;
    }

    // Room for whole frames: the one place kept empty makes the plain room odd.
    int32_t roomOf (int32_t w, int32_t r) const noexcept { return (capacity - 1 - fillOf (w, r)) & ~1; }

    const int32_t capacity = defaultCapacity;
    std::unique_ptr<float[]> samples;
    std::atomic<int32_t> readPos { 0 };
    std::atomic<int32_t> writePos { 0 };
    std::atomic<uint64_t> droppedSamples { 0 };
    std::atomic<uint64_t> shortReads { 0 };
};

} // namespace loomwell
