// The popover and its device panels against real consoles: DeviceInstance
// objects opened by the tracker on an in-process audio system and USB
// registry, whose mixing callback stores the levels the meters read.

#include "PopoverViewController.h"
#include "Frames.h"
#include "UiTestSupport.h"
#include "VirtualConsoleSuite.h"

#include "DeviceBackends.h"
#include "DeviceInstance.h"
#include "DeviceTracker.h"
#include "JuceEnvironment.h"
#include "Notifications.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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

const std::string trelDevice = "Mixora Trel Main Multitrack";
const std::string vantorDevice = "Mixora Vantor Main Multitrack";

UsbDeviceAttributes trel (const std::string& serial) { return { "3a7d", "7301", serial, "0105", std::nullopt }; }
UsbDeviceAttributes vantor (const std::string& serial) { return { "3a7d", "7401", serial, "0123", std::nullopt }; }

juce::Rectangle<float> rect (float x, float y, float w, float h) { return { x, y, w, h }; }

// A child's frame in the design's bottom-left coordinates of its parent.
juce::Rectangle<float> designFrame (const juce::Component& c)
{
    return fromBottomLeft (c.getBounds().toFloat(), (float) c.getParentHeight());
}

class Popover : public VirtualConsoleSuite
{
protected:
    void SetUp() override
    {
        VirtualConsoleSuite::SetUp();
        world.devices = { { "Built-in Audio", 2 }, { trelDevice, 10 }, { trelDevice + " (2)", 10 }, { vantorDevice, 10 } };
    }

    void TearDown() override
    {
        VirtualConsoleSuite::TearDown();
        EXPECT_TRUE (DeviceInstance::claimedDeviceNames().empty());
    }

    PopoverViewController& makePopover()
    {
        popover = std::make_unique<PopoverViewController>();
        return *popover;
    }

    // One block of a constant level through the console's running device:
    // the mixing callback stores each source's peak as its level.
    void play (DeviceInstance& device, const std::vector<std::pair<int32_t, float>>& channelLevels)
    {
        for (const auto& [channelId, level] : channelLevels)
        {
            std::vector<float> samples (512, level);
            device.getChannelTable().ringBufferFor (channelId)->write (samples.data(), (int) samples.size());
        }
        auto* running = world.runningDevice (device.claimedDeviceName);
        ASSERT_NE (running, nullptr);
        running->renderBlock (256);
    }

    static SlotRowView& row (PopoverViewController& p, int panel, int slot)
    {
        return *p.panelForDeviceIndex (panel)->slotRows.at ((size_t) slot);
    }

    // Every panel shows a console that the tracker still holds.
    bool panelsReferToTrackedConsoles() const
    {
        for (const auto& panel : popover->getDevicePanels())
        {
            const auto tracked = std::any_of (tracker.devices.begin(), tracker.devices.end(),
                                              [&] (const auto& d) { return d.get() == panel->device; });
            if (! tracked)
                return false;
        }
        return true;
    }
};

//==============================================================================
// Layout and geometry

TEST_F (Popover, NoConsoleShowsThePromptAt329By197)
{
    auto& p = makePopover();
    EXPECT_EQ (p.preferredContentSize(), juce::Point<int> (329, 197));
    EXPECT_EQ (p.getBounds(), juce::Rectangle<int> (0, 0, 329, 197));
    EXPECT_TRUE (p.getDevicePanels().empty());
    EXPECT_EQ (p.separatorCount(), 0u);
    EXPECT_EQ (p.panelForDeviceIndex (0), nullptr);

    auto& prompt = p.getDisconnectedView();
    EXPECT_TRUE (prompt.isVisible());
    EXPECT_EQ (designFrame (prompt), rect (0, 0, 329, 197));

    auto* plug = prompt.getPlugView();
    ASSERT_NE (plug, nullptr);
    EXPECT_EQ (fromBottomLeft (plug->getFrame(), 197.0f), rect (138, 98.5f, 53, 53));
    EXPECT_EQ (plug->getImage().getWidth(), 193);
    EXPECT_EQ (plug->getImage().getHeight(), 428);
    EXPECT_EQ (plug->getTint(), grey (0.35f));

    auto& label = prompt.getPromptLabel();
    EXPECT_EQ (label.getText(), "Please connect a Mixora with\nExpanded USB Inputs enabled.");
    EXPECT_FLOAT_EQ (label.getFont().getHeightInPoints(), 14.0f);
    EXPECT_EQ (label.findColour (juce::Label::textColourId), grey (0.35f));
    EXPECT_EQ (label.getJustificationType(), juce::Justification::centred);
    // (15, 52.5, 299, 40) on whole points: the half point goes down.
    EXPECT_EQ (label.getBounds(), juce::Rectangle<int> (15, 104, 299, 40));
}

