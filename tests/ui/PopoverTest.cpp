// The popover, its menus and the routing of sources they drive, on consoles
// the tracker opened on sinks of a private PipeWire world; the captures are a
// recording stand-in that files them as the live ones do, so that which
// capture a removal stops or keeps can be checked against the table.

#include "PopoverViewController.h"
#include "SourceMenus.h"
#include "SourceRouter.h"

#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "ListedUsbRegistry.h"
#include "MessagePump.h"
#include "PipeWireConnection.h"
#include "PipeWireDeviceType.h"
#include "PipeWireWorld.h"

#include <gtest/gtest.h>

#include <map>

using namespace loomwell;
using namespace loomwell::ui;

namespace
{

// Captures filed by channel id, with what each one feeds.
struct FiledCaptures final : CaptureBackend
{
    std::map<int32_t, std::string> live;

    void startApp (DeviceInstance&, const std::string& id, int32_t channelId, std::shared_ptr<RingBuffer>, AbsentApp) override
    {
        live[channelId] = id;
    }
    void startInput (DeviceInstance& d, uint32_t, int32_t channelId, std::shared_ptr<RingBuffer>) override
    {
        for (const auto& entry : d.getChannelTable().copyChannelStates())
            if (entry.channelId == channelId)
                live[channelId] = entry.bundleId;
    }
    void stop (DeviceInstance&, int32_t channelId) override { live.erase (channelId); }
    void move (DeviceInstance&, int32_t from, int32_t to) override
    {
        if (const auto it = live.find (from); it != live.end())
        {
            live[to] = it->second;
            live.erase (from);
        }
    }
    void stopAll (DeviceInstance&) override { live.clear(); }
    bool inputIsLive (DeviceInstance&, int32_t channelId) override { return live.contains (channelId); }
    std::vector<InputDevice> listInputs() override { return {}; }
};

class Popover : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        juce::initialiseJuce_GUI();
        world = new loomwell::testing::PipeWireWorld;
        ready = world->start() && world->createSink ("mixora-trel", "Mixora Trel Main Multitrack") && world->createSink ("mixora-vantor", "Mixora Vantor Main Multitrack");
        pipeWire = new PipeWireConnection;
    }
    static void TearDownTestSuite()
    {
        delete pipeWire;
        delete world;
        juce::shutdownJuce_GUI();
    }

    void SetUp() override
    {
        ASSERT_TRUE (ready && pipeWire->refresh()) << world->logs();
        registry.devices = { { "3a7d", "7301", "T1", "0105", std::nullopt }, { "3a7d", "7401", "V1", "0123", std::nullopt } };
        deviceBackends().usbRegistry = &registry;
        deviceBackends().createDeviceTypes = [] (auto& types) { addLinuxDeviceTypes (*pipeWire, types); };
        ::testing::internal::CaptureStderr();
        tracker.scanForDevices();
        ::testing::internal::GetCapturedStderr();
        ASSERT_EQ (tracker.devices.size(), 2u);

        popover = std::make_unique<PopoverViewController> (router, SourceActions { [] { return std::vector<CapturableApp> {}; }, [] { return std::vector<InputDevice> {}; } });
        popover->setAppIconLookup ([] (const std::string&) { return juce::Image(); });
        popover->viewWillAppear();
    }

    void TearDown() override
    {
        popover.reset();
        tracker.closeAndDestroyAll();
        loomwell::testing::pumpFor (std::chrono::milliseconds (50));
        deviceBackends() = {};
    }

    DeviceInstance& console (size_t i) { return *tracker.devices.at (i); }

    // Every active entry has exactly one capture, feeding its own source,
    // and nothing else runs.
    void expectOneCapturePerSource (DeviceInstance& d)
    {
        std::map<int32_t, std::string> expected;
        for (const auto& entry : d.getChannelTable().copyChannelStates())
            if (entry.active)
                expected[entry.channelId] = entry.bundleId;
        EXPECT_EQ (captures.live, expected);
    }

    RemoveChoice removal (DeviceInstance& d, int slot, size_t index)
    {
        const auto menu = buildSlotMenu (d, &d == &console (0) ? 0 : 1, slot);
        return std::get<RemoveChoice> (menu->entries.at (index).choice);
    }

    static inline loomwell::testing::PipeWireWorld* world = nullptr;
    static inline bool ready = false;
    static inline PipeWireConnection* pipeWire = nullptr;
    DeviceTracker& tracker = DeviceTracker::instance();
    loomwell::testing::ListedUsbRegistry registry;
    FiledCaptures captures;
    SourceRouter router { captures };
    std::unique_ptr<PopoverViewController> popover;
};

