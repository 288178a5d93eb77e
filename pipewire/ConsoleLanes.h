#pragma once

#include "RingBuffer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace loomwell
{

class PipeWireConnection;

// The inputs of a console's node: lanes, each a pair of input ports (FL,
// FR) of the node that plays into the console. Whatever is linked into a
// lane's ports reaches the node in the same graph cycle as the node mixes,
// under the console's driver: the node writes the lane's block into the ring
// buffer of the source it carries, then mixes. A capture takes a lane, links
// its source's ports into the lane's ports, and gives the lane back.
//
// The lanes outlive the node (a capture may still hold them when the
// console's device closes): what the node's process reads goes through here.
class ConsoleLanes
{
public:
    // Four sources on each of four slots.
    static constexpr int numLanes = 16;

    explicit ConsoleLanes (PipeWireConnection& connection) : graph (connection) {}

    // The connection the node and whatever links into its lanes live on.
    PipeWireConnection& connection() const noexcept { return graph; }

    // Registry ids of a lane's node and ports; 0 while not known.
    struct Ports
    {
        uint32_t node = 0, left = 0, right = 0;
    };

    // Main thread. A free lane, writing into `ring` from the next cycle on;
    // -1 when none is free or the node's ports are not known.
    int acquire (std::shared_ptr<RingBuffer> ring);
    // Main thread. Once it returns, the lane writes nowhere and its share of
    // the ring buffer is gone. The lane is taken again last of all, so that
    // links still being taken down never feed another source.
    void release (int lane);
    Ports ports (int lane) const;

    // Main thread, by the node: its ports' registry ids, or none once it is gone.
    void setPorts (const std::array<Ports, numLanes>& ids);
    void clearPorts();

    // Main thread, by the node: told when the first lane is taken and when
    // the last is given back, so that the node runs only while it carries
    // a source. Cleared before the node goes.
    std::function<void (bool anyInUse)> inUseChanged;
    bool anyInUse() const noexcept { return inUse > 0; }

    // The node's process (data thread): brackets every cycle, and gives each
    // lane's ring buffer (null: the lane is free).
    void enterCycle() noexcept { inCycle.store (true); }
    void leaveCycle() noexcept { inCycle.store (false); }
    RingBuffer* target (int lane) const noexcept { return targets[static_cast<size_t> (lane)].load(); }

private:
    PipeWireConnection& graph;
    std::array<std::atomic<RingBuffer*>, numLanes> targets {};
    std::atomic<bool> inCycle { false };
    // Main thread only.
    std::array<std::shared_ptr<RingBuffer>, numLanes> shares;
    std::array<Ports, numLanes> portIds {};
    std::array<uint64_t, numLanes> releasedAt {};
    uint64_t releases = 0;
    int inUse = 0;
};

} // namespace loomwell
