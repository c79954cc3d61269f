// The frei0r plug-ins as a frei0r host sees them: every kzr_<effect>.so is
// loaded with dlopen, described through its entry points and renders frames
// equal to what the reference host renders with the same parameter values.
// The parameter mapping is checked on the adapter library, where the changed
// flags can be seen.
#if defined(KZR_FREI0R_DIR)
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "adapters/frei0r/frei0r_adapter.h"
#include "tests/test_util.h"
extern "C" {
#include <frei0r.h>
}

namespace {

constexpr const char* kEffects[] = {"hmirror",    "hsqueeze",      "hstretch", "vstretch",
                                    "tristretch", "doublefisheye", "drain",    "laser",
                                    "square",     "sshape"};

// The entry points of one plug-in file, looked up as a frei0r host does.
struct Plugin {
    explicit Plugin(const std::string& effect)
        : handle(dlopen((std::string(KZR_FREI0R_DIR) + "/kzr_" + effect + ".so").c_str(),
                        RTLD_NOW | RTLD_LOCAL)) {
        if (handle == nullptr)
            throw std::runtime_error(dlerror());
    }
    ~Plugin() { dlclose(handle); }
    template <class F>
    F Sym(const char* name) {
        if (void* f = dlsym(handle, name))
            return reinterpret_cast<F>(f);
        throw std::runtime_error(std::string("no ") + name);
    }
    void Set(f0r_instance_t inst, int index, double v) { set(inst, &v, index); }

    void* handle;
#define KZR_F0R(member, fn) decltype(&fn) member = Sym<decltype(&fn)>(#fn)
    KZR_F0R(init, f0r_init);
    KZR_F0R(deinit, f0r_deinit);
    KZR_F0R(pluginInfo, f0r_get_plugin_info);
    KZR_F0R(paramInfo, f0r_get_param_info);
    KZR_F0R(construct, f0r_construct);
    KZR_F0R(destruct, f0r_destruct);
    KZR_F0R(set, f0r_set_param_value);
    KZR_F0R(get, f0r_get_param_value);
    KZR_F0R(update, f0r_update);
#undef KZR_F0R
};

std::vector<uint32_t> Pixels(uint32_t w, uint32_t h, uint32_t seed = 0) {
    const std::vector<uint8_t> bytes = kzrtest::PatternFrame(w, h + seed);
    std::vector<uint32_t> px(size_t{w} * h);
    std::memcpy(px.data(), bytes.data() + size_t{w} * seed * 4, px.size() * 4);
    return px;
}

// The frei0r value for the fraction f of component i of a parameter's range,
// and the value a plug-in stores for it: the frei0r value times the larger
// of 1 and the range's top.
std::pair<double, float> InRange(const kzr::ParamDescriptor& p, size_t i, double f) {
    float lo, hi;
    std::memcpy(&lo, static_cast<const uint8_t*>(p.MinValue) + 4 * i, 4);
    std::memcpy(&hi, static_cast<const uint8_t*>(p.MaxValue) + 4 * i, 4);
    const double scale = std::max(1.0, static_cast<double>(hi));
    const double u = (lo + f * (static_cast<double>(hi) - lo)) / scale;
    return {u, static_cast<float>(u * scale)};
}

TEST(Frei0rPlugin, DescribesItselfAndRendersLikeTheReferenceHost) {
    const refhost::Texts english = refhost::Texts::ForLanguage(kzrtest::TheModule(), "ENU");
    constexpr uint32_t w = 37, h = 23;  // not multiples of 8
    const std::vector<uint32_t> src = Pixels(w, h), src2 = Pixels(w, h, 5);
    for (const char* effect : kEffects) {
        SCOPED_TRACE(effect);
        const size_t index = kzrtest::TheModule().FindEffect(effect);
        const kzr::EffectDescriptor& fx = kzrtest::TheModule().Effect(index);
        Plugin plugin(effect);

        // MLT reads the description without f0r_init.
        f0r_plugin_info_t info{};
        plugin.pluginInfo(&info);
        EXPECT_EQ(std::string(info.name), std::string("kzr_") + effect);
        EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
        EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
        EXPECT_EQ(std::string(info.explanation), english.Text(fx.DescKey));
        EXPECT_NE(english.Text(fx.DescKey), refhost::NameFromKey(fx.DescKey));

        // Own parameters in table order, a position as X and Y, with the
        // frei0r values to set and the same values on a reference instance.
        refhost::Instance ref(kzrtest::TheModule(), index);
        std::vector<std::pair<std::string, int>> expected;
        std::vector<double> values;
        for (size_t i = 0; i < refhost::OwnParamCount(fx); ++i) {
            const kzr::ParamDescriptor& p = fx.Params[i];
            const double f = 0.125 + 0.25 * double(values.size() % 4);
            if (p.ValueType == kzr::kTypePoint) {
                const auto [ux, x] = InRange(p, 0, f);
                const auto [uy, y] = InRange(p, 1, 1 - f);
                expected.insert(expected.end(), {{"X", F0R_PARAM_DOUBLE}, {"Y", F0R_PARAM_DOUBLE}});
                values.insert(values.end(), {ux, uy});
                ref.SetPoint(i, x, y);
            } else if (p.ValueType == kzr::kTypeBool) {
                expected.emplace_back(refhost::NameFromKey(p.NameKey), F0R_PARAM_BOOL);
                values.push_back(1.0);
                ref.SetBool(i, true);
            } else {
                const auto [u, v] = InRange(p, 0, f);
                expected.emplace_back(refhost::NameFromKey(p.NameKey), F0R_PARAM_DOUBLE);
                values.push_back(u);
                ref.SetFloat(i, v);
            }
        }
        ASSERT_EQ(info.num_params, static_cast<int>(expected.size()));
        for (int i = 0; i < info.num_params; ++i) {
            f0r_param_info_t pi{};
            plugin.paramInfo(&pi, i);
            EXPECT_EQ(std::make_pair(std::string(pi.name), pi.type), expected[size_t(i)]);
            EXPECT_GT(std::strlen(pi.explanation), std::strlen(pi.name));
        }

        ASSERT_EQ(plugin.init(), 1);
        f0r_instance_t inst = plugin.construct(w, h);
        ASSERT_NE(inst, nullptr);
        // Frame 0 with the defaults, frames 1 and 2 with the values above.
        refhost::Instance defaults(kzrtest::TheModule(), index);
        ASSERT_EQ(defaults.Prepare(w, h), kzr::kOk);
        ASSERT_EQ(ref.Prepare(w, h), kzr::kOk);
        for (int frame = 0; frame < 3; ++frame) {
            const std::vector<uint32_t>& in = frame == 2 ? src2 : src;
            if (frame == 1)
                for (int i = 0; i < info.num_params; ++i)
                    plugin.Set(inst, i, values[size_t(i)]);
            // A host hands over output buffers of any content.
            std::vector<uint32_t> out(in.size(), 0xABABABABu), expect = in;
            plugin.update(inst, frame * 0.04, in.data(), out.data());
            ASSERT_EQ((frame == 0 ? defaults : ref).Render(in.data(), expect.data()), kzr::kOk);
            EXPECT_EQ(out, expect) << "frame " << frame;
        }
        for (int i = 0; i < info.num_params; ++i) {
            double back = -1;
            plugin.get(inst, &back, i);
            EXPECT_NEAR(back, values[size_t(i)], 1e-6) << "parameter " << i;
        }
        plugin.destruct(inst);
        plugin.deinit();
        plugin.pluginInfo(&info);  // texts stay valid once the module is unloaded
        EXPECT_EQ(std::string(info.explanation), english.Text(fx.DescKey));
    }
}

TEST(Frei0rPlugin, InPlaceFramesOddSizesAndRefusedSizes) {
    Plugin stretch("hstretch");
    ASSERT_EQ(stretch.init(), 1);
    for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{1, 1}, {9, 5}, {64, 3}}) {
        f0r_instance_t inst = stretch.construct(w, h);
        ASSERT_NE(inst, nullptr);
        stretch.Set(inst, 0, 1.0);
        const std::vector<uint32_t> src = Pixels(w, h);
        std::vector<uint32_t> apart(src.size(), 0u), inPlace = src;
        stretch.update(inst, 0.0, src.data(), apart.data());
        stretch.update(inst, 0.0, inPlace.data(), inPlace.data());
        EXPECT_EQ(inPlace, apart) << w << "x" << h;
        stretch.destruct(inst);
    }
    // The module refuses frames wider than its 16.16 coordinates reach.
    EXPECT_EQ(stretch.construct(70000, 1), nullptr);
    stretch.deinit();
    // A host that skips f0r_init still gets working instances.
    f0r_instance_t inst = stretch.construct(8, 8);
    EXPECT_NE(inst, nullptr);
    stretch.destruct(inst);
}

