#pragma once

namespace loomwell
{

// Sets the minimum size in the window's size hints, which an XEmbed tray
// reads to size the icon's slot, and asks for that size. On a connection of its own: Xlib's names
// stay out of the code that uses JUCE. False when X cannot be reached.
bool setMinimumSizeHint (unsigned long window, int width, int height);

// The window's width as the X server has it now (a tray resizes an icon's
// window behind the toolkit's back); -1 when it cannot be read.
int currentWindowWidth (unsigned long window);

} // namespace loomwell
