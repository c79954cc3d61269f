#include "adapters/frei0r/frei0r_adapter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <thread>

namespace kzr_frei0r {
namespace {

float ReadFloat(const void* p, size_t component = 0) {
    float v;
    std::memcpy(&v, static_cast<const uint8_t*>(p) + 4 * component, 4);
    return v;
}

std::string Shortest(float v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

std::string Range(const Control& c) {
    std::string text = " (" + Shortest(c.lo) + " to " + Shortest(c.hi);
    if (c.scale != 1)
        text += "; frei0r value = value / " + Shortest(static_cast<float>(c.scale));
    return text + ")";
}

// A number or position component with its range and scale.
Control Ranged(Control c, float lo, float hi) {
    c.lo = lo;
    c.hi = hi;
    c.scale = std::max(1.0, static_cast<double>(hi));
    return c;
}

// The value that a frei0r value in 0..1 stands for.
float FromUnit(const Control& c, double unit) {
    return std::clamp(static_cast<float>(unit * c.scale), c.lo, c.hi);
}

double ToUnit(const Control& c, float v) {
    return std::clamp(static_cast<double>(v) / c.scale, 0.0, 1.0);
}

}  // namespace

std::vector<Control> Controls(const kzr::EffectDescriptor& fx, const refhost::Texts& texts) {
    std::vector<Control> out;
    const size_t own = refhost::OwnParamCount(fx);
    for (size_t i = 0; i < own; ++i) {
        const kzr::ParamDescriptor& p = fx.Params[i];
        const std::string text =
            p.DescKey != nullptr ? texts.Text(p.DescKey) : texts.Text(p.NameKey);
        Control c;
        c.param = i;
        c.name = refhost::NameFromKey(p.NameKey);
        switch (p.ValueType) {
            case kzr::kTypeFloat:
                c.kind = Control::Kind::kNumber;
                c = Ranged(c, ReadFloat(p.MinValue), ReadFloat(p.MaxValue));
                c.explanation = text + Range(c);
                out.push_back(c);
                break;
            case kzr::kTypeBool:
                c.kind = Control::Kind::kSwitch;
                c.explanation = text + " (on or off)";
                out.push_back(c);
                break;
            case kzr::kTypePoint:
                for (size_t axis = 0; axis < 2; ++axis) {
                    c.kind = axis == 0 ? Control::Kind::kPositionX : Control::Kind::kPositionY;
                    c.name = axis == 0 ? "X" : "Y";
                    c = Ranged(c, ReadFloat(p.MinValue, axis), ReadFloat(p.MaxValue, axis));
                    c.explanation = texts.Text(p.NameKey) +
                                    (axis == 0 ? ", horizontal: " : ", vertical: ") + text +
                                    Range(c);
                    out.push_back(c);
                }
                break;
            default:
                break;  // no effect has other kinds of own parameters
        }
    }
    return out;
}

bool SetControl(refhost::Instance& fx, const Control& c, double value) {
    if (std::isnan(value))
        return false;
    value = std::clamp(value, 0.0, 1.0);
    const uint8_t* stored = fx.Blob() + fx.ParamOffset(c.param);
    switch (c.kind) {
        case Control::Kind::kNumber: {
            const float v = FromUnit(c, value);
            if (std::memcmp(stored, &v, 4) == 0)
                return false;
            fx.SetFloat(c.param, v);
            return true;
        }
        case Control::Kind::kSwitch: {
            const int32_t v = value >= 0.5 ? 1 : 0;
            if (std::memcmp(stored, &v, 4) == 0)
                return false;
            fx.SetBool(c.param, v != 0);
            return true;
        }
        case Control::Kind::kPositionX:
        case Control::Kind::kPositionY: {
            float point[2] = {ReadFloat(stored, 0), ReadFloat(stored, 1)};
            const size_t axis = c.kind == Control::Kind::kPositionX ? 0 : 1;
            const float v = FromUnit(c, value);
            if (std::memcmp(&point[axis], &v, 4) == 0)
                return false;
            point[axis] = v;
            fx.SetPoint(c.param, point[0], point[1]);
            return true;
        }
    }
    return false;
}

double GetControl(refhost::Instance& fx, const Control& c) {
    const uint8_t* stored = fx.Blob() + fx.ParamOffset(c.param);
    switch (c.kind) {
        case Control::Kind::kNumber:
            return ToUnit(c, ReadFloat(stored));
        case Control::Kind::kSwitch: {
            int32_t v;
            std::memcpy(&v, stored, 4);
            return v != 0 ? 1.0 : 0.0;
        }
        case Control::Kind::kPositionX:
            return ToUnit(c, ReadFloat(stored, 0));
        case Control::Kind::kPositionY:
            return ToUnit(c, ReadFloat(stored, 1));
    }
    return 0.0;
}

Filter::Filter(const refhost::Module& module, size_t effectIndex,
               const std::vector<Control>& controls, uint32_t width, uint32_t height)
    : fx_(module, effectIndex), controls_(controls), width_(width), height_(height) {
    // Effects that split a frame into parallel slices may use every core.
    const unsigned cores = std::thread::hardware_concurrency();
    fx_.SetTaskCount(cores == 0 ? 1 : static_cast<int>(cores));
    const kzr::Status s = fx_.Prepare(width, height);
    if (s != kzr::kOk)
        throw refhost::Error(refhost::ShortName(fx_.Effect()) + " cannot be prepared for " +
                             std::to_string(width) + "x" + std::to_string(height) + " frames");
}

void Filter::Set(int index, double value) {
    if (index >= 0 && static_cast<size_t>(index) < controls_.size())
        SetControl(fx_, controls_[static_cast<size_t>(index)], value);
}

void Filter::Get(int index, double* value) {
    if (index >= 0 && static_cast<size_t>(index) < controls_.size())
        *value = GetControl(fx_, controls_[static_cast<size_t>(index)]);
}

void Filter::Update(const uint32_t* in, uint32_t* out) {
    const size_t count = static_cast<size_t>(width_) * height_;
    const auto inAt = reinterpret_cast<uintptr_t>(in);
    const auto outAt = reinterpret_cast<uintptr_t>(out);
    const uint32_t* source = in;
    if (inAt < outAt + count * 4 && outAt < inAt + count * 4) {
        // The effect reads its source while writing the destination: it
        // needs a copy of the input that the output does not overwrite.
        scratch_.assign(in, in + count);
        source = scratch_.data();
    }
    std::memmove(out, source, count * 4);
    fx_.Render(source, out);
}

}  // namespace kzr_frei0r
