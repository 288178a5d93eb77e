#include "StatusNotifierItem.h"

#include "BusDispatch.h"

#include <juce_events/juce_events.h>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace loomwell
{

namespace
{

constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* watcherPath = "/StatusNotifierWatcher";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr const char* menuInterface = "com.canonical.dbusmenu";
constexpr const char* unknownId = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr uint64_t callTimeoutUsec = 5'000'000;

// A person clicks no faster; a burst of calls (a broken host, another
// program) opens and closes the popover no faster either.
constexpr int64_t actionSpacingMs = 250;

// The menu: a root holding "Open Loomwell" above "Quit Loomwell". The GNOME
// Shell extension shows it on a left click and calls Activate only on a
// double click, so opening the popover must be in it too.
enum MenuId : int32_t
{
    rootId = 0,
    openId = 1,
    quitId = 2
};
constexpr uint32_t layoutRevision = 1;

bool knownId (int32_t id)
{
    return id == rootId || id == openId || id == quitId;
}

const char* labelOf (int32_t id)
{
    return id == openId ? StatusNotifierItem::openItemText : StatusNotifierItem::quitItemText;
}

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds> (std::chrono::steady_clock::now().time_since_epoch()).count();
}

int appendPixmaps (sd_bus_message* reply, const std::vector<IconPixmap>& icons)
{
    int r = sd_bus_message_open_container (reply, 'a', "(iiay)");
    for (const auto& icon : icons)
    {
        if (r >= 0)
            r = sd_bus_message_open_container (reply, 'r', "iiay");
        if (r >= 0)
            r = sd_bus_message_append (reply, "ii", icon.width, icon.height);
        if (r >= 0)
            r = sd_bus_message_append_array (reply, 'y', icon.argb.data(), icon.argb.size());
        if (r >= 0)
            r = sd_bus_message_close_container (reply);
    }
    return r < 0 ? r : sd_bus_message_close_container (reply);
}

// a{sv}: the item's properties, only those asked for (all when none is named).
int appendMenuProperties (sd_bus_message* reply, int32_t id, const std::vector<std::string>& names)
{
    const auto wanted = [&names] (const char* name) {
        return names.empty() || std::find (names.begin(), names.end(), name) != names.end();
    };
    int r = sd_bus_message_open_container (reply, 'a', "{sv}");
    if (id == rootId)
    {
        if (r >= 0 && wanted ("children-display"))
            r = sd_bus_message_append (reply, "{sv}", "children-display", "s", "submenu");
    }
    else
    {
        if (r >= 0 && wanted ("label"))
            r = sd_bus_message_append (reply, "{sv}", "label", "s", labelOf (id));
        if (r >= 0 && wanted ("enabled"))
            r = sd_bus_message_append (reply, "{sv}", "enabled", "b", 1);
        if (r >= 0 && wanted ("visible"))
            r = sd_bus_message_append (reply, "{sv}", "visible", "b", 1);
    }
    return r < 0 ? r : sd_bus_message_close_container (reply);
}

// (ia{sv}av): the item and, down to `depth` levels (-1: all), its children.
int appendLayout (sd_bus_message* reply, int32_t id, int32_t depth, const std::vector<std::string>& names)
{
    int r = sd_bus_message_open_container (reply, 'r', "ia{sv}av");
    if (r >= 0)
        r = sd_bus_message_append (reply, "i", id);
    if (r >= 0)
        r = appendMenuProperties (reply, id, names);
    if (r >= 0)
        r = sd_bus_message_open_container (reply, 'a', "v");
    if (id == rootId && depth != 0)
        for (const auto child : { openId, quitId })
        {
            if (r >= 0)
                r = sd_bus_message_open_container (reply, 'v', "(ia{sv}av)");
            if (r >= 0)
                r = appendLayout (reply, child, depth - 1, names);
            if (r >= 0)
                r = sd_bus_message_close_container (reply);
        }
    if (r >= 0)
        r = sd_bus_message_close_container (reply);
    return r < 0 ? r : sd_bus_message_close_container (reply);
}

std::vector<std::string> readStrings (sd_bus_message* message, int& r)
{
    char** strings = nullptr;
    std::vector<std::string> result;
    if ((r = sd_bus_message_read_strv (message, &strings)) >= 0 && strings != nullptr)
        for (auto** s = strings; *s != nullptr; ++s)
            result.emplace_back (*s);
    if (strings != nullptr)
        for (auto** s = strings; *s != nullptr; ++s)
            free (*s);
    free (strings);
    return result;
}

std::vector<int32_t> readIds (sd_bus_message* message, int& r)
{
    const void* data = nullptr;
    size_t size = 0;
    if ((r = sd_bus_message_read_array (message, 'i', &data, &size)) < 0 || data == nullptr)
        return {};
    const auto* ids = static_cast<const int32_t*> (data);
    return { ids, ids + size / sizeof (int32_t) };
}

// Answers the call with what `fill` appends.
template <typename Fill>
int replyWith (sd_bus_message* call, Fill&& fill)
{
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return (call, &reply);
    if (r >= 0)
        r = fill (reply);
    if (r >= 0)
        r = sd_bus_send (nullptr, reply, nullptr);
    sd_bus_message_unref (reply);
    return r;
}

int appendIds (sd_bus_message* reply, const std::vector<int32_t>& ids)
{
    return sd_bus_message_append_array (reply, 'i', ids.data(), ids.size() * sizeof (int32_t));
}

} // namespace

