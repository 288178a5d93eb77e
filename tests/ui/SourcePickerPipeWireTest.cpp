// The slot menu and the picker against the real thing: a private PipeWire
// world whose 10-channel null sink is a Vantor's multitrack device, tone
// applications and a tone-fed microphone, and the live captures. Only the
// USB registry is in-process, and the menus are chosen from as data.

#include "HostileText.h"
#include "PopoverViewController.h"

#include "AppCapture.h"
#include "ConsoleSuite.h"
#include "DeviceInstance.h"
#include "InputCapture.h"
#include "ToneSources.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::pumpFor;
using testing::pumpUntil;
using testing::toneAmplitude;

class PickerOnPipeWire : public testing::ConsoleSuite
{
protected:
    void SetUp() override
    {
        ConsoleSuite::SetUp();
        sink = makeConsoleSink ({ "mixora-vantor", "Mixora Vantor Main Multitrack", 10, {}, 0 });
        ASSERT_TRUE (sink) << world->logs();
        ::testing::internal::CaptureStderr();
        tracker.scanForDevices();
        ::testing::internal::GetCapturedStderr();
        ASSERT_EQ (tracker.devices.size(), 1u);
        ASSERT_TRUE (tracker.devices[0]->isOpen());

        popover = std::make_unique<ui::PopoverViewController>();
        popover->setAppIconLookup ([] (const std::string&) { return juce::Image(); });
        popover->presentMenu = [this] (const ui::MenuModel& menu, juce::Point<int>, ui::MenuPresenter::Chosen chosen, std::function<void()> done)
        {
            shown = menu;
            choose = std::move (chosen);
            done();
        };
    }

    void TearDown() override
    {
        popover.reset();
        ConsoleSuite::TearDown();
    }

    DeviceInstance& console() { return *tracker.devices.at (0); }
    ui::SlotRowView& row (int slot) { return *popover->panelForDeviceIndex (0)->slotRows.at ((size_t) slot); }

    void playTone (const std::string& binary, const std::string& name, double frequency)
    {
        ASSERT_GT (ConsoleSuite::playTone (binary, name, frequency, 0.2f), 0) << world->logs();
    }

    void makeMic (const std::string& nodeName, const std::string& description, double frequency)
    {
        ASSERT_TRUE (feedInput (nodeName, description, { { frequency, 0.2f } })) << world->logs();
    }

    // The entry of that title in the last menu shown or one of its
    // submenus; the picker's application list is waited for.
    const ui::MenuEntry* find (const juce::String& title)
    {
        if (! shown.entries.empty() && shown.entries[0].submenu != nullptr)
            pumpUntil ([this] { return shown.entries[0].submenu->entries.at (0).enabled
                                       || shown.entries[0].submenu->entries.at (0).title != ui::menuText::loading; }, 6s);

        for (const auto& entry : shown.entries)
        {
            if (entry.title == title)
                return &entry;
            if (entry.submenu != nullptr)
                for (const auto& item : entry.submenu->entries)
                    if (item.title == title)
                        return &item;
        }
        return nullptr;
    }

    // What a person does: click the slot's row, then the item (through
    // "Add" when the slot already has sources).
    void pick (int slot, const juce::String& title)
    {
        row (slot).handleMouseDown();
        if (shown.title == ui::menuText::slotMenu)
        {
            const auto* add = find (ui::menuText::add);
            ASSERT_NE (add, nullptr);
            choose (add->choice);
        }
        const auto* item = find (title);
        ASSERT_NE (item, nullptr) << title;
        ASSERT_TRUE (item->enabled) << title;
        choose (item->choice);
    }

    void remove (int slot, const juce::String& name)
    {
        row (slot).handleMouseDown();
        ASSERT_EQ (shown.title, ui::menuText::slotMenu);
        const auto* item = find ("Remove " + name);
        ASSERT_NE (item, nullptr) << name;
        const auto before = console().channelsForSlot ((uint32_t) slot).size();
        choose (item->choice);
        ASSERT_TRUE (pumpUntil ([&] { return console().channelsForSlot ((uint32_t) slot).size() < before; }));
    }

    std::optional<testing::Recording> record (std::function<void()> during = {})
    {
        const auto path = world->runtimeDir() + "/console" + std::to_string (recordings++) + ".wav";
        const auto recorder = world->startRecording (*sink, 10, path);
        if (! recorder)
            return std::nullopt;
        pumpFor (600ms);
        if (during)
            during();
        pumpFor (900ms);
        if (! world->stopRecording (*recorder))
            return std::nullopt;
        return testing::readFloatWav (path);
    }

    // Every capture belongs to an entry of the table, and every active
    // entry has exactly one.
    void expectOneCapturePerEntry (const std::vector<int32_t>& idsEverUsed)
    {
        const auto states = console().getChannelTable().copyChannelStates();
        for (const auto id : idsEverUsed)
        {
            const auto entry = std::find_if (states.begin(), states.end(), [id] (const auto& s) { return s.channelId == id && s.active; });
            const auto captures = (hasAppCapture (&console(), id) ? 1 : 0) + (hasInputCapture (&console(), id) ? 1 : 0);
            EXPECT_EQ (captures, entry != states.end() ? 1 : 0) << "channel " << id;
        }
    }