TEST_F (Popover, OneConsoleGivesOnePanelWithItsHeaderAndFourRows)
{
    plugIn ({ trel ("T1") });
    auto& p = makePopover();

    EXPECT_EQ (p.preferredContentSize(), juce::Point<int> (329, 197));
    EXPECT_FALSE (p.getDisconnectedView().isVisible());
    ASSERT_EQ (p.getDevicePanels().size(), 1u);
    EXPECT_EQ (p.separatorCount(), 0u);

    auto& panel = *p.getDevicePanels()[0];
    EXPECT_EQ (panel.device, &console (0));
    EXPECT_EQ (designFrame (panel), rect (0, 15, 329, 167));

    auto& card = panel.getHeaderCard();
    EXPECT_EQ (designFrame (card), rect (15, 99, 299, 68));
    ASSERT_NE (card.getPhoto(), nullptr);
    EXPECT_EQ (fromBottomLeft (card.getPhoto()->getFrame(), 68.0f), rect (11, 11, 46, 46));
    EXPECT_EQ (card.getPhoto()->getImage().getWidth(), 602); // the Trel picture
    EXPECT_EQ (card.getPhoto()->getImage().getHeight(), 611);

    auto& connected = card.getConnectedLabel();
    EXPECT_EQ (connected.getText(), "Connected to");
    EXPECT_EQ (designFrame (connected), rect (68, 42, 221, 15));
    EXPECT_FLOAT_EQ (connected.getFont().getHeightInPoints(), 11.0f);
    EXPECT_EQ (connected.findColour (juce::Label::textColourId), grey (0.5f));

    auto& name = card.getNameLabel();
    EXPECT_EQ (name.getText(), "Mixora Trel");
    EXPECT_EQ (designFrame (name), rect (68, 24, 221, 20));
    EXPECT_FLOAT_EQ (name.getFont().getHeightInPoints(), 14.0f);
    EXPECT_EQ (name.findColour (juce::Label::textColourId), grey (0.85f));

    auto& detail = card.getDetailLabel();
    EXPECT_EQ (detail.getText(), juce::String::fromUTF8 ("S/N T1 \xC2\xB7 FW 1.05"));
    EXPECT_EQ (designFrame (detail), rect (68, 9, 221, 15));
    EXPECT_FLOAT_EQ (detail.getFont().getHeightInPoints(), 11.0f);
    EXPECT_EQ (detail.findColour (juce::Label::textColourId), grey (0.4f));

    const char* names[] = { "Music", "Game", "A", "B" };
    const juce::Colour accents[] = { juce::Colour::fromFloatRGBA (1.0f, 0.624f, 0.039f, 1.0f),
                                     juce::Colour::fromFloatRGBA (0.188f, 0.82f, 0.345f, 1.0f),
                                     juce::Colour::fromFloatRGBA (0.353f, 0.784f, 0.98f, 1.0f),
                                     juce::Colour::fromFloatRGBA (0.749f, 0.353f, 0.949f, 1.0f) };
    ASSERT_EQ (panel.slotRows.size(), 4u);
    for (int s = 0; s < 4; ++s)
    {
        auto& r = *panel.slotRows[(size_t) s];
        EXPECT_EQ (r.getSlotIndex(), s);
        EXPECT_EQ (r.getSlotName(), names[s]);
        EXPECT_EQ (r.getAccentColor(), accents[s]);
        EXPECT_EQ (designFrame (r), rect (15.0f + 77.0f * (float) s, 0, 68, 90));
        EXPECT_EQ (r.getParentComponent(), &panel);
    }
    // The last row ends 15 points before the panel's right edge.
    EXPECT_EQ (panel.slotRows[3]->getRight(), 329 - 15);
}

