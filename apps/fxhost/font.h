// Labels in real type: a TrueType font (DejaVu Sans by default) drawn with
// anti-aliased coverage into RGBA pixels, any size, any Unicode text the
// font covers (German umlauts included).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <stb_truetype.h>

namespace fxhost {

// The font the gallery labels use unless told otherwise.
extern const char* const kDefaultFontPath;

class Font {
  public:
    // Loads a .ttf file; throws refhost::Error naming the file when it cannot
    // be read or is not a TrueType font.
    explicit Font(const std::string& path);
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;

    // Width in pixels of the text at a pixel height (ascent to descent).
    int TextWidth(std::string_view utf8, float pixelHeight) const;
    // Draws UTF-8 text with its top-left corner at (x, y), blending `color`
    // by the glyphs' coverage; everything outside the image is clipped.
    void Draw(uint32_t* pixels, int width, int height, int x, int y, std::string_view utf8,
              float pixelHeight, uint32_t color) const;

  private:
    std::vector<unsigned char> data_;
    stbtt_fontinfo info_{};
};

}  // namespace fxhost
