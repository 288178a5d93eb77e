#include "AppCapture.h"
#include "AppIdentity.h"
#include "AppList.h"
#include "PipeWireConnection.h"
#include "PipeWireDeviceType.h"
#include "PipeWireWorld.h"
#include "SampleConversion.h"
#include "ToneSources.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <unistd.h>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::PipeWireWorld;
using testing::pumpFor;
using testing::pumpUntil;

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
    // 60000 samples offered to a buffer with room for whole frames short of its capacity: the oldest stay.
    EXPECT_EQ (writeSampleBlock ({ 30000, 2, 1, { left.data(), right.data() } }, &ring, space()), RingBuffer::defaultCapacity);
    EXPECT_EQ (ring.fill(), ring.getCapacity() - 2);
    EXPECT_EQ (writeSampleBlock ({ 10, 1, 1, { left.data() } }, &ring, space()), 20);
    EXPECT_EQ (ring.fill(), ring.getCapacity() - 2);
    const auto kept = drain (ring);
    EXPECT_EQ (kept[0], 0.25f);
    EXPECT_EQ (kept[1], -0.25f);
}

// A capture's write that the reader's next read is about to follow gets as
// much silence in front as that read would otherwise miss, once; a write
// well before the read, or with no reader keeping a pace, gets none.
TEST_F (ConversionTest, ACaptureTakesSlackOnlyWhenTheReadIsAboutToFollow)
{
    constexpr int64_t period = 20'000'000; // the reader's, in ns
    const float block[] = { 1, -1, 2, -2 };
    std::vector<float> out (16);

    // No pace yet: the block alone.
    writeCapturedBlock ({ 2, 1, 2, { block } }, &ring, space(), 5 * period);
    EXPECT_EQ (drain (ring), (std::vector<float> { 1, -1, 2, -2 }));

    // The reader takes 4 samples a period, the last time at 11 periods.
    ring.noteRead (4, 10 * period);
    ring.noteRead (4, 11 * period);

    // Half a period before the next read: no slack.
    writeCapturedBlock ({ 2, 1, 2, { block } }, &ring, space(), 11 * period + period / 2);
    EXPECT_EQ (drain (ring), (std::vector<float> { 1, -1, 2, -2 }));

    // Just before it: a block of slack in front; a second write there finds
    // the read covered and adds none.
    writeCapturedBlock ({ 2, 1, 2, { block } }, &ring, space(), 12 * period - period / 10);
    writeCapturedBlock ({ 2, 1, 2, { block } }, &ring, space(), 12 * period - period / 20);
    EXPECT_EQ (drain (ring), (std::vector<float> { 0, 0, 0, 0, 1, -1, 2, -2, 1, -1, 2, -2 }));

    // A reader that has not read for two periods keeps no pace.
    writeCapturedBlock ({ 2, 1, 2, { block } }, &ring, space(), 13 * period);
    EXPECT_EQ (drain (ring), (std::vector<float> { 1, -1, 2, -2 }));
    EXPECT_EQ (ring.getDroppedSamples(), 0u);

    // The slack taken above may go back once a run of writes has come well
    // clear of the reads (a tenth of a period after each); one that comes
    // close again holds it back.
    EXPECT_EQ (ring.returnableSlack(), 0);
    int64_t at = 20 * period;
    for (int i = 0; i < RingBuffer::clearWritesBeforeReturn; ++i, at += period)
    {
        ring.noteRead (4, at);
        writeCapturedBlock ({ 2, 1, 2, { block } }, &ring, space(), at + period / 10);
        drain (ring);
    }
    EXPECT_EQ (ring.returnableSlack(), 4);
    ring.noteRead (4, at);
    writeCapturedBlock ({ 2, 1, 2, { block } }, &ring, space(), at + period * 6 / 10);
    EXPECT_EQ (ring.returnableSlack(), 0);
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
        if (! std::filesystem::exists (path))
            testing::writeToneWav (path, { { static_cast<double> (frequency), 0.5f } }, 90.0);
        return path;
    }

    // pw-cat playing a tone to the default sink under an application identity
    // of its own; returns once the stream's ports are linked to "Speakers".
    pid_t playTone (const std::string& binary, const std::string& name, int frequency)
    {
        const auto pid = testing::playToneApp (*world, binary, name, toneFile (frequency));
        if (pid > 0)
            apps.push_back (pid);
        EXPECT_TRUE (testing::pumpUntil ([pid] { return testing::isPlaying (pid); })) << world->logs();
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

// The daemon refuses this process the factory that capture streams are made
// with (its permissions changed by another client, as a sandbox's manager
// would): the start reports the daemon's own error and files no capture.
TEST_F (AppCaptureTest, AStreamTheDaemonRefusesIsLoggedWithItsError)
{
    playTone ("toneone", "Tone One", 440);
    const auto dump = world->runtimeDir() + "/graph.json";
    ASSERT_TRUE (testing::runTool (*world, { "sh", "-c", "pw-dump > " + dump }));
    const auto graph = juce::JSON::parse (juce::File (dump));
    ASSERT_TRUE (graph.isArray());
    std::vector<std::string> ourClients;
    std::string factory;
    for (const auto& object : *graph.getArray())
    {
        const auto type = object["type"].toString();
        const auto props = object["info"]["props"];
        if (type == "PipeWire:Interface:Client" && static_cast<int> (props["application.process.id"]) == static_cast<int> (getpid()))
            ourClients.push_back (object["id"].toString().toStdString());
        if (type == "PipeWire:Interface:Factory" && object["info"]["name"].toString() == "client-node")
            factory = object["id"].toString().toStdString();
    }
    ASSERT_FALSE (ourClients.empty());
    ASSERT_FALSE (factory.empty());
    const auto permit = [&] (const std::string& mask) {
        for (const auto& client : ourClients)
            EXPECT_TRUE (testing::runTool (*world, { "pw-cli", "permissions", client, factory, mask }));
    };

    permit ("0");
    auto ring = std::make_shared<RingBuffer>();
    startAppCapture (consoleA, "toneone", 2, ring);
    permit ("0x1c8"); // read, write, execute, metadata: what every client had
    EXPECT_FALSE (hasAppCapture (consoleA, 2));
    ASSERT_EQ (logged.size(), 1u) << ::testing::PrintToString (logged);
    const std::string prefix = "LMW: Failed to start capture: ";
    EXPECT_EQ (logged[0].substr (0, prefix.size()), prefix);
    EXPECT_GT (logged[0].size(), prefix.size()) << "the daemon's text";
    EXPECT_EQ (ring.use_count(), 1);

    logged.clear();
    startAppCapture (consoleA, "toneone", 2, ring);
    EXPECT_TRUE (hasAppCapture (consoleA, 2)) << ::testing::PrintToString (logged);
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

// A captured application that comes and goes many times (a player that
// restarts per track, a game's launcher): each of its new streams is linked
// in, nothing piles up, and once it goes for good the capture stays
// registered, silent and stoppable. LOOMWELL_CHURN_CYCLES sets the count.
TEST_F (AppCaptureTest, AnApplicationThatComesAndGoesHundredsOfTimesIsFollowedEachTime)
{
    int cycles = 200;
    if (const char* text = std::getenv ("LOOMWELL_CHURN_CYCLES"))
        cycles = std::max (1, std::atoi (text));

    auto ring = std::make_shared<RingBuffer>();
    auto pid = playTone ("churner", "Churner", 440);
    startAppCapture (consoleA, "churner", 5, ring);
    ASSERT_TRUE (hasAppCapture (consoleA, 5));
    const auto captureStreams = PipeWireConnection::instance().nodes ("Stream/Input/Audio").size();

    for (int cycle = 0; cycle < cycles && ! HasFailure(); ++cycle)
    {
        quit (pid);
        pid = testing::playToneApp (*world, "churner", "Churner", toneFile (440));
        apps.push_back (pid);
        ASSERT_TRUE (testing::pumpUntil ([pid] { return testing::isPlaying (pid); })) << "cycle " << cycle << "\n" << world->logs();
        drain (*ring);
    }

    // Still one capture stream of ours, and the latest instance is heard.
    pumpFor (300ms);
    ASSERT_TRUE (PipeWireConnection::instance().refresh());
    EXPECT_EQ (PipeWireConnection::instance().nodes ("Stream/Input/Audio").size(), captureStreams);
    collect (*ring, 300ms);
    const auto captured = collect (*ring, 800ms);
    EXPECT_NEAR (toneAmplitude (captured, 2, 0, 440), 0.5, 0.05);
    std::cout << cycles << " starts and stops of the captured application followed" << std::endl;

    // It goes for good: the capture waits silently and stops when asked.
    quit (pid);
    collect (*ring, 300ms);
    EXPECT_TRUE (collect (*ring, 500ms).empty());
    EXPECT_TRUE (hasAppCapture (consoleA, 5));
    stopAppCapture (consoleA, 5);
    EXPECT_FALSE (hasAppCapture (consoleA, 5));
    pumpFor (200ms);
    EXPECT_EQ (ring.use_count(), 1);
}

} // namespace
} // namespace loomwell
