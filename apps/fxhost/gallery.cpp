#include "apps/fxhost/gallery.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "apps/fxhost/font.h"
#include "apps/fxhost/options.h"
#include "refhost/testcard.h"

namespace fxhost {
namespace {

constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) {
    return r | g << 8 | b << 16 | 0xFFu << 24;
}

constexpr uint32_t kBackground = Rgb(0x26, 0x26, 0x26);
constexpr uint32_t kLabelBand = Rgb(0x14, 0x14, 0x14);
constexpr uint32_t kLabelText = Rgb(0xF0, 0xF0, 0xF0);
constexpr int kGap = 12;

// The label shortened with "..." until it fits `width` pixels.
std::string Fit(const Font& font, const std::string& label, int width, float size) {
    if (font.TextWidth(label, size) <= width)
        return label;
    std::string s = label;
    while (!s.empty()) {
        // Drop the last code point.
        size_t start = s.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        s.erase(start);
        if (font.TextWidth(s + "...", size) <= width)
            return s + "...";
    }
    return "";
}

}  // namespace

Image MakeGallery(const std::string& modulePath, const GalleryOptions& o) {
    refhost::Module module(modulePath);
    const refhost::Texts texts = LoadTexts(module, o.language);
    std::vector<size_t> effects;
    for (size_t i = 0; i < module.EffectCount(); ++i)
        if (module.Available(i))
            effects.push_back(i);
    if (effects.empty())
        throw refhost::Error(module.Path() + " carries no effects");

    // The source picture at tile size.
    Image source;
    Size tile{384, 216};
    if (!o.tile.empty())
        tile = ParseSize(o.tile, "--tile");
    if (o.input.empty()) {
        source.width = tile.width;
        source.height = tile.height;
        source.pixels = refhost::MakeTestCard(tile.width, tile.height);
    } else {
        const Image input = ReadImage(o.input, o.limits);
        if (o.tile.empty()) {
            const double h =
                std::round(static_cast<double>(tile.width) * input.height / input.width);
            tile.height = static_cast<uint32_t>(std::clamp(h, 1.0, double{kMaxSide}));
        }
        source = ResizeImage(input, tile.width, tile.height);
    }

    const int n = static_cast<int>(effects.size());
    if (o.columns < 0)
        throw refhost::Error("--columns expects a number of at least 1");
    const int columns = o.columns > 0 ? std::min(o.columns, n) : std::min(n, 5);
    const int rows = (n + columns - 1) / columns;
    const Font font(o.font.empty() ? kDefaultFontPath : o.font);
    // Label type scales with the tile: 18 px on the default 384-pixel tiles.
    const float textSize = std::clamp(static_cast<float>(tile.width) / 21.0f, 9.0f, 48.0f);
    const int pad = static_cast<int>(std::lround(textSize * 0.35f));
    const int labelH = static_cast<int>(std::ceil(textSize)) + 2 * pad;
    const int tw = static_cast<int>(tile.width), th = static_cast<int>(tile.height);
    const int cellH = th + labelH;

    Image canvas;
    canvas.width = static_cast<uint32_t>(kGap + columns * (tw + kGap));
    canvas.height = static_cast<uint32_t>(kGap + rows * (cellH + kGap));
    canvas.pixels.assign(size_t{canvas.width} * canvas.height, kBackground);
    const int cw = static_cast<int>(canvas.width);

    std::vector<uint32_t> rendered(source.pixels.size());
    for (int k = 0; k < n; ++k) {
        refhost::Instance fx(module, effects[static_cast<size_t>(k)]);
        ApplyContext(fx, o.context);
        PrepareOrThrow(fx, tile.width, tile.height);
        RenderFrame(fx, source.pixels, rendered);
        const int x0 = kGap + (k % columns) * (tw + kGap);
        const int y0 = kGap + (k / columns) * (cellH + kGap);
        for (int y = 0; y < th; ++y)
            std::copy_n(rendered.begin() + static_cast<ptrdiff_t>(y) * tw, tw,
                        canvas.pixels.begin() + static_cast<ptrdiff_t>(y0 + y) * cw + x0);
        for (int y = th; y < cellH; ++y)
            std::fill_n(canvas.pixels.begin() + static_cast<ptrdiff_t>(y0 + y) * cw + x0, tw,
                        kLabelBand);
        const std::string label =
            Fit(font, texts.Text(fx.Effect().NameKey), tw - 2 * pad, textSize);
        font.Draw(canvas.pixels.data(), cw, static_cast<int>(canvas.height),
                  x0 + (tw - font.TextWidth(label, textSize)) / 2, y0 + th + pad, label, textSize,
                  kLabelText);
    }
    return canvas;
}

void Gallery(const std::string& modulePath, const GalleryOptions& o) {
    if (o.output.empty())
        throw refhost::Error("no output given; use -o gallery.png");
    if (!IsImageOutput(o.output))
        throw refhost::Error("the gallery is a picture: give -o a .png or .jpg name; got " +
                             o.output);
    struct stat st;
    if (!o.force && stat(o.output.c_str(), &st) == 0)
        throw refhost::Error(o.output + " already exists; use --force to overwrite it");
    SaveImage(o.output, MakeGallery(modulePath, o), o.force);
}

}  // namespace fxhost
