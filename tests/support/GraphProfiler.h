#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace loomwell::testing
{

// What the PipeWire graph reported about its cycles, counted the way pw-top
// counts its ERR column: a driver's own xrun count, and every cycle in which
// a node (driver or follower) had not finished when the profiler looked.
struct GraphHealth
{
    uint64_t cycles = 0;                            // profiled driver cycles
    uint64_t xruns = 0;                             // increase of the drivers' xrun counts
    uint64_t unfinished = 0;                        // node-cycles that did not finish
    std::map<std::string, uint64_t> unfinishedByNode;
    std::map<std::string, uint64_t> xrunsByDriver;
    std::map<std::string, float> slowLoadByDriver; // latest slow CPU load, 0..1 of the cycle

    GraphHealth since (const GraphHealth& earlier) const;
    std::string describe() const;
};

// Listens to the daemon's profiler (the one pw-top reads) through a
// connection of its own in the process's PipeWire world.
class GraphProfiler
{
public:
    GraphProfiler();
    ~GraphProfiler();

    GraphProfiler (const GraphProfiler&) = delete;
    GraphProfiler& operator= (const GraphProfiler&) = delete;

    // Connects and binds the profiler; false when the daemon has none.
    bool start();

    // Everything counted since start.
    GraphHealth totals() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace loomwell::testing
