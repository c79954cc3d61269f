#include "tests/test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kzrtest {

refhost::Module& TheModule() {
    static refhost::Module module(KZR_MODULE_PATH);
    return module;
}

std::map<std::string, std::string> TextFile(const std::string& language) {
    std::ifstream in(std::string(KZR_LANG_SOURCE_DIR) + "/" + language + ".txt");
    std::map<std::string, std::string> texts;
    const auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of(" \t\r"));
        return s.erase(s.find_last_not_of(" \t\r") + 1);
    };
    for (std::string line; std::getline(in, line);)
        if (line = trim(line); !line.empty() && line[0] != '#')
            texts[trim(line.substr(0, line.find('=')))] = trim(line.substr(line.find('=') + 1));
    return texts;
}

size_t EffectIndex(const char* id) {
    const refhost::Module& m = TheModule();
    for (size_t i = 0; i < m.EffectCount(); ++i)
        if (std::strcmp(m.Effect(i).Id, id) == 0)
            return i;
    throw std::runtime_error(std::string("no effect ") + id);
}

std::vector<uint8_t> PatternFrame(uint32_t w, uint32_t h) {
    std::vector<uint8_t> px(size_t{w} * h * 4);
    for (uint64_t y = 0; y < h; ++y)
        for (uint64_t x = 0; x < w; ++x)
            for (uint64_t c = 0; c < 4; ++c)
                px[(y * w + x) * 4 + c] =
                    static_cast<uint8_t>((x * 73 + y * 151 + c * 29 + (x * y) % 97) & 255);
    return px;
}

uint64_t Fnv1a64(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

kzr::ImageSurface SurfaceOf(const uint8_t* pixels, uint32_t w, uint32_t h, int level) {
    return {nullptr,
            const_cast<uint8_t*>(pixels),
            int32_t(w),
            int32_t(h),
            int32_t(4 * w),
            4,
            nullptr,
            level,
            0};
}

RandomFrame::RandomFrame(uint32_t w, uint32_t h, int level, uint32_t seed)
    : pixels(4 * size_t{w} * h) {
    std::mt19937 rng(seed);
    for (uint8_t& b : pixels)
        b = static_cast<uint8_t>(rng());
    s = SurfaceOf(pixels.data(), w, h, level);
}

std::unique_ptr<refhost::Instance> Prepared(const char* id, uint32_t w, uint32_t h,
                                            const std::string& params, int tasks) {
    auto fx = std::make_unique<refhost::Instance>(TheModule(), EffectIndex(id));
    fx->SetTaskCount(tasks);
    std::stringstream in(params);
    std::string item;
    while (std::getline(in, item, ';')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        try {
            fx->SetParam(key, value);
        } catch (const refhost::Error&) {  // outside the range: written as it is
            const size_t i = fx->FindParam(key);
            const size_t comma = value.find(',');
            const float v[2] = {
                std::strtof(value.c_str(), nullptr),
                comma == value.npos ? 0.0f : std::strtof(value.c_str() + comma + 1, nullptr)};
            fx->WriteRaw(i, v, fx->Effect().Params[i].ValueSize);
        }
    }
    EXPECT_EQ(fx->Prepare(w, h), kzr::kOk) << id << " " << w << "x" << h << " " << params;
    return fx;
}

std::vector<uint8_t> Rendered(refhost::Instance& fx, const std::vector<uint8_t>& src,
                              uint8_t fill) {
    std::vector<uint8_t> out(src.size(), fill);
    EXPECT_EQ(fx.Render(src.data(), out.data()), kzr::kOk);
    EXPECT_EQ(fx.OutstandingSurfaces(), 0);
    return out;
}

const void* StatePointer(refhost::Instance& fx, size_t offset) {
    const void* p;
    std::memcpy(&p, static_cast<uint8_t*>(fx.State()) + offset, sizeof p);
    return p;
}

std::vector<uint8_t> TableBytes(refhost::Instance& fx, uint32_t w, uint32_t h, bool runs) {
    const size_t n = 4 * size_t{w} * h;
    std::vector<std::pair<size_t, size_t>> parts;  // state offset, bytes
    const uint32_t size = fx.Effect().StateSize;
    if (size == 48)
        parts = {{0x10, 4 * size_t{h}}, {0x18, 2 * n}, {0x28, runs ? 8 * size_t{h} : 0}};
    else if (size > 16)
        parts = size >= 32 ? decltype(parts){{0x10, n}, {0x18, n}} : decltype(parts){{0x10, n}};
    std::vector<uint8_t> bytes;
    for (auto [offset, count] : parts) {
        const auto* p = static_cast<const uint8_t*>(StatePointer(fx, offset));
        EXPECT_NE(p, nullptr) << offset;
        if (p == nullptr)
            return {};
        if (offset == 0x28)
            p += 4 * 8;  // the header: the ellipse the runs were found for
        bytes.insert(bytes.end(), p, p + count);
    }
    return bytes;
}

void CheckProbes(const char* id, std::initializer_list<Probe> probes) {
    std::unique_ptr<refhost::Instance> fx;
    const Probe* last = nullptr;
    for (const Probe& p : probes) {
        if (!last || std::strcmp(p.params, last->params) != 0 || p.w != last->w || p.h != last->h)
            fx = Prepared(id, p.w, p.h, p.params);
        last = &p;
        const uint32_t* map = MapAt(*fx, p.map == 'A' ? 0x10 : 0x18);
        ASSERT_NE(map, nullptr);
        const std::string v = p.value;
        for (uint32_t y = p.y; y <= std::max(p.y, p.y1); ++y)
            for (uint32_t x = p.x; x <= std::max(p.x, p.x1); ++x) {
                const uint32_t e = map[size_t{y} * p.w + x];
                SCOPED_TRACE(::testing::Message()
                             << id << " " << p.w << "x" << p.h << " '" << p.params << "' map "
                             << p.map << " at " << x << "," << y);
                if (v == "x" || v == "y") {
                    ASSERT_EQ(e, (v == "x" ? x : y) << 16);
                } else if (v[0] == '=') {
                    ASSERT_EQ(e, static_cast<uint32_t>(std::stoul(v.substr(1))) << 16);
                } else {
                    const size_t dot = v.find('.');
                    const int digits = dot == v.npos ? 0 : static_cast<int>(v.size() - dot - 1);
                    EXPECT_NEAR(e / 65536.0, std::stod(v), std::pow(10.0, -digits));
                }
            }
    }
}

}  // namespace kzrtest
