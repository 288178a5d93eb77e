#pragma once

#include "AppIcons.h"
#include "Animation.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace loomwell::ui
{

// One source's icon in a slot row. It draws its image at its exact frame
// (frames may sit on half points) and scales it about its centre for the
// bounce and removal animations.
class SlotIconView : public juce::Component
{
public:
    SlotIconView();

    void setImage (juce::Image newImage) { image = std::move (newImage); repaint(); }
    const juce::Image& getImage() const { return image; }
    void setTint (std::optional<juce::Colour> newTint) { tint = newTint; repaint(); }
    std::optional<juce::Colour> getTint() const { return tint; }

    // Frame in the row's (top-left based) coordinates.
    void setFrame (juce::Rectangle<float> frameInRow);
    juce::Rectangle<float> getFrame() const { return frame; }

    AnimationSet& animations() { return anims; }
    const AnimationSet& animations() const { return anims; }
    float currentScale() const { return anims.scaleAt (mediaTime()); }

    void paint (juce::Graphics&) override;

private:
    juce::Image image;
    std::optional<juce::Colour> tint;
    juce::Rectangle<float> frame;
    AnimationSet anims;
};

// The view of one slot of one console: a rounded card with the icons of the
// slot's sources, the slot name under it, a "+" while the slot is empty and a
// thin level meter while it is in use. It knows nothing of consoles; the
// popover feeds it identifiers and levels on the message thread.
class SlotRowView : public juce::Component, private juce::Timer
{
public:
    SlotRowView (int32_t slotIndex, const juce::String& slotName, juce::Colour accentColor);
    ~SlotRowView() override;

    // Where application icons come from; the freedesktop lookup by default.
    void setAppIconLookup (AppIconLookup lookup) { appIcons = std::move (lookup); }

    std::function<void (int32_t)> onClick;

    int32_t getSlotIndex() const { return slotIndex; }
    bool isSlotActive() const { return slotActive; }
    juce::Label& getSlotLabel() { return slotLabel; }
    const std::vector<std::unique_ptr<SlotIconView>>& getIconViews() const { return iconViews; }
    juce::Colour getAccentColor() const { return accentColor; }
    void setAccentColor (juce::Colour c) { accentColor = c; }
    const juce::String& getSlotName() const { return slotName; }
    void setSlotName (const juce::String& name) { slotName = name; }

    float getMeterLevel() const { return meterLevel; }
    void setMeterLevel (float v) { meterLevel = v; }
    float getDisplayMeter() const { return displayMeter; }
    void setDisplayMeter (float v) { displayMeter = v; }
    float getTrackScale() const { return trackScale; }
    void setTrackScale (float v) { trackScale = v; }
    float getDisplayTrackScale() const { return displayTrackScale; }
    void setDisplayTrackScale (float v) { displayTrackScale = v; }
    float getDisplayPlusScale() const { return displayPlusScale; }
    void setDisplayPlusScale (float v) { displayPlusScale = v; }
    double getDeactivatedAt() const { return deactivatedAt; }
    void setDeactivatedAt (double t) { deactivatedAt = t; }
    bool isHovering() const { return hovering; }
    size_t getAppCount() const { return appCount; }
    const std::optional<std::vector<std::string>>& getCurrentBundleIds() const { return currentBundleIds; }

    double cardHeight() const;
    // In the design's bottom-left coordinates: (0, 19, width, cardHeight).
    juce::Rectangle<float> cardRect() const;
    void layoutIconStack();

    void updateMeterLevel (float level);
    void updateWithBundleIds (const std::vector<std::string>& ids, bool active);
    void animateRemovalOfBundleId (const std::string& identifier, std::function<void()> completion);

    // The row's own "removePoof" scale animation.
    const AnimationSet& rowAnimations() const { return rowAnims; }

    void resized() override;
    void paint (juce::Graphics&) override;
    void mouseEnter (const juce::MouseEvent&) override;
    void mouseExit (const juce::MouseEvent&) override;
    void mouseDown (const juce::MouseEvent&) override;

    // Hover as the pointer sets it; for the popover's own tracking too.
    void setHovering (bool isInside);
    // What a mouse-down does.
    void handleMouseDown();

    static juce::Colour meterGreen() { return juce::Colour::fromFloatRGBA (0.18f, 0.82f, 0.29f, 1.0f); }
    static juce::Font plusFont();

private:
    void bounceIcon (size_t index);
    void startAnimating();
    void timerCallback() override;
    void applyRowTransform (double now);

    int32_t slotIndex;
    bool slotActive = false;
    juce::Label slotLabel;
    std::vector<std::unique_ptr<SlotIconView>> iconViews;
    juce::Colour accentColor;
    juce::String slotName;
    float meterLevel = 0.0f;
    float displayMeter = 0.0f;
    float trackScale = 0.0f;
    float displayTrackScale = 0.0f;
    float displayPlusScale = 1.0f;
    double deactivatedAt = 0.0;
    bool hovering = false;
    size_t appCount = 0;
    std::optional<std::vector<std::string>> currentBundleIds;

    AppIconLookup appIcons;
    AnimationSet rowAnims;
    juce::AffineTransform rowTransformApplied;

    JUCE_DECLARE_WEAK_REFERENCEABLE (SlotRowView)
    JUCE_DECLARE_NON_COPYABLE (SlotRowView)
};

// Small monochrome glyphs drawn as paths, white on transparent, for tinting.
juce::Image microphoneGlyph();
juce::Image speakerGlyph();
// Four rounded squares: the applications submenu.
juce::Image appsGlyph();

} // namespace loomwell::ui
