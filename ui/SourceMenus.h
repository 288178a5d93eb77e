#pragma once

#include "AppIcons.h"
#include "AppList.h"
#include "InputDevices.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace loomwell
{
class DeviceInstance;
}

namespace loomwell::ui
{

// What a chosen item asks for. `console` is the console the menu was built
// for: a panel index alone may name another console by the time the item
// is chosen (panels are renumbered when a console leaves).
struct AppChoice
{
    int device = -1;
    int slot = -1;
    std::string bundleId;
    std::string name;
    const DeviceInstance* console = nullptr;

    bool operator== (const AppChoice&) const = default;
};

struct InputChoice
{
    int device = -1;
    int slot = -1;
    uint32_t deviceId = 0;
    std::string uid;
    std::string name;
    const DeviceInstance* console = nullptr;

    bool operator== (const InputChoice&) const = default;
};

struct RemoveChoice
{
    int device = -1;
    int slot = -1;
    std::string bundleId; // which entry goes is the table's to decide
    const DeviceInstance* console = nullptr;

    bool operator== (const RemoveChoice&) const = default;
};

struct AddChoice
{
    int device = -1;
    int slot = -1;
    const DeviceInstance* console = nullptr;

    bool operator== (const AddChoice&) const = default;
};

using MenuChoice = std::variant<std::monostate, AppChoice, InputChoice, RemoveChoice, AddChoice>;

enum class MenuGlyph
{
    none,
    apps,       // the grid of the "Apps" submenu
    microphone, // input devices
    speaker,    // output devices
    appIcon     // the installed application's icon, looked up by iconIdentity
};

struct MenuModel;

struct MenuEntry
{
    juce::String title;
    bool enabled = true;
    bool separator = false;
    MenuGlyph glyph = MenuGlyph::none;
    std::string iconIdentity;
    MenuChoice choice;
    std::shared_ptr<MenuModel> submenu;

    bool operator== (const MenuEntry&) const = default;
};

// A menu as data: built first, shown afterwards. A submenu is shared so that
// a list arriving later can fill it while the menu is shown; `changed` is
// how the shown menu hears of that. Main thread only.
struct MenuModel
{
    juce::String title;
    std::vector<MenuEntry> entries;
    std::function<void()> changed;

    void replaceEntries (std::vector<MenuEntry> newEntries);
};

namespace menuText
{
inline const juce::String slotMenu { "Slot" };
inline const juce::String addSource { "Add Source" };
inline const juce::String apps { "Apps" };
inline const juce::String inputDevices { "Input Devices" };
inline const juce::String add { "Add" };
inline const juce::String loading = juce::String::fromUTF8 ("Loading\xe2\x80\xa6");
inline const juce::String noApps { "No capturable apps found" };
inline const juce::String noInputs { "No input devices found" };
} // namespace menuText

// The identifiers of every source on the console's four slots.
std::set<std::string> existingSources (const DeviceInstance& console);

// The "Slot" menu of a slot with sources: "Remove %s" per source in table
// order, then a separator and "Add" while there is room. Nothing for an
// empty slot, which goes straight to the picker.
std::optional<MenuModel> buildSlotMenu (const DeviceInstance& console, int device, int slot);

// The "Add Source" menu: "Apps" with "Loading…" until fillAppsSubmenu, and
// "Input Devices" listed at once. Sources already on this console are listed
// disabled. The "Apps" submenu is entries[0].submenu.
MenuModel buildPickerMenu (const DeviceInstance& console, int device, int slot, const std::vector<InputDevice>& inputs);

// Puts the applications (or "No capturable apps found") where "Loading…"
// was.
// `console` is only recorded in the choices: it may be gone by the time the
// list arrives.
void fillAppsSubmenu (MenuModel& apps, const std::vector<CapturableApp>& list, const std::set<std::string>& existing,
                      const DeviceInstance* console, int device, int slot);

// Menu text from another program's name: valid UTF-8, no control or
// direction-changing characters, at most maxChars characters.
juce::String safeMenuText (const std::string& text, int maxChars = 60);

// Shows a model as a JUCE menu. A submenu that may still change is shown
// through one item drawn like the menu's own rows, which grows in place
// when its model changes. `chosen` gets the choice of the item the person
// picked, or nothing when the menu was dismissed; `done` runs either way.
class MenuPresenter
{
public:
    using Chosen = std::function<void (const MenuChoice&)>;

    static void show (const MenuModel& model, const juce::PopupMenu::Options& where, AppIconLookup icons,
                      Chosen chosen, std::function<void()> done = {});

    // The JUCE menu for a model (what show() shows), with the choices its
    // item ids stand for: item id k means choices[k - 1].
    struct Built
    {
        juce::PopupMenu menu;
        std::shared_ptr<std::vector<std::function<MenuChoice()>>> choices;
    };
    static Built build (const MenuModel& model, const AppIconLookup& icons);
};

} // namespace loomwell::ui
