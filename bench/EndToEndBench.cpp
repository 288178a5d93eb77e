// Loomwell against PipeWire's own tools in one run, on the demo's private
// desktop: one Vantor (umockdev) and its 10-channel sink, eight applications
// and eight microphones. The loomwell program is started and driven through
// its tray with xdotool, as a person would, to route 1, 4 and then 16
// sources; the same routings are then made of pw-loopback instances linked
// with pw-link. Prints one "figure <name> <value>" line per measurement
// (bench/compare makes the table) and its progress on standard error.
//
//   umockdev-run -d tests/devices/data/vantor-console.umockdev -- loomwell_compare [seconds per CPU window]

#include "AppList.h"
#include "InputDevices.h"
#include "ProgramProcess.h"
#include "TrayDesktop.h"

#include <cmath>
#include <fstream>
#include <numbers>
#include <iomanip>
#include <map>
#include <iostream>

namespace loomwell::testing
{
namespace
{

using Clock = std::chrono::steady_clock;

const std::string consoleSink = "mixora-vantor";
constexpr int firstChannelOfSlot[] = { 4, 2, 6, 8 }; // Music, Game, A, B

struct Failure
{
    std::string what;
};

void require (bool ok, const std::string& what)
{
    if (! ok)
        throw Failure { what };
}

void require (const std::string& failed, const std::string& step)
{
    if (! failed.empty())
        throw Failure { step + ": " + failed };
}

void say (const std::string& line)
{
    std::cerr << "compare: " << line << std::endl;
}

// The block size most of the recorder's cycles had.
uint32_t quantum (const ConsoleRecorder& recorder)
{
    std::map<uint32_t, int> sizes;
    for (const auto& cycle : recorder.cycleLog())
        ++sizes[cycle.second];
    sizes.erase (0);
    return sizes.empty() ? 0 : std::max_element (sizes.begin(), sizes.end(), [] (auto& a, auto& b) { return a.second < b.second; })->first;
}

// When the cycle that first carried sound on these channels was delivered.
std::optional<ConsoleRecorder::Clock::time_point> firstSound (const ConsoleRecorder& recorder, const std::vector<int>& channels)
{
    const auto cycles = recorder.cycleLog();
    const auto heard = recorder.recording();
    size_t frame = 0;
    for (const auto& [deliveredAt, frames] : cycles)
        for (const auto end = std::min (heard.frames(), frame + frames); frame < end; ++frame)
            for (const auto ch : channels)
                if (std::abs (heard.at (frame, ch)) > 1.0e-3f)
                    return deliveredAt;
    return std::nullopt;
}

void figure (const std::string& name, double value, int decimals = 2)
{
    std::cout << "figure " << name << " " << std::fixed << std::setprecision (decimals) << value << std::endl;
}

// This process's view of the graph, as the program keeps its own.
PipeWireConnection& pipeWire()
{
    static PipeWireConnection connection;
    return connection;
}

// Where a source is in the picker's submenus: the program lists what this
// process lists, with the same code, less its own streams. -1: not listed.
int appRow (const std::string& bundleId, pid_t program)
{
    auto& connection = pipeWire();
    int row = -1;
    waitUntil ([&] {
        if (! connection.refresh())
            return false;
        const auto apps = capturableAppsFrom (connection.allNodes(), [&] (uint32_t id) { return connection.clientProperties (id); },
                                              static_cast<int> (program), processIsAlive);
        const auto it = std::find_if (apps.begin(), apps.end(), [&] (const auto& app) { return app.bundleId == bundleId; });
        row = it == apps.end() ? -1 : static_cast<int> (it - apps.begin());
        return row >= 0;
    });
    return row;
}

int inputRow (const std::string& uid)
{
    int row = -1;
    waitUntil ([&] {
        const auto inputs = listInputDevices (pipeWire());
        const auto it = std::find_if (inputs.begin(), inputs.end(), [&] (const auto& input) { return input.uid == uid; });
        row = it == inputs.end() ? -1 : static_cast<int> (it - inputs.begin());
        return row >= 0;
    });
    return row;
}

// A process's or thread's name and CPU time so far (user and system), from
// its stat file ("/proc/<pid>" or "/proc/<pid>/task/<tid>").
std::pair<std::string, double> cpuTime (const std::string& proc)
{
    std::ifstream in (proc + "/stat");
    const std::string line ((std::istreambuf_iterator<char> (in)), {});
    const auto open = line.find ('('), close = line.rfind (')');
    if (open == std::string::npos || close == std::string::npos)
        return {};
    std::istringstream fields (line.substr (close + 2));
    std::string field;
    double ticks = 0.0;
    for (int i = 0; i < 13 && fields >> field; ++i)
        ticks += i >= 11 ? std::stod (field) : 0.0;
    return { line.substr (open + 1, close - open - 1), ticks / static_cast<double> (::sysconf (_SC_CLK_TCK)) };
}

double cpuSeconds (pid_t pid)
{
    return cpuTime ("/proc/" + std::to_string (pid)).second;
}

// Every time a thread of the process was switched out so far: a wakeup for
// each time it slept, and the times it was preempted.
long contextSwitches (pid_t pid)
{
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator ("/proc/" + std::to_string (pid) + "/task"))
    {
        std::ifstream in (task.path() / "status");
        for (std::string line; std::getline (in, line);)
            if (line.find ("ctxt_switches:") != std::string::npos)
                total += std::stol (line.substr (line.find (':') + 1));
    }
    return total;
}

long residentKiB (pid_t pid)
{
    std::ifstream in ("/proc/" + std::to_string (pid) + "/status");
    for (std::string line; std::getline (in, line);)
        if (line.starts_with ("VmRSS:"))
            return std::stol (line.substr (6));
    return 0;
}

// How many frames `channel` lags behind `reference`, whose clicks are matched
// after a first difference, which flattens any tone beside them; nothing when
// the same clicks at about the same level do not carry most of the
// reference's energy.
std::optional<int> clickLag (const Recording& r, int reference, int channel, int maxLag)
{
    const auto diff = [&r] (int ch, long f) { return f <= 0 || f >= static_cast<long> (r.frames()) ? 0.0 : double (r.at (size_t (f), ch)) - r.at (size_t (f - 1), ch); };
    double top = 0.0, self = 0.0, best = -1.0;
    for (long f = 1; f < static_cast<long> (r.frames()); ++f)
        top = std::max (top, std::abs (diff (reference, f)));
    std::vector<long> clicks;
    for (long f = 1; f < static_cast<long> (r.frames()); ++f)
        if (top > 0.05 && std::abs (diff (reference, f)) > 0.1 * top)
        {
            clicks.push_back (f);
            self += diff (reference, f) * diff (reference, f);
        }
    int bestLag = 0;
    for (int lag = -maxLag; lag <= maxLag && ! clicks.empty(); ++lag)
    {
        double sum = 0.0;
        for (const auto f : clicks)
            sum += diff (reference, f) * diff (channel, f + lag);
        if (sum > best)
        {
            best = sum;
            bestLag = lag;
        }
    }
    return clicks.empty() || best < 0.5 * self ? std::nullopt : std::optional (bestLag);
}

struct Source
{
    bool app = true;
    std::string id; // bundle id or node name; also the node's name
};

struct Placement
{
    int slot = 0;
    int source = 0; // index into sources
};

class Bench
{
public:
    explicit Bench (double cpuSeconds)
        : window (cpuSeconds)
    {
    }

