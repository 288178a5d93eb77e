#include "ConsoleLanes.h"

#include <thread>

namespace loomwell
{

int ConsoleLanes::acquire (std::shared_ptr<RingBuffer> ring)
{
    int chosen = -1;
    for (int lane = 0; lane < numLanes; ++lane)
    {
        const auto i = static_cast<size_t> (lane);
        if (shares[i] == nullptr && portIds[i].left != 0 && (chosen < 0 || releasedAt[i] < releasedAt[static_cast<size_t> (chosen)]))
            chosen = lane;
    }
    if (chosen < 0 || ring == nullptr)
        return -1;
    const auto i = static_cast<size_t> (chosen);
    targets[i].store (ring.get());
    shares[i] = std::move (ring);
    if (++inUse == 1 && inUseChanged)
        inUseChanged (true);
    return chosen;
}

void ConsoleLanes::release (int lane)
{
    if (lane < 0 || lane >= numLanes)
        return;
    const auto i = static_cast<size_t> (lane);
    targets[i].store (nullptr);
    // A cycle that read the old target before the store ends before this
    // returns; one that begins later sees null (both sides are sequentially
    // consistent, so one of them sees the other's store).
    while (inCycle.load())
        std::this_thread::yield();
    if (shares[i] == nullptr)
        return;
    shares[i].reset();
    releasedAt[i] = ++releases;
    if (--inUse == 0 && inUseChanged)
        inUseChanged (false);
}

ConsoleLanes::Ports ConsoleLanes::ports (int lane) const
{
    return lane >= 0 && lane < numLanes ? portIds[static_cast<size_t> (lane)] : Ports {};
}

void ConsoleLanes::setPorts (const std::array<Ports, numLanes>& ids)
{
    portIds = ids;
}

void ConsoleLanes::clearPorts()
{
    portIds = {};
}

} // namespace loomwell
