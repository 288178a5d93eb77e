#include "InputCapture.h"
#include "InputDevices.h"
#include "PipeWireConnection.h"
#include "PipeWireWorld.h"
#include "SampleConversion.h"
#include "ToneSources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace testing;

// Planar input as the capture stream hands it over: one channel per buffer.
TEST (InputInterleave, PlanarBlocksBecomeStereoFrames)
{
    const float left[] = { 0.1f, 0.2f, 0.3f }, right[] = { -0.1f, -0.2f, -0.3f }, third[] = { 9.0f, 9.0f, 9.0f };
    std::vector<float> scratch (64);
    const auto convert = [&] (std::vector<const float*> planes, int frames) {
        RingBuffer ring;
        SampleBlock block;
        block.frames = frames;
        block.numBuffers = static_cast<int> (planes.size());
        block.channelsInFirstBuffer = 1;
        std::copy (planes.begin(), planes.end(), block.data);
        writeSampleBlock (block, &ring, { scratch.data(), static_cast<int> (scratch.size()) });
        std::vector<float> out (16);
        out.resize (static_cast<size_t> (ring.read (out.data(), 16)));
        return out;
    };

    EXPECT_EQ (convert ({ left }, 3), (std::vector<float> { 0.1f, 0.1f, 0.2f, 0.2f, 0.3f, 0.3f }));
    EXPECT_EQ (convert ({ left, right }, 3), (std::vector<float> { 0.1f, -0.1f, 0.2f, -0.2f, 0.3f, -0.3f }));
    EXPECT_EQ (convert ({ left, right, third, third }, 2), (std::vector<float> { 0.1f, -0.1f, 0.2f, -0.2f }));
    EXPECT_TRUE (convert ({ left, right }, 0).empty());
    EXPECT_TRUE (convert ({}, 3).empty());
}

// Drains the ring buffer at a real-time pace, as the mixing callback would.
std::vector<float> collect (RingBuffer& ring, std::chrono::milliseconds duration)
{
    std::vector<float> samples, block (4096);
    for (const auto end = Clock::now() + duration; Clock::now() < end; std::this_thread::sleep_for (10ms))
        while (const int n = ring.read (block.data(), static_cast<int> (block.size())))
            samples.insert (samples.end(), block.begin(), block.begin() + n);
    return samples;
}

struct Tone
{
    double frequency = 0.0;
    float peak = 0.0f;
};

// Frequency from rising zero crossings over at most the last second of one
// side's signal.
Tone measure (const std::vector<float>& stereo, int side)
{
    std::vector<float> x;
    for (size_t i = static_cast<size_t> (side); i < stereo.size(); i += 2)
        x.push_back (stereo[i]);
    // The feed may have been linked a moment after the capture started.
    x.erase (x.begin(), std::find_if (x.begin(), x.end(), [] (float v) { return std::abs (v) > 0.05f; }));
    if (x.size() > 48000)
        x.erase (x.begin(), x.end() - 48000);
    Tone tone;
    int crossings = 0;
    for (size_t i = 1; i < x.size(); ++i)
    {
        crossings += x[i - 1] < 0.0f && x[i] >= 0.0f ? 1 : 0;
        tone.peak = std::max (tone.peak, std::abs (x[i]));
    }
    tone.frequency = x.empty() ? 0.0 : crossings * 48000.0 / static_cast<double> (x.size());
    return tone;
}

// A world with two fed sources: "Test Mic", a mono virtual source playing
// 440 Hz at 0.5, and "Test Stereo" with 440 Hz at 0.5 on the left and
// 1000 Hz at 0.25 on the right.
class InputCaptureTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (world.start()) << world.logs();
        monoSource = makeFedSource (world, "test-mic", "Test Mic", { { 440.0, 0.5f } }, 60.0);
        mic = monoSource.node;
        ASSERT_TRUE (mic.has_value()) << world.logs();
        stereoSource = makeFedSource (world, "test-stereo", "Test Stereo", { { 440.0, 0.5f }, { 1000.0, 0.25f } }, 60.0);
        stereo = stereoSource.node;
        ASSERT_TRUE (stereo.has_value()) << world.logs();
    }

    void TearDown() override
    {
        stopAllInputCaptures (this);
        stopFedSource (world, stereoSource);
        stopFedSource (world, monoSource);
        world.stop();
    }

    static bool writesStopped (const RingBuffer& ring)
    {
        const auto before = ring.getWritePos();
        std::this_thread::sleep_for (300ms);
        return ring.getWritePos() == before;
    }

    PipeWireWorld world;
    FedSource monoSource, stereoSource;
    std::optional<PipeWireNode> mic, stereo;
};

