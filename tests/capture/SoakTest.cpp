#include "AppCapture.h"
#include "InputCapture.h"
#include "PipeWireConnection.h"
#include "PipeWireWorld.h"
#include "ToneSources.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace testing;

constexpr int numApps = 8, numInputs = 4;
constexpr auto soakLength = 60s;
constexpr double toneSeconds = 75.0; // the soak and everything set up before it

// Every capture a console can carry at once in a busy session: eight
// applications and four sources, each tone-fed, in one private world.
class CaptureSoakTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        juce::MessageManager::getInstance();
        ASSERT_TRUE (world.start()) << world.logs();
        ASSERT_TRUE (PipeWireConnection::instance().refresh());
    }

    void TearDown() override
    {
        stopAllAppCaptures (this);
        stopAllInputCaptures (this);
        for (const auto pid : apps)
            PipeWireWorld::stopProcess (pid);
        for (auto& source : sources)
            stopFedSource (world, source);
        world.stop();
        juce::MessageManager::deleteInstance();
    }

    PipeWireWorld world;
    std::vector<pid_t> apps;
    std::vector<FedSource> sources;
};

double seconds (const timeval& t)
{
    return static_cast<double> (t.tv_sec) + static_cast<double> (t.tv_usec) / 1e6;
}

double processCpuSeconds()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    return seconds (usage.ru_utime) + seconds (usage.ru_stime);
}

// Drained by a reader at real-time pace as the mixer would: 10 ms at a time
// once 85 ms are buffered. Reports what the reader found missing once a
// capture had started, and how close each ring came to full (a ring that is
// full drops what does not fit); asserts only that every capture kept
// delivering to the end.
TEST_F (CaptureSoakTest, EightApplicationsAndFourInputsForAMinute)
{
    const auto appTone = world.runtimeDir() + "/app.wav";
    writeToneWav (appTone, { { 440.0, 0.5f } }, toneSeconds);

    std::vector<std::shared_ptr<RingBuffer>> rings;
    std::vector<std::string> labels;
    for (int i = 0; i < numApps; ++i)
    {
        const auto binary = "soak" + std::to_string (i);
        const auto pid = playToneApp (world, binary, "Soak " + std::to_string (i), appTone);
        ASSERT_GT (pid, 0);
        apps.push_back (pid);
        ASSERT_TRUE (pumpUntil ([pid] { return isPlaying (pid); })) << world.logs();
        pumpFor (200ms); // the session manager links it to the sink

        rings.push_back (std::make_shared<RingBuffer>());
        labels.push_back ("app " + binary);
        startAppCapture (this, binary, i, rings.back());
        ASSERT_TRUE (hasAppCapture (this, i)) << world.logs();
    }

    // Two mono sources and two stereo ones, each with a tone of its own.
    for (int i = 0; i < numInputs; ++i)
    {
        const auto name = "soak-source-" + std::to_string (i);
        const auto frequency = 500.0 + 100.0 * i;
        const auto tones = i < 2 ? std::vector<Sine> { { frequency, 0.5f } }
                                 : std::vector<Sine> { { frequency, 0.5f }, { 2 * frequency, 0.25f } };
        sources.push_back (makeFedSource (world, name, "Soak source " + std::to_string (i), tones, toneSeconds));
        ASSERT_TRUE (sources.back().node.has_value()) << world.logs();

        rings.push_back (std::make_shared<RingBuffer>());
        labels.push_back (std::string (i < 2 ? "mono " : "stereo ") + name);
        const auto channelId = numApps + i;
        startInputCapture (this, static_cast<uint32_t> (sources.back().node->serial), channelId, rings.back());
        ASSERT_TRUE (hasInputCapture (this, channelId)) << world.logs();
    }

    constexpr int tick = 960, preBuffer = 8192, nearFull = RingBuffer::defaultCapacity - 1 - 4096;
    struct Counts
    {
        int64_t read = 0, written = 0, missing = 0;
        int nearFullTicks = 0, maxFill = 0, startTick = -1, lastDeliveryTick = -1;
        int32_t lastWritePos = 0;
    };
    std::vector<Counts> counts (rings.size());
    std::atomic<bool> running { true };
    std::atomic<int> ticks { 0 };
    auto started = Clock::now(), ended = started;
    const double cpuBefore = processCpuSeconds();

    std::thread reader ([&] {
        std::vector<float> block (tick);
        for (size_t i = 0; i < rings.size(); ++i) // what piled up while the others started
        {
            while (rings[i]->read (block.data(), tick) > 0) {}
            counts[i].lastWritePos = rings[i]->getWritePos();
        }
        started = Clock::now();
        int t = 0;
        for (auto next = started; running.load(); std::this_thread::sleep_until (next += 10ms), ++t)
            for (size_t i = 0; i < rings.size(); ++i)
            {
                auto& ring = *rings[i];
                auto& c = counts[i];
                const auto writePos = ring.getWritePos();
                // Less than a ring's worth arrives in 10 ms, so the step is unambiguous.
                c.written += (writePos - c.lastWritePos + ring.getCapacity()) % ring.getCapacity();
                c.lastDeliveryTick = writePos != c.lastWritePos ? t : c.lastDeliveryTick;
                c.lastWritePos = writePos;

                const auto fill = ring.fill();
                c.maxFill = std::max (c.maxFill, fill);
                c.nearFullTicks += fill >= nearFull ? 1 : 0;
                if (c.startTick < 0 && fill < preBuffer)
                    continue;
                c.startTick = c.startTick < 0 ? t : c.startTick;
                const int got = ring.read (block.data(), tick);
                c.read += got;
                c.missing += tick - got;
            }
        ticks = t;
        ended = Clock::now();
    });
    pumpFor (soakLength);
    running = false;
    reader.join();
    const double cpu = processCpuSeconds() - cpuBefore;
    const double elapsed = std::chrono::duration<double> (ended - started).count();

    std::printf ("soak: %.1f s, %d reader ticks, graph quantum %d\n", elapsed, ticks.load(),
                 PipeWireConnection::instance().defaultQuantum());
    std::printf ("%-24s %10s %10s %8s %9s %8s %9s %8s\n", "capture", "written", "of real", "read",
                 "missing", "start", "max fill", "nearfull");
    for (size_t i = 0; i < rings.size(); ++i)
    {
        const auto& c = counts[i];
        std::printf ("%-24s %10lld %9.2f%% %8lld %9lld %6d ms %9d %8d\n", labels[i].c_str(), static_cast<long long> (c.written),
                     100.0 * static_cast<double> (c.written) / (96000.0 * elapsed), static_cast<long long> (c.read),
                     static_cast<long long> (c.missing), c.startTick * 10, c.maxFill, c.nearFullTicks);

        // Kept delivering: at least half of the minute, and still in its last second.
        EXPECT_GE (c.startTick, 0) << labels[i];
        EXPECT_GT (c.read, 96000 * 30) << labels[i];
        EXPECT_GE (c.lastDeliveryTick, ticks.load() - 100) << labels[i];
    }
    std::printf ("process CPU time per second of audio: %.4f s\n", cpu / elapsed);
    RecordProperty ("cpuSecondsPerAudioSecond", std::to_string (cpu / elapsed));
}

} // namespace
} // namespace loomwell
