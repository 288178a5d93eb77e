// Names that come from other programs (application names, device
// descriptions) and from USB devices (serials), as the popover and its menus
// show them. The menus go the controller's way: the model it presents, then
// the JUCE menu MenuPresenter makes of it. What is checked is what JUCE is
// asked to measure and to draw, recorded by the look-and-feel, and what the
// drawing looks like next to the same menu or card with plain names.

#include "HostileText.h"
#include "PopoverViewController.h"
#include "SourceMenus.h"
#include "UiTestSupport.h"
#include "VirtualConsoleSuite.h"

#include "DeviceBackends.h"
#include "DeviceInstance.h"
#include "DeviceTracker.h"
#include "JuceEnvironment.h"

#include <gtest/gtest.h>

using namespace loomwell;
using namespace loomwell::ui;
using namespace loomwell::ui::testing;

namespace
{

[[maybe_unused]] const auto* const juceEnvironment =
    ::testing::AddGlobalTestEnvironment (new loomwell::testing::JuceEnvironment);

// What a JUCE menu of the built model would lay out: each item's ideal size
// as the menu window asks for it, and the window's column width.
struct MenuLayout
{
    std::vector<juce::String> texts;
    std::vector<juce::Point<int>> sizes;
    int width = 0;
    int height = 0;
};

MenuLayout layOut (const juce::PopupMenu& menu, juce::LookAndFeel& lf)
{
    MenuLayout layout;
    for (juce::PopupMenu::MenuItemIterator it (menu); it.next();)
    {
        auto& item = it.getItem();
        int w = 80, h = 16;
        if (item.customComponent != nullptr)
            item.customComponent->getIdealSize (w, h);
        else
            lf.getIdealPopupMenuItemSize (item.text, item.isSeparator, -1, w, h);
        layout.texts.push_back (item.text);
        layout.sizes.push_back ({ w, h });
        layout.width = std::max (layout.width, w);
        layout.height += h;
    }
    layout.width += 2 * lf.getPopupMenuBorderSize();
    return layout;
}

// Draws every item of the menu as the menu window does, into one image.
juce::Image drawItems (const juce::PopupMenu& menu, juce::LookAndFeel& lf)
{
    const auto layout = layOut (menu, lf);
    juce::Image image (juce::Image::ARGB, std::max (1, layout.width), std::max (1, layout.height), true);
    juce::Graphics g (image);
    int y = 0;
    size_t index = 0;
    for (juce::PopupMenu::MenuItemIterator it (menu); it.next(); ++index)
    {
        auto& item = it.getItem();
        const auto size = layout.sizes[index];
        if (auto* custom = item.customComponent.get())
        {
            custom->setSize (size.x, size.y);
            g.drawImageAt (custom->createComponentSnapshot (custom->getLocalBounds()), 0, y);
        }
        else
        {
            lf.drawPopupMenuItem (g, { 0, y, size.x, size.y }, item.isSeparator, item.isEnabled, false, false,
                                  item.subMenu != nullptr, item.text, item.shortcutKeyDescription, item.image.get(), nullptr);
        }
        y += size.y;
    }
    return image;
}

// The submenu of the item with that title.
const juce::PopupMenu& submenu (const juce::PopupMenu& menu, const juce::String& title)
{
    for (juce::PopupMenu::MenuItemIterator it (menu); it.next();)
        if (it.getItem().text == title && it.getItem().subMenu != nullptr)
            return *it.getItem().subMenu;
    ADD_FAILURE() << "no submenu " << title;
    static const juce::PopupMenu none;
    return none;
}

int inkRows (const juce::Image& image, juce::Rectangle<int> area)
{
    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
    int rows = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
    {
        bool ink = false;
        for (int x = area.getX(); x < area.getRight() && ! ink; ++x)
            ink = data.getPixelColour (x, y).getAlpha() > 0 && data.getPixelColour (x, y).getBrightness() > 0.5f;
        rows += ink ? 1 : 0;
    }
    return rows;
}

class HostileNames : public VirtualConsoleSuite
{
protected:
    void SetUp() override
    {
        juce::LookAndFeel::setDefaultLookAndFeel (&lf);
        VirtualConsoleSuite::SetUp();
    }

    void TearDown() override
    {
        VirtualConsoleSuite::TearDown();
        juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
    }

    // These consoles alone, none from before.
    void plugInAfresh (std::vector<UsbDeviceAttributes> consoles)
    {
        popover.reset();
        tracker.closeAndDestroyAll();
        plugIn (std::move (consoles));
    }

