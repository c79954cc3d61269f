// kzrfx._native: the module's effects for Python, on NumPy frames.  A host of
// the module like fxhost, built on the reference host: one loaded module,
// one refhost::Instance per effect object.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "apps/fxhost/image_io.h"
#include "refhost/catalog.h"
#include "refhost/refhost.h"
#include "refhost/testcard.h"
#include "refhost/texts.h"

namespace py = pybind11;

namespace {

[[noreturn]] void ThrowNoMemory() {
    PyErr_NoMemory();
    throw py::error_already_set();
}

// A float as Python shows the decimal it was set from: the shortest text
// that reads back as the same float (0.02, not 0.019999999552965164).
py::float_ Shortest(float f) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, f);
    if (ec != std::errc())
        return py::float_(static_cast<double>(f));
    return py::float_(std::strtod(std::string(buf, end).c_str(), nullptr));
}

// Largest frame side an effect object accepts.
constexpr uint32_t kMaxSide = 16384;
constexpr int kMaxTasks = 256;

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A parameter name as compared: ASCII lower case without spaces, underscores
// and hyphens, so "x_offset", "XOffset" and "X Offset" are one name.
std::string Folded(std::string_view s) {
    std::string out;
    for (char c : Lower(s))
        if (c != ' ' && c != '_' && c != '-')
            out += c;
    return out;
}

// "x_offset" for "X Offset": the Python spelling of a display name.
std::string Identifier(std::string_view name) {
    std::string out;
    for (char c : Lower(name)) {
        const bool word = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (word)
            out += c;
        else if (!out.empty() && out.back() != '_')
            out += '_';
    }
    while (!out.empty() && out.back() == '_')
        out.pop_back();
    return out;
}

