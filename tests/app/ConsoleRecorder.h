#pragma once

// What a console's sink plays, recorded in this process from the sink's
// monitor, with the moment each graph cycle delivered its block: the
// recording says when sound first arrived and at which quantum the graph
// ran, which a recorder in another process cannot.

#include "PipeWireWorld.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace loomwell::testing
{

class ConsoleRecorder
{
public:
    using Clock = std::chrono::steady_clock;

    struct Block
    {
        Clock::time_point when; // the cycle's start as this process saw it
        uint32_t firstFrame = 0;
        uint32_t frames = 0;
    };

    // Room for that many seconds; later cycles are counted but not kept.
    ConsoleRecorder (int channels, double maxSeconds);
    ~ConsoleRecorder();

    ConsoleRecorder (const ConsoleRecorder&) = delete;
    ConsoleRecorder& operator= (const ConsoleRecorder&) = delete;

    // Records the monitor of the sink with that node name; true once the
    // first block has arrived.
    bool start (const std::string& sinkName, std::chrono::milliseconds timeout = std::chrono::seconds (10));
    void stop();

    // After stop(): the samples as a recording of the test helpers, the
    // cycles, and the quantum most of them had.
    Recording recording() const;
    const std::vector<Block>& blocks() const { return cycles; }
    uint32_t quantum() const;

    // When one of these channels first carried more than `threshold`.
    std::optional<Clock::time_point> firstSound (const std::vector<int>& channels, float threshold = 1.0e-3f) const;

    bool writeWav (const std::string& path) const;

private:
    static void process (void* data);

    struct Loop;
    std::unique_ptr<Loop> loop;
    const int numChannels;
    std::vector<float> samples;  // preallocated: the process callback only copies
    std::vector<Block> cycles;   // likewise
    std::atomic<uint32_t> frames { 0 };
    std::atomic<uint32_t> numCycles { 0 };
};

} // namespace loomwell::testing