    // A popover whose menus are kept as the controller presents them.
    PopoverViewController& makePopover (std::vector<CapturableApp> apps, std::vector<InputDevice> inputs)
    {
        SourceActions actions;
        actions.listApps = [apps] { return apps; };
        actions.listInputs = [inputs] { return inputs; };
        actions.startApp = [] (DeviceInstance&, const std::string&, int32_t, std::shared_ptr<RingBuffer>) {};
        actions.startInput = [] (DeviceInstance&, uint32_t, int32_t, std::shared_ptr<RingBuffer>) {};
        actions.removeSource = [] (DeviceInstance& d, uint32_t slot, const std::string& id, int32_t, bool) { d.removeChannel (slot, id); };

        popover = std::make_unique<PopoverViewController>();
        popover->setSourceActions (actions);
        popover->setAppIconLookup ([] (const std::string&) { return juce::Image(); });
        popover->presentMenu = [this] (const MenuModel& menu, juce::Point<int>, MenuPresenter::Chosen, std::function<void()> done)
        {
            shown.push_back (menu);
            done();
        };
        return *popover;
    }

    // The "Slot" menu of slot 0 and the picker of slot 1 of the first
    // console, both as the controller presents them, the picker with its
    // application list in.
    std::pair<MenuModel, MenuModel> menusFor (const std::string& appName, const std::string& deviceName)
    {
        plugInAfresh ({ { "3a7d", "7301", "T1", "0105", std::nullopt } });
        auto& console = *tracker.devices.at (0);
        console.addChannel (0, "org.example.Named", appName);
        console.addInputChannel (0, "named.mic", deviceName, 7);

        auto& p = makePopover ({ { "org.example.Named", appName }, { "org.example.Other", "Other" } },
                               { { 7, deviceName, "named.mic" }, { 9, "USB Mic", "usb.mic" } });
        shown.clear();
        p.slotClickedForDevice (0, 0);
        p.slotClickedForDevice (0, 1);
        EXPECT_EQ (shown.size(), 2u);
        if (shown.size() != 2)
            return {};
        const auto apps = shown[1].entries.at (0).submenu;
        EXPECT_TRUE (pumpUntil ([&] { return apps->entries.size() == 2; }));
        return { shown[0], shown[1] };
    }

