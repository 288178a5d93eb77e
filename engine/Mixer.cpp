#include "Mixer.h"

#include <algorithm>
#include <cmath>

namespace loomwell
{
namespace
{

// Both loops are written for the compiler to vectorise (the reduction
// pragma lets it reorder the max, which it may not do for floats otherwise).
void deinterleave (const float* __restrict src, float* __restrict left, float* __restrict right, int frames) noexcept
{
    for (int j = 0; j < frames; ++j)
    {
        left[j] = src[2 * j];
        right[j] = src[2 * j + 1];
    }
}

float peakOf (const float* __restrict samples, int count) noexcept
{
    float peak = 0.0f;

#pragma omp simd reduction(max : peak)
    for (int i = 0; i < count; ++i)
        peak = std::max (peak, std::abs (samples[i]));

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
        const auto got = entry.ringBuffer->read (scratch.data(), wanted);

        if (got < wanted)
            juce::FloatVectorOperations::clear (scratch.data() + got, wanted - got);

        auto& block = entry.channel->sourceBuffer;

        if (block.getNumChannels() != 2 || block.getNumSamples() != frames)
        {
            try
            {
                block.setSize (2, frames, false, false, true);
            }
            catch (...)
            {
                entry.channel->level.store (0.0f, std::memory_order_relaxed);
                continue; // consumed but not heard in this block
            }
        }

        auto* left = block.getWritePointer (0);
        auto* right = block.getWritePointer (1);
        deinterleave (scratch.data(), left, right, frames);

        const int leftOut = 2 * entry.outputPair;
        const int rightOut = leftOut + 1;

        if (frames >= 1 && leftOut < numOuts && outputs[leftOut] != nullptr)
            juce::FloatVectorOperations::add (outputs[leftOut], left, frames);

        if (frames >= 1 && rightOut < numOuts && outputs[rightOut] != nullptr)
            juce::FloatVectorOperations::add (outputs[rightOut], right, frames);

        entry.channel->level.store (std::max (peakOf (left, frames), peakOf (right, frames)),
                                    std::memory_order_relaxed);
    }
}

} // namespace loomwell
