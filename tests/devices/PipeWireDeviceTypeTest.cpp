#include "MessagePump.h"
#include "PipeWireConnection.h"
#include "PipeWireDeviceType.h"
#include "PipeWireWorld.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::NullSinkOptions;
using testing::PipeWireWorld;
using testing::pumpUntil;

const juce::String vantorName = "Mixora Vantor Main Multitrack";

// Writes a 0.5 sine on output 4 and a 0.25 sine on output 5.
struct ToneCallback final : juce::AudioIODeviceCallback
{
    void audioDeviceIOCallbackWithContext (const float* const*, int, float* const* outputs, int numOutputs,
                                           int numSamples, const juce::AudioIODeviceCallbackContext&) override
    {
        channelsSeen = numOutputs;
        largestBlock = std::max (largestBlock.load(), numSamples);
        for (int i = 0; i < numSamples; ++i, phase += 2.0 * juce::MathConstants<double>::pi * 440.0 / 48000.0)
        {
            outputs[4][i] = 0.5f * static_cast<float> (std::sin (phase));
            outputs[5][i] = 0.25f * static_cast<float> (std::sin (phase));
        }
        frames += numSamples;
    }

    void audioDeviceAboutToStart (juce::AudioIODevice* device) override
    {
        startedRate = device->getCurrentSampleRate();
        startedBlockSize = device->getCurrentBufferSizeSamples();
    }

    void audioDeviceStopped() override { ++stops; }

    double phase = 0.0;
    std::atomic<int> channelsSeen { 0 }, largestBlock { 0 }, frames { 0 }, stops { 0 };
    double startedRate = 0.0;
    int startedBlockSize = 0;
};

struct ListChangeProbe final : juce::AudioIODeviceType::Listener
{
    void audioDeviceListChanged() override
    {
        ++calls;
        onMessageThread = onMessageThread && juce::MessageManager::existsAndIsCurrentThread();
    }
    int calls = 0;
    bool onMessageThread = true;
};

struct ChangeCounter final : juce::ChangeListener
{
    void changeListenerCallback (juce::ChangeBroadcaster*) override { ++changes; }
    int changes = 0;
};

juce::BigInteger firstChannels (int n)
{
    juce::BigInteger bits;
    bits.setRange (0, n, true);
    return bits;
}

class PipeWireDeviceTypeTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        juce::MessageManager::getInstance();
        world = std::make_unique<PipeWireWorld>();
        ready = world->start();
        if (ready)
            vantorId = world->createNullSink ({ "mixora-vantor", vantorName.toStdString(), 10, {}, 0 });
    }

    static void TearDownTestSuite()
    {
        world.reset();
        juce::MessageManager::deleteInstance();
    }

    void SetUp() override
    {
        ASSERT_TRUE (ready && vantorId) << world->logs();
        type = createPipeWireDeviceType();
        type->scanForDevices();
    }

    static inline std::unique_ptr<PipeWireWorld> world;
    static inline bool ready = false;
    static inline std::optional<uint32_t> vantorId;
    std::unique_ptr<juce::AudioIODeviceType> type;
};

TEST_F (PipeWireDeviceTypeTest, ListsSinksByDescriptionWithTheirChannelNames)
{
    EXPECT_EQ (type->getTypeName(), "PipeWire");
    const auto names = type->getDeviceNames (false);
    EXPECT_TRUE (names.contains (vantorName)) << names.joinIntoString (", ");
    EXPECT_TRUE (names.contains ("Speakers"));
    EXPECT_TRUE (type->getDeviceNames (true).isEmpty());
    EXPECT_EQ (type->createDevice ("Speakers", "Speakers"), nullptr);

    const std::unique_ptr<juce::AudioIODevice> vantor (type->createDevice (vantorName, {}));
    ASSERT_NE (vantor, nullptr);
    EXPECT_EQ (vantor->getOutputChannelNames().joinIntoString (" "), "AUX0 AUX1 AUX2 AUX3 AUX4 AUX5 AUX6 AUX7 AUX8 AUX9");
    EXPECT_TRUE (vantor->getInputChannelNames().isEmpty());
    EXPECT_EQ (type->getIndexOfDevice (vantor.get(), false), names.indexOf (vantorName));

    const std::unique_ptr<juce::AudioIODevice> speakers (type->createDevice ("Speakers", {}));
    ASSERT_NE (speakers, nullptr);
    EXPECT_EQ (speakers->getOutputChannelNames().joinIntoString (" "), "FL FR");

    juce::OwnedArray<juce::AudioIODeviceType> types;
    addLinuxDeviceTypes (types);
    ASSERT_EQ (types.size(), 3);
    EXPECT_EQ (types[0]->getTypeName(), "PipeWire");
    EXPECT_EQ (types[1]->getTypeName(), "ALSA");
    EXPECT_EQ (types[2]->getTypeName(), "JACK");
}

