// Consoles whose sink is not what the console's own driver would offer: one
// that runs at 44.1 kHz (PipeWire converts; the ring buffers stay at 48 kHz
// stereo) and one with fewer than ten channels.

#include "AppCapture.h"
#include "ConsoleSuite.h"
#include "ToneSources.h"

#include <gtest/gtest.h>

#include <iostream>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::pumpFor;
using testing::pumpUntil;
using testing::toneAmplitude;

class OddSink : public testing::ConsoleSuite
{
protected:
    void SetUp() override
    {
        ConsoleSuite::SetUp();
        ASSERT_TRUE (PipeWireConnection::instance().refresh());
        const auto path = world->runtimeDir() + "/tone.wav";
        testing::writeToneWav (path, { { 440.0, 0.3f } }, 60.0);
        app = testing::playToneApp (*world, "toneapp", "Tone App", path);
        ASSERT_TRUE (pumpUntil ([this] { return testing::isPlaying (app); })) << world->logs();
    }

    void TearDown() override
    {
        ConsoleSuite::TearDown();
        testing::PipeWireWorld::stopProcess (app);
        if (sink)
            world->destroyNode (*sink);
    }

    // Opens the console on a sink made to these options and puts the tone
    // application on a slot.
    DeviceInstance* openWith (const testing::NullSinkOptions& options, uint32_t slot)
    {
        sink = world->createNullSink (options);
        if (! sink)
            return nullptr;
        ::testing::internal::CaptureStderr();
        tracker.scanForDevices();
        log = ::testing::internal::GetCapturedStderr();
        if (tracker.devices.size() != 1 || ! tracker.devices[0]->isOpen())
            return nullptr;
        auto& console = *tracker.devices[0];
        const auto id = console.addChannel (slot, "toneapp", "Tone App");
        startAppCapture (&console, "toneapp", id, console.getChannelTable().shareRingBuffer (id));
        pumpFor (300ms);
        return &console;
    }

    std::optional<testing::Recording> record (int channels)
    {
        const auto path = world->runtimeDir() + "/odd.wav";
        const auto recorder = world->startRecording (*sink, channels, path);
        if (! recorder)
            return std::nullopt;
        pumpFor (1200ms);
        if (! world->stopRecording (*recorder))
            return std::nullopt;
        return testing::readFloatWav (path);
    }

    pid_t app = -1;
    std::optional<uint32_t> sink;
    std::string log;
};

TEST_F (OddSink, ASinkAt44100HzGetsTheToneAtItsPitch)
{
    auto* console = openWith ({ "mixora-vantor", "Mixora Vantor Main Multitrack", 10, {}, 0, 44100 }, 0);
    ASSERT_NE (console, nullptr) << log << world->logs();
    std::cout << log.substr (log.find ("LMW: Mixora Vantor started")) << std::flush;

    // Recorded at 48 kHz again: still 440 Hz, on "Music" only.
    const auto heard = record (10);
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
    const auto music = console->addChannel (0, "toneapp", "Tone App");
    startAppCapture (console, "toneapp", music, console->getChannelTable().shareRingBuffer (music));
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
