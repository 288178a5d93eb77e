#include "SampleConversion.h"

#include <algorithm>

namespace loomwell
{

int writeSampleBlock (const SampleBlock& block, RingBuffer* ringBuffer, ConversionScratch scratch) noexcept
{
    if (ringBuffer == nullptr || block.frames < 1 || block.numBuffers < 1 || block.numBuffers > SampleBlock::maxBuffers
        || block.channelsInFirstBuffer < 1 || block.data[0] == nullptr)
        return 0;

    if (block.channelsInFirstBuffer >= 2)
    {
        // Taken to be two-channel interleaved, as the stream was asked for.
        const int count = 2 * block.frames;
        ringBuffer->write (block.data[0], count);
        return count;
    }

    const float* left = block.data[0];
    const float* right = block.numBuffers >= 2 ? block.data[1] : left;
    if (right == nullptr || scratch.samples == nullptr)
        return 0;

    const int frames = std::min (block.frames, scratch.capacity / 2);
    for (int i = 0; i < frames; ++i)
    {
        scratch.samples[2 * i] = left[i];
        scratch.samples[2 * i + 1] = right[i];
    }
    ringBuffer->write (scratch.samples, 2 * frames);
    return 2 * frames;
}

int writeCapturedBlock (const SampleBlock& block, RingBuffer* ringBuffer, ConversionScratch scratch,
                        int64_t nowNanos) noexcept
{
    if (ringBuffer != nullptr && block.frames > 0)
    {
        const auto wanted = ringBuffer->wantedSoon (nowNanos);
        const auto fill = ringBuffer->fill();

        // Never more than a quarter of the buffer: slack must not crowd out audio.
        if (fill < wanted)
        {
            ringBuffer->tookSlack (ringBuffer->writeSilence (std::min (wanted - fill, ringBuffer->getCapacity() / 4)));
        }

        ringBuffer->noteWriteClear (ringBuffer->readJustHappened (nowNanos));
    }

    return writeSampleBlock (block, ringBuffer, scratch);
}

} // namespace loomwell
