#pragma once

#include "PopoverViewController.h"

#include "Notifications.h"
#include "StatusNotifierItem.h"
#include "XEmbedIcon.h"

#include <juce_gui_extra/juce_gui_extra.h>

#include <functional>
#include <memory>

namespace loomwell
{

// Where the screen has no tray: the glyph in a small dark window of its
// own at the top right of the work area, above other windows and in the
// window list, so that the popover and the quit menu stay within reach.
class IconWindow : public juce::Component
{
public:
    IconWindow();

    static constexpr const char* title = "Loomwell icon";

    void paint (juce::Graphics&) override;

private:
    juce::Image image;
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

// The item in the tray (or in its own window when there is no tray) and the
// popover hanging off it. Both of the icon's buttons act on release, as a
// status item does. Main thread only; it ends its observation and closes
// the popover when destroyed, before any console goes away.
class StatusItem : private juce::MouseListener
{
public:
    // Brings the item up, brings it in line with the tracker and observes
    // "LMWDeviceStateChanged"; `quit` is what "Quit Loomwell" runs. The
    // popover's menus list and route through `router` and `actions`.
    StatusItem (std::function<void()> quit, SourceRouter& router, ui::SourceActions actions);
    ~StatusItem();

    // False without an X display to show a window on; then the program
    // runs without an interface. Readies the display for JUCE, so it must
    // come before anything else asks JUCE for the desktop.
    static bool displayAvailable();

    void updateStatusIconForDeviceState();
    void deviceStateChanged() { updateStatusIconForDeviceState(); }

    static constexpr const char* quitItemText = "Quit Loomwell";

    // The embedded glyph, or the drawn speaker when the glyph cannot be
    // decoded; light on transparent so that it reads on dark panels.
    static juce::Image iconImage();

private:
    // How the icon is shown: in a StatusNotifierItem host when a watcher
    // took the item, else in an XEmbed tray when there is one, else as a
    // window of its own. Decided again whenever a watcher or a tray comes
    // or goes; nothing is shown until the bus answered whether a watcher is there.
    enum class Presentation
    {
        undecided,
        notifierItem,
        xembed,
        window
    };
    void present();

    void toggleAt (juce::Rectangle<int> iconArea);
    void showQuitMenu (juce::Rectangle<int> iconArea);
    // A point a host gave, in the X server's pixels, as an area of the
    // screen to hang the popover from; the pointer's position when the point
    // lies on no screen.
    juce::Rectangle<int> hostPoint (int x, int y) const;
    juce::Rectangle<int> iconArea() const;
    void mouseUp (const juce::MouseEvent&) override;

    std::function<void()> quit;
    std::unique_ptr<StatusNotifierItem> notifierItem;
    std::unique_ptr<XEmbedIcon> trayIcon;
    std::unique_ptr<IconWindow> iconWindow;
    Presentation presentation = Presentation::undecided;
    bool watcherAnswered = false;
    juce::Rectangle<int> lastAnchor;
    std::unique_ptr<ui::PopoverViewController> popoverVC;
    std::unique_ptr<PopoverWindow> popover;
    NotificationCentre::Token stateObserver = 0;
    bool menuOpen = false;
    std::shared_ptr<bool> alive = std::make_shared<bool> (true);
};

} // namespace loomwell
