#pragma once

#include "DeviceInstance.h"
#include "WakeObserver.h"

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace loomwell
{

class DeviceListListener;
class PipeWireConnection;

// One source of a console's slot, kept across a hot-plug run so that a
// reopened console gets it back.
struct SavedSource
{
    std::string bundleId; // the identifier: bundle id, or an input device's UID
    std::string name;
    int32_t sourceKind = sourceKindApplication;
    uint32_t deviceId = 0; // an input device's id when it was saved

    bool operator== (const SavedSource&) const = default;
};

// Per serial, the sources of slots 0 to 3 in slot order.
using SavedAssignments = std::map<std::string, std::array<std::vector<SavedSource>, ChannelTable::numSlots>>;

// What the tracker needs of the captures that feed the consoles' channels.
// The capture layer sits above this library, so the program installs these
// (SourceRouter::connect); unset members do nothing.
struct CaptureHooks
{
    // Stops every capture registered for the console's channels. Called
    // before those channels' ring buffers go away: before a reopen rebuilds
    // the table, before the console is destroyed.
    std::function<void (DeviceInstance&)> stopCaptures;

    // Puts a saved source back on a slot of a reopened console, with its
    // capture.
    std::function<void (DeviceInstance&, uint32_t slot, const SavedSource&)> restoreSource;

    // After every run, for each open console: input sources on its slots
    // whose capture is not running (the device was not there when the
    // source was restored, or it went away and has come back) are captured
    // again when a device with their UID is there now.
    std::function<void (DeviceInstance&)> resumeInputs;
};

// The consoles Loomwell works with, at most one per USB serial, in the order
// in which they were first opened. Main thread only, except
// queueDeviceListChange.
class DeviceTracker
{
public:
    static DeviceTracker& instance();

    // Told on the main thread, synchronously, just before a console leaves
    // `devices` and is destroyed: unplugged, dropped after a wake (where the
    // state-changed post comes only with the rescan, seconds later) or at
    // shut-down. Whoever keeps a reference to a console lets go of it here.
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void consoleWillBeRemoved (DeviceInstance& console) = 0;
    };

    void addListener (Listener* listener);
    void removeListener (Listener* listener);

    // Brings `devices` in line with the consoles on USB: drops the ones
    // that left, creates and opens the new ones.
    void scanForDevices();

    // Queues a run of handleDeviceListChange on the message thread. Any
    // thread. While a queued run has not started yet, further requests are
    // folded into it (see coalesceQueuedRuns).
    void queueDeviceListChange();

    // After a change of the device list or of a console's device manager:
    // closes stale consoles, scans, reopens what is still attached and puts
    // its sources back, then posts "LMWDeviceStateChanged".
    void handleDeviceListChange();

    // The computer woke: every console is dropped at once and a fresh scan
    // follows two seconds later (rescanAfterWake).
    void handleSystemWake();
    void rescanAfterWake();

    // The device-list listener (start-up, after the first scan, and
    // shut-down, before the consoles are closed). Install sets
    // listenerInstalled to whether the registration succeeded.
    void installDeviceListListener (PipeWireConnection&);
    void removeDeviceListListener();

    // Shut-down: stops the captures, closes every console, first to last,
    // then destroys them, last to first.
    void closeAndDestroyAll();

    bool listenerInstalled = false;
    std::vector<std::unique_ptr<DeviceInstance>> devices;
    bool scanning = false;
    std::unique_ptr<WakeObserver> wakeObserver;

    CaptureHooks captureHooks;

    // A plug-in makes the sound server announce a node, its ports and its
    // device, and the console's manager broadcasts too: each would queue a
    // full run. Runs that are queued but not started yet see the same
    // world, so one of them is enough.
    bool coalesceQueuedRuns = true;

    static constexpr int wakeRescanDelayMs = 2000;

    // How the hot-plug runs went (measurements, tests).
    struct RunStatistics
    {
        int requests = 0;  // queueDeviceListChange calls
        int queued = 0;    // runs actually queued
        int runs = 0;      // runs that went through (not skipped)
        std::chrono::microseconds totalTime { 0 };
        std::chrono::microseconds longestTime { 0 };
    };
    RunStatistics runStatistics;

private:
    DeviceTracker();
    ~DeviceTracker();

    void stopCaptures (DeviceInstance&);
    void restore (DeviceInstance&, const SavedAssignments::mapped_type& slots);
    void destroyAll();
    void announceRemoval (DeviceInstance&);

    std::unique_ptr<DeviceListListener> deviceListListener;
    std::vector<Listener*> listeners;
    std::atomic<bool> runQueued { false };
};

} // namespace loomwell
