// Hot-plug runs, wake and slot restore against an in-process audio system and
// USB registry; the capture layer is replaced by hooks that record what the
// tracker asks of it.

#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "JuceEnvironment.h"
#include "ListedUsbRegistry.h"
#include "MessagePump.h"
#include "Notifications.h"
#include "VirtualDeviceType.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace loomwell;
using loomwell::test::VirtualAudioWorld;
using loomwell::testing::ListedUsbRegistry;
using loomwell::testing::pumpFor;
using namespace std::chrono_literals;

namespace
{

[[maybe_unused]] const auto* const juceEnvironment =
    ::testing::AddGlobalTestEnvironment (new loomwell::testing::JuceEnvironment);

UsbDeviceAttributes trel (const std::string& serial) { return { "3a7d", "7301", serial, "0105", std::nullopt }; }

const std::string trelDevice = "Mixora Trel Main Multitrack";

std::string openText (const std::string& serial)
{
    return "LMW: DeviceInstance::open() for Mixora Trel (S/N " + serial + ")\n"
           "LMW:   tryOpen for 'Mixora Trel' (coreAudioId=0), JUCE sees 2 devices:\n"
           "LMW:     [0] 'Built-in Audio'\n"
           "LMW:     [1] '" + trelDevice + "'\n"
           "LMW:   opened JUCE device '" + trelDevice + "'\n"
           "LMW:   claimed JUCE name '" + trelDevice + "'\n"
           "LMW: Opened Mixora Trel with 10 channels (S/N: " + serial + ", FW: 1.05)\n"
           "LMW: Mixora Trel started \xE2\x80\x94 " + trelDevice + " @ 48000Hz, block=256\n";
}

std::string scanText (const std::vector<std::string>& serials, const std::string& middle = {})
{
    std::string text = "LMW: === scanForDevices ===\n";
    for (const auto& serial : serials)
        text += "LMW:   USB device: serial=" + serial + " pid=0x7301 fw=1.05\n";
    text += "LMW: found " + std::to_string (serials.size()) + " Vesko multitrack USB devices\n" + middle;
    return text;
}

class HotPlug : public ::testing::Test
{
protected:
    void SetUp() override
    {
        world.devices = { { "Built-in Audio", 2 }, { trelDevice, 10 } };
        registry.devices = { trel ("T1") };
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = world.typeFactory();

        tracker.captureHooks.stopCaptures = [this] (DeviceInstance& d) { events.push_back ("stop " + d.serial); };
        tracker.captureHooks.restoreSource = [this] (DeviceInstance& d, uint32_t slot, const SavedSource& saved)
        {
            auto s = saved;
            int32_t id = -1;
            if (s.sourceKind == sourceKindInputDevice)
            {
                if (const auto it = inputIds.find (s.bundleId); it != inputIds.end())
                    s.deviceId = it->second;
                id = d.addInputChannel (slot, s.bundleId, s.name, s.deviceId);
            }
            else
            {
                s.sourceKind = sourceKindApplication;
                id = d.addChannel (slot, s.bundleId, s.name);
            }
            if (id < 0)
                return;
            events.push_back ("start " + d.serial + " " + s.bundleId + " kind=" + std::to_string (s.sourceKind)
                              + " dev=" + std::to_string (s.deviceId));
            if (onStart)
                onStart (d);
        };

        token = NotificationCentre::defaultCentre().addObserver (deviceStateChangedNotification, [this] { ++posts; });
    }

    void TearDown() override
    {
        NotificationCentre::defaultCentre().removeObserver (token);
        tracker.closeAndDestroyAll();
        dispatchMessages();
        tracker.captureHooks = {};
        tracker.coalesceQueuedRuns = true;
        deviceBackends() = {};
        EXPECT_TRUE (DeviceInstance::claimedDeviceNames().empty());
    }

    template <typename Action>
    static std::string captured (Action&& action)
    {
        ::testing::internal::CaptureStderr();
        action();
        return ::testing::internal::GetCapturedStderr();
    }

    static void dispatchMessages() { loomwell::testing::dispatchPendingMessages(); }

