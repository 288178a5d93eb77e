#pragma once

#include <optional>
#include <string>
#include <vector>

namespace loomwell
{

// The attributes of one USB device as the registry reports them: raw text,
// hexadecimal for the numbers, absent when the device has no such attribute.
struct UsbDeviceAttributes
{
    std::optional<std::string> idVendor;
    std::optional<std::string> idProduct;
    std::optional<std::string> serial;
    std::optional<std::string> bcdDevice;
    std::optional<std::string> product;
};

// The seam between the console discovery and the system's USB device
// registry (libudev in the program, an in-process list in unit tests).
class UsbRegistry
{
public:
    virtual ~UsbRegistry() = default;

    // Every USB device, in the registry's order; std::nullopt when the
    // registry cannot be asked at all.
    virtual std::optional<std::vector<UsbDeviceAttributes>> listDevices() = 0;
};

} // namespace loomwell
