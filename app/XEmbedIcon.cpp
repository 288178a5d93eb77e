#include "XEmbedIcon.h"

#include <juce_events/juce_events.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <bit>
#include <cstdlib>
#include <string>

namespace loomwell
{

namespace
{

constexpr long systemTrayRequestDock = 0;
constexpr long xembedVersion = 0;
constexpr long xembedMapped = 1;

// A tray may read the icon's size hints before they are there and give it a
// slot one pixel wide, and never look again; docking anew makes it measure
// the icon afresh. A tray that chooses a small size of its own is left alone.
constexpr int maxRedocks = 10;

// A channel value (0 to 255) where the visual keeps it.
unsigned long place (unsigned long value, unsigned long mask)
{
    if (mask == 0)
        return 0;
    const auto shift = std::countr_zero (mask);
    const auto bits = std::popcount (mask);
    return ((bits >= 8 ? value << (bits - 8) : value >> (8 - bits)) << shift) & mask;
}

} // namespace

struct XEmbedIcon::X
{
    Display* display = nullptr;
    Window root = None, manager = None, window = None;
    Atom selection = None, opcode = None, managerAtom = None, xembedInfo = None, trayVisual = None;
    Visual* visual = nullptr;
    int depth = 0;
    Colormap colormap = None;
    bool argb = false, wanted = false;
    int width = XEmbedIcon::preferredSize, height = XEmbedIcon::preferredSize, redocks = 0;
    Renderer render;
    Handlers handlers;
    std::shared_ptr<X*> alive = std::make_shared<X*> (this);

    void findManager()
    {
        XGrabServer (display); // the owner must not go between asking and watching it
        manager = XGetSelectionOwner (display, selection);
        if (manager != None)
            XSelectInput (display, manager, StructureNotifyMask);
        XUngrabServer (display);
        XFlush (display);
    }

    // The tray's visual when it offers a 32-bit one: then the icon blends
    // with the panel through its alpha; else the panel's background shows
    // where the glyph is transparent.
    void chooseVisual()
    {
        visual = DefaultVisual (display, DefaultScreen (display));
        depth = DefaultDepth (display, DefaultScreen (display));
        argb = false;
        Atom type = None;
        int format = 0;
        unsigned long count = 0, left = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty (display, manager, trayVisual, 0, 1, False, XA_VISUALID, &type, &format, &count, &left, &data) == Success
            && data != nullptr && count == 1 && format == 32)
        {
            XVisualInfo wantedInfo {};
            wantedInfo.visualid = static_cast<VisualID> (*reinterpret_cast<unsigned long*> (data));
            int matches = 0;
            if (auto* info = XGetVisualInfo (display, VisualIDMask, &wantedInfo, &matches))
            {
                if (matches > 0 && info->depth == 32)
                {
                    visual = info->visual;
                    depth = 32;
                    argb = true;
                }
                XFree (info);
            }
        }
        if (data != nullptr)
            XFree (data);
    }

    void makeWindow()
    {
        chooseVisual();
        XSetWindowAttributes attributes {};
        unsigned long mask = CWEventMask;
        attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
        if (argb)
        {
            colormap = XCreateColormap (display, root, visual, AllocNone);
            attributes.colormap = colormap;
            attributes.background_pixel = 0;
            attributes.border_pixel = 0;
            mask |= CWColormap | CWBackPixel | CWBorderPixel;
        }
        else
        {
            attributes.background_pixmap = ParentRelative;
            mask |= CWBackPixmap;
        }
        width = height = XEmbedIcon::preferredSize;
        window = XCreateWindow (display, root, 0, 0, static_cast<unsigned> (width), static_cast<unsigned> (height), 0, depth,
                                InputOutput, visual, mask, &attributes);

        const long info[] = { xembedVersion, xembedMapped };
        XChangeProperty (display, window, xembedInfo, xembedInfo, 32, PropModeReplace, reinterpret_cast<const unsigned char*> (info), 2);
        XStoreName (display, window, "Loomwell tray icon");
        XClassHint classHint { const_cast<char*> ("loomwell"), const_cast<char*> ("Loomwell") };
        XSetClassHint (display, window, &classHint);
        XSizeHints hints {};
        hints.flags = PMinSize | PBaseSize;
        hints.min_width = hints.base_width = XEmbedIcon::preferredSize;
        hints.min_height = hints.base_height = XEmbedIcon::preferredSize;
        XSetWMNormalHints (display, window, &hints);
    }

