#pragma once

#include "AppCapture.h"
#include "DeviceTracker.h"
#include "InputDevices.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace loomwell
{

// The captures as the router drives them: filed by console and channel id.
// The live one is PipeWire's (capture/); tests put a recording one in.
class CaptureBackend
{
public:
    virtual ~CaptureBackend() = default;

    virtual void startApp (DeviceInstance&, const std::string& bundleId, int32_t channelId,
                           std::shared_ptr<RingBuffer>, AbsentApp) = 0;
    virtual void startInput (DeviceInstance&, uint32_t deviceId, int32_t channelId, std::shared_ptr<RingBuffer>) = 0;
    // Whatever capture is filed under the channel, application or input.
    virtual void stop (DeviceInstance&, int32_t channelId) = 0;
    virtual void move (DeviceInstance&, int32_t fromChannelId, int32_t toChannelId) = 0;
    virtual void stopAll (DeviceInstance&) = 0;
    virtual bool inputIsLive (DeviceInstance&, int32_t channelId) = 0;
    virtual std::vector<InputDevice> listInputs() = 0;

    // The captures of the consoles' lanes (capture/) on this connection.
    static std::unique_ptr<CaptureBackend> live (PipeWireConnection&);
};

// The one owner of a source together with its capture. Whoever puts a
// source on a slot, takes it off or brings it back after a reopen (the
// menus, the hot-plug restore) goes through here, so that which entry a
// removal takes, and which capture stops or moves with it, is decided once:
// by the channel table. Main thread only.
class SourceRouter
{
public:
    explicit SourceRouter (CaptureBackend& backend) : captures (backend) {}

    // The entry's channel id, or -1 when the slot has no room (or the
    // console is not open); the capture is started for a new entry only.
    int32_t addApp (DeviceInstance&, uint32_t slot, const std::string& bundleId, const std::string& name,
                    AbsentApp absent = AbsentApp::giveUp);
    int32_t addInput (DeviceInstance&, uint32_t slot, const std::string& uid, const std::string& name, uint32_t deviceId);

    // Stops exactly the capture of the entry the table took the source
    // from; a source the slot entry takes over keeps its capture, now filed
    // under the slot entry. Nothing is stopped when nothing was removed.
    RemoveOutcome remove (DeviceInstance&, uint32_t slot, const std::string& identifier);

    // Installs the tracker's capture hooks: stops before a console's
    // channels go, restores saved sources, resumes inputs that came back.
    void connect (DeviceTracker&);

private:
    void restore (DeviceInstance&, uint32_t slot, const SavedSource&);
    void resumeInputs (DeviceInstance&);

    CaptureBackend& captures;
};

} // namespace loomwell
