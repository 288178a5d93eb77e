// The real-time threads must not allocate, free, lock, wait or make blocking
// calls once the audio runs. A console plays into a private PipeWire world
// while applications and inputs are put on its slots and taken off again, for
// a minute (LOOMWELL_RT_SECONDS), and RealtimeCalls counts what the console's
// callback and every capture's callback call, and what PipeWire's data loop
// calls around them. Three phases are told apart: the start-up; a block longer
// than any before (the graph's quantum forced up to 4096 frames and back),
// where growth is allowed; and the steady state, in which our callbacks must
// make no such call at all. What PipeWire's own code does, inside our
// callbacks or around them, is counted and printed but is not ours to fail.
//
// In a sanitizer build the counting is left out (the sanitizer owns the
// allocator and the lock functions): the same run then checks the capture and
// mixing paths for data races instead.

#include "ConsoleSuite.h"
#include "RealtimeCalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include <pipewire/properties.h>
#include <unistd.h>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::pumpFor;
using testing::pumpUntil;
using Clock = std::chrono::steady_clock;
namespace rt = testing::realtime;

// How long the steady state runs; LOOMWELL_RT_SECONDS overrides it.
constexpr int defaultSeconds = LOOMWELL_RT_SECONDS;

enum Phase { startUp, growth, steady, selfCheck };
constexpr int reportedPhases = 3;
constexpr std::array<const char*, rt::numPhases> phaseNames { "start-up", "growth", "steady", "self-check" };

struct Source
{
    int32_t kind = sourceKindApplication;
    std::string id;
    std::string name;
    std::vector<testing::Sine> tones;
};

// The third application is stopped and started again now and then, while it
// may be on a slot: its capture then loses its links and gets them back.
const std::vector<Source> sources {
    { sourceKindApplication, "rtapp1", "RT App 1", { { 440.0, 0.3f } } },
    { sourceKindApplication, "rtapp2", "RT App 2", { { 660.0, 0.3f } } },
    { sourceKindApplication, "rtapp3", "RT App 3", { { 880.0, 0.3f } } },
    { sourceKindInputDevice, "rt-mic1", "RT Mic 1", { { 1000.0, 0.2f } } },
    { sourceKindInputDevice, "rt-mic2", "RT Mic 2", { { 1500.0, 0.2f }, { 1700.0, 0.2f } } },
};
const std::string restartedApp = "rtapp3";

const std::string consoleSink = "mixora-vantor";
const std::string consoleDevice = "Mixora Vantor Main Multitrack";

// The counters themselves, on this thread as if it ran a console's callback:
// our own calls, and PipeWire's allocation told apart by its stack.
TEST (RealtimeCalls, CountWhatTheyShould)
{
    if (! rt::callsAreCounted())
        GTEST_SKIP() << "calls are not counted in a sanitizer build";

    rt::setPhase (selfCheck);
    std::mutex mutex;
    int fds[2] = { -1, -1 };
    ASSERT_EQ (::pipe (fds), 0);
    char byte = 'x';
    {
        const rt::CountingHere scope (rt::Where::console);
        int* volatile number = new int (1);
        delete number;
        void* volatile block = std::malloc (8);
        std::free (block);
        {
            const std::lock_guard lock (mutex);
        }
        EXPECT_EQ (::write (fds[1], &byte, 1), 1);
        EXPECT_EQ (::read (fds[0], &byte, 1), 1);
        std::this_thread::sleep_for (1ms);
    }
    {
        const std::lock_guard lock (mutex); // no longer counted
    }
    ::close (fds[0]);
    ::close (fds[1]);

    const auto ours = [] (rt::Call call) { return rt::calls (selfCheck, rt::Where::console, rt::Origin::ours, call); };
    EXPECT_EQ (ours (rt::Call::operatorNew), 1);
    EXPECT_EQ (ours (rt::Call::operatorDelete), 1);
    EXPECT_EQ (ours (rt::Call::malloc), 1);
    EXPECT_EQ (ours (rt::Call::free), 1);
    EXPECT_EQ (ours (rt::Call::mutexLock), 1);
    EXPECT_EQ (ours (rt::Call::write), 1);
    EXPECT_EQ (ours (rt::Call::read), 1);
    EXPECT_EQ (ours (rt::Call::sleep), 1);

    // PipeWire's allocations are told apart by their stack. (Its releases
    // may be tail calls, whose stack names our function: taken to be ours.)
    {
        const rt::CountingHere scope (rt::Where::console);
        auto* properties = pw_properties_new ("key", "value", nullptr);
        pw_properties_set (properties, "other", "value");
        pw_properties_free (properties);
    }
    EXPECT_EQ (ours (rt::Call::malloc) + ours (rt::Call::calloc) + ours (rt::Call::realloc), 1);
    long pipewireAllocations = 0;
    for (int c = 0; c < rt::numCalls; ++c)
        if (const auto call = static_cast<rt::Call> (c); rt::groupOf (call) == rt::Group::allocation)
            pipewireAllocations += rt::calls (selfCheck, rt::Where::console, rt::Origin::pipewire, call);
    EXPECT_GT (pipewireAllocations, 0);
}

