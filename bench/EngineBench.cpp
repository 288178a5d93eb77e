// Cost of the mixing callback and of the ring buffer, each next to a plain
// memcpy of the bytes it has to move. Figures only: nothing here passes or
// fails on speed. scripts/bench runs this and derives the ratios.
//
// How the callback is kept fed. Every block must find a full block of
// samples in each ring buffer, or the callback would take its cheaper
// underrun path. Refilling under PauseTiming/ResumeTiming would cost two
// timer reads (system calls) per block, far more than a small block itself,
// and part of that cost leaks into the figure. Instead each iteration writes
// exactly one block (2n samples) into every source's ring buffer and then
// runs the callback, which drains it again: the buffers sit at the same fill
// the whole run, as they do with a capture that keeps pace with the device,
// and no timer is touched inside the loop. BM_FeedOnly times the same writes
// on their own, so the callback's own cost is BM_MixBlockFed - BM_FeedOnly.
// After each run the buffers are checked to hold what they should and the
// last block's outputs to be the exact sums, so a run that did not mix full
// blocks reports an error rather than a figure.
//
// Fed that way, the callback reads samples written a moment before, still in
// this core's caches. A real capture writes from another thread, milliseconds
// earlier. BM_MixBlockCold shows that case: it fills each buffer with as many
// blocks as it holds, under PauseTiming, and mixes them one block per
// iteration, so the samples of 16 sources (3 MB of buffers) come mostly
// from the cache shared by all cores. The pause costs about a microsecond once per 23 blocks or more,
// which is small next to what the blocks cost there.
//
// All sample values are multiples of 1/64 below 1, so every sum of a few of
// them is exact and the check does not depend on the order of the adds.

#include "ChannelTable.h"
#include "Mixer.h"
#include "RingBuffer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

using loomwell::ChannelTable;
using loomwell::RingBuffer;

constexpr int numOutputs = 10;

float sampleValue (int source, int index) noexcept
{
    return static_cast<float> ((index * 7 + source * 13) % 61 - 30) / 64.0f;
}

std::vector<float> makeInterleavedBlock (int source, int frames)
{
    std::vector<float> block (static_cast<size_t> (2 * frames));

    for (int i = 0; i < 2 * frames; ++i)
        block[static_cast<size_t> (i)] = sampleValue (source, i);

    return block;
}

// Bytes the callback cannot avoid moving: every sample of every source's
// block out of its ring buffer, and every sample of every output channel.
int64_t callbackBytesPerBlock (int sources, int frames) noexcept
{
    return static_cast<int64_t> (sizeof (float)) * (int64_t { 2 } * sources * frames + int64_t { numOutputs } * frames);
}

int64_t feedBytesPerBlock (int sources, int frames) noexcept
{
    return static_cast<int64_t> (sizeof (float)) * int64_t { 2 } * sources * frames;
}

struct Outputs
{
    explicit Outputs (int frames)
    {
        for (auto& channel : data)
            channel.assign (static_cast<size_t> (frames), 0.0f);

        for (size_t i = 0; i < data.size(); ++i)
            pointers[i] = data[i].data();
    }

    std::array<std::vector<float>, numOutputs> data;
    std::array<float*, numOutputs> pointers {};
};

// A console's table with `sources` active sources spread four to a slot
// (one source: on "Music"), prepared for blocks of `frames`.
struct MixRig
{
    MixRig (int sources, int frames) : outputs (frames), numFrames (frames)
    {
        table.rebuildSlotEntries();
        table.prepareToMix (frames);

        for (int s = 0; s < sources; ++s)
        {
            const auto slot = static_cast<uint32_t> (s / ChannelTable::maxSourcesPerSlot);
            const auto id = "bench.source." + std::to_string (s);
            const auto channelId = table.addChannel (slot, id, id);

            if (channelId < 0)
                continue;

            rings.push_back (table.ringBufferFor (channelId));
            pairs.push_back (ChannelTable::slotOutputPairs[slot]);
            blocks.push_back (makeInterleavedBlock (s, frames));
        }
    }

    bool complete (int wantedSources) const
    {
        return static_cast<int> (rings.size()) == wantedSources;
    }

    void feed() noexcept
    {
        for (size_t s = 0; s < rings.size(); ++s)
            rings[s]->write (blocks[s].data(), 2 * numFrames);
    }

    void mix() noexcept
    {
        loomwell::mixBlock (table, outputs.pointers.data(), numOutputs, numFrames);
    }