struct StatusNotifierItem::Bus
{
    sd_bus* bus = nullptr;
    sd_bus_slot* itemSlot = nullptr;
    sd_bus_slot* menuSlot = nullptr;
    sd_bus_slot* watcherMatch = nullptr;
    sd_bus_slot* registration = nullptr;
    std::unique_ptr<BusDispatch> dispatch;

    ~Bus()
    {
        dispatch.reset();
        for (auto* slot : { registration, watcherMatch, menuSlot, itemSlot })
            sd_bus_slot_unref (slot);
        // The daemon frees our names when the connection closes; nothing is
        // worth waiting for on a bus that may have stalled.
        sd_bus_close_unref (bus);
    }
};

// The bus's callbacks: they read, answer and post, and never call a handler.
struct StatusNotifierCallbacks
{
    static StatusNotifierItem& of (void* data) { return *static_cast<StatusNotifierItem*> (data); }

    static bool mayAct (StatusNotifierItem& item)
    {
        const auto now = nowMs();
        if (now - item.lastActivateMs < actionSpacingMs)
            return false;
        item.lastActivateMs = now;
        return true;
    }

    static int itemProperty (sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void* data, sd_bus_error*)
    {
        auto& item = of (data);
        const std::string p = property;
        if (p == "IconPixmap")
            return appendPixmaps (reply, item.icons);
        if (p == "AttentionIconPixmap" || p == "OverlayIconPixmap")
            return appendPixmaps (reply, {});
        if (p == "ToolTip")
        {
            int r = sd_bus_message_open_container (reply, 'r', "sa(iiay)ss");
            if (r >= 0)
                r = sd_bus_message_append (reply, "s", "loomwell");
            if (r >= 0)
                r = appendPixmaps (reply, {});
            if (r >= 0)
                r = sd_bus_message_append (reply, "ss", "Loomwell", item.toolTip.c_str());
            return r < 0 ? r : sd_bus_message_close_container (reply);
        }
        if (p == "WindowId")
            return sd_bus_message_append (reply, "i", 0);
        if (p == "ItemIsMenu")
            return sd_bus_message_append (reply, "b", 0);
        if (p == "Menu")
            return sd_bus_message_append (reply, "o", StatusNotifierItem::menuPath);
        const char* text = p == "Id"         ? "loomwell"
                         : p == "Category"   ? "Hardware"
                         : p == "Status"     ? "Active"
                         : p == "Title"      ? "Loomwell"
                         : p == "IconName"   ? "loomwell"
                                             : ""; // IconThemePath, AttentionIconName, OverlayIconName
        return sd_bus_message_append (reply, "s", text);
    }

    // Activate(x, y) and ContextMenu(x, y).
    template <bool context>
    static int pointAction (sd_bus_message* call, void* data, sd_bus_error*)
    {
        int32_t x = 0, y = 0;
        if (const int r = sd_bus_message_read (call, "ii", &x, &y); r < 0)
            return r;
        auto& item = of (data);
        if (mayAct (item))
            if (const auto& handler = context ? item.handlers.contextMenu : item.handlers.activate)
                item.post ([handler, x, y] { handler (x, y); });
        return sd_bus_reply_method_return (call, "");
    }

