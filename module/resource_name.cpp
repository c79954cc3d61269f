#include "module/resource_name.h"

#include <string_view>

namespace kzr {

using platform::PathChar;

bool ComposeResourceName(const PathChar* modulePath, const PathChar* suffix, PathChar* out,
                         size_t capacity) {
    const std::basic_string_view<PathChar> path(modulePath);
#if defined(_WIN32)
    const size_t nameStart = path.find_last_of(L"\\/");
    constexpr PathChar kDot = L'.';
    constexpr std::basic_string_view<PathChar> kExtension = L".DLL";
#else
    const size_t nameStart = path.find_last_of('/');
    constexpr PathChar kDot = '.';
    constexpr std::basic_string_view<PathChar> kExtension = ".DLL";
#endif
    // Cut at the first "." of the file name; folders may contain dots too.
    const size_t searchFrom = nameStart == path.npos ? 0 : nameStart + 1;
    const size_t dot = path.find(kDot, searchFrom);
    const std::basic_string_view<PathChar> base = path.substr(0, dot);
    const std::basic_string_view<PathChar> suffixView(suffix);

    const size_t length = base.size() + 1 + suffixView.size() + kExtension.size();
    if (length + 1 > capacity)
        return false;
    PathChar* p = out;
    p = base.copy(p, base.size()) + p;
    *p++ = PathChar('_');
    p = suffixView.copy(p, suffixView.size()) + p;
    p = kExtension.copy(p, kExtension.size()) + p;
    *p = PathChar(0);
    return true;
}

}  // namespace kzr