    // True when every ring buffer holds `blocksLeft` blocks and the latest
    // block's outputs are exactly the sums of the sources' blocks.
    bool lastBlockWasFull (int blocksLeft = 0) const
    {
        for (const auto* ring : rings)
            if (ring->fill() != 2 * numFrames * blocksLeft)
                return false;

        for (int out = 0; out < numOutputs; ++out)
        {
            for (int j = 0; j < numFrames; ++j)
            {
                float expected = 0.0f;

                for (size_t s = 0; s < rings.size(); ++s)
                    if (2 * pairs[s] + (out & 1) == out)
                        expected += blocks[s][static_cast<size_t> (2 * j + (out & 1))];

                if (outputs.data[static_cast<size_t> (out)][static_cast<size_t> (j)] != expected)
                    return false;
            }
        }

        return true;
    }

    ChannelTable table;
    Outputs outputs;
    int numFrames;
    std::vector<RingBuffer*> rings;
    std::vector<int32_t> pairs;
    std::vector<std::vector<float>> blocks;
};

//==============================================================================
void BM_MixBlockFed (benchmark::State& state)
{
    const auto sources = static_cast<int> (state.range (0));
    const auto frames = static_cast<int> (state.range (1));
    MixRig rig (sources, frames);

    if (! rig.complete (sources))
    {
        state.SkipWithError ("the table refused a source");
        return;
    }

    // The first block sizes each source's block buffer for this length.
    rig.feed();
    rig.mix();

    for (auto _ : state)
    {
        rig.feed();
        rig.mix();
        benchmark::ClobberMemory();
    }

    if (! rig.lastBlockWasFull())
        state.SkipWithError ("the callback did not mix full blocks");

    state.SetBytesProcessed (state.iterations() * (callbackBytesPerBlock (sources, frames)
                                                   + feedBytesPerBlock (sources, frames)));
}

void BM_MixBlockCold (benchmark::State& state)
{
    const auto sources = static_cast<int> (state.range (0));
    const auto frames = static_cast<int> (state.range (1));
    MixRig rig (sources, frames);

    if (! rig.complete (sources))
    {
        state.SkipWithError ("the table refused a source");
        return;
    }

    rig.feed();
    rig.mix();

    const auto blocksPerFill = (RingBuffer::defaultCapacity - 1) / (2 * frames);
    int blocksLeft = 0;

    for (auto _ : state)
    {
        if (blocksLeft == 0)
        {
            state.PauseTiming();

            for (int b = 0; b < blocksPerFill; ++b)
                rig.feed();

            blocksLeft = blocksPerFill;
            state.ResumeTiming();
        }

        rig.mix();
        --blocksLeft;
        benchmark::ClobberMemory();
    }

    if (! rig.lastBlockWasFull (blocksLeft))
        state.SkipWithError ("the callback did not mix full blocks");

    state.SetBytesProcessed (state.iterations() * callbackBytesPerBlock (sources, frames));
}

// The writes of BM_MixBlockFed alone. Nothing reads here, so the buffers
// are emptied whenever the next block would not fit: that is two atomic
// stores per buffer every few dozen blocks at least, too little to show.
void BM_FeedOnly (benchmark::State& state)
{
    const auto sources = static_cast<int> (state.range (0));
    const auto frames = static_cast<int> (state.range (1));
    const auto count = 2 * frames;

    std::vector<std::unique_ptr<RingBuffer>> rings;
    std::vector<std::vector<float>> blocks;

    for (int s = 0; s < sources; ++s)
    {
        rings.push_back (std::make_unique<RingBuffer>());
        blocks.push_back (makeInterleavedBlock (s, frames));
    }

    const auto blocksPerFill = (RingBuffer::defaultCapacity - 1) / count;
    int fed = 0;

    for (auto _ : state)
    {
        for (size_t s = 0; s < rings.size(); ++s)
            rings[s]->write (blocks[s].data(), count);

        if (++fed == blocksPerFill)
        {
            for (auto& ring : rings)
                ring->reset();

            fed = 0;
        }

        benchmark::ClobberMemory();
    }

    state.SetBytesProcessed (state.iterations() * feedBytesPerBlock (sources, frames));
}

