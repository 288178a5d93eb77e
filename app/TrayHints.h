#pragma once

namespace loomwell
{

// Sets the minimum size in the window's size hints, which an XEmbed tray
// reads to size the icon's slot. On a connection of its own: Xlib's names
// stay out of the code that uses JUCE. False when X cannot be reached.
bool setMinimumSizeHint (unsigned long window, int width, int height);

} // namespace loomwell
