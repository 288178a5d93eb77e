#include "StatusItem.h"

#include "DeviceTracker.h"
#include "LoomwellAssets.h"
#include "SlotRowView.h"
#include "TrayHints.h"

#include <cstdio>
#include <cstdlib>

namespace loomwell
{

namespace
{

// The icon's size in a tray of 22-pixel slots, and the glyph's inside it.
constexpr int trayIconSize = 22;
constexpr float glyphSize = 18.0f;
constexpr int sizeCheckIntervalMs = 1000;
constexpr int maxRedocks = 10;

// The window that stands in for a missing tray, and its distance from the
// corner of the work area.
constexpr int iconWindowSize = 28;
constexpr int iconWindowMargin = 4;

// Space between the tray icon and the popover.
constexpr int popoverGap = 4;

// How often the open popover looks for a click elsewhere or a lost focus:
// X gives no event for a click on another client's window.
constexpr int outsideClickPollHz = 20;

// The glyph keeps its proportions and its 18 of 22 pixels at any size.
void drawGlyph (juce::Graphics& g, juce::Rectangle<float> bounds, const juce::Image& image)
{
    const auto side = juce::jmin (bounds.getWidth(), bounds.getHeight()) * glyphSize / (float) trayIconSize;
    g.drawImage (image, bounds.withSizeKeepingCentre (side, side), juce::RectanglePlacement::centred);
}

} // namespace

//==============================================================================
TrayIcon::TrayIcon()
    : image (iconImage())
{
    setOpaque (false);
    setSize (trayIconSize, trayIconSize);
    setIconImage (image, image);
    startTimer (sizeCheckIntervalMs);
}

juce::Image TrayIcon::iconImage()
{
    auto glyph = juce::ImageFileFormat::loadFrom (LoomwellAssets::consoleGlyph_png,
                                                  static_cast<size_t> (LoomwellAssets::consoleGlyph_pngSize));
    return glyph.isValid() ? glyph : ui::speakerGlyph();
}

void TrayIcon::paint (juce::Graphics& g)
{
    // The tray sizes the icon.
    drawGlyph (g, getLocalBounds().toFloat(), image);
}

// The tray may read the icon's size hints before JUCE has written the
// minimum size, and JUCE rewrites them without it whenever it places the
// window, so the tray can give the icon a slot one pixel wide and never
// look again. Then the hints are set here, the window asks for its size and
// the icon docks anew, which makes the tray measure it afresh. The width is
// the X server's: the toolkit may not have heard of the tray's resize. A
// tray that chooses a small size of its own is left alone.
void TrayIcon::timerCallback()
{
    if (! isOnDesktop() || redocks >= maxRedocks)
        return;
    if (const auto width = currentWindowWidth (reinterpret_cast<unsigned long> (getWindowHandle())); width < 0 || width > 1)
        return;

    ++redocks;
    setMinimumSizeHint (reinterpret_cast<unsigned long> (getWindowHandle()), trayIconSize, trayIconSize);
    setIconImage (image, image);
}

//==============================================================================
IconWindow::IconWindow()
    : image (TrayIcon::iconImage())
{
    setName (title);
    setOpaque (true);
    setAlwaysOnTop (true);
    setSize (iconWindowSize, iconWindowSize);

    // Without a title bar it takes no decoration; the drop shadow makes it a
    // normal window to the window manager, not a menu.
    addToDesktop (juce::ComponentPeer::windowAppearsOnTaskbar | juce::ComponentPeer::windowHasDropShadow);
    if (const auto* display = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay())
        setTopRightPosition (display->userArea.getRight() - iconWindowMargin, display->userArea.getY() + iconWindowMargin);
    setVisible (true);
}

void IconWindow::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour::greyLevel (0.1f));
    drawGlyph (g, getLocalBounds().toFloat(), image);
}

//==============================================================================
PopoverWindow::PopoverWindow (ui::PopoverViewController& contentToShow)
    : content (contentToShow)
{
    setName ("Loomwell");
    setOpaque (true);
    setWantsKeyboardFocus (true);
    addAndMakeVisible (content);
    content.setTopLeftPosition (0, 0);
    setSize (content.getWidth(), content.getHeight());
}

PopoverWindow::~PopoverWindow()
{
    close();
    removeChildComponent (&content);
}

void PopoverWindow::show (juce::Rectangle<int> anchor)
{
    if (shown)
        return;

    anchorArea = anchor;
    shown = true;
    hadFocus = false;
    content.viewWillAppear();

    // Temporary: no decoration, no taskbar entry, above other windows.
    if (! isOnDesktop())
        addToDesktop (juce::ComponentPeer::windowIsTemporary);

    place();
    setVisible (true);
    toFront (true);
    grabKeyboardFocus();
    focusAttempts = 0;
    startTimerHz (outsideClickPollHz);
}

void PopoverWindow::close()
{
    if (! shown)
        return;

    shown = false;
    stopTimer();
    content.viewWillDisappear();
    setVisible (false);

    // A window JUCE keeps on the desktop wakes the program at the display's
    // refresh rate, shown or not; the closed popover gives its window up and
    // gets a new one when it opens again.
    removeFromDesktop();
}

void PopoverWindow::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour::greyLevel (0.1f));
}

void PopoverWindow::childBoundsChanged (juce::Component* child)
{
    if (child != &content)
        return;

    setSize (content.getWidth(), content.getHeight());
    if (shown)
        place();
}

