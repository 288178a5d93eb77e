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
    XFlush (display);
    XCloseDisplay (display);
    return true;
}

} // namespace loomwell
