// Small parsers and checks shared by the subcommands.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace fxhost {

struct Size {
    uint32_t width = 0;
    uint32_t height = 0;
};

// Largest side of a frame fxhost makes or accepts from the command line.
inline constexpr uint32_t kMaxSide = 16384;

// "1920x1080" (also "1920X1080"); both sides 1 to kMaxSide.  Throws
// refhost::Error naming the option and the accepted form.
Size ParseSize(std::string_view text, std::string_view option);

// Lower-case extension with its dot (".png"), or "" when the file name has none.
std::string Extension(const std::string& path);

// Still images fxhost reads (.png .jpg .jpeg .webp .tif .tiff .bmp .tga) and writes
// (.png .jpg .jpeg).
bool IsImageInput(const std::string& path);
bool IsImageOutput(const std::string& path);

// Code points in a UTF-8 string (for aligning columns of text).
size_t DisplayWidth(std::string_view utf8);
// `text` followed by spaces up to `width` code points.
std::string Pad(const std::string& text, size_t width);

}  // namespace fxhost
