// A built-in test card: a colour field with a grid, diagonals, concentric
// circles, colour bars and fine text-like detail, so every distortion shows.
#pragma once
#include <cstdint>
#include <vector>

namespace refhost {

// RGBA pixels (byte 0 red, byte 3 alpha), rows packed.  `phase` in [0, 1)
// moves a marker around the card, so frames of a clip differ.
std::vector<uint32_t> MakeTestCard(uint32_t width, uint32_t height, double phase = 0.0);

// The frames of a test-card clip: the card is drawn once and each frame only
// moves the marker, so Frame(phase) equals MakeTestCard(width, height, phase)
// at a fraction of the cost.
class TestCardClip {
  public:
    TestCardClip(uint32_t width, uint32_t height);
    // Valid until the next call.
    const std::vector<uint32_t>& Frame(double phase);

    // Where the marker of a frame lies.
    struct Marker {
        double x, y, radius;
    };

  private:
    uint32_t width_, height_;
    std::vector<uint32_t> base_;
    std::vector<uint32_t> frame_;
    Marker last_{};
    bool painted_ = false;
};

}  // namespace refhost
