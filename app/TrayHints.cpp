#include "TrayHints.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <iterator>
#include <string>

namespace loomwell
{

namespace
{

int logXError (Display* display, XErrorEvent* event)
{
    char text[80] = {};
    XGetErrorText (display, event->error_code, text, sizeof text);
    std::fprintf (stderr, "LMW: X error %s, request %d.%d, resource 0x%lx; ignored\n", text,
                  event->request_code, event->minor_code, event->resourceid);
    return 0;
}

} // namespace

DisplayPreparation::DisplayPreparation()
    : display (XOpenDisplay (nullptr))
{
    if (display == nullptr)
        return;

    // Process-wide in Xlib, so it covers JUCE's connection too.
    XSetErrorHandler (logXError);

    // What JUCE reads only if it exists and then uses regardless.
    char* names[] = { const_cast<char*> ("WM_PROTOCOLS"), const_cast<char*> ("WM_TAKE_FOCUS"),
                      const_cast<char*> ("WM_DELETE_WINDOW"), const_cast<char*> ("_NET_WM_PING"),
                      const_cast<char*> ("WM_CHANGE_STATE"), const_cast<char*> ("WM_STATE") };
    Atom atoms[std::size (names)] = {};
    XInternAtoms (static_cast<Display*> (display), names, static_cast<int> (std::size (names)), False, atoms);
}

DisplayPreparation::~DisplayPreparation()
{
    if (display != nullptr)
        XCloseDisplay (static_cast<Display*> (display));
}

bool trayPresent()
{
    Display* display = XOpenDisplay (nullptr);
    if (display == nullptr)
        return false;

    const auto name = "_NET_SYSTEM_TRAY_S" + std::to_string (DefaultScreen (display));
    const auto selection = XInternAtom (display, name.c_str(), True);
    const bool owned = selection != None && XGetSelectionOwner (display, selection) != None;
    XCloseDisplay (display);
    return owned;
}

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
