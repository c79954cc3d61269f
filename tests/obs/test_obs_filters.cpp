// The OBS filters in libobs on Xvfb: each renders what `fxhost render`
// renders from the bytes it received, on fed frames and OBS's image source;
// properties and names follow the tables; a change rebuilds once; bad stored
// settings are clamped or refused with a log line; memory stays flat.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <obs-module.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "adapters/obs/headless.h"
#include "adapters/obs/obs_controls.h"
#include "apps/fxhost/image_io.h"
#include "refhost/catalog.h"
#include "refhost/texts.h"
#include "tests/test_util.h"

namespace {

constexpr uint32_t kW = 160, kH = 90;
constexpr const char* kEffects[] = {"hmirror",    "hsqueeze",      "hstretch", "vstretch",
                                    "tristretch", "doublefisheye", "drain",    "laser",
                                    "square",     "sshape"};
kzr_obs::Headless* obs = nullptr;
std::string workDir;
std::mutex logMutex;
std::vector<std::string> logLines;

using Frame = std::vector<uint8_t>;
using Values = std::map<std::string, double>;  // OBS setting -> value

kzr_obs::EffectEntry Entry(const std::string& effect) {
    return kzr_obs::DescribeEffect(kzrtest::TheModule(), kzrtest::TheModule().FindEffect(effect));
}

std::string Shortest(float v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// fxhost render on `input` with the values given as OBS settings, which
// fxhost reaches by display name ("x_offset" is "X Offset", "position_x"
// and "position_y" are Position).
Frame Fxhost(const std::string& effect, const Frame& input, uint32_t w, uint32_t h,
             const Values& values) {
    fxhost::Image in{w, h, std::vector<uint32_t>(size_t{w} * h)};
    std::memcpy(in.pixels.data(), input.data(), input.size());
    fxhost::WriteImage(workDir + "/in.png", in);
    std::string cmd = std::string(KZR_FXHOST) + " render " + effect + " " + workDir +
                      "/in.png -o " + workDir + "/out.png -q --force";
    std::map<std::string, std::string> sets;  // display name -> value text
    for (const auto& [setting, v] : values) {
        std::string name = setting;
        std::replace(name.begin(), name.end(), '_', ' ');
        const bool y = name.ends_with(" y");
        if (y || name.ends_with(" x"))
            name.resize(name.size() - 2);
        sets[name] += (y ? "," : "") + Shortest(static_cast<float>(v));
    }
    for (const auto& [name, text] : sets)
        cmd += " --set '" + name + "=" + text + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const fxhost::Image out = fxhost::ReadImage(workDir + "/out.png");
    Frame bytes(out.pixels.size() * 4);
    std::memcpy(bytes.data(), out.pixels.data(), bytes.size());
    return bytes;
}

// Values other than the defaults: numbers at 30 % of their range, X at
// 35 %, Y at 60 %, switches flipped.
Values NonDefault(const kzr_obs::EffectEntry& e) {
    using Kind = kzr_obs::Control::Kind;
    Values v;
    for (const kzr_obs::Control& c : e.controls) {
        const double f = c.kind == Kind::kPositionX ? 0.35 : c.kind == Kind::kPositionY ? 0.6 : 0.3;
        v[c.setting] = c.kind == Kind::kSwitch ? 1 - c.defaultValue
                                               : static_cast<float>(c.lo + f * (c.hi - c.lo));
    }
    return v;
}

obs_data_t* Settings(const std::string& effect, const Values& values) {
    obs_data_t* s = obs_data_create();
    for (const kzr_obs::Control& c : Entry(effect).controls)
        if (values.count(c.setting) != 0 && c.kind == kzr_obs::Control::Kind::kSwitch)
            obs_data_set_bool(s, c.setting.c_str(), values.at(c.setting) != 0);
        else if (values.count(c.setting) != 0)
            obs_data_set_double(s, c.setting.c_str(), values.at(c.setting));
    return s;
}

enum class SourceKind { kBgraFrames, kNv12Frames, kImage };

Frame Bgra(uint32_t w, uint32_t h) {
    Frame f = kzrtest::PatternFrame(w, h);
    for (size_t i = 0; i < f.size(); i += 4)
        std::swap(f[i], f[i + 2]);
    return f;
}

// A source showing kzrtest::PatternFrame (alpha varies too).
obs_source_t* MakeSource(SourceKind kind, uint32_t w = kW, uint32_t h = kH) {
    const Frame rgba = kzrtest::PatternFrame(w, h);
    if (kind == SourceKind::kImage) {
        fxhost::Image image{w, h, std::vector<uint32_t>(size_t{w} * h)};
        std::memcpy(image.pixels.data(), rgba.data(), rgba.size());
        fxhost::WriteImage(workDir + "/card.png", image);
        obs_data_t* s = obs_data_create();
        obs_data_set_string(s, "file", (workDir + "/card.png").c_str());
        obs_source_t* src = obs_source_create_private("image_source", "image", s);
        obs_data_release(s);
        return src;
    }
    obs_source_t* src = kzr_obs::CreateFrameSource("frames");
    obs->Show(src, w, h);  // fed frames reach the texture of a source that is drawn
    if (kind == SourceKind::kBgraFrames) {
        kzr_obs::Feed(src, VIDEO_FORMAT_BGRA, w, h, {Bgra(w, h)});
    } else {  // any luma and chroma will do: OBS converts them before the filter
        Frame y(size_t{w} * h), uv(size_t{(w + 1) / 2} * ((h + 1) / 2) * 2);
        for (size_t i = 0; i < y.size(); ++i)
            y[i] = rgba[4 * i + 1];
        for (size_t i = 0; i < uv.size(); ++i)
            uv[i] = rgba[i];
        kzr_obs::Feed(src, VIDEO_FORMAT_NV12, w, h, {y, uv});
    }
    return src;
}

// Frames of `source` until one equals `expected` (at most 60); the last one.
Frame Settled(obs_source_t* source, const Frame& expected, uint32_t w = kW, uint32_t h = kH) {
    Frame last;
    for (int i = 0; i < 12 && last != expected; ++i)
        last = obs->Grab(source, w, h, 5).back();
    return last;
}

struct Filtered {
    obs_source_t *source, *filter;
    Frame seen;  // what the filter receives: the source drawn with it disabled
    ~Filtered() {
        obs->Show(nullptr, 0, 0);
        obs_source_filter_remove(source, filter);
        obs_source_release(filter);
        obs_source_release(source);
    }
};

std::unique_ptr<Filtered> AddFilter(SourceKind kind, const std::string& effect,
                                    obs_data_t* settings) {
    auto f = std::make_unique<Filtered>();
    f->source = MakeSource(kind);
    f->filter = obs_source_create_private(("kzr_" + effect).c_str(), "under test", settings);
    obs_source_filter_add(f->source, f->filter);
    obs_source_set_enabled(f->filter, false);
    f->seen = obs->Grab(f->source, kW, kH, 3).back();
    obs_source_set_enabled(f->filter, true);
    return f;
}

size_t Differing(const Frame& a, const Frame& b) {
    size_t n = a.size() == b.size() ? 0 : std::max(a.size(), b.size());
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        n += a[i] != b[i];
    return n;
}

// ---- Every filter on every kind of source ------------------------------------

class ObsFilter : public testing::TestWithParam<std::tuple<SourceKind, const char*>> {};

TEST_P(ObsFilter, RendersWhatFxhostRendersFromTheBytesItReceived) {
    const auto [kind, effect] = GetParam();
    const Values values = NonDefault(Entry(effect));
    obs_data_t* settings = Settings(effect, values);
    const auto f = AddFilter(kind, effect, settings);
    obs_data_release(settings);
    if (kind == SourceKind::kBgraFrames) {  // BGRA frames arrive as RGBA bytes, alpha in byte 3
        ASSERT_EQ(Differing(f->seen, kzrtest::PatternFrame(kW, kH)), 0u);
    }
    const Frame expected = Fxhost(effect, f->seen, kW, kH, values);
    EXPECT_EQ(Differing(Settled(f->source, expected), expected), 0u);
    EXPECT_EQ(kzr_obs::QueryStats(f->filter).failures, 0);
}

INSTANTIATE_TEST_SUITE_P(FramesAndImages, ObsFilter,
                         testing::Combine(testing::Values(SourceKind::kBgraFrames,
                                                          SourceKind::kImage),
                                          testing::ValuesIn(kEffects)));
INSTANTIATE_TEST_SUITE_P(Nv12Frames, ObsFilter,
                         testing::Combine(testing::Values(SourceKind::kNv12Frames),
                                          testing::Values("drain", "laser")));

// ---- Properties and names --------------------------------------------------------

TEST(ObsFilters, PropertiesAndNamesFollowTheTables) {
    const refhost::Texts en = refhost::Texts::ForLanguage(kzrtest::TheModule(), "ENU");
    const refhost::Texts de = refhost::Texts::ForLanguage(kzrtest::TheModule(), "DEU");
    for (const char* effect : kEffects) {
        SCOPED_TRACE(effect);
        const size_t index = kzrtest::TheModule().FindEffect(effect);
        const refhost::EffectInfo info = refhost::DescribeEffect(kzrtest::TheModule(), index, en);
        const std::string id = std::string("kzr_") + effect;
        EXPECT_EQ(obs_source_get_display_name(id.c_str()), info.name);
        obs_set_locale("de-DE");
        EXPECT_EQ(obs_source_get_display_name(id.c_str()),
                  de.Text(kzrtest::TheModule().Effect(index).NameKey));
        obs_set_locale("en-US");
        obs_properties_t* props = obs_get_source_properties(id.c_str());
        obs_data_t* defaults = obs_get_source_defaults(id.c_str());
        size_t found = 0;
        for (const refhost::ParamInfo& p : info.params) {
            for (size_t axis = 0; axis < p.min.numbers.size(); ++axis) {
                std::string name = p.name;
                for (char& c : name)
                    c = c == ' ' ? '_' : static_cast<char>(std::tolower(c));
                if (p.type == "position")
                    name += axis == 0 ? "_x" : "_y";
                obs_property_t* prop = obs_properties_get(props, name.c_str());
                ASSERT_NE(prop, nullptr) << name;
                ++found;
                const float def = std::strtof(p.defaultValue.numbers[axis].c_str(), nullptr);
                if (p.type == "switch") {
                    EXPECT_EQ(obs_property_get_type(prop), OBS_PROPERTY_BOOL);
                    EXPECT_EQ(obs_data_get_default_bool(defaults, name.c_str()), def != 0);
                    continue;
                }
                EXPECT_EQ(obs_property_float_type(prop), OBS_NUMBER_SLIDER);
                EXPECT_EQ(static_cast<float>(obs_property_float_min(prop)),
                          std::strtof(p.min.numbers[axis].c_str(), nullptr));
                EXPECT_EQ(static_cast<float>(obs_property_float_max(prop)),
                          std::strtof(p.max.numbers[axis].c_str(), nullptr));
                EXPECT_GT(obs_property_float_step(prop), 0);
                EXPECT_EQ(static_cast<float>(obs_data_get_default_double(defaults, name.c_str())),
                          def);
            }
        }
        size_t count = 0;  // the parameters and the description
        for (obs_property_t* p = obs_properties_first(props); p != nullptr; obs_property_next(&p))
            ++count;
        EXPECT_EQ(count, found + 1);
        obs_data_release(defaults);
        obs_properties_destroy(props);
    }
}

// ---- Changes, sizes, bad settings, memory ------------------------------------------

TEST(ObsFilters, ASettingChangeRebuildsOnceAndNoFrameInBetweenIsWrong) {
    Values values = NonDefault(Entry("drain"));
    obs_data_t* settings = Settings("drain", values);
    const auto f = AddFilter(SourceKind::kImage, "drain", settings);
    const Frame before = Fxhost("drain", f->seen, kW, kH, values);
    ASSERT_EQ(Differing(Settled(f->source, before), before), 0u);
    const kzr_obs::FilterStats s0 = kzr_obs::QueryStats(f->filter);
    obs_data_set_double(settings, "degree", values["degree"] = 31.5);
    obs_source_update(f->filter, settings);
    obs_data_release(settings);
    const Frame after = Fxhost("drain", f->seen, kW, kH, values);
    const auto frames = obs->Grab(f->source, kW, kH, 12);
    size_t firstNew = frames.size();
    for (size_t i = 0; i < frames.size(); ++i) {
        if (firstNew == frames.size() && frames[i] == after)
            firstNew = i;
        EXPECT_EQ(frames[i], i < firstNew ? before : after) << "frame " << i;
    }
    EXPECT_LE(firstNew, 6u);
    const kzr_obs::FilterStats s1 = kzr_obs::QueryStats(f->filter);
    EXPECT_EQ(s1.rebuilds - s0.rebuilds, 1);
    EXPECT_EQ(s1.prepares, s0.prepares);
}

TEST(ObsFilters, ANewFrameSizePreparesAgain) {
    const auto f = AddFilter(SourceKind::kBgraFrames, "square", nullptr);
    Settled(f->source, Fxhost("square", f->seen, kW, kH, {}));
    const uint32_t w = 120, h = 68;
    kzr_obs::Feed(f->source, VIDEO_FORMAT_BGRA, w, h, {Bgra(w, h)});
    const Frame expected = Fxhost("square", kzrtest::PatternFrame(w, h), w, h, {});
    EXPECT_EQ(Differing(Settled(f->source, expected, w, h), expected), 0u);
    EXPECT_EQ(kzr_obs::QueryStats(f->filter).prepares, 2);
}

struct BadSetting {
    const char* json;  // as a scene file holds it
    const char* setting;
    Values used;  // what the filter must use instead
};

class ObsBadSetting : public testing::TestWithParam<BadSetting> {};

TEST_P(ObsBadSetting, IsClampedOrRefusedWithALogLine) {
    const BadSetting& bad = GetParam();
    obs_data_t* settings = obs_data_create_from_json(bad.json);
    if (std::string(bad.setting) == "size")
        obs_data_set_double(settings, "size", std::nan(""));  // JSON cannot hold NaN
    logLines.clear();
    const auto f = AddFilter(SourceKind::kImage, "drain", settings);
    obs_data_release(settings);
    const Frame expected = Fxhost("drain", f->seen, kW, kH, bad.used);
    EXPECT_EQ(Differing(Settled(f->source, expected), expected), 0u);
    std::lock_guard lock(logMutex);
    const std::string quoted = std::string("'") + bad.setting + "'";
    EXPECT_TRUE(std::any_of(logLines.begin(), logLines.end(),
                            [&](const std::string& l) { return l.find(quoted) != l.npos; }))
        << "no log line names " << quoted;
}

INSTANTIATE_TEST_SUITE_P(
    SceneFileValues, ObsBadSetting,
    testing::Values(BadSetting{R"({"degree": 1e9})", "degree", {{"degree", 50}}},
                    BadSetting{R"({"position_x": -3, "position_y": 0.25})",
                               "position_x",
                               {{"position_x", 0}, {"position_y", 0.25}}},
                    BadSetting{R"({"degree": "thirty"})", "degree", {}},
                    BadSetting{R"({"inverse": 7})", "inverse", {}},
                    BadSetting{R"({"size": 0.6})", "size", {}}));

// Bytes in use on the heap.  Under AddressSanitizer Mesa's software
// renderer holds on to more between frames; the sanitizer build checks leaks
// instead.
double AllocatedBytes() {
#if defined(__SANITIZE_ADDRESS__)
    return 0;
#else
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd);
#endif
}

// Removing the filter and destroying the source leak nothing: checked by
// AddressSanitizer's leak check at exit in the sanitizer build.
TEST(ObsFilters, AnAnimatedSettingKeepsMemoryFlat) {
    const auto f = AddFilter(SourceKind::kImage, "tristretch", nullptr);
    obs_data_t* settings = obs_data_create();
    const auto animate = [&](int i) {
        obs_data_set_double(settings, "position_x", 0.2 + 0.006 * (i % 100));
        obs_source_update(f->filter, settings);
    };
    obs->Grab(f->source, kW, kH, 100, 20000, animate, false);  // warm-up
    // Mesa's software renderer now and then grows a cache of its own once,
    // in some window of frames: a window that stays flat is asked for, out
    // of three.  Anything allocated per frame grows in every window.
    double grown = 0;
    for (int window = 0; window < 3; ++window) {
        const double before = AllocatedBytes();
        const long allocsBefore = bnum_allocs();
        const kzr_obs::FilterStats s0 = kzr_obs::QueryStats(f->filter);
        obs->Grab(f->source, kW, kH, 100, 20000, animate, false);
        grown = AllocatedBytes() - before;
        EXPECT_EQ(bnum_allocs(), allocsBefore);
        EXPECT_GT(kzr_obs::QueryStats(f->filter).rebuilds - s0.rebuilds, 50);
        if (grown < 16 * 1024.0)
            break;
    }
    EXPECT_LT(grown, 16 * 1024.0) << "the heap grew in each of three windows of 100 frames";
    obs_data_release(settings);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Kept loaded after libobs closes them, so that the leak check at exit
    // can name the plug-in's, the module's and Mesa's frames
    // (tests/obs/lsan.supp leaves out Mesa's and LLVM's own).
    for (const char* so : {KZR_OBS_PLUGIN, KZR_MODULE_PATH, KZR_MESA_SWRAST, "libobs-opengl.so.1",
                           KZR_OBS_IMAGE_SOURCE "/image-source.so", "libEGL_mesa.so.0",
                           "libglapi.so.0", "libgbm.so.1"})
        dlopen(so, RTLD_NOW | RTLD_NODELETE);
    base_set_log_handler(
        [](int level, const char* format, va_list args, void*) {
            char line[4096];
            std::vsnprintf(line, sizeof line, format, args);
            if (level <= LOG_WARNING)
                std::fprintf(stderr, "obs: %s\n", line);
            std::lock_guard lock(logMutex);
            logLines.emplace_back(line);
        },
        nullptr);
    char dir[] = "/tmp/kzr_obs_test.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    workDir = dir;
    int result = 1;
    try {
        kzr_obs::Headless headless(320, 180, 60);
        obs = &headless;
        headless.LoadModule(KZR_OBS_PLUGIN, KZR_OBS_DATA);
        headless.LoadModule(KZR_OBS_IMAGE_SOURCE "/image-source.so", KZR_OBS_IMAGE_SOURCE_DATA);
        kzr_obs::RegisterFrameSource();
        result = RUN_ALL_TESTS();
        obs_wait_for_destroy_queue();
    } catch (const kzr_obs::NoDisplay& e) {
        std::printf("SKIP: %s\n", e.what());
        result = 77;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    std::system(("rm -rf " + workDir).c_str());
    return result;
}
