#include "apps/fxhost/font.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "refhost/refhost.h"
#include "refhost/texts.h"

namespace fxhost {
namespace {

uint32_t Blend(uint32_t under, uint32_t over, unsigned coverage) {
    uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const unsigned a = under >> shift & 0xFF, b = over >> shift & 0xFF;
        out |= ((a * (255 - coverage) + b * coverage + 127) / 255) << shift;
    }
    return out;
}

}  // namespace

const char* const kDefaultFontPath = KZR_LABEL_FONT;

Font::Font(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    data_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        data_.clear();
    if (data_.empty())
        throw refhost::Error("cannot read the label font " + path +
                             " (Debian package fonts-dejavu-core)");
    const int offset = stbtt_GetFontOffsetForIndex(data_.data(), 0);
    if (offset < 0 || stbtt_InitFont(&info_, data_.data(), offset) == 0)
        throw refhost::Error(path + " is not a TrueType font");
}

int Font::TextWidth(std::string_view utf8, float pixelHeight) const {
    const float scale = stbtt_ScaleForPixelHeight(&info_, pixelHeight);
    float x = 0;
    char32_t previous = 0;
    for (const char32_t cp : refhost::DecodeUtf8(utf8)) {
        int advance = 0, bearing = 0;
        stbtt_GetCodepointHMetrics(&info_, static_cast<int>(cp), &advance, &bearing);
        if (previous != 0)
            x += scale * static_cast<float>(stbtt_GetCodepointKernAdvance(
                             &info_, static_cast<int>(previous), static_cast<int>(cp)));
        x += scale * static_cast<float>(advance);
        previous = cp;
    }
    return static_cast<int>(std::ceil(x));
}

void Font::Draw(uint32_t* pixels, int width, int height, int x, int y, std::string_view utf8,
                float pixelHeight, uint32_t color) const {
    const float scale = stbtt_ScaleForPixelHeight(&info_, pixelHeight);
    int ascent = 0, descent = 0, lineGap = 0;
    stbtt_GetFontVMetrics(&info_, &ascent, &descent, &lineGap);
    const int baseline = y + static_cast<int>(std::lround(scale * static_cast<float>(ascent)));
    float pen = static_cast<float>(x);
    char32_t previous = 0;
    std::vector<unsigned char> glyph;
    for (const char32_t code : refhost::DecodeUtf8(utf8)) {
        const int cp = static_cast<int>(code);
        if (previous != 0)
            pen += scale * static_cast<float>(stbtt_GetCodepointKernAdvance(
                               &info_, static_cast<int>(previous), cp));
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        const float shift = pen - std::floor(pen);
        stbtt_GetCodepointBitmapBoxSubpixel(&info_, cp, scale, scale, shift, 0, &x0, &y0, &x1, &y1);
        const int gw = x1 - x0, gh = y1 - y0;
        if (gw > 0 && gh > 0) {
            glyph.assign(static_cast<size_t>(gw) * static_cast<size_t>(gh), 0);
            stbtt_MakeCodepointBitmapSubpixel(&info_, glyph.data(), gw, gh, gw, scale, scale, shift,
                                              0, cp);
            const int left = static_cast<int>(std::floor(pen)) + x0, top = baseline + y0;
            for (int gy = std::max(0, -top); gy < gh && top + gy < height; ++gy)
                for (int gx = std::max(0, -left); gx < gw && left + gx < width; ++gx) {
                    const unsigned c = glyph[static_cast<size_t>(gy * gw + gx)];
                    if (c == 0)
                        continue;
                    uint32_t& px =
                        pixels[static_cast<size_t>(top + gy) * static_cast<size_t>(width) +
                               static_cast<size_t>(left + gx)];
                    px = Blend(px, color, c);
                }
        }
        int advance = 0, bearing = 0;
        stbtt_GetCodepointHMetrics(&info_, cp, &advance, &bearing);
        pen += scale * static_cast<float>(advance);
        previous = static_cast<char32_t>(cp);
    }
}

}  // namespace fxhost
