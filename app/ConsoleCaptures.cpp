#include "ConsoleCaptures.h"

#include "AppCapture.h"
#include "InputCapture.h"
#include "InputDevices.h"

namespace loomwell
{

void connectTrackerToCaptures (DeviceTracker& tracker)
{
    tracker.captureHooks.stopCaptures = [] (DeviceInstance& device)
    {
        stopAllAppCaptures (&device);
        stopAllInputCaptures (&device);
    };

    tracker.captureHooks.findInputDevice = [] (const std::string& uid) -> std::optional<uint32_t>
    {
        for (const auto& input : listInputDevices())
            if (input.uid == uid)
                return input.deviceId;
        return std::nullopt;
    };

    tracker.captureHooks.resumeInputs = [] (DeviceInstance& device)
    {
        std::vector<InputDevice> inputs;
        bool listed = false;
        for (const auto& entry : device.getChannelTable().copyChannelStates())
        {
            if (! entry.active || entry.sourceKind != sourceKindInputDevice || inputCaptureIsLive (&device, entry.channelId))
                continue;
            if (! listed)
            {
                inputs = listInputDevices();
                listed = true;
            }
            for (const auto& input : inputs)
                if (input.uid == entry.bundleId)
                    if (auto ring = device.getChannelTable().shareRingBuffer (entry.channelId))
                        startInputCapture (&device, input.deviceId, entry.channelId, std::move (ring));
        }
    };

    tracker.captureHooks.startCapture = [] (DeviceInstance& device, const SavedSource& source, int32_t channelId,
                                            std::shared_ptr<RingBuffer> ring)
    {
        if (source.sourceKind == sourceKindInputDevice)
            startInputCapture (&device, source.deviceId, channelId, std::move (ring));
        else
            startAppCapture (&device, source.bundleId, channelId, std::move (ring), AbsentApp::waitForIt);
    };
}

namespace
{
// The entry removeChannel will take the source from: an extra entry of the
// slot that carries it, else the slot entry when it is active and carries it.
int32_t entryToBeRemoved (DeviceInstance& device, uint32_t slot, const std::string& identifier)
{
    const auto states = device.getChannelTable().copyChannelStates();
    if (slot >= states.size() || slot >= static_cast<uint32_t> (ChannelTable::numSlots))
        return -1;

    const auto pair = states[slot].outputPair;
    for (size_t i = ChannelTable::numSlots; i < states.size(); ++i)
        if (states[i].outputPair == pair && states[i].bundleId == identifier)
            return states[i].channelId;

    return states[slot].active && states[slot].bundleId == identifier ? states[slot].channelId : -1;
}
} // namespace

RemoveOutcome removeSourceFromSlot (DeviceInstance& device, uint32_t slot, const std::string& identifier)
{
    if (const auto removed = entryToBeRemoved (device, slot, identifier); removed >= 0)
    {
        stopAppCapture (&device, removed);
        stopInputCapture (&device, removed);
    }

    const auto outcome = device.removeChannel (slot, identifier);

    // Should the table have chosen another entry after all, its writer stops now.
    if (outcome.changed() && outcome.removedChannelId != outcome.movedToChannelId)
    {
        stopAppCapture (&device, outcome.removedChannelId);
        stopInputCapture (&device, outcome.removedChannelId);
    }

    if (outcome.movedFromChannelId >= 0)
    {
        moveAppCapture (&device, outcome.movedFromChannelId, outcome.movedToChannelId);
        moveInputCapture (&device, outcome.movedFromChannelId, outcome.movedToChannelId);
    }

    return outcome;
}

} // namespace loomwell
