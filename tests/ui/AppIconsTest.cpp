#include "AppIcons.h"

#include <gtest/gtest.h>

using namespace loomwell::ui;

// A private data directory laid out like /usr/share: desktop entries (one in
// a vendor subdirectory, one with an action), icons in a theme and in
// hicolor, one absolute.
TEST (AppIcons, FindsEntriesByIdExecBinaryAndWindowClassAndTheirIcons)
{
    const juce::ScopedJuceInitialiser_GUI gui;
    const juce::TemporaryFile tempDir;
    const auto share = tempDir.getFile().getChildFile ("share");
    const auto write = [&] (const juce::String& path, const juce::String& text)
    {
        const auto f = share.getChildFile (path);
        ASSERT_TRUE (f.getParentDirectory().createDirectory() && f.replaceWithText (text));
    };
    const auto writePng = [&] (const juce::String& path, int size, juce::Colour colour)
    {
        const auto f = share.getChildFile (path);
        ASSERT_TRUE (f.getParentDirectory().createDirectory());
        juce::Image image (juce::Image::ARGB, size, size, true);
        image.clear (image.getBounds(), colour);
        juce::FileOutputStream out (f);
        ASSERT_TRUE (out.openedOk() && juce::PNGImageFormat().writeImageToStream (image, out));
    };

    write ("applications/org.example.Tuner.desktop",
           "[Desktop Entry]\nType=Application\nName=Tuner\nExec=/opt/tuner/bin/tuner-app --quiet %U\n"
           "Icon=org.example.Tuner\n\n[Desktop Action New]\nExec=other-binary\nIcon=wrong-icon\n");
    write ("applications/vendor/radio.desktop",
           "[Desktop Entry]\nType=Application\nName=Radio\nExec=env LANG=C radio-player\n"
           "StartupWMClass=RadioWindow\nIcon=radio-player\n");
    write ("applications/notes.desktop",
           "[Desktop Entry]\nName=Notes\nExec=notes\nIcon=" + share.getChildFile ("art/notes.png").getFullPathName() + "\n");
    write ("applications/noicon.desktop", "[Desktop Entry]\nName=Bare\nExec=bare\nIcon=missing-icon\n");
    writePng ("icons/hicolor/32x32/apps/org.example.Tuner.png", 32, juce::Colours::red);
    writePng ("icons/hicolor/64x64/apps/org.example.Tuner.png", 64, juce::Colours::blue);
    writePng ("icons/Deep/48x48/apps/org.example.Tuner.png", 48, juce::Colours::green);
    write ("icons/hicolor/scalable/apps/radio-player.svg",
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"16\" height=\"16\" viewBox=\"0 0 16 16\">"
           "<circle cx=\"8\" cy=\"8\" r=\"7\" fill=\"#ff8800\"/></svg>");
    writePng ("art/notes.png", 24, juce::Colours::yellow);

    FreedesktopAppIcons lookup ({ { share }, {} });
    const auto tuner = share.getChildFile ("applications/org.example.Tuner.desktop");
    const auto radio = share.getChildFile ("applications/vendor/radio.desktop");
    EXPECT_EQ (lookup.desktopEntryFor ("org.example.Tuner"), tuner);
    EXPECT_EQ (lookup.desktopEntryFor ("tuner-app"), tuner);       // Exec, without its directory
    EXPECT_EQ (lookup.desktopEntryFor ("vendor-radio"), radio);    // id of an entry in a subdirectory
    EXPECT_EQ (lookup.desktopEntryFor ("radio-player"), radio);    // Exec after env and its variables
    EXPECT_EQ (lookup.desktopEntryFor ("RadioWindow"), radio);     // StartupWMClass
    EXPECT_EQ (lookup.desktopEntryFor ("other-binary"), juce::File()); // an action's Exec does not count
    EXPECT_EQ (lookup.desktopEntryFor ("Tuner"), juce::File());    // names are not identities
    EXPECT_EQ (lookup.desktopEntryFor ("org.example.tuner"), juce::File()); // byte for byte

    // The largest of the current theme, then of hicolor; SVG drawn at full size; absolute paths.
    EXPECT_EQ (lookup.iconFor ("tuner-app").getWidth(), 64);
    EXPECT_EQ (lookup.iconFor ("tuner-app").getPixelAt (10, 10), juce::Colours::blue);
    EXPECT_EQ (FreedesktopAppIcons ({ { share }, { "Deep" } }).iconFor ("org.example.Tuner").getPixelAt (10, 10), juce::Colours::green);
    const auto svg = lookup.iconFor ("RadioWindow");
    EXPECT_EQ (svg.getWidth(), FreedesktopAppIcons::iconPixels);
    EXPECT_EQ (svg.getPixelAt (64, 64).getRed(), 255);
    EXPECT_EQ (svg.getPixelAt (1, 1).getAlpha(), 0);
    EXPECT_EQ (lookup.iconFor ("notes").getPixelAt (5, 5), juce::Colours::yellow);
    EXPECT_FALSE (lookup.iconFor ("bare").isValid()); // its icon is nowhere
    EXPECT_FALSE (lookup.iconFor ("org.unknown.App").isValid());
}
