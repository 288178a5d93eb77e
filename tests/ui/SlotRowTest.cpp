#include "SlotRowView.h"
#include "Frames.h"
#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <set>

using namespace loomwell::ui;
using loomwell::ui::testing::pumpUntil;

namespace
{

class SlotRowTest : public ::testing::Test
{
protected:
    juce::ScopedJuceInitialiser_GUI gui;
    std::set<std::string> installed { "org.example.Player", "org.example.Chat", "org.example.Game", "org.example.Radio" };

    std::unique_ptr<SlotRowView> makeRow (int32_t slot = 2)
    {
        auto row = std::make_unique<SlotRowView> (slot, "A", juce::Colour::fromFloatRGBA (0.353f, 0.784f, 0.98f, 1.0f));
        row->setAppIconLookup ([this] (const std::string& id)
        {
            if (installed.count (id) == 0)
                return juce::Image();
            juce::Image image (juce::Image::ARGB, 32, 32, true);
            image.clear (image.getBounds(), juce::Colours::orange);
            return image;
        });
        row->setBounds (15, 0, 68, 90);
        return row;
    }

    static const KeyframeAnimation* bounceOf (const SlotRowView& row, size_t i)
    {
        return row.getIconViews().at (i)->animations().find ("bounce");
    }
};

juce::Rectangle<float> rect (float x, float y, float w, float h) { return { x, y, w, h }; }

TEST_F (SlotRowTest, CardAndLabelGeometry)
{
    auto row = makeRow();
    EXPECT_DOUBLE_EQ (row->cardHeight(), 71.0);
    EXPECT_EQ (row->cardRect(), rect (0, 19, 68, 71));
    // The label sits along the bottom 15 points, the card above a 4-point gap.
    EXPECT_EQ (row->getSlotLabel().getBounds(), juce::Rectangle<int> (0, 75, 68, 15));
    EXPECT_EQ (fromBottomLeft (row->cardRect(), 90.0f), rect (0, 0, 68, 71));
    EXPECT_EQ (row->getSlotLabel().getText(), "A");
    EXPECT_FLOAT_EQ (row->getSlotLabel().getFont().getHeightInPoints(), 12.0f);
}

TEST_F (SlotRowTest, IconStackLayoutsForOneToFourIcons)
{
    auto row = makeRow();
    // Frames of the design (bottom-left origin) as JUCE sees them in a 90-point row.
    auto frames = [&]
    {
        std::vector<juce::Rectangle<float>> out;
        for (auto& icon : row->getIconViews())
            out.push_back (fromBottomLeft (icon->getFrame(), 90.0f)); // back to the design's space
        return out;
    };

    row->updateWithBundleIds ({ "org.example.Player" }, true);
    EXPECT_EQ (frames(), (std::vector { rect (7.5f, 32, 53, 53) }));

    row->updateWithBundleIds ({ "org.example.Player", "org.example.Chat" }, true);
    EXPECT_EQ (frames(), (std::vector { rect (6.5f, 45.5f, 26, 26), rect (35.5f, 45.5f, 26, 26) }));

    row->updateWithBundleIds ({ "org.example.Player", "org.example.Chat", "hw:mic-1" }, true);
    EXPECT_EQ (frames(), (std::vector { rect (6.5f, 60, 26, 26), rect (35.5f, 60, 26, 26), rect (6.5f, 31, 26, 26) }));

    row->updateWithBundleIds ({ "org.example.Player", "org.example.Chat", "hw:mic-1", "out:spk" }, true);
    EXPECT_EQ (frames(), (std::vector { rect (6.5f, 60, 26, 26), rect (35.5f, 60, 26, 26),
                                        rect (6.5f, 31, 26, 26), rect (35.5f, 31, 26, 26) }));
    // In JUCE's coordinates the single icon is 5 points from the top.
    row->updateWithBundleIds ({ "org.example.Player" }, true);
    EXPECT_EQ (row->getIconViews()[0]->getFrame(), rect (7.5f, 5, 53, 53));
}

TEST_F (SlotRowTest, IdentifiersGiveGlyphsAppIconsOrHiddenViews)
{
    auto row = makeRow();
    row->updateWithBundleIds ({ "hw:alsa_input.usb-mic", "out:alsa_output.pci", "org.example.Player", "org.unknown.App" }, true);

    const auto& icons = row->getIconViews();
    ASSERT_EQ (icons.size(), 4u);
    EXPECT_EQ (row->getAppCount(), 4u);

    EXPECT_TRUE (icons[0]->isVisible());
    EXPECT_EQ (icons[0]->getTint(), grey (0.7f));
    EXPECT_EQ (icons[0]->getDescription(), "Input Device");
    EXPECT_TRUE (icons[0]->getImage().isValid());

    EXPECT_TRUE (icons[1]->isVisible());
    EXPECT_EQ (icons[1]->getTint(), grey (0.7f));
    EXPECT_EQ (icons[1]->getDescription(), "Output Device");
    EXPECT_NE (icons[0]->getImage().getPixelData(), icons[1]->getImage().getPixelData());

    EXPECT_TRUE (icons[2]->isVisible());
    EXPECT_FALSE (icons[2]->getTint().has_value());
    EXPECT_EQ (icons[2]->getImage().getPixelAt (16, 16), juce::Colours::orange);

    // Not installed: the place is kept, but nothing is shown there.
    EXPECT_FALSE (icons[3]->isVisible());
    EXPECT_FALSE (icons[3]->getTint().has_value());
}

TEST_F (SlotRowTest, HiddenIconsStillCountInTheLayout)
{
    auto row = makeRow();
    row->updateWithBundleIds ({ "org.unknown.App", "org.example.Player" }, true);
    const auto& icons = row->getIconViews();
    ASSERT_EQ (icons.size(), 2u);
    EXPECT_FALSE (icons[0]->isVisible());
    EXPECT_TRUE (icons[1]->isVisible());
    EXPECT_EQ (fromBottomLeft (icons[1]->getFrame(), 90.0f), rect (35.5f, 45.5f, 26, 26));
    // A hidden icon does not bounce.
    EXPECT_EQ (bounceOf (*row, 0), nullptr);
    EXPECT_NE (bounceOf (*row, 1), nullptr);
}

TEST_F (SlotRowTest, BouncesOnActivationAndForNewIconsOnly)
{
    auto row = makeRow();
    const auto before = mediaTime();
    row->updateWithBundleIds ({ "org.example.Player", "org.example.Chat" }, true);

    const auto* first = bounceOf (*row, 0);
    const auto* second = bounceOf (*row, 1);
    ASSERT_NE (first, nullptr);
    ASSERT_NE (second, nullptr);
    EXPECT_GE (first->beginTime, before);
    EXPECT_NEAR (second->beginTime - first->beginTime, 0.05, 1e-3);
    EXPECT_EQ (first->values, (std::vector { 0.0f, 1.15f, 0.95f, 1.0f }));
    EXPECT_EQ (first->keyTimes, (std::vector { 0.0f, 0.4f, 0.7f, 1.0f }));
    EXPECT_DOUBLE_EQ (first->duration, 0.3);
    EXPECT_TRUE (first->fillBackwards);
    // Before its start the icon is held at scale 0.
    EXPECT_FLOAT_EQ (second->valueAt (second->beginTime - 0.01), 0.0f);
    EXPECT_FLOAT_EQ (first->valueAt (first->beginTime + 0.12), 1.15f);

    // The same list again: views are reused and nothing bounces again.
    pumpUntil ([&] { return bounceOf (*row, 0) == nullptr && bounceOf (*row, 1) == nullptr; });
    ASSERT_EQ (bounceOf (*row, 0), nullptr);
    row->updateWithBundleIds ({ "org.example.Player", "org.example.Chat" }, true);
    EXPECT_EQ (bounceOf (*row, 0), nullptr);
    EXPECT_EQ (bounceOf (*row, 1), nullptr);

    // One more: only the new third icon bounces, 100 ms late.
    const auto now = mediaTime();
    row->updateWithBundleIds ({ "org.example.Player", "org.example.Chat", "org.example.Game" }, true);
    EXPECT_EQ (bounceOf (*row, 0), nullptr);
    EXPECT_EQ (bounceOf (*row, 1), nullptr);
    ASSERT_NE (bounceOf (*row, 2), nullptr);
    EXPECT_NEAR (bounceOf (*row, 2)->beginTime - now, 0.1, 0.02);
    // The animation ends at full size and lets go.
    pumpUntil ([&] { return bounceOf (*row, 2) == nullptr; });
    EXPECT_FLOAT_EQ (row->getIconViews()[2]->currentScale(), 1.0f);
}

TEST_F (SlotRowTest, ReusedViewsBounceWhenTheSlotBecomesActive)
{
    auto row = makeRow();
    // Views kept while active (a reused view), then the slot goes inactive
    // with an empty list and active again: every shown icon bounces.
    row->updateWithBundleIds ({ "org.example.Player" }, true);
    pumpUntil ([&] { return bounceOf (*row, 0) == nullptr; });
    row->updateWithBundleIds ({}, false);
    EXPECT_TRUE (row->getIconViews().empty());
    row->updateWithBundleIds ({ "org.example.Player", "hw:mic" }, true);
    EXPECT_NE (bounceOf (*row, 0), nullptr);
    EXPECT_NE (bounceOf (*row, 1), nullptr);
}

TEST_F (SlotRowTest, EmptyListClearsIconsAndMeterEvenWhenActive)
{
    auto row = makeRow();
    row->updateWithBundleIds ({ "org.example.Player", "hw:mic" }, true);
    row->updateMeterLevel (0.8f);
    ASSERT_FLOAT_EQ (row->getDisplayMeter(), 0.8f);

    row->updateWithBundleIds ({}, true);
    EXPECT_TRUE (row->getIconViews().empty());
    EXPECT_EQ (row->getNumChildComponents(), 1); // the label only
    EXPECT_FLOAT_EQ (row->getDisplayMeter(), 0.0f);
    EXPECT_TRUE (row->isSlotActive());
    EXPECT_EQ (row->getAppCount(), 0u);

    // Going inactive stamps the time the slot emptied.
    row->updateWithBundleIds ({ "hw:mic" }, true);
    const auto before = mediaTime();
    row->updateWithBundleIds ({}, false);
    EXPECT_GE (row->getDeactivatedAt(), before);
}

TEST_F (SlotRowTest, RemovalOfAShownIconShrinksItThenCallsBack)
{
    auto row = makeRow();
    row->updateWithBundleIds ({ "org.example.Player", "org.example.Chat" }, true);

    int calls = 0;
    const auto start = mediaTime();
    double calledAt = 0;
    row->animateRemovalOfBundleId ("org.example.Chat", [&] { ++calls; calledAt = mediaTime(); });

    const auto* shrink = row->getIconViews()[1]->animations().find ("removeIcon");
    ASSERT_NE (shrink, nullptr);
    EXPECT_EQ (shrink->values, (std::vector { 1.0f, 1.1f, 0.0f }));
    EXPECT_EQ (shrink->keyTimes, (std::vector { 0.0f, 0.15f, 1.0f }));
    EXPECT_DOUBLE_EQ (shrink->duration, 0.2);
    EXPECT_EQ (row->rowAnimations().find ("removePoof"), nullptr);

    ASSERT_TRUE (pumpUntil ([&] { return calls > 0; }));
    EXPECT_GE (calledAt - start, 0.195);
    EXPECT_EQ (calls, 1);
    // The icon is reset to its normal size once the completion runs.
    EXPECT_TRUE (row->getIconViews()[1]->animations().empty());
}

TEST_F (SlotRowTest, RemovalOfAnIdentifierNotShownPulsesTheRow)
{
    auto row = makeRow();
    // Device sources are listed as "hw:<id>", so their bare id is not found.
    row->updateWithBundleIds ({ "hw:alsa_input.usb-mic" }, true);

    int calls = 0;
    const auto start = mediaTime();
    double calledAt = 0;
    row->animateRemovalOfBundleId ("alsa_input.usb-mic", [&] { ++calls; calledAt = mediaTime(); });

    const auto* poof = row->rowAnimations().find ("removePoof");
    ASSERT_NE (poof, nullptr);
    EXPECT_EQ (poof->values, (std::vector { 1.0f, 0.9f, 1.05f, 1.0f }));
    EXPECT_DOUBLE_EQ (poof->duration, 0.25);
    EXPECT_EQ (row->getIconViews()[0]->animations().find ("removeIcon"), nullptr);

    ASSERT_TRUE (pumpUntil ([&] { return calls > 0; }));
    EXPECT_GE (calledAt - start, 0.115);
    EXPECT_EQ (calls, 1);

    // Without a completion nothing is called and nothing breaks; the row's
    // own pulse ends and removes itself.
    row->animateRemovalOfBundleId ("nothing", nullptr);
    ASSERT_TRUE (pumpUntil ([&] { return row->rowAnimations().empty(); }));
    EXPECT_TRUE (row->getTransform().isIdentity());
}

TEST_F (SlotRowTest, CompletionRunsEvenWhenTheRowIsGone)
{
    auto row = makeRow();
    row->updateWithBundleIds ({ "org.example.Player" }, true);
    int calls = 0;
    row->animateRemovalOfBundleId ("org.example.Player", [&] { ++calls; });
    row.reset();
    ASSERT_TRUE (pumpUntil ([&] { return calls > 0; }));
    EXPECT_EQ (calls, 1);
}

TEST_F (SlotRowTest, MouseDownCallsOnClickOnceWithTheSlotIndex)
{
    auto row = makeRow (3);
    // Without a callback a click does nothing.
    row->handleMouseDown();

    std::vector<int32_t> clicks;
    row->onClick = [&] (int32_t slot) { clicks.push_back (slot); };

    auto source = juce::Desktop::getInstance().getMainMouseSource();
    const juce::MouseEvent down (source, { 30.0f, 40.0f }, {}, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f,
                                 row.get(), row.get(), juce::Time::getCurrentTime(), { 30.0f, 40.0f },
                                 juce::Time::getCurrentTime(), 1, false);
    row->mouseDown (down);
    EXPECT_EQ (clicks, (std::vector<int32_t> { 3 }));

    // Icons and label leave the clicks to the row.
    row->updateWithBundleIds ({ "org.example.Player" }, true);
    row->setVisible (true);
    EXPECT_EQ (row->getComponentAt (juce::Point<int> (34, 30)), row.get()); // over the icon
    EXPECT_EQ (row->getComponentAt (juce::Point<int> (34, 82)), row.get()); // over the label
}

//==============================================================================
// The per-tick step of the meter, the track and the "+".

TEST_F (SlotRowTest, MeterRisesAtOnceAndDecays)
{
    auto row = makeRow();
    row->updateMeterLevel (0.5f);
    EXPECT_FLOAT_EQ (row->getDisplayMeter(), 0.5f);
    row->updateMeterLevel (0.2f);
    EXPECT_NEAR (row->getDisplayMeter(), 0.455f, 1e-6);

    auto other = makeRow();
    other->updateMeterLevel (0.2f);
    other->updateMeterLevel (0.5f);
    EXPECT_FLOAT_EQ (other->getDisplayMeter(), 0.5f);

    other->updateMeterLevel (1.7f);
    EXPECT_FLOAT_EQ (other->getDisplayMeter(), 1.7f);
}

TEST_F (SlotRowTest, TrackGrowsInOnTheTwentySixthTickAndPlusFadesOnTheThirtyEighth)
{
    auto row = makeRow();
    row->updateWithBundleIds ({ "hw:mic" }, true);
    int trackFull = 0, plusGone = 0;
    for (int tick = 1; tick <= 60; ++tick)
    {
        row->updateMeterLevel (0.0f);
        if (trackFull == 0 && row->getDisplayTrackScale() == 1.0f)
            trackFull = tick;
        if (plusGone == 0 && row->getDisplayPlusScale() == 0.0f)
            plusGone = tick;
    }
    EXPECT_EQ (trackFull, 26);
    EXPECT_EQ (plusGone, 38);
}

TEST_F (SlotRowTest, PlusHeldOffForHalfASecondAfterTheSlotEmpties)
{
    auto row = makeRow();
    row->updateWithBundleIds ({ "hw:mic" }, true);
    for (int tick = 0; tick < 60; ++tick)
        row->updateMeterLevel (0.0f);

    row->updateWithBundleIds ({}, false);
    row->updateMeterLevel (0.0f);
    EXPECT_FLOAT_EQ (row->getDisplayPlusScale(), 0.0f);
    EXPECT_FLOAT_EQ (row->getDisplayTrackScale(), 0.75f);

    // Once 0.5 s have passed the "+" eases in at 12 % per tick.
    row->setDeactivatedAt (mediaTime() - 0.51);
    row->updateMeterLevel (0.0f);
    EXPECT_NEAR (row->getDisplayPlusScale(), 0.12f, 1e-6);
    row->updateMeterLevel (0.0f);
    EXPECT_NEAR (row->getDisplayPlusScale(), 0.12f + 0.88f * 0.12f, 1e-6);
}

//==============================================================================
// What a person sees: the row drawn off-screen.

struct Drawn
{
    juce::Image image;

