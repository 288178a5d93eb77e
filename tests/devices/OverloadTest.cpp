// Overload: sixteen sources on one console and three more consoles with four
// sources each, all four consoles open on sinks of a private PipeWire world
// and every source playing, for minutes (LOOMWELL_OVERLOAD_SECONDS). After
// start-up the graph must run without an xrun (counted as pw-top counts them,
// from the daemon's profiler) and no ring buffer may overflow or run short.
// The figures are printed for the record.

#include "ConsoleSuite.h"
#include "GraphProfiler.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <thread>

#ifndef LOOMWELL_OVERLOAD_SECONDS
#define LOOMWELL_OVERLOAD_SECONDS 300
#endif

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::pumpFor;
using testing::pumpUntil;

int measuredSeconds()
{
    if (const char* text = std::getenv ("LOOMWELL_OVERLOAD_SECONDS"))
        if (const auto seconds = std::atoi (text); seconds > 0)
            return seconds;
    return LOOMWELL_OVERLOAD_SECONDS;
}

constexpr auto settle = 10s;

struct Source
{
    SourceKind kind;
    std::string id;
    std::vector<testing::Sine> tones; // inputs: one tone makes a mono source, two a stereo one
};

std::vector<Source> makeSources()
{
    std::vector<Source> sources;
    for (int i = 1; i <= 12; ++i)
        sources.push_back ({ sourceKindApplication, "loadapp" + std::to_string (i), {} });
    sources.push_back ({ sourceKindInputDevice, "load-mic1", { { 1000.0, 0.1f } } });
    sources.push_back ({ sourceKindInputDevice, "load-mic2", { { 1200.0, 0.1f } } });
    sources.push_back ({ sourceKindInputDevice, "load-line3", { { 300.0, 0.1f }, { 350.0, 0.1f } } });
    sources.push_back ({ sourceKindInputDevice, "load-line4", { { 500.0, 0.1f }, { 550.0, 0.1f } } });
    return sources;
}

using ConsoleLoad = testing::ConsoleWithSources;

// The first console carries every source, four on each slot; the others one
// on each slot. Two consoles of a model share their sink's description, as
// two such consoles on one machine do.
const std::vector<ConsoleLoad> consoles {
    { { "3a7d", "7401", "V1", "0210", "Mixora Vantor" }, "mixora-vantor-1", "Mixora Vantor Main Multitrack",
      { { { "loadapp1", "loadapp2", "loadapp3", "loadapp4" },
          { "loadapp5", "loadapp6", "loadapp7", "loadapp8" },
          { "loadapp9", "loadapp10", "loadapp11", "load-mic1" },
          { "loadapp12", "load-mic2", "load-line3", "load-line4" } } } },
    { { "3a7d", "7301", "T1", "0105", "Mixora Trel" }, "mixora-trel-1", "Mixora Trel Main Multitrack",
      { { { "loadapp1" }, { "loadapp5" }, { "load-mic1" }, { "load-line3" } } } },
    { { "3a7d", "7401", "V2", "0210", "Mixora Vantor" }, "mixora-vantor-2", "Mixora Vantor Main Multitrack",
      { { { "loadapp2" }, { "loadapp6" }, { "loadapp10" }, { "load-line4" } } } },
    { { "3a7d", "7301", "T2", "0105", "Mixora Trel" }, "mixora-trel-2", "Mixora Trel Main Multitrack",
      { { { "loadapp3" }, { "loadapp7" }, { "load-mic2" }, { "loadapp12" } } } },
};

// One ring buffer under watch and what it did.
struct Watched
{
    std::string label;
    std::shared_ptr<RingBuffer> ring;
    uint64_t droppedBefore = 0;
    uint64_t shortBefore = 0;
    int32_t lowest = std::numeric_limits<int32_t>::max();
    int32_t highest = 0;
};