// "en"/"english" -> "ENU", "de"/"german"/"deutsch" -> "DEU", else upper case.
std::string LanguageCode(std::string_view language) {
    const std::string l = Lower(language);
    if (l == "en" || l == "english" || l == "enu")
        return "ENU";
    if (l == "de" || l == "german" || l == "deutsch" || l == "deu")
        return "DEU";
    std::string out(language);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

py::object Number(const std::string& text) {
    return py::float_(std::strtod(text.c_str(), nullptr));
}

// A described value in Python terms: float, bool, (x, y), int or str.
py::object PyValue(const refhost::ParamInfo& p, const refhost::ParamValue& v) {
    if (v.isText)
        return v.text ? py::object(py::str(*v.text)) : py::object(py::none());
    if (p.type == "switch" && v.numbers.size() == 1)
        return py::bool_(v.numbers[0] != "0");
    if ((p.type == "integer" || p.type == "choice") && v.numbers.size() == 1)
        return py::int_(std::strtol(v.numbers[0].c_str(), nullptr, 10));
    if (v.numbers.size() == 1)
        return Number(v.numbers[0]);
    py::tuple t(v.numbers.size());
    for (size_t i = 0; i < v.numbers.size(); ++i)
        t[i] = Number(v.numbers[i]);
    return t;
}

// The loaded module and the names every parameter answers to.
class Module {
  public:
    explicit Module(const std::string& path) : module_(std::make_shared<refhost::Module>(path)) {
        english_ = Load("ENU");
        for (const std::string& lang : refhost::AvailableLanguages(*module_))
            if (lang != "ENU")
                others_.push_back(Load(lang));
        names_.resize(module_->EffectCount());
        attrs_.resize(module_->EffectCount());
        for (size_t e = 0; e < module_->EffectCount(); ++e) {
            const kzr::EffectDescriptor& fx = module_->Effect(e);
            for (size_t i = 0; i < refhost::OwnParamCount(fx); ++i) {
                const kzr::ParamDescriptor& p = fx.Params[i];
                std::vector<std::string> names = {Folded(p.Key),
                                                  Folded(refhost::NameFromKey(p.NameKey))};
                names.push_back(Folded(english_.Text(p.NameKey)));
                for (const refhost::Texts& t : others_)
                    if (auto text = t.Find(p.NameKey))
                        names.push_back(Folded(*text));
                names_[e].push_back(std::move(names));
                attrs_[e].push_back(Identifier(english_.Text(p.NameKey)));
            }
        }
    }

    const std::shared_ptr<refhost::Module>& Shared() const { return module_; }
    const std::string& Path() const { return module_->Path(); }

    std::vector<std::string> Languages() const { return refhost::AvailableLanguages(*module_); }

    // The Python spelling of parameter i of effect e ("x_offset").
    const std::string& Attr(size_t e, size_t i) const { return attrs_[e][i]; }

    // Index of the parameter of effect e that `name` names; ValueError
    // listing the valid names otherwise.
    size_t FindParam(size_t e, std::string_view name) const {
        const std::string wanted = Folded(name);
        for (size_t i = 0; i < names_[e].size(); ++i)
            for (const std::string& n : names_[e][i])
                if (!wanted.empty() && n == wanted)
                    return i;
        std::string valid;
        const kzr::EffectDescriptor& fx = module_->Effect(e);
        for (size_t i = 0; i < names_[e].size(); ++i)
            valid += (valid.empty() ? "" : ", ") + attrs_[e][i] + " (" + fx.Params[i].Key + ")";
        throw py::value_error("unknown parameter '" + std::string(name) + "' of " +
                              refhost::ShortName(fx) + "; valid parameters: " + valid);
    }

    py::list Effects(const std::optional<std::string>& language) const {
        refhost::Texts texts;
        if (language)
            texts = Load(LanguageCode(*language));
        else
            texts = refhost::Texts::FromModule(*module_);
        py::list out;
        for (size_t e = 0; e < module_->EffectCount(); ++e) {
            if (!module_->Available(e))
                continue;
            const refhost::EffectInfo info = refhost::DescribeEffect(*module_, e, texts);
            py::list params;
            for (size_t i = 0; i < info.params.size(); ++i) {
                const refhost::ParamInfo& p = info.params[i];
                py::dict d;
                d["attr"] = attrs_[e][i];
                d["key"] = p.key;
                d["name"] = p.name;
                d["description"] = p.description;
                d["type"] = p.type;
                d["choices"] = p.choices;
                // A switch's range is off and on, whatever its table records.
                d["min"] = p.type == "switch" ? py::object(py::bool_(false)) : PyValue(p, p.min);
                d["max"] = p.type == "switch" ? py::object(py::bool_(true)) : PyValue(p, p.max);
                d["default"] = PyValue(p, p.defaultValue);
                params.append(d);
            }
            py::dict d;
            d["name"] = info.shortName;
            d["id"] = info.id;
            d["title"] = info.name;
            d["description"] = info.description;
            d["params"] = params;
            out.append(d);
        }
        return out;
    }

  private:
    refhost::Texts Load(const std::string& code) const {
        try {
            return refhost::Texts::ForLanguage(*module_, code);
        } catch (const refhost::Error& e) {
            throw py::value_error(e.what());
        }
    }

    std::shared_ptr<refhost::Module> module_;
    refhost::Texts english_;
    std::vector<refhost::Texts> others_;
    std::vector<std::vector<std::vector<std::string>>> names_;
    std::vector<std::vector<std::string>> attrs_;
};

// A parameter value converted from Python, ready to be written without the
// interpreter.
struct Value {
    size_t index;
    uint32_t type;
    float x = 0, y = 0;
    bool on = false;
};

// A frame as the module reads it: packed rows of 4-byte pixels at a 4-byte
// aligned address.
bool Packed(const py::array& a) {
    return (a.flags() & py::array::c_style) != 0 &&
           reinterpret_cast<uintptr_t>(a.data()) % alignof(uint32_t) == 0;
}

// Copies an H x W x C uint8 array of any strides into packed 4-byte pixels;
// a 3-channel source gets alpha 255.
void Gather(const uint8_t* base, const py::ssize_t* strides, uint32_t w, uint32_t h, int channels,
            uint8_t* dst) {
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* row = base + static_cast<py::ssize_t>(y) * strides[0];
        for (uint32_t x = 0; x < w; ++x, dst += 4) {
            const uint8_t* px = row + static_cast<py::ssize_t>(x) * strides[1];
            for (int c = 0; c < channels; ++c)
                dst[c] = px[static_cast<py::ssize_t>(c) * strides[2]];
            if (channels == 3)
                dst[3] = 255;
        }
    }
}