TEST_F (Popover, TwoAndThreeConsolesStackWithSeparators)
{
    plugIn ({ trel ("T1"), trel ("T2") });
    auto& p = makePopover();
    EXPECT_EQ (p.preferredContentSize(), juce::Point<int> (329, 404));
    EXPECT_EQ (p.getHeight(), 404);
    ASSERT_EQ (p.getDevicePanels().size(), 2u);
    EXPECT_EQ (designFrame (*p.getDevicePanels()[0]), rect (0, 222, 329, 167));
    EXPECT_EQ (designFrame (*p.getDevicePanels()[1]), rect (0, 15, 329, 167));
    ASSERT_EQ (p.separatorCount(), 1u);
    EXPECT_EQ (designFrame (*p.separator (0)), rect (0, 202, 329, 1));

    plugIn ({ trel ("T1"), trel ("T2"), vantor ("V1") });
    ASSERT_EQ (tracker.devices.size(), 3u);
    p.rebuildLayout();
    EXPECT_EQ (p.preferredContentSize(), juce::Point<int> (329, 611));
    ASSERT_EQ (p.getDevicePanels().size(), 3u);
    const float ys[] = { 429, 222, 15 };
    for (size_t k = 0; k < 3; ++k)
    {
        EXPECT_EQ (designFrame (*p.getDevicePanels()[k]), rect (0, ys[k], 329, 167));
        EXPECT_EQ (p.getDevicePanels()[k]->device, &console (k));
    }
    ASSERT_EQ (p.separatorCount(), 2u);
    EXPECT_EQ (designFrame (*p.separator (0)), rect (0, 409, 329, 1));
    EXPECT_EQ (designFrame (*p.separator (1)), rect (0, 202, 329, 1));

    // The Vantor's card carries the larger console's picture.
    auto& vantorCard = p.getDevicePanels()[2]->getHeaderCard();
    EXPECT_EQ (vantorCard.getNameLabel().getText(), "Mixora Vantor");
    EXPECT_EQ (vantorCard.getPhoto()->getImage().getWidth(), 800);
    EXPECT_EQ (vantorCard.getPhoto()->getImage().getHeight(), 732);
    EXPECT_EQ (vantorCard.getDetailLabel().getText(), juce::String::fromUTF8 ("S/N V1 \xC2\xB7 FW 1.23"));

    // Rebuilding keeps the prompt and replaces every panel and separator.
    juce::Component::SafePointer<DevicePanel> before (p.getDevicePanels()[0].get());
    p.rebuildLayout();
    EXPECT_EQ (p.getNumChildComponents(), 1 + 3 + 2);
    EXPECT_EQ (p.getChildComponent (0), &p.getDisconnectedView());
    EXPECT_EQ (before.getComponent(), nullptr);

    // Back to none: the prompt again at 329 x 197.
    plugIn ({});
    p.rebuildLayout();
    EXPECT_TRUE (p.getDevicePanels().empty());
    EXPECT_EQ (p.separatorCount(), 0u);
    EXPECT_TRUE (p.getDisconnectedView().isVisible());
    EXPECT_EQ (p.preferredContentSize(), juce::Point<int> (329, 197));
    EXPECT_EQ (p.getNumChildComponents(), 1);
}

TEST_F (Popover, ConsoleNotOpenIsSkippedAndPanelIndicesCountShownPanels)
{
    plugIn ({ trel ("T1"), vantor ("V1") });
    // A console the tracker lists but that is not open, between the two.
    tracker.devices.insert (tracker.devices.begin() + 1,
                            std::make_unique<DeviceInstance> (modelForProductId (0x7302), "T9", "2.00"));
    ASSERT_FALSE (console (1).isOpen());

    auto& p = makePopover();
    ASSERT_EQ (p.getDevicePanels().size(), 2u);
    EXPECT_EQ (p.preferredContentSize(), juce::Point<int> (329, 404));
    EXPECT_EQ (p.panelForDeviceIndex (0)->device, &console (0));
    EXPECT_EQ (p.panelForDeviceIndex (1)->device, &console (2));
    EXPECT_EQ (p.panelForDeviceIndex (2), nullptr);
    EXPECT_EQ (p.panelForDeviceIndex (-1), nullptr);

    // A click reaches the slot menu with the shown panel's index, once: an
    // empty slot's picker for that console and slot.
    SourceActions actions;
    actions.listInputs = [] { return std::vector<InputDevice> { { 7, "Desk Mic", "desk.mic" } }; };
    p.setSourceActions (actions);
    std::vector<std::pair<const DeviceInstance*, int>> shown;
    p.presentMenu = [&] (const MenuModel& menu, juce::Point<int>, MenuPresenter::Chosen, std::function<void()> done)
    {
        EXPECT_EQ (menu.title, "Add Source");
        if (const auto* input = std::get_if<InputChoice> (&menu.entries.at (1).submenu->entries.at (0).choice))
            shown.emplace_back (input->console, input->slot);
        done();
    };
    row (p, 1, 3).handleMouseDown();
    row (p, 0, 1).handleMouseDown();
    EXPECT_EQ (shown, (std::vector<std::pair<const DeviceInstance*, int>> { { &console (2), 3 }, { &console (0), 1 } }));
    EXPECT_FALSE (p.isMenuOpen());

    // A row that outlives its controller does nothing when clicked.
    auto& orphan = row (p, 0, 0);
    auto callback = orphan.onClick;
    popover.reset();
    callback (0);
    EXPECT_EQ (shown.size(), 2u);
}

