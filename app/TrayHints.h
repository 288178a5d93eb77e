#pragma once

namespace loomwell
{

// Each of these works on a connection of its own: Xlib's names stay out of
// the code that uses JUCE.

// Readies the display for JUCE's windows while it lives: JUCE must open
// its own connection meanwhile. reachable() is false when X cannot be
// reached.
//
// JUCE looks the ICCCM atoms up once, when it opens the display, and only
// if they exist; on a server where no window manager or toolkit has named
// them yet (a bare X server, a session whose panel is not up) it gets 0 and
// sends every new window's WM_PROTOCOLS with property 0. They are named
// here first, and this connection holds them until JUCE's is there: a
// server whose last client leaves resets and forgets them. And since no X
// error is ours to die of, errors are logged and passed over from here on:
// Xlib's own handler would exit() from inside the failing call, with the
// consoles open and their threads running.
class DisplayPreparation
{
public:
    DisplayPreparation();
    ~DisplayPreparation();
    DisplayPreparation (const DisplayPreparation&) = delete;
    DisplayPreparation& operator= (const DisplayPreparation&) = delete;

    bool reachable() const { return display != nullptr; }

private:
    void* display = nullptr; // Xlib's Display
};

} // namespace loomwell
