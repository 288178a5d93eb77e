#pragma once

#include "ConsoleCaptures.h"
#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "ListedUsbRegistry.h"
#include "MessagePump.h"
#include "PipeWireDeviceType.h"
#include "PipeWireSuite.h"

#include <chrono>

namespace loomwell::testing
{

// A suite whose consoles the tracker opens on sinks of the private PipeWire
// world, through the program's own device types and capture hooks; only the
// USB bus is in-process (`registry`, one Vantor unless a test lists others).
class ConsoleSuite : public PipeWireSuite
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (ready) << world->logs();
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = addLinuxDeviceTypes;
        connectTrackerToCaptures (tracker);
    }

    void TearDown() override
    {
        tracker.closeAndDestroyAll();
        pumpFor (std::chrono::milliseconds (50));
        tracker.captureHooks = {};
        deviceBackends() = {};
    }

    DeviceTracker& tracker = DeviceTracker::instance();
    ListedUsbRegistry registry { std::vector<UsbDeviceAttributes> { { "3a7d", "7401", "V1", "0123", "Mixora Vantor" } } };
};

} // namespace loomwell::testing