    static size_t count (const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (auto at = text.find (what); at != std::string::npos; at = text.find (what, at + what.size()))
            ++n;
        return n;
    }

    DeviceInstance& scanOne()
    {
        captured ([this] { tracker.scanForDevices(); });
        dispatchMessages();
        EXPECT_EQ (tracker.devices.size(), 1u);
        return *tracker.devices.at (0);
    }

    // Slot 0: two applications; slot 2: an input device.
    static void fill (DeviceInstance& device)
    {
        ASSERT_GE (device.addChannel (0, "org.example.One", "One"), 0);
        ASSERT_GE (device.addChannel (0, "org.example.Two", "Two"), 0);
        ASSERT_GE (device.addInputChannel (2, "alsa_input.mic", "Mic", 7), 0);
    }

    // The device vanishes under the open console, which stays on USB.
    void vanish()
    {
        world.devices = { { "Built-in Audio", 2 } };
        world.announceDeviceListChange();
    }

    void reappear() { world.devices = { { "Built-in Audio", 2 }, { trelDevice, 10 } }; }

    VirtualAudioWorld world;
    ListedUsbRegistry registry;
    DeviceTracker& tracker = DeviceTracker::instance();
    std::vector<std::string> events;
    std::map<std::string, uint32_t> inputIds { { "alsa_input.mic", 42 } };
    std::function<void (DeviceInstance&)> onStart;
    NotificationCentre::Token token = 0;
    int posts = 0;
};

TEST_F (HotPlug, AStaleConsoleIsReopenedWithItsSourcesInOrderUnderNewIds)
{
    auto& device = scanOne();
    fill (device);
    const auto before0 = device.channelsForSlot (0);
    const auto before2 = device.channelsForSlot (2);

    vanish();
    ASSERT_TRUE (device.isStale());
    reappear();

    // The manager's broadcast queued the run; it runs once, in full.
    const auto output = captured (dispatchMessages);
    EXPECT_EQ (output, "LMW: handleDeviceListChange\n"
                       "LMW:   Mixora Trel (S/N T1) JUCE handle stale, closing\n"
                       + scanText ({ "T1" }, "LMW: now tracking 1 devices\n")
                       + "LMW:   trying to reopen Mixora Trel (S/N T1)\n" + openText ("T1")
                       + "LMW:   restored slot assignments for S/N T1\n");
    EXPECT_EQ (posts, 1);

    ASSERT_EQ (tracker.devices.size(), 1u);
    EXPECT_EQ (tracker.devices[0].get(), &device);
    EXPECT_TRUE (device.isOpen());
    EXPECT_FALSE (device.isStale());
    EXPECT_NE (world.runningDevice (trelDevice), nullptr);

    const auto after0 = device.channelsForSlot (0);
    const auto after2 = device.channelsForSlot (2);
    ASSERT_EQ (after0.size(), 2u);
    ASSERT_EQ (after2.size(), 1u);
    EXPECT_EQ (after0[0].bundleId, "org.example.One");
    EXPECT_EQ (after0[1].bundleId, "org.example.Two");
    EXPECT_EQ (after2[0].bundleId, "alsa_input.mic");
    EXPECT_EQ (after2[0].sourceKind, sourceKindInputDevice);
    EXPECT_EQ (after2[0].deviceId, 42u); // found again by its UID
    for (const auto& old : { before0[0], before0[1], before2[0] })
        for (const auto& fresh : { after0[0], after0[1], after2[0] })
            EXPECT_NE (old.channelId, fresh.channelId);

    // The old captures stop before the reopen's table goes away.
    EXPECT_EQ (events, (std::vector<std::string> { "stop T1",
                                                   "start T1 org.example.One kind=0 dev=0",
                                                   "start T1 org.example.Two kind=0 dev=0",
                                                   "start T1 alsa_input.mic kind=1 dev=42" }));
}

TEST_F (HotPlug, AnUnpluggedConsoleIsNotRestoredAndComesBackEmpty)
{
    auto& device = scanOne();
    fill (device);

    registry.devices->clear();
    auto output = captured ([this] { tracker.handleDeviceListChange(); });
    EXPECT_EQ (output, "LMW: handleDeviceListChange\n"
                       + scanText ({}, "LMW:   removing Mixora Trel (S/N T1) \xE2\x80\x94 unplugged\nLMW: now tracking 0 devices\n"));
    EXPECT_TRUE (tracker.devices.empty());
    EXPECT_EQ (events, (std::vector<std::string> { "stop T1" }));
    EXPECT_EQ (posts, 1);

    registry.devices = { trel ("T1") };
    output = captured ([this] { tracker.handleDeviceListChange(); });
    EXPECT_EQ (output.find ("restored"), std::string::npos);
    EXPECT_EQ (output.find ("trying to reopen"), std::string::npos);
    ASSERT_EQ (tracker.devices.size(), 1u);
    for (uint32_t slot = 0; slot < 4; ++slot)
        EXPECT_TRUE (tracker.devices[0]->channelsForSlot (slot).empty());
    EXPECT_EQ (posts, 2);
}

TEST_F (HotPlug, AFailedReopenIsRetriedByTheNextRunWithItsSources)
{
    auto& device = scanOne();
    fill (device);
    vanish();

    auto output = captured (dispatchMessages);
    EXPECT_NE (output.find ("LMW:   trying to reopen Mixora Trel (S/N T1)\nLMW: DeviceInstance::open()"), std::string::npos);
    EXPECT_NE (output.find ("LMW: Failed to open Mixora Trel (S/N T1)\n"), std::string::npos);
    EXPECT_EQ (output.find ("restored"), std::string::npos);
    ASSERT_EQ (tracker.devices.size(), 1u);
    EXPECT_FALSE (device.isOpen());
    EXPECT_EQ (device.channelsForSlot (0).size(), 2u); // still in the table
    EXPECT_EQ (posts, 1);

    reappear();
    output = captured ([this] { tracker.handleDeviceListChange(); });
    EXPECT_EQ (output.find ("stale"), std::string::npos); // closed already, not stale
    EXPECT_NE (output.find ("LMW:   restored slot assignments for S/N T1\n"), std::string::npos);
    EXPECT_TRUE (device.isOpen());
    EXPECT_EQ (device.channelsForSlot (0).size(), 2u);
    EXPECT_EQ (device.channelsForSlot (2).size(), 1u);
    EXPECT_EQ (posts, 2);
}

TEST_F (HotPlug, WhatNoLongerFitsASlotIsSkippedAndTheRestStaysInOrder)
{
    auto& device = scanOne();
    for (const auto* id : { "a", "b", "c", "d" })
        ASSERT_GE (device.addChannel (1, id, id), 0);

    // Something takes a place on the slot while the restore runs.
    onStart = [&] (DeviceInstance& d)
    {
        onStart = nullptr;
        EXPECT_GE (d.addChannel (1, "intruder", "Intruder"), 0);
    };
    vanish();
    reappear();
    const auto output = captured (dispatchMessages);
    EXPECT_NE (output.find ("LMW:   restored slot assignments for S/N T1\n"), std::string::npos);

    std::vector<std::string> ids;
    for (const auto& s : device.channelsForSlot (1))
        ids.push_back (s.bundleId);
    EXPECT_EQ (ids, (std::vector<std::string> { "a", "intruder", "b", "c" }));
    EXPECT_EQ (events.size(), 4u); // the stop and three starts
}

TEST_F (HotPlug, ARunFromWithinARunIsRefusedAndQueuedRunsRunInFull)
{
    auto& device = scanOne();
    fill (device);

    // Re-entry on the run's own call stack, e.g. from a restore.
    onStart = [this] (DeviceInstance&)
    {
        onStart = nullptr;
        tracker.handleDeviceListChange();
        tracker.queueDeviceListChange(); // through the queue: waits for this run
    };
    vanish();
    reappear();
    const auto output = captured (dispatchMessages);
    EXPECT_EQ (count (output, "LMW: handleDeviceListChange (skipped, already scanning)\n"), 1u);
    EXPECT_EQ (count (output, "LMW: handleDeviceListChange\n"), 2u);
    EXPECT_EQ (count (output, "LMW: now tracking 1 devices\n"), 2u);
    // The skipped line comes inside the first run, before its restored line.
    EXPECT_LT (output.find ("skipped"), output.find ("restored"));
    EXPECT_EQ (posts, 2);

    // Queued runs wait for each other and each runs completely; while one is
    // queued and not started, further requests join it.
    const auto queueThree = [this]
    {
        return captured ([this] {
            for (int i = 0; i < 3; ++i)
                tracker.queueDeviceListChange();
            dispatchMessages();
        });
    };
    posts = 0;
    tracker.coalesceQueuedRuns = false;
    auto three = queueThree();
    EXPECT_EQ (count (three, "LMW: handleDeviceListChange\n"), 3u);
    EXPECT_EQ (count (three, "LMW: now tracking 1 devices\n"), 3u);
    EXPECT_EQ (three.find ("skipped"), std::string::npos);
    EXPECT_EQ (posts, 3);

    posts = 0;
    tracker.coalesceQueuedRuns = true;
    three = queueThree();
    EXPECT_EQ (count (three, "LMW: handleDeviceListChange\n"), 1u);
    EXPECT_EQ (posts, 1);
}

TEST_F (HotPlug, WakeDropsEveryConsoleAtOnceAndRescansTwoSecondsLater)
{
    world.devices = { { trelDevice, 10 }, { trelDevice + " (2)", 10 } };
    registry.devices = { trel ("T1"), trel ("T2") };
    captured ([this] { tracker.scanForDevices(); });
    ASSERT_EQ (tracker.devices.size(), 2u);
    fill (*tracker.devices[0]);
    world.closings.clear();

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ (captured ([this] { tracker.handleSystemWake(); }), "LMW: system wake detected, forcing rescan\n");
    EXPECT_TRUE (tracker.devices.empty());
    EXPECT_TRUE (world.runningDevices().empty());
    EXPECT_EQ (world.closings, (std::vector<std::string> { trelDevice, trelDevice + " (2)" }));
    EXPECT_EQ (events, (std::vector<std::string> { "stop T1", "stop T2" }));

    std::string output;
    output += captured ([] { pumpFor (1800ms); });
    EXPECT_EQ (posts, 0);
    EXPECT_EQ (output, "");

    output += captured ([this] {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (posts == 0 && std::chrono::steady_clock::now() < deadline)
            pumpFor (10ms);
    });
    EXPECT_GE (std::chrono::steady_clock::now() - started, 2s);
    EXPECT_EQ (posts, 1);
    EXPECT_EQ (output.find ("LMW: post-wake rescan\nLMW: === scanForDevices ===\n"), 0u);
    ASSERT_EQ (tracker.devices.size(), 2u);
    for (const auto& device : tracker.devices)
        EXPECT_TRUE (device->channelsForSlot (0).empty() && device->channelsForSlot (2).empty());
    EXPECT_EQ (count (output, "restored"), 0u);
}

TEST (Notifications, ObserversAreToldOnTheMessageThreadUntilRemoved)
{
    auto& centre = NotificationCentre::defaultCentre();
    std::vector<std::string> heard;
    NotificationCentre::Token second = 0;
    const auto first = centre.addObserver ("LMWDeviceStateChanged", [&]
    {
        EXPECT_TRUE (juce::MessageManager::getInstance()->isThisTheMessageThread());
        heard.push_back ("first");
        centre.removeObserver (second); // removed by an earlier observer: not called
    });
    second = centre.addObserver ("LMWDeviceStateChanged", [&] { heard.push_back ("second"); });
    const auto other = centre.addObserver ("Other", [&] { heard.push_back ("other"); });

    centre.post ("LMWDeviceStateChanged");
    EXPECT_EQ (heard, (std::vector<std::string> { "first" }));

    // From another thread the delivery waits for the message thread.
    std::thread poster ([&] { centre.post ("Other"); });
    poster.join();
    EXPECT_EQ (heard.size(), 1u);
    loomwell::testing::dispatchPendingMessages();
    EXPECT_EQ (heard, (std::vector<std::string> { "first", "other" }));

    centre.removeObserver (first);
    centre.removeObserver (other);
    centre.post ("LMWDeviceStateChanged");
    EXPECT_EQ (heard.size(), 2u);
}

} // namespace
