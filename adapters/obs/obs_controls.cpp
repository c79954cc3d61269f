#include "adapters/obs/obs_controls.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

namespace kzr_obs {
namespace {

float ReadFloat(const void* p, size_t component) {
    float v;
    std::memcpy(&v, static_cast<const uint8_t*>(p) + 4 * component, 4);
    return v;
}

std::string Shortest(double v) {
    char buf[40];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

// The words of a key's name in lower case joined by "_": "XOffset" (or
// "X Offset") -> "x_offset", as the Python package spells parameters.
std::string SettingName(const char* nameKey) {
    const std::string name = refhost::NameFromKey(nameKey);
    const auto upper = [](char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; };
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            if (!out.empty() && out.back() != '_')
                out += '_';
            continue;
        }
        // A capital starts a word after a small letter, or before one ("XOffset").
        const bool starts =
            upper(c) && i > 0 && std::isalnum(static_cast<unsigned char>(name[i - 1])) &&
            (!upper(name[i - 1]) ||
             (i + 1 < name.size() && std::islower(static_cast<unsigned char>(name[i + 1]))));
        if (starts && !out.empty() && out.back() != '_')
            out += '_';
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

double StepFor(float lo, float hi) {
    const double span = static_cast<double>(hi) - lo;
    if (!(span > 0))
        return 1;
    // The allowance keeps exact powers of ten (a span of 1 gives 0.01) from
    // falling a decade lower through rounding.
    return std::pow(10.0, std::floor(std::log10(span / 100) + 1e-9));
}

EffectEntry DescribeEffect(const refhost::Module& module, size_t index) {
    const kzr::EffectDescriptor& fx = module.Effect(index);
    EffectEntry e;
    e.index = index;
    e.id = "kzr_" + refhost::ShortName(fx);
    e.nameKey = fx.NameKey;
    e.descKey = fx.DescKey;
    // A fresh instance holds the defaults that Create wrote.
    refhost::Instance fresh(module, index);
    for (size_t i = 0; i < refhost::OwnParamCount(fx); ++i) {
        const kzr::ParamDescriptor& p = fx.Params[i];
        const uint8_t* stored = fresh.Blob() + fresh.ParamOffset(i);
        Control c;
        c.param = i;
        c.nameKey = p.NameKey;
        c.descKey = p.DescKey;
        c.setting = SettingName(p.NameKey);
        switch (p.ValueType) {
            case kzr::kTypeFloat:
                c.lo = ReadFloat(p.MinValue, 0);
                c.hi = ReadFloat(p.MaxValue, 0);
                c.step = StepFor(c.lo, c.hi);
                c.defaultValue = ReadFloat(stored, 0);
                e.controls.push_back(c);
                break;
            case kzr::kTypeBool: {
                int32_t v;
                std::memcpy(&v, stored, 4);
                c.kind = Control::Kind::kSwitch;
                c.defaultValue = v != 0 ? 1.0f : 0.0f;
                e.controls.push_back(c);
                break;
            }
            case kzr::kTypePoint: {
                const std::string base = c.setting;
                for (size_t axis = 0; axis < 2; ++axis) {
                    c.kind = axis == 0 ? Control::Kind::kPositionX : Control::Kind::kPositionY;
                    c.setting = base + (axis == 0 ? "_x" : "_y");
                    c.lo = ReadFloat(p.MinValue, axis);
                    c.hi = ReadFloat(p.MaxValue, axis);
                    c.step = StepFor(c.lo, c.hi);
                    c.defaultValue = ReadFloat(stored, axis);
                    e.controls.push_back(c);
                }
                break;
            }
            default:
                break;  // no effect has other kinds of own parameters
        }
    }
    return e;
}

Checked CheckNumber(const Control& c, double stored) {
    if (std::isnan(stored))
        return {c.defaultValue, "is not a number; using the default " + Shortest(c.defaultValue)};
    const float v = static_cast<float>(stored);
    if (v >= c.lo && v <= c.hi)
        return {v, {}};
    const float used = v < c.lo ? c.lo : c.hi;
    return {used, Shortest(stored) + " lies outside " + Shortest(c.lo) + " to " + Shortest(c.hi) +
                      "; using " + Shortest(used)};
}

bool ApplyValues(refhost::Instance& fx, const std::vector<Control>& controls, const float* values) {
    bool changed = false;
    for (size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        uint8_t* stored = fx.Blob() + fx.ParamOffset(c.param);
        switch (c.kind) {
            case Control::Kind::kNumber:
                if (std::memcmp(stored, &values[i], 4) != 0) {
                    fx.SetFloat(c.param, values[i]);
                    changed = true;
                }
                break;
            case Control::Kind::kSwitch: {
                const int32_t v = values[i] != 0 ? 1 : 0;
                if (std::memcmp(stored, &v, 4) != 0) {
                    fx.SetBool(c.param, v != 0);
                    changed = true;
                }
                break;
            }
            case Control::Kind::kPositionX:
            case Control::Kind::kPositionY: {
                const size_t axis = c.kind == Control::Kind::kPositionX ? 0 : 1;
                if (std::memcmp(stored + 4 * axis, &values[i], 4) != 0) {
                    float point[2] = {ReadFloat(stored, 0), ReadFloat(stored, 1)};
                    point[axis] = values[i];
                    fx.SetPoint(c.param, point[0], point[1]);
                    changed = true;
                }
                break;
            }
        }
    }
    return changed;
}

}  // namespace kzr_obs
