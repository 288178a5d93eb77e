#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace loomwell::ui
{

// Gives the icon of the installed application with an application identity
// (an app id, a binary name or an application name, see AppIdentity.h), or an
// invalid image when no installed application matches.
using AppIconLookup = std::function<juce::Image (const std::string& identity)>;

// The freedesktop way: a desktop entry whose id, Exec binary or
// StartupWMClass equals the identity names an Icon, which is an absolute file
// or a name looked up in the current icon theme, then hicolor, then pixmaps.
// PNG and SVG are read; an SVG is drawn at iconPixels square.
class FreedesktopAppIcons
{
public:
    struct Locations
    {
        std::vector<juce::File> dataDirs; // most important first
        juce::StringArray themes; // most important first; hicolor is added last
    };

    // From XDG_DATA_HOME, XDG_DATA_DIRS and the GTK settings' icon theme.
    static Locations locationsFromEnvironment();

    explicit FreedesktopAppIcons (Locations where);

    juce::Image iconFor (const std::string& identity);

    // The desktop entry file matching an identity, for diagnostics and tests.
    juce::File desktopEntryFor (const std::string& identity) const;
    juce::File iconFileFor (const juce::String& iconName) const;

    static constexpr int iconPixels = 128;

private:
    Locations locations;
    std::map<std::string, juce::Image> cache;
};

// The process-wide lookup over the environment's locations, results cached.
AppIconLookup defaultAppIconLookup();

} // namespace loomwell::ui
