#include "refhost/testcard.h"

#include <algorithm>
#include <cmath>

namespace refhost {
namespace {

uint32_t Rgba(int r, int g, int b, int a = 255) {
    const auto c = [](int v) { return static_cast<uint32_t>(std::clamp(v, 0, 255)); };
    return c(r) | c(g) << 8 | c(b) << 16 | c(a) << 24;
}

// 3x5 glyphs of the digits, bit 14 is the top-left cell.
constexpr uint16_t kDigits[10] = {0x7B6F, 0x2C97, 0x73E7, 0x73CF, 0x5BC9,
                                  0x79CF, 0x79EF, 0x7249, 0x7BEF, 0x7BCF};

// Centre and radius of the moving marker.
using Marker = TestCardClip::Marker;

Marker MarkerAt(uint32_t width, uint32_t height, double phase) {
    const double w = width, h = height;
    const double unit = std::max(1.0, std::min(w, h) / 16.0);
    return {w / 2 + std::cos(phase * 6.283185307) * std::min(w, h) * 0.35,
            h / 2 + std::sin(phase * 6.283185307) * std::min(w, h) * 0.35, unit / 3};
}

constexpr uint32_t kMarkerColour = 255 | 140 << 8 | 0 << 16 | 255u << 24;

// The pixels around a marker that it may cover: columns x0..x1, rows y0..y1
// (empty when x0 > x1 or y0 > y1).
struct Box {
    int64_t x0, y0, x1, y1;
};

Box MarkerBox(const Marker& m, uint32_t width, uint32_t height) {
    const auto lo = [](double v) { return static_cast<int64_t>(std::max(0.0, std::floor(v))); };
    const auto hi = [](double v, uint32_t size) {
        return std::min<int64_t>(int64_t{size} - 1, static_cast<int64_t>(std::ceil(v)));
    };
    return {lo(m.x - m.radius), lo(m.y - m.radius), hi(m.x + m.radius, width),
            hi(m.y + m.radius, height)};
}

// Paints the marker over the pixels it covers.
void PaintMarker(std::vector<uint32_t>& px, uint32_t width, uint32_t height, const Marker& m) {
    const Box b = MarkerBox(m, width, height);
    for (int64_t y = b.y0; y <= b.y1; ++y)
        for (int64_t x = b.x0; x <= b.x1; ++x)
            if (std::hypot(static_cast<double>(x) - m.x, static_cast<double>(y) - m.y) < m.radius)
                px[static_cast<size_t>(y) * width + static_cast<size_t>(x)] = kMarkerColour;
}

// The card without the marker.
std::vector<uint32_t> DrawCard(uint32_t width, uint32_t height) {
    std::vector<uint32_t> px(size_t{width} * height);
    if (px.empty())
        return px;
    const double w = width, h = height, cx = w / 2, cy = h / 2;
    const double unit = std::max(1.0, std::min(w, h) / 16.0);
    const double ring = std::max(2.0, std::min(w, h) / 12.0);
    const double line = std::max(1.0, unit / 12.0);
    const double glyph = std::max(1.0, std::floor(unit / 8.0));

    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const double fx = x, fy = y;
            // Colour field: hue across, brightness down.
            const double u = fx / std::max(1.0, w - 1), v = fy / std::max(1.0, h - 1);
            int r = static_cast<int>(60 + 150 * u), g = static_cast<int>(70 + 120 * (1 - v)),
                b = static_cast<int>(90 + 130 * (1 - u) * v);
            // Colour bars across the bottom eighth.
            if (fy >= h * 7 / 8) {
                static const uint32_t bars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                                 0xFF00FF, 0xFF0000, 0x0000FF, 0x202020};
                const uint32_t c = bars[std::min<size_t>(7, static_cast<size_t>(8 * fx / w))];
                r = static_cast<int>(c >> 16 & 255), g = static_cast<int>(c >> 8 & 255),
                b = static_cast<int>(c & 255);
            }
            // Grid lines.
            if (std::fmod(fx, unit) < line || std::fmod(fy, unit) < line)
                r = g = b = 235;
            // Diagonals.
            if (std::abs(fx / w - fy / h) * std::min(w, h) < line ||
                std::abs(fx / w - (1 - fy / h)) * std::min(w, h) < line)
                r = 250, g = 250, b = 40;
            // Concentric circles around the centre, alternating colours.
            const double d = std::hypot(fx - cx, fy - cy);
            if (std::fmod(d, ring) < line * 1.5 && d < std::min(w, h) * 0.48) {
                const bool odd = static_cast<int>(d / ring) % 2;
                r = odd ? 230 : 20, g = odd ? 40 : 20, b = odd ? 40 : 200;
            }
            // Rows of digits in the top band: fine, text-like detail.
            if (fy < h / 8 && fx > unit / 2) {
                const int cell = static_cast<int>(glyph);
                const int gx = static_cast<int>(fx - unit / 2) / cell,
                          gy = static_cast<int>(fy) / cell;
                const int col = gx % 4, row = gy % 6, n = (gx / 4 + gy / 6 * 7) % 10;
                if (col < 3 && row < 5 && (kDigits[n] >> (14 - row * 3 - col) & 1))
                    r = g = b = 10;
            }
            px[size_t{y} * width + x] = Rgba(r, g, b);
        }
    }
    return px;
}

}  // namespace

std::vector<uint32_t> MakeTestCard(uint32_t width, uint32_t height, double phase) {
    std::vector<uint32_t> px = DrawCard(width, height);
    if (!px.empty())
        PaintMarker(px, width, height, MarkerAt(width, height, phase));
    return px;
}

TestCardClip::TestCardClip(uint32_t width, uint32_t height)
    : width_(width), height_(height), base_(DrawCard(width, height)), frame_(base_) {}

const std::vector<uint32_t>& TestCardClip::Frame(double phase) {
    if (base_.empty())
        return frame_;
    if (painted_) {
        // Put back the pixels the previous marker may have covered.
        const Box b = MarkerBox(last_, width_, height_);
        for (int64_t y = b.y0; y <= b.y1; ++y) {
            const size_t row = static_cast<size_t>(y) * width_;
            for (int64_t x = b.x0; x <= b.x1; ++x)
                frame_[row + static_cast<size_t>(x)] = base_[row + static_cast<size_t>(x)];
        }
    }
    last_ = MarkerAt(width_, height_, phase);
    PaintMarker(frame_, width_, height_, last_);
    painted_ = true;
    return frame_;
}

}  // namespace refhost
