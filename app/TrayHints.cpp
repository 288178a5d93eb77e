#include "TrayHints.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace loomwell
{

bool setMinimumSizeHint (unsigned long window, int width, int height)
{
    Display* display = XOpenDisplay (nullptr);
    if (display == nullptr)
        return false;

    XSizeHints hints {};
    hints.flags = PMinSize | PBaseSize;
    hints.min_width = hints.base_width = width;
    hints.min_height = hints.base_height = height;
    XSetWMNormalHints (display, static_cast<Window> (window), &hints);
    // An XEmbed socket measures its plug again when the plug asks for
    // another size.
    XResizeWindow (display, static_cast<Window> (window), static_cast<unsigned> (width), static_cast<unsigned> (height));
    XFlush (display);
    XCloseDisplay (display);
    return true;
}

int currentWindowWidth (unsigned long window)
{
    Display* display = XOpenDisplay (nullptr);
    if (display == nullptr)
        return -1;

    XWindowAttributes attributes {};
    const auto width = XGetWindowAttributes (display, static_cast<Window> (window), &attributes) != 0 ? attributes.width : -1;
    XCloseDisplay (display);
    return width;
}

} // namespace loomwell
