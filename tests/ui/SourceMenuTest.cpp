// The slot menu and the source picker as data, and what their items do, on
// consoles the tracker opened on the in-process audio system. The sources
// are fakes here; the PipeWire tests and the tray test use the real ones.

#include "PopoverViewController.h"
#include "SourceMenus.h"
#include "UiTestSupport.h"
#include "VirtualConsoleSuite.h"

#include "DeviceBackends.h"
#include "DeviceInstance.h"
#include "DeviceTracker.h"
#include "JuceEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace loomwell;
using namespace loomwell::ui;
using loomwell::ui::testing::pumpFor;
using loomwell::ui::testing::pumpUntil;
using loomwell::ui::testing::VirtualConsoleSuite;

namespace
{

[[maybe_unused]] const auto* const juceEnvironment =
    ::testing::AddGlobalTestEnvironment (new loomwell::testing::JuceEnvironment);

const juce::String ellipsisLoading = juce::String::fromUTF8 ("Loading\xe2\x80\xa6");

std::vector<juce::String> titles (const MenuModel& menu)
{
    std::vector<juce::String> result;
    for (const auto& entry : menu.entries)
        result.push_back (entry.separator ? juce::String ("---") : entry.title);
    return result;
}

class SourceMenus : public VirtualConsoleSuite
{
protected:
    void SetUp() override
    {
        VirtualConsoleSuite::SetUp();
        plugIn ({ { "3a7d", "7301", "T1", "0105", std::nullopt }, { "3a7d", "7401", "V1", "0123", std::nullopt } });
        ASSERT_EQ (tracker.devices.size(), 2u);

        actions.listInputs = [this] { return inputs; };
        actions.listApps = [this] { return apps; };
        actions.startApp = [this] (DeviceInstance& d, const std::string& id, int32_t channelId, std::shared_ptr<RingBuffer> ring)
        {
            starts.push_back ({ &d, id, channelId, ring.get() == d.getChannelTable().ringBufferFor (channelId) });
        };
        actions.startInput = [this] (DeviceInstance& d, uint32_t deviceId, int32_t channelId, std::shared_ptr<RingBuffer> ring)
        {
            starts.push_back ({ &d, "device " + std::to_string (deviceId), channelId, ring.get() == d.getChannelTable().ringBufferFor (channelId) });
        };
        actions.removeSource = [this] (DeviceInstance& d, uint32_t slot, const std::string& id, int32_t channelId, bool isDevice)
        {
            removals.push_back ({ &d, id, channelId, isDevice });
            d.removeChannel (slot, id);
        };
    }

    PopoverViewController& makePopover()
    {
        popover = std::make_unique<PopoverViewController>();
        popover->setSourceActions (actions);
        popover->setAppIconLookup ([] (const std::string&) { return juce::Image(); });
        popover->presentMenu = [this] (const MenuModel& menu, juce::Point<int>, MenuPresenter::Chosen chosen, std::function<void()> done)
        {
            shown.push_back (menu);
            choose = std::move (chosen);
            done();
        };
        return *popover;
    }

    SlotRowView& row (int panel, int slot) { return *popover->panelForDeviceIndex (panel)->slotRows.at ((size_t) slot); }

    struct Call
    {
        const DeviceInstance* console;
        std::string what;
        int32_t channelId;
        bool flag;
        bool operator== (const Call&) const = default;
    };


