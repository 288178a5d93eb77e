#pragma once

// Names as another program may announce them, and what may be shown of them.

#include <juce_gui_basics/juce_gui_basics.h>

#include <string>
#include <vector>

namespace loomwell::ui::testing
{

// What may stand between the words of a hostile name: C0 and C1 controls,
// DEL, a right-to-left override, an isolate, a line separator and bytes
// that are not UTF-8 (a stray lead byte, a lone continuation byte, an
// unfinished sequence).
inline std::string hostileBytes()
{
    return std::string ("\x01\x1b") + "\xe2\x80\xae" + "\xff" + "\xc2\x85" + "\x7f" + "\xe2\x81\xa6" + "\x80" + "\xe2\x80\xa8"
           + "\xe2\x80";
}

// `word` and `between` over and over, 100 kB in all.
inline std::string hugeName (const std::string& word, const std::string& between)
{
    std::string name;
    while (name.size() < 100000)
        name += word + between;
    return name;
}

// Why the text may not be shown as it is: "" when it is valid UTF-8 of at
// most maxChars characters without control, direction-changing or
// line-breaking characters.
inline std::string unsafeIn (const juce::String& text, int maxChars)
{
    const std::string bytes = text.toStdString();
    int chars = 0;
    for (size_t i = 0; i < bytes.size();)
    {
        const auto lead = static_cast<unsigned char> (bytes[i]);
        const size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > bytes.size())
            return "invalid UTF-8 at byte " + std::to_string (i);
        uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k)
        {
            const auto next = static_cast<unsigned char> (bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return "invalid UTF-8 at byte " + std::to_string (i);
            c = (c << 6) | (next & 0x3Fu);
        }
        static constexpr uint32_t shortest[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (c < shortest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return "invalid UTF-8 at byte " + std::to_string (i);

        const auto hex = juce::String::toHexString ((int) c).toStdString();
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            return "control character U+" + hex;
        if (c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069))
            return "direction character U+" + hex;
        if (c == 0x2028 || c == 0x2029)
            return "line separator U+" + hex;
        ++chars;
        i += length;
    }
    if (chars > maxChars)
        return std::to_string (chars) + " characters";
    return {};
}

// The look-and-feel the program uses, keeping the text of every menu item
// it is asked to measure or draw and of every label it draws.
class RecordingLookAndFeel final : public juce::LookAndFeel_V4
{
public:
    std::vector<juce::String> measured, drawn, labels;

    void clear()
    {
        measured.clear();
        drawn.clear();
        labels.clear();
    }

    void getIdealPopupMenuItemSize (const juce::String& text, bool isSeparator, int standardMenuItemHeight,
                                    int& idealWidth, int& idealHeight) override
    {
        if (! isSeparator)
            measured.push_back (text);
        LookAndFeel_V4::getIdealPopupMenuItemSize (text, isSeparator, standardMenuItemHeight, idealWidth, idealHeight);
    }

    void drawPopupMenuItem (juce::Graphics& g, const juce::Rectangle<int>& area, bool isSeparator, bool isActive,
                            bool isHighlighted, bool isTicked, bool hasSubMenu, const juce::String& text,
                            const juce::String& shortcutKeyText, const juce::Drawable* icon, const juce::Colour* textColour) override
    {
        if (! isSeparator)
            drawn.push_back (text);
        LookAndFeel_V4::drawPopupMenuItem (g, area, isSeparator, isActive, isHighlighted, isTicked, hasSubMenu, text,
                                           shortcutKeyText, icon, textColour);
    }

    void drawLabel (juce::Graphics& g, juce::Label& label) override
    {
        labels.push_back (label.getText());
        LookAndFeel_V4::drawLabel (g, label);
    }
};

} // namespace loomwell::ui::testing