TEST(Frei0rControls, OnlyRealChangesRaiseTheChangedFlag) {
    for (const char* effect : kEffects) {
        SCOPED_TRACE(effect);
        const size_t index = kzrtest::TheModule().FindEffect(effect);
        const kzr::EffectDescriptor& fx = kzrtest::TheModule().Effect(index);
        const std::vector<kzr_frei0r::Control> controls = kzr_frei0r::Controls(fx, {});
        kzr_frei0r::Filter filter(kzrtest::TheModule(), index, controls, 16, 8);
        refhost::Instance& inst = filter.Instance();
        const auto blob = [&] {
            return std::vector<uint8_t>(inst.Blob(), inst.Blob() + inst.BlobSize());
        };
        const auto raised = [&] {
            std::vector<size_t> out;
            for (size_t i = 0; i < fx.ParamCount(); ++i)
                if (inst.Context().ParamChanged[i] != 0)
                    out.push_back(i);
            return out;
        };
        for (int i = 0; i < static_cast<int>(controls.size()); ++i) {
            SCOPED_TRACE(controls[size_t(i)].name);
            const std::vector<uint8_t> before = blob();
            double value = -1, back = -1;
            filter.Get(i, &value);
            filter.Set(i, value);  // what GStreamer does with every default
            filter.Set(i, std::numeric_limits<double>::quiet_NaN());
            EXPECT_EQ(blob(), before);
            EXPECT_TRUE(raised().empty());

            // Values beyond 0..1 stop at the ends of the range.
            const kzr_frei0r::Control& c = controls[size_t(i)];
            const bool isSwitch = c.kind == kzr_frei0r::Control::Kind::kSwitch;
            const double middle = isSwitch ? 0.5 : (c.lo + c.hi) / 2 / c.scale;
            const double end = value < middle ? 7.0 : -7.0;
            filter.Set(i, end);
            EXPECT_EQ(raised(), std::vector<size_t>{c.param});
            filter.Get(i, &back);
            EXPECT_EQ(back, end < 0 ? c.lo / c.scale : isSwitch ? 1.0 : c.hi / c.scale);
            inst.ClearChanged();
            filter.Set(i, back);
            EXPECT_TRUE(raised().empty());
            filter.Set(i, value);
            EXPECT_EQ(blob(), before);
            inst.ClearChanged();
        }
    }
}

}  // namespace
#endif  // KZR_FREI0R_DIR
