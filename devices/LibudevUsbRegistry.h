#pragma once

#include "UsbRegistry.h"

namespace loomwell
{

// The USB devices (not their interfaces) that udev knows of, read afresh
// on every call. Main thread.
class LibudevUsbRegistry final : public UsbRegistry
{
public:
    std::optional<std::vector<UsbDeviceAttributes>> listDevices() override;
};

} // namespace loomwell
