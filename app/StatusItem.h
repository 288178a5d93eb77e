#pragma once

#include "PopoverViewController.h"

#include "Notifications.h"

#include <juce_gui_extra/juce_gui_extra.h>

#include <functional>
#include <memory>

namespace loomwell
{

// The tray icon: the console glyph in the desktop's XEmbed tray. Both
// buttons act on release, as a status item does.
class TrayIcon : public juce::SystemTrayIconComponent,
                 private juce::Timer
{
public:
    TrayIcon();

    // The embedded glyph, or the drawn speaker when the glyph cannot be
    // decoded; light on transparent so that it reads on dark panels.
    static juce::Image iconImage();

    std::function<void (bool rightButton)> onRelease;

    void paint (juce::Graphics&) override;
    void mouseUp (const juce::MouseEvent&) override;

private:
    void timerCallback() override;

    juce::Image image;
    int redocks = 0;
};

// The popover: a borderless dark window under the tray icon that shows the
// PopoverViewController and follows its size. It closes on a click anywhere
// else or when it loses the keyboard focus.
class PopoverWindow : public juce::Component,
                      private juce::Timer
{
public:
    explicit PopoverWindow (ui::PopoverViewController& content);
    ~PopoverWindow() override;

    // `anchor` is the tray icon's area on the screen.
    void show (juce::Rectangle<int> anchor);
    void close();
    bool isShown() const { return shown; }

    // Clicks inside this area (the tray icon) are the icon's own and do not
    // close the popover; neither does anything while a menu of ours is open.
    std::function<bool()> isPointerOnIcon;
    std::function<bool()> isMenuOpen;

    void paint (juce::Graphics&) override;
    void childBoundsChanged (juce::Component*) override;

private:
    void timerCallback() override;
    void place();
    bool ownsFocus() const;

    ui::PopoverViewController& content;
    juce::Rectangle<int> anchorArea;
    bool shown = false;
    bool hadFocus = false;
    int focusAttempts = 0;
    static constexpr int maxFocusAttempts = 20;
};

// The item in the tray and the popover hanging off it. Main thread only;
// it ends its observation and closes the popover when destroyed, before any
// console goes away.
class StatusItem
{
public:
    // Brings the item up, brings it in line with the tracker and observes
    // "LMWDeviceStateChanged"; `quit` is what "Quit Loomwell" runs.
    explicit StatusItem (std::function<void()> quit);
    ~StatusItem();

    // False without an X display to show a window on; then the program
    // runs without an interface.
    static bool displayAvailable();

    void togglePopover (bool rightButton);
    void updateStatusIconForDeviceState();
    void deviceStateChanged() { updateStatusIconForDeviceState(); }

    TrayIcon& getTrayIcon() { return *trayIcon; }
    PopoverWindow& getPopover() { return *popover; }
    ui::PopoverViewController& getPopoverVC() { return *popoverVC; }

    static constexpr const char* quitItemText = "Quit Loomwell";

private:
    void showQuitMenu();

    std::function<void()> quit;
    std::unique_ptr<TrayIcon> trayIcon;
    std::unique_ptr<ui::PopoverViewController> popoverVC;
    std::unique_ptr<PopoverWindow> popover;
    NotificationCentre::Token stateObserver = 0;
    bool menuOpen = false;
    std::shared_ptr<bool> alive = std::make_shared<bool> (true);
};

} // namespace loomwell
