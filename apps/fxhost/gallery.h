// fxhost gallery: one picture with every effect of the module at its
// defaults, each tile labelled with the effect's display name.
#pragma once
#include <string>

#include "apps/fxhost/common.h"
#include "apps/fxhost/image_io.h"

namespace fxhost {

struct GalleryOptions {
    std::string output;
    std::string input;     // empty: the test card
    std::string tile;      // "WxH"; empty: 384 wide, 16:9 or the input's shape
    std::string language;  // labels in this language; empty: the locale's
    std::string font;      // TrueType file of the labels; empty: DejaVu Sans
    int columns = 0;       // 0: up to five
    ContextOptions context;
    ReadLimits limits;  // of the input picture
    bool force = false;
};

// Renders the gallery picture (without writing it).
Image MakeGallery(const std::string& modulePath, const GalleryOptions& options);
void Gallery(const std::string& modulePath, const GalleryOptions& options);

}  // namespace fxhost
