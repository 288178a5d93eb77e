#pragma once

// A real X server (Xvfb) with a real tray, and a person at Loomwell's tray on
// it: every click made with xdotool, every window found and read back with
// the X utilities. The tray is an XEmbed one (trayer) or a StatusNotifierItem
// host (xfce4-panel with nothing but its systray plugin, which owns the
// watcher and shows items on the session bus), started with the desktop or
// later. While the desktop runs, this process's DISPLAY names it, so that
// every tool and program started here uses it.

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

enum class Tray
{
    none,
    trayer,
    xfce
};

class Desktop
{
public:
    ~Desktop()
    {
        stopTray();
        stopProcess (server);
        ::unsetenv ("DISPLAY");
    }

    // Empty when the server (and the tray) came up; else what did not.
    std::string start (Tray withTray)
    {
        std::string display; // a number of this process's own, where tests run side by side
        for (int n = 90 + ::getpid() % 200; display.empty(); ++n)
            if (! std::filesystem::exists ("/tmp/.X11-unix/X" + std::to_string (n)) && ! std::filesystem::exists ("/tmp/.X" + std::to_string (n) + "-lock"))
                display = ":" + std::to_string (n);
        server = spawn ({ "Xvfb", display, "-screen", "0", "1280x800x24", "-nolisten", "tcp" });
        ::setenv ("DISPLAY", display.c_str(), 1);
        if (server <= 0 || ! waitUntil ([] { return run ({ "xdpyinfo" }).has_value(); }, 20s))
            return "Xvfb";
        return startTray (withTray);
    }

    // trayer has been seen to end at its start on a loaded machine, so a
    // second one is tried. The Xfce panel's configuration (one dark panel
    // along the top holding the systray plugin) is written where the session
    // bus's XDG_CONFIG_HOME has it, since its bus-activated settings daemon
    // reads it from there; that daemon is stopped with the panel.
    std::string startTray (Tray kind)
    {
        kindOfTray = kind;
        for (int attempt = 0; kind != Tray::none && attempt < 2 && ! panel(); ++attempt)
        {
            stopProcess (tray);
            if (kind == Tray::trayer) // a dark panel along the top, right-aligned, sized to its icons
                tray = spawn ({ "trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                                "--transparent", "true", "--alpha", "0", "--tint", "0x202020" });
            else
            {
                const auto folder = std::filesystem::path (std::getenv ("XDG_CONFIG_HOME")) / "xfce4/xfconf/xfce-perchannel-xml";
                std::filesystem::create_directories (folder);
                std::ofstream (folder / "xfce4-panel.xml") << xfcePanelConfiguration;
                ::setenv ("NO_AT_BRIDGE", "1", 1);
                tray = spawn ({ "xfce4-panel", "--disable-wm-check" });
            }
            waitUntil ([this] { return panel().has_value(); }, 15s);
        }
        return kind != Tray::none && ! panel() ? "the tray" : "";
    }

    void stopTray()
    {
        stopProcess (tray);
        tray = -1;
        if (kindOfTray != Tray::xfce)
            return;
        const auto reply = run ({ "dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:org.xfce.Xfconf" });
        if (const auto at = reply ? reply->find ("uint32 ") : std::string::npos; at != std::string::npos)
            stopProcess (static_cast<pid_t> (std::stol (reply->substr (at + 7))));
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

    // The icon once it is wide enough (a docked icon at least 16 px) and has
    // stayed put for half a second (until then the tray may dock it again,
    // and a click is lost):
    // in trayer the deepest window under the panel; in the Xfce panel, which
    // draws a StatusNotifierItem itself, the light pixels on its dark panel.
    // Without a tray, the program's own icon window.
    std::optional<Window> trayIcon() const
    {
        std::optional<Window> icon, last;
        if (std::vector<Window> own; ! panel())
            return waitUntil ([&] { return (own = windows ("Loomwell icon")).size() == 1; }) ? std::optional (own.front()) : std::nullopt;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        int still = 0;
        for (; still < 3 && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for (150ms))
        {
            if (! panel())
                continue;
            if (kindOfTray == Tray::xfce)
                icon = lightArea (*panel());
            else
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
            }
            still = icon && last && icon->x == last->x && icon->y == last->y && icon->width == last->width
                         && icon->width >= (kindOfTray == Tray::xfce ? 8 : 16) ? still + 1 : 0;
            last = icon;
        }
        return still == 3 ? icon : std::nullopt;
    }

    // Button 0 only moves there. (No --sync: it waits for a move that never
    // comes when the pointer is there already.)
    static bool click (juce::Point<int> at, int button = 1)
    {
        return run ({ "xdotool", "mousemove", std::to_string (at.x), std::to_string (at.y) })
            && (button == 0 || run ({ "xdotool", "click", std::to_string (button) }));
    }

    // The tray's panel window, when it has one up.
    std::optional<std::string> panel() const
    {
        if (kindOfTray == Tray::none)
            return std::nullopt;
        const auto found = run ({ "xdotool", "search", "--onlyvisible", "--name", kindOfTray == Tray::xfce ? "^xfce4-panel$" : "^panel$" });
        return found && ! found->empty() ? std::optional (found->substr (0, found->find ('\n'))) : std::nullopt;
    }

private:
    // The bounding box of the window's light pixels on the screen, read
    // from an X window dump (xwd: a big-endian header, then 32-bit pixels).
    static std::optional<Window> lightArea (const std::string& id)
    {
        const auto dump = run ({ "xwd", "-silent", "-id", id }).value_or ("");
        const auto field = [&dump] (size_t i) {
            const auto* p = reinterpret_cast<const unsigned char*> (dump.data()) + 4 * i;
            return static_cast<int> (p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]);
        };
        if (dump.size() < 100)
            return std::nullopt;
        const auto width = field (4), height = field (5), stride = field (12), start = field (0) + 12 * field (19);
        if (dump.size() < static_cast<size_t> (start + stride * height))
            return std::nullopt;
        int left = width, top = height, right = -1, bottom = -1;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (const auto* p = dump.data() + start + y * stride + 4 * x; (p[0] & p[1] & p[2] & 0xe0) == 0xe0)
                    left = std::min (left, x), right = std::max (right, x), top = std::min (top, y), bottom = std::max (bottom, y);
        const auto at = windows ("xfce4-panel");
        if (right < 0 || at.empty())
            return std::nullopt;
        return Window { id, at.front().x + left, at.front().y + top, right - left + 1, bottom - top + 1 };
    }

    static constexpr const char* xfcePanelConfiguration = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="26"/>
      <property name="background-style" type="uint" value="1"/>
      <property name="background-rgba" type="array">
        <value type="double" value="0.12"/><value type="double" value="0.12"/><value type="double" value="0.12"/><value type="double" value="1"/>
      </property>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>
)";

    pid_t server = -1, tray = -1;
    Tray kindOfTray = Tray::none;
};

// A person at Loomwell's tray. Each step answers "" when it went as a person
// would see it go, else what went wrong; screenshots go to `shots`. Made
// before the desktop starts: the menus' rows are measured with JUCE, which
// would otherwise connect to the display and end this process with it.
class TrayPerson
{
public:
    TrayPerson (std::string shotFolder, const Desktop& screen) : desktop (screen), shots (std::move (shotFolder))
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
            const auto icon = desktop.trayIcon();
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
        const auto icon = desktop.trayIcon();
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

    const Desktop& desktop;
    const std::string shots;
    int border = 0, rowHeight = 0, separatorHeight = 0;
};

} // namespace loomwell::testing