TEST (DevicePanelText, DetailLineNeedsASerialAndAddsTheFirmware)
{
    EXPECT_EQ (DevicePanel::detailText ("", "1.05"), "");
    EXPECT_EQ (DevicePanel::detailText ("", ""), "");
    EXPECT_EQ (DevicePanel::detailText ("T1", ""), "S/N T1");
    const auto full = DevicePanel::detailText ("T1", "1.05");
    EXPECT_EQ (full, juce::String::fromUTF8 ("S/N T1 \xC2\xB7 FW 1.05"));
    EXPECT_EQ (full.toStdString(), "S/N T1 \xC2\xB7 FW 1.05");
}

TEST_F (Popover, SlotRowsShowTheTableSourcesInOrder)
{
    plugIn ({ trel ("T1") });
    auto& device = console (0);
    ASSERT_GE (device.addChannel (1, "org.example.Player", "Player"), 0);
    ASSERT_GE (device.addInputChannel (1, "usb-mic-7", "Desk Mic", 41), 0);
    ASSERT_GE (device.addChannel (1, "org.example.Chat", "Chat"), 0);

    auto& p = makePopover();
    const auto& ids = row (p, 0, 1).getCurrentBundleIds();
    ASSERT_TRUE (ids.has_value());
    EXPECT_EQ (*ids, (std::vector<std::string> { "org.example.Player", "hw:usb-mic-7", "org.example.Chat" }));
    EXPECT_TRUE (row (p, 0, 1).isSlotActive());
    EXPECT_EQ (row (p, 0, 1).getIconViews().size(), 3u);
    for (int s : { 0, 2, 3 })
    {
        EXPECT_FALSE (row (p, 0, s).isSlotActive());
        EXPECT_TRUE (row (p, 0, s).getIconViews().empty());
    }

    // One source leaves; refreshing that row alone shows it.
    ASSERT_TRUE (device.removeChannel (1, "org.example.Player").changed());
    p.refreshSlotView (1, *p.panelForDeviceIndex (0));
    EXPECT_EQ (*row (p, 0, 1).getCurrentBundleIds(), (std::vector<std::string> { "hw:usb-mic-7", "org.example.Chat" }));
}

//==============================================================================
// Meter timer and notification while shown

TEST_F (Popover, MeterTimerAndObservationOnlyWhileShown)
{
    auto& p = makePopover();
    EXPECT_FALSE (p.isMeterTimerRunning());
    EXPECT_TRUE (p.acceptsFirstResponder());

    // Hidden: a state change is not observed.
    plugIn ({ trel ("T1") });
    NotificationCentre::defaultCentre().post (deviceStateChangedNotification);
    EXPECT_TRUE (p.getDevicePanels().empty());

    p.viewWillAppear();
    EXPECT_TRUE (p.isMeterTimerRunning());
    EXPECT_EQ (p.getDevicePanels().size(), 1u); // appearing rebuilds

    plugIn ({ trel ("T1"), vantor ("V1") });
    EXPECT_EQ (p.getDevicePanels().size(), 1u);
    NotificationCentre::defaultCentre().post (deviceStateChangedNotification);
    EXPECT_EQ (p.getDevicePanels().size(), 2u);

    // The timer ticks drive the rows: a busy slot's track grows in.
    ASSERT_GE (console (0).addChannel (0, "org.example.Player", "Player"), 0);
    p.syncAllSlotStates();
    EXPECT_TRUE (pumpUntil ([&] { return row (p, 0, 0).getDisplayTrackScale() == 1.0f; }, 5.0));

    p.viewWillDisappear();
    EXPECT_FALSE (p.isMeterTimerRunning());
    plugIn ({ trel ("T1") });
    NotificationCentre::defaultCentre().post (deviceStateChangedNotification);
    // The panel of the console that left went at once; no rebuild came from the post.
    EXPECT_EQ (p.getDevicePanels().size(), 1u);
    const auto plus = row (p, 0, 2).getDisplayPlusScale();
    pumpFor (0.15);
    EXPECT_EQ (row (p, 0, 2).getDisplayPlusScale(), plus);
}

