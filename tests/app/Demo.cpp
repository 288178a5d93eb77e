// Loomwell without a console, as a person uses it: one Mixora Vantor made up
// from its USB identity (umockdev) and a 10-channel sink of a private
// PipeWire world, a tone application and a microphone fed with a tone, the
// tray on a virtual display, and the loomwell program driven with xdotool:
// the application on "Music", the microphone on "A", then the application
// taken off again; a right click offers the quit menu, and SIGTERM while it
// is open ends the program cleanly. What the console receives is recorded
// and judged. With --no-tray the display has nothing but Loomwell on it (no
// tray, no window manager, none of the names a desktop would have made):
// the icon is then a window of the program's own, and moves into the tray
// started before the quit. With --sni-host the tray is a StatusNotifierItem
// host (the Xfce panel) that starts after Loomwell; the item also gets calls
// no host makes, sees the panel restarted, and is quit from the panel's menu.
//
//   umockdev-run -d tests/devices/data/vantor-console.umockdev -- loomwell_demo [--no-tray|--sni-host] [output folder]
//
// Exits 0 only when every channel carries what it should at every step.

#include "ProgramProcess.h"
#include "TrayDesktop.h"

#include <systemd/sd-bus.h>

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

size_t count (const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (auto at = text.find (part); at != std::string::npos; at = text.find (part, at + 1))
        ++n;
    return n;
}

// Calls no host makes, on the item's bus name, as a broken or hostile
// client would: each gets its clear answer, and every one of a burst of
// Activate calls is answered. "" when all went so.
std::string pokeItem (const std::string& item)
{
    sd_bus* bus = nullptr;
    if (sd_bus_open_user (&bus) < 0)
        return "no session bus";
    const std::unique_ptr<sd_bus, decltype (&sd_bus_close_unref)> owner (bus, sd_bus_close_unref);
    std::string failures;
    const auto expect = [&]<typename... Args> (const char* path, const char* interface, const char* method, const std::string& wanted, Args... args) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const std::string got = sd_bus_call_method (bus, item.c_str(), path, interface, method, &error, &reply, args...) < 0 ? error.name : "";
        sd_bus_error_free (&error);
        sd_bus_message_unref (reply);
        if (got != wanted)
            failures += std::string (method) + " answered '" + got + "'; ";
    };
    const std::string invalid = "org.freedesktop.DBus.Error.InvalidArgs";
    const auto* sni = "org.kde.StatusNotifierItem";
    const auto* menu = "com.canonical.dbusmenu";
    expect ("/StatusNotifierItem", sni, "Activate", invalid, "s", "here");
    expect ("/StatusNotifierItem", sni, "Scroll", "", "is", 3, "vertical");
    expect ("/StatusNotifierItem", sni, "Quit", "org.freedesktop.DBus.Error.UnknownMethod", "");
    expect ("/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get", "", "ss", sni, "ItemIsMenu");
    expect ("/MenuBar", menu, "GetLayout", invalid, "iias", 99, -1, 0);
    expect ("/MenuBar", menu, "GetLayout", "", "iias", 0, -1, 1, "label");
    expect ("/MenuBar", menu, "Event", invalid, "isvu", 99, "clicked", "s", "", 0u);
    expect ("/MenuBar", menu, "EventGroup", "", "a(isvu)", 1, 77, "clicked", "s", "", 0u);
    expect ("/MenuBar", menu, "GetProperty", invalid, "is", 2, "no-such-property");
    expect ("/MenuBar", menu, "AboutToShowGroup", "", "ai", 2, 0, 99);

    int answered = 0;
    constexpr int burst = 2000;
    const auto counted = [] (sd_bus_message*, void* n, sd_bus_error*) { return ++*static_cast<int*> (n), 0; };
    for (int i = 0; i < burst; ++i)
        sd_bus_call_method_async (bus, nullptr, item.c_str(), "/StatusNotifierItem", sni, "Activate", counted, &answered, "ii", 200, 10);
    for (const auto deadline = std::chrono::steady_clock::now() + 30s; answered < burst && std::chrono::steady_clock::now() < deadline;)
        if (sd_bus_process (bus, nullptr) == 0)
            sd_bus_wait (bus, 100'000);
    if (answered < burst)
        failures += std::to_string (burst - answered) + " Activate calls of a burst unanswered; ";
    return failures;
}

// A watcher that takes the name, lets the item's registration call wait
// unanswered and goes away: the call ends in an error from the bus. False
// when the name could not be had.
bool vanishingWatcher()
{
    sd_bus* bus = nullptr;
    if (sd_bus_open_user (&bus) < 0)
        return false;
    const bool held = sd_bus_request_name (bus, "org.kde.StatusNotifierWatcher", 0) >= 0;
    std::this_thread::sleep_for (1s); // the registration comes in and is never read
    sd_bus_close_unref (bus);
    return held;
}

class Demo
{
public:
    Demo (std::filesystem::path folder, Tray kind) : out (std::move (folder)), trayKind (kind), tray (out.string(), *desktop) {}

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

