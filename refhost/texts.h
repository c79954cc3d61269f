// Texts for the module's resource keys: effect names and descriptions,
// parameter names, as a host shows them.
//
// The module loads the language-resource library that suits the user's
// locale in KZR_DSP_InitModule and stores its handle in the module record;
// Texts::FromModule reads texts through that handle.  Texts::ForLanguage
// loads the library of a chosen language directly.  Without a library the
// names are derived from the keys ("IDS_Vi_Param_Degree_Name" gives
// "Degree").  The lookup inside a library is the one function declared in
// abi/resource_text.h.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "abi/descriptors.h"
#include "abi/resource_text.h"
#include "refhost/refhost.h"

namespace refhost {

// Every resource key of the module's tables, each once, in table order: the
// module's name and description, then per effect its name and description
// keys and its parameters' name keys (without a choice list) and description
// keys.
std::vector<std::string> ResourceKeys(const kzr::ModuleDescriptor& module);

// The part of a name key before its choice list ("IDS_Vi_Param_MaskType_Name"
// for "IDS_Vi_Param_MaskType_Name;box;circle;none").
std::string_view PlainKey(std::string_view key);

// The language shown when the user's has no library.
inline constexpr std::string_view kFallbackLanguage = "ENU";

class Texts {
  public:
    // No language library: texts derived from the keys.
    Texts() = default;
    // The library the module loaded for the user's locale (the module
    // record's ResourceHandle).  When that handle is the module's own (no
    // library for the user's language), the English library beside the
    // module, and none only when that is missing too.  Valid while `module`
    // stays loaded.
    static Texts FromModule(const Module& module);
    // The library <module path up to the first "." of its name>_<language>.DLL
    // ("ENU", "DEU", ...), loaded here and kept loaded by the returned
    // object and its copies.  Throws Error naming the languages at hand when
    // there is no such library or it has no text lookup.
    static Texts ForLanguage(const Module& module, std::string_view language);

    // The library's text for a key (a choice list after ";" is ignored).
    std::optional<std::string> Find(std::string_view key) const;
    // The text, or the name derived from the key.
    std::string Text(std::string_view key) const;

    bool HasLibrary() const { return lookup_ != nullptr; }
    // Three-letter language of the library ("DEU"); empty without one.
    const std::string& Language() const { return language_; }
    const std::string& LibraryPath() const { return path_; }

  private:
    std::shared_ptr<void> owned_;
    kzr::ResourceTextFn lookup_ = nullptr;
    std::string language_;
    std::string path_;
};

// Languages whose libraries lie beside the module ("DEU", "ENU"), sorted.
std::vector<std::string> AvailableLanguages(const Module& module);

// Index of the effect's own parameter whose key, key-derived name or text in
// `texts` is `keyOrName` (ASCII case ignored).  Throws Error listing the
// valid parameters, with their names in `texts`.
size_t FindParam(const kzr::EffectDescriptor& fx, const Texts& texts, std::string_view keyOrName);

// The code points of UTF-8 text, decoded by the standard library's
// converter.  A byte that does not begin a well-formed sequence comes out as
// U+FFFD and decoding goes on with the next byte; *valid (when given) tells
// whether the text had none.
std::u32string DecodeUtf8(std::string_view utf8, bool* valid = nullptr);

}  // namespace refhost
