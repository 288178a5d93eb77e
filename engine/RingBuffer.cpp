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
    const auto room = capacity - 1 - fillOf (w, r);

    if (room < 1 || count <= 0)
        return;

    const auto n = std::min (room, count);
    const auto first = std::min (capacity - w, n);
    std::memcpy (samples.get() + w, src, static_cast<size_t> (first) * sizeof (float));

    if (n > first)
        std::memcpy (samples.get(), src + first, static_cast<size_t> (n - first) * sizeof (float));

    writePos.store ((w + n) % capacity, std::memory_order_release);
}

int RingBuffer::read (float* dst, int wanted) noexcept
{
    const auto w = writePos.load (std::memory_order_acquire);
    const auto r = readPos.load (std::memory_order_relaxed);
    const auto k = std::min (fillOf (w, r), wanted);

    if (k <= 0)
        return 0;

    const auto first = std::min (capacity - r, k);
    std::memcpy (dst, samples.get() + r, static_cast<size_t> (first) * sizeof (float));

    if (k > first)
        std::memcpy (dst + first, samples.get(), static_cast<size_t> (k - first) * sizeof (float));

    readPos.store ((r + k) % capacity, std::memory_order_release);
    return k;
}

void RingBuffer::reset() noexcept
{
    readPos.store (0, std::memory_order_release);
    writePos.store (0, std::memory_order_release);
}

} // namespace loomwell
