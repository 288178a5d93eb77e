#include "AppCapture.h"
#include "AppIdentity.h"
#include "AppList.h"
#include "PipeWireConnection.h"
#include "PipeWireDeviceType.h"
#include "PipeWireWorld.h"
#include "SampleConversion.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numbers>
#include <sys/resource.h>
#include <thread>

extern char** environ;

namespace juce
{
// juce_events' Linux message pump; JUCE only declares it for its own use.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
} // namespace juce

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::PipeWireWorld;

//==============================================================================
// Conversion of one block into the ring buffer.

std::vector<float> drain (RingBuffer& ring)
{
    std::vector<float> out (static_cast<size_t> (ring.getCapacity()));
    out.resize (static_cast<size_t> (ring.read (out.data(), static_cast<int> (out.size()))));
    return out;
}

struct ConversionTest : ::testing::Test
{
    RingBuffer ring;
    std::vector<float> scratch = std::vector<float> (RingBuffer::defaultCapacity);
    ConversionScratch space() { return { scratch.data(), static_cast<int> (scratch.size()) }; }
};

TEST_F (ConversionTest, InterleavedPlanarAndMonoBecomeInterleavedStereo)
{
    const float interleaved[] = { 1, -1, 2, -2, 3, -3 };
    SampleBlock block { 3, 1, 2, { interleaved } };
    EXPECT_EQ (writeSampleBlock (block, &ring, space()), 6);
    EXPECT_EQ (drain (ring), (std::vector<float> { 1, -1, 2, -2, 3, -3 }));

    const float left[] = { 1, 2, 3 }, right[] = { -1, -2, -3 };
    block = { 3, 2, 1, { left, right } };
    EXPECT_EQ (writeSampleBlock (block, &ring, space()), 6);
    EXPECT_EQ (drain (ring), (std::vector<float> { 1, -1, 2, -2, 3, -3 }));

    block = { 3, 1, 1, { left } };
    EXPECT_EQ (writeSampleBlock (block, &ring, space()), 6);
    EXPECT_EQ (drain (ring), (std::vector<float> { 1, 1, 2, 2, 3, 3 }));
}

TEST_F (ConversionTest, EmptyOddAndNullBlocksWriteNothing)
{
    const float samples[] = { 1, 2, 3, 4 };
    for (const auto& block : { SampleBlock { 2, 0, 2, {} },                     // no buffers
                               SampleBlock { 2, 1, 0, { samples } },            // zero channels
                               SampleBlock { 0, 1, 2, { samples } },            // no frames
                               SampleBlock { 2, 1, 2, { nullptr } },            // null interleaved data
                               SampleBlock { 2, 2, 1, { samples, nullptr } },   // null right side
                               SampleBlock { 2, 99, 1, { samples, samples } } }) // more buffers than a block holds
        EXPECT_EQ (writeSampleBlock (block, &ring, space()), 0);
    EXPECT_EQ (writeSampleBlock ({ 2, 1, 2, { samples } }, nullptr, space()), 0);
    EXPECT_EQ (ring.fill(), 0);
}

TEST_F (ConversionTest, AFullRingBufferDropsTheSurplusAndTheScratchBoundsAPlanarBlock)
{
    std::vector<float> left (30000, 0.25f), right (30000, -0.25f);
    // 60000 samples offered to a buffer that holds one less than its capacity: the oldest stay.
    EXPECT_EQ (writeSampleBlock ({ 30000, 2, 1, { left.data(), right.data() } }, &ring, space()), RingBuffer::defaultCapacity);
    EXPECT_EQ (ring.fill(), ring.getCapacity() - 1);
    EXPECT_EQ (writeSampleBlock ({ 10, 1, 1, { left.data() } }, &ring, space()), 20);
    EXPECT_EQ (ring.fill(), ring.getCapacity() - 1);
    const auto kept = drain (ring);
    EXPECT_EQ (kept[0], 0.25f);
    EXPECT_EQ (kept[1], -0.25f);
}

//==============================================================================
// The identity rule and the list built from a graph snapshot.

PipeWireNode playback (uint32_t id, PropertyMap props, uint32_t clientId = 0, std::string mediaClass = "Stream/Output/Audio")
{
    PipeWireNode node;
    node.id = id;
    node.clientId = clientId;
    node.mediaClass = std::move (mediaClass);
    node.properties = std::move (props);
    return node;
}

