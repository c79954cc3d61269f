#include "refhost/catalog.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace refhost {
namespace {

std::string Shortest(float v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("0");
}

ParamValue ReadValue(const kzr::ParamDescriptor& p, const void* value) {
    ParamValue out;
    if (value == nullptr)
        return out;
    const auto* bytes = static_cast<const uint8_t*>(value);
    switch (p.ValueType) {
        case kzr::kTypeFloat:
        case kzr::kTypePoint:
        case kzr::kTypeRect:
            for (uint32_t at = 0; at + 4 <= p.ValueSize; at += 4) {
                float f;
                std::memcpy(&f, bytes + at, 4);
                out.numbers.push_back(Shortest(f));
            }
            break;
        case kzr::kTypeInt:
        case kzr::kTypeBool: {
            int32_t i;
            std::memcpy(&i, bytes, 4);
            out.numbers.push_back(std::to_string(i));
            break;
        }
        case kzr::kTypeString: {
            out.isText = true;
            const char* s;
            std::memcpy(&s, bytes, sizeof s);
            if (s != nullptr)
                out.text = s;
            break;
        }
        default:
            break;
    }
    return out;
}

std::string TypeName(const kzr::ParamDescriptor& p) {
    switch (p.ValueType) {
        case kzr::kTypeFloat:
            return "number";
        case kzr::kTypeBool:
            return "switch";
        case kzr::kTypePoint:
            return "position";
        case kzr::kTypeInt:
            return ChoicesFromKey(p.NameKey).empty() ? "integer" : "choice";
        case kzr::kTypeRect:
            return "rectangle";
        case kzr::kTypeString:
            return "text";
        default:
            return "type " + std::to_string(p.ValueType);
    }
}

}  // namespace

std::string ParamValue::Display() const {
    if (isText)
        return text ? "\"" + *text + "\"" : "none";
    std::string out;
    for (const std::string& n : numbers)
        out += (out.empty() ? "" : ",") + n;
    return out;
}

ParamInfo DescribeParam(const kzr::ParamDescriptor& p, const Texts& texts) {
    ParamInfo info;
    info.key = p.Key;
    info.name = texts.Text(p.NameKey);
    if (p.DescKey != nullptr)
        info.description = texts.Find(p.DescKey).value_or("");
    info.type = TypeName(p);
    info.choices = ChoicesFromKey(p.NameKey);
    info.min = ReadValue(p, p.MinValue);
    info.max = ReadValue(p, p.MaxValue);
    info.defaultValue = ReadValue(p, p.DefaultValue);
    return info;
}

EffectInfo DescribeEffect(const Module& module, size_t index, const Texts& texts) {
    const kzr::EffectDescriptor& fx = module.Effect(index);
    EffectInfo info;
    info.index = index;
    info.id = fx.Id;
    info.shortName = ShortName(fx);
    info.name = texts.Text(fx.NameKey);
    info.description = texts.Find(fx.DescKey).value_or("");
    info.available = module.Available(index);
    const size_t own = OwnParamCount(fx);
    for (size_t i = 0; i < fx.ParamCount(); ++i)
        (i < own ? info.params : info.hostParams).push_back(DescribeParam(fx.Params[i], texts));
    return info;
}

ModuleInfo Describe(const Module& module, const Texts& texts) {
    ModuleInfo info;
    info.name = texts.Text(module.Descriptor().NameKey);
    info.description = texts.Find(module.Descriptor().DescKey).value_or("");
    info.language = texts.Language();
    info.library = texts.LibraryPath();
    for (size_t i = 0; i < module.EffectCount(); ++i)
        info.effects.push_back(DescribeEffect(module, i, texts));
    return info;
}

void ChooseStep(float lo, float hi, int* decimals, double* step) {
    const double span = static_cast<double>(hi) - lo;
    if (!(span > 0)) {
        *decimals = 0;
        *step = 1;
        return;
    }
    // The small allowance keeps exact powers of ten (a span of 1 gives
    // 0.01) from falling one decade lower through rounding.
    const int exponent = static_cast<int>(std::floor(std::log10(span / 100) + 1e-9));
    *decimals = exponent < 0 ? -exponent : 0;
    *step = std::pow(10.0, exponent);
}

}  // namespace refhost
