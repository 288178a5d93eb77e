// A person's whole route-and-remove loop with the loomwell program: one
// Vantor on USB (umockdev) whose multitrack device is a 10-channel sink of a
// private PipeWire world, a tone application and a tone-fed microphone, the
// tray on Xvfb, and every click made with xdotool. What the console gets is
// recorded from its sink.

#include "TrayScenario.h"
#include "ToneSources.h"
#include "Umockdev.h"

#include <gtest/gtest.h>

namespace loomwell::testing
{
namespace
{

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
        installAppEntry (data, "toneapp", "Tone App", juce::Colours::orange);
        return data.getFullPathName().toStdString();
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
    TrayDriver tray { desktop, LOOMWELL_ARTEFACT_DIR };
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

    ASSERT_EQ (tray.openPopover(), "");
    ASSERT_EQ (tray.popover()->second.height, TrayDriver::oneConsoleHeight);

    // "Music": the empty row opens the picker; the tone application under "Apps".
    ASSERT_EQ (tray.clickSlot (0, "picker.png"), "");
    ASSERT_EQ (tray.pickFromSubmenu (Submenu::apps, 0, "picker-apps.png"), "");

    // "A": the microphone under "Input Devices".
    std::this_thread::sleep_for (500ms);
    ASSERT_TRUE (tray.popoverShown()) << "the popover stays open";
    ASSERT_EQ (tray.clickSlot (2), "");
    ASSERT_EQ (tray.pickFromSubmenu (Submenu::inputDevices, 0, "picker-inputs.png"), "");

    // The microphone's capture links up in the program's own time; on a
    // busy machine that can take a few hundred milliseconds.
    std::this_thread::sleep_for (700ms);
    auto heard = record();
    ASSERT_TRUE (heard && heard->channels == 10) << world.logs();
    for (int channel = 0; channel < 10; ++channel)
    {
        EXPECT_NEAR (toneAmplitude (*heard, channel, 440.0), channel == 4 || channel == 5 ? 0.3 : 0.0, 0.03) << channel;
        EXPECT_NEAR (toneAmplitude (*heard, channel, 1000.0), channel == 6 || channel == 7 ? 0.2 : 0.0, 0.03) << channel;
    }

    // The popover with sources on two slots, meters moving.
    std::this_thread::sleep_for (500ms);
    tray.savePopover ("popover-vantor-two-slots.png");

    // "Music" again: the slot menu, whose first item removes the application.
    ASSERT_EQ (tray.clickSlot (0, "slot-menu.png"), "");
    ASSERT_EQ (tray.chooseSlotMenuRow (0), "");
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

TEST_F (TrayRoute, ThePopoverClosesWhenItLosesTheFocusAndWhenTheLastConsoleLeaves)
{
    UmockdevEnvironment umockdev;
    if (! umockdev.present())
        GTEST_SKIP() << "needs umockdev-run";
    withoutDefaultIoctlHandler (umockdev.dir());

    ASSERT_TRUE (world.start()) << world.logs();
    sink = world.createNullSink ({ "mixora-vantor", "Mixora Vantor Main Multitrack", 10, {}, 0 });
    ASSERT_TRUE (sink) << world.logs();

    ASSERT_EQ (desktop.start(), "") << "did not come up";
    auto environment = desktop.environment();
    for (auto& variable : umockdev.variables())
        environment.push_back (std::move (variable));
    ProgramProcess program (environment);
    ASSERT_TRUE (program.started());
    ASSERT_TRUE (program.waitForOutput ("LMW: now tracking 1 devices\n", 60s)) << program.output << world.logs();

    const auto icon = desktop.settledTrayIcon();
    ASSERT_TRUE (icon);
    const auto open = [&]
    {
        return desktop.click (icon->centre(), 1)
            && waitUntil ([&] { return desktop.visibleWindow ("Loomwell").has_value(); }, 10s);
    };
    const auto closed = [&] { return waitUntil ([&] { return ! desktop.visibleWindow ("Loomwell").has_value(); }, 10s); };

    // Another window takes the keyboard focus (there is no window manager:
    // xdotool hands it over as one would).
    ASSERT_TRUE (open());
    std::this_thread::sleep_for (300ms);
    const auto other = spawnQuiet ({ "xlogo", "-geometry", "100x100+10+300" }, environment);
    ASSERT_GT (other, 0);
    std::optional<std::pair<std::string, WindowGeometry>> logo;
    ASSERT_TRUE (waitUntil ([&] { logo = desktop.visibleWindow ("xlogo"); return logo.has_value(); }, 10s));
    ASSERT_TRUE (desktop.click (logo->second.centre(), 0));
    EXPECT_TRUE (run ({ "xdotool", "windowfocus", logo->first }, environment).has_value());
    EXPECT_TRUE (closed()) << "focus went elsewhere";
    PipeWireWorld::stopProcess (other);

    // The console leaves USB and its sink goes: the open popover closes, the
    // icon stays.
    ASSERT_TRUE (open());
    std::filesystem::remove_all (umockdev.dir() + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3");
    std::filesystem::remove (umockdev.dir() + "/sys/bus/usb/devices/1-3");
    ASSERT_TRUE (world.destroyNode (*sink));
    sink.reset();
    ASSERT_TRUE (program.waitForOutput ("LMW: now tracking 0 devices\n", 20s)) << program.output;
    EXPECT_TRUE (closed()) << "the last console left";
    EXPECT_TRUE (desktop.trayIcon().has_value());
    EXPECT_TRUE (open()) << "the prompt opens again";

    EXPECT_EQ (program.stopWith (SIGTERM, 20s), 0) << program.output;
}

} // namespace
} // namespace loomwell::testing