bool validUtf8 (const std::string& s)
{
    return juce::CharPointer_UTF8::isValidString (s.data(), static_cast<int> (s.size()));
}

TEST (AppIdentityTest, FollowsTheOrderOfKeysAndFallsBackToTheClient)
{
    EXPECT_EQ (appIdentity ({ { "application.name", "Player" }, { "application.process.binary", "player" } }, {}).bundleId, "player");
    EXPECT_EQ (appIdentity ({ { "application.name", "Player" }, { "application.id", "org.example.Player" },
                              { "application.process.binary", "player" } }, {}).bundleId, "org.example.Player");

    // Missing binary: the name serves as both; an empty or blank name is no name.
    const auto byName = appIdentity ({ { "application.name", "Player" } }, {});
    EXPECT_EQ (byName.bundleId, "Player");
    EXPECT_EQ (byName.name, "Player");
    const auto unnamed = appIdentity ({ { "application.name", " \t" }, { "application.process.binary", "player" } }, {});
    EXPECT_EQ (unnamed.bundleId, "player");
    EXPECT_EQ (unnamed.name, "player");
    EXPECT_TRUE (appIdentity ({ { "application.name", "" }, { "node.name", "x" } }, {}).bundleId.empty());

    // Node first, client second; the portal's id counts only on the client.
    const PropertyMap client { { "application.process.binary", "flatpak-app" }, { "application.process.id", "1234" },
                               { "pipewire.access.portal.app_id", "org.example.Sandboxed" } };
    const auto sandboxed = appIdentity ({ { "application.id", "org.example.Claimed" } }, client);
    EXPECT_EQ (sandboxed.bundleId, "org.example.Sandboxed");
    EXPECT_EQ (sandboxed.processId, 1234);
    EXPECT_EQ (appIdentity ({ { "pipewire.access.portal.app_id", "org.example.Forged" } }, { { "application.name", "Real" } }).bundleId, "Real");
    EXPECT_EQ (appIdentity ({ { "application.name", "A" }, { "application.process.id", "12x" } }, {}).processId, 0);
}

TEST (AppIdentityTest, UntrustedValuesAreClippedAndKeptValidUtf8)
{
    const auto huge = appIdentity ({ { "application.name", std::string (10240, 'n') },
                                     { "application.process.binary", std::string (10240, 'b') } }, {});
    EXPECT_EQ (huge.bundleId, std::string (maxIdentityBytes, 'b'));
    EXPECT_EQ (huge.name, std::string (maxIdentityBytes, 'n'));

    // A clip never cuts a character in two: 127 two-byte characters fill 254 of 255 bytes.
    std::string wide;
    for (int i = 0; i < 5000; ++i)
        wide += "\xC3\xA9";
    EXPECT_EQ (cleanText (wide).size(), 254u);
    EXPECT_TRUE (validUtf8 (cleanText (wide)));

    const auto broken = appIdentity ({ { "application.name", "Bad\xFF\xC3 name\n\x01\xED\xA0\x80 \xF0\x9F\x8E\xB5" } }, {});
    EXPECT_TRUE (validUtf8 (broken.name));
    EXPECT_EQ (broken.name, "Bad\xEF\xBF\xBD\xEF\xBF\xBD name  \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xF0\x9F\x8E\xB5");

    std::string noise;
    for (int i = 0; i < 10240; ++i)
        noise += static_cast<char> ((i * 7919) & 0xFF);
    EXPECT_TRUE (validUtf8 (cleanText (noise)));
    EXPECT_LE (cleanText (noise).size(), maxIdentityBytes);
}

