#pragma once

#include "RingBuffer.h"

#include <cstdint>

namespace loomwell
{

// One block of captured audio as the capture stream hands it over: a list of
// buffers, each with its channel count, plus the frame count. Plain pointers,
// so that a stream callback can describe its buffers without allocating and a
// test can build any layout, odd ones included.
struct SampleBlock
{
    static constexpr int maxBuffers = 8;

    int frames = 0;
    int numBuffers = 0;                       // 0 .. maxBuffers
    int channelsInFirstBuffer = 0;
    const float* data[maxBuffers] = {};       // data[b]: buffer b, or null
};

// Scratch for interleaving planar audio, sized once by its owner. A block
// longer than the scratch can hold is cut to what the scratch holds: no ring
// buffer takes more than its capacity in one write anyway.
struct ConversionScratch
{
    float* samples = nullptr;
    int capacity = 0; // in floats
};

// Writes one block into the ring buffer as interleaved stereo with a single
// RingBuffer::write (which drops what does not fit):
//   - no buffers, zero channels, no frames or a null pointer that is needed: nothing;
//   - two or more channels in the first buffer: its first 2 x frames floats, unchanged;
//   - one channel in each of two or more buffers: planar stereo from the first two;
//   - one buffer of one channel: mono, the same sample on both sides.
// Returns the number of floats offered to the ring buffer. Real-time safe: no
// lock, no wait, no allocation.
int writeSampleBlock (const SampleBlock& block, RingBuffer* ringBuffer, ConversionScratch scratch) noexcept;

// What a capture callback writes: the block as writeSampleBlock writes it,
// preceded by some silence when the reader is about to read and would not
// find a whole block without this one. The capture and the console run on
// different clocks (the source's device and the console's); when the
// console's read follows the capture's write closely, a little scheduling
// jitter now and then puts the read first, and the console would play a
// block of silence in the middle of the sound. The slack makes that read
// whole; it is taken only in that position, once (from then on the buffer
// holds it), so a source whose writes and reads are well apart gains no
// delay. Mostly that is at the capture's start, where the slack is only
// silence before the sound; when drifting clocks bring a read up to the
// writes later on, the slack is itself one block of silence, once, where
// the jitter would sooner or later have dropped one anyway. Each write also
// tells the buffer whether it came well clear of the reads; after a run of
// such writes the mixer gives the slack back where the source is silent.
// nowNanos: the steady clock, as the reader notes its reads.
// Returns what writeSampleBlock returns.
int writeCapturedBlock (const SampleBlock& block, RingBuffer* ringBuffer, ConversionScratch scratch,
                        int64_t nowNanos) noexcept;

} // namespace loomwell