    // SecondaryActivate and Scroll: nothing to do, and nothing wrong.
    static int nothing (sd_bus_message* call, void*, sd_bus_error*) { return sd_bus_reply_method_return (call, ""); }

    static void menuClicked (StatusNotifierItem& item, int32_t id)
    {
        if (id == quitId && item.handlers.quit)
            item.post (item.handlers.quit);
        else if (id == openId && item.handlers.open && mayAct (item))
            item.post (item.handlers.open);
    }

    static int getLayout (sd_bus_message* call, void*, sd_bus_error* error)
    {
        int32_t parent = 0, depth = 0;
        int r = sd_bus_message_read (call, "ii", &parent, &depth);
        const auto names = r >= 0 ? readStrings (call, r) : std::vector<std::string> {};
        if (r < 0)
            return r;
        if (! knownId (parent))
            return sd_bus_error_setf (error, unknownId, "No menu item %d", parent);
        return replyWith (call, [&] (sd_bus_message* reply) {
            const int appended = sd_bus_message_append (reply, "u", layoutRevision);
            return appended < 0 ? appended : appendLayout (reply, parent, depth, names);
        });
    }

    static int getGroupProperties (sd_bus_message* call, void*, sd_bus_error*)
    {
        int r = 0;
        const auto ids = readIds (call, r);
        const auto names = r >= 0 ? readStrings (call, r) : std::vector<std::string> {};
        if (r < 0)
            return r;
        return replyWith (call, [&] (sd_bus_message* reply) {
            int appended = sd_bus_message_open_container (reply, 'a', "(ia{sv})");
            for (const auto id : ids)
                if (knownId (id) && appended >= 0)
                {
                    appended = sd_bus_message_open_container (reply, 'r', "ia{sv}");
                    if (appended >= 0)
                        appended = sd_bus_message_append (reply, "i", id);
                    if (appended >= 0)
                        appended = appendMenuProperties (reply, id, names);
                    if (appended >= 0)
                        appended = sd_bus_message_close_container (reply);
                }
            return appended < 0 ? appended : sd_bus_message_close_container (reply);
        });
    }

    static int getProperty (sd_bus_message* call, void*, sd_bus_error* error)
    {
        int32_t id = 0;
        const char* name = nullptr;
        if (const int r = sd_bus_message_read (call, "is", &id, &name); r < 0)
            return r;
        const std::string property = name;
        if (id == rootId && property == "children-display")
            return sd_bus_reply_method_return (call, "v", "s", "submenu");
        if ((id == openId || id == quitId) && property == "label")
            return sd_bus_reply_method_return (call, "v", "s", labelOf (id));
        if ((id == openId || id == quitId) && (property == "enabled" || property == "visible"))
            return sd_bus_reply_method_return (call, "v", "b", 1);
        return sd_bus_error_setf (error, unknownId, "No property '%s' on menu item %d", name, id);
    }

    // One event of Event or EventGroup: (i id, s event, v data, u time).
    static int readEvent (sd_bus_message* call, int32_t& id, std::string& event)
    {
        const char* name = nullptr;
        uint32_t timestamp = 0;
        int r = sd_bus_message_read (call, "is", &id, &name);
        if (r >= 0)
            r = sd_bus_message_skip (call, "v");
        if (r >= 0)
            r = sd_bus_message_read (call, "u", &timestamp);
        if (r >= 0)
            event = name;
        return r;
    }

    static int event (sd_bus_message* call, void* data, sd_bus_error* error)
    {
        int32_t id = 0;
        std::string name;
        if (const int r = readEvent (call, id, name); r < 0)
            return r;
        if (! knownId (id))
            return sd_bus_error_setf (error, unknownId, "No menu item %d", id);
        if (name == "clicked")
            menuClicked (of (data), id);
        return sd_bus_reply_method_return (call, "");
    }