TEST (AppListTest, OneRecordPerIdentityAndProcessOfOrdinaryPlaybackInRegistryOrder)
{
    const int self = 100;
    const auto alive = [] (int pid) { return pid != 666; };
    const std::map<uint32_t, PropertyMap> clients {
        { 1, { { "application.name", "Player" }, { "application.process.binary", "player" }, { "application.process.id", "10" } } },
        { 2, { { "application.name", "Player" }, { "application.process.binary", "player" }, { "application.process.id", "11" } } },
        { 3, { { "application.name", "Loomwell" }, { "application.process.id", "100" } } },
        { 4, { { "application.name", "Zombie" }, { "application.process.id", "666" } } },
        { 5, { { "application.process.binary", "chat" }, { "application.process.id", "12" } } },
    };
    const std::vector<PipeWireNode> nodes {
        playback (50, {}, 5),
        playback (51, {}, 1),
        playback (52, {}, 1),                                   // second stream of the same process
        playback (53, {}, 2),                                   // same identity, another process
        playback (54, {}, 3),                                   // ourselves
        playback (55, {}, 4),                                   // a process that is gone
        playback (56, { { "stream.monitor", "true" } }, 5),
        playback (57, { { captureStreamMarker, "player" } }, 1),
        playback (58, {}, 1, "Stream/Input/Audio"),
        playback (59, {}, 1, "Audio/Sink"),
        playback (60, { { "node.name", "anonymous" } }, 99),    // no identity at all
    };
    const auto apps = capturableAppsFrom (nodes, [&] (uint32_t id) {
        const auto it = clients.find (id);
        return it != clients.end() ? it->second : PropertyMap {};
    }, self, alive);
    EXPECT_EQ (apps, (std::vector<CapturableApp> { { "chat", "chat" }, { "player", "Player" }, { "player", "Player" } }));
}

//==============================================================================
// Against a private PipeWire world: tone applications playing to "Speakers".

bool pumpUntil (const std::function<bool()>& ready, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (! ready())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (! juce::dispatchNextMessageOnSystemQueue (true))
            std::this_thread::sleep_for (2ms);
    }
    return true;
}

void pumpFor (std::chrono::milliseconds duration)
{
    pumpUntil ([] { return false; }, duration);
}

// Drains the ring buffer at real-time pace for a while and keeps what it read.
std::vector<float> collect (RingBuffer& ring, std::chrono::milliseconds duration)
{
    std::vector<float> all, chunk (static_cast<size_t> (ring.getCapacity()));
    pumpUntil ([&] {
        const auto n = ring.read (chunk.data(), static_cast<int> (chunk.size()));
        all.insert (all.end(), chunk.begin(), chunk.begin() + n);
        return false;
    }, duration);
    return all;
}

