#include "DeviceBackends.h"

namespace loomwell
{

DeviceBackends& deviceBackends()
{
    static DeviceBackends backends;
    return backends;
}

} // namespace loomwell
