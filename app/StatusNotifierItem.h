#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace loomwell
{

// One size of the icon as a StatusNotifierItem carries it: ARGB32 in
// network byte order, not premultiplied, row by row.
struct IconPixmap
{
    int width = 0, height = 0;
    std::vector<uint8_t> argb;
};

// Loomwell's item in trays that speak the StatusNotifierItem protocol over
// the session bus (the freedesktop/KDE one: KDE Plasma, the GNOME Shell
// extension, Xfce's and LXQt's trays, waybar), with its menu as a
// com.canonical.dbusmenu object. Served on the message thread by JUCE's
// event loop, nothing of it runs while the bus is quiet. It follows the
// watcher: registers when one is there, again whenever one comes, and tells
// hostChanged the first answer and every change of whether a watcher holds
// the item.
//
// Every handler runs later from the message loop, never inside a bus
// callback, so it may do anything, this item's destruction included.
class StatusNotifierItem
{
public:
    struct Handlers
    {
        std::function<void (int x, int y)> activate;    // a left click on the icon, where the host says
        std::function<void (int x, int y)> contextMenu; // the host wants our own menu there
        std::function<void()> open;                     // "Open Loomwell" in the host's menu
        std::function<void()> quit;                     // "Quit Loomwell" in the host's menu
        std::function<void (bool hosted)> hostChanged;
    };

    static constexpr const char* itemPath = "/StatusNotifierItem";
    static constexpr const char* menuPath = "/MenuBar";
    static constexpr const char* openItemText = "Open Loomwell";
    static constexpr const char* quitItemText = "Quit Loomwell";

    // Null when there is no session bus or the item's name cannot be had.
    static std::unique_ptr<StatusNotifierItem> create (std::vector<IconPixmap> icons, Handlers handlers);
    ~StatusNotifierItem();

    StatusNotifierItem (const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator= (const StatusNotifierItem&) = delete;

    // A watcher took the item.
    bool isHosted() const noexcept { return hosted; }
    // "org.kde.StatusNotifierItem-<pid>-1".
    const std::string& busName() const noexcept { return name; }

    // The tooltip's text below the title; hosts are told.
    void setToolTip (const std::string& text);

private:
    struct Bus;
    StatusNotifierItem (std::unique_ptr<Bus>, std::vector<IconPixmap>, Handlers);
    bool start();
    void registerWithWatcher();
    void setHosted (bool);
    void post (std::function<void()> handler);

    std::unique_ptr<Bus> bus;
    std::vector<IconPixmap> icons;
    Handlers handlers;
    std::string name, toolTip;
    bool hosted = false, answered = false;
    int64_t lastActivateMs = 0;
    std::shared_ptr<StatusNotifierItem*> alive = std::make_shared<StatusNotifierItem*> (this);

    friend struct StatusNotifierCallbacks;
};

} // namespace loomwell
