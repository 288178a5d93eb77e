#pragma once

// A real X server (Xvfb) with a real XEmbed tray (trayer), and a person at
// Loomwell's tray on it: every click made with xdotool, every window found
// and read back with the X utilities. While the desktop runs, this process's
// DISPLAY names it, so that every tool and program started here uses it.

#include "PipeWireWorld.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace loomwell::testing
{

struct Window
{
    std::string id;
    int x = 0, y = 0, width = 0, height = 0;
    juce::Point<int> centre() const { return { x + width / 2, y + height / 2 }; }
};

class Desktop
{
public:
    ~Desktop()
    {
        stopProcess (tray);
        stopProcess (server);
        ::unsetenv ("DISPLAY");
    }

    // Empty when the server (and the tray, unless told otherwise) came up;
    // else what did not. trayer has been seen to end at its start on a loaded
    // machine, so a second one is tried.
    std::string start (bool withTray = true)
    {
        std::string display; // a number of this process's own, where tests run side by side
        for (int n = 90 + ::getpid() % 200; display.empty(); ++n)
            if (! std::filesystem::exists ("/tmp/.X11-unix/X" + std::to_string (n)) && ! std::filesystem::exists ("/tmp/.X" + std::to_string (n) + "-lock"))
                display = ":" + std::to_string (n);
        server = spawn ({ "Xvfb", display, "-screen", "0", "1280x800x24", "-nolisten", "tcp" });
        ::setenv ("DISPLAY", display.c_str(), 1);
        if (server <= 0 || ! waitUntil ([] { return run ({ "xdpyinfo" }).has_value(); }, 20s))
            return "Xvfb";
        for (int attempt = 0; withTray && attempt < 2 && ! panel(); ++attempt)
        {
            stopProcess (tray); // a dark panel along the top, right-aligned, sized to its icons
            tray = spawn ({ "trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                            "--transparent", "true", "--alpha", "0", "--tint", "0x202020" });
            waitUntil ([this] { return panel().has_value(); }, 15s);
        }
        return withTray && ! panel() ? "trayer" : "";
    }

    // The mapped windows of that exact name, oldest first.
    static std::vector<Window> windows (const std::string& name)
    {
        std::vector<Window> result;
        std::istringstream ids (run ({ "xdotool", "search", "--onlyvisible", "--name", "^" + name + "$" }).value_or (""));
        for (std::string id; std::getline (ids, id);)
        {
            std::map<std::string, int> shell; // X=, Y=, WIDTH=, HEIGHT=
            std::istringstream lines (run ({ "xdotool", "getwindowgeometry", "--shell", id }).value_or (""));
            for (std::string line; std::getline (lines, line);)
                if (const auto eq = line.find ('='); eq != std::string::npos)
                    shell[line.substr (0, eq)] = std::atoi (line.c_str() + eq + 1);
            result.push_back ({ id, shell["X"], shell["Y"], shell["WIDTH"], shell["HEIGHT"] });
        }
        return result;
    }

    // The deepest window under the tray's panel: the icon the tray embedded,
    // once it is at least 16 px wide and has stayed put for half a second
    // (until then the tray may dock it again, and a click is lost). Without
    // a tray, the program's own icon window.
    static std::optional<Window> trayIcon()
    {
        std::optional<Window> icon, last;
        if (std::vector<Window> own; ! panel())
            return waitUntil ([&] { return (own = windows ("Loomwell icon")).size() == 1; }) ? std::optional (own.front()) : std::nullopt;
        for (int still = 0; still < 3 && waitUntil ([&] { return panel().has_value(); }, 20s); std::this_thread::sleep_for (150ms))
        {
            static const std::regex child (R"(^(\s+)(0x[0-9a-f]+) .*\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)$)");
            std::istringstream tree (run ({ "xwininfo", "-tree", "-id", *panel() }).value_or (""));
            size_t depth = 0;
            for (std::string line; std::getline (tree, line);)
                if (std::smatch m; std::regex_match (line, m, child) && static_cast<size_t> (m[1].length()) > depth)
                {
                    depth = static_cast<size_t> (m[1].length());
                    icon = Window { m[2], std::stoi (m[5]), std::stoi (m[6]), std::stoi (m[3]), std::stoi (m[4]) };
                }
            still = icon && last && icon->x == last->x && icon->y == last->y && icon->width == last->width && icon->width >= 16 ? still + 1 : 0;
            last = icon;
        }
        return icon;
    }

    // Button 0 only moves there. (No --sync: it waits for a move that never
    // comes when the pointer is there already.)
    static bool click (juce::Point<int> at, int button = 1)
    {
        return run ({ "xdotool", "mousemove", std::to_string (at.x), std::to_string (at.y) })
            && (button == 0 || run ({ "xdotool", "click", std::to_string (button) }));
    }

private:
    static std::optional<std::string> panel()
    {
        const auto found = run ({ "xdotool", "search", "--name", "^panel$" });
        return found && ! found->empty() ? std::optional (found->substr (0, found->find ('\n'))) : std::nullopt;
    }

    pid_t server = -1, tray = -1;
};

// A person at Loomwell's tray. Each step answers "" when it went as a person
// would see it go, else what went wrong; screenshots go to `shots`. Made
// before the desktop starts: the menus' rows are measured with JUCE, which
// would otherwise connect to the display and end this process with it.
class TrayPerson
{
public:
    explicit TrayPerson (std::string shotFolder) : shots (std::move (shotFolder))
    {
        juce::LookAndFeel_V4 lookAndFeel; // the rows of a menu, laid out as the program lays them
        int width = 0;
        border = lookAndFeel.getPopupMenuBorderSize();
        lookAndFeel.getIdealPopupMenuItemSize ("Apps", false, -1, width, rowHeight);
        lookAndFeel.getIdealPopupMenuItemSize ({}, true, -1, width, separatorHeight);
    }

    // Clicks the icon and waits for the popover; a lost click is repeated.
    std::string openPopover()
    {
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            const auto icon = Desktop::trayIcon();
            if (! icon || ! Desktop::click (icon->centre()))
                return "no tray icon";
            if (waitUntil ([&] { return ! Desktop::windows ("Loomwell").empty(); }, attempt == 0 ? 5s : 10s))
            {
                popover = Desktop::windows ("Loomwell").front();
                return {};
            }
        }
        return "no popover";
    }

    std::string closePopover()
    {
        const auto icon = Desktop::trayIcon();
        return icon && Desktop::click (icon->centre()) && waitUntil ([] { return Desktop::windows ("Loomwell").empty(); }) ? "" : "the popover stays";
    }

    // What a window shows, as an X window dump (xwd; image viewers read it).
    void save (const Window& window, const std::string& name) const
    {
        if (! name.empty())
            run ({ "xwd", "-silent", "-id", window.id, "-out", shots + "/" + name + ".xwd" });
    }

    // A slot's row ("Music", "Game", "A", "B": 92 points below the popover's
    // top, 77 apart) opens the picker when it is empty, else the slot menu.
    std::string clickSlot (int slot, const std::string& shot = {})
    {
        const auto menus = Desktop::click ({ popover.x + 15 + 77 * slot + 34, popover.y + 137 }) ? waitForMenus (1) : std::vector<Window>();
        if (menus.empty())
            return "no menu on the row";
        save (menus.front(), shot);
        return {};
    }

    // In the open slot menu, a "Remove ..." row, or "Add" below the separator
    // that follows `sources` rows.
    std::string chooseRemove (int index) { return chooseInSlotMenu (index, 0); }
    std::string chooseAdd (int sources) { return chooseInSlotMenu (sources, separatorHeight); }

    // In the open picker ("Apps" 0, "Input Devices" 1), that submenu's row.
    std::string pick (int submenu, int row, const std::string& shot = {})
    {
        // The picker may open under a slot menu that is still going: it is
        // the menu as tall as its two items.
        std::vector<Window> menus;
        const auto isPicker = [this] (const Window& m) { return m.height == 2 * border + 2 * rowHeight; };
        if (! waitUntil ([&] { menus = Desktop::windows ("menu"); return std::any_of (menus.begin(), menus.end(), isPicker); }))
            return "no picker";
        const auto picker = *std::find_if (menus.begin(), menus.end(), isPicker);
        if (! hover (rowAt (picker, submenu, 0)) || (menus = waitForMenus (2)).size() != 2)
            return "no submenu";
        const auto& list = menus[0].id == picker.id ? menus[1] : menus[0];
        save (list, shot);
        return choose (rowAt (list, row, 0)) && waitUntil ([] { return Desktop::windows ("menu").empty(); }) ? "" : "the menus stay open";
    }

    std::chrono::steady_clock::time_point lastChoice; // when a menu row was last clicked
    Window popover;

private:
    juce::Point<int> rowAt (const Window& menu, int row, int below) const
    {
        return { menu.x + menu.width / 2, menu.y + border + rowHeight * row + rowHeight / 2 + below };
    }

    // The open menus once there are `count`, after they have settled.
    static std::vector<Window> waitForMenus (size_t count)
    {
        if (! waitUntil ([&] { return Desktop::windows ("menu").size() >= count; }))
            return {};
        std::this_thread::sleep_for (400ms);
        return Desktop::windows ("menu");
    }

    // A menu takes a click only once it has seen the pointer on the row.
    static bool hover (juce::Point<int> at)
    {
        bool moved = Desktop::click (at + juce::Point<int> (-3, 0), 0);
        std::this_thread::sleep_for (300ms);
        moved = moved && Desktop::click (at, 0);
        std::this_thread::sleep_for (300ms);
        return moved;
    }

    bool choose (juce::Point<int> at)
    {
        if (! hover (at))
            return false;
        lastChoice = std::chrono::steady_clock::now();
        return Desktop::click (at);
    }

    std::string chooseInSlotMenu (int row, int below)
    {
        const auto menus = waitForMenus (1);
        return menus.size() == 1 && choose (rowAt (menus.front(), row, below)) ? "" : "no slot menu";
    }

    const std::string shots;
    int border = 0, rowHeight = 0, separatorHeight = 0;
};

} // namespace loomwell::testing
