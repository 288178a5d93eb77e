// The loomwell program on a real X server (Xvfb) with a real XEmbed tray
// (trayer), clicked with xdotool as a person would: the icon in the tray,
// the popover on a left click, the quit menu on a right click.

#include "TrayDesktop.h"
#include "Umockdev.h"

#include <gtest/gtest.h>

namespace loomwell::testing
{
namespace
{

TEST (TrayWindow, IconPopoverAndQuitMenuUnderARealTray)
{
    UmockdevEnvironment umockdev;
    if (! umockdev.present())
        GTEST_SKIP() << "needs umockdev-run";
    withoutDefaultIoctlHandler (umockdev.dir());

    PipeWireWorld world;
    ASSERT_TRUE (world.start()) << world.logs();

    Desktop desktop;
    const auto failed = desktop.start();
    ASSERT_EQ (failed, "") << "did not come up";

    auto environment = desktop.environment();
    for (auto& variable : umockdev.variables())
        environment.push_back (std::move (variable));

    ProgramProcess program (std::move (environment));
    ASSERT_TRUE (program.started());
    ASSERT_TRUE (program.waitForOutput ("LMW: now tracking 0 devices\n", 60s)) << program.output;

    // The tray gives the icon a slot of its own size, not a sliver.
    const auto icon = desktop.settledTrayIcon();
    ASSERT_TRUE (icon) << "icon " << (desktop.trayIcon() ? desktop.trayIcon()->width : 0) << " px wide\n" << program.output;
    EXPECT_GE (icon->height, 16);

    // A left click opens the popover below the icon with the prompt.
    ASSERT_TRUE (desktop.click (icon->centre(), 1));
    std::optional<std::pair<std::string, WindowGeometry>> popover;
    ASSERT_TRUE (waitUntil ([&] { popover = desktop.visibleWindow ("Loomwell"); return popover.has_value(); }, 10s));
    EXPECT_EQ (popover->second.width, 329);
    EXPECT_EQ (popover->second.height, 197);
    EXPECT_GE (popover->second.y, icon->y + icon->height);
    EXPECT_LE (popover->second.x + popover->second.width, 1280);

    std::this_thread::sleep_for (300ms);
    const auto shot = desktop.capture (popover->first);
    ASSERT_TRUE (shot.isValid());
    Desktop::save (shot, "popover-no-console.png", LOOMWELL_ARTEFACT_DIR);

    // Dark behind everything, with the grey plug and prompt on it: the two
    // lines of text in the lower half, the glyph above them.
    EXPECT_LT (shot.getPixelAt (3, 3).getBrightness(), 0.2f);
    int upper = 0, lower = 0;
    for (int y = 0; y < shot.getHeight(); ++y)
        for (int x = 0; x < shot.getWidth(); ++x)
            if (shot.getPixelAt (x, y).getBrightness() > 0.3f)
                ++(y < shot.getHeight() / 2 ? upper : lower);
    EXPECT_GT (upper, 100);
    EXPECT_GT (lower, 400);

    // A second left click closes it; a third opens it again.
    ASSERT_TRUE (desktop.click (icon->centre(), 1));
    EXPECT_TRUE (waitUntil ([&] { return ! desktop.visibleWindow ("Loomwell").has_value(); }, 10s));
    ASSERT_TRUE (desktop.click (icon->centre(), 1));
    ASSERT_TRUE (waitUntil ([&] { return desktop.visibleWindow ("Loomwell").has_value(); }, 10s));

    // A right click offers the one item and leaves the popover open.
    ASSERT_TRUE (desktop.click (icon->centre(), 3));
    std::optional<std::pair<std::string, WindowGeometry>> menu;
    ASSERT_TRUE (waitUntil ([&] { menu = desktop.visibleWindow ("menu"); return menu.has_value(); }, 10s));
    EXPECT_TRUE (desktop.visibleWindow ("Loomwell").has_value());

    // Choosing it takes the program through its whole shut-down. The menu
    // takes a click only once the pointer has been over its item.
    std::this_thread::sleep_for (400ms);
    ASSERT_TRUE (desktop.click (menu->second.centre() + juce::Point<int> (-4, 0), 0));
    std::this_thread::sleep_for (300ms);
    ASSERT_TRUE (desktop.click (menu->second.centre(), 1));
    EXPECT_TRUE (waitUntil ([&] { return ! program.running(); }, 20s)) << program.output;
    EXPECT_EQ (program.stopWith (SIGTERM, 1s), 0) << program.output;
}

} // namespace
} // namespace loomwell::testing