//==============================================================================
// Meters

TEST (MeterLevels, LoudestActiveEntryPerSlot)
{
    auto entry = [] (int32_t pair, float level, bool active)
    {
        ChannelState s;
        s.outputPair = pair;
        s.level = level;
        s.active = active;
        return s;
    };

    // Slot entries first (pairs 2, 1, 3, 4), then extra entries of slots.
    const std::vector<ChannelState> table { entry (2, 0.3f, true), entry (1, 0.9f, false), entry (3, -0.5f, true),
                                            entry (4, 0.0f, false), entry (2, 0.6f, true), entry (1, 0.4f, true),
                                            entry (2, 0.8f, false) };
    const auto levels = PopoverViewController::loudestLevelPerSlot (table, 4);
    ASSERT_EQ (levels.size(), 4u);
    EXPECT_FLOAT_EQ (levels[0], 0.6f); // 0.3 and 0.6 active; the inactive 0.8 ignored
    EXPECT_FLOAT_EQ (levels[1], 0.4f); // the slot entry's 0.9 is not active
    EXPECT_FLOAT_EQ (levels[2], 0.0f); // negative levels give 0
    EXPECT_FLOAT_EQ (levels[3], 0.0f);

    // A short list: the rows beyond it get 0.
    const std::vector<ChannelState> shortTable { entry (2, 0.5f, true), entry (1, 0.7f, true) };
    EXPECT_EQ (PopoverViewController::loudestLevelPerSlot (shortTable, 4), (std::vector<float> { 0.5f, 0.7f, 0.0f, 0.0f }));
    EXPECT_EQ (PopoverViewController::loudestLevelPerSlot ({}, 4), (std::vector<float> (4, 0.0f)));
}

TEST_F (Popover, MeterSequencesFromTheMixedLevels)
{
    plugIn ({ trel ("T1") });
    auto& device = console (0);
    const auto player = device.addChannel (0, "org.example.Player", "Player");
    const auto chat = device.addChannel (0, "org.example.Chat", "Chat");
    ASSERT_GE (player, 0);
    ASSERT_GE (chat, 0);

    auto& p = makePopover(); // not shown: ticks are driven by hand
    auto& music = row (p, 0, 0);
    auto& game = row (p, 0, 1);

    // Rising shows at once, falling decays: 0.5 then 0.2 gives 0.455.
    play (device, { { player, 0.5f }, { chat, 0.0f } });
    p.updateMeters();
    EXPECT_FLOAT_EQ (music.getDisplayMeter(), 0.5f);
    play (device, { { player, 0.2f }, { chat, 0.0f } });
    p.updateMeters();
    EXPECT_FLOAT_EQ (music.getDisplayMeter(), 0.455f);
    play (device, { { player, 0.9f }, { chat, 0.0f } });
    p.updateMeters();
    EXPECT_FLOAT_EQ (music.getDisplayMeter(), 0.9f);

    // Two sources on one slot: the louder one shows.
    play (device, { { player, 0.3f }, { chat, 0.6f } });
    p.updateMeters();
    EXPECT_FLOAT_EQ (music.getDisplayMeter(), 0.85f * 0.9f + 0.15f * 0.6f);
    play (device, { { player, 0.3f }, { chat, 0.95f } });
    p.updateMeters();
    EXPECT_FLOAT_EQ (music.getDisplayMeter(), 0.95f);
    EXPECT_FLOAT_EQ (game.getDisplayMeter(), 0.0f);

    // The busy slot's track: full width on the 26th tick, the "+" gone on
    // the 38th; five ticks have run.
    for (int tick = 6; tick <= 25; ++tick)
        p.updateMeters();
    EXPECT_LT (music.getDisplayTrackScale(), 1.0f);
    p.updateMeters();
    EXPECT_EQ (music.getDisplayTrackScale(), 1.0f);
    for (int tick = 27; tick <= 37; ++tick)
        p.updateMeters();
    EXPECT_GT (music.getDisplayPlusScale(), 0.0f);
    p.updateMeters();
    EXPECT_EQ (music.getDisplayPlusScale(), 0.0f);
    // The empty slots stay as they were: no track, "+" at 1.
    EXPECT_EQ (game.getDisplayTrackScale(), 0.0f);
    EXPECT_EQ (game.getDisplayPlusScale(), 1.0f);

    // The slot empties: the meter clears at once, the "+" stays hidden for
    // half a second while the track shrinks, then fades in by 12 % a tick.
    ASSERT_TRUE (device.removeChannel (0, "org.example.Chat").changed());
    ASSERT_TRUE (device.removeChannel (0, "org.example.Player").changed());
    p.refreshSlotView (0, *p.panelForDeviceIndex (0));
    EXPECT_FALSE (music.isSlotActive());
    EXPECT_EQ (music.getDisplayMeter(), 0.0f);
    const auto emptiedAt = music.getDeactivatedAt();
    EXPECT_GT (emptiedAt, 0.0);
    for (int tick = 0; tick < 5; ++tick)
        p.updateMeters();
    EXPECT_EQ (music.getDisplayPlusScale(), 0.0f);
    EXPECT_LT (music.getDisplayTrackScale(), 1.0f);
    std::this_thread::sleep_for (std::chrono::milliseconds (520));
    p.updateMeters();
    EXPECT_FLOAT_EQ (music.getDisplayPlusScale(), 0.12f);
    p.updateMeters();
    EXPECT_FLOAT_EQ (music.getDisplayPlusScale(), 0.12f + 0.88f * 0.12f);
}

