// A 5x7 pixel font (with one more row for descenders) for labels: printable ASCII and the German
// letters ä ö ü Ä Ö Ü ß; other characters are drawn as "?".
#pragma once
#include <cstdint>
#include <string_view>

namespace fxhost {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 8;
inline constexpr int kGlyphAdvance = 6;  // glyph plus one column of space

// Width in pixels of the text at a scale (each font pixel a scale x scale block).
int TextWidth(std::string_view utf8, int scale);

// Draws UTF-8 text with its top-left corner at (x, y) into RGBA pixels;
// everything outside the image is clipped.
void DrawText(uint32_t* pixels, int width, int height, int x, int y, std::string_view utf8,
              int scale, uint32_t color);

}  // namespace fxhost
