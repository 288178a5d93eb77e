#include "AppIcons.h"

#include <png.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace loomwell::ui
{
namespace
{

// Anyone can put things in the data directories: a named pipe would block
// the message thread on open, a device would never end, a huge file would
// fill memory. Only regular files of a size no real entry or icon reaches
// are read.
constexpr off_t maxReadableBytes = 16 * 1024 * 1024;

bool isReadableFile (const juce::File& file)
{
    struct stat info {};
    return ::stat (file.getFullPathName().toRawUTF8(), &info) == 0 && S_ISREG (info.st_mode)
           && info.st_size <= maxReadableBytes;
}

std::optional<juce::MemoryBlock> loadBytes (const juce::File& file)
{
    juce::MemoryBlock bytes;
    if (! isReadableFile (file) || ! file.loadFileAsData (bytes))
        return std::nullopt;
    return bytes;
}

// juce::String walks past the end of text that is not UTF-8, so file names
// and contents from the data directories are checked before they become
// one. Overlong forms, surrogates and NUL count as not UTF-8.
bool isUtf8 (std::string_view text)
{
    for (size_t i = 0; i < text.size();)
    {
        const auto byte = [&text, i] (size_t k) { return static_cast<unsigned char> (text[i + k]); };
        const auto lead = byte (0);
        const size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
        if (lead == 0 || length == 0 || text.size() - i < length)
            return false;
        if (length > 1)
        {
            const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
            const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
            if (byte (1) < low || byte (1) > high)
                return false;
            for (size_t k = 2; k < length; ++k)
                if ((byte (k) & 0xC0) != 0x80)
                    return false;
        }
        i += length;
    }
    return true;
}

// std::nullopt when the file cannot be read or is not UTF-8.
std::optional<std::string> loadUtf8 (const juce::File& file)
{
    const auto bytes = loadBytes (file);
    if (! bytes)
        return std::nullopt;
    std::string text (static_cast<const char*> (bytes->getData()), bytes->getSize());
    if (! isUtf8 (text))
        return std::nullopt;
    return text;
}

juce::String toJuceString (const std::string& utf8)
{
    return juce::String::createStringFromData (utf8.data(), static_cast<int> (utf8.size()));
}

juce::String loadText (const juce::File& file)
{
    const auto text = loadUtf8 (file);
    return text ? toJuceString (*text) : juce::String();
}

// JUCE's XML reader loops forever on a processing instruction followed by
// text inside an element ("<g><?x?>text</g>"). They mean nothing to a
// picture: each one (the XML declaration too) becomes a space, which cannot
// join what is left into a new one; an unterminated one ends the text.
std::string withoutProcessingInstructions (std::string_view xml)
{
    std::string result;
    for (size_t at = 0;;)
    {
        const auto open = xml.find ("<?", at);
        result.append (xml.substr (at, open == std::string_view::npos ? std::string_view::npos : open - at));
        if (open == std::string_view::npos)
            return result;
        const auto close = xml.find ("?>", open + 2);
        if (close == std::string_view::npos)
            return result;
        result += ' ';
        at = close + 2;
    }
}

// The entries of a directory whose names are UTF-8, through the whole tree
// when `recursive` (without entering linked directories: links back up the
// tree would make the walk endless); std::filesystem rather than JUCE's
// iterator, which makes every name a juce::String.
std::vector<juce::File> listDirectory (const juce::File& dir, bool recursive, bool wantDirectories)
{
    namespace fs = std::filesystem;
    std::vector<juce::File> found;
    std::error_code error;
    fs::recursive_directory_iterator it (dir.getFullPathName().toStdString(), fs::directory_options::skip_permission_denied, error);
    for (; ! error && it != fs::recursive_directory_iterator(); it.increment (error))
    {
        if (! recursive)
            it.disable_recursion_pending();

        const std::string name = it->path().filename().native();
        if (! isUtf8 (name))
        {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code statError;
        if (it->is_directory (statError) == wantDirectories && ! statError)
            found.emplace_back (juce::String::fromUTF8 (it->path().c_str()));
    }
    return found;
}

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
    lines.addLines (loadText (file));

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

// JUCE's path reader steps past the end of path data whose last command is
// H or V without a number ("M0 0 h", "M0 0 V ,"). Such a command draws
// nothing, so it goes, with the separators that end the data.
void dropDanglingLineCommands (juce::XmlElement& element)
{
    if (element.hasAttribute ("d"))
    {
        auto d = element.getStringAttribute ("d");
        for (; d.isNotEmpty(); d = d.dropLastCharacters (1))
        {
            const auto last = d.getLastCharacter();
            if (last != ',' && last != 'H' && last != 'h' && last != 'V' && last != 'v'
                && ! juce::CharacterFunctions::isWhitespace (last))
                break;
        }
        element.setAttribute ("d", d);
    }
    for (auto* child : element.getChildIterator())
        dropDanglingLineCommands (*child);
}

// A few bytes of PNG can announce gigabytes of pixels; no icon is this big.
constexpr png_uint_32 maxPngSide = 2048;

// PNG is the one raster format of icon themes, read with libpng's simplified
// reader rather than JUCE's image formats: built against the system's libpng
// (Debian's JUCE has no copy of its own), JUCE's PNG error handler returns
// into libpng, which then crashes on any damaged file; and JUCE's GIF reader
// reads before its buffer on every file.
juce::Image decodePng (const juce::MemoryBlock& bytes)
{
    png_image png {};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory (&png, bytes.getData(), bytes.getSize()) == 0)
        return {};

    std::vector<png_byte> rgba;
    bool decoded = false;
    if (png.width > 0 && png.height > 0 && png.width <= maxPngSide && png.height <= maxPngSide)
    {
        png.format = PNG_FORMAT_RGBA;
        rgba.resize (PNG_IMAGE_SIZE (png));
        decoded = png_image_finish_read (&png, nullptr, rgba.data(), 0, nullptr) != 0;
    }
    png_image_free (&png);
    if (! decoded)
        return {};

    const auto width = static_cast<int> (png.width), height = static_cast<int> (png.height);
    juce::Image image (juce::Image::ARGB, width, height, false);
    const juce::Image::BitmapData pixels (image, juce::Image::BitmapData::writeOnly);
    for (int y = 0; y < height; ++y)
    {
        const auto* source = rgba.data() + static_cast<size_t> (y) * static_cast<size_t> (width) * 4;
        for (int x = 0; x < width; ++x, source += 4)
        {
            auto* pixel = reinterpret_cast<juce::PixelARGB*> (pixels.getPixelPointer (x, y));
            pixel->setARGB (source[3], source[0], source[1], source[2]);
            pixel->premultiply();
        }
    }
    return image;
}

juce::Image loadIconFile (const juce::File& file, int pixels)
{
    if (file.hasFileExtension ("svg"))
    {
        const auto text = loadUtf8 (file);
        const auto svg = text ? juce::parseXMLIfTagMatches (toJuceString (withoutProcessingInstructions (*text)), "svg") : nullptr;
        if (svg != nullptr)
            dropDanglingLineCommands (*svg);
        auto drawable = svg != nullptr ? juce::Drawable::createFromSVG (*svg) : nullptr;
        if (drawable == nullptr)
            return {};
        juce::Image image (juce::Image::ARGB, pixels, pixels, true);
        juce::Graphics g (image);
        drawable->drawWithin (g, juce::Rectangle<float> (0.0f, 0.0f, (float) pixels, (float) pixels),
                              juce::RectanglePlacement::centred, 1.0f);
        return image;
    }

    const auto bytes = loadBytes (file);
    return bytes ? decodePng (*bytes) : juce::Image();
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
    lines.addLines (loadText (juce::File (config).getChildFile ("gtk-3.0/settings.ini")));
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

        for (const auto& f : listDirectory (apps, true, false))
        {
            if (! f.getFileName().endsWith (".desktop"))
                continue;

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

            for (const auto& sizeDir : listDirectory (themeDir, false, true))
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