// The inverse of Gather: the first `channels` bytes of each packed pixel.
void Scatter(const uint8_t* src, uint32_t w, uint32_t h, int channels, uint8_t* base,
             const py::ssize_t* strides) {
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = base + static_cast<py::ssize_t>(y) * strides[0];
        for (uint32_t x = 0; x < w; ++x, src += 4) {
            uint8_t* px = row + static_cast<py::ssize_t>(x) * strides[1];
            for (int c = 0; c < channels; ++c)
                px[static_cast<py::ssize_t>(c) * strides[2]] = src[c];
        }
    }
}

// The byte range an array's elements occupy.
std::pair<uintptr_t, uintptr_t> Extent(const py::array& a) {
    uintptr_t lo = reinterpret_cast<uintptr_t>(a.data()), hi = lo;
    for (py::ssize_t d = 0; d < a.ndim(); ++d) {
        const py::ssize_t span = (a.shape(d) - 1) * a.strides(d);
        if (span < 0)
            lo += static_cast<uintptr_t>(span);
        else
            hi += static_cast<uintptr_t>(span);
    }
    return {lo, hi + 1};
}

bool Overlap(const py::array& a, const py::array& b) {
    const auto ea = Extent(a), eb = Extent(b);
    return ea.first < eb.second && eb.first < ea.second;
}

