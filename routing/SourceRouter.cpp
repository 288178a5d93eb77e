#include "SourceRouter.h"

#include "InputCapture.h"
#include "PipeWireDeviceType.h"

namespace loomwell
{

namespace
{
class LiveCaptures final : public CaptureBackend
{
    PipeWireConnection& connection;

    static std::shared_ptr<ConsoleLanes> lanesOf (DeviceInstance& device)
    {
        return consoleLanes (device.getDeviceManager().getCurrentAudioDevice());
    }

public:
    explicit LiveCaptures (PipeWireConnection& graph) : connection (graph) {}

    void startApp (DeviceInstance& device, const std::string& bundleId, int32_t channelId,
                   std::shared_ptr<RingBuffer> ring, AbsentApp absent) override
    {
        startAppCapture (&device, lanesOf (device), bundleId, channelId, std::move (ring), absent);
    }

    void startInput (DeviceInstance& device, uint32_t deviceId, int32_t channelId, std::shared_ptr<RingBuffer> ring) override
    {
        startInputCapture (&device, lanesOf (device), deviceId, channelId, std::move (ring));
    }

    void stop (DeviceInstance& device, int32_t channelId) override
    {
        stopAppCapture (&device, channelId);
        stopInputCapture (&device, channelId);
    }

    void move (DeviceInstance& device, int32_t from, int32_t to) override
    {
        moveAppCapture (&device, from, to);
        moveInputCapture (&device, from, to);
    }

    void stopAll (DeviceInstance& device) override
    {
        stopAllAppCaptures (&device);
        stopAllInputCaptures (&device);
    }

    bool inputIsLive (DeviceInstance& device, int32_t channelId) override { return inputCaptureIsLive (&device, channelId); }

    std::vector<InputDevice> listInputs() override { return listInputDevices (connection); }
};
} // namespace

std::unique_ptr<CaptureBackend> CaptureBackend::live (PipeWireConnection& connection)
{
    return std::make_unique<LiveCaptures> (connection);
}

int32_t SourceRouter::addApp (DeviceInstance& device, uint32_t slot, const std::string& bundleId, const std::string& name,
                              AbsentApp absent)
{
    const auto channelId = device.addChannel (slot, bundleId, name);
    if (channelId >= 0)
        if (auto ring = device.getChannelTable().shareRingBuffer (channelId))
            captures.startApp (device, bundleId, channelId, std::move (ring), absent);
    return channelId;
}

int32_t SourceRouter::addInput (DeviceInstance& device, uint32_t slot, const std::string& uid, const std::string& name,
                                uint32_t deviceId)
{
    const auto channelId = device.addInputChannel (slot, uid, name, deviceId);
    if (channelId >= 0)
        if (auto ring = device.getChannelTable().shareRingBuffer (channelId))
            captures.startInput (device, deviceId, channelId, std::move (ring));
    return channelId;
}

RemoveOutcome SourceRouter::remove (DeviceInstance& device, uint32_t slot, const std::string& identifier)
{
    // The table decides which entry goes. Its writer may run on a little
    // after the entry left: it holds its own share of the buffer, which the
    // table no longer mixes or empties in place.
    const auto outcome = device.removeChannel (slot, identifier);
    if (! outcome.changed())
        return outcome;

    captures.stop (device, outcome.removedChannelId);
    if (outcome.movedFromChannelId >= 0)
        captures.move (device, outcome.movedFromChannelId, outcome.movedToChannelId);
    return outcome;
}

void SourceRouter::connect (DeviceTracker& tracker)
{
    tracker.captureHooks.stopCaptures = [this] (DeviceInstance& device) { captures.stopAll (device); };
    tracker.captureHooks.restoreSource = [this] (DeviceInstance& device, uint32_t slot, const SavedSource& source)
    {
        restore (device, slot, source);
    };
    tracker.captureHooks.resumeInputs = [this] (DeviceInstance& device) { resumeInputs (device); };
}

void SourceRouter::restore (DeviceInstance& device, uint32_t slot, const SavedSource& source)
{
    if (source.sourceKind != sourceKindInputDevice)
    {
        // Applications come back on their own time after a sound server
        // restart: the capture waits for them.
        addApp (device, slot, source.bundleId, source.name, AbsentApp::waitForIt);
        return;
    }

    // A device that came back may carry a new id; its UID stays. One that
    // is not there yet keeps its slot and is captured once it returns
    // (resumeInputs).
    auto deviceId = source.deviceId;
    for (const auto& input : captures.listInputs())
        if (input.uid == source.bundleId)
        {
            deviceId = input.deviceId;
            break;
        }
    addInput (device, slot, source.bundleId, source.name, deviceId);
}

void SourceRouter::resumeInputs (DeviceInstance& device)
{
    std::vector<InputDevice> inputs;
    bool listed = false;
    for (const auto& entry : device.getChannelTable().copyChannelStates())
    {
        if (! entry.active || entry.sourceKind != sourceKindInputDevice || captures.inputIsLive (device, entry.channelId))
            continue;
        if (! listed)
        {
            inputs = captures.listInputs();
            listed = true;
        }
        for (const auto& input : inputs)
        {
            if (input.uid != entry.bundleId)
                continue;
            if (auto ring = device.getChannelTable().shareRingBuffer (entry.channelId))
                captures.startInput (device, input.deviceId, entry.channelId, std::move (ring));
            break;
        }
    }
}

} // namespace loomwell
