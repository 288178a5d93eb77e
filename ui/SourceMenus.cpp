#include "SourceMenus.h"

#include "AppIdentity.h"
#include "ChannelTable.h"
#include "DeviceInstance.h"
#include "SlotRowView.h"

namespace loomwell::ui
{

void MenuModel::replaceEntries (std::vector<MenuEntry> newEntries)
{
    entries = std::move (newEntries);
    if (changed)
        changed();
}

namespace
{
MenuEntry textEntry (const juce::String& title, bool enabled = true, MenuGlyph glyph = MenuGlyph::none)
{
    MenuEntry entry;
    entry.title = title;
    entry.enabled = enabled;
    entry.glyph = glyph;
    return entry;
}

MenuEntry separatorEntry()
{
    MenuEntry entry;
    entry.separator = true;
    return entry;
}
} // namespace

std::set<std::string> existingSources (const DeviceInstance& console)
{
    std::set<std::string> ids;
    for (uint32_t slot = 0; slot < static_cast<uint32_t> (ChannelTable::numSlots); ++slot)
        for (const auto& source : console.channelsForSlot (slot))
            ids.insert (source.bundleId);
    return ids;
}

juce::String safeMenuText (const std::string& text, int maxChars)
{
    // cleanText makes it valid UTF-8 without C0 controls and bounds the work.
    const auto cleaned = juce::String::fromUTF8 (cleanText (text, maxIdentityBytes).c_str());

    juce::String result;
    int chars = 0;
    for (auto p = cleaned.getCharPointer(); ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        const auto isC1 = c >= 0x80 && c <= 0x9F;
        const auto isDirection = (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E)
                                 || (c >= 0x2066 && c <= 0x2069) || c == 0x061C;
        const auto isLineBreak = c == 0x2028 || c == 0x2029;
        if (isDirection)
            continue;
        if (++chars > maxChars)
        {
            result = result.trimEnd() + juce::String::charToString ((juce::juce_wchar) 0x2026);
            break;
        }
        result += (isC1 || isLineBreak) ? juce::juce_wchar (' ') : c;
    }
    return result;
}

std::optional<MenuModel> buildSlotMenu (const DeviceInstance& console, int device, int slot)
{
    if (slot < 0)
        return std::nullopt;
    const auto sources = console.channelsForSlot (static_cast<uint32_t> (slot));
    if (sources.empty())
        return std::nullopt;

    MenuModel menu;
    menu.title = menuText::slotMenu;
    for (const auto& source : sources)
    {
        MenuEntry item;
        item.title = "Remove " + safeMenuText (source.name);
        item.glyph = source.sourceKind == sourceKindInputDevice    ? MenuGlyph::microphone
                     : source.sourceKind == sourceKindOutputDevice ? MenuGlyph::speaker
                                                                   : MenuGlyph::appIcon;
        if (item.glyph == MenuGlyph::appIcon)
            item.iconIdentity = source.bundleId;
        item.choice = RemoveChoice { device, slot, source.bundleId, &console };
        menu.entries.push_back (std::move (item));
    }

    if (sources.size() < static_cast<size_t> (ChannelTable::maxSourcesPerSlot))
    {
        menu.entries.push_back (separatorEntry());
        auto add = textEntry (menuText::add);
        add.choice = AddChoice { device, slot, &console };
        menu.entries.push_back (std::move (add));
    }
    return menu;
}

MenuModel buildPickerMenu (const DeviceInstance& console, int device, int slot, const std::vector<InputDevice>& inputs)
{
    const auto existing = existingSources (console);

    MenuModel menu;
    menu.title = menuText::addSource;

    auto apps = std::make_shared<MenuModel>();
    apps->title = menuText::apps;
    apps->entries.push_back (textEntry (menuText::loading, false));
    auto appsItem = textEntry (menuText::apps, true, MenuGlyph::apps);
    appsItem.submenu = apps;
    menu.entries.push_back (std::move (appsItem));

    auto devices = std::make_shared<MenuModel>();
    devices->title = menuText::inputDevices;
    for (const auto& input : inputs)
    {
        const auto taken = existing.count (input.uid) > 0;
        auto item = textEntry (safeMenuText (input.name), ! taken);
        if (! taken)
            item.choice = InputChoice { device, slot, input.deviceId, input.uid, input.name, &console };
        devices->entries.push_back (std::move (item));
    }
    if (devices->entries.empty())
        devices->entries.push_back (textEntry (menuText::noInputs, false));
    auto devicesItem = textEntry (menuText::inputDevices, true, MenuGlyph::microphone);
    devicesItem.submenu = devices;
    menu.entries.push_back (std::move (devicesItem));

    return menu;
}

void fillAppsSubmenu (MenuModel& apps, const std::vector<CapturableApp>& list, const std::set<std::string>& existing,
                      const DeviceInstance* console, int device, int slot)
{
    std::vector<MenuEntry> entries;
    for (const auto& app : list)
    {
        const auto taken = existing.count (app.bundleId) > 0;
        auto item = textEntry (safeMenuText (app.name), ! taken, MenuGlyph::appIcon);
        item.iconIdentity = app.bundleId;
        if (! taken)
            item.choice = AppChoice { device, slot, app.bundleId, app.name, console };
        entries.push_back (std::move (item));
    }
    if (entries.empty())
        entries.push_back (textEntry (menuText::noApps, false));
    apps.replaceEntries (std::move (entries));
}

//==============================================================================
namespace
{

constexpr int glyphPoints = 16;

std::unique_ptr<juce::Drawable> glyphDrawable (const MenuEntry& entry, const AppIconLookup& icons, juce::Colour tint)
{
    juce::Image image;
    bool tinted = true;
    switch (entry.glyph)
    {
        case MenuGlyph::none: return nullptr;
        case MenuGlyph::apps: image = appsGlyph(); break;
        case MenuGlyph::microphone: image = microphoneGlyph(); break;
        case MenuGlyph::speaker: image = speakerGlyph(); break;
        case MenuGlyph::appIcon:
            image = icons ? icons (entry.iconIdentity) : juce::Image();
            tinted = false;
            break;
    }
    if (! image.isValid())
        return nullptr;

    // Drawn at 16 x 16 points whatever the source size.
    juce::Image sized (juce::Image::ARGB, glyphPoints * 2, glyphPoints * 2, true);
    {
        juce::Graphics g (sized);
        g.setImageResamplingQuality (juce::Graphics::highResamplingQuality);
        if (tinted)
        {
            g.setColour (tint);
            g.drawImage (image, sized.getBounds().toFloat(), juce::RectanglePlacement::centred, true);
        }
        else
        {
            g.drawImage (image, sized.getBounds().toFloat(), juce::RectanglePlacement::centred);
        }
    }
    auto drawable = std::make_unique<juce::DrawableImage>();
    drawable->setImage (sized);
    drawable->setBoundingBox (juce::Rectangle<float> (0.0f, 0.0f, (float) glyphPoints, (float) glyphPoints));
    return drawable;
}

juce::Colour menuTextColour()
{
    return juce::LookAndFeel::getDefaultLookAndFeel().findColour (juce::PopupMenu::textColourId);
}

// A submenu whose entries may change while it is shown (a list that arrives
// later). JUCE builds a menu's windows from copies of its items, but a custom
// component is shared between the copies: this one draws its model's rows
// as the look-and-feel draws menu items, tracks the hovered row itself, and
// resizes its item and window when the model changes.
class LiveSubmenuItem final : public juce::PopupMenu::CustomComponent
{
public:
    LiveSubmenuItem (std::shared_ptr<MenuModel> modelToShow, AppIconLookup iconLookup)
        : juce::PopupMenu::CustomComponent (false), model (std::move (modelToShow)), icons (std::move (iconLookup))
    {
        loadRows();
        model->changed = [weak = juce::Component::SafePointer<LiveSubmenuItem> (this)]
        {
            if (auto* self = weak.getComponent())
                self->modelChanged();
        };
    }