    static float brightness (juce::Colour c) { return c.getFloatRed() * 0.3f + c.getFloatGreen() * 0.59f + c.getFloatBlue() * 0.11f; }
    static bool isGreen (juce::Colour c) { return c.getGreen() > 150 && c.getRed() < 120 && c.getBlue() < 120; }

    // Pixels clearly brighter than the card inside an area.
    int brightPixels (juce::Rectangle<int> area, float above = 0.26f) const
    {
        int n = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                if (brightness (image.getPixelAt (x, y)) > above)
                    ++n;
        return n;
    }

    // The widest run of green pixels in row y.
    int greenRun (int y) const
    {
        int best = 0, run = 0;
        for (int x = 0; x < image.getWidth(); ++x)
        {
            run = isGreen (image.getPixelAt (x, y)) ? run + 1 : 0;
            best = std::max (best, run);
        }
        return best;
    }
};

Drawn draw (SlotRowView& row)
{
    // Over the popover's background, as the row is seen.
    juce::Image image (juce::Image::ARGB, row.getWidth(), row.getHeight(), true);
    juce::Graphics g (image);
    g.fillAll (grey (0.1f));
    row.paintEntireComponent (g, true);
    return { image };
}

// In JUCE's coordinates the card spans y 0..71; the track is 7 points above
// the card's bottom edge and 4.5 high: y 59.5..64. The card's middle is
// where the "+" is.
const juce::Rectangle<int> plusArea (24, 22, 20, 28);
constexpr int trackRow = 62;

TEST_F (SlotRowTest, PlusIsDrawnOnlyWhenTheTrackIsGone)
{
    auto row = makeRow();
    auto empty = draw (*row);
    EXPECT_GT (empty.brightPixels (plusArea), 10);
    EXPECT_EQ (empty.greenRun (trackRow), 0);

    row->setDisplayTrackScale (0.0005f); // below the track's threshold
    EXPECT_GT (draw (*row).brightPixels (plusArea), 10);

    row->setDisplayTrackScale (0.3f); // track shown: no "+"
    EXPECT_EQ (draw (*row).brightPixels (plusArea), 0);

    row->setDisplayTrackScale (0.0f);
    row->setDisplayPlusScale (0.005f); // faded out below its own threshold
    EXPECT_EQ (draw (*row).brightPixels (plusArea), 0);
}

TEST_F (SlotRowTest, GreenBarFollowsTheMeterAndStopsAtTheTrackEnd)
{
    auto row = makeRow();
    row->setDisplayTrackScale (1.0f);

    row->setDisplayMeter (0.0f);
    EXPECT_EQ (draw (*row).greenRun (trackRow), 0);

    // Full track: 0.7 x 68 = 47.6 points, starting at 10.2.
    row->setDisplayMeter (0.5f);
    const auto half = draw (*row);
    EXPECT_NEAR (half.greenRun (trackRow), 23.8, 2.0);
    EXPECT_TRUE (Drawn::isGreen (half.image.getPixelAt (12, trackRow)));   // grows from the left end
    EXPECT_FALSE (Drawn::isGreen (half.image.getPixelAt (45, trackRow)));

    row->setDisplayMeter (1.8f);
    const auto over = draw (*row);
    EXPECT_NEAR (over.greenRun (trackRow), 47.6, 2.0);
    EXPECT_FALSE (Drawn::isGreen (over.image.getPixelAt (59, trackRow)));

    // A half-grown track halves the bar with it.
    row->setDisplayTrackScale (0.5f);
    row->setDisplayMeter (1.0f);
    EXPECT_NEAR (draw (*row).greenRun (trackRow), 23.8, 2.0);
}

TEST_F (SlotRowTest, HoverBrightensTheCardOutlineAndThePlus)
{
    auto row = makeRow();
    const auto plain = draw (*row);
    row->setHovering (true);
    const auto hovered = draw (*row);
    row->setHovering (false);

    // The outline along the card's left edge, half-way down: the stroke is
    // faint by design (grey 0.35 at alpha 0.45 instead of 0.22 over the card).
    EXPECT_GT (Drawn::brightness (hovered.image.getPixelAt (0, 35)), Drawn::brightness (plain.image.getPixelAt (0, 35)) + 0.01f);
    // Inside the card nothing else changes but the "+".
    EXPECT_EQ (hovered.image.getPixelAt (10, 10), plain.image.getPixelAt (10, 10));
    EXPECT_GT (hovered.brightPixels (plusArea, 0.3f), plain.brightPixels (plusArea, 0.3f));
}

TEST_F (SlotRowTest, IconsAreDrawnTintedAndHiddenOnesAreNot)
{
    auto row = makeRow();
    row->updateWithBundleIds ({ "hw:mic" }, true);
    pumpUntil ([&] { return row->getIconViews()[0]->animations().empty(); });
    const auto withMic = draw (*row);
    // The microphone glyph in grey 0.7 over the card.
    int light = 0;
    for (int y = 5; y < 58; ++y)
        for (int x = 8; x < 61; ++x)
            if (const auto c = withMic.image.getPixelAt (x, y); Drawn::brightness (c) > 0.6f && std::abs (c.getRed() - c.getBlue()) < 3)
                ++light;
    EXPECT_GT (light, 100);

    row->updateWithBundleIds ({ "org.unknown.App" }, true);
    const auto hidden = draw (*row);
    EXPECT_EQ (hidden.brightPixels ({ 8, 5, 53, 53 }, 0.3f), 0);
}

} // namespace
