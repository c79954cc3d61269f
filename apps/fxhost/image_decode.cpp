// Pictures from anywhere, decoded through libvips: its PNG, JPEG, WebP and
// TIFF loaders, and ImageMagick's BMP and TGA readers behind its magick
// loader.  Every other loader libvips carries (PDF, SVG, HEIF, FITS, ...) is
// blocked, and the bytes are matched to a loader by their signature here, so
// nothing but these six readers ever sees them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips8>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "apps/fxhost/image_io.h"
#include "refhost/refhost.h"

namespace fxhost {
namespace {

enum class Format { kPng, kJpeg, kWebp, kTiff, kBmp, kTga, kUnknown };

bool StartsWith(const uint8_t* p, size_t n, const char* magic, size_t length) {
    return n >= length && std::memcmp(p, magic, length) == 0;
}

Format Sniff(const uint8_t* p, size_t n) {
    if (StartsWith(p, n, "\x89PNG\r\n\x1a\n", 8))
        return Format::kPng;
    if (StartsWith(p, n, "\xff\xd8\xff", 3))
        return Format::kJpeg;
    if (n >= 12 && StartsWith(p, n, "RIFF", 4) && std::memcmp(p + 8, "WEBP", 4) == 0)
        return Format::kWebp;
    if (StartsWith(p, n, "II*\0", 4) || StartsWith(p, n, "MM\0*", 4) ||
        StartsWith(p, n, "II+\0", 4) || StartsWith(p, n, "MM\0+", 4))
        return Format::kTiff;
    if (StartsWith(p, n, "BM", 2))
        return Format::kBmp;
    // TGA has no signature: its 18-byte header must hold a known image type,
    // a colour map only where the type has one, a size and a pixel depth.
    if (n >= 18) {
        const unsigned mapType = p[1], type = p[2], depth = p[16];
        const bool mapped = type == 1 || type == 9;
        const bool known = mapped || type == 2 || type == 3 || type == 10 || type == 11;
        const unsigned w = p[12] | p[13] << 8, h = p[14] | p[15] << 8;
        if (known && mapType == (mapped ? 1u : 0u) && w > 0 && h > 0 &&
            (depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32))
            return Format::kTga;
    }
    return Format::kUnknown;
}

// Where the decode on this thread notes a colour profile a loader dropped
// as unusable, or nowhere.
thread_local std::string* tWarnings = nullptr;

void StartVips() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("fxhost") != 0)
            throw refhost::Error(std::string("cannot start libvips: ") + vips_error_buffer());
        // A decoded picture is not kept once read.
        vips_cache_set_max(0);
        vips_operation_block_set("VipsForeignLoad", TRUE);
        for (const char* loader :
             {"VipsForeignLoadPngBuffer", "VipsForeignLoadJpegBuffer", "VipsForeignLoadWebpBuffer",
              "VipsForeignLoadTiffBuffer", "VipsForeignLoadMagickBuffer"})
            vips_operation_block_set(loader, FALSE);
        // Loaders report damage they decode around on this log domain (what
        // fails comes as an error); of that, a dropped colour profile is told.
        g_log_set_handler(
            "VIPS", G_LOG_LEVEL_WARNING,
            [](const char*, GLogLevelFlags, const char* message, void*) {
                const std::string text = message != nullptr ? message : "";
                if (tWarnings != nullptr && tWarnings->find(text) == std::string::npos &&
                    (text.find("ICC") != std::string::npos ||
                     text.find("iCCP") != std::string::npos))
                    *tWarnings += (tWarnings->empty() ? "" : "; ") + text;
            },
            nullptr);
    });
}

// libvips' error text in one line, without the loaders' names.
std::string VipsReason(const vips::VError& e) {
    std::string text = e.what(), out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        const size_t colon = line.find(": ");
        if (colon != std::string::npos && line.find(' ') > colon)
            line.erase(0, colon + 2);
        if (!line.empty() && out.find(line) == std::string::npos)
            out += (out.empty() ? "" : "; ") + line;
        start = end + 1;
    }
    return out.empty() ? "the decoder failed" : out;
}

