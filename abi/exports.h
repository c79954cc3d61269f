// The module's two exported entry points, as a host declares them.
#pragma once
#include <cstdint>

#if defined(_WIN32)
#define KZR_EXPORT __declspec(dllexport)
#else
#define KZR_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
// Stores the address of the module record into *descriptor and loads the
// language-resource library.  0 on success, 0x80004005 for a null pointer.
KZR_EXPORT uint32_t KZR_DSP_InitModule(const void** descriptor);
// Releases the language-resource library.  Always 0.
KZR_EXPORT uint32_t KZR_DSP_DeInitModule(void);
}

using KzrInitModuleFn = uint32_t (*)(const void**);
using KzrDeInitModuleFn = uint32_t (*)(void);
