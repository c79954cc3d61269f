// Loading libraries for the reference host, one implementation per platform:
// dlopen and its relatives on POSIX, LoadLibraryW and its relatives on
// Windows.  Paths are UTF-8 strings here and in the rest of the host.
#pragma once
#include <string>

#include "module/platform.h"

namespace refhost::library {

// File name of the module as this platform builds it.
extern const char kModuleFileName[];

// Loads the library at path; null on failure, with the system's reason in
// *error.
void* Open(const std::string& path, std::string* error);
// Address of an exported function or variable; null when there is none.
void* Symbol(void* handle, const char* name);
void Close(void* handle);
// The file a loaded library came from; empty when unknown.
std::string PathOf(void* handle);
// Folder of the running program with its trailing separator; empty when
// unknown.
std::string ProgramFolder();

// A path in the characters of the module's platform layer, and back.
using NativePath = std::basic_string<kzr::platform::PathChar>;
NativePath ToNative(const std::string& path);
std::string FromNative(const NativePath& path);

}  // namespace refhost::library
