#include "AppIcons.h"

#include <memory>

namespace loomwell::ui
{
namespace
{

struct DesktopEntry
{
    juce::String name, exec, wmClass, icon;
    bool hidden = false;
};

// Only the [Desktop Entry] group counts; actions and other groups may carry
// their own Exec and Icon.
DesktopEntry readDesktopEntry (const juce::File& file)
{
    DesktopEntry entry;
    bool inMainGroup = false;

    juce::StringArray lines;
    lines.addLines (file.loadFileAsString());

    for (auto line : lines)
    {
        line = line.trim();
        if (line.isEmpty() || line.startsWithChar ('#'))
            continue;
        if (line.startsWithChar ('['))
        {
            inMainGroup = (line == "[Desktop Entry]");
            continue;
        }
        if (! inMainGroup || ! line.containsChar ('='))
            continue;

        const auto key = line.upToFirstOccurrenceOf ("=", false, false).trim();
        const auto value = line.fromFirstOccurrenceOf ("=", false, false).trim();

        if (key == "Exec")            entry.exec = value;
        else if (key == "StartupWMClass") entry.wmClass = value;
        else if (key == "Icon")       entry.icon = value;
        else if (key == "Name")       entry.name = value;
        else if (key == "Hidden" || key == "NoDisplay") entry.hidden = entry.hidden || value == "true";
    }
    return entry;
}

// The program an Exec line starts, without its directory: "env" and its
// variable assignments are skipped, quotes are removed.
juce::String execBinary (const juce::String& exec)
{
    juce::StringArray tokens;
    tokens.addTokens (exec, " ", "\"'");
    tokens.removeEmptyStrings();

    int i = 0;
    if (i < tokens.size() && tokens[i].unquoted().fromLastOccurrenceOf ("/", false, false) == "env")
    {
        ++i;
        while (i < tokens.size() && (tokens[i].containsChar ('=') || tokens[i].startsWithChar ('-')))
            ++i;
    }
    if (i >= tokens.size())
        return {};
    return tokens[i].unquoted().fromLastOccurrenceOf ("/", false, false);
}

juce::Image loadIconFile (const juce::File& file, int pixels)
{
    if (file.hasFileExtension ("svg"))
    {
        auto drawable = juce::Drawable::createFromSVGFile (file);
        if (drawable == nullptr)
            return {};
        juce::Image image (juce::Image::ARGB, pixels, pixels, true);
        juce::Graphics g (image);
        drawable->drawWithin (g, juce::Rectangle<float> (0.0f, 0.0f, (float) pixels, (float) pixels),
                              juce::RectanglePlacement::centred, 1.0f);
        return image;
    }
    return juce::ImageFileFormat::loadFrom (file);
}

// Icon theme directories are named by size ("48x48", "scalable", "256x256@2"):
// scalable first, then the largest.
int sizeRank (const juce::String& sizeDirName)
{
    if (sizeDirName == "scalable")
        return 1 << 20;
    return sizeDirName.upToFirstOccurrenceOf ("x", false, false).getIntValue();
}

} // namespace

FreedesktopAppIcons::Locations FreedesktopAppIcons::locationsFromEnvironment()
{
    Locations where;

    auto env = [] (const char* name) { return juce::SystemStats::getEnvironmentVariable (name, {}); };

    auto home = env ("XDG_DATA_HOME");
    if (home.isEmpty())
        home = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile (".local/share").getFullPathName();
    where.dataDirs.push_back (juce::File (home));

    auto dirs = env ("XDG_DATA_DIRS");
    if (dirs.isEmpty())
        dirs = "/usr/local/share:/usr/share";
    for (const auto& d : juce::StringArray::fromTokens (dirs, ":", {}))
        if (juce::File::isAbsolutePath (d))
            where.dataDirs.push_back (juce::File (d));

    auto config = env ("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile (".config").getFullPathName();

    juce::StringArray lines;
    lines.addLines (juce::File (config).getChildFile ("gtk-3.0/settings.ini").loadFileAsString());
    for (const auto& line : lines)
        if (line.trim().startsWith ("gtk-icon-theme-name"))
            where.themes.add (line.fromFirstOccurrenceOf ("=", false, false).trim().unquoted());

    return where;
}

FreedesktopAppIcons::FreedesktopAppIcons (Locations where) : locations (std::move (where))
{
    locations.themes.removeString ("hicolor");
    locations.themes.removeEmptyStrings();
    locations.themes.add ("hicolor");
}

juce::File FreedesktopAppIcons::desktopEntryFor (const std::string& identity) const
{
    if (identity.empty())
        return {};

    const auto wanted = juce::String::fromUTF8 (identity.c_str());

    // An entry's id is its path below applications/ with '/' as '-'. An exact
    // id wins over a match on Exec or StartupWMClass, and an earlier data
    // directory over a later one.
    juce::File byOtherKey;
    for (const auto& dir : locations.dataDirs)
    {
        const auto apps = dir.getChildFile ("applications");
        if (! apps.isDirectory())
            continue;

        for (const auto& f : apps.findChildFiles (juce::File::findFiles, true, "*.desktop"))
        {
            const auto id = f.getRelativePathFrom (apps).replaceCharacter ('/', '-').dropLastCharacters (8);
            if (id == wanted)
                return f;

            if (byOtherKey == juce::File())
            {
                const auto entry = readDesktopEntry (f);
                if (entry.icon.isNotEmpty() && (execBinary (entry.exec) == wanted || entry.wmClass == wanted))
                    byOtherKey = f;
            }
        }
    }
    return byOtherKey;
}

juce::File FreedesktopAppIcons::iconFileFor (const juce::String& iconName) const
{
    if (iconName.isEmpty())
        return {};

    if (juce::File::isAbsolutePath (iconName))
        return juce::File (iconName).existsAsFile() ? juce::File (iconName) : juce::File();

    for (const auto& theme : locations.themes)
    {
        juce::File best;
        int bestRank = -1;

        for (const auto& dir : locations.dataDirs)
        {
            const auto themeDir = dir.getChildFile ("icons").getChildFile (theme);
            if (! themeDir.isDirectory())
                continue;

            for (const auto& sizeDir : themeDir.findChildFiles (juce::File::findDirectories, false))
            {
                for (const auto* ext : { ".svg", ".png" })
                {
                    const auto candidate = sizeDir.getChildFile ("apps").getChildFile (iconName + ext);
                    const auto rank = sizeRank (sizeDir.getFileName());
                    if (candidate.existsAsFile() && rank > bestRank)
                    {
                        best = candidate;
                        bestRank = rank;
                    }
                }
            }
        }
        if (best.existsAsFile())
            return best;
    }

    for (const auto& dir : locations.dataDirs)
        for (const auto* ext : { ".svg", ".png" })
            if (auto f = dir.getChildFile ("pixmaps").getChildFile (iconName + ext); f.existsAsFile())
                return f;

    return {};
}

juce::Image FreedesktopAppIcons::iconFor (const std::string& identity)
{
    if (auto it = cache.find (identity); it != cache.end())
        return it->second;

    juce::Image image;
    if (const auto entryFile = desktopEntryFor (identity); entryFile.existsAsFile())
        if (const auto iconFile = iconFileFor (readDesktopEntry (entryFile).icon); iconFile.existsAsFile())
            image = loadIconFile (iconFile, iconPixels);

    cache[identity] = image;
    return image;
}

AppIconLookup defaultAppIconLookup()
{
    // Built on first use, on the message thread, and kept for the process.
    static auto icons = std::make_shared<FreedesktopAppIcons> (FreedesktopAppIcons::locationsFromEnvironment());
    return [] (const std::string& identity) { return icons->iconFor (identity); };
}

} // namespace loomwell::ui
