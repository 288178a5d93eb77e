// Loomwell without a console: one Mixora Vantor made up from its USB identity
// (umockdev) and a 10-channel sink of a private PipeWire world, a tone
// application and a microphone fed with a tone of its own, the tray on a
// virtual display, and the loomwell program driven with xdotool as a person
// would drive it. What the console receives is recorded and judged.
//
//   umockdev-run -d tests/devices/data/vantor-console.umockdev -- loomwell_demo [output folder]
//
// Exits 0 only when every channel of the console carries what it should.

#include "ConsoleRecorder.h"
#include "PickerRows.h"
#include "ProcessStats.h"
#include "SignalAnalysis.h"
#include "ToneSources.h"
#include "TrayScenario.h"
#include "Umockdev.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>

namespace loomwell::testing
{
namespace
{

using Clock = std::chrono::steady_clock;

const std::string consoleSink = "mixora-vantor";
const std::string micName = "demo-mic";
constexpr double toneHz = 440.0, micHz = 1000.0;
constexpr float toneLevel = 0.3f, micLevel = 0.2f;
constexpr double audioSeconds = 300.0;

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
    std::cout << "demo: " << line << std::endl;
}

std::string fixed (double value, int decimals)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision (decimals) << value;
    return out.str();
}

class Demo
{
public:
    explicit Demo (std::filesystem::path outputFolder)
        : out (std::move (outputFolder))
    {
    }

    ~Demo() { stopAll(); }

    int run()
    {
        try
        {
            setUp();
            routeAndListen();
            measureLatency();
            quit();
        }
        catch (const Failure& failure)
        {
            failures.push_back (failure.what);
            say ("FAILED: " + failure.what);
        }
        saveLogs();
        stopAll();
        writeReport();
        return failures.empty() && routingRight ? 0 : 1;
    }

private:
    void setUp()
    {
        require (umockdev.present(), "not under umockdev-run (use scripts/demo)");
        withoutDefaultIoctlHandler (umockdev.dir());

        say ("starting a private PipeWire world (D-Bus, PipeWire, WirePlumber, a \"Speakers\" sink)");
        require (world.start(), "the PipeWire world did not come up");
        sink = world.createNullSink ({ consoleSink, "Mixora Vantor Main Multitrack", 10, {}, 0 });
        require (sink.has_value(), "no console sink");

        say ("starting \"Tone App\" (" + fixed (toneHz, 0) + " Hz) and \"Demo Microphone\" (" + fixed (micHz, 0) + " Hz)");
        const auto toneWav = world.runtimeDir() + "/tone.wav";
        writeToneWav (toneWav, { { toneHz, toneLevel } }, audioSeconds);
        tone = playToneApp (world, "toneapp", "Tone App", toneWav);
        require (tone > 0 && waitUntil ([this] { return playing (tone); }, 10s), "the tone application does not play");
        mic = makeFedSource (world, micName, "Demo Microphone", { { micHz, micLevel } }, audioSeconds);
        require (mic.node.has_value(), "no microphone");

        say ("starting Xvfb with a tray (trayer)");
        require (desktop->start(), "the desktop");
        const auto data = juce::File (world.runtimeDir()).getChildFile ("data");
        installAppEntry (data, "toneapp", "Tone App", juce::Colours::orange);
        installAppEntry (data, "clickapp", "Click App", juce::Colours::skyblue);
        auto environment = desktop->environment();
        environment.push_back ("XDG_DATA_HOME=" + data.getFullPathName().toStdString());
        for (auto& variable : umockdev.variables())
            environment.push_back (std::move (variable));

        say ("starting loomwell");
        const auto launched = Clock::now();
        program = std::make_unique<ProgramProcess> (std::move (environment));
        require (program->started(), "loomwell did not start");
        require (program->waitForOutput ("LMW: now tracking 1 devices\n", 60s), "loomwell found no console");
        startUp = Clock::now() - launched;
        const auto pids = childrenNamed ("loomwell");
        require (pids.size() == 1, "no loomwell process");
        programPid = pids.front();
    }

