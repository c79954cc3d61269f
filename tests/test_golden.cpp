// Every case of the golden table whose effect this module carries must give
// bit-identical maps (or tables) and frames.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/test_util.h"

namespace {

struct GoldenRow {
    std::string effect;
    uint32_t width = 0, height = 0;
    int cpuLevel = 0, taskCount = 1;
    uint32_t refWidth = 0, refHeight = 0;
    std::string params, mapA, mapB, frame;
    bool maskCh3 = false;
    std::string mapBZeroed;
    int line = 0;
};

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, sep))
        out.push_back(item);
    return out;
}

std::vector<GoldenRow> ReadGolden() {
    std::ifstream in(KZR_GOLDEN_TSV);
    std::vector<GoldenRow> rows;
    std::string line;
    std::getline(in, line);  // header
    int n = 1;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty())
            continue;
        const auto f = Split(line, '\t');
        if (f.size() != 13)
            throw std::runtime_error("bad golden line " + std::to_string(n));
        GoldenRow r;
        r.effect = f[0];
        r.width = static_cast<uint32_t>(std::stoul(f[1]));
        r.height = static_cast<uint32_t>(std::stoul(f[2]));
        r.cpuLevel = std::stoi(f[3]);
        r.taskCount = std::stoi(f[4]);
        r.refWidth = static_cast<uint32_t>(std::stoul(f[5]));
        r.refHeight = static_cast<uint32_t>(std::stoul(f[6]));
        r.params = f[7];
        r.mapA = f[8];
        r.mapB = f[9];
        r.frame = f[10];
        r.maskCh3 = f[11] == "1";
        r.mapBZeroed = f[12];
        r.line = n;
        rows.push_back(r);
    }
    return rows;
}

std::string Hex(uint64_t h) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016" PRIx64, h);
    return buf;
}

void WriteParams(refhost::Instance& fx, const std::string& params) {
    for (const std::string& item : Split(params, ';')) {
        const size_t eq = item.find('=');
        const size_t index = fx.FindParam(item.substr(0, eq));
        const std::string value = item.substr(eq + 1);
        const kzr::ParamDescriptor& p = fx.Effect().Params[index];
        if (p.ValueType == kzr::kTypePoint) {
            const auto xy = Split(value, ',');
            const float v[2] = {std::strtof(xy.at(0).c_str(), nullptr),
                                std::strtof(xy.at(1).c_str(), nullptr)};
            fx.WriteRaw(index, v, 8);
        } else if (p.ValueType == kzr::kTypeBool) {
            const int32_t v = std::stoi(value);
            fx.WriteRaw(index, &v, 4);
        } else {
            const float v = std::strtof(value.c_str(), nullptr);
            fx.WriteRaw(index, &v, 4);
        }
    }
    fx.ClearChanged();
}

// Hashes of the buffers an effect keeps at state offsets 0x10 and 0x18.
void HashTables(refhost::Instance& fx, const GoldenRow& r, std::string* a, std::string* b) {
    auto* state = static_cast<uint8_t*>(fx.State());
    const bool laser = r.effect == "DSP_VI_Laser";
    const uint64_t n = uint64_t{r.width} * r.height;
    void* pa = nullptr;
    void* pb = nullptr;
    if (fx.Effect().StateSize >= 24) std::memcpy(&pa, state + 0x10, 8);
    if (fx.Effect().StateSize >= 32)
        std::memcpy(&pb, state + 0x18, 8);
    if (r.mapA != "-")
        *a = pa ? Hex(kzrtest::Fnv1a64(pa, (laser ? r.height : n) * 4)) : "null";
    if (r.mapB == "-")
        return;
    if (pb == nullptr) {
        *b = "null";
        return;
    }
    if (laser) {
        std::vector<int32_t> points(2 * n);
        std::memcpy(points.data(), pb, points.size() * 4);
        if (r.mapBZeroed != "-") {
            const auto xy = Split(r.mapBZeroed, ',');
            const uint64_t i = std::stoull(xy.at(1)) * r.width + std::stoull(xy.at(0));
            points[2 * i] = points[2 * i + 1] = 0;
        }
        *b = Hex(kzrtest::Fnv1a64(points.data(), points.size() * 4));
    } else {
        *b = Hex(kzrtest::Fnv1a64(pb, n * 4));
    }
}

TEST(Golden, EveryCaseOfBuiltEffectsMatches) {
    const std::vector<GoldenRow> rows = ReadGolden();
    ASSERT_EQ(rows.size(), 160u);
    refhost::Module& module = kzrtest::TheModule();
    int checked = 0;
    for (const GoldenRow& r : rows) {
        const size_t index = kzrtest::EffectIndex(r.effect.c_str());
        if (!module.Available(index))
            continue;
        SCOPED_TRACE("golden line " + std::to_string(r.line) + ": " + r.effect + " " +
                     std::to_string(r.width) + "x" + std::to_string(r.height) + " cpu " +
                     std::to_string(r.cpuLevel) + " " + r.params);
        refhost::Instance fx(module, index);
        WriteParams(fx, r.params);
        fx.SetCpuLevel(r.cpuLevel);
        fx.SetTaskCount(r.taskCount);
        fx.SetReference(r.refWidth, r.refHeight);
        ASSERT_EQ(fx.Prepare(r.width, r.height), kzr::kOk);
        std::string a = "-", b = "-";
        HashTables(fx, r, &a, &b);
        EXPECT_EQ(a, r.mapA);
        EXPECT_EQ(b, r.mapB);

        const std::vector<uint8_t> src = kzrtest::PatternFrame(r.width, r.height);
        std::vector<uint8_t> dst(src.size(), 0xEE);
        ASSERT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
        if (r.maskCh3)
            for (size_t i = 3; i < dst.size(); i += 4)
                dst[i] = 0;
        EXPECT_EQ(Hex(kzrtest::Fnv1a64(dst.data(), dst.size())), r.frame);
        ++checked;
    }
    RecordProperty("checked", checked);
    std::printf("golden cases checked: %d of %zu\n", checked, rows.size());
    EXPECT_GT(checked, 0);
}

}  // namespace