// Centred under the icon, or above it when the tray is at the bottom, and
// always inside the work area of the icon's display.
void PopoverWindow::place()
{
    auto& displays = juce::Desktop::getInstance().getDisplays();
    const auto* display = displays.getDisplayForPoint (anchorArea.getCentre());
    if (display == nullptr)
        display = displays.getPrimaryDisplay();

    auto area = juce::Rectangle<int> (getWidth(), getHeight())
                    .withCentre ({ anchorArea.getCentreX(), 0 })
                    .withY (anchorArea.getBottom() + popoverGap);

    if (display != nullptr)
    {
        const auto work = display->userArea;
        if (area.getBottom() > work.getBottom())
            area.setY (anchorArea.getY() - popoverGap - area.getHeight());
        area = area.constrainedWithin (work);
    }

    setBounds (area);
}

bool PopoverWindow::ownsFocus() const
{
    const auto* peer = getPeer();
    return peer != nullptr && peer->isFocused();
}

void PopoverWindow::timerCallback()
{
    const bool onIcon = isPointerOnIcon != nullptr && isPointerOnIcon();

    // A menu of ours takes the focus and the clicks while it is open.
    if (isMenuOpen != nullptr && isMenuOpen())
    {
        hadFocus = false;
        return;
    }

    const auto mods = juce::ModifierKeys::getCurrentModifiersRealtime();
    if (mods.isAnyMouseButtonDown() && ! onIcon
        && ! getScreenBounds().contains (juce::Desktop::getInstance().getMousePosition()))
    {
        close();
        return;
    }

    if (ownsFocus())
        hadFocus = true;
    else if (hadFocus && ! onIcon)
        close();
    else if (! hadFocus && focusAttempts < maxFocusAttempts)
    {
        // X refuses the focus to a window that is not mapped yet, as it may
        // not be when the popover first asks: ask again for a moment, so
        // that it has the focus to lose.
        ++focusAttempts;
        grabKeyboardFocus();
    }
}

//==============================================================================
StatusItem::StatusItem (std::function<void()> quitAction, SourceRouter& router, ui::SourceActions actions)
    : quit (std::move (quitAction))
{
    // JUCE's tray icon is a window that asks a tray to take it in; with no
    // tray to ask it would stay a bare 22-pixel window at the screen's
    // origin, so a window of our own stands in for it.
    if (trayPresent())
        icon = std::make_unique<TrayIcon>();
    else
    {
        std::fprintf (stderr, "LMW: no system tray on this screen; the icon is a window of its own\n");
        icon = std::make_unique<IconWindow>();
    }
    icon->addMouseListener (this, false);

    updateStatusIconForDeviceState();

    stateObserver = NotificationCentre::defaultCentre().addObserver (deviceStateChangedNotification,
                                                                     [this] { deviceStateChanged(); });

    popoverVC = std::make_unique<ui::PopoverViewController> (router, std::move (actions));
    popover = std::make_unique<PopoverWindow> (*popoverVC);
    popover->isPointerOnIcon = [this]
    {
        return icon->isMouseOverOrDragging (true)
            || icon->getScreenBounds().contains (juce::Desktop::getInstance().getMousePosition());
    };
    popover->isMenuOpen = [this] { return menuOpen || popoverVC->isMenuOpen(); };
}

StatusItem::~StatusItem()
{
    *alive = false;
    if (stateObserver != 0)
        NotificationCentre::defaultCentre().removeObserver (stateObserver);

    juce::PopupMenu::dismissAllActiveMenus();
    popover.reset();
    popoverVC.reset();
    icon->removeMouseListener (this);
    icon.reset();
}

bool StatusItem::displayAvailable()
{
    // Without DISPLAY, X is never asked, so a headless run stays as it was.
    const char* display = std::getenv ("DISPLAY");
    if (display == nullptr || *display == '\0')
        return false;

    // JUCE opens its display here, while the preparation holds it ready.
    const DisplayPreparation prepared;
    return prepared.reachable() && juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
}

void StatusItem::togglePopover (bool rightButton)
{
    if (rightButton)
    {
        showQuitMenu();
        return;
    }

    if (popover == nullptr)
        return;

    if (popover->isShown())
    {
        popover->close();
        return;
    }

    popover->show (icon->getScreenBounds());
}

void StatusItem::updateStatusIconForDeviceState()
{
    const auto count = static_cast<int32_t> (DeviceTracker::instance().devices.size());

    if (count < 1 && popover != nullptr && popover->isShown())
        popover->close();

    icon->setVisible (true);
}

void StatusItem::mouseUp (const juce::MouseEvent& event)
{
    // The mouse-up's modifiers still hold the released button.
    if (event.mods.isLeftButtonDown() || event.mods.isRightButtonDown())
        togglePopover (event.mods.isRightButtonDown());
}

void StatusItem::showQuitMenu()
{
    juce::PopupMenu menu;
    menu.addItem (1, quitItemText);

    menuOpen = true;
    std::weak_ptr<bool> stillAlive = alive;
    menu.showMenuAsync (juce::PopupMenu::Options().withTargetScreenArea (icon->getScreenBounds()),
                        [this, stillAlive] (int result)
                        {
                            if (stillAlive.expired() || ! *stillAlive.lock())
                                return;
                            menuOpen = false;
                            if (result == 1 && quit)
                                quit();
                        });
}

} // namespace loomwell