    void routeAndListen()
    {
        say ("opening the popover; \"Music\" <- Tone App, \"A\" <- Demo Microphone");
        require (tray.openPopover(), "the popover");
        require (tray.clickSlot (0, "picker.png"), "Music");
        const auto toneRow = appRow ("toneapp", programPid);
        require (toneRow >= 0, "Tone App is not listed");
        require (tray.pickFromSubmenu (Submenu::apps, toneRow, "picker-apps.png"), "Music <- Tone App");

        std::this_thread::sleep_for (500ms);
        require (tray.clickSlot (2), "A");
        const auto micRow = inputRow (micName);
        require (micRow >= 0, "Demo Microphone is not listed");
        require (tray.pickFromSubmenu (Submenu::inputDevices, micRow, "picker-inputs.png"), "A <- Demo Microphone");

        std::this_thread::sleep_for (700ms);
        tray.savePopover ("popover.png");
        require (tray.closePopover(), "closing the popover");

        say ("recording the console for 3 s");
        ConsoleRecorder recorder (10, 4.0);
        const auto cpuBefore = cpuSeconds (programPid);
        const auto started = Clock::now();
        require (recorder.start (consoleSink), "no recording of the console");
        std::this_thread::sleep_for (3s);
        recorder.stop();
        cpuWall = std::chrono::duration<double> (Clock::now() - started).count();
        cpuUsed = cpuSeconds (programPid) - cpuBefore;
        residentAfter = residentKiB (programPid);
        recorder.writeWav ((out / "console-routing.wav").string());
        levels = recorder.recording();
        require (levels.frames() > 48000, "the recording is too short");
        judgeRouting();
    }

    // Right: the expected tone, and only it, on each slot's channels, at
    // its level or (when blocks went missing) below it; the rest silent.
    // Missing blocks are a matter of their own, reported beside.
    void judgeRouting()
    {
        routingRight = true;
        for (int ch = 0; ch < 10; ++ch)
        {
            const bool music = ch == 4 || ch == 5, a = ch == 6 || ch == 7;
            bool ok = rmsDbfs (levels, ch) < -60.0;
            if (music || a)
            {
                const auto expectedHz = music ? toneHz : micHz, otherHz = music ? micHz : toneHz;
                const auto expectedLevel = static_cast<double> (music ? toneLevel : micLevel);
                const auto hz = dominantFrequency (levels, ch);
                const auto amplitude = toneAmplitude (levels, ch, expectedHz);
                ok = hz && std::abs (*hz - expectedHz) < 5.0 && amplitude > 0.5 * expectedLevel
                     && amplitude < expectedLevel + 0.03 && toneAmplitude (levels, ch, otherHz) < 0.03;
                for (const auto& [start, length] : dropouts (levels, ch))
                {
                    ++gaps[static_cast<size_t> (ch)];
                    gapFrames[static_cast<size_t> (ch)] += length;
                }
            }
            channelOk[static_cast<size_t> (ch)] = ok;
            routingRight = routingRight && ok;
        }
    }

    void measureLatency()
    {
        say ("second phase: \"Click App\" joins \"Music\" and is also linked straight to channels 0/1");
        const auto clickWav = world.runtimeDir() + "/click.wav";
        writeClickWav (clickWav, 0.8f, 1.0, audioSeconds);
        click = spawnTool (world, "app-clickapp", { "pw-cat", "--playback", "-P",
                                                    "{ application.name=\"Click App\" application.process.binary=\"clickapp\" node.name=\"clickapp\" }",
                                                    clickWav });
        require (click > 0 && waitUntil ([this] { return playing (click); }, 10s), "the click application does not play");

        require (tray.openPopover(), "the popover");
        require (tray.clickSlot (0, "slot-menu.png"), "Music's slot menu");
        require (tray.chooseAdd (1), "Add");
        const auto clickRow = appRow ("clickapp", programPid);
        require (clickRow >= 0, "Click App is not listed");
        require (tray.pickFromSubmenu (Submenu::apps, clickRow, "picker-apps-2.png"), "Music <- Click App");
        std::this_thread::sleep_for (500ms);
        tray.savePopover ("popover-three-sources.png");
        require (tray.closePopover(), "closing the popover");

        for (const auto& [from, to] : { std::pair { "clickapp:output_FL", "mixora-vantor:playback_AUX0" },
                                        std::pair { "clickapp:output_FR", "mixora-vantor:playback_AUX1" } })
            require (waitUntil ([&] { return runTool (world, { "pw-link", from, to }); }, 10s),
                     std::string ("pw-link ") + from + " " + to);

        say ("recording the console for 5 s");
        ConsoleRecorder recorder (10, 6.0);
        require (recorder.start (consoleSink), "no recording of the console");
        std::this_thread::sleep_for (5s);
        recorder.stop();
        recorder.writeWav ((out / "console-latency.wav").string());
        const auto heard = recorder.recording();
        latencyQuantum = recorder.quantum();
        lag = clickLag (heard, 0, 4, 24000);
        require (lag.has_value(), "the clicks on channel 4 do not match those on channel 0");
        // The tone stays where it was beside the clicks.
        require (toneAmplitude (heard, 4, toneHz) > 0.5 * toneLevel, "the tone left Music when the clicks joined");
    }