    static int eventGroup (sd_bus_message* call, void* data, sd_bus_error*)
    {
        std::vector<int32_t> errors;
        int r = sd_bus_message_enter_container (call, 'a', "(isvu)");
        while (r >= 0 && (r = sd_bus_message_enter_container (call, 'r', "isvu")) > 0)
        {
            int32_t id = 0;
            std::string name;
            if ((r = readEvent (call, id, name)) >= 0)
                r = sd_bus_message_exit_container (call);
            if (r < 0)
                break;
            if (! knownId (id))
                errors.push_back (id);
            else if (name == "clicked")
                menuClicked (of (data), id);
        }
        if (r >= 0)
            r = sd_bus_message_exit_container (call);
        if (r < 0)
            return r;
        return replyWith (call, [&] (sd_bus_message* reply) { return appendIds (reply, errors); });
    }

    static int aboutToShow (sd_bus_message* call, void*, sd_bus_error* error)
    {
        int32_t id = 0;
        if (const int r = sd_bus_message_read (call, "i", &id); r < 0)
            return r;
        if (! knownId (id))
            return sd_bus_error_setf (error, unknownId, "No menu item %d", id);
        return sd_bus_reply_method_return (call, "b", 0); // the menu never changes
    }

    static int aboutToShowGroup (sd_bus_message* call, void*, sd_bus_error*)
    {
        int r = 0;
        const auto ids = readIds (call, r);
        if (r < 0)
            return r;
        std::vector<int32_t> errors;
        std::copy_if (ids.begin(), ids.end(), std::back_inserter (errors), [] (int32_t id) { return ! knownId (id); });
        return replyWith (call, [&] (sd_bus_message* reply) {
            const int appended = appendIds (reply, {});
            return appended < 0 ? appended : appendIds (reply, errors);
        });
    }

    static int menuProperty (sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void*, sd_bus_error*)
    {
        const std::string p = property;
        if (p == "Version")
            return sd_bus_message_append (reply, "u", 3u);
        if (p == "IconThemePath")
            return sd_bus_message_append (reply, "as", 0);
        return sd_bus_message_append (reply, "s", p == "TextDirection" ? "ltr" : "normal");
    }

    static int registered (sd_bus_message* reply, void* data, sd_bus_error*)
    {
        auto& item = of (data);
        const auto* error = sd_bus_message_get_error (reply);
        item.setHosted (error == nullptr);
        return 0;
    }

    static int watcherChanged (sd_bus_message* signal, void* data, sd_bus_error*)
    {
        const char *name = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read (signal, "sss", &name, &before, &after) < 0 || std::string (name) != watcherName)
            return 0;
        auto& item = of (data);
        if (after != nullptr && *after != '\0')
            item.registerWithWatcher();
        else
            item.setHosted (false);
        return 0;
    }
};

