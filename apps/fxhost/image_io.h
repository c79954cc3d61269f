// Reading and writing still images as RGBA pixels.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fxhost {

struct Image {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;  // RGBA, byte 0 red
};

// PNG, JPEG, BMP or TGA; throws refhost::Error with the reason.
Image ReadImage(const std::string& path);
// PNG, or JPEG when the name ends in .jpg/.jpeg.  Writes to a temporary file
// beside `path` and renames it, so a failure leaves nothing half-written.
void WriteImage(const std::string& path, const Image& image);

}  // namespace fxhost
