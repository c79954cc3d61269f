// fxhost render: one effect on an image, a video or the built-in test card.
#pragma once
#include <string>
#include <vector>

#include "apps/fxhost/common.h"

namespace fxhost {

struct RenderOptions {
    std::string effect;
    std::string input;  // empty: the test card
    std::string output;
    std::vector<std::string> sets;      // KEY=VALUE
    std::vector<std::string> animates;  // KEY=FROM:TO
    ContextOptions context;
    ReadLimits limits;  // of an input picture
    bool force = false;
    bool quiet = false;
    std::string size;      // test card size; empty: 1280x720
    std::string duration;  // seconds of a video made from the test card or a still; empty: 5
    std::string fps;       // frame rate of such a video; empty: 25
    std::string codec;     // ffmpeg video encoder; empty: by container
};

// Renders and writes the output; throws refhost::Error on any refusal.
void Render(const std::string& modulePath, const RenderOptions& options);

// The value of a ramp from `from` to `to` at frame `frame` of `frames`: the
// fraction t = frame / (frames - 1) (0 for a single frame, at most 1) and
// from + (to - from) * t, in double, rounded to float.
float RampValue(float from, float to, long long frame, long long frames);

}  // namespace fxhost
