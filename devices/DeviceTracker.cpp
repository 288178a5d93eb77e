#include "DeviceTracker.h"

#include "DeviceBackends.h"
#include "DeviceListListener.h"
#include "Notifications.h"
#include "UsbProbe.h"

#include <juce_events/juce_events.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

namespace loomwell
{

namespace
{
// Stands in when no registry is installed: it cannot be asked.
class AbsentUsbRegistry final : public UsbRegistry
{
public:
    std::optional<std::vector<UsbDeviceAttributes>> listDevices() override { return std::nullopt; }
};
} // namespace

DeviceTracker& DeviceTracker::instance()
{
    static DeviceTracker tracker;
    return tracker;
}

DeviceTracker::DeviceTracker() = default;

DeviceTracker::~DeviceTracker()
{
    // Process exit: the capture registries may be gone already, so no hook
    // runs here; after a normal shut-down nothing is left anyway.
    deviceListListener.reset();
    wakeObserver.reset();
    destroyAll();
}

void DeviceTracker::scanForDevices()
{
    std::fprintf (stderr, "LMW: === scanForDevices ===\n");

    AbsentUsbRegistry absent;
    auto* registry = deviceBackends().usbRegistry;
    const auto records = probeUsbConsoles (registry != nullptr ? *registry : absent);

    std::set<std::string> attached;
    for (const auto& record : records)
        attached.insert (record.serial);

    for (auto it = devices.begin(); it != devices.end();)
    {
        auto& device = **it;
        if (attached.contains (device.serial))
        {
            ++it;
            continue;
        }

        std::fprintf (stderr, "LMW:   removing %s (S/N %s) — unplugged\n", device.displayName.c_str(), device.serial.c_str());
        stopCaptures (device);
        device.close();
        announceRemoval (device);
        it = devices.erase (it);
    }

    for (const auto& record : records)
    {
        const auto tracked = std::any_of (devices.begin(), devices.end(),
                                          [&] (const auto& device) { return device->serial == record.serial; });
        if (tracked)
            continue;

        const auto model = modelForProductId (record.productId);
        std::fprintf (stderr, "LMW:   adding %s (S/N %s)\n", model.displayName.c_str(), record.serial.c_str());

        auto device = std::make_unique<DeviceInstance> (model, record.serial, record.firmware);
        if (device->open())
        {
            std::fprintf (stderr, "LMW:   opened %s (S/N %s)\n", model.displayName.c_str(), record.serial.c_str());
            devices.push_back (std::move (device));
        }
        else
        {
            std::fprintf (stderr, "LMW:   FAILED to open %s (S/N %s)\n", model.displayName.c_str(), record.serial.c_str());
        }
    }

    std::fprintf (stderr, "LMW: now tracking %d devices\n", static_cast<int> (devices.size()));
}

void DeviceTracker::queueDeviceListChange()
{
    ++runStatistics.requests;
    if (runQueued.exchange (true) && coalesceQueuedRuns)
        return;

    ++runStatistics.queued;
    juce::MessageManager::callAsync ([]
    {
        auto& tracker = instance();
        // Cleared before the run starts: a change during the run queues another.
        tracker.runQueued = false;
        tracker.handleDeviceListChange();
    });
}

void DeviceTracker::handleDeviceListChange()
{
    if (scanning)
    {
        std::fprintf (stderr, "LMW: handleDeviceListChange (skipped, already scanning)\n");
        return;
    }

    const auto started = std::chrono::steady_clock::now();
    scanning = true;
    std::fprintf (stderr, "LMW: handleDeviceListChange\n");

    SavedAssignments saved;
    for (const auto& device : devices)
    {
        auto& slots = saved[device->serial];
        for (uint32_t slot = 0; slot < ChannelTable::numSlots; ++slot)
            for (const auto& source : device->channelsForSlot (slot))
                slots[slot].push_back ({ source.bundleId, source.name, source.sourceKind, source.deviceId });
    }

    for (const auto& device : devices)
    {
        if (! device->isStale())
            continue;

        std::fprintf (stderr, "LMW:   %s (S/N %s) JUCE handle stale, closing\n", device->displayName.c_str(), device->serial.c_str());
        device->close();
    }

    scanForDevices();

    for (const auto& device : devices)
    {
        if (device->isOpen())
            continue;

        std::fprintf (stderr, "LMW:   trying to reopen %s (S/N %s)\n", device->displayName.c_str(), device->serial.c_str());

        // A successful open rebuilds the table and with it every ring buffer.
        stopCaptures (*device);
        if (! device->open())
            continue;

        const auto entry = saved.find (device->serial);
        if (entry == saved.end())
            continue;

        restore (*device, entry->second);
        std::fprintf (stderr, "LMW:   restored slot assignments for S/N %s\n", device->serial.c_str());
    }

    if (captureHooks.resumeInputs)
        for (auto& device : devices)
            if (device->isOpen())
                captureHooks.resumeInputs (*device);

    scanning = false;
    NotificationCentre::defaultCentre().post (deviceStateChangedNotification);

    const auto took = std::chrono::duration_cast<std::chrono::microseconds> (std::chrono::steady_clock::now() - started);
    ++runStatistics.runs;
    runStatistics.totalTime += took;
    runStatistics.longestTime = std::max (runStatistics.longestTime, took);
}

void DeviceTracker::restore (DeviceInstance& device, const SavedAssignments::mapped_type& slots)
{
    if (! captureHooks.restoreSource)
        return;

    for (uint32_t slot = 0; slot < slots.size(); ++slot)
        for (const auto& source : slots[slot])
            captureHooks.restoreSource (device, slot, source);
}

void DeviceTracker::handleSystemWake()
{
    std::fprintf (stderr, "LMW: system wake detected, forcing rescan\n");

    for (auto& device : devices)
    {
        stopCaptures (*device);
        device->close();
    }
    destroyAll();

    juce::Timer::callAfterDelay (wakeRescanDelayMs, [] { instance().rescanAfterWake(); });
}

void DeviceTracker::rescanAfterWake()
{
    std::fprintf (stderr, "LMW: post-wake rescan\n");
    scanForDevices();
    NotificationCentre::defaultCentre().post (deviceStateChangedNotification);
}

void DeviceTracker::installDeviceListListener (PipeWireConnection& connection)
{
    deviceListListener = DeviceListListener::install (connection, [] { instance().queueDeviceListChange(); });
    listenerInstalled = deviceListListener != nullptr;
}

void DeviceTracker::removeDeviceListListener()
{
    deviceListListener.reset();
    listenerInstalled = false;
}

void DeviceTracker::closeAndDestroyAll()
{
    for (auto& device : devices)
    {
        stopCaptures (*device);
        device->close();
    }

    destroyAll();
}

void DeviceTracker::stopCaptures (DeviceInstance& device)
{
    if (captureHooks.stopCaptures)
        captureHooks.stopCaptures (device);
}

void DeviceTracker::destroyAll()
{
    while (! devices.empty())
    {
        announceRemoval (*devices.back());
        devices.pop_back();
    }
}

void DeviceTracker::addListener (Listener* listener)
{
    if (std::find (listeners.begin(), listeners.end(), listener) == listeners.end())
        listeners.push_back (listener);
}

void DeviceTracker::removeListener (Listener* listener)
{
    listeners.erase (std::remove (listeners.begin(), listeners.end(), listener), listeners.end());
}

void DeviceTracker::announceRemoval (DeviceInstance& device)
{
    // A listener may remove itself or another one while it is told.
    const auto told = listeners;
    for (auto* listener : told)
        if (std::find (listeners.begin(), listeners.end(), listener) != listeners.end())
            listener->consoleWillBeRemoved (device);
}

} // namespace loomwell
