// A person's whole route-and-remove loop with the loomwell program: one
// Vantor on USB (umockdev) whose multitrack device is a 10-channel sink of a
// private PipeWire world, a tone application and a tone-fed microphone, the
// tray on Xvfb, and every click made with xdotool. What the console gets is
// recorded from its sink.

#include "TrayDesktop.h"
#include "ToneSources.h"
#include "Umockdev.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

namespace loomwell::testing
{
namespace
{

// Where a menu's rows are: the look-and-feel the program uses, measured
// here the same way.
struct MenuMetrics
{
    int border = 0;
    int rowHeight = 0;

    MenuMetrics()
    {
        juce::LookAndFeel_V4 lf;
        border = lf.getPopupMenuBorderSize();
        int width = 0;
        lf.getIdealPopupMenuItemSize ("Apps", false, -1, width, rowHeight);
    }

    juce::Point<int> row (const WindowGeometry& menu, int index) const
    {
        return { menu.x + menu.width / 2, menu.y + border + rowHeight * index + rowHeight / 2 };
    }
};

class TrayRoute : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { juce::initialiseJuce_GUI(); }
    static void TearDownTestSuite() { juce::shutdownJuce_GUI(); }

    void TearDown() override
    {
        if (tone > 0)
            PipeWireWorld::stopProcess (tone);
        stopFedSource (world, mic);
        if (sink)
            world.destroyNode (*sink);
    }

    // A desktop entry and an icon for the tone application, in a data
    // directory of the test's own.
    std::string installToneAppEntry()
    {
        const auto data = juce::File (world.runtimeDir()).getChildFile ("data");
        data.getChildFile ("applications").createDirectory();
        data.getChildFile ("applications/toneapp.desktop")
            .replaceWithText ("[Desktop Entry]\nType=Application\nName=Tone App\nExec=toneapp\nIcon=toneapp\n");
        const auto icons = data.getChildFile ("icons/hicolor/48x48/apps");
        icons.createDirectory();
        juce::Image icon (juce::Image::ARGB, 48, 48, true);
        {
            juce::Graphics g (icon);
            g.setColour (juce::Colours::orange);
            g.fillEllipse (4.0f, 4.0f, 40.0f, 40.0f);
        }
        juce::FileOutputStream out (icons.getChildFile ("toneapp.png"));
        juce::PNGImageFormat().writeImageToStream (icon, out);
        return data.getFullPathName().toStdString();
    }

    // The menus that are open once at least `count` are.
    std::vector<std::pair<std::string, WindowGeometry>> waitForMenus (size_t count)
    {
        std::vector<std::pair<std::string, WindowGeometry>> menus;
        if (! waitUntil ([&] { menus = desktop.visibleWindows ("menu"); return menus.size() >= count; }, 10s))
            return {};
        std::this_thread::sleep_for (400ms);
        return desktop.visibleWindows ("menu");
    }

    // Moves onto a menu row, lets the menu see the pointer there, clicks.
    void chooseRow (juce::Point<int> at)
    {
        ASSERT_TRUE (desktop.click (at + juce::Point<int> (-3, 0), 0));
        std::this_thread::sleep_for (300ms);
        ASSERT_TRUE (desktop.click (at, 0));
        std::this_thread::sleep_for (300ms);
        ASSERT_TRUE (desktop.click (at, 1));
    }

    // Opens a submenu of the picker and chooses its first row.
    void pickFromSubmenu (int submenuRow, const std::string& shotName)
    {
        // The picker opens under the pointer, which may already have opened
        // a submenu; the picker is the one as tall as its two items.
        const auto menus = waitForMenus (1);
        const auto picker = std::find_if (menus.begin(), menus.end(), [this] (const auto& m)
                                          { return m.second.height == 2 * metrics.border + 2 * metrics.rowHeight; });
        ASSERT_NE (picker, menus.end()) << "no picker";
        const auto pickerId = picker->first;
        const auto item = metrics.row (picker->second, submenuRow);
        ASSERT_TRUE (desktop.click (item + juce::Point<int> (-3, 0), 0));
        std::this_thread::sleep_for (200ms);
        ASSERT_TRUE (desktop.click (item, 0));
        std::this_thread::sleep_for (300ms);
        const auto open = waitForMenus (2);
        ASSERT_EQ (open.size(), 2u) << "no submenu";
        const auto& submenu = open[0].first == pickerId ? open[1] : open[0];
        if (! shotName.empty())
            Desktop::save (desktop.capture (submenu.first), shotName, LOOMWELL_ARTEFACT_DIR);
        chooseRow (metrics.row (submenu.second, 0));
        ASSERT_TRUE (waitUntil ([&] { return desktop.visibleWindows ("menu").empty(); }, 10s));
    }

    std::optional<Recording> record()
    {
        const auto path = world.runtimeDir() + "/console" + std::to_string (recordings++) + ".wav";
        const auto recorder = world.startRecording (*sink, 10, path);
        if (! recorder)
            return std::nullopt;
        std::this_thread::sleep_for (1500ms);
        if (! world.stopRecording (*recorder))
            return std::nullopt;
        return readFloatWav (path);
    }

