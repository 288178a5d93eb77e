// Consoles whose sink is not what the console's own driver would offer: one
// that runs at 44.1 kHz (PipeWire converts; the ring buffers stay at 48 kHz
// stereo) and one with fewer than ten channels.

#include "ConsoleSuite.h"

#include <gtest/gtest.h>

#include <iostream>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::pumpFor;
using testing::toneAmplitude;

class OddSink : public testing::ConsoleSuite
{
protected:
    void SetUp() override
    {
        ConsoleSuite::SetUp();
        ASSERT_GT (playTone ("toneapp", "Tone App", 440.0, 0.3f), 0) << world->logs();
    }

    // Opens the console on a sink made to these options and puts the tone
    // application on a slot.
    DeviceInstance* openWith (const testing::NullSinkOptions& options, uint32_t slot)
    {
        sink = makeConsoleSink (options);
        if (! sink)
            return nullptr;
        ::testing::internal::CaptureStderr();
        tracker.scanForDevices();
        log = ::testing::internal::GetCapturedStderr();
        if (tracker.devices.size() != 1 || ! tracker.devices[0]->isOpen())
            return nullptr;
        auto& console = *tracker.devices[0];
        addSourceWithCapture (console, slot, sourceKindApplication, "toneapp", "Tone App");
        pumpFor (300ms);
        return &console;
    }

    std::optional<uint32_t> sink;
    std::string log;
};

TEST_F (OddSink, ASinkAt44100HzGetsTheToneAtItsPitch)
{
    auto* console = openWith ({ "mixora-vantor", "Mixora Vantor Main Multitrack", 10, {}, 0, 44100 }, 0);
    ASSERT_NE (console, nullptr) << log << world->logs();
    std::cout << log.substr (log.find ("LMW: Mixora Vantor started")) << std::flush;

    // Recorded at 48 kHz again: still 440 Hz, on "Music" only.
    const auto heard = record (*sink);
    ASSERT_TRUE (heard && heard->channels == 10);
    for (int channel = 0; channel < 10; ++channel)
        EXPECT_NEAR (toneAmplitude (*heard, channel, 440.0), channel == 4 || channel == 5 ? 0.3 : 0.0, 0.03) << channel;
}

TEST_F (OddSink, ASinkWithFewerChannelsCarriesTheSlotsItHas)
{
    auto* console = openWith ({ "mixora-vantor", "Mixora Vantor Main Multitrack", 4, {}, 0, 0 }, 1);
    ASSERT_NE (console, nullptr) << log << world->logs();
    std::cout << log.substr (log.find ("LMW: Opened")) << std::flush;

    // "Game" (2/3) is there; "Music" (4/5) is not, and a source on it goes
    // nowhere, harmlessly: the mixing goes on, both sources are metered.
    addSourceWithCapture (*console, 0, sourceKindApplication, "toneapp", "Tone App");
    pumpFor (500ms);
    for (const auto& entry : console->getChannelTable().copyChannelStates())
    {
        if (entry.active)
        {
            EXPECT_GT (entry.level, 0.1f) << entry.channelId;
        }
    }
    EXPECT_TRUE (console->isOpen());
}

} // namespace
} // namespace loomwell