    ~Bench() { stopAll(); }

    int run()
    {
        try
        {
            setUp();
            measureIdle();
            startLoomwell();
            loomwellRuns();
            loopbackRuns();
        }
        catch (const Failure& failure)
        {
            say ("FAILED: " + failure.what);
            if (program != nullptr)
                std::cerr << program->output;
            std::cerr << world.logs();
            stopAll();
            return 1;
        }
        stopAll();
        return 0;
    }

private:
    // 1 source, then 4 (one on each slot), then 16 (four on each).
    static std::vector<Placement> plan()
    {
        // Sources 0..7 are the applications, 8..15 the microphones.
        return { { 0, 0 },
                 { 1, 1 }, { 2, 8 }, { 3, 9 },
                 { 0, 2 }, { 0, 10 }, { 0, 3 },
                 { 1, 11 }, { 1, 4 }, { 1, 12 },
                 { 2, 5 }, { 2, 13 }, { 2, 6 },
                 { 3, 14 }, { 3, 7 }, { 3, 15 } };
    }

    void setUp()
    {
        require (umockdev.present(), "not under umockdev-run (use bench/compare)");
        // Every phase, the routing by hand and the settling included.
        const double seconds = 8 * window + 420.0;

        say ("starting the private world with 8 applications and 8 microphones");
        require (world.start(), "the PipeWire world did not come up");
        require (world.createSink (consoleSink, "Mixora Vantor Main Multitrack").has_value(), "no console sink");

        // The first application clicks: the latency is measured with it.
        const auto clickWav = world.runtimeDir() + "/click.wav";
        writeWav (clickWav, 2, static_cast<size_t> (seconds * 48000), [] (size_t f, int) { return f % 48000 == 24000 ? 0.8f : 0.0f; });
        const auto toneWav = world.runtimeDir() + "/tone.wav";
        writeWav (toneWav, 2, static_cast<size_t> (seconds * 48000), [] (size_t f, int) {
            return static_cast<float> (0.1 * std::sin (2.0 * std::numbers::pi * 440.0 * static_cast<double> (f) / 48000.0));
        });
        const auto data = juce::File (world.runtimeDir()).getChildFile ("data");
        for (int i = 0; i < 8; ++i)
        {
            const auto id = i == 0 ? std::string ("clickapp") : "benchapp" + std::to_string (i + 1);
            const auto name = i == 0 ? std::string ("Click App") : "Bench App " + std::to_string (i + 1);
            const auto pid = world.spawn ("app-" + id, { "pw-cat", "--playback", "-P",
                                                         "{ application.name=\"" + name + "\" application.process.binary=\"" + id
                                                             + "\" node.name=\"" + id + "\" }",
                                                         i == 0 ? clickWav : toneWav });
            apps.push_back (pid);
            require (pid > 0 && world.nodeNamed (id, 2), name + " does not play");
            data.getChildFile ("applications/" + id + ".desktop").create();
            data.getChildFile ("applications/" + id + ".desktop")
                .replaceWithText ("[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + id + "\n");
            sources.push_back ({ true, id });
        }
        for (int i = 0; i < 8; ++i)
        {
            const auto id = "bench-mic-" + std::to_string (i + 1);
            require (world.feedInput (id, "Bench Mic " + std::to_string (i + 1), { { 1100.0 + 100.0 * i, 0.1f } }, seconds), "no " + id);
            sources.push_back ({ false, id });
        }

        say ("starting Xvfb with a tray");
        // The menus' rows are measured before this process's JUCE can see
        // the display, whose end would otherwise end the process with it.
        desktop = std::make_unique<Desktop>();
        tray = std::make_unique<TrayPerson> (world.runtimeDir(), *desktop);
        require (desktop->start (Tray::trayer), "the desktop");
        environment = umockdev.programEnvironment();
        environment.push_back ("XDG_DATA_HOME=" + data.getFullPathName().toStdString());
    }

    // Loomwell with its console open, nothing routed and the popover closed,
    // waiting: with its icon in an XEmbed tray, with no display at all, and
    // as a StatusNotifierItem in the Xfce panel; one window each.
    void measureIdle()
    {
        const auto idle = [this] (const std::string& name, std::vector<std::string> env, const std::string& icon) {
            say ("loomwell idle, " + name + ": " + std::to_string (static_cast<int> (window)) + " s");
            ProgramProcess waiting (env);
            require (waiting.waitForOutput ("LMW: now tracking 1 devices\n", 60s) && waiting.waitForOutput (icon, 20s), "loomwell idle " + name);
            std::this_thread::sleep_for (3s);
            const auto pid = waiting.processId();
            const auto switches = contextSwitches (pid);
            const auto started = Clock::now();
            const auto [own, daemon] = cpuOver ({ pid });
            const auto wall = std::chrono::duration<double> (Clock::now() - started).count();
            figure ("idle_wakeups_" + name, static_cast<double> (contextSwitches (pid) - switches) / wall, 1);
            figure ("idle_cpu_" + name, own);
            require (waiting.stopWith (SIGTERM, 20s) == 0, "loomwell idle " + name + " did not quit");
        };
        idle ("xembed", environment, "LMW: the icon is in the XEmbed system tray\n");
        auto headless = environment;
        std::erase_if (headless, [] (const std::string& v) { return v.starts_with ("DISPLAY="); });
        idle ("headless", headless, "");
        desktop->stopTray();
        require (desktop->startTray (Tray::xfce), "xfce4-panel");
        idle ("sni", environment, "LMW: the icon is a StatusNotifierItem (");
        desktop->stopTray();
        require (desktop->startTray (Tray::trayer), "trayer again");
    }

    void startLoomwell()
    {
        say ("the world without loomwell: " + std::to_string (static_cast<int> (window)) + " s");
        std::this_thread::sleep_for (2s);
        figure ("cpu_daemon_baseline", cpuOver ({}).second);

        say ("starting loomwell");
        const auto launched = Clock::now();
        program = std::make_unique<ProgramProcess> (environment);
        require (program->started(), "loomwell did not start");
        require (program->waitForOutput ("LMW: now tracking 1 devices\n", 60s), "loomwell found no console");
        figure ("startup_tracking_ms", std::chrono::duration<double, std::milli> (Clock::now() - launched).count(), 0);
        programPid = program->processId();
        require (desktop->trayIcon().has_value(), "no tray icon");
        std::this_thread::sleep_for (2s);
        figure ("startup_rss_kib", static_cast<double> (residentKiB (programPid)), 0);
        measureLoomwell (0);
    }

    void loomwellRuns()
    {
        const auto placements = plan();

        // The first source, with the console recorded from before the click
        // that routes it.
        {
            ConsoleRecorder recorder (10, 30.0);
            require (recorder.start (consoleSink), "no recording of the console");
            require (tray->openPopover(), "the popover");
            route (placements[0], 0);
            require (waitUntil ([&] { return firstSound (recorder, { 4, 5 }).has_value(); }, 10s), "no sound on Music");
            const auto heard = firstSound (recorder, { 4, 5 });
            recorder.stop();
            clickToSound.push_back (std::chrono::duration<double, std::milli> (*heard - tray->lastChoice).count());
            figure ("quantum_frames", quantum (recorder), 0);
        }
        require (tray->closePopover(), "closing the popover");
        checkRouting (1, placements);
        measureLoomwell (1);
        measureLatency();

        // Three more, each on a silent slot: three more times from the click to sound.
        {
            ConsoleRecorder recorder (10, 60.0);
            require (recorder.start (consoleSink), "no recording of the console");
            require (tray->openPopover(), "the popover");
            std::vector<Clock::time_point> clicks;
            for (size_t i = 1; i < 4; ++i)
            {
                route (placements[i], 0);
                clicks.push_back (tray->lastChoice);
            }
            std::this_thread::sleep_for (2s);
            recorder.stop();
            for (size_t i = 1; i < 4; ++i)
            {
                const auto first = firstChannelOfSlot[placements[i].slot];
                const auto heard = firstSound (recorder, { first, first + 1 });
                require (heard.has_value(), "no sound on slot " + std::to_string (placements[i].slot));
                clickToSound.push_back (std::chrono::duration<double, std::milli> (*heard - clicks[i - 1]).count());
            }
            std::sort (clickToSound.begin(), clickToSound.end());
            figure ("click_to_sound_ms", (clickToSound[1] + clickToSound[2]) / 2.0, 0);
            figure ("click_to_sound_min_ms", clickToSound.front(), 0);
            figure ("click_to_sound_max_ms", clickToSound.back(), 0);
        }
        require (tray->closePopover(), "closing the popover");
        checkRouting (4, placements);
        measureLoomwell (4);

        require (tray->openPopover(), "the popover");
        for (size_t i = 4; i < placements.size(); ++i)
            route (placements[i], static_cast<int> (std::count_if (placements.begin(), placements.begin() + static_cast<std::ptrdiff_t> (i),
                                                                   [&] (const auto& p) { return p.slot == placements[i].slot; })));
        require (tray->closePopover(), "closing the popover");
        checkRouting (16, placements);
        const auto started = Clock::now();
        measureLoomwell (16);
        std::this_thread::sleep_until (started + 60s);
        say ("16 sources ran a minute");
        figure ("rss_16_minute_kib", static_cast<double> (residentKiB (programPid)), 0);

        say ("quitting loomwell");
        require (program->stopWith (SIGTERM, 20s) == 0, "loomwell did not exit cleanly");
        program.reset();
    }

    // Puts one source on its slot through the tray, as a person would.
    void route (const Placement& placement, int alreadyOnSlot)
    {
        const auto& source = sources[static_cast<size_t> (placement.source)];
        const auto row = source.app ? appRow (source.id, programPid) : inputRow (source.id);
        require (row >= 0, source.id + " is not listed");
        require (tray->clickSlot (placement.slot), "routing " + source.id);
        if (alreadyOnSlot > 0)
            require (tray->chooseAdd (alreadyOnSlot), "routing " + source.id);
        require (tray->pick (source.app ? 0 : 1, row), "routing " + source.id);
        std::this_thread::sleep_for (300ms);
    }

    // The slots in use sound and the rest (channels 0 and 1 included) is silent.
    void checkRouting (int count, const std::vector<Placement>& placements)
    {
        std::this_thread::sleep_for (1s);
        ConsoleRecorder recorder (10, 4.0);
        require (recorder.start (consoleSink), "no recording of the console");
        std::this_thread::sleep_for (2500ms);
        recorder.stop();
        const auto heard = recorder.recording();
        std::array<bool, 10> used {};
        for (int i = 0; i < count; ++i)
        {
            used[static_cast<size_t> (firstChannelOfSlot[placements[static_cast<size_t> (i)].slot])] = true;
            used[static_cast<size_t> (firstChannelOfSlot[placements[static_cast<size_t> (i)].slot] + 1)] = true;
        }
        // Peaks: the click application sounds once a second only.
        for (int ch = 0; ch < 10; ++ch)
        {
            float peak = 0.0f;
            for (size_t f = Recording::settle; f < heard.frames(); ++f)
                peak = std::max (peak, std::abs (heard.at (f, ch)));
            require (used[static_cast<size_t> (ch)] ? peak > 0.05f : peak < 1.0e-4f,
                     std::to_string (count) + " sources: channel " + std::to_string (ch) + " peaks at " + std::to_string (peak));
        }
    }

    // Process CPU time (ms) per second of audio over one window: the sum
    // for all of `pids`, and the PipeWire daemon's beside it.
    std::pair<double, double> cpuOver (const std::vector<pid_t>& pids)
    {
        const std::vector<pid_t> daemon { world.daemonPid() };
        const auto sum = [&pids] {
            double total = 0.0;
            for (const auto pid : pids)
                total += cpuSeconds (pid);
            return total;
        };
        const auto before = sum(), daemonBefore = cpuSeconds (daemon.front());
        const auto started = Clock::now();
        std::this_thread::sleep_for (std::chrono::duration<double> (window));
        const auto wall = std::chrono::duration<double> (Clock::now() - started).count();
        return { 1000.0 * (sum() - before) / wall, 1000.0 * (cpuSeconds (daemon.front()) - daemonBefore) / wall };
    }

    void measureLoomwell (int count)
    {
        say ("loomwell routing " + std::to_string (count) + " sources: " + std::to_string (static_cast<int> (window)) + " s");
        std::this_thread::sleep_for (2s);
        const auto threadsBefore = threadTimes (programPid);
        const auto [own, daemon] = cpuOver ({ programPid });
        figure ("cpu_loomwell_" + std::to_string (count), own);
        figure ("cpu_daemon_loomwell_" + std::to_string (count), daemon);
        figure ("rss_loomwell_" + std::to_string (count) + "_kib", static_cast<double> (residentKiB (programPid)), 0);

        // Where the time went, for whoever reads the log.
        std::map<std::string, double> spent;
        for (const auto& [tid, stat] : threadTimes (programPid))
            if (const auto it = threadsBefore.find (tid); it != threadsBefore.end())
                spent[stat.first] += stat.second - it->second.second;
            else
                spent[stat.first] += stat.second;
        for (const auto& [name, seconds] : spent)
            if (seconds > 0.0)
                say ("  thread " + name + ": " + std::to_string (1000.0 * seconds / window) + " ms/s");
    }

    static std::map<pid_t, std::pair<std::string, double>> threadTimes (pid_t pid)
    {
        std::map<pid_t, std::pair<std::string, double>> result;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator ("/proc/" + std::to_string (pid) + "/task", error))
        {
            const auto tid = static_cast<pid_t> (std::stol (entry.path().filename().string()));
            result[tid] = cpuTime ("/proc/" + std::to_string (pid) + "/task/" + std::to_string (tid));
        }
        return result;
    }

