#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <functional>
#include <string>
#include <vector>

namespace loomwell::test
{

// An in-process audio system for deviceBackends().createDeviceTypes: the
// output devices it lists (the first is the system's default), opened,
// started and stopped as a driver would, never called back. Main thread only.
class VirtualAudioWorld
{
public:
    struct ListedDevice
    {
        std::string name;
        int numOutputs = 10;
    };

    std::vector<ListedDevice> devices;

    std::function<void (juce::OwnedArray<juce::AudioIODeviceType>&)> typeFactory();
};

} // namespace loomwell::test
