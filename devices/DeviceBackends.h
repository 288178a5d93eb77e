#pragma once

#include "UsbRegistry.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <functional>

namespace loomwell
{

// What the consoles reach the outside world through. The program installs
// the system's back-ends at start-up (libudev, the PipeWire device type
// followed by JUCE's own types); tests install in-process fakes.
struct DeviceBackends
{
    // Not owned; nullptr counts as a registry that cannot be asked.
    UsbRegistry* usbRegistry = nullptr;

    // Fills a console's device manager with its device types, in the order
    // in which they are searched. Empty: JUCE's default types.
    std::function<void (juce::OwnedArray<juce::AudioIODeviceType>&)> createDeviceTypes;
};

// Process-wide; main thread only.
DeviceBackends& deviceBackends();

} // namespace loomwell
