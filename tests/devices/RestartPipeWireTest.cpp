// The sound server going away under a running console: PipeWire and
// WirePlumber stopped as an upgrade stops them, or killed, while a tone
// application and a tone-fed microphone are captured on a console's slots;
// then started again. And a sound server that starts after Loomwell.

#include "ConsoleSuite.h"

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

const std::string vantorDevice = "Mixora Vantor Main Multitrack";

class SoundServerRestart : public testing::ConsoleSuite
{
protected:
    void TearDown() override
    {
        ConsoleSuite::TearDown();
        if (! world->waitUntilReady (1s))
            world->startSoundServer();
    }

    // What dies with the daemon: the console's sink, the tone application
    // and the microphone's feed. The sink is made through the world's own
    // connection, so that only Loomwell's reconnection can find it; the
    // sink of a daemon that has gone is forgotten (its id may come again).
    void makeSink()
    {
        sinks.clear();
        sink = makeConsoleSink ({ "mixora-vantor", vantorDevice, 10, {}, 0 });
        ASSERT_TRUE (sink) << world->logs();
    }

    void makeSources()
    {
        ASSERT_GT (playTone ("toneapp", "Tone App", 440.0, 0.3f), 0) << world->logs();
        ASSERT_TRUE (feedInput ("test-mic", "Test Mic", { { 1000.0, 0.2f } })) << world->logs();
    }

    void expectRouted (const char* when)
    {
        const auto heard = record (*sink);
        ASSERT_TRUE (heard && heard->channels == 10) << when << "\n" << world->logs();
        for (int channel = 0; channel < 10; ++channel)
        {
            EXPECT_NEAR (toneAmplitude (*heard, channel, 440.0), channel == 4 || channel == 5 ? 0.3 : 0.0, 0.03) << when << " " << channel;
            EXPECT_NEAR (toneAmplitude (*heard, channel, 1000.0), channel == 6 || channel == 7 ? 0.2 : 0.0, 0.03) << when << " " << channel;
        }
    }

    std::optional<uint32_t> sink;
};

TEST_F (SoundServerRestart, ConsolesAndTheirSourcesComeBackAfterTheServerRestartsOrCrashes)
{
    makeSink();
    makeSources();
    ::testing::internal::CaptureStderr();
    tracker.scanForDevices();
    listenForDeviceChanges();
    ASSERT_EQ (tracker.devices.size(), 1u);
    auto& console = *tracker.devices[0];

    addSourceWithCapture (console, 0, sourceKindApplication, "toneapp", "Tone App");
    addSourceWithCapture (console, 2, sourceKindInputDevice, "test-mic", "Test Mic");
    pumpFor (300ms);
    expectRouted ("before");

    for (const auto crash : { false, true })
    {
        const auto what = crash ? "after a crash" : "after a restart";
        ASSERT_TRUE (world->stopSoundServer (crash));
        stopSources();

        // The message thread keeps going while the server is away; the
        // console closes (its device stopped) and waits.
        const auto stillGoing = juce::Time::getMillisecondCounterHiRes();
        EXPECT_TRUE (pumpUntil ([&] { return tracker.devices.empty() || ! tracker.devices[0]->isOpen(); }, 10s)) << what;
        pumpFor (1500ms);
        EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - stillGoing, 8000.0) << what;

        ASSERT_TRUE (world->startSoundServer()) << world->logs();
        makeSink();
        ASSERT_TRUE (pumpUntil ([&] { return tracker.devices.size() == 1 && tracker.devices[0]->isOpen()
                                             && tracker.devices[0]->channelsForSlot (2).size() == 1; }, 20s)) << what;

        // The sources come back after the console: the application's capture
        // links the new tone application in, the input is captured again
        // once a source of its name is there (its id changed).
        makeSources();
        auto& back = *tracker.devices[0];
        EXPECT_TRUE (pumpUntil ([&] { return inputCaptureIsLive (&back, back.channelsForSlot (2).at (0).channelId); }, 10s)) << what;
        pumpFor (500ms);
        const auto musicNow = back.channelsForSlot (0);
        const auto aNow = back.channelsForSlot (2);
        ASSERT_EQ (musicNow.size(), 1u) << what;
        EXPECT_TRUE (hasAppCapture (&back, musicNow[0].channelId)) << what;
        EXPECT_TRUE (hasInputCapture (&back, aNow[0].channelId)) << what;
        expectRouted (what);
    }

    const auto output = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ (count (output, "LMW:   restored slot assignments for S/N V1\n"), 2u) << output;
}

TEST_F (SoundServerRestart, AServerThatStartsAfterLoomwellIsWaitedFor)
{
    ASSERT_TRUE (world->stopSoundServer (false));

    ::testing::internal::CaptureStderr();
    tracker.scanForDevices();
    tracker.installDeviceListListener();
    EXPECT_TRUE (tracker.listenerInstalled);
    EXPECT_TRUE (tracker.devices.empty());
    pumpFor (1500ms);

    ASSERT_TRUE (world->startSoundServer()) << world->logs();
    makeSink();
    EXPECT_TRUE (pumpUntil ([&] { return tracker.devices.size() == 1 && tracker.devices[0]->isOpen(); }, 20s));
    const auto output = ::testing::internal::GetCapturedStderr();
    EXPECT_NE (output.find ("LMW:   opened Mixora Vantor (S/N V1)\n"), std::string::npos) << output;
}

TEST_F (SoundServerRestart, AnInputThatGoesAwayAndComesBackIsCapturedAgain)
{
    makeSink();
    makeSources();
    ::testing::internal::CaptureStderr();
    tracker.scanForDevices();
    listenForDeviceChanges();
    ASSERT_EQ (tracker.devices.size(), 1u);
    auto& console = *tracker.devices[0];
    addSourceWithCapture (console, 0, sourceKindApplication, "toneapp", "Tone App");
    const auto a = addSourceWithCapture (console, 2, sourceKindInputDevice, "test-mic", "Test Mic");
    ASSERT_TRUE (inputCaptureIsLive (&console, a));

    for (int round = 0; round < 3; ++round)
    {
        testing::stopFedSource (*world, sources.back());
        sources.pop_back();
        EXPECT_TRUE (pumpUntil ([&] { return ! inputCaptureIsLive (&console, a); }, 10s)) << round;
        EXPECT_TRUE (hasInputCapture (&console, a));

        ASSERT_TRUE (feedInput ("test-mic", "Test Mic", { { 1000.0, 0.2f } })) << world->logs();
        EXPECT_TRUE (pumpUntil ([&] { return inputCaptureIsLive (&console, a); }, 10s)) << round;
    }
    pumpFor (300ms);
    expectRouted ("after the microphone came back");
    ::testing::internal::GetCapturedStderr();
}

} // namespace
} // namespace loomwell