    ~LiveSubmenuItem() override
    {
        model->changed = nullptr;
    }

    MenuChoice chosenChoice() const { return chosen; }

    void getIdealSize (int& idealWidth, int& idealHeight) override
    {
        idealWidth = 80;
        idealHeight = 0;
        for (const auto& row : rows)
        {
            int w = 0, h = 0;
            getLookAndFeel().getIdealPopupMenuItemSize (row.entry.title, row.entry.separator, -1, w, h);
            idealWidth = std::max (idealWidth, w);
            idealHeight += h;
        }
    }

    void paint (juce::Graphics& g) override
    {
        auto y = 0;
        for (size_t i = 0; i < rows.size(); ++i)
        {
            const auto& row = rows[i];
            const juce::Rectangle<int> area (0, y, getWidth(), row.height);
            getLookAndFeel().drawPopupMenuItem (g, area, row.entry.separator, row.entry.enabled,
                                                (int) i == hovered && row.entry.enabled, false, false,
                                                row.entry.title, {}, row.icon.get(), nullptr);
            y += row.height;
        }
    }

    void mouseMove (const juce::MouseEvent& e) override { setHovered (rowAt (e.y)); }
    void mouseDrag (const juce::MouseEvent& e) override { setHovered (rowAt (e.y)); }
    void mouseExit (const juce::MouseEvent&) override { setHovered (-1); }

