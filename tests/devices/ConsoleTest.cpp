// Consoles on a private PipeWire world through the program's own tracker,
// device types, router and captures (only USB is in-process): each source on
// exactly its slot's channels while sinks, USB, the sound server, sleep and
// applications come and go, and our real-time callbacks never blocking.

#include "DeviceBackends.h"
#include "InputCapture.h"
#include "ListedUsbRegistry.h"
#include "MessagePump.h"
#include "PipeWireConnection.h"
#include "PipeWireDeviceType.h"
#include "PipeWireWorld.h"
#include "RealtimeCalls.h"
#include "SourceRouter.h"

#include <gtest/gtest.h>
#include <pipewire/impl.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <set>

namespace loomwell
{
namespace
{

using namespace testing;

const std::string vantorSink = "mixora-vantor", vantorDevice = "Mixora Vantor Main Multitrack";
// Tone App on "Music", a stereo line input on "A", an application nobody routed.
const std::vector<Heard> routed { { 440.0, 0.3f, { 4, 5 } }, { 660.0, 0.3f, {} }, { 1000.0, 0.2f, { 6 } }, { 1500.0, 0.2f, { 7 } } };

int fromEnvironment (const char* name, int fallback)
{
    const char* text = std::getenv (name);
    return text != nullptr && std::atoi (text) > 0 ? std::atoi (text) : fallback;
}

// A console of a run: USB identity, sink, the sources of each slot.
struct Rig
{
    UsbDeviceAttributes usb;
    std::string sink;
    std::array<std::vector<std::string>, ChannelTable::numSlots> slots;
};

// The consoles are opened on sinks of one world shared by the suite; what a
// test starts in it stops after its consoles close.
class Console : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        juce::initialiseJuce_GUI();
        ready = (world = new PipeWireWorld)->start();
        pipeWire = new PipeWireConnection;
        router = new SourceRouter (*(captures = CaptureBackend::live (*pipeWire)));
    }
    static void TearDownTestSuite()
    {
        delete router;
        captures.reset();
        delete pipeWire;
        delete world;
        juce::shutdownJuce_GUI();
    }

    void SetUp() override
    {
        ASSERT_TRUE (ready && pipeWire->refresh()) << world->logs();
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = [] (auto& types) { addLinuxDeviceTypes (*pipeWire, types); };
        router->connect (tracker);
    }

    void TearDown() override
    {
        tracker.removeDeviceListListener();
        tracker.closeAndDestroyAll();
        pumpFor (50ms);
        tracker.captureHooks = {};
        deviceBackends() = {};
        world->stopSources();
        for (const auto& [name, id] : std::exchange (sinks, {}))
            world->destroyNode (id);
    }

    bool makeSink (const std::string& name, const std::string& description)
    {
        const auto id = world->createSink (name, description);
        return id && sinks.emplace (name, *id).second;
    }
    bool destroySink (const std::string& name) { return world->destroyNode (sinks.extract (name).mapped()); }
    bool makeSink (const Rig& rig) { return makeSink (rig.sink, *rig.usb.product + " Main Multitrack"); }

    // Consoles on USB and their sinks, as the start-up scan finds them.
    void plugIn (const std::vector<Rig>& rigs)
    {
        registry.devices->clear();
        for (const auto& rig : rigs)
        {
            registry.devices->push_back (rig.usb);
            ASSERT_TRUE (makeSink (rig)) << world->logs();
        }
        scan();
    }

    void assign (const Rig& rig)
    {
        for (uint32_t slot = 0; slot < ChannelTable::numSlots; ++slot)
            for (const auto& id : rig.slots[slot])
                add (*console (*rig.usb.serial), slot, id);
    }

    // The scan and the listener, as the program starts them; what the scan logged.
    std::string scan()
    {
        ::testing::internal::CaptureStderr();
        tracker.scanForDevices();
        tracker.installDeviceListListener (*pipeWire);
        return ::testing::internal::GetCapturedStderr();
    }