    void quit()
    {
        say ("quitting loomwell (SIGTERM)");
        exitStatus = program->stopWith (SIGTERM, 20s);
        require (exitStatus == 0, "loomwell did not exit cleanly");
    }

    void saveLogs()
    {
        if (program != nullptr)
        {
            programOutput = program->output;
            juce::File ((out / "loomwell.log").string()).replaceWithText (programOutput);
        }
        if (world.isRunning())
            juce::File ((out / "pipewire-world.log").string()).replaceWithText (world.logs());
    }

    // Everything started here, in the reverse order, each by its process id.
    void stopAll()
    {
        program.reset();
        for (auto* pid : { &click, &tone })
            if (*pid > 0)
            {
                PipeWireWorld::stopProcess (*pid);
                *pid = -1;
            }
        if (world.isRunning())
        {
            stopFedSource (world, mic);
            if (sink)
                world.destroyNode (*sink);
            sink.reset();
        }
        desktop.reset();
        world.stop();
    }

    void writeReport()
    {
        std::ostringstream r;
        r << "Loomwell demo: one Mixora Vantor (umockdev), a private PipeWire world, the tray on Xvfb\n";
        r << consoleLine();
        r << "Sources: \"Tone App\" (" << fixed (toneHz, 0) << " Hz, " << fixed (20.0 * std::log10 (toneLevel / std::sqrt (2.0)), 1)
          << " dBFS) on Music, \"Demo Microphone\" (" << fixed (micHz, 0) << " Hz, "
          << fixed (20.0 * std::log10 (micLevel / std::sqrt (2.0)), 1) << " dBFS) on A\n\n";

        if (levels.frames() > 0)
        {
            static const char* slots[] = { "-", "-", "Game", "Game", "Music", "Music", "A", "A", "B", "B" };
            r << "channel  slot   level (dBFS)  tone       expected          check\n";
            for (int ch = 0; ch < 10; ++ch)
            {
                const auto db = rmsDbfs (levels, ch);
                const auto hz = dominantFrequency (levels, ch);
                const bool music = ch == 4 || ch == 5, a = ch == 6 || ch == 7;
                r << std::left << std::setw (9) << ch << std::setw (7) << slots[ch]
                  << std::setw (14) << (std::isfinite (db) ? fixed (db, 1) : std::string ("silent"))
                  << std::setw (11) << (hz ? fixed (*hz, 0) + " Hz" : std::string ("-"))
                  << std::setw (18) << (music ? "Tone App 440 Hz" : a ? "Microphone 1 kHz" : "silence")
                  << (channelOk[static_cast<size_t> (ch)] ? "ok" : "WRONG") << "\n";
            }
            r << "Routing: " << (routingRight ? "right" : "WRONG") << "\n";
            r << "Dropouts (blocks a source did not deliver in time):";
            if (gaps[4] + gaps[5] + gaps[6] + gaps[7] == 0)
                r << " none";
            for (int ch = 4; ch < 8; ++ch)
                if (gaps[static_cast<size_t> (ch)] > 0)
                    r << " channel " << ch << ": " << gaps[static_cast<size_t> (ch)] << " (" << fixed (gapFrames[static_cast<size_t> (ch)] / 48.0, 0) << " ms);";
            r << "\n\n";
        }

        if (lag && latencyQuantum > 0)
            r << "Added latency: " << fixed (*lag / 48.0, 2) << " ms = " << fixed (static_cast<double> (*lag) / latencyQuantum, 2)
              << " quanta (" << *lag << " frames; quantum " << latencyQuantum
              << " frames at 48 kHz), Loomwell (channel 4) against a direct link (channel 0)\n";
        if (cpuWall > 0.0)
            r << "Loomwell CPU: " << fixed (100.0 * cpuUsed / cpuWall, 2) << " % of one core (" << fixed (cpuUsed, 2) << " s user+system in "
              << fixed (cpuWall, 2) << " s of audio, 2 sources, popover closed); resident memory " << residentAfter / 1024 << " MiB\n";
        if (startUp.count() > 0)
            r << "Start-up: " << fixed (std::chrono::duration<double> (startUp).count(), 2) << " s from launch to \"LMW: now tracking 1 devices\"\n";
        if (exitStatus >= 0)
            r << "Quit with SIGTERM: exit status " << exitStatus << "\n";
        for (const auto& failure : failures)
            r << "FAILED: " << failure << "\n";
        r << "\nFiles in " << out.string() << ":\n";
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator (out))
            files.push_back (entry.path().filename().string());
        files.push_back ("report.txt");
        std::sort (files.begin(), files.end());
        files.erase (std::unique (files.begin(), files.end()), files.end());
        for (const auto& file : files)
            r << "  " << file << "\n";

