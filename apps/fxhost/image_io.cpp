#include "apps/fxhost/image_io.h"

#include <stb_image.h>
#include <stb_image_write.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "refhost/refhost.h"

namespace fxhost {
namespace {

bool EndsWith(std::string s, const char* tail) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

Image ReadImage(const std::string& path) {
    int w = 0, h = 0, channels = 0;
    unsigned char* data = stbi_load(path.c_str(), &w, &h, &channels, 4);
    if (data == nullptr)
        throw refhost::Error("cannot read image " + path + ": " + stbi_failure_reason() +
                             " (PNG, JPEG, BMP and TGA are read)");
    Image img;
    img.width = static_cast<uint32_t>(w);
    img.height = static_cast<uint32_t>(h);
    img.pixels.resize(size_t{img.width} * img.height);
    std::memcpy(img.pixels.data(), data, img.pixels.size() * 4);
    stbi_image_free(data);
    return img;
}

void WriteImage(const std::string& path, const Image& image) {
    const bool jpeg = EndsWith(path, ".jpg") || EndsWith(path, ".jpeg");
    if (!jpeg && !EndsWith(path, ".png"))
        throw refhost::Error("cannot write " + path +
                             ": images are written as .png, .jpg or .jpeg");
    const std::string tmp = path + ".part";
    const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
    const int ok = jpeg ? stbi_write_jpg(tmp.c_str(), w, h, 4, image.pixels.data(), 92)
                        : stbi_write_png(tmp.c_str(), w, h, 4, image.pixels.data(), w * 4);
    std::error_code ec;
    if (!ok) {
        std::filesystem::remove(tmp, ec);
        throw refhost::Error("cannot write image " + path);
    }
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        throw refhost::Error("cannot write image " + path + ": " + ec.message());
    }
}

}  // namespace fxhost
