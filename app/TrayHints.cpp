#include "TrayHints.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <iterator>

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

} // namespace loomwell
