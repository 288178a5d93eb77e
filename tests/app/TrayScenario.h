#pragma once

// A person at the tray, as the tray test, the demo and the benchmark all
// play it: the popover of one console, its slot rows, the source picker with
// its "Apps" and "Input Devices" submenus and the slot menu, every click
// made with xdotool on the Desktop. Each step answers "" when it went as a
// person would see it go, else what went wrong.

#include "TrayDesktop.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace loomwell::testing
{

// Where a menu's rows are: the look-and-feel the program uses, measured
// here the same way.
struct MenuMetrics
{
    int border = 0;
    int rowHeight = 0;
    int separatorHeight = 0;

    MenuMetrics()
    {
        juce::LookAndFeel_V4 lf;
        border = lf.getPopupMenuBorderSize();
        int width = 0;
        lf.getIdealPopupMenuItemSize ("Apps", false, -1, width, rowHeight);
        lf.getIdealPopupMenuItemSize ({}, true, -1, width, separatorHeight);
    }

    juce::Point<int> row (const WindowGeometry& menu, int index) const
    {
        return { menu.x + menu.width / 2, menu.y + border + rowHeight * index + rowHeight / 2 };
    }

    // A row below a separator that follows `rowsAbove` rows.
    juce::Point<int> rowAfterSeparator (const WindowGeometry& menu, int rowsAbove) const
    {
        return row (menu, rowsAbove) + juce::Point<int> (0, separatorHeight);
    }

    int pickerHeight() const { return 2 * border + 2 * rowHeight; }
};

// A desktop entry and an icon (a filled circle of that colour) for an
// application, in a data directory of the caller's own (XDG_DATA_HOME).
inline void installAppEntry (const juce::File& data, const std::string& binary, const std::string& name, juce::Colour colour)
{
    data.getChildFile ("applications").createDirectory();
    data.getChildFile ("applications/" + binary + ".desktop")
        .replaceWithText ("[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + binary + "\nIcon=" + binary + "\n");
    const auto icons = data.getChildFile ("icons/hicolor/48x48/apps");
    icons.createDirectory();
    juce::Image icon (juce::Image::ARGB, 48, 48, true);
    {
        juce::Graphics g (icon);
        g.setColour (colour);
        g.fillEllipse (4.0f, 4.0f, 40.0f, 40.0f);
    }
    const auto file = icons.getChildFile (binary + ".png");
    file.deleteFile();
    juce::FileOutputStream out (file);
    juce::PNGImageFormat().writeImageToStream (icon, out);
}

enum class Submenu
{
    apps = 0,
    inputDevices = 1
};

class TrayDriver
{
public:
    // Screenshots go to `shotDirectory`.
    TrayDriver (const Desktop& desktopToUse, std::string shotDirectory)
        : desktop (desktopToUse), shots (std::move (shotDirectory))
    {
    }

    // The popover of one console is this tall.
    static constexpr int oneConsoleHeight = 197;

    // Waits for the tray icon, left-clicks it and waits for the popover.
    // Should a click still be lost, a person clicks again.
    std::string openPopover()
    {
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            const auto icon = desktop.settledTrayIcon();
            if (! icon)
                return "no tray icon";
            if (! desktop.click (icon->centre(), 1))
                return "xdotool failed";
            if (waitUntil ([&] { popoverWindow = desktop.visibleWindow ("Loomwell"); return popoverWindow.has_value(); },
                           attempt == 0 ? 5s : 10s))
                return {};
        }
        return "no popover";
    }

    // Clicks the tray icon again and waits for the popover to go.
    std::string closePopover()
    {
        const auto icon = desktop.trayIcon();
        if (! icon || ! desktop.click (icon->centre(), 1))
            return "no tray icon";
        if (! waitUntil ([&] { return ! desktop.visibleWindow ("Loomwell").has_value(); }, 10s))
            return "the popover stays";
        popoverWindow.reset();
        return {};
    }

    bool popoverShown() const { return desktop.visibleWindow ("Loomwell").has_value(); }
    const std::optional<std::pair<std::string, WindowGeometry>>& popover() const { return popoverWindow; }

    // The rows sit 92 points below the window's top, 77 apart: "Music",
    // "Game", "A", "B".
    juce::Point<int> rowCentre (int slot) const
    {
        return { popoverWindow->second.x + 15 + 77 * slot + 34, popoverWindow->second.y + 92 + 45 };
    }

    // The menus that are open once at least `count` are.
    std::vector<std::pair<std::string, WindowGeometry>> waitForMenus (size_t count) const
    {
        std::vector<std::pair<std::string, WindowGeometry>> menus;
        if (! waitUntil ([&] { menus = desktop.visibleWindows ("menu"); return menus.size() >= count; }, 10s))
            return {};
        std::this_thread::sleep_for (400ms);
        return desktop.visibleWindows ("menu");
    }

    // Moves onto a menu row, lets the menu see the pointer there, clicks.
    std::string chooseRow (juce::Point<int> at)
    {
        if (! desktop.click (at + juce::Point<int> (-3, 0), 0))
            return "xdotool failed";
        std::this_thread::sleep_for (300ms);
        if (! desktop.click (at, 0))
            return "xdotool failed";
        std::this_thread::sleep_for (300ms);
        lastChoice = std::chrono::steady_clock::now();
        return desktop.click (at, 1) ? "" : "xdotool failed";
    }

    // Clicks a slot's row: the picker opens for an empty slot, the slot menu
    // for one with sources. Saves the first menu that opens when asked.
    std::string clickSlot (int slot, const std::string& shotName = {})
    {
        if (! popoverWindow)
            return "no popover";
        if (! desktop.click (rowCentre (slot), 1))
            return "xdotool failed";
        const auto menus = waitForMenus (1);
        if (menus.empty())
            return "no menu on the row";
        if (! shotName.empty())
            save (desktop.capture (menus.front().first), shotName);
        return {};
    }

    // In the open picker, opens a submenu and chooses its row `item`.
    std::string pickFromSubmenu (Submenu submenu, int item, const std::string& shotName = {})
    {
        // The picker opens under the pointer, which may already have opened
        // a submenu, and after a slot menu that may still be going; the
        // picker is the one as tall as its two items.
        std::vector<std::pair<std::string, WindowGeometry>> menus;
        const auto isPicker = [this] (const auto& m) { return m.second.height == metrics.pickerHeight(); };
        if (! waitUntil ([&] { menus = desktop.visibleWindows ("menu"); return std::any_of (menus.begin(), menus.end(), isPicker); }, 10s))
            return "no picker";
        std::this_thread::sleep_for (400ms);
        menus = desktop.visibleWindows ("menu");
        const auto picker = std::find_if (menus.begin(), menus.end(), isPicker);
        if (picker == menus.end())
            return "no picker";
        const auto pickerId = picker->first;
        const auto row = metrics.row (picker->second, static_cast<int> (submenu));
        if (! desktop.click (row + juce::Point<int> (-3, 0), 0))
            return "xdotool failed";
        std::this_thread::sleep_for (200ms);
        if (! desktop.click (row, 0))
            return "xdotool failed";
        std::this_thread::sleep_for (300ms);
        const auto open = waitForMenus (2);
        if (open.size() != 2)
            return "no submenu";
        const auto& list = open[0].first == pickerId ? open[1] : open[0];
        if (! shotName.empty())
            save (desktop.capture (list.first), shotName);
        if (auto failed = chooseRow (metrics.row (list.second, item)); ! failed.empty())
            return failed;
        if (! waitUntil ([&] { return desktop.visibleWindows ("menu").empty(); }, 10s))
            return "the menus stay open";
        return {};
    }

    // In the open slot menu of a slot with `sources` sources: its "Add"
    // (below a separator), which opens the picker.
    std::string chooseAdd (int sources)
    {
        const auto menus = waitForMenus (1);
        if (menus.size() != 1)
            return "no slot menu";
        return chooseRow (metrics.rowAfterSeparator (menus.front().second, sources));
    }

    // In the open slot menu: its row `index` ("Remove ..." for each source).
    std::string chooseSlotMenuRow (int index)
    {
        const auto menus = waitForMenus (1);
        if (menus.size() != 1)
            return "no slot menu";
        return chooseRow (metrics.row (menus.front().second, index));
    }

    // Puts a source on a slot that has `sources` already: the picker
    // straight from an empty row, else through the slot menu's "Add".
    std::string addSource (int slot, int sources, Submenu submenu, int item)
    {
        if (auto failed = clickSlot (slot); ! failed.empty())
            return failed;
        if (sources > 0)
            if (auto failed = chooseAdd (sources); ! failed.empty())
                return failed;
        return pickFromSubmenu (submenu, item);
    }

    void save (const juce::Image& image, const std::string& fileName) const { Desktop::save (image, fileName, shots); }

    void savePopover (const std::string& fileName) const
    {
        if (popoverWindow)
            save (desktop.capture (popoverWindow->first), fileName);
    }

    const Desktop& desktop;
    const std::string shots;
    MenuMetrics metrics;
    // When the last menu row was clicked.
    std::chrono::steady_clock::time_point lastChoice;

private:
    std::optional<std::pair<std::string, WindowGeometry>> popoverWindow;
};

} // namespace loomwell::testing