    RecordingLookAndFeel lf;
    std::vector<MenuModel> shown;
};

//==============================================================================
TEST_F (HostileNames, MenusShowCleanClippedTextAtThePlainNamesSize)
{
    // The same visible text with and without the hostile bytes between its
    // words, 100 kB each; what stays after cleaning is about as wide.
    const auto [plainSlot, plainPicker] = menusFor (hugeName ("Tone App ", ""), hugeName ("Desk Mic ", ""));
    const auto [slot, picker] = menusFor (hugeName ("Tone App ", hostileBytes()), hugeName ("Desk Mic ", hostileBytes()));
    ASSERT_FALSE (picker.entries.empty());
    ASSERT_FALSE (plainPicker.entries.empty());

    const auto icons = [] (const std::string&) { return juce::Image(); };
    const auto plainSlotMenu = MenuPresenter::build (plainSlot, icons);
    const auto plainPickerMenu = MenuPresenter::build (plainPicker, icons);
    const auto slotMenu = MenuPresenter::build (slot, icons);
    const auto pickerMenu = MenuPresenter::build (picker, icons);

    struct Case
    {
        const char* name;
        const juce::PopupMenu& hostile;
        const juce::PopupMenu& plain;
    };
    const Case cases[] = {
        { "Slot", slotMenu.menu, plainSlotMenu.menu },
        { "Apps", submenu (pickerMenu.menu, menuText::apps), submenu (plainPickerMenu.menu, menuText::apps) },
        { "Input Devices", submenu (pickerMenu.menu, menuText::inputDevices), submenu (plainPickerMenu.menu, menuText::inputDevices) },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto plain = layOut (c.plain, lf);
        lf.clear();
        const auto hostile = layOut (c.hostile, lf);
        const auto image = drawItems (c.hostile, lf);

        // Every text JUCE measured and drew is clean and at most 60
        // characters of the name and an ellipsis ("Remove " in front in the
        // "Slot" menu); the "Apps" list draws its rows itself.
        EXPECT_FALSE (lf.measured.empty());
        EXPECT_FALSE (lf.drawn.empty());
        for (const auto* texts : { &lf.measured, &lf.drawn })
            for (const auto& text : *texts)
                EXPECT_EQ (unsafeIn (text, 7 + 61), "") << text;
        for (const auto& text : lf.drawn)
            EXPECT_TRUE (! (text.contains ("Tone") || text.contains ("Desk")) || text.endsWithChar (0x2026)) << text;

        // One line per item, as wide as the plain names give.
        ASSERT_EQ (hostile.sizes.size(), plain.sizes.size());
        for (size_t i = 0; i < hostile.sizes.size(); ++i)
        {
            EXPECT_EQ (hostile.sizes[i].y, plain.sizes[i].y) << i;
            EXPECT_NEAR (hostile.sizes[i].x, plain.sizes[i].x, plain.sizes[i].x / 8) << i;
        }
        EXPECT_NEAR (hostile.width, plain.width, plain.width / 8);
        EXPECT_LT (hostile.width, 800);
        EXPECT_EQ (hostile.height, plain.height);

        // Drawn, every item inks its own row.
        EXPECT_EQ (image.getHeight(), hostile.height);
        int y = 0;
        for (const auto& size : hostile.sizes)
        {
            EXPECT_TRUE (size.y < 15 || inkRows (image, { 0, y, image.getWidth(), size.y }) > 4) << y;
            y += size.y;
        }
    }
}

//==============================================================================
TEST_F (HostileNames, HeaderShowsTheSerialCleanAndInsideItsCard)
{
    // What the probe lets through to the card: printable UTF-8 below 128
    // bytes, which still holds direction overrides, a line separator and
    // a width of its own.
    const auto wide = std::string ("\xe2\x80\xae") + std::string (60, 'W') + "\xe2\x80\xa8" + std::string (40, 'M') + "\xe2\x81\xa6";
    ASSERT_LT (wide.size(), 128u);

    auto drawPopover = [this] (const std::string& serial)
    {
        plugInAfresh ({ { "3a7d", "7401", serial, "0123", std::nullopt } });
        EXPECT_EQ (tracker.devices.size(), 1u);
        popover = std::make_unique<PopoverViewController>();
        return popover->createComponentSnapshot (popover->getLocalBounds(), true, 2.0f);
    };

    const auto plain = drawPopover ("V1");
    const auto plainSize = popover->getBounds();
    lf.clear();
    const auto hostile = drawPopover (wide);
    ASSERT_EQ (popover->getDevicePanels().size(), 1u);
    auto& panel = *popover->getDevicePanels()[0];
    auto& card = panel.getHeaderCard();
    auto& detail = card.getDetailLabel();

    // The text JUCE drew is clean; the layout is the plain serial's.
    EXPECT_FALSE (lf.labels.empty());
    for (const auto& text : lf.labels)
        EXPECT_EQ (unsafeIn (text, 200), "") << text;
    EXPECT_EQ (unsafeIn (detail.getText(), 200), "");
    EXPECT_TRUE (detail.getText().startsWith ("S/N "));
    EXPECT_EQ (popover->getBounds(), plainSize);
    EXPECT_EQ (panel.getBounds(), juce::Rectangle<int> (0, 15, 329, 167));
    EXPECT_EQ (detail.getBounds(), juce::Rectangle<int> (68, 44, 221, 15));

    // Drawn: only the detail line differs from the plain serial's drawing,
    // on one line of text that reaches the end of its frame.
    ASSERT_EQ (hostile.getBounds(), plain.getBounds());
    const auto detailPixels = popover->getLocalArea (&detail, detail.getLocalBounds()) * 2;
    const juce::Image::BitmapData a (plain, juce::Image::BitmapData::readOnly);
    const juce::Image::BitmapData b (hostile, juce::Image::BitmapData::readOnly);
    int differentOutside = 0, differentInside = 0;
    for (int y = 0; y < plain.getHeight(); ++y)
        for (int x = 0; x < plain.getWidth(); ++x)
            if (a.getPixelColour (x, y) != b.getPixelColour (x, y))
                ++(detailPixels.contains (x, y) ? differentInside : differentOutside);
    EXPECT_EQ (differentOutside, 0);
    EXPECT_GT (differentInside, 100);
    const auto lastColumns = detailPixels.withTrimmedLeft (detailPixels.getWidth() - 40);
    const juce::Image::BitmapData pixels (hostile, juce::Image::BitmapData::readOnly);
    int inkAtTheEnd = 0;
    for (int y = lastColumns.getY(); y < lastColumns.getBottom(); ++y)
        for (int x = lastColumns.getX(); x < lastColumns.getRight(); ++x)
            inkAtTheEnd += pixels.getPixelColour (x, y).getBrightness() > 0.25f ? 1 : 0;
    EXPECT_GT (inkAtTheEnd, 10);

    // Serials the probe refuses give no card at all: controls, invalid
    // UTF-8, 100 kB.
    for (const auto& refused : { std::string ("V1\x1b[2J"), std::string ("V\xff\xfe"), std::string (100000, 'V'),
                                 std::string ("V\xc2\x85") })
    {
        plugInAfresh ({ { "3a7d", "7401", refused, "0123", std::nullopt } });
        EXPECT_TRUE (tracker.devices.empty()) << refused.substr (0, 20);
    }
}

} // namespace
