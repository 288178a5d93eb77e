#pragma once

// A real X server (Xvfb) with a real XEmbed tray (trayer), driven with
// xdotool and read back with the X utilities, as a person would use them.

#include "PipeWireWorld.h"
#include "ProgramProcess.h"

#include <juce_graphics/juce_graphics.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace loomwell::testing
{

using namespace std::chrono_literals;


inline std::vector<char*> pointers (std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (auto& s : strings)
        result.push_back (s.data());
    result.push_back (nullptr);
    return result;
}

// Starts a helper with its output thrown away; its process id or -1.
inline pid_t spawnQuiet (std::vector<std::string> argv, std::vector<std::string> env)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    auto args = pointers (argv);
    auto envp = pointers (env);
    pid_t pid = -1;
    if (::posix_spawnp (&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy (&actions);
    return pid;
}

// Runs a short command to its end; its standard output, or nothing when it
// failed to start or exited with an error.
inline std::optional<std::string> run (std::vector<std::string> argv, std::vector<std::string> env)
{
    int fds[2];
    if (::pipe (fds) != 0)
        return {};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2 (&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose (&actions, fds[0]);
    posix_spawn_file_actions_addclose (&actions, fds[1]);

    auto args = pointers (argv);
    auto envp = pointers (env);
    pid_t pid = -1;
    const bool started = ::posix_spawnp (&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy (&actions);
    ::close (fds[1]);

    std::string output;
    char buffer[4096];
    for (ssize_t count; (count = ::read (fds[0], buffer, sizeof buffer)) > 0;)
        output.append (buffer, static_cast<size_t> (count));
    ::close (fds[0]);

    if (! started)
        return {};
    int status = 0;
    ::waitpid (pid, &status, 0);
    if (! WIFEXITED (status) || WEXITSTATUS (status) != 0)
        return {};
    return output;
}

template <typename Predicate>
bool waitUntil (Predicate predicate, std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (! predicate())
    {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for (50ms);
    }
    return true;
}

struct WindowGeometry
{
    int x = 0, y = 0, width = 0, height = 0;
    juce::Point<int> centre() const { return { x + width / 2, y + height / 2 }; }
};

// An X server and a tray on it, each stopped by its process id.
class Desktop
{
public:
    ~Desktop()
    {
        if (trayPid > 0)
            PipeWireWorld::stopProcess (trayPid);
        if (serverPid > 0)
            PipeWireWorld::stopProcess (serverPid);
    }

    // Empty when both are up, otherwise what did not come up.
    std::string start()
    {
        // Tests that run side by side would race for the same lowest free
        // number; each process starts looking at a place of its own.
        const int first = 90 + static_cast<int> (::getpid() % 200);
        for (int n = first; n < first + 100 && displayName.empty(); ++n)
            if (! std::filesystem::exists ("/tmp/.X11-unix/X" + std::to_string (n))
                && ! std::filesystem::exists ("/tmp/.X" + std::to_string (n) + "-lock"))
                displayName = ":" + std::to_string (n);
        if (displayName.empty())
            return "no free display number";

        serverPid = spawnQuiet ({ "Xvfb", displayName, "-screen", "0", "1280x800x24", "-nolisten", "tcp" }, environment());
        if (serverPid <= 0 || ! waitUntil ([this] { return run ({ "xdpyinfo" }, environment()).has_value(); }, 20s))
            return "Xvfb on " + displayName;

        // A dark panel along the top edge, right-aligned, sized to its icons.
        // trayer has been seen to end at start on a loaded machine now and
        // then: a second one is started before giving up.
        for (int attempt = 1; attempt <= 2; ++attempt)
        {
            trayPid = spawnQuiet ({ "trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                    "--height", "24", "--transparent", "true", "--alpha", "0", "--tint", "0x202020" },
                                  environment());
            if (trayPid > 0 && waitUntil ([this] { return panelWindow().has_value(); }, 15s))
                return {};
            if (trayPid > 0)
                PipeWireWorld::stopProcess (trayPid);
            trayPid = -1;
        }
        return "trayer on " + displayName;
    }

    // This process's environment pointed at the server.
    std::vector<std::string> environment() const
    {
        std::vector<std::string> env;
        for (auto& variable : currentEnvironment())
            if (! variable.starts_with ("DISPLAY="))
                env.push_back (std::move (variable));
        env.push_back ("DISPLAY=" + displayName);
        return env;
    }

    std::optional<std::string> panelWindow() const
    {
        const auto found = run ({ "xdotool", "search", "--name", "^panel$" }, environment());
        if (! found || found->empty())
            return {};
        return found->substr (0, found->find ('\n'));
    }

    // The tray icon once the tray has settled its slot: at least 16 px wide
    // and in the same place over half a second. Until then the tray may dock
    // the icon again, and a click that comes meanwhile is lost.
    std::optional<WindowGeometry> settledTrayIcon (std::chrono::milliseconds deadline = std::chrono::seconds (20)) const
    {
        std::optional<WindowGeometry> last;
        int unchanged = 0;
        for (const auto end = std::chrono::steady_clock::now() + deadline; std::chrono::steady_clock::now() < end;)
        {
            const auto icon = trayIcon();
            const bool same = icon && last && icon->x == last->x && icon->y == last->y && icon->width == last->width
                           && icon->height == last->height;
            unchanged = same && icon->width >= 16 ? unchanged + 1 : 0;
            if (unchanged >= 3)
                return icon;
            last = icon;
            std::this_thread::sleep_for (std::chrono::milliseconds (150));
        }
        return {};
    }

    // The deepest window under the tray's panel: the icon that the tray
    // embedded (the panel holds a socket per icon, the socket the icon).
    std::optional<WindowGeometry> trayIcon() const
    {
        const auto panel = panelWindow();
        if (! panel)
            return {};
        const auto tree = run ({ "xwininfo", "-tree", "-id", *panel }, environment());
        if (! tree)
            return {};

        static const std::regex child (R"(^(\s+)0x[0-9a-f]+ .*\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)$)");
        std::optional<WindowGeometry> deepest;
        size_t depth = 0;
        std::istringstream lines (*tree);
        for (std::string line; std::getline (lines, line);)
        {
            std::smatch m;
            if (std::regex_match (line, m, child) && m[1].length() > static_cast<long> (depth))
            {
                depth = static_cast<size_t> (m[1].length());
                deepest = WindowGeometry { std::stoi (m[4]), std::stoi (m[5]), std::stoi (m[2]), std::stoi (m[3]) };
            }
        }
        return deepest;
    }

    // The mapped windows of that exact name, with their ids, oldest first.
    std::vector<std::pair<std::string, WindowGeometry>> visibleWindows (const std::string& name) const
    {
        std::vector<std::pair<std::string, WindowGeometry>> result;
        const auto found = run ({ "xdotool", "search", "--onlyvisible", "--name", "^" + name + "$" }, environment());
        if (! found)
            return result;

        std::istringstream ids (*found);
        for (std::string id; std::getline (ids, id);)
        {
            const auto info = run ({ "xwininfo", "-id", id }, environment());
            if (! info)
                continue;
            const auto field = [&info] (const std::string& label)
            {
                const auto at = info->find (label);
                return at == std::string::npos ? -1 : std::stoi (info->substr (at + label.size()));
            };
            result.emplace_back (id, WindowGeometry { field ("Absolute upper-left X:"), field ("Absolute upper-left Y:"),
                                                      field ("Width:"), field ("Height:") });
        }
        return result;
    }

    // The one mapped window of that exact name, with its id.
    std::optional<std::pair<std::string, WindowGeometry>> visibleWindow (const std::string& name) const
    {
        auto windows = visibleWindows (name);
        if (windows.empty())
            return {};
        return windows.front();
    }

    bool click (juce::Point<int> at, int button) const
    {
        // Button 0: only move there. No --sync: it waits for a move that
        // never comes when the pointer is already there.
        return run ({ "xdotool", "mousemove", std::to_string (at.x), std::to_string (at.y) }, environment())
            && (button == 0 || run ({ "xdotool", "click", std::to_string (button) }, environment()));
    }

    // A window's pixels through xwd, as a person would see them.
    juce::Image capture (const std::string& windowId) const
    {
        const auto dump = run ({ "xwd", "-silent", "-id", windowId }, environment());
        return dump ? decodeXwd (*dump) : juce::Image();
    }

    // Saves a capture among the test's artefacts.
    static void save (const juce::Image& image, const std::string& fileName, const std::string& directory)
    {
        juce::FileOutputStream out (juce::File (directory).getChildFile (fileName));
        out.setPosition (0);
        out.truncate();
        juce::PNGImageFormat().writeImageToStream (image, out);
    }

private:
    // XWD: a big-endian header of 32-bit fields, the window name, the colour
    // table, then the rows; 24-bit TrueColor at 32 bits per pixel here.
    static juce::Image decodeXwd (const std::string& data)
    {
        const auto field = [&data] (size_t index) -> uint32_t
        {
            const auto* p = reinterpret_cast<const unsigned char*> (data.data()) + index * 4;
            return (uint32_t (p[0]) << 24) | (uint32_t (p[1]) << 16) | (uint32_t (p[2]) << 8) | uint32_t (p[3]);
        };
        if (data.size() < 100)
            return {};

        const auto headerSize = field (0), width = field (4), height = field (5), byteOrder = field (7);
        const auto bitsPerPixel = field (11), bytesPerLine = field (12), ncolours = field (19);
        const uint32_t masks[3] = { field (14), field (15), field (16) };
        const size_t start = headerSize + size_t (ncolours) * 12;
        if (bitsPerPixel != 32 || data.size() < start + size_t (height) * bytesPerLine)
            return {};

        const auto channel = [] (uint32_t pixel, uint32_t mask)
        {
            int shift = 0;
            while (mask != 0 && (mask & 1) == 0)
            {
                mask >>= 1;
                ++shift;
            }
            return static_cast<juce::uint8> (((pixel >> shift) & mask) * 255 / juce::jmax (1u, mask));
        };

        juce::Image image (juce::Image::RGB, (int) width, (int) height, false);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
            {
                const auto* p = reinterpret_cast<const unsigned char*> (data.data()) + start + y * bytesPerLine + x * 4;
                const uint32_t pixel = byteOrder == 0 ? (uint32_t (p[3]) << 24) | (uint32_t (p[2]) << 16) | (uint32_t (p[1]) << 8) | p[0]
                                                      : (uint32_t (p[0]) << 24) | (uint32_t (p[1]) << 16) | (uint32_t (p[2]) << 8) | p[3];
                image.setPixelAt ((int) x, (int) y, juce::Colour (channel (pixel, masks[0]), channel (pixel, masks[1]), channel (pixel, masks[2])));
            }
        return image;
    }

    std::string displayName;
    pid_t serverPid = -1;
    pid_t trayPid = -1;
};

} // namespace loomwell::testing
