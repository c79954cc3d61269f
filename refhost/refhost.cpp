#include "refhost/refhost.h"

#include "imaging/cpu_features.h"

#include <array>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

#include "abi/exports.h"
#include "refhost/library.h"

namespace refhost {
namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string FormatFloat(float v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

float ParseFloat(std::string_view text, std::string_view what) {
    std::string s(text);
    char* end = nullptr;
    const float v = std::strtof(s.c_str(), &end);
    if (s.empty() || end != s.c_str() + s.size())
        throw Error(std::string(what) + ": '" + s + "' is not a number");
    return v;
}

template <class T>
T Value(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

// ---- Host services -------------------------------------------------------

class Instance::Host final : public kzr::HostObject, public kzr::SurfaceFactory {
  public:
    int32_t OnCreate() override {
        ++createCalls;
        return 0;
    }
    kzr::ImageSurface* Wrap(uint64_t frame, uint32_t width, uint32_t height,
                            int32_t pitch) override {
        if (frame == 0)
            return nullptr;
        kzr::ImageSurface* s = Take();
        *s = kzr::ImageSurface{};
        s->Pixels = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(frame));
        s->Width = static_cast<int32_t>(width);
        s->Height = static_cast<int32_t>(height);
        s->Pitch = pitch;
        s->BytesPerPixel = 4;
        outstanding.fetch_add(1, std::memory_order_relaxed);
        return s;
    }
    void Reserved1() override {}
    void Reserved2() override {}
    void Release(kzr::ImageSurface* surface) override {
        outstanding.fetch_sub(1, std::memory_order_relaxed);
        Give(surface);
    }

    std::atomic<int> outstanding{0};
    std::atomic<int> createCalls{0};

  private:
    // A frame wraps its source and its destination; the records come from a
    // few slots kept here, so rendering a frame allocates nothing.  More at
    // once (a module that never releases) fall back to the heap.
    static constexpr uint32_t kSlots = 4;
    kzr::ImageSurface* Take() {
        uint32_t used = used_.load(std::memory_order_relaxed);
        for (;;) {
            const uint32_t free = ~used & ((1u << kSlots) - 1);
            if (free == 0)
                return new kzr::ImageSurface{};
            const uint32_t bit = free & (0u - free);
            if (used_.compare_exchange_weak(used, used | bit, std::memory_order_acquire))
                return &slots_[static_cast<size_t>(std::countr_zero(bit))];
        }
    }
    void Give(kzr::ImageSurface* s) {
        if (s >= slots_.data() && s < slots_.data() + kSlots)
            used_.fetch_and(~(1u << (s - slots_.data())), std::memory_order_release);
        else
            delete s;
    }
    std::array<kzr::ImageSurface, kSlots> slots_{};
    std::atomic<uint32_t> used_{0};
};

// ---- Module ----------------------------------------------------------------

int DetectCpuLevel() {
    return kzr::CpuHasAvx2() ? 8 : 3;
}

std::string DefaultModulePath() {
    return library::ProgramFolder() + library::kModuleFileName;
}

Module::Module(const std::string& path) : path_(path) {
    std::string reason;
    library_ = library::Open(path, &reason);
    if (library_ == nullptr)
        throw Error("cannot load module " + path + ": " + reason);
    auto init = reinterpret_cast<KzrInitModuleFn>(library::Symbol(library_, "KZR_DSP_InitModule"));
    if (init == nullptr || library::Symbol(library_, "KZR_DSP_DeInitModule") == nullptr) {
        library::Close(library_);
        throw Error(path + " is not an effect module (KZR_DSP_InitModule missing)");
    }
    const void* desc = nullptr;
    const uint32_t status = init(&desc);
    if (status != kzr::kOk || desc == nullptr) {
        library::Close(library_);
        throw Error(path + ": KZR_DSP_InitModule failed");
    }
    descriptor_ = static_cast<const kzr::ModuleDescriptor*>(desc);
}

Module::~Module() {
    auto deinit =
        reinterpret_cast<KzrDeInitModuleFn>(library::Symbol(library_, "KZR_DSP_DeInitModule"));
    if (deinit != nullptr)
        deinit();
    library::Close(library_);
}

size_t Module::FindEffect(std::string_view name) const {
    const std::string wanted = Lower(name);
    std::string valid;
    for (size_t i = 0; i < EffectCount(); ++i) {
        if (wanted == Lower(Effect(i).Id) || wanted == ShortName(Effect(i))) {
            if (!Available(i))
                throw Error("effect '" + std::string(name) + "' is not built into this module");
            return i;
        }
        if (Available(i))
            valid += (valid.empty() ? "" : ", ") + ShortName(Effect(i));
    }
    throw Error("unknown effect '" + std::string(name) + "'; valid effects: " + valid);
}

std::string ShortName(const kzr::EffectDescriptor& fx) {
    const std::string_view id(fx.Id);
    return Lower(id.substr(id.rfind('_') + 1));
}

std::string NameFromKey(std::string_view key) {
    key = key.substr(0, key.find(';'));
    if (key.substr(0, 4) == "IDS_")
        key.remove_prefix(4);
    for (std::string_view marker : {"Param_", "Vi_"}) {
        const size_t at = key.find(marker);
        if (at != key.npos) {
            key.remove_prefix(at + marker.size());
            break;
        }
    }
    for (std::string_view tail : {"_Name", "_Desc"})
        if (key.size() > tail.size() && key.substr(key.size() - tail.size()) == tail)
            key.remove_suffix(tail.size());
    std::string out(key);
    for (char& c : out)
        if (c == '_')
            c = ' ';
    return out;
}

std::vector<std::string> ChoicesFromKey(std::string_view key) {
    std::vector<std::string> out;
    size_t at = key.find(';');
    while (at != key.npos) {
        const size_t next = key.find(';', at + 1);
        out.emplace_back(key.substr(at + 1, next == key.npos ? key.npos : next - at - 1));
        at = next;
    }
    return out;
}

size_t OwnParamCount(const kzr::EffectDescriptor& fx) {
    size_t n = 0;
    while (n < fx.ParamCount() && fx.Params[n].Group != 99)
        ++n;
    return n;
}

// ---- Instance ------------------------------------------------------------

Instance::Instance(const Module& module, size_t effectIndex)
    : fx_(&module.Effect(effectIndex)), host_(std::make_unique<Host>()) {
    if (!module.Available(effectIndex))
        throw Error(std::string("effect ") + fx_->Id + " is not built into this module");
    ctx_ = std::make_unique<kzr::EffectContext>();
    std::memset(ctx_.get(), 0, sizeof(kzr::EffectContext));
    const size_t stateWords = (fx_->StateSize + 7) / 8;
    state_ = std::make_unique<uint64_t[]>(stateWords == 0 ? 1 : stateWords);  // zero-filled
    size_t blobSize = 0;
    for (uint32_t i = 0; i < fx_->ParamCount(); ++i)
        blobSize += fx_->Params[i].ValueSize;
    blob_.assign(blobSize, 0);
    changed_.assign(fx_->ParamCount(), 0);

    ctx_->Descriptor = fx_;
    ctx_->Host = host_.get();
    ctx_->State = state_.get();
    ctx_->ParamBlob = blob_.data();
    ctx_->ParamChanged = changed_.data();
    ctx_->TaskCount = 1;
    ctx_->CpuLevel = DetectCpuLevel();
    ctx_->Surfaces = host_.get();
    const kzr::Status s = fx_->Slots.Create(ctx_.get());
    if (s != kzr::kOk)
        throw Error(std::string("Create failed for ") + fx_->Id);
}

Instance::~Instance() {
    Destroy();
}

size_t Instance::FindParam(std::string_view keyOrName) const {
    const std::string wanted = Lower(keyOrName);
    std::string valid;
    for (size_t i = 0; i < OwnParamCount(*fx_); ++i) {
        const kzr::ParamDescriptor& p = fx_->Params[i];
        const std::string name = NameFromKey(p.NameKey);
        if (wanted == Lower(p.Key) || wanted == Lower(name))
            return i;
        valid += (valid.empty() ? "" : ", ") + std::string(p.Key) + " (" + name + ")";
    }
    throw Error("unknown parameter '" + std::string(keyOrName) + "' of " + ShortName(*fx_) +
                "; valid parameters: " + valid);
}

size_t Instance::ParamOffset(size_t index) const {
    size_t offset = 0;
    for (size_t i = 0; i < index; ++i)
        offset += fx_->Params[i].ValueSize;
    return offset;
}

void Instance::WriteRaw(size_t index, const void* bytes, size_t size) {
    if (index >= fx_->ParamCount() || size != fx_->Params[index].ValueSize)
        throw Error("parameter index or size does not match the table");
    std::memcpy(blob_.data() + ParamOffset(index), bytes, size);
    SetChanged(index);
}

void Instance::SetFloat(size_t index, float value) {
    const kzr::ParamDescriptor& p = fx_->Params[index];
    if (p.ValueType != kzr::kTypeFloat)
        throw Error(std::string(p.Key) + " is not a number");
    const float lo = Value<float>(p.MinValue), hi = Value<float>(p.MaxValue);
    if (!(value >= lo && value <= hi))
        throw Error(std::string(p.Key) + " (" + NameFromKey(p.NameKey) + ") must be between " +
                    FormatFloat(lo) + " and " + FormatFloat(hi) + "; got " + FormatFloat(value));
    WriteRaw(index, &value, 4);
}

void Instance::SetBool(size_t index, bool value) {
    const kzr::ParamDescriptor& p = fx_->Params[index];
    if (p.ValueType != kzr::kTypeBool)
        throw Error(std::string(p.Key) + " is not a switch");
    const int32_t v = value ? 1 : 0;
    WriteRaw(index, &v, 4);
}

void Instance::SetPoint(size_t index, float x, float y) {
    const kzr::ParamDescriptor& p = fx_->Params[index];
    if (p.ValueType != kzr::kTypePoint)
        throw Error(std::string(p.Key) + " is not a position");
    const auto lo = Value<std::array<float, 2>>(p.MinValue);
    const auto hi = Value<std::array<float, 2>>(p.MaxValue);
    if (!(x >= lo[0] && x <= hi[0] && y >= lo[1] && y <= hi[1]))
        throw Error(std::string(p.Key) + " (" + NameFromKey(p.NameKey) + ") must lie between " +
                    FormatFloat(lo[0]) + "," + FormatFloat(lo[1]) + " and " + FormatFloat(hi[0]) +
                    "," + FormatFloat(hi[1]) + "; got " + FormatFloat(x) + "," + FormatFloat(y));
    const float v[2] = {x, y};
    WriteRaw(index, v, 8);
}

void Instance::SetParam(std::string_view keyOrName, std::string_view text) {
    const size_t index = FindParam(keyOrName);
    const kzr::ParamDescriptor& p = fx_->Params[index];
    const std::string label = std::string(p.Key) + " (" + NameFromKey(p.NameKey) + ")";
    switch (p.ValueType) {
        case kzr::kTypeFloat:
            SetFloat(index, ParseFloat(text, label));
            return;
        case kzr::kTypeBool: {
            const std::string t = Lower(text);
            if (t == "1" || t == "true" || t == "on" || t == "yes")
                return SetBool(index, true);
            if (t == "0" || t == "false" || t == "off" || t == "no")
                return SetBool(index, false);
            throw Error(label + " is a switch: use 0 or 1 (or true/false); got '" +
                        std::string(text) + "'");
        }
        case kzr::kTypePoint: {
            const size_t comma = text.find(',');
            if (comma == text.npos)
                throw Error(label + " is a position: use x,y (fractions of the frame); got '" +
                            std::string(text) + "'");
            SetPoint(index, ParseFloat(text.substr(0, comma), label),
                     ParseFloat(text.substr(comma + 1), label));
            return;
        }
        default:
            throw Error(label + " cannot be set from the host");
    }
}

float Instance::GetFloat(size_t index) const {
    return Value<float>(blob_.data() + ParamOffset(index));
}

std::string Instance::FormatParam(size_t index) const {
    const kzr::ParamDescriptor& p = fx_->Params[index];
    const uint8_t* v = blob_.data() + ParamOffset(index);
    switch (p.ValueType) {
        case kzr::kTypeFloat:
            return FormatFloat(Value<float>(v));
        case kzr::kTypeBool:
        case kzr::kTypeInt:
            return std::to_string(Value<int32_t>(v));
        case kzr::kTypePoint:
            return FormatFloat(Value<float>(v)) + "," + FormatFloat(Value<float>(v + 4));
        default:
            return "";
    }
}

void Instance::SetChanged(size_t index, bool changed) {
    changed_.at(index) = changed ? 1 : 0;
}

void Instance::ClearChanged() {
    std::fill(changed_.begin(), changed_.end(), 0u);
}

void Instance::SetReference(uint32_t width, uint32_t height) {
    ctx_->RefWidth = width;
    ctx_->RefHeight = height;
}

kzr::Status Instance::Prepare(uint32_t width, uint32_t height) {
    ctx_->Width = width;
    ctx_->Height = height;
    return fx_->Slots.Prepare(ctx_.get());
}

kzr::Status Instance::Unprepare() {
    return fx_->Slots.Unprepare(ctx_.get());
}

kzr::Status Instance::SetSource(const void* pixels) {
    ctx_->Frame = reinterpret_cast<uintptr_t>(pixels);
    return fx_->Slots.SetSource(nullptr, ctx_.get());
}

kzr::Status Instance::Process(void* dst) {
    ctx_->Frame = reinterpret_cast<uintptr_t>(dst);
    const kzr::Status s = fx_->Slots.Process(ctx_.get());
    ClearChanged();
    return s;
}

kzr::Status Instance::Render(const void* src, void* dst) {
    const kzr::Status s = SetSource(src);
    return s != kzr::kOk ? s : Process(dst);
}

kzr::Status Instance::Destroy() {
    if (destroyed_)
        return kzr::kOk;
    destroyed_ = true;
    return fx_->Slots.Destroy(ctx_.get());
}

int Instance::OutstandingSurfaces() const {
    return host_->outstanding.load();
}
int Instance::CreateCalls() const {
    return host_->createCalls.load();
}

}  // namespace refhost