            if (trayKind == Tray::xfce)
                quitFromTheHost();
            else
            {
                if (trayKind == Tray::none)
                {
                    say ("starting a tray (trayer): the icon moves into it");
                    require (desktop->startTray (Tray::trayer), "trayer");
                    require (program->waitForOutput ("LMW: the icon is in the XEmbed system tray\n", 20s), "the icon did not move into the tray");
                }
                const auto icon = desktop->trayIcon();
                require (icon && Desktop::click (icon->centre(), 3) && waitUntil ([] { return Desktop::windows ("menu").size() == 1; }),
                         "no quit menu on a right click");
                require ((exitStatus = program->stopWith (SIGTERM, 20s)) == 0, "loomwell did not exit cleanly on SIGTERM");
            }
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
        say (trayKind == Tray::trayer ? "starting Xvfb with a tray (trayer)" : "starting Xvfb alone: no tray");
        require (desktop->start (trayKind == Tray::trayer ? Tray::trayer : Tray::none), "the desktop");
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
        if (trayKind == Tray::xfce)
        {
            say ("starting the Xfce panel: the icon moves to its StatusNotifierItem host");
            require (program->waitForOutput ("LMW: no system tray on this screen; the icon is a window of its own\n", 10s), "no icon window");
            require (desktop->startTray (Tray::xfce), "xfce4-panel");
            require (program->waitForOutput ("LMW: the icon is a StatusNotifierItem (", 20s)
                         && waitUntil ([] { return Desktop::windows ("Loomwell icon").empty(); }),
                     "the icon did not move to the panel");
        }
    }

    // The item under calls no host makes, the panel restarted, then
    // "Quit Loomwell" from the panel's own menu of the item.
    void quitFromTheHost()
    {
        say ("calls no host makes, and a burst of 2000 Activate calls");
        const auto line = program->output.substr (program->output.find ("LMW: the icon is a StatusNotifierItem ("));
        require (pokeItem (line.substr (39, line.find (')') - 39)), "the item's answers");
        require (program->running() && Desktop::windows ("Loomwell").size() <= 1, "the burst left a storm of popovers");
        if (! Desktop::windows ("Loomwell").empty())
            require (tray.closePopover(), "closing the popover");

        say ("the panel stopped, a watcher that vanishes mid-call, the panel started again");
        desktop->stopTray();
        require (program->waitForOutput ("LMW: no system tray on this screen; the icon is a window of its own\n", 20s)
                     && count (program->output, "LMW: no system tray") == 2, "no icon without the panel");
        require (vanishingWatcher(), "no watcher name to take");
        std::this_thread::sleep_for (1s);
        program->waitForOutput ({}, 0ms);
        require (program->running() && count (program->output, "LMW: the icon is a StatusNotifierItem (") == 1
                     && Desktop::windows ("Loomwell icon").size() == 1, "a watcher that vanished mid-call took the icon");
        require (desktop->startTray (Tray::xfce), "xfce4-panel again");
        require (waitUntil ([this] { return program->waitForOutput ({}, 0ms), count (program->output, "LMW: the icon is a StatusNotifierItem (") == 2; }, 20s)
                     && desktop->trayIcon(), "the icon did not come back to the panel");

        say ("\"Quit Loomwell\" from the panel's menu of the item");
        const auto icon = desktop->trayIcon();
        std::vector<Window> menus;
        const auto panelMenu = [&] {
            menus = Desktop::windows ("wrapper-2.0");
            std::erase_if (menus, [&] (const Window& w) { return w.y < icon->y + icon->height || w.height > 150; });
            return ! menus.empty();
        };
        require (icon && Desktop::click (icon->centre(), 3) && waitUntil (panelMenu), "no menu from the panel on a right click");
        Desktop::click ({ menus.front().x + menus.front().width / 2, menus.front().y + menus.front().height * 3 / 4 - 2 }, 0);
        std::this_thread::sleep_for (300ms);
        require (Desktop::click ({ menus.front().x + menus.front().width / 2, menus.front().y + menus.front().height * 3 / 4 }), "clicking Quit Loomwell");
        require ((exitStatus = program->stopWith (0, 20s)) == 0, "loomwell did not exit cleanly from \"Quit Loomwell\"");
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
        r << "Loomwell demo: one Mixora Vantor (umockdev), a private PipeWire world, "
          << std::array { "Xvfb with no tray (one started before the quit)\n", "the tray (trayer) on Xvfb\n", "the Xfce panel's tray on Xvfb, started after Loomwell\n" }[static_cast<size_t> (trayKind)];
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
            r << (trayKind == Tray::xfce ? "Quit from the panel's menu" : "Quit with SIGTERM") << ": exit status " << exitStatus << "\n";
        for (const auto& failure : failures)
            r << "FAILED: " << failure << "\n";
        r << "\nRecordings (WAV), screenshots (xwd), logs and this report: " << out.string() << "\n";
        std::ofstream (out / "report.txt") << r.str();
        std::cout << "\n" << r.str() << std::flush;
    }

    const std::filesystem::path out;
    const Tray trayKind;
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
    using loomwell::testing::Tray;
    const std::string option = argc > 1 ? argv[1] : "";
    const auto tray = option == "--no-tray" ? Tray::none : option == "--sni-host" ? Tray::xfce : Tray::trayer;
    const int first = tray == Tray::trayer ? 1 : 2;
    const char* folder = argc > first ? argv[first] : nullptr;
    char pattern[] = "/tmp/loomwell-demo-XXXXXX";
    std::error_code error;
    if (folder != nullptr ? ! std::filesystem::create_directories (folder, error) && error : ::mkdtemp (pattern) == nullptr)
        return 2;
    const auto out = std::filesystem::absolute (folder != nullptr ? folder : pattern);
    const juce::ScopedJuceInitialiser_GUI juce;
    const auto result = loomwell::testing::Demo (out, tray).run();
    std::cout << "demo: " << (result == 0 ? "the routing is right" : "FAILED") << "; everything is in " << out.string() << std::endl;
    return result;
}