    std::vector<int32_t> slotIds (uint32_t slot)
    {
        std::vector<int32_t> ids;
        for (const auto& source : console().channelsForSlot (slot))
            ids.push_back (source.channelId);
        return ids;
    }

    std::optional<uint32_t> sink;
    std::unique_ptr<ui::PopoverViewController> popover;
    ui::MenuModel shown;
    ui::MenuPresenter::Chosen choose;
};

TEST_F (PickerOnPipeWire, PickedSourcesAreHeardOnTheirSlotAndComeOffAgain)
{
    playTone ("toneapp", "Tone App", 440.0);
    playTone ("otherapp", "Other App", 660.0);
    playTone ("thirdapp", "Third App", 880.0);
    makeMic ("test-mic", "Test Mic", 1000.0);
    makeMic ("spare-mic", "Spare Mic", 1500.0);

    // One application on "Music": its tone on 4/5 only, the row shows it.
    pick (0, "Tone App");
    ASSERT_EQ (console().channelsForSlot (0).size(), 1u);
    EXPECT_TRUE (hasAppCapture (&console(), slotIds (0)[0]));
    EXPECT_EQ (*row (0).getCurrentBundleIds(), (std::vector<std::string> { "toneapp" }));
    auto heard = record();
    ASSERT_TRUE (heard && heard->channels == 10) << world->logs();
    for (int channel = 0; channel < 10; ++channel)
        EXPECT_NEAR (toneAmplitude (*heard, channel, 440.0), channel == 4 || channel == 5 ? 0.2 : 0.0, 0.03) << channel;

    // A second application on the same slot: both tones, summed.
    pick (0, "Other App");
    heard = record();
    ASSERT_TRUE (heard);
    EXPECT_NEAR (toneAmplitude (*heard, 4, 440.0), 0.2, 0.03);
    EXPECT_NEAR (toneAmplitude (*heard, 5, 660.0), 0.2, 0.03);
    EXPECT_NEAR (toneAmplitude (*heard, 2, 660.0), 0.0, 0.03);

    // The slot fills up with the microphone and a third application; a
    // fifth source offered by a picker opened before adds nothing.
    pick (0, "Test Mic");
    row (0).handleMouseDown();
    choose (find (ui::menuText::add)->choice);
    const auto* third = find ("Third App");
    ASSERT_NE (third, nullptr);
    choose (third->choice);
    ASSERT_EQ (console().channelsForSlot (0).size(), 4u);
    const auto* spare = find ("Spare Mic");
    ASSERT_NE (spare, nullptr);
    const auto entriesBefore = console().getChannelTable().copyChannelStates().size();
    const auto rowBefore = *row (0).getCurrentBundleIds();
    choose (spare->choice);
    EXPECT_EQ (console().channelsForSlot (0).size(), 4u);
    EXPECT_EQ (console().getChannelTable().copyChannelStates().size(), entriesBefore);
    EXPECT_EQ (*row (0).getCurrentBundleIds(), rowBefore);

    auto ids = slotIds (0);
    expectOneCapturePerEntry (ids);

    // The slot entry's own source comes off while extras hold others: the
    // slot entry takes one over, whose capture goes on without a gap.
    heard = record ([&] { remove (0, "Tone App"); });
    ASSERT_TRUE (heard);
    expectOneCapturePerEntry (ids);
    EXPECT_EQ (console().channelsForSlot (0).size(), 3u);

    // The tones that stay are never silent for longer than a block.
    double quietest = 1.0;
    const int window = 1024;
    for (int start = heard->sampleRate / 5; start + window <= heard->frames(); start += window / 4)
    {
        double sum = 0.0;
        for (int i = start; i < start + window; ++i)
            sum += (double) heard->samples[(size_t) (i * heard->channels + 4)] * heard->samples[(size_t) (i * heard->channels + 4)];
        quietest = std::min (quietest, std::sqrt (sum / window));
    }
    std::cout << "quietest 1024-frame window on channel 4 across the removal: RMS " << quietest << "\n";
    EXPECT_GT (quietest, 0.1);

    heard = record();
    ASSERT_TRUE (heard);
    EXPECT_NEAR (toneAmplitude (*heard, 4, 440.0), 0.0, 0.03);
    for (const auto frequency : { 660.0, 880.0, 1000.0 })
        EXPECT_NEAR (toneAmplitude (*heard, 4, frequency), 0.2, 0.03) << frequency;

    // The microphone comes off: its input capture stops, the applications' stay.
    const auto states = console().channelsForSlot (0);
    const auto mic = std::find_if (states.begin(), states.end(), [] (const auto& s) { return s.sourceKind == sourceKindInputDevice; });
    ASSERT_NE (mic, states.end());
    const auto micId = mic->channelId;
    remove (0, "Test Mic");
    EXPECT_FALSE (hasInputCapture (&console(), micId));
    for (const auto& source : console().channelsForSlot (0))
        EXPECT_TRUE (hasAppCapture (&console(), source.channelId)) << source.bundleId;
    heard = record();
    ASSERT_TRUE (heard);
    EXPECT_NEAR (toneAmplitude (*heard, 4, 1000.0), 0.0, 0.03);
    EXPECT_NEAR (toneAmplitude (*heard, 4, 660.0), 0.2, 0.03);
}

