#include "PopoverViewController.h"
#include "Frames.h"

#include "DeviceInstance.h"

#include <LoomwellAssets.h>

#include <algorithm>

namespace loomwell::ui
{
namespace
{

constexpr float separatorGap = 20.0f;
constexpr float edgeMargin = 15.0f;

class SeparatorLine final : public juce::Component
{
public:
    SeparatorLine()
    {
        setOpaque (true);
        setInterceptsMouseClicks (false, false);
    }

    void paint (juce::Graphics& g) override { g.fillAll (grey (0.22f)); }
};

} // namespace

//==============================================================================
DisconnectedView::DisconnectedView()
{
    setInterceptsMouseClicks (false, false);

    if (auto plug = juce::ImageCache::getFromMemory (LoomwellAssets::usbPlug_png, LoomwellAssets::usbPlug_pngSize); plug.isValid())
    {
        plugView = std::make_unique<FramedImageView> (plug, grey (0.35f));
        addAndMakeVisible (*plugView);
    }

    promptLabel.setText ("Please connect a Mixora with\nExpanded USB Inputs enabled.", juce::dontSendNotification);
    promptLabel.setFont (interfaceFont (14.0f, "Regular"));
    promptLabel.setColour (juce::Label::textColourId, grey (0.35f));
    promptLabel.setJustificationType (juce::Justification::centred);
    promptLabel.setBorderSize ({});
    promptLabel.setMinimumHorizontalScale (1.0f);
    promptLabel.setComponentID ("300");
    promptLabel.setInterceptsMouseClicks (false, false);
    addAndMakeVisible (promptLabel);
}

void DisconnectedView::resized()
{
    const auto w = (float) getWidth();
    const auto h = (float) getHeight();
    if (plugView != nullptr)
        plugView->setFrame (fromBottomLeft ((w - 53.0f) / 2.0f, h / 2.0f, 53.0f, 53.0f, h));
    // The label's frame sits on a half point; components sit on whole ones,
    // so it moves half a point up.
    promptLabel.setBounds (fromBottomLeft (15.0f, h / 2.0f - 46.0f, w - 30.0f, 40.0f, h).getSmallestIntegerContainer().withHeight (40));
}

//==============================================================================
PopoverViewController::PopoverViewController (SourceRouter& sourceRouter, SourceActions actions)
    : router (&sourceRouter), sourceActions (std::move (actions))
{
    const auto w = panelWidth();
    const auto h = disconnectedHeight();

    setOpaque (true);
    setSize (w, h);
    disconnectedView.setBounds (fromBottomLeft (0.0f, 0.0f, (float) w, (float) h, (float) h).toNearestInt());
    disconnectedView.setVisible (false);
    addChildComponent (disconnectedView);
    preferredSize = { w, h };

    DeviceTracker::instance().addListener (this);
    rebuildLayout();
}

PopoverViewController::~PopoverViewController()
{
    stopTimer();
    if (stateObserver != 0)
        NotificationCentre::defaultCentre().removeObserver (stateObserver);
    DeviceTracker::instance().removeListener (this);
}

void PopoverViewController::paint (juce::Graphics& g)
{
    g.fillAll (grey (0.1f));
}

void PopoverViewController::rebuildLayout()
{
    const auto w = (float) panelWidth();

    std::vector<DeviceInstance*> consoles;
    for (const auto& device : DeviceTracker::instance().devices)
        consoles.push_back (device.get());

    devicePanels.clear();
    separators.clear();

    std::vector<DeviceInstance*> shown;
    for (auto* console : consoles)
        if (console != leaving && console->isOpen())
            shown.push_back (console);

    const auto n = (int) shown.size();
    disconnectedView.setVisible (n == 0);

    if (n == 0)
    {
        const auto h = (float) disconnectedHeight();
        preferredSize = { panelWidth(), disconnectedHeight() };
        setSize (preferredSize.x, preferredSize.y);
        disconnectedView.setBounds (fromBottomLeft (0.0f, 0.0f, w, h, h).toNearestInt());
        repaint();
        return;
    }

    const auto p = (float) panelHeightForDevice();
    const auto total = edgeMargin + (float) n * p + (float) (n - 1) * 2.0f * separatorGap + edgeMargin;
    preferredSize = { panelWidth(), (int) total };
    setSize (preferredSize.x, preferredSize.y);

    auto y = total - edgeMargin;
    juce::Component::SafePointer<PopoverViewController> weakSelf (this);

    for (int k = 0; k < n; ++k)
    {
        auto panel = std::make_unique<DevicePanel> (*shown[(size_t) k]);
        y -= p;
        panel->setBounds (fromBottomLeft (0.0f, y, w, p, total).toNearestInt());

        for (auto& row : panel->slotRows)
        {
            row->setAppIconLookup (appIcons);
            row->onClick = [weakSelf, k] (int32_t slot)
            {
                if (auto* self = weakSelf.getComponent())
                    self->slotClickedForDevice (k, slot);
            };
        }

        addAndMakeVisible (*panel);
        devicePanels.push_back (std::move (panel));

        if (k < n - 1)
        {
            y -= separatorGap;
            auto line = std::make_unique<SeparatorLine>();
            line->setBounds (fromBottomLeft (0.0f, y, w, 1.0f, total).toNearestInt());
            addAndMakeVisible (*line);
            separators.push_back (std::move (line));
            y -= separatorGap;
        }
    }

    repaint();
    syncAllSlotStates();
}

void PopoverViewController::syncAllSlotStates()
{
    for (auto& panel : devicePanels)
    {
        if (panel->slotRows.empty())
            continue;
        const auto rows = std::min<size_t> (4, panel->slotRows.size());
        for (size_t s = 0; s < rows; ++s)
            refreshSlotView ((int) s, *panel);
    }
}

void PopoverViewController::refreshSlotView (int slot, DevicePanel& panel)
{
    if (panel.device == nullptr || slot < 0 || (size_t) slot >= panel.slotRows.size())
        return;

    std::vector<std::string> ids;
    for (const auto& source : panel.device->channelsForSlot ((uint32_t) slot))
    {
        if (source.sourceKind == sourceKindInputDevice)
            ids.push_back ("hw:" + source.bundleId);
        else if (source.sourceKind == sourceKindOutputDevice)
            ids.push_back ("out:" + source.bundleId);
        else
            ids.push_back (source.bundleId);
    }

    const auto active = ! ids.empty();
    panel.slotRows[(size_t) slot]->updateWithBundleIds (ids, active);
}

DevicePanel* PopoverViewController::panelForDeviceIndex (int deviceIndex) const
{
    if (deviceIndex < 0 || (size_t) deviceIndex >= devicePanels.size())
        return nullptr;
    return devicePanels[(size_t) deviceIndex].get();
}

void PopoverViewController::viewWillAppear()
{
    rebuildLayout();
    startTimerHz (meterHz);
    if (stateObserver == 0)
        stateObserver = NotificationCentre::defaultCentre().addObserver (deviceStateChangedNotification, [this] { deviceStateChanged(); });
}

void PopoverViewController::viewWillDisappear()
{
    stopTimer();
    if (stateObserver != 0)
    {
        NotificationCentre::defaultCentre().removeObserver (stateObserver);
        stateObserver = 0;
    }
}

void PopoverViewController::deviceStateChanged()
{
    rebuildLayout();
}

void PopoverViewController::setAppIconLookup (AppIconLookup lookup)
{
    appIcons = std::move (lookup);
    for (auto& panel : devicePanels)
        for (auto& row : panel->slotRows)
            row->setAppIconLookup (appIcons);
}

namespace
{
// The application list runs here, never on the message thread: it may take
// up to 5 s when PipeWire is slow to answer.
juce::ThreadPool& listWorkers()
{
    static juce::ThreadPool pool (2);
    return pool;
}
} // namespace

void PopoverViewController::slotClickedForDevice (int deviceIndex, int slot)
{
    auto* panel = panelForDeviceIndex (deviceIndex);
    if (panel == nullptr || panel->device == nullptr || slot < 0 || (size_t) slot >= panel->slotRows.size())
        return;

    auto menu = buildSlotMenu (*panel->device, deviceIndex, slot);
    if (! menu)
    {
        showAppPickerForDevice (deviceIndex, slot);
        return;
    }
    showMenu (*menu, *panel->slotRows[(size_t) slot], true);
}

void PopoverViewController::showAppPickerForDevice (int deviceIndex, int slot)
{
    auto* panel = panelForDeviceIndex (deviceIndex);
    if (panel == nullptr || panel->device == nullptr || slot < 0 || (size_t) slot >= panel->slotRows.size())
        return;

    const auto inputs = sourceActions.listInputs ? sourceActions.listInputs() : std::vector<InputDevice> {};
    auto menu = buildPickerMenu (*panel->device, deviceIndex, slot, inputs);

    // The query holds the controller weakly and the submenu strongly: a fill
    // for a controller that has gone leaves "Loading…" where it is.
    auto apps = menu.entries.front().submenu;
    const auto existing = existingSources (*panel->device);
    const DeviceInstance* console = panel->device;
    juce::Component::SafePointer<PopoverViewController> weakSelf (this);
    listWorkers().addJob ([apps, existing, console, deviceIndex, slot, weakSelf, list = sourceActions.listApps]
    {
        auto found = list ? list() : std::vector<CapturableApp> {};
        juce::MessageManager::callAsync ([apps, existing, console, deviceIndex, slot, weakSelf, found = std::move (found)]
        {
            if (weakSelf.getComponent() != nullptr)
                fillAppsSubmenu (*apps, found, existing, console, deviceIndex, slot);
        });
    });

    showMenu (menu, *panel->slotRows[(size_t) slot], false);
}

void PopoverViewController::showMenu (const MenuModel& menu, SlotRowView& row, bool atPointer)
{
    // The picker hangs at a fixed point of the row; the slot menu opens where
    // the click was, when there was one on the row.
    auto where = row.localPointToGlobal (juce::Point<int> (34, row.getHeight() - 71));
    if (atPointer && row.isMouseOver (true))
        where = juce::Desktop::getMousePosition();

    ++openMenus;
    juce::Component::SafePointer<PopoverViewController> weakSelf (this);
    auto chosen = [weakSelf] (const MenuChoice& choice)
    {
        if (auto* self = weakSelf.getComponent())
            self->menuItemChosen (choice);
    };
    auto done = [weakSelf]
    {
        if (auto* self = weakSelf.getComponent())
            --self->openMenus;
    };

    if (presentMenu)
        presentMenu (menu, where, std::move (chosen), std::move (done));
    else
        MenuPresenter::show (menu, juce::PopupMenu::Options().withTargetScreenArea ({ where.x, where.y, 1, 1 }), appIcons,
                             std::move (chosen), std::move (done));
}

DevicePanel* PopoverViewController::panelForChoice (int deviceIndex, const DeviceInstance* console) const
{
    auto* panel = panelForDeviceIndex (deviceIndex);
    return panel != nullptr && panel->device != nullptr && panel->device == console ? panel : nullptr;
}

void PopoverViewController::menuItemChosen (const MenuChoice& choice)
{
    if (const auto* add = std::get_if<AddChoice> (&choice))
        addToSlot (*add);
    else if (const auto* app = std::get_if<AppChoice> (&choice))
        appSelected (*app);
    else if (const auto* input = std::get_if<InputChoice> (&choice))
        inputDeviceSelected (*input);
    else if (const auto* remove = std::get_if<RemoveChoice> (&choice))
        removeApp (*remove);
}

void PopoverViewController::addToSlot (const AddChoice& choice)
{
    if (panelForChoice (choice.device, choice.console) != nullptr)
        showAppPickerForDevice (choice.device, choice.slot);
}

void PopoverViewController::appSelected (const AppChoice& choice)
{
    auto* panel = panelForChoice (choice.device, choice.console);
    if (panel == nullptr || choice.slot < 0)
        return;

    router->addApp (*panel->device, (uint32_t) choice.slot, choice.bundleId, choice.name);
    refreshSlotView (choice.slot, *panel);
}

void PopoverViewController::inputDeviceSelected (const InputChoice& choice)
{
    auto* panel = panelForChoice (choice.device, choice.console);
    if (panel == nullptr || choice.slot < 0)
        return;

    router->addInput (*panel->device, (uint32_t) choice.slot, choice.uid, choice.name, choice.deviceId);
    refreshSlotView (choice.slot, *panel);
}

void PopoverViewController::removeApp (const RemoveChoice& choice)
{
    auto* panel = panelForChoice (choice.device, choice.console);
    if (panel == nullptr || choice.slot < 0 || (size_t) choice.slot >= panel->slotRows.size())
        return;

    // The row animates first. Meanwhile the popover may be rebuilt (a
    // hot-plug run, the popover reopened) and this panel go, while the
    // console stays: the choice still stands then. Only a console that has
    // left the tracker is not touched (the serial guards against another
    // console made at the same address since).
    juce::Component::SafePointer<PopoverViewController> weakSelf (this);
    panel->slotRows[(size_t) choice.slot]->animateRemovalOfBundleId (choice.bundleId, [weakSelf, choice, serial = panel->device->serial]
    {
        auto* self = weakSelf.getComponent();
        if (self == nullptr)
            return;

        const auto& consoles = DeviceTracker::instance().devices;
        const auto tracked = std::find_if (consoles.begin(), consoles.end(),
                                           [&] (const auto& device) { return device.get() == choice.console && device->serial == serial; });
        if (tracked == consoles.end())
            return;

        self->router->remove (**tracked, (uint32_t) choice.slot, choice.bundleId);
        for (auto& p : self->devicePanels)
            if (p->device == tracked->get())
                self->refreshSlotView (choice.slot, *p);
    });
}

void PopoverViewController::consoleWillBeRemoved (DeviceInstance& console)
{
    const auto shown = std::any_of (devicePanels.begin(), devicePanels.end(),
                                    [&console] (const auto& panel) { return panel->device == &console; });
    if (! shown)
        return;

    // The console is still in the tracker's list while it is announced.
    leaving = &console;
    rebuildLayout();
    leaving = nullptr;
}

std::vector<float> PopoverViewController::loudestLevelPerSlot (const std::vector<ChannelState>& entries, size_t rows)
{
    std::vector<float> levels (rows, 0.0f);
    for (size_t i = 0; i < rows && i < entries.size(); ++i)
    {
        const auto pair = entries[i].outputPair;
        auto level = 0.0f;
        for (const auto& entry : entries)
            if (entry.outputPair == pair && entry.active && entry.level > level)
                level = entry.level;
        levels[i] = level;
    }
    return levels;
}

void PopoverViewController::updateMeters()
{
    for (auto& panel : devicePanels)
    {
        if (panel->device == nullptr)
            continue;

        // copyChannelStates holds the console's channel lock only for the copy.
        const auto entries = panel->device->getChannelTable().copyChannelStates();
        const auto rows = std::min<size_t> (panel->slotRows.size(), 4);
        const auto levels = loudestLevelPerSlot (entries, rows);
        for (size_t i = 0; i < rows; ++i)
            panel->slotRows[i]->updateMeterLevel (levels[i]);
    }
}

} // namespace loomwell::ui
