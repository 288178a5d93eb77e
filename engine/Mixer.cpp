#include "Mixer.h"

#include <algorithm>
#include <cmath>

namespace loomwell
{
namespace
{

// One pass over a source's interleaved block: add its two channels into the
// slot's outputs where the device has them, and find the block's peak.
// Written for the compiler to vectorise (the reduction pragma lets it reorder
// the max, which it may not do for floats otherwise); one pass instead of one
// per step keeps it close to the cost of merely copying the samples.
template <bool toLeft, bool toRight>
float addAndMeasure (const float* __restrict src, float* __restrict outLeft, float* __restrict outRight,
                     int frames) noexcept
{
    float peak = 0.0f;

#pragma omp simd reduction(max : peak)
    for (int j = 0; j < frames; ++j)
    {
        const float l = src[2 * j];
        const float r = src[2 * j + 1];

        if constexpr (toLeft)
            outLeft[j] += l;

        if constexpr (toRight)
            outRight[j] += r;

        peak = std::max (peak, std::max (std::abs (l), std::abs (r)));
    }

    return peak;
}

struct HeldMixList
{
    explicit HeldMixList (ChannelTable& t) noexcept : table (t), list (t.beginMix()) {}
    ~HeldMixList() { table.endMix(); }

    HeldMixList (const HeldMixList&) = delete;
    HeldMixList& operator= (const HeldMixList&) = delete;

    ChannelTable& table;
    const ChannelTable::MixList& list;
};

} // namespace

void mixBlock (ChannelTable& table, float* const* outputs, int numOutputs, int numFrames) noexcept
{
    const int frames = std::max (numFrames, 0);
    const int numOuts = outputs != nullptr ? std::max (numOutputs, 0) : 0;

    for (int i = 0; i < numOuts; ++i)
        if (outputs[i] != nullptr)
            juce::FloatVectorOperations::clear (outputs[i], frames);

    const HeldMixList held (table);

    if (held.list.entries.empty())
        return;

    auto& scratch = table.getMixScratch();
    const auto wanted = 2 * frames;

    if (scratch.size() < static_cast<size_t> (wanted))
    {
        try
        {
            scratch.resize (static_cast<size_t> (wanted));
        }
        catch (...)
        {
            return; // no memory for a longer block: leave it silent
        }
    }

    for (const auto& entry : held.list.entries)
    {
        const int leftIndex = 2 * entry.outputPair;
        const int rightIndex = leftIndex + 1;
        auto* outLeft = leftIndex >= 0 && leftIndex < numOuts ? outputs[leftIndex] : nullptr;
        auto* outRight = rightIndex >= 0 && rightIndex < numOuts ? outputs[rightIndex] : nullptr;

        // A pair beyond the device's channels is still read and metered, so
        // that its ring buffer does not fill up, but not heard.
        const auto mixFrames = [&] (const float* src, int offset, int count)
        {
            auto* ol = outLeft != nullptr ? outLeft + offset : nullptr;
            auto* orr = outRight != nullptr ? outRight + offset : nullptr;

            if (ol != nullptr && orr != nullptr)
                return addAndMeasure<true, true> (src, ol, orr, count);
            if (ol != nullptr)
                return addAndMeasure<true, false> (src, ol, nullptr, count);
            if (orr != nullptr)
                return addAndMeasure<false, true> (src, nullptr, orr, count);
            return addAndMeasure<false, false> (src, nullptr, nullptr, count);
        };

        // A full block of whole frames is mixed where it lies in the ring
        // buffer; a short one, or one whose frame straddles the end of the
        // array, goes through the scratch and is padded with silence.
        const auto stretches = entry.ringBuffer->peek (wanted);
        float peak;

        if (stretches.total() == wanted && stretches.firstCount % 2 == 0)
        {
            const int firstFrames = stretches.firstCount / 2;
            peak = mixFrames (stretches.first, 0, firstFrames);

            if (stretches.secondCount > 0)
                peak = std::max (peak, mixFrames (stretches.second, firstFrames, stretches.secondCount / 2));

            entry.ringBuffer->consume (wanted);
        }
        else
        {
            const auto got = entry.ringBuffer->read (scratch.data(), wanted);
            juce::FloatVectorOperations::clear (scratch.data() + got, wanted - got);
            peak = mixFrames (scratch.data(), 0, frames);
        }

        entry.channel->level.store (peak, std::memory_order_relaxed);
    }
}

} // namespace loomwell
