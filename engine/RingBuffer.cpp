#include "RingBuffer.h"

#include <algorithm>
#include <cstring>

namespace loomwell
{

RingBuffer::RingBuffer()
    : samples (new float[static_cast<size_t> (defaultCapacity)]())
{
}

void RingBuffer::write (const float* src, int count) noexcept
{
    const auto r = readPos.load (std::memory_order_acquire);
    const auto w = writePos.load (std::memory_order_relaxed);
    const auto room = roomOf (w, r);

    if (count <= 0)
        return;

    const auto n = std::max (0, std::min (room, count));

    if (n < count)
        droppedSamples.store (droppedSamples.load (std::memory_order_relaxed) + static_cast<uint64_t> (count - n),
                              std::memory_order_relaxed);

    if (n == 0)
        return;

    const auto first = std::min (capacity - w, n);
    std::memcpy (samples.get() + w, src, static_cast<size_t> (first) * sizeof (float));

    if (n > first)
        std::memcpy (samples.get(), src + first, static_cast<size_t> (n - first) * sizeof (float));

    writePos.store ((w + n) % capacity, std::memory_order_release);
}

int RingBuffer::writeSilence (int count) noexcept
{
    const auto r = readPos.load (std::memory_order_acquire);
    const auto w = writePos.load (std::memory_order_relaxed);
    const auto n = std::min (roomOf (w, r), count);

    if (n <= 0)
        return 0;

    const auto first = std::min (capacity - w, n);
    std::memset (samples.get() + w, 0, static_cast<size_t> (first) * sizeof (float));

    if (n > first)
        std::memset (samples.get(), 0, static_cast<size_t> (n - first) * sizeof (float));

    writePos.store ((w + n) % capacity, std::memory_order_release);
    return n;
}

RingBuffer::Stretches RingBuffer::peek (int wanted) const noexcept
{
    const auto w = writePos.load (std::memory_order_acquire);
    const auto r = readPos.load (std::memory_order_relaxed);
    const auto k = std::min (fillOf (w, r), wanted);

    Stretches result;

    if (k <= 0)
        return result;

    result.first = samples.get() + r;
    result.firstCount = std::min (capacity - r, k);
    result.second = samples.get();
    result.secondCount = k - result.firstCount;
    return result;
}

void RingBuffer::consume (int count) noexcept
{
    if (count <= 0)
        return;

    const auto r = readPos.load (std::memory_order_relaxed);
    readPos.store ((r + count) % capacity, std::memory_order_release);
}

int RingBuffer::read (float* dst, int wanted) noexcept
{
    const auto stretches = peek (wanted);

    if (stretches.total() < wanted)
        shortReads.store (shortReads.load (std::memory_order_relaxed) + 1, std::memory_order_relaxed);

    if (stretches.total() == 0)
        return 0;

    std::memcpy (dst, stretches.first, static_cast<size_t> (stretches.firstCount) * sizeof (float));
    std::memcpy (dst + stretches.firstCount, stretches.second, static_cast<size_t> (stretches.secondCount) * sizeof (float));
    consume (stretches.total());
    return stretches.total();
}

void RingBuffer::reset() noexcept
{
    readPos.store (0, std::memory_order_release);
    writePos.store (0, std::memory_order_release);
}

} // namespace loomwell
