#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "JuceEnvironment.h"
#include "ListedUsbRegistry.h"
#include "MessagePump.h"
#include "VirtualDeviceType.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace loomwell;
using loomwell::test::VirtualAudioWorld;
using loomwell::testing::ListedUsbRegistry;

namespace
{

[[maybe_unused]] const auto* const juceEnvironment =
    ::testing::AddGlobalTestEnvironment (new loomwell::testing::JuceEnvironment);

UsbDeviceAttributes console (const std::string& serial, const char* productId, const char* product = nullptr)
{
    UsbDeviceAttributes device { "3a7d", productId, serial, "0105", std::nullopt };
    if (product != nullptr)
        device.product = product;
    return device;
}

constexpr const char* trelPid = "7301";
constexpr const char* vantorPid = "7402";
const std::string trelDevice = "Mixora Trel Main Multitrack";
const std::string vantorDevice = "Mixora Vantor Main Multitrack";

using Lines = std::vector<std::string>;

std::string joined (const Lines& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

// The lines of a successful open of one console whose device is the
// second of {"Built-in Audio", device}.
Lines openLines (const std::string& model, const std::string& serial, const std::string& device)
{
    return { "LMW: DeviceInstance::open() for " + model + " (S/N " + serial + ")",
             "LMW:   tryOpen for '" + model + "' (coreAudioId=0), JUCE sees 2 devices:",
             "LMW:     [0] 'Built-in Audio'",
             "LMW:     [1] '" + device + "'",
             "LMW:   opened JUCE device '" + device + "'",
             "LMW:   claimed JUCE name '" + device + "'",
             "LMW: Opened " + model + " with 10 channels (S/N: " + serial + ", FW: 1.05)",
             "LMW: " + model + " started — " + device + " @ 48000Hz, block=256" };
}

class Lifecycle : public ::testing::Test
{
protected:
    void SetUp() override
    {
        world.devices = { { "Built-in Audio", 2 }, { trelDevice, 10 } };
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = world.typeFactory();
    }

    void TearDown() override
    {
        tracker.closeAndDestroyAll();
        dispatchMessages();
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

    std::string scan()
    {
        return captured ([this] { tracker.scanForDevices(); });
    }

    static void dispatchMessages() { loomwell::testing::dispatchPendingMessages(); }

    std::vector<std::string> trackedSerials() const
    {
        std::vector<std::string> serials;
        for (const auto& device : tracker.devices)
            serials.push_back (device->serial);
        return serials;
    }

    VirtualAudioWorld world;
    ListedUsbRegistry registry;
    DeviceTracker& tracker = DeviceTracker::instance();
};

TEST_F (Lifecycle, ScanWithNothingAttachedTracksNothing)
{
    EXPECT_EQ (scan(), joined ({ "LMW: === scanForDevices ===",
                                 "LMW: found 0 Vesko multitrack USB devices",
                                 "LMW: now tracking 0 devices" }));
    EXPECT_TRUE (tracker.devices.empty());

    deviceBackends().usbRegistry = nullptr;
    EXPECT_EQ (scan(), joined ({ "LMW: === scanForDevices ===",
                                 "LMW: found 0 Vesko multitrack USB devices",
                                 "LMW: now tracking 0 devices" }));
}

TEST_F (Lifecycle, ScanOpensANewConsoleAndLeavesATrackedOneAlone)
{
    registry.devices = { console ("T1", trelPid) };

    Lines expected { "LMW: === scanForDevices ===",
                     "LMW:   USB device: serial=T1 pid=0x7301 fw=1.05",
                     "LMW: found 1 Vesko multitrack USB devices",
                     "LMW:   adding Mixora Trel (S/N T1)" };
    for (const auto& line : openLines ("Mixora Trel", "T1", trelDevice))
        expected.push_back (line);
    expected.push_back ("LMW:   opened Mixora Trel (S/N T1)");
    expected.push_back ("LMW: now tracking 1 devices");
    EXPECT_EQ (scan(), joined (expected));

    ASSERT_EQ (tracker.devices.size(), 1u);
    auto& device = *tracker.devices[0];
    EXPECT_TRUE (device.isOpen());
    EXPECT_FALSE (device.isStale());
    EXPECT_EQ (device.claimedDeviceName, trelDevice);
    EXPECT_EQ (device.firmware, "1.05");
    EXPECT_EQ (device.currentSampleRate, 48000.0);
    EXPECT_EQ (device.currentBlockSize, 256);
    EXPECT_EQ (device.getChannelTable().copyChannelStates().size(), 4u);
    EXPECT_NE (world.runningDevice (trelDevice), nullptr);

    // The manager's own announcement of the opening is no device-list change.
    EXPECT_EQ (captured (dispatchMessages), "");

    EXPECT_EQ (scan(), joined ({ "LMW: === scanForDevices ===",
                                 "LMW:   USB device: serial=T1 pid=0x7301 fw=1.05",
                                 "LMW: found 1 Vesko multitrack USB devices",
                                 "LMW: now tracking 1 devices" }));
}

TEST_F (Lifecycle, UnplugDropsTheConsoleAndReplugKeepsIt)
{
    registry.devices = { console ("T1", trelPid) };
    scan();
    const auto* first = tracker.devices.at (0).get();

    // Gone and back between two scans: the same instance, nothing logged.
    EXPECT_EQ (scan(), joined ({ "LMW: === scanForDevices ===",
                                 "LMW:   USB device: serial=T1 pid=0x7301 fw=1.05",
                                 "LMW: found 1 Vesko multitrack USB devices",
                                 "LMW: now tracking 1 devices" }));
    EXPECT_EQ (tracker.devices.at (0).get(), first);

    registry.devices->clear();
    EXPECT_EQ (scan(), joined ({ "LMW: === scanForDevices ===",
                                 "LMW: found 0 Vesko multitrack USB devices",
                                 "LMW:   removing Mixora Trel (S/N T1) \xE2\x80\x94 unplugged",
                                 "LMW: now tracking 0 devices" }));
    EXPECT_TRUE (tracker.devices.empty());
    EXPECT_TRUE (world.runningDevices().empty());
    EXPECT_TRUE (DeviceInstance::claimedDeviceNames().empty());
}

TEST_F (Lifecycle, AConsoleThatCannotBeOpenedIsRetriedAtEveryScan)
{
    registry.devices = { console ("T1", trelPid) };
    world.openErrors[trelDevice] = "device busy";

    const auto failed = joined ({ "LMW: === scanForDevices ===",
                                  "LMW:   USB device: serial=T1 pid=0x7301 fw=1.05",
                                  "LMW: found 1 Vesko multitrack USB devices",
                                  "LMW:   adding Mixora Trel (S/N T1)",
                                  "LMW: DeviceInstance::open() for Mixora Trel (S/N T1)",
                                  "LMW:   tryOpen for 'Mixora Trel' (coreAudioId=0), JUCE sees 2 devices:",
                                  "LMW:     [0] 'Built-in Audio'",
                                  "LMW:     [1] 'Mixora Trel Main Multitrack'",
                                  "LMW:   initialise 'Mixora Trel Main Multitrack' failed: device busy",
                                  "LMW: Failed to open Mixora Trel (S/N T1)",
                                  "LMW:   FAILED to open Mixora Trel (S/N T1)",
                                  "LMW: now tracking 0 devices" });
    EXPECT_EQ (scan(), failed);
    EXPECT_EQ (scan(), failed);
    EXPECT_TRUE (tracker.devices.empty());
    EXPECT_TRUE (world.runningDevices().empty());

    world.openErrors.clear();
    EXPECT_NE (scan().find ("LMW:   opened Mixora Trel (S/N T1)\n"), std::string::npos);
    EXPECT_EQ (tracker.devices.size(), 1u);
}

TEST_F (Lifecycle, OneSerialOnTwoRecordsIsTrackedOnce)
{
    // The first record's model has no audio device, so the second is tried.
    world.devices = { { "Built-in Audio", 2 }, { vantorDevice, 10 } };
    registry.devices = { console ("S1", trelPid), console ("S1", vantorPid) };

    const auto output = scan();
    EXPECT_NE (output.find ("LMW:   FAILED to open Mixora Trel (S/N S1)\n"
                            "LMW:   adding Mixora Vantor (S/N S1)\n"), std::string::npos);
    EXPECT_NE (output.find ("LMW:   opened Mixora Vantor (S/N S1)\nLMW: now tracking 1 devices\n"), std::string::npos);
    ASSERT_EQ (tracker.devices.size(), 1u);
    EXPECT_EQ (tracker.devices[0]->kind, consoleKindVantor);

    // Now that S1 is tracked, neither record is added again.
    EXPECT_EQ (scan().find ("adding"), std::string::npos);
    EXPECT_EQ (tracker.devices.size(), 1u);
}

TEST_F (Lifecycle, TwoConsolesOfOneModelClaimTheirOwnDevices)
{
    const auto second = trelDevice + " (2)";
    world.devices = { { trelDevice, 10 }, { second, 10 } };
    registry.devices = { console ("T1", trelPid), console ("T2", trelPid) };

    const auto output = scan();
    EXPECT_NE (output.find ("LMW: DeviceInstance::open() for Mixora Trel (S/N T2)\n"
                            "LMW:   tryOpen for 'Mixora Trel' (coreAudioId=0), JUCE sees 2 devices:\n"
                            "LMW:     [0] 'Mixora Trel Main Multitrack'\n"
                            "LMW:     [1] 'Mixora Trel Main Multitrack (2)'\n"
                            "LMW:   skipping 'Mixora Trel Main Multitrack' (already claimed by another instance)\n"
                            "LMW:   opened JUCE device 'Mixora Trel Main Multitrack (2)'\n"
                            "LMW:   claimed JUCE name 'Mixora Trel Main Multitrack (2)'\n"),
               std::string::npos);
    ASSERT_EQ (trackedSerials(), (std::vector<std::string> { "T1", "T2" }));
    EXPECT_EQ (tracker.devices[0]->claimedDeviceName, trelDevice);
    EXPECT_EQ (tracker.devices[1]->claimedDeviceName, second);
    EXPECT_EQ (world.runningDevices().size(), 2u);

    // A later probe order does not reorder the consoles.
    registry.devices = { console ("T2", trelPid), console ("T1", trelPid) };
    scan();
    EXPECT_EQ (trackedSerials(), (std::vector<std::string> { "T1", "T2" }));

    // T1 leaves and T3 arrives in one scan: T3 takes the name T1 gave up.
    registry.devices = { console ("T3", trelPid), console ("T2", trelPid) };
    scan();
    ASSERT_EQ (trackedSerials(), (std::vector<std::string> { "T2", "T3" }));
    EXPECT_EQ (tracker.devices[1]->claimedDeviceName, trelDevice);

    // Shut-down closes first to last.
    world.closings.clear();
    tracker.closeAndDestroyAll();
    EXPECT_EQ (world.closings, (std::vector<std::string> { second, trelDevice }));
    EXPECT_TRUE (tracker.devices.empty());
}

TEST_F (Lifecycle, ADeviceWithEightOutputsIsOpenedWithThoseEight)
{
    world.devices = { { trelDevice, 8 } };
    DeviceInstance device (modelForProductId (0x7301), "T1", "1.05");

    EXPECT_NE (captured ([&] { ASSERT_TRUE (device.open()); })
                   .find ("LMW: Opened Mixora Trel with 10 channels (S/N: T1, FW: 1.05)\n"),
               std::string::npos);

    auto* running = world.runningDevice (trelDevice);
    ASSERT_NE (running, nullptr);
    juce::BigInteger eight;
    eight.setRange (0, 8, true);
    EXPECT_EQ (running->getActiveOutputChannels(), eight);

    // The callback is the mixer: slot "A" plays into outputs 6 and 7.
    const auto id = device.addChannel (2, "com.example.player", "Player");
    ASSERT_GE (id, 0);
    const std::vector<float> samples { 0.25f, -0.5f, 0.25f, -0.5f };
    device.getChannelTable().ringBufferFor (id)->write (samples.data(), 4);

    const auto outputs = running->renderBlock (2);
    ASSERT_EQ (outputs.size(), 8u);
    for (size_t channel = 0; channel < 6; ++channel)
        EXPECT_EQ (outputs[channel], (std::vector<float> { 0.0f, 0.0f }));
    EXPECT_EQ (outputs[6], (std::vector<float> { 0.25f, 0.25f }));
    EXPECT_EQ (outputs[7], (std::vector<float> { -0.5f, -0.5f }));
    captured ([&] { device.close(); });
}

TEST_F (Lifecycle, OnlyTheDeviceNameOrItsNumberedFormsAreCandidates)
{
    EXPECT_TRUE (isMultitrackCandidate (trelDevice, trelDevice));
    EXPECT_TRUE (isMultitrackCandidate (trelDevice + " (2)", trelDevice));
    EXPECT_TRUE (isMultitrackCandidate (trelDevice + " (", trelDevice));
    EXPECT_FALSE (isMultitrackCandidate (trelDevice + " 2", trelDevice));
    EXPECT_FALSE (isMultitrackCandidate (trelDevice + "(2)", trelDevice));
    EXPECT_FALSE (isMultitrackCandidate ("mixora trel main multitrack", trelDevice));
    EXPECT_FALSE (isMultitrackCandidate ("Mixora Trel Main", trelDevice));

    world.devices = { { trelDevice + " 2", 10 }, { trelDevice + " (USB)", 10 } };
    DeviceInstance device (modelForProductId (0x7301), "T1", "");
    captured ([&] { EXPECT_TRUE (device.open()); });
    EXPECT_EQ (device.claimedDeviceName, trelDevice + " (USB)");
    captured ([&] { device.close(); });
}

TEST_F (Lifecycle, AnEmptySerialIsReadAgainByProductName)
{
    world.devices = { { vantorDevice, 10 } };
    const auto vantor = modelForProductId (0x7402);
    const auto openOutput = [&] (DeviceInstance& device)
    {
        auto output = captured ([&] { EXPECT_TRUE (device.open()); });
        captured ([&] { device.close(); });
        return output;
    };

    registry.devices = { console ("T7", trelPid, "Mixora Trel"),
                         { "3a7d", "7402", "V9", "0123", "Mixora Vantor Main" },
                         console ("V8", vantorPid, "Mixora Vantor") };
    DeviceInstance unnamed (vantor, "", "");
    auto output = openOutput (unnamed);
    EXPECT_NE (output.find ("LMW: Mixora Vantor USB serial=V9 firmware=1.23\n"
                            "LMW: Opened Mixora Vantor with 10 channels (S/N: V9, FW: 1.23)\n"),
               std::string::npos);
    EXPECT_EQ (unnamed.serial, "V9");

    DeviceInstance named (vantor, "V1", "2.00");
    EXPECT_EQ (openOutput (named).find ("USB serial="), std::string::npos);
    EXPECT_EQ (named.serial, "V1");

    registry.devices = { console ("T7", trelPid, "Mixora Trel") };
    DeviceInstance unmatched (vantor, "", "");
    EXPECT_NE (openOutput (unmatched).find ("LMW: Mixora Vantor USB serial= firmware=\n"), std::string::npos);

    registry.devices = std::nullopt;
    DeviceInstance unasked (vantor, "", "");
    EXPECT_EQ (openOutput (unasked).find ("USB serial="), std::string::npos);
    EXPECT_TRUE (unasked.serial.empty());
}

TEST_F (Lifecycle, CloseIsHarmlessOnAClosedInstanceAndFreesTheName)
{
    DeviceInstance first (modelForProductId (0x7301), "T1", "");
    EXPECT_EQ (captured ([&] { first.close(); }), "");
    EXPECT_FALSE (first.isOpen());

    captured ([&] { ASSERT_TRUE (first.open()); });
    EXPECT_EQ (captured ([&] { first.close(); }), "");
    EXPECT_EQ (captured ([&] { first.close(); }), "");
    EXPECT_FALSE (first.isOpen());
    EXPECT_TRUE (first.claimedDeviceName.empty());
    EXPECT_EQ (world.runningDevice (trelDevice), nullptr);

    // The channel table keeps its entries until the next open.
    EXPECT_EQ (first.getChannelTable().copyChannelStates().size(), 4u);

    DeviceInstance second (modelForProductId (0x7301), "T2", "");
    captured ([&] { EXPECT_TRUE (second.open()); });
    EXPECT_EQ (second.claimedDeviceName, trelDevice);
    captured ([&] { second.close(); });
}

TEST_F (Lifecycle, AVanishedDeviceIsNeverReplacedByAnother)
{
    // The Vantor's device makes open() hand the manager a setup of its own,
    // which the manager then keeps as the setup to restore: that is when it
    // would fall back to the default device.
    world.devices = { { "Built-in Audio", 2 }, { trelDevice, 10 }, { vantorDevice, 8, true } };
    registry.devices = { console ("T1", trelPid), console ("V1", vantorPid) };
    scan();
    ASSERT_EQ (tracker.devices.size(), 2u);
    dispatchMessages();

    // Both devices leave the list; the consoles stay on USB.
    world.devices = { { "Built-in Audio", 2 } };
    world.announceDeviceListChange();

    EXPECT_TRUE (world.runningDevices().empty());
    EXPECT_EQ (world.creations["Built-in Audio"], 0);
    for (const auto& device : tracker.devices)
    {
        EXPECT_TRUE (device->isOpen());
        EXPECT_TRUE (device->isStale());
    }

    // The managers' change messages queue runs on the message thread.
    const auto output = captured (dispatchMessages);
    EXPECT_EQ (output.find ("LMW: handleDeviceListChange\n"
                            "LMW:   Mixora Trel (S/N T1) JUCE handle stale, closing\n"
                            "LMW:   Mixora Vantor (S/N V1) JUCE handle stale, closing\n"
                            "LMW: === scanForDevices ===\n"), 0u) << output;

    // A run from within a run is refused.
    tracker.scanning = true;
    EXPECT_EQ (captured ([&] { tracker.handleDeviceListChange(); }),
               "LMW: handleDeviceListChange (skipped, already scanning)\n");
    tracker.scanning = false;

    // Closed and reopened, a console plays into its own device again.
    world.devices = { { "Built-in Audio", 2 }, { trelDevice, 10 } };
    auto& device = *tracker.devices[0];
    captured ([&] {
        device.close();
        EXPECT_TRUE (device.open());
    });
    EXPECT_FALSE (device.isStale());
    EXPECT_NE (world.runningDevice (trelDevice), nullptr);
}

} // namespace
