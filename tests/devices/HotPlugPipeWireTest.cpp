// Hot-plug and slot restore with real captures: a private PipeWire world
// whose 10-channel null sink stands in for a console's multitrack device, a
// tone application and a tone-fed source. Only the USB registry is in-process.

#include "ConsoleSuite.h"
#include "Notifications.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <numbers>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::pumpFor;
using testing::pumpUntil;
using testing::toneAmplitude;

const std::string trelDevice = "Mixora Trel Main Multitrack";

class HotPlugOnPipeWire : public testing::ConsoleSuite
{
protected:
    void SetUp() override
    {
        ConsoleSuite::SetUp();
        registry.devices = { { "3a7d", "7301", "T1", "0105", "Mixora Trel" } };
        listenForDeviceChanges();
        token = NotificationCentre::defaultCentre().addObserver (deviceStateChangedNotification, [this] { ++posts; });
    }

    void TearDown() override
    {
        NotificationCentre::defaultCentre().removeObserver (token);
        ConsoleSuite::TearDown();
    }

    std::optional<uint32_t> makeConsoleSink() { return ConsoleSuite::makeConsoleSink ({ "mixora-trel", trelDevice, 10, {}, 0 }); }

    pid_t playTone (double frequency)
    {
        const auto pid = ConsoleSuite::playTone ("toneapp", "Tone App", frequency, 0.5f);
        EXPECT_GT (pid, 0) << world->logs();
        pumpFor (200ms);
        return pid;
    }

    std::optional<InputDevice> makeMic()
    {
        if (! feedInput ("test-mic", "Test Mic", { { 1000.0, 0.25f } }))
            return std::nullopt;
        for (const auto& input : listInputDevices())
            if (input.uid == "test-mic")
                return input;
        return std::nullopt;
    }

    static std::string captured (const std::function<void()>& action)
    {
        ::testing::internal::CaptureStderr();
        action();
        return ::testing::internal::GetCapturedStderr();
    }

    NotificationCentre::Token token = 0;
    int posts = 0;
};