    void mouseUp (const juce::MouseEvent& e) override
    {
        const auto index = rowAt (e.y);
        if (index < 0 || ! rows[(size_t) index].entry.enabled
            || std::holds_alternative<std::monostate> (rows[(size_t) index].entry.choice))
            return;
        chosen = rows[(size_t) index].entry.choice;
        triggerMenuItem();
    }

private:
    struct Row
    {
        MenuEntry entry;
        std::unique_ptr<juce::Drawable> icon;
        int height = 0;
    };

    void loadRows()
    {
        rows.clear();
        for (const auto& entry : model->entries)
        {
            int w = 0, h = 0;
            getLookAndFeel().getIdealPopupMenuItemSize (entry.title, entry.separator, -1, w, h);
            rows.push_back ({ entry, glyphDrawable (entry, icons, menuTextColour()), h });
        }
        hovered = -1;
    }

    int rowAt (int y) const
    {
        auto top = 0;
        for (size_t i = 0; i < rows.size(); ++i)
        {
            if (y >= top && y < top + rows[i].height)
                return (int) i;
            top += rows[i].height;
        }
        return -1;
    }

    void setHovered (int index)
    {
        if (index != hovered)
        {
            hovered = index;
            repaint();
        }
    }

    void modelChanged()
    {
        const auto pointer = getMouseXYRelative();
        loadRows();

        // Shown already: grow the item and its window in place, keeping the
        // window inside the screen; the row under the pointer stays lit.
        if (auto* holder = getParentComponent())
        {
            int w = 0, h = 0;
            getIdealSize (w, h);
            const auto border = getX();
            const auto dw = (w + 2 * border) - holder->getWidth();
            const auto dh = h - holder->getHeight();
            if (auto* window = holder->getParentComponent(); window != nullptr && (dw != 0 || dh != 0))
            {
                holder->setSize (holder->getWidth() + std::max (0, dw), h);
                auto bounds = window->getBounds().withSize (window->getWidth() + std::max (0, dw), window->getHeight() + dh);
                if (const auto* display = juce::Desktop::getInstance().getDisplays().getDisplayForRect (bounds))
                    bounds = bounds.constrainedWithin (display->userArea);
                window->setBounds (bounds);
            }
        }

        if (isShowing() && getLocalBounds().contains (pointer))
            hovered = rowAt (pointer.y);
        repaint();
    }

    std::shared_ptr<MenuModel> model;
    AppIconLookup icons;
    std::vector<Row> rows;
    int hovered = -1;
    MenuChoice chosen;
};

void addEntries (juce::PopupMenu& menu, const MenuModel& model, const AppIconLookup& icons,
                 std::vector<std::function<MenuChoice()>>& choices)
{
    for (const auto& entry : model.entries)
    {
        if (entry.separator)
        {
            menu.addSeparator();
            continue;
        }

        juce::PopupMenu::Item item (entry.title);
        item.setEnabled (entry.enabled);
        if (auto icon = glyphDrawable (entry, icons, menuTextColour()))
            item.setImage (std::move (icon));

        if (entry.submenu != nullptr)
        {
            juce::PopupMenu sub;
            if (entry.glyph == MenuGlyph::apps)
            {
                // The only submenu whose content arrives later.
                juce::ReferenceCountedObjectPtr<LiveSubmenuItem> live (new LiveSubmenuItem (entry.submenu, icons));
                choices.push_back ([live] { return live->chosenChoice(); });
                juce::PopupMenu::Item liveItem;
                liveItem.itemID = (int) choices.size();
                liveItem.customComponent = live;
                sub.addItem (std::move (liveItem));
            }
            else
            {
                addEntries (sub, *entry.submenu, icons, choices);
            }
            item.subMenu = std::make_unique<juce::PopupMenu> (std::move (sub));
        }
        else if (entry.enabled && ! std::holds_alternative<std::monostate> (entry.choice))
        {
            choices.push_back ([choice = entry.choice] { return choice; });
            item.setID ((int) choices.size());
        }

        menu.addItem (std::move (item));
    }
}

} // namespace

MenuPresenter::Built MenuPresenter::build (const MenuModel& model, const AppIconLookup& icons)
{
    Built built;
    built.choices = std::make_shared<std::vector<std::function<MenuChoice()>>>();
    addEntries (built.menu, model, icons, *built.choices);
    return built;
}

void MenuPresenter::show (const MenuModel& model, const juce::PopupMenu::Options& where, AppIconLookup icons,
                          Chosen chosen, std::function<void()> done)
{
    auto built = build (model, icons);
    built.menu.showMenuAsync (where, [choices = built.choices, chosen = std::move (chosen), done = std::move (done)] (int result)
    {
        if (done)
            done();
        if (result > 0 && (size_t) result <= choices->size() && chosen)
            if (auto choice = (*choices)[(size_t) result - 1](); ! std::holds_alternative<std::monostate> (choice))
                chosen (choice);
    });
}

} // namespace loomwell::ui