class RealtimeSafety : public testing::PipeWireSuite
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (ready) << world->logs();
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = addLinuxDeviceTypes;
        SourceRouter::live().connect (tracker);
        tracker.installDeviceListListener();
        ASSERT_TRUE (tracker.listenerInstalled);
    }

    void TearDown() override
    {
        tracker.removeDeviceListListener();
        tracker.closeAndDestroyAll();
        pumpFor (50ms);
        tracker.captureHooks = {};
        deviceBackends() = {};
        forceQuantum (0);
        for (const auto& [id, pid] : apps)
            testing::PipeWireWorld::stopProcess (pid);
        for (auto& source : fed)
            testing::stopFedSource (*world, source);
        if (sink)
            world->destroyNode (*sink);
    }

    // 0 gives the graph its own quantum back.
    bool forceQuantum (int frames)
    {
        return testing::runTool (*world, { "pw-metadata", "-n", "settings", "0", "clock.force-quantum", std::to_string (frames) });
    }

    bool playApp (const Source& source)
    {
        const auto wav = world->runtimeDir() + "/" + source.id + ".wav";
        if (! std::ifstream (wav).good())
            testing::writeToneWav (wav, source.tones, 400.0);
        const auto pid = testing::playToneApp (*world, source.id, source.name, wav);
        apps[source.id] = pid;
        return pumpUntil ([pid] { return testing::isPlaying (pid); });
    }

    bool startSources()
    {
        for (const auto& source : sources)
        {
            if (source.kind == sourceKindApplication)
            {
                if (! playApp (source))
                    return false;
            }
            else
            {
                fed.push_back (testing::makeFedSource (*world, source.id, source.name, source.tones, 400.0));
                if (! fed.back().node)
                    return false;
            }
        }
        return true;
    }

    DeviceInstance* console()
    {
        return tracker.devices.empty() ? nullptr : tracker.devices.front().get();
    }

    // What the user does through the source picker.
    static void addSource (DeviceInstance& device, uint32_t slot, const Source& source)
    {
        testing::addSourceWithCapture (device, slot, static_cast<SourceKind> (source.kind), source.id, source.name);
    }

    static std::string callList (int phase, rt::Where where, rt::Origin origin)
    {
        std::ostringstream out;
        for (int c = 0; c < rt::numCalls; ++c)
            if (const auto n = rt::calls (phase, where, origin, static_cast<rt::Call> (c)))
                out << (out.tellp() > 0 ? ", " : "") << rt::nameOf (static_cast<rt::Call> (c)) << " " << n;
        return out.str();
    }

    // Per group: allocations, releases, locks, waits, blocking calls.
    static std::string groupTotals (int phase, const std::vector<rt::Where>& wheres, rt::Origin origin)
    {
        std::array<long, 5> totals {};
        for (const auto where : wheres)
            for (int c = 0; c < rt::numCalls; ++c)
                totals[static_cast<size_t> (rt::groupOf (static_cast<rt::Call> (c)))] += rt::calls (phase, where, origin, static_cast<rt::Call> (c));
        std::ostringstream out;
        for (size_t g = 0; g < totals.size(); ++g)
            out << (g > 0 ? ", " : "") << totals[g] << " " << rt::nameOf (static_cast<rt::Group> (g));
        return out.str();
    }

    void report (const std::array<double, reportedPhases>& seconds)
    {
        std::cout << "real-time threads:";
        for (const auto& thread : rt::realtimeThreads())
            std::cout << " [" << thread << "]";
        std::cout << "\n";

        const std::vector<rt::Where> ourCallbacks { rt::Where::console, rt::Where::appCapture, rt::Where::inputCapture, rt::Where::otherStream };
        for (int phase = 0; phase < reportedPhases; ++phase)
        {
            std::cout << "phase " << phaseNames[static_cast<size_t> (phase)] << " (" << std::lround (seconds[static_cast<size_t> (phase)])
                      << " s): callbacks: console " << rt::callbacks (phase, rt::Where::console)
                      << ", app captures " << rt::callbacks (phase, rt::Where::appCapture)
                      << ", input captures " << rt::callbacks (phase, rt::Where::inputCapture) << "\n";
            if (! rt::callsAreCounted())
                continue;
            std::cout << "  our code in our callbacks:          " << groupTotals (phase, ourCallbacks, rt::Origin::ours) << "\n"
                      << "  PipeWire's code in our callbacks:   " << groupTotals (phase, ourCallbacks, rt::Origin::pipewire) << "\n"
                      << "  PipeWire's data loop around them:   " << groupTotals (phase, { rt::Where::loop }, rt::Origin::pipewire) << "\n";
            for (int w = 0; w < rt::numWhere; ++w)
                for (const auto origin : { rt::Origin::ours, rt::Origin::pipewire })
                    if (const auto list = callList (phase, static_cast<rt::Where> (w), origin); ! list.empty())
                        std::cout << "    " << rt::nameOf (static_cast<rt::Where> (w)) << ", " << rt::nameOf (origin) << ": " << list << "\n";
        }

        if (! rt::callsAreCounted())
            return;
        // Every stack of a call in our callbacks; of the data loop's, the
        // first of each kind, as evidence of whose they are.
        std::map<std::pair<int, int>, int> loopShown;
        for (const auto& trace : rt::traces())
        {
            if (trace.phase == selfCheck)
                continue;
            if (trace.where == rt::Where::loop && loopShown[{ trace.phase, static_cast<int> (trace.call) }]++ > 0)
                continue;
            std::cout << "stack of " << rt::nameOf (trace.call) << " (" << phaseNames[static_cast<size_t> (trace.phase)] << ", "
                      << rt::nameOf (trace.where) << ", " << rt::nameOf (trace.origin) << "):\n";
            for (size_t f = 0; f < std::min<size_t> (trace.frames.size(), 14); ++f)
                std::cout << "    " << trace.frames[f] << "\n";
        }
    }

    DeviceTracker& tracker = DeviceTracker::instance();
    testing::ListedUsbRegistry registry { std::vector<UsbDeviceAttributes> { { "3a7d", "7401", "V1", "0123", "Mixora Vantor" } } };
    std::optional<uint32_t> sink;
    std::map<std::string, pid_t> apps;
    std::vector<testing::FedSource> fed;
};

