// The operating-system services the module entry needs, in one place: the
// module's own handle and path, the user's language, file tests and loading
// of the language-resource library.  One implementation per platform.
#pragma once
#include <cstddef>

namespace kzr::platform {

#if defined(_WIN32)
using PathChar = wchar_t;
inline constexpr size_t kMaxPath = 260;
#else
using PathChar = char;
inline constexpr size_t kMaxPath = 4096;
#endif
inline constexpr size_t kMaxLanguage = 8;

// Handle of this module (recorded when the module was loaded).
void* SelfHandle();
// Full path of this module; false when it cannot be determined or does not fit.
bool SelfPath(PathChar* buf, size_t capacity);
// Three-letter abbreviation of the user's language ("ENU", "DEU", ...);
// empty when the locale is unknown or cannot be queried.
void LanguageAbbreviation(PathChar* buf, size_t capacity);
// True when something (a file or a directory) exists at path.
bool PathExists(const PathChar* path);
// Loads a library; null on failure.
void* LoadLibrary(const PathChar* path);
void FreeLibrary(void* handle);

}  // namespace kzr::platform