TEST_F (PipeWireDeviceTypeTest, SinksOfTheSameNameAreNumberedInRegistryOrder)
{
    const auto first = world->createNullSink ({ "twin-a", "Twin Output", 2, {}, 0 });
    const auto second = world->createNullSink ({ "twin-b", "Twin Output", 4, {}, 0 });
    ASSERT_TRUE (first && second);

    type->scanForDevices();
    const auto names = type->getDeviceNames (false);
    const int plain = names.indexOf ("Twin Output"), numbered = names.indexOf ("Twin Output (2)");
    ASSERT_GE (plain, 0) << names.joinIntoString (", ");
    EXPECT_GT (numbered, plain);
    EXPECT_FALSE (names.contains ("Twin Output (3)"));

    const std::unique_ptr<juce::AudioIODevice> a (type->createDevice ("Twin Output", {}));
    const std::unique_ptr<juce::AudioIODevice> b (type->createDevice ("Twin Output (2)", {}));
    ASSERT_TRUE (a != nullptr && b != nullptr);
    EXPECT_EQ (a->getOutputChannelNames().size(), 2);
    EXPECT_EQ (b->getOutputChannelNames().size(), 4);

    // The first one gone, the second takes the plain name.
    ASSERT_TRUE (world->destroyNode (*first));
    type->scanForDevices();
    EXPECT_EQ (type->getDeviceNames (false).indexOf ("Twin Output (2)"), -1);
    const std::unique_ptr<juce::AudioIODevice> c (type->createDevice ("Twin Output", {}));
    ASSERT_NE (c, nullptr);
    EXPECT_EQ (c->getOutputChannelNames().size(), 4);
    EXPECT_TRUE (world->destroyNode (*second));
}

// The console opens its device the way a DeviceInstance does; what the
// callback writes on outputs 4 and 5 must come out of the sink's channels 4
// and 5 and nowhere else.
TEST_F (PipeWireDeviceTypeTest, DeviceManagerPlaysTheCallbackIntoTheSinkChannels)
{
    const auto path = world->runtimeDir() + "/vantor.wav";
    const auto recorder = world->startRecording (*vantorId, 10, path);
    ASSERT_TRUE (recorder) << world->logs();

    ToneCallback tone;
    {
        juce::AudioDeviceManager manager;
        manager.addAudioDeviceType (createPipeWireDeviceType());
        ASSERT_EQ (manager.initialise (0, 10, nullptr, false, vantorName, nullptr), "");
        auto* device = manager.getCurrentAudioDevice();
        ASSERT_NE (device, nullptr);
        EXPECT_EQ (device->getName(), vantorName);
        EXPECT_EQ (device->getTypeName(), "PipeWire");

        auto setup = manager.getAudioDeviceSetup();
        setup.outputChannels = firstChannels (std::min (10, device->getOutputChannelNames().size()));
        setup.inputChannels.clear();
        ASSERT_EQ (manager.setAudioDeviceSetup (setup, true), "");

        manager.addAudioCallback (&tone);
        EXPECT_EQ (tone.startedRate, 48000.0);
        EXPECT_GT (tone.startedBlockSize, 0);
        ASSERT_TRUE (pumpUntil ([&] { return tone.frames.load() >= 48000; })) << world->logs();
        manager.removeAudioCallback (&tone);
        EXPECT_EQ (tone.channelsSeen.load(), 10);
        EXPECT_LE (tone.largestBlock.load(), tone.startedBlockSize);
        manager.closeAudioDevice();
    }
    ASSERT_TRUE (world->stopRecording (*recorder));

    const auto recording = testing::readFloatWav (path);
    ASSERT_TRUE (recording);
    ASSERT_EQ (recording->channels, 10);
    EXPECT_GT (recording->frames(), 24000);
    for (int ch = 0; ch < 10; ++ch)
    {
        const float expected = ch == 4 ? 0.5f : ch == 5 ? 0.25f : 0.0f;
        EXPECT_NEAR (recording->peak (ch), expected, 0.02f) << "channel " << ch;
    }
}

TEST_F (PipeWireDeviceTypeTest, RemovedSinkIsAnnouncedAndItsDeviceDeclaresItselfGone)
{
    const auto trel = world->createNullSink ({ "mixora-trel", "Mixora Trel Main Multitrack", 10, {}, 0 });
    ASSERT_TRUE (trel);
    type->scanForDevices();

    const std::unique_ptr<juce::AudioIODevice> device (type->createDevice ("Mixora Trel Main Multitrack", {}));
    ASSERT_NE (device, nullptr);
    ASSERT_EQ (device->open ({}, firstChannels (10), 48000.0, 512), "");
    ToneCallback tone;
    device->start (&tone);
    ASSERT_TRUE (pumpUntil ([&] { return tone.frames.load() > 4800; }));
    EXPECT_TRUE (device->isPlaying());

    ListChangeProbe probe;
    type->addListener (&probe);
    ASSERT_TRUE (world->destroyNode (*trel));
    ASSERT_TRUE (pumpUntil ([&] { return probe.calls > 0; }));
    EXPECT_TRUE (probe.onMessageThread);
    EXPECT_FALSE (type->getDeviceNames (false).contains ("Mixora Trel Main Multitrack"));

    EXPECT_FALSE (device->isPlaying());
    EXPECT_TRUE (device->getLastError().contains ("gone"));
    const int framesWhenGone = tone.frames.load();
    pumpUntil ([] { return false; }, 200ms);
    EXPECT_EQ (tone.frames.load(), framesWhenGone);

    device->stop();
    EXPECT_EQ (tone.stops.load(), 1);
    device->close();
    type->removeListener (&probe);
}