    DeviceInstance* console (const std::string& serial)
    {
        const auto it = std::find_if (tracker.devices.begin(), tracker.devices.end(), [&] (auto& d) { return d->serial == serial; });
        return it == tracker.devices.end() ? nullptr : it->get();
    }

    // As the picker does: the input of that UID when one is listed, else the application.
    static int32_t add (DeviceInstance& device, uint32_t slot, const std::string& id)
    {
        for (const auto& input : listInputDevices (*pipeWire))
            if (input.uid == id)
                return router->addInput (device, slot, id, input.name, input.deviceId);
        return router->addApp (device, slot, id, id);
    }

    static Recording record (const std::string& sinkName) // 1.2 s of it
    {
        ConsoleRecorder recorder (10, 2.0);
        if (recorder.start (sinkName))
            pumpFor (1200ms);
        recorder.stop();
        return recorder.recording();
    }

    void startSources()
    {
        ASSERT_GT (tone = world->playTone ("toneapp", "Tone App", 440.0, 0.3f, 300.0), 0) << world->logs();
        ASSERT_GT (other = world->playTone ("otherapp", "Other App", 660.0, 0.3f, 300.0), 0) << world->logs();
        ASSERT_TRUE (world->feedInput ("line-in", "Line In", { { 1000.0, 0.2f }, { 1500.0, 0.2f } }, 300.0)) << world->logs();
    }

    // The Vantor opened by the start-up scan, then its sources routed.
    void setUpVantor()
    {
        ASSERT_TRUE (makeSink (vantorSink, vantorDevice)) << world->logs();
        startLog = scan();
        ASSERT_NO_FATAL_FAILURE (startSources());
        ASSERT_TRUE ((vantor = console ("V1")) != nullptr && vantor->isOpen()) << startLog;
        ASSERT_TRUE (add (*vantor, 0, "toneapp") >= 0 && add (*vantor, 2, "line-in") >= 0);
        pumpFor (300ms);
    }

    bool vantorBack (size_t onA) { return pumpUntil ([&] { return (vantor = console ("V1")) && vantor->isOpen() && vantor->channelsForSlot (2).size() == onA; }, 20s); }

    static inline PipeWireWorld* world = nullptr;
    static inline bool ready = false;
    static inline PipeWireConnection* pipeWire = nullptr;
    static inline std::unique_ptr<CaptureBackend> captures;
    static inline SourceRouter* router = nullptr;
    DeviceTracker& tracker = DeviceTracker::instance();
    ListedUsbRegistry registry { { { "3a7d", "7401", "V1", "0123", "Mixora Vantor" } } };
    std::map<std::string, uint32_t> sinks;
    std::string startLog;
    DeviceInstance* vantor = nullptr;
    pid_t tone = -1, other = -1;
};

TEST_F (Console, StartUpIsLoggedAndSourcesAreHeardOnTheirChannelsAlsoWhenTheirApplicationComesBack)
{
    ASSERT_NO_FATAL_FAILURE (setUpVantor());
    EXPECT_EQ (startLog, "LMW: === scanForDevices ===\n"
                         "LMW:   USB device: serial=V1 pid=0x7401 fw=1.23\n"
                         "LMW: found 1 Vesko multitrack USB devices\n"
                         "LMW:   adding Mixora Vantor (S/N V1)\n"
                         "LMW: DeviceInstance::open() for Mixora Vantor (S/N V1)\n"
                         "LMW:   tryOpen for 'Mixora Vantor' (coreAudioId=0), JUCE sees 2 devices:\n"
                         "LMW:     [0] 'Speakers'\n"
                         "LMW:     [1] 'Mixora Vantor Main Multitrack'\n"
                         "LMW:   opened JUCE device 'Mixora Vantor Main Multitrack'\n"
                         "LMW:   claimed JUCE name 'Mixora Vantor Main Multitrack'\n"
                         "LMW: Opened Mixora Vantor with 10 channels (S/N: V1, FW: 1.23)\n"
                         "LMW: Mixora Vantor started \xE2\x80\x94 Mixora Vantor Main Multitrack @ 48000Hz, block=1024\n"
                         "LMW:   opened Mixora Vantor (S/N V1)\n"
                         "LMW: now tracking 1 devices\n");
    EXPECT_EQ (mismatches (record (vantorSink), routed), "");
    world->stopApp (tone);
    pumpFor (500ms);
    EXPECT_EQ (mismatches (record (vantorSink), { { 440.0, 0.3f, {} }, { 1000.0, 0.2f, { 6 } } }), "");
    ASSERT_GT (world->playTone ("toneapp", "Tone App", 440.0, 0.3f, 300.0), 0);
    pumpFor (500ms);
    EXPECT_EQ (mismatches (record (vantorSink), routed), "") << "the application came back";
}

