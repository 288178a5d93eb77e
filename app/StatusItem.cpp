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
constexpr int trayIconSize = XEmbedIcon::preferredSize;
constexpr float glyphSize = 18.0f;

// The sizes a StatusNotifierItem host picks from.
constexpr int pixmapSizes[] = { 16, 22, 24, 32, 48, 64 };

// The area around a point a host gave that counts as the icon.
constexpr int hostIconSize = 24;

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

// The glyph at that size, premultiplied ARGB.
juce::Image glyphAt (const juce::Image& glyph, int width, int height)
{
    juce::Image image (juce::Image::ARGB, width, height, true);
    juce::Graphics g (image);
    drawGlyph (g, image.getBounds().toFloat(), glyph);
    return image;
}

std::vector<uint32_t> premultipliedPixels (const juce::Image& glyph, int width, int height)
{
    const auto image = glyphAt (glyph, width, height);
    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
    std::vector<uint32_t> pixels;
    pixels.reserve (static_cast<size_t> (width * height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels.push_back (data.getPixelColour (x, y).getPixelARGB().getNativeARGB());
    return pixels;
}

// ARGB32 in network byte order, not premultiplied.
std::vector<IconPixmap> notifierPixmaps (const juce::Image& glyph)
{
    std::vector<IconPixmap> pixmaps;
    for (const auto size : pixmapSizes)
    {
        const auto image = glyphAt (glyph, size, size);
        IconPixmap pixmap { size, size, {} };
        pixmap.argb.reserve (static_cast<size_t> (4 * size * size));
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
            {
                const auto colour = image.getPixelAt (x, y);
                for (const auto byte : { colour.getAlpha(), colour.getRed(), colour.getGreen(), colour.getBlue() })
                    pixmap.argb.push_back (byte);
            }
        pixmaps.push_back (std::move (pixmap));
    }
    return pixmaps;
}

} // namespace

//==============================================================================
juce::Image StatusItem::iconImage()
{
    auto glyph = juce::ImageFileFormat::loadFrom (LoomwellAssets::consoleGlyph_png,
                                                  static_cast<size_t> (LoomwellAssets::consoleGlyph_pngSize));
    return glyph.isValid() ? glyph : ui::speakerGlyph();
}

//==============================================================================
IconWindow::IconWindow()
    : image (StatusItem::iconImage())
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
    popoverVC = std::make_unique<ui::PopoverViewController> (router, std::move (actions));
    popover = std::make_unique<PopoverWindow> (*popoverVC);
    popover->isPointerOnIcon = [this] { return iconArea().contains (juce::Desktop::getInstance().getMousePosition()); };
    popover->isMenuOpen = [this] { return menuOpen || popoverVC->isMenuOpen(); };

    const auto glyph = iconImage();
    trayIcon = XEmbedIcon::create ([glyph] (int width, int height) { return premultipliedPixels (glyph, width, height); },
                                   { [this] (int button, XEmbedIcon::Area area)
                                     {
                                         lastAnchor = juce::Rectangle<int> (area.x, area.y, area.width, area.height)
                                                          / juce::Desktop::getInstance().getGlobalScaleFactor();
                                         if (button == 3)
                                             showQuitMenu (lastAnchor);
                                         else if (button == 1)
                                             toggleAt (lastAnchor);
                                     },
                                     [this] { present(); } });

    StatusNotifierItem::Handlers handlers;
    handlers.activate = [this] (int x, int y) { toggleAt (lastAnchor = hostPoint (x, y)); };
    handlers.contextMenu = [this] (int x, int y) { showQuitMenu (lastAnchor = hostPoint (x, y)); };
    handlers.open = [this]
    {
        if (! popover->isShown())
            toggleAt (lastAnchor = hostPoint (-1, -1));
    };
    handlers.quit = [this] { if (quit) quit(); };
    handlers.hostChanged = [this] (bool)
    {
        watcherAnswered = true;
        present();
    };
    notifierItem = StatusNotifierItem::create (notifierPixmaps (glyph), std::move (handlers));
    watcherAnswered = notifierItem == nullptr;

    present();
    updateStatusIconForDeviceState();
    stateObserver = NotificationCentre::defaultCentre().addObserver (deviceStateChangedNotification,
                                                                     [this] { deviceStateChanged(); });
}