// What JUCE's device manager does on its own when its sink vanishes. It
// closes the device and reopens what it was last told to open. A console
// enables exactly the channels the manager already reports, so its
// setAudioDeviceSetup changes nothing and stores no explicit setup: the
// manager retries the vanished name and is left without a device. Had a
// different setup been applied, it would fall back to the type's default
// device and keep calling the console's callback from there.
TEST_F (PipeWireDeviceTypeTest, DeviceManagerLetsGoOfARemovedSink)
{
    for (const int enabledChannels : { 10, 8 })
    {
        SCOPED_TRACE (enabledChannels);
        const auto trel = world->createNullSink ({ "mixora-trel-2", "Mixora Trel Main Multitrack", 10, {}, 0 });
        ASSERT_TRUE (trel);

        juce::AudioDeviceManager manager;
        manager.addAudioDeviceType (createPipeWireDeviceType());
        ASSERT_EQ (manager.initialise (0, 10, nullptr, false, "Mixora Trel Main Multitrack", nullptr), "");
        auto setup = manager.getAudioDeviceSetup();
        setup.outputChannels = firstChannels (enabledChannels);
        setup.inputChannels.clear();
        ASSERT_EQ (manager.setAudioDeviceSetup (setup, true), "");
        ToneCallback tone;
        manager.addAudioCallback (&tone);
        ChangeCounter counter;
        manager.addChangeListener (&counter);
        pumpUntil ([] { return false; }, 100ms);
        counter.changes = 0;

        ASSERT_TRUE (world->destroyNode (*trel));
        ASSERT_TRUE (pumpUntil ([&] { return counter.changes > 0; }));
        EXPECT_GE (tone.stops.load(), 1);
        auto* current = manager.getCurrentAudioDevice();
        if (enabledChannels == 10)
        {
            EXPECT_EQ (current, nullptr);
        }
        else
        {
            ASSERT_NE (current, nullptr);
            EXPECT_EQ (current->getName(), type->getDeviceNames (false)[0]);
        }

        manager.removeChangeListener (&counter);
        manager.removeAudioCallback (&tone);
        manager.closeAudioDevice();
    }
}

class PipeWireWithoutDaemonTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        juce::MessageManager::getInstance();
        world = std::make_unique<PipeWireWorld>();
        ready = world->start (false);
    }

    static void TearDownTestSuite()
    {
        world.reset();
        juce::MessageManager::deleteInstance();
    }

    static inline std::unique_ptr<PipeWireWorld> world;
    static inline bool ready = false;
};

TEST_F (PipeWireWithoutDaemonTest, TypeListsNothingAndNothingOpens)
{
    ASSERT_TRUE (ready);
    EXPECT_FALSE (PipeWireConnection::instance().refresh());

    auto type = createPipeWireDeviceType();
    type->scanForDevices();
    EXPECT_TRUE (type->getDeviceNames (false).isEmpty());
    EXPECT_EQ (type->getDefaultDeviceIndex (false), -1);
    EXPECT_EQ (type->createDevice (vantorName, {}), nullptr);

    juce::AudioDeviceManager manager;
    manager.addAudioDeviceType (std::move (type));
    manager.initialise (0, 10, nullptr, false, vantorName, nullptr);
    EXPECT_EQ (manager.getCurrentAudioDevice(), nullptr);
}

// The process keeps one connection: when the daemon goes away its sinks
// vanish (and are announced), and a daemon that comes back is found again.
TEST_F (PipeWireWithoutDaemonTest, ConnectionFollowsTheDaemonAwayAndBack)
{
    auto type = createPipeWireDeviceType();
    ListChangeProbe probe;
    type->addListener (&probe);

    for (int round = 0; round < 2; ++round)
    {
        SCOPED_TRACE (round);
        PipeWireWorld daemons;
        ASSERT_TRUE (daemons.start()) << daemons.logs();
        ASSERT_TRUE (daemons.createNullSink ({ "mixora-vantor", vantorName.toStdString(), 10, {}, 0 }));
        type->scanForDevices();
        EXPECT_TRUE (type->getDeviceNames (false).contains (vantorName));

        pumpUntil ([] { return false; }, 100ms);
        probe.calls = 0;
        daemons.stop();
        ASSERT_TRUE (pumpUntil ([&] { return probe.calls > 0; }));
        EXPECT_TRUE (type->getDeviceNames (false).isEmpty());
    }
    type->removeListener (&probe);
}

} // namespace
} // namespace loomwell
