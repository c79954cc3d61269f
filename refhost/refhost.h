// The reference host: the host side of the module interface, as a video
// editor implements it.  It loads the module, reads its descriptor tables,
// owns the per-instance blocks (context, state, parameter blob, changed
// flags), implements the host services and drives the callbacks in order.
// Tests, tools, benchmarks and adapters all use it.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "abi/context.h"
#include "abi/descriptors.h"
#include "abi/status.h"

namespace refhost {

// Any refusal of the host: a module that cannot be loaded, an unknown
// effect or parameter, a value outside its range.  what() is for people.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Processor capability level: 8 with AVX2, else 3 (SSE2 is always there).
int DetectCpuLevel();

// The module (KZR_PlugIn_6.so, or .dll on Windows) beside the running executable.
std::string DefaultModulePath();

// A loaded module, initialised; de-initialised and unloaded on destruction.
class Module {
  public:
    explicit Module(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const kzr::ModuleDescriptor& Descriptor() const { return *descriptor_; }
    size_t EffectCount() const { return static_cast<size_t>(descriptor_->EffectCount); }
    const kzr::EffectDescriptor& Effect(size_t i) const { return descriptor_->Effects[i]; }
    // True when the module carries callbacks for effect i.
    bool Available(size_t i) const { return Effect(i).Slots.Create != nullptr; }
    // Index of the effect with this id or short name (case-insensitive);
    // throws Error listing the valid names.
    size_t FindEffect(std::string_view name) const;
    const std::string& Path() const { return path_; }
    void* LibraryHandle() const { return library_; }

  private:
    std::string path_;
    void* library_ = nullptr;
    const kzr::ModuleDescriptor* descriptor_ = nullptr;
};

// "hstretch" for "Kzr_Dsp_Vi_HStretch", "laser" for "DSP_VI_Laser".
std::string ShortName(const kzr::EffectDescriptor& fx);
// Readable text for a resource key when no translation is at hand:
// "IDS_Vi_Param_Degree_Name" gives "Degree", "IDS_DSP_Vi_HStretch_Name" "HStretch".
std::string NameFromKey(std::string_view key);
// Choice words of a choice parameter's name key ("...;box;circle;none").
std::vector<std::string> ChoicesFromKey(std::string_view key);

// Count of the effect's own parameters (those before the common block).
size_t OwnParamCount(const kzr::EffectDescriptor& fx);

// One effect instance with its host-owned memory.
class Instance {
  public:
    Instance(const Module& module, size_t effectIndex);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    const kzr::EffectDescriptor& Effect() const { return *fx_; }
    kzr::EffectContext& Context() { return *ctx_; }
    void* State() { return state_.get(); }
    uint8_t* Blob() { return blob_.data(); }
    size_t BlobSize() const { return blob_.size(); }

    // Parameters.  Index by key ("P1") or display name ("Degree"); throws
    // Error naming the valid keys.
    size_t FindParam(std::string_view keyOrName) const;
    size_t ParamOffset(size_t index) const;
    // Parses and range-checks a value given as text: a number, 0/1 or
    // true/false for a switch, "x,y" for a position.  Raises the changed flag.
    void SetParam(std::string_view keyOrName, std::string_view text);
    void SetFloat(size_t index, float value);  // range-checked
    void SetBool(size_t index, bool value);
    void SetPoint(size_t index, float x, float y);  // range-checked
    // Writes raw bytes (no checks) and raises the changed flag.
    void WriteRaw(size_t index, const void* bytes, size_t size);
    float GetFloat(size_t index) const;
    std::string FormatParam(size_t index) const;
    void SetChanged(size_t index, bool changed = true);
    void ClearChanged();

    // Context settings.
    void SetCpuLevel(int level) { ctx_->CpuLevel = level; }
    void SetTaskCount(int count) { ctx_->TaskCount = count; }
    void SetReference(uint32_t width, uint32_t height);

    // Callbacks, in the documented order.
    kzr::Status Prepare(uint32_t width, uint32_t height);
    kzr::Status Unprepare();
    kzr::Status SetSource(const void* pixels);
    // Process into dst (pixels of the prepared size); clears the changed
    // flags afterwards, as a host does once a frame has used them.
    kzr::Status Process(void* dst);
    // SetSource + Process.
    kzr::Status Render(const void* src, void* dst);
    kzr::Status Destroy();

    // Surfaces wrapped and not yet released (0 between calls).
    int OutstandingSurfaces() const;
    // Number of times the module called the host object's first operation.
    int CreateCalls() const;

  private:
    class Host;
    const kzr::EffectDescriptor* fx_;
    std::unique_ptr<Host> host_;
    std::unique_ptr<kzr::EffectContext> ctx_;
    std::unique_ptr<uint64_t[]> state_;
    std::vector<uint8_t> blob_;
    std::vector<uint32_t> changed_;
    bool destroyed_ = false;
};

}  // namespace refhost
