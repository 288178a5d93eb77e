#pragma once

#include "AppCapture.h"
#include "SourceRouter.h"
#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "InputCapture.h"
#include "InputDevices.h"
#include "ListedUsbRegistry.h"
#include "MessagePump.h"
#include "PipeWireDeviceType.h"
#include "PipeWireSuite.h"
#include "ToneSources.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace loomwell::testing
{

// A console on the in-process USB bus, the sink of the world that stands
// for its multitrack device, and the sources a test puts on each slot.
struct ConsoleWithSources
{
    UsbDeviceAttributes usb;
    std::string sinkName;
    std::string deviceName;
    std::array<std::vector<std::string>, ChannelTable::numSlots> slots;
};

// The id under which the input lists show the input of that UID (0: none).
inline uint32_t inputDeviceId (const std::string& uid)
{
    for (const auto& input : listInputDevices())
        if (input.uid == uid)
            return input.deviceId;
    return 0;
}

// What the source picker does: the source on the slot, its capture
// started. Returns the source's channel id (-1 when the slot is full).
inline int32_t addSourceWithCapture (DeviceInstance& device, uint32_t slot, SourceKind kind, const std::string& id,
                                     const std::string& name)
{
    auto& table = device.getChannelTable();
    if (kind == sourceKindApplication)
    {
        const auto channel = device.addChannel (slot, id, name);
        if (channel >= 0)
            startAppCapture (&device, id, channel, table.shareRingBuffer (channel));
        return channel;
    }
    const auto deviceId = inputDeviceId (id);
    const auto channel = device.addInputChannel (slot, id, name, deviceId);
    if (channel >= 0)
        startInputCapture (&device, deviceId, channel, table.shareRingBuffer (channel));
    return channel;
}

// A suite whose consoles the tracker opens on sinks of the private PipeWire
// world, through the program's own device types and capture hooks; only the
// USB bus is in-process (`registry`, one Vantor unless a test lists others).
// What a test starts in the world through the helpers below (tone
// applications, fed inputs, console sinks) is stopped after the consoles
// are closed.
class ConsoleSuite : public PipeWireSuite
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (ready) << world->logs();
        ASSERT_TRUE (PipeWireConnection::instance().refresh());
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = addLinuxDeviceTypes;
        SourceRouter::live().connect (tracker);
    }

    void TearDown() override
    {
        tracker.removeDeviceListListener();
        tracker.closeAndDestroyAll();
        pumpFor (std::chrono::milliseconds (50));
        tracker.captureHooks = {};
        tracker.coalesceQueuedRuns = true;
        deviceBackends() = {};
        stopSources();
        for (const auto sink : sinks)
            world->destroyNode (sink);
        sinks.clear();
    }

    // The tracker hears of the graph's changes, as the program does.
    void listenForDeviceChanges()
    {
        tracker.installDeviceListListener();
        ASSERT_TRUE (tracker.listenerInstalled);
    }

    std::optional<uint32_t> makeConsoleSink (const NullSinkOptions& options)
    {
        const auto sink = world->createNullSink (options);
        if (sink)
            sinks.push_back (*sink);
        return sink;
    }

    bool destroySink (uint32_t id)
    {
        std::erase (sinks, id);
        return world->destroyNode (id);
    }

    // A tone application of that identity, once it plays; -1 when it does not.
    pid_t playTone (const std::string& binary, const std::string& name, double frequency, float level,
                    double seconds = 60.0)
    {
        const auto path = world->runtimeDir() + "/" + binary + "-" + std::to_string (static_cast<int> (frequency)) + ".wav";
        writeToneWav (path, { { frequency, level } }, seconds);
        const auto pid = playToneApp (*world, binary, name, path);
        apps.push_back (pid);
        return pumpUntil ([pid] { return isPlaying (pid); }) ? pid : -1;
    }

    // An input fed with tones (see makeFedSource); false when it is not there.
    bool feedInput (const std::string& uid, const std::string& description, const std::vector<Sine>& tones,
                    double seconds = 60.0)
    {
        sources.push_back (makeFedSource (*world, uid, description, tones, seconds));
        return sources.back().node.has_value();
    }

    void stopSources()
    {
        for (const auto pid : apps)
            PipeWireWorld::stopProcess (pid);
        apps.clear();
        for (auto& source : sources)
            stopFedSource (*world, source);
        sources.clear();
    }

    DeviceInstance* consoleWithSerial (const std::string& serial)
    {
        for (auto& device : tracker.devices)
            if (device->serial == serial)
                return device.get();
        return nullptr;
    }

    static uint32_t inputDeviceId (const std::string& uid) { return testing::inputDeviceId (uid); }

    static int32_t addSourceWithCapture (DeviceInstance& device, uint32_t slot, SourceKind kind,
                                         const std::string& id, const std::string& name)
    {
        return testing::addSourceWithCapture (device, slot, kind, id, name);
    }

    // 1.2 s of what a console's sink plays, from its monitor.
    std::optional<Recording> record (uint32_t sink, int channels = 10)
    {
        const auto path = world->runtimeDir() + "/console" + std::to_string (recordings++) + ".wav";
        const auto recorder = world->startRecording (sink, channels, path);
        if (! recorder)
            return std::nullopt;
        pumpFor (std::chrono::milliseconds (1200));
        if (! world->stopRecording (*recorder))
            return std::nullopt;
        return readFloatWav (path);
    }

    static size_t count (const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (auto at = text.find (what); at != std::string::npos; at = text.find (what, at + what.size()))
            ++n;
        return n;
    }

    DeviceTracker& tracker = DeviceTracker::instance();
    ListedUsbRegistry registry { std::vector<UsbDeviceAttributes> { { "3a7d", "7401", "V1", "0123", "Mixora Vantor" } } };
    std::vector<pid_t> apps;
    std::vector<FedSource> sources;
    std::vector<uint32_t> sinks;
    int recordings = 0;
};

} // namespace loomwell::testing
