#include "SlotRowView.h"
#include "Frames.h"

namespace loomwell::ui
{
namespace
{

constexpr float labelHeight = 15.0f;
constexpr float cardGap = 4.0f;
constexpr float cornerRadius = 11.0f;

constexpr float trackWidthFactor = 0.7f;
constexpr float trackBottom = 7.0f;
constexpr float trackHeight = 4.5f;
constexpr float trackRadius = 2.0f;
constexpr float trackVisibleAbove = 0.001f;
constexpr float meterVisibleAbove = 0.001f;
constexpr float plusVisibleAbove = 0.01f;

constexpr float meterDecay = 0.85f;
constexpr float trackEasing = 0.25f;
constexpr float trackSnap = 0.001f;
constexpr float plusEasing = 0.12f;
constexpr float plusSnap = 0.01f;
constexpr double plusHoldOffSeconds = 0.5;

constexpr double bounceSeconds = 0.3;
constexpr double bounceStaggerSeconds = 0.05;
constexpr double removeIconSeconds = 0.2;
constexpr double removePoofSeconds = 0.25;
constexpr int removeIconCompletionMs = 200;
constexpr int removePoofCompletionMs = 120;

constexpr int animationHz = 60;

juce::Font sizedFont (float points, const char* style)
{
    return juce::Font (juce::Font::getDefaultSansSerifFontName(), style, 12.0f).withPointHeight (points);
}

juce::Image renderGlyph (const juce::Path& path)
{
    constexpr int pixels = 106; // two pixels per point at the largest icon size
    juce::Image image (juce::Image::ARGB, pixels, pixels, true);
    juce::Graphics g (image);
    g.setColour (juce::Colours::white);
    g.fillPath (path, path.getTransformToScaleToFit (juce::Rectangle<float> (0, 0, (float) pixels, (float) pixels).reduced (6.0f), true));
    return image;
}

} // namespace

juce::Image microphoneGlyph()
{
    static const auto image = []
    {
        juce::Path p;
        p.addRoundedRectangle (35.0f, 8.0f, 30.0f, 52.0f, 15.0f);
        // The holder: a U around the capsule, as a stroked arc.
        juce::Path holder;
        holder.startNewSubPath (25.0f, 44.0f);
        holder.cubicTo (25.0f, 62.0f, 35.0f, 72.0f, 50.0f, 72.0f);
        holder.cubicTo (65.0f, 72.0f, 75.0f, 62.0f, 75.0f, 44.0f);
        juce::PathStrokeType (6.0f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded).createStrokedPath (holder, holder);
        p.addPath (holder);
        p.addRoundedRectangle (47.0f, 72.0f, 6.0f, 14.0f, 1.0f);
        p.addRoundedRectangle (34.0f, 86.0f, 32.0f, 6.0f, 3.0f);
        p.setUsingNonZeroWinding (true);
        return renderGlyph (p);
    }();
    return image;
}

juce::Image appsGlyph()
{
    static const auto image = []
    {
        juce::Path p;
        for (const auto x : { 10.0f, 54.0f })
            for (const auto y : { 10.0f, 54.0f })
                p.addRoundedRectangle (x, y, 36.0f, 36.0f, 8.0f);
        return renderGlyph (p);
    }();
    return image;
}

juce::Image speakerGlyph()
{
    static const auto image = []
    {
        juce::Path p;
        p.addRoundedRectangle (8.0f, 36.0f, 18.0f, 28.0f, 3.0f);
        p.startNewSubPath (22.0f, 36.0f);
        p.lineTo (46.0f, 16.0f);
        p.quadraticTo (52.0f, 12.0f, 52.0f, 20.0f);
        p.lineTo (52.0f, 80.0f);
        p.quadraticTo (52.0f, 88.0f, 46.0f, 84.0f);
        p.lineTo (22.0f, 64.0f);
        p.closeSubPath();
        const juce::PathStrokeType wave (6.0f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded);
        for (const auto radius : { 16.0f, 30.0f })
        {
            juce::Path arc, stroked;
            arc.addCentredArc (52.0f, 50.0f, radius, radius, 0.0f,
                               juce::MathConstants<float>::pi * 0.22f, juce::MathConstants<float>::pi * 0.78f, true);
            wave.createStrokedPath (stroked, arc);
            p.addPath (stroked);
        }
        p.setUsingNonZeroWinding (true);
        return renderGlyph (p);
    }();
    return image;
}

//==============================================================================
SlotIconView::SlotIconView()
{
    setInterceptsMouseClicks (false, false);
}

void SlotIconView::setFrame (juce::Rectangle<float> frameInRow)
{
    frame = frameInRow;
    setBounds (frameInRow.getSmallestIntegerContainer());
}

void SlotIconView::paint (juce::Graphics& g)
{
    if (! image.isValid())
        return;

    const auto scale = currentScale();
    if (scale <= 0.0f)
        return;

    // The exact frame, in this component's coordinates, scaled about its centre.
    const auto local = frame - getPosition().toFloat();
    const auto drawn = local.withSizeKeepingCentre (local.getWidth() * scale, local.getHeight() * scale);

    if (tint.has_value())
    {
        g.setColour (*tint);
        g.drawImage (image, drawn, juce::RectanglePlacement::centred, true);
    }
    else
    {
        g.setOpacity (1.0f);
        g.drawImage (image, drawn, juce::RectanglePlacement::centred, false);
    }
}

//==============================================================================
SlotRowView::SlotRowView (int32_t index, const juce::String& name, juce::Colour accent)
    : slotIndex (index), accentColor (accent), slotName (name), appIcons (defaultAppIconLookup())
{
    setSize (0, 0);
    slotLabel.setText (slotName, juce::dontSendNotification);
    slotLabel.setFont (sizedFont (12.0f, "Medium"));
    slotLabel.setColour (juce::Label::textColourId, grey (0.5f));
    slotLabel.setJustificationType (juce::Justification::centred);
    slotLabel.setBorderSize ({});
    slotLabel.setInterceptsMouseClicks (false, false);
    addAndMakeVisible (slotLabel);
    setRepaintsOnMouseActivity (false);
}

SlotRowView::~SlotRowView()
{
    stopTimer();
}

juce::Font SlotRowView::plusFont()
{
    return sizedFont (31.0f, "Light");
}

double SlotRowView::cardHeight() const
{
    return getHeight() - labelHeight - cardGap;
}

juce::Rectangle<float> SlotRowView::cardRect() const
{
    return { 0.0f, labelHeight + cardGap, (float) getWidth(), (float) cardHeight() };
}

void SlotRowView::resized()
{
    slotLabel.setBounds (fromBottomLeft (0.0f, 0.0f, (float) getWidth(), labelHeight, (float) getHeight()).toNearestInt());
    layoutIconStack();
}

void SlotRowView::layoutIconStack()
{
    const auto n = iconViews.size();
    if (n == 0)
        return;

    const auto card = cardRect();
    const auto cx = card.getX() + card.getWidth() / 2.0f;
    const auto cy = card.getY() + card.getHeight() / 2.0f + 4.0f;
    const auto h = (float) getHeight();

    if (n == 1)
    {
        iconViews[0]->setFrame (fromBottomLeft (cx - 26.5f, cy - 26.5f, 53.0f, 53.0f, h));
        return;
    }

    const float top = n < 3 ? 0.0f : 1.0f;
    const float d = n < 3 ? 13.0f : 27.5f;
    for (size_t i = 0; i < n; ++i)
    {
        const auto column = (float) (i % 2);
        const auto row = top - (float) (i / 2);
        iconViews[i]->setFrame (fromBottomLeft (cx - 27.5f + 29.0f * column, cy - d + 29.0f * row, 26.0f, 26.0f, h));
    }
}

void SlotRowView::paint (juce::Graphics& g)
{
    const auto h = (float) getHeight();
    const auto cardBL = cardRect();
    const auto card = fromBottomLeft (cardBL, h);

    g.setColour (grey (0.18f));
    g.fillRoundedRectangle (card, cornerRadius);
    g.setColour (grey (0.35f, hovering ? 0.45f : 0.22f));
    // A 1-point line centred on the path, like a stroked path on the card.
    juce::Path outline;
    outline.addRoundedRectangle (card, cornerRadius);
    g.strokePath (outline, juce::PathStrokeType (1.0f));

    if (displayTrackScale > trackVisibleAbove)
    {
        const auto tw = displayTrackScale * trackWidthFactor * cardBL.getWidth();
        const auto x = cardBL.getX() + (cardBL.getWidth() - tw) / 2.0f;
        const auto y = cardBL.getY() + trackBottom;
        g.setColour (grey (0.12f));
        g.fillRoundedRectangle (fromBottomLeft (x, y, tw, trackHeight, h), trackRadius);

        if (displayMeter > meterVisibleAbove)
        {
            g.setColour (meterGreen());
            g.fillRoundedRectangle (fromBottomLeft (x, y, tw * std::min (displayMeter, 1.0f), trackHeight, h), trackRadius);
        }
    }
    else if (displayPlusScale > plusVisibleAbove)
    {
        const auto font = plusFont();
        const auto w = font.getStringWidthFloat ("+");
        const auto th = font.getHeight();
        const auto x = cardBL.getX() + (cardBL.getWidth() - w) / 2.0f;
        const auto y = cardBL.getY() + (cardBL.getHeight() - th) / 2.0f;
        g.setColour (grey (0.4f, displayPlusScale * (hovering ? 0.7f : 0.4f)));
        g.setFont (font);
        g.drawText ("+", fromBottomLeft (x, y, w, th, h), juce::Justification::centred, false);
    }
}

void SlotRowView::setHovering (bool isInside)
{
    hovering = isInside;
    repaint();
}

void SlotRowView::mouseEnter (const juce::MouseEvent&) { setHovering (true); }
void SlotRowView::mouseExit (const juce::MouseEvent&) { setHovering (false); }
void SlotRowView::mouseDown (const juce::MouseEvent&) { handleMouseDown(); }

void SlotRowView::handleMouseDown()
{
    if (onClick)
        onClick (slotIndex);
}

void SlotRowView::updateMeterLevel (float level)
{
    const auto d = displayMeter;
    displayMeter = d > level ? meterDecay * d + (1.0f - meterDecay) * level : level;

    const auto trackTarget = slotActive ? 1.0f : 0.0f;
    const auto t = displayTrackScale;
    displayTrackScale = std::abs (t - trackTarget) > trackSnap ? t + (trackTarget - t) * trackEasing : trackTarget;

    const auto plusTarget = slotActive ? 0.0f : 1.0f;
    if (! slotActive && deactivatedAt > 0.0 && mediaTime() - deactivatedAt < plusHoldOffSeconds)
    {
        displayPlusScale = 0.0f;
    }
    else
    {
        const auto p = displayPlusScale;
        displayPlusScale = std::abs (p - plusTarget) > plusSnap ? p + (plusTarget - p) * plusEasing : plusTarget;
    }

    repaint();
}

void SlotRowView::updateWithBundleIds (const std::vector<std::string>& ids, bool active)
{
    const auto wasActive = slotActive;
    slotActive = active;
    if (wasActive && ! active)
        deactivatedAt = mediaTime();

    appCount = ids.size();
    currentBundleIds = ids;
    std::vector<size_t> toBounce;

    while (iconViews.size() > ids.size())
    {
        removeChildComponent (iconViews.back().get());
        iconViews.pop_back();
    }

    for (size_t i = 0; i < ids.size(); ++i)
    {
        const bool isNew = i >= iconViews.size();
        if (isNew)
        {
            iconViews.push_back (std::make_unique<SlotIconView>());
            addChildComponent (*iconViews.back());
        }
        auto& icon = *iconViews[i];
        const auto& id = ids[i];

        juce::Image image;
        std::optional<juce::Colour> tint;
        if (id.rfind ("hw:", 0) == 0)
        {
            image = microphoneGlyph();
            icon.setDescription ("Input Device");
            tint = grey (0.7f);
        }
        else if (id.rfind ("out:", 0) == 0)
        {
            image = speakerGlyph();
            icon.setDescription ("Output Device");
            tint = grey (0.7f);
        }
        else
        {
            image = appIcons ? appIcons (id) : juce::Image();
            if (! image.isValid())
            {
                icon.setTint (std::nullopt);
                icon.setVisible (false);
                continue;
            }
        }

        icon.setTint (tint);
        icon.setImage (image);
        icon.setVisible (true);
        if (isNew || (! wasActive && active))
            toBounce.push_back (i);
    }

    if (! active || ids.empty())
    {
        for (auto& icon : iconViews)
            removeChildComponent (icon.get());
        iconViews.clear();
        displayMeter = 0.0f;
    }

    slotLabel.setText (slotName, juce::dontSendNotification);
    layoutIconStack();

    for (const auto i : toBounce)
        bounceIcon (i);

    repaint();
}

void SlotRowView::bounceIcon (size_t index)
{
    if (index >= iconViews.size())
        return;

    KeyframeAnimation bounce;
    bounce.values = { 0.0f, 1.15f, 0.95f, 1.0f };
    bounce.keyTimes = { 0.0f, 0.4f, 0.7f, 1.0f };
    bounce.duration = bounceSeconds;
    bounce.beginTime = mediaTime() + (double) index * bounceStaggerSeconds;
    bounce.fillBackwards = true;
    iconViews[index]->animations().add ("bounce", bounce);
    startAnimating();
}

void SlotRowView::animateRemovalOfBundleId (const std::string& identifier, std::function<void()> completion)
{
    std::optional<size_t> found;
    if (currentBundleIds.has_value())
        for (size_t i = 0; i < currentBundleIds->size(); ++i)
            if ((*currentBundleIds)[i] == identifier)
            {
                found = i;
                break;
            }

    if (found.has_value() && *found < iconViews.size())
    {
        auto* icon = iconViews[*found].get();
        KeyframeAnimation shrink;
        shrink.values = { 1.0f, 1.1f, 0.0f };
        shrink.keyTimes = { 0.0f, 0.15f, 1.0f };
        shrink.duration = removeIconSeconds;
        shrink.beginTime = mediaTime();
        shrink.fillForwards = true;
        shrink.removedOnCompletion = false;
        icon->animations().add ("removeIcon", shrink);
        startAnimating();

        // The completion removes the source, so it runs even when the row has
        // been rebuilt in the meantime; only the icon's reset needs the icon.
        juce::Component::SafePointer<SlotIconView> safeIcon (icon);
        juce::Timer::callAfterDelay (removeIconCompletionMs, [safeIcon, completion = std::move (completion)]
        {
            if (auto* i = safeIcon.getComponent())
            {
                i->animations().removeAll();
                i->repaint();
            }
            if (completion)
                completion();
        });
        return;
    }

    KeyframeAnimation poof;
    poof.values = { 1.0f, 0.9f, 1.05f, 1.0f };
    poof.keyTimes = { 0.0f, 0.3f, 0.7f, 1.0f };
    poof.duration = removePoofSeconds;
    poof.beginTime = mediaTime();
    rowAnims.add ("removePoof", poof);
    startAnimating();

    juce::Timer::callAfterDelay (removePoofCompletionMs, [completion = std::move (completion)]
    {
        if (completion)
            completion();
    });
}

void SlotRowView::startAnimating()
{
    if (! isTimerRunning())
        startTimerHz (animationHz);
    timerCallback();
}

void SlotRowView::applyRowTransform (double now)
{
    // The row scales about its bottom-left corner, where its layer's anchor
    // point stays.
    const auto s = rowAnims.scaleAt (now);
    const auto t = s == 1.0f ? juce::AffineTransform()
                             : juce::AffineTransform::scale (s, s, (float) getX(), (float) getBottom());
    if (t != rowTransformApplied)
    {
        rowTransformApplied = t;
        setTransform (t);
    }
}

void SlotRowView::timerCallback()
{
    const auto now = mediaTime();
    bool running = rowAnims.advance (now);
    applyRowTransform (now);

    for (auto& icon : iconViews)
    {
        running = icon->animations().advance (now) || running;
        icon->repaint();
    }

    if (! running)
        stopTimer();
}

} // namespace loomwell::ui