TEST_F (RealtimeSafety, OurCallbacksNeitherAllocateLockNorBlockWhileSourcesComeAndGo)
{
    std::array<double, reportedPhases> seconds {};
    auto phaseStarted = Clock::now();
    const auto enter = [&] (Phase phase)
    {
        const auto now = Clock::now();
        seconds[static_cast<size_t> (phase) - 1] = std::chrono::duration<double> (now - phaseStarted).count();
        phaseStarted = now;
        rt::setPhase (phase);
    };
    rt::setPhase (startUp);

    sink = world->createNullSink ({ consoleSink, consoleDevice, 10, {}, 0 });
    ASSERT_TRUE (sink) << world->logs();
    ASSERT_TRUE (startSources()) << world->logs();

    // Standard error is left alone: a sanitizer writes its reports there.
    tracker.scanForDevices();
    auto* device = console();
    ASSERT_TRUE (device != nullptr && device->isOpen()) << world->logs();

    std::map<std::string, uint32_t> slotOf;
    addSource (*device, 0, sources[0]);
    slotOf[sources[0].id] = 0;
    addSource (*device, 2, sources[3]);
    slotOf[sources[3].id] = 2;
    ASSERT_TRUE (pumpUntil ([] {
        return rt::callbacks (startUp, rt::Where::console) > 0 && rt::callbacks (startUp, rt::Where::appCapture) > 0
            && rt::callbacks (startUp, rt::Where::inputCapture) > 0;
    })) << "the console's and the captures' callbacks do not run\n" << world->logs();
    pumpFor (500ms);

    // A block longer than any before, then the graph's own quantum again.
    enter (growth);
    ASSERT_TRUE (forceQuantum (4096)) << world->logs();
    pumpFor (2s);
    ASSERT_TRUE (forceQuantum (0)) << world->logs();
    pumpFor (1s);

    enter (steady);
    int steadySeconds = defaultSeconds;
    if (const char* text = std::getenv ("LOOMWELL_RT_SECONDS"))
        steadySeconds = std::max (1, std::atoi (text));

    std::mt19937 random (9);
    int added = 0, removed = 0, restarts = 0;
    const auto end = Clock::now() + std::chrono::seconds (steadySeconds);
    auto nextRestart = Clock::now() + 10s;
    while (Clock::now() < end && ! HasFailure())
    {
        const auto& source = sources[random() % sources.size()];
        if (const auto at = slotOf.find (source.id); at != slotOf.end())
        {
            EXPECT_TRUE (SourceRouter::live().remove (*device, at->second, source.id).changed()) << source.id;
            slotOf.erase (at);
            ++removed;
        }
        else if (const auto slot = static_cast<uint32_t> (random() % ChannelTable::numSlots);
                 device->channelsForSlot (slot).size() < static_cast<size_t> (ChannelTable::maxSourcesPerSlot))
        {
            addSource (*device, slot, source);
            slotOf[source.id] = slot;
            ++added;
        }

        if (Clock::now() > nextRestart)
        {
            const auto& app = *std::find_if (sources.begin(), sources.end(), [] (const auto& s) { return s.id == restartedApp; });
            testing::PipeWireWorld::stopProcess (apps[app.id]);
            pumpFor (200ms);
            ASSERT_TRUE (playApp (app)) << world->logs();
            ++restarts;
            nextRestart = Clock::now() + 10s;
        }

        pumpFor (std::chrono::milliseconds (100 + random() % 150));
        ASSERT_TRUE (device->isOpen()) << "the console closed during the run";
    }

    // The sources on the slots are still heard: the console's callback
    // meters what the captures wrote.
    pumpFor (500ms);
    for (const auto& state : device->getChannelTable().copyChannelStates())
    {
        if (state.active && state.bundleId != restartedApp)
        {
            EXPECT_GT (state.level, 0.05f) << state.bundleId << " on channel " << state.channelId << " is not heard";
        }
    }

    seconds[steady] = std::chrono::duration<double> (Clock::now() - phaseStarted).count();

    std::cout << "steady state: " << added << " sources added, " << removed << " removed, "
              << restarts << " restarts of " << restartedApp << " in " << steadySeconds << " s\n";
    report (seconds);

    EXPECT_GT (rt::callbacks (steady, rt::Where::console), 0);
    EXPECT_GT (rt::callbacks (steady, rt::Where::appCapture), 0);
    EXPECT_GT (rt::callbacks (steady, rt::Where::inputCapture), 0);

    if (! rt::callsAreCounted())
        return;
    for (const auto where : { rt::Where::console, rt::Where::appCapture, rt::Where::inputCapture, rt::Where::otherStream })
        for (int c = 0; c < rt::numCalls; ++c)
            EXPECT_EQ (rt::calls (steady, where, rt::Origin::ours, static_cast<rt::Call> (c)), 0)
                << rt::nameOf (static_cast<rt::Call> (c)) << " in the " << rt::nameOf (where) << " in the steady state";
}

} // namespace
} // namespace loomwell