TEST_F (Console, ASinkGoneAndBackIsReopenedWithItsSources)
{
    ASSERT_NO_FATAL_FAILURE (setUpVantor());
    auto* const before = vantor;
    ASSERT_TRUE (destroySink (vantorSink));
    // Stale: closed, and not opened on another device while its own is away.
    EXPECT_TRUE (pumpUntil ([&] { return ! vantor->isOpen(); }));
    pumpFor (500ms);
    EXPECT_FALSE (vantor->isOpen());
    ASSERT_TRUE (makeSink (vantorSink, vantorDevice) && vantorBack (1));
    EXPECT_EQ (vantor, before);
    pumpFor (500ms);
    EXPECT_EQ (mismatches (record (vantorSink), routed), "") << "after the reopen";
}

bool prepareForSleep (sd_bus* peer, bool sleeping)
{
    return sd_bus_emit_signal (peer, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                               static_cast<int> (sleeping)) >= 0 && sd_bus_flush (peer) >= 0;
}

TEST_F (Console, AnUnpluggedConsoleIsDroppedAndAWakeRescansEveryConsoleTwoSecondsLater)
{
    ASSERT_NO_FATAL_FAILURE (setUpVantor());
    registry.devices->clear();
    ASSERT_TRUE (destroySink (vantorSink));
    EXPECT_TRUE (pumpUntil ([&] { return tracker.devices.empty(); })) << "still tracked after it left USB";
    registry.devices = { { "3a7d", "7401", "V1", "0123", "Mixora Vantor" } };
    ASSERT_TRUE (makeSink (vantorSink, vantorDevice) && vantorBack (0));
    for (uint32_t slot = 0; slot < ChannelTable::numSlots; ++slot)
        EXPECT_TRUE (vantor->channelsForSlot (slot).empty()) << "plugged in again with sources on slot " << slot;

    // A bus daemon of the test's own as the system bus, with the login
    // manager and somebody else on it.
    const auto dir = world->runtimeDir();
    std::ofstream (dir + "/system.conf") << "<busconfig><type>system</type><listen>unix:path=" << dir << "/system_bus</listen>"
        "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
        "<allow receive_sender=\"*\"/></policy></busconfig>";
    const auto bus = world->spawn ("system-bus", { "dbus-daemon", "--config-file=" + dir + "/system.conf", "--nofork", "--nopidfile" });
    ASSERT_TRUE (waitUntil ([&] { return std::filesystem::exists (dir + "/system_bus"); }));
    ::setenv ("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/system_bus").c_str(), 1);
    sd_bus *logind = nullptr, *impostor = nullptr;
    if (sd_bus_open_system (&logind) >= 0 && sd_bus_open_system (&impostor) >= 0 && sd_bus_request_name (logind, "org.freedesktop.login1", 0) >= 0
        && (tracker.wakeObserver = WakeObserver::create ([] { DeviceTracker::instance().handleSystemWake(); })) != nullptr)
    {
        // Only the login manager's resume counts.
        EXPECT_TRUE (prepareForSleep (impostor, false) && prepareForSleep (logind, true));
        pumpFor (500ms);
        EXPECT_EQ (tracker.devices.size(), 1u);
        EXPECT_TRUE (prepareForSleep (logind, false));
        EXPECT_TRUE (pumpUntil ([&] { return tracker.devices.empty(); }, 2s)) << "not dropped at the wake";
        const auto woke = std::chrono::steady_clock::now();
        EXPECT_TRUE (vantorBack (0)) << "not back after the wake";
        EXPECT_GT (std::chrono::steady_clock::now() - woke, 1500ms) << "rescanned before the two seconds";
    }
    else
        ADD_FAILURE() << "no login manager on the private system bus";
    tracker.wakeObserver.reset();
    sd_bus_flush_close_unref (logind);
    sd_bus_flush_close_unref (impostor);
    stopProcess (bus);
    ::unsetenv ("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST_F (Console, SoundServerStoppedOrKilledUnderAPlayingConsoleComesBackWithItsSources)
{
    ASSERT_NO_FATAL_FAILURE (setUpVantor());
    for (const bool crash : { false, true })
    {
        SCOPED_TRACE (crash ? "killed" : "stopped");
        ASSERT_TRUE (world->stopSoundServer (crash));
        sinks.clear();
        EXPECT_TRUE (pumpUntil ([&] { return tracker.devices.empty() || ! tracker.devices[0]->isOpen(); }));
        pumpFor (1s);
        ASSERT_TRUE (world->startSoundServer() && makeSink (vantorSink, vantorDevice) && vantorBack (1)) << world->logs();
        // The sources come back after the console; the input's id changed.
        ASSERT_NO_FATAL_FAILURE (startSources());
        EXPECT_TRUE (pumpUntil ([&] { return inputCaptureIsLive (vantor, vantor->channelsForSlot (2).at (0).channelId); }));
        pumpFor (500ms);
        EXPECT_EQ (mismatches (record (vantorSink), routed), "");
    }
}

// Captures write while consoles come and go underneath them: a sink gone and
// back, a console unplugged and back, a slot entry taking over another's
// source, the wake drop of every console. A capture that outlived its entry
// would write into a released ring buffer (AddressSanitizer), race with the
// mixer (ThreadSanitizer) or stay on a channel nothing carries.
TEST_F (Console, CaptureStressNoCaptureOutlivesItsEntryWhileConsolesComeAndGo)
{
    const std::map<std::string, double> tones { { "app1", 440.0 }, { "app2", 660.0 }, { "mic1", 1000.0 }, { "mic2", 1500.0 } };
    const std::vector<Rig> rigs { // slot 0 of each carries two sources
        { { "3a7d", "7401", "V1", "0210", "Mixora Vantor" }, "mixora-vantor", { { { "app1", "mic2" }, { "app2" }, { "mic1" }, {} } } },
        { { "3a7d", "7301", "T1", "0105", "Mixora Trel" }, "mixora-trel", { { { "app2", "mic1" }, {}, { "mic2" }, { "app1" } } } } };
    ASSERT_NO_FATAL_FAILURE (plugIn (rigs));
    for (const auto& [id, frequency] : tones)
        ASSERT_TRUE (id.starts_with ("app") ? world->playTone (id, id, frequency, 0.3f, 300.0) > 0
                                            : world->feedInput (id, id, { { frequency, 0.2f } }, 300.0)) << world->logs();
    // Empty when a console carries exactly its sources, each entry with a
    // capture of its kind, and no other channel id has one.
    const auto mismatch = [&] (const Rig& rig) -> std::string {
        auto* device = console (*rig.usb.serial);
        if (device == nullptr || ! device->isOpen())
            return *rig.usb.serial + " not open";
        std::set<int32_t> carried;
        for (uint32_t slot = 0; slot < ChannelTable::numSlots; ++slot)
        {
            std::multiset<std::string> have;
            for (const auto& source : device->channelsForSlot (slot))
            {
                have.insert (source.bundleId);
                carried.insert (source.channelId);
                if (! (source.sourceKind == sourceKindApplication ? hasAppCapture : hasInputCapture) (device, source.channelId))
                    return source.bundleId + " has no capture";
            }
            if (have != std::multiset<std::string> (rig.slots[slot].begin(), rig.slots[slot].end()))
                return "slot " + std::to_string (slot) + " carries other sources";
        }
        for (int32_t id = 0; id < (carried.empty() ? 0 : *carried.rbegin()) + 64; ++id)
            if (! carried.contains (id) && (hasAppCapture (device, id) || hasInputCapture (device, id)))
                return "a capture is left on channel " + std::to_string (id);
        return {};
    };
    for (const auto& rig : rigs)
        assign (rig);

    for (int op = 0; op < fromEnvironment ("LOOMWELL_STRESS_CYCLES", LOOMWELL_STRESS_CYCLES) && ! HasFailure(); ++op)
    {
        const auto index = (op / 4) % 2;
        const auto& rig = rigs[static_cast<size_t> (index)];
        auto* device = console (*rig.usb.serial);
        if (op % 4 == 0) // the sink goes and comes back; USB stays
        {
            ASSERT_TRUE (destroySink (rig.sink) && pumpUntil ([&] { return ! device->isOpen(); }));
            ASSERT_TRUE (makeSink (rig));
            ASSERT_TRUE (pumpUntil ([&] { return mismatch (rig).empty(); }, 15s)) << mismatch (rig);
        }
        else if (op % 4 == 1) // the slot entry's source goes, the extra entry's moves in
        {
            const auto before = device->channelsForSlot (0);
            ASSERT_EQ (router->remove (*device, 0, before.at (0).bundleId).movedFromChannelId, before.at (1).channelId);
            pumpFor (10ms);
            add (*device, 0, before[0].bundleId);
        }
        else if (op % 4 == 2) // off USB and back: empty slots, set again
        {
            registry.devices->erase (registry.devices->begin() + index);
            tracker.handleDeviceListChange();
            ASSERT_EQ (console (*rig.usb.serial), nullptr);
            registry.devices->insert (registry.devices->begin() + index, rig.usb);
            tracker.handleDeviceListChange();
            assign (rig);
        }
        else // the wake drops every console; the rescan runs at once here
        {
            tracker.handleSystemWake();
            ASSERT_TRUE (tracker.devices.empty());
            tracker.rescanAfterWake();
            for (const auto& each : rigs)
                assign (each);
        }
        pumpFor (15ms);
        for (const auto& each : rigs)
            ASSERT_EQ (mismatch (each), "") << "operation " << op;
    }
    pumpFor (2500ms); // the tracker's own post-wake rescans change nothing
    for (const auto& rig : rigs)
        EXPECT_EQ (mismatch (rig), "");
}

// Empty when channels (left, right) of the recording carry a drifting
// source's signal (see DriftSource.cpp) from its first frame on in every
// window of 10 ms, in order (no gap, no repeat, left on the left), and the
// distance between the console's frames and the source's frames they carry
// never moves.
std::string outOfStep (const Recording& recording, int left, int right)
{
    constexpr size_t window = 480;
    const auto fit = [&] (int ch, double hz, size_t at) { // least squares: amplitude, phase at `at`, worst residual
        const double w = 2.0 * std::numbers::pi * hz / 48000.0;
        double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0, worst = 0;
        for (size_t j = 0; j < window; ++j)
            ss += std::pow (std::sin (w * j), 2), cc += std::pow (std::cos (w * j), 2), sc += std::sin (w * j) * std::cos (w * j),
                xs += recording.at (at + j, ch) * std::sin (w * j), xc += recording.at (at + j, ch) * std::cos (w * j);
        const double det = ss * cc - sc * sc, a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
        for (size_t j = 0; j < window; ++j)
            worst = std::max (worst, std::abs (recording.at (at + j, ch) - a * std::sin (w * j) - b * std::cos (w * j)));
        return std::tuple { std::hypot (a, b), std::atan2 (b, a), worst };
    };
    size_t start = Recording::settle;
    while (start < recording.frames() && std::abs (recording.at (start, left)) < 0.01f)
        ++start;
    std::optional<double> first;
    double spread = 0;
    int windows = 0, glitches = 0;
    for (size_t at = start + window; at + window <= recording.frames(); at += window, ++windows)
    {
        const auto [levelLeft, phaseLeft, offLeft] = fit (left, 440.0, at);
        const auto [levelRight, phaseRight, offRight] = fit (right, 441.0, at);
        if (std::abs (levelLeft - 0.3) > 0.01 || std::abs (levelRight - 0.3) > 0.01 || std::max (offLeft, offRight) > 1e-3)
        {
            ++glitches;
            continue;
        }
        // The 1 Hz between the two tells the source's frame modulo a second.
        const double sourceFrame = std::remainder (phaseRight - phaseLeft, 2.0 * std::numbers::pi) / (2.0 * std::numbers::pi) * 48000.0;
        const double distance = std::remainder (double (at) - sourceFrame, 48000.0);
        first = first.value_or (distance);
        spread = std::max (spread, std::abs (std::remainder (distance - *first, 48000.0)));
    }
    std::cout << "drift: channels " << left << "/" << right << ": " << windows << " windows of 10 ms, " << glitches
              << " not the source's signal, distance to the source moved by " << spread << " frames" << std::endl;
    return ! first ? "no source heard" : glitches == 0 && spread < 0.5 ? "" : "glitches or a moving distance";
}

// Two consoles each played by an application on a clock of its own, its
// cycles 1000 ppm longer on one and shorter on the other, for a minute
// (LOOMWELL_DRIFT_SECONDS); then on one console, while two busy loops take
// the processors, an application playing to a 44.1 kHz sink, a microphone on
// a clock of its own and an ordinary application. Every console carries each
// such source continuously and in step: as many frames as the source
// played, so on the source's clock.
TEST_F (Console, SourcesOnClocksOfTheirOwnReachTheConsoleContinuouslyAndInStep)
{
    const std::vector<Rig> rigs { { { "3a7d", "7401", "V1", "0210", "Mixora Vantor" }, "vantor-1", { { { "plus" }, {}, {}, {} } } },
                                  { { "3a7d", "7401", "V2", "0210", "Mixora Vantor" }, "vantor-2", { { { "minus" }, {}, {}, {} } } },
                                  { { "3a7d", "7401", "V1", "0210", "Mixora Vantor" }, "vantor-1", { { { "hifi" }, { "toneapp" }, { "mic" }, {} } } } };
    const auto seconds = fromEnvironment ("LOOMWELL_DRIFT_SECONDS", LOOMWELL_DRIFT_SECONDS);
    ASSERT_NO_FATAL_FAILURE (plugIn ({ rigs[0], rigs[1] }));
    ASSERT_GT (world->playDrifting ("plus", 1000.0, seconds + 20.0), 0) << world->logs();
    ASSERT_GT (world->playDrifting ("minus", -1000.0, seconds + 20.0), 0) << world->logs();
    // The recordings of the consoles' sinks after the sources went on; each
    // drifting source on Music (4/5), or also on A (6/7) when `withA`.
    const auto judge = [&] (const std::vector<const Rig*>& playing, int forSeconds, bool withA) {
        std::vector<std::unique_ptr<ConsoleRecorder>> recorders;
        for (const auto* rig : playing)
            assign (*rig);
        pumpFor (1s);
        for (const auto* rig : playing)
            ASSERT_TRUE (recorders.emplace_back (std::make_unique<ConsoleRecorder> (10, forSeconds + 1.0))->start (rig->sink));
        pumpFor (std::chrono::seconds (forSeconds));
        for (size_t i = 0; i < playing.size(); ++i)
        {
            recorders[i]->stop();
            EXPECT_EQ (outOfStep (recorders[i]->recording(), 4, 5), "") << playing[i]->slots[0][0];
            EXPECT_EQ (withA ? outOfStep (recorders[i]->recording(), 6, 7) : "", "") << "the microphone";
            EXPECT_EQ (mismatches (recorders[i]->recording(), { { 660.0, 0.3f, withA ? std::vector { 2, 3 } : std::vector<int> {} } }), "");
        }
    };
    judge ({ &rigs[0], &rigs[1] }, seconds, false);
    world->stopSources();
    router->remove (*console ("V1"), 0, "plus");
    const auto hifi = world->createSink ("hifi-44k", "Hi-Fi 44.1 kHz", 2, false, 44100);
    ASSERT_TRUE (hifi && sinks.emplace ("hifi-44k", *hifi).second) << world->logs();
    std::vector<pid_t> busy { world->spawn ("busy", { "sh", "-c", "while :; do :; done" }), world->spawn ("busy", { "sh", "-c", "while :; do :; done" }) };
    ASSERT_GT (world->playDrifting ("hifi", 0.0, seconds + 20.0, { "on", "hifi-44k", "44100" }), 0) << world->logs();
    ASSERT_GT (world->playDrifting ("mic", -500.0, seconds + 20.0, { "microphone" }), 0) << world->logs();
    ASSERT_GT (world->playTone ("toneapp", "Tone App", 660.0, 0.3f, seconds + 20.0), 0) << world->logs();
    judge ({ &rigs[2] }, seconds / 4, true);
    for (const auto pid : busy)
        stopProcess (pid);
}

// Four consoles, sixteen sources on one and four on each other, all playing
// for a minute (LOOMWELL_OVERLOAD_SECONDS) after start-up: no ring buffer
// overflowing or running short, every source metered, and the busiest
// console's sink receiving every block (a block not mixed in time reaches
// it as a run of zeros). A source stopped for a moment then shows that the
// counters would have seen a stall.
TEST_F (Console, OverloadFourConsolesAndSixteenSourcesOnOneRunWithoutDropouts)
{
    const std::vector<Rig> rigs {
        { { "3a7d", "7401", "V1", "0210", "Mixora Vantor" }, "vantor-1", { { { "l1", "l2", "l3", "l4" }, { "l5", "l6", "l7", "l8" }, { "l9", "l10", "l11", "mic1" },
                                                                            { "l12", "mic2", "line3", "line4" } } } },
        { { "3a7d", "7301", "T1", "0105", "Mixora Trel" }, "trel-1", { { { "l1" }, { "l5" }, { "mic1" }, { "line3" } } } },
        { { "3a7d", "7401", "V2", "0210", "Mixora Vantor" }, "vantor-2", { { { "l2" }, { "l6" }, { "l10" }, { "line4" } } } },
        { { "3a7d", "7301", "T2", "0105", "Mixora Trel" }, "trel-2", { { { "l3" }, { "l7" }, { "mic2" }, { "l12" } } } } };
    const auto seconds = fromEnvironment ("LOOMWELL_OVERLOAD_SECONDS", LOOMWELL_OVERLOAD_SECONDS);
    for (int i = 1; i <= 12; ++i)
        ASSERT_GT (world->playTone (std::string ("l").append (std::to_string (i)), "Load", 440.0, 0.1f, seconds + 30.0), 0);
    for (const auto& [id, tones] : std::map<std::string, std::vector<Sine>> { { "mic1", { { 1000.0, 0.1f } } }, { "mic2", { { 1200.0, 0.1f } } },
                                                                              { "line3", { { 300.0, 0.1f }, { 350.0, 0.1f } } }, { "line4", { { 500.0, 0.1f }, { 550.0, 0.1f } } } })
        ASSERT_TRUE (world->feedInput (id, id, tones, seconds + 30.0)) << world->logs();
    ASSERT_NO_FATAL_FAILURE (plugIn (rigs));
    std::vector<std::shared_ptr<RingBuffer>> rings;
    for (const auto& rig : rigs)
        for (uint32_t slot = 0; slot < ChannelTable::numSlots; ++slot)
            for (const auto& id : rig.slots[slot])
                ASSERT_NE (rings.emplace_back (console (*rig.usb.serial)->getChannelTable().shareRingBuffer (add (*console (*rig.usb.serial), slot, id))), nullptr) << id;
    const auto faults = [&] {
        std::pair<uint64_t, uint64_t> sum; // samples dropped, short reads
        for (const auto& ring : rings)
            sum = { sum.first + ring->getDroppedSamples(), sum.second + ring->getShortReads() };
        return sum;
    };
    pumpFor (10s); // links made, drivers settled, buffers at their level
    ConsoleRecorder recorder (10, seconds + 1.0);
    ASSERT_TRUE (recorder.start ("vantor-1"));
    const auto before = faults();
    pumpFor (std::chrono::seconds (seconds));
    const auto after = faults();
    recorder.stop();
    int dropouts = 0;
    for (int ch = 2; ch < 10; ++ch)
        dropouts += recorder.recording().dropouts (ch);
    std::cout << "overload: " << seconds << " s, " << dropouts << " dropouts on vantor-1, " << after.first - before.first << " samples dropped, "
              << after.second - before.second << " short reads" << std::endl;
    EXPECT_EQ (dropouts, 0);
    EXPECT_EQ (after, before) << "ring buffers overflowed or ran short";
    for (const auto& rig : rigs)
        for (const auto& entry : console (*rig.usb.serial)->getChannelTable().copyChannelStates())
            EXPECT_TRUE (! entry.active || entry.level > 0.05f) << rig.sink << " " << entry.bundleId << " is not heard";
}

// The Vantor plays while its sources are put on slots and taken off again
// (LOOMWELL_RT_SECONDS), and an application restarts now and then.
TEST_F (Console, RealtimeSafetyOurCallbacksNeitherAllocateLockNorBlockWhileSourcesComeAndGo)
{
    ASSERT_NO_FATAL_FAILURE (setUpVantor());
    ASSERT_TRUE (world->feedInput ("mic", "Mic", { { 1200.0, 0.2f } }, 300.0)) << world->logs();
    std::map<std::string, uint32_t> slotOf { { "toneapp", 0 }, { "line-in", 2 } };
    ASSERT_GE (add (*vantor, 3, "mic"), 0);
    slotOf["mic"] = 3;
    pumpFor (1s);
    realtime::steady = true;
    std::set<std::string> heard; // sources metered meanwhile: their captures and the mix ran
    std::mt19937 random (9);
    auto restartAt = std::chrono::steady_clock::now() + 5s;
    for (const auto end = restartAt + std::chrono::seconds (LOOMWELL_RT_SECONDS - 5); std::chrono::steady_clock::now() < end && ! HasFailure();)
    {
        const std::string id = std::array { "toneapp", "otherapp", "line-in", "mic" }[random() % 4];
        if (const auto at = slotOf.find (id); at != slotOf.end())
        {
            EXPECT_TRUE (router->remove (*vantor, at->second, id).changed()) << id;
            slotOf.erase (at);
        }
        else if (const auto slot = static_cast<uint32_t> (random() % ChannelTable::numSlots); add (*vantor, slot, id) >= 0)
            slotOf[id] = slot;
        if (std::chrono::steady_clock::now() > restartAt) // its capture loses its links and gets them back
        {
            world->stopApp (other);
            pumpFor (200ms);
            ASSERT_GT (other = world->playTone ("otherapp", "Other App", 660.0, 0.3f, 300.0), 0);
            restartAt = std::chrono::steady_clock::now() + 5s;
        }
        pumpFor (std::chrono::milliseconds (100 + random() % 150));
        ASSERT_TRUE (vantor->isOpen());
        for (const auto& state : vantor->getChannelTable().copyChannelStates())
            if (state.active && state.level > 0.05f)
                heard.insert (state.bundleId);
    }
    pumpFor (500ms);
    realtime::steady = false;
    for (const auto& state : vantor->getChannelTable().copyChannelStates())
        EXPECT_TRUE (! state.active || state.bundleId == "otherapp" || state.level > 0.05f) << state.bundleId << " is not heard";
    EXPECT_EQ (heard.size(), 4u);
    if (realtime::calls > 0)
        ADD_FAILURE() << realtime::calls << " calls, the first " << realtime::firstCall.load() << " in " << realtime::firstScope.load() << " (stack above)";
}

} // namespace
} // namespace loomwell