// Amplitude of a sine of this frequency in one channel of interleaved audio (Goertzel).
double toneAmplitude (const std::vector<float>& samples, int channels, int channel, double frequency)
{
    const double w = 2.0 * std::numbers::pi * frequency / 48000.0, k = 2.0 * std::cos (w);
    double s1 = 0, s2 = 0;
    size_t n = 0;
    for (size_t i = static_cast<size_t> (channel); i < samples.size(); i += static_cast<size_t> (channels), ++n)
    {
        const double s0 = samples[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return n == 0 ? 0.0 : 2.0 * std::sqrt (std::max (0.0, s1 * s1 + s2 * s2 - k * s1 * s2)) / static_cast<double> (n);
}

class AppCaptureTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        juce::MessageManager::getInstance();
        world = std::make_unique<PipeWireWorld>();
        ready = world->start();
        setCaptureLogSink ([] (const char* message) { logged.push_back (message); });
    }

    static void TearDownTestSuite()
    {
        setCaptureLogSink (nullptr);
        world.reset();
        juce::MessageManager::deleteInstance();
    }

    void SetUp() override
    {
        ASSERT_TRUE (ready) << world->logs();
        ASSERT_TRUE (PipeWireConnection::instance().refresh());
        logged.clear();
    }

    void TearDown() override
    {
        for (const auto* console : { consoleA, consoleB })
            stopAllAppCaptures (console);
        for (const auto pid : apps)
            PipeWireWorld::stopProcess (pid);
    }

    // A mono float WAV of a 0.5 sine, long enough for any test here.
    std::string toneFile (int frequency)
    {
        const auto path = world->runtimeDir() + "/tone" + std::to_string (frequency) + ".wav";
        if (std::filesystem::exists (path))
            return path;
        const uint32_t frames = 48000 * 90, bytes = frames * 4;
        std::ofstream out (path, std::ios::binary);
        const auto u32 = [&] (uint32_t v) { out.write (reinterpret_cast<const char*> (&v), 4); };
        const auto u16 = [&] (uint16_t v) { out.write (reinterpret_cast<const char*> (&v), 2); };
        out.write ("RIFF", 4), u32 (36 + bytes), out.write ("WAVEfmt ", 8), u32 (16), u16 (3), u16 (1);
        u32 (48000), u32 (48000 * 4), u16 (4), u16 (32), out.write ("data", 4), u32 (bytes);
        std::vector<float> samples (frames);
        for (uint32_t i = 0; i < frames; ++i)
            samples[i] = 0.5f * static_cast<float> (std::sin (2.0 * std::numbers::pi * frequency * i / 48000.0));
        out.write (reinterpret_cast<const char*> (samples.data()), bytes);
        return path;
    }

    // pw-cat playing a tone to the default sink under an application identity
    // of its own; returns once the stream's ports are linked to "Speakers".
    pid_t playTone (const std::string& binary, const std::string& name, int frequency)
    {
        const auto props = "{ application.name=\"" + name + "\" application.process.binary=\"" + binary + "\" }";
        std::vector<std::string> argv { "pw-cat", "--playback", "-P", props, toneFile (frequency) };
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back (a.data());
        args.push_back (nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addopen (&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen (&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawnp (&pid, "pw-cat", &actions, nullptr, args.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy (&actions);
        if (pid > 0)
            apps.push_back (pid);

        auto& connection = PipeWireConnection::instance();
        const bool playing = pumpUntil ([&] {
            for (const auto& node : connection.nodes ("Stream/Output/Audio"))
                if (appIdentity (node.properties, connection.clientProperties (node.clientId)).processId == pid)
                    return node.outputChannels.size() == 2;
            return false;
        });
        EXPECT_TRUE (playing) << world->logs();
        pumpFor (200ms); // the session manager links it to the sink
        return pid;
    }

    void quit (pid_t pid)
    {
        PipeWireWorld::stopProcess (pid);
        apps.erase (std::remove (apps.begin(), apps.end(), pid), apps.end());
    }

    static bool listed (const std::string& bundleId)
    {
        const auto list = listCapturableApps();
        return std::any_of (list.begin(), list.end(), [&] (const auto& a) { return a.bundleId == bundleId; });
    }

    static inline std::unique_ptr<PipeWireWorld> world;
    static inline bool ready = false;
    static inline std::vector<std::string> logged;
    std::vector<pid_t> apps;
    const int tokenA = 0, tokenB = 0;
    const void* consoleA = &tokenA;
    const void* consoleB = &tokenB;
};

TEST_F (AppCaptureTest, ListsPlayingApplicationsButNeverLoomwellsOwnStreams)
{
    playTone ("toneone", "Tone One", 440);
    auto list = listCapturableApps();
    ASSERT_EQ (list, (std::vector<CapturableApp> { { "toneone", "Tone One" } }));

    // Our own playback stream (a console output) and our own capture stream exist, and are not offered.
    auto type = createPipeWireDeviceType();
    type->scanForDevices();
    std::unique_ptr<juce::AudioIODevice> output (type->createDevice ("Speakers", {}));
    ASSERT_NE (output, nullptr);
    ASSERT_TRUE (output->open ({}, 3, 48000, 512).isEmpty());
    auto ring = std::make_shared<RingBuffer>();
    startAppCapture (consoleA, "toneone", 1, ring);
    ASSERT_TRUE (hasAppCapture (consoleA, 1));
    ASSERT_TRUE (PipeWireConnection::instance().refresh());
    EXPECT_EQ (PipeWireConnection::instance().nodes ("Stream/Input/Audio").size(), 1u);
    EXPECT_EQ (listCapturableApps(), list);
    output->close();
}

TEST_F (AppCaptureTest, AnApplicationThatIsNotPlayingIsLoggedAndNotCaptured)
{
    startAppCapture (consoleA, "org.example.Silent", 3, std::make_shared<RingBuffer>());
    EXPECT_FALSE (hasAppCapture (consoleA, 3));
    EXPECT_EQ (logged, (std::vector<std::string> { "LMW: App not found: org.example.Silent" }));
    stopAppCapture (consoleA, 3); // nothing to stop
}

TEST_F (AppCaptureTest, CapturesTheToneWhileItStillPlaysOnSpeakersAndFollowsTheApplication)
{
    const auto first = playTone ("toneone", "Tone One", 440);
    auto ring = std::make_shared<RingBuffer>();
    startAppCapture (consoleA, "toneone", 7, ring);
    ASSERT_TRUE (hasAppCapture (consoleA, 7)) << ::testing::PrintToString (logged);
    EXPECT_TRUE (logged.empty());

    const auto speakers = PipeWireConnection::instance().nodes ("Audio/Sink");
    ASSERT_FALSE (speakers.empty());
    const auto wav = world->runtimeDir() + "/speakers.wav";
    const auto recorder = world->startRecording (speakers.front().id, 2, wav);
    ASSERT_TRUE (recorder.has_value());

    collect (*ring, 300ms); // past the start-up
    auto captured = collect (*ring, 1000ms);
    EXPECT_GT (captured.size(), 2u * 40000);
    for (int side = 0; side < 2; ++side)
    {
        EXPECT_NEAR (toneAmplitude (captured, 2, side, 440), 0.5, 0.05) << side;
        EXPECT_LT (toneAmplitude (captured, 2, side, 660), 0.01) << side;
    }

    // Tapped, not moved: "Speakers" still plays the tone at its level.
    ASSERT_TRUE (world->stopRecording (*recorder));
    const auto recording = testing::readFloatWav (wav);
    ASSERT_TRUE (recording.has_value());
    std::vector<float> heard = recording->samples;
    heard.erase (heard.begin(), heard.begin() + std::min<ptrdiff_t> (static_cast<ptrdiff_t> (heard.size()), 9600));
    for (int side = 0; side < 2; ++side)
        EXPECT_NEAR (toneAmplitude (heard, 2, side, 440), 0.5, 0.05) << side;

    // A second stream the application opens later is captured too.
    const auto second = playTone ("toneone", "Tone One", 660);
    collect (*ring, 300ms);
    captured = collect (*ring, 1000ms);
    for (int side = 0; side < 2; ++side)
    {
        EXPECT_NEAR (toneAmplitude (captured, 2, side, 440), 0.5, 0.05) << side;
        EXPECT_NEAR (toneAmplitude (captured, 2, side, 660), 0.5, 0.05) << side;
    }

    // The application quits: the capture stays, silent.
    quit (first);
    quit (second);
    collect (*ring, 300ms);
    EXPECT_TRUE (hasAppCapture (consoleA, 7));
    EXPECT_TRUE (collect (*ring, 500ms).empty());

    // It plays again: its new stream is linked in.
    playTone ("toneone", "Tone One", 440);
    collect (*ring, 300ms);
    captured = collect (*ring, 500ms);
    EXPECT_NEAR (toneAmplitude (captured, 2, 0, 440), 0.5, 0.05);

    // Moved to another channel, then stopped: no write after the stop.
    moveAppCapture (consoleA, 7, 8);
    EXPECT_FALSE (hasAppCapture (consoleA, 7));
    EXPECT_TRUE (hasAppCapture (consoleA, 8));
    stopAppCapture (consoleA, 8);
    EXPECT_FALSE (hasAppCapture (consoleA, 8));
    drain (*ring);
    pumpFor (300ms);
    EXPECT_EQ (ring->fill(), 0);
    EXPECT_EQ (ring.use_count(), 1);
}

TEST_F (AppCaptureTest, EachCaptureHoldsOnlyItsOwnApplicationsTone)
{
    playTone ("toneone", "Tone One", 440);
    playTone ("tonetwo", "Tone Two", 1000);
    EXPECT_TRUE (listed ("toneone") && listed ("tonetwo"));

    // The same channel id on two consoles: two captures.
    auto ringOne = std::make_shared<RingBuffer>(), ringTwo = std::make_shared<RingBuffer>();
    startAppCapture (consoleA, "toneone", 1, ringOne);
    startAppCapture (consoleB, "tonetwo", 1, ringTwo);
    ASSERT_TRUE (hasAppCapture (consoleA, 1) && hasAppCapture (consoleB, 1));

    std::vector<float> one, two, chunk (RingBuffer::defaultCapacity);
    pumpUntil ([&] {
        for (auto [ring, into] : { std::pair { ringOne.get(), &one }, std::pair { ringTwo.get(), &two } })
        {
            const auto n = ring->read (chunk.data(), static_cast<int> (chunk.size()));
            into->insert (into->end(), chunk.begin(), chunk.begin() + n);
        }
        return false;
    }, 1500ms);
    one.erase (one.begin(), one.begin() + std::min<ptrdiff_t> (static_cast<ptrdiff_t> (one.size()), 28800));
    two.erase (two.begin(), two.begin() + std::min<ptrdiff_t> (static_cast<ptrdiff_t> (two.size()), 28800));

    for (int side = 0; side < 2; ++side)
    {
        EXPECT_NEAR (toneAmplitude (one, 2, side, 440), 0.5, 0.05);
        EXPECT_LT (toneAmplitude (one, 2, side, 1000), 0.01);
        EXPECT_NEAR (toneAmplitude (two, 2, side, 1000), 0.5, 0.05);
        EXPECT_LT (toneAmplitude (two, 2, side, 440), 0.01);
    }

    stopAllAppCaptures (consoleA);
    EXPECT_FALSE (hasAppCapture (consoleA, 1));
    EXPECT_TRUE (hasAppCapture (consoleB, 1));
}

// Eight applications captured for a minute, drained by a reader at real-time
// pace as the mixer would: 10 ms at a time once 85 ms are buffered. Reports
// what the reader found missing and what the rings had to drop (a ring that
// is full drops); asserts only that every capture kept delivering.
TEST_F (AppCaptureTest, SoakOfEightApplicationCaptures)
{
    constexpr int numApps = 8, tick = 960, preBuffer = 8192;
    constexpr auto duration = 60s;
    std::vector<std::shared_ptr<RingBuffer>> rings;
    for (int i = 0; i < numApps; ++i)
    {
        playTone ("soak" + std::to_string (i), "Soak " + std::to_string (i), 440);
        rings.push_back (std::make_shared<RingBuffer>());
        startAppCapture (consoleA, "soak" + std::to_string (i), i, rings.back());
        ASSERT_TRUE (hasAppCapture (consoleA, i));
    }

    struct Counts { int64_t read = 0, missing = 0, fullTicks = 0; bool started = false; };
    std::vector<Counts> counts (numApps);
    std::atomic<bool> running { true };
    rusage before {};
    getrusage (RUSAGE_SELF, &before);
    std::thread reader ([&] {
        std::vector<float> block (tick);
        for (auto& ring : rings) // what piled up while the others started
            drain (*ring);
        for (auto next = std::chrono::steady_clock::now(); running.load(); std::this_thread::sleep_until (next += 10ms))
            for (size_t i = 0; i < rings.size(); ++i)
            {
                auto& c = counts[i];
                c.fullTicks += rings[i]->fill() >= rings[i]->getCapacity() - 1 ? 1 : 0;
                if (! c.started && rings[i]->fill() < preBuffer)
                    continue;
                c.started = true;
                const int got = rings[i]->read (block.data(), tick);
                c.read += got;
                c.missing += tick - got;
            }
    });
    pumpFor (duration);
    running = false;
    reader.join();
    rusage after {};
    getrusage (RUSAGE_SELF, &after);
    const auto seconds = [] (const timeval& t) { return static_cast<double> (t.tv_sec) + t.tv_usec / 1e6; };
    const double cpu = seconds (after.ru_utime) - seconds (before.ru_utime) + seconds (after.ru_stime) - seconds (before.ru_stime);

    for (int i = 0; i < numApps; ++i)
    {
        const auto& c = counts[static_cast<size_t> (i)];
        std::cout << "capture " << i << ": read " << c.read << " samples, missing " << c.missing
                  << ", ticks with a full ring " << c.fullTicks << '\n';
        EXPECT_GT (c.read, 48000 * 60); // at least half of a minute of stereo
    }
    std::cout << "CPU time per second of audio: " << cpu / std::chrono::duration<double> (duration).count() << " s\n";
    RecordProperty ("cpuSecondsPerAudioSecond", std::to_string (cpu / 60.0));
}

} // namespace
} // namespace loomwell
