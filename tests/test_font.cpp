// The gallery's label type: UTF-8 decoding, umlauts drawn as their own
// glyphs, clipping at the image edges and a clear error for a missing font.
#include <gtest/gtest.h>

#include <vector>

#include "apps/fxhost/font.h"
#include "refhost/refhost.h"

namespace {

std::vector<uint32_t> Draw(const fxhost::Font& font, const char* text, int x, int y) {
    std::vector<uint32_t> px(64 * 32, 0xFF000000u);
    font.Draw(px.data(), 64, 32, x, y, text, 20.0f, 0xFFFFFFFFu);
    return px;
}

TEST(LabelFont, UmlautsAreTheirOwnGlyphsAndMalformedTextIsSafe) {
    const fxhost::Font font(fxhost::kDefaultFontPath);
    EXPECT_GT(font.TextWidth("Ä", 20.0f), 0);
    EXPECT_EQ(font.TextWidth("", 20.0f), 0);
    EXPECT_LT(font.TextWidth("ii", 20.0f), font.TextWidth("WW", 20.0f));
    // "Ä" carries its dots above the "A".
    EXPECT_NE(Draw(font, "Ä", 2, 2), Draw(font, "A", 2, 2));
    EXPECT_NE(Draw(font, "ß", 2, 2), Draw(font, "?", 2, 2));
    // Truncated and stray continuation bytes draw a replacement, never read past the text.
    EXPECT_GT(font.TextWidth("a\xC3", 20.0f), 0);
    EXPECT_GT(font.TextWidth("\x80\xBF", 20.0f), 0);
    const auto blank = std::vector<uint32_t>(64 * 32, 0xFF000000u);
    EXPECT_NE(Draw(font, "\xE2\x82", 2, 2), blank);
    // Text partly or wholly outside the image is clipped.
    EXPECT_NE(Draw(font, "Wg", -8, -6), blank);
    EXPECT_EQ(Draw(font, "W", 100, 100), blank);
    EXPECT_EQ(Draw(font, "W", -100, 0), blank);
}

TEST(LabelFont, MissingOrInvalidFontNamesTheFile) {
    try {
        fxhost::Font font("/nonexistent/font.ttf");
        FAIL() << "no error";
    } catch (const refhost::Error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/font.ttf"), std::string::npos);
    }
    EXPECT_THROW(fxhost::Font font(KZR_GOLDEN_TSV), refhost::Error);
}

}  // namespace
