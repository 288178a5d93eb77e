// Loomwell without a console, as a person uses it: one Mixora Vantor made up
// from its USB identity (umockdev) and a 10-channel sink of a private
// PipeWire world, a tone application and a microphone fed with a tone, the
// tray on a virtual display, and the loomwell program driven with xdotool:
// the application on "Music", the microphone on "A", then the application
// taken off again; a right click offers the quit menu, and SIGTERM while it
// is open ends the program cleanly. What the console receives is recorded
// and judged. With --no-tray the display has nothing but Loomwell on it (no
// tray, no window manager, none of the names a desktop would have made):
// the icon is then a window of the program's own.
//
//   umockdev-run -d tests/devices/data/vantor-console.umockdev -- loomwell_demo [--no-tray] [output folder]
//
// Exits 0 only when every channel carries what it should at every step.

#include "ProgramProcess.h"
#include "TrayDesktop.h"

#include <fstream>
#include <iomanip>
#include <iostream>
#include <stdexcept>

namespace loomwell::testing
{
namespace
{

void require (bool ok, const std::string& what)
{
    if (! ok)
        throw std::runtime_error (what);
}

void require (const std::string& failed, const std::string& step)
{
    require (failed.empty(), step + ": " + failed);
}

class Demo
{
public:
    Demo (std::filesystem::path folder, bool trayed) : out (std::move (folder)), withTray (trayed), tray (out.string()) {}

    int run()
    {
        try
        {
            setUp();
            say ("opening the popover; \"Music\" <- Tone App, \"A\" <- Demo Microphone");
            require (tray.openPopover(), "the popover");
            require (tray.clickSlot (0, "picker"), "Music");
            require (tray.pick (0, 0, "picker-apps"), "Music <- Tone App");
            std::this_thread::sleep_for (500ms);
            require (tray.clickSlot (2), "A");
            require (tray.pick (1, 0, "picker-inputs"), "A <- Demo Microphone");
            tray.save (tray.popover, "popover");
            require (tray.closePopover(), "closing the popover");
            levels = record ("console-routing.wav");
            routingRight = mismatches (levels, { { 440.0, 0.3f, { 4, 5 } }, { 1000.0, 0.2f, { 6, 7 } } }).empty();
            for (const auto ch : { 0, 1, 2, 3, 8, 9 })
                routingRight = routingRight && levels.rmsDbfs (ch) < -60.0;

            say ("\"Music\": the slot menu's \"Remove Tone App\"");
            require (tray.openPopover(), "the popover");
            require (tray.clickSlot (0, "slot-menu"), "Music's slot menu");
            require (tray.chooseRemove (0), "Remove Tone App");
            require (tray.closePopover(), "closing the popover");
            removalRight = mismatches (record ("console-removal.wav"), { { 440.0, 0.3f, {} }, { 1000.0, 0.2f, { 6, 7 } } }).empty();

            const auto icon = Desktop::trayIcon();
            require (icon && Desktop::click (icon->centre(), 3) && waitUntil ([] { return Desktop::windows ("menu").size() == 1; }),
                     "no quit menu on a right click");
            require ((exitStatus = program->stopWith (SIGTERM, 20s)) == 0, "loomwell did not exit cleanly on SIGTERM");
            for (const auto* fault : { "Sanitizer", "runtime error", "X error", "X Error", "double free" })
                require (program->output.find (fault) == std::string::npos, std::string ("loomwell reported: ") + fault);
        }
        catch (const std::runtime_error& failure)
        {
            failures.push_back (failure.what());
            say ("FAILED: " + failures.back());
        }
        log = program != nullptr ? program->output : "";
        std::ofstream (out / "loomwell.log") << log;
        std::ofstream (out / "pipewire-world.log") << world.logs();
        program.reset();
        desktop.reset();
        world.stop();
        report();
        return failures.empty() && routingRight && removalRight ? 0 : 1;
    }

private:
    static void say (const std::string& line) { std::cout << "demo: " << line << std::endl; }

    void setUp()
    {
        require (umockdev.present(), "not under umockdev-run (use scripts/demo)");
        say ("starting a private PipeWire world (D-Bus, PipeWire, WirePlumber, a \"Speakers\" sink)");
        require (world.start() && world.createSink ("mixora-vantor", "Mixora Vantor Main Multitrack"), "the PipeWire world did not come up");
        say ("starting \"Tone App\" (440 Hz) and \"Demo Microphone\" (1000 Hz)");
        require (world.playTone ("toneapp", "Tone App", 440.0, 0.3f, 300.0) > 0, "the tone application does not play");
        require (world.feedInput ("demo-mic", "Demo Microphone", { { 1000.0, 0.2f } }, 300.0), "no microphone");
        say (withTray ? "starting Xvfb with a tray (trayer)" : "starting Xvfb alone: no tray");
        require (desktop->start (withTray), "the desktop");
        const auto environment = umockdev.programEnvironment();
        say ("starting loomwell");
        const auto launched = std::chrono::steady_clock::now();
        program = std::make_unique<ProgramProcess> (environment);
        require (program->waitForOutput ("LMW: now tracking 1 devices\n", 60s), "loomwell found no console");
        startUp = std::chrono::steady_clock::now() - launched;
        // A second start in the session says so and ends at once without
        // touching the consoles; the first runs on.
        ProgramProcess second (environment);
        secondRefused = second.waitForOutput ("LMW: Loomwell is already running in this session\n", 20s) && second.stopWith (0, 10s) == 0
                     && second.output.find ("scanForDevices") == std::string::npos && program->running();
        require (secondRefused, "a second start in the session was not refused");
    }