TEST_F (HotPlugOnPipeWire, AConsoleWhoseSinkComesBackGetsItsCapturesBack)
{
    auto sink = makeConsoleSink();
    ASSERT_TRUE (sink) << world->logs();
    captured ([this] { tracker.scanForDevices(); });
    ASSERT_EQ (tracker.devices.size(), 1u);
    auto& console = *tracker.devices[0];
    pumpFor (300ms);

    playTone (440.0);
    const auto mic = makeMic();
    ASSERT_TRUE (mic) << world->logs();

    const auto music = console.addChannel (0, "toneapp", "Tone App");
    startAppCapture (&console, "toneapp", music, console.getChannelTable().shareRingBuffer (music));
    const auto a = console.addInputChannel (2, mic->uid, mic->name, mic->deviceId);
    startInputCapture (&console, mic->deviceId, a, console.getChannelTable().shareRingBuffer (a));
    ASSERT_TRUE (hasAppCapture (&console, music) && hasInputCapture (&console, a));
    pumpFor (200ms);
    posts = 0;

    // The sink goes away and comes back as a new node; the console stays on USB.
    std::string output = captured ([&] {
        ASSERT_TRUE (destroySink (*sink));
        pumpUntil ([&] { return ! console.isOpen(); });
        pumpFor (300ms);
        sink = makeConsoleSink();
        ASSERT_TRUE (sink);
        pumpUntil ([&] { return console.isOpen(); }, 15s);
        pumpFor (500ms);
    });
    EXPECT_NE (output.find ("LMW:   Mixora Trel (S/N T1) JUCE handle stale, closing\n"), std::string::npos) << output;
    EXPECT_NE (output.find ("LMW:   trying to reopen Mixora Trel (S/N T1)\n"), std::string::npos) << output;
    EXPECT_EQ (count (output, "LMW:   restored slot assignments for S/N T1\n"), 1u) << output;
    EXPECT_EQ (count (output, "skipped"), 0u) << output;
    EXPECT_EQ (posts, static_cast<int> (count (output, "LMW: handleDeviceListChange\n")));
    std::cout << "sink gone and back: " << count (output, "LMW: handleDeviceListChange\n") << " runs, "
              << tracker.runStatistics.requests << " requests so far\n";
    ASSERT_TRUE (console.isOpen());

    const auto restoredMusic = console.channelsForSlot (0);
    const auto restoredA = console.channelsForSlot (2);
    ASSERT_EQ (restoredMusic.size(), 1u);
    ASSERT_EQ (restoredA.size(), 1u);
    EXPECT_NE (restoredMusic[0].channelId, music);
    EXPECT_EQ (restoredA[0].sourceKind, sourceKindInputDevice);
    EXPECT_EQ (restoredA[0].bundleId, "test-mic");
    EXPECT_FALSE (hasAppCapture (&console, music) || hasInputCapture (&console, a));
    EXPECT_TRUE (hasAppCapture (&console, restoredMusic[0].channelId));
    EXPECT_TRUE (hasInputCapture (&console, restoredA[0].channelId));

    const auto heard = record (*sink);
    ASSERT_TRUE (heard && heard->channels == 10) << world->logs();
    for (int channel = 0; channel < 10; ++channel)
    {
        EXPECT_NEAR (toneAmplitude (*heard, channel, 440.0), channel == 4 || channel == 5 ? 0.5 : 0.0, 0.05) << channel;
        EXPECT_NEAR (toneAmplitude (*heard, channel, 1000.0), channel == 6 || channel == 7 ? 0.25 : 0.0, 0.03) << channel;
    }

    // Taking the application off "Music" while the input joins it there: the
    // slot entry takes over the input's source, whose capture keeps playing.
    const auto extra = console.addInputChannel (0, mic->uid, mic->name, restoredA[0].deviceId);
    startInputCapture (&console, restoredA[0].deviceId, extra, console.getChannelTable().shareRingBuffer (extra));
    const auto outcome = SourceRouter::live().remove (console, 0, "toneapp");
    EXPECT_EQ (outcome.movedFromChannelId, extra);
    EXPECT_EQ (outcome.movedToChannelId, restoredMusic[0].channelId);
    EXPECT_FALSE (hasAppCapture (&console, restoredMusic[0].channelId));
    EXPECT_FALSE (hasInputCapture (&console, extra));
    EXPECT_TRUE (hasInputCapture (&console, outcome.movedToChannelId));

    const auto after = record (*sink);
    ASSERT_TRUE (after && after->channels == 10);
    EXPECT_NEAR (toneAmplitude (*after, 4, 1000.0), 0.25, 0.03);
    EXPECT_NEAR (toneAmplitude (*after, 4, 440.0), 0.0, 0.03);
}

TEST_F (HotPlugOnPipeWire, OnePlugInIsOneRunWhenQueuedRunsAreFolded)
{
    // The console is on USB but its device is not there yet: nothing is tracked.
    captured ([this] { tracker.scanForDevices(); });
    ASSERT_TRUE (tracker.devices.empty());
    pumpFor (300ms);

    const auto plugIn = [this] (bool fold)
    {
        tracker.coalesceQueuedRuns = fold;
        tracker.runStatistics = {};
        const auto output = captured ([&] {
            ASSERT_TRUE (makeConsoleSink());
            pumpUntil ([&] { return ! tracker.devices.empty(); });
            pumpFor (1500ms);
        });
        EXPECT_EQ (tracker.devices.size(), 1u) << output;
        EXPECT_EQ (count (output, "LMW:   opened Mixora Trel (S/N T1)\n"), 1u) << output;
        const auto stats = tracker.runStatistics;
        std::cout << (fold ? "folded" : "unfolded") << ": " << stats.requests << " requests, " << stats.runs
                  << " runs, longest " << stats.longestTime.count() << " us, total " << stats.totalTime.count() << " us\n";

        // Unplugged again (device and USB) for the next round.
        registry.devices->clear();
        captured ([&] {
            for (auto id : std::vector<uint32_t> (sinks))
                destroySink (id);
            pumpFor (1000ms);
        });
        registry.devices = { { "3a7d", "7301", "T1", "0105", "Mixora Trel" } };
        EXPECT_TRUE (tracker.devices.empty());
        return stats;
    };

    const auto unfolded = plugIn (false);
    const auto folded = plugIn (true);
    EXPECT_GE (unfolded.runs, 1);
    EXPECT_GE (folded.runs, 1);
    EXPECT_LE (folded.runs, unfolded.runs);
}

} // namespace
} // namespace loomwell
