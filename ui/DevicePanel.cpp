#include "DevicePanel.h"
#include "Frames.h"
#include "SourceMenus.h"

#include "DeviceInstance.h"

#include <LoomwellAssets.h>

#include <array>

namespace loomwell::ui
{
namespace
{

constexpr float panelWidth = 329.0f;
constexpr float panelHeight = 167.0f;
constexpr float cardHeight = 68.0f;
constexpr float cardWidth = panelWidth - 30.0f;
constexpr float cardRadius = 11.0f;
constexpr float textX = 68.0f;
constexpr float textWidth = cardWidth - 78.0f;

struct SlotLook
{
    const char* name;
    juce::Colour accent;
};

const std::array<SlotLook, 4>& slotLooks()
{
    static const std::array<SlotLook, 4> looks {
        SlotLook { "Music", juce::Colour::fromFloatRGBA (1.0f, 0.624f, 0.039f, 1.0f) },
        SlotLook { "Game", juce::Colour::fromFloatRGBA (0.188f, 0.82f, 0.345f, 1.0f) },
        SlotLook { "A", juce::Colour::fromFloatRGBA (0.353f, 0.784f, 0.98f, 1.0f) },
        SlotLook { "B", juce::Colour::fromFloatRGBA (0.749f, 0.353f, 0.949f, 1.0f) },
    };
    return looks;
}

void styleLabel (juce::Label& label, const juce::String& text, float points, const char* style, float level)
{
    label.setText (text, juce::dontSendNotification);
    label.setFont (interfaceFont (points, style));
    label.setColour (juce::Label::textColourId, grey (level));
    label.setJustificationType (juce::Justification::centredLeft);
    label.setBorderSize ({});
    label.setMinimumHorizontalScale (1.0f);
    label.setInterceptsMouseClicks (false, false);
}

juce::Image consolePhoto (int32_t kind)
{
    // Decoded once per process: a rebuild makes new panels every time.
    if (kind == consoleKindVantor)
        return juce::ImageCache::getFromMemory (LoomwellAssets::vantor_png, LoomwellAssets::vantor_pngSize);
    return juce::ImageCache::getFromMemory (LoomwellAssets::trel_png, LoomwellAssets::trel_pngSize);
}

} // namespace

juce::Font interfaceFont (float points, const char* style)
{
    // Many sans-serif families have no semibold face: bold is the nearer one.
    juce::String face (style);
    if (face == "SemiBold")
    {
        const auto styles = juce::Font::findAllTypefaceStyles (juce::Font (juce::Font::getDefaultSansSerifFontName(), 12.0f, juce::Font::plain).getTypefaceName());
        if (! styles.contains (face, true))
            face = "Bold";
    }
    return juce::Font (juce::Font::getDefaultSansSerifFontName(), face, 12.0f).withPointHeight (points);
}

//==============================================================================
FramedImageView::FramedImageView (juce::Image img, std::optional<juce::Colour> tintColour)
    : image (std::move (img)), tint (tintColour)
{
    setInterceptsMouseClicks (false, false);
}

void FramedImageView::setFrame (juce::Rectangle<float> frameInParent)
{
    frame = frameInParent;
    setBounds (frame.getSmallestIntegerContainer());
    repaint();
}

void FramedImageView::paint (juce::Graphics& g)
{
    if (! image.isValid())
        return;

    const auto area = frame.translated ((float) -getX(), (float) -getY());
    g.setImageResamplingQuality (juce::Graphics::highResamplingQuality);
    if (tint.has_value())
    {
        g.setColour (*tint);
        g.drawImage (image, area, juce::RectanglePlacement::centred, true);
    }
    else
    {
        g.setOpacity (1.0f);
        g.drawImage (image, area, juce::RectanglePlacement::centred, false);
    }
}

//==============================================================================
HeaderCard::HeaderCard (const DeviceInstance& console)
{
    setInterceptsMouseClicks (false, true);

    if (auto picture = consolePhoto (console.kind); picture.isValid())
    {
        photo = std::make_unique<FramedImageView> (picture);
        addAndMakeVisible (*photo);
    }

    styleLabel (connectedLabel, "Connected to", 11.0f, "Regular", 0.5f);
    styleLabel (nameLabel, juce::String::fromUTF8 (console.displayName.c_str()), 14.0f, "SemiBold", 0.85f);
    styleLabel (detailLabel, DevicePanel::detailText (console.serial, console.firmware), 11.0f, "Regular", 0.4f);
    addAndMakeVisible (connectedLabel);
    addAndMakeVisible (nameLabel);
    addAndMakeVisible (detailLabel);
}

void HeaderCard::resized()
{
    const auto h = (float) getHeight();
    if (photo != nullptr)
        photo->setFrame (fromBottomLeft (11.0f, 11.0f, 46.0f, 46.0f, h));
    connectedLabel.setBounds (fromBottomLeft (textX, 42.0f, textWidth, 15.0f, h).toNearestInt());
    nameLabel.setBounds (fromBottomLeft (textX, 24.0f, textWidth, 20.0f, h).toNearestInt());
    detailLabel.setBounds (fromBottomLeft (textX, 9.0f, textWidth, 15.0f, h).toNearestInt());
}

void HeaderCard::paint (juce::Graphics& g)
{
    // A layer border is drawn inside the layer's bounds.
    const auto bounds = getLocalBounds().toFloat();
    g.setColour (grey (0.14f));
    g.fillRoundedRectangle (bounds, cardRadius);
    g.setColour (grey (0.22f));
    g.drawRoundedRectangle (bounds.reduced (0.5f), cardRadius - 0.5f, 1.0f);
}

//==============================================================================
DevicePanel::DevicePanel (DeviceInstance& console)
    : device (&console), header (console)
{
    setSize ((int) panelWidth, (int) panelHeight);

    header.setBounds (fromBottomLeft (15.0f, panelHeight - cardHeight, cardWidth, cardHeight, panelHeight).toNearestInt());
    addAndMakeVisible (header);

    const auto& looks = slotLooks();
    slotRows.reserve (4);
    for (int32_t s = 0; s < 4; ++s)
    {
        const auto& look = looks[(size_t) s % looks.size()];
        auto row = std::make_unique<SlotRowView> (s, look.name, look.accent);
        row->setBounds (fromBottomLeft (15.0f + 77.0f * (float) s, 0.0f, 68.0f, 90.0f, panelHeight).toNearestInt());
        addAndMakeVisible (*row);
        slotRows.push_back (std::move (row));
    }
}

juce::String DevicePanel::detailText (const std::string& serial, const std::string& firmware)
{
    if (serial.empty())
        return {};

    // The probe lets through any printable UTF-8 below 128 bytes, which may
    // still hold direction overrides and line separators: those go as in
    // any other name from outside. The label clips the length.
    auto text = "S/N " + safeMenuText (serial, 128);
    if (! firmware.empty())
        text = text + juce::String::fromUTF8 (" \xC2\xB7 FW ") + juce::String::fromUTF8 (firmware.c_str());
    return text;
}

} // namespace loomwell::ui