    // An output port of one node linked to an input port of another, by ids.
    bool link (const std::string& fromNode, const std::string& fromChannel, const std::string& toNode, const std::string& toChannel,
               bool remove = false)
    {
        return waitUntil ([&] {
            auto& connection = pipeWire();
            if (! connection.refresh())
                return false;
            std::optional<uint32_t> from, to;
            for (const auto& node : connection.allNodes())
                for (const auto& port : connection.ports (node.id))
                {
                    if (node.name == fromNode && ! port.input && port.channel == fromChannel)
                        from = port.id;
                    if (node.name == toNode && port.input && port.channel == toChannel)
                        to = port.id;
                }
            if (! from || ! to)
                return false;
            std::vector<std::string> argv { "pw-link" };
            if (remove)
                argv.push_back ("-d");
            argv.push_back (std::to_string (*from));
            argv.push_back (std::to_string (*to));
            return testing::run (argv).has_value();
        }, 10s);
    }

    // A pw-loopback that nothing links by itself, linked from a source to a slot.
    pid_t startLoopback (const std::string& name, const Source& source, int firstChannel)
    {
        const auto pid = world.spawn (name, { "pw-loopback", "-n", name,
                                                   "--capture-props={ node.autoconnect=false node.name=" + name + "-in }",
                                                   "--playback-props={ node.autoconnect=false node.name=" + name + "-out }" });
        require (pid > 0, "pw-loopback did not start");
        loopbacks.push_back (pid);
        for (const auto* side : { "FL", "FR" })
            require (link (source.id, source.app ? side : "MONO", name + "-in", side), "linking " + source.id + " to " + name);
        require (link (name + "-out", "FL", consoleSink, "AUX" + std::to_string (firstChannel)), "linking " + name + " to the console");
        require (link (name + "-out", "FR", consoleSink, "AUX" + std::to_string (firstChannel + 1)), "linking " + name + " to the console");
        return pid;
    }