// The least any callback must do: copy each source's block out of its
// buffer, and write every output channel once.
void BM_CopyBaseline (benchmark::State& state)
{
    const auto sources = static_cast<int> (state.range (0));
    const auto frames = static_cast<int> (state.range (1));
    const auto blockBytes = static_cast<size_t> (2 * frames) * sizeof (float);
    const auto channelBytes = static_cast<size_t> (frames) * sizeof (float);

    std::vector<std::vector<float>> blocks;

    for (int s = 0; s < sources; ++s)
        blocks.push_back (makeInterleavedBlock (s, frames));

    std::vector<float> scratch (static_cast<size_t> (2 * frames), 0.0f);
    Outputs outputs (frames);

    for (auto _ : state)
    {
        for (const auto& block : blocks)
        {
            std::memcpy (scratch.data(), block.data(), blockBytes);
            benchmark::ClobberMemory();
        }

        for (int out = 0; out < numOutputs; ++out)
            std::memcpy (outputs.pointers[static_cast<size_t> (out)], scratch.data() + (out & 1) * frames, channelBytes);

        benchmark::ClobberMemory();
    }

    state.SetBytesProcessed (state.iterations() * callbackBytesPerBlock (sources, frames));
}

//==============================================================================
// One block of one source through the FIFO: written, then read back.
void BM_RingWriteRead (benchmark::State& state)
{
    const auto frames = static_cast<int> (state.range (0));
    const auto count = 2 * frames;
    const auto src = makeInterleavedBlock (0, frames);
    std::vector<float> dst (static_cast<size_t> (count), 0.0f);
    RingBuffer ring;

    for (auto _ : state)
    {
        ring.write (src.data(), count);
        benchmark::DoNotOptimize (ring.read (dst.data(), count));
        benchmark::ClobberMemory();
    }

    if (ring.fill() != 0 || dst != src)
        state.SkipWithError ("the ring buffer lost samples");

    state.SetBytesProcessed (state.iterations() * static_cast<int64_t> (count) * static_cast<int64_t> (sizeof (float)));
}

// The same bytes copied in and out of a region of the ring's size, moving
// through it as the ring's positions do, minus the bookkeeping.
void BM_RingMemcpy (benchmark::State& state)
{
    const auto frames = static_cast<int> (state.range (0));
    const auto count = 2 * frames;
    const auto bytes = static_cast<size_t> (count) * sizeof (float);
    const auto src = makeInterleavedBlock (0, frames);
    std::vector<float> dst (static_cast<size_t> (count), 0.0f);
    std::vector<float> region (static_cast<size_t> (RingBuffer::defaultCapacity), 0.0f);
    int pos = 0;

    for (auto _ : state)
    {
        std::memcpy (region.data() + pos, src.data(), bytes);
        benchmark::ClobberMemory();
        std::memcpy (dst.data(), region.data() + pos, bytes);
        benchmark::ClobberMemory();

        pos += count;

        if (pos > RingBuffer::defaultCapacity - count)
            pos = 0;
    }

    if (dst != src)
        state.SkipWithError ("the copy lost samples");

    state.SetBytesProcessed (state.iterations() * static_cast<int64_t> (bytes));
}

// Other work on the machine only ever adds time, so with repetitions the
// smallest of them is the steadiest figure of the code's own cost.
double fastestOf (const std::vector<double>& runs)
{
    return runs.empty() ? 0.0 : *std::min_element (runs.begin(), runs.end());
}

} // namespace

BENCHMARK (BM_MixBlockFed)->ArgNames ({ "sources", "frames" })->ArgsProduct ({ { 0, 1, 16 }, { 128, 512, 1024 } })->ComputeStatistics ("min", fastestOf);
BENCHMARK (BM_MixBlockCold)->ArgNames ({ "sources", "frames" })->ArgsProduct ({ { 1, 16 }, { 128, 512, 1024 } })->ComputeStatistics ("min", fastestOf);
BENCHMARK (BM_FeedOnly)->ArgNames ({ "sources", "frames" })->ArgsProduct ({ { 1, 16 }, { 128, 512, 1024 } })->ComputeStatistics ("min", fastestOf);
BENCHMARK (BM_CopyBaseline)->ArgNames ({ "sources", "frames" })->ArgsProduct ({ { 0, 1, 16 }, { 128, 512, 1024 } })->ComputeStatistics ("min", fastestOf);
BENCHMARK (BM_RingWriteRead)->ArgName ("frames")->Arg (128)->Arg (512)->Arg (1024)->ComputeStatistics ("min", fastestOf);
BENCHMARK (BM_RingMemcpy)->ArgName ("frames")->Arg (128)->Arg (512)->Arg (1024)->ComputeStatistics ("min", fastestOf);

BENCHMARK_MAIN();