StatusItem::~StatusItem()
{
    *alive = false;
    if (stateObserver != 0)
        NotificationCentre::defaultCentre().removeObserver (stateObserver);

    juce::PopupMenu::dismissAllActiveMenus();
    popover.reset();
    popoverVC.reset();
    notifierItem.reset();
    trayIcon.reset();
    if (iconWindow != nullptr)
        iconWindow->removeMouseListener (this);
    iconWindow.reset();
}

void StatusItem::present()
{
    auto next = Presentation::window;
    if (notifierItem != nullptr && notifierItem->isHosted())
        next = Presentation::notifierItem;
    else if (! watcherAnswered)
        next = Presentation::undecided;
    else if (trayIcon != nullptr && trayIcon->trayAvailable())
        next = Presentation::xembed;
    if (next == presentation)
        return;

    presentation = next;
    if (trayIcon != nullptr)
        trayIcon->setWanted (next == Presentation::xembed);
    if (next != Presentation::window && iconWindow != nullptr)
    {
        iconWindow->removeMouseListener (this);
        iconWindow.reset();
    }

    switch (next)
    {
        case Presentation::notifierItem:
            std::fprintf (stderr, "LMW: the icon is a StatusNotifierItem (%s)\n", notifierItem->busName().c_str());
            break;
        case Presentation::xembed:
            std::fprintf (stderr, "LMW: the icon is in the XEmbed system tray\n");
            break;
        case Presentation::window:
            // JUCE's windows keep a refresh-rate timer, but with no tray a
            // person still needs something to click.
            std::fprintf (stderr, "LMW: no system tray on this screen; the icon is a window of its own\n");
            iconWindow = std::make_unique<IconWindow>();
            iconWindow->addMouseListener (this, false);
            break;
        case Presentation::undecided:
            break;
    }
}

juce::Rectangle<int> StatusItem::hostPoint (int x, int y) const
{
    auto& desktop = juce::Desktop::getInstance();
    auto point = juce::Point<int> (x, y) / desktop.getGlobalScaleFactor();
    if (x < 0 || y < 0 || desktop.getDisplays().getDisplayForPoint (point) == nullptr
        || ! desktop.getDisplays().getDisplayForPoint (point)->totalArea.contains (point))
        point = desktop.getMousePosition();
    return juce::Rectangle<int> (hostIconSize, hostIconSize).withCentre (point);
}

juce::Rectangle<int> StatusItem::iconArea() const
{
    if (presentation == Presentation::window && iconWindow != nullptr)
        return iconWindow->getScreenBounds();
    return lastAnchor;
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

void StatusItem::toggleAt (juce::Rectangle<int> area)
{
    if (popover->isShown())
        popover->close();
    else
        popover->show (area);
}

void StatusItem::updateStatusIconForDeviceState()
{
    const auto count = static_cast<int32_t> (DeviceTracker::instance().devices.size());

    if (count < 1 && popover != nullptr && popover->isShown())
        popover->close();

    if (notifierItem != nullptr)
        notifierItem->setToolTip (count < 1 ? "No console connected" : count == 1 ? "1 console connected" : std::to_string (count) + " consoles connected");
}

void StatusItem::mouseUp (const juce::MouseEvent& event)
{
    // The mouse-up's modifiers still hold the released button.
    if (event.mods.isRightButtonDown())
        showQuitMenu (iconArea());
    else if (event.mods.isLeftButtonDown())
        toggleAt (iconArea());
}

void StatusItem::showQuitMenu (juce::Rectangle<int> area)
{
    juce::PopupMenu menu;
    menu.addItem (1, quitItemText);

    menuOpen = true;
    std::weak_ptr<bool> stillAlive = alive;
    menu.showMenuAsync (juce::PopupMenu::Options().withTargetScreenArea (area),
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