TEST_F (Popover, RemovalChosenInTheMenuIsCarriedOutWhenThePopoverIsRebuiltDuringItsAnimation)
{
    auto& vantor = console (1);
    router.addApp (vantor, 0, "org.example.Tone", "Tone");
    router.addInput (vantor, 2, "desk.mic", "Desk Mic", 7);

    popover->menuItemChosen (removal (vantor, 0, 0));
    popover->deviceStateChanged(); // a hot-plug run's notification: every panel is new
    popover->menuItemChosen (removal (vantor, 2, 0));
    popover->viewWillDisappear();
    popover->viewWillAppear(); // and the popover reopened

    EXPECT_TRUE (loomwell::testing::pumpUntil ([&] { return captures.live.empty(); }, std::chrono::seconds (2)));
    EXPECT_TRUE (vantor.channelsForSlot (0).empty());
    EXPECT_TRUE (vantor.channelsForSlot (2).empty());
    EXPECT_TRUE (popover->panelForDeviceIndex (1)->slotRows[0]->getIconViews().empty());
}

TEST_F (Popover, TwoRemovalsOfOneSourceWithinTheAnimationStopOnlyThatSource)
{
    auto& trel = console (0);
    router.addApp (trel, 0, "org.example.Tone", "Tone");
    router.addApp (trel, 0, "org.example.Radio", "Radio");
    const auto first = removal (trel, 0, 0);
    ASSERT_EQ (first.bundleId, "org.example.Tone");

    popover->menuItemChosen (first);
    popover->menuItemChosen (first); // a second menu, built before the first removal ran
    loomwell::testing::pumpFor (std::chrono::milliseconds (600));

    const auto left = trel.channelsForSlot (0);
    ASSERT_EQ (left.size(), 1u);
    EXPECT_EQ (left[0].bundleId, "org.example.Radio");
    expectOneCapturePerSource (trel);
}

TEST_F (Popover, MenusCleanOtherProgramsNamesAndGreyOutWhatTheConsoleCarries)
{
    auto& vantor = console (1);
    // 100 kB from another program: controls, an override, a line separator, invalid UTF-8.
    router.addApp (vantor, 3, "org.example.Tone", "Evil\x01\x1b[31m\xe2\x80\xae\xe2\x80\xa8\xc2\x85\xff\xfe" + std::string (100000, 'x'));
    router.addInput (vantor, 3, "desk.mic", "Desk Mic", 7);
    const auto title = buildSlotMenu (vantor, 1, 3)->entries.at (0).title;
    EXPECT_TRUE (title.startsWith ("Remove Evil") && title.length() <= 7 + 61) << title;
    for (auto p = title.getCharPointer(); ! p.isEmpty(); ++p)
    {
        const auto c = (uint32_t) *p;
        EXPECT_FALSE (c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069)) << c;
    }

    auto picker = buildPickerMenu (vantor, 1, 0, { { 7, "Desk Mic", "desk.mic" }, { 9, "USB Mic", "usb.mic" } });
    fillAppsSubmenu (*picker.entries[0].submenu, { { "org.example.Tone", "Tone" }, { "org.example.New", "New" } }, existingSources (vantor), &vantor, 1, 0);
    std::vector<bool> enabled;
    for (const auto& submenu : { picker.entries.at (0).submenu, picker.entries.at (1).submenu })
        for (const auto& entry : submenu->entries)
            enabled.push_back (entry.enabled);
    EXPECT_EQ (enabled, (std::vector<bool> { false, true, false, true })) << "what the console carries is offered greyed out";
}

TEST_F (Popover, APanelGoesAtOnceWhenItsConsoleLeavesTheTracker)
{
    ASSERT_EQ (popover->getDevicePanels().size(), 2u);
    registry.devices->erase (registry.devices->begin());
    ::testing::internal::CaptureStderr();
    tracker.scanForDevices();
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ (popover->getDevicePanels().size(), 1u);
    EXPECT_EQ (popover->getDevicePanels()[0]->device, &console (0));
    EXPECT_EQ (console (0).serial, "V1");
}

} // namespace
