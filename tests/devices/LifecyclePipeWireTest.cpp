// Consoles opened through the program's own device types against a private
// PipeWire world whose null sinks stand in for the consoles' devices. Only
// the USB registry is in-process.

#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "ListedUsbRegistry.h"
#include "MessagePump.h"
#include "PipeWireDeviceType.h"
#include "PipeWireSuite.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::ListedUsbRegistry;
using testing::pumpUntil;

const std::string trelDevice = "Mixora Trel Main Multitrack";

class LifecycleOnPipeWire : public testing::PipeWireSuite
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (ready) << world->logs();
        registry.devices = { { "3a7d", "7301", "T1", "0105", "Mixora Trel" },
                             { "3a7d", "7302", "T2", "0105", "Mixora Trel" } };
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = addLinuxDeviceTypes;
    }

    void TearDown() override
    {
        DeviceTracker::instance().closeAndDestroyAll();
        pumpUntil ([] { return false; }, 50ms);
        deviceBackends() = {};
    }

    static std::string scan()
    {
        ::testing::internal::CaptureStderr();
        DeviceTracker::instance().scanForDevices();
        return ::testing::internal::GetCapturedStderr();
    }

    ListedUsbRegistry registry;
};

TEST_F (LifecycleOnPipeWire, TwoConsolesPlayTheirSlotsIntoTheirOwnSinks)
{
    const auto first = world->createNullSink ({ "mixora-trel-a", trelDevice, 10, {}, 0 });
    const auto second = world->createNullSink ({ "mixora-trel-b", trelDevice, 10, {}, 0 });
    ASSERT_TRUE (first && second) << world->logs();

    const auto output = scan();
    auto& devices = DeviceTracker::instance().devices;
    ASSERT_EQ (devices.size(), 2u) << output;
    EXPECT_EQ (devices[0]->claimedDeviceName, trelDevice);
    EXPECT_EQ (devices[1]->claimedDeviceName, trelDevice + " (2)");
    EXPECT_EQ (devices[0]->getDeviceManager().getCurrentAudioDevice()->getTypeName(), "PipeWire");

    // A tone on the second console's "Music" slot comes out of channels 4
    // and 5 of the second sink only.
    const auto id = devices[1]->addChannel (0, "com.example.tone", "Tone");
    auto* ring = devices[1]->getChannelTable().ringBufferFor (id);
    ASSERT_NE (ring, nullptr);

    const auto path = world->runtimeDir() + "/second.wav";
    const auto recorder = world->startRecording (*second, 10, path);
    ASSERT_TRUE (recorder) << world->logs();

    std::atomic<bool> feeding { true };
    std::thread feeder ([&] {
        std::vector<float> block (512);
        double phase = 0.0;
        while (feeding)
        {
            if (ring->fill() < 4800)
            {
                for (size_t i = 0; i < block.size(); i += 2, phase += juce::MathConstants<double>::twoPi * 440.0 / 48000.0)
                {
                    block[i] = 0.5f * static_cast<float> (std::sin (phase));
                    block[i + 1] = -block[i];
                }
                ring->write (block.data(), static_cast<int> (block.size()));
            }
            std::this_thread::sleep_for (1ms);
        }
    });
    pumpUntil ([] { return false; }, 1s);
    feeding = false;
    feeder.join();
    ASSERT_TRUE (world->stopRecording (*recorder));

    const auto recording = testing::readFloatWav (path);
    ASSERT_TRUE (recording && recording->channels == 10);
    for (int channel = 0; channel < 10; ++channel)
        EXPECT_NEAR (recording->peak (channel), channel == 4 || channel == 5 ? 0.5f : 0.0f, 0.01f) << channel;

    EXPECT_TRUE (world->destroyNode (*first));
    EXPECT_TRUE (world->destroyNode (*second));
}

TEST_F (LifecycleOnPipeWire, AVanishedSinkLeavesTheConsoleStaleAndQueuesARun)
{
    const auto sink = world->createNullSink ({ "mixora-trel-c", trelDevice, 10, {}, 0 });
    ASSERT_TRUE (sink) << world->logs();
    registry.devices->resize (1);
    scan();
    auto& devices = DeviceTracker::instance().devices;
    ASSERT_EQ (devices.size(), 1u);
    auto& console = *devices[0];
    pumpUntil ([] { return false; }, 100ms);

    ::testing::internal::CaptureStderr();
    ASSERT_TRUE (world->destroyNode (*sink));
    // Stale first (the run's stale line below shows it), then closed by the run.
    const auto becameStale = pumpUntil ([&] { return ! console.isOpen(); });
    pumpUntil ([] { return false; }, 200ms);
    const auto output = ::testing::internal::GetCapturedStderr();

    // The queued run closes it and cannot open it again while the sink is gone.
    ASSERT_TRUE (becameStale) << output;
    EXPECT_EQ (console.getDeviceManager().getCurrentAudioDevice(), nullptr);
    EXPECT_NE (output.find ("LMW: handleDeviceListChange\n"
                            "LMW:   Mixora Trel (S/N T1) JUCE handle stale, closing\n"
                            "LMW: === scanForDevices ===\n"), std::string::npos) << output;
    EXPECT_NE (output.find ("LMW:   trying to reopen Mixora Trel (S/N T1)\n"), std::string::npos) << output;
    EXPECT_EQ (DeviceTracker::instance().devices.size(), 1u);
}

} // namespace
} // namespace loomwell
