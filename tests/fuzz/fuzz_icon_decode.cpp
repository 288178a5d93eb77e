// Icon files of any bytes, read the way the icon lookup reads an installed
// application's icon: the input is both an icon theme's fuzz-svg.svg (parsed
// as SVG by JUCE and drawn at the lookup's size) and its fuzz-png.png
// (decoded as PNG), each named by a desktop entry of its own.

#include "FuzzChecks.h"

#include "AppIcons.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using loomwell::fuzz::check;
using loomwell::ui::FreedesktopAppIcons;

namespace
{

fs::path scratchRoot;

void writeFile (const fs::path& path, const void* data, size_t size)
{
    std::error_code ignored;
    fs::remove (path, ignored); // a new file each time: the disk flushes a truncated one on close
    std::ofstream out (path, std::ios::binary | std::ios::trunc);
    out.write (static_cast<const char*> (data), static_cast<std::streamsize> (size));
    loomwell::fuzz::check (out.good(), "cannot write the scratch icon");
}

} // namespace

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    // Never shut down: JUCE's shutdown at exit would run after the
    // destruction of statics it still uses.
    juce::initialiseJuce_GUI();
    scratchRoot = loomwell::fuzz::scratchDirectory ("loomwell-fuzz-decode");
    fs::create_directories (scratchRoot / "applications");
    fs::create_directories (scratchRoot / "icons/hicolor/scalable/apps");
    for (const auto* name : { "svg", "png" })
    {
        const auto entry = std::string ("[Desktop Entry]\nName=Fuzz\nExec=fuzz-") + name + "\nIcon=fuzz-" + name + "\n";
        writeFile (scratchRoot / "applications" / (std::string ("fuzz-") + name + ".desktop"), entry.data(), entry.size());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    writeFile (scratchRoot / "icons/hicolor/scalable/apps/fuzz-svg.svg", data, size);
    writeFile (scratchRoot / "icons/hicolor/scalable/apps/fuzz-png.png", data, size);

    FreedesktopAppIcons icons ({ { juce::File (scratchRoot.string()) }, {} });

    const auto drawn = icons.iconFor ("fuzz-svg");
    check (! drawn.isValid() || (drawn.getWidth() == FreedesktopAppIcons::iconPixels
                                 && drawn.getHeight() == FreedesktopAppIcons::iconPixels),
           "an SVG icon not drawn at the lookup's size");

    const auto decoded = icons.iconFor ("fuzz-png");
    check (! decoded.isValid() || (decoded.getWidth() > 0 && decoded.getHeight() > 0), "a decoded icon without pixels");

    if (std::getenv ("LOOMWELL_FUZZ_VERBOSE") != nullptr)
        std::fprintf (stderr, "svg %dx%d, png %dx%d centre 0x%08x\n", drawn.getWidth(), drawn.getHeight(), decoded.getWidth(),
                      decoded.getHeight(), decoded.isValid() ? decoded.getPixelAt (decoded.getWidth() / 2, decoded.getHeight() / 2).getARGB() : 0u);
    return 0;
}
