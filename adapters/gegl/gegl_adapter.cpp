#include "adapters/gegl/gegl_adapter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "refhost/catalog.h"

namespace kzr_gegl {
namespace {

// The shortest decimal texts of refhost::DescribeParam read back as the
// descriptor's floats exactly.
float Component(const refhost::ParamValue& v, size_t i) {
    float out = 0;
    if (i < v.numbers.size()) {
        const std::string& s = v.numbers[i];
        std::from_chars(s.data(), s.data() + s.size(), out);
    }
    return out;
}

// GEGL's spelling of a name: lower case words joined by '-' ("X Offset"
// gives "x-offset").
std::string PropertyName(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            out += c;
        else if (!out.empty() && out.back() != '-')
            out += '-';
    }
    while (!out.empty() && out.back() == '-')
        out.pop_back();
    return out;
}

float Stored(refhost::Instance& fx, size_t param, size_t component) {
    float v;
    std::memcpy(&v, fx.Blob() + fx.ParamOffset(param) + 4 * component, 4);
    return v;
}

}  // namespace

std::vector<Operation> Operations(const refhost::Module& module, const refhost::Texts& english,
                                  const refhost::Texts& texts) {
    std::vector<Operation> out;
    for (size_t e = 0; e < module.EffectCount(); ++e) {
        if (!module.Available(e))
            continue;
        const kzr::EffectDescriptor& fx = module.Effect(e);
        Operation op;
        op.effect = e;
        const std::string shortName = refhost::ShortName(fx);
        op.name = "kzr:" + shortName;
        op.typeName = "KzrGegl_" + shortName;
        op.title = texts.Text(fx.NameKey);
        op.description = texts.Find(fx.DescKey).value_or(op.title);
        for (size_t i = 0; i < refhost::OwnParamCount(fx); ++i) {
            const refhost::ParamInfo en = refhost::DescribeParam(fx.Params[i], english);
            const refhost::ParamInfo own = refhost::DescribeParam(fx.Params[i], texts);
            Property p;
            p.param = i;
            p.name = PropertyName(en.name);
            p.label = own.name;
            p.description = own.description.empty() ? own.name : own.description;
            if (en.type == "switch") {
                p.kind = Property::Kind::kSwitch;
                p.defaultValue = Component(en.defaultValue, 0) != 0 ? 1.0f : 0.0f;
                op.properties.push_back(p);
                continue;
            }
            if (en.type != "number" && en.type != "position")
                continue;  // no effect has other kinds of own parameters
            const size_t axes = en.type == "position" ? 2 : 1;
            for (size_t axis = 0; axis < axes; ++axis) {
                Property c = p;
                if (axes == 2) {
                    c.kind = axis == 0 ? Property::Kind::kPositionX : Property::Kind::kPositionY;
                    c.name = axis == 0 ? "x" : "y";
                    c.label = own.name + (axis == 0 ? " X" : " Y");
                }
                c.lo = Component(en.min, axis);
                c.hi = Component(en.max, axis);
                c.defaultValue = Component(en.defaultValue, axis);
                double step = 1;
                refhost::ChooseStep(c.lo, c.hi, &c.digits, &step);
                c.stepSmall = step;
                c.stepBig = step * 10;
                op.properties.push_back(c);
            }
        }
        out.push_back(std::move(op));
    }
    return out;
}

double Clamp(const Property& p, double value, double previous) {
    if (p.kind == Property::Kind::kSwitch)
        return value >= 0.5 ? 1.0 : 0.0;
    if (std::isnan(value))
        return previous;
    return std::clamp(value, static_cast<double>(p.lo), static_cast<double>(p.hi));
}

Renderer::Renderer(const refhost::Module& module, const Operation& op)
    : op_(op), fx_(module, op.effect) {
    const unsigned cores = std::thread::hardware_concurrency();
    fx_.SetTaskCount(cores == 0 ? 1 : static_cast<int>(cores));
    fx_.SetCpuLevel(refhost::DetectCpuLevel());
}

bool Renderer::Prepare(uint32_t width, uint32_t height, std::string* why) {
    if (prepared_ && width == width_ && height == height_)
        return true;
    if (prepared_)
        fx_.Unprepare();
    prepared_ = false;
    const kzr::Status s = fx_.Prepare(width, height);
    if (s != kzr::kOk) {
        *why = refhost::ShortName(fx_.Effect()) + " cannot be prepared for " +
               std::to_string(width) + "x" + std::to_string(height) + " pictures";
        return false;
    }
    try {
        const size_t count = static_cast<size_t>(width) * height;
        source_.resize(count);
        result_.resize(count);
    } catch (const std::bad_alloc&) {
        fx_.Unprepare();
        *why = "out of memory for two " + std::to_string(width) + "x" + std::to_string(height) +
               " pictures";
        return false;
    }
    width_ = width;
    height_ = height;
    prepared_ = true;
    return true;
}

void Renderer::Store(const double* values) {
    for (size_t i = 0; i < op_.properties.size(); ++i) {
        const Property& p = op_.properties[i];
        const float v = std::clamp(static_cast<float>(values[i]), p.lo, p.hi);
        switch (p.kind) {
            case Property::Kind::kNumber:
                if (Stored(fx_, p.param, 0) != v)
                    fx_.SetFloat(p.param, v);
                break;
            case Property::Kind::kSwitch: {
                const int32_t on = values[i] >= 0.5 ? 1 : 0;
                int32_t stored;
                std::memcpy(&stored, fx_.Blob() + fx_.ParamOffset(p.param), 4);
                if (stored != on)
                    fx_.SetBool(p.param, on != 0);
                break;
            }
            case Property::Kind::kPositionX:
            case Property::Kind::kPositionY: {
                const size_t axis = p.kind == Property::Kind::kPositionX ? 0 : 1;
                float point[2] = {Stored(fx_, p.param, 0), Stored(fx_, p.param, 1)};
                if (point[axis] != v) {
                    point[axis] = v;
                    fx_.SetPoint(p.param, point[0], point[1]);
                }
                break;
            }
        }
    }
}

const uint8_t* Renderer::Render(const double* values) {
    if (!prepared_)
        return nullptr;
    Store(values);
    std::memcpy(result_.data(), source_.data(), source_.size() * 4);
    if (fx_.Render(source_.data(), result_.data()) != kzr::kOk)
        return nullptr;
    return reinterpret_cast<const uint8_t*>(result_.data());
}

}  // namespace kzr_gegl
