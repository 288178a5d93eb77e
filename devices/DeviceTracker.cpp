#include "DeviceTracker.h"

#include "DeviceBackends.h"
#include "UsbProbe.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

namespace loomwell
{

namespace
{
// Stands in when no registry is installed: it cannot be asked.
class AbsentUsbRegistry final : public UsbRegistry
{
public:
    std::optional<std::vector<UsbDeviceAttributes>> listDevices() override { return std::nullopt; }
};
} // namespace

DeviceTracker& DeviceTracker::instance()
{
    static DeviceTracker tracker;
    return tracker;
}

DeviceTracker::~DeviceTracker()
{
    destroyAll();
}

void DeviceTracker::scanForDevices()
{
    std::fprintf (stderr, "LMW: === scanForDevices ===\n");

    AbsentUsbRegistry absent;
    auto* registry = deviceBackends().usbRegistry;
    const auto records = probeUsbConsoles (registry != nullptr ? *registry : absent);

    std::set<std::string> attached;
    for (const auto& record : records)
        attached.insert (record.serial);

    for (auto it = devices.begin(); it != devices.end();)
    {
        auto& device = **it;
        if (attached.contains (device.serial))
        {
            ++it;
            continue;
        }

        std::fprintf (stderr, "LMW:   removing %s (S/N %s) — unplugged\n", device.displayName.c_str(), device.serial.c_str());
        device.close();
        it = devices.erase (it);
    }

    for (const auto& record : records)
    {
        const auto tracked = std::any_of (devices.begin(), devices.end(),
                                          [&] (const auto& device) { return device->serial == record.serial; });
        if (tracked)
            continue;

        const auto model = modelForProductId (record.productId);
        std::fprintf (stderr, "LMW:   adding %s (S/N %s)\n", model.displayName.c_str(), record.serial.c_str());

        auto device = std::make_unique<DeviceInstance> (model, record.serial, record.firmware);
        if (device->open())
        {
            std::fprintf (stderr, "LMW:   opened %s (S/N %s)\n", model.displayName.c_str(), record.serial.c_str());
            devices.push_back (std::move (device));
        }
        else
        {
            std::fprintf (stderr, "LMW:   FAILED to open %s (S/N %s)\n", model.displayName.c_str(), record.serial.c_str());
        }
    }

    std::fprintf (stderr, "LMW: now tracking %d devices\n", static_cast<int> (devices.size()));
}

void DeviceTracker::handleDeviceListChange()
{
    if (scanning)
    {
        std::fprintf (stderr, "LMW: handleDeviceListChange (skipped, already scanning)\n");
        return;
    }

    scanning = true;
    std::fprintf (stderr, "LMW: handleDeviceListChange\n");
    scanForDevices();
    scanning = false;
}

void DeviceTracker::closeAndDestroyAll()
{
    for (auto& device : devices)
        device->close();

    destroyAll();
}

void DeviceTracker::destroyAll()
{
    while (! devices.empty())
        devices.pop_back();
}

} // namespace loomwell
