#include "apps/fxhost/options.h"

#include <cctype>
#include <charconv>

#include "refhost/refhost.h"

namespace fxhost {

Size ParseSize(std::string_view text, std::string_view option) {
    const auto bad = [&]() {
        return refhost::Error(
            std::string(option) + " expects WIDTHxHEIGHT with both sides from 1 to " +
            std::to_string(kMaxSide) + ", such as 1920x1080; got '" + std::string(text) + "'");
    };
    const size_t x = text.find_first_of("xX");
    if (x == std::string_view::npos)
        throw bad();
    Size size;
    const auto parse = [&](std::string_view part, uint32_t& out) {
        const char* end = part.data() + part.size();
        auto [ptr, ec] = std::from_chars(part.data(), end, out);
        return ec == std::errc() && ptr == end && out >= 1 && out <= kMaxSide;
    };
    if (!parse(text.substr(0, x), size.width) || !parse(text.substr(x + 1), size.height))
        throw bad();
    return size;
}

std::string Extension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot + 1 == path.size())
        return "";
    std::string ext = path.substr(dot);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool IsImageInput(const std::string& path) {
    const std::string ext = Extension(path);
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".webp" || ext == ".tif" ||
           ext == ".tiff" || ext == ".bmp" || ext == ".tga";
}

bool IsImageOutput(const std::string& path) {
    const std::string ext = Extension(path);
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg";
}

size_t DisplayWidth(std::string_view utf8) {
    size_t n = 0;
    for (const char c : utf8)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++n;
    return n;
}

std::string Pad(const std::string& text, size_t width) {
    const size_t w = DisplayWidth(text);
    return w >= width ? text : text + std::string(width - w, ' ');
}

}  // namespace fxhost
