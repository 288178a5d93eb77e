// The sound server going away under a running console: PipeWire and
// WirePlumber stopped as an upgrade stops them, or killed, while a tone
// application and a tone-fed microphone are captured on a console's slots;
// then started again. And a sound server that starts after Loomwell.

#include "AppCapture.h"
#include "ConsoleSuite.h"
#include "InputCapture.h"
#include "InputDevices.h"
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

const std::string vantorDevice = "Mixora Vantor Main Multitrack";

class SoundServerRestart : public testing::ConsoleSuite
{
protected:
    void TearDown() override
    {
        tracker.removeDeviceListListener();
        ConsoleSuite::TearDown();
        stopSources();
        if (sink)
            world->destroyNode (*sink);
        if (! world->waitUntilReady (1s))
            world->startSoundServer();
    }

    void stopSources()
    {
        for (auto pid : apps)
            testing::PipeWireWorld::stopProcess (pid);
        apps.clear();
        for (auto& source : sources)
            testing::stopFedSource (*world, source);
        sources.clear();
    }

    // What dies with the daemon: the console's sink, the tone application
    // and the microphone's feed. The sink is made through the world's own
    // connection, so that only Loomwell's reconnection can find it.
    void makeSink()
    {
        sink = world->createNullSink ({ "mixora-vantor", vantorDevice, 10, {}, 0 });
        ASSERT_TRUE (sink) << world->logs();
    }

    void makeSources()
    {
        const auto path = world->runtimeDir() + "/tone.wav";
        testing::writeToneWav (path, { { 440.0, 0.3f } }, 60.0);
        apps.push_back (testing::playToneApp (*world, "toneapp", "Tone App", path));
        sources.push_back (testing::makeFedSource (*world, "test-mic", "Test Mic", { { 1000.0, 0.2f } }, 60.0));
        ASSERT_TRUE (sources.back().node) << world->logs();
    }

    std::optional<testing::Recording> record()
    {
        const auto path = world->runtimeDir() + "/console" + std::to_string (recordings++) + ".wav";
        const auto recorder = world->startRecording (*sink, 10, path);
        if (! recorder)
            return std::nullopt;
        pumpFor (1200ms);
        if (! world->stopRecording (*recorder))
            return std::nullopt;
        return testing::readFloatWav (path);
    }

    void expectRouted (const char* when)
    {
        const auto heard = record();
        ASSERT_TRUE (heard && heard->channels == 10) << when << "\n" << world->logs();
        for (int channel = 0; channel < 10; ++channel)
        {
            EXPECT_NEAR (toneAmplitude (*heard, channel, 440.0), channel == 4 || channel == 5 ? 0.3 : 0.0, 0.03) << when << " " << channel;
            EXPECT_NEAR (toneAmplitude (*heard, channel, 1000.0), channel == 6 || channel == 7 ? 0.2 : 0.0, 0.03) << when << " " << channel;
        }
    }

    static size_t count (const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (auto at = text.find (what); at != std::string::npos; at = text.find (what, at + what.size()))
            ++n;
        return n;
    }

    std::optional<uint32_t> sink;
    std::vector<pid_t> apps;
    std::vector<testing::FedSource> sources;
    int recordings = 0;
};

TEST_F (SoundServerRestart, ConsolesAndTheirSourcesComeBackAfterTheServerRestartsOrCrashes)
{
    makeSink();
    makeSources();
    ::testing::internal::CaptureStderr();
    tracker.scanForDevices();
    tracker.installDeviceListListener();
    ASSERT_TRUE (tracker.listenerInstalled);
    ASSERT_EQ (tracker.devices.size(), 1u);
    auto& console = *tracker.devices[0];

    const auto music = console.addChannel (0, "toneapp", "Tone App");
    startAppCapture (&console, "toneapp", music, console.getChannelTable().shareRingBuffer (music));
    const auto mic = [] { for (const auto& input : listInputDevices()) if (input.uid == "test-mic") return input; return InputDevice {}; }();
    const auto a = console.addInputChannel (2, mic.uid, mic.name, mic.deviceId);
    startInputCapture (&console, mic.deviceId, a, console.getChannelTable().shareRingBuffer (a));
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
    tracker.installDeviceListListener();
    ASSERT_EQ (tracker.devices.size(), 1u);
    auto& console = *tracker.devices[0];
    const auto music = console.addChannel (0, "toneapp", "Tone App");
    startAppCapture (&console, "toneapp", music, console.getChannelTable().shareRingBuffer (music));
    const auto mic = [] { for (const auto& input : listInputDevices()) if (input.uid == "test-mic") return input; return InputDevice {}; }();
    const auto a = console.addInputChannel (2, mic.uid, mic.name, mic.deviceId);
    startInputCapture (&console, mic.deviceId, a, console.getChannelTable().shareRingBuffer (a));
    ASSERT_TRUE (inputCaptureIsLive (&console, a));

    for (int round = 0; round < 3; ++round)
    {
        testing::stopFedSource (*world, sources.back());
        sources.pop_back();
        EXPECT_TRUE (pumpUntil ([&] { return ! inputCaptureIsLive (&console, a); }, 10s)) << round;
        EXPECT_TRUE (hasInputCapture (&console, a));

        sources.push_back (testing::makeFedSource (*world, "test-mic", "Test Mic", { { 1000.0, 0.2f } }, 60.0));
        ASSERT_TRUE (sources.back().node) << world->logs();
        EXPECT_TRUE (pumpUntil ([&] { return inputCaptureIsLive (&console, a); }, 10s)) << round;
    }
    pumpFor (300ms);
    expectRouted ("after the microphone came back");
    ::testing::internal::GetCapturedStderr();
}

} // namespace
} // namespace loomwell
