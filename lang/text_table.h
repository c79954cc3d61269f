// The key/text table of one language-resource library, generated from the
// language's text file by kzr_langgen.  Sorted by key in byte order.
#pragma once
#include <cstddef>

namespace kzr::lang {

struct TextEntry {
    const char* key;
    const char* text;
};

extern const TextEntry kTexts[];
extern const size_t kTextCount;

}  // namespace kzr::lang
