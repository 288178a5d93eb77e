#pragma once

#include "UsbRegistry.h"

#include <optional>
#include <utility>
#include <vector>

namespace loomwell::testing
{

// A USB registry that lists what the test put in it; std::nullopt stands for
// a registry that cannot be asked.
class ListedUsbRegistry final : public UsbRegistry
{
public:
    ListedUsbRegistry() = default;
    explicit ListedUsbRegistry (std::vector<UsbDeviceAttributes> listed) : devices (std::move (listed)) {}

    std::optional<std::vector<UsbDeviceAttributes>> listDevices() override { return devices; }

    std::optional<std::vector<UsbDeviceAttributes>> devices = std::vector<UsbDeviceAttributes> {};
};

} // namespace loomwell::testing
