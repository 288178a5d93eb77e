// The loomwell program on an X server with nothing else on it: no tray, no
// window manager, no panel, none of the names a desktop would have made.
// One Vantor on USB (umockdev) whose sink is in a private PipeWire world; a
// microphone routed through the icon's own window with xdotool, heard on
// the console; the quit menu on a right click; a clean SIGTERM.

#include "ProgramProcess.h"
#include "TrayDesktop.h"

#include <gtest/gtest.h>

namespace loomwell::testing
{
namespace
{

TEST (NoTray, TheIconsOwnWindowRoutesAMicrophoneAndTheProgramQuitsCleanly)
{
    UmockdevEnvironment umockdev;
    if (! umockdev.present())
        GTEST_SKIP() << "needs umockdev-run";
    const juce::ScopedJuceInitialiser_GUI juce;
    // Made before the display is up, so that JUCE here never connects to it:
    // the server goes first at the end, and Xlib ends a client whose server went.
    TrayPerson person (::testing::TempDir());

    PipeWireWorld world;
    ASSERT_TRUE (world.start() && world.createSink ("mixora-vantor", "Mixora Vantor Main Multitrack")) << world.logs();
    ASSERT_TRUE (world.feedInput ("test-mic", "Test Mic", { { 1000.0, 0.2f } })) << world.logs();
    Desktop desktop;
    ASSERT_EQ (desktop.start (false), "") << "did not come up";
    ProgramProcess program (umockdev.programEnvironment());
    ASSERT_TRUE (program.waitForOutput ("LMW: now tracking 1 devices\n", 60s)) << program.output << world.logs();

    // A left click on the icon's window, the popover of the one console;
    // "A": the picker, "Input Devices", the microphone.
    ASSERT_EQ (person.openPopover(), "") << program.output;
    ASSERT_EQ (person.clickSlot (2), "");
    ASSERT_EQ (person.pick (1, 0), "");

    // The capture links up in the program's own time.
    std::this_thread::sleep_for (700ms);
    ConsoleRecorder recorder (10, 3.0);
    ASSERT_TRUE (recorder.start ("mixora-vantor")) << world.logs();
    std::this_thread::sleep_for (1500ms);
    recorder.stop();
    EXPECT_EQ (mismatches (recorder.recording(), { { 1000.0, 0.2f, { 6, 7 } } }), "") << program.output;

    // A right click offers the quit menu. SIGTERM while it is open and the
    // microphone captured: the ordered shut-down, and not one X error.
    const auto icon = Desktop::trayIcon();
    ASSERT_TRUE (icon && Desktop::click (icon->centre(), 3));
    EXPECT_TRUE (waitUntil ([] { return Desktop::windows ("menu").size() == 1; }));
    EXPECT_EQ (program.stopWith (SIGTERM, 20s), 0) << program.output;
    for (const auto* fault : { "X error", "X Error", "double free", "Sanitizer" })
        EXPECT_EQ (program.output.find (fault), std::string::npos) << program.output;
}

} // namespace
} // namespace loomwell::testing