    void destroyWindow()
    {
        if (window != None)
            XDestroyWindow (display, window);
        if (colormap != None)
            XFreeColormap (display, colormap);
        window = None;
        colormap = None;
        XFlush (display);
    }

    void dock()
    {
        if (! wanted || manager == None)
            return;
        if (window == None)
            makeWindow();
        XEvent event {};
        event.xclient.type = ClientMessage;
        event.xclient.window = manager;
        event.xclient.message_type = opcode;
        event.xclient.format = 32;
        event.xclient.data.l[0] = CurrentTime;
        event.xclient.data.l[1] = systemTrayRequestDock;
        event.xclient.data.l[2] = static_cast<long> (window);
        XSendEvent (display, manager, False, NoEventMask, &event);
        XFlush (display);
    }

    void paint()
    {
        if (window == None || width < 1 || height < 1 || ! render)
            return;
        const auto pixels = render (width, height);
        if (pixels.size() != static_cast<size_t> (width) * static_cast<size_t> (height))
            return;
        auto* image = XCreateImage (display, visual, static_cast<unsigned> (depth), ZPixmap, 0, nullptr,
                                    static_cast<unsigned> (width), static_cast<unsigned> (height), 32, 0);
        if (image == nullptr)
            return;
        image->data = static_cast<char*> (std::calloc (static_cast<size_t> (image->bytes_per_line) * static_cast<size_t> (height), 1));
        // Without alpha, only the glyph's solid pixels are drawn: a clip mask
        // keeps the panel's background everywhere else.
        Pixmap mask = argb ? None : XCreatePixmap (display, window, static_cast<unsigned> (width), static_cast<unsigned> (height), 1);
        GC maskGc = mask != None ? XCreateGC (display, mask, 0, nullptr) : nullptr;
        if (maskGc != nullptr)
        {
            XSetForeground (display, maskGc, 0);
            XFillRectangle (display, mask, maskGc, 0, 0, static_cast<unsigned> (width), static_cast<unsigned> (height));
            XSetForeground (display, maskGc, 1);
        }
        const auto alphaMask = 0xffffffffUL & ~(visual->red_mask | visual->green_mask | visual->blue_mask);
        for (int py = 0; py < height; ++py)
            for (int px = 0; px < width; ++px)
            {
                const auto p = pixels[static_cast<size_t> (py) * static_cast<size_t> (width) + static_cast<size_t> (px)];
                unsigned long a = p >> 24, r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
                if (! argb && a > 0) // straight colour where the glyph is drawn
                {
                    r = r * 255 / a;
                    g = g * 255 / a;
                    b = b * 255 / a;
                }
                XPutPixel (image, px, py, place (r, visual->red_mask) | place (g, visual->green_mask) | place (b, visual->blue_mask)
                                              | (argb ? place (a, alphaMask) : 0));
                if (maskGc != nullptr && a >= 128)
                    XDrawPoint (display, mask, maskGc, px, py);
            }
        GC gc = XCreateGC (display, window, 0, nullptr);
        if (! argb)
        {
            XClearWindow (display, window);
            XSetClipMask (display, gc, mask);
        }
        XPutImage (display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned> (width), static_cast<unsigned> (height));
        XFreeGC (display, gc);
        if (maskGc != nullptr)
            XFreeGC (display, maskGc);
        if (mask != None)
            XFreePixmap (display, mask);
        XDestroyImage (image);
        XFlush (display);
    }

