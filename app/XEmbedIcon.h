#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace loomwell
{

// The icon in an XEmbed system tray (the freedesktop system-tray protocol),
// as a window of its own on a connection of its own, served by JUCE's event
// loop: a toolkit window would keep a timer at the display's refresh rate
// for as long as it exists, and a tray icon exists all day. It watches for a
// tray to come and go, docks while it is wanted and a tray is there, and
// repaints only when the server asks.
//
// Coordinates are the X server's pixels. Main thread only.
class XEmbedIcon
{
public:
    // Premultiplied ARGB, one 0xAARRGGBB per pixel, row by row.
    using Renderer = std::function<std::vector<uint32_t> (int width, int height)>;

    struct Area
    {
        int x = 0, y = 0, width = 0, height = 0;
    };

    struct Handlers
    {
        // A button released on the icon (1 left, 3 right), and where the icon is.
        std::function<void (int button, Area icon)> clicked;
        // A tray came or went.
        std::function<void()> trayChanged;
    };

    // Null without an X display.
    static std::unique_ptr<XEmbedIcon> create (Renderer, Handlers);
    ~XEmbedIcon();

    XEmbedIcon (const XEmbedIcon&) = delete;
    XEmbedIcon& operator= (const XEmbedIcon&) = delete;

    // An owner of the screen's _NET_SYSTEM_TRAY_S<n> selection is there.
    bool trayAvailable() const noexcept;

    // Docks into the tray whenever there is one (true), or leaves it (false).
    void setWanted (bool);

    static constexpr int preferredSize = 22;

private:
    struct X;
    explicit XEmbedIcon (std::unique_ptr<X>);
    void drain();

    std::unique_ptr<X> x;
};

} // namespace loomwell