TEST_F (InputCaptureTest, ListsSourcesButNotSinksMonitorsOrConsoles)
{
    ASSERT_TRUE (runTool (world, { "pw-cli", "create-node", "adapter",
        "{ factory.name=support.null-audio-sink media.class=Audio/Source/Virtual object.linger=true "
        "node.name=console-in node.description=\"Mixora 12 Input\" audio.position=[FL FR] }" }));
    std::string longName (300, 'x'), longDescription;
    for (int i = 0; i < 150; ++i)
        longDescription += "\xC3\xA9"; // two bytes each
    ASSERT_TRUE (runTool (world, { "pw-cli", "create-node", "adapter",
        "{ factory.name=support.null-audio-sink media.class=Audio/Source/Virtual object.linger=true node.name="
        + longName + " node.description=\"" + longDescription + "\" audio.position=[MONO] }" }));
    ASSERT_TRUE (waitForNode ("console-in", 2) && waitForNode (longName, 1));

    const auto devices = listInputDevices();
    std::vector<std::string> uids;
    for (const auto& d : devices)
        uids.push_back (d.uid);
    // Registry order; the sinks (Speakers, the loopback's feed) and their
    // monitors are not sources, and the console's own input is never offered.
    ASSERT_EQ (uids, (std::vector<std::string> { "test-mic", "test-stereo", longName.substr (0, maxInputTextBytes) }));

    EXPECT_EQ (devices[0].name, "Test Mic");
    EXPECT_EQ (devices[0].deviceId, mic->serial);
    EXPECT_EQ (devices[1].name, "Test Stereo");
    EXPECT_EQ (devices[1].deviceId, stereo->serial);
    // Cut at a character boundary: 127 whole characters, never half of one.
    EXPECT_EQ (devices[2].name, longDescription.substr (0, 254));
}

TEST_F (InputCaptureTest, MonoSourceIsHeardOnBothSides)
{
    auto ring = std::make_shared<RingBuffer>();
    startInputCapture (this, static_cast<uint32_t> (mic->serial), 3, ring);
    ASSERT_TRUE (hasInputCapture (this, 3)) << world.logs();
    // Our capture is a stream, never a source that anyone could route from.
    for (const auto& device : listInputDevices())
        EXPECT_NE (device.uid, "loomwell-input");
    for (const auto& node : PipeWireConnection::instance().allNodes())
        if (node.name == "loomwell-input")
        {
            EXPECT_EQ (node.mediaClass, "Stream/Input/Audio");
        }

    const auto samples = collect (*ring, 1500ms);
    ASSERT_GT (samples.size(), 2u * 48000u);
    for (size_t i = 0; i + 1 < samples.size(); i += 2)
        ASSERT_EQ (samples[i], samples[i + 1]) << "frame " << i / 2;
    const auto tone = measure (samples, 0);
    EXPECT_NEAR (tone.frequency, 440.0, 5.0);
    EXPECT_NEAR (tone.peak, 0.5f, 0.02f);

    stopInputCapture (this, 3);
    EXPECT_FALSE (hasInputCapture (this, 3));
    EXPECT_TRUE (writesStopped (*ring));
}

TEST_F (InputCaptureTest, StereoSourceKeepsItsSidesApart)
{
    auto ring = std::make_shared<RingBuffer>();
    startInputCapture (this, static_cast<uint32_t> (stereo->serial), 0, ring);
    ASSERT_TRUE (hasInputCapture (this, 0)) << world.logs();

    const auto samples = collect (*ring, 1500ms);
    const auto left = measure (samples, 0), right = measure (samples, 1);
    EXPECT_NEAR (left.frequency, 440.0, 5.0);
    EXPECT_NEAR (left.peak, 0.5f, 0.02f);
    EXPECT_NEAR (right.frequency, 1000.0, 5.0);
    EXPECT_NEAR (right.peak, 0.25f, 0.02f);

    stopInputCapture (this, 0);
    EXPECT_TRUE (writesStopped (*ring));
}