    void stopLoopbacks()
    {
        for (const auto pid : loopbacks)
            stopProcess (pid);
        loopbacks.clear();
    }

    // The click application on "Music" through Loomwell (channels 4/5),
    // through a pw-loopback (2/3) and linked straight (0/1), in one recording.
    void measureLatency()
    {
        say ("latency: Loomwell, pw-loopback and a direct link side by side");
        const auto& click = sources.front();
        require (link (click.id, "FL", consoleSink, "AUX0") && link (click.id, "FR", consoleSink, "AUX1"), "the direct link");
        startLoopback ("bench-lb-latency", click, 2);
        std::this_thread::sleep_for (1s);

        ConsoleRecorder recorder (10, 12.0);
        require (recorder.start (consoleSink), "no recording of the console");
        std::this_thread::sleep_for (10s);
        recorder.stop();
        const auto heard = recorder.recording();
        const auto viaLoomwell = clickLag (heard, 0, 4, 24000), viaLoopback = clickLag (heard, 0, 2, 24000);
        require (viaLoomwell.has_value() && viaLoopback.has_value(), "no clicks to compare");
        figure ("latency_quantum_frames", quantum (recorder), 0);
        figure ("latency_loomwell_frames", *viaLoomwell, 0);
        figure ("latency_loopback_frames", *viaLoopback, 0);

        stopLoopbacks();
        require (link (click.id, "FL", consoleSink, "AUX0", true) && link (click.id, "FR", consoleSink, "AUX1", true), "unlinking");
    }