    void handle (const XEvent& event)
    {
        switch (event.type)
        {
            case ClientMessage:
                // A tray took the selection (it announces itself on the root window).
                if (event.xclient.window == root && event.xclient.message_type == managerAtom
                    && static_cast<Atom> (event.xclient.data.l[1]) == selection)
                {
                    findManager();
                    redocks = 0;
                    dock();
                    tell (handlers.trayChanged);
                }
                break;
            case DestroyNotify:
                if (event.xdestroywindow.window == manager && manager != None)
                {
                    // The server hands an embedded icon back to the root
                    // window as a stray; a new one is made for the next tray.
                    manager = None;
                    destroyWindow();
                    tell (handlers.trayChanged);
                }
                break;
            case ConfigureNotify:
                if (event.xconfigure.window == window)
                {
                    width = event.xconfigure.width;
                    height = event.xconfigure.height;
                    if (width <= 1 && redocks < maxRedocks)
                    {
                        ++redocks;
                        XResizeWindow (display, window, XEmbedIcon::preferredSize, XEmbedIcon::preferredSize);
                        dock();
                    }
                }
                break;
            case Expose:
                if (event.xexpose.window == window && event.xexpose.count == 0)
                    paint();
                break;
            case ButtonRelease:
                if (event.xbutton.window == window && handlers.clicked)
                    tell ([clicked = handlers.clicked, button = static_cast<int> (event.xbutton.button), where = area()] {
                        clicked (button, where);
                    });
                break;
            default:
                break;
        }
    }

    // Later, from the message loop: a handler may end this icon.
    void tell (const std::function<void()>& handler)
    {
        if (handler)
            juce::MessageManager::callAsync ([token = std::weak_ptr<X*> (alive), handler] {
                if (! token.expired())
                    handler();
            });
    }

    Area area() const
    {
        XWindowAttributes attributes {};
        Window child = None;
        int x = 0, y = 0;
        if (window == None || manager == None || XGetWindowAttributes (display, window, &attributes) == 0
            || attributes.map_state != IsViewable || ! XTranslateCoordinates (display, window, root, 0, 0, &x, &y, &child))
            return {};
        return { x, y, attributes.width, attributes.height };
    }
};

std::unique_ptr<XEmbedIcon> XEmbedIcon::create (Renderer render, Handlers handlers)
{
    auto x = std::make_unique<X>();
    if ((x->display = XOpenDisplay (nullptr)) == nullptr)
        return nullptr;
    auto* d = x->display;
    x->root = DefaultRootWindow (d);
    const auto selectionName = "_NET_SYSTEM_TRAY_S" + std::to_string (DefaultScreen (d));
    x->selection = XInternAtom (d, selectionName.c_str(), False);
    x->opcode = XInternAtom (d, "_NET_SYSTEM_TRAY_OPCODE", False);
    x->managerAtom = XInternAtom (d, "MANAGER", False);
    x->xembedInfo = XInternAtom (d, "_XEMBED_INFO", False);
    x->trayVisual = XInternAtom (d, "_NET_SYSTEM_TRAY_VISUAL", False);
    x->render = std::move (render);
    x->handlers = std::move (handlers);
    // A tray that starts later announces itself to the root window's structure listeners.
    XSelectInput (d, x->root, StructureNotifyMask);
    x->findManager();

    std::unique_ptr<XEmbedIcon> icon (new XEmbedIcon (std::move (x)));
    juce::LinuxEventLoop::registerFdCallback (ConnectionNumber (d), [token = std::weak_ptr<X*> (icon->x->alive), raw = icon.get()] (int) {
        if (! token.expired())
            raw->drain();
    });
    icon->drain();
    return icon;
}

XEmbedIcon::XEmbedIcon (std::unique_ptr<X> connection) : x (std::move (connection)) {}

XEmbedIcon::~XEmbedIcon()
{
    x->alive.reset();
    juce::LinuxEventLoop::unregisterFdCallback (ConnectionNumber (x->display));
    x->destroyWindow();
    XCloseDisplay (x->display);
}

bool XEmbedIcon::trayAvailable() const noexcept
{
    return x->manager != None;
}

void XEmbedIcon::setWanted (bool wanted)
{
    x->wanted = wanted;
    if (wanted)
    {
        x->redocks = 0;
        if (x->window == None)
            x->dock();
    }
    else
        x->destroyWindow();
    drain();
}

// Everything the server sent, also what Xlib read during a call of ours.
void XEmbedIcon::drain()
{
    while (XPending (x->display) > 0)
    {
        XEvent event {};
        XNextEvent (x->display, &event);
        x->handle (event);
    }
}

} // namespace loomwell
