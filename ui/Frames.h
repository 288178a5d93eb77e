#pragma once

#include <juce_graphics/juce_graphics.h>

namespace loomwell::ui
{

// The interface's numbers are written as frames (x, y, width, height) with the
// origin at the parent's bottom-left corner and y growing upwards. Every frame
// goes through here, once, to become JUCE's top-left based rectangle, so the
// numbers in the code stay the ones of the design.
inline juce::Rectangle<float> fromBottomLeft (float x, float y, float width, float height, float parentHeight)
{
    return { x, parentHeight - (y + height), width, height };
}

inline juce::Rectangle<float> fromBottomLeft (juce::Rectangle<float> frame, float parentHeight)
{
    return fromBottomLeft (frame.getX(), frame.getY(), frame.getWidth(), frame.getHeight(), parentHeight);
}

// A grey level g: red = green = blue = g.
inline juce::Colour grey (float level, float alpha = 1.0f)
{
    return juce::Colour::fromFloatRGBA (level, level, level, alpha);
}

} // namespace loomwell::ui