    void loopbackRuns()
    {
        const auto placements = plan();
        for (const int count : { 1, 4, 16 })
        {
            say ("pw-loopback x " + std::to_string (count) + ": " + std::to_string (static_cast<int> (window)) + " s");
            for (int i = 0; i < count; ++i)
            {
                const auto& p = placements[static_cast<size_t> (i)];
                startLoopback ("bench-lb-" + std::to_string (i + 1), sources[static_cast<size_t> (p.source)], firstChannelOfSlot[p.slot]);
            }
            checkRouting (count, placements);
            std::this_thread::sleep_for (2s);
            const auto [own, daemon] = cpuOver (loopbacks);
            figure ("cpu_loopback_" + std::to_string (count), own);
            figure ("cpu_daemon_loopback_" + std::to_string (count), daemon);
            if (count == 16)
            {
                double rss = 0;
                for (const auto pid : loopbacks)
                    rss += static_cast<double> (residentKiB (pid));
                figure ("rss_loopback_16_kib", rss, 0);
            }
            stopLoopbacks();
        }
    }

    // Everything started here, in the reverse order, each by its process id.
    void stopAll()
    {
        program.reset();
        stopLoopbacks();
        for (const auto pid : apps)
            stopProcess (pid);
        apps.clear();
        tray.reset();
        desktop.reset();
        world.stop();
    }

    const double window;
    UmockdevEnvironment umockdev;
    PipeWireWorld world;
    std::unique_ptr<Desktop> desktop;
    std::unique_ptr<TrayPerson> tray;
    std::vector<std::string> environment;
    std::vector<Source> sources;
    std::vector<pid_t> apps;
    std::vector<pid_t> loopbacks;
    std::unique_ptr<ProgramProcess> program;
    pid_t programPid = -1;
    std::vector<double> clickToSound; // ms, one per source routed to a silent slot
};

} // namespace
} // namespace loomwell::testing

int main (int argc, char** argv)
{
    const double window = argc > 1 ? std::atof (argv[1]) : 30.0;
    if (window <= 0.0)
        return 2;
    juce::ScopedJuceInitialiser_GUI juce;
    loomwell::testing::Bench bench (window);
    return bench.run();
}