TEST_F (InputCaptureTest, RestartMoveAndStopAllKeepConsolesApart)
{
    const int otherConsole = 0;
    auto first = std::make_shared<RingBuffer>(), second = std::make_shared<RingBuffer>(), other = std::make_shared<RingBuffer>();
    startInputCapture (this, static_cast<uint32_t> (mic->serial), 1, first);
    startInputCapture (&otherConsole, static_cast<uint32_t> (mic->serial), 1, other);
    // Starting again on a channel replaces its capture: the old buffer falls silent.
    startInputCapture (this, static_cast<uint32_t> (stereo->serial), 1, second);
    ASSERT_TRUE (hasInputCapture (this, 1) && hasInputCapture (&otherConsole, 1));
    EXPECT_TRUE (writesStopped (*first));

    moveInputCapture (this, 1, 5);
    EXPECT_FALSE (hasInputCapture (this, 1));
    ASSERT_TRUE (hasInputCapture (this, 5));
    EXPECT_NEAR (measure (collect (*second, 600ms), 1).frequency, 1000.0, 5.0);

    stopAllInputCaptures (this);
    EXPECT_FALSE (hasInputCapture (this, 5));
    EXPECT_TRUE (writesStopped (*second));
    EXPECT_TRUE (hasInputCapture (&otherConsole, 1));
    EXPECT_NEAR (measure (collect (*other, 600ms), 0).frequency, 440.0, 5.0);
    stopAllInputCaptures (&otherConsole);
    EXPECT_TRUE (writesStopped (*other));
}

TEST_F (InputCaptureTest, WhatIsNotASourceIsNotCaptured)
{
    auto ring = std::make_shared<RingBuffer>();
    const auto speakers = waitForNode ("speakers", 2);
    ASSERT_TRUE (speakers.has_value());
    startInputCapture (this, static_cast<uint32_t> (speakers->serial), 2, ring); // a sink
    EXPECT_FALSE (hasInputCapture (this, 2));
    startInputCapture (this, 999999, 2, ring);
    EXPECT_FALSE (hasInputCapture (this, 2));
    stopInputCapture (this, 2); // nothing to stop
    EXPECT_EQ (ring->getWritePos(), 0);
}

TEST_F (InputCaptureTest, FourChannelSourceIsCapturedAsTwo)
{
    ASSERT_TRUE (runTool (world, { "pw-cli", "create-node", "adapter",
        "{ factory.name=support.null-audio-sink media.class=Audio/Source/Virtual object.linger=true "
        "node.name=quad node.description=Quad audio.position=[FL FR RL RR] }" }));
    const auto quad = waitForNode ("quad", 4);
    ASSERT_TRUE (quad.has_value());

    auto ring = std::make_shared<RingBuffer>();
    startInputCapture (this, static_cast<uint32_t> (quad->serial), 6, ring);
    ASSERT_TRUE (hasInputCapture (this, 6)) << world.logs();
    const auto samples = collect (*ring, 500ms); // a null source: silent frames
    EXPECT_GT (samples.size(), 2u * 4800u);
    EXPECT_EQ (samples.size() % 2, 0u);
}

TEST_F (InputCaptureTest, VanishedSourceLeavesARegisteredSilentCapture)
{
    auto ring = std::make_shared<RingBuffer>();
    startInputCapture (this, static_cast<uint32_t> (stereo->serial), 4, ring);
    ASSERT_TRUE (hasInputCapture (this, 4));
    ASSERT_FALSE (collect (*ring, 300ms).empty());

    // The stereo source goes; the mono one, still playing, must not take its place.
    const auto loopback = stereoSource.processes.back(); // the feed plays on
    stereoSource.processes.pop_back();
    PipeWireWorld::stopProcess (loopback);
    collect (*ring, 500ms);
    EXPECT_TRUE (collect (*ring, 1000ms).empty());
    EXPECT_TRUE (hasInputCapture (this, 4));

    stopInputCapture (this, 4);
    EXPECT_FALSE (hasInputCapture (this, 4));
}

} // namespace
} // namespace loomwell
