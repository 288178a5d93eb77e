#pragma once

#include "SlotRowView.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>
#include <optional>
#include <vector>

namespace loomwell
{
class DeviceInstance;
}

namespace loomwell::ui
{

// An image drawn proportionally inside a frame that may sit on half points,
// optionally tinted like a template image (its alpha filled with the tint).
class FramedImageView : public juce::Component
{
public:
    FramedImageView (juce::Image image, std::optional<juce::Colour> tint = std::nullopt);

    // Frame in the parent's top-left based coordinates.
    void setFrame (juce::Rectangle<float> frameInParent);
    juce::Rectangle<float> getFrame() const { return frame; }
    const juce::Image& getImage() const { return image; }
    std::optional<juce::Colour> getTint() const { return tint; }

    void paint (juce::Graphics&) override;

private:
    juce::Image image;
    std::optional<juce::Colour> tint;
    juce::Rectangle<float> frame;
};

// The card at the top of a panel: picture, "Connected to", model name and
// the serial and firmware line.
class HeaderCard : public juce::Component
{
public:
    explicit HeaderCard (const DeviceInstance& console);

    FramedImageView* getPhoto() const { return photo.get(); }
    juce::Label& getConnectedLabel() { return connectedLabel; }
    juce::Label& getNameLabel() { return nameLabel; }
    juce::Label& getDetailLabel() { return detailLabel; }

    void resized() override;
    void paint (juce::Graphics&) override;

private:
    std::unique_ptr<FramedImageView> photo;
    juce::Label connectedLabel;
    juce::Label nameLabel;
    juce::Label detailLabel;
};

// One open console in the popover: the header card and its four slot rows.
// The panel is its own view (329 x 167).
//
// It refers to its console without owning it. The popover destroys a panel
// synchronously when the tracker announces that the panel's console is
// about to go (DeviceTracker::Listener), so a live panel always has a live
// console: anything that reaches a console later (the meter tick, a delayed
// completion) goes through a Component::SafePointer to the panel.
class DevicePanel : public juce::Component
{
public:
    explicit DevicePanel (DeviceInstance& console);

    DeviceInstance* device;
    std::vector<std::unique_ptr<SlotRowView>> slotRows;

    juce::Component& view() { return *this; }
    HeaderCard& getHeaderCard() { return header; }

    // "S/N %s" or "S/N %s · FW %s"; empty without a serial.
    static juce::String detailText (const std::string& serial, const std::string& firmware);

private:
    HeaderCard header;

    JUCE_DECLARE_NON_COPYABLE (DevicePanel)
};

// The system sans-serif at a size in points and a style ("Regular",
// "SemiBold", ...); a missing style falls back to the regular face.
juce::Font interfaceFont (float points, const char* style);

} // namespace loomwell::ui