//==============================================================================
// Consoles leaving the tracker

TEST_F (Popover, WakeDropsPanelsAtOnceWhileShownAndMetering)
{
    plugIn ({ trel ("T1"), vantor ("V1") });
    const auto player = console (0).addChannel (0, "org.example.Player", "Player");
    ASSERT_GE (console (1).addInputChannel (2, "usb-mic-7", "Desk Mic", 41), 0);
    ASSERT_GE (player, 0);
    play (console (0), { { player, 0.7f } });

    auto& p = makePopover();
    p.viewWillAppear();
    ASSERT_EQ (p.getDevicePanels().size(), 2u);
    ASSERT_TRUE (pumpUntil ([&] { return row (p, 0, 0).getDisplayMeter() > 0.0f; }, 2.0));

    // A removal whose completion comes later reaches its console through
    // the panel, as the slot menu does.
    juce::Component::SafePointer<DevicePanel> removalPanel (p.panelForDeviceIndex (1));
    int completions = 0;
    DeviceInstance* reached = nullptr;
    row (p, 1, 2).animateRemovalOfBundleId ("hw:usb-mic-7", [&]
    {
        ++completions;
        if (auto* panel = removalPanel.getComponent())
            reached = panel->device;
    });

    int posts = 0;
    const auto token = NotificationCentre::defaultCentre().addObserver (deviceStateChangedNotification, [&] { ++posts; });

    ::testing::internal::CaptureStderr();
    tracker.handleSystemWake();
    ::testing::internal::GetCapturedStderr();

    // Every console is gone and no notification has come yet: the panels
    // went with them, before handleSystemWake returned.
    EXPECT_TRUE (tracker.devices.empty());
    EXPECT_EQ (posts, 0);
    EXPECT_TRUE (p.getDevicePanels().empty());
    EXPECT_EQ (p.separatorCount(), 0u);
    EXPECT_TRUE (p.getDisconnectedView().isVisible());
    EXPECT_EQ (p.preferredContentSize(), juce::Point<int> (329, 197));
    EXPECT_TRUE (p.isMeterTimerRunning());
    EXPECT_EQ (removalPanel.getComponent(), nullptr);

    // The meter timer and the delayed completion keep running against the
    // empty popover until the rescan two seconds later brings the consoles
    // back.
    bool alwaysTracked = true;
    ::testing::internal::CaptureStderr();
    const auto back = pumpUntil ([&]
    {
        alwaysTracked = alwaysTracked && panelsReferToTrackedConsoles();
        return posts > 0;
    }, 5.0);
    ::testing::internal::GetCapturedStderr();
    NotificationCentre::defaultCentre().removeObserver (token);

    ASSERT_TRUE (back);
    EXPECT_TRUE (alwaysTracked);
    EXPECT_EQ (completions, 1);
    EXPECT_EQ (reached, nullptr);
    EXPECT_EQ (tracker.devices.size(), 2u);
    EXPECT_EQ (p.getDevicePanels().size(), 2u); // the shown popover rebuilt on the post
    EXPECT_TRUE (panelsReferToTrackedConsoles());
    pumpFor (0.1);
}