double cpuSeconds()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    return static_cast<double> (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
         + static_cast<double> (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Overload : public testing::ConsoleSuite
{
protected:
    void SetUp() override
    {
        ConsoleSuite::SetUp();
        registry.devices->clear();
        for (const auto& console : consoles)
            registry.devices->push_back (console.usb);
    }

    // Every source plays for longer than the run takes; the applications
    // share one file, which is long.
    ::testing::AssertionResult startSources (double seconds)
    {
        const auto wav = world->runtimeDir() + "/load.wav";
        testing::writeToneWav (wav, { { 440.0, 0.1f } }, seconds);
        for (const auto& source : makeSources())
        {
            if (source.kind == sourceKindApplication)
            {
                const auto pid = testing::playToneApp (*world, source.id, source.id, wav);
                apps.push_back (pid);
                if (! pumpUntil ([pid] { return testing::isPlaying (pid); }))
                    return ::testing::AssertionFailure() << source.id << " does not play";
            }
            else if (! feedInput (source.id, source.id, source.tones, seconds))
                return ::testing::AssertionFailure() << source.id << " is not there";
        }
        return ::testing::AssertionSuccess();
    }

    void assign (DeviceInstance& device, const ConsoleLoad& load)
    {
        for (uint32_t slot = 0; slot < ChannelTable::numSlots; ++slot)
            for (const auto& id : load.slots[slot])
            {
                const auto kind = id.starts_with ("loadapp") ? sourceKindApplication : sourceKindInputDevice;
                const auto channel = addSourceWithCapture (device, slot, kind, id, id);
                watched.push_back ({ *load.usb.serial + " " + id, device.getChannelTable().shareRingBuffer (channel) });
            }
    }

    DeviceInstance* console (const ConsoleLoad& load) { return consoleWithSerial (*load.usb.serial); }

    std::vector<Watched> watched;
};

// The count is only worth its zero if it sees a stall: a client stopped
// for a moment in the middle of the graph leaves its cycles unfinished.
TEST_F (Overload, TheProfilerSeesAClientThatStalls)
{
    testing::GraphProfiler profiler;
    ASSERT_TRUE (profiler.start());
    const auto pid = playTone ("stallapp", "Stall App", 440.0, 0.1f, 20.0);
    ASSERT_GT (pid, 0);
    pumpFor (2s);

    const auto before = profiler.totals();
    kill (pid, SIGSTOP);
    std::this_thread::sleep_for (300ms);
    kill (pid, SIGCONT);
    pumpFor (1s);
    const auto stalled = profiler.totals().since (before);
    std::cout << "stalled client: " << stalled.describe() << std::endl;
    EXPECT_GT (stalled.xruns + stalled.unfinished, 0u);
}

TEST_F (Overload, FourConsolesAndSixteenSourcesOnOneRunWithoutXrunsOrShortBuffers)
{
    const auto seconds = measuredSeconds();
    testing::GraphProfiler profiler;
    ASSERT_TRUE (profiler.start()) << "the daemon offers no profiler";

    ASSERT_TRUE (startSources (seconds + 60.0)) << world->logs();
    for (const auto& load : consoles)
    {
        ASSERT_TRUE (makeConsoleSink ({ load.sinkName, load.deviceName, 10, {}, 0 })) << world->logs();
    }

    ::testing::internal::CaptureStderr();
    tracker.scanForDevices();
    const auto log = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ (tracker.devices.size(), consoles.size()) << log;
    for (const auto& load : consoles)
    {
        auto* device = console (load);
        ASSERT_TRUE (device != nullptr && device->isOpen()) << *load.usb.serial << "\n" << log;
        assign (*device, load);
    }
    ASSERT_EQ (watched.size(), 28u);
    for (const auto& load : consoles)
        for (uint32_t slot = 0; slot < ChannelTable::numSlots; ++slot)
            ASSERT_EQ (console (load)->channelsForSlot (slot).size(), load.slots[slot].size());

    // Start-up: links are made, drivers settle, buffers find their level.
    pumpFor (settle);
    for (auto& w : watched)
    {
        w.droppedBefore = w.ring->getDroppedSamples();
        w.shortBefore = w.ring->getShortReads();
    }
    const auto graphBefore = profiler.totals();
    const auto cpuBefore = cpuSeconds();

    for (int second = 0; second < seconds; ++second)
    {
        for (int tick = 0; tick < 4; ++tick)
        {
            pumpFor (250ms);
            for (auto& w : watched)
            {
                const auto fill = w.ring->fill();
                w.lowest = std::min (w.lowest, fill);
                w.highest = std::max (w.highest, fill);
            }
        }
        if ((second + 1) % 60 == 0)
        {
            const auto sofar = profiler.totals().since (graphBefore);
            std::cout << "overload: " << second + 1 << " s, " << sofar.xruns << " xruns, " << sofar.unfinished
                      << " unfinished node cycles" << std::endl;
        }
    }

    const auto cpu = cpuSeconds() - cpuBefore;
    const auto graph = profiler.totals().since (graphBefore);

    uint64_t dropped = 0, shortReads = 0;
    int32_t lowest = std::numeric_limits<int32_t>::max(), highest = 0;
    std::ostringstream perBuffer;
    for (const auto& w : watched)
    {
        const auto d = w.ring->getDroppedSamples() - w.droppedBefore;
        const auto s = w.ring->getShortReads() - w.shortBefore;
        dropped += d;
        shortReads += s;
        lowest = std::min (lowest, w.lowest);
        highest = std::max (highest, w.highest);
        perBuffer << "  " << w.label << ": fill " << w.lowest << ".." << w.highest << " samples, dropped " << d
                  << ", short reads " << s << "\n";
    }

    // Every source is still heard: each entry's level is that of its tone.
    int quiet = 0;
    for (const auto& load : consoles)
        for (const auto& entry : console (load)->getChannelTable().copyChannelStates())
            if (entry.active && entry.level < 0.05f)
                ++quiet;

    char figures[512];
    std::snprintf (figures, sizeof figures,
                   "overload: %d s with 4 consoles and 28 captures (16 on one console): %llu graph cycles, %llu xruns, "
                   "%llu unfinished node cycles; ring buffers: %llu samples dropped, %llu short reads, fill %.1f..%.1f ms; "
                   "test process CPU %.1f%% of one core\n",
                   seconds, static_cast<unsigned long long> (graph.cycles), static_cast<unsigned long long> (graph.xruns),
                   static_cast<unsigned long long> (graph.unfinished), static_cast<unsigned long long> (dropped),
                   static_cast<unsigned long long> (shortReads), lowest / 96.0, highest / 96.0, 100.0 * cpu / seconds);
    std::cout << figures << graph.describe() << "\n" << perBuffer.str() << std::flush;

    EXPECT_GT (graph.cycles, 0u);
    EXPECT_EQ (graph.xruns, 0u) << graph.describe();
    EXPECT_EQ (graph.unfinished, 0u) << graph.describe();
    EXPECT_EQ (dropped, 0u) << perBuffer.str();
    EXPECT_EQ (shortReads, 0u) << perBuffer.str();
    EXPECT_EQ (quiet, 0);
    for (const auto& load : consoles)
        EXPECT_TRUE (console (load)->isOpen()) << *load.usb.serial;
}

} // namespace
} // namespace loomwell