class Effect {
  public:
    Effect(std::shared_ptr<Module> module, const std::string& name, long long width,
           long long height)
        : module_(std::move(module)) {
        if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide)
            throw py::value_error("frame size must be 1 to " + std::to_string(kMaxSide) +
                                  " pixels on each side; got " + std::to_string(width) + "x" +
                                  std::to_string(height));
        try {
            effect_ = module_->Shared()->FindEffect(name);
            fx_ = std::make_unique<refhost::Instance>(*module_->Shared(), effect_);
        } catch (const refhost::Error& e) {
            throw py::value_error(e.what());
        }
        width_ = static_cast<uint32_t>(width);
        height_ = static_cast<uint32_t>(height);
        maxCpuLevel_ = refhost::DetectCpuLevel();
        const kzr::Status s = fx_->Prepare(width_, height_);
        if (s == kzr::kOutOfMemory)
            ThrowNoMemory();
        if (s != kzr::kOk)
            throw std::runtime_error(Name() + " could not be prepared for the frame size");
    }

    std::string Name() const { return refhost::ShortName(fx_->Effect()); }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }

    // The effect's own parameters as {attr: value}.
    py::dict Params() {
        py::dict d;
        for (size_t i = 0; i < refhost::OwnParamCount(fx_->Effect()); ++i)
            d[py::str(module_->Attr(effect_, i))] = Get(i);
        return d;
    }

    bool IsParam(const std::string& name) const {
        try {
            module_->FindParam(effect_, name);
            return true;
        } catch (const py::value_error&) {
            return false;
        }
    }

    py::object GetParam(const std::string& name) { return Get(module_->FindParam(effect_, name)); }

    // Converts all values first (raising before anything changes), then
    // writes them under the instance lock.
    void Set(const py::dict& values) {
        std::vector<Value> converted;
        for (auto [k, v] : values) {
            if (!py::isinstance<py::str>(k))
                throw py::type_error("parameter names are strings");
            converted.push_back(Convert(k.cast<std::string>(), v));
        }
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Value& v : converted)
            Write(v);
    }

    int CpuLevel() const { return fx_->Context().CpuLevel; }
    void SetCpuLevel(int level) {
        if (level < 0 || level > maxCpuLevel_)
            throw py::value_error("cpu_level must be between 0 and " +
                                  std::to_string(maxCpuLevel_) +
                                  " (8 or more uses AVX2, 3 or more SSE2; this processor "
                                  "supports up to " +
                                  std::to_string(maxCpuLevel_) + "); got " + std::to_string(level));
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        fx_->SetCpuLevel(level);
    }
    int TaskCount() const { return fx_->Context().TaskCount; }
    void SetTaskCount(int count) {
        if (count < 1 || count > kMaxTasks)
            throw py::value_error("task_count must be between 1 and " + std::to_string(kMaxTasks) +
                                  "; got " + std::to_string(count));
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        fx_->SetTaskCount(count);
    }

    // A value given as text, parsed and range-checked as `fxhost render --set`
    // parses it (the same strtof, so the same float); returns the value held.
    py::object SetText(const std::string& name, const std::string& text) {
        const size_t index = module_->FindParam(effect_, name);
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            fx_->SetParam(fx_->Effect().Params[index].Key, text);
        }
        return Get(index, true);
    }

    void SetReference(long long width, long long height) {
        if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide)
            throw py::value_error("the reference size must be 1 to " + std::to_string(kMaxSide) +
                                  " pixels on each side; got " + std::to_string(width) + "x" +
                                  std::to_string(height));
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        fx_->SetReference(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    }

    // One frame: H x W x 4 (or x 3 with alpha added and removed) uint8.
    py::array Apply(const py::object& frameObject, const py::object& outObject, int channels) {
        const py::array frame = CheckFrame(frameObject, "frame", channels);
        py::array out;
        if (outObject.is_none()) {
            out = py::array_t<uint8_t>({static_cast<py::ssize_t>(height_),
                                        static_cast<py::ssize_t>(width_),
                                        static_cast<py::ssize_t>(channels)});
        } else {
            out = CheckFrame(outObject, "out", channels);
            if (!out.writeable())
                throw py::value_error("out is read-only; pass a writable array");
        }
        const bool directIn = channels == 4 && Packed(frame);
        const bool directOut = channels == 4 && Packed(out) && !Overlap(frame, out);
        const auto* inBase = static_cast<const uint8_t*>(frame.data());
        auto* outBase = static_cast<uint8_t*>(out.mutable_data());
        const py::ssize_t inStrides[3] = {frame.strides(0), frame.strides(1), frame.strides(2)};
        const py::ssize_t outStrides[3] = {out.strides(0), out.strides(1), out.strides(2)};

        kzr::Status status;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            const size_t pixels = static_cast<size_t>(width_) * height_;
            const uint32_t* src = reinterpret_cast<const uint32_t*>(inBase);
            if (!directIn) {
                source_.resize(pixels);
                Gather(inBase, inStrides, width_, height_, channels,
                       reinterpret_cast<uint8_t*>(source_.data()));
                src = source_.data();
            }
            uint32_t* dst = reinterpret_cast<uint32_t*>(outBase);
            if (!directOut) {
                dest_.resize(pixels);
                dst = dest_.data();
            }
            // Bytes an effect leaves unwritten (the laser keeps the
            // destination's alpha outside its circle) take the source's value.
            std::memcpy(dst, src, pixels * 4);
            status = fx_->Render(src, dst);
            if (status == kzr::kOk && !directOut)
                Scatter(reinterpret_cast<const uint8_t*>(dst), width_, height_, channels, outBase,
                        outStrides);
        }
        if (status == kzr::kOutOfMemory)
            ThrowNoMemory();
        if (status != kzr::kOk)
            throw std::runtime_error(Name() + " could not render the frame");
        return out;
    }

  private:
    py::array CheckFrame(const py::object& object, const char* what, int channels) const {
        const std::string expected = std::to_string(height_) + " x " + std::to_string(width_) +
                                     " x " + std::to_string(channels) + " uint8 array";
        if (!py::isinstance<py::array>(object))
            throw py::type_error(
                std::string(what) + " must be a NumPy " + expected + "; got " +
                py::str(py::type::of(object).attr("__name__")).cast<std::string>());
        py::array a = py::reinterpret_borrow<py::array>(object);
        if (a.dtype().kind() != 'u' || a.dtype().itemsize() != 1)
            throw py::type_error(std::string(what) + " must be a " + expected + "; got dtype " +
                                 py::str(a.dtype()).cast<std::string>());
        std::string shape;
        for (py::ssize_t d = 0; d < a.ndim(); ++d)
            shape += (d ? " x " : "") + std::to_string(a.shape(d));
        if (a.ndim() != 3 || a.shape(0) != height_ || a.shape(1) != width_ ||
            a.shape(2) != channels)
            throw py::type_error(std::string(what) + " must be a " + expected +
                                 " (height x width x channels, the size the effect was made "
                                 "for); got shape " +
                                 (shape.empty() ? "()" : shape));
        return a;
    }

    // `exact`: floats widened to double as they are, not as the shortest
    // decimal that reads back as them.
    py::object Get(size_t index, bool exact = false) {
        const auto number = [exact](float f) {
            return exact ? py::float_(static_cast<double>(f)) : Shortest(f);
        };
        const kzr::ParamDescriptor& p = fx_->Effect().Params[index];
        const uint8_t* v = fx_->Blob() + fx_->ParamOffset(index);
        float f[2];
        int32_t i;
        switch (p.ValueType) {
            case kzr::kTypeFloat:
                std::memcpy(f, v, 4);
                return number(f[0]);
            case kzr::kTypeBool:
                std::memcpy(&i, v, 4);
                return py::bool_(i != 0);
            case kzr::kTypePoint:
                std::memcpy(f, v, 8);
                return py::make_tuple(number(f[0]), number(f[1]));
            default:
                std::memcpy(&i, v, 4);
                return py::int_(i);
        }
    }

    static float ToFloat(const py::handle& v, const std::string& label) {
        if (py::isinstance<py::bool_>(v) || py::isinstance<py::str>(v) ||
            py::isinstance<py::bytes>(v) || !PyNumber_Check(v.ptr()))
            throw py::type_error(label + " expects a number; got " +
                                 py::str(py::type::of(v).attr("__name__")).cast<std::string>());
        const double d = py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
        return static_cast<float>(d);
    }

    Value Convert(const std::string& name, const py::handle& v) {
        const size_t index = module_->FindParam(effect_, name);
        const kzr::ParamDescriptor& p = fx_->Effect().Params[index];
        const std::string label = module_->Attr(effect_, index) + " (" + p.Key + ") of " + Name();
        Value out{index, p.ValueType};
        switch (p.ValueType) {
            case kzr::kTypeFloat:
                out.x = ToFloat(v, label);
                break;
            case kzr::kTypeBool: {
                const py::object np_bool = py::module_::import("numpy").attr("bool_");
                if (py::isinstance<py::bool_>(v) || py::isinstance(v, np_bool)) {
                    out.on = py::cast<bool>(py::bool_(py::reinterpret_borrow<py::object>(v)));
                } else if (py::isinstance<py::int_>(v)) {
                    const long long i = v.cast<long long>();
                    if (i != 0 && i != 1)
                        throw py::value_error(label + " is a switch: use True/False or 1/0; got " +
                                              std::to_string(i));
                    out.on = i == 1;
                } else {
                    throw py::type_error(
                        label + " is a switch: use True/False or 1/0; got " +
                        py::str(py::type::of(v).attr("__name__")).cast<std::string>());
                }
                break;
            }
            case kzr::kTypePoint: {
                if (py::isinstance<py::str>(v) || !PySequence_Check(v.ptr()) ||
                    PySequence_Size(v.ptr()) != 2) {
                    PyErr_Clear();
                    throw py::type_error(label +
                                         " is a position: use (x, y), fractions of the frame");
                }
                const py::sequence s = py::reinterpret_borrow<py::sequence>(v);
                out.x = ToFloat(s[0], label);
                out.y = ToFloat(s[1], label);
                break;
            }
            default:
                throw py::value_error(label + " cannot be set from the host");
        }
        // Checked here, before anything is written, so a refused value in a
        // set() of several changes none of them.
        CheckRange(p, out, label);
        return out;
    }

    static void CheckRange(const kzr::ParamDescriptor& p, const Value& v,
                           const std::string& label) {
        const auto fmt = [](float f) {
            std::string s = py::repr(Shortest(f)).cast<std::string>();
            if (s.size() > 2 && s.substr(s.size() - 2) == ".0")
                s.resize(s.size() - 2);
            return s;
        };
        float lo[2], hi[2];
        if (p.ValueType == kzr::kTypeFloat) {
            std::memcpy(lo, p.MinValue, 4);
            std::memcpy(hi, p.MaxValue, 4);
            if (!(v.x >= lo[0] && v.x <= hi[0]))
                throw py::value_error(label + " must be between " + fmt(lo[0]) + " and " +
                                      fmt(hi[0]) + "; got " + fmt(v.x));
        } else if (p.ValueType == kzr::kTypePoint) {
            std::memcpy(lo, p.MinValue, 8);
            std::memcpy(hi, p.MaxValue, 8);
            if (!(v.x >= lo[0] && v.x <= hi[0] && v.y >= lo[1] && v.y <= hi[1]))
                throw py::value_error(label + " must lie between (" + fmt(lo[0]) + ", " +
                                      fmt(lo[1]) + ") and (" + fmt(hi[0]) + ", " + fmt(hi[1]) +
                                      "); got (" + fmt(v.x) + ", " + fmt(v.y) + ")");
        }
    }

    void Write(const Value& v) {
        switch (v.type) {
            case kzr::kTypeFloat:
                fx_->SetFloat(v.index, v.x);
                break;
            case kzr::kTypeBool:
                fx_->SetBool(v.index, v.on);
                break;
            case kzr::kTypePoint:
                fx_->SetPoint(v.index, v.x, v.y);
                break;
        }
    }

    std::shared_ptr<Module> module_;
    size_t effect_ = 0;
    std::unique_ptr<refhost::Instance> fx_;
    uint32_t width_ = 0, height_ = 0;
    int maxCpuLevel_ = 3;
    std::mutex mutex_;
    std::vector<uint32_t> source_, dest_;  // packed copies of frames the module cannot use in place
};

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native part of kzrfx: the loaded effect module and effect instances.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const refhost::Error& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    m.def(
        "test_card",
        [](long long width, long long height, double phase) {
            if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide)
                throw py::value_error("test card size must be 1 to " + std::to_string(kMaxSide) +
                                      " pixels on each side; got " + std::to_string(width) + "x" +
                                      std::to_string(height));
            if (!(phase >= 0 && phase < 1))
                throw py::value_error("phase must be at least 0 and below 1; got " +
                                      std::to_string(phase));
            py::array_t<uint8_t> out({static_cast<py::ssize_t>(height),
                                      static_cast<py::ssize_t>(width), py::ssize_t{4}});
            const std::vector<uint32_t> card = refhost::MakeTestCard(
                static_cast<uint32_t>(width), static_cast<uint32_t>(height), phase);
            std::memcpy(out.mutable_data(), card.data(), card.size() * 4);
            return out;
        },
        py::arg("width"), py::arg("height"), py::arg("phase") = 0.0,
        "The built-in test card as a height x width x 4 RGBA uint8 array, as fxhost renders "
        "it when given no input; `phase` in [0, 1) moves its marker.");

    // Pictures through fxhost's own reading and writing, so a picture read or
    // written here has the bytes fxhost reads or writes.
    m.def(
        "read_image",
        [](const std::string& path) {
            fxhost::Image image;
            {
                py::gil_scoped_release unlocked;
                image = fxhost::ReadImage(path);
            }
            py::array_t<uint8_t> out({static_cast<py::ssize_t>(image.height),
                                      static_cast<py::ssize_t>(image.width), py::ssize_t{4}});
            std::memcpy(out.mutable_data(), image.pixels.data(), image.pixels.size() * 4);
            return out;
        },
        py::arg("path"),
        "Reads a picture as fxhost does (PNG, JPEG, WebP, TIFF, BMP or TGA, turned upright and "
        "converted to sRGB): a height x width x 4 RGBA uint8 array.");
    m.def(
        "encode_image",
        [](const py::array_t<uint8_t, py::array::c_style>& frame, const std::string& format) {
            if (frame.ndim() != 3 || frame.shape(2) != 4 || frame.shape(0) < 1 ||
                frame.shape(1) < 1 || frame.shape(0) > kMaxSide || frame.shape(1) > kMaxSide)
                throw py::type_error(
                    "encode_image takes a height x width x 4 uint8 array of 1 to " +
                    std::to_string(kMaxSide) + " pixels a side");
            const std::string f = Lower(format);
            const bool jpeg = f == "jpg" || f == "jpeg" || f == ".jpg" || f == ".jpeg";
            if (!jpeg && f != "png" && f != ".png")
                throw py::value_error("pictures are encoded as png or jpg; got '" + format + "'");
            fxhost::Image image;
            image.width = static_cast<uint32_t>(frame.shape(1));
            image.height = static_cast<uint32_t>(frame.shape(0));
            image.pixels.resize(size_t{image.width} * image.height);
            std::memcpy(image.pixels.data(), frame.data(), image.pixels.size() * 4);
            std::string encoded;
            {
                py::gil_scoped_release unlocked;
                encoded = fxhost::EncodeImage(image, jpeg);
            }
            return py::bytes(encoded);
        },
        py::arg("frame"), py::arg("format"),
        "Encodes a height x width x 4 RGBA uint8 array as fxhost writes it: PNG with alpha, or "
        "JPEG at quality 92.  Returns the file's bytes.");

    py::class_<Module, std::shared_ptr<Module>>(m, "Module",
                                                "A loaded effect module (KZR_PlugIn_6).")
        .def(py::init([](const std::string& path) {
                 try {
                     return std::make_shared<Module>(path);
                 } catch (const refhost::Error& e) {
                     throw py::value_error(e.what());
                 }
             }),
             py::arg("path"), "Loads and initialises the module at path.")
        .def_property_readonly("path", &Module::Path, "File the module was loaded from.")
        .def("languages", &Module::Languages,
             "Languages whose text libraries lie beside the module, such as ['DEU', 'ENU'].")
        .def("effects", &Module::Effects, py::arg("language") = py::none(),
             "Every effect with its parameters, as dicts, with texts in `language`.");

    py::class_<Effect>(m, "Effect", "One effect instance prepared for a frame size.")
        .def(py::init<std::shared_ptr<Module>, const std::string&, long long, long long>(),
             py::arg("module"), py::arg("name"), py::arg("width"), py::arg("height"))
        .def_property_readonly("name", &Effect::Name, "Short name of the effect, such as 'drain'.")
        .def_property_readonly("width", &Effect::Width, "Frame width the effect renders.")
        .def_property_readonly("height", &Effect::Height, "Frame height the effect renders.")
        .def_property_readonly("params", &Effect::Params,
                               "The effect's parameters and their current values.")
        .def("_is_param", &Effect::IsParam, py::arg("name"))
        .def("get", &Effect::GetParam, py::arg("name"),
             "Current value of a parameter, by Python name ('x_offset'), key ('P4') or "
             "display name.")
        .def(
            "set", [](Effect& self, const py::kwargs& values) { self.Set(values); },
            "Sets parameters by name, such as set(degree=0.05, position=(0.3, 0.6)); the next "
            "frame uses them.  Raises ValueError for an unknown name or a value out of range "
            "(and changes nothing then), TypeError for a value of the wrong kind.")
        .def_property("cpu_level", &Effect::CpuLevel, &Effect::SetCpuLevel,
                      "Processor level given to the effect: 8 or more uses AVX2, 3 or more "
                      "SSE2, less plain code.  At most what this processor supports.")
        .def_property("task_count", &Effect::TaskCount, &Effect::SetTaskCount,
                      "Bands of rows the effect may render in parallel (1 to 256).")
        .def("set_text", &Effect::SetText, py::arg("name"), py::arg("text"),
             "Sets one parameter from text as `fxhost render --set` does (a number, 0/1 or "
             "true/false, x,y for a position) and returns the value now held, floats exactly.")
        .def("set_reference", &Effect::SetReference, py::arg("width"), py::arg("height"),
             "The reference frame size of effects that keep display proportions (laser), as "
             "fxhost's --ref.")
        .def(
            "__call__",
            [](Effect& self, const py::object& frame, const py::object& out) {
                return self.Apply(frame, out, 4);
            },
            py::arg("frame"), py::arg("out") = py::none(),
            "Renders one frame: an H x W x 4 uint8 array of any strides.  Returns a new "
            "array, or writes into `out` (same shape) and returns it.  The interpreter lock "
            "is released while the frame is rendered.")
        .def(
            "apply_bgr",
            [](Effect& self, const py::object& frame, const py::object& out) {
                return self.Apply(frame, out, 3);
            },
            py::arg("frame"), py::arg("out") = py::none(),
            "Renders one H x W x 3 frame, such as an OpenCV BGR image: an opaque alpha "
            "channel is added for the effect and removed from the result.");
}
