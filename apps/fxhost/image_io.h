// Reading and writing still images as RGBA pixels.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fxhost {

struct Image {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;  // RGBA, byte 0 red, rows packed
};

// PNG, JPEG, BMP or TGA; throws refhost::Error with the reason.
Image ReadImage(const std::string& path);
// PNG (alpha kept), or JPEG (alpha dropped) when the name ends in .jpg/.jpeg;
// writes the file at `path` directly.  Throws refhost::Error.
void WriteImage(const std::string& path, const Image& image);
// WriteImage through a temporary file beside `path` that is moved into place
// when complete; an existing file is replaced only with `force`.
void SaveImage(const std::string& path, const Image& image, bool force);
// The image scaled to width x height (all four channels filtered alike).
Image ResizeImage(const Image& image, uint32_t width, uint32_t height);

}  // namespace fxhost
