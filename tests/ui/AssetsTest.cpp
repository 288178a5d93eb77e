#include <LoomwellAssets.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

namespace
{

juce::Image decode (const char* data, int size)
{
    return juce::ImageFileFormat::loadFrom (data, static_cast<size_t> (size));
}

TEST (Assets, EmbeddedPicturesDecodeAtTheirSizes)
{
    juce::ScopedJuceInitialiser_GUI gui;

    struct Expected { const char* data; int size; int width; int height; };
    const Expected pictures[] = {
        { LoomwellAssets::consoleGlyph_png, LoomwellAssets::consoleGlyph_pngSize, 104, 101 },
        { LoomwellAssets::usbPlug_png, LoomwellAssets::usbPlug_pngSize, 193, 428 },
        { LoomwellAssets::vantor_png, LoomwellAssets::vantor_pngSize, 800, 732 },
        { LoomwellAssets::trel_png, LoomwellAssets::trel_pngSize, 602, 611 },
    };

    for (const auto& p : pictures)
    {
        const auto image = decode (p.data, p.size);
        ASSERT_TRUE (image.isValid());
        EXPECT_EQ (image.getWidth(), p.width);
        EXPECT_EQ (image.getHeight(), p.height);
        EXPECT_TRUE (image.hasAlphaChannel());
        // Transparent corners: every picture stands on its own.
        EXPECT_EQ (image.getPixelAt (0, 0).getAlpha(), 0);
    }

    // The tray glyph is a white silhouette: every visible pixel is white.
    const auto glyph = decode (LoomwellAssets::consoleGlyph_png, LoomwellAssets::consoleGlyph_pngSize);
    int opaque = 0;
    for (int y = 0; y < glyph.getHeight(); ++y)
        for (int x = 0; x < glyph.getWidth(); ++x)
            if (const auto c = glyph.getPixelAt (x, y); c.getAlpha() > 200)
            {
                ++opaque;
                EXPECT_GT (c.getBrightness(), 0.95f);
            }
    EXPECT_GT (opaque, 104 * 101 / 3);
}

} // namespace
