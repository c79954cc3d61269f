// The lookup every language-resource library exports.  The table it searches
// is generated from the language's text file at build time.
#include "abi/resource_text.h"

#include <cstddef>
#include <cstring>

#include "lang/text_table.h"

extern "C" const char* KZR_ResourceText(const char* key) {
    if (key == nullptr)
        return nullptr;
    // The generated table is sorted by key (byte order), so a binary search finds it.
    size_t lo = 0, hi = kzr::lang::kTextCount;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        const int order = std::strcmp(kzr::lang::kTexts[mid].key, key);
        if (order == 0)
            return kzr::lang::kTexts[mid].text;
        if (order < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}