namespace
{

using C = StatusNotifierCallbacks;

const sd_bus_vtable itemVtable[] = {
    SD_BUS_VTABLE_START (0),
    SD_BUS_PROPERTY ("Id", "s", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("Category", "s", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("Status", "s", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("Title", "s", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("WindowId", "i", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("IconName", "s", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("IconThemePath", "s", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("IconPixmap", "a(iiay)", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("OverlayIconName", "s", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("OverlayIconPixmap", "a(iiay)", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("AttentionIconName", "s", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("AttentionIconPixmap", "a(iiay)", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("ToolTip", "(sa(iiay)ss)", C::itemProperty, 0, 0),
    SD_BUS_PROPERTY ("ItemIsMenu", "b", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("Menu", "o", C::itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD ("Activate", "ii", "", C::pointAction<false>, 0),
    SD_BUS_METHOD ("ContextMenu", "ii", "", C::pointAction<true>, 0),
    SD_BUS_METHOD ("SecondaryActivate", "ii", "", C::nothing, 0),
    SD_BUS_METHOD ("Scroll", "is", "", C::nothing, 0),
    SD_BUS_SIGNAL ("NewTitle", "", 0),
    SD_BUS_SIGNAL ("NewIcon", "", 0),
    SD_BUS_SIGNAL ("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL ("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL ("NewToolTip", "", 0),
    SD_BUS_SIGNAL ("NewStatus", "s", 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable menuVtable[] = {
    SD_BUS_VTABLE_START (0),
    SD_BUS_PROPERTY ("Version", "u", C::menuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("TextDirection", "s", C::menuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("Status", "s", C::menuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY ("IconThemePath", "as", C::menuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD ("GetLayout", "iias", "u(ia{sv}av)", C::getLayout, 0),
    SD_BUS_METHOD ("GetGroupProperties", "aias", "a(ia{sv})", C::getGroupProperties, 0),
    SD_BUS_METHOD ("GetProperty", "is", "v", C::getProperty, 0),
    SD_BUS_METHOD ("Event", "isvu", "", C::event, 0),
    SD_BUS_METHOD ("EventGroup", "a(isvu)", "ai", C::eventGroup, 0),
    SD_BUS_METHOD ("AboutToShow", "i", "b", C::aboutToShow, 0),
    SD_BUS_METHOD ("AboutToShowGroup", "ai", "aiai", C::aboutToShowGroup, 0),
    SD_BUS_SIGNAL ("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL ("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL ("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END,
};

} // namespace

std::unique_ptr<StatusNotifierItem> StatusNotifierItem::create (std::vector<IconPixmap> icons, Handlers handlers)
{
    auto bus = std::make_unique<Bus>();
    if (sd_bus_open_user (&bus->bus) < 0)
        return nullptr;
    sd_bus_set_method_call_timeout (bus->bus, callTimeoutUsec);
    std::unique_ptr<StatusNotifierItem> item (new StatusNotifierItem (std::move (bus), std::move (icons), std::move (handlers)));
    return item->start() ? std::move (item) : nullptr;
}

StatusNotifierItem::StatusNotifierItem (std::unique_ptr<Bus> connection, std::vector<IconPixmap> pixmaps, Handlers h)
    : bus (std::move (connection)), icons (std::move (pixmaps)), handlers (std::move (h)),
      name ("org.kde.StatusNotifierItem-" + std::to_string (::getpid()) + "-1")
{
}

StatusNotifierItem::~StatusNotifierItem()
{
    alive.reset();
}

bool StatusNotifierItem::start()
{
    auto* b = bus->bus;
    // Before the name: a watcher that sees it come may ask at once.
    if (sd_bus_add_object_vtable (b, &bus->itemSlot, itemPath, itemInterface, itemVtable, this) < 0
        || sd_bus_add_object_vtable (b, &bus->menuSlot, menuPath, menuInterface, menuVtable, this) < 0
        || sd_bus_add_match (b, &bus->watcherMatch,
                             "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                             "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.kde.StatusNotifierWatcher'",
                             C::watcherChanged, this)
               < 0
        || sd_bus_request_name (b, name.c_str(), 0) < 0)
        return false;

    bus->dispatch = std::make_unique<BusDispatch> (b);
    bus->dispatch->onClosed = [this] { setHosted (false); };
    registerWithWatcher();
    return bus->dispatch->serve();
}

void StatusNotifierItem::registerWithWatcher()
{
    sd_bus_slot_unref (std::exchange (bus->registration, nullptr));
    if (sd_bus_call_method_async (bus->bus, &bus->registration, watcherName, watcherPath, watcherName,
                                  "RegisterStatusNotifierItem", C::registered, this, "s", name.c_str())
        < 0)
        setHosted (false);
}

void StatusNotifierItem::setHosted (bool nowHosted)
{
    // The first answer is told either way: until it comes, nobody knows
    // whether another kind of icon is needed.
    if (hosted == nowHosted && answered)
        return;
    hosted = nowHosted;
    answered = true;
    if (handlers.hostChanged)
        post ([handler = handlers.hostChanged, nowHosted] { handler (nowHosted); });
}

void StatusNotifierItem::setToolTip (const std::string& text)
{
    if (text == toolTip)
        return;
    toolTip = text;
    sd_bus_emit_signal (bus->bus, itemPath, itemInterface, "NewToolTip", "");
    bus->dispatch->serve();
}

void StatusNotifierItem::post (std::function<void()> handler)
{
    juce::MessageManager::callAsync ([token = std::weak_ptr<StatusNotifierItem*> (alive), handler = std::move (handler)] {
        if (! token.expired())
            handler();
    });
}

} // namespace loomwell
