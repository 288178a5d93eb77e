#pragma once

#include "PopoverViewController.h"
#include "UiTestSupport.h"

#include "DeviceBackends.h"
#include "DeviceInstance.h"
#include "DeviceTracker.h"
#include "ListedUsbRegistry.h"
#include "VirtualDeviceType.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace loomwell::ui::testing
{

// Consoles that the tracker opens from an in-process USB bus on an
// in-process audio system (a Trel's and a Vantor's multitrack device unless
// a test lists others), and the popover a test makes over them.
class VirtualConsoleSuite : public ::testing::Test
{
protected:
    void SetUp() override
    {
        world.devices = { { "Built-in Audio", 2 }, { "Mixora Trel Main Multitrack", 10 }, { "Mixora Vantor Main Multitrack", 10 } };
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = world.typeFactory();
    }

    void TearDown() override
    {
        popover.reset();
        tracker.closeAndDestroyAll();
        pumpFor (0.05);
        deviceBackends() = {};
    }

    // The tracker opens the listed consoles, as at start-up.
    void plugIn (std::vector<UsbDeviceAttributes> consoles)
    {
        registry.devices = std::move (consoles);
        ::testing::internal::CaptureStderr();
        tracker.scanForDevices();
        ::testing::internal::GetCapturedStderr();
    }

    DeviceInstance& console (size_t index) { return *tracker.devices.at (index); }

    DeviceTracker& tracker = DeviceTracker::instance();
    loomwell::test::VirtualAudioWorld world;
    loomwell::testing::ListedUsbRegistry registry;
    std::unique_ptr<PopoverViewController> popover;
};

} // namespace loomwell::ui::testing
