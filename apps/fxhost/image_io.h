// Reading and writing still images as RGBA pixels.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fxhost {

struct Image {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;  // RGBA, byte 0 red, rows packed
};

// The widest or tallest picture fxhost reads: the most the module's 16.16
// coordinate maps address.
inline constexpr uint32_t kMaxPictureSide = 65536;

// How much a picture may take: the memory its decoding needs (the decoder's
// pixels and the RGBA copy), checked from its header before any pixel is
// decoded.  --max-memory on the command line.
struct ReadLimits {
    uint64_t maxMemoryMiB = 2048;
};

// PNG (8 or 16 bits a channel), JPEG, WebP, TIFF, BMP or TGA in memory,
// decoded to 8-bit sRGB RGBA: the EXIF orientation applied, an embedded
// colour profile converted to sRGB, alpha kept (opaque where the picture has
// none).  A header that claims a side above kMaxPictureSide or more memory
// than `limits` is refused before the pixels are decoded.  Throws
// refhost::Error naming `name` and the reason.  `warning`, when given,
// receives a line when the picture was read despite damage or a colour
// profile that could not be applied (its colours are then taken as sRGB).
Image DecodeImage(const void* data, size_t size, const std::string& name, const ReadLimits& limits,
                  std::string* warning = nullptr);
// The file at `path` through DecodeImage; a warning goes to standard error.
Image ReadImage(const std::string& path, const ReadLimits& limits = {});
// The picture encoded as PNG (alpha kept) or, with `jpeg`, as JPEG (alpha
// dropped, quality 92).  Throws refhost::Error for an empty picture.
std::string EncodeImage(const Image& image, bool jpeg);
// PNG (alpha kept), or JPEG (alpha dropped) when the name ends in .jpg/.jpeg;
// writes the file at `path` directly.  Throws refhost::Error.
void WriteImage(const std::string& path, const Image& image);
// WriteImage through a temporary file beside `path` that is moved into place
// when complete; an existing file is replaced only with `force`.
void SaveImage(const std::string& path, const Image& image, bool force);
// The image scaled to width x height (all four channels filtered alike).
Image ResizeImage(const Image& image, uint32_t width, uint32_t height);

}  // namespace fxhost
