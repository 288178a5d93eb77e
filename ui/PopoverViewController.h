#pragma once

#include "DevicePanel.h"
#include "SourceActions.h"
#include "SourceMenus.h"

#include "ChannelTable.h"
#include "DeviceTracker.h"
#include "Notifications.h"
#include "SourceRouter.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <memory>
#include <vector>

namespace loomwell::ui
{

// The prompt shown while no console is open: the plug glyph and two lines
// asking for a console.
class DisconnectedView : public juce::Component
{
public:
    DisconnectedView();

    FramedImageView* getPlugView() const { return plugView.get(); }
    juce::Label& getPromptLabel() { return promptLabel; }

    void resized() override;

private:
    std::unique_ptr<FramedImageView> plugView;
    juce::Label promptLabel;
};

// The content of the tray popover: the prompt, or one panel per open console
// with its four slot rows, and the 30 Hz meter refresh while shown.
//
// Its size is the popover's preferred content size; the window that shows it
// follows it. Main thread only.
class PopoverViewController : public juce::Component,
                              private juce::Timer,
                              private DeviceTracker::Listener
{
public:
    // What the menus list and who puts a chosen source on its slot.
    PopoverViewController (SourceRouter&, SourceActions);
    ~PopoverViewController() override;

    static constexpr int panelWidth() { return 329; }
    static constexpr int panelHeightForDevice() { return 167; }
    static constexpr int disconnectedHeight() { return 197; }
    static constexpr int meterHz = 30;

    void rebuildLayout();
    void syncAllSlotStates();
    void refreshSlotView (int slot, DevicePanel& panel);
    DevicePanel* panelForDeviceIndex (int deviceIndex) const;

    // The popover's appearance drives these: the meter timer and the
    // state-changed observation exist only while it is shown.
    void viewWillAppear();
    void viewWillDisappear();
    void deviceStateChanged();

    // One meter tick over every panel.
    void updateMeters();

    bool acceptsFirstResponder() const { return true; }
    bool isMeterTimerRunning() const { return isTimerRunning(); }
    const std::vector<std::unique_ptr<DevicePanel>>& getDevicePanels() const { return devicePanels; }
    DisconnectedView& getDisconnectedView() { return disconnectedView; }
    juce::Point<int> preferredContentSize() const { return preferredSize; }
    size_t separatorCount() const { return separators.size(); }
    const juce::Component* separator (size_t index) const { return separators.at (index).get(); }

    // A click on a slot row, with the panel's index among the shown panels:
    // the "Slot" menu, or the picker for an empty slot.
    void slotClickedForDevice (int deviceIndex, int slot);
    // The "Add Source" menu. It is shown at once; the application list
    // fills its "Apps" submenu when it arrives, also while it is shown.
    void showAppPickerForDevice (int deviceIndex, int slot);

    // What the menus' items do. A choice made for a console whose panel has
    // gone (or now shows another console) is ignored, except a removal once
    // its animation ran: it is carried out while its console is tracked.
    // appSelected and inputDeviceSelected block while the capture starts.
    void menuItemChosen (const MenuChoice&);
    void addToSlot (const AddChoice&);
    void appSelected (const AppChoice&);
    void inputDeviceSelected (const InputChoice&);
    void removeApp (const RemoveChoice&);

    // Where menu and row icons come from; the freedesktop lookup by default.
    void setAppIconLookup (AppIconLookup lookup);

    // Shows a menu at a point of the screen; `chosen` gets the picked item's
    // choice, `done` runs when the menu closes. A JUCE menu unless replaced
    // (tests look at the model and choose from it). The picker's "Apps"
    // submenu is shared and may still be filled while the menu is shown.
    using MenuPresentation = std::function<void (const MenuModel&, juce::Point<int> where,
                                                 MenuPresenter::Chosen chosen, std::function<void()> done)>;
    MenuPresentation presentMenu;
    bool isMenuOpen() const { return openMenus > 0; }

    // The loudest level of the active entries of each of the first `rows`
    // slots; the entry at index i names slot i through its output pair, and a
    // row without such an entry gets 0.
    static std::vector<float> loudestLevelPerSlot (const std::vector<ChannelState>& entries, size_t rows);

    void paint (juce::Graphics&) override;

private:
    void timerCallback() override { updateMeters(); }
    void showMenu (const MenuModel& menu, SlotRowView& row, bool atPointer);
    DevicePanel* panelForChoice (int deviceIndex, const DeviceInstance* console) const;
    void consoleWillBeRemoved (DeviceInstance& console) override;

    DisconnectedView disconnectedView;
    std::vector<std::unique_ptr<DevicePanel>> devicePanels;
    std::vector<std::unique_ptr<juce::Component>> separators;
    juce::Point<int> preferredSize;
    NotificationCentre::Token stateObserver = 0;

    // A console on its way out of the tracker: still listed while it is
    // announced, never shown again.
    const DeviceInstance* leaving = nullptr;

    SourceRouter* const router;
    SourceActions sourceActions;
    AppIconLookup appIcons = defaultAppIconLookup();
    int openMenus = 0;

    JUCE_DECLARE_NON_COPYABLE (PopoverViewController)
};

} // namespace loomwell::ui
