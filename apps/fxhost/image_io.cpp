#include "apps/fxhost/image_io.h"

#include <stb_image_resize.h>
#include <stb_image_write.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "apps/fxhost/options.h"
#include "apps/fxhost/output_file.h"
#include "refhost/refhost.h"

namespace fxhost {

std::string EncodeImage(const Image& image, bool jpeg) {
    if (image.width == 0 || image.height == 0 ||
        image.pixels.size() != size_t{image.width} * image.height)
        throw refhost::Error("the image is empty");
    const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
    std::string encoded;
    const auto append = [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                                   static_cast<size_t>(size));
    };
    const int ok =
        jpeg ? stbi_write_jpg_to_func(append, &encoded, w, h, 4, image.pixels.data(), 92)
             : stbi_write_png_to_func(append, &encoded, w, h, 4, image.pixels.data(), w * 4);
    if (!ok)
        throw refhost::Error("the image could not be encoded");
    return encoded;
}

void WriteImage(const std::string& path, const Image& image) {
    const std::string ext = Extension(path);
    const bool jpeg = ext == ".jpg" || ext == ".jpeg";
    if (!jpeg && ext != ".png")
        throw refhost::Error("cannot write " + path +
                             ": images are written as .png, .jpg or .jpeg");
    // Encoded in memory and written with every error checked: the encoders'
    // own file output does not notice a full disk.
    std::string encoded;
    try {
        encoded = EncodeImage(image, jpeg);
    } catch (const refhost::Error& e) {
        throw refhost::Error("cannot write " + path + ": " + e.what());
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw refhost::Error("cannot write " + path + ": " + std::strerror(errno));
    const bool written = std::fwrite(encoded.data(), 1, encoded.size(), f) == encoded.size();
    const int writeError = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed)
        throw refhost::Error("cannot write " + path + ": " +
                             std::strerror(written ? errno : writeError));
}

void SaveImage(const std::string& path, const Image& image, bool force) {
    OutputFile out(path, force);
    try {
        WriteImage(out.TempPath(), image);
    } catch (const refhost::Error& e) {
        // Name the file the user asked for, not the temporary one.
        std::string message = e.what();
        const size_t at = message.find(out.TempPath());
        if (at != std::string::npos)
            message.replace(at, out.TempPath().size(), path);
        throw refhost::Error(message);
    }
    out.Commit();
}

Image ResizeImage(const Image& image, uint32_t width, uint32_t height) {
    Image out;
    out.width = width;
    out.height = height;
    out.pixels.resize(size_t{width} * height);
    if (!stbir_resize_uint8(reinterpret_cast<const unsigned char*>(image.pixels.data()),
                            static_cast<int>(image.width), static_cast<int>(image.height), 0,
                            reinterpret_cast<unsigned char*>(out.pixels.data()),
                            static_cast<int>(width), static_cast<int>(height), 0, 4))
        throw refhost::Error("cannot scale the image");
    return out;
}

}  // namespace fxhost