    PipeWireWorld world;
    Desktop desktop;
    MenuMetrics metrics;
    std::optional<uint32_t> sink;
    pid_t tone = -1;
    FedSource mic;
    int recordings = 0;
};

TEST_F (TrayRoute, APersonRoutesAnApplicationAndAMicrophoneAndRemovesThem)
{
    UmockdevEnvironment umockdev;
    if (! umockdev.present())
        GTEST_SKIP() << "needs umockdev-run";
    withoutDefaultIoctlHandler (umockdev.dir());

    ASSERT_TRUE (world.start()) << world.logs();
    sink = world.createNullSink ({ "mixora-vantor", "Mixora Vantor Main Multitrack", 10, {}, 0 });
    ASSERT_TRUE (sink) << world.logs();
    const auto wav = world.runtimeDir() + "/tone.wav";
    writeToneWav (wav, { { 440.0, 0.3f } }, 120.0);
    tone = playToneApp (world, "toneapp", "Tone App", wav);
    ASSERT_GT (tone, 0);
    mic = makeFedSource (world, "test-mic", "Test Mic", { { 1000.0, 0.2f } }, 120.0);
    ASSERT_TRUE (mic.node) << world.logs();

    ASSERT_EQ (desktop.start(), "") << "did not come up";
    auto environment = desktop.environment();
    environment.push_back ("XDG_DATA_HOME=" + installToneAppEntry());
    for (auto& variable : umockdev.variables())
        environment.push_back (std::move (variable));

    ProgramProcess program (std::move (environment));
    ASSERT_TRUE (program.started());
    ASSERT_TRUE (program.waitForOutput ("LMW: now tracking 1 devices\n", 60s)) << program.output << world.logs();

    std::optional<WindowGeometry> icon;
    ASSERT_TRUE (waitUntil ([&] { icon = desktop.trayIcon(); return icon && icon->width >= 16; }, 20s));
    ASSERT_TRUE (desktop.click (icon->centre(), 1));
    std::optional<std::pair<std::string, WindowGeometry>> popover;
    ASSERT_TRUE (waitUntil ([&] { popover = desktop.visibleWindow ("Loomwell"); return popover.has_value(); }, 10s));
    ASSERT_EQ (popover->second.height, 197);

    // The rows sit 92 points below the window's top, 77 apart: "Music" first, "A" third.
    const auto rowCentre = [&] (int slot) { return juce::Point<int> (popover->second.x + 15 + 77 * slot + 34, popover->second.y + 92 + 45); };

    // "Music": the empty row opens the picker; the tone application under "Apps".
    ASSERT_TRUE (desktop.click (rowCentre (0), 1));
    {
        const auto menus = waitForMenus (1);
        ASSERT_FALSE (menus.empty());
        Desktop::save (desktop.capture (menus.front().first), "picker.png", LOOMWELL_ARTEFACT_DIR);
    }
    pickFromSubmenu (0, "picker-apps.png");

    // "A": the microphone under "Input Devices".
    std::this_thread::sleep_for (500ms);
    ASSERT_TRUE (desktop.visibleWindow ("Loomwell").has_value()) << "the popover stays open";
    ASSERT_TRUE (desktop.click (rowCentre (2), 1));
    pickFromSubmenu (1, "picker-inputs.png");

    auto heard = record();
    ASSERT_TRUE (heard && heard->channels == 10) << world.logs();
    for (int channel = 0; channel < 10; ++channel)
    {
        EXPECT_NEAR (toneAmplitude (*heard, channel, 440.0), channel == 4 || channel == 5 ? 0.3 : 0.0, 0.03) << channel;
        EXPECT_NEAR (toneAmplitude (*heard, channel, 1000.0), channel == 6 || channel == 7 ? 0.2 : 0.0, 0.03) << channel;
    }

    // The popover with sources on two slots, meters moving.
    std::this_thread::sleep_for (500ms);
    Desktop::save (desktop.capture (popover->first), "popover-vantor-two-slots.png", LOOMWELL_ARTEFACT_DIR);

    // "Music" again: the slot menu, whose first item removes the application.
    ASSERT_TRUE (desktop.click (rowCentre (0), 1));
    {
        const auto menus = waitForMenus (1);
        ASSERT_EQ (menus.size(), 1u);
        Desktop::save (desktop.capture (menus.front().first), "slot-menu.png", LOOMWELL_ARTEFACT_DIR);
        chooseRow (metrics.row (menus.front().second, 0));
    }
    std::this_thread::sleep_for (800ms);
    heard = record();
    ASSERT_TRUE (heard);
    EXPECT_NEAR (toneAmplitude (*heard, 4, 440.0), 0.0, 0.03);
    EXPECT_NEAR (toneAmplitude (*heard, 6, 1000.0), 0.2, 0.03);

    // SIGTERM while the microphone is still captured: the whole ordered
    // shut-down, a clean exit, nothing from a sanitizer.
    EXPECT_EQ (program.stopWith (SIGTERM, 20s), 0) << program.output;
    EXPECT_EQ (program.output.find ("Sanitizer"), std::string::npos) << program.output;
    EXPECT_EQ (program.output.find ("runtime error"), std::string::npos) << program.output;
}

} // namespace
} // namespace loomwell::testing
