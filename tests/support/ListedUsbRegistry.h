#pragma once

#include "UsbRegistry.h"

namespace loomwell::testing
{

// A USB registry that lists what the test put in it; nothing stands for a
// registry that cannot be asked.
struct ListedUsbRegistry final : UsbRegistry
{
    ListedUsbRegistry (std::vector<UsbDeviceAttributes> listed = {}) : devices (std::move (listed)) {}
    std::optional<std::vector<UsbDeviceAttributes>> listDevices() override { return devices; }
    std::optional<std::vector<UsbDeviceAttributes>> devices;
};

} // namespace loomwell::testing
