#include "InputDevices.h"

#include "AppIdentity.h"
#include "PipeWireConnection.h"

#include <limits>

namespace loomwell
{

namespace
{

// "Audio/Source" and "Audio/Source/Virtual"; a sink's monitor is a set of
// ports on the sink, never a node of these classes.
bool isSourceClass (const std::string& mediaClass)
{
    return mediaClass == "Audio/Source" || mediaClass.rfind ("Audio/Source/", 0) == 0;
}

std::vector<std::string> channelsOf (const PipeWireConnection& connection, const PipeWireNode& node)
{
    if (! node.outputChannels.empty())
        return node.outputChannels;

    // A virtual source made from a null sink delivers through ports flagged
    // as monitors; they are still the source's only output.
    std::vector<std::string> monitors;
    for (const auto& port : connection.ports (node.id))
        if (! port.input)
            monitors.push_back (port.channel);
    return monitors;
}

// Object serials count up from 0 and are never reused; one that does not fit
// the 32-bit device ids of the channel table (or is missing) is not offered.
bool fitsDeviceId (uint64_t serial)
{
    return serial > 0 && serial <= std::numeric_limits<uint32_t>::max();
}

} // namespace

std::vector<InputDevice> listInputDevices (PipeWireConnection& connection)
{
    if (! connection.refresh())
        return {};

    std::vector<InputDevice> result;
    for (const auto& node : connection.allNodes())
    {
        if (! isSourceClass (node.mediaClass) || ! fitsDeviceId (node.serial) || channelsOf (connection, node).empty())
            continue;

        // A source without a description would give a blank menu item.
        InputDevice device;
        device.deviceId = static_cast<uint32_t> (node.serial);
        device.name = cleanText (node.displayName(), maxInputTextBytes);
        if (device.name.find ("Mixora") != std::string::npos)
            continue;
        device.uid = cleanText (node.name, maxInputTextBytes);
        result.push_back (std::move (device));
    }
    return result;
}

std::optional<InputSource> findInputSource (const PipeWireConnection& connection, uint32_t deviceId)
{
    for (const auto& node : connection.allNodes())
        if (isSourceClass (node.mediaClass) && node.serial == deviceId && deviceId != 0)
            return InputSource { node.id, deviceId, channelsOf (connection, node) };
    return std::nullopt;
}

} // namespace loomwell