TEST_F (Popover, UnpluggedConsoleLeavesBeforeTheScanReturns)
{
    plugIn ({ trel ("T1"), trel ("T2"), vantor ("V1") });
    auto& p = makePopover();
    p.viewWillAppear();
    ASSERT_EQ (p.getDevicePanels().size(), 3u);
    auto* remaining = &console (2);

    // T2 leaves: the tracker drops it in the scan; the post comes only at the
    // end of a hot-plug run, which this scan alone is not.
    registry.devices = { trel ("T1"), vantor ("V1") };
    ::testing::internal::CaptureStderr();
    tracker.scanForDevices();
    ::testing::internal::GetCapturedStderr();

    ASSERT_EQ (p.getDevicePanels().size(), 2u);
    EXPECT_EQ (p.panelForDeviceIndex (1)->device, remaining);
    EXPECT_EQ (p.preferredContentSize(), juce::Point<int> (329, 404));
    EXPECT_TRUE (panelsReferToTrackedConsoles());
    pumpFor (0.1);

    // The same holds while hidden: panels kept from the last appearance never
    // outlive their console.
    p.viewWillDisappear();
    ::testing::internal::CaptureStderr();
    tracker.closeAndDestroyAll();
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE (p.getDevicePanels().empty());
}

//==============================================================================
// Drawing

struct Ink
{
    int pixels = 0;      // pixels clearly off the background
    float brightest = 0; // brightest grey level among them
};

// What was drawn in an area of the image over a known background grey.
Ink inkIn (const juce::Image& image, juce::Rectangle<int> area, float background)
{
    Ink ink;
    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
    area = area.getIntersection (image.getBounds());
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
        {
            const auto c = data.getPixelColour (x, y);
            const auto level = c.getFloatRed();
            if (std::abs (level - background) > 0.05f)
            {
                ++ink.pixels;
                ink.brightest = std::max (ink.brightest, level);
            }
        }
    return ink;
}

// Runs of a grey level down one pixel column, at least two pixels long (an
// anti-aliased edge between two other greys can pass through the level).
int runsOfGrey (const juce::Image& image, int x, float level)
{
    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
    int runs = 0;
    int length = 0;
    for (int y = 0; y <= image.getHeight(); ++y)
    {
        const auto match = y < image.getHeight()
                           && std::abs (data.getPixelColour (x, y).getFloatRed() - level) < 0.01f
                           && std::abs (data.getPixelColour (x, y).getFloatBlue() - level) < 0.01f;
        if (match)
            ++length;
        else
        {
            runs += length >= 2 ? 1 : 0;
            length = 0;
        }
    }
    return runs;
}

// With LOOMWELL_POPOVER_PNG_DIR set, the renderings are kept there to look at.
void saveWhenAsked (const juce::Image& image, const char* name)
{
    if (auto* dir = std::getenv ("LOOMWELL_POPOVER_PNG_DIR"))
    {
        juce::FileOutputStream stream { juce::File (juce::String (dir)).getChildFile (juce::String (name) + ".png") };
        stream.setPosition (0);
        stream.truncate();
        juce::PNGImageFormat().writeImageToStream (image, stream);
    }
}

// Rendered at two pixels per point, as on a dense screen.
juce::Image render (juce::Component& c) { return c.createComponentSnapshot (c.getLocalBounds(), true, 2.0f); }

juce::Rectangle<int> pixelsOf (const juce::Component& child, const juce::Component& root)
{
    return (root.getLocalArea (&child, child.getLocalBounds()) * 2);
}

TEST_F (Popover, DrawsThePromptWithoutConsoles)
{
    auto& p = makePopover();
    const auto image = render (p);
    ASSERT_EQ (image.getWidth(), 658);
    ASSERT_EQ (image.getHeight(), 394);
    saveWhenAsked (image, "prompt");

    // Background grey 0.1 everywhere outside the glyph and the text.
    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
    EXPECT_NEAR (data.getPixelColour (4, 4).getFloatRed(), 0.1f, 0.01f);
    EXPECT_NEAR (data.getPixelColour (650, 390).getFloatRed(), 0.1f, 0.01f);

    // The plug glyph, tinted grey 0.35, inside its 53-point frame.
    const auto plugArea = juce::Rectangle<float> (138, 45.5f, 53, 53) * 2.0f;
    const auto plug = inkIn (image, plugArea.toNearestInt(), 0.1f);
    EXPECT_GT (plug.pixels, 400);
    EXPECT_NEAR (plug.brightest, 0.35f, 0.03f);
    EXPECT_EQ (inkIn (image, plugArea.toNearestInt().withX (0).withWidth (200), 0.1f).pixels, 0);

    // Two lines of text in the label's frame, in grey 0.35.
    auto& label = p.getDisconnectedView().getPromptLabel();
    const auto textArea = pixelsOf (label, p);
    const auto text = inkIn (image, textArea, 0.1f);
    EXPECT_GT (text.pixels, 600);
    EXPECT_NEAR (text.brightest, 0.35f, 0.04f);
    EXPECT_GT (inkIn (image, textArea.withHeight (textArea.getHeight() / 2), 0.1f).pixels, 200);
    EXPECT_GT (inkIn (image, textArea.withTrimmedTop (textArea.getHeight() / 2), 0.1f).pixels, 200);
}