    SourceActions actions;
    std::vector<InputDevice> inputs { { 7, "Desk Mic", "desk.mic" }, { 9, "USB Mic", "usb.mic" } };
    std::vector<CapturableApp> apps { { "org.example.Tone", "Tone" }, { "org.example.Other", "Other" } };
    std::vector<Call> starts;
    std::vector<Call> removals;
    std::vector<MenuModel> shown;
    MenuPresenter::Chosen choose;
};

//==============================================================================
TEST_F (SourceMenus, SlotMenuListsEachSourceInTableOrderAndAddOnlyWhileThereIsRoom)
{
    auto& c = console (0);
    EXPECT_FALSE (buildSlotMenu (c, 0, 2).has_value());

    const auto tone = c.addChannel (0, "org.example.Tone", "Tone");
    const auto mic = c.addInputChannel (0, "desk.mic", "Desk Mic", 7);
    auto menu = buildSlotMenu (c, 0, 0);
    ASSERT_TRUE (menu.has_value());
    EXPECT_EQ (menu->title, "Slot");
    EXPECT_EQ (titles (*menu), (std::vector<juce::String> { "Remove Tone", "Remove Desk Mic", "---", "Add" }));

    EXPECT_EQ (menu->entries[0].glyph, MenuGlyph::appIcon);
    EXPECT_EQ (menu->entries[0].iconIdentity, "org.example.Tone");
    EXPECT_EQ (std::get<RemoveChoice> (menu->entries[0].choice), (RemoveChoice { 0, 0, "org.example.Tone", tone, false, false, &c }));
    EXPECT_EQ (menu->entries[1].glyph, MenuGlyph::microphone);
    EXPECT_EQ (std::get<RemoveChoice> (menu->entries[1].choice), (RemoveChoice { 0, 0, "desk.mic", mic, true, false, &c }));
    EXPECT_EQ (std::get<AddChoice> (menu->entries[3].choice), (AddChoice { 0, 0, &c }));

    c.addChannel (0, "org.example.Third", "Third");
    c.addChannel (0, "org.example.Fourth", "Fourth");
    menu = buildSlotMenu (c, 0, 0);
    EXPECT_EQ (titles (*menu), (std::vector<juce::String> { "Remove Tone", "Remove Desk Mic", "Remove Third", "Remove Fourth" }));
}

TEST_F (SourceMenus, PickerDisablesOnlyWhatIsAlreadyOnThisConsole)
{
    auto& c = console (0);
    c.addChannel (1, "org.example.Tone", "Tone");
    c.addInputChannel (3, "desk.mic", "Desk Mic", 7);

    auto picker = buildPickerMenu (c, 0, 2, inputs);
    EXPECT_EQ (picker.title, "Add Source");
    EXPECT_EQ (titles (picker), (std::vector<juce::String> { "Apps", "Input Devices" }));
    EXPECT_EQ (picker.entries[0].glyph, MenuGlyph::apps);
    EXPECT_EQ (picker.entries[1].glyph, MenuGlyph::microphone);

    auto& appsMenu = *picker.entries[0].submenu;
    EXPECT_EQ (titles (appsMenu), (std::vector<juce::String> { ellipsisLoading }));
    EXPECT_FALSE (appsMenu.entries[0].enabled);

    const auto& devices = *picker.entries[1].submenu;
    EXPECT_EQ (titles (devices), (std::vector<juce::String> { "Desk Mic", "USB Mic" }));
    EXPECT_FALSE (devices.entries[0].enabled);
    EXPECT_TRUE (std::holds_alternative<std::monostate> (devices.entries[0].choice));
    EXPECT_EQ (std::get<InputChoice> (devices.entries[1].choice), (InputChoice { 0, 2, 9, "usb.mic", "USB Mic", &c }));
    EXPECT_EQ (devices.entries[1].glyph, MenuGlyph::none);

    int changes = 0;
    appsMenu.changed = [&] { ++changes; };
    fillAppsSubmenu (appsMenu, apps, existingSources (c), &c, 0, 2);
    EXPECT_EQ (changes, 1);
    EXPECT_EQ (titles (appsMenu), (std::vector<juce::String> { "Tone", "Other" }));
    EXPECT_FALSE (appsMenu.entries[0].enabled);
    EXPECT_EQ (std::get<AppChoice> (appsMenu.entries[1].choice), (AppChoice { 0, 2, "org.example.Other", "Other", &c }));
    EXPECT_EQ (appsMenu.entries[1].iconIdentity, "org.example.Other");

    // The same sources on another console are free there.
    auto other = buildPickerMenu (console (1), 1, 0, inputs);
    EXPECT_TRUE (other.entries[1].submenu->entries[0].enabled);
    fillAppsSubmenu (*other.entries[0].submenu, apps, existingSources (console (1)), &console (1), 1, 0);
    EXPECT_TRUE (other.entries[0].submenu->entries[0].enabled);

    // Nothing to list.
    fillAppsSubmenu (appsMenu, {}, {}, &c, 0, 2);
    EXPECT_EQ (titles (appsMenu), (std::vector<juce::String> { "No capturable apps found" }));
    EXPECT_FALSE (appsMenu.entries[0].enabled);
    const auto empty = buildPickerMenu (c, 0, 2, {});
    EXPECT_EQ (titles (*empty.entries[1].submenu), (std::vector<juce::String> { "No input devices found" }));
}

TEST_F (SourceMenus, AnEmptySlotOpensThePickerWhoseAppsArriveFromAnotherThread)
{
    auto& p = makePopover();
    std::atomic<bool> listedOffTheMessageThread { false };
    actions.listApps = [&]
    {
        listedOffTheMessageThread = ! juce::MessageManager::getInstance()->isThisTheMessageThread();
        std::this_thread::sleep_for (std::chrono::milliseconds (100));
        return apps;
    };
    p.setSourceActions (actions);

    row (0, 0).handleMouseDown();
    ASSERT_EQ (shown.size(), 1u);
    EXPECT_EQ (shown[0].title, "Add Source");
    const auto appsMenu = shown[0].entries[0].submenu;
    EXPECT_EQ (titles (*appsMenu), (std::vector<juce::String> { ellipsisLoading }));
    ASSERT_TRUE (pumpUntil ([&] { return appsMenu->entries.size() == 2; }));
    EXPECT_TRUE (listedOffTheMessageThread);
    EXPECT_EQ (titles (*appsMenu), (std::vector<juce::String> { "Tone", "Other" }));

    // A slot with a source gets the "Slot" menu instead; its "Add" opens the picker.
    console (0).addChannel (1, "org.example.Tone", "Tone");
    row (0, 1).handleMouseDown();
    ASSERT_EQ (shown.size(), 2u);
    EXPECT_EQ (shown[1].title, "Slot");
    choose (shown[1].entries.back().choice);
    ASSERT_EQ (shown.size(), 3u);
    EXPECT_EQ (shown[2].title, "Add Source");
    pumpFor (0.3);
}

TEST_F (SourceMenus, AListArrivingAfterTheControllerWentLeavesLoading)
{
    auto& p = makePopover();
    std::atomic<bool> release { false };
    actions.listApps = [&]
    {
        while (! release)
            std::this_thread::sleep_for (std::chrono::milliseconds (5));
        return apps;
    };
    p.setSourceActions (actions);

    row (1, 2).handleMouseDown();
    ASSERT_EQ (shown.size(), 1u);
    const auto appsMenu = shown[0].entries[0].submenu;
    popover.reset();
    release = true;
    pumpFor (0.3);
    EXPECT_EQ (titles (*appsMenu), (std::vector<juce::String> { ellipsisLoading }));
}

TEST_F (SourceMenus, ChoosingASourceAddsItStartsItsCaptureAndRedrawsTheRow)
{
    auto& p = makePopover();
    auto& c = console (1);

    row (1, 0).handleMouseDown();
    ASSERT_TRUE (pumpUntil ([&] { return shown.back().entries[0].submenu->entries.size() == 2; }));
    choose (shown.back().entries[0].submenu->entries[0].choice);
    ASSERT_EQ (c.channelsForSlot (0).size(), 1u);
    const auto toneId = c.channelsForSlot (0)[0].channelId;
    EXPECT_EQ (starts, (std::vector<Call> { { &c, "org.example.Tone", toneId, true } }));
    EXPECT_EQ (*row (1, 0).getCurrentBundleIds(), (std::vector<std::string> { "org.example.Tone" }));

    // An input device on the same slot, through "Add".
    row (1, 0).handleMouseDown();
    choose (shown.back().entries.back().choice);
    choose (shown.back().entries[1].submenu->entries[1].choice);
    ASSERT_EQ (c.channelsForSlot (0).size(), 2u);
    const auto micId = c.channelsForSlot (0)[1].channelId;
    EXPECT_EQ (starts.back(), (Call { &c, "device 9", micId, true }));
    EXPECT_EQ (c.channelsForSlot (0)[1].sourceKind, sourceKindInputDevice);
    EXPECT_EQ (*row (1, 0).getCurrentBundleIds(), (std::vector<std::string> { "org.example.Tone", "hw:usb.mic" }));

    // A fifth source adds nothing and starts nothing; the row stays as it was.
    c.addChannel (0, "org.example.Third", "Third");
    c.addChannel (0, "org.example.Fourth", "Fourth");
    p.refreshSlotView (0, *p.panelForDeviceIndex (1));
    const auto before = *row (1, 0).getCurrentBundleIds();
    const auto startsBefore = starts.size();
    p.appSelected ({ 1, 0, "org.example.Other", "Other", &c });
    EXPECT_EQ (c.channelsForSlot (0).size(), 4u);
    EXPECT_EQ (starts.size(), startsBefore);
    EXPECT_EQ (*row (1, 0).getCurrentBundleIds(), before);

    // A choice made for a console that is no longer shown at that index.
    p.appSelected ({ 1, 1, "org.example.Other", "Other", &console (0) });
    p.inputDeviceSelected ({ 5, 1, 9, "usb.mic", "USB Mic", &c });
    EXPECT_TRUE (console (0).channelsForSlot (1).empty());
    EXPECT_TRUE (c.channelsForSlot (1).empty());
    EXPECT_EQ (starts.size(), startsBefore);
    pumpFor (0.3);
}

TEST_F (SourceMenus, RemovalAnimatesFirstThenStopsTheRightCaptureAndRemoves)
{
    auto& p = makePopover();
    auto& c = console (0);
    const auto tone = c.addChannel (2, "org.example.Tone", "Tone");
    const auto mic = c.addInputChannel (2, "desk.mic", "Desk Mic", 7);
    p.syncAllSlotStates();

    row (0, 2).handleMouseDown();
    const auto menu = shown.back();
    choose (menu.entries[1].choice); // "Remove Desk Mic"
    EXPECT_TRUE (removals.empty()) << "the row animates first";
    ASSERT_TRUE (pumpUntil ([&] { return ! removals.empty(); }));
    EXPECT_EQ (removals, (std::vector<Call> { { &c, "desk.mic", mic, true } }));
    EXPECT_EQ (*row (0, 2).getCurrentBundleIds(), (std::vector<std::string> { "org.example.Tone" }));

    choose (menu.entries[0].choice); // "Remove Tone"
    ASSERT_TRUE (pumpUntil ([&] { return removals.size() == 2; }));
    EXPECT_EQ (removals.back(), (Call { &c, "org.example.Tone", tone, false }));
    EXPECT_TRUE (c.channelsForSlot (2).empty());
    EXPECT_FALSE (row (0, 2).isSlotActive());

    // A completion whose panel has gone by then does nothing.
    c.addChannel (3, "org.example.Tone", "Tone");
    p.syncAllSlotStates();
    row (0, 3).handleMouseDown();
    choose (shown.back().entries[0].choice);
    p.rebuildLayout();
    pumpFor (0.4);
    EXPECT_EQ (removals.size(), 2u);
    EXPECT_EQ (c.channelsForSlot (3).size(), 1u);
}

TEST (SafeMenuText, NamesFromOtherProgramsAreCleanedAndClipped)
{
    EXPECT_EQ (safeMenuText ("Tone"), "Tone");
    EXPECT_EQ (safeMenuText ("a\nb\tc\x1b[31m"), "a b c [31m");
    // Direction overrides go; C1 controls become spaces.
    EXPECT_EQ (safeMenuText ("evil\xe2\x80\xaetxt.exe"), "eviltxt.exe");
    EXPECT_EQ (safeMenuText ("x\xc2\x85y"), "x y");
    // Invalid UTF-8 is replaced, never passed on.
    const auto replaced = safeMenuText ("ab\xff\xfe");
    EXPECT_TRUE (replaced.startsWith ("ab"));
    EXPECT_TRUE (juce::CharPointer_UTF8::isValidString (replaced.toRawUTF8(), 1000));
    // 100 kB becomes 60 characters, the last one an ellipsis.
    const auto huge = safeMenuText (std::string (100000, 'x'));
    EXPECT_EQ (huge.length(), 61);
    EXPECT_TRUE (huge.endsWithChar ((juce::juce_wchar) 0x2026));
    EXPECT_EQ (safeMenuText (""), "");
}

} // namespace
