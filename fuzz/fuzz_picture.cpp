// Fuzz target of fxhost's picture reading: any bytes through DecodeImage,
// the code every picture file goes through, under a 64 MiB limit.  Any
// input must decode to a picture within the limits or be refused with
// refhost::Error; nothing else may come out.
#include <cstdint>
#include <cstdlib>

#include "apps/fxhost/image_io.h"
#include "refhost/refhost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fxhost::ReadLimits limits;
    limits.maxMemoryMiB = 64;
    try {
        const fxhost::Image img = fxhost::DecodeImage(data, size, "input", limits);
        if (img.width == 0 || img.height == 0 || img.width > fxhost::kMaxPictureSide ||
            img.height > fxhost::kMaxPictureSide ||
            uint64_t{img.width} * img.height * 4 > (limits.maxMemoryMiB << 20) ||
            img.pixels.size() != size_t{img.width} * img.height)
            std::abort();
    } catch (const refhost::Error&) {
    }
    return 0;
}