    // 3 s of the console, once a capture had time to link up.
    Recording record (const std::string& name)
    {
        say ("recording the console for 3 s");
        std::this_thread::sleep_for (700ms);
        ConsoleRecorder recorder (10, 4.0);
        require (recorder.start ("mixora-vantor"), "no recording of the console");
        std::this_thread::sleep_for (3s);
        recorder.stop();
        recorder.recording().writeWav ((out / name).string());
        return recorder.recording();
    }

    void report()
    {
        std::ostringstream r;
        r << "Loomwell demo: one Mixora Vantor (umockdev), a private PipeWire world, " << (withTray ? "the tray on Xvfb\n" : "Xvfb with no tray\n");
        if (const auto at = log.find ("LMW: Opened "); at != std::string::npos)
            r << "Console: " << log.substr (at + 12, log.find ('\n', at) - at - 12) << "\n";
        r << "Sources: \"Tone App\" (440 Hz, -13.5 dBFS) on Music, \"Demo Microphone\" (1000 Hz, -17.0 dBFS) on A\n\n";
        int dropouts = 0;
        for (int ch = 0; ch < 10 && levels.frames() > 0; ++ch) // the first recording, channel by channel
        {
            const bool music = ch == 4 || ch == 5, a = ch == 6 || ch == 7;
            const auto db = levels.rmsDbfs (ch);
            dropouts += levels.dropouts (ch);
            r << "channel " << ch << " (" << std::array { "-", "Game", "Music", "A", "B" }[static_cast<size_t> (ch / 2)] << "): "
              << (db > -120.0 ? juce::String (db, 1).toStdString() + " dBFS" : "silent") << ", wanted " << (music ? "Tone App 440 Hz" : a ? "Microphone 1 kHz" : "silence")
              << ((music || a ? levels.tone (ch, music ? 440.0 : 1000.0) > (music ? 0.25 : 0.17) : db < -60.0) ? ": ok\n" : ": WRONG\n");
        }
        r << "Routing: " << (routingRight ? "right" : "WRONG") << "\nDropouts (blocks not delivered in time): " << dropouts
          << "\nRemoval (\"Remove Tone App\" in Music's slot menu): " << (removalRight ? "Music silent, A still the microphone" : "WRONG") << "\n\n";
        if (startUp.count() > 0)
            r << std::fixed << std::setprecision (2) << "Start-up: " << std::chrono::duration<double> (startUp).count() << " s from launch to \"LMW: now tracking 1 devices\"\n"
              << "A second start in the session: " << (secondRefused ? "refused, the first runs on" : "NOT REFUSED") << "\n";
        if (exitStatus >= 0)
            r << "Quit with SIGTERM: exit status " << exitStatus << "\n";
        for (const auto& failure : failures)
            r << "FAILED: " << failure << "\n";
        r << "\nRecordings (WAV), screenshots (xwd), logs and this report: " << out.string() << "\n";
        std::ofstream (out / "report.txt") << r.str();
        std::cout << "\n" << r.str() << std::flush;
    }

    const std::filesystem::path out;
    const bool withTray;
    UmockdevEnvironment umockdev;
    PipeWireWorld world;
    std::unique_ptr<Desktop> desktop = std::make_unique<Desktop>();
    TrayPerson tray;
    std::vector<std::string> failures;
    std::unique_ptr<ProgramProcess> program;
    std::string log;
    Recording levels;
    bool routingRight = false, removalRight = false, secondRefused = false;
    std::chrono::steady_clock::duration startUp {};
    int exitStatus = -1;
};

} // namespace
} // namespace loomwell::testing

int main (int argc, char** argv)
{
    const bool withTray = argc < 2 || std::string (argv[1]) != "--no-tray";
    const char* folder = argc > (withTray ? 1 : 2) ? argv[withTray ? 1 : 2] : nullptr;
    char pattern[] = "/tmp/loomwell-demo-XXXXXX";
    std::error_code error;
    if (folder != nullptr ? ! std::filesystem::create_directories (folder, error) && error : ::mkdtemp (pattern) == nullptr)
        return 2;
    const auto out = std::filesystem::absolute (folder != nullptr ? folder : pattern);
    const juce::ScopedJuceInitialiser_GUI juce;
    const auto result = loomwell::testing::Demo (out, withTray).run();
    std::cout << "demo: " << (result == 0 ? "the routing is right" : "FAILED") << "; everything is in " << out.string() << std::endl;
    return result;
}
