// How a host reads texts out of a language-resource library.
//
// A language-resource library (KZR_PlugIn_6_ENU.DLL, KZR_PlugIn_6_DEU.DLL,
// ...) exports exactly one function, KZR_ResourceText, which maps a resource
// key such as "IDS_Vi_Param_Degree_Name" to its text in the library's
// language.  Texts are UTF-8; keys are the plain keys of the descriptor tables
// (for a choice parameter the part of its name key before the first ";").
// A host finds the function with dlsym on the handle the module stored in its
// module record and calls it with the key; a null result means the library has
// no text for that key.  Returned pointers stay valid while the library is
// loaded.
#pragma once

#if defined(_WIN32)
#define KZR_RESOURCE_EXPORT __declspec(dllexport)
#else
#define KZR_RESOURCE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
KZR_RESOURCE_EXPORT const char* KZR_ResourceText(const char* key);
}

namespace kzr {

inline constexpr char kResourceTextSymbol[] = "KZR_ResourceText";
using ResourceTextFn = const char* (*)(const char* key);

}  // namespace kzr