// The loader's image: its header is read, its pixels are decoded only when
// first asked for.  Refuses truncated files; decodes into memory, never into
// a temporary file.
vips::VImage Open(Format format, VipsBlob* blob) {
    const auto options = [] {
        return vips::VImage::option()
            ->set("fail_on", VIPS_FAIL_ON_TRUNCATED)
            ->set("memory", true)
            ->set("access", VIPS_ACCESS_RANDOM);
    };
    switch (format) {
        case Format::kPng:
            return vips::VImage::pngload_buffer(blob, options());
        case Format::kJpeg:
            return vips::VImage::jpegload_buffer(blob, options());
        case Format::kWebp:
            return vips::VImage::webpload_buffer(blob, options());
        case Format::kTiff:
            return vips::VImage::tiffload_buffer(blob, options());
        default:
            return vips::VImage::magickload_buffer(blob, options());
    }
}

std::string MiB(uint64_t bytes) {
    return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB";
}

// Refuses a picture of w x h pixels that takes `perPixel` bytes a pixel to
// decode (the decoder's pixels, then the RGBA copy) when it exceeds a limit.
void CheckSize(const std::string& name, uint64_t w, uint64_t h, uint64_t perPixel,
               const ReadLimits& limits) {
    const uint64_t need = w * h * perPixel, limit = limits.maxMemoryMiB << 20;
    if (w == 0 || h == 0 || w > kMaxPictureSide || h > kMaxPictureSide || need > limit)
        throw refhost::Error("cannot read image " + name + ": it is " + std::to_string(w) + "x" +
                             std::to_string(h) + " pixels and takes " + MiB(need) +
                             " to decode; fxhost reads pictures of up to " +
                             std::to_string(kMaxPictureSide) + " pixels a side and " + MiB(limit) +
                             " (--max-memory)");
}

uint32_t Le16(const uint8_t* p) {
    return p[0] | p[1] << 8;
}
uint32_t Le32(const uint8_t* p) {
    return Le16(p) | Le16(p + 2) << 16;
}

// ImageMagick decodes BMP and TGA into its own 16-bit RGBA copy; their sizes
// are checked from the header before it sees them, as its own limits
// (Debian's policy) would refuse large ones with a message naming neither
// size nor limit.
void CheckMagickHeader(Format format, const uint8_t* p, size_t n, const std::string& name,
                       const ReadLimits& limits) {
    uint64_t w = 0, h = 0;
    if (format == Format::kTga) {
        w = Le16(p + 12);
        h = Le16(p + 14);
    } else if (n >= 26 && Le32(p + 14) == 12) {  // OS/2 1.x header
        w = Le16(p + 18);
        h = Le16(p + 20);
    } else if (n >= 26) {
        const auto height = static_cast<int32_t>(Le32(p + 22));  // negative: top row first
        w = static_cast<int32_t>(Le32(p + 18)) < 0 ? 0 : Le32(p + 18);
        h = height < 0 ? 0 - static_cast<int64_t>(height) : height;
    }
    CheckSize(name, w, h, 12, limits);
}

// The colours in sRGB, 8 bits a channel, with an alpha channel.
vips::VImage ToRgba(vips::VImage img, const std::string& name, std::string* warning) {
    if (img.get_typeof(VIPS_META_ICC_NAME) != 0) {
        try {
            img = img.icc_transform("srgb", vips::VImage::option()->set("embedded", true));
        } catch (const vips::VError& e) {
            *warning += (warning->empty() ? "" : "; ") + VipsReason(e);
            img.remove(VIPS_META_ICC_NAME);
        }
    }
    img = img.colourspace(VIPS_INTERPRETATION_sRGB);
    if (img.format() != VIPS_FORMAT_UCHAR)
        img = img.cast(VIPS_FORMAT_UCHAR);
    if (img.bands() == 3)
        img = img.bandjoin_const({255});
    else if (img.bands() > 4)
        img = img.extract_band(0, vips::VImage::option()->set("n", 4));
    if (img.bands() != 4)
        throw refhost::Error("cannot read image " + name + ": its " + std::to_string(img.bands()) +
                             " channels are not colour, grey or alpha");
    return img;
}

}  // namespace

