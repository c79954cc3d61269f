// A built-in test card: a colour field with a grid, diagonals, concentric
// circles, colour bars and fine text-like detail, so every distortion shows.
#pragma once
#include <cstdint>
#include <vector>

namespace refhost {

// RGBA pixels (byte 0 red, byte 3 alpha), rows packed.  `phase` in [0, 1)
// moves a marker around the card, so frames of a clip differ.
std::vector<uint32_t> MakeTestCard(uint32_t width, uint32_t height, double phase = 0.0);

}  // namespace refhost
