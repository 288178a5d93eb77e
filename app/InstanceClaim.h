#pragma once

#include <systemd/sd-bus.h>

namespace loomwell
{

// One Loomwell per desktop session: a second one would open every console
// again, and each slot would play its sources twice. The claim is a name on
// the session bus, which the bus takes back however the process ends, so a
// crash leaves nothing stale behind and nothing is written to disk.
class InstanceClaim
{
public:
    static constexpr const char* busName = "org.loomwell.Loomwell";

    enum class Result
    {
        claimed,     // this process holds the name for its life
        alreadyHeld, // another process of this session holds it
        unavailable  // no session bus (or it refused): nothing to claim with
    };

    InstanceClaim();
    ~InstanceClaim();

    InstanceClaim (const InstanceClaim&) = delete;
    InstanceClaim& operator= (const InstanceClaim&) = delete;

    Result result() const noexcept { return outcome; }

private:
    sd_bus* bus = nullptr;
    Result outcome = Result::unavailable;
};

} // namespace loomwell