Image DecodeImage(const void* data, size_t size, const std::string& name, const ReadLimits& limits,
                  std::string* warning) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const Format format = Sniff(bytes, size);
    if (format == Format::kUnknown)
        throw refhost::Error("cannot read image " + name +
                             ": it is not a PNG, JPEG, WebP, TIFF, BMP or TGA picture");
    StartVips();
    vips_error_clear();
    std::string warnings;
    tWarnings = &warnings;
    struct Unset {
        ~Unset() { tWarnings = nullptr; }
    } unset;
    std::unique_ptr<VipsBlob, void (*)(VipsBlob*)> blob(
        vips_blob_new(nullptr, data, size), [](VipsBlob* b) { vips_area_unref(VIPS_AREA(b)); });
    try {
        const bool magick = format == Format::kBmp || format == Format::kTga;
        if (magick)
            CheckMagickHeader(format, bytes, size, name, limits);
        const vips::VImage loaded = Open(format, blob.get());
        // What decoding takes: the loader's pixels (ImageMagick keeps its own
        // 16-bit copy besides), then the RGBA picture.
        CheckSize(name, static_cast<uint32_t>(loaded.width()),
                  static_cast<uint32_t>(loaded.height()),
                  4 + VIPS_IMAGE_SIZEOF_PEL(loaded.get_image()) + (magick ? 8 : 0), limits);
        const vips::VImage rgba = ToRgba(loaded.autorot(), name, &warnings);
        Image img;
        img.width = static_cast<uint32_t>(rgba.width());
        img.height = static_cast<uint32_t>(rgba.height());
        img.pixels.resize(size_t{img.width} * img.height);
        // Row bands pulled through the pipeline on this thread.
        vips::VRegion region = vips::VRegion::new_from_image(rgba);
        constexpr int kRows = 64;
        for (int top = 0; top < rgba.height(); top += kRows) {
            const VipsRect rect = {0, top, rgba.width(), std::min(kRows, rgba.height() - top)};
            region.prepare(&rect);
            for (int y = top; y < top + rect.height; ++y)
                std::memcpy(&img.pixels[size_t{img.width} * static_cast<size_t>(y)],
                            VIPS_REGION_ADDR(region.get_region(), 0, y), size_t{img.width} * 4);
        }
        if (warning != nullptr && !warnings.empty())
            *warning = name + ": its colour profile cannot be used (" + warnings +
                       "); its colours are taken as sRGB";
        return img;
    } catch (const vips::VError& e) {
        throw refhost::Error("cannot read image " + name + ": " + VipsReason(e));
    }
}

Image ReadImage(const std::string& path, const ReadLimits& limits) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string reason = fd < 0 ? std::strerror(errno) : "it is not a file";
        if (fd >= 0)
            close(fd);
        throw refhost::Error("cannot read image " + path + ": " + reason);
    }
    const uint64_t limit = limits.maxMemoryMiB << 20;
    std::string data;
    if (static_cast<uint64_t>(st.st_size) > limit) {
        close(fd);
        throw refhost::Error("cannot read image " + path + ": the file takes " +
                             MiB(static_cast<uint64_t>(st.st_size)) + "; fxhost reads up to " +
                             MiB(limit) + " (--max-memory)");
    }
    data.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string reason = n < 0 ? std::strerror(errno) : "the file shrank";
            close(fd);
            throw refhost::Error("cannot read image " + path + ": " + reason);
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    std::string warning;
    Image img = DecodeImage(data.data(), data.size(), path, limits, &warning);
    if (!warning.empty())
        std::cerr << "fxhost: " << warning << "\n";
    return img;
}

}  // namespace fxhost