// A name in SPA-JSON string syntax, which the tools' property arguments
// take: controls only as escapes, and the only bytes beyond ASCII the
// parser lets through are sequences of the right length, so the invalid
// UTF-8 that can reach the graph is overlong forms and encoded surrogates.
// pw-loopback hands its properties on to its module as text once more,
// where a DEL no longer parses: a device name goes without one.
struct SpaJsonName
{
    std::string raw;     // what the graph is meant to carry
    std::string escaped; // what goes between the quotes
};

SpaJsonName hostileSpaJsonName (const std::string& word, bool withDel)
{
    SpaJsonName name;
    auto add = [&name] (const std::string& raw, const std::string& escaped)
    {
        name.raw += raw;
        name.escaped += escaped;
    };
    for (int i = 0; i < 40; ++i)
    {
        add (word, word);
        add ("\x01\x1b[2J", "\\u0001\\u001b[2J");
        add ("\xe2\x80\xae", "\xe2\x80\xae");
        add ("\xc2\x85", "\\u0085");
        if (withDel)
            add ("\x7f", "\\u007f");
        add ("\xed\xa0\x80", "\xed\xa0\x80");
        add ("\xc0\xaf", "\xc0\xaf");
        add ("\xe2\x80\xa8\"\\\n", "\\u2028\\\"\\\\\\n");
    }
    while (name.raw.size() < 100000)
        add (word, word);
    return name;
}

TEST_F (PickerOnPipeWire, HostileNamesFromTheGraphReachTheMenusCleaned)
{
    // 100 kB go whole through pw-cat's and pw-loopback's arguments and the
    // graph (pw-cli, which makes the mono sources, takes no more than 4 kB).
    const auto appName = hostileSpaJsonName ("Tone App ", true);
    const auto micName = hostileSpaJsonName ("Desk Mic ", false);
    playTone ("hostileapp", appName.escaped, 440.0);
    ASSERT_TRUE (feedInput ("hostile-mic", micName.escaped, { { 1000.0, 0.2f }, { 1500.0, 0.2f } })) << world->logs();
    auto& connection = PipeWireConnection::instance();
    ASSERT_TRUE (connection.refresh());
    std::string announcedApp, announcedMic;
    for (const auto& node : connection.allNodes())
    {
        if (node.property ("application.process.binary") == "hostileapp")
            announcedApp = node.property ("application.name");
        if (node.name == "hostile-mic")
            announcedMic = node.description;
    }
    EXPECT_EQ (announcedApp, appName.raw);
    EXPECT_EQ (announcedMic, micName.raw);

    // Listed by the real application and device lists, shown clean and
    // clipped.
    row (0).handleMouseDown();
    ASSERT_EQ (shown.title, ui::menuText::addSource);
    ASSERT_NE (find (ui::menuText::apps), nullptr);
    const ui::MenuEntry* app = nullptr;
    for (const auto& item : shown.entries[0].submenu->entries)
        if (item.iconIdentity == "hostileapp")
            app = &item;
    const ui::MenuEntry* mic = nullptr;
    for (const auto& item : shown.entries[1].submenu->entries)
        if (const auto* input = std::get_if<ui::InputChoice> (&item.choice); input != nullptr && input->uid == "hostile-mic")
            mic = &item;
    ASSERT_NE (app, nullptr);
    ASSERT_NE (mic, nullptr);
    for (const auto& [entry, word] : { std::pair { app, "Tone App" }, std::pair { mic, "Desk Mic" } })
    {
        EXPECT_EQ (ui::testing::unsafeIn (entry->title, 61), "") << entry->title;
        EXPECT_TRUE (entry->title.startsWith (word)) << entry->title;
        EXPECT_TRUE (entry->title.endsWithChar (0x2026)) << entry->title;
    }

    // Both picked, their captures run and the "Slot" menu offers them as
    // cleanly.
    const auto micTitle = mic->title;
    choose (app->choice);
    pick (0, micTitle);
    ASSERT_EQ (console().channelsForSlot (0).size(), 2u);
    expectOneCapturePerEntry (slotIds (0));
    row (0).handleMouseDown();
    ASSERT_EQ (shown.title, ui::menuText::slotMenu);
    ASSERT_GE (shown.entries.size(), 2u);
    EXPECT_TRUE (shown.entries[0].title.startsWith ("Remove Tone App"));
    EXPECT_TRUE (shown.entries[1].title.startsWith ("Remove Desk Mic"));
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ (ui::testing::unsafeIn (shown.entries[i].title, 7 + 61), "") << shown.entries[i].title;
}

} // namespace
} // namespace loomwell
