#include "InstanceClaim.h"

#include <cerrno>

namespace loomwell
{

InstanceClaim::InstanceClaim()
{
    if (sd_bus_open_user (&bus) < 0)
    {
        bus = nullptr;
        return;
    }

    // No queueing: the name is ours now, or somebody else's.
    const int r = sd_bus_request_name (bus, busName, 0);
    if (r >= 0 || r == -EALREADY)
        outcome = Result::claimed;
    else if (r == -EEXIST)
        outcome = Result::alreadyHeld;
}

InstanceClaim::~InstanceClaim()
{
    if (bus != nullptr)
        sd_bus_flush_close_unref (bus);
}

} // namespace loomwell