        juce::File ((out / "report.txt").string()).replaceWithText (r.str());
        std::cout << "\n" << r.str() << std::flush;
    }

    // The program's own line about the console it opened.
    std::string consoleLine() const
    {
        const std::string opened = "LMW: Opened ";
        const auto at = programOutput.find (opened);
        if (at == std::string::npos)
            return {};
        const auto end = programOutput.find ('\n', at);
        return "Console: " + programOutput.substr (at + opened.size(), end - at - opened.size()) + "\n";
    }

    const std::filesystem::path out;
    UmockdevEnvironment umockdev;
    PipeWireWorld world;
    std::unique_ptr<Desktop> desktop = std::make_unique<Desktop>(); // stopped before the world
    TrayDriver tray { *desktop, out.string() };
    std::optional<uint32_t> sink;
    pid_t tone = -1, click = -1;
    FedSource mic;
    std::unique_ptr<ProgramProcess> program;
    pid_t programPid = -1;
    std::string programOutput;

    std::vector<std::string> failures;
    Recording levels;
    std::array<bool, 10> channelOk {};
    std::array<int, 10> gaps {}, gapFrames {};
    bool routingRight = false;
    uint32_t latencyQuantum = 0;
    std::optional<int> lag;
    double cpuUsed = 0.0, cpuWall = 0.0;
    long residentAfter = 0;
    Clock::duration startUp {};
    int exitStatus = -1;
};

} // namespace
} // namespace loomwell::testing

int main (int argc, char** argv)
{
    using namespace loomwell::testing;

    std::filesystem::path out;
    if (argc > 1)
    {
        out = std::filesystem::absolute (argv[1]);
        std::error_code error;
        std::filesystem::create_directories (out, error);
        if (error)
        {
            std::cerr << "demo: cannot make " << out << ": " << error.message() << "\n";
            return 2;
        }
    }
    else
    {
        char pattern[] = "/tmp/loomwell-demo-XXXXXX";
        if (::mkdtemp (pattern) == nullptr)
            return 2;
        out = pattern;
    }

    juce::ScopedJuceInitialiser_GUI juce;
    int result = 1;
    {
        Demo demo (out);
        result = demo.run();
    }
    std::cout << "demo: " << (result == 0 ? "the routing is right" : "FAILED") << "; everything is in " << out.string() << std::endl;
    return result;
}
