#pragma once

#include "AppList.h"
#include "InputDevices.h"
#include "RingBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace loomwell
{
class DeviceInstance;
}

namespace loomwell::ui
{

// What the slot menus and the source picker do to the world: list sources,
// start their captures, take them off a slot. live() is the program's; the
// menu tests replace single entries.
struct SourceActions
{
    // Blocking (at most 5 s); runs off the message thread.
    std::function<std::vector<CapturableApp>()> listApps;
    // Main thread.
    std::function<std::vector<InputDevice>()> listInputs;
    std::function<void (DeviceInstance&, const std::string& bundleId, int32_t channelId, std::shared_ptr<RingBuffer>)> startApp;
    std::function<void (DeviceInstance&, uint32_t deviceId, int32_t channelId, std::shared_ptr<RingBuffer>)> startInput;
    // Stops the capture of channelId (an input capture for a device source,
    // an application capture otherwise), then takes the identifier off the
    // slot; the capture of a source the slot entry takes over keeps playing.
    std::function<void (DeviceInstance&, uint32_t slot, const std::string& identifier, int32_t channelId, bool isDevice)> removeSource;

    static SourceActions live();
};

} // namespace loomwell::ui
