#pragma once

#include "DeviceInstance.h"

#include <memory>
#include <vector>

namespace loomwell
{

// The consoles Loomwell works with, at most one per USB serial, in the order
// in which they were first opened. Main thread only.
class DeviceTracker
{
public:
    static DeviceTracker& instance();

    // Brings `devices` in line with the consoles on USB: drops the ones
    // that left, creates and opens the new ones.
    void scanForDevices();

    // Run (queued on the message thread) after a change of the device list
    // or of a console's device manager.
    void handleDeviceListChange();

    // Shut-down: closes every console, first to last, then destroys them,
    // last to first.
    void closeAndDestroyAll();

    bool listenerInstalled = false;
    std::vector<std::unique_ptr<DeviceInstance>> devices;
    bool scanning = false;

private:
    DeviceTracker() = default;
    ~DeviceTracker();

    void destroyAll();
};

} // namespace loomwell