TEST_F (Popover, DrawsEachPanelWithItsCardTextsAndMeters)
{
    plugIn ({ trel ("T1"), vantor ("V1") });
    const auto player = console (0).addChannel (1, "org.example.Player", "Player");
    ASSERT_GE (player, 0);
    play (console (0), { { player, 0.6f } });

    auto& p = makePopover();
    for (int tick = 0; tick < 26; ++tick)
        p.updateMeters();
    ASSERT_EQ (row (p, 0, 1).getDisplayTrackScale(), 1.0f);

    const auto image = render (p);
    ASSERT_EQ (image.getHeight(), 808);
    saveWhenAsked (image, "consoles");

    // Down a column through the cards: two cards (grey 0.14), one separator
    // (grey 0.22) through the whole width; no prompt drawn.
    EXPECT_EQ (runsOfGrey (image, 2 * 280, 0.14f), 2);
    EXPECT_EQ (runsOfGrey (image, 2 * 5, 0.22f), 1);
    EXPECT_EQ (runsOfGrey (image, 2 * 320, 0.22f), 1);
    EXPECT_FALSE (p.getDisconnectedView().isVisible());

    for (size_t k = 0; k < 2; ++k)
    {
        auto& card = p.getDevicePanels()[k]->getHeaderCard();
        const auto connected = inkIn (image, pixelsOf (card.getConnectedLabel(), p), 0.14f);
        const auto name = inkIn (image, pixelsOf (card.getNameLabel(), p), 0.14f);
        const auto detail = inkIn (image, pixelsOf (card.getDetailLabel(), p), 0.14f);
        EXPECT_GT (connected.pixels, 150) << k;
        EXPECT_NEAR (connected.brightest, 0.5f, 0.05f) << k;
        EXPECT_GT (name.pixels, 200) << k;
        EXPECT_NEAR (name.brightest, 0.85f, 0.06f) << k;
        EXPECT_GT (detail.pixels, 150) << k;
        EXPECT_NEAR (detail.brightest, 0.4f, 0.05f) << k;
        // The picture fills part of its 46-point square with more than one colour.
        const auto photo = pixelsOf (*card.getPhoto(), p);
        EXPECT_GT (inkIn (image, photo, 0.14f).pixels, 46 * 46);
    }
    // The longer name of the Vantor draws more than the Trel's.
    EXPECT_GT (inkIn (image, pixelsOf (p.getDevicePanels()[1]->getHeaderCard().getNameLabel(), p), 0.14f).pixels,
               inkIn (image, pixelsOf (p.getDevicePanels()[0]->getHeaderCard().getNameLabel(), p), 0.14f).pixels);

    // The busy "Game" row of the first panel draws the green bar; its
    // neighbours draw a "+" and no green.
    auto greenIn = [&] (juce::Rectangle<int> area)
    {
        int n = 0;
        const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                n += data.getPixelColour (x, y) == SlotRowView::meterGreen() ? 1 : 0;
        return n;
    };
    EXPECT_GT (greenIn (pixelsOf (row (p, 0, 1), p)), 40);
    EXPECT_EQ (greenIn (pixelsOf (row (p, 0, 0), p)), 0);
    EXPECT_EQ (greenIn (pixelsOf (row (p, 1, 1), p)), 0);
    // Slot names under the cards of every row.
    for (int k = 0; k < 2; ++k)
        for (int s = 0; s < 4; ++s)
            EXPECT_GT (inkIn (image, pixelsOf (row (p, k, s).getSlotLabel(), p), 0.1f).pixels, 20) << k << s;
}

} // namespace
